// The engine's column and expression types.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvor::jetsql {

// Values match the DAO field-type constants (dbBoolean = 1 ... dbMemo = 12).
enum class JType : uint8_t {
    Variant = 0,  // unknown until run time (an undeclared parameter, a foreign column)
    Boolean = 1,
    Byte = 2,
    Integer = 3,
    Long = 4,
    Currency = 5,
    Single = 6,
    Double = 7,
    Date = 8,
    Text = 10,
    Memo = 12,
    Null = 255,  // the Null literal
};

inline bool IsText(JType t) {
    return t == JType::Text || t == JType::Memo;
}
inline bool IsIntegral(JType t) {
    return t == JType::Boolean || t == JType::Byte || t == JType::Integer || t == JType::Long;
}
inline bool IsFloating(JType t) {
    return t == JType::Single || t == JType::Double;
}
inline bool IsNumeric(JType t) {
    return IsIntegral(t) || IsFloating(t) || t == JType::Currency;
}

// The type named in DDL or a PARAMETERS declaration ("TEXT", "CURRENCY", "YESNO", "SHORT"...),
// or false when the word names no type.
bool TypeFromName(std::string_view word, JType& type, bool& counter);
const char* TypeName(JType t);

}  // namespace kelvor::jetsql
