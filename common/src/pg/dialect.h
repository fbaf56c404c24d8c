// PostgreSQL's SQL text outside the statement emitter: how the engine's types are declared,
// DDL, and the metadata table. One database of the layer is one schema; its tables are the
// schema's tables, and its links and saved queries are rows of the schema's table
// "MSysObjects", with the same columns as on SQLite.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite/catalog.h"
#include "sqlite/translate.h"

namespace kelvor::pg::dialect {

// Identifiers are quoted as on SQLite: "name" with embedded quotes doubled.
std::string QuoteIdent(std::string_view name);
std::string QuoteText(std::string_view text);

// The column's declaration: TEXT(n) varchar(n) and MEMO text under kelvor.kelvor_text, BYTE,
// SHORT smallint (BYTE checked 0..255 by a check that names it), LONG integer, COUNTER an
// identity, CURRENCY numeric(19,4), SINGLE real, DOUBLE double precision, DATETIME
// timestamp(0) (the library keeps computed dates within the years 100 to 9999), YESNO boolean.
std::string ColumnDeclaration(const sqlite::ColumnInfo& c);
// The engine's type of a column as the schema declares it (information_schema's data_type,
// character_maximum_length, numeric precision, identity, check on a BYTE).
sqlite::ColumnInfo ColumnFromSchema(std::string_view name, std::string_view dataType, int length,
                                    bool notNull, bool identity, bool byteCheck);
const sqlite::DdlDialect& Ddl();

// SELECT ... INTO `tr.writeTable`: the table, then its rows (the translation's slots bind as
// they are). Run both in one transaction.
struct SelectInto {
    std::string create, insert;
};
SelectInto SelectIntoSql(std::string_view schema, const sqlite::Translation& tr);

// The hidden column that is the identity of a record in every table the layer makes: stable
// across updates (unlike ctid), and never shown as a field. Tables made by other tools have
// none; their records are known by ctid, which holds within one statement only.
inline constexpr char kRecordKey[] = "kv_rowid";
std::string RecordKeyDeclaration();

// The SQL type a value is sent as for a column (PostgreSQL then stores it in the column's own
// type, checking length and range).
const char* StoredType(const sqlite::ColumnInfo& c);
// One record: $1..$N for `columns` (indexes into table.columns), returning the record's key;
// and the update of one record, its key in $N+1.
std::string InsertRowSql(std::string_view schema, const sqlite::TableInfo& table,
                         const std::vector<int>& columns);
std::string UpdateRowSql(std::string_view schema, const sqlite::TableInfo& table,
                         const std::vector<int>& columns);
// The same for many records at once: $1..$N are arrays, one element per record (for updates
// $N+1 the keys, each at most once). Inserted records take their keys in the arrays' order.
std::string InsertRowsSql(std::string_view schema, const sqlite::TableInfo& table,
                          const std::vector<int>& columns);
std::string UpdateRowsSql(std::string_view schema, const sqlite::TableInfo& table,
                          const std::vector<int>& columns);
// An array parameter's text: every element quoted, a null pointer as NULL.
std::string ArrayText(const std::vector<std::optional<std::string>>& elements);
// The highest $N a statement names, outside quoted text and names.
int ParamCount(const std::string& sql);
// One query run for many sets of parameters: `sql`'s $1..$N become arrays, one element per run.
// Each run's rows come in their own order, the runs one after another, each row followed by
// its run's number (from 1) in the last column.
std::string QueryRunsSql(const std::string& sql, int params);

std::string CreateSchemaSql(std::string_view schema);
std::string CreateObjectsTableSql(std::string_view schema);
// $1 name $2 type $3 database $4 foreign name $5 sql
std::string InsertObjectSql(std::string_view schema);
std::string DeleteObjectSql(std::string_view schema);  // $1 name

}  // namespace kelvor::pg::dialect
