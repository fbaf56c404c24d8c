// From a parsed Jet SQL statement to SQLite SQL: names are bound to the tables of one
// database (links and saved queries resolved), every expression gets its engine type, and the
// emitter writes SQLite SQL that gives the engine's answers (exact money, dates to the second,
// True as -1, Null propagation, DISTINCTROW). Literals become numbered parameters, so one
// translation serves every statement of the same shape.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jetsql/ast.h"
#include "sqlite/catalog.h"

namespace kelvor::sqlite {

// How a literal or parameter value is turned into the representation its context needs.
enum class Conv : uint8_t { None, Currency, Date, Double, Long, Boolean, Text };

struct Slot {
    enum class Kind : uint8_t { Literal, Constant, Param } kind = Kind::Literal;
    int literal = -1;          // Literal: index into the statement's literals
    jetsql::Literal constant;  // Constant: a literal of a saved query that was inlined
    std::string param;         // Param: its name
    jetsql::JType paramType = jetsql::JType::Variant;
    Conv conv = Conv::None;
};

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
};

class Resolver {
  public:
    struct Resolved {
        enum class Kind { None, Table, Query } kind = Kind::None;
        std::string schema;
        const TableInfo* table = nullptr;
        std::string querySql;
    };
    virtual ~Resolver() = default;
    // A table, a link (resolved to its source table) or a saved query of this database.
    // Throws JetError when a link's source cannot be reached.
    virtual Resolved resolve(std::string_view name) = 0;
};

// SELECT, INSERT, UPDATE and DELETE. Throws JetError for unknown tables, ambiguous names and
// statements the engine would refuse.
std::shared_ptr<Translation> Translate(jetsql::Statement& st,
                                       const std::vector<jetsql::Literal>& literals,
                                       Resolver& resolver);

// CREATE TABLE / CREATE INDEX / DROP TABLE / DROP INDEX for the database attached as `schema`.
std::string TranslateDdl(const jetsql::Statement& st, const std::string& schema,
                         const Catalog& catalog);

// The value of a literal as the given conversion wants it, as a SQL literal (for DDL defaults)
// or bound to a statement (see the connection).
jetsql::JType LiteralType(const jetsql::Literal& lit);

}  // namespace kelvor::sqlite
