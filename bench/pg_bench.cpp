// Benchmark of the PostgreSQL engine against the SQLite files, each side measured in the same
// run on the same machine, the server reached over its Unix socket.
//
// Queue update: QueueEngine::ProcessQueue with every rule on (the options row CreateCompany
// writes) on a company of 100,000 customers (--customers) kept on the server, against the same
// update on a company of SQLite files made from the same sample seed. Every run starts from a
// company as CreateCompany made it: a new one on the server per run, a fresh copy of the files
// on SQLite; the runs alternate and each side's fastest run by wall time counts. The server's
// work is done in other processes, so wall time is what is compared; this process's CPU time
// (user and system) is shown beside it. Both sides must leave the same queue (CustID, LogID,
// TransType and Remark of every tblDTQueue entry) and the same SystemRemark on every
// tblDtCallLogHeader row, both read back through the DAO; any difference fails the benchmark in
// every mode. Target: PostgreSQL / SQLite wall time at most 3x.
//
// Round trips: kelvor::pg::RoundTrips() counts the requests this process sent to the server and
// waited for; its growth over the PostgreSQL update is divided by the rows the rules selected
// and handed to AddToQueue (QueueEngine::RowsHandedOver; a customer several rules select counts
// once per rule, as each hands it over). Target: at most 2 per selected row. The count per queue
// entry after the run is shown beside it. What the update would take
// on a network with 1 ms round trips is projected as
//     wall + round trips x (1 ms - local round trip),
// the local round trip being the raw lookup's wall time below (one request and its answer over
// the socket, as little server work as a request can have).
//
// Point lookup, as engine_bench makes it: the rules' SELECT with the customer id written into
// its text, opened forward-only through the layer, LogID read, the recordset released; against a
// raw libpq statement prepared once (PQprepare) and run per lookup (PQexecPrepared) on the same
// table of the same company, customers with exactly one call log so that both must give the
// same LogID. Each lookup on its own and all inside one transaction, wall time per lookup
// (median of the rounds, the two sides alternating). Target: layer / raw at most 1.5x.
//
// Peak memory: the peak resident size (VmHWM, reset just before the run) during the PostgreSQL
// update, at the queue size above and, with --million, on a company of 1,000,000 customers,
// which must stay flat: under 100 MB. On a 2-core machine that company took 1.6 minutes to
// make and its update 9.4 minutes, so it is left out of the default run, which says so and
// takes about 4 minutes.
//
//   pg_bench [--quick] [--runs N] [--customers N] [--million]
//     --quick        a small company, one run per side, short lookups: a smoke test that fails
//                    only on errors or a queue mismatch, never on timing
//     --runs N       queue updates per side (default 3)
//     --customers N  the company's size for the comparison (default 100,000)
//     --million      also the PostgreSQL update at 1,000,000 customers and its peak memory
//
// The program starts a private cluster with scripts/pg-cluster.sh and stops it when it ends,
// also on an error or on SIGINT/SIGTERM; with KELVOR_TEST_PG_STATE naming the state folder of a
// running cluster it uses that one, and drops the schemas it made there. The exit status is 1 on
// any error (an engine error, a queue mismatch) and, in the full run, on a missed target.
#include <libpq-fe.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/queue_engine.h"
#include "pg/result.h"

namespace {

using namespace kelvor;
using namespace kelvor::bench;
using queueengine::CompanyFiles;

constexpr double kQueueTargetRatio = 3.0;
constexpr double kRoundTripsPerEntryTarget = 2.0;
constexpr double kLookupTargetRatio = 1.5;
constexpr double kPeakLimitMb = 100.0;
constexpr double kProjectedRoundTripSeconds = 0.001;
constexpr long kMillion = 1'000'000;
constexpr uint64_t kSeed = 20240611;
constexpr size_t kProbes = 4096;
constexpr size_t kShownDifferences = 8;

struct Config {
    bool quick = false;
    int runs = 3;
    long customers = 100'000;
    bool million = false;
    int lookupRounds = 5;
    size_t lookupsPerRound = kProbes;
};

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// ---- the cluster -----------------------------------------------------------------------------

// What a signal handler needs to stop the cluster this process started and remove the scratch
// folders: plain C strings made before the handler is installed.
std::string g_stopScript, g_stopState, g_scratch;

void runAndWait(const char* const argv[]) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    if (pid > 0) ::waitpid(pid, nullptr, 0);
}

extern "C" void stopClusterAndExit(int) {
    const char* stop[] = {g_stopScript.c_str(), "stop", g_stopState.c_str(), nullptr};
    runAndWait(stop);
    const char* remove[] = {"/bin/rm", "-rf", g_stopState.c_str(), g_scratch.c_str(), nullptr};
    runAndWait(remove);
    ::_exit(1);
}

// A private cluster started by scripts/pg-cluster.sh and stopped with this object, or the
// running one KELVOR_TEST_PG_STATE names.
class Cluster {
  public:
    // `scratchState` is where a cluster it starts keeps its state; `scratch` a folder that a
    // signal's handler removes with it.
    Cluster(const std::string& scratchState, const std::string& scratch) {
        const char* given = std::getenv("KELVOR_TEST_PG_STATE");
        if (given && *given) {
            state_ = given;
        } else {
            state_ = scratchState;
            g_stopScript = KELVOR_PG_CLUSTER;
            g_stopState = state_;
            g_scratch = scratch;
            started_ = true;
            struct sigaction sa {};
            sa.sa_handler = stopClusterAndExit;
            ::sigaction(SIGINT, &sa, nullptr);
            ::sigaction(SIGTERM, &sa, nullptr);
            if (script("start") != 0) {
                stop();
                fail("cannot start a private cluster with " + std::string(KELVOR_PG_CLUSTER));
            }
        }
        std::ifstream in(state_ + "/conninfo");
        std::getline(in, conninfo_);
        if (conninfo_.empty()) {
            stop();
            fail("no cluster: " + state_ + "/conninfo is missing or empty");
        }
    }
    ~Cluster() { stop(); }
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    const std::string& conninfo() const { return conninfo_; }
    bool started() const { return started_; }
    const std::string& state() const { return state_; }

  private:
    std::string state_, conninfo_;
    bool started_ = false;

    int script(const char* action) const {
        std::fflush(stdout);
        std::string cmd = quoted(KELVOR_PG_CLUSTER) + " " + action + " " + quoted(state_);
        return std::system(cmd.c_str());
    }
    void stop() {
        if (!started_) return;
        script("stop");
        started_ = false;
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
    }
};

// A plain libpq connection: the baseline's and the benchmark's own housekeeping.
class RawConn {
  public:
    explicit RawConn(const std::string& conninfo) : c_(PQconnectdb(conninfo.c_str())) {
        if (PQstatus(c_) != CONNECTION_OK) {
            std::string msg = PQerrorMessage(c_);
            PQfinish(c_);
            fail("cannot connect to " + conninfo + ": " + msg);
        }
    }
    ~RawConn() { PQfinish(c_); }
    RawConn(const RawConn&) = delete;
    RawConn& operator=(const RawConn&) = delete;

    PGconn* get() const { return c_; }
    pg::Result exec(const std::string& sql) {
        pg::Result r(PQexec(c_, sql.c_str()));
        if (!r.ok()) fail("libpq: " + std::string(PQerrorMessage(c_)) + "  in: " + sql);
        return r;
    }

  private:
    PGconn* c_;
};

// The schemas of the companies this run made, dropped when it ends.
class Schemas {
  public:
    explicit Schemas(const Cluster& cluster) : cluster_(cluster) {}
    ~Schemas() {
        if (names_.empty()) return;
        try {
            RawConn c(cluster_.conninfo());
            std::string sql = "SET client_min_messages = warning; DROP SCHEMA IF EXISTS ";
            for (size_t i = 0; i < names_.size(); ++i) sql += (i ? ", " : "") + names_[i];
            c.exec(sql + " CASCADE");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "warning: the benchmark's schemas stay: %s\n", e.what());
        }
    }
    Schemas(const Schemas&) = delete;
    Schemas& operator=(const Schemas&) = delete;

    // A company path on the server; its four schemas are dropped at the end.
    std::string company(const std::string& name) {
        for (const char* s : {"dt", "ca", "so", "gl"}) names_.push_back(name + "_" + s);
        return "pg:" + cluster_.conninfo() + "#" + name;
    }

  private:
    const Cluster& cluster_;
    std::vector<std::string> names_;
};

// ---- the queue update ------------------------------------------------------------------------

struct Timing {
    double wall = 0, cpu = 0;
    long startKb = 0, peakKb = 0;
    uint64_t roundTrips = 0;
    long handed = 0;  // rows the rules handed to AddToQueue
};

Timing queueRun(const CompanyFiles& f) {
    Timing t;
    t.startKb = startPeak();
    uint64_t rt0 = pg::RoundTrips().load();
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    {
        queueengine::QueueEngine engine;
        processQueue(engine, f, "ProcessQueue on " + f.dt);
        t.handed = engine.RowsHandedOver();
    }
    t.wall = secondsSince(t0);
    t.cpu = cpuSeconds() - cpu0;
    t.roundTrips = pg::RoundTrips().load() - rt0;
    t.peakKb = statusKb("VmHWM:");
    return t;
}

std::optional<std::string> textOrNull(const Value& v) {
    if (v.isNull()) return std::nullopt;
    return v.toString();
}

Outcome readOutcome(const std::string& dtPath) {
    Outcome out;
    Database db = DBEngine().Workspaces(0).OpenDatabase(dtPath);
    {
        Recordset rs = db.OpenRecordset(
            "SELECT CustID, LogID, TransType, Remark FROM tblDTQueue ORDER BY CustID, LogID",
            dbOpenForwardOnly);
        for (; !rs.EOF_(); rs.MoveNext()) {
            Entry e;
            e.custId = rs.Fields(0).Value().text();
            e.logId = rs.Fields(1).Value().toInt64();
            e.transType = rs.Fields(2).Value().toInt64();
            e.remark = textOrNull(rs.Fields(3).Value());
            out.queue.push_back(std::move(e));
        }
    }
    // The engines may order names differently where case or punctuation differ.
    std::stable_sort(out.queue.begin(), out.queue.end(),
                     [](const Entry& a, const Entry& b) { return a.custId < b.custId; });
    Recordset rs = db.OpenRecordset(
        "SELECT LogID, SystemRemark FROM tblDtCallLogHeader ORDER BY LogID", dbOpenForwardOnly);
    for (; !rs.EOF_(); rs.MoveNext())
        out.remarks[rs.Fields(0).Value().toInt64()] = textOrNull(rs.Fields(1).Value());
    return out;
}

// Lines describing each difference; empty when the two outcomes agree.
std::vector<std::string> differences(const Outcome& pgo, const Outcome& sq) {
    const Sides sides{"PostgreSQL's queue", "SQLite's queue",
                      "PostgreSQL: ", "SQLite:     ", "missing on SQLite"};
    std::vector<std::string> out;
    queueDifferences(pgo, sq, sides, out);
    if (pgo.remarks.size() != sq.remarks.size())
        out.push_back("call logs: " + std::to_string(pgo.remarks.size()) + " on PostgreSQL, " +
                      std::to_string(sq.remarks.size()) + " on SQLite");
    remarkDifferences(pgo, sq, sides, out);
    return out;
}

// SQLite's company, made once and copied for every run; the copies link its CA, which no run
// writes.
class FileCompany {
  public:
    FileCompany(const ScratchDir& dir, long customers) : dir_(dir) {
        queueengine::SampleOptions sample;
        sample.customers = static_cast<int>(customers);
        sample.seed = kSeed;
        files_ = queueengine::CreateCompany(dir.file("sqlite"), sample);
    }
    CompanyFiles copy(int run) const {
        return copyCompany(files_, dir_.file("sqlite-run" + std::to_string(run)));
    }

  private:
    const ScratchDir& dir_;
    CompanyFiles files_;
};

CompanyFiles serverCompany(Schemas& schemas, const std::string& name, long customers,
                           double& seconds) {
    queueengine::SampleOptions sample;
    sample.customers = static_cast<int>(customers);
    sample.seed = kSeed;
    auto t0 = Clock::now();
    CompanyFiles f = queueengine::CreateCompany(schemas.company(name), sample);
    seconds = secondsSince(t0);
    return f;
}

struct QueueResult {
    Timing pg, sqlite;  // fastest runs by wall time; pg's peak is the highest of its runs
    size_t entries = 0, remarks = 0;
    // Between the two queues; any fails the benchmark once everything else is shown.
    std::vector<std::string> differences;
    double pgSetup = 0, sqliteSetup = 0;
    CompanyFiles lastPg;
};

// The rules compare with today's date, and so does the sample data: a day that ends during the
// measurement leaves the two sides with different data.
void requireSameDay(int64_t day) {
    if (Date::today().dayNumber() != day)
        fail("the date changed during the benchmark; run it again");
}

QueueResult measureQueue(const Config& cfg, const ScratchDir& dir, Schemas& schemas,
                         const std::string& prefix) {
    QueueResult r;
    int64_t day = Date::today().dayNumber();
    auto t0 = Clock::now();
    FileCompany files(dir, cfg.customers);
    r.sqliteSetup = secondsSince(t0);
    std::printf("setup: SQLite company of %s customers (%.2f s)\n", grouped(cfg.customers).c_str(),
                r.sqliteSetup);
    std::fflush(stdout);

    CompanyFiles lastSqlite;
    for (int i = 0; i < cfg.runs; ++i) {
        double made = 0;
        CompanyFiles p = serverCompany(
            schemas, prefix + "_c" + std::to_string(cfg.customers) + "_r" + std::to_string(i),
            cfg.customers, made);
        r.pgSetup = i == 0 ? made : std::min(r.pgSetup, made);
        CompanyFiles s = files.copy(i);
        Timing tp = queueRun(p), ts = queueRun(s);
        requireSameDay(day);
        std::printf(
            "run %d: PostgreSQL %.3f s wall, %.3f s CPU, %s round trips | SQLite %.3f s wall, "
            "%.3f s CPU (company made in %.2f s)\n",
            i + 1, tp.wall, tp.cpu, grouped(static_cast<long long>(tp.roundTrips)).c_str(), ts.wall,
            ts.cpu, made);
        std::fflush(stdout);
        keepBest(r.pg, tp, i == 0, &Timing::wall);
        keepBest(r.sqlite, ts, i == 0, &Timing::wall);
        r.lastPg = p;
        lastSqlite = s;
    }

    Outcome po = readOutcome(r.lastPg.dt), so = readOutcome(lastSqlite.dt);
    r.differences = differences(po, so);
    if (po.queue.empty()) fail("the queue is empty after the run: nothing was compared");
    r.entries = po.queue.size();
    for (const auto& [logId, text] : po.remarks) r.remarks += text ? 1 : 0;
    return r;
}

// ---- point lookup ----------------------------------------------------------------------------

struct Probe {
    std::string id;
    std::string sql;  // the statement as the rules write it
    int32_t logId;
};

// Customers with exactly one call log, spread over the table, in a scattered order.
std::vector<Probe> makeProbes(RawConn& raw, const std::string& schema) {
    pg::Result r = raw.exec("SELECT \"CustId\", \"LogID\" FROM \"" + schema +
                            "\".\"tblDtCallLogHeader\" WHERE \"CustId\" IN (SELECT \"CustId\" "
                            "FROM \"" +
                            schema +
                            "\".\"tblDtCallLogHeader\" GROUP BY \"CustId\" HAVING count(*) = 1) "
                            "ORDER BY \"LogID\"");
    size_t n = static_cast<size_t>(r.rows());
    if (n == 0) fail("no customer with exactly one call log to look up");
    std::vector<Probe> probes;
    for (size_t k = 0; k < kProbes; ++k) {
        int row = static_cast<int>((k * 7919 + 12345) % n);
        Probe p;
        p.id = r.text(row, 0);
        p.sql =
            "SELECT DISTINCTROW tblDtCallLogHeader.LogID, tblDtCallLogHeader.CustId FROM "
            "tblDtCallLogHeader WHERE ((tblDtCallLogHeader.CustId=\"" +
            p.id + "\")); ";
        p.logId = std::atoi(r.text(row, 1).c_str());
        probes.push_back(std::move(p));
    }
    return probes;
}

// The baseline: the lookup as an application using libpq directly would write it.
class RawLookup {
  public:
    RawLookup(const std::string& conninfo, const std::string& schema) : raw_(conninfo) {
        std::string sql = "SELECT \"LogID\", \"CustId\" FROM \"" + schema +
                          "\".\"tblDtCallLogHeader\" WHERE \"CustId\" = $1";
        pg::Result r(PQprepare(raw_.get(), "lookup", sql.c_str(), 1, nullptr));
        if (!r.ok()) fail("raw lookup: PQprepare: " + std::string(PQerrorMessage(raw_.get())));
    }
    // A baseline that scans the table would flatter the layer.
    void requireIndexedPlan(const std::string& id) {
        pg::Result r = raw_.exec("EXPLAIN EXECUTE lookup('" + id + "')");
        std::string plan;
        for (int i = 0; i < r.rows(); ++i) plan += r.text(i, 0) + "\n";
        if (plan.find("Index") == std::string::npos)
            fail("the raw lookup does not use the customer index:\n" + plan);
    }
    void begin() { raw_.exec("BEGIN"); }
    void commit() { raw_.exec("COMMIT"); }
    int32_t logId(const std::string& custId) {
        const char* values[] = {custId.c_str()};
        pg::Result r(PQexecPrepared(raw_.get(), "lookup", 1, values, nullptr, nullptr, 0));
        if (!r.ok()) fail("raw lookup: " + std::string(PQerrorMessage(raw_.get())));
        if (r.rows() != 1)
            fail("raw lookup of " + custId + ": " + std::to_string(r.rows()) + " rows");
        return std::atoi(PQgetvalue(r.get(), 0, 0));
    }

  private:
    RawConn raw_;
};

struct LookupTimes {
    std::vector<double> wallNs, cpuNs;
    uint64_t roundTrips = 0, lookups = 0;
};

template <typename F>
void timeRound(LookupTimes& t, size_t lookups, F one) {
    uint64_t rt0 = pg::RoundTrips().load();
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    for (size_t k = 0; k < lookups; ++k) one(k);
    double n = static_cast<double>(lookups);
    t.wallNs.push_back(secondsSince(t0) * 1e9 / n);
    t.cpuNs.push_back((cpuSeconds() - cpu0) * 1e9 / n);
    t.roundTrips += pg::RoundTrips().load() - rt0;
    t.lookups += lookups;
}

struct LookupCase {
    const char* title;
    bool inTransaction;
    LookupTimes layer, raw;
};

void measureLookups(const Config& cfg, const Cluster& cluster, const CompanyFiles& company,
                    std::vector<LookupCase>& cases) {
    const std::string schema = company.dt.substr(company.dt.rfind('#') + 1);
    RawConn housekeeping(cluster.conninfo());
    std::vector<Probe> probes = makeProbes(housekeeping, schema);
    RawLookup raw(cluster.conninfo(), schema);
    raw.requireIndexedPlan(probes[0].id);
    Database db = DBEngine().Workspaces(0).OpenDatabase(company.dt);

    auto layerOne = [&](size_t k) {
        const Probe& p = probes[k % probes.size()];
        Recordset rs = db.OpenRecordset(p.sql, dbOpenForwardOnly);
        if (rs.EOF_()) fail("layer lookup: no row for " + p.id);
        int32_t v = rs.Fields("LogID").Value().toLong();
        requireLogId("layer", p.id, v, p.logId);
    };
    auto rawOne = [&](size_t k) {
        const Probe& p = probes[k % probes.size()];
        int32_t v = raw.logId(p.id);
        requireLogId("raw", p.id, v, p.logId);
    };
    // A first pass warms both: the server's caches, the layer's statement cache.
    for (size_t k = 0; k < std::min<size_t>(probes.size(), 256); ++k) {
        layerOne(k);
        rawOne(k);
    }
    for (int round = 0; round < cfg.lookupRounds; ++round) {
        for (LookupCase& c : cases) {
            if (c.inTransaction) DBEngine().BeginTrans();
            timeRound(c.layer, cfg.lookupsPerRound, layerOne);
            if (c.inTransaction) DBEngine().CommitTrans();
            if (c.inTransaction) raw.begin();
            timeRound(c.raw, cfg.lookupsPerRound, rawOne);
            if (c.inTransaction) raw.commit();
        }
    }
}

// ---- the run ---------------------------------------------------------------------------------

int run(const Config& cfg) {
    ScratchDir dir("pg-bench");
    ScratchDir state("pg-bench-cluster");
    std::printf(
        "PostgreSQL benchmark%s: the queue update, its round trips and a point lookup on a "
        "server over its Unix socket, against SQLite files and raw libpq\n\n",
        cfg.quick ? " (quick)" : "");
    auto t0 = Clock::now();
    Cluster cluster(state.path(), dir.path());
    if (cluster.started())
        std::printf("cluster: a private one, started by scripts/pg-cluster.sh (%.2f s)\n",
                    secondsSince(t0));
    else
        std::printf("cluster: the running one of KELVOR_TEST_PG_STATE=%s\n",
                    cluster.state().c_str());
    Schemas schemas(cluster);
    const std::string prefix = "kb" + std::to_string(::getpid());
    bool enforced = !cfg.quick, targetsMet = true;

    QueueResult q = measureQueue(cfg, dir, schemas, prefix);

    std::vector<LookupCase> cases = {{"each lookup on its own", false, {}, {}},
                                     {"inside one transaction", true, {}, {}}};
    measureLookups(cfg, cluster, q.lastPg, cases);

    std::optional<Timing> big;
    double bigSetup = 0;
    size_t bigEntries = 0;
    if (cfg.million) {
        CompanyFiles f = serverCompany(schemas, prefix + "_m", kMillion, bigSetup);
        std::printf("setup: PostgreSQL company of %s customers (%.2f s)\n",
                    grouped(kMillion).c_str(), bigSetup);
        std::fflush(stdout);
        big = queueRun(f);
        RawConn c(cluster.conninfo());
        bigEntries = static_cast<size_t>(
            std::atol(c.exec("SELECT count(*) FROM \"" + prefix + "_m_dt\".\"tblDTQueue\"")
                          .text(0, 0)
                          .c_str()));
        std::printf("run: PostgreSQL %.3f s wall, %.3f s CPU, %s round trips\n", big->wall,
                    big->cpu, grouped(static_cast<long long>(big->roundTrips)).c_str());
    }

    // ---- results ----
    std::printf("\nQueue update, %s customers, every rule on (fastest of %d run%s by wall time)\n",
                grouped(cfg.customers).c_str(), cfg.runs, cfg.runs == 1 ? "" : "s");
    std::printf("  %-11s %10s %10s %9s %12s %9s\n", "", "wall", "CPU", "peak", "round trips",
                "company");
    std::printf("  %-11s %8.3f s %8.3f s %6.1f MB %12s %7.2f s\n", "PostgreSQL", q.pg.wall,
                q.pg.cpu, mb(q.pg.peakKb), grouped(static_cast<long long>(q.pg.roundTrips)).c_str(),
                q.pgSetup);
    std::printf("  %-11s %8.3f s %8.3f s %6.1f MB %12s %7.2f s\n", "SQLite", q.sqlite.wall,
                q.sqlite.cpu, mb(q.sqlite.peakKb), "-", q.sqliteSetup);
    if (q.differences.empty())
        std::printf(
            "  the queues (%s entries) and the system remarks (%s call logs with one) match\n\n",
            grouped(static_cast<long long>(q.entries)).c_str(),
            grouped(static_cast<long long>(q.remarks)).c_str());
    else
        std::printf(
            "  the queues (%s entries on PostgreSQL) DIFFER: %zu differences, shown at the "
            "end\n\n",
            grouped(static_cast<long long>(q.entries)).c_str(), q.differences.size());

    double ratio = q.pg.wall / q.sqlite.wall;
    bool ok = ratio <= kQueueTargetRatio;
    std::printf(
        "PostgreSQL / SQLite wall time: %.2fx (CPU time of this process %.2fx), target <= "
        "%.0fx: %s\n",
        ratio, q.pg.cpu / q.sqlite.cpu, kQueueTargetRatio, verdict(ok, enforced));
    targetsMet = targetsMet && ok;

    double perRow = static_cast<double>(q.pg.roundTrips) / static_cast<double>(q.pg.handed);
    ok = perRow <= kRoundTripsPerEntryTarget;
    std::printf(
        "round trips per selected row (a row a rule handed to AddToQueue): %s / %s = %.2f, "
        "target <= %.0f: %s\n",
        grouped(static_cast<long long>(q.pg.roundTrips)).c_str(),
        grouped(static_cast<long long>(q.pg.handed)).c_str(), perRow, kRoundTripsPerEntryTarget,
        verdict(ok, enforced));
    std::printf("round trips per queue entry (rows several rules selected count once): %.2f\n",
                static_cast<double>(q.pg.roundTrips) / static_cast<double>(q.entries));
    targetsMet = targetsMet && ok;

    const LookupCase& alone = cases.front();
    double localRt = median(alone.raw.wallNs) / 1e9;
    double projected =
        q.pg.wall + static_cast<double>(q.pg.roundTrips) * (kProjectedRoundTripSeconds - localRt);
    std::printf(
        "projected at 1 ms per round trip: %.3f s + %s x (1 ms - %.1f us local round trip) = "
        "%.1f s (SQLite: %.3f s)\n",
        q.pg.wall, grouped(static_cast<long long>(q.pg.roundTrips)).c_str(), localRt * 1e6,
        projected, q.sqlite.wall);

    std::printf(
        "\nPoint lookup by customer id on tblDtCallLogHeader (%s customers), per lookup, median "
        "of %d rounds of %zu\n"
        "  layer: OpenRecordset forward-only, read LogID, release\n"
        "  raw:   libpq statement prepared once: PQexecPrepared, read, PQclear\n",
        grouped(cfg.customers).c_str(), cfg.lookupRounds, cfg.lookupsPerRound);
    std::printf("  %-24s %10s %10s %10s %10s %7s %13s\n", "", "layer wall", "CPU", "raw wall",
                "CPU", "ratio", "trips/lookup");
    for (const LookupCase& c : cases) {
        double lw = median(c.layer.wallNs), rw = median(c.raw.wallNs);
        double r = lw / rw;
        ok = r <= kLookupTargetRatio;
        std::printf(
            "  %-24s %7.1f us %7.1f us %7.1f us %7.1f us %6.2fx %13.2f  target <= %.1fx: %s\n",
            c.title, lw / 1e3, median(c.layer.cpuNs) / 1e3, rw / 1e3, median(c.raw.cpuNs) / 1e3, r,
            static_cast<double>(c.layer.roundTrips) / static_cast<double>(c.layer.lookups),
            kLookupTargetRatio, verdict(ok, enforced));
        targetsMet = targetsMet && ok;
    }

    std::printf("\nPeak resident size (VmHWM) during the PostgreSQL update\n");
    std::printf("  %s customers: %.1f MB (%+.1f MB over its start)\n",
                grouped(cfg.customers).c_str(), mb(q.pg.peakKb), mb(q.pg.peakKb - q.pg.startKb));
    if (big) {
        std::printf(
            "  %s customers: %.1f MB (%+.1f MB over its start), %.3f s wall, %s entries, %.2f "
            "round trips per entry; company made in %.1f s\n",
            grouped(kMillion).c_str(), mb(big->peakKb), mb(big->peakKb - big->startKb), big->wall,
            grouped(static_cast<long long>(bigEntries)).c_str(),
            bigEntries ? static_cast<double>(big->roundTrips) / static_cast<double>(bigEntries)
                       : 0.0,
            bigSetup);
        ok = mb(big->peakKb) < kPeakLimitMb;
        std::printf("  peak at %s customers, target < %.0f MB: %s\n", grouped(kMillion).c_str(),
                    kPeakLimitMb, verdict(ok, enforced));
        targetsMet = targetsMet && ok;
    } else {
        std::printf(
            "  %s customers: skipped (making that company takes minutes; run with --million)\n",
            grouped(kMillion).c_str());
    }
    if (!q.differences.empty()) {
        std::printf("\nThe queues differ at %s customers (%zu differences):\n",
                    grouped(cfg.customers).c_str(), q.differences.size());
        for (size_t i = 0; i < q.differences.size() && i < kShownDifferences; ++i)
            std::printf("  %s\n", q.differences[i].c_str());
        fail("PostgreSQL's queue and SQLite's queue differ");
    }
    return cfg.quick || targetsMet ? 0 : 1;
}

void printUsage() {
    std::printf(
        "pg_bench [--quick] [--runs N] [--customers N] [--million]\n"
        "  --quick        a small company, one run per side: fails only on errors or a queue\n"
        "                 mismatch\n"
        "  --runs N       queue updates per side, the fastest counts (default 3)\n"
        "  --customers N  the company's size for the comparison (default 100,000)\n"
        "  --million      also the PostgreSQL update at 1,000,000 customers and its peak memory\n");
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    std::optional<int> runs;
    std::optional<long> customers;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            cfg.quick = true;
        } else if (std::strcmp(argv[i], "--million") == 0) {
            cfg.million = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && positive(argv[i + 1])) {
            runs = static_cast<int>(positive(argv[++i]));
        } else if (std::strcmp(argv[i], "--customers") == 0 && i + 1 < argc &&
                   positive(argv[i + 1])) {
            customers = positive(argv[++i]);
        } else {
            printUsage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 1;
        }
    }
    if (cfg.quick) {
        cfg.runs = 1;
        cfg.customers = 2'000;
        cfg.lookupRounds = 1;
        cfg.lookupsPerRound = 500;
    }
    if (runs) cfg.runs = *runs;
    if (customers) cfg.customers = *customers;
    return runReportingErrors([&] { return run(cfg); });
}
