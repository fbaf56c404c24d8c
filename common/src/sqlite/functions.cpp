// SQL functions that give the engine's meanings where SQLite has none of its own: the date
// functions on dates stored as seconds from day 0, money as ten-thousandths, the engine's
// text conversions, Like patterns and the & operator's Null rule.
#include "sqlite/functions.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "jetsql/types.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "sqlite/collation.h"

namespace kelvor::sqlite {

namespace {

using Fn = void (*)(sqlite3_context*, int, sqlite3_value**);

bool isNull(sqlite3_value* v) {
    return sqlite3_value_type(v) == SQLITE_NULL;
}

std::string textOf(sqlite3_value* v) {
    const unsigned char* t = sqlite3_value_text(v);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_value_bytes(v)))
             : std::string();
}

void resultText(sqlite3_context* ctx, const std::string& s) {
    sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

void mismatch(sqlite3_context* ctx) {
    sqlite3_result_error(ctx, "Data type mismatch in criteria expression.", -1);
    sqlite3_result_error_code(ctx, SQLITE_MISMATCH);
}

// The engine's own text: the layer knows this failure by it and reports the engine's error.
void fieldOverflow(sqlite3_context* ctx) {
    sqlite3_result_error(ctx, JetError::messageFor(err::kNumericFieldOverflow).c_str(), -1);
}

// A run-time error of the engine's (11 division by zero, 6 overflow, 5 invalid procedure
// call): the statement fails with that number (see SqliteError).
void raise(sqlite3_context* ctx, int number) {
    sqlite3_result_error(ctx, (kRuntimeErrorPrefix + std::to_string(number)).c_str(), -1);
}

// Runs `body`; an overflow or an invalid argument inside is the engine's run-time error, any
// other engine error a SQLite error of the mismatch kind.
template <typename F>
void guarded(sqlite3_context* ctx, F body) {
    try {
        body();
    } catch (const JetError& e) {
        if (e.number() == err::kOverflow || e.number() == err::kInvalidProcedureCall)
            return raise(ctx, e.number());
        mismatch(ctx);
    } catch (const std::exception&) {
        mismatch(ctx);
    }
}

// A whole number of the range [lo, hi] from a double, or Overflow.
int64_t wholeIn(double d, double lo, double hi) {
    d = std::nearbyint(d);  // halves to even, as the runtime rounds
    if (!(d >= lo && d <= hi)) throw JetError::make(err::kOverflow);
    return static_cast<int64_t>(d);
}

// A value as the engine's date (seconds). Numbers are the engine's serial day numbers.
Date dateOf(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_INTEGER:
            return Date::fromSeconds(sqlite3_value_int64(v));
        case SQLITE_FLOAT:
            return Date::fromSerial(sqlite3_value_double(v));
        default:
            return Value(textOf(v)).toDate();
    }
}

void fnDate(sqlite3_context* ctx, int, sqlite3_value**) {
    sqlite3_result_int64(ctx, Date::today().seconds());
}
void fnNow(sqlite3_context* ctx, int, sqlite3_value**) {
    sqlite3_result_int64(ctx, Date::now().seconds());
}
void fnTime(sqlite3_context* ctx, int, sqlite3_value**) {
    Date d = Date::now();
    sqlite3_result_int64(ctx, d.seconds() - d.dayNumber() * Date::kSecondsPerDay);
}

void fnCdate(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        if (sqlite3_value_type(a[0]) == SQLITE_INTEGER) {
            sqlite3_result_int64(ctx, sqlite3_value_int64(a[0]) * Date::kSecondsPerDay);
        } else {
            sqlite3_result_int64(ctx, dateOf(a[0]).seconds());
        }
    });
}

void fnCcur(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        switch (sqlite3_value_type(a[0])) {
            case SQLITE_INTEGER:
                sqlite3_result_int64(
                    ctx, Value(static_cast<double>(sqlite3_value_int64(a[0]))).toCurrency().raw());
                break;
            case SQLITE_FLOAT:
                sqlite3_result_int64(ctx, Currency::fromDouble(sqlite3_value_double(a[0])).raw());
                break;
            default:
                sqlite3_result_int64(ctx, Currency::parse(textOf(a[0])).raw());
        }
    });
}

void fnCdbl(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        if (sqlite3_value_type(a[0]) == SQLITE_TEXT) {
            sqlite3_result_double(ctx, Value(textOf(a[0])).toDouble());
        } else {
            sqlite3_result_double(ctx, sqlite3_value_double(a[0]));
        }
    });
}

void fnCround(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        double d = sqlite3_value_type(a[0]) == SQLITE_TEXT ? Value(textOf(a[0])).toDouble()
                                                           : sqlite3_value_double(a[0]);
        sqlite3_result_int64(ctx, wholeIn(d, -9.2233720368547758e18, 9.2233720368547748e18));
    });
}

void fnCbool(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        bool b = sqlite3_value_type(a[0]) == SQLITE_TEXT ? Value(textOf(a[0])).toBool()
                                                         : sqlite3_value_double(a[0]) != 0;
        sqlite3_result_int(ctx, b ? -1 : 0);
    });
}

void fnCurtext(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    resultText(ctx, Currency::fromRaw(sqlite3_value_int64(a[0])).toString());
}

void fnDatetext(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    resultText(ctx, Date::fromSeconds(sqlite3_value_int64(a[0])).toString());
}

void fnConcat(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) && isNull(a[1])) return sqlite3_result_null(ctx);
    resultText(ctx, textOf(a[0]) + textOf(a[1]));
}

void fnCurmul(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    __int128 p = static_cast<__int128>(sqlite3_value_int64(a[0])) * sqlite3_value_int64(a[1]);
    __int128 q = p / Currency::kScale, r = p % Currency::kScale;
    __int128 twice = (r < 0 ? -r : r) * 2;
    if (twice > Currency::kScale || (twice == Currency::kScale && (q & 1))) q += p < 0 ? -1 : 1;
    if (q > INT64_MAX || q < INT64_MIN) return raise(ctx, err::kOverflow);  // never wrapped
    sqlite3_result_int64(ctx, static_cast<int64_t>(q));
}

// The value written to a column of the given type (its engine type code), or "Numeric field
// overflow" when it does not fit: nothing is stored wrapped or cut. Numbers come in the
// column's own units (money as ten-thousandths) and are rounded half to even for the integer
// types; text is read as a number of the column's type, a point being its decimal separator.
void fnFit(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    using jetsql::JType;
    const auto type = static_cast<JType>(sqlite3_value_int(a[1]));
    const int storage = sqlite3_value_type(a[0]);
    try {
        if (storage == SQLITE_BLOB) throw JetError::make(err::kTypeMismatch);
        if (type == JType::Currency) {
            if (storage == SQLITE_INTEGER)
                return sqlite3_result_int64(ctx, sqlite3_value_int64(a[0]));
            if (storage == SQLITE_TEXT)
                return sqlite3_result_int64(ctx, Currency::parse(textOf(a[0])).raw());
            double raw = std::nearbyint(sqlite3_value_double(a[0]));
            if (!(raw >= -0x1p63 && raw < 0x1p63)) return fieldOverflow(ctx);
            return sqlite3_result_int64(ctx, static_cast<int64_t>(raw));
        }
        double lo, hi;
        switch (type) {
            case JType::Byte:
                lo = 0;
                hi = 255;
                break;
            case JType::Integer:
                lo = INT16_MIN;
                hi = INT16_MAX;
                break;
            case JType::Long:
                lo = INT32_MIN;
                hi = INT32_MAX;
                break;
            case JType::Single:
                lo = -FLT_MAX;
                hi = FLT_MAX;
                break;
            case JType::Double:
                lo = -DBL_MAX;
                hi = DBL_MAX;
                break;
            default:
                return sqlite3_result_value(ctx, a[0]);
        }
        double d =
            storage == SQLITE_TEXT ? Value(textOf(a[0])).toDouble() : sqlite3_value_double(a[0]);
        const bool integral = type != JType::Single && type != JType::Double;
        if (integral) {
            // Integers past 2^53 are not all doubles, but those are far out of range anyway.
            if (storage == SQLITE_INTEGER) d = static_cast<double>(sqlite3_value_int64(a[0]));
            d = std::nearbyint(d);
        }
        if (!(d >= lo && d <= hi)) return fieldOverflow(ctx);  // NaN too
        if (integral) return sqlite3_result_int64(ctx, static_cast<int64_t>(d));
        sqlite3_result_double(ctx, d);
    } catch (const JetError& e) {
        if (e.number() == err::kOverflow) return fieldOverflow(ctx);
        mismatch(ctx);
    }
}

size_t utf8Len(unsigned char c) {
    if (c < 0x80) return 1;
    if ((c >> 5) == 6) return 2;
    if ((c >> 4) == 14) return 3;
    if ((c >> 3) == 30) return 4;
    return 1;
}

// ---- Like patterns: * ? # [list] [!list] [a-z], without regard to case --------------------
// Text and pattern are matched as folded characters, so that case is ignored for every letter
// and ? takes one character whatever its length in bytes.
using Chars = std::u32string::const_iterator;

// One element of a pattern (not *) against the character at `s`: true when it matches; `p`
// then moves past the element and `s` past the character.
bool likeOne(Chars& s, Chars se, Chars& p, Chars pe) {
    if (s >= se || p >= pe) return false;
    const char32_t pc = *p;
    if (pc == U'?') {
        ++s;
        ++p;
        return true;
    }
    if (pc == U'#') {
        if (*s < U'0' || *s > U'9') return false;
        ++s;
        ++p;
        return true;
    }
    if (pc == U'[') {
        Chars close = std::find(p + 1, pe, U']');
        if (close == pe) return false;  // a list that is never closed matches nothing
        Chars q = p + 1;
        bool negate = q < close && *q == U'!';
        if (negate) ++q;
        const char32_t ch = *s;
        bool hit = false;
        while (q < close) {
            if (q + 2 < close && q[1] == U'-') {
                if (ch >= q[0] && ch <= q[2]) hit = true;
                q += 3;
            } else {
                if (ch == *q) hit = true;
                ++q;
            }
        }
        if (hit == negate) return false;
        ++s;
        p = close + 1;
        return true;
    }
    if (pc != *s) return false;
    ++s;
    ++p;
    return true;
}

// Every element but * takes exactly one character, so on a mismatch only the last * needs to
// take one character more: time grows with the text's length times the pattern's, never
// exponentially with the number of *.
bool likeMatch(Chars s, Chars se, Chars p, Chars pe) {
    Chars starP = pe, starS = se;  // the pattern just after the last *, and where the text stood
    bool star = false;
    while (s < se) {
        if (p < pe && *p == U'*') {
            while (p < pe && *p == U'*') ++p;
            if (p == pe) return true;
            starP = p;
            starS = s;
            star = true;
            continue;
        }
        if (likeOne(s, se, p, pe)) continue;
        if (!star) return false;
        s = ++starS;
        p = starP;
    }
    while (p < pe && *p == U'*') ++p;
    return p == pe;
}

void fnLike(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    const std::u32string s = FoldedCodePoints(textOf(a[0])), p = FoldedCodePoints(textOf(a[1]));
    sqlite3_result_int(ctx, likeMatch(s.begin(), s.end(), p.begin(), p.end()));
}

// ---- date arithmetic ---------------------------------------------------------------------
std::string lowerText(sqlite3_value* v) {
    std::string s = textOf(v);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

void fnDatediff(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1]) || isNull(a[2])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        std::string iv = lowerText(a[0]);
        Date d1 = dateOf(a[1]), d2 = dateOf(a[2]);
        int y1, m1, dd1, h1, n1, s1, y2, m2, dd2, h2, n2, s2;
        d1.parts(y1, m1, dd1, h1, n1, s1);
        d2.parts(y2, m2, dd2, h2, n2, s2);
        int64_t r;
        if (iv == "yyyy") {
            r = y2 - y1;
        } else if (iv == "q") {
            r = (y2 * 4 + (m2 - 1) / 3) - (y1 * 4 + (m1 - 1) / 3);
        } else if (iv == "m") {
            r = (y2 * 12 + m2) - (y1 * 12 + m1);
        } else if (iv == "d" || iv == "y") {
            r = d2.dayNumber() - d1.dayNumber();  // day boundaries crossed
        } else if (iv == "w") {
            r = (d2.dayNumber() - d1.dayNumber()) / 7;
        } else if (iv == "ww") {
            // Sundays crossed: weeks counted from day 0 (a Saturday) shifted to start on Sunday.
            r = floorDiv(d2.dayNumber() + 6, 7) - floorDiv(d1.dayNumber() + 6, 7);
        } else if (iv == "h") {
            r = floorDiv(d2.seconds(), 3600) - floorDiv(d1.seconds(), 3600);
        } else if (iv == "n") {
            r = floorDiv(d2.seconds(), 60) - floorDiv(d1.seconds(), 60);
        } else if (iv == "s") {
            r = d2.seconds() - d1.seconds();
        } else {
            throw JetError::make(err::kInvalidArgument);
        }
        sqlite3_result_int64(ctx, r);
    });
}

Date addMonths(Date d, int64_t months) {
    int y, m, dd, h, n, s;
    d.parts(y, m, dd, h, n, s);
    int64_t total = static_cast<int64_t>(y) * 12 + (m - 1) + months;
    int ny = static_cast<int>(floorDiv(total, 12));
    int nm = static_cast<int>(total - static_cast<int64_t>(ny) * 12) + 1;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (ny % 4 == 0 && ny % 100 != 0) || ny % 400 == 0;
    int dim = kDays[nm - 1] + (nm == 2 && leap ? 1 : 0);
    return Date::fromParts(ny, nm, dd > dim ? dim : dd, h, n, s);
}

void fnDateadd(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1]) || isNull(a[2])) return sqlite3_result_null(ctx);
    const std::string interval = lowerText(a[0]);
    static const char* const kIntervals[] = {"yyyy", "q", "m", "y", "d", "w", "ww", "h", "n", "s"};
    bool known = false;
    for (const char* k : kIntervals) known = known || interval == k;
    if (!known) return mismatch(ctx);
    // Any failure past a valid interval is a date out of the engine's range.
    try {
        std::string iv = lowerText(a[0]);
        int64_t n = static_cast<int64_t>(std::nearbyint(sqlite3_value_double(a[1])));
        Date d = dateOf(a[2]);
        Date r;
        if (iv == "yyyy") {
            r = addMonths(d, n * 12);
        } else if (iv == "q") {
            r = addMonths(d, n * 3);
        } else if (iv == "m") {
            r = addMonths(d, n);
        } else if (iv == "d" || iv == "y" || iv == "w") {
            r = Date::fromSeconds(d.seconds() + n * Date::kSecondsPerDay);
        } else if (iv == "ww") {
            r = Date::fromSeconds(d.seconds() + n * 7 * Date::kSecondsPerDay);
        } else if (iv == "h") {
            r = Date::fromSeconds(d.seconds() + n * 3600);
        } else if (iv == "n") {
            r = Date::fromSeconds(d.seconds() + n * 60);
        } else if (iv == "s") {
            r = Date::fromSeconds(d.seconds() + n);
        } else {
            throw JetError::make(err::kInvalidArgument);
        }
        if (r.seconds() < Date::fromParts(100, 1, 1).seconds() ||
            r.seconds() > Date::fromParts(9999, 12, 31, 23, 59, 59).seconds())
            return raise(ctx, err::kInvalidProcedureCall);
        sqlite3_result_int64(ctx, r.seconds());
    } catch (const std::exception&) {
        raise(ctx, err::kInvalidProcedureCall);
    }
}

// Sunday is 1; day 0 of the calendar was a Saturday.
int64_t weekday(int64_t dayNumber) {
    return ((dayNumber + 6) % 7 + 7) % 7 + 1;
}

void fnDatepart(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        std::string iv = lowerText(a[0]);
        Date d = dateOf(a[1]);
        int y, m, dd, h, n, s;
        d.parts(y, m, dd, h, n, s);
        int64_t r;
        if (iv == "yyyy")
            r = y;
        else if (iv == "q")
            r = (m - 1) / 3 + 1;
        else if (iv == "m")
            r = m;
        else if (iv == "y")
            r = d.dayNumber() - Date::fromParts(y, 1, 1).dayNumber() + 1;
        else if (iv == "d")
            r = dd;
        else if (iv == "w")
            r = weekday(d.dayNumber());
        else if (iv == "ww") {
            int64_t jan1 = Date::fromParts(y, 1, 1).dayNumber();
            r = (d.dayNumber() - jan1 + weekday(jan1) - 1) / 7 + 1;
        } else if (iv == "h")
            r = h;
        else if (iv == "n")
            r = n;
        else if (iv == "s")
            r = s;
        else
            throw JetError::make(err::kInvalidArgument);
        sqlite3_result_int64(ctx, r);
    });
}

void fnDateserial(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1]) || isNull(a[2])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        int64_t y = sqlite3_value_int64(a[0]);
        if (y >= 0 && y < 30)
            y += 2000;
        else if (y >= 30 && y < 100)
            y += 1900;
        // Months and days beyond their range roll over, as the runtime's DateSerial does.
        Date base =
            addMonths(Date::fromParts(static_cast<int>(y), 1, 1), sqlite3_value_int64(a[1]) - 1);
        sqlite3_result_int64(
            ctx, base.seconds() + (sqlite3_value_int64(a[2]) - 1) * Date::kSecondsPerDay);
    });
}

// ---- text --------------------------------------------------------------------------------
void fnRight(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    std::string s = textOf(a[0]);
    int64_t n = sqlite3_value_int64(a[1]);
    if (n < 0) return raise(ctx, err::kInvalidProcedureCall);
    // Count code points from the end.
    size_t pos = s.size();
    while (n > 0 && pos > 0) {
        --pos;
        while (pos > 0 && (static_cast<unsigned char>(s[pos]) & 0xC0) == 0x80) --pos;
        --n;
    }
    resultText(ctx, s.substr(pos));
}

// InStr(start, text, sought[, compare]): without regard to case unless compare is 0; positions
// count characters.
void fnInstr(sqlite3_context* ctx, int n, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1]) || isNull(a[2])) return sqlite3_result_null(ctx);
    int64_t start = sqlite3_value_int64(a[0]);
    const bool text = n < 4 || isNull(a[3]) || sqlite3_value_int64(a[3]) != 0;
    const std::u32string s = text ? FoldedCodePoints(textOf(a[1])) : CodePoints(textOf(a[1]));
    const std::u32string t = text ? FoldedCodePoints(textOf(a[2])) : CodePoints(textOf(a[2]));
    if (start < 1) start = 1;
    size_t p = static_cast<size_t>(start - 1) > s.size()
                   ? std::u32string::npos
                   : s.find(t, static_cast<size_t>(start - 1));
    sqlite3_result_int64(ctx, p == std::u32string::npos ? 0 : static_cast<int64_t>(p) + 1);
}

void fnSpace(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    int64_t n = sqlite3_value_int64(a[0]);
    resultText(ctx, std::string(static_cast<size_t>(n < 0 ? 0 : n), ' '));
}

void fnRound(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    double x = sqlite3_value_double(a[0]);
    double f = std::pow(10.0, static_cast<double>(sqlite3_value_int64(a[1])));
    sqlite3_result_double(ctx, std::nearbyint(x * f) / f);  // half to even, as the runtime rounds
}

// The runtime's Val: the longest number at the start of the text, blanks, tabs and line feeds
// anywhere ignored, 0 when there is none. A point is the decimal separator, whatever the
// locale; D as well as E starts an exponent.
void fnVal(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    std::string s;
    for (char c : textOf(a[0]))
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') s.push_back(c);
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'h' || s[1] == 'H' || s[1] == 'o' || s[1] == 'O')) {
        // &H1A and &O17: whole numbers in hexadecimal and octal, read as far as they go; up to
        // four hexadecimal or six octal digits make a 16-bit Integer, more a 32-bit Long.
        const bool hex = s[1] == 'h' || s[1] == 'H';
        uint64_t v = 0;
        size_t i = 2;
        for (; i < s.size(); ++i) {
            int d = std::isdigit(static_cast<unsigned char>(s[i])) ? s[i] - '0'
                    : hex && std::isxdigit(static_cast<unsigned char>(s[i]))
                        ? std::tolower(static_cast<unsigned char>(s[i])) - 'a' + 10
                        : -1;
            if (d < 0 || (!hex && d > 7)) break;
            v = (v * (hex ? 16 : 8) + static_cast<uint64_t>(d)) & 0xFFFFFFFF;
        }
        const bool small = i - 2 <= (hex ? 4u : 6u) && v <= 0xFFFF;
        int64_t r = small ? static_cast<int16_t>(v) : static_cast<int32_t>(v);
        return sqlite3_result_double(ctx, static_cast<double>(r));
    }
    auto digitAt = [&](size_t i) { return i < s.size() && s[i] >= '0' && s[i] <= '9'; };
    size_t end = 0;
    if (end < s.size() && (s[end] == '+' || s[end] == '-')) ++end;
    bool digits = false;
    for (; digitAt(end); ++end) digits = true;
    if (end < s.size() && s[end] == '.')
        for (++end; digitAt(end); ++end) digits = true;
    if (!digits) return sqlite3_result_double(ctx, 0.0);
    if (end < s.size() && (s[end] == 'e' || s[end] == 'E' || s[end] == 'd' || s[end] == 'D')) {
        size_t e = end + 1;
        if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
        if (digitAt(e)) {
            s[end] = 'e';
            for (end = e; digitAt(end); ++end) {
            }
        }
    }
    guarded(ctx, [&] {
        double d = 0;
        ParseNumber(std::string_view(s).substr(0, end), d);
        sqlite3_result_double(ctx, d);
    });
}

// DateValue: the date's day, its time of day dropped (toward earlier days, also before day 0).
void fnDayOf(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx,
            [&] { sqlite3_result_int64(ctx, dateOf(a[0]).dayNumber() * Date::kSecondsPerDay); });
}

// Asc: the first character's code; empty text has none.
void fnAsc(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    std::string t = textOf(a[0]);
    if (t.empty()) return raise(ctx, err::kInvalidProcedureCall);
    unsigned char c = static_cast<unsigned char>(t[0]);
    size_t len = utf8Len(c);
    int32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t i = 1; i < len && i < t.size(); ++i) cp = (cp << 6) | (t[i] & 0x3F);
    sqlite3_result_int(ctx, cp);
}

// kv_raise(N): fails the statement with the engine's error N.
void fnRaise(sqlite3_context* ctx, int, sqlite3_value** a) {
    raise(ctx, static_cast<int>(sqlite3_value_int64(a[0])));
}

// ---- arithmetic with the engine's run-time errors ---------------------------------------
void fnDiv(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    double d = sqlite3_value_double(a[1]);
    if (d == 0) return raise(ctx, err::kDivisionByZero);
    double r = sqlite3_value_double(a[0]) / d;
    if (!std::isfinite(r)) return raise(ctx, err::kOverflow);
    sqlite3_result_double(ctx, r);
}

// \ and Mod on whole numbers (the operands were rounded already).
template <bool kMod>
void fnIntDiv(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    int64_t x = sqlite3_value_int64(a[0]), y = sqlite3_value_int64(a[1]);
    if (y == 0) return raise(ctx, err::kDivisionByZero);
    if (y == -1) return sqlite3_result_int64(ctx, kMod ? 0 : -x);  // INT64_MIN / -1 traps
    sqlite3_result_int64(ctx, kMod ? x % y : x / y);
}

void fnPow(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    double r = std::pow(sqlite3_value_double(a[0]), sqlite3_value_double(a[1]));
    if (std::isnan(r)) return raise(ctx, err::kInvalidProcedureCall);
    if (std::isinf(r)) return raise(ctx, err::kOverflow);
    sqlite3_result_double(ctx, r);
}

// A whole number that must lie in [lo, hi] (CInt, CLng, CByte): Overflow outside.
void fnRange(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    int64_t x = sqlite3_value_int64(a[0]);
    if (sqlite3_value_type(a[0]) == SQLITE_FLOAT) {
        double d = sqlite3_value_double(a[0]);
        if (!(d >= -9.2e18 && d <= 9.2e18)) return raise(ctx, err::kOverflow);
    }
    if (x < sqlite3_value_int64(a[1]) || x > sqlite3_value_int64(a[2]))
        return raise(ctx, err::kOverflow);
    sqlite3_result_int64(ctx, x);
}

// Money past CURRENCY's range: SQLite turns an integer sum or product that does not fit into
// a floating-point number, which is never a valid amount.
void fnCurCheck(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (sqlite3_value_type(a[0]) == SQLITE_FLOAT) return raise(ctx, err::kOverflow);
    sqlite3_result_value(ctx, a[0]);
}

// A date moved past 31 December 9999 or before 1 January 100 is an Overflow.
void fnDateCheck(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    static const int64_t lo = Date::fromParts(100, 1, 1).seconds();
    static const int64_t hi = Date::fromParts(9999, 12, 31, 23, 59, 59).seconds();
    int64_t s = sqlite3_value_int64(a[0]);
    if (sqlite3_value_type(a[0]) == SQLITE_FLOAT || s < lo || s > hi)
        return raise(ctx, err::kOverflow);
    sqlite3_result_int64(ctx, s);
}

// ---- text -------------------------------------------------------------------------------
// The byte offset of code point `n` (0-based) of `s`, or s.size() past the end.
size_t codePointOffset(const std::string& s, int64_t n) {
    size_t i = 0;
    while (n > 0 && i < s.size()) {
        i += utf8Len(static_cast<unsigned char>(s[i]));
        --n;
    }
    return std::min(i, s.size());
}

// Mid(text, start[, length]) and Left(text, length) by code points; a start before the first
// character or a negative length is an invalid procedure call.
void fnMid(sqlite3_context* ctx, int n, sqlite3_value** a) {
    for (int i = 0; i < n; ++i)
        if (isNull(a[i])) return sqlite3_result_null(ctx);
    int64_t start = sqlite3_value_int64(a[1]);
    int64_t len = n > 2 ? sqlite3_value_int64(a[2]) : INT64_MAX;
    if (start < 1 || len < 0) return raise(ctx, err::kInvalidProcedureCall);
    std::string s = textOf(a[0]);
    size_t from = codePointOffset(s, start - 1);
    size_t to = len == INT64_MAX ? s.size() : from + codePointOffset(s.substr(from), len);
    resultText(ctx, s.substr(from, to - from));
}

void fnLeft(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    int64_t len = sqlite3_value_int64(a[1]);
    if (len < 0) return raise(ctx, err::kInvalidProcedureCall);
    std::string s = textOf(a[0]);
    resultText(ctx, s.substr(0, codePointOffset(s, len)));
}

// Any value as the engine writes it as text: whole Doubles without a decimal point.
void fnText(sqlite3_context* ctx, int, sqlite3_value** a) {
    switch (sqlite3_value_type(a[0])) {
        case SQLITE_NULL:
            return sqlite3_result_null(ctx);
        case SQLITE_FLOAT:
            return resultText(ctx, Value(sqlite3_value_double(a[0])).toString());
        default:
            return resultText(ctx, textOf(a[0]));
    }
}

// Str: a number as text with a leading space where a minus sign would stand.
void fnStr(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        double d = sqlite3_value_type(a[0]) == SQLITE_TEXT ? Value(textOf(a[0])).toDouble()
                                                           : sqlite3_value_double(a[0]);
        std::string t = Value(d).toString();
        if (t.rfind("0.", 0) == 0) t.erase(0, 1);
        if (t.rfind("-0.", 0) == 0) t.erase(1, 1);
        resultText(ctx, d < 0 ? t : " " + t);
    });
}

// Hex: the whole number in hexadecimal; a negative Long as its 32 bits.
void fnHex(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    guarded(ctx, [&] {
        int64_t n = wholeIn(sqlite3_value_double(a[0]), -2147483648.0, 4294967295.0);
        char buf[24];
        std::snprintf(buf, sizeof buf, "%llX",
                      static_cast<unsigned long long>(n < 0 ? n & 0xFFFFFFFF : n));
        resultText(ctx, buf);
    });
}

// StrComp(a, b, compare): -1, 0 or 1; compare 0 compares bytes, 1 compares as text does.
void fnStrComp(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0]) || isNull(a[1])) return sqlite3_result_null(ctx);
    std::string x = textOf(a[0]), y = textOf(a[1]);
    int c = sqlite3_value_int64(a[2]) != 0 ? CompareText(x, y) : x.compare(y);
    sqlite3_result_int(ctx, c < 0 ? -1 : c > 0 ? 1 : 0);
}

void fnUCase(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    resultText(ctx, UpperText(textOf(a[0])));
}

void fnLCase(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    resultText(ctx, LowerText(textOf(a[0])));
}

// ---- Format -----------------------------------------------------------------------------
// The sections of a format, split at ; outside quotes.
std::vector<std::string> formatSections(const std::string& f) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (char c : f) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) {
            out.emplace_back();
            continue;
        }
        out.back().push_back(c);
    }
    return out;
}

// A number in a format of 0 and # placeholders, a point, thousands commas, % and literals.
std::string formatNumber(double x, const std::string& format) {
    auto sections = formatSections(format);
    std::string f = sections[0];
    bool minus = x < 0;
    if (x < 0 && sections.size() > 1 && !sections[1].empty()) {
        f = sections[1];
        minus = false;
    } else if (x == 0 && sections.size() > 2 && !sections[2].empty()) {
        f = sections[2];
    }
    x = std::fabs(x);
    if (f.find('%') != std::string::npos) x *= 100;
    size_t point = f.find('.');
    std::string intPart = f.substr(0, point),
                fracPart = point == std::string::npos ? "" : f.substr(point + 1);
    int minInt = 0, fracRequired = 0, fracAll = 0;
    bool grouping = false, seenDigit = false;
    for (char c : intPart) {
        if (c == '0') ++minInt;
        if (c == '0' || c == '#') seenDigit = true;
        if (c == ',' && seenDigit) grouping = true;
    }
    for (char c : fracPart) {
        if (c == '0') ++fracRequired, ++fracAll;
        if (c == '#') ++fracAll;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", fracAll, x);
    std::string digits(buf), frac;
    if (auto dot = digits.find('.'); dot != std::string::npos) {
        frac = digits.substr(dot + 1);
        digits.resize(dot);
    }
    while (static_cast<int>(frac.size()) > fracRequired && !frac.empty() && frac.back() == '0')
        frac.pop_back();
    if (digits == "0" && minInt == 0) digits.clear();
    while (static_cast<int>(digits.size()) < minInt) digits.insert(0, "0");
    if (grouping)
        for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
            digits.insert(static_cast<size_t>(i), ",");
    // Literal text before the first placeholder and after the last one stays where it is.
    auto isPlaceholder = [](char c) { return c == '0' || c == '#' || c == '.' || c == ','; };
    size_t first = f.find_first_of("0#.");
    size_t last = f.find_last_of("0#.");
    auto literal = [&](const std::string& s) {
        std::string out;
        bool quoted = false;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '"') {
                quoted = !quoted;
            } else if (s[i] == '\\' && i + 1 < s.size()) {
                out.push_back(s[++i]);
            } else if (quoted || !isPlaceholder(s[i])) {
                out.push_back(s[i]);
            }
        }
        return out;
    };
    std::string prefix = first == std::string::npos ? f : f.substr(0, first);
    std::string suffix = last == std::string::npos ? "" : f.substr(last + 1);
    std::string number = digits;
    if (!frac.empty()) number += "." + frac;
    return (minus ? "-" : "") + literal(prefix) + number + literal(suffix);
}

// A date in a format of yyyy yy q mmmm mmm mm m dddd ddd dd d hh h nn n ss s and AM/PM.
std::string formatDate(Date d, const std::string& f) {
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    int y, mo, da, h, mi, s;
    d.parts(y, mo, da, h, mi, s);
    int weekday = static_cast<int>(((d.dayNumber() % 7) + 7 + 6) % 7);  // day 0 was a Saturday
    const bool twelve =
        f.find("AM/PM") != std::string::npos || f.find("am/pm") != std::string::npos;
    std::string out;
    bool afterHour = false;
    auto two = [](int v) {
        char b[8];
        std::snprintf(b, sizeof b, "%02d", v);
        return std::string(b);
    };
    for (size_t i = 0; i < f.size();) {
        auto run = [&](char c) {
            size_t n = 0;
            while (i + n < f.size() && std::tolower(static_cast<unsigned char>(f[i + n])) == c) ++n;
            return n;
        };
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(f[i])));
        if (f.compare(i, 5, "AM/PM") == 0 || f.compare(i, 5, "am/pm") == 0) {
            bool am = h < 12;
            out += f[i] == 'A' ? (am ? "AM" : "PM") : (am ? "am" : "pm");
            i += 5;
            continue;
        }
        size_t n = run(c);
        if (c == 'y' && n >= 3) {
            out += std::to_string(y);
        } else if (c == 'y' && n == 2) {
            out += two(y % 100);
        } else if (c == 'q') {
            out += std::to_string((mo - 1) / 3 + 1);
        } else if (c == 'm' && !afterHour) {
            out += n >= 4   ? kMonths[mo - 1]
                   : n == 3 ? std::string(kMonths[mo - 1]).substr(0, 3)
                   : n == 2 ? two(mo)
                            : std::to_string(mo);
        } else if (c == 'm' || c == 'n') {
            out += n >= 2 ? two(mi) : std::to_string(mi);
        } else if (c == 'd') {
            out += n >= 4   ? kDays[weekday]
                   : n == 3 ? std::string(kDays[weekday]).substr(0, 3)
                   : n == 2 ? two(da)
                            : std::to_string(da);
        } else if (c == 'h') {
            int hh = twelve ? (h % 12 == 0 ? 12 : h % 12) : h;
            out += n >= 2 ? two(hh) : std::to_string(hh);
        } else if (c == 's') {
            out += n >= 2 ? two(s) : std::to_string(s);
        } else if (f[i] == '"') {
            size_t close = f.find('"', i + 1);
            out += f.substr(i + 1, (close == std::string::npos ? f.size() : close) - i - 1);
            i = close == std::string::npos ? f.size() : close + 1;
            continue;
        } else {
            out.push_back(f[i]);
            n = 1;
        }
        afterHour = c == 'h' || (afterHour && (c == ':' || c == ' '));
        i += n;
    }
    return out;
}

// Format(value, format): the value's engine type comes as the third argument, since a date or
// an amount is stored as a number.
void fnFormat(sqlite3_context* ctx, int n, sqlite3_value** a) {
    if (isNull(a[0])) return sqlite3_result_null(ctx);
    const auto type = static_cast<jetsql::JType>(sqlite3_value_int(a[2]));
    std::string f = n > 1 && !isNull(a[1]) ? textOf(a[1]) : "";
    guarded(ctx, [&] {
        Value v = type == jetsql::JType::Date ? Value(Date::fromSeconds(sqlite3_value_int64(a[0])))
                  : type == jetsql::JType::Currency
                      ? Value(Currency::fromRaw(sqlite3_value_int64(a[0])))
                  : sqlite3_value_type(a[0]) == SQLITE_TEXT ? Value(textOf(a[0]))
                  : sqlite3_value_type(a[0]) == SQLITE_INTEGER
                      ? Value(static_cast<double>(sqlite3_value_int64(a[0])))
                      : Value(sqlite3_value_double(a[0]));
        static const std::pair<const char*, const char*> kNamed[] = {
            {"fixed", "0.00"},       {"standard", "#,##0.00"},    {"percent", "0.00%"},
            {"general number", ""},  {"short date", "m/d/yyyy"},  {"long time", "h:nn:ss AM/PM"},
            {"short time", "hh:nn"}, {"medium date", "dd-mmm-yy"}};
        std::string lower = f;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const auto& [name, pattern] : kNamed)
            if (lower == name) f = pattern;
        if (f.empty()) return resultText(ctx, v.toString());
        if (type == jetsql::JType::Date) return resultText(ctx, formatDate(v.toDate(), f));
        if (sqlite3_value_type(a[0]) == SQLITE_TEXT && type != jetsql::JType::Currency) {
            std::string t = v.toString();
            if (f.find('>') != std::string::npos)
                for (char& c : t)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            else if (f.find('<') != std::string::npos)
                for (char& c : t)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return resultText(ctx, t);
        }
        resultText(ctx, formatNumber(v.toDouble(), f));
    });
}

// ---- aggregates -------------------------------------------------------------------------
// First and Last: the value of the first and of the last record the query reads.
template <bool kLast>
void stepFirstLast(sqlite3_context* ctx, int, sqlite3_value** a) {
    auto** kept = static_cast<sqlite3_value**>(sqlite3_aggregate_context(ctx, sizeof(void*)));
    if (!kept) return sqlite3_result_error_nomem(ctx);
    if (*kept && !kLast) return;
    sqlite3_value_free(*kept);
    *kept = sqlite3_value_dup(a[0]);
}
void finalFirstLast(sqlite3_context* ctx) {
    auto** kept = static_cast<sqlite3_value**>(sqlite3_aggregate_context(ctx, 0));
    if (!kept || !*kept) return sqlite3_result_null(ctx);
    sqlite3_result_value(ctx, *kept);
    sqlite3_value_free(*kept);
    *kept = nullptr;
}

// StDev, StDevP, Var and VarP over the non-Null values (Welford's running mean).
struct Spread {
    int64_t n;
    double mean, m2;
};
void stepSpread(sqlite3_context* ctx, int, sqlite3_value** a) {
    if (isNull(a[0])) return;
    auto* s = static_cast<Spread*>(sqlite3_aggregate_context(ctx, sizeof(Spread)));
    if (!s) return sqlite3_result_error_nomem(ctx);
    double x = sqlite3_value_double(a[0]);
    ++s->n;
    double delta = x - s->mean;
    s->mean += delta / static_cast<double>(s->n);
    s->m2 += delta * (x - s->mean);
}
template <bool kPopulation, bool kRoot>
void finalSpread(sqlite3_context* ctx) {
    auto* s = static_cast<Spread*>(sqlite3_aggregate_context(ctx, 0));
    int64_t n = s ? s->n : 0;
    if (n < (kPopulation ? 1 : 2)) return sqlite3_result_null(ctx);
    double v = s->m2 / static_cast<double>(kPopulation ? n : n - 1);
    sqlite3_result_double(ctx, kRoot ? std::sqrt(v) : v);
}

struct Def {
    const char* name;
    int args;
    Fn fn;
    bool deterministic;
};

constexpr Def kFunctions[] = {
    {"kv_date", 0, fnDate, false},
    {"kv_now", 0, fnNow, false},
    {"kv_time", 0, fnTime, false},
    {"kv_cdate", 1, fnCdate, true},
    {"kv_ccur", 1, fnCcur, true},
    {"kv_cdbl", 1, fnCdbl, true},
    {"kv_cround", 1, fnCround, true},
    {"kv_cbool", 1, fnCbool, true},
    {"kv_curtext", 1, fnCurtext, true},
    {"kv_datetext", 1, fnDatetext, true},
    {"kv_concat", 2, fnConcat, true},
    {"kv_curmul", 2, fnCurmul, true},
    {"kv_like", 2, fnLike, true},
    {"kv_datediff", 3, fnDatediff, true},
    {"kv_dateadd", 3, fnDateadd, true},
    {"kv_datepart", 2, fnDatepart, true},
    {"kv_dateserial", 3, fnDateserial, true},
    {"kv_dayof", 1, fnDayOf, true},
    {"kv_div", 2, fnDiv, true},
    {"kv_raise", 1, fnRaise, false},
    {"kv_idiv", 2, fnIntDiv<false>, true},
    {"kv_mod", 2, fnIntDiv<true>, true},
    {"kv_pow", 2, fnPow, true},
    {"kv_range", 3, fnRange, true},
    {"kv_curchk", 1, fnCurCheck, true},
    {"kv_datechk", 1, fnDateCheck, true},
    {"kv_mid", 2, fnMid, true},
    {"kv_mid", 3, fnMid, true},
    {"kv_left", 2, fnLeft, true},
    {"kv_text", 1, fnText, true},
    {"kv_str", 1, fnStr, true},
    {"kv_hex", 1, fnHex, true},
    {"kv_strcomp", 3, fnStrComp, true},
    {"kv_ucase", 1, fnUCase, true},
    {"kv_lcase", 1, fnLCase, true},
    {"kv_format", 3, fnFormat, true},
    {"kv_right", 2, fnRight, true},
    {"kv_instr", 3, fnInstr, true},
    {"kv_instr", 4, fnInstr, true},
    {"kv_asc", 1, fnAsc, true},
    {"kv_space", 1, fnSpace, true},
    {"kv_round", 2, fnRound, true},
    {"kv_val", 1, fnVal, true},
    {"kv_fit", 2, fnFit, true},
};

}  // namespace

struct AggregateDef {
    const char* name;
    Fn step;
    void (*final)(sqlite3_context*);
};

constexpr AggregateDef kAggregates[] = {
    {"kv_first", stepFirstLast<false>, finalFirstLast},
    {"kv_last", stepFirstLast<true>, finalFirstLast},
    {"kv_stdev", stepSpread, finalSpread<false, true>},
    {"kv_stdevp", stepSpread, finalSpread<true, true>},
    {"kv_var", stepSpread, finalSpread<false, false>},
    {"kv_varp", stepSpread, finalSpread<true, false>},
};

void RegisterFunctions(sqlite3* db) {
    for (const auto& d : kFunctions) {
        int flags = SQLITE_UTF8 | SQLITE_INNOCUOUS | (d.deterministic ? SQLITE_DETERMINISTIC : 0);
        sqlite3_create_function_v2(db, d.name, d.args, flags, nullptr, d.fn, nullptr, nullptr,
                                   nullptr);
    }
    for (const auto& d : kAggregates)
        sqlite3_create_function_v2(db, d.name, 1, SQLITE_UTF8 | SQLITE_INNOCUOUS, nullptr, nullptr,
                                   d.step, d.final, nullptr);
}

}  // namespace kelvor::sqlite
