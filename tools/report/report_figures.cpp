#include "report_figures.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>

namespace kelvor::report {

const std::array<const char*, kAgeBuckets> kAgeLabels = {"today", "1-7 days", "8-30 days", "older",
                                                         "no date"};
const std::array<const char*, kAgeBuckets> kAgeKeys = {"today", "d1_7", "d8_30", "older",
                                                       "undated"};

const char* const kOwedSql =
    "(h.CurAmtDue+h.BalAge1+h.BalAge2+h.BalAge3+h.BalAge4-h.UnapplCredit+h.UnpaidFinch)";

std::string ReasonName(int type) {
    switch (type) {
        case -1:
            return "No type";
        case 1:
            return "Over credit limit";
        case 2:
            return "30 days overdue";
        case 3:
            return "60 days overdue";
        case 4:
            return "90 days overdue";
        case 5:
            return "120 days overdue";
        case 6:
            return "Near credit limit";
        case 7:
            return "No payment since last call";
        case 8:
            return "Promised payment not received";
        case 9:
            return "Call-back due";
        case 10:
            return "On credit hold";
        case 12:
            return "Available funds below minimum";
        default:
            return "Type " + std::to_string(type);
    }
}

namespace {

// Jet's #month/day/year# literal of a day.
std::string dateLiteral(Date d) {
    int y, m, dd, h, mi, s;
    d.parts(y, m, dd, h, mi, s);
    char buf[32];
    std::snprintf(buf, sizeof buf, "#%02d/%02d/%04d#", m, dd, y);
    return buf;
}

// The remark as the engine merges it ("reason; " CR LF "reason"), one reason per item.
std::vector<std::string> splitRemark(const std::string& remark) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= remark.size()) {
        size_t end = remark.find('\n', from);
        if (end == std::string::npos) end = remark.size();
        std::string part = remark.substr(from, end - from);
        while (!part.empty() &&
               (std::isspace(static_cast<unsigned char>(part.back())) || part.back() == ';'))
            part.pop_back();
        // A reason merged again on a later run is listed once.
        if (!part.empty() && std::find(out.begin(), out.end(), part) == out.end())
            out.push_back(part);
        from = end + 1;
    }
    return out;
}

AgeBucket ageOf(const Value& entryDate, int64_t today) {
    if (entryDate.isNull()) return kUndated;
    int64_t age = today - entryDate.toDate().dayNumber();
    if (age <= 0) return kToday;  // an entry dated after the report's day counts as new
    if (age <= 7) return kUpTo7;
    if (age <= 30) return kUpTo30;
    return kOlder;
}

// Most owed first; equal amounts by customer id, so that the list is the same on every run.
bool ranksBefore(const Account& a, const Account& b) {
    if (a.owed != b.owed) return a.owed > b.owed;
    return a.custId < b.custId;
}

// The queue with each entry's amount owed, in one pass: per reason, per age, and the accounts
// owing most. The amount is a subquery rather than a join so that an entry whose customer has
// no (or several) Customer Accounts rows still counts once.
void readQueue(Database& dt, Figures& f) {
    std::string sql = std::string("SELECT q.TransType, q.EntryDate, q.CustID, (SELECT Sum(") +
                      kOwedSql +
                      ") FROM tblCaClientHist AS h WHERE h.ClientId = q.CustID) AS Owed, "
                      "q.Remark FROM tblDTQueue AS q";
    Recordset rs = dt.OpenRecordset(sql, dbOpenForwardOnly);
    Field fType = rs.Fields(0), fDate = rs.Fields(1), fCust = rs.Fields(2), fOwed = rs.Fields(3),
          fRemark = rs.Fields(4);
    std::map<int, Reason> reasons;
    const int64_t today = f.today.dayNumber();
    std::vector<Account> top;  // a heap whose front ranks last
    auto worst = [](const Account& a, const Account& b) { return ranksBefore(a, b); };
    while (!rs.EOF_()) {
        Value t = fType.Value();
        int type = t.isNull() ? -1 : t.toInteger();
        Value o = fOwed.Value();
        Currency owed = o.isNull() ? Currency() : o.toCurrency();
        AgeBucket age = ageOf(fDate.Value(), today);
        Reason& r = reasons[type];
        ++r.entries;
        r.owed = Currency::fromRaw(r.owed.raw() + owed.raw());
        ++r.byAge[age];

        Account a;
        a.owed = owed;
        a.custId = fCust.Value().text();
        if (top.size() < kTopAccounts || ranksBefore(a, top.front())) {
            a.type = type;
            a.reasonName = ReasonName(type);
            a.reasons = splitRemark(fRemark.Value().text());
            top.push_back(std::move(a));
            std::push_heap(top.begin(), top.end(), worst);
            if (top.size() > kTopAccounts) {
                std::pop_heap(top.begin(), top.end(), worst);
                top.pop_back();
            }
        }
        rs.MoveNext();
    }
    rs.Close();
    std::sort(top.begin(), top.end(), ranksBefore);
    f.top = std::move(top);
    // Entries without a type go last.
    for (int pass = 0; pass < 2; ++pass) {
        for (auto& [type, r] : reasons) {
            if ((type < 0) != (pass == 1)) continue;
            r.type = type;
            r.name = ReasonName(type);
            f.entries += r.entries;
            f.owed = Currency::fromRaw(f.owed.raw() + r.owed.raw());
            for (int b = 0; b < kAgeBuckets; ++b) f.byAge[b] += r.byAge[b];
            f.reasons.push_back(r);
        }
    }
}

// Entries moved to the history as followed up, per day of their entry date, over the last
// kFollowUpDays days. The history keeps no date of the follow-up itself.
void readFollowUps(Database& dt, Figures& f) {
    Date first =
        Date::fromSeconds((f.today.dayNumber() - (kFollowUpDays - 1)) * Date::kSecondsPerDay);
    Date after = Date::fromSeconds((f.today.dayNumber() + 1) * Date::kSecondsPerDay);
    Recordset rs = dt.OpenRecordset(
        "SELECT EntryDate FROM tblDtQueueHist WHERE FollowedUp=True AND EntryDate>=" +
            dateLiteral(first) + " AND EntryDate<" + dateLiteral(after),
        dbOpenForwardOnly);
    std::vector<int64_t> perDay(kFollowUpDays, 0);
    Field fDate = rs.Fields(0);
    while (!rs.EOF_()) {
        int64_t i = fDate.Value().toDate().dayNumber() - first.dayNumber();
        if (i >= 0 && i < kFollowUpDays) ++perDay[static_cast<size_t>(i)];
        rs.MoveNext();
    }
    rs.Close();
    for (int i = 0; i < kFollowUpDays; ++i) {
        f.followedUp.emplace_back(Date::fromSeconds((first.dayNumber() + i) * Date::kSecondsPerDay),
                                  perDay[i]);
        f.followedUpTotal += perDay[i];
    }
}

struct SettingSpec {
    const char* column;
    const char* label;
    bool isBool;
};
struct OptionSpec {
    const char* column;
    const char* label;
    int type;
    std::vector<SettingSpec> settings;
};

// The switches in the order a run takes them.
const std::vector<OptionSpec>& optionSpecs() {
    static const std::vector<OptionSpec> specs = {
        {"Chk_ResetQueue", "Empty the queue before the rules run", 0, {}},
        {"Chk_FollowUp3",
         "Call-back due today",
         9,
         {{"Chk_FollowUp3Priority", "call-back replaces the entry", true}}},
        {"Chk_FollowUp2",
         "Promised payment not received",
         8,
         {{"Chk_FollowUp2_x", "days after the promise", false}}},
        {"Chk_FollowUp1",
         "No payment since the last call",
         7,
         {{"Chk_FollowUp1_x", "days since the last call", false}}},
        {"Chk_120Days", "120 days overdue", 5, {}},
        {"Chk_90Days", "90 days overdue", 4, {}},
        {"Chk_60Days", "60 days overdue", 3, {}},
        {"Chk_30Days", "30 days overdue", 2, {}},
        {"Chk_OverLimit", "Over the credit limit", 1, {}},
        {"Chk_NearLimit",
         "Near the credit limit",
         6,
         {{"Chk_NearLimit_Amt", "headroom at or below", false}}},
        {"Chk_CreditHold", "On credit hold", 10, {}},
        {"Chk_MinFIA",
         "Available funds below the minimum",
         12,
         {{"Chk_MinFIA_Amt", "minimum available funds", false}}},
    };
    return specs;
}

bool sameName(const std::string& a, const char* b) {
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The first options row, as a run reads it. A column the row lacks is left out of the report
// rather than failing it: the page should still show the queue of a damaged options table.
void readOptions(Database& dt, Figures& f) {
    Recordset rs = dt.OpenRecordset("tblDtOptionsSession", dbOpenForwardOnly);
    if (rs.EOF_()) return;
    f.hasOptions = true;
    std::map<std::string, Value> row;
    auto find = [&](const char* column) -> std::optional<Value> {
        for (int i = 0; i < rs.FieldCount(); ++i)
            if (sameName(rs.Fields(i).Name(), column)) return rs.Fields(i).Value();
        return std::nullopt;
    };
    for (const OptionSpec& rule : optionSpecs()) {
        std::optional<Value> on = find(rule.column);
        if (!on) continue;
        RuleOption o{rule.column, rule.label, rule.type, *on, {}};
        for (const SettingSpec& s : rule.settings) {
            std::optional<Value> v = find(s.column);
            if (!v) continue;
            // A run counts a Null number as 0 and fails on a Null switch.
            if (v->isNull() && !s.isBool) v = Value(int32_t{0});
            o.settings.push_back({s.column, s.label, *v});
        }
        f.options.push_back(std::move(o));
    }
    if (auto last = find("LastQueueProc")) f.lastQueueProc = *last;
    rs.Close();
}

}  // namespace

Figures Compute(Database& dt, Date today) {
    Figures f;
    f.today = today.datePart();
    Workspace ws = DBEngine().Workspaces(0);
    // One read transaction: every figure comes from the same state of the files. Its first
    // statement reads DT and CA together, so that both are pinned from the start. Nothing is
    // written, and the transaction is rolled back whatever happens.
    ws.BeginTrans();
    try {
        readQueue(dt, f);
        readFollowUps(dt, f);
        readOptions(dt, f);
    } catch (...) {
        try {
            ws.Rollback();
        } catch (...) {
        }
        throw;
    }
    ws.Rollback();
    return f;
}

}  // namespace kelvor::report
