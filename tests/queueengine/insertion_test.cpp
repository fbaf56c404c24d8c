// Queue insertion: one entry per customer, added, overwritten, merged or refused, with the
// remark mirrored into the call log header; and GetLogID.
#include <gtest/gtest.h>

#include <algorithm>

#include "kelvor/collection_schema.h"
#include "kelvor/queue_engine.h"
#include "queue_test_support.h"
#include "test_util.h"

using namespace kelvor;
using namespace kelvor::queuetest;

namespace {

const Date kOldDate = Date::fromParts(2001, 2, 3);
const Date kOldTime = Date::fromParts(1899, 12, 30, 10, 11, 12);

class InsertionTest : public CompanyTest {
  protected:
    QueueEngine engine;
    int32_t lErr = 0;
    std::string sError;

    void SetUp() override {
        ASSERT_TRUE(QueueEngineTestAccess::InitOptions(engine, files.dt, files.ca, lErr, sError))
            << sError;
        // Call logs 7 and 8 belong to customer A, 9 to B; 0 exists so that a write to "no call
        // log" would show.
        AddCallLog(CallLog(0, "Z").Remark("zero"));
        AddCallLog(CallLog(7, "A").Remark("seven"));
        AddCallLog(CallLog(8, "A").Remark("eight"));
        AddCallLog(CallLog(9, "B").Remark("nine"));
    }

    bool Add(const std::string& cust, int32_t logId, int16_t type, const std::string& remark,
             bool replace, bool append) {
        lErr = 0;
        sError.clear();
        return QueueEngineTestAccess::AddToQueue(engine, cust, logId, type, remark, lErr, sError,
                                                 replace, append);
    }

    // A queued entry as the front end leaves it: an old stamp and its own columns set.
    void Queue(const std::string& cust, int32_t logId, Value type, Value remark) {
        AddQueueRow({.custId = cust,
                     .logId = logId,
                     .transType = type,
                     .remark = remark,
                     .lockedBy = "ANNA",
                     .entryDate = kOldDate,
                     .entryTime = kOldTime,
                     .del = false,
                     .followedUp = false,
                     .followedUpBy = Value()});
    }

    QueueRow Only() {
        auto rows = ReadQueue();
        EXPECT_EQ(rows.size(), 1u);
        return rows.empty() ? QueueRow{} : rows[0];
    }
};

// EntryDate holds the day alone and EntryTime the time of day alone, together a moment of the
// call.
void ExpectStamped(const QueueRow& q, Date before, Date after) {
    ASSERT_FALSE(q.entryDate.isNull());
    ASSERT_FALSE(q.entryTime.isNull());
    Date d = q.entryDate.toDate(), t = q.entryTime.toDate();
    EXPECT_EQ(d, d.datePart()) << d.toString();
    EXPECT_EQ(t.dayNumber(), 0) << t.toString();
    Date moment = Date::fromSeconds(d.seconds() + t.seconds());
    EXPECT_LE(before, moment) << moment.toString();
    EXPECT_LE(moment, after) << moment.toString();
}

void ExpectNotStamped(const QueueRow& q) {
    EXPECT_EQ(Show(q.entryDate), Show(Value(kOldDate)));
    EXPECT_EQ(Show(q.entryTime), Show(Value(kOldTime)));
}

}  // namespace

TEST_F(InsertionTest, EmptyCustomerIsRefusedAndNothingIsWritten) {
    std::string before = Dump();
    EXPECT_FALSE(Add("", 7, 1, kOver, false, true));
    EXPECT_EQ(lErr, -102);
    EXPECT_EQ(sError, kTitle +
                          "AddToQueue][VB]; ClientID is not specified, unable to add record to "
                          "the Queue !");
    EXPECT_EQ(Dump(), before);
}

TEST_F(InsertionTest, NewCustomerAddsOneRowAndMirrorsTheRemark) {
    struct Case {
        const char* name;
        std::string cust;
        int32_t logId;
        std::string remark;
        Value storedRemark;
    };
    const Case cases[] = {
        {"without call log", "N0", 0, kOver, kOver},
        {"with call log", "A", 7, k30, k30},
        {"call log without header", "C", 42, kHold, kHold},
        {"empty remark is written as Null", "B", 9, "", Value()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dt.Execute("DELETE FROM tblDTQueue");
        Date before = Date::now();
        ASSERT_TRUE(Add(c.cust, c.logId, 6, c.remark, false, true)) << sError;
        Date after = Date::now();
        EXPECT_EQ(lErr, 0);
        QueueRow q = Only();
        EXPECT_EQ(q.custId.text(), c.cust);
        EXPECT_EQ(Show(q.logId), Show(Value(c.logId)));
        EXPECT_EQ(Show(q.transType), Show(Value(int16_t{6})));
        EXPECT_EQ(Show(q.remark), Show(c.storedRemark));
        ExpectStamped(q, before, after);
        // Columns that belong to the front end stay empty.
        EXPECT_TRUE(q.lockedBy.isNull());
        EXPECT_TRUE(q.followedUpBy.isNull());
        EXPECT_FALSE(q.followedUp.isNull() ? false : q.followedUp.toBool());
        if (c.logId == 7 || c.logId == 9) {
            EXPECT_EQ(Show(SystemRemark(c.logId)), Show(c.storedRemark));
        }
    }
    // Call logs that no entry named keep their remarks, the one numbered 0 included.
    EXPECT_EQ(SystemRemark(0).text(), "zero");
    EXPECT_EQ(SystemRemark(8).text(), "eight");
}

TEST_F(InsertionTest, BothFlagsFalseRefusesAQueuedCustomerOrCallLog) {
    Queue("A", 7, int16_t{5}, k120);
    std::string before = Dump();

    EXPECT_FALSE(Add("A", 8, 1, kOver, false, false));
    EXPECT_EQ(lErr, -101);
    EXPECT_EQ(sError, kTitle + "AddToQueue][VB]; ClientID already exist in the Queue !");

    EXPECT_FALSE(Add("B", 7, 1, kOver, false, false));
    EXPECT_EQ(lErr, -100);
    EXPECT_EQ(sError, kTitle + "AddToQueue][VB]; LogID already exist in the Queue !");

    EXPECT_EQ(Dump(), before);
}

TEST_F(InsertionTest, OverwriteReplacesTheEntryFoundByCustomerOrByCallLog) {
    struct Case {
        const char* name;
        std::string cust;  // handed over
        int32_t logId;
        std::string remark;
        bool append;
        Value storedRemark;
    };
    const Case cases[] = {
        {"found by customer", "A", 8, kCallBack, false, kCallBack},
        {"replace wins over append", "A", 8, kCallBack, true, kCallBack},
        {"found by call log keeps its customer", "B", 7, kCallBack, true, kCallBack},
        {"empty remark is written as Null", "A", 8, "", false, Value()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dt.Execute("DELETE FROM tblDTQueue");
        dt.Execute("UPDATE tblDtCallLogHeader SET SystemRemark='old'");
        Queue("A", 7, int16_t{5}, k120);
        Date before = Date::now();
        ASSERT_TRUE(Add(c.cust, c.logId, 9, c.remark, true, c.append)) << sError;
        Date after = Date::now();
        QueueRow q = Only();
        EXPECT_EQ(q.custId.text(), "A");
        EXPECT_EQ(Show(q.logId), Show(Value(c.logId)));
        EXPECT_EQ(Show(q.transType), Show(Value(int16_t{9})));
        EXPECT_EQ(Show(q.remark), Show(c.storedRemark));
        ExpectStamped(q, before, after);
        EXPECT_EQ(q.lockedBy.text(), "ANNA");
        EXPECT_EQ(Show(SystemRemark(c.logId)), Show(c.storedRemark));
        // The call log the entry carried before is not touched unless it is the new one.
        if (c.logId != 7) {
            EXPECT_EQ(SystemRemark(7).text(), "old");
        }
    }
}

TEST_F(InsertionTest, MergeRuleInEveryBranch) {
    struct Case {
        const char* name;
        Value storedType, storedRemark;
        int16_t newType;
        std::string newRemark;
        Value type, remark;  // expected in the queue
        bool stamped;
        Value mirror;  // expected SystemRemark of the new call log
    };
    const Value kNull;
    const Case cases[] = {
        {"Null remark takes the new type and remark", int16_t{1}, kNull, 6, kNear, int16_t{6},
         kNear, true, kNear},
        {"empty stored remark merges like Null", int16_t{1}, "", 6, kNear, int16_t{6}, kNear, true,
         kNear},
        {"Null remark and empty new remark", int16_t{1}, kNull, 2, "", int16_t{2}, kNull, true,
         kNull},
        {"ageing over ageing keeps the entry", int16_t{5}, k120, 2, k30, int16_t{5}, k120, false,
         Merged(k120, k30)},
        {"ageing bounds 2 and 5", int16_t{2}, k30, 5, k120, int16_t{2}, k30, false,
         Merged(k30, k120)},
        {"stored 1, new ageing", int16_t{1}, kOver, 2, k30, int16_t{1}, Merged(kOver, k30), true,
         Merged(kOver, k30)},
        {"stored ageing, new 6", int16_t{5}, k120, 6, kNear, int16_t{5}, Merged(k120, kNear), true,
         Merged(k120, kNear)},
        {"stored ageing, new 1", int16_t{2}, k30, 1, kOver, int16_t{2}, Merged(k30, kOver), true,
         Merged(k30, kOver)},
        {"stored 6, new ageing", int16_t{6}, kNear, 3, k60, int16_t{6}, Merged(kNear, k60), true,
         Merged(kNear, k60)},
        {"Null type counts as outside the ageing types", kNull, "Noted.", 4, k90, kNull,
         Merged("Noted.", k90), true, Merged("Noted.", k90)},
        {"no final point, nothing dropped", int16_t{10}, "On hold by phone", 1, kOver, int16_t{10},
         "On hold by phone; \r\n" + kOver, true, "On hold by phone; \r\n" + kOver},
        {"one final point dropped", int16_t{12}, "Wait..", 1, kOver, int16_t{12},
         "Wait.; \r\n" + kOver, true, "Wait.; \r\n" + kOver},
        {"empty new remark ends with the line break", int16_t{1}, kOver, 6, "", int16_t{1},
         "This Account is Over its Credit Limit; \r\n", true,
         "This Account is Over its Credit Limit; \r\n"},
        {"same type merges too", int16_t{9}, kCallBack, 9, kCallBack, int16_t{9},
         Merged(kCallBack, kCallBack), true, Merged(kCallBack, kCallBack)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dt.Execute("DELETE FROM tblDTQueue");
        dt.Execute("UPDATE tblDtCallLogHeader SET SystemRemark='old'");
        Queue("A", 7, c.storedType, c.storedRemark);
        ASSERT_EQ(Show(Only().remark), Show(c.storedRemark));
        Date before = Date::now();
        ASSERT_TRUE(Add("A", 8, c.newType, c.newRemark, false, true)) << sError;
        Date after = Date::now();
        QueueRow q = Only();
        EXPECT_EQ(q.custId.text(), "A");
        EXPECT_EQ(Show(q.logId), Show(Value(int32_t{8})));  // the call log changes in any case
        EXPECT_EQ(Show(q.transType), Show(c.type));
        EXPECT_EQ(Show(q.remark), Show(c.remark));
        if (c.stamped) {
            ExpectStamped(q, before, after);
        } else {
            ExpectNotStamped(q);
        }
        EXPECT_EQ(Show(SystemRemark(8)), Show(c.mirror));
        EXPECT_EQ(SystemRemark(7).text(), "old");
    }
}

TEST_F(InsertionTest, MergeThroughAnotherCustomersCallLogKeepsThatEntry) {
    Queue("A", 7, int16_t{1}, kOver);
    ASSERT_TRUE(Add("B", 7, 10, kHold, false, true)) << sError;
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("A", 7, 1, Merged(kOver, kHold))}));
    EXPECT_EQ(SystemRemark(7).text(), Merged(kOver, kHold));
    EXPECT_EQ(SystemRemark(9).text(), "nine");
}

TEST_F(InsertionTest, MergeWithoutCallLogClearsTheLinkAndMirrorsNothing) {
    Queue("A", 7, int16_t{1}, kOver);
    ASSERT_TRUE(Add("A", 0, 10, kHold, false, true)) << sError;
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("A", 0, 1, Merged(kOver, kHold))}));
    EXPECT_EQ(SystemRemark(7).text(), "seven");
    EXPECT_EQ(SystemRemark(0).text(), "zero");
}

TEST_F(InsertionTest, RemarksGrowPast255CharactersAndAreStoredWhole) {
    std::string expected = kOver;
    ASSERT_TRUE(Add("A", 7, 1, kOver, false, true)) << sError;
    for (int i = 0; i < 20; ++i) {
        const std::string& next = i % 2 ? kHold : kNear;
        ASSERT_TRUE(Add("A", 7, i % 2 ? 10 : 6, next, false, true)) << sError;
        expected = Merged(expected, next);
    }
    ASSERT_GT(expected.size(), 800u);
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("A", 7, 1, expected)}));
    EXPECT_EQ(SystemRemark(7).text(), expected);
}

TEST_F(InsertionTest, DoubleQuotesInCustomerIdsCannotChangeTheLookups) {
    // Without doubling, the second would delete, the third would match every entry and call
    // log, and the others would not parse.
    const std::string ids[] = {"A\"; DELETE", "A\" OR CustID<>\"", "\"", "O\"\"Hara\""};
    Queue("A", 0, int16_t{1}, kOver);
    int32_t logId = 20;
    for (const auto& id : ids) AddCallLog(CallLog(logId++, id));

    std::vector<std::string> expected{Entry("A", 0, 1, kOver)};
    logId = 20;
    for (std::string id : ids) {
        SCOPED_TRACE(id);
        Value found = engine.GetLogID(id);
        EXPECT_EQ(Show(found), Show(Value(logId)));
        ASSERT_TRUE(Add(id, logId, 10, kHold, false, true)) << sError;
        ASSERT_TRUE(Add(id, logId, 1, kOver, false, true)) << sError;  // merges into its own row
        EXPECT_EQ(SystemRemark(logId).text(), Merged(kHold, kOver));
        expected.push_back(Entry(id, logId, 10, Merged(kHold, kOver)));
        ++logId;
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> actual = Entries();
    std::sort(actual.begin(), actual.end());
    EXPECT_EQ(actual, expected);
}

TEST_F(InsertionTest, GetLogIDGivesNullWhenThereIsNothingToFind) {
    std::string none = "NOBODY";
    EXPECT_TRUE(engine.GetLogID(none).isNull());

    QueueEngine fresh;  // no database opened yet
    std::string a = "A";
    EXPECT_TRUE(fresh.GetLogID(a).isNull());

    Value v = engine.GetLogID(a);
    ASSERT_FALSE(v.isNull());
    EXPECT_TRUE(v.toLong() == 7 || v.toLong() == 8) << Show(v);
}
