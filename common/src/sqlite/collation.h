// Text as Jet compares it, for every letter and not only ASCII ones.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvor::sqlite {

// Without regard to case, for all letters; accents count, but only after the letters themselves:
// "é" equals "É" and not "e", "ä" sorts before "B", and "E" before "é" before "f". Punctuation
// sorts before digits, digits before letters. This is ICU's root collation at secondary
// strength. Returns <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);

// Each character by its simple case folding: one code point for one, so that positions keep.
std::u32string FoldedCodePoints(std::string_view s);
std::u32string CodePoints(std::string_view s);
std::string UpperText(std::string_view s);
std::string LowerText(std::string_view s);

// Puts CompareText in place of SQLite's NOCASE on a connection: every column declared NOCASE,
// every COLLATE NOCASE the translator writes, GROUP BY, DISTINCT and indexes then use it.
void RegisterCollation(sqlite3* db);

// The file header's application id, once a file's NOCASE indexes are in CompareText's order.
constexpr int32_t kTextOrderMark = 0x4B565431;  // "KVT1"

bool HasTextOrder(sqlite3* db, const std::string& schema);

// A file written before text was ordered this way keeps its NOCASE indexes in SQLite's own order,
// which differs once letters beyond ASCII are stored. Rebuilds them once and marks the file. When
// that cannot be done now (a read-only file, a busy one, or two values of a unique index that
// now count as equal) the file stays exactly as it was.
void AdoptTextOrder(sqlite3* db, const std::string& schema);

}  // namespace kelvor::sqlite
