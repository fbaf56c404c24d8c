// Every piece of SQLite-specific SQL text outside the statement emitter lives here: pragmas,
// attachments, transactions, the layer's own metadata table and the column declarations that
// carry the engine's types. A second storage engine would replace this file, the emitter
// (translate.cpp) and the connection, and nothing above them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "jetsql/types.h"
#include "sqlite/catalog.h"

namespace kelvor::sqlite::dialect {

std::string QuoteIdent(std::string_view name);  // "name" with embedded quotes doubled
std::string QuoteText(std::string_view text);   // 'text' with embedded quotes doubled

// Connection set-up. The journal mode is the rollback journal: see connection.cpp for why.
extern const char* const kConnectionPragmas;
std::string AttachSql(std::string_view path, std::string_view schema);
std::string DetachSql(std::string_view schema);
std::string SchemaPragmas(std::string_view schema);
std::string ProbeSql(std::string_view schema);  // reads the header: fails on a non-database

// Compaction.
std::string VacuumIntoSql(std::string_view destination);
// One row: the pages in use (page count less free pages) and the page size.
extern const char* const kPagesInUse;
extern const char* const kCheckPragmas;
extern const char* const kIntegrityCheck;

extern const char* const kBegin;
extern const char* const kCommit;
extern const char* const kRollback;
std::string SavepointSql(int depth);
std::string ReleaseSql(int depth);
std::string RollbackToSql(int depth);

// The metadata table that holds links and saved queries. Its name follows the engine's custom
// for system tables (MSys...), so it stays out of the way of user tables.
extern const char* const kObjectsTable;
std::string CreateObjectsTableSql(std::string_view schema);
std::string ListTablesSql(std::string_view schema);
std::string TableInfoSql(std::string_view schema, std::string_view table);
std::string ListObjectsSql(std::string_view schema);
std::string InsertObjectSql(
    std::string_view schema);  // ?1 name ?2 type ?3 database ?4 foreign ?5 sql
std::string DeleteObjectSql(std::string_view schema);  // ?1 name
std::string BumpUserVersionSql(std::string_view schema, long version);
std::string UserVersionSql(std::string_view schema);
std::string SchemaVersionSql(std::string_view schema);
inline constexpr int kObjectTypeQuery = 5;
inline constexpr int kObjectTypeLink = 6;
// A table (Name) whose writes are refused while another connection holds a deny-write lock
// on a second table (ForeignName).
inline constexpr int kObjectTypeGuard = 7;

// Recordset writes: one row by its identity (TableInfo::rowid). Columns bind as ?1..?N; the
// identity as ?(N+1).
std::string InsertRowSql(std::string_view schema, std::string_view table,
                         const std::vector<std::string>& columns);
std::string UpdateRowSql(std::string_view schema, const TableInfo& table,
                         const std::vector<std::string>& columns);

// Column declarations: the declared type names the engine's type and gives SQLite the right
// affinity ("CURRENCY INT", "TEXT(50)", "MEMO TEXT", ...). Counter columns are the rowid.
std::string ColumnDeclaration(const ColumnInfo& c);
ColumnInfo ColumnFromDeclaration(std::string_view name, std::string_view declType, bool notNull,
                                 bool isIntegerPrimaryKey);

}  // namespace kelvor::sqlite::dialect
