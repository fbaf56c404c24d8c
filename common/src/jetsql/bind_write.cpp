// Binding INSERT, UPDATE and DELETE, and the statement as a whole.
#include "jetsql/binder_impl.h"
#include "kelvor/jet_error.h"

namespace kelvor::jetsql {

namespace {

bool containsStar(const SelectStmt& s) {
    for (const auto& it : s.items)
        if (it.expr->kind == Expr::Kind::Star) return true;
    return false;
}

}  // namespace

void Binder::statement(Statement& st) {
    out_.kind = st.kind;
    switch (st.kind) {
        case Statement::Kind::Select:
        case Statement::Kind::SelectInto:
            out_.select = select(*st.select, nullptr, nullptr);
            out_.writeTable = st.target;
            return;
        case Statement::Kind::Insert:
            insert(st);
            return;
        case Statement::Kind::Update:
            update(st);
            return;
        case Statement::Kind::Delete:
            remove(st);
            return;
        default:
            throw JetError::make(err::kInvalidSql);
    }
}

void Binder::insert(Statement& st) {
    Resolver::Resolved r = resolver_.resolve(st.target);
    if (r.kind == Resolver::Resolved::Kind::None)
        throw JetError::make(err::kInputTableNotFound, st.target);
    if (r.kind != Resolver::Resolved::Kind::Table)
        throw JetError::make(err::kOperationMustBeUpdatable);
    const sqlite::TableInfo& t = *r.table;
    std::vector<const sqlite::ColumnInfo*>& cols = out_.insertColumns;
    if (st.columns.empty()) {
        for (const auto& c : t.columns) cols.push_back(&c);
        if (!st.select && st.values.size() != cols.size()) {
            // Without a column list the counter may be left out.
            std::vector<const sqlite::ColumnInfo*> noCounter;
            for (auto* c : cols)
                if (!c->counter) noCounter.push_back(c);
            if (noCounter.size() == st.values.size()) cols = noCounter;
        }
    } else {
        for (const auto& n : st.columns) {
            const sqlite::ColumnInfo* c = t.find(n);
            if (!c)
                throw JetError(err::kSyntaxInInsert,
                               "The INSERT INTO statement contains the following unknown field "
                               "name: '" +
                                   n +
                                   "'. Make sure you have typed the name correctly, and try the "
                                   "operation again.");
            cols.push_back(c);
        }
    }
    out_.writeSchema = r.schema;
    out_.writeTable = t.name;
    Scope sc;
    sc.select = &out_.scope;
    scope_ = &sc;
    if (st.select) {
        std::vector<JType> types;
        for (auto* c : cols) types.push_back(c->type);
        if (!containsStar(*st.select) && st.select->items.size() != cols.size())
            throw JetError::make(err::kValuesMismatch);
        out_.select = select(*st.select, nullptr, &types);
    } else {
        if (st.values.size() != cols.size()) throw JetError::make(err::kValuesMismatch);
        for (size_t i = 0; i < cols.size(); ++i)
            out_.values.push_back(store(expr(*st.values[i]), cols[i]->type));
    }
    scope_ = nullptr;
}

void Binder::update(Statement& st) {
    Scope sc;
    sc.select = &out_.scope;
    scope_ = &sc;
    out_.scope.from.emplace_back();
    bindFrom(*st.table, sc, out_.scope.from.back());
    auto& tables = out_.scope.tables;
    int target = -1;
    for (auto& [lhs, rhs] : st.assignments) {
        BExprPtr l = name(*lhs);
        if (l->kind != BExpr::Kind::Column || l->depth != 0)
            throw JetError::make(err::kUnknownName, lhs->name);
        if (target >= 0 && l->table != target) throw JetError::make(err::kOperationMustBeUpdatable);
        target = l->table;
        if (!tables[static_cast<size_t>(target)].base)
            throw JetError::make(err::kOperationMustBeUpdatable);
        sc.referenced.clear();
        BExprPtr v = expr(*rhs);
        // A value an aggregate computes cannot be written through the engine's queries.
        if (v->kind == BExpr::Kind::Subquery && v->sub->aggregate)
            throw JetError::make(err::kOperationMustBeUpdatable);
        for (int t : sc.referenced)
            if (t != target) out_.valuesReadOtherTables = true;
        const sqlite::ColumnInfo& col =
            tables[static_cast<size_t>(target)].info.columns[static_cast<size_t>(l->column)];
        if (col.counter) throw JetError::make(err::kFieldNotUpdatable);
        out_.assignments.push_back({l->column, store(std::move(v), col.type)});
    }
    if (st.where) out_.scope.where = expr(*st.where);
    // A table of the join that groups (a saved query with GROUP BY, say) makes the whole
    // query one that cannot be updated.
    for (const auto& t : tables)
        if (t.derived && (t.derived->aggregate || !t.derived->groupBy.empty() ||
                          t.derived->quantifier == SelectStmt::Quantifier::Distinct))
            throw JetError::make(err::kOperationMustBeUpdatable);
    out_.target = target;
    const BoundTable& b = tables[static_cast<size_t>(target)];
    out_.writeSchema = b.schema;
    out_.writeTable = b.phys;
    scope_ = nullptr;
}

void Binder::remove(Statement& st) {
    Scope sc;
    sc.select = &out_.scope;
    scope_ = &sc;
    out_.scope.from.emplace_back();
    bindFrom(*st.table, sc, out_.scope.from.back());
    auto& tables = out_.scope.tables;
    int target = -1;
    if (st.deleteTarget.empty()) {
        if (tables.size() != 1) throw JetError::make(err::kSpecifyDeleteTable);
        target = 0;
    } else {
        for (size_t t = 0; t < tables.size(); ++t)
            if (EqualNoCase(tables[t].name, st.deleteTarget)) target = static_cast<int>(t);
        if (target < 0) throw JetError::make(err::kSpecifyDeleteTable);
    }
    const BoundTable& b = tables[static_cast<size_t>(target)];
    if (!b.base) throw JetError::make(err::kOperationMustBeUpdatable);
    out_.target = target;
    out_.writeSchema = b.schema;
    out_.writeTable = b.phys;
    if (st.where) out_.scope.where = expr(*st.where);
    scope_ = nullptr;
}

std::unique_ptr<BoundStatement> Bind(Statement& st, const std::vector<Literal>& literals,
                                     Resolver& resolver) {
    auto out = std::make_unique<BoundStatement>();
    Binder b(literals, resolver, st.params, *out);
    b.statement(st);
    return out;
}

}  // namespace kelvor::jetsql
