// Values as the database engine and its callers see them: a variant with Null and the
// engine's own types. Money and dates are integers so that sums and comparisons are exact.
//
// Failures raise kelvor::JetError (see jet_error.h): converting Null to a non-Null type raises
// 94 "Invalid use of Null"; text that does not read as the wanted type raises 13 "Type mismatch";
// a number outside the wanted type's range raises 6 "Overflow".
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kelvor {

// Money: a 64-bit count of ten-thousandths. Rounding happens only where a value is made from a
// floating-point number or from text with more than four decimals (half to even).
class Currency {
  public:
    static constexpr int64_t kScale = 10000;

    constexpr Currency() = default;
    static constexpr Currency fromRaw(int64_t raw) {
        Currency c;
        c.raw_ = raw;
        return c;
    }
    static Currency fromDouble(double d);
    // Exact for decimal text such as "12.34" or "-0.5"; throws 13 on anything else.
    static Currency parse(std::string_view text);

    constexpr int64_t raw() const { return raw_; }
    double toDouble() const { return static_cast<double>(raw_) / kScale; }
    // Shortest exact decimal: "12.5", "-3", "0.0001".
    std::string toString() const;

    constexpr auto operator<=>(const Currency&) const = default;

  private:
    int64_t raw_ = 0;
};

// Date and time to the second, counted from 30 December 1899 00:00:00 (day 0 of the engine's
// calendar). Local time, no zone: the engine stores what it was given.
class Date {
  public:
    static constexpr int64_t kSecondsPerDay = 86400;

    constexpr Date() = default;
    static constexpr Date fromSeconds(int64_t s) {
        Date d;
        d.secs_ = s;
        return d;
    }
    // Throws 13 when the fields do not make a date between the years 100 and 9999.
    static Date fromParts(int year, int month, int day, int hour = 0, int minute = 0,
                          int second = 0);
    // The engine's serial form: whole days since day 0, time as the fraction.
    static Date fromSerial(double days);
    // "YYYY-MM-DD[ HH:MM[:SS]]", or month/day/year with an optional time as the engine's
    // #date# literals write it; two-digit years 30-99 are 19xx and 00-29 are 20xx.
    static Date parse(std::string_view text);
    static Date now();    // local date and time
    static Date today();  // local date at midnight

    constexpr int64_t seconds() const { return secs_; }
    double serial() const { return static_cast<double>(secs_) / kSecondsPerDay; }
    int64_t dayNumber() const;  // floor(seconds / day)
    Date datePart() const { return fromSeconds(dayNumber() * kSecondsPerDay); }
    void parts(int& year, int& month, int& day, int& hour, int& minute, int& second) const;
    // "YYYY-MM-DD HH:MM:SS"
    std::string toString() const;

    constexpr auto operator<=>(const Date&) const = default;

  private:
    int64_t secs_ = 0;
};

// Variant type codes, numbered as the automation runtime numbers them.
enum class VarType : int {
    Null = 1,
    Integer = 2,
    Long = 3,
    Single = 4,
    Double = 5,
    Currency = 6,
    Date = 7,
    String = 8,
    Boolean = 11,
    Byte = 17,
};

class Value {
  public:
    Value() = default;  // Null
    Value(bool b) : v_(b) {}
    Value(uint8_t b) : v_(b) {}
    Value(int16_t i) : v_(i) {}
    Value(int32_t i) : v_(i) {}
    Value(float f) : v_(f) {}
    Value(double d) : v_(d) {}
    Value(Currency c) : v_(c) {}
    Value(Date d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}

    static Value Null() { return Value(); }

    VarType type() const;
    bool isNull() const { return v_.index() == 0; }
    bool isNumeric() const;  // Byte, Integer, Long, Single, Double, Currency, Boolean

    // Conversions as the language runtime does them. Null raises 94.
    bool toBool() const;
    int16_t toInteger() const;
    int32_t toLong() const;
    int64_t toInt64() const;
    double toDouble() const;
    Currency toCurrency() const;
    Date toDate() const;
    std::string toString() const;  // Null raises 94; use text() to read Null as ""

    // Null as empty text, as the programs read text fields.
    std::string text() const { return isNull() ? std::string() : toString(); }

    // Exact comparison of type and value (for tests and containers).
    bool operator==(const Value& o) const { return v_ == o.v_; }

    const auto& raw() const { return v_; }

  private:
    std::variant<std::monostate, bool, uint8_t, int16_t, int32_t, float, double, Currency, Date,
                 std::string>
        v_;
};

// Jet's rule for text made from a number in SQL text: a leading blank for values of 0 or more,
// a minus sign otherwise, a point as decimal separator, no trailing zeros. An infinite or NaN
// value has no such text and raises 6.
std::string NumberToSqlText(double v);

// Reads number text as the engine writes it, whatever the process locale: an optional sign,
// digits with a point as decimal separator, an optional exponent ("12.5", "-3", ".5", "1e3").
// False for any other text, "inf" and "nan" included. A number too large for a double raises
// 6; one too small reads as 0.
bool ParseNumber(std::string_view text, double& out);

}  // namespace kelvor
