// Acceptance set for the Jet SQL that the queue engine and the maintenance wizard send. Every
// statement is assembled from the same pieces the programs join, and runs against real database
// files whose data is chosen so that the engine's answers (DISTINCTROW over joins, Null in sums,
// exact money, dates with a time of day, two-digit years, case-blind text) differ from what a
// naive translation to SQLite would give.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kelvor/dao.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "test_util.h"

namespace kelvor {
namespace {

using test::CreateAndOpen;
using test::TempDir;

const std::string kQuote = "\"";
using FieldValues = std::vector<std::pair<std::string, Value>>;
using Rows = std::vector<std::string>;

// Day `offset` from today, at the given time of day.
Date Day(int offset, int hour = 0, int minute = 0) {
    return Date::fromSeconds((Date::today().dayNumber() + offset) * Date::kSecondsPerDay +
                             hour * 3600 + minute * 60);
}

void AddRow(Database& db, const std::string& table, const FieldValues& fields) {
    Recordset rs = db.OpenRecordset(table, dbOpenDynaset);
    rs.AddNew();
    for (const auto& [name, value] : fields) rs.Fields(name) = value;
    rs.Update();
    rs.Close();
}

std::string Text(const Value& v) {
    return v.isNull() ? std::string("Null") : v.toString();
}

// Every row of `rs` as its named fields' values joined with '|' (all fields when none named).
Rows ReadRows(Recordset rs, const std::vector<std::string>& fields = {}) {
    Rows rows;
    while (!rs.EOF_()) {
        std::string row;
        if (fields.empty()) {
            for (int i = 0; i < rs.FieldCount(); ++i)
                row += (i ? "|" : "") + Text(rs.Fields(i).Value());
        } else {
            for (size_t i = 0; i < fields.size(); ++i)
                row += (i ? "|" : "") + Text(rs.Fields(fields[i]).Value());
        }
        rows.push_back(row);
        rs.MoveNext();
    }
    rs.Close();
    return rows;
}

// The rows `read` gives, or one row naming the engine's error: a failing statement shows up in
// the comparison and the remaining cases of a table still run.
template <typename F>
Rows Capture(F read) {
    try {
        return read();
    } catch (const JetError& e) {
        return {"JetError " + std::to_string(e.number()) + ": " + e.description()};
    }
}

Rows Query(Database& db, const std::string& sql, const std::vector<std::string>& fields = {},
           int type = dbOpenForwardOnly, int options = 0) {
    return Capture([&] { return ReadRows(db.OpenRecordset(sql, type, options), fields); });
}

// The engine's error number for `f`, 0 when it succeeds.
template <typename F>
int ErrorOf(F f) {
    try {
        f();
    } catch (const JetError& e) {
        return e.number();
    }
    return 0;
}

Rows Sorted(Rows rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
}

// ---- The statements, joined from the programs' pieces ----------------------------------------

const std::string kAgeingSelect =
    "SELECT DISTINCTROW tblCaClientHist.ClientId as CustID FROM tblCaClient INNER "
    "JOIN tblCaClientHist ON tblCaClient.ClientId = tblCaClientHist.ClientId ";
const std::string kAgeingNotOnHold = "(tblCaClient.CreditHold=False)); ";
// The condition piece of each ageing rule.
const std::string kAgeing120Days =
    "WHERE ((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
    "AND (tblCaClientHist.BalAge4>0) AND ";
const std::string kAgeing90Days =
    "WHERE ((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
    "AND (tblCaClientHist.BalAge3>0) AND ";
const std::string kAgeing60Days =
    "WHERE ((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
    "AND (tblCaClientHist.BalAge2>0) AND ";
const std::string kAgeing30Days =
    "WHERE ((([BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+[NewFinch]+[UnpaidFinch])>0) "
    "AND (tblCaClientHist.BalAge1>0) AND ";

const std::string kOverLimit =
    "SELECT DISTINCTROW tblCaClientHist.ClientId as CustID, "
    "[CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit] "
    "+[UnpaidFinch] AS TotalDue, tblCaClient.CreditLimit FROM tblCaClient "
    "INNER JOIN tblCaClientHist ON tblCaClient.ClientId = tblCaClientHist.ClientId "
    "WHERE "
    "((([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit] "
    "+[UnpaidFinch])>[CreditLimit]) AND (tblCaClient.CreditLimit>0) AND "
    "(tblCaClient.CreditHold=False)); ";

std::string NearLimit(double threshold) {
    return "SELECT DISTINCTROW tblCaClientHist.ClientId as CustID,  tblCaClient.CreditLimit "
           "FROM tblCaClient INNER JOIN tblCaClientHist ON tblCaClient.ClientId = "
           "tblCaClientHist.ClientId WHERE "
           "((([CreditLimit]-([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4] "
           "-[UnapplCredit]+[UnpaidFinch]))<= " +
           NumberToSqlText(threshold) +
           " ) AND (([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4]-[UnapplCredit]+"
           "[UnpaidFinch])>0) AND (tblCaClient.CreditLimit>0) AND "
           "(tblCaClient.CreditHold=False)); ";
}

const std::string kCreditHold =
    "SELECT DISTINCTROW tblCaClient.ClientId as CustID FROM tblCaClient WHERE "
    "((tblCaClient.CreditHold=True)); ";

const std::string kCallBackDue =
    "SELECT tblDtCallLogHeader.CustId, tblDtCallLogHeader.LogID FROM tblDtCallLogHeader WHERE "
    "tblDtCallLogHeader.ToCallBack=True AND tblDtCallLogHeader.CallBackDate=Date();";

std::string NoPaymentSinceCall(double days) {
    return "SELECT DISTINCTROW tblDtCallLogHeader.CustId, tblDtCallLogHeader.LogID FROM "
           "tblDtCallLogHeader INNER JOIN tblCaClientHist ON "
           "tblDtCallLogHeader.CustId = tblCaClientHist.ClientId WHERE "
           "((([CurAmtDue]+[BalAge1]+[BalAge2]+[BalAge3]+[BalAge4] "
           "-[UnapplCredit]+[UnpaidFinch])>0) AND "
           "((IIf(IIf(IsNull([LastConversationDate]), "
           "#01/1/2099#,[LastConversationDate]) "
           "> "
           "IIf(IsNull([LastPayDate]), "
           "#01/1/68#, [LastPayDate]), True, False)) = True) AND "
           "((DateDiff(" +
           kQuote + "d" + kQuote + ", " +
           "IIf(IsNull([LastConversationDate]), "
           "#01/1/68#, [LastConversationDate]), Date())) >= " +
           NumberToSqlText(days) + ")); ";
}

std::string QueueEntryOfCustomer(const std::string& custId) {
    return "SELECT DISTINCTROW tblDTQueue.* FROM tblDTQueue "
           "WHERE ((tblDTQueue.CustID=" +
           kQuote + custId + kQuote + ")); ";
}

std::string QueueEntryOfLog(int32_t logId) {
    return "SELECT DISTINCTROW tblDTQueue.* FROM tblDTQueue "
           "WHERE ((tblDTQueue.LogID= " +
           NumberToSqlText(logId) + ")); ";
}

std::string CallLogOfCustomer(const std::string& custId) {
    return "SELECT DISTINCTROW tblDtCallLogHeader.LogID, "
           "tblDtCallLogHeader.CustId FROM tblDtCallLogHeader WHERE "
           "((tblDtCallLogHeader.CustId=" +
           kQuote + custId + kQuote + ")); ";
}

std::string SystemRemarkOfLog(int32_t logId) {
    return "select SystemRemark from tblDtCallLogHeader where LogID=" + NumberToSqlText(logId);
}

const std::string kClearQueuedRemarks =
    "UPDATE DISTINCTROW tblDtCallLogHeader INNER JOIN "
    "tblDTQueue ON tblDtCallLogHeader.LogID = tblDTQueue.LogID SET "
    "tblDtCallLogHeader.SystemRemark = Null; ";
const std::string kEmptyQueue = "DELETE DISTINCTROW tblDTQueue.* FROM tblDTQueue;";
const std::string kCopyFollowedUpToHist =
    "INSERT INTO tblDtQueueHist ( CustID, LogID, TransType, Remark, "
    "LockedBy, EntryDate, EntryTime, [Delete], FollowedUp, "
    "FollowedUpBy ) SELECT tblDTQueue.CustID, tblDTQueue.LogID, "
    "tblDTQueue.TransType, tblDTQueue.Remark, tblDTQueue.LockedBy, "
    "tblDTQueue.EntryDate, tblDTQueue.EntryTime, tblDTQueue.Delete, "
    "tblDTQueue.FollowedUp, tblDTQueue.FollowedUpBy FROM "
    "tblDTQueue WHERE (((tblDTQueue.FollowedUp)=True)); ";
const std::string kDeleteFollowedUp =
    "DELETE tblDTQueue.* FROM tblDTQueue WHERE "
    "tblDTQueue.FollowedUp=True; ";

// The promise query saved in the collection database: a payment promised (PromiseAmt > 0) on
// PromiseDate is outstanding while no payment is dated on or after that day.
const std::string kPromiseQueryBody =
    "SELECT DISTINCTROW tblDtCallLogHeader.CustId, tblDtCallLogHeader.LogID "
    "FROM tblDtCallLogHeader INNER JOIN tblCaClientHist "
    "ON tblDtCallLogHeader.CustId = tblCaClientHist.ClientId "
    "WHERE tblDtCallLogHeader.PromiseAmt > 0 "
    "AND DateDiff(\"d\", tblDtCallLogHeader.PromiseDate, Date()) > [Chk_FollowUp2_x] "
    "AND (tblCaClientHist.LastPayDate Is Null "
    "OR tblCaClientHist.LastPayDate < tblDtCallLogHeader.PromiseDate)";

// ---- The collection database with the customer accounts linked in ---------------------------

class JetStatementsQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        caPath_ = dir_.file("CA.mdb");
        ca_ = CreateAndOpen(caPath_);
        ca_.Execute(
            "CREATE TABLE tblCaClient (ClientId TEXT(20) PRIMARY KEY, CreditHold YESNO, "
            "CreditLimit CURRENCY)");
        ca_.Execute(
            "CREATE TABLE tblCaClientHist (ClientId TEXT(20), CurAmtDue CURRENCY, "
            "BalAge1 CURRENCY, BalAge2 CURRENCY, BalAge3 CURRENCY, BalAge4 CURRENCY, "
            "UnapplCredit CURRENCY, NewFinch CURRENCY, UnpaidFinch CURRENCY, "
            "LastPayDate DATETIME)");

        dt_ = CreateAndOpen(dir_.file("DT.mdb"));
        const std::string queueColumns =
            " (CustID TEXT(20), LogID LONG, TransType SHORT, Remark MEMO, LockedBy TEXT(50), "
            "EntryDate DATETIME, EntryTime DATETIME, [Delete] YESNO, FollowedUp YESNO, "
            "FollowedUpBy TEXT(50))";
        dt_.Execute("CREATE TABLE tblDTQueue" + queueColumns);
        dt_.Execute("CREATE TABLE tblDtQueueHist" + queueColumns);
        dt_.Execute(
            "CREATE TABLE tblDtCallLogHeader (LogID LONG PRIMARY KEY, CustId TEXT(20), "
            "SystemRemark MEMO, ToCallBack YESNO, CallBackDate DATETIME, "
            "LastConversationDate DATETIME, PromiseDate DATETIME, PromiseAmt CURRENCY)");
        dt_.Execute(
            "CREATE TABLE tblDtOptionsSession (Chk_OverLimit YESNO, Chk_NearLimit YESNO, "
            "Chk_NearLimit_Amt DOUBLE, Chk_FollowUp1_x SHORT, Chk_FollowUp3_x TEXT(50), "
            "Chk_ResetQueue YESNO, LastQueueProc DATETIME)");
        dt_.LinkTable("tblCaClient", caPath_);
        dt_.LinkTable("tblCaClientHist", caPath_);
    }

    void Client(const std::string& id, bool hold = false, const char* limit = "0") {
        AddRow(ca_, "tblCaClient",
               {{"ClientId", id}, {"CreditHold", hold}, {"CreditLimit", Currency::parse(limit)}});
    }

    // A balance row; `amounts` names the columns that are not 0 ("BalAge1=10.5"), "=null"
    // stores Null.
    void Hist(const std::string& id, const std::string& amounts = "", Value lastPay = Value()) {
        static const char* const kMoney[] = {"CurAmtDue", "BalAge1",    "BalAge2",
                                             "BalAge3",   "BalAge4",    "UnapplCredit",
                                             "NewFinch",  "UnpaidFinch"};
        std::map<std::string, std::string> given;
        std::istringstream in(amounts);
        for (std::string item; in >> item;) {
            auto eq = item.find('=');
            given[item.substr(0, eq)] = item.substr(eq + 1);
        }
        FieldValues row{{"ClientId", id}, {"LastPayDate", lastPay}};
        for (const char* column : kMoney) {
            auto it = given.find(column);
            std::string text = it == given.end() ? "0" : it->second;
            row.emplace_back(column, text == "null" ? Value() : Value(Currency::parse(text)));
            if (it != given.end()) given.erase(it);
        }
        ASSERT_TRUE(given.empty()) << "unknown column in '" << amounts << "'";
        AddRow(ca_, "tblCaClientHist", row);
    }

    // A customer and one balance row.
    void Account(const std::string& id, const std::string& amounts, bool hold = false,
                 const char* limit = "0") {
        Client(id, hold, limit);
        Hist(id, amounts);
    }

    void CallLog(int32_t logId, const std::string& custId, FieldValues more = {}) {
        more.emplace_back("LogID", logId);
        more.emplace_back("CustId", custId);
        AddRow(dt_, "tblDtCallLogHeader", more);
    }

    void Queue(const std::string& custId, int32_t logId, FieldValues more = {}) {
        more.emplace_back("CustId", custId);
        more.emplace_back("LogID", logId);
        AddRow(dt_, "tblDTQueue", more);
    }

    Rows Table(const std::string& name) {
        return Query(dt_, "SELECT * FROM " + name + " ORDER BY CustID, LogID");
    }

    TempDir dir_;
    std::string caPath_;
    Database ca_, dt_;
};

TEST_F(JetStatementsQueue, AgeingRulesSelectOverdueAccountsNotOnHold) {
    Account("AGE30", "BalAge1=100");
    Account("AGE60", "BalAge2=0.01");
    Account("AGE90", "BalAge3=40");
    Account("AGE120", "BalAge1=10 BalAge4=50");
    Client("Mixed");
    Hist("MIXED", "BalAge4=5");  // the join compares ids without case
    Account("HOLD", "BalAge1=100 BalAge2=100 BalAge3=100 BalAge4=100", true);
    Account("CREDITED", "BalAge3=100 UnapplCredit=100");
    Account("CENTS", "BalAge2=0.10 BalAge3=0.20 UnapplCredit=0.30");
    Account("CURONLY", "CurAmtDue=500");
    Account("NULLSUM", "BalAge2=100 NewFinch=null");
    Account("FINCH", "BalAge1=10 UnapplCredit=20 NewFinch=15");
    Account("TWOHIST", "BalAge1=10");
    Hist("TWOHIST", "BalAge1=10");
    Client("NOHIST");
    Hist("ORPHAN", "BalAge1=10");

    struct Case {
        const char* rule;
        const std::string& condition;
        Rows expected;
    };
    const Case cases[] = {
        {"Exceed120Days", kAgeing120Days, {"AGE120", "MIXED"}},
        {"Exceed90Days", kAgeing90Days, {"AGE90"}},
        {"Exceed60Days", kAgeing60Days, {"AGE60"}},
        // A customer with two balance rows is a row of the history table twice.
        {"Exceed30Days", kAgeing30Days, {"AGE120", "AGE30", "FINCH", "TWOHIST", "TWOHIST"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_EQ(Sorted(Query(dt_, kAgeingSelect + c.condition + kAgeingNotOnHold, {"CustId"})),
                  c.expected);
    }
}

TEST_F(JetStatementsQueue, CreditRulesCompareExactMoney) {
    Account("OVER", "CurAmtDue=150", false, "100");
    Account("OVER10", "CurAmtDue=110", false, "100");
    Account("UNPAID", "CurAmtDue=90 UnpaidFinch=20", false, "100");
    Account("EXACT", "CurAmtDue=0.10 BalAge1=0.20", false, "0.30");
    Account("NEAR", "CurAmtDue=600", false, "1000");
    Account("FAR", "CurAmtDue=100", false, "1000");
    Account("NOLIMIT", "CurAmtDue=500", false, "0");
    Account("HOLDOVER", "CurAmtDue=500", true, "100");
    Client("HOLDONLY", true, "0");
    Account("NEWFINONLY", "NewFinch=500", false, "100");
    Account("CREDITED", "CurAmtDue=50 UnapplCredit=80", false, "100");
    Account("NULLSUM", "CurAmtDue=500 UnpaidFinch=null", false, "100");
    Account("TWOHIST", "CurAmtDue=150", false, "100");
    Hist("TWOHIST", "CurAmtDue=150");

    struct Case {
        std::string name, sql;
        Rows expected;
        std::vector<std::string> fields = {"CustId"};
    };
    const Rows atOrOverLimit = {"EXACT", "OVER", "OVER10", "TWOHIST", "TWOHIST", "UNPAID"};
    const Case cases[] = {
        {"OverLimit",
         kOverLimit,
         {"OVER10|110|100", "OVER|150|100", "TWOHIST|150|100", "TWOHIST|150|100", "UNPAID|110|100"},
         {"CustId", "TotalDue", "CreditLimit"}},
        {"NearLimit 500",
         NearLimit(500),
         {"EXACT", "NEAR", "OVER", "OVER10", "TWOHIST", "TWOHIST", "UNPAID"}},
        {"NearLimit 399.99", NearLimit(399.99), atOrOverLimit},
        {"NearLimit 0", NearLimit(0), atOrOverLimit},
        {"NearLimit .5", NearLimit(0.5), atOrOverLimit},  // written " .5"
        {"NearLimit -20", NearLimit(-20), {"OVER", "TWOHIST", "TWOHIST"}},
        {"CreditHold", kCreditHold, {"HOLDONLY", "HOLDOVER"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + ": " + c.sql);
        EXPECT_EQ(Sorted(Query(dt_, c.sql, c.fields)), c.expected);
    }
}

TEST_F(JetStatementsQueue, CallBackDueTodayMatchesDateOnly) {
    CallLog(1, "TODAY", {{"ToCallBack", true}, {"CallBackDate", Day(0)}});
    CallLog(2, "YESTERDAY", {{"ToCallBack", true}, {"CallBackDate", Day(-1)}});
    CallLog(3, "TOMORROW", {{"ToCallBack", true}, {"CallBackDate", Day(1)}});
    CallLog(4, "TODAYATTEN", {{"ToCallBack", true}, {"CallBackDate", Day(0, 10, 30)}});
    CallLog(5, "NOTFLAGGED", {{"ToCallBack", false}, {"CallBackDate", Day(0)}});
    CallLog(6, "TWICE", {{"ToCallBack", true}, {"CallBackDate", Day(0)}});
    CallLog(7, "TWICE", {{"ToCallBack", true}, {"CallBackDate", Day(0)}});

    EXPECT_EQ(Sorted(Query(dt_, kCallBackDue, {"CustId", "LogID"})),
              (Rows{"TODAY|1", "TWICE|6", "TWICE|7"}));
}

TEST_F(JetStatementsQueue, NoPaymentSinceLastCallCountsDayBoundaries) {
    // A call log with its last conversation and the customer's balance row.
    auto called = [&](int32_t logId, const std::string& cust, Value conversation,
                      const std::string& amounts, Value lastPay = Value()) {
        CallLog(logId, cust, {{"LastConversationDate", conversation}});
        if (!amounts.empty()) Hist(cust, amounts, lastPay);
    };
    // Never spoken to: the conversation counts as 1 January 1968 for the day count.
    called(10, "NOCONV", Value(), "BalAge1=10");
    // A conversation in 1999 is later than a missing payment (1968, not 2068).
    called(11, "OLDCALL", Date::fromParts(1999, 6, 1), "CurAmtDue=10");
    called(12, "RECENT", Day(-14, 23), "BalAge2=5");  // 13 days 1 hour: 14 day boundaries
    called(13, "TOOSOON", Day(-13), "BalAge2=5");
    called(14, "TODAYCALL", Day(0, 9), "BalAge2=5");
    called(15, "PAIDAFTER", Day(-20), "BalAge1=10", Day(-10));
    called(16, "PAIDSAME", Day(-20), "BalAge1=10", Day(-20));
    called(17, "OWESNOTHING", Day(-30), "BalAge1=10 UnapplCredit=10");
    called(18, "NULLSUM", Day(-30), "BalAge1=10 UnpaidFinch=null");
    called(19, "NEWFINCH", Day(-30), "NewFinch=9");
    called(20, "NOHIST", Day(-30), "");
    called(21, "TWOLOGS", Day(-30), "");
    called(22, "TWOLOGS", Day(-40), "BalAge3=1");
    // Two balance rows do not multiply the call log, the only table that supplies columns.
    called(31, "TWOHIST", Day(-30), "BalAge1=1");
    Hist("TWOHIST", "BalAge1=2");

    const Rows atLeast14 = {"NOCONV|10",  "OLDCALL|11", "RECENT|12",
                            "TWOHIST|31", "TWOLOGS|21", "TWOLOGS|22"};
    Rows atLeast0 = atLeast14;
    atLeast0.insert(atLeast0.end(), {"TODAYCALL|14", "TOOSOON|13"});
    struct Case {
        double days;
        Rows expected;
    };
    const Case cases[] = {{14, atLeast14}, {0, Sorted(atLeast0)}};
    for (const Case& c : cases) {
        std::string sql = NoPaymentSinceCall(c.days);
        SCOPED_TRACE(sql);
        EXPECT_EQ(Sorted(Query(dt_, sql, {"CustId", "LogID"})), c.expected);
    }
}

TEST_F(JetStatementsQueue, PromiseQueryTakesItsDayCountAsParameter) {
    CallLog(41, "PROMOLD", {{"PromiseDate", Day(-10)}, {"PromiseAmt", Currency::parse("50")}});
    Hist("PROMOLD");
    CallLog(42, "PROMPAID", {{"PromiseDate", Day(-10)}, {"PromiseAmt", Currency::parse("50")}});
    Hist("PROMPAID", "", Day(-2));
    CallLog(43, "PROMEDGE", {{"PromiseDate", Day(-7)}, {"PromiseAmt", Currency::parse("50")}});
    Hist("PROMEDGE");
    CallLog(44, "NOPROMISE", {{"PromiseDate", Day(-30)}});
    Hist("NOPROMISE");
    CallLog(45, "PAIDBEFORE", {{"PromiseDate", Day(-10)}, {"PromiseAmt", Currency::parse("5")}});
    Hist("PAIDBEFORE", "", Day(-12));

    // The same query saved twice over: as stored text with PARAMETERS, and by DDL.
    const std::string savings[] = {
        "",
        "CREATE PROCEDURE qryDtFollowUp2b (Chk_FollowUp2_x Short) AS " + kPromiseQueryBody + ";"};
    for (const std::string& ddl : savings) {
        SCOPED_TRACE(ddl.empty() ? "CreateQueryDef" : ddl);
        if (ddl.empty())
            dt_.CreateQueryDef("qryDtFollowUp2b",
                               "PARAMETERS Chk_FollowUp2_x Short; " + kPromiseQueryBody + ";");
        else
            dt_.Execute(ddl);

        QueryDef qd = dt_.QueryDefs("qryDtFollowUp2b");
        auto open = [&] {
            return Capture([&] {
                return Sorted(ReadRows(qd.OpenRecordset(dbOpenForwardOnly), {"CustId", "LogID"}));
            });
        };
        // Without a value for its parameter the query is refused.
        EXPECT_EQ(open(), (Rows{"JetError 3061: Too few parameters. Expected 1."}));
        EXPECT_EQ(ErrorOf([&] { qd.Parameters("Chk_FollowUp1_x"); }), err::kItemNotFound);

        qd.Parameters("Chk_FollowUp2_x") = Value(int16_t{7});
        EXPECT_EQ(open(), (Rows{"PAIDBEFORE|45", "PROMOLD|41"}));
        qd.Parameters("Chk_FollowUp2_x") = Value(int16_t{6});
        EXPECT_EQ(open(), (Rows{"PAIDBEFORE|45", "PROMEDGE|43", "PROMOLD|41"}));
        qd = QueryDef();
        dt_.Execute("DROP PROCEDURE qryDtFollowUp2b");
    }
}

// The queue insertion: lookups by customer and by call log as updatable dynasets, the add on
// the table, the merge of remarks into the found row, and the mirror into the call log.
TEST_F(JetStatementsQueue, QueueInsertionLookupsAreUpdatable) {
    CallLog(7, "C2");
    CallLog(9, "C3", {{"SystemRemark", "kept"}});
    const Date now = Date::now();
    const Date timeOfDay = Date::fromSeconds(now.seconds() - now.dayNumber() * 86400);

    Recordset add = dt_.OpenRecordset("tblDTQueue", dbOpenDynaset);
    for (auto [cust, log, type, remark] :
         {std::tuple{"C1", 0, 2, "This Account is 30 days overdue."},
          std::tuple{"C2", 7, 1, "This Account is Over its Credit Limit."}}) {
        add.AddNew();
        add.Fields("CustId") = cust;
        add.Fields("LogID") = Value(int32_t{log});
        add.Fields("TransType") = Value(static_cast<int16_t>(type));
        add.Fields("Remark") = remark;
        add.Fields("EntryDate") = Date::today();
        add.Fields("EntryTime") = timeOfDay;
        add.Update();
    }
    add.Close();

    EXPECT_TRUE(dt_.OpenRecordset(QueueEntryOfCustomer("C4"), dbOpenDynaset).EOF_());
    EXPECT_TRUE(dt_.OpenRecordset(QueueEntryOfLog(8), dbOpenDynaset).EOF_());

    // Merge eight reasons into the entry found case-blind by customer: the remark outgrows 255
    // characters and keeps its line breaks.
    std::string expected = "This Account is Over its Credit Limit.";
    for (int i = 0; i < 8; ++i) {
        Recordset rs = dt_.OpenRecordset(QueueEntryOfCustomer("c2"), dbOpenDynaset);
        ASSERT_FALSE(rs.EOF_());
        std::string stored = rs.Fields("Remark").Value().text();
        ASSERT_EQ(stored, expected);
        stored.pop_back();
        expected = stored + "; \r\n" + "This Account is on Credit Hold.";
        rs.Edit();
        rs.Fields("LogID") = Value(int32_t{7});
        rs.Fields("Remark") = expected;
        rs.Fields("EntryDate") = Date::today();
        rs.Update();
        rs.Close();
    }
    ASSERT_GT(expected.size(), 255u);

    EXPECT_EQ(Query(dt_, QueueEntryOfLog(7), {"CustId", "TransType", "Remark"}, dbOpenDynaset),
              (Rows{"C2|1|" + expected}));
    EXPECT_EQ(Query(dt_, CallLogOfCustomer("C2"), {"LogID", "CustId"}), (Rows{"7|C2"}));
    EXPECT_TRUE(Query(dt_, CallLogOfCustomer("C1")).empty());

    Recordset mirror = dt_.OpenRecordset(SystemRemarkOfLog(7), dbOpenDynaset);
    ASSERT_FALSE(mirror.EOF_());
    mirror.Edit();
    mirror.Fields("SystemRemark") = expected;
    mirror.Update();
    mirror.Close();

    EXPECT_EQ(Query(dt_, "SELECT LogID, SystemRemark FROM tblDtCallLogHeader ORDER BY LogID"),
              (Rows{"7|" + expected, "9|kept"}));
    EXPECT_EQ(Query(dt_, "SELECT CustID, LogID, TransType FROM tblDTQueue ORDER BY CustID"),
              (Rows{"C1|0|2", "C2|7|1"}));
}

TEST_F(JetStatementsQueue, EmptyQueueClearsRemarksOfQueuedLogsThenEverything) {
    CallLog(1, "A", {{"SystemRemark", "queued A"}});
    CallLog(2, "B", {{"SystemRemark", "not queued"}});
    CallLog(3, "C", {{"SystemRemark", "queued C"}});
    for (auto [cust, log] : {std::pair{"A", 1}, {"C", 3}, {"Z", 0}, {"Y", 99}}) Queue(cust, log);

    QueryDef qd = dt_.CreateQueryDef("");
    qd.SQL(kClearQueuedRemarks);
    qd.Execute(dbFailOnError);
    EXPECT_EQ(qd.RecordsAffected(), 2);
    EXPECT_EQ(Query(dt_, "SELECT LogID, SystemRemark FROM tblDtCallLogHeader ORDER BY LogID"),
              (Rows{"1|Null", "2|not queued", "3|Null"}));
    EXPECT_EQ(Table("tblDTQueue").size(), 4u);

    qd.SQL(kEmptyQueue);
    qd.Execute(dbFailOnError);
    EXPECT_EQ(qd.RecordsAffected(), 4);
    EXPECT_TRUE(Table("tblDTQueue").empty());
    EXPECT_TRUE(dt_.QueryNames().empty()) << "the temporary query was saved";

    // On an empty queue both statements change nothing.
    qd.SQL(kClearQueuedRemarks);
    qd.Execute(dbFailOnError);
    EXPECT_EQ(qd.RecordsAffected(), 0);
    qd.SQL(kEmptyQueue);
    qd.Execute(dbFailOnError);
    EXPECT_EQ(qd.RecordsAffected(), 0);
}

TEST_F(JetStatementsQueue, FollowedUpEntriesAreCopiedToHistoryThenDeleted) {
    const std::string longRemark = std::string(300, 'r') + ";\r\nend.";
    Queue("X", 5,
          {{"TransType", Value(int16_t{4})},
           {"Remark", longRemark},
           {"LockedBy", "ann"},
           {"EntryDate", Day(-3)},
           {"EntryTime", Date::fromParts(1899, 12, 30, 14, 5, 9)},
           {"Delete", true},
           {"FollowedUp", true},
           {"FollowedUpBy", "bob"}});
    Queue("Y", 6, {{"TransType", Value(int16_t{1})}, {"FollowedUp", false}});
    Queue("Z", 0, {{"TransType", Value(int16_t{10})}});  // FollowedUp left Null
    const Rows before = Table("tblDTQueue");
    ASSERT_EQ(before.size(), 3u);

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first run" : "second run");
        QueryDef copy = dt_.CreateQueryDef("");
        copy.SQL(kCopyFollowedUpToHist);
        copy.Execute(dbFailOnError);
        EXPECT_EQ(copy.RecordsAffected(), run == 0 ? 1 : 0);
        QueryDef remove = dt_.CreateQueryDef("");
        remove.SQL(kDeleteFollowedUp);
        remove.Execute(dbFailOnError);
        EXPECT_EQ(remove.RecordsAffected(), run == 0 ? 1 : 0);

        // The ten columns arrive one to one.
        EXPECT_EQ(Table("tblDtQueueHist"), (Rows{before[0]}));
        EXPECT_EQ(Table("tblDTQueue"), (Rows{before[1], before[2]}));
    }
}

TEST_F(JetStatementsQueue, OptionsAreReadFromTheFirstRowAndStamped) {
    AddRow(dt_, "tblDtOptionsSession",
           {{"Chk_OverLimit", true}, {"Chk_NearLimit", false}, {"Chk_ResetQueue", true}});
    AddRow(dt_, "tblDtOptionsSession",
           {{"Chk_OverLimit", false},
            {"Chk_NearLimit", true},
            {"Chk_NearLimit_Amt", 250.5},
            {"Chk_FollowUp1_x", Value(int16_t{14})},
            {"Chk_ResetQueue", false}});

    EXPECT_EQ(Query(dt_, "tblDtOptionsSession",
                    {"Chk_OverLimit", "Chk_NearLimit", "Chk_NearLimit_Amt", "Chk_FollowUp1_x",
                     "Chk_FollowUp3_x"}),
              (Rows{"True|False|Null|Null|Null", "False|True|250.5|14|Null"}));

    const Date stamp = Date::now();
    Recordset rs = dt_.OpenRecordset("tblDtOptionsSession", dbOpenDynaset);
    ASSERT_FALSE(rs.EOF_());
    rs.Edit();
    rs.Fields("LastQueueProc") = stamp;
    rs.Update();
    rs.Close();
    EXPECT_EQ(Query(dt_, "tblDtOptionsSession", {"Chk_NearLimit", "LastQueueProc"}),
              (Rows{"False|" + stamp.toString(), "True|Null"}));
}

// A run reads the linked accounts and changes the queue inside one transaction; a rollback
// leaves everything as it was.
TEST_F(JetStatementsQueue, RunStatementsInsideOneTransaction) {
    Account("AGE30", "BalAge1=100");
    CallLog(1, "AGE30", {{"SystemRemark", "queued"}});
    Queue("AGE30", 1, {{"FollowedUp", true}});
    Queue("OTHER", 0);
    const Rows queue = Table("tblDTQueue");

    DBEngine().BeginTrans();
    EXPECT_EQ(ErrorOf([&] { dt_.Execute(kClearQueuedRemarks, dbFailOnError); }), 0);
    EXPECT_EQ(ErrorOf([&] { dt_.Execute(kEmptyQueue, dbFailOnError); }), 0);
    EXPECT_TRUE(Table("tblDTQueue").empty());
    EXPECT_EQ(Query(dt_, kAgeingSelect + kAgeing30Days + kAgeingNotOnHold, {"CustId"}),
              (Rows{"AGE30"}));
    DBEngine().Rollback();
    EXPECT_EQ(Table("tblDTQueue"), queue);
    EXPECT_EQ(Query(dt_, SystemRemarkOfLog(1)), (Rows{"queued"}));

    DBEngine().BeginTrans();
    dt_.Execute(kDeleteFollowedUp, dbFailOnError);
    DBEngine().CommitTrans();
    EXPECT_EQ(Table("tblDTQueue"), (Rows{queue[1]}));
}

// Malformed statements are refused with a syntax error that names where the text goes wrong,
// and none of them changes a row.
using JetStatementsBadSql = JetStatementsQueue;

TEST_F(JetStatementsBadSql, MalformedStatementsFailAndChangeNothing) {
    CallLog(1, "A", {{"SystemRemark", "queued A"}});
    Queue("A", 1, {{"FollowedUp", true}});
    Queue("B", 0);

    // Numbers of the engine's syntax errors.
    const std::vector<int> syntaxErrors = {
        err::kSyntaxError,        err::kSyntaxInExpression,
        err::kInvalidSql,         err::kSyntaxInFrom,
        err::kSyntaxInInsert,     err::kSyntaxInJoin,
        err::kSyntaxInOrderBy,    err::kSyntaxInGroupBy,
        err::kSyntaxInParameters, 3142 /* characters found after end of SQL statement */,
        err::kSyntaxInUpdate,     err::kSyntaxInWhere};
    struct Case {
        std::string sql, token;
    };
    const Case cases[] = {
        {"DELETE tblDTQueue.* FORM tblDTQueue WHERE tblDTQueue.FollowedUp=True; ", "FORM"},
        {kEmptyQueue + " DELETE * FROM tblDtCallLogHeader;", "after end of SQL statement"},
        {"UPDATE DISTINCTROW tblDtCallLogHeader INNER JOIN tblDTQueue ON "
         "tblDtCallLogHeader.LogID = tblDTQueue.LogID SETT tblDtCallLogHeader.SystemRemark = "
         "Null; ",
         "SETT"},
        {"INSERT INTO tblDtQueueHist ( CustID, LogID SELECT tblDTQueue.CustID, "
         "tblDTQueue.LogID FROM tblDTQueue; ",
         "SELECT"},
        {"DELETE tblDTQueue.* FROM tblDTQueue WHERE tblDTQueue.FollowedUp=True AND AND "
         "tblDTQueue.LogID=0; ",
         "AND"},
        {"DELETE tblDTQueue.* FROM tblDTQueue WHERE tblDTQueue.CustID=\"A; ", "\"A"},
        {"DELETE tblDTQueue.* FROM tblDTQueue WHERE tblDTQueue.EntryDate<#13/45/2001#; ",
         "13/45/2001"},
    };
    const Rows queue = Table("tblDTQueue"), hist = Table("tblDtQueueHist");
    const Rows logs = Query(dt_, "SELECT * FROM tblDtCallLogHeader");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        try {
            dt_.Execute(c.sql, dbFailOnError);
            ADD_FAILURE() << "accepted";
        } catch (const JetError& e) {
            EXPECT_NE(std::find(syntaxErrors.begin(), syntaxErrors.end(), e.number()),
                      syntaxErrors.end())
                << e.number() << " " << e.description();
            EXPECT_NE(e.description().find(c.token), std::string::npos) << e.description();
        }
        EXPECT_EQ(Table("tblDTQueue"), queue);
        EXPECT_EQ(Table("tblDtQueueHist"), hist);
        EXPECT_EQ(Query(dt_, "SELECT * FROM tblDtCallLogHeader"), logs);
    }
}

// ---- The program database of the maintenance wizard, linked to the System Manager's tables --

class JetStatementsWizard : public ::testing::Test {
  protected:
    void SetUp() override {
        smPath_ = dir_.file("SYSSM1.mdb");
        Database sm = CreateAndOpen(smPath_);
        sm.Execute("CREATE TABLE tblSmCompInfo (CompID TEXT(3), Name TEXT(50))");
        sm.Execute(
            "CREATE TABLE tblSmCompFiles (CompID TEXT(3), AppID TEXT(10), "
            "UNCFilePath TEXT(255), FileName TEXT(64))");
        for (auto [id, name] : {std::pair{"ZZZ", "Last Co"}, std::pair{"abc", "Alpha Ltd"},
                                std::pair{"MID", "Middle plc"}})
            AddRow(sm, "tblSmCompInfo", {{"CompID", id}, {"Name", name}});
        const char* files[][4] = {
            {"abc", "DT", R"(\\srv\abc)", "DTabc.mdb"}, {"abc", "GL", R"(\\srv\abc)", "GLabc.mdb"},
            {"abc", "so", R"(\\srv\abc)", "SOabc.mdb"}, {"abc", "am", R"(\\srv\abc)", "AMabc.mdb"},
            {"abc", "DT", R"(\\srv\abc)", "DTabc.mdb"},  // listed twice
            {"MID", "DT", R"(\\srv\mid)", "DTmid.mdb"},
        };
        for (const auto& f : files)
            AddRow(sm, "tblSmCompFiles",
                   {{"CompID", f[0]}, {"AppID", f[1]}, {"UNCFilePath", f[2]}, {"FileName", f[3]}});
        sm.Close();

        program_ = CreateAndOpen(dir_.file("Kelvor4PE.mde"));
        program_.LinkTable("tblSmCompInfo", smPath_);
        program_.LinkTable("tblSmCompFiles", smPath_);
    }

    TempDir dir_;
    std::string smPath_;
    Database program_;
};

TEST_F(JetStatementsWizard, CompaniesComeInCodeOrderIgnoringCase) {
    const std::string sql =
        "SELECT DISTINCTROW tblSmCompInfo.CompID, "
        "tblSmCompInfo.Name FROM tblSmCompInfo ORDER BY CompID; ";
    EXPECT_EQ(Query(program_, sql, {"CompID", "Name"}, dbOpenSnapshot, dbForwardOnly),
              (Rows{"abc|Alpha Ltd", "MID|Middle plc", "ZZZ|Last Co"}));
}

TEST_F(JetStatementsWizard, CompanyFilesAreGroupedAndOrderedByApplication) {
    struct Case {
        std::string compId;
        Rows expected;
    };
    const Rows abc = {R"(am|\\srv\abc|AMabc.mdb)", R"(DT|\\srv\abc|DTabc.mdb)",
                      R"(GL|\\srv\abc|GLabc.mdb)", R"(so|\\srv\abc|SOabc.mdb)"};
    const Case cases[] = {
        {"abc", abc},
        {"ABC", abc},  // text compares without case
        {"MID", {R"(DT|\\srv\mid|DTmid.mdb)"}},
        {"ZZZ", {}},
    };
    for (const Case& c : cases) {
        std::string sql =
            "SELECT DISTINCTROW tblSmCompFiles.AppID, "
            "tblSmCompFiles.UNCFilePath AS Path, tblSmCompFiles.FileName "
            "FROM tblSmCompFiles GROUP BY tblSmCompFiles.AppID, "
            "tblSmCompFiles.UNCFilePath, tblSmCompFiles.FileName, "
            "tblSmCompFiles.CompID HAVING (((tblSmCompFiles.CompID)=" +
            kQuote + c.compId + kQuote + ")) " + "ORDER BY tblSmCompFiles.AppID; ";
        SCOPED_TRACE(sql);
        EXPECT_EQ(
            Query(program_, sql, {"AppID", "Path", "FileName"}, dbOpenSnapshot, dbForwardOnly),
            c.expected);
    }
}

TEST_F(JetStatementsWizard, LinkedFilesTableNamesTheSystemManagerDatabase) {
    std::string connect = program_.TableDefs("tblSmCompFiles").Connect();
    ASSERT_GT(connect.size(), 10u);
    EXPECT_EQ(std::filesystem::path(connect.substr(10)), std::filesystem::canonical(smPath_));
}

// ---- Numbers and the range of their columns -----------------------------------------------

// Every row of `table` as plain SQLite reads it from the file, by rowid: the judge of what a
// write left on disk.
Rows StoredRows(const std::string& path, const std::string& table) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, ("SELECT * FROM " + table + " ORDER BY rowid").c_str(), -1, &st,
                       nullptr);
    Rows rows;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            auto text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
            row += (i ? "|" : "") + std::string(text ? text : "Null");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// A value that does not fit its column is refused with 3349 whichever way it is written, and
// the statement fails as a whole; the boundaries themselves are taken, fractions rounded half
// to even.
TEST(JetStatementsNumbers, ValuesOutsideTheColumnRangeAreRefusedAndChangeNothing) {
    test::TempDir dir;
    const std::string path = dir.file("n.mdb");
    Database db = CreateAndOpen(path);
    db.Execute(
        "CREATE TABLE tblNum (Id LONG, S SHORT, B BYTE, L LONG, C CURRENCY, D DOUBLE, "
        "F SINGLE)");
    db.Execute("INSERT INTO tblNum VALUES (1, 1, 1, 1, 1, 1, 1)");
    db.Execute("INSERT INTO tblNum VALUES (2, 40, 2, 2, 2, 2, 2)");

    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::string field;  // the column written on the row with Id 1 and then read back
        std::string sql;    // the statement; "" edits the row through a recordset, "add" adds one
        Value value;        // for the recordset
        int error;          // 0 when the value is stored
        std::string stored;
    };
    const Case cases[] = {
        {"S", "INSERT INTO tblNum (Id, S) VALUES (3, 40000)", {}, 3349, ""},
        // Row 1 would fit (1000), row 2 does not (40000).
        {"S", "UPDATE tblNum SET S = S * 1000", {}, 3349, ""},
        {"S", "INSERT INTO tblNum (Id, S) SELECT Id + 10, S * 1000 FROM tblNum", {}, 3349, ""},
        {"S", "UPDATE tblNum SET S = 32767.5 WHERE Id = 1", {}, 3349, ""},
        {"S", "UPDATE tblNum SET S = \"40000\" WHERE Id = 1", {}, 3349, ""},
        {"B", "UPDATE tblNum SET B = 256 WHERE Id = 1", {}, 3349, ""},
        {"B", "UPDATE tblNum SET B = -1 WHERE Id = 1", {}, 3349, ""},
        {"L", "UPDATE tblNum SET L = 2147483648 WHERE Id = 1", {}, 3349, ""},
        {"L", "UPDATE tblNum SET L = L * 2147483647 * 2 WHERE Id = 1", {}, 3349, ""},
        {"C", "UPDATE tblNum SET C = 922337203685477.5808 WHERE Id = 1", {}, 3349, ""},
        {"C", "UPDATE tblNum SET C = C * 1e15 WHERE Id = 1", {}, 3349, ""},
        {"C", "UPDATE tblNum SET C = D * 1e15 WHERE Id = 1", {}, 3349, ""},
        {"D", "UPDATE tblNum SET D = 1e308 * 10 WHERE Id = 1", {}, 3349, ""},
        {"F", "UPDATE tblNum SET F = 1e39 WHERE Id = 1", {}, 3349, ""},
        {"S", "UPDATE tblNum SET S = 32767 WHERE Id = 1", {}, 0, "32767"},
        {"S", "UPDATE tblNum SET S = -32768 WHERE Id = 1", {}, 0, "-32768"},
        {"S", "UPDATE tblNum SET S = 32766.5 WHERE Id = 1", {}, 0, "32766"},
        {"S", "UPDATE tblNum SET S = \"-32768.5\" WHERE Id = 1", {}, 0, "-32768"},
        {"S", "UPDATE tblNum SET S = \"-2.5\" WHERE Id = 1", {}, 0, "-2"},
        {"B", "UPDATE tblNum SET B = 255 WHERE Id = 1", {}, 0, "255"},
        {"B", "UPDATE tblNum SET B = 0 WHERE Id = 1", {}, 0, "0"},
        {"L", "UPDATE tblNum SET L = 2147483647 WHERE Id = 1", {}, 0, "2147483647"},
        {"L", "UPDATE tblNum SET L = -2147483648 WHERE Id = 1", {}, 0, "-2147483648"},
        {"C",
         "UPDATE tblNum SET C = 922337203685477.5807 WHERE Id = 1",
         {},
         0,
         "922337203685477.5807"},
        {"D", "UPDATE tblNum SET D = 1.5e308 WHERE Id = 1", {}, 0, "1.5e+308"},
        {"S", "", int32_t{40000}, 3349, ""},
        {"S", "add", int32_t{40000}, 3349, ""},
        {"S", "", "40000", 3349, ""},
        {"S", "", 32767.5, 3349, ""},
        {"B", "", int32_t{256}, 3349, ""},
        {"B", "", int32_t{-1}, 3349, ""},
        {"L", "", 2147483648.0, 3349, ""},
        {"C", "", 1e15, 3349, ""},
        {"D", "", inf, 3349, ""},
        {"D", "", std::numeric_limits<double>::quiet_NaN(), 3349, ""},
        {"F", "", 1e39, 3349, ""},
        {"S", "", int16_t{-32768}, 0, "-32768"},
        {"S", "", -2.5, 0, "-2"},
        {"B", "", uint8_t{255}, 0, "255"},
        {"L", "", int32_t{INT32_MIN}, 0, "-2147483648"},
        {"C", "", Currency::fromRaw(INT64_MIN), 0, "-922337203685477.5808"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql.empty() || c.sql == "add" ? c.field + " = " + Text(c.value) + " by " +
                                                           (c.sql.empty() ? "Edit" : "AddNew")
                                                     : c.sql);
        const Rows before = StoredRows(path, "tblNum");
        int error = ErrorOf([&] {
            if (c.sql.empty() || c.sql == "add") {
                Recordset rs = db.OpenRecordset("SELECT * FROM tblNum WHERE Id = 1", dbOpenDynaset);
                c.sql.empty() ? rs.Edit() : rs.AddNew();
                rs.Fields(c.field) = c.value;
                rs.Update();
            } else {
                db.Execute(c.sql, dbFailOnError);
            }
        });
        EXPECT_EQ(error, c.error);
        if (c.error)
            EXPECT_EQ(StoredRows(path, "tblNum"), before);
        else
            EXPECT_EQ(Query(db, "SELECT " + c.field + " FROM tblNum WHERE Id = 1"),
                      (Rows{c.stored}));
    }

    // A refused statement leaves its transaction usable.
    db.Execute("UPDATE tblNum SET S = 1");
    DBEngine().BeginTrans();
    EXPECT_EQ(ErrorOf([&] { db.Execute("UPDATE tblNum SET S = S + 40000 * (Id - 1)"); }), 3349);
    EXPECT_EQ(ErrorOf([&] { db.Execute("UPDATE tblNum SET S = S + Id"); }), 0);
    DBEngine().CommitTrans();
    EXPECT_EQ(Query(db, "SELECT S FROM tblNum ORDER BY Id"), (Rows{"2", "3"}));
}

// Values that do not fit the declared type, stored by another tool, read as they are.
TEST(JetStatementsNumbers, ValuesStoredOutOfRangeReadUnwrapped) {
    test::TempDir dir;
    const std::string path = dir.file("n.mdb");
    Database db = CreateAndOpen(path);
    db.Execute("CREATE TABLE tblNum (S SHORT, B BYTE, L LONG, C CURRENCY, D DOUBLE, F SINGLE)");
    db.Execute("INSERT INTO tblNum (S) VALUES (0)");

    struct Case {
        std::string field, stored, read;
        VarType type;
    };
    const Case cases[] = {
        {"S", "40000", "40000", VarType::Long},
        {"S", "-40000", "-40000", VarType::Long},
        {"S", "2.5", "2.5", VarType::Double},
        {"S", "'abc'", "abc", VarType::String},
        {"B", "300", "300", VarType::Long},
        {"B", "-1", "-1", VarType::Long},
        {"L", "4294967296", "4294967296", VarType::Double},
        {"C", "1e19", "1e+19", VarType::Double},
        {"D", "'abc'", "abc", VarType::String},
        {"F", "1e300", "1e+300", VarType::Double},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field + " = " + c.stored);
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        std::string sql = "UPDATE tblNum SET " + c.field + " = " + c.stored;
        EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
        Recordset rs = db.OpenRecordset("SELECT " + c.field + " FROM tblNum", dbOpenSnapshot);
        Value v = rs.Fields(0).Value();
        EXPECT_EQ(static_cast<int>(v.type()), static_cast<int>(c.type));
        EXPECT_EQ(Text(v), c.read);
    }
}

}  // namespace
}  // namespace kelvor

TEST(JetStatementsFunctions, LeftAndRightAreTextFunctionsInExpressions) {
    kelvor::test::TempDir dir;
    kelvor::Database db = kelvor::test::CreateAndOpen(dir.file("f.mdb"));
    db.Execute("CREATE TABLE t (a TEXT(20))");
    db.Execute("INSERT INTO t VALUES ('abcdef')");
    kelvor::Recordset rs = db.OpenRecordset(
        "SELECT Left(t.a, 2) AS l, Right(t.a, 3) AS r, Mid(t.a, 2, 2) AS m FROM t LEFT JOIN t AS u "
        "ON "
        "Left(t.a, 1) = Left(u.a, 1)",
        kelvor::dbOpenSnapshot);
    EXPECT_EQ(rs.Fields("l").Value(), kelvor::Value("ab"));
    EXPECT_EQ(rs.Fields("r").Value(), kelvor::Value("def"));
    EXPECT_EQ(rs.Fields("m").Value(), kelvor::Value("bc"));
}
