// The engine's SQL functions (kv_*), registered on every connection. See functions.cpp.
#pragma once

#include <sqlite3.h>

namespace kelvor::sqlite {

void RegisterFunctions(sqlite3* db);

// A function's error text for the engine's run-time error N is this prefix and N.
inline constexpr const char* kRuntimeErrorPrefix = "kelvor runtime error ";

}  // namespace kelvor::sqlite
