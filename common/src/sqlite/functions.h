// The engine's SQL functions (kv_*), registered on every connection. See functions.cpp.
#pragma once

#include <sqlite3.h>

namespace kelvor::sqlite {

void RegisterFunctions(sqlite3* db);

}  // namespace kelvor::sqlite
