#include "jetsql/types.h"

#include <cctype>

namespace kelvor::jetsql {

namespace {
struct TypeWord {
    const char* word;
    JType type;
    bool counter;
};
constexpr TypeWord kTypeWords[] = {
    {"text", JType::Text, false},         {"char", JType::Text, false},
    {"varchar", JType::Text, false},      {"character", JType::Text, false},
    {"string", JType::Text, false},       {"alphanumeric", JType::Text, false},
    {"nchar", JType::Text, false},        {"nvarchar", JType::Text, false},
    {"memo", JType::Memo, false},         {"longtext", JType::Memo, false},
    {"longchar", JType::Memo, false},     {"note", JType::Memo, false},
    {"ntext", JType::Memo, false},        {"byte", JType::Byte, false},
    {"tinyint", JType::Byte, false},      {"integer1", JType::Byte, false},
    {"short", JType::Integer, false},     {"smallint", JType::Integer, false},
    {"integer2", JType::Integer, false},  {"long", JType::Long, false},
    {"int", JType::Long, false},          {"integer", JType::Long, false},
    {"integer4", JType::Long, false},     {"single", JType::Single, false},
    {"real", JType::Single, false},       {"float4", JType::Single, false},
    {"ieeesingle", JType::Single, false}, {"double", JType::Double, false},
    {"float", JType::Double, false},      {"float8", JType::Double, false},
    {"ieeedouble", JType::Double, false}, {"number", JType::Double, false},
    {"numeric", JType::Double, false},    {"currency", JType::Currency, false},
    {"money", JType::Currency, false},    {"datetime", JType::Date, false},
    {"date", JType::Date, false},         {"time", JType::Date, false},
    {"timestamp", JType::Date, false},    {"yesno", JType::Boolean, false},
    {"bit", JType::Boolean, false},       {"logical", JType::Boolean, false},
    {"logical1", JType::Boolean, false},  {"boolean", JType::Boolean, false},
    {"counter", JType::Long, true},       {"autoincrement", JType::Long, true},
    {"identity", JType::Long, true},      {"value", JType::Variant, false},
};

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}
}  // namespace

bool TypeFromName(std::string_view word, JType& type, bool& counter) {
    for (const auto& tw : kTypeWords) {
        if (equalsIgnoreCase(word, tw.word)) {
            type = tw.type;
            counter = tw.counter;
            return true;
        }
    }
    return false;
}

const char* TypeName(JType t) {
    switch (t) {
        case JType::Boolean:
            return "YESNO";
        case JType::Byte:
            return "BYTE";
        case JType::Integer:
            return "SHORT";
        case JType::Long:
            return "LONG";
        case JType::Currency:
            return "CURRENCY";
        case JType::Single:
            return "SINGLE";
        case JType::Double:
            return "DOUBLE";
        case JType::Date:
            return "DATETIME";
        case JType::Text:
            return "TEXT";
        case JType::Memo:
            return "MEMO";
        case JType::Null:
        case JType::Variant:
            break;
    }
    return "VALUE";
}

}  // namespace kelvor::jetsql
