// The PostgreSQL emitter: a bound, planned statement as PostgreSQL SQL over the types of
// pg/dialect.h, calling the function library of schema "kelvor" (pg/library.h) where
// PostgreSQL does not give the engine's answer itself. Slots are $1..$N, each cast to the
// type its place needs.
#pragma once

#include <memory>

#include "jetsql/bound.h"
#include "sqlite/translate.h"

namespace kelvor::pg {

std::shared_ptr<sqlite::Translation> Emit(const jetsql::BoundStatement& st);

// The SQL type that holds a value of the engine's type in an expression (not a column).
const char* ValueType(jetsql::JType t);

}  // namespace kelvor::pg
