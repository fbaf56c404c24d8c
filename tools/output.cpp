#include "output.h"
#include "report/report_render.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace kelvor::tool {

namespace {

size_t displayWidth(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Table cells stay on one line (line breaks shown escaped) and within kMaxCell characters, so
// a long remark does not push every row off the screen; JSON Lines carry whole values.
constexpr size_t kMaxCell = 60;

// A date as Jet shows it: the day alone at midnight, the time alone on day 0 (1899-12-30,
// where a time of day without a date is kept), else both.
std::string dateText(const Date& d) {
    std::string s = d.toString();  // "YYYY-MM-DD HH:MM:SS"
    if (d.dayNumber() == 0) return s.substr(11);
    if (d.seconds() == d.datePart().seconds()) return s.substr(0, 10);
    return s;
}

std::string cellText(const Value& v) {
    if (v.isNull()) return "";
    std::string s = v.type() == VarType::Date ? dateText(v.toDate()) : v.toString();
    std::string out;
    out.reserve(s.size());
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) != 0x80 && ++chars > kMaxCell) {
            out += "...";
            break;
        }
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace

std::string JsonString(const std::string& s) {
    return report::JsonString(s);
}

std::string JsonValue(const Value& v) {
    switch (v.type()) {
        case VarType::Null:
            return "null";
        case VarType::Boolean:
            return v.toBool() ? "true" : "false";
        case VarType::Byte:
        case VarType::Integer:
        case VarType::Long:
            return std::to_string(v.toInt64());
        case VarType::Currency:
            return v.toCurrency().toString();
        case VarType::Single:
        case VarType::Double: {
            double d = v.toDouble();
            if (!std::isfinite(d)) return "null";
            // The shortest "%g" text that reads back as the same number; to_chars and
            // from_chars keep the point whatever the locale.
            for (int prec = 1;; ++prec) {
                char buf[40];
                char* end =
                    std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, prec).ptr;
                double back = 0;
                std::from_chars(buf, end, back);
                if (back == d || prec == 17) return std::string(buf, end);
            }
        }
        case VarType::Date:
            return JsonString(v.toDate().toString());
        case VarType::String:
            return JsonString(v.toString());
    }
    return "null";
}

long PrintJsonLines(Recordset& rs, std::ostream& out) {
    int n = rs.FieldCount();
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i) keys.push_back(JsonString(rs.Fields(i).Name()) + ":");
    long rows = 0;
    std::string line;
    while (!rs.EOF_()) {
        line.clear();
        line.push_back('{');
        for (int i = 0; i < n; ++i) {
            if (i) line += ",";
            line += keys[static_cast<size_t>(i)];
            line += JsonValue(rs.Fields(i).Value());
        }
        line += "}\n";
        out << line;
        ++rows;
        rs.MoveNext();
    }
    return rows;
}

long PrintTable(Recordset& rs, std::ostream& out) {
    int n = rs.FieldCount();
    std::vector<std::vector<std::string>> cells(1);
    for (int i = 0; i < n; ++i) cells[0].push_back(rs.Fields(i).Name());
    while (!rs.EOF_()) {
        std::vector<std::string> row;
        for (int i = 0; i < n; ++i) row.push_back(cellText(rs.Fields(i).Value()));
        cells.push_back(std::move(row));
        rs.MoveNext();
    }
    std::vector<size_t> width(static_cast<size_t>(n), 0);
    for (const auto& row : cells)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], displayWidth(row[i]));
    auto printRow = [&](const std::vector<std::string>& row) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            if (i) line += " | ";
            line += row[i];
            if (i + 1 < row.size()) line.append(width[i] - displayWidth(row[i]), ' ');
        }
        out << line << "\n";
    };
    printRow(cells[0]);
    std::string rule;
    for (size_t i = 0; i < width.size(); ++i) {
        if (i) rule += "-+-";
        rule.append(width[i], '-');
    }
    out << rule << "\n";
    for (size_t r = 1; r < cells.size(); ++r) printRow(cells[r]);
    return static_cast<long>(cells.size() - 1);
}

}  // namespace kelvor::tool
