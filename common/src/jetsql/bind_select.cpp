// Binding SELECT: FROM (tables, links, saved queries and subqueries as derived tables), the
// output list, WHERE, GROUP BY, HAVING, ORDER BY, TOP and UNION.
#include "jetsql/binder_impl.h"
#include "jetsql/lexer.h"
#include "kelvor/jet_error.h"

namespace kelvor::jetsql {

namespace {

constexpr int kMaxQueryNesting = 16;

int findColumn(const BoundTable& t, std::string_view name) {
    for (size_t i = 0; i < t.info.columns.size(); ++i)
        if (EqualNoCase(t.info.columns[i].name, name)) return static_cast<int>(i);
    return -1;
}

// A derived table's columns: the output of its SELECT.
BoundTable derivedTable(const std::string& name, std::unique_ptr<BoundSelect> sub) {
    BoundTable t;
    t.name = name;
    t.info.name = name;
    for (const auto& item : sub->items) {
        sqlite::ColumnInfo c;
        c.name = item.name;
        c.type = item.expr->type;
        if (IsPredicate(*item.expr)) c.type = JType::Boolean;
        t.info.columns.push_back(std::move(c));
    }
    t.derived = std::move(sub);
    return t;
}

// Whether `e` names `name` unqualified anywhere outside its subqueries.
bool usesName(const Expr& e, const std::string& name) {
    std::vector<const Expr*> pending{&e};
    while (!pending.empty()) {
        const Expr* x = pending.back();
        pending.pop_back();
        if (x->kind == Expr::Kind::Name && x->qualifier.empty() && EqualNoCase(x->name, name))
            return true;
        for (const auto& a : x->args)
            if (a) pending.push_back(a.get());
    }
    return false;
}

}  // namespace

bool Binder::sameExpr(const BExpr& a, const BExpr& b) const {
    if (a.kind != b.kind || a.type != b.type || a.op != b.op || a.fn != b.fn ||
        a.negated != b.negated || a.truth != b.truth || a.depth != b.depth || a.table != b.table ||
        a.column != b.column || a.args.size() != b.args.size() || a.sub || b.sub)
        return false;
    if (a.kind == BExpr::Kind::Slot) {
        const Slot& x = out_.slots[static_cast<size_t>(a.slot)];
        const Slot& y = out_.slots[static_cast<size_t>(b.slot)];
        if (a.slot != b.slot) {
            if (x.kind == Slot::Kind::Param || y.kind == Slot::Kind::Param)
                return x.kind == y.kind && EqualNoCase(x.param, y.param);
            const Literal& lx = x.kind == Slot::Kind::Constant
                                    ? x.constant
                                    : (*literals_)[static_cast<size_t>(x.literal)];
            const Literal& ly = y.kind == Slot::Kind::Constant
                                    ? y.constant
                                    : (*literals_)[static_cast<size_t>(y.literal)];
            if (lx.kind != ly.kind || lx.text != ly.text || x.conv != y.conv) return false;
        }
    }
    for (size_t i = 0; i < a.args.size(); ++i) {
        if (!a.args[i] || !b.args[i]) {
            if (a.args[i] != b.args[i]) return false;
            continue;
        }
        if (!sameExpr(*a.args[i], *b.args[i])) return false;
    }
    return true;
}

void Binder::checkGrouped(const BExpr& e, const BoundSelect& s) const {
    for (const auto& g : s.groupBy)
        if (sameExpr(e, *g)) return;
    if (e.kind == BExpr::Kind::CountStar || (e.kind == BExpr::Kind::Call && e.fn->aggregate))
        return;
    if (e.kind == BExpr::Kind::Column && e.depth == 0) {
        const BoundTable& t = s.tables[static_cast<size_t>(e.table)];
        throw JetError::make(err::kNotInAggregate,
                             t.info.columns[static_cast<size_t>(e.column)].name);
    }
    for (const auto& a : e.args)
        if (a) checkGrouped(*a, s);
}

int Binder::addTable(Scope& sc, BoundTable t) {
    for (const auto& b : sc.select->tables) {
        if (EqualNoCase(b.name, t.name))
            throw JetError(err::kSyntaxInFrom,
                           "Syntax error in FROM clause near '" + t.name +
                               "': the name is used twice; give one of them an alias.");
    }
    sc.select->tables.push_back(std::move(t));
    return static_cast<int>(sc.select->tables.size() - 1);
}

void Binder::bindFrom(TableRef& ref, Scope& sc, BoundFrom& out) {
    switch (ref.kind) {
        case TableRef::Kind::Join: {
            out.kind = BoundFrom::Kind::Join;
            out.join = ref.joinType;
            out.left = std::make_unique<BoundFrom>();
            out.right = std::make_unique<BoundFrom>();
            bindFrom(*ref.left, sc, *out.left);
            bindFrom(*ref.right, sc, *out.right);
            out.on = expr(*ref.on);
            return;
        }
        case TableRef::Kind::Subquery: {
            Scope* saved = scope_;
            scope_ = nullptr;
            auto sub = select(*ref.sub, nullptr, nullptr);
            scope_ = saved;
            out.table = addTable(sc, derivedTable(ref.alias, std::move(sub)));
            return;
        }
        case TableRef::Kind::Table:
            break;
    }
    Resolver::Resolved r = resolver_.resolve(ref.name);
    if (r.kind == Resolver::Resolved::Kind::None)
        throw JetError::make(err::kInputTableNotFound, ref.name);
    std::string visible = ref.alias.empty() ? ref.name : ref.alias;
    if (r.kind == Resolver::Resolved::Kind::Query) {
        bindSaved(sc, visible, r.querySql, out);
        return;
    }
    BoundTable t;
    t.name = visible;
    t.schema = r.schema;
    t.phys = r.table->name;
    t.info = *r.table;
    t.base = !t.info.rowid.empty();
    out.table = addTable(sc, std::move(t));
}

// A saved query named in FROM is bound in place; its literals travel as constants.
void Binder::bindSaved(Scope& sc, const std::string& visible, const std::string& text,
                       BoundFrom& out) {
    if (++nesting_ > kMaxQueryNesting)
        throw JetError(err::kSyntaxError, "Saved queries refer to each other in a circle.");
    Lexed lx = Lex(text);
    auto st = Parse(lx, text);
    if (st->kind != Statement::Kind::Select)
        throw JetError::make(err::kInputTableNotFound, visible);
    for (auto& d : st->params) declared_.push_back(d);
    const std::vector<Literal>* savedLits = literals_;
    int savedBase = literalBase_;
    literalBase_ = static_cast<int>(out_.slots.size());
    for (const auto& lit : lx.literals) {
        Slot s;
        s.kind = Slot::Kind::Constant;
        s.constant = lit;
        out_.slots.push_back(std::move(s));
    }
    literals_ = &lx.literals;
    Scope* savedScope = scope_;
    scope_ = nullptr;
    auto sub = select(*st->select, nullptr, nullptr);
    scope_ = savedScope;
    literals_ = savedLits;
    literalBase_ = savedBase;
    --nesting_;
    out.table = addTable(sc, derivedTable(visible, std::move(sub)));
}

std::unique_ptr<BoundSelect> Binder::select(SelectStmt& s, Scope* outer,
                                            const std::vector<JType>* storedTypes) {
    auto bs = std::make_unique<BoundSelect>();
    Scope sc;
    sc.select = bs.get();
    sc.outer = outer;
    Scope* saved = scope_;
    scope_ = &sc;
    bs->quantifier = s.quantifier;

    for (auto& ref : s.from) {
        bs->from.emplace_back();
        bindFrom(*ref, sc, bs->from.back());
    }
    for (auto& item : s.items) {
        if (item.alias.empty()) continue;
        // An alias that names a field its own expression uses (Sum(Amount) AS Amount) is a
        // circle to the engine; the field alone under its own name is not.
        if (item.expr->kind != Expr::Kind::Name && usesName(*item.expr, item.alias))
            throw JetError::make(err::kCircularAlias, item.alias);
        sc.aliases.emplace_back(item.alias, item.expr.get());
    }

    // The output list.
    for (auto& item : s.items) {
        Expr& e = *item.expr;
        if (e.kind == Expr::Kind::Star) {
            auto& tables = bs->tables;
            if (tables.empty()) throw JetError::make(err::kNoInputTable);
            std::vector<int> which;
            for (size_t t = 0; t < tables.size(); ++t)
                if (e.qualifier.empty() || EqualNoCase(tables[t].name, e.qualifier))
                    which.push_back(static_cast<int>(t));
            if (which.empty()) throw JetError::make(err::kInputTableNotFound, e.qualifier);
            for (int t : which) {
                const BoundTable& b = tables[static_cast<size_t>(t)];
                for (size_t c = 0; c < b.info.columns.size(); ++c) {
                    BoundItem it;
                    it.expr = MakeExpr(BExpr::Kind::Column, b.info.columns[c].type);
                    it.expr->table = t;
                    it.expr->column = static_cast<int>(c);
                    sc.referenced.insert(t);
                    it.name = b.info.columns[c].name;
                    // A name two tables share is told apart by its table.
                    for (size_t o = 0; o < tables.size() && tables.size() > 1; ++o) {
                        if (static_cast<int>(o) != t && findColumn(tables[o], it.name) >= 0) {
                            it.name = b.name + "." + it.name;
                            break;
                        }
                    }
                    bs->items.push_back(std::move(it));
                }
            }
            continue;
        }
        BoundItem it;
        it.expr = expr(e);
        bs->aggregate = bs->aggregate || it.expr->aggregate;
        if (!item.alias.empty()) {
            it.name = item.alias;
        } else if (e.kind == Expr::Kind::Name && it.expr->kind == BExpr::Kind::Column &&
                   it.expr->depth == 0) {
            it.name = e.name;
        } else {
            it.name = "Expr" + std::to_string(1000 + exprCounter_++);
        }
        bs->items.push_back(std::move(it));
    }
    if (storedTypes) {
        if (storedTypes->size() != bs->items.size()) throw JetError::make(err::kValuesMismatch);
        bs->storedTypes = *storedTypes;
        for (size_t i = 0; i < bs->items.size(); ++i)
            bs->items[i].expr = store(std::move(bs->items[i].expr), (*storedTypes)[i]);
    }

    if (s.where) bs->where = expr(*s.where);
    for (auto& g : s.groupBy) bs->groupBy.push_back(expr(*g));
    if (s.having) bs->having = expr(*s.having);

    if (s.unionNext) {
        Scope* inner = scope_;
        scope_ = saved;
        bs->unionNext = select(*s.unionNext, outer, storedTypes);
        bs->unionAll = s.unionAll;
        scope_ = inner;
        if (bs->unionNext->items.size() != bs->items.size())
            throw JetError::make(err::kUnionColumns);
    }

    for (auto& o : s.orderBy) {
        BoundOrder bo;
        bo.desc = o.desc;
        Expr& oe = *o.expr;
        if (s.unionNext ||
            (oe.kind == Expr::Kind::Literal && literalAt(oe.literal).kind == Tok::Integer)) {
            // A union sorts by its output columns, named or numbered.
            if (oe.kind == Expr::Kind::Literal) {
                const Literal& n = literalAt(oe.literal);
                bo.outputColumn = n.text.size() > 4 ? -1 : std::stoi(n.text) - 1;
                // The number picks a column: it is part of the translation, not a value.
                const size_t slot = static_cast<size_t>(literalBase_ + oe.literal);
                if (out_.slots[slot].kind == Slot::Kind::Literal)
                    out_.keyLiterals.push_back(oe.literal);
            } else {
                for (size_t c = 0; c < bs->items.size(); ++c)
                    if (oe.kind == Expr::Kind::Name && EqualNoCase(bs->items[c].name, oe.name))
                        bo.outputColumn = static_cast<int>(c);
            }
            if (bo.outputColumn < 0 || bo.outputColumn >= static_cast<int>(bs->items.size()))
                throw JetError::make(err::kSyntaxInOrderBy);
        } else {
            bo.expr = expr(oe);
        }
        bs->orderBy.push_back(std::move(bo));
    }
    if (bs->aggregate || !bs->groupBy.empty()) {
        // Every column an aggregate query shows, tests or sorts by is grouped or aggregated:
        // SQLite would take any one record's value, the engine refuses.
        for (const auto& it : bs->items) checkGrouped(*it.expr, *bs);
        if (bs->having) checkGrouped(*bs->having, *bs);
        for (const auto& o : bs->orderBy)
            if (o.expr) checkGrouped(*o.expr, *bs);
    }
    if (s.topLiteral >= 0) {
        bs->topSlot = literalBase_ + s.topLiteral;
        bs->topPercent = s.topPercent;
    }
    scope_ = saved;
    return bs;
}

}  // namespace kelvor::jetsql
