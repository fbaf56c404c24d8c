// From a parsed Jet SQL statement to SQLite SQL, in stages: the binder resolves names and types
// every expression (jetsql/binder.h), the planner decides updatability and how writes over joins
// reach their records (jetsql/plan.h), and the emitter prints SQLite SQL that gives the engine's
// answers (sqlite/emit.h). Literals become numbered parameters, so one translation serves every
// statement of the same shape.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jetsql/ast.h"
#include "jetsql/binder.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "sqlite/catalog.h"

namespace kelvor::sqlite {

using Conv = jetsql::Conv;
using Slot = jetsql::Slot;
using Resolver = jetsql::Resolver;

struct OutputColumn {
    std::string name;
    jetsql::JType type = jetsql::JType::Variant;
    int baseColumn = -1;  // index into Translation::table.columns when updatable
};

struct Translation {
    jetsql::Statement::Kind kind = jetsql::Statement::Kind::Select;
    std::string sql;
    std::vector<Slot> slots;  // ?1 .. ?N
    std::vector<OutputColumn> columns;
    // Set when the statement reads one table and each row is one record of it: the first
    // result column is then the record's rowid and the recordset may be updated.
    bool updatable = false;
    std::string schema;
    TableInfo table;
    std::string fetchSql;  // the same columns for one rowid, bound as ?(slots.size()+1)
    // The SELECT picks its rows by a condition (a lookup), rather than reading whole tables.
    bool filtered = false;
    std::vector<jetsql::ParamDecl> params;  // named parameters in order of first use
    // INSERT, UPDATE, DELETE: the table written.
    std::string writeSchema, writeTable;
    // Literals whose values this translation holds as written (see BoundStatement).
    std::vector<int> keyLiterals;
};

// SELECT, INSERT, UPDATE and DELETE. Throws JetError for unknown tables, ambiguous names and
// statements the engine would refuse.
std::shared_ptr<Translation> Translate(jetsql::Statement& st,
                                       const std::vector<jetsql::Literal>& literals,
                                       Resolver& resolver);

// CREATE TABLE / CREATE INDEX / DROP TABLE / DROP INDEX for the database attached as `schema`.
std::string TranslateDdl(const jetsql::Statement& st, const std::string& schema,
                         const Catalog& catalog);
// The error for a slot's value that could not take the type its place needs: 3075 naming a
// date literal that is no date, 3464 for a type mismatch, 3349 for an overflow in a write.
// `literal` is the slot's literal, or null for a parameter.
JetError SlotError(const JetError& e, const jetsql::Literal* literal, jetsql::Statement::Kind kind);

// The columns of the table SELECT ... INTO makes: the query's, with their types; a column of
// no one type (a Variant, Null) holds text as long as it may be, a Text column 255 characters.
std::vector<ColumnInfo> SelectIntoColumns(const Translation& tr);

// True for the statements TranslateDdl takes (ALTER TABLE too).
bool IsTableDdl(jetsql::Statement::Kind kind);

// How an engine declares what DDL names: a column, a default value (the parser's literal text:
// "null", "s:text", "d:date" or a number) for a column of a type, and whether a counter column is
// the record's identity (so that a declared primary key beside it is a unique index).
struct DdlDialect {
    std::string (*column)(const ColumnInfo&);
    std::string (*defaultValue)(const std::string& literal, jetsql::JType type);
    bool counterIsIdentity;
    // CREATE INDEX names the schema on the table (else on the index).
    bool indexInTableSchema;
    // Declared in every new table after its columns: a hidden column that is the record's
    // identity, where the engine has no stable one of its own (null: none).
    const char* recordKey = nullptr;
};
std::string TranslateDdl(const jetsql::Statement& st, const std::string& schema,
                         const Catalog& catalog, const DdlDialect& dialect);
// The value of a default as the parser wrote it (not "null").
Value DefaultValue(const std::string& literal);

using jetsql::LiteralType;

}  // namespace kelvor::sqlite
