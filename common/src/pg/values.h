// Values across libpq, as text: a translation's slots bound from the statement's literals and
// the named parameters, and a result's field read back as the layer's Value of its column's
// engine type.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "jetsql/lexer.h"
#include "kelvor/value.h"
#include "sqlite/translate.h"

namespace kelvor::pg {

// The text of each slot ($1..$N), nullopt for Null. Throws JetError as the SQLite side does
// (3061 for missing parameters, 3075 for a date literal that is no date, 3464 for a value that
// cannot take the type its place needs).
std::vector<std::optional<std::string>> SlotTexts(
    const sqlite::Translation& tr, const std::vector<jetsql::Literal>& literals,
    const std::map<std::string, Value, sqlite::NoCaseLess>* params);

// A value as text for a column of the given type (pg::dialect::StoredType), nullopt for Null;
// checked as on the SQLite side: 3315 for Null in a required column, 3163 for a text too long,
// 3349 for a number out of the column's range, 3421 for a value of no such type.
std::optional<std::string> ColumnText(const Value& v, const sqlite::ColumnInfo& col);

// What a read of the column gives back for a value stored as `text`, where the server keeps the
// text as it is (integers, Booleans, currency, dates to the second, text); nothing for floating
// point, whose text the server reads in its own way.
std::optional<Value> StoredValue(const std::optional<std::string>& text,
                                 const sqlite::ColumnInfo& col);

// A field's text as a Value of `type`; a value that does not fit the type is read in a wider
// one, never cut (as the SQLite side reads values another tool stored).
Value ReadValue(const char* text, jetsql::JType type);

}  // namespace kelvor::pg
