// Each rule's selection, on small hand-made companies whose customers sit on either side of the
// rule's conditions. Every test switches on one rule at a time and reads the whole queue back.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "kelvor/collection_schema.h"
#include "kelvor/queue_engine.h"
#include "queue_test_support.h"
#include "test_util.h"

using namespace kelvor;
using namespace kelvor::queuetest;

namespace {

using EntryList = std::vector<std::string>;

class RulesTest : public CompanyTest {
  protected:
    // Runs the engine with only the given options on, on an empty queue, and returns the queue.
    EntryList RunOnly(std::initializer_list<const char*> options) {
        dt.Execute("DELETE FROM tblDTQueue");
        OnlyOptions(options);
        int32_t lErr = 0;
        std::string sError;
        EXPECT_TRUE(Run(lErr, sError)) << lErr << " " << sError;
        EntryList out = Entries();
        std::sort(out.begin(), out.end());
        return out;
    }

    // One entry per customer of `ids`, with the call log `logs` gives (0 when none).
    static EntryList Expect(const std::vector<std::string>& ids, int type,
                            const std::string& remark,
                            const std::map<std::string, int32_t>& logs = {}) {
        EntryList out;
        for (const auto& id : ids) {
            auto it = logs.find(id);
            out.push_back(Entry(id, it == logs.end() ? 0 : it->second, type, remark));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

}  // namespace

TEST_F(RulesTest, AgeingRulesSelectByTheirBucketAndTheSumWithFinanceCharges) {
    AddClient(Client("B1").B1(100));
    AddClient(Client("B2").B2(100));
    AddClient(Client("B3").B3(100));
    AddClient(Client("B4").B4(100));
    AddClient(Client("ALL").B1(10).B2(10).B3(10).B4(10));
    AddClient(Client("HOLD").Hold().B1(100).B2(100).B3(100).B4(100));
    AddClient(Client("CREDIT").B3(100).Unappl(150));                         // sum below 0
    AddClient(Client("EVEN").B3(100).Unappl(100));                           // sum exactly 0
    AddClient(Client("FINCH").B2(100).Unappl(150).NewFinch(30).Unpaid(30));  // sum 10
    AddClient(Client("NEWFIN").B4(50).Unappl(60).NewFinch(20));  // new charges count here
    AddClient(Client("CURONLY").Cur(500));
    AddClient(Client("NULLSUM").B1(100).B2(std::nullopt));
    AddClient(Client("NEGB1").B1(-5).B2(100));
    AddClient(Client("NOHIST").B1(100).NoHist());
    AddHist(Client("ORPHAN").B1(100));  // balances without a customer record
    AddClient(Client("LOGGED").B1(100));
    AddCallLog(CallLog(31, "LOGGED"));
    const std::map<std::string, int32_t> logs{{"LOGGED", 31}};

    EXPECT_EQ(RunOnly({"Chk_30Days"}), Expect({"B1", "ALL", "LOGGED"}, 2, k30, logs));
    EXPECT_EQ(RunOnly({"Chk_60Days"}), Expect({"B2", "ALL", "FINCH", "NEGB1"}, 3, k60));
    EXPECT_EQ(RunOnly({"Chk_90Days"}), Expect({"B3", "ALL"}, 4, k90));
    EXPECT_EQ(RunOnly({"Chk_120Days"}), Expect({"B4", "ALL", "NEWFIN"}, 5, k120));
    EXPECT_EQ(SystemRemark(31).text(), k30);
}

TEST_F(RulesTest, CreditRulesCountCurrentAmountsAndLeaveNewFinanceChargesOut) {
    // Limit 1000 unless set; minimum available funds 250, near-limit amount 500.
    AddClient(Client("OVER").Limit(1000).Cur(1000.01));
    AddClient(Client("ATLIMIT").Limit(1000).Cur(1000));
    AddClient(Client("HEAD500").Limit(1000).Cur(500));
    AddClient(Client("HEAD50001").Limit(1000).Cur(499.99));
    AddClient(Client("AVAIL250").Limit(1000).Cur(750));
    AddClient(Client("AVAIL24999").Limit(1000).Cur(750.01));
    AddClient(Client("NOLIMIT").Cur(5000));
    AddClient(Client("NEGLIMIT").Limit(-100).Cur(50));
    AddClient(Client("HOLD").Hold().Limit(1000).Cur(5000));
    AddClient(Client("NEWFINCH").Limit(100).NewFinch(5000));
    AddClient(Client("UNPAID").Limit(100).B1(90).Unpaid(20));
    AddClient(Client("UNAPPL").Limit(1000).Cur(1100).Unappl(200));
    AddClient(Client("ZERODUE").Limit(400));
    AddClient(Client("NULLDUE").Limit(1000).Cur(std::nullopt).B1(2000));
    AddCallLog(CallLog(5, "UNPAID"));
    const std::map<std::string, int32_t> logs{{"UNPAID", 5}};
    SetOptions("Chk_NearLimit_Amt=500, Chk_MinFIA_Amt=250");

    EXPECT_EQ(RunOnly({"Chk_OverLimit"}), Expect({"OVER", "UNPAID"}, 1, kOver, logs));
    EXPECT_EQ(RunOnly({"Chk_NearLimit"}),
              Expect({"OVER", "ATLIMIT", "HEAD500", "AVAIL250", "AVAIL24999", "UNPAID", "UNAPPL"},
                     6, kNear, logs));
    EXPECT_EQ(RunOnly({"Chk_MinFIA"}),
              Expect({"OVER", "ATLIMIT", "AVAIL24999", "NEWFINCH", "UNPAID", "UNAPPL"}, 12, kMinFIA,
                     logs));
}

TEST_F(RulesTest, NearLimitAmountAndMinimumFundsAsStoredOptions) {
    AddClient(Client("OVER20").Limit(1000).Cur(1020));
    AddClient(Client("OVER1999").Limit(1000).Cur(1019.99));
    AddClient(Client("ATLIMIT").Limit(1000).Cur(1000));
    AddClient(Client("HALF").Limit(1000).Cur(999.5));
    AddClient(Client("HALFPLUS").Limit(1000).Cur(999.49));
    struct Case {
        const char* options;
        const char* rule;
        std::vector<std::string> ids;
        int type;
        const std::string& remark;
    };
    const Case cases[] = {
        // Null counts as 0: at or over the limit.
        {"Chk_NearLimit_Amt=Null", "Chk_NearLimit", {"OVER20", "OVER1999", "ATLIMIT"}, 6, kNear},
        // A negative amount: over the limit by at least its size.
        {"Chk_NearLimit_Amt=-20", "Chk_NearLimit", {"OVER20"}, 6, kNear},
        {"Chk_NearLimit_Amt=0.5",
         "Chk_NearLimit",
         {"OVER20", "OVER1999", "ATLIMIT", "HALF"},
         6,
         kNear},
        // Null counts as 0: below zero available funds only.
        {"Chk_MinFIA_Amt=Null", "Chk_MinFIA", {"OVER20", "OVER1999"}, 12, kMinFIA},
        {"Chk_MinFIA_Amt=0.51",
         "Chk_MinFIA",
         {"OVER20", "OVER1999", "ATLIMIT", "HALF"},
         12,
         kMinFIA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        SetOptions(c.options);
        EXPECT_EQ(RunOnly({c.rule}), Expect(c.ids, c.type, c.remark));
    }
}

TEST_F(RulesTest, CreditHoldQueuesEveryHeldAccountWhateverItOwes) {
    AddClient(Client("H").Hold().NoHist());
    AddClient(Client("HLOG").Hold().Unappl(500));
    AddClient(Client("N").Limit(10).B4(5000));
    AddCallLog(CallLog(5, "HLOG"));
    EXPECT_EQ(RunOnly({"Chk_CreditHold"}), Expect({"H", "HLOG"}, 10, kHold, {{"HLOG", 5}}));
    EXPECT_EQ(SystemRemark(5).text(), kHold);
}

TEST_F(RulesTest, CallBackIsDueOnTodaysDateAtMidnightOnly) {
    AddClient(Client("TODAY").Hold().NoHist());  // balance and hold play no part
    AddCallLog(CallLog(1, "TODAY").CallBack(Date::today()));
    AddCallLog(CallLog(2, "YEST").CallBack(DaysAgo(1)));
    AddCallLog(CallLog(3, "TOMOR").CallBack(DaysAgo(-1)));
    AddCallLog(CallLog(4, "NOON").CallBack(DaysAgo(0, 12)));
    AddCallLog(CallLog(5, "NOTDUE").CallBack(Date::today(), false));
    // Two call logs due: handed over twice, the second merges into the first.
    AddCallLog(CallLog(6, "TWICE").CallBack(Date::today()));
    AddCallLog(CallLog(7, "TWICE").CallBack(Date::today()));

    EXPECT_EQ(RunOnly({"Chk_FollowUp3"}),
              (EntryList{Entry("TODAY", 1, 9, kCallBack),
                         Entry("TWICE", 6, 9, Merged(kCallBack, kCallBack))}));
    EXPECT_EQ(SystemRemark(6).text(), Merged(kCallBack, kCallBack));
    EXPECT_TRUE(SystemRemark(7).isNull()) << "the rule takes GetLogID's call log, not the row's";
}

TEST_F(RulesTest, CallBackPriorityOverwritesOrMerges) {
    AddCallLog(CallLog(1, "A").CallBack(Date::today()));
    for (bool priority : {true, false}) {
        SCOPED_TRACE(priority);
        dt.Execute("DELETE FROM tblDTQueue");
        AddQueueRow(
            {"A", 0, int16_t{1}, kOver, Value(), Date::today(), Value(), false, false, Value()});
        OnlyOptions({"Chk_FollowUp3"});
        SetOptions(std::string("Chk_FollowUp3Priority=") + (priority ? "True" : "False"));
        RunOk();
        EXPECT_EQ(Entries(), (EntryList{priority ? Entry("A", 1, 9, kCallBack)
                                                 : Entry("A", 1, 1, Merged(kOver, kCallBack))}));
    }
}

TEST_F(RulesTest, FollowUp1SelectsUnpaidConversationsOfAtLeastTheDayCount) {
    SetOptions("Chk_FollowUp1_x=14");
    struct Row {
        Client client;
        Value conversation;
        bool selected;
    };
    const Row rows[] = {
        {Client("F20").Cur(100), DaysAgo(20), true},  // the current amount counts
        {Client("F14").B1(100), DaysAgo(14), true},
        {Client("F14LATE").B1(100), DaysAgo(14, 23), true},  // whole days, not hours
        {Client("F13").B1(100), DaysAgo(13), false},
        {Client("PAIDAFTER").B1(100).LastPay(DaysAgo(10)), DaysAgo(20), false},
        {Client("PAIDSAME").B1(100).LastPay(DaysAgo(20)), DaysAgo(20), false},
        {Client("PAIDBEFORE").B1(100).LastPay(DaysAgo(30)), DaysAgo(20), true},
        {Client("NOCONV").B1(100).LastPay(DaysAgo(5)), Value(), true},
        {Client("NOCONVZERO"), Value(), false},
        {Client("NEWFINCH").NewFinch(100), DaysAgo(20), false},
        {Client("UNAPPL").B1(100).Unappl(100), DaysAgo(20), false},
        {Client("NOHISTROW").B1(100).NoHist(), DaysAgo(20), false},
    };
    EntryList expected;
    int32_t logId = 100;
    for (const auto& r : rows) {
        AddClient(r.client);
        AddCallLog(CallLog(logId, r.client.id).Conversation(r.conversation));
        if (r.selected) expected.push_back(Entry(r.client.id, logId, 7, FollowUp1Remark(14)));
        ++logId;
    }
    // The row's own call log, not the customer's first.
    AddClient(Client("ROWLOG").B1(100));
    AddCallLog(CallLog(40, "ROWLOG").Conversation(DaysAgo(2)));
    AddCallLog(CallLog(41, "ROWLOG").Conversation(DaysAgo(20)));
    expected.push_back(Entry("ROWLOG", 41, 7, FollowUp1Remark(14)));
    std::sort(expected.begin(), expected.end());

    EXPECT_EQ(RunOnly({"Chk_FollowUp1"}), expected);
    EXPECT_TRUE(SystemRemark(40).isNull());
    EXPECT_EQ(SystemRemark(41).text(), FollowUp1Remark(14));
}

TEST_F(RulesTest, FollowUp1HandsOverEveryQualifyingCallLog) {
    SetOptions("Chk_FollowUp1_x=14");
    AddClient(Client("TWO").B1(100));
    AddCallLog(CallLog(50, "TWO").Conversation(DaysAgo(20)));
    AddCallLog(CallLog(51, "TWO").Conversation(DaysAgo(30)));
    EntryList queue = RunOnly({"Chk_FollowUp1"});
    // The second hand-over merges and moves the entry to its own call log.
    const std::string one = FollowUp1Remark(14), two = Merged(one, one);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_TRUE(queue[0] == Entry("TWO", 50, 7, two) || queue[0] == Entry("TWO", 51, 7, two))
        << queue[0];
    std::vector<std::string> mirrors{SystemRemark(50).text(), SystemRemark(51).text()};
    std::sort(mirrors.begin(), mirrors.end());
    EXPECT_EQ(mirrors, (std::vector<std::string>{one, two}));
}

TEST_F(RulesTest, FollowUpDayCountsStoredAsNullCountAsZero) {
    SetOptions("Chk_FollowUp1_x=Null, Chk_FollowUp2_x=Null");
    AddClient(Client("CONVTODAY").B1(100));
    AddCallLog(CallLog(1, "CONVTODAY").Conversation(Date::today()));
    AddClient(Client("CONVTOMOR").B1(100));
    AddCallLog(CallLog(2, "CONVTOMOR").Conversation(DaysAgo(-1)));
    EXPECT_EQ(RunOnly({"Chk_FollowUp1"}),
              (EntryList{Entry("CONVTODAY", 1, 7, FollowUp1Remark(0))}));

    AddClient(Client("PROMYEST").B1(100));
    AddCallLog(CallLog(3, "PROMYEST").Promise(DaysAgo(1)));
    AddClient(Client("PROMTODAY").B1(100));
    AddCallLog(CallLog(4, "PROMTODAY").Promise(Date::today()));
    EXPECT_EQ(RunOnly({"Chk_FollowUp2"}), (EntryList{Entry("PROMYEST", 3, 8, FollowUp2Remark(0))}));
}

TEST_F(RulesTest, FollowUp2SelectsPromisesOlderThanTheDayCountWithoutPaymentSince) {
    SetOptions("Chk_FollowUp2_x=7");
    struct Row {
        Client client;
        Value promise;
        bool selected;
    };
    const Row rows[] = {
        {Client("P8").Cur(100), DaysAgo(8), true},
        {Client("P7").B1(100), DaysAgo(7), false},  // more than the day count
        {Client("PAIDAFTER").B1(100).LastPay(DaysAgo(3)), DaysAgo(8), false},
        {Client("PAIDSAME").B1(100).LastPay(DaysAgo(8)), DaysAgo(8), false},
        {Client("PAIDBEFORE").B1(100).LastPay(DaysAgo(20)), DaysAgo(8), true},
        {Client("NOPROMISE").B1(100), Value(), false},
        {Client("NOTHINGDUE").B1(100).Unappl(100), DaysAgo(8), false},
        {Client("NEWFINCH").NewFinch(100), DaysAgo(8), false},
        {Client("UNPAIDFIN").Unpaid(10), DaysAgo(8), true},
    };
    EntryList expected;
    int32_t logId = 100;
    for (const auto& r : rows) {
        AddClient(r.client);
        AddCallLog(CallLog(logId, r.client.id).Promise(r.promise));
        if (r.selected) expected.push_back(Entry(r.client.id, logId, 8, FollowUp2Remark(7)));
        ++logId;
    }
    AddClient(Client("ROWLOG").B1(100));
    AddCallLog(CallLog(40, "ROWLOG"));
    AddCallLog(CallLog(41, "ROWLOG").Promise(DaysAgo(10)));
    expected.push_back(Entry("ROWLOG", 41, 8, FollowUp2Remark(7)));
    std::sort(expected.begin(), expected.end());

    EXPECT_EQ(RunOnly({"Chk_FollowUp2"}), expected);
    EXPECT_EQ(SystemRemark(41).text(), FollowUp2Remark(7));
}
