// From the syntax tree to the bound tree: names resolved against the tables of one database
// (links followed, saved queries and subqueries bound in place as derived tables), scopes,
// types, the conversions Jet makes, and what aggregates. Errors are the engine's.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jetsql/ast.h"
#include "jetsql/bound.h"

namespace kelvor::jetsql {

class Resolver {
  public:
    struct Resolved {
        enum class Kind { None, Table, Query } kind = Kind::None;
        std::string schema;
        const sqlite::TableInfo* table = nullptr;
        std::string querySql;
    };
    virtual ~Resolver() = default;
    // A table, a link (resolved to its source table) or a saved query of this database.
    // Throws JetError when a link's source cannot be reached.
    virtual Resolved resolve(std::string_view name) = 0;
};

// SELECT, INSERT, UPDATE and DELETE.
std::unique_ptr<BoundStatement> Bind(Statement& st, const std::vector<Literal>& literals,
                                     Resolver& resolver);

// The engine type of a literal as written.
JType LiteralType(const Literal& lit);

}  // namespace kelvor::jetsql
