// The SQLite emitter: the only place that prints a bound statement as SQL text.
#pragma once

#include <memory>

#include "jetsql/bound.h"
#include "sqlite/translate.h"

namespace kelvor::sqlite {

std::shared_ptr<Translation> Emit(const jetsql::BoundStatement& st);

}  // namespace kelvor::sqlite
