#include "kelvor/value.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include "kelvor/jet_error.h"

namespace kelvor {

namespace {

[[noreturn]] void typeMismatch() {
    throw JetError::make(err::kTypeMismatch);
}
[[noreturn]] void overflow() {
    throw JetError::make(err::kOverflow);
}
[[noreturn]] void invalidNull() {
    throw JetError::make(err::kInvalidUseOfNull);
}

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 is day 0 of the engine's calendar.
const int64_t kEpochDays = daysFromCivil(1899, 12, 30);

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

bool parseInt(std::string_view s, int& out) {
    if (s.empty()) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool parseDouble(std::string_view s, double& out) {
    return ParseNumber(trim(s), out);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// For decimal text beyond the range of a double: whether it is too small rather than too large,
// from the position of its first significant digit and its exponent.
bool tooSmall(std::string_view s) {
    size_t i = 0;
    long magnitude = 0;  // 10^magnitude > value >= 10^(magnitude-1)
    bool significant = false;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        significant = significant || s[i] != '0';
        if (significant) ++magnitude;
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && isDigit(s[i]); ++i) {
            if (significant) continue;
            if (s[i] != '0')
                significant = true;
            else
                --magnitude;
        }
    }
    if (!significant) return true;
    long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool neg = i < s.size() && s[i] == '-';
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
        auto r = std::from_chars(s.data() + i, s.data() + s.size(), exponent);
        if (r.ec == std::errc::result_out_of_range) exponent = 1000000;
        if (neg) exponent = -exponent;
    }
    return magnitude + exponent <= 0;
}

}  // namespace

// ---- Currency ------------------------------------------------------------------------------

Currency Currency::fromDouble(double d) {
    double scaled = d * kScale;
    // Every double below 2^63 in magnitude converts to the scaled integer (a tighter bound
    // refused the top of the range, 920,000,000,000,000 and more).
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 9223372036854775808.0) overflow();
    // From 2^53 on, the product has lost the low digits that d holds: the whole part is scaled
    // exactly and the fraction alone rounded.
    if (std::fabs(scaled) >= 9007199254740992.0) {
        double whole = std::trunc(d);
        int64_t raw = static_cast<int64_t>(whole) * kScale +
                      static_cast<int64_t>(std::nearbyint((d - whole) * kScale));
        return fromRaw(raw);
    }
    return fromRaw(static_cast<int64_t>(std::nearbyint(scaled)));  // half to even
}

Currency Currency::parse(std::string_view text) {
    std::string_view s = trim(text);
    bool neg = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) typeMismatch();
    // Exponent forms go through double; plain decimals stay exact.
    if (s.find_first_of("eE") != std::string_view::npos) {
        double d;
        if (!parseDouble(s, d)) typeMismatch();
        return fromDouble(neg ? -d : d);
    }
    __int128 whole = 0;
    size_t i = 0;
    bool digits = false;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        whole = whole * 10 + (s[i] - '0');
        digits = true;
        if (whole > static_cast<__int128>(std::numeric_limits<int64_t>::max())) overflow();
    }
    __int128 frac = 0;
    int fracDigits = 0;
    int roundDigit = -1;
    bool sticky = false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
            digits = true;
            if (fracDigits < 4) {
                frac = frac * 10 + (s[i] - '0');
                ++fracDigits;
            } else if (roundDigit < 0) {
                roundDigit = s[i] - '0';
            } else if (s[i] != '0') {
                sticky = true;
            }
        }
    }
    if (i != s.size() || !digits) typeMismatch();
    while (fracDigits < 4) {
        frac *= 10;
        ++fracDigits;
    }
    __int128 raw = whole * kScale + frac;
    if (roundDigit > 5 || (roundDigit == 5 && (sticky || (raw & 1)))) ++raw;
    if (raw > static_cast<__int128>(std::numeric_limits<int64_t>::max())) overflow();
    return fromRaw(static_cast<int64_t>(neg ? -raw : raw));
}

std::string Currency::toString() const {
    uint64_t mag = raw_ < 0 ? 0 - static_cast<uint64_t>(raw_) : static_cast<uint64_t>(raw_);
    std::string out = std::to_string(mag / kScale);
    uint64_t frac = mag % kScale;
    if (frac) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04u", static_cast<unsigned>(frac));
        std::string f(buf);
        while (!f.empty() && f.back() == '0') f.pop_back();
        out += "." + f;
    }
    return raw_ < 0 ? "-" + out : out;
}

// ---- Date ----------------------------------------------------------------------------------

Date Date::fromParts(int year, int month, int day, int hour, int minute, int second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        typeMismatch();
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int dim = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day > dim) typeMismatch();
    int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochDays;
    return fromSeconds(days * kSecondsPerDay + hour * 3600 + minute * 60 + second);
}

Date Date::fromSerial(double days) {
    if (!std::isfinite(days) || std::fabs(days) > 3.0e6) overflow();
    return fromSeconds(static_cast<int64_t>(std::llround(days * kSecondsPerDay)));
}

Date Date::parse(std::string_view text) {
    std::string_view s = trim(text);
    std::string_view datePart = s, timePart;
    if (auto sp = s.find(' '); sp != std::string_view::npos) {
        datePart = s.substr(0, sp);
        timePart = trim(s.substr(sp + 1));
    }
    int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    auto split3 = [](std::string_view v, char sep, std::string_view out[3]) {
        size_t a = v.find(sep);
        if (a == std::string_view::npos) return false;
        size_t b = v.find(sep, a + 1);
        if (b == std::string_view::npos) return false;
        out[0] = v.substr(0, a);
        out[1] = v.substr(a + 1, b - a - 1);
        out[2] = v.substr(b + 1);
        return true;
    };
    std::string_view p[3];
    bool haveDate = true;
    if (split3(datePart, '-', p)) {
        if (!parseInt(p[0], y) || !parseInt(p[1], m) || !parseInt(p[2], d)) typeMismatch();
    } else if (split3(datePart, '/', p)) {
        if (!parseInt(p[0], m) || !parseInt(p[1], d) || !parseInt(p[2], y)) typeMismatch();
        if (p[2].size() <= 2) y += y < 30 ? 2000 : 1900;
    } else if (datePart.find(':') != std::string_view::npos && timePart.empty()) {
        haveDate = false;
        timePart = datePart;
    } else {
        typeMismatch();
    }
    if (!timePart.empty()) {
        bool pm = false, am = false;
        std::string_view tp = timePart;
        if (tp.size() > 2) {
            std::string_view suffix = trim(tp.substr(tp.size() - 2));
            if (suffix == "PM" || suffix == "pm") pm = true;
            if (suffix == "AM" || suffix == "am") am = true;
            if (pm || am) tp = trim(tp.substr(0, tp.size() - 2));
        }
        size_t a = tp.find(':');
        if (a == std::string_view::npos) typeMismatch();
        size_t b = tp.find(':', a + 1);
        if (!parseInt(tp.substr(0, a), hh)) typeMismatch();
        if (b == std::string_view::npos) {
            if (!parseInt(tp.substr(a + 1), mm)) typeMismatch();
        } else if (!parseInt(tp.substr(a + 1, b - a - 1), mm) || !parseInt(tp.substr(b + 1), ss)) {
            typeMismatch();
        }
        if (pm && hh < 12) hh += 12;
        if (am && hh == 12) hh = 0;
    }
    if (!haveDate) {
        if (hh < 0 || hh > 23 || mm < 0 || mm > 59 || ss < 0 || ss > 59) typeMismatch();
        return fromSeconds(hh * 3600 + mm * 60 + ss);
    }
    return fromParts(y, m, d, hh, mm, ss);
}

Date Date::now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return fromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec > 59 ? 59 : tm.tm_sec);
}

Date Date::today() {
    return now().datePart();
}

int64_t Date::dayNumber() const {
    return floorDiv(secs_, kSecondsPerDay);
}

void Date::parts(int& year, int& month, int& day, int& hour, int& minute, int& second) const {
    int64_t days = dayNumber();
    int64_t rest = secs_ - days * kSecondsPerDay;
    civilFromDays(days + kEpochDays, year, month, day);
    hour = static_cast<int>(rest / 3600);
    minute = static_cast<int>(rest / 60 % 60);
    second = static_cast<int>(rest % 60);
}

std::string Date::toString() const {
    int y, mo, d, h, mi, s;
    parts(y, mo, d, h, mi, s);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    return buf;
}

// ---- Value ---------------------------------------------------------------------------------

VarType Value::type() const {
    switch (v_.index()) {
        case 0:
            return VarType::Null;
        case 1:
            return VarType::Boolean;
        case 2:
            return VarType::Byte;
        case 3:
            return VarType::Integer;
        case 4:
            return VarType::Long;
        case 5:
            return VarType::Single;
        case 6:
            return VarType::Double;
        case 7:
            return VarType::Currency;
        case 8:
            return VarType::Date;
        default:
            return VarType::String;
    }
}

bool Value::isNumeric() const {
    auto t = type();
    return t != VarType::Null && t != VarType::String && t != VarType::Date;
}

double Value::toDouble() const {
    return std::visit(
        [](const auto& x) -> double {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                invalidNull();
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? -1.0 : 0.0;
            } else if constexpr (std::is_same_v<T, Currency>) {
                return x.toDouble();
            } else if constexpr (std::is_same_v<T, Date>) {
                return x.serial();
            } else if constexpr (std::is_same_v<T, std::string>) {
                double d;
                if (!parseDouble(x, d)) typeMismatch();
                return d;
            } else {
                return static_cast<double>(x);
            }
        },
        v_);
}

int64_t Value::toInt64() const {
    return std::visit(
        [](const auto& x) -> int64_t {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                invalidNull();
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? -1 : 0;
            } else if constexpr (std::is_integral_v<T>) {
                return x;
            } else {
                double d;
                if constexpr (std::is_same_v<T, Currency>) {
                    d = x.toDouble();
                } else if constexpr (std::is_same_v<T, Date>) {
                    d = x.serial();
                } else if constexpr (std::is_same_v<T, std::string>) {
                    if (!parseDouble(x, d)) typeMismatch();
                } else {
                    d = static_cast<double>(x);
                }
                d = std::nearbyint(d);  // banker's rounding, as the runtime's CLng
                if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) overflow();
                return static_cast<int64_t>(d);
            }
        },
        v_);
}

int32_t Value::toLong() const {
    int64_t v = toInt64();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        overflow();
    return static_cast<int32_t>(v);
}

int16_t Value::toInteger() const {
    int64_t v = toInt64();
    if (v < std::numeric_limits<int16_t>::min() || v > std::numeric_limits<int16_t>::max())
        overflow();
    return static_cast<int16_t>(v);
}

bool Value::toBool() const {
    if (isNull()) invalidNull();
    if (auto* s = std::get_if<std::string>(&v_)) {
        std::string_view t = trim(*s);
        if (t.size() == 4 && (t == "True" || t == "true" || t == "TRUE")) return true;
        if (t.size() == 5 && (t == "False" || t == "false" || t == "FALSE")) return false;
        double d;
        if (!parseDouble(t, d)) typeMismatch();
        return d != 0;
    }
    if (auto* b = std::get_if<bool>(&v_)) return *b;
    return toDouble() != 0;
}

Currency Value::toCurrency() const {
    if (isNull()) invalidNull();
    if (auto* c = std::get_if<Currency>(&v_)) return *c;
    if (auto* s = std::get_if<std::string>(&v_)) return Currency::parse(*s);
    if (std::holds_alternative<double>(v_) || std::holds_alternative<float>(v_) ||
        std::holds_alternative<Date>(v_))
        return Currency::fromDouble(toDouble());
    int64_t i = toInt64();
    if (i > std::numeric_limits<int64_t>::max() / Currency::kScale ||
        i < std::numeric_limits<int64_t>::min() / Currency::kScale)
        overflow();
    return Currency::fromRaw(i * Currency::kScale);
}

Date Value::toDate() const {
    if (isNull()) invalidNull();
    if (auto* d = std::get_if<Date>(&v_)) return *d;
    if (auto* s = std::get_if<std::string>(&v_)) {
        double serial;
        if (parseDouble(*s, serial)) return Date::fromSerial(serial);
        return Date::parse(*s);
    }
    return Date::fromSerial(toDouble());
}

std::string Value::toString() const {
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                invalidNull();
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? "True" : "False";
            } else if constexpr (std::is_same_v<T, std::string>) {
                return x;
            } else if constexpr (std::is_same_v<T, Currency>) {
                return x.toString();
            } else if constexpr (std::is_same_v<T, Date>) {
                return x.toString();
            } else if constexpr (std::is_floating_point_v<T>) {
                // As "%.15g" would print it, but never with the locale's decimal comma.
                char buf[32];
                auto r =
                    std::to_chars(buf, buf + sizeof buf, static_cast<double>(x),
                                  std::chars_format::general, std::is_same_v<T, float> ? 7 : 15);
                return std::string(buf, r.ptr);
            } else {
                return std::to_string(static_cast<int64_t>(x));
            }
        },
        v_);
}

std::string NumberToSqlText(double v) {
    // "inf" or "nan" in a statement would read as a name, or not at all.
    if (!std::isfinite(v)) overflow();
    // to_chars ignores the locale: a comma for a decimal point would change the statement.
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
    std::string s(buf, r.ptr);
    // The runtime writes no leading zero before the point: " .5", "-.25".
    if (s.rfind("0.", 0) == 0) s.erase(0, 1);
    if (s.rfind("-0.", 0) == 0) s.erase(1, 1);
    if (v >= 0) s.insert(s.begin(), ' ');
    return s;
}

bool ParseNumber(std::string_view text, double& out) {
    std::string_view body = text;
    bool neg = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        neg = body[0] == '-';
        body.remove_prefix(1);
    }
    // from_chars would also read "inf", "nan" and a second sign.
    if (body.empty() || !(isDigit(body[0]) || body[0] == '.')) return false;
    double d = 0;
    auto r = std::from_chars(body.data(), body.data() + body.size(), d);
    if (r.ptr != body.data() + body.size()) return false;
    if (r.ec == std::errc::result_out_of_range) {
        if (!tooSmall(body)) overflow();
        d = 0;
    } else if (r.ec != std::errc()) {
        return false;
    }
    out = neg ? -d : d;
    return true;
}

}  // namespace kelvor
