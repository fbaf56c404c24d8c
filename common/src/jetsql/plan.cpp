#include "jetsql/plan.h"

#include <set>

#include "kelvor/jet_error.h"

namespace kelvor::jetsql {

namespace {

using K = BExpr::Kind;

void planSelect(BoundSelect& s);

void planExpr(BExpr* e) {
    if (!e) return;
    for (auto& a : e->args) planExpr(a.get());
    if (e->sub) planSelect(*e->sub);
}

void planFrom(BoundFrom& f) {
    if (f.left) planFrom(*f.left);
    if (f.right) planFrom(*f.right);
    planExpr(f.on.get());
}

// The SELECT's own tables whose columns an output expression reads (outside subqueries).
void tablesOf(const BExpr& e, std::set<int>& out) {
    if (e.kind == K::Column && e.depth == 0) out.insert(e.table);
    for (const auto& a : e.args)
        if (a) tablesOf(*a, out);
}

void planSelect(BoundSelect& s) {
    for (auto& t : s.tables)
        if (t.derived) planSelect(*t.derived);
    for (auto& f : s.from) planFrom(f);
    for (auto& it : s.items) planExpr(it.expr.get());
    planExpr(s.where.get());
    for (auto& g : s.groupBy) planExpr(g.get());
    planExpr(s.having.get());
    for (auto& o : s.orderBy) planExpr(o.expr.get());
    if (s.unionNext) planSelect(*s.unionNext);

    if (s.quantifier == SelectStmt::Quantifier::DistinctRow && s.groupBy.empty() && !s.aggregate &&
        s.tables.size() > 1) {
        // DISTINCTROW: one row per distinct combination of records of the tables that supply
        // output columns; tables used only for joining or filtering do not multiply.
        std::set<int> supplying;
        for (const auto& it : s.items) tablesOf(*it.expr, supplying);
        bool allBase = true;
        for (int t : supplying) allBase = allBase && s.tables[static_cast<size_t>(t)].base;
        if (!supplying.empty() && supplying.size() < s.tables.size() && allBase)
            s.rowidGroup.assign(supplying.begin(), supplying.end());
    }
}

}  // namespace

void Plan(BoundStatement& st) {
    if (st.select) {
        planSelect(*st.select);
        BoundSelect& s = *st.select;
        s.updatable = st.kind == Statement::Kind::Select && s.from.size() == 1 &&
                      s.from[0].kind == BoundFrom::Kind::Table && s.tables.size() == 1 &&
                      s.tables[0].base && s.groupBy.empty() && !s.having && !s.aggregate &&
                      s.quantifier != SelectStmt::Quantifier::Distinct && !s.unionNext;
    }
    for (auto& v : st.values) planExpr(v.get());
    for (auto& a : st.assignments) planExpr(a.value.get());
    for (auto& t : st.scope.tables)
        if (t.derived) planSelect(*t.derived);
    for (auto& f : st.scope.from) planFrom(f);
    planExpr(st.scope.where.get());

    if (st.kind != Statement::Kind::Update && st.kind != Statement::Kind::Delete) return;
    if (st.scope.tables.size() == 1) {
        st.writeShape = BoundStatement::WriteShape::OneTable;
        return;
    }
    if (st.kind == Statement::Kind::Delete || !st.valuesReadOtherTables) {
        st.writeShape = BoundStatement::WriteShape::RecordsOfJoin;
        return;
    }
    // UPDATE ... FROM: only over inner joins of base tables.
    std::vector<const BoundFrom*> stack{&st.scope.from[0]};
    while (!stack.empty()) {
        const BoundFrom* f = stack.back();
        stack.pop_back();
        if (f->kind != BoundFrom::Kind::Join) continue;
        if (f->join != TableRef::JoinType::Inner)
            throw JetError::make(err::kOperationMustBeUpdatable);
        stack.push_back(f->right.get());
        stack.push_back(f->left.get());
    }
    for (const auto& t : st.scope.tables)
        if (!t.base) throw JetError::make(err::kOperationMustBeUpdatable);
    st.writeShape = BoundStatement::WriteShape::JoinedValues;
}

}  // namespace kelvor::jetsql
