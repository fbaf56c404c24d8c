// The binder's state, shared by the files that bind expressions, SELECT and the writing
// statements.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "jetsql/binder.h"

namespace kelvor::jetsql {

// The tables one SELECT (or writing statement) sees, and what the binder notes while it binds
// its expressions.
struct Scope {
    BoundSelect* select = nullptr;
    Scope* outer = nullptr;
    std::vector<std::pair<std::string, Expr*>> aliases;  // select-list aliases
    std::vector<const Expr*> expanding;                  // aliases being bound, innermost last
    std::set<int> referenced;  // tables of this scope that bound expressions read
};

class Binder {
  public:
    Binder(const std::vector<Literal>& literals, Resolver& resolver,
           std::vector<ParamDecl> declared, BoundStatement& out);

    void statement(Statement& st);

    // ---- expressions (bind_expr.cpp) ----
    BExprPtr expr(Expr& e);
    BExprPtr name(Expr& e);
    // The conversions of the engine: `e` as a value of type `t` (a literal or parameter takes
    // the type itself; anything else gets a Cast node where the representation changes).
    BExprPtr cast(BExprPtr e, JType t);
    // A value of a choice (IIf, Nz, Switch, Choose) whose result has type `t`.
    BExprPtr choice(BExprPtr v, JType t);
    // `e` as stored into a column of type `t`: the number must fit.
    BExprPtr store(BExprPtr e, JType t);
    // Both sides brought into the domain the engine compares them in.
    JType unify(BExprPtr& a, BExprPtr& b);
    BExprPtr compare(BExprPtr a, BExprPtr b, BExpr::Op op);
    const Literal& literalAt(int index) const;

    // ---- SELECT (bind_select.cpp) ----
    std::unique_ptr<BoundSelect> select(SelectStmt& s, Scope* outer,
                                        const std::vector<JType>* storedTypes);
    void bindFrom(TableRef& ref, Scope& sc, BoundFrom& out);

    // ---- writing statements (bind_write.cpp) ----
    void insert(Statement& st);
    void update(Statement& st);
    void remove(Statement& st);

    const std::vector<Literal>* literals_;
    int literalBase_ = 0;
    Resolver& resolver_;
    std::vector<ParamDecl> declared_;
    BoundStatement& out_;
    Scope* scope_ = nullptr;
    int nesting_ = 0;
    int exprCounter_ = 0;
    int depth_ = 0;

  private:
    BExprPtr literal(const Expr& e);
    BExprPtr param(const std::string& name);
    int paramSlot(const std::string& name);
    BExprPtr columnRef(Scope& sc, int depth, int table, int column);
    BExprPtr unary(Expr& e);
    BExprPtr binary(Expr& e);
    BExprPtr arithmetic(BExpr::Op op, BExprPtr a, BExprPtr b);
    BExprPtr call(Expr& e);
    JType unifyTypes(const BExpr& a, const BExpr& b) const;
    bool absorb(BExpr& e, Conv c, JType t);
    void bindSaved(Scope& sc, const std::string& visible, const std::string& text, BoundFrom& out);
    int addTable(Scope& sc, BoundTable t);
    // Whether two bound expressions compute the same (a GROUP BY term and a shown one).
    bool sameExpr(const BExpr& a, const BExpr& b) const;
    // Throws 3122 for a column of `s` used outside its groups and aggregates.
    void checkGrouped(const BExpr& e, const BoundSelect& s) const;
};

// Shared by the stages.
bool EqualNoCase(std::string_view a, std::string_view b);
BExprPtr MakeExpr(BExpr::Kind k, JType t = JType::Variant);
// True for the kinds whose value is a truth value (a comparison, And, Is Null...).
bool IsPredicate(const BExpr& e);

}  // namespace kelvor::jetsql
