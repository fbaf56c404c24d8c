#include <cstdio>
#include <sstream>

#include "report_render.h"

namespace kelvor::report {

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out + "\"";
}

namespace {

std::string day(Date d) {
    return d.toString().substr(0, 10);
}

// Booleans as true/false, money as an exact decimal number, dates as "YYYY-MM-DD HH:MM:SS".
std::string jsonValue(const Value& v) {
    switch (v.type()) {
        case VarType::Null:
            return "null";
        case VarType::Boolean:
            return v.toBool() ? "true" : "false";
        case VarType::Currency:
            return v.toCurrency().toString();
        case VarType::Date:
            return JsonString(v.toDate().toString());
        case VarType::String:
            return JsonString(v.toString());
        default:
            return v.toString();
    }
}

std::string ages(const std::array<int64_t, kAgeBuckets>& a) {
    std::string out = "{";
    for (int b = 0; b < kAgeBuckets; ++b)
        out += std::string(b ? "," : "") + "\"" + kAgeKeys[b] + "\":" + std::to_string(a[b]);
    return out + "}";
}

}  // namespace

std::string RenderJson(const Figures& f, const std::string& company) {
    std::ostringstream o;
    o << "{\"company\":" << JsonString(company) << ",\"today\":\"" << day(f.today)
      << "\",\"entries\":" << f.entries << ",\"owed\":" << f.owed.toString()
      << ",\"byAge\":" << ages(f.byAge) << ",\"reasons\":[";
    for (size_t i = 0; i < f.reasons.size(); ++i) {
        const Reason& r = f.reasons[i];
        o << (i ? "," : "") << "{\"type\":" << (r.type < 0 ? "null" : std::to_string(r.type))
          << ",\"name\":" << JsonString(r.name) << ",\"entries\":" << r.entries
          << ",\"owed\":" << r.owed.toString() << ",\"byAge\":" << ages(r.byAge) << "}";
    }
    o << "],\"followedUp\":[";
    for (size_t i = 0; i < f.followedUp.size(); ++i)
        o << (i ? "," : "") << "{\"day\":\"" << day(f.followedUp[i].first)
          << "\",\"entries\":" << f.followedUp[i].second << "}";
    o << "],\"followedUpTotal\":" << f.followedUpTotal << ",\"options\":";
    if (!f.hasOptions) {
        o << "null";
    } else {
        o << "[";
        for (size_t i = 0; i < f.options.size(); ++i) {
            const RuleOption& r = f.options[i];
            o << (i ? "," : "") << "{\"column\":" << JsonString(r.column)
              << ",\"label\":" << JsonString(r.label) << ",\"type\":" << r.type
              << ",\"on\":" << jsonValue(r.on) << ",\"settings\":[";
            for (size_t j = 0; j < r.settings.size(); ++j)
                o << (j ? "," : "") << "{\"column\":" << JsonString(r.settings[j].column)
                  << ",\"label\":" << JsonString(r.settings[j].label)
                  << ",\"value\":" << jsonValue(r.settings[j].value) << "}";
            o << "]}";
        }
        o << "]";
    }
    o << ",\"lastQueueProc\":" << jsonValue(f.lastQueueProc) << ",\"top\":[";
    for (size_t i = 0; i < f.top.size(); ++i) {
        const Account& a = f.top[i];
        o << (i ? "," : "") << "{\"rank\":" << i + 1 << ",\"custId\":" << JsonString(a.custId)
          << ",\"type\":" << (a.type < 0 ? "null" : std::to_string(a.type))
          << ",\"reason\":" << JsonString(a.reasonName) << ",\"owed\":" << a.owed.toString()
          << ",\"reasons\":[";
        for (size_t j = 0; j < a.reasons.size(); ++j)
            o << (j ? "," : "") << JsonString(a.reasons[j]);
        o << "]}";
    }
    o << "]}\n";
    return o.str();
}

}  // namespace kelvor::report
