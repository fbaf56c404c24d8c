// A statement after binding: every name resolved to a column of a scope's table or to a
// parameter, every expression typed, every conversion between types an explicit node, and what
// aggregates known. It holds no SQL text: a storage engine's emitter prints it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jetsql/ast.h"
#include "jetsql/functions.h"
#include "jetsql/types.h"
#include "sqlite/catalog.h"

namespace kelvor::jetsql {

// How a literal or parameter value is turned into the representation its context needs.
enum class Conv : uint8_t { None, Currency, Date, Double, Long, Boolean, Text };

// A value bound to the statement when it runs: a literal of the statement (so that statements
// of one shape share a translation), a literal of a saved query it names, or a parameter.
struct Slot {
    enum class Kind : uint8_t { Literal, Constant, Param } kind = Kind::Literal;
    int literal = -1;                // Literal: index into the statement's literals
    Literal constant{Tok::End, {}};  // Constant: a literal of a saved query that was inlined
    std::string param;               // Param: its name
    JType paramType = JType::Variant;
    Conv conv = Conv::None;
};

struct BoundSelect;

struct BExpr {
    enum class Kind : uint8_t {
        Slot,     // slot
        Null,     // the Null literal
        Boolean,  // True or False: `truth`
        Column,   // column `column` of table `table` of the scope `depth` levels out
        Cast,     // args[0] as `type`
        Not,      // logical Not
        BitNot,   // Not on a number: bitwise
        Negate,   // -args[0]
        Arith,    // args[0] op args[1], computed in `domain` (see below)
        Concat,   // args[0] & args[1]: Null only when both are
        Compare,  // args[0] op args[1], both already in one domain; `domain` Text: case-blind
        And,
        Or,
        Xor,
        Eqv,
        Imp,
        IsNull,    // [negated]
        Between,   // args[0] [Not] Between args[1] And args[2] (the bounds in the value's domain)
        InList,    // args[0] [Not] In (args[1..]), all in one domain
        InSelect,  // args[0] [Not] In (sub)
        Like,      // args[0] [Not] Like args[1], both text
        Exists,    // [Not] Exists (sub)
        Subquery,  // (sub) as a value
        Call,      // function `fn` of the catalogue on args (aggregates too)
        CountStar,
        Case,      // IIf: args = condition, then, else (branches already in `type`)
        Coalesce,  // Nz: args[0], else args[1]
    };
    enum class Op : uint8_t { None, Add, Sub, Mul, Div, IntDiv, Mod, Pow, Eq, Ne, Lt, Gt, Le, Ge };

    Kind kind;
    JType type = JType::Variant;
    Op op = Op::None;
    // Arith: Long, Double or Currency arithmetic; Date for a date moved by days; Text for two
    // texts joined by +. Compare and InList: the domain both sides are in.
    JType domain = JType::Variant;
    bool negated = false;
    bool truth = false;      // Boolean
    bool aggregate = false;  // holds an aggregate of its own scope
    int slot = -1;
    int depth = 0, table = -1, column = -1;  // Column
    const Function* fn = nullptr;            // Call
    std::vector<std::unique_ptr<BExpr>> args;
    std::unique_ptr<BoundSelect> sub;

    explicit BExpr(Kind k, JType t = JType::Variant) : kind(k), type(t) {}
};
using BExprPtr = std::unique_ptr<BExpr>;

// A table of a scope: a base table of a database, or a derived table (a subquery in FROM or a
// saved query named there).
struct BoundTable {
    std::string name;          // as the statement names it: its alias, else its name
    bool base = false;         // a base table whose records have an identity SQL can name
    std::string schema, phys;  // base: where it is stored
    sqlite::TableInfo info;    // base: the table; derived: its output columns
    std::unique_ptr<BoundSelect> derived;
};

// FROM as written: a comma list of join trees over the scope's tables.
struct BoundFrom {
    enum class Kind : uint8_t { Table, Join } kind = Kind::Table;
    int table = -1;
    TableRef::JoinType join = TableRef::JoinType::Inner;
    std::unique_ptr<BoundFrom> left, right;
    BExprPtr on;
};

struct BoundItem {
    BExprPtr expr;
    std::string name;  // the output column's name
};

struct BoundOrder {
    BExprPtr expr;          // a term of the query's own scope
    int outputColumn = -1;  // or a column of its output (unions; ORDER BY n)
    bool desc = false;
};

struct BoundSelect {
    SelectStmt::Quantifier quantifier = SelectStmt::Quantifier::All;
    std::vector<BoundTable> tables;
    std::vector<BoundFrom> from;
    std::vector<BoundItem> items;
    BExprPtr where;
    std::vector<BExprPtr> groupBy;
    BExprPtr having;
    std::vector<BoundOrder> orderBy;
    bool aggregate = false;  // an aggregate in its items, HAVING or ORDER BY
    int topSlot = -1;
    bool topPercent = false;
    std::unique_ptr<BoundSelect> unionNext;
    bool unionAll = false;
    // Column types written to when this SELECT feeds an INSERT: each item is stored as one.
    std::vector<JType> storedTypes;

    // Decided by the planner.
    // Each row is one record of tables[0]: the recordset may update it, and fetches it again
    // by its identity.
    bool updatable = false;
    // DISTINCTROW over a join: one row per combination of records of these tables.
    std::vector<int> rowidGroup;
};

struct BoundAssignment {
    int column = -1;  // of the target table
    BExprPtr value;   // already in the column's type
};

struct BoundStatement {
    Statement::Kind kind = Statement::Kind::Select;
    std::vector<Slot> slots;              // ?1 .. ?N
    std::vector<ParamDecl> params;        // named parameters in order of first use
    std::unique_ptr<BoundSelect> select;  // Select; Insert ... SELECT
    // Insert, Update, Delete: the statement's own scope and the table written.
    BoundSelect scope;
    int target = -1;  // Update, Delete: index into scope.tables
    std::string writeSchema, writeTable;
    std::vector<const sqlite::ColumnInfo*> insertColumns;
    std::vector<BExprPtr> values;  // Insert ... VALUES, each in its column's type
    std::vector<BoundAssignment> assignments;
    bool valuesReadOtherTables = false;  // Update: a value reads a table other than the target

    // Decided by the planner: how UPDATE and DELETE find the target's records.
    enum class WriteShape : uint8_t {
        OneTable,       // the target alone
        RecordsOfJoin,  // the target's records that take part in the join
        JoinedValues,   // UPDATE whose values read the other tables of an inner join
    } writeShape = WriteShape::OneTable;
    // The literals whose values the translation holds as written (ORDER BY column numbers):
    // a statement of the same shape with other values there needs a translation of its own.
    std::vector<int> keyLiterals;
};

}  // namespace kelvor::jetsql
