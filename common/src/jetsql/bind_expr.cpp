// Binding expressions: names, literals and parameters, operators and function calls, with the
// conversions the engine makes between types.
#include <cctype>

#include "jetsql/binder_impl.h"
#include "kelvor/jet_error.h"

namespace kelvor::jetsql {

using K = BExpr::Kind;
using Op = BExpr::Op;

bool EqualNoCase(std::string_view a, std::string_view b) {
    return sqlite::EqualNoCase(a, b);
}

BExprPtr MakeExpr(BExpr::Kind k, JType t) {
    return std::make_unique<BExpr>(k, t);
}

bool IsPredicate(const BExpr& e) {
    switch (e.kind) {
        case K::Not:
        case K::Compare:
        case K::And:
        case K::Or:
        case K::Xor:
        case K::Eqv:
        case K::Imp:
        case K::IsNull:
        case K::Between:
        case K::InList:
        case K::InSelect:
        case K::Like:
        case K::Exists:
            return true;
        default:
            return false;
    }
}

JType LiteralType(const Literal& lit) {
    switch (lit.kind) {
        case Tok::Integer:
            return JType::Long;
        case Tok::Float:
            return JType::Double;
        case Tok::String:
            return JType::Text;
        case Tok::DateLit:
            return JType::Date;
        default:
            return JType::Variant;
    }
}

namespace {

Conv convFor(JType t) {
    switch (t) {
        case JType::Boolean:
            return Conv::Boolean;
        case JType::Byte:
        case JType::Integer:
        case JType::Long:
            return Conv::Long;
        case JType::Single:
        case JType::Double:
            return Conv::Double;
        case JType::Currency:
            return Conv::Currency;
        case JType::Date:
            return Conv::Date;
        case JType::Text:
        case JType::Memo:
            return Conv::Text;
        default:
            return Conv::None;
    }
}

JType numericResult(JType a, JType b) {
    if (IsFloating(a) || IsFloating(b)) return JType::Double;
    if (a == JType::Currency || b == JType::Currency) return JType::Currency;
    if (IsText(a) || IsText(b)) return JType::Double;
    if (a == JType::Variant || b == JType::Variant) return JType::Variant;
    return JType::Long;
}

BExprPtr node(K k, JType t, BExprPtr a, BExprPtr b = nullptr) {
    auto e = MakeExpr(k, t);
    e->aggregate = a->aggregate || (b && b->aggregate);
    e->args.push_back(std::move(a));
    if (b) e->args.push_back(std::move(b));
    return e;
}

BExprPtr nullExpr() {
    return MakeExpr(K::Null, JType::Null);
}

}  // namespace

Binder::Binder(const std::vector<Literal>& literals, Resolver& resolver,
               std::vector<ParamDecl> declared, BoundStatement& out)
    : literals_(&literals), resolver_(resolver), declared_(std::move(declared)), out_(out) {
    for (size_t i = 0; i < literals.size(); ++i) {
        Slot s;
        s.kind = Slot::Kind::Literal;
        s.literal = static_cast<int>(i);
        out_.slots.push_back(std::move(s));
    }
}

const Literal& Binder::literalAt(int index) const {
    const Slot& s = out_.slots[static_cast<size_t>(literalBase_ + index)];
    if (s.kind == Slot::Kind::Constant) return s.constant;
    return (*literals_)[static_cast<size_t>(index)];
}

// ---- conversions --------------------------------------------------------------------------

bool Binder::absorb(BExpr& e, Conv c, JType t) {
    if (e.kind != K::Slot) return false;
    Slot& s = out_.slots[static_cast<size_t>(e.slot)];
    if (s.conv != Conv::None && s.conv != c) return false;
    s.conv = c;
    e.type = t;
    return true;
}

BExprPtr Binder::cast(BExprPtr e, JType t) {
    const JType from = e->type;
    if (from == JType::Null) return e;
    auto wrap = [&](JType to) {
        auto c = MakeExpr(K::Cast, to);
        c->aggregate = e->aggregate;
        c->args.push_back(std::move(e));
        return c;
    };
    switch (t) {
        case JType::Currency:
            if (from == JType::Currency || absorb(*e, Conv::Currency, t)) return e;
            return wrap(t);
        case JType::Single:
        case JType::Double:
            if (from == JType::Currency || from == JType::Date) return wrap(JType::Double);
            if (absorb(*e, Conv::Double, JType::Double)) return e;
            if (IsText(from)) return wrap(JType::Double);
            return e;  // other numbers serve as they are
        case JType::Byte:
        case JType::Integer:
        case JType::Long:
            if ((IsIntegral(from) && !IsPredicate(*e)) || absorb(*e, Conv::Long, JType::Long))
                return e;
            if (IsPredicate(*e)) return e;  // -1 or 0 already
            return wrap(JType::Long);
        case JType::Date:
            if (from == JType::Date || absorb(*e, Conv::Date, t)) return e;
            return wrap(t);
        case JType::Text:
        case JType::Memo:
            if (IsText(from) || absorb(*e, Conv::Text, JType::Text)) return e;
            return wrap(JType::Text);
        case JType::Boolean:
            if (from == JType::Boolean || absorb(*e, Conv::Boolean, t)) return e;
            return wrap(t);
        default:
            return e;
    }
}

BExprPtr Binder::store(BExprPtr e, JType t) {
    if (e->type == JType::Null) return e;
    switch (t) {
        case JType::Byte:
        case JType::Integer:
        case JType::Long:
            // The value reaches the column's check unrounded, so that it rounds as the engine
            // does (half to even); text is read as a number there.
            if (e->kind == K::Slot && !absorb(*e, Conv::Double, JType::Double))
                e = cast(std::move(e), JType::Long);
            break;
        case JType::Currency:
            if (e->kind == K::Slot || e->type == JType::Currency || e->type == JType::Date ||
                e->type == JType::Variant)
                e = cast(std::move(e), JType::Currency);
            break;
        case JType::Single:
        case JType::Double:
            e = cast(std::move(e), JType::Double);
            break;
        default:
            return cast(std::move(e), t);
    }
    auto s = MakeExpr(K::Cast, t);
    s->domain = t;  // a Cast with a domain is a store: the value must fit the column
    s->aggregate = e->aggregate;
    s->args.push_back(std::move(e));
    return s;
}

JType Binder::unify(BExprPtr& a, BExprPtr& b) {
    JType ta = a->type, tb = b->type;
    if (ta == JType::Null || tb == JType::Null) return JType::Variant;
    if (IsText(ta) && IsText(tb)) return JType::Text;
    if (ta == JType::Date || tb == JType::Date) {
        a = cast(std::move(a), JType::Date);
        b = cast(std::move(b), JType::Date);
        return JType::Date;
    }
    if (ta == JType::Currency || tb == JType::Currency) {
        JType other = ta == JType::Currency ? tb : ta;
        const BExpr& o = ta == JType::Currency ? *b : *a;
        // A number written in the statement is exact decimal text: against money it is money.
        if (IsFloating(other) && o.kind != K::Slot) {
            a = cast(std::move(a), JType::Double);
            b = cast(std::move(b), JType::Double);
            return JType::Double;
        }
        a = cast(std::move(a), JType::Currency);
        b = cast(std::move(b), JType::Currency);
        return JType::Currency;
    }
    // Text written in the statement against a number field is a type mismatch to the engine;
    // text from a field or an expression is read as a number.
    auto textLiteral = [&](const BExpr& x) {
        if (x.kind != K::Slot) return false;
        const Slot& s = out_.slots[static_cast<size_t>(x.slot)];
        return s.kind != Slot::Kind::Param && s.conv == Conv::None;
    };
    if (IsText(ta) && IsNumeric(tb)) {
        if (textLiteral(*a) && b->kind == K::Column) throw JetError::make(err::kDataTypeMismatch);
        a = a->kind == K::Slot ? cast(std::move(a), JType::Double)
                               : node(K::Cast, JType::Double, std::move(a));
        return JType::Double;
    }
    if (IsText(tb) && IsNumeric(ta)) {
        if (textLiteral(*b) && a->kind == K::Column) throw JetError::make(err::kDataTypeMismatch);
        b = b->kind == K::Slot ? cast(std::move(b), JType::Double)
                               : node(K::Cast, JType::Double, std::move(b));
        return JType::Double;
    }
    return JType::Variant;
}

BExprPtr Binder::compare(BExprPtr a, BExprPtr b, Op op) {
    auto r = MakeExpr(K::Compare, JType::Boolean);
    r->op = op;
    r->domain = unify(a, b);
    r->aggregate = a->aggregate || b->aggregate;
    r->args.push_back(std::move(a));
    r->args.push_back(std::move(b));
    return r;
}

// The type of a choice between values (IIf, Nz, Switch, Choose): one type when they share one
// (numbers widen), else a Variant that keeps each value as it is.
JType Binder::unifyTypes(const BExpr& a, const BExpr& b) const {
    JType ta = IsPredicate(a) ? JType::Boolean : a.type;
    JType tb = IsPredicate(b) ? JType::Boolean : b.type;
    if (ta == JType::Null) return tb;
    if (tb == JType::Null) return ta;
    if (ta == tb) return ta;
    if (IsText(ta) && IsText(tb)) return JType::Memo;
    if (IsNumeric(ta) && IsNumeric(tb)) return numericResult(ta, tb);
    return JType::Variant;
}

BExprPtr Binder::choice(BExprPtr v, JType t) {
    // A Variant keeps numbers and text as they are; a date or an amount among them is kept as
    // the text it shows, since the value alone no longer says what it is.
    if (t == JType::Variant && (v->type == JType::Date || v->type == JType::Currency))
        return cast(std::move(v), JType::Text);
    return cast(std::move(v), t);
}

// ---- names ----------------------------------------------------------------------------------

int Binder::paramSlot(const std::string& name) {
    for (size_t i = 0; i < out_.slots.size(); ++i) {
        const Slot& s = out_.slots[i];
        if (s.kind == Slot::Kind::Param && EqualNoCase(s.param, name)) return static_cast<int>(i);
    }
    Slot s;
    s.kind = Slot::Kind::Param;
    s.param = name;
    ParamDecl decl{name, JType::Variant, 0};
    for (const auto& d : declared_) {
        if (EqualNoCase(d.name, name)) {
            decl = d;
            break;
        }
    }
    s.paramType = decl.type;
    s.conv = decl.type == JType::Variant ? Conv::None : convFor(decl.type);
    out_.slots.push_back(std::move(s));
    out_.params.push_back(decl);
    return static_cast<int>(out_.slots.size() - 1);
}

BExprPtr Binder::param(const std::string& name) {
    auto x = MakeExpr(K::Slot);
    x->slot = paramSlot(name);
    x->type = out_.slots[static_cast<size_t>(x->slot)].paramType;
    return x;
}

BExprPtr Binder::literal(const Expr& e) {
    auto x = MakeExpr(K::Slot);
    x->slot = literalBase_ + e.literal;
    const Literal& lit = literalAt(e.literal);
    x->type = LiteralType(lit);
    if (lit.kind == Tok::DateLit) out_.slots[static_cast<size_t>(x->slot)].conv = Conv::Date;
    return x;
}

BExprPtr Binder::columnRef(Scope& sc, int depth, int table, int column) {
    const BoundTable& t = sc.select->tables[static_cast<size_t>(table)];
    sc.referenced.insert(table);
    auto x = MakeExpr(K::Column, t.info.columns[static_cast<size_t>(column)].type);
    x->depth = depth;
    x->table = table;
    x->column = column;
    return x;
}

namespace {
int findColumn(const BoundTable& t, std::string_view name) {
    for (size_t i = 0; i < t.info.columns.size(); ++i)
        if (EqualNoCase(t.info.columns[i].name, name)) return static_cast<int>(i);
    return -1;
}
}  // namespace

BExprPtr Binder::name(Expr& e) {
    int depth = 0;
    if (!e.qualifier.empty()) {
        for (Scope* sc = scope_; sc; sc = sc->outer, ++depth) {
            auto& tables = sc->select->tables;
            for (size_t t = 0; t < tables.size(); ++t) {
                if (!EqualNoCase(tables[t].name, e.qualifier)) continue;
                int c = findColumn(tables[t], e.name);
                if (c >= 0) return columnRef(*sc, depth, static_cast<int>(t), c);
                return param(e.qualifier + "." + e.name);
            }
        }
        return param(e.qualifier + "." + e.name);
    }
    for (Scope* sc = scope_; sc; sc = sc->outer, ++depth) {
        auto& tables = sc->select->tables;
        int foundTable = -1, foundCol = -1;
        for (size_t t = 0; t < tables.size(); ++t) {
            int c = findColumn(tables[t], e.name);
            if (c < 0) continue;
            if (foundTable >= 0) throw JetError::make(err::kAmbiguousField, e.name);
            foundTable = static_cast<int>(t);
            foundCol = c;
        }
        if (foundTable >= 0) return columnRef(*sc, depth, foundTable, foundCol);
        if (sc != scope_) continue;
        for (auto& [alias, target] : sc->aliases) {
            if (!EqualNoCase(alias, e.name) || target == &e) continue;
            // An alias stands for its expression; one that leads back to itself is a circle.
            for (const Expr* open : sc->expanding)
                if (open == target) throw JetError::make(err::kCircularAlias, alias);
            sc->expanding.push_back(target);
            BExprPtr bound = expr(*target);
            sc->expanding.pop_back();
            return bound;
        }
    }
    return param(e.name);
}

// ---- operators -------------------------------------------------------------------------------

BExprPtr Binder::expr(Expr& e) {
    // Aliases and saved queries nest beyond what the parser saw of one statement.
    struct Guard {
        explicit Guard(int& d) : depth(d) {
            if (++depth > 1000) {
                --depth;
                throw JetError::make(err::kQueryTooComplex);
            }
        }
        ~Guard() { --depth; }
        int& depth;
    } guard(depth_);
    switch (e.kind) {
        case Expr::Kind::Literal:
            return literal(e);
        case Expr::Kind::Null:
            return nullExpr();
        case Expr::Kind::True:
        case Expr::Kind::False: {
            auto b = MakeExpr(K::Boolean, JType::Boolean);
            b->truth = e.kind == Expr::Kind::True;
            return b;
        }
        case Expr::Kind::Name:
            return name(e);
        case Expr::Kind::Star:
            throw JetError::make(err::kSyntaxInExpression, "*");
        case Expr::Kind::Unary:
            return unary(e);
        case Expr::Kind::Binary:
            return binary(e);
        case Expr::Kind::Call:
            return call(e);
        case Expr::Kind::IsNull: {
            auto r = node(K::IsNull, JType::Boolean, expr(*e.args[0]));
            r->negated = e.negated;
            return r;
        }
        case Expr::Kind::Between: {
            // One domain for the value and both bounds, so that the value is written once.
            BExprPtr x = expr(*e.args[0]), lo = expr(*e.args[1]), hi = expr(*e.args[2]);
            JType d1 = unify(x, lo);
            JType d2 = unify(x, hi);
            auto r = MakeExpr(K::Between, JType::Boolean);
            r->domain = d1 == JType::Text && d2 == JType::Text ? JType::Text : JType::Variant;
            r->negated = e.negated;
            r->aggregate = x->aggregate || lo->aggregate || hi->aggregate;
            r->args.push_back(std::move(x));
            r->args.push_back(std::move(lo));
            r->args.push_back(std::move(hi));
            return r;
        }
        case Expr::Kind::InList: {
            BExprPtr x = expr(*e.args[0]);
            const bool text = IsText(x->type);
            // Each item is brought into the value's domain as the value stood before the first
            // item converted it.
            BExpr proto(x->kind, x->type);
            proto.slot = x->slot;
            auto r = MakeExpr(K::InList, JType::Boolean);
            r->negated = e.negated;
            r->domain = text ? JType::Text : JType::Variant;
            r->args.push_back(nullptr);
            for (size_t i = 1; i < e.args.size(); ++i) {
                BExprPtr item = expr(*e.args[i]);
                if (i == 1) {
                    unify(x, item);
                    r->args[0] = std::move(x);
                } else {
                    BExprPtr lhs = MakeExpr(proto.kind, proto.type);
                    lhs->slot = proto.slot;
                    unify(lhs, item);
                }
                r->aggregate = r->aggregate || item->aggregate;
                r->args.push_back(std::move(item));
            }
            r->aggregate = r->aggregate || r->args[0]->aggregate;
            return r;
        }
        case Expr::Kind::InSelect: {
            auto r = node(K::InSelect, JType::Boolean, expr(*e.args[0]));
            r->sub = select(*e.sub, scope_, nullptr);
            r->negated = e.negated;
            return r;
        }
        case Expr::Kind::Like: {
            BExprPtr a = cast(expr(*e.args[0]), JType::Text);
            BExprPtr p = cast(expr(*e.args[1]), JType::Text);
            auto r = node(K::Like, JType::Boolean, std::move(a), std::move(p));
            r->negated = e.negated;
            return r;
        }
        case Expr::Kind::Exists: {
            auto r = MakeExpr(K::Exists, JType::Boolean);
            r->sub = select(*e.sub, scope_, nullptr);
            r->negated = e.negated;
            return r;
        }
        case Expr::Kind::Subquery: {
            auto r = MakeExpr(K::Subquery);
            r->sub = select(*e.sub, scope_, nullptr);
            r->type = r->sub->items.empty() ? JType::Variant : r->sub->items[0].expr->type;
            return r;
        }
    }
    throw JetError::make(err::kSyntaxInExpression, "?");
}

BExprPtr Binder::unary(Expr& e) {
    BExprPtr a = expr(*e.args[0]);
    if (e.op == "not") {
        if (!IsPredicate(*a) && a->type != JType::Boolean && a->type != JType::Variant)
            return node(K::BitNot, JType::Long, std::move(a));  // on numbers Not is bitwise
        return node(K::Not, JType::Boolean, std::move(a));
    }
    if (a->type == JType::Null) return nullExpr();
    if (e.op == "+") return a;
    if (IsText(a->type)) return node(K::Negate, JType::Double, cast(std::move(a), JType::Double));
    JType t = IsPredicate(*a) || a->type == JType::Boolean || a->type == JType::Byte ? JType::Long
                                                                                     : a->type;
    return node(K::Negate, t, std::move(a));
}

BExprPtr Binder::binary(Expr& e) {
    const std::string& op = e.op;
    BExprPtr a = expr(*e.args[0]);
    BExprPtr b = expr(*e.args[1]);
    static const std::pair<const char*, Op> kCompare[] = {{"=", Op::Eq},  {"<>", Op::Ne},
                                                          {"<", Op::Lt},  {">", Op::Gt},
                                                          {"<=", Op::Le}, {">=", Op::Ge}};
    for (const auto& [text, o] : kCompare)
        if (op == text) return compare(std::move(a), std::move(b), o);
    if (op == "and" || op == "or") {
        auto r = node(op == "and" ? K::And : K::Or, JType::Boolean, std::move(a), std::move(b));
        for (size_t i = 2; i < e.args.size(); ++i) {
            r->args.push_back(expr(*e.args[i]));
            r->aggregate = r->aggregate || r->args.back()->aggregate;
        }
        return r;
    }
    if (op == "xor") return node(K::Xor, JType::Boolean, std::move(a), std::move(b));
    if (op == "eqv") return node(K::Eqv, JType::Boolean, std::move(a), std::move(b));
    if (op == "imp") return node(K::Imp, JType::Boolean, std::move(a), std::move(b));
    if (op == "&")
        return node(K::Concat, JType::Memo, cast(std::move(a), JType::Text),
                    cast(std::move(b), JType::Text));
    static const std::pair<const char*, Op> kArith[] = {
        {"+", Op::Add},     {"-", Op::Sub},   {"*", Op::Mul}, {"/", Op::Div},
        {"\\", Op::IntDiv}, {"mod", Op::Mod}, {"^", Op::Pow}};
    for (const auto& [text, o] : kArith)
        if (op == text) return arithmetic(o, std::move(a), std::move(b));
    throw JetError::make(err::kSyntaxInExpression, op);
}

BExprPtr Binder::arithmetic(Op op, BExprPtr a, BExprPtr b) {
    if (a->type == JType::Null || b->type == JType::Null) return nullExpr();
    auto arith = [&](JType type, JType domain, BExprPtr x, BExprPtr y) {
        auto r = node(K::Arith, type, std::move(x), std::move(y));
        r->op = op;
        r->domain = domain;
        return r;
    };
    if (op == Op::Add && IsText(a->type) && IsText(b->type))
        return arith(JType::Memo, JType::Text, std::move(a), std::move(b));
    if ((op == Op::Add || op == Op::Sub) && (a->type == JType::Date || b->type == JType::Date)) {
        if (a->type == JType::Date && b->type == JType::Date)
            return arith(op == Op::Sub ? JType::Double : JType::Date, JType::Date, std::move(a),
                         std::move(b));
        // A date moved by a number of days: whole days and money as they are, anything else
        // as a Double.
        auto days = [&](BExprPtr x) {
            if (x->type == JType::Date || IsPredicate(*x) || IsIntegral(x->type) ||
                x->type == JType::Currency)
                return x;
            return cast(std::move(x), JType::Double);
        };
        return arith(JType::Date, JType::Date, days(std::move(a)), days(std::move(b)));
    }
    if (op == Op::Div || op == Op::Pow)
        return arith(JType::Double, JType::Double, cast(std::move(a), JType::Double),
                     cast(std::move(b), JType::Double));
    if (op == Op::IntDiv || op == Op::Mod)
        return arith(JType::Long, JType::Long, cast(std::move(a), JType::Long),
                     cast(std::move(b), JType::Long));
    // + - *: money with a Double is Double arithmetic, as the engine computes it.
    JType ta = IsPredicate(*a) ? JType::Boolean : a->type;
    JType tb = IsPredicate(*b) ? JType::Boolean : b->type;
    JType t = numericResult(ta, tb);
    if (t == JType::Currency) {
        if (op == Op::Mul && (IsIntegral(ta) || IsIntegral(tb))) {
            bool ac = ta == JType::Currency;
            a = cast(std::move(a), ac ? JType::Currency : JType::Long);
            b = cast(std::move(b), ac ? JType::Long : JType::Currency);
        } else {
            a = cast(std::move(a), JType::Currency);
            b = cast(std::move(b), JType::Currency);
        }
        return arith(t, t, std::move(a), std::move(b));
    }
    if (t == JType::Double)
        return arith(t, t, cast(std::move(a), JType::Double), cast(std::move(b), JType::Double));
    return arith(t, JType::Long, std::move(a), std::move(b));
}

// ---- functions ---------------------------------------------------------------------------------

BExprPtr Binder::call(Expr& e) {
    bool known = false;
    const Function* f = FindFunction(e.op, e.args.size(), known);
    if (!f) {
        if (!known) throw JetError::make(err::kUndefinedFunction, e.op);
        throw JetError(
            err::kSyntaxInExpression,
            "Wrong number of arguments used with function in query expression '" + e.op + "'.");
    }
    if (f->id == Fn::Count && e.args[0]->kind == Expr::Kind::Star) {
        auto r = MakeExpr(K::CountStar, JType::Long);
        r->aggregate = true;
        return r;
    }
    std::vector<BExprPtr> args;
    for (auto& a : e.args) args.push_back(expr(*a));
    bool agg = f->aggregate;
    for (const auto& a : args) agg = agg || a->aggregate;

    switch (f->id) {
        case Fn::IIf: {
            JType t = unifyTypes(*args[1], *args[2]);
            auto r = MakeExpr(K::Case, t);
            r->aggregate = agg;
            r->args.push_back(std::move(args[0]));
            r->args.push_back(choice(std::move(args[1]), t));
            r->args.push_back(choice(std::move(args[2]), t));
            return r;
        }
        case Fn::Switch:
        case Fn::Choose: {
            const bool choose = f->id == Fn::Choose;
            if (!choose && args.size() % 2 != 0)
                throw JetError(err::kSyntaxInExpression,
                               "Wrong number of arguments used with function in query "
                               "expression '" +
                                   e.op + "'.");
            // The values: every second argument of Switch, all but the first of Choose.
            const size_t first = 1, step = choose ? 1 : 2;
            JType t = JType::Null;
            for (size_t i = first; i < args.size(); i += step) {
                BExpr probe(K::Null, t);
                t = unifyTypes(probe, *args[i]);
            }
            auto r = MakeExpr(choose ? K::Call : K::Case, t == JType::Null ? JType::Variant : t);
            r->fn = f;
            r->aggregate = agg;
            for (size_t i = 0; i < args.size(); ++i) {
                bool value = choose ? i > 0 : i % 2 == 1;
                r->args.push_back(value              ? choice(std::move(args[i]), t)
                                  : choose && i == 0 ? cast(std::move(args[i]), JType::Long)
                                                     : std::move(args[i]));
            }
            return r;
        }
        case Fn::IsNull: {
            auto r = node(K::IsNull, JType::Boolean, std::move(args[0]));
            return r;
        }
        case Fn::Nz: {
            if (args.size() == 1) {
                // In a query, Nz alone gives empty text for Null, whatever the type.
                JType t = IsText(args[0]->type) ? args[0]->type : JType::Variant;
                return node(K::Coalesce, t, std::move(args[0]));
            }
            JType t = unifyTypes(*args[0], *args[1]);
            return node(K::Coalesce, t, choice(std::move(args[0]), t),
                        choice(std::move(args[1]), t));
        }
        case Fn::Int:
        case Fn::Fix: {
            JType at = args[0]->type;
            JType t = IsPredicate(*args[0]) || IsIntegral(at) ? JType::Long
                      : at == JType::Currency                 ? JType::Currency
                                                              : JType::Double;
            auto r = MakeExpr(K::Call, t);
            r->fn = f;
            r->aggregate = agg;
            r->args.push_back(t == JType::Double ? cast(std::move(args[0]), JType::Double)
                                                 : std::move(args[0]));
            return r;
        }
        default:
            break;
    }
    auto r = MakeExpr(K::Call, f->result);
    r->fn = f;
    r->aggregate = agg;
    const JType first = args.empty()            ? JType::Variant
                        : IsPredicate(*args[0]) ? JType::Boolean
                                                : args[0]->type;
    switch (f->rule) {
        case ResultRule::FirstArg:
            r->type = f->id == Fn::Abs && IsPredicate(*args[0]) ? JType::Long : first;
            break;
        case ResultRule::Sum:
            r->type = first == JType::Boolean || first == JType::Byte || first == JType::Integer
                          ? JType::Long
                      : IsText(first) ? JType::Double
                                      : first;
            if (IsText(first)) args[0] = cast(std::move(args[0]), JType::Double);
            break;
        case ResultRule::Avg:
            r->type = first == JType::Currency ? JType::Currency : JType::Double;
            if (first != JType::Currency) args[0] = cast(std::move(args[0]), JType::Double);
            break;
        default:
            break;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        JType want = i < f->args.size() ? f->args[i] : JType::Variant;
        r->args.push_back(want == JType::Variant ? std::move(args[i])
                                                 : cast(std::move(args[i]), want));
    }
    return r;
}

}  // namespace kelvor::jetsql
