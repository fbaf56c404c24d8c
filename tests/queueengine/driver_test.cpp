// The queue processing driver: option gates, the order of the steps, housekeeping with the
// history copy, the error texts, and failures that must leave every database as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "kelvor/collection_schema.h"
#include "kelvor/queue_engine.h"
#include "queue_test_support.h"
#include "test_util.h"

using namespace kelvor;
using namespace kelvor::queuetest;

namespace {

const char* const kBooleanOptions[] = {
    "Chk_OverLimit",  "Chk_NearLimit",  "Chk_30Days",    "Chk_60Days",    "Chk_90Days",
    "Chk_120Days",    "Chk_FollowUp1",  "Chk_FollowUp2", "Chk_FollowUp3", "Chk_FollowUp3Priority",
    "Chk_CreditHold", "Chk_ResetQueue", "Chk_MinFIA",
};

QueueRow Row(const std::string& cust, int32_t logId, Value type, Value remark, Value followedUp) {
    return {cust,
            logId,
            type,
            remark,
            "ANNA",
            Date::fromParts(2001, 2, 3),
            Date::fromParts(1899, 12, 30, 9, 30),
            false,
            followedUp,
            Value()};
}

std::string ShowRow(const QueueRow& q) {
    return Show(q.custId) + " " + Show(q.logId) + " " + Show(q.transType) + " " + Show(q.remark) +
           " " + Show(q.lockedBy) + " " + Show(q.entryDate) + " " + Show(q.entryTime) + " " +
           Show(q.del) + " " + Show(q.followedUp) + " " + Show(q.followedUpBy);
}

std::vector<std::string> ShowRows(const std::vector<QueueRow>& rows) {
    std::vector<std::string> out;
    for (const auto& q : rows) out.push_back(ShowRow(q));
    return out;
}

class DriverTest : public CompanyTest {
  protected:
    Value LastQueueProc(int optionId = 1) {
        Recordset rs =
            dt.OpenRecordset("SELECT LastQueueProc FROM tblDtOptionsSession WHERE OptionID=" +
                                 std::to_string(optionId),
                             dbOpenForwardOnly);
        return rs.Fields("LastQueueProc").Value();
    }
};

}  // namespace

TEST_F(DriverTest, AllGatesOffStampsMovesFollowedUpEntriesToHistoryAndKeepsTheCallersPair) {
    AddClient(Client("HELD").Hold().B4(100));  // queued by any rule that ran
    std::string longRemark = kOver;
    for (int i = 0; i < 10; ++i) longRemark = Merged(longRemark, kNear);
    QueueRow done = Row("DONE", 3, int16_t{1}, longRemark, true);
    done.del = true;
    done.followedUpBy = "BORIS";
    AddQueueRow(done);
    AddQueueRow(Row("OPEN", 4, int16_t{2}, k30, false));
    AddQueueRow(Row("NULLFU", 0, Value(), Value(), Value()));  // FollowedUp and type Null
    AddCallLog(CallLog(3, "DONE").Remark(longRemark));
    AddCallLog(CallLog(4, "OPEN").Remark(k30));
    dt.Execute("INSERT INTO tblDtQueueHist (CustID, TransType) VALUES (\"PAST\", 10)");
    const auto histBefore = ShowRows(ReadQueue("tblDtQueueHist"));
    const auto open = ShowRows(ReadQueue());
    OnlyOptions({});

    int32_t lErr = 1234;
    std::string sError = "the caller's own text";
    Date before = Date::now();
    ASSERT_TRUE(Run(lErr, sError));
    Date after = Date::now();
    EXPECT_EQ(lErr, 1234);
    EXPECT_EQ(sError, "the caller's own text");

    ASSERT_FALSE(LastQueueProc().isNull());
    EXPECT_LE(before, LastQueueProc().toDate());
    EXPECT_LE(LastQueueProc().toDate(), after);
    // Only the followed-up entry left the queue, whole, into the history beside what was there.
    EXPECT_EQ(ShowRows(ReadQueue()), (std::vector<std::string>{open[1], open[2]}));
    auto expectedHist = histBefore;
    expectedHist.push_back(ShowRow(done));
    std::sort(expectedHist.begin(), expectedHist.end());
    auto histAfter = ShowRows(ReadQueue("tblDtQueueHist"));
    std::sort(histAfter.begin(), histAfter.end());
    EXPECT_EQ(histAfter, expectedHist);
    // Without the reset, call log remarks stay.
    EXPECT_EQ(SystemRemark(3).text(), longRemark);
    EXPECT_EQ(SystemRemark(4).text(), k30);
}

TEST_F(DriverTest, ResetEmptiesTheQueueAndClearsOnlyTheQueuedCallLogsRemarks) {
    AddQueueRow(Row("A", 1, int16_t{1}, kOver, false));
    AddQueueRow(Row("B", 0, int16_t{2}, k30, false));
    AddQueueRow(Row("C", 99, int16_t{3}, k60, Value()));  // no such call log
    AddQueueRow(Row("D", 4, int16_t{4}, k90, true));
    AddCallLog(CallLog(1, "A").Remark(kOver));
    AddCallLog(CallLog(2, "E").Remark("not queued"));
    AddCallLog(CallLog(4, "D").Remark(k90));
    OnlyOptions({"Chk_ResetQueue"});
    RunOk();
    EXPECT_TRUE(ReadQueue().empty());
    EXPECT_TRUE(SystemRemark(1).isNull());
    EXPECT_TRUE(SystemRemark(4).isNull());
    EXPECT_EQ(SystemRemark(2).text(), "not queued");
    // Emptying the queue does not throw a collector's finished work away: the followed-up
    // entry is in the history, once, and the entries not followed up are not.
    EXPECT_EQ(ShowRows(ReadQueue("tblDtQueueHist")),
              ShowRows({Row("D", 4, int16_t{4}, k90, true)}));
}

TEST_F(DriverTest, EntriesLastFromRunToRunUnlessTheQueueIsReset) {
    AddClient(Client("HELD").Hold());
    AddClient(Client("AGED").B4(100).B1(100));
    OnlyOptions({"Chk_CreditHold", "Chk_120Days", "Chk_30Days"});
    RunOk();
    RunOk();
    std::vector<std::string> kept{Entry("AGED", 0, 5, k120),
                                  Entry("HELD", 0, 10, Merged(kHold, kHold))};
    EXPECT_EQ(Entries(), kept);

    SetOptions("Chk_ResetQueue=True");
    RunOk();
    RunOk();
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{Entry("AGED", 0, 5, k120), Entry("HELD", 0, 10, kHold)}));
}

TEST_F(DriverTest, StepOrderDecidesTheTypeAndWhichRemarksAreMerged) {
    // The company's own options: every rule on, call-back priority on, near-limit amount 500,
    // minimum funds 250, follow-up days 14 and 7.
    AddClient(Client("AGE").B1(100).B4(100));
    AddClient(Client("OVER").Limit(100).B1(100).B4(100));
    AddClient(Client("CALL").B1(100));
    AddCallLog(CallLog(1, "CALL").CallBack(Date::today()).Conversation(Date::today()));
    AddClient(Client("HELD").Hold().Limit(100).Cur(500));
    RunOk();
    std::vector<std::string> expected{
        Entry("AGE", 0, 5, k120),
        Entry("CALL", 1, 9, Merged(kCallBack, k30)),
        Entry("HELD", 0, 10, kHold),
        Entry("OVER", 0, 5, Merged(Merged(Merged(k120, kOver), kNear), kMinFIA)),
    };
    EXPECT_EQ(Entries(), expected);
    EXPECT_EQ(SystemRemark(1).text(), Merged(kCallBack, k30));
}

TEST_F(DriverTest, EachGateSwitchesOnlyItsOwnRule) {
    AddClient(Client("AGED").Limit(100).B1(100).B2(100).B3(100).B4(100));
    AddClient(Client("HELD").Hold());
    AddCallLog(CallLog(1, "CALL").CallBack(Date::today()).Conversation(Date::today()));
    AddClient(Client("F1").Cur(100));
    AddCallLog(CallLog(2, "F1").Conversation(DaysAgo(20)));
    AddClient(Client("F2").Cur(100));
    AddCallLog(CallLog(3, "F2").Promise(DaysAgo(10)).Conversation(Date::today()));
    const std::pair<const char*, int> gates[] = {
        {"Chk_OverLimit", 1}, {"Chk_30Days", 2},      {"Chk_60Days", 3},    {"Chk_90Days", 4},
        {"Chk_120Days", 5},   {"Chk_NearLimit", 6},   {"Chk_FollowUp1", 7}, {"Chk_FollowUp2", 8},
        {"Chk_FollowUp3", 9}, {"Chk_CreditHold", 10}, {"Chk_MinFIA", 12},
    };
    for (const auto& [option, type] : gates) {
        SCOPED_TRACE(option);
        dt.Execute("DELETE FROM tblDTQueue");
        OnlyOptions({option});
        RunOk();
        auto rows = ReadQueue();
        EXPECT_FALSE(rows.empty());
        for (const auto& q : rows) EXPECT_EQ(Show(q.transType), Show(Value(int16_t(type))));
    }
    dt.Execute("DELETE FROM tblDTQueue");
    OnlyOptions({});
    RunOk();
    EXPECT_TRUE(ReadQueue().empty());
}

TEST_F(DriverTest, OnlyTheFirstOptionsRowIsReadAndStamped) {
    AddClient(Client("HELD").Hold());
    OnlyOptions({});
    dt.Execute(
        "INSERT INTO tblDtOptionsSession (Chk_OverLimit, Chk_NearLimit, Chk_30Days, Chk_60Days, "
        "Chk_90Days, Chk_120Days, Chk_FollowUp1, Chk_FollowUp2, Chk_FollowUp3, "
        "Chk_FollowUp3Priority, Chk_CreditHold, Chk_ResetQueue, Chk_MinFIA) VALUES (True, True, "
        "True, True, True, True, True, True, True, True, True, True, True)");
    RunOk();
    EXPECT_TRUE(ReadQueue().empty());
    EXPECT_FALSE(LastQueueProc(1).isNull());
    EXPECT_TRUE(LastQueueProc(2).isNull());
}

TEST_F(DriverTest, AFailedInsertionStopsNeitherTheRuleNorTheRun) {
    // An empty customer id is refused by the insertion; the other customer is still queued and
    // the caller never sees the refusal.
    AddClient(Client("").Hold());
    AddClient(Client("HELD").Hold());
    Recordset held = ca.OpenRecordset(
        "SELECT Count(*) AS n FROM tblCaClient WHERE ClientId=\"\" AND CreditHold=True",
        dbOpenSnapshot);
    ASSERT_EQ(held.Fields("n").Value().toLong(), 1);
    held.Close();
    OnlyOptions({"Chk_CreditHold"});
    int32_t lErr = 0;
    std::string sError;
    ASSERT_TRUE(Run(lErr, sError));
    EXPECT_EQ(lErr, 0);
    EXPECT_EQ(sError, "");
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("HELD", 0, 10, kHold)}));
}

TEST_F(DriverTest, AnEngineObjectServesOneCompanyAfterAnother) {
    CompanyFiles other = queueengine::CreateCompany(dir.file("other"));
    Database otherDt = DBEngine().Workspaces(0).OpenDatabase(other.dt);
    Database otherCa = DBEngine().Workspaces(0).OpenDatabase(other.ca);
    otherCa.Execute("INSERT INTO tblCaClient (ClientId, CreditHold) VALUES (\"THERE\", True)");
    AddClient(Client("HERE").Hold());
    OnlyOptions({"Chk_CreditHold"});
    otherDt.Execute("UPDATE tblDtOptionsSession SET Chk_ResetQueue=True");

    QueueEngine engine;
    int32_t lErr = 0;
    std::string sError;
    ASSERT_FALSE(engine.ProcessQueue(files.dt, "", "", lErr, sError));  // a failed call first
    lErr = 0;
    ASSERT_TRUE(engine.ProcessQueue(files.dt, files.ca, files.so, lErr, sError)) << sError;
    ASSERT_TRUE(engine.ProcessQueue(other.dt, other.ca, "", lErr, sError)) << sError;
    std::string here = "HERE";
    AddCallLog(CallLog(5, "HERE"));
    EXPECT_TRUE(engine.GetLogID(here).isNull()) << "looks in the company of the last call";
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("HERE", 0, 10, kHold)}));
    Recordset rs =
        otherDt.OpenRecordset("SELECT CustID, TransType FROM tblDTQueue", dbOpenForwardOnly);
    ASSERT_FALSE(rs.EOF_());
    EXPECT_EQ(rs.Fields("CustID").Value().text(), "THERE");
}

TEST_F(DriverTest, AQueueLockedByAnotherUserFailsTheRunAndChangesNothing) {
    AddQueueRow(Row("DONE", 0, int16_t{6}, kNear, true));
    SetOptions("LastQueueProc=#2001-02-03 04:05:06#");
    const std::string before = Dump();
    auto other = test::StartLockHolder();
    ASSERT_EQ(other->ask("open " + files.dt), "ok");
    ASSERT_EQ(other->ask("deny tblDTQueue"), "ok");

    int32_t lErr = 0;
    std::string sError;
    EXPECT_FALSE(Run(lErr, sError));
    EXPECT_EQ(lErr, err::kReadOnly) << sError;
    EXPECT_EQ(
        sError.rfind(kTitle + "ProcessQueue][VB]; " + kTitle + "TransferQueueToHist][VB]; ", 0), 0u)
        << sError;
    ASSERT_EQ(other->ask("release tblDTQueue"), "ok");
    EXPECT_EQ(Dump(), before);
}

TEST_F(DriverTest, StampWithoutAnOptionsRowFailsWithItsOwnText) {
    QueueEngine engine;
    int32_t lErr = 0;
    std::string sError;
    ASSERT_TRUE(QueueEngineTestAccess::InitOptions(engine, files.dt, files.ca, lErr, sError));
    dt.Execute("DELETE FROM tblDtOptionsSession");
    EXPECT_FALSE(QueueEngineTestAccess::LastQueueProcTimeStamp(engine, lErr, sError));
    EXPECT_EQ(lErr, -103);
    EXPECT_EQ(sError, kTitle + "LastQueueProcTimeStamp][VB]; Missing Options record.");
}

TEST(FormatErrorTest, ReplacesPrefixesOrKeepsThePair) {
    struct Case {
        int32_t lErr;
        std::string sError;
        int32_t number;
        int32_t lErrAfter;
        std::string sErrorAfter;
    };
    const Case cases[] = {
        {0, "earlier", 3078, 3078, "[KelvorQueuePE.QueueEngine.X][VB]; what happened"},
        {-1, "earlier", 429, 429, "[KelvorQueuePE.QueueEngine.X][VB]; what happened earlier"},
        {-103, "[inner]; text", 0, -103, "[KelvorQueuePE.QueueEngine.X]; [inner]; text"},
        {0, "untouched", 0, 0, "untouched"},
    };
    for (const auto& c : cases) {
        int32_t lErr = c.lErr;
        std::string sError = c.sError;
        queueengine::FormatError(lErr, sError, c.number, "src", "what happened", "QueueEngine.X");
        EXPECT_EQ(lErr, c.lErrAfter);
        EXPECT_EQ(sError, c.sErrorAfter);
    }
}

// ---- failures leave every database as it was --------------------------------------------------

namespace {

struct Expected {
    int32_t lErr;
    std::string sError;
};

class FailureTest;

struct FailureCase {
    std::string name;
    std::function<void(FailureTest&)> arrange;
    std::function<Expected(FailureTest&)> expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FailureTest : public DriverTest, public ::testing::WithParamInterface<FailureCase> {
  public:
    std::string dtPath = files.dt, caPath = files.ca, soPath;

    // What the run reports when `procedure` fails with the layer's error of `f`.
    Expected Layer(const std::string& procedure, const std::function<void()>& f) {
        return {test::ErrorOf(f), kTitle + "ProcessQueue][VB]; " + kTitle + procedure + "][VB]; " +
                                      test::MessageOf(f)};
    }
    static Expected Own(int32_t number, const std::string& procedure,
                        const std::string& description) {
        return {number,
                kTitle + "ProcessQueue][VB]; " + kTitle + procedure + "][VB]; " + description};
    }

    // A company in mid-life: a queue the rules would merge into, a followed-up entry, call log
    // remarks, an earlier run's stamp, history; and customers for every rule.
    void SetUp() override {
        AddClient(Client("HELD").Hold());
        AddClient(Client("AGED").Limit(50).B1(100).B4(100));
        AddClient(Client("CALL").B1(10));
        AddCallLog(CallLog(1, "CALL").CallBack(Date::today()));
        AddCallLog(CallLog(2, "AGED").Remark(kOver));
        AddCallLog(CallLog(3, "DONE").Remark("three"));
        AddQueueRow(Row("AGED", 2, int16_t{1}, kOver, false));
        AddQueueRow(Row("DONE", 3, int16_t{6}, kNear, true));
        dt.Execute("INSERT INTO tblDtQueueHist (CustID, TransType) VALUES (\"PAST\", 10)");
        SetOptions("LastQueueProc=#2001-02-03 04:05:06#");
    }
};

std::vector<FailureCase> FailureCases() {
    std::vector<FailureCase> cases{
        {"NoDTPath", [](FailureTest& t) { t.dtPath = ""; },
         [](FailureTest&) {
             return FailureTest::Own(-1, "InitOptions",
                                     "Missing path to either DT or CA application database !");
         }},
        {"NoCAPath", [](FailureTest& t) { t.caPath = ""; },
         [](FailureTest&) {
             return FailureTest::Own(-1, "InitOptions",
                                     "Missing path to either DT or CA application database !");
         }},
        {"NoOptionsRow", [](FailureTest& t) { t.dt.Execute("DELETE FROM tblDtOptionsSession"); },
         [](FailureTest&) {
             return FailureTest::Own(-103, "InitOptions", "Missing record in Options table !");
         }},
        {"OptionsColumnMissing",
         [](FailureTest& t) {
             t.dt.Execute("DROP TABLE tblDtOptionsSession");
             t.dt.Execute(
                 "CREATE TABLE tblDtOptionsSession (OptionID COUNTER PRIMARY KEY, Chk_OverLimit "
                 "YESNO, Chk_NearLimit YESNO, Chk_NearLimit_Amt DOUBLE, LastQueueProc DATETIME)");
             t.dt.Execute(
                 "INSERT INTO tblDtOptionsSession (Chk_OverLimit, Chk_NearLimit) VALUES (True, "
                 "True)");
         },
         [](FailureTest& t) {
             return t.Layer("InitOptions", [&] {
                 t.dt.OpenRecordset("tblDtOptionsSession", dbOpenForwardOnly).Fields("Chk_30Days");
             });
         }},
        {"DTPathMissing", [](FailureTest& t) { t.dtPath = t.dir.file("nowhere/DT.mdb"); },
         [](FailureTest& t) {
             return t.Layer("InitOptions",
                            [&] { DBEngine().Workspaces(0).OpenDatabase(t.dtPath); });
         }},
        {"DTPathNotADatabase",
         [](FailureTest& t) {
             t.dtPath = t.dir.file("notes.mdb");
             std::ofstream(t.dtPath) << "These are a collector's notes, not a database.\n";
         },
         [](FailureTest& t) {
             return t.Layer("InitOptions",
                            [&] { DBEngine().Workspaces(0).OpenDatabase(t.dtPath); });
         }},
        {"SOPathMissing", [](FailureTest& t) { t.soPath = t.dir.file("nowhere/SO.mdb"); },
         [](FailureTest& t) {
             return t.Layer("InitOptions",
                            [&] { DBEngine().Workspaces(0).OpenDatabase(t.soPath); });
         }},
        {"MinFIAQueryMissing",  // the last rule, after the others queued customers
         [](FailureTest& t) { t.dt.Execute("DROP PROCEDURE qryDtMinFIA2"); },
         [](FailureTest& t) { return t.Layer("MinFIA", [&] { t.dt.QueryDefs("qryDtMinFIA2"); }); }},
        {"FollowUp2QueryWithoutItsParameter",
         [](FailureTest& t) {
             t.dt.QueryDefs("qryDtFollowUp2b")
                 .SQL("SELECT CustId, LogID FROM tblDtCallLogHeader WHERE PromiseDate Is Null");
         },
         [](FailureTest& t) {
             return t.Layer("FollowUp2", [&] {
                 t.dt.QueryDefs("qryDtFollowUp2b").Parameters("Chk_FollowUp2_x");
             });
         }},
        {"BalanceTableMissing",  // FollowUp3 has queued a customer when FollowUp2 fails
         [](FailureTest& t) { t.dt.Execute("DROP TABLE tblCaClientHist"); },
         [](FailureTest& t) {
             return t.Layer("FollowUp2", [&] {
                 QueryDef q = t.dt.QueryDefs("qryDtFollowUp2b");
                 q.Parameters("Chk_FollowUp2_x") = int16_t{7};
                 q.OpenRecordset(dbOpenForwardOnly);
             });
         }},
        // The reset keeps followed-up entries in the history first, so it fails before it
        // has wiped anything.
        {"HistoryTableMissingWithReset",
         [](FailureTest& t) {
             t.SetOptions("Chk_ResetQueue=True");
             t.dt.Execute("DROP TABLE tblDtQueueHist");
         },
         [](FailureTest& t) {
             return t.Layer("EmptyQueue", [&] {
                 QueryDef q = t.dt.CreateQueryDef("");
                 q.SQL(
                     "INSERT INTO tblDtQueueHist ( CustID, LogID, TransType, Remark, LockedBy, "
                     "EntryDate, EntryTime, [Delete], FollowedUp, FollowedUpBy ) SELECT "
                     "tblDTQueue.CustID, tblDTQueue.LogID, tblDTQueue.TransType, "
                     "tblDTQueue.Remark, tblDTQueue.LockedBy, tblDTQueue.EntryDate, "
                     "tblDTQueue.EntryTime, tblDTQueue.Delete, tblDTQueue.FollowedUp, "
                     "tblDTQueue.FollowedUpBy FROM tblDTQueue WHERE "
                     "(((tblDTQueue.FollowedUp)=True)); ");
                 q.Execute(dbFailOnError);
             });
         }},
    };
    for (const char* option : kBooleanOptions) {
        std::string column = option;
        cases.push_back({"Null" + column.substr(4),
                         [column](FailureTest& t) { t.SetOptions(column + "=Null"); },
                         [](FailureTest&) {
                             return FailureTest::Own(94, "InitOptions",
                                                     test::MessageOf([] { Value().toBool(); }));
                         }});
    }
    return cases;
}

}  // namespace

TEST_P(FailureTest, ReportsTheErrorAndChangesNothing) {
    const FailureCase& c = GetParam();
    c.arrange(*this);
    const std::string before = Dump();
    const std::string notes = dtPath == files.dt ? "" : test::ReadFile(dtPath);
    Expected want = c.expected(*this);
    ASSERT_NE(want.lErr, 0) << "the arrangement raised nothing";

    QueueEngine engine;
    int32_t lErr = 0;
    std::string sError = "before";
    EXPECT_FALSE(engine.ProcessQueue(dtPath, caPath, soPath, lErr, sError));
    EXPECT_EQ(lErr, want.lErr);
    EXPECT_EQ(sError, want.sError);
    EXPECT_FALSE(queueengine::g_bInTrans);
    EXPECT_EQ(Dump(), before);
    if (dtPath != files.dt && std::filesystem::exists(dtPath)) {
        EXPECT_EQ(test::ReadFile(dtPath), notes);
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, FailureTest, ::testing::ValuesIn(FailureCases()),
                         [](const auto& info) { return info.param.name; });

// ---- a process killed in the middle of a run -----------------------------------------------

TEST(KilledRunTest, LeavesTheDatabasesAsBeforeTheRun) {
    test::TempDir dir;
    CompanyFiles files = queueengine::CreateCompany(dir.file("big"), {60000, 7});
    {
        Database dt = DBEngine().Workspaces(0).OpenDatabase(files.dt);
        // A first run fills the queue; the second would merge into it and move followed-up
        // entries to the history.
        QueueEngine engine;
        int32_t lErr = 0;
        std::string sError;
        ASSERT_TRUE(engine.ProcessQueue(files.dt, files.ca, files.so, lErr, sError)) << sError;
        dt.Execute("UPDATE tblDTQueue SET FollowedUp=True WHERE TransType=10");
        dt.Execute("UPDATE tblDtOptionsSession SET LastQueueProc=#2001-02-03 04:05:06#");
        Recordset rs = dt.OpenRecordset("SELECT Count(*) AS n FROM tblDTQueue", dbOpenSnapshot);
        ASSERT_GT(rs.Fields("n").Value().toLong(), 1000);
    }
    auto dump = [&] {
        Database dt = DBEngine().Workspaces(0).OpenDatabase(files.dt);
        return DumpTables(dt);
    };
    const std::string before = dump();

    // The run's transaction has begun once the journal of the DT file appears; kill it then.
    const std::string journal = files.dt + "-journal";
    test::ChildProcess child({KELVOR_TOOL, "process-queue", "--dt", files.dt, "--ca", files.ca});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(journal) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_TRUE(std::filesystem::exists(journal)) << "the run never began writing";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    child.kill9();
    ASSERT_TRUE(std::filesystem::exists(journal)) << "the run ended before it was killed";

    const std::string after = dump();
    if (after != before) {
        size_t at = std::mismatch(before.begin(), before.end(), after.begin(), after.end()).first -
                    before.begin();
        size_t line = before.rfind('\n', at) == std::string::npos ? 0 : before.rfind('\n', at) + 1;
        ADD_FAILURE() << "the databases changed; first difference:\nbefore: "
                      << before.substr(line, before.find('\n', at) - line)
                      << "\nafter:  " << after.substr(line, after.find('\n', at) - line);
    }
}
