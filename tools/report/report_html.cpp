// The report as one HTML page. The charts are SVG written here rather than drawn by a charting
// library: Debian packages none that could be inlined into one file without a script, and a
// page without any script opens the same in every browser, prints as shown and can break
// nothing at load. Colour is never the only cue: every series has a hatch or dot pattern of its
// own, the bars carry their values as text, and every chart has a table beside it.
//
// Every figure on the page carries data-fig (what it is) and data-v (its exact value), on the
// chart's marks and on the table cells alike, for tools and tests that read the page.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "report_render.h"

namespace kelvor::report {

std::string HtmlEscape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

namespace {

// Okabe and Ito's palette, which readers with any common colour-vision deficiency tell apart,
// each paired with a pattern so that print in grey and readers without colour lose nothing.
const char* const kColours[] = {"#E69F00", "#56B4E9", "#009E73", "#F0E442",
                                "#0072B2", "#D55E00", "#CC79A7", "#BBBBBB"};
const char* const kShapes[] = {
    "",
    "<path d='M0,8L8,0M-2,2L2,-2M6,10L10,6'/>",
    "<path d='M0,0L8,8M-2,6L2,10M6,-2L10,2'/>",
    "<path d='M0,4H8'/>",
    "<path d='M4,0V8'/>",
    "<path d='M0,4H8M4,0V8'/>",
    "<circle cx='4' cy='4' r='1.6' fill='#222'/>",
    "<path d='M0,8L8,0M0,0L8,8'/>",
    "<path d='M0,2H8M0,6H8'/>",
    "<path d='M2,0V8M6,0V8'/>",
    "<circle cx='4' cy='4' r='2.4' fill='none'/>",
    "<path d='M0,6L4,2L8,6'/>",
};
constexpr int kShapeCount = sizeof kShapes / sizeof kShapes[0];

// The pattern of a reason: fixed per TransType, so that a reason looks the same in every chart
// and on every page. Entries without a known type share a plain white one of their own.
constexpr int kOtherStyle = kShapeCount;
int reasonStyle(int type) {
    if (type >= 1 && type <= 10) return type - 1;
    if (type == 11) return 10;
    if (type == 12) return 11;
    return kOtherStyle;
}
// Ages go from light and plain to dark and dense.
const int kAgeStyle[kAgeBuckets][2] = {{3, 0}, {1, 3}, {0, 1}, {5, 7}, {7, 5}};  // {shape, colour}

std::string patternDefs() {
    std::ostringstream o;
    o << "<svg class='defs' width='0' height='0' aria-hidden='true'><defs>";
    for (int s = 0; s < kShapeCount; ++s)
        o << "<pattern id='r" << s << "' patternUnits='userSpaceOnUse' width='8' height='8'>"
          << "<rect width='8' height='8' fill='" << kColours[s % 8] << "'/>"
          << "<g stroke='#222' stroke-width='1.1'>" << kShapes[s] << "</g></pattern>";
    o << "<pattern id='r" << kOtherStyle
      << "' patternUnits='userSpaceOnUse' width='8' "
         "height='8'><rect width='8' height='8' fill='#fff'/><g stroke='#222' "
         "stroke-width='1.1'>"
      << kShapes[5] << "</g></pattern>";
    for (int b = 0; b < kAgeBuckets; ++b)
        o << "<pattern id='a" << b << "' patternUnits='userSpaceOnUse' width='8' height='8'>"
          << "<rect width='8' height='8' fill='" << kColours[kAgeStyle[b][1]] << "'/>"
          << "<g stroke='#222' stroke-width='1.1'>" << kShapes[kAgeStyle[b][0]] << "</g></pattern>";
    o << "</defs></svg>\n";
    return o.str();
}

std::string grouped(const std::string& digits) {
    std::string out;
    int n = static_cast<int>(digits.size());
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[static_cast<size_t>(i)]);
    }
    return out;
}

std::string count(int64_t n) {
    return n < 0 ? "-" + grouped(std::to_string(-n)) : grouped(std::to_string(n));
}

// Money to the cent, with thousands separators: "12,345.60".
std::string money(Currency c) {
    int64_t raw = c.raw();
    bool neg = raw < 0;
    uint64_t cents = (static_cast<uint64_t>(neg ? -raw : raw) + 50) / 100;
    char frac[4];
    std::snprintf(frac, sizeof frac, "%02d", static_cast<int>(cents % 100));
    return (neg ? "-" : "") + grouped(std::to_string(cents / 100)) + "." + frac;
}

std::string day(Date d) {
    return d.toString().substr(0, 10);
}

std::string fig(const std::string& key, const std::string& value) {
    return " data-fig='" + HtmlEscape(key) + "' data-v='" + HtmlEscape(value) + "'";
}

std::string typeKey(int type) {
    return type < 0 ? "none" : std::to_string(type);
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

struct Bar {
    std::string label;
    int style;
    double value;
    std::string text;  // the value as shown
    std::string key, exact;
};

// Horizontal bars, one per row, the label on the left and the value at the bar's end.
std::string barChart(const std::string& title, const std::vector<Bar>& bars) {
    const double labelW = 230, plotW = 400, rowH = 26, top = 8;
    double max = 0;
    for (const Bar& b : bars) max = std::max(max, b.value);
    double h = top * 2 + rowH * static_cast<double>(std::max<size_t>(bars.size(), 1));
    std::ostringstream o;
    o << "<svg class='chart' viewBox='0 0 760 " << num(h) << "' width='760' height='" << num(h)
      << "' role='img' aria-label='" << HtmlEscape(title) << "'><title>" << HtmlEscape(title)
      << "</title>";
    double y = top;
    for (const Bar& b : bars) {
        double w = max > 0 && b.value > 0 ? plotW * b.value / max : 0;
        o << "<text x='" << num(labelW - 8) << "' y='" << num(y + 17) << "' text-anchor='end'>"
          << HtmlEscape(b.label) << "</text>"
          << "<rect x='" << num(labelW) << "' y='" << num(y + 3) << "' width='" << num(w)
          << "' height='" << num(rowH - 6) << "' fill='url(#r" << b.style
          << ")' stroke='#222' stroke-width='0.8'" << fig(b.key, b.exact) << "/>"
          << "<text x='" << num(labelW + w + 6) << "' y='" << num(y + 17) << "'>"
          << HtmlEscape(b.text) << "</text>";
        y += rowH;
    }
    o << "<line x1='" << num(labelW) << "' y1='" << num(top) << "' x2='" << num(labelW) << "' y2='"
      << num(h - top) << "' stroke='#222'/></svg>\n";
    return o.str();
}

// One bar per reason, split by age; a segment wide enough carries its count.
std::string ageChart(const Figures& f) {
    const double labelW = 230, plotW = 440, rowH = 26, top = 34;
    int64_t max = 0;
    for (const Reason& r : f.reasons) max = std::max(max, r.entries);
    double h = top + 8 + rowH * static_cast<double>(std::max<size_t>(f.reasons.size(), 1));
    std::ostringstream o;
    o << "<svg class='chart' viewBox='0 0 760 " << num(h) << "' width='760' height='" << num(h)
      << "' role='img' aria-label='Queue entries by age, per reason'>"
      << "<title>Queue entries by age, per reason</title>";
    double x = labelW;
    for (int b = 0; b < kAgeBuckets; ++b) {
        o << "<rect x='" << num(x) << "' y='6' width='18' height='14' fill='url(#a" << b
          << ")' stroke='#222' stroke-width='0.8'/><text x='" << num(x + 24) << "' y='18'>"
          << kAgeLabels[b] << "</text>";
        x += 100;
    }
    double y = top;
    for (const Reason& r : f.reasons) {
        o << "<text x='" << num(labelW - 8) << "' y='" << num(y + 17) << "' text-anchor='end'>"
          << HtmlEscape(r.name) << "</text>";
        x = labelW;
        for (int b = 0; b < kAgeBuckets; ++b) {
            double w =
                max > 0 ? plotW * static_cast<double>(r.byAge[b]) / static_cast<double>(max) : 0;
            o << "<rect x='" << num(x) << "' y='" << num(y + 3) << "' width='" << num(w)
              << "' height='" << num(rowH - 6) << "' fill='url(#a" << b
              << ")' stroke='#222' stroke-width='0.8'"
              << fig("age." + typeKey(r.type) + "." + kAgeKeys[b], std::to_string(r.byAge[b]))
              << "/>";
            if (w >= 30)
                o << "<text class='inbar' x='" << num(x + w / 2) << "' y='" << num(y + 17)
                  << "' text-anchor='middle'>" << count(r.byAge[b]) << "</text>";
            x += w;
        }
        o << "<text x='" << num(x + 6) << "' y='" << num(y + 17) << "'>" << count(r.entries)
          << "</text>";
        y += rowH;
    }
    o << "</svg>\n";
    return o.str();
}

// One column per day, the count above each column that has any.
std::string followUpChart(const Figures& f) {
    const double left = 40, colW = 23, plotH = 150, top = 22, w = 760;
    int64_t max = 0;
    for (const auto& [d, n] : f.followedUp) max = std::max(max, n);
    double h = top + plotH + 44;
    std::ostringstream o;
    o << "<svg class='chart' viewBox='0 0 760 " << num(h) << "' width='760' height='" << num(h)
      << "' role='img' aria-label='Followed-up entries per day, last 30 days'>"
      << "<title>Followed-up entries per day, last 30 days</title>";
    double base = top + plotH;
    double x = left;
    int lastMonth = -1;
    for (const auto& [d, n] : f.followedUp) {
        double bh = max > 0 ? plotH * static_cast<double>(n) / static_cast<double>(max) : 0;
        o << "<rect x='" << num(x + 2) << "' y='" << num(base - bh) << "' width='" << num(colW - 4)
          << "' height='" << num(bh) << "' fill='url(#r1)' stroke='#222' stroke-width='0.8'"
          << fig("followup." + day(d), std::to_string(n)) << "/>";
        if (n > 0)
            o << "<text x='" << num(x + colW / 2) << "' y='" << num(base - bh - 4)
              << "' text-anchor='middle' class='small'>" << count(n) << "</text>";
        int y, m, dd, hh, mi, s;
        d.parts(y, m, dd, hh, mi, s);
        o << "<text x='" << num(x + colW / 2) << "' y='" << num(base + 14)
          << "' text-anchor='middle' class='small'>" << dd << "</text>";
        if (m != lastMonth) {
            static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
            o << "<text x='" << num(x + 2) << "' y='" << num(base + 30) << "' class='small'>"
              << kMonths[m - 1] << " " << y << "</text>";
            lastMonth = m;
        }
        x += colW;
    }
    o << "<line x1='" << num(left) << "' y1='" << num(base) << "' x2='" << num(w - 10) << "' y2='"
      << num(base) << "' stroke='#222'/></svg>\n";
    return o.str();
}

std::string swatch(const std::string& pattern) {
    return "<svg class='swatch' width='14' height='14' aria-hidden='true'><rect width='14' "
           "height='14' fill='url(#" +
           pattern + ")' stroke='#222' stroke-width='1'/></svg>";
}

std::string settingText(const Setting& s) {
    if (s.value.isNull()) return "not set";
    if (s.value.type() == VarType::Boolean) return s.value.toBool() ? "yes" : "no";
    return s.value.toString();
}

std::string settingExact(const Value& v) {
    if (v.isNull()) return "null";
    if (v.type() == VarType::Boolean) return v.toBool() ? "true" : "false";
    return v.toString();
}

const char* const kStyle = R"(
:root { color: #111; background: #fff; }
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; font-size: 14px;
       max-width: 980px; margin: 24px auto; padding: 0 16px; line-height: 1.4; }
h1 { font-size: 22px; margin: 0 0 4px; } h3 { font-size: 14px; margin: 12px 0 0; } h2 { font-size: 17px; margin: 28px 0 8px;
     border-bottom: 2px solid #111; padding-bottom: 2px; }
.meta { color: #333; margin: 0 0 4px; }
.defs { position: absolute; width: 0; height: 0; overflow: hidden; }
svg.chart { max-width: 100%; height: auto; display: block; margin: 8px 0; }
svg text { font-size: 12px; fill: #111; } svg text.small { font-size: 10px; }
svg text.inbar { font-weight: bold; paint-order: stroke; stroke: #fff; stroke-width: 3px; }
table { border-collapse: collapse; margin: 8px 0; }
th, td { border: 1px solid #888; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #eee; } td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
tfoot td { font-weight: bold; }
.swatch { vertical-align: middle; margin-right: 6px; }
.days { columns: 3; column-gap: 24px; } .days table { width: 100%; margin: 0; }
ul.reasons { margin: 0; padding-left: 16px; }
.on { font-weight: bold; } .off { color: #444; }
section { break-inside: avoid; }
@media print {
  @page { margin: 14mm; }
  body { font-size: 10pt; margin: 0; max-width: none; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  h2 { break-after: avoid; } tr { break-inside: avoid; }
  section.long { break-inside: auto; }
}
)";

}  // namespace

std::string RenderHtml(const Figures& f, const std::string& company) {
    std::ostringstream o;
    o << "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>\n"
      // Nothing but what the page holds: a reference to anything outside it fails at once.
      << "<meta http-equiv='Content-Security-Policy' content=\"default-src 'none'; style-src "
         "'unsafe-inline'; img-src data:\">\n"
      << "<meta name='viewport' content='width=device-width, initial-scale=1'>\n"
      << "<title>Kelvor work queue report, " << day(f.today) << "</title>\n<style>" << kStyle
      << "</style>\n"
      << "<script type='application/json' id='kelvor-figures'>";
    // "</" cannot end the block early: JSON allows "<\/" for it.
    std::string json = RenderJson(f, company);
    for (size_t i = 0; (i = json.find("</", i)) != std::string::npos; i += 3)
        json.replace(i, 2, "<\\/");
    o << json << "</script>\n</head><body>\n" << patternDefs();

    o << "<h1>Work queue report</h1>\n<p class='meta'>Company: " << HtmlEscape(company)
      << "</p>\n<p class='meta'>Report day: <b" << fig("today", day(f.today)) << ">" << day(f.today)
      << "</b>. Queue last processed: <b"
      << fig("lastQueueProc",
             f.lastQueueProc.isNull() ? "null" : f.lastQueueProc.toDate().toString())
      << ">"
      << (f.lastQueueProc.isNull() ? std::string("never") : f.lastQueueProc.toDate().toString())
      << "</b>.</p>\n<p class='meta'>Entries in the queue: <b"
      << fig("entries", std::to_string(f.entries)) << ">" << count(f.entries)
      << "</b>; owed by their customers: <b" << fig("owed", f.owed.toString()) << ">"
      << money(f.owed) << "</b>.</p>\n";

    // Reasons.
    std::vector<Bar> byEntries, byOwed;
    for (const Reason& r : f.reasons) {
        int s = reasonStyle(r.type);
        std::string k = "reason." + typeKey(r.type);
        byEntries.push_back({r.name, s, static_cast<double>(r.entries), count(r.entries),
                             k + ".entries", std::to_string(r.entries)});
        byOwed.push_back(
            {r.name, s, r.owed.toDouble(), money(r.owed), k + ".owed", r.owed.toString()});
    }
    o << "<section><h2>Entries per reason</h2>\n"
      << "<p>The reason is the rule that first queued the customer (TransType); the amount is "
         "what the customers owe: current amount, the four overdue balances and unpaid finance "
         "charges, less unapplied credit.</p>\n"
      << "<h3>Entries</h3>" << barChart("Queue entries per reason", byEntries)
      << "<h3>Amount owed</h3>" << barChart("Amount owed per reason", byOwed)
      << "<table><thead><tr><th>Reason</th><th class='n'>TransType</th><th "
         "class='n'>Entries</th><th class='n'>Amount owed</th></tr></thead><tbody>\n";
    for (const Reason& r : f.reasons) {
        std::string k = "reason." + typeKey(r.type);
        o << "<tr><td>" << swatch("r" + std::to_string(reasonStyle(r.type))) << HtmlEscape(r.name)
          << "</td><td class='n'>" << (r.type < 0 ? "" : std::to_string(r.type))
          << "</td><td class='n'" << fig(k + ".entries", std::to_string(r.entries)) << ">"
          << count(r.entries) << "</td><td class='n'" << fig(k + ".owed", r.owed.toString()) << ">"
          << money(r.owed) << "</td></tr>\n";
    }
    o << "</tbody><tfoot><tr><td>All reasons</td><td></td><td class='n'>" << count(f.entries)
      << "</td><td class='n'>" << money(f.owed) << "</td></tr></tfoot></table></section>\n";

    // Ages.
    o << "<section><h2>Entries by age</h2>\n<p>Days from the entry's date (when a rule last "
         "queued or merged it) to the report day.</p>\n"
      << ageChart(f) << "<table><thead><tr><th>Reason</th>";
    for (int b = 0; b < kAgeBuckets; ++b)
        o << "<th class='n'>" << swatch("a" + std::to_string(b)) << kAgeLabels[b] << "</th>";
    o << "<th class='n'>All</th></tr></thead><tbody>\n";
    for (const Reason& r : f.reasons) {
        o << "<tr><td>" << HtmlEscape(r.name) << "</td>";
        for (int b = 0; b < kAgeBuckets; ++b)
            o << "<td class='n'"
              << fig("age." + typeKey(r.type) + "." + kAgeKeys[b], std::to_string(r.byAge[b]))
              << ">" << count(r.byAge[b]) << "</td>";
        o << "<td class='n'>" << count(r.entries) << "</td></tr>\n";
    }
    o << "</tbody><tfoot><tr><td>All reasons</td>";
    for (int b = 0; b < kAgeBuckets; ++b) o << "<td class='n'>" << count(f.byAge[b]) << "</td>";
    o << "<td class='n'>" << count(f.entries) << "</td></tr></tfoot></table></section>\n";

    // Follow-ups.
    o << "<section><h2>Followed-up entries per day, last " << kFollowUpDays << " days</h2>\n"
      << "<p>Entries that collectors marked as followed up and a run moved to the history, by "
         "the date of the entry (the history keeps no date of the follow-up itself). Total: <b"
      << fig("followup.total", std::to_string(f.followedUpTotal)) << ">" << count(f.followedUpTotal)
      << "</b>.</p>\n"
      << followUpChart(f) << "<div class='days'>";
    for (size_t i = 0; i < f.followedUp.size(); ++i) {
        if (i % 10 == 0)
            o << (i ? "</tbody></table>" : "")
              << "<table><thead><tr><th>Day</th><th class='n'>Entries</th></tr></thead><tbody>";
        const auto& [d, n] = f.followedUp[i];
        o << "<tr><td>" << day(d) << "</td><td class='n'"
          << fig("followup." + day(d), std::to_string(n)) << ">" << count(n) << "</td></tr>";
    }
    o << "</tbody></table></div></section>\n";

    // Options.
    o << "<section><h2>Options in force</h2>\n";
    if (!f.hasOptions) {
        o << "<p>The options table holds no row: a run cannot start.</p>";
    } else {
        o << "<p>In the order a run takes them.</p><table><thead><tr><th>Rule or "
             "step</th><th class='n'>TransType</th><th>Switched</th><th>Settings</th></tr>"
             "</thead><tbody>\n";
        for (const RuleOption& r : f.options) {
            std::string state = r.on.isNull()   ? "not set (a run fails)"
                                : r.on.toBool() ? "&#10003; on"
                                                : "&#10007; off";
            o << "<tr><td>" << HtmlEscape(r.label) << " <small>(" << HtmlEscape(r.column)
              << ")</small></td><td class='n'>" << (r.type ? std::to_string(r.type) : "")
              << "</td><td class='" << (!r.on.isNull() && r.on.toBool() ? "on" : "off") << "'"
              << fig("option." + r.column, settingExact(r.on)) << ">" << state << "</td><td>";
            for (const Setting& s : r.settings)
                o << HtmlEscape(s.label) << ": <b"
                  << fig("option." + s.column, settingExact(s.value)) << ">"
                  << HtmlEscape(settingText(s)) << "</b> ";
            o << "</td></tr>\n";
        }
        o << "</tbody></table>";
    }
    o << "</section>\n";

    // Accounts.
    o << "<section class='long'><h2>The " << kTopAccounts
      << " queued accounts owing most</h2>\n<table><thead><tr><th class='n'>#</th><th>Customer</th>"
         "<th class='n'>Amount owed</th><th>Reason</th><th>Reasons in the entry</th></tr>"
         "</thead><tbody>\n";
    for (size_t i = 0; i < f.top.size(); ++i) {
        const Account& a = f.top[i];
        std::string k = "top." + std::to_string(i + 1);
        o << "<tr><td class='n'>" << i + 1 << "</td><td" << fig(k + ".cust", a.custId) << ">"
          << HtmlEscape(a.custId) << "</td><td class='n'" << fig(k + ".owed", a.owed.toString())
          << ">" << money(a.owed) << "</td><td>"
          << swatch("r" + std::to_string(reasonStyle(a.type))) << HtmlEscape(a.reasonName)
          << "</td><td><ul class='reasons'>";
        for (const std::string& r : a.reasons) o << "<li>" << HtmlEscape(r) << "</li>";
        o << "</ul></td></tr>\n";
    }
    o << "</tbody></table></section>\n</body></html>\n";
    return o.str();
}

}  // namespace kelvor::report
