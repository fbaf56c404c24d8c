// Shared by the queue engine's tests: a company made by CreateCompany in a temporary folder,
// rows written into its tables, the queue read back, and a dump of everything a run may change
// so that a failed run can be compared with the state before it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/queue_engine.h"
#include "test_util.h"
#ifdef KELVOR_TEST_ON_PG
#include "pg/pg_cluster.h"
#endif

namespace kelvor::queueengine {

// Reaches the engine's private procedures. Arguments are taken by value so that a test can pass
// literals; the engine gets its by-reference parameters from these copies.
class QueueEngineTestAccess {
  public:
    static bool InitOptions(QueueEngine& e, const std::string& dt, const std::string& ca,
                            int32_t& lErr, std::string& sError, const std::string& so = "") {
        return e.InitOptions(dt, ca, lErr, sError, so);
    }
    static bool LastQueueProcTimeStamp(QueueEngine& e, int32_t& lErr, std::string& sError) {
        return e.LastQueueProcTimeStamp(lErr, sError);
    }
    static bool AddToQueue(QueueEngine& e, std::string custId, int32_t logId, int16_t type,
                           std::string remark, int32_t& lErr, std::string& sError, bool replace,
                           bool append) {
        return e.AddToQueue(custId, logId, type, remark, lErr, sError, replace, append);
    }
};

}  // namespace kelvor::queueengine

namespace kelvor::queuetest {

using queueengine::CompanyFiles;
using queueengine::QueueEngine;
using queueengine::QueueEngineTestAccess;

inline const std::string kTitle = "[KelvorQueuePE.QueueEngine.";

// The remarks the rules write.
inline const std::string kOver = "This Account is Over its Credit Limit.";
inline const std::string k30 = "This Account is 30 days overdue.";
inline const std::string k60 = "This Account is 60 days overdue.";
inline const std::string k90 = "This Account is 90 days overdue.";
inline const std::string k120 = "This Account is 120 days overdue.";
inline const std::string kNear = "This Account is approaching its Credit Limit.";
inline const std::string kCallBack = "It is time to call back the customer.";
inline const std::string kHold = "This Account is on Credit Hold.";
inline const std::string kMinFIA = "The Available Funds falls below the minimum allowed.";
inline std::string FollowUp1Remark(int days) {
    return "Follow-Up to last call made more than " + std::to_string(days) +
           " days ago but no payment has been received.";
}
inline std::string FollowUp2Remark(int days) {
    return "Follow-Up to last call made more than " + std::to_string(days) +
           " days ago and payment was promised but has not been received.";
}
// The merged form of two remarks: the first without its final point, "; ", a line break.
inline std::string Merged(std::string first, const std::string& second) {
    if (!first.empty() && first.back() == '.') first.pop_back();
    return first + "; \r\n" + second;
}

inline Date DaysAgo(int days, int hour = 0) {
    return Date::fromSeconds(Date::today().seconds() - int64_t{days} * Date::kSecondsPerDay +
                             int64_t{hour} * 3600);
}

inline Value Money(std::optional<double> v) {
    return v ? Value(Currency::fromDouble(*v)) : Value();
}

// A customer: tblCaClient and (unless NoHist) one tblCaClientHist row, written by AddClient.
// Amounts of std::nullopt are stored as Null.
struct Client {
    explicit Client(std::string clientId) : id(std::move(clientId)) {}
    Client& Hold() { return hold = true, *this; }
    Client& Limit(double v) { return limit = v, *this; }
    Client& Cur(std::optional<double> v) { return cur = v, *this; }
    Client& B1(std::optional<double> v) { return b1 = v, *this; }
    Client& B2(std::optional<double> v) { return b2 = v, *this; }
    Client& B3(std::optional<double> v) { return b3 = v, *this; }
    Client& B4(std::optional<double> v) { return b4 = v, *this; }
    Client& Unappl(std::optional<double> v) { return unappl = v, *this; }
    Client& NewFinch(std::optional<double> v) { return newFinch = v, *this; }
    Client& Unpaid(std::optional<double> v) { return unpaid = v, *this; }
    Client& LastPay(Value v) { return lastPay = std::move(v), *this; }
    Client& NoHist() { return withHist = false, *this; }

    std::string id;
    bool hold = false;
    double limit = 0;
    std::optional<double> cur = 0.0, b1 = 0.0, b2 = 0.0, b3 = 0.0, b4 = 0.0, unappl = 0.0,
                          newFinch = 0.0, unpaid = 0.0;
    Value lastPay;
    bool withHist = true;
};

// A call log header, written by AddCallLog.
struct CallLog {
    CallLog(int32_t id, std::string cust) : logId(id), custId(std::move(cust)) {}
    CallLog& Remark(Value v) { return systemRemark = std::move(v), *this; }
    CallLog& CallBack(Value date, bool due = true) {
        return callBackDate = std::move(date), toCallBack = due, *this;
    }
    CallLog& Conversation(Value date) { return lastConversation = std::move(date), *this; }
    CallLog& Promise(Value date) { return promiseDate = std::move(date), *this; }

    int32_t logId;
    std::string custId;
    Value systemRemark;
    bool toCallBack = false;
    Value callBackDate;
    Value lastConversation;
    Value promiseDate;
};

// One row of tblDTQueue or tblDtQueueHist, every column as the layer reads it.
struct QueueRow {
    Value custId, logId, transType, remark, lockedBy, entryDate, entryTime, del, followedUp,
        followedUpBy;
};

// A value with its kind, so that Null, empty text and 0 read differently in a failure message.
inline std::string Show(const Value& v) {
    if (v.isNull()) return "Null";
    return std::to_string(static_cast<int>(v.type())) + ":" + v.toString();
}

// What the rule tests compare: customer, call log, type and remark of every entry.
inline std::string Entry(const std::string& cust, int32_t logId, int type, const Value& remark) {
    return cust + " | " + std::to_string(logId) + " | " + std::to_string(type) + " | " +
           Show(remark);
}

// Every column of every row of the tables a run writes, in a fixed order: what a failed or
// killed run must leave as it found it.
inline std::string DumpTables(Database& dt) {
    std::string out;
    for (const char* sql : {"SELECT * FROM tblDTQueue ORDER BY QueueID",
                            "SELECT * FROM tblDtQueueHist ORDER BY HistID",
                            "SELECT LogID, CustId, SystemRemark FROM tblDtCallLogHeader ORDER BY "
                            "LogID",
                            "SELECT * FROM tblDtOptionsSession ORDER BY OptionID"}) {
        out += std::string(sql) + "\n";
        try {
            Recordset rs = dt.OpenRecordset(sql, dbOpenForwardOnly);
            for (; !rs.EOF_(); rs.MoveNext()) {
                for (int i = 0; i < rs.FieldCount(); ++i)
                    out += rs.Fields(i).Name() + "=" + Show(rs.Fields(i).Value()) + " ";
                out += "\n";
            }
        } catch (const JetError& e) {
            out += "error " + std::to_string(e.number()) + "\n";  // a table a test removed
        }
    }
    return out;
}

// Where a test's company goes: a folder of the test's own, or (built into queueengine_pg_tests)
// schemas of the test's own on the private PostgreSQL cluster.
inline std::string CompanyPath([[maybe_unused]] const test::TempDir& dir) {
#ifdef KELVOR_TEST_ON_PG
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return test::NewCompanyPath(std::string(info->test_suite_name()).substr(0, 20) + "_" +
                                std::string(info->name()).substr(0, 30));
#else
    return dir.file("company");
#endif
}

class CompanyTest : public ::testing::Test {
  public:
    test::TempDir dir;
    CompanyFiles files = queueengine::CreateCompany(CompanyPath(dir));
    Database dt = DBEngine().Workspaces(0).OpenDatabase(files.dt);
    Database ca = DBEngine().Workspaces(0).OpenDatabase(files.ca);

    void SetOptions(const std::string& assignments) {
        dt.Execute("UPDATE tblDtOptionsSession SET " + assignments);
    }

    // Every rule and step off; then the named options on.
    void OnlyOptions(std::initializer_list<const char*> on) {
        SetOptions(
            "Chk_OverLimit=False, Chk_NearLimit=False, Chk_30Days=False, Chk_60Days=False, "
            "Chk_90Days=False, Chk_120Days=False, Chk_FollowUp1=False, Chk_FollowUp2=False, "
            "Chk_FollowUp3=False, Chk_FollowUp3Priority=False, Chk_CreditHold=False, "
            "Chk_ResetQueue=False, Chk_MinFIA=False");
        for (const char* o : on) SetOptions(std::string(o) + "=True");
    }

    void AddClient(const Client& c) {
        Recordset rs = ca.OpenRecordset("tblCaClient", dbOpenDynaset);
        rs.AddNew();
        rs.Fields("ClientId") = c.id;
        rs.Fields("CreditHold") = c.hold;
        rs.Fields("CreditLimit") = Money(c.limit);
        rs.Update();
        rs.Close();
        if (!c.withHist) return;
        AddHist(c);
    }

    void AddHist(const Client& c) {
        Recordset rs = ca.OpenRecordset("tblCaClientHist", dbOpenDynaset);
        rs.AddNew();
        rs.Fields("ClientId") = c.id;
        rs.Fields("CurAmtDue") = Money(c.cur);
        rs.Fields("BalAge1") = Money(c.b1);
        rs.Fields("BalAge2") = Money(c.b2);
        rs.Fields("BalAge3") = Money(c.b3);
        rs.Fields("BalAge4") = Money(c.b4);
        rs.Fields("UnapplCredit") = Money(c.unappl);
        rs.Fields("NewFinch") = Money(c.newFinch);
        rs.Fields("UnpaidFinch") = Money(c.unpaid);
        rs.Fields("LastPayDate") = c.lastPay;
        rs.Update();
        rs.Close();
    }

    void AddCallLog(const CallLog& l) {
        Recordset rs = dt.OpenRecordset("tblDtCallLogHeader", dbOpenDynaset);
        rs.AddNew();
        rs.Fields("LogID") = l.logId;
        rs.Fields("CustId") = l.custId;
        rs.Fields("SystemRemark") = l.systemRemark;
        rs.Fields("ToCallBack") = l.toCallBack;
        rs.Fields("CallBackDate") = l.callBackDate;
        rs.Fields("LastConversationDate") = l.lastConversation;
        rs.Fields("PromiseDate") = l.promiseDate;
        rs.Update();
        rs.Close();
    }

    void AddQueueRow(const QueueRow& q) {
        Recordset rs = dt.OpenRecordset("tblDTQueue", dbOpenDynaset);
        rs.AddNew();
        rs.Fields("CustID") = q.custId;
        rs.Fields("LogID") = q.logId;
        rs.Fields("TransType") = q.transType;
        rs.Fields("Remark") = q.remark;
        rs.Fields("LockedBy") = q.lockedBy;
        rs.Fields("EntryDate") = q.entryDate;
        rs.Fields("EntryTime") = q.entryTime;
        rs.Fields("Delete") = q.del;
        rs.Fields("FollowedUp") = q.followedUp;
        rs.Fields("FollowedUpBy") = q.followedUpBy;
        rs.Update();
        rs.Close();
    }

    std::vector<QueueRow> ReadQueue(const std::string& table = "tblDTQueue") {
        std::vector<QueueRow> out;
        Recordset rs = dt.OpenRecordset("SELECT * FROM " + table + " ORDER BY CustID, LogID",
                                        dbOpenForwardOnly);
        for (; !rs.EOF_(); rs.MoveNext()) {
            auto f = [&](const char* n) { return rs.Fields(n).Value(); };
            out.push_back({f("CustID"), f("LogID"), f("TransType"), f("Remark"), f("LockedBy"),
                           f("EntryDate"), f("EntryTime"), f("Delete"), f("FollowedUp"),
                           f("FollowedUpBy")});
        }
        return out;
    }

    // The queue as "customer | call log | type | remark" lines.
    std::vector<std::string> Entries() {
        std::vector<std::string> out;
        for (const auto& q : ReadQueue())
            out.push_back(Entry(q.custId.text(), q.logId.isNull() ? -1 : q.logId.toLong(),
                                q.transType.isNull() ? -1 : q.transType.toLong(), q.remark));
        return out;
    }

    Value SystemRemark(int32_t logId) {
        Recordset rs = dt.OpenRecordset(
            "SELECT SystemRemark FROM tblDtCallLogHeader WHERE LogID=" + std::to_string(logId),
            dbOpenForwardOnly);
        return rs.EOF_() ? Value("<no header>") : rs.Fields("SystemRemark").Value();
    }

    std::string Dump() { return DumpTables(dt); }

    bool Run(int32_t& lErr, std::string& sError, const std::string& so = "") {
        QueueEngine engine;
        return engine.ProcessQueue(files.dt, files.ca, so, lErr, sError);
    }

    void RunOk() {
        int32_t lErr = 0;
        std::string sError;
        ASSERT_TRUE(Run(lErr, sError)) << lErr << " " << sError;
    }
};

}  // namespace kelvor::queuetest
