#include "kelvor/collection_schema.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "kelvor/dao.h"
#include "kelvor/server.h"

namespace kelvor::queueengine {

// Payments promised on a call more than the given number of days ago, by a customer who still
// owes and has paid nothing since the promised day.
const char* const kFollowUp2Query =
    "PARAMETERS Chk_FollowUp2_x Short; "
    "SELECT DISTINCTROW tblDtCallLogHeader.CustId, tblDtCallLogHeader.LogID "
    "FROM tblDtCallLogHeader INNER JOIN tblCaClientHist "
    "ON tblDtCallLogHeader.CustId = tblCaClientHist.ClientId "
    "WHERE (tblDtCallLogHeader.PromiseDate Is Not Null) "
    "AND (DateDiff(\"d\", tblDtCallLogHeader.PromiseDate, Date()) > [Chk_FollowUp2_x]) "
    "AND ((tblCaClientHist.LastPayDate Is Null) "
    "OR (tblCaClientHist.LastPayDate < tblDtCallLogHeader.PromiseDate)) "
    "AND (([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[UnpaidFinch])>0);";

// Customers with a credit limit, not on hold, whose available funds (the limit less the total
// due) fall below the minimum of the first options row (Null counts as 0).
const char* const kMinFIAQuery =
    "SELECT DISTINCTROW tblCaClient.ClientId AS ClientID "
    "FROM tblCaClient INNER JOIN tblCaClientHist ON tblCaClient.ClientId = "
    "tblCaClientHist.ClientId "
    "WHERE (tblCaClient.CreditLimit>0) AND (tblCaClient.CreditHold=False) "
    "AND (([CreditLimit]-([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]"
    "+[UnpaidFinch])) < Nz((SELECT TOP 1 tblDtOptionsSession.Chk_MinFIA_Amt FROM "
    "tblDtOptionsSession), 0));";

namespace {

const char* const kDtTables[] = {
    "CREATE TABLE tblDtOptionsSession (OptionID COUNTER PRIMARY KEY, Chk_OverLimit YESNO, "
    "Chk_NearLimit YESNO, Chk_NearLimit_Amt DOUBLE, Chk_30Days YESNO, Chk_60Days YESNO, "
    "Chk_90Days YESNO, Chk_120Days YESNO, Chk_FollowUp1 YESNO, Chk_FollowUp1_x SHORT, "
    "Chk_FollowUp1_y SHORT, Chk_FollowUp2 YESNO, Chk_FollowUp2_x SHORT, Chk_FollowUp3 YESNO, "
    "Chk_FollowUp3Priority YESNO, Chk_FollowUp3_x TEXT(50), Chk_FollowUp3_y TEXT(50), "
    "Chk_CreditHold YESNO, Chk_ResetQueue YESNO, Chk_FollowUp3BatchExcld TEXT(255), "
    "Chk_MinFIA YESNO, Chk_MinFIA_Amt DOUBLE, LastQueueProc DATETIME)",
    "CREATE TABLE tblDTQueue (QueueID COUNTER PRIMARY KEY, CustID TEXT(20), LogID LONG, "
    "TransType SHORT, Remark MEMO, LockedBy TEXT(50), EntryDate DATETIME, EntryTime DATETIME, "
    "[Delete] YESNO, FollowedUp YESNO, FollowedUpBy TEXT(50))",
    "CREATE INDEX idxQueueCustID ON tblDTQueue (CustID)",
    "CREATE INDEX idxQueueLogID ON tblDTQueue (LogID)",
    "CREATE TABLE tblDtQueueHist (HistID COUNTER PRIMARY KEY, CustID TEXT(20), LogID LONG, "
    "TransType SHORT, Remark MEMO, LockedBy TEXT(50), EntryDate DATETIME, EntryTime DATETIME, "
    "[Delete] YESNO, FollowedUp YESNO, FollowedUpBy TEXT(50))",
    "CREATE INDEX idxQueueHistCustID ON tblDtQueueHist (CustID)",
    "CREATE TABLE tblDtCallLogHeader (LogID LONG PRIMARY KEY, CustId TEXT(20), CallDate "
    "DATETIME, Collector TEXT(50), Conversation MEMO, SystemRemark MEMO, ToCallBack YESNO, "
    "CallBackDate DATETIME, LastConversationDate DATETIME, PromiseDate DATETIME, PromiseAmt "
    "CURRENCY)",
    "CREATE INDEX idxCallLogCustId ON tblDtCallLogHeader (CustId)",
    "CREATE TABLE tblDTLogon (LogonID COUNTER PRIMARY KEY, UserName TEXT(50), Workstation "
    "TEXT(64), LogonTime DATETIME)",
    "CREATE TABLE tblDtQueueProcLock (LockID COUNTER PRIMARY KEY, LockedBy TEXT(50))",
};

const char* const kCaTables[] = {
    "CREATE TABLE tblCaClient (ClientId TEXT(20) PRIMARY KEY, Name TEXT(100), CreditHold YESNO, "
    "CreditLimit CURRENCY)",
    "CREATE TABLE tblCaClientHist (ClientId TEXT(20), CurAmtDue CURRENCY, BalAge1 CURRENCY, "
    "BalAge2 CURRENCY, BalAge3 CURRENCY, BalAge4 CURRENCY, UnapplCredit CURRENCY, NewFinch "
    "CURRENCY, UnpaidFinch CURRENCY, LastPayDate DATETIME)",
    "CREATE INDEX idxHistClientId ON tblCaClientHist (ClientId)",
};

// SplitMix64: the same seed gives the same company on every machine.
class Random {
  public:
    explicit Random(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    // An amount of money in whole cents between lo and hi units.
    Currency money(int lo, int hi) {
        int64_t cents = static_cast<int64_t>(lo) * 100 + below((hi - lo) * 100 + 1);
        return Currency::fromRaw(cents * 100);
    }

  private:
    uint64_t s_;
};

const char* const kFirst[] = {"Acme",    "Baltic", "Cedar",  "Delta",   "Evergreen", "Falcon",
                              "Granite", "Harbor", "Ivory",  "Juniper", "Keystone",  "Lumen",
                              "Maple",   "Nordic", "Orchid", "Pioneer", "Quartz",    "Riverside"};
const char* const kSecond[] = {"Trading",   "Supplies", "Foods",  "Motors", "Textiles",
                               "Logistics", "Hardware", "Pharma", "Print",  "Garden"};
const char* const kCollectors[] = {"ANNA", "BORIS", "CLARA", "DEV", "ELIF"};
const char* const kTalks[] = {
    "Spoke to accounts payable; invoice was not received, resent by e-mail.",
    "Customer disputes freight charges on the last delivery; credit note requested.",
    "Promised payment by transfer after the month-end run.",
    "Left a message with reception, no call back yet.",
    "Owner says cash flow is tight; agreed to pay the oldest invoices first.",
    "Payment in the post, cheque number given.",
};

void createDatabase(const std::string& path) {
    struct stat sb;
    if (::stat(path.c_str(), &sb) == 0) throw Error::make(err::kDatabaseExists);
    DBEngine().CreateDatabase(path);
}

Currency zeroUnless(Random& r, int percent, int lo, int hi) {
    return r.chance(percent) ? r.money(lo, hi) : Currency();
}

void fillSample(Database& dt, Database& ca, const SampleOptions& sample) {
    Random r(sample.seed);
    Date today = Date::today();
    auto daysAgo = [&](int d) {
        return Date::fromSeconds(today.seconds() - int64_t{d} * Date::kSecondsPerDay);
    };
    Recordset clients = ca.OpenRecordset("tblCaClient", dbOpenDynaset, dbAppendOnly);
    Recordset hist = ca.OpenRecordset("tblCaClientHist", dbOpenDynaset, dbAppendOnly);
    Recordset logs = dt.OpenRecordset("tblDtCallLogHeader", dbOpenDynaset, dbAppendOnly);
    int32_t logId = 0;
    if (sample.progress) sample.progress(0, sample.customers);
    for (int i = 1; i <= sample.customers; ++i) {
        if (i % 1000 == 1 && i > 1 && sample.progress) sample.progress(i - 1, sample.customers);
        char id[16];
        std::snprintf(id, sizeof id, "C%06d", i);
        bool paidUp = r.chance(25);
        Currency cur = r.chance(60) ? r.money(0, 5000) : Currency();
        Currency b1 = paidUp ? Currency() : zeroUnless(r, 55, 10, 3000);
        Currency b2 = paidUp ? Currency() : zeroUnless(r, 35, 10, 2500);
        Currency b3 = paidUp ? Currency() : zeroUnless(r, 22, 10, 2000);
        Currency b4 = paidUp ? Currency() : zeroUnless(r, 14, 10, 4000);
        Currency total = Currency::fromRaw(cur.raw() + b1.raw() + b2.raw() + b3.raw() + b4.raw());
        // Limits: none for some, generous for most, close to the balance for a share.
        Currency limit;
        if (!r.chance(15)) {
            limit = r.chance(30) ? Currency::fromRaw(total.raw() + r.money(-300, 700).raw())
                                 : Currency::fromRaw(int64_t{100 * (5 + r.below(196))} * 10000);
            if (limit.raw() <= 0) limit = Currency::fromRaw(5000000);
        }
        clients.AddNew();
        clients.Fields("ClientId") = id;
        clients.Fields("Name") = std::string(kFirst[r.below(18)]) + " " + kSecond[r.below(10)];
        clients.Fields("CreditHold") = r.chance(5);
        clients.Fields("CreditLimit") = limit;
        clients.Update();

        hist.AddNew();
        hist.Fields("ClientId") = id;
        hist.Fields("CurAmtDue") = cur;
        hist.Fields("BalAge1") = b1;
        hist.Fields("BalAge2") = b2;
        hist.Fields("BalAge3") = b3;
        hist.Fields("BalAge4") = b4;
        hist.Fields("UnapplCredit") = zeroUnless(r, 10, 1, 500);
        hist.Fields("NewFinch") = zeroUnless(r, 10, 1, 50);
        hist.Fields("UnpaidFinch") = zeroUnless(r, 10, 1, 80);
        hist.Fields("LastPayDate") = r.chance(70) ? Value(daysAgo(1 + r.below(120))) : Value();
        hist.Update();

        int calls = r.chance(40) ? 0 : r.chance(60) ? 1 : r.chance(60) ? 2 : 3;
        for (int c = 0; c < calls; ++c) {
            int talkedDaysAgo = r.below(60);
            logs.AddNew();
            logs.Fields("LogID") = ++logId;
            logs.Fields("CustId") = id;
            logs.Fields("CallDate") = daysAgo(talkedDaysAgo);
            logs.Fields("Collector") = kCollectors[r.below(5)];
            logs.Fields("Conversation") = kTalks[r.below(6)];
            logs.Fields("LastConversationDate") =
                r.chance(90) ? Value(daysAgo(talkedDaysAgo)) : Value();
            if (r.chance(30)) {
                logs.Fields("PromiseDate") = daysAgo(r.below(30));
                logs.Fields("PromiseAmt") = r.money(50, 2000);
            }
            bool callBack = r.chance(20);
            logs.Fields("ToCallBack") = callBack;
            if (callBack)
                logs.Fields("CallBackDate") = r.chance(25) ? today : daysAgo(r.below(20) - 10);
            logs.Update();
        }
    }
}

}  // namespace

namespace {

void makeCompany(const CompanyFiles& f, const SampleOptions& sample) {
    Workspace ws = DBEngine().Workspaces(0);
    {
        Database so = ws.OpenDatabase(f.so);
        so.Execute(
            "CREATE TABLE tblSoOrder (OrderID COUNTER PRIMARY KEY, ClientId TEXT(20), "
            "OrderDate DATETIME, Amount CURRENCY)");
        Database gl = ws.OpenDatabase(f.gl);
        gl.Execute(
            "CREATE TABLE tblGlAccount (AccountNo TEXT(20) PRIMARY KEY, Description "
            "TEXT(100), Balance CURRENCY)");
    }
    Database ca = ws.OpenDatabase(f.ca);
    for (const char* sql : kCaTables) ca.Execute(sql);
    Database dt = ws.OpenDatabase(f.dt);
    for (const char* sql : kDtTables) dt.Execute(sql);
    // A running queue update holds tblDtQueueProcLock; new logons must wait for it, sessions
    // already open must not stop it.
    dt.GuardTable("tblDTLogon", "tblDtQueueProcLock");
    dt.LinkTable("tblCaClient", f.ca);
    dt.LinkTable("tblCaClientHist", f.ca);
    dt.CreateQueryDef("qryDtFollowUp2b", kFollowUp2Query);
    dt.CreateQueryDef("qryDtMinFIA2", kMinFIAQuery);
    dt.Execute(
        "INSERT INTO tblDtOptionsSession (Chk_OverLimit, Chk_NearLimit, Chk_NearLimit_Amt, "
        "Chk_30Days, Chk_60Days, Chk_90Days, Chk_120Days, Chk_FollowUp1, Chk_FollowUp1_x, "
        "Chk_FollowUp1_y, Chk_FollowUp2, Chk_FollowUp2_x, Chk_FollowUp3, Chk_FollowUp3Priority, "
        "Chk_FollowUp3_x, Chk_FollowUp3_y, Chk_CreditHold, Chk_ResetQueue, "
        "Chk_FollowUp3BatchExcld, Chk_MinFIA, Chk_MinFIA_Amt) VALUES (True, True, 500, True, "
        "True, True, True, True, 14, 30, True, 7, True, True, Null, Null, True, False, Null, "
        "True, 250)");
    if (sample.customers > 0) {
        DBEngine().BeginTrans();
        try {
            fillSample(dt, ca, sample);
            DBEngine().CommitTrans();
        } catch (...) {
            DBEngine().Rollback();
            throw;
        }
    }
}

}  // namespace

namespace {

// A company on a server: its databases are the schemas NAME_dt, NAME_ca, NAME_so and NAME_gl
// beside the path's schema NAME.
CompanyFiles createOnServer(const std::string& base, const SampleOptions& sample) {
    CompanyFiles f{base + "_dt", base + "_ca", base + "_so", base + "_gl"};
    std::vector<std::string> made;
    try {
        for (const auto* p : {&f.dt, &f.ca, &f.so, &f.gl}) {
            DBEngine().CreateDatabase(*p);
            made.push_back(*p);
        }
        makeCompany(f, sample);
    } catch (...) {
        for (const auto& p : made) {
            try {
                DropServerDatabase(p);
            } catch (const JetError&) {
                // the failure that stopped the creation is the one to report
            }
        }
        throw;
    }
    return f;
}

}  // namespace

CompanyFiles CreateCompany(const std::string& dir, const SampleOptions& sample) {
    if (NamesServerDatabase(dir)) return createOnServer(dir, sample);
    std::error_code ec;
    bool madeDir = std::filesystem::create_directories(dir, ec);
    if (ec) throw Error::make(err::kInvalidPath, dir);
    std::string base = std::filesystem::absolute(dir).lexically_normal().string();
    if (base.size() > 1 && base.back() == '/') base.pop_back();
    CompanyFiles f{base + "/DT.mdb", base + "/CA.mdb", base + "/SO.mdb", base + "/GL.mdb"};
    for (const auto* p : {&f.dt, &f.ca, &f.so, &f.gl}) {
        struct stat sb;
        if (::stat(p->c_str(), &sb) == 0) throw Error::make(err::kDatabaseExists);
    }
    std::vector<std::string> made;
    try {
        for (const auto* p : {&f.dt, &f.ca, &f.so, &f.gl}) {
            createDatabase(*p);
            made.push_back(*p);
        }
        makeCompany(f, sample);
    } catch (...) {
        // Half a company is no company: what this call made goes (every handle on it is
        // closed by now, so each lock file has gone with its last user).
        for (const auto& p : made) std::filesystem::remove(p, ec);
        if (madeDir) std::filesystem::remove(dir, ec);
        throw;
    }
    return f;
}

}  // namespace kelvor::queueengine
