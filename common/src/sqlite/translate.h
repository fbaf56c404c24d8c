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

using jetsql::LiteralType;

}  // namespace kelvor::sqlite
