// Benchmark of the queue engine: a full ProcessQueue run with every rule on (the options row that
// CreateCompany writes), against the same queue computed set-based in SQLite SQL, measured in the
// same run.
//
// Engine: ProcessQueue on a company of 10,000 and on one of 100,000 customers, timed by the CPU
// time of this process (user and system; other work on a busy machine disturbs it less than the
// wall clock, which is shown beside it), with the peak resident size (VmHWM, reset just before
// the run) while it runs.
//
// Set-based: a handful of INSERT ... SELECT and UPDATE statements on a plain SQLite connection to
// a copy of the same DT database with the CA database attached, with the durability settings the
// engine layer uses (rollback journal, synchronous=FULL), all in one transaction. They do the
// whole run: the time stamp, the housekeeping, every rule in its order, the merge rule and the
// call logs' system remarks. Both sides must leave the same queue (CustID, LogID, TransType and
// Remark of every entry) and the same SystemRemark on every call log; any difference fails the
// benchmark in every mode, as it shows that one of the two is wrong.
//
// Every run starts from a fresh copy of the company as CreateCompany made it; the runs of the
// two sides alternate, and each side's best run counts. Targets (full run): engine / set-based at
// 100,000 customers at most 4x; the engine's time at 100,000 customers at most 12 times its time at
// 10,000 (linear work grows 10 times); peak resident size during the run under 100 MB.
//
//   queue_bench [--quick] [--runs N] [--engine-only CUSTOMERS]
//     --quick        one small company and one run per side: a smoke test that fails only on
//                    errors or a queue mismatch, never on timing
//     --runs N       runs per side and company size (default 3)
//     --engine-only  nothing but one engine run on a company of that many customers (for
//                    running under a profiler)
//
// The exit status is 1 on any error (an engine error, a queue mismatch) and, in the full run, on
// a missed target.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "bench_util.h"
#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/queue_engine.h"

namespace {

using namespace kelvor;
using namespace kelvor::bench;
using queueengine::CompanyFiles;

constexpr double kSetBasedTargetRatio = 4.0;
constexpr double kGrowthTargetRatio = 12.0;
constexpr double kPeakLimitMb = 100.0;
constexpr uint64_t kSeed = 20240611;
// Differences shown when the queues do not match.
constexpr size_t kShownDifferences = 8;

struct Config {
    bool quick = false;
    int runs = 3;
    long engineOnly = 0;  // customers of the one engine run; 0 for the whole benchmark
    std::vector<long> sizes = {10'000, 100'000};
};

// ---- a plain SQLite connection ---------------------------------------------------------------

using SqlValue = std::variant<std::monostate, int64_t, double, std::string>;
using Params = std::vector<std::pair<const char*, SqlValue>>;

class RawDb {
  public:
    explicit RawDb(const std::string& path) : path_(path) {
        int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        if (rc != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close_v2(db_);
            fail("sqlite3_open_v2 " + path + ": " + msg);
        }
    }
    ~RawDb() {
        for (auto& [sql, st] : cache_) sqlite3_finalize(st);
        sqlite3_close_v2(db_);
    }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const std::string& sql) {
        char* msg = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
            std::string text = msg ? msg : "?";
            sqlite3_free(msg);
            fail(path_ + ": " + text + "\n  in: " + sql);
        }
    }

    // Runs one statement to its end; `params` are bound by name, those it does not use are
    // left out. Calls `row` for every result row.
    template <typename RowFn>
    void run(const std::string& sql, const Params& params, RowFn row) {
        sqlite3_stmt* st = prepare(sql);
        for (const auto& [name, value] : params) {
            int i = sqlite3_bind_parameter_index(st, name);
            if (i == 0) continue;
            if (const auto* v = std::get_if<int64_t>(&value)) {
                sqlite3_bind_int64(st, i, *v);
            } else if (const auto* d = std::get_if<double>(&value)) {
                sqlite3_bind_double(st, i, *d);
            } else if (const auto* s = std::get_if<std::string>(&value)) {
                sqlite3_bind_text(st, i, s->data(), static_cast<int>(s->size()), SQLITE_STATIC);
            } else {
                sqlite3_bind_null(st, i);
            }
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        if (rc != SQLITE_DONE) fail(path_ + ": " + sqlite3_errmsg(db_) + "\n  in: " + sql);
    }
    void run(const std::string& sql, const Params& params = {}) {
        run(sql, params, [](sqlite3_stmt*) {});
    }
    int64_t integer(const std::string& sql, const Params& params = {}) {
        int64_t v = 0;
        bool seen = false;
        run(sql, params, [&](sqlite3_stmt* st) {
            v = sqlite3_column_int64(st, 0);
            seen = true;
        });
        if (!seen) fail(path_ + ": no row from " + sql);
        return v;
    }

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> cache_;

    sqlite3_stmt* prepare(const std::string& sql) {
        auto it = cache_.find(sql);
        if (it != cache_.end()) return it->second;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            fail(path_ + ": " + sqlite3_errmsg(db_) + "\n  in: " + sql);
        cache_.emplace(sql, st);
        return st;
    }
};

std::optional<std::string> textColumn(sqlite3_stmt* st, int i) {
    if (sqlite3_column_type(st, i) == SQLITE_NULL) return std::nullopt;
    const unsigned char* p = sqlite3_column_text(st, i);
    return std::string(reinterpret_cast<const char*>(p),
                       static_cast<size_t>(sqlite3_column_bytes(st, i)));
}

// ---- the set-based queue ---------------------------------------------------------------------
//
// What the engine does row by row, as a fold per customer. Every rule hands each of its rows to
// the insertion in the rule order; the first hand-over of a customer adds his entry, each later
// one merges into it. The merge drops the final "." of the stored remark and appends "; ", CR LF
// and the new reason, and every reason ends with a "."; so an entry's remark is its reasons,
// each without its ".", joined by "; " CR LF, with one "." at the end. The entry keeps the type
// of its first hand-over; when that is an ageing type, the reasons of later ageing hand-overs
// are left out. Its LogID is that of the last hand-over.
//
// Each hand-over with a call log also writes the entry's merged text into that call log, the
// last hand-over per call log winning; an ageing reason left out of an ageing entry's remark is
// appended in that text all the same. The customer-account rules all take the customer's first
// call log, so the entry's own call log gets the text of the customer's last hand-over; only the
// follow-up rules, which take the call log of the row they select, leave other call logs with
// the text as it stood at their hand-over.
//
// The queue starts empty (checked after the housekeeping; the companies here are new), so no
// hand-over can meet an entry of an earlier run, and since every rule takes a call log of the
// customer at hand, no two customers' hand-overs share a call log: one entry per customer is
// also one entry per call log. The call-back rule, which alone may overwrite, comes first: with
// the priority on, its second hand-over of a customer overwrites the entry its first made with
// the same values, so one row stands for them all.
//
// The follow-up rules' hand-overs are kept one per row in `fu`, keyed by customer and order
// (rule number << 24 | the row id of the row the rule's statement reads, in which order the
// engine's statements return them). The customer-account rules are counted per customer in
// `acc`: seven bits per rule in one integer, a count rather than a flag because a customer with
// several balance rows is handed over once per row.

// The reasons without their final ".".
const char* const kCallBack = "It is time to call back the customer";
struct AccountRule {
    const char* count;  // column name in the assembly
    int transType;
    const char* param;   // its reason's parameter
    const char* reason;  // without the final "."
};
// In the run order, each with its field of seven bits in acc.m.
const AccountRule kAccountRules[] = {
    {"a120", 5, ":r5", "This Account is 120 days overdue"},
    {"a90", 4, ":r4", "This Account is 90 days overdue"},
    {"a60", 3, ":r3", "This Account is 60 days overdue"},
    {"a30", 2, ":r2", "This Account is 30 days overdue"},
    {"ol", 1, ":r1", "This Account is Over its Credit Limit"},
    {"nl", 6, ":r6", "This Account is approaching its Credit Limit"},
    {"ch", 10, ":r10", "This Account is on Credit Hold"},
    {"mf", 12, ":r12", "The Available Funds falls below the minimum allowed"},
};
constexpr int kAgeingRules = 4;  // the first four of kAccountRules

// Totals as the statements of the rules write them.
const std::string kTotalDue =
    "(c.CurAmtDue+c.BalAge1+c.BalAge2+c.BalAge3+c.BalAge4-c.UnapplCredit+c.UnpaidFinch)";
const std::string kAgeingDue =
    "(c.BalAge1+c.BalAge2+c.BalAge3+c.BalAge4-c.UnapplCredit+c.NewFinch+c.UnpaidFinch)";

const char* const kTempTables =
    "CREATE TEMP TABLE fu (CustID TEXT COLLATE NOCASE, ord INTEGER, LogID INTEGER, piece TEXT, "
    "PRIMARY KEY (CustID, ord)) WITHOUT ROWID;"
    "CREATE TEMP TABLE fa (CustID TEXT COLLATE NOCASE PRIMARY KEY, first INTEGER, lastKey "
    "INTEGER, text TEXT) WITHOUT ROWID;"
    "CREATE TEMP TABLE acc (CustID TEXT COLLATE NOCASE PRIMARY KEY, m INTEGER) WITHOUT ROWID;"
    "CREATE TEMP TABLE reasons (m INTEGER PRIMARY KEY, firstType INTEGER, plain TEXT, "
    "afterFollowUps TEXT, unmerged TEXT);"
    "CREATE TEMP TABLE fin (CustID TEXT COLLATE NOCASE PRIMARY KEY, LogID INTEGER, TransType "
    "INTEGER, body TEXT, unmerged TEXT) WITHOUT ROWID;"
    "CREATE TEMP TABLE mirror (LogID INTEGER PRIMARY KEY, txt TEXT);";

// GetLogID: the first call log header the customer index gives.
std::string firstLogOf(const std::string& cust) {
    return "coalesce((SELECT g.LogID FROM tblDtCallLogHeader g WHERE g.CustId = " + cust +
           " LIMIT 1), 0)";
}

// The call-back rule. Its customers' first call log, not the row's.
const std::string kFollowUp3 =
    "INSERT OR IGNORE INTO fu (CustID, ord, LogID, piece) "
    "SELECT h.CustId, (1 << 24) | CASE WHEN :prio THEN 0 ELSE h.rowid END, " +
    firstLogOf("h.CustId") +
    ", :r9 FROM tblDtCallLogHeader h "
    "WHERE h.ToCallBack = -1 AND h.CallBackDate = :todayStart AND h.CustId <> ''";

// Promised payment not received (the saved query qryDtFollowUp2b). DISTINCTROW keeps one row per
// call log header: the key on (CustID, ord) drops a second.
const std::string kFollowUp2 =
    "INSERT OR IGNORE INTO fu (CustID, ord, LogID, piece) "
    "SELECT h.CustId, (2 << 24) | h.rowid, coalesce(h.LogID, 0), :r8 "
    "FROM tblDtCallLogHeader h JOIN ca.tblCaClientHist c ON h.CustId = c.ClientId "
    "WHERE h.PromiseDate IS NOT NULL AND :today - h.PromiseDate / 86400 > :x2 "
    "AND (c.LastPayDate IS NULL OR c.LastPayDate < h.PromiseDate) AND " +
    kTotalDue + " > 0 AND h.CustId <> ''";

// No payment since the last call. Dates are whole seconds after day 0, so dividing gives the
// day number that DateDiff counts with.
const std::string kFollowUp1 =
    "INSERT OR IGNORE INTO fu (CustID, ord, LogID, piece) "
    "SELECT h.CustId, (3 << 24) | h.rowid, coalesce(h.LogID, 0), :r7 "
    "FROM tblDtCallLogHeader h JOIN ca.tblCaClientHist c ON h.CustId = c.ClientId WHERE " +
    kTotalDue +
    " > 0 AND coalesce(h.LastConversationDate, :d2099) > coalesce(c.LastPayDate, :d1968) "
    "AND :today - coalesce(h.LastConversationDate, :d1968) / 86400 >= :x1 AND h.CustId <> ''";

// Per customer with follow-up hand-overs: the first, the last with its LogID (ord and LogID in
// one key, so that max() picks both), and the reasons in order (the key's order feeds the
// aggregate).
const char* const kFollowUpsPerCustomer =
    "INSERT INTO fa (CustID, first, lastKey, text) "
    "SELECT CustID, min(ord), max((ord << 32) | (LogID & 4294967295)), group_concat(piece, :sep) "
    "FROM fu GROUP BY CustID";

// The customer-account rules in one pass: ageing 120, 90, 60, 30 days, over the limit, near it,
// credit hold, below the minimum funds. The credit-hold rule reads tblCaClient alone, hence the
// outer join; the minimum-funds query keeps one row per customer (DISTINCTROW), and the
// credit-hold rule has one per customer anyway, so both are counted once in `reasons`. The
// totals are worked out once per row, in the materialised view. A Null in a total keeps only
// the rules that use it from selecting the customer, as it does in their statements.
const std::string kAccountRulesPass =
    "WITH x AS MATERIALIZED (SELECT cl.ClientId AS id, cl.CreditHold AS hold, cl.CreditLimit AS "
    "lim, c.BalAge1 AS b1, c.BalAge2 AS b2, c.BalAge3 AS b3, c.BalAge4 AS b4, " +
    kAgeingDue + " AS ageing, " + kTotalDue +
    " AS due FROM ca.tblCaClient cl LEFT JOIN ca.tblCaClientHist c ON c.ClientId = cl.ClientId "
    "WHERE cl.ClientId <> '') "
    "INSERT INTO acc (CustID, m) SELECT id, m FROM (SELECT id, CASE WHEN hold = 0 THEN "
    "(CASE WHEN ageing > 0 THEN (:on120 AND b4 > 0) + ((:on90 AND b3 > 0) << 7) "
    "+ ((:on60 AND b2 > 0) << 14) + ((:on30 AND b1 > 0) << 21) ELSE 0 END) "
    "+ (CASE WHEN lim > 0 THEN (((:onOver AND due > lim) IS 1) << 28) "
    "+ (((:onNear AND due > 0 AND lim - due <= :nearLimit) IS 1) << 35) "
    "+ (((:onMinFunds AND lim - due < :minFunds) IS 1) << 49) ELSE 0 END) "
    "WHEN hold = -1 THEN :onHold << 42 ELSE 0 END AS m FROM x) WHERE m "
    "ON CONFLICT (CustID) DO UPDATE SET m = m + excluded.m";

// The customer-account part of an entry depends on the counts alone, and few combinations
// occur: it is worked out once per combination. `plain` is the text of an entry that these
// rules made (the first ageing reason only, then the others), `afterFollowUps` the part that
// follows the follow-up reasons of an entry that they made (every reason); both have the
// separator in front of each reason. `unmerged` is the reason appended to the call log's text
// but not to the remark: of an entry that only ageing rules made, several times.
std::string reasonsPerCombination() {
    std::string counts;
    for (size_t i = 0; i < std::size(kAccountRules); ++i) {
        std::string field = "((m >> " + std::to_string(7 * i) + ") & 127)";
        bool once = std::strcmp(kAccountRules[i].count, "ch") == 0 ||
                    std::strcmp(kAccountRules[i].count, "mf") == 0;
        counts += ", " + (once ? "min(" + field + ", 1)" : field) + " AS " + kAccountRules[i].count;
    }
    // Each reason `count` times, the separator in front of each.
    auto repeated = [](const AccountRule& r) {
        return std::string("replace(hex(zeroblob(") + r.count + ")), '00', :sep || " + r.param +
               ")";
    };
    std::string allAgeing, firstAgeing = "(CASE", others, firstType = "CASE", lastAgeing = "CASE";
    for (int i = 0; i < static_cast<int>(std::size(kAccountRules)); ++i) {
        const AccountRule& r = kAccountRules[i];
        if (i < kAgeingRules) {
            allAgeing += repeated(r) + " || ";
            firstAgeing += std::string(" WHEN ") + r.count + " THEN :sep || " + r.param;
        } else {
            others += " || " + repeated(r);
        }
        firstType += std::string(" WHEN ") + r.count + " THEN " + std::to_string(r.transType);
    }
    for (int i = kAgeingRules - 1; i > 0; --i)
        lastAgeing +=
            std::string(" WHEN ") + kAccountRules[i].count + " THEN " + kAccountRules[i].param;
    lastAgeing += std::string(" ELSE ") + kAccountRules[0].param + " END";
    firstAgeing += " ELSE '' END)";
    firstType += " END";
    return "INSERT INTO reasons (m, firstType, plain, afterFollowUps, unmerged) SELECT m, " +
           firstType + ", substr(" + firstAgeing + others + ", length(:sep) + 1), " + allAgeing +
           others.substr(4) +
           ", CASE WHEN ol + nl + ch + mf = 0 AND a120 + a90 + a60 + a30 > 1 THEN " + lastAgeing +
           " END FROM (SELECT m" + counts + " FROM (SELECT DISTINCT m FROM acc))";
}

// The entries of customers the customer-account rules queued, with the follow-up reasons in
// front when they have any; the customer-account rules come last, so the LogID is the
// customer's first call log. CustID is spelt as tblCaClient spells it (for customers only the
// follow-up rules queued, as a call log does), where the engine keeps the spelling of the first
// hand-over: the two differ only for an id written in different cases in different tables,
// which a generated company never has.
const std::string kAccountEntries =
    "INSERT INTO fin (CustID, LogID, TransType, body, unmerged) SELECT a.CustID, " +
    firstLogOf("a.CustID") +
    ", CASE WHEN f.text IS NOT NULL THEN (CASE f.first >> 24 WHEN 1 THEN 9 WHEN 2 THEN 8 "
    "ELSE 7 END) ELSE r.firstType END, "
    "CASE WHEN f.text IS NOT NULL THEN f.text || r.afterFollowUps ELSE r.plain END, "
    "CASE WHEN f.text IS NULL THEN r.unmerged END "
    "FROM acc a JOIN reasons r ON r.m = a.m LEFT JOIN fa f ON f.CustID = a.CustID";

// Customers only the follow-up rules queued: the last hand-over's LogID, the first one's type.
const char* const kFollowUpEntries =
    "INSERT INTO fin (CustID, LogID, TransType, body, unmerged) "
    "SELECT CustID, CASE WHEN lastKey & 4294967295 >= 2147483648 "
    "THEN (lastKey & 4294967295) - 4294967296 ELSE lastKey & 4294967295 END, "
    "CASE first >> 24 WHEN 1 THEN 9 WHEN 2 THEN 8 ELSE 7 END, text, NULL "
    "FROM fa f WHERE NOT EXISTS (SELECT 1 FROM acc a WHERE a.CustID = f.CustID)";

const char* const kQueueInsert =
    "INSERT INTO tblDTQueue (CustID, LogID, TransType, Remark, EntryDate, EntryTime) "
    "SELECT CustID, LogID, TransType, body || '.', :entryDate, :entryTime FROM fin";

// The entry's own call log: the text after the customer's last hand-over.
const char* const kOwnCallLogText =
    "INSERT INTO mirror (LogID, txt) SELECT LogID, body || coalesce(:sep || unmerged, '') || '.' "
    "FROM fin WHERE LogID <> 0";

// Call logs that only follow-up hand-overs carry, other than the entry's: the text as it stood
// after the last such hand-over, that is the follow-up reasons up to it (an entry that has
// follow-up reasons starts with them and so has no ageing type to leave anything out).
const char* const kEarlierCallLogText =
    "INSERT INTO mirror (LogID, txt) SELECT t.LogID, coalesce((SELECT group_concat(e.piece, :sep) "
    "FROM fu e WHERE e.CustID = t.CustID AND e.ord < t.ord) || :sep, '') || t.piece || '.' "
    "FROM fu t JOIN fin ON fin.CustID = t.CustID "
    "WHERE t.LogID <> 0 AND t.LogID <> fin.LogID AND NOT EXISTS (SELECT 1 FROM fu l "
    "WHERE l.CustID = t.CustID AND l.ord > t.ord AND l.LogID = t.LogID)";

const char* const kSystemRemarks =
    "UPDATE tblDtCallLogHeader SET SystemRemark = m.txt FROM mirror AS m "
    "WHERE tblDtCallLogHeader.LogID = m.LogID";

struct Options {
    bool overLimit, nearLimit, days30, days60, days90, days120, followUp1, followUp2, followUp3,
        followUp3Priority, creditHold, resetQueue, minFunds;
    double nearLimitAmt = 0, minFundsAmt = 0;
    int64_t followUp1Days = 0, followUp2Days = 0;
};

Options readOptions(RawDb& db) {
    Options o{};
    bool seen = false;
    db.run(
        "SELECT Chk_OverLimit, Chk_NearLimit, Chk_30Days, Chk_60Days, Chk_90Days, Chk_120Days, "
        "Chk_FollowUp1, Chk_FollowUp2, Chk_FollowUp3, Chk_FollowUp3Priority, Chk_CreditHold, "
        "Chk_ResetQueue, Chk_MinFIA, Chk_NearLimit_Amt, Chk_MinFIA_Amt, Chk_FollowUp1_x, "
        "Chk_FollowUp2_x FROM tblDtOptionsSession ORDER BY rowid LIMIT 1",
        {}, [&](sqlite3_stmt* st) {
            seen = true;
            bool* flags[] = {&o.overLimit, &o.nearLimit,         &o.days30,     &o.days60,
                             &o.days90,    &o.days120,           &o.followUp1,  &o.followUp2,
                             &o.followUp3, &o.followUp3Priority, &o.creditHold, &o.resetQueue,
                             &o.minFunds};
            for (int i = 0; i < 13; ++i) {
                if (sqlite3_column_type(st, i) == SQLITE_NULL) fail("a Null option");
                *flags[i] = sqlite3_column_int64(st, i) != 0;
            }
            o.nearLimitAmt = sqlite3_column_double(st, 13);
            o.minFundsAmt = sqlite3_column_double(st, 14);
            o.followUp1Days = sqlite3_column_int64(st, 15);
            o.followUp2Days = sqlite3_column_int64(st, 16);
        });
    if (!seen) fail("no options row");
    return o;
}

// The whole run, set-based, on the DT database at `dtPath` with the CA database at `caPath`.
void setBasedRun(const std::string& dtPath, const std::string& caPath) {
    RawDb db(dtPath);
    db.exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL; PRAGMA temp_store=MEMORY");
    db.run("ATTACH DATABASE :path AS ca", {{":path", caPath}});
    db.exec("BEGIN");
    Options o = readOptions(db);
    Date now = Date::now();
    int64_t day = now.dayNumber();
    auto flag = [](bool b) { return SqlValue(int64_t{b ? 1 : 0}); };
    Params p = {
        {":now", now.seconds()},
        {":today", day},
        {":todayStart", day * Date::kSecondsPerDay},
        {":entryDate", day * Date::kSecondsPerDay},
        {":entryTime", now.seconds() - day * Date::kSecondsPerDay},
        {":d1968", Date::fromParts(1968, 1, 1).seconds()},
        {":d2099", Date::fromParts(2099, 1, 1).seconds()},
        {":x1", o.followUp1Days},
        {":x2", o.followUp2Days},
        {":nearLimit", o.nearLimitAmt * Currency::kScale},
        {":minFunds", o.minFundsAmt * Currency::kScale},
        {":prio", flag(o.followUp3Priority)},
        {":on120", flag(o.days120)},
        {":on90", flag(o.days90)},
        {":on60", flag(o.days60)},
        {":on30", flag(o.days30)},
        {":onOver", flag(o.overLimit)},
        {":onNear", flag(o.nearLimit)},
        {":onHold", flag(o.creditHold)},
        {":onMinFunds", flag(o.minFunds)},
        {":sep", std::string("; \r\n")},
        {":r9", std::string(kCallBack)},
        {":r8", "Follow-Up to last call made more than " + std::to_string(o.followUp2Days) +
                    " days ago and payment was promised but has not been received"},
        {":r7", "Follow-Up to last call made more than " + std::to_string(o.followUp1Days) +
                    " days ago but no payment has been received"},
    };
    for (const AccountRule& r : kAccountRules) p.emplace_back(r.param, std::string(r.reason));

    // The stamp and the housekeeping.
    db.run(
        "UPDATE tblDtOptionsSession SET LastQueueProc = :now "
        "WHERE rowid = (SELECT min(rowid) FROM tblDtOptionsSession)",
        p);
    if (o.resetQueue) {
        db.run(
            "UPDATE tblDtCallLogHeader SET SystemRemark = NULL "
            "WHERE LogID IN (SELECT LogID FROM tblDTQueue)");
        db.run("DELETE FROM tblDTQueue");
    }
    db.run(
        "INSERT INTO tblDtQueueHist (CustID, LogID, TransType, Remark, LockedBy, EntryDate, "
        "EntryTime, \"Delete\", FollowedUp, FollowedUpBy) SELECT CustID, LogID, TransType, "
        "Remark, LockedBy, EntryDate, EntryTime, \"Delete\", FollowedUp, FollowedUpBy "
        "FROM tblDTQueue WHERE FollowedUp = -1");
    db.run("DELETE FROM tblDTQueue WHERE FollowedUp = -1");
    if (db.integer("SELECT count(*) FROM tblDTQueue") != 0)
        fail("the set-based queue is built from an empty queue, and this one is not");
    if (db.integer("SELECT coalesce(max(rowid), 0) FROM tblDtCallLogHeader") >= int64_t{1} << 24)
        fail("call log row ids beyond the 24 bits the set-based order keeps for them");

    // The rules, then the entries and the call logs' texts.
    db.exec(kTempTables);
    if (o.followUp3) db.run(kFollowUp3, p);
    if (o.followUp2) db.run(kFollowUp2, p);
    if (o.followUp1) db.run(kFollowUp1, p);
    db.run(kFollowUpsPerCustomer, p);
    db.run(kAccountRulesPass, p);
    db.run(reasonsPerCombination(), p);
    db.run(kAccountEntries, p);
    db.run(kFollowUpEntries, p);
    db.run(kQueueInsert, p);
    db.run(kOwnCallLogText, p);
    db.run(kEarlierCallLogText, p);
    db.run(kSystemRemarks, p);
    db.exec("COMMIT");
}

// ---- comparing the results -------------------------------------------------------------------

Outcome readOutcome(const std::string& dtPath) {
    Outcome out;
    RawDb db(dtPath);
    db.run("SELECT CustID, LogID, TransType, Remark FROM tblDTQueue", {}, [&](sqlite3_stmt* st) {
        Entry e;
        e.custId = textColumn(st, 0).value_or("");
        e.logId = sqlite3_column_int64(st, 1);
        e.transType = sqlite3_column_int64(st, 2);
        e.remark = textColumn(st, 3);
        out.queue.push_back(std::move(e));
    });
    std::sort(out.queue.begin(), out.queue.end(),
              [](const Entry& a, const Entry& b) { return a.custId < b.custId; });
    db.run("SELECT LogID, SystemRemark FROM tblDtCallLogHeader", {},
           [&](sqlite3_stmt* st) { out.remarks[sqlite3_column_int64(st, 0)] = textColumn(st, 1); });
    return out;
}

// The queue's own rules: one entry per customer (names compare without regard to case) and one
// per call log other than 0.
std::vector<std::string> invariantBreaches(const Outcome& o) {
    std::vector<std::string> out;
    std::map<std::string, int> customers;
    std::map<int64_t, std::vector<std::string>> logs;
    for (const Entry& e : o.queue) {
        std::string key = e.custId;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (++customers[key] == 2) out.push_back("two entries for customer " + e.custId);
        if (e.logId != 0) logs[e.logId].push_back(e.custId);
    }
    for (const auto& [logId, custs] : logs)
        if (custs.size() > 1)
            out.push_back("call log " + std::to_string(logId) + " on " +
                          std::to_string(custs.size()) + " entries (" + custs[0] + ", " + custs[1] +
                          ")");
    return out;
}

// Lines describing each difference; empty when the two outcomes agree.
std::vector<std::string> differences(const Outcome& engine, const Outcome& set) {
    std::vector<std::string> out;
    for (const std::string& b : invariantBreaches(engine)) out.push_back("engine queue: " + b);
    for (const std::string& b : invariantBreaches(set)) out.push_back("set-based queue: " + b);
    const Sides sides{"the engine's queue", "the set-based queue",
                      "engine:    ", "set-based: ", "missing in the set-based copy"};
    queueDifferences(engine, set, sides, out);
    remarkDifferences(engine, set, sides, out);
    return out;
}

// ---- the runs --------------------------------------------------------------------------------

struct Timing {
    double wall = 0, cpu = 0;
    long startKb = 0, peakKb = 0;
};

struct SizeResult {
    long customers = 0;
    Timing engine, set;  // best runs; the engine's peak is the highest of its runs
    size_t entries = 0, remarks = 0;
};

// A company made once, copied for every run.
class Company {
  public:
    Company(const ScratchDir& dir, long customers)
        : dir_(dir), name_("c" + std::to_string(customers)) {
        queueengine::SampleOptions sample;
        sample.customers = static_cast<int>(customers);
        sample.seed = kSeed;
        files_ = queueengine::CreateCompany(dir.file(name_), sample);
    }
    // The company as CreateCompany left it, in a folder of its own. The copied DT still links
    // the company's own CA database, which no run writes.
    CompanyFiles copy(const std::string& label) const {
        return copyCompany(files_, dir_.file(name_ + "-" + label));
    }
    const CompanyFiles& files() const { return files_; }

  private:
    const ScratchDir& dir_;
    std::string name_;
    CompanyFiles files_;
};

Timing engineRun(const CompanyFiles& f) {
    Timing t;
    t.startKb = startPeak();
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    {
        queueengine::QueueEngine engine;
        processQueue(engine, f, "ProcessQueue");
    }
    t.wall = secondsSince(t0);
    t.cpu = cpuSeconds() - cpu0;
    t.peakKb = statusKb("VmHWM:");
    return t;
}

Timing setRun(const CompanyFiles& f) {
    Timing t;
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    setBasedRun(f.dt, f.ca);
    t.wall = secondsSince(t0);
    t.cpu = cpuSeconds() - cpu0;
    return t;
}

// The set-based statements follow the saved queries' texts as CreateCompany writes them.
void requireKnownQueries(const CompanyFiles& f) {
    RawDb db(f.dt);
    const std::pair<const char*, const char*> queries[] = {
        {"qryDtMinFIA2", queueengine::kMinFIAQuery},
        {"qryDtFollowUp2b", queueengine::kFollowUp2Query}};
    for (const auto& [name, text] : queries) {
        std::optional<std::string> stored;
        db.run("SELECT SQL FROM MSysObjects WHERE Name = :n", {{":n", std::string(name)}},
               [&](sqlite3_stmt* st) { stored = textColumn(st, 0); });
        if (stored != std::string(text))
            fail(std::string("the saved query ") + name +
                 " is not the one the set-based statements follow; update them");
    }
}

SizeResult measure(const ScratchDir& dir, long customers, int runs) {
    SizeResult r;
    r.customers = customers;
    auto t0 = Clock::now();
    Company company(dir, customers);
    requireKnownQueries(company.files());
    std::printf("setup: %s customers (%.2f s)\n", grouped(customers).c_str(), secondsSince(t0));
    std::fflush(stdout);

    // The runs alternate, so that both sides see the machine in the same state. The rules
    // compare with today's date: a pair of runs that midnight falls between is run again.
    std::optional<CompanyFiles> lastEngine, lastSet;
    for (int i = 0, copies = 0; i < runs; ++copies) {
        CompanyFiles e = company.copy("engine" + std::to_string(copies));
        CompanyFiles s = company.copy("set" + std::to_string(copies));
        int64_t day = Date::today().dayNumber();
        Timing te = engineRun(e), ts = setRun(s);
        if (Date::today().dayNumber() != day) continue;
        keepBest(r.engine, te, i == 0, &Timing::cpu);
        keepBest(r.set, ts, i == 0, &Timing::cpu);
        lastEngine = e;
        lastSet = s;
        ++i;
    }

    Outcome engine = readOutcome(lastEngine->dt), set = readOutcome(lastSet->dt);
    std::vector<std::string> diff = differences(engine, set);
    if (!diff.empty()) {
        std::printf("\nThe queues differ at %s customers (%zu differences):\n",
                    grouped(customers).c_str(), diff.size());
        for (size_t i = 0; i < diff.size() && i < kShownDifferences; ++i)
            std::printf("  %s\n", diff[i].c_str());
        fail("the engine's queue and the set-based queue differ");
    }
    r.entries = engine.queue.size();
    for (const auto& [logId, text] : engine.remarks) r.remarks += text ? 1 : 0;
    return r;
}

int engineOnly(long customers) {
    ScratchDir dir("queue-bench");
    Company company(dir, customers);
    Timing t = engineRun(company.copy("engine"));
    std::printf("engine, %s customers: %.3f s wall, %.3f s CPU, peak %.1f MB\n",
                grouped(customers).c_str(), t.wall, t.cpu, mb(t.peakKb));
    return 0;
}

int run(const Config& cfg) {
    if (cfg.engineOnly > 0) return engineOnly(cfg.engineOnly);
    ScratchDir dir("queue-bench");
    std::printf(
        "Queue engine benchmark%s: ProcessQueue with every rule on, against the same "
        "queue computed set-based in SQLite SQL (best of %d run%s)\n\n",
        cfg.quick ? " (quick)" : "", cfg.runs, cfg.runs == 1 ? "" : "s");
    std::vector<SizeResult> results;
    for (long n : cfg.sizes) results.push_back(measure(dir, n, cfg.runs));

    std::printf("\n  %9s  %8s  %8s | %17s %8s %9s | %17s %8s | %6s\n", "customers", "entries",
                "remarks", "engine CPU time", "wall", "peak", "set-based CPU", "wall", "ratio");
    for (const SizeResult& r : results)
        std::printf("  %9s  %8s  %8s | %15.3f s %6.3f s %6.1f MB | %15.3f s %6.3f s | %5.2fx\n",
                    grouped(r.customers).c_str(), grouped(static_cast<long>(r.entries)).c_str(),
                    grouped(static_cast<long>(r.remarks)).c_str(), r.engine.cpu, r.engine.wall,
                    mb(r.engine.peakKb), r.set.cpu, r.set.wall, r.engine.cpu / r.set.cpu);
    std::printf("  the queues and the system remarks match at every size\n\n");

    bool targetsMet = true;
    bool enforced = !cfg.quick;
    const SizeResult& big = results.back();
    double ratio = big.engine.cpu / big.set.cpu;
    bool ok = ratio <= kSetBasedTargetRatio;
    std::printf("engine / set-based at %s customers: %.2fx, target <= %.0fx: %s\n",
                grouped(big.customers).c_str(), ratio, kSetBasedTargetRatio, verdict(ok, enforced));
    targetsMet = targetsMet && ok;
    if (results.size() > 1) {
        const SizeResult& small = results.front();
        double growth = big.engine.cpu / small.engine.cpu;
        ok = growth <= kGrowthTargetRatio;
        std::printf("engine at %s / at %s customers: %.2fx, target <= %.0fx: %s\n",
                    grouped(big.customers).c_str(), grouped(small.customers).c_str(), growth,
                    kGrowthTargetRatio, verdict(ok, enforced));
        targetsMet = targetsMet && ok;
    }
    ok = mb(big.engine.peakKb) < kPeakLimitMb;
    std::printf(
        "peak resident size during the run at %s customers: %.1f MB (%+.1f MB over its "
        "start), target < %.0f MB: %s\n",
        grouped(big.customers).c_str(), mb(big.engine.peakKb),
        mb(big.engine.peakKb - big.engine.startKb), kPeakLimitMb, verdict(ok, enforced));
    targetsMet = targetsMet && ok;
    return cfg.quick || targetsMet ? 0 : 1;
}

void printUsage() {
    std::printf(
        "queue_bench [--quick] [--runs N] [--engine-only CUSTOMERS]\n"
        "  --quick        one small company and one run per side: fails only on errors or a\n"
        "                 queue mismatch\n"
        "  --runs N       runs per side and company size, the best counts (default 3)\n"
        "  --engine-only  one engine run on a company of that many customers, nothing else\n");
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            cfg.quick = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && positive(argv[i + 1])) {
            cfg.runs = static_cast<int>(positive(argv[++i]));
        } else if (std::strcmp(argv[i], "--engine-only") == 0 && i + 1 < argc &&
                   positive(argv[i + 1])) {
            cfg.engineOnly = positive(argv[++i]);
        } else {
            printUsage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 1;
        }
    }
    if (cfg.quick) {
        cfg.sizes = {2'000};
        cfg.runs = 1;
    }
    return runReportingErrors([&] { return run(cfg); });
}
