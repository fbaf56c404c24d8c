// Benchmarks of the engine layer, each against a baseline measured in the same run.
//
// Point lookup, as the queue rules make it: a Jet SQL SELECT with the customer id written into
// its text, opened forward-only, one field read, the recordset released. Every lookup has the
// same shape, so after the first one the translation comes from the statement cache and only
// the literal changes. The baseline is the same lookup as a SQLite statement prepared once on a
// connection of its own to the same file: bind, step, read, reset. Both are timed with each
// lookup on its own and inside one transaction, as the rules run them. Target: the layer takes
// at most 1.3 times the baseline's CPU time.
//
// Forward-only pass: peak memory while reading every field of every row, over a short and over
// a ten times longer result. A forward-only recordset streams, so the longer pass must not need
// noticeably more memory. Target: less than 10 MB of growth.
//
//   engine_bench [--quick] [--lookups-only] [Google Benchmark flags]
//     --quick         small tables and short runs, a smoke test that fails only on errors
//     --lookups-only  skip the forward-only passes (for running under a profiler)
//
// The exit status is 1 on any error (an engine error, a wrong answer) and, in the full run, on
// a missed target.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"
#include "kelvor/dao.h"

namespace {

using namespace kelvor;
using namespace kelvor::bench;

constexpr double kLookupTargetRatio = 1.3;
constexpr double kGrowthLimitMb = 10.0;
// Lookups cycle through this many customers, spread over the whole table.
constexpr size_t kProbes = 4096;
// The forward-only table is grown by doubling these rows.
constexpr long kSeedRows = 1000;

// Each lookup alone, SQLite taking and dropping its file lock every time, and lookups inside
// one transaction, as the queue rules run them, where the layer's own work is what remains.
struct LookupCase {
    const char* title;
    const char* layer;
    const char* raw;
    bool inTransaction;
};
const LookupCase kLookupCases[] = {
    {"each lookup on its own", "lookup/autocommit/layer", "lookup/autocommit/raw_sqlite", false},
    {"inside one transaction", "lookup/transaction/layer", "lookup/transaction/raw_sqlite", true},
};

struct Config {
    bool quick = false;
    bool lookupsOnly = false;
    long customers = 100'000;
    long shortPass = 100'000;
    long longPass = 1'000'000;
};

std::string customerId(long n) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "C%06ld", n);
    return buf;
}

// Not the record number, so that reading the wrong column or the wrong row shows.
int32_t logIdFor(long customer) {
    return static_cast<int32_t>(500'000 + 3 * customer);
}

// ---- point lookup ----------------------------------------------------------------------------

struct Probe {
    std::string id;
    std::string sql;  // the statement as the rules write it, with the id in double quotes
    int32_t logId;
};

std::vector<Probe> makeProbes(long customers) {
    std::vector<Probe> probes;
    probes.reserve(kProbes);
    for (size_t k = 0; k < kProbes; ++k) {
        long n = 1 + static_cast<long>((k * 7919 + 12345) % static_cast<size_t>(customers));
        Probe p;
        p.id = customerId(n);
        p.sql =
            "SELECT DISTINCTROW tblDtCallLogHeader.LogID, tblDtCallLogHeader.CustId FROM "
            "tblDtCallLogHeader WHERE ((tblDtCallLogHeader.CustId=\"" +
            p.id + "\")); ";
        p.logId = logIdFor(n);
        probes.push_back(std::move(p));
    }
    return probes;
}

// One call log header per customer, indexed on the customer id.
void buildLookupDatabase(const std::string& path, long customers) {
    DBEngine().CreateDatabase(path);
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    db.Execute("CREATE TABLE tblDtCallLogHeader (LogID LONG, CustId TEXT(20))");
    DBEngine().BeginTrans();
    {
        Recordset rs = db.OpenRecordset("tblDtCallLogHeader", dbOpenDynaset, dbAppendOnly);
        for (long n = 1; n <= customers; ++n) {
            rs.AddNew();
            rs.Fields("LogID") = Value(logIdFor(n));
            rs.Fields("CustId") = Value(customerId(n));
            rs.Update();
        }
    }
    DBEngine().CommitTrans();
    db.Execute("CREATE INDEX idxCallLogCustId ON tblDtCallLogHeader (CustId)");
}

// The baseline: the lookup as an application using SQLite directly would write it.
class RawLookup {
  public:
    explicit RawLookup(const std::string& path) {
        int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) fail("sqlite3_open_v2 " + path + ": " + sqlite3_errstr(rc));
        const char* sql = "SELECT LogID, CustId FROM tblDtCallLogHeader WHERE CustId = ?1";
        check(sqlite3_prepare_v2(db_, sql, -1, &st_, nullptr), "prepare");
        requireIndexedPlan(sql);
    }
    void begin() { check(sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr), "begin"); }
    void commit() { check(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr), "commit"); }

    ~RawLookup() {
        sqlite3_finalize(st_);
        sqlite3_close_v2(db_);
    }
    RawLookup(const RawLookup&) = delete;
    RawLookup& operator=(const RawLookup&) = delete;

    // The LogID of the customer's first call log header.
    int32_t logId(const std::string& custId) {
        check(sqlite3_bind_text(st_, 1, custId.data(), static_cast<int>(custId.size()),
                                SQLITE_STATIC),
              "bind");
        int rc = sqlite3_step(st_);
        if (rc != SQLITE_ROW) {
            sqlite3_reset(st_);
            if (rc == SQLITE_DONE) fail("raw lookup: no row for " + custId);
            check(rc, "step");
        }
        int32_t v = sqlite3_column_int(st_, 0);
        sqlite3_reset(st_);
        return v;
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* st_ = nullptr;

    void check(int rc, const char* what) {
        if (rc != SQLITE_OK) fail(std::string("raw lookup: ") + what + ": " + sqlite3_errmsg(db_));
    }

    // A baseline that scans the table would flatter the layer.
    void requireIndexedPlan(const char* sql) {
        sqlite3_stmt* plan = nullptr;
        check(sqlite3_prepare_v2(db_, (std::string("EXPLAIN QUERY PLAN ") + sql).c_str(), -1, &plan,
                                 nullptr),
              "explain");
        std::string detail;
        while (sqlite3_step(plan) == SQLITE_ROW)
            detail += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
        sqlite3_finalize(plan);
        if (detail.find("INDEX") == std::string::npos)
            fail("raw lookup does not use the customer index: " + detail);
    }
};

std::vector<std::string> g_errors;

// Runs `step` and reports what it raises as the benchmark's error; false when it raised.
template <typename F>
bool guarded(benchmark::State& state, F step) {
    try {
        step();
        return true;
    } catch (const JetError& e) {
        state.SkipWithError(
            ("error " + std::to_string(e.number()) + ": " + e.description()).c_str());
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    return false;
}

void layerLookups(benchmark::State& state, Database& db, const std::vector<Probe>& probes,
                  bool inTransaction) {
    if (inTransaction && !guarded(state, [] { DBEngine().BeginTrans(); })) return;
    size_t k = 0;
    for (auto _ : state) {
        const Probe& p = probes[k++ % kProbes];
        bool ok = guarded(state, [&] {
            Recordset rs = db.OpenRecordset(p.sql, dbOpenForwardOnly);
            if (rs.EOF_()) fail("layer lookup: no row for " + p.id);
            int32_t v = rs.Fields("LogID").Value().toLong();
            requireLogId("layer", p.id, v, p.logId);
        });
        if (!ok) break;
    }
    if (inTransaction) guarded(state, [] { DBEngine().CommitTrans(); });
}

void rawLookups(benchmark::State& state, RawLookup& raw, const std::vector<Probe>& probes,
                bool inTransaction) {
    if (inTransaction && !guarded(state, [&] { raw.begin(); })) return;
    size_t k = 0;
    for (auto _ : state) {
        const Probe& p = probes[k++ % kProbes];
        bool ok = guarded(state, [&] {
            int32_t v = raw.logId(p.id);
            requireLogId("raw", p.id, v, p.logId);
        });
        if (!ok) break;
    }
    if (inTransaction) guarded(state, [&] { raw.commit(); });
}

// Keeps every repetition's CPU time per lookup (user and system: SQLite's file locking is
// system time), which other work on a busy machine disturbs less than the wall clock. Shows
// only the aggregates when there are several repetitions.
class Collector : public benchmark::ConsoleReporter {
  public:
    // A reporter passed in is not set up from --benchmark_color: colour only on a terminal.
    Collector() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    std::map<std::string, std::vector<double>> nanosPerLookup;

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& r : runs) {
            if (r.error_occurred) {
                g_errors.push_back(r.benchmark_name() + ": " + r.error_message);
                shown.push_back(r);
                continue;
            }
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                nanosPerLookup[r.run_name.function_name].push_back(
                    r.cpu_accumulated_time * 1e9 / static_cast<double>(r.iterations));
            if (r.run_type == Run::RT_Aggregate || r.repetitions <= 1) shown.push_back(r);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    // Median over the repetitions; 0 when the benchmark did not run.
    double median(const std::string& name) const {
        auto it = nanosPerLookup.find(name);
        if (it == nanosPerLookup.end() || it->second.empty()) return 0;
        return kelvor::bench::median(it->second);
    }
};

// ---- forward-only pass -----------------------------------------------------------------------

const char* const kRemarks[] = {"Promised to pay on Friday", "Left a message",
                                "Disputes the last invoice", ""};

// Seed row s (1-based) and every copy of it made by doubling hold these values.
struct SeedRow {
    std::string custId;
    Currency amount;
    Date callDate;
    std::string remark;  // empty is stored as Null
};

SeedRow seedRow(long s) {
    static const Date base = Date::fromParts(2024, 1, 1);
    return {customerId(s), Currency::fromRaw(12'345 * s),
            Date::fromSeconds(base.seconds() + (s % 400) * Date::kSecondsPerDay + s),
            kRemarks[s % 4]};
}

// tblBigLog with LogID 1..rows: seed rows added one by one, then doubled by INSERT ... SELECT,
// all in one transaction.
void buildPassDatabase(const std::string& path, long rows) {
    DBEngine().CreateDatabase(path);
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    db.Execute(
        "CREATE TABLE tblBigLog (LogID LONG, CustId TEXT(20), Amount CURRENCY, CallDate "
        "DATETIME, Remark TEXT(50))");
    DBEngine().BeginTrans();
    {
        Recordset rs = db.OpenRecordset("tblBigLog", dbOpenDynaset, dbAppendOnly);
        for (long s = 1; s <= kSeedRows; ++s) {
            SeedRow r = seedRow(s);
            rs.AddNew();
            rs.Fields("LogID") = Value(static_cast<int32_t>(s));
            rs.Fields("CustId") = Value(r.custId);
            rs.Fields("Amount") = Value(r.amount);
            rs.Fields("CallDate") = Value(r.callDate);
            rs.Fields("Remark") = r.remark.empty() ? Value() : Value(r.remark);
            rs.Update();
        }
    }
    for (long have = kSeedRows; have < rows; have *= 2) {
        db.Execute(
            "INSERT INTO tblBigLog (LogID, CustId, Amount, CallDate, Remark) SELECT LogID + " +
                std::to_string(have) + ", CustId, Amount, CallDate, Remark FROM tblBigLog",
            dbFailOnError);
        if (db.RecordsAffected() != have)
            fail("doubling tblBigLog added " + std::to_string(db.RecordsAffected()) +
                 " rows, expected " + std::to_string(have));
    }
    db.Execute("DELETE FROM tblBigLog WHERE LogID > " + std::to_string(rows), dbFailOnError);
    DBEngine().CommitTrans();
    Recordset count = db.OpenRecordset("SELECT Count(*) AS n FROM tblBigLog", dbOpenSnapshot);
    if (count.Fields("n").Value().toInt64() != rows)
        fail("tblBigLog holds " + count.Fields("n").Value().toString() + " rows, expected " +
             std::to_string(rows));
}

struct PassResult {
    long rows = 0;
    long startKb = 0;
    long peakKb = 0;
    double seconds = 0;
};

// Reads every field of the first `rows` records forward-only, checking each value.
PassResult forwardPass(Database& db, long rows) {
    PassResult r;
    r.rows = rows;
    resetPeak();
    r.startKb = statusKb("VmRSS:");
    auto t0 = std::chrono::steady_clock::now();
    {
        Recordset rs = db.OpenRecordset(
            "SELECT LogID, CustId, Amount, CallDate, Remark FROM tblBigLog WHERE LogID <= " +
                std::to_string(rows),
            dbOpenForwardOnly);
        long seen = 0;
        int64_t idSum = 0;
        while (!rs.EOF_()) {
            long id = rs.Fields("LogID").Value().toLong();
            std::string cust = rs.Fields("CustId").Value().text();
            Currency amount = rs.Fields("Amount").Value().toCurrency();
            Date callDate = rs.Fields("CallDate").Value().toDate();
            std::string remark = rs.Fields("Remark").Value().text();
            SeedRow want = seedRow((id - 1) % kSeedRows + 1);
            if (cust != want.custId || amount != want.amount || callDate != want.callDate ||
                remark != want.remark)
                fail("forward-only pass: record " + std::to_string(id) + " reads back as " + cust +
                     ", " + amount.toString() + ", " + callDate.toString() + ", \"" + remark +
                     "\"");
            idSum += id;
            ++seen;
            rs.MoveNext();
        }
        if (seen != rows || idSum != static_cast<int64_t>(rows) * (rows + 1) / 2)
            fail("forward-only pass over " + std::to_string(rows) + " rows read " +
                 std::to_string(seen));
    }
    r.seconds = secondsSince(t0);
    r.peakKb = statusKb("VmHWM:");
    return r;
}

// ---- the run ---------------------------------------------------------------------------------

int run(const Config& cfg) {
    ScratchDir dir("engine-bench");
    bool targetsMet = true;

    std::printf("Engine layer benchmark%s\n\n", cfg.quick ? " (quick)" : "");
    auto t0 = std::chrono::steady_clock::now();
    std::string lookupPath = dir.file("lookup.mdb");
    buildLookupDatabase(lookupPath, cfg.customers);
    std::printf("setup: %ld customers in tblDtCallLogHeader, indexed on CustId (%.2f s)\n",
                cfg.customers, secondsSince(t0));

    std::map<std::string, double> medianNs;
    {
        Database db = DBEngine().Workspaces(0).OpenDatabase(lookupPath);
        RawLookup raw(lookupPath);
        std::vector<Probe> probes = makeProbes(cfg.customers);
        for (const LookupCase& c : kLookupCases) {
            bool inTransaction = c.inTransaction;
            benchmark::RegisterBenchmark(c.layer, [&, inTransaction](benchmark::State& st) {
                layerLookups(st, db, probes, inTransaction);
            })->Unit(benchmark::kNanosecond);
            benchmark::RegisterBenchmark(c.raw, [&, inTransaction](benchmark::State& st) {
                rawLookups(st, raw, probes, inTransaction);
            })->Unit(benchmark::kNanosecond);
        }
        std::printf("\n");
        std::fflush(stdout);
        Collector collector;
        benchmark::RunSpecifiedBenchmarks(&collector);
        benchmark::Shutdown();
        for (const LookupCase& c : kLookupCases) {
            medianNs[c.layer] = collector.median(c.layer);
            medianNs[c.raw] = collector.median(c.raw);
        }
    }
    for (const auto& e : g_errors) std::fprintf(stderr, "error: %s\n", e.c_str());
    if (!g_errors.empty()) return 1;

    std::printf(
        "\nPoint lookup by customer id, %ld customers, CPU ns per lookup (median of "
        "the repetitions)\n"
        "  layer: OpenRecordset forward-only, read LogID, release\n"
        "  raw:   SQLite statement prepared once: bind, step, read, reset\n",
        cfg.customers);
    std::printf("  %-24s %9s %9s %7s\n", "", "layer", "raw", "ratio");
    for (const LookupCase& c : kLookupCases) {
        double layerNs = medianNs[c.layer], rawNs = medianNs[c.raw];
        if (layerNs <= 0 || rawNs <= 0) {
            std::printf("  %-24s not measured\n", c.title);
            continue;
        }
        double ratio = layerNs / rawNs;
        bool ok = ratio <= kLookupTargetRatio;
        std::printf("  %-24s %9.0f %9.0f %6.2fx  target <= %.1fx: %s\n", c.title, layerNs, rawNs,
                    ratio, kLookupTargetRatio, verdict(ok, !cfg.quick));
        targetsMet = targetsMet && ok;
    }

    if (!cfg.lookupsOnly) {
        t0 = std::chrono::steady_clock::now();
        std::string passPath = dir.file("passes.mdb");
        buildPassDatabase(passPath, cfg.longPass);
        std::printf("\nsetup: %ld rows in tblBigLog (%.2f s)\n", cfg.longPass, secondsSince(t0));

        Database db = DBEngine().Workspaces(0).OpenDatabase(passPath);
        PassResult shortRun = forwardPass(db, cfg.shortPass);
        PassResult longRun = forwardPass(db, cfg.longPass);
        long growthKb = longRun.peakKb - shortRun.peakKb;
        bool ok = mb(growthKb) < kGrowthLimitMb;
        std::printf("\nForward-only pass reading every field (peak resident size, VmHWM)\n");
        std::printf("  %9s  %10s  %12s  %8s\n", "rows", "peak", "over start", "time");
        for (const PassResult* p : {&shortRun, &longRun})
            std::printf("  %9ld  %7.1f MB  %+9.1f MB  %6.2f s\n", p->rows, mb(p->peakKb),
                        mb(p->peakKb - p->startKb), p->seconds);
        std::printf("  growth of the peak %+.1f MB, target < %.0f MB: %s\n", mb(growthKb),
                    kGrowthLimitMb, verdict(ok, !cfg.quick));
        targetsMet = targetsMet && ok;
    }
    return cfg.quick || targetsMet ? 0 : 1;
}

void printUsage() {
    std::printf(
        "engine_bench [--quick] [--lookups-only] [Google Benchmark flags]\n"
        "  --quick         small tables and short runs, a smoke test that fails only on errors\n"
        "  --lookups-only  skip the forward-only passes\n\n");
    benchmark::PrintDefaultHelp();
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    std::vector<std::string> defaults = {"--benchmark_repetitions=5",
                                         "--benchmark_enable_random_interleaving=true",
                                         "--benchmark_min_time=0.5"};
    std::vector<char*> passOn;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            cfg.quick = true;
        } else if (std::strcmp(argv[i], "--lookups-only") == 0) {
            cfg.lookupsOnly = true;
        } else {
            passOn.push_back(argv[i]);
        }
    }
    if (cfg.quick) {
        cfg.customers = 10'000;
        cfg.shortPass = 10'000;
        cfg.longPass = 100'000;
        defaults = {"--benchmark_repetitions=1", "--benchmark_min_time=0.05"};
    }
    // The program's name, our defaults, then the caller's flags, which win.
    std::vector<char*> benchArgs = {argv[0]};
    for (auto& d : defaults) benchArgs.push_back(d.data());
    benchArgs.insert(benchArgs.end(), passOn.begin(), passOn.end());
    int benchArgc = static_cast<int>(benchArgs.size());
    benchArgs.push_back(nullptr);
    benchmark::Initialize(&benchArgc, benchArgs.data(), printUsage);
    if (benchmark::ReportUnrecognizedArguments(benchArgc, benchArgs.data())) return 1;

    return runReportingErrors([&] { return run(cfg); });
}
