#include "jetsql/functions.h"

#include <cctype>
#include <string>

namespace kelvor::jetsql {

namespace {

constexpr JType V = JType::Variant, L = JType::Long, D = JType::Double, T = JType::Text,
                Dt = JType::Date;

// clang-format off
constexpr Function kFunctions[] = {
    // name          id               args  argument types  result            rule                aggregate
    {"count",       Fn::Count,       1, 1, {V, V, V},  JType::Long,      ResultRule::Fixed,    true},
    {"sum",         Fn::Sum,         1, 1, {V, V, V},  V,                ResultRule::Sum,      true},
    {"min",         Fn::Min,         1, 1, {V, V, V},  V,                ResultRule::FirstArg, true},
    {"max",         Fn::Max,         1, 1, {V, V, V},  V,                ResultRule::FirstArg, true},
    {"avg",         Fn::Avg,         1, 1, {V, V, V},  V,                ResultRule::Avg,      true},
    {"date",        Fn::Date,        0, 0, {V, V, V},  Dt,               ResultRule::Fixed,    false},
    {"now",         Fn::Now,         0, 0, {V, V, V},  Dt,               ResultRule::Fixed,    false},
    {"time",        Fn::Time,        0, 0, {V, V, V},  Dt,               ResultRule::Fixed,    false},
    {"iif",         Fn::IIf,         3, 3, {V, V, V},  V,                ResultRule::Special,  false},
    {"isnull",      Fn::IsNull,      1, 1, {V, V, V},  JType::Boolean,   ResultRule::Fixed,    false},
    {"nz",          Fn::Nz,          1, 2, {V, V, V},  V,                ResultRule::Special,  false},
    {"datediff",    Fn::DateDiff,    3, 5, {T, Dt, Dt}, L,               ResultRule::Fixed,    false},
    {"dateadd",     Fn::DateAdd,     3, 3, {T, D, Dt}, Dt,               ResultRule::Fixed,    false},
    {"datepart",    Fn::DatePart,    2, 4, {T, Dt, V}, L,                ResultRule::Fixed,    false},
    {"year",        Fn::Year,        1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"month",       Fn::Month,       1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"day",         Fn::Day,         1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"hour",        Fn::Hour,        1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"minute",      Fn::Minute,      1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"second",      Fn::Second,      1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"weekday",     Fn::Weekday,     1, 2, {Dt, V, V}, JType::Integer,   ResultRule::Fixed,    false},
    {"dateserial",  Fn::DateSerial,  3, 3, {L, L, L},  Dt,               ResultRule::Fixed,    false},
    {"datevalue",   Fn::DateValue,   1, 1, {Dt, V, V}, Dt,               ResultRule::Fixed,    false},
    {"cdate",       Fn::CDate,       1, 1, {Dt, V, V}, Dt,               ResultRule::Fixed,    false},
    {"cvdate",      Fn::CDate,       1, 1, {Dt, V, V}, Dt,               ResultRule::Fixed,    false},
    {"chr",         Fn::Chr,         1, 1, {L, V, V},  T,                ResultRule::Fixed,    false},
    {"asc",         Fn::Asc,         1, 1, {T, V, V},  JType::Integer,   ResultRule::Fixed,    false},
    {"len",         Fn::Len,         1, 1, {T, V, V},  L,                ResultRule::Fixed,    false},
    {"left",        Fn::Left,        2, 2, {T, L, V},  T,                ResultRule::Fixed,    false},
    {"right",       Fn::Right,       2, 2, {T, L, V},  T,                ResultRule::Fixed,    false},
    {"mid",         Fn::Mid,         2, 3, {T, L, L},  T,                ResultRule::Fixed,    false},
    {"ucase",       Fn::UCase,       1, 1, {T, V, V},  T,                ResultRule::Fixed,    false},
    {"lcase",       Fn::LCase,       1, 1, {T, V, V},  T,                ResultRule::Fixed,    false},
    {"trim",        Fn::Trim,        1, 1, {T, V, V},  T,                ResultRule::Fixed,    false},
    {"ltrim",       Fn::LTrim,       1, 1, {T, V, V},  T,                ResultRule::Fixed,    false},
    {"rtrim",       Fn::RTrim,       1, 1, {T, V, V},  T,                ResultRule::Fixed,    false},
    {"instr",       Fn::InStr,       2, 2, {T, T, V},  L,                ResultRule::Fixed,    false},
    {"instr",       Fn::InStrFrom,   3, 4, {L, T, T},  L,                ResultRule::Fixed,    false},
    {"strcomp",     Fn::StrComp,     2, 3, {T, T, L},  JType::Integer,   ResultRule::Fixed,    false},
    {"format",      Fn::Format,      1, 2, {V, T, V},  T,                ResultRule::Fixed,    false},
    {"str",         Fn::Str,         1, 1, {V, V, V},  T,                ResultRule::Fixed,    false},
    {"hex",         Fn::Hex,         1, 1, {V, V, V},  T,                ResultRule::Fixed,    false},
    {"switch",      Fn::Switch,      2, kMany, {V, V, V}, V,             ResultRule::Special,  false},
    {"choose",      Fn::Choose,      2, kMany, {L, V, V}, V,             ResultRule::Special,  false},
    {"first",       Fn::First,       1, 1, {V, V, V},  V,                ResultRule::FirstArg, true},
    {"last",        Fn::Last,        1, 1, {V, V, V},  V,                ResultRule::FirstArg, true},
    {"stdev",       Fn::StDev,       1, 1, {D, V, V},  D,                ResultRule::Fixed,    true},
    {"stdevp",      Fn::StDevP,      1, 1, {D, V, V},  D,                ResultRule::Fixed,    true},
    {"var",         Fn::Var,         1, 1, {D, V, V},  D,                ResultRule::Fixed,    true},
    {"varp",        Fn::VarP,        1, 1, {D, V, V},  D,                ResultRule::Fixed,    true},
    {"space",       Fn::Space,       1, 1, {L, V, V},  T,                ResultRule::Fixed,    false},
    {"abs",         Fn::Abs,         1, 1, {V, V, V},  V,                ResultRule::FirstArg, false},
    {"sgn",         Fn::Sgn,         1, 1, {V, V, V},  JType::Integer,   ResultRule::Fixed,    false},
    {"int",         Fn::Int,         1, 1, {V, V, V},  V,                ResultRule::Special,  false},
    {"fix",         Fn::Fix,         1, 1, {V, V, V},  V,                ResultRule::Special,  false},
    {"round",       Fn::Round,       1, 2, {D, L, V},  D,                ResultRule::Fixed,    false},
    {"sqr",         Fn::Sqr,         1, 1, {D, V, V},  D,                ResultRule::Fixed,    false},
    {"val",         Fn::Val,         1, 1, {T, V, V},  D,                ResultRule::Fixed,    false},
    {"cstr",        Fn::CStr,        1, 1, {T, V, V},  T,                ResultRule::Fixed,    false},
    {"clng",        Fn::CLng,        1, 1, {L, V, V},  L,                ResultRule::Fixed,    false},
    {"cint",        Fn::CInt,        1, 1, {L, V, V},  JType::Integer,   ResultRule::Fixed,    false},
    {"cbyte",       Fn::CByte,       1, 1, {L, V, V},  JType::Integer,   ResultRule::Fixed,    false},
    {"cdbl",        Fn::CDbl,        1, 1, {D, V, V},  D,                ResultRule::Fixed,    false},
    {"csng",        Fn::CSng,        1, 1, {D, V, V},  D,                ResultRule::Fixed,    false},
    {"ccur",        Fn::CCur,        1, 1, {JType::Currency, V, V}, JType::Currency, ResultRule::Fixed, false},
    {"cbool",       Fn::CBool,       1, 1, {JType::Boolean, V, V}, JType::Boolean, ResultRule::Fixed, false},
};
// clang-format on

}  // namespace

const Function* FindFunction(std::string_view name, size_t argCount, bool& known) {
    std::string n(name);
    for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!n.empty() && n.back() == '$') n.pop_back();
    known = false;
    for (const Function& f : kFunctions) {
        if (f.name != n) continue;
        known = true;
        if (argCount >= f.minArgs && argCount <= f.maxArgs) return &f;
    }
    return nullptr;
}

}  // namespace kelvor::jetsql
