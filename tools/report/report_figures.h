// The figures of `kelvor report`: what the work queue holds, why, for how long and for how much,
// read from a company's DT database (with the Customer Accounts tables linked in) through the
// DAO layer only, so that the HTML page, the JSON document and any other storage engine share
// one computation.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kelvor/dao.h"

namespace kelvor::report {

// Ages of queue entries, from EntryDate to the report's day.
enum AgeBucket { kToday, kUpTo7, kUpTo30, kOlder, kUndated, kAgeBuckets };
extern const std::array<const char*, kAgeBuckets> kAgeLabels;  // "today", "1-7 days", ...
extern const std::array<const char*, kAgeBuckets> kAgeKeys;    // "today", "d1_7", ...

// Entries of one TransType. `type` is -1 for entries without one.
struct Reason {
    int type = 0;
    std::string name;
    int64_t entries = 0;
    Currency owed;  // the sum of the entries' amounts owed
    std::array<int64_t, kAgeBuckets> byAge{};
};

struct Account {
    std::string custId;
    int type = 0;  // -1 when Null
    std::string reasonName;
    Currency owed;
    std::vector<std::string> reasons;  // the entry's remark, one reason per item
};

// One switch of the options row and the values its rule takes.
struct Setting {
    std::string column;
    std::string label;
    Value value;  // in force: Null numbers count as 0; a Null switch stays Null (a run fails)
};
struct RuleOption {
    std::string column;  // the switch, e.g. "Chk_NearLimit"
    std::string label;
    int type = 0;  // the TransType it queues, 0 for housekeeping
    Value on;      // Boolean, or Null when the row holds none
    std::vector<Setting> settings;
};

struct Figures {
    Date today;
    int64_t entries = 0;
    Currency owed;
    std::vector<Reason> reasons;  // by TransType, entries without one last
    std::array<int64_t, kAgeBuckets> byAge{};
    std::vector<std::pair<Date, int64_t>> followedUp;  // the 30 days to `today`, oldest first
    int64_t followedUpTotal = 0;
    bool hasOptions = false;
    std::vector<RuleOption> options;  // in the order a run takes them
    Value lastQueueProc;              // Null when never run
    std::vector<Account> top;         // at most kTopAccounts, most owed first
};

inline constexpr size_t kTopAccounts = 20;
inline constexpr int kFollowUpDays = 30;

// The name of a queue reason: "Over credit limit", ..., "Type 11", "No type" for -1.
std::string ReasonName(int type);

// Total due as the credit-limit rules count it, over a customer's tblCaClientHist rows; Jet SQL
// text for use in a statement where `h` names tblCaClientHist.
extern const char* const kOwedSql;

// Reads every figure in one read transaction of the default workspace, which it rolls back:
// the report never writes. `dt` must be open outside any transaction (its links are attached
// when it is opened). Throws kelvor::Error.
Figures Compute(Database& dt, Date today);

}  // namespace kelvor::report
