#include "pg/values.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "kelvor/jet_error.h"

namespace kelvor::pg {

using jetsql::Conv;
using jetsql::JType;
using jetsql::Tok;
using sqlite::Slot;

namespace {

// A literal as a Value of its own kind; numbers are read without the C library, whose reading
// follows the process locale.
Value literalValue(const jetsql::Literal& lit) {
    switch (lit.kind) {
        case Tok::Integer: {
            int64_t v = 0;
            std::from_chars(lit.text.data(), lit.text.data() + lit.text.size(), v);
            return Value(static_cast<double>(v));
        }
        case Tok::Float: {
            double d = 0;
            if (!ParseNumber(lit.text, d)) throw JetError::make(err::kTypeMismatch);
            return Value(d);
        }
        case Tok::DateLit:
            return Value(Date::parse(lit.text));
        default:
            return Value(lit.text);
    }
}

std::string number(double d) {
    if (!std::isfinite(d)) throw JetError::make(err::kOverflow);
    return NumberToSqlText(d);
}

std::string textOf(const Value& v, Conv conv) {
    switch (conv) {
        case Conv::Currency:
            return v.toCurrency().toString();
        case Conv::Date:
            return v.toDate().toString();
        case Conv::Double:
            return number(v.toDouble());
        case Conv::Long:
            return std::to_string(v.toInt64());
        case Conv::Boolean:
            return v.toBool() ? "-1" : "0";
        case Conv::Text:
            return v.toString();
        case Conv::None:
            break;
    }
    switch (v.type()) {
        case VarType::Boolean:
            return v.toBool() ? "-1" : "0";
        case VarType::Byte:
        case VarType::Integer:
        case VarType::Long:
            return std::to_string(v.toInt64());
        case VarType::Date:
            return v.toDate().toString();
        case VarType::Currency:
            return v.toCurrency().toString();
        case VarType::String:
            return v.toString();
        default: {
            // A whole number written as a literal stays whole: it may stand where an integer
            // is read.
            double d = v.toDouble();
            if (std::trunc(d) == d && std::fabs(d) < 9e15)
                return std::to_string(static_cast<int64_t>(d));
            return number(d);
        }
    }
}

}  // namespace

std::vector<std::optional<std::string>> SlotTexts(
    const sqlite::Translation& tr, const std::vector<jetsql::Literal>& literals,
    const std::map<std::string, Value, sqlite::NoCaseLess>* params) {
    std::vector<std::optional<std::string>> out;
    int missing = 0;
    for (const Slot& slot : tr.slots) {
        const jetsql::Literal* lit = slot.kind == Slot::Kind::Literal
                                         ? &literals[static_cast<size_t>(slot.literal)]
                                     : slot.kind == Slot::Kind::Constant ? &slot.constant
                                                                         : nullptr;
        try {
            if (lit) {
                out.emplace_back(textOf(literalValue(*lit), slot.conv));
                continue;
            }
            auto it = params ? params->find(slot.param) : decltype(params->end())();
            if (!params || it == params->end()) {
                ++missing;
                out.emplace_back();
                continue;
            }
            if (it->second.isNull())
                out.emplace_back();
            else
                out.emplace_back(textOf(it->second, slot.conv));
        } catch (const JetError& e) {
            throw sqlite::SlotError(e, lit, tr.kind);
        }
    }
    if (missing) throw JetError::make(err::kTooFewParameters, std::to_string(missing));
    return out;
}

std::optional<std::string> ColumnText(const Value& v, const sqlite::ColumnInfo& col) {
    if (v.isNull()) {
        if (col.notNull && !col.counter) throw JetError::make(err::kFieldRequired, col.name);
        return std::nullopt;
    }
    try {
        switch (col.type) {
            case JType::Boolean:
                return v.toBool() ? "true" : "false";
            case JType::Byte: {
                int64_t x = v.toInt64();
                if (x < 0 || x > 255) throw JetError::make(err::kOverflow);
                return std::to_string(x);
            }
            case JType::Integer:
                return std::to_string(v.toInteger());
            case JType::Long:
                return std::to_string(v.toLong());
            case JType::Single:
            case JType::Double: {
                double d = v.toDouble();
                if (!(std::fabs(d) <=
                      (col.type == JType::Single ? 3.4028234663852886e38 : 1.7976931348623157e308)))
                    throw JetError::make(err::kOverflow);
                return number(d);
            }
            case JType::Currency:
                return v.toCurrency().toString();
            case JType::Date:
                return v.toDate().toString();
            case JType::Text: {
                std::string s = v.toString();
                if (!sqlite::TextFits(col, s)) throw JetError::make(err::kFieldTooSmall);
                return s;
            }
            case JType::Memo:
                return v.toString();
            default:
                return textOf(v, Conv::None);
        }
    } catch (const JetError& e) {
        if (e.number() == err::kTypeMismatch) throw JetError::make(err::kDataTypeConversion);
        // Out of the column's range: refused, never stored wrapped.
        if (e.number() == err::kOverflow && jetsql::IsNumeric(col.type))
            throw JetError::make(err::kNumericFieldOverflow);
        throw;
    }
}

std::optional<Value> StoredValue(const std::optional<std::string>& text,
                                 const sqlite::ColumnInfo& col) {
    if (!text) return Value();
    switch (col.type) {
        case JType::Boolean:
        case JType::Byte:
        case JType::Integer:
        case JType::Long:
        case JType::Currency:
        case JType::Date:
        case JType::Text:
        case JType::Memo:
            return ReadValue(text->c_str(), col.type);
        default:
            return std::nullopt;
    }
}

Value ReadValue(const char* text, JType type) {
    if (!text) return Value();
    std::string_view t(text);
    int64_t n = 0;
    auto whole = [&] {
        auto r = std::from_chars(t.data(), t.data() + t.size(), n);
        return r.ec == std::errc() && r.ptr == t.data() + t.size();
    };
    double d = 0;
    switch (type) {
        case JType::Boolean:
            return Value(t == "t" || t == "true" || (t != "f" && t != "false" && t != "0"));
        case JType::Byte:
            if (whole() && n >= 0 && n <= UINT8_MAX) return Value(static_cast<uint8_t>(n));
            break;
        case JType::Integer:
            if (whole() && n >= INT16_MIN && n <= INT16_MAX) return Value(static_cast<int16_t>(n));
            break;
        case JType::Long:
            if (whole() && n >= INT32_MIN && n <= INT32_MAX) return Value(static_cast<int32_t>(n));
            break;
        case JType::Single:
            if (ParseNumber(t, d) && std::fabs(d) <= 3.4028234663852886e38)
                return Value(static_cast<float>(d));
            break;
        case JType::Currency:
            return Value(Currency::parse(t));
        case JType::Date:
            return Value(Date::parse(t));
        case JType::Text:
        case JType::Memo:
        case JType::Variant:
        case JType::Null:
            return Value(std::string(t));
        default:
            break;
    }
    if (ParseNumber(t, d)) return Value(d);
    if (t == "Infinity") return Value(HUGE_VAL);
    if (t == "-Infinity") return Value(-HUGE_VAL);
    return Value(std::string(t));
}

}  // namespace kelvor::pg
