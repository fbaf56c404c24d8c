// Printing recordsets: as an aligned table for people (dates as Jet shows them: "YYYY-MM-DD"
// at midnight, "HH:MM:SS" for a time of day alone), or as JSON Lines for scripts (Null as null,
// Booleans as true/false, dates always as "YYYY-MM-DD HH:MM:SS", money as an exact decimal
// number).
#pragma once

#include <ostream>
#include <string>

#include "kelvor/dao.h"

namespace kelvor::tool {

// Prints every remaining row of `rs`. Returns the number of rows printed.
long PrintTable(Recordset& rs, std::ostream& out);
long PrintJsonLines(Recordset& rs, std::ostream& out);

std::string JsonString(const std::string& s);
std::string JsonValue(const Value& v);

}  // namespace kelvor::tool
