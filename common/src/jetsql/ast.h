// Syntax tree of a Jet SQL statement, as the parser builds it. The binder annotates
// expressions in place (type, resolved column); the emitter reads the annotated tree.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jetsql/lexer.h"
#include "jetsql/types.h"

namespace kelvor::jetsql {

struct SelectStmt;
struct TableRef;

struct Expr {
    enum class Kind {
        Literal,  // literal index into the statement's literals
        Null,
        True,
        False,
        Name,      // [qualifier.]name: a column, or else a parameter
        Star,      // * or qualifier.*
        Unary,     // op: "-", "+", "not"
        Binary,    // op: arithmetic, "&", comparison, "and", "or", "xor", "eqv", "imp", "mod", "\\"
        Call,      // name(args)
        IsNull,    // args[0] Is [Not] Null
        Between,   // args[0] [Not] Between args[1] And args[2]
        InList,    // args[0] [Not] In (args[1..])
        InSelect,  // args[0] [Not] In (sub)
        Like,      // args[0] [Not] Like args[1]
        Exists,    // [Not] Exists (sub)
        Subquery,  // (sub) as a value
    };
    Kind kind;
    std::string op;         // operator (lower case) or function name (as written)
    std::string qualifier;  // Name/Star: table or alias, may be empty
    std::string name;       // Name: column or parameter name
    int literal = -1;       // Literal: index into the statement's literals
    bool negated = false;   // IsNull, Between, InList, InSelect, Like, Exists
    uint32_t pos = 0;       // offset in the statement text
    std::vector<std::unique_ptr<Expr>> args;
    std::unique_ptr<SelectStmt> sub;

    explicit Expr(Kind k) : kind(k) {}
    // Long lists of operands make deep trees: they are taken apart without recursion.
    ~Expr();
    Expr(Expr&&) = default;
};
using ExprPtr = std::unique_ptr<Expr>;

struct TableRef {
    enum class Kind { Table, Join, Subquery };
    Kind kind = Kind::Table;
    std::string name;   // Table: table, link or saved query name
    std::string alias;  // optional
    // Join
    enum class JoinType { Inner, Left, Right, Cross } joinType = JoinType::Inner;
    std::unique_ptr<TableRef> left, right;
    ExprPtr on;
    // Subquery
    std::unique_ptr<SelectStmt> sub;
    uint32_t pos = 0;
};
using TableRefPtr = std::unique_ptr<TableRef>;

struct SelectItem {
    ExprPtr expr;
    std::string alias;  // empty when none was written
};

struct OrderItem {
    ExprPtr expr;
    bool desc = false;
};

struct SelectStmt {
    enum class Quantifier { All, Distinct, DistinctRow } quantifier = Quantifier::All;
    int topLiteral = -1;  // TOP n: literal index
    bool topPercent = false;
    std::vector<SelectItem> items;
    std::vector<TableRefPtr> from;  // comma-separated list
    ExprPtr where;
    std::vector<ExprPtr> groupBy;
    ExprPtr having;
    std::vector<OrderItem> orderBy;
    std::string into;                       // SELECT ... INTO this table
    std::unique_ptr<SelectStmt> unionNext;  // UNION [ALL] next
    bool unionAll = false;
};

struct ParamDecl {
    std::string name;
    JType type = JType::Variant;
    int size = 0;
};

struct ColumnDef {
    std::string name;
    JType type = JType::Text;
    int size = 0;
    bool counter = false;
    bool notNull = false;
    bool primaryKey = false;
    bool unique = false;
    std::optional<std::string> defaultSql;  // already rendered for the storage engine
};

struct IndexColumn {
    std::string name;
    bool desc = false;
};

struct Statement {
    enum class Kind {
        Select,
        Insert,
        Update,
        Delete,
        CreateTable,
        CreateIndex,
        DropTable,
        DropIndex,
        CreateQuery,  // CREATE PROCEDURE / CREATE VIEW
        DropQuery,    // DROP PROCEDURE / DROP VIEW
        SelectInto,   // SELECT ... INTO target: a new table made from the query
        AlterAdd,     // ALTER TABLE objectName ADD COLUMN columnDefs[0]
        AlterDrop,    // ALTER TABLE objectName DROP COLUMN columns[0]
    };
    Kind kind = Kind::Select;
    std::vector<ParamDecl> params;  // PARAMETERS declaration

    std::unique_ptr<SelectStmt> select;  // Select; Insert ... SELECT; CreateQuery body if select

    // Insert
    std::string target;
    std::vector<std::string> columns;
    std::vector<ExprPtr> values;

    // Update / Delete
    bool distinctRow = false;
    TableRefPtr table;  // the table expression after UPDATE or FROM
    std::vector<std::pair<ExprPtr, ExprPtr>> assignments;  // target Name expr, value
    ExprPtr where;
    std::string deleteTarget;  // DELETE t.* : "t"; empty for DELETE [*] FROM t

    // DDL
    std::string objectName;  // table, index or query name
    std::vector<ColumnDef> columnDefs;
    std::vector<std::string> primaryKey;  // table-level PRIMARY KEY (cols)
    std::vector<std::vector<std::string>> uniques;
    std::string indexTable;
    std::vector<IndexColumn> indexColumns;
    bool uniqueIndex = false;
    bool primaryIndex = false;
    std::string queryText;  // CreateQuery: the saved SQL text (with PARAMETERS when declared)
};

// Throws JetError with a syntax error number and a message that names the offending token.
std::unique_ptr<Statement> Parse(const Lexed& lexed, std::string_view sql);

}  // namespace kelvor::jetsql
