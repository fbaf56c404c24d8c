// The functions a statement may call, as one table: name, number of arguments, the type each
// argument is converted to, the result's type, and whether it aggregates. The binder checks
// and types calls from it; each storage engine's emitter says how it computes each one.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "jetsql/types.h"

namespace kelvor::jetsql {

enum class Fn : uint8_t {
    Count,
    Sum,
    Min,
    Max,
    Avg,
    Date,
    Now,
    Time,
    IIf,
    IsNull,
    Nz,
    DateDiff,
    DateAdd,
    DatePart,
    Year,
    Month,
    Day,
    Hour,
    Minute,
    Second,
    Weekday,
    DateSerial,
    DateValue,
    CDate,
    Chr,
    Asc,
    Len,
    Left,
    Right,
    Mid,
    UCase,
    LCase,
    Trim,
    LTrim,
    RTrim,
    InStr,
    InStrFrom,
    Space,
    Abs,
    Sgn,
    Int,
    Fix,
    Round,
    Sqr,
    Val,
    CStr,
    CLng,
    CInt,
    CByte,
    CDbl,
    CSng,
    CCur,
    CBool,
    Switch,
    Choose,
    Str,
    Hex,
    StrComp,
    First,
    Last,
    StDev,
    StDevP,
    Var,
    VarP,
    Format,
};

// How a call's result type follows from its arguments.
enum class ResultRule : uint8_t {
    Fixed,     // `result`
    FirstArg,  // the first argument's type
    Sum,       // small integers sum as Long, text as Double, anything else as itself
    Avg,       // Currency stays Currency, anything else averages as Double
    Special,   // the binder types it (IIf, Nz, Int, Fix)
};

inline constexpr uint8_t kMany = 255;

struct Function {
    std::string_view name;  // lower case; a trailing $ is dropped before lookup
    Fn id;
    uint8_t minArgs, maxArgs;  // kMany: no limit
    // The type each argument is converted to; Variant takes it as it is.
    std::array<JType, 3> args;
    JType result;
    ResultRule rule;
    bool aggregate;
};

// The function of that name taking that many arguments; null when there is none of the name
// (`known` false) or none with that many arguments (`known` true).
const Function* FindFunction(std::string_view name, size_t argCount, bool& known);

}  // namespace kelvor::jetsql
