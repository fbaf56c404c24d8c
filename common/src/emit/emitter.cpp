// The walk over a bound statement that every engine's emitter shares (see emitter.h).
#include "emit/emitter.h"

#include <algorithm>

#include "jetsql/binder_impl.h"
#include "kelvor/jet_error.h"
#include "sqlite/dialect.h"

namespace kelvor::emit {

using jetsql::BoundFrom;
using jetsql::BoundSelect;
using jetsql::BoundStatement;
using jetsql::BoundTable;
using jetsql::Fn;
using jetsql::IsPredicate;
using jetsql::IsText;
using sqlite::OutputColumn;
using sqlite::Translation;
using sqlite::dialect::QuoteIdent;
using K = BExpr::Kind;
using Op = BExpr::Op;
using jetsql::IsFloating;
using jetsql::IsIntegral;

namespace {

std::string alias(const BoundTable& t) {
    return QuoteIdent(t.name);
}

std::string rowidOf(const BoundTable& t) {
    return alias(t) + "." + t.info.rowid;
}

std::string stored(const BoundTable& t) {
    return QuoteIdent(t.schema) + "." + QuoteIdent(t.phys);
}

}  // namespace

std::string Emitter::columnRef(const BExpr& e) const {
    const BoundTable& t = tableAt(e.depth, e.table);
    return alias(t) + "." + QuoteIdent(t.info.columns[static_cast<size_t>(e.column)].name);
}

std::string Emitter::opText(Op op) const {
    switch (op) {
        case Op::Add:
            return "+";
        case Op::Sub:
            return "-";
        case Op::Mul:
            return "*";
        case Op::Div:
            return "/";
        case Op::Eq:
            return "=";
        case Op::Ne:
            return "<>";
        case Op::Lt:
            return "<";
        case Op::Gt:
            return ">";
        case Op::Le:
            return "<=";
        case Op::Ge:
            return ">=";
        default:
            return "?";
    }
}

std::string Emitter::libCall(std::string_view name, const BExpr& e, size_t n) {
    std::string s = lib(name) + "(";
    for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + val(*e.args[i]);
    return s + ")";
}

std::string Emitter::between(const BExpr& e) {
    std::string r = "(" + val(*e.args[0]) + (e.domain == JType::Text ? caseBlind() : "") +
                    " BETWEEN " + val(*e.args[1]) + " AND " + val(*e.args[2]) + ")";
    return e.negated ? "(NOT " + r + ")" : r;
}

std::string Emitter::sql(const BExpr& e) {
    switch (e.kind) {
        case K::Slot:
            return slotRef(e.slot, e.type);
        case K::Null:
            return "NULL";
        case K::Boolean:
            return e.truth ? "-1" : "0";
        case K::Column:
            return columnRef(e);
        case K::Cast:
            return e.domain == JType::Variant ? cast(*e.args[0], e.type)
                                              : store(*e.args[0], e.type);
        case K::Not:
            return "(NOT " + cond(*e.args[0]) + ")";
        case K::BitNot:
            return "(~" + val(*e.args[0]) + ")";
        case K::Negate:
            return "(-" + val(*e.args[0]) + ")";
        case K::Arith:
            return arith(e);
        case K::Concat:
            return lib("kv_concat") + "(" + val(*e.args[0]) + ", " + val(*e.args[1]) + ")";
        case K::Compare:
            return "(" + val(*e.args[0]) + " " + opText(e.op) + " " + val(*e.args[1]) +
                   (e.domain == JType::Text ? caseBlind() + ")" : ")");
        case K::And:
        case K::Or:
            return logical(e, 0, e.args.size());
        case K::Xor:
        case K::Eqv:
        case K::Imp: {
            auto truth = [&](const BExpr& x) {
                return IsPredicate(x) ? "(" + sql(x) + ")" : "(" + val(x) + " <> 0)";
            };
            std::string a = truth(*e.args[0]), b = truth(*e.args[1]);
            if (e.kind == K::Xor) return "(" + a + " <> " + b + ")";
            if (e.kind == K::Eqv) return "(" + a + " = " + b + ")";
            return "((NOT " + a + ") OR " + b + ")";
        }
        case K::IsNull:
            return "(" + val(*e.args[0]) + (e.negated ? " IS NOT NULL)" : " IS NULL)");
        case K::Between:
            return between(e);
        case K::InList: {
            std::string items;
            for (size_t i = 1; i < e.args.size(); ++i)
                items += (i > 1 ? ", " : "") + val(*e.args[i]);
            return "(" + val(*e.args[0]) + (e.domain == JType::Text ? caseBlind() : "") +
                   (e.negated ? " NOT IN (" : " IN (") + items + "))";
        }
        case K::InSelect:
            return "(" + val(*e.args[0]) + (e.negated ? " NOT IN (" : " IN (") + subquery(*e.sub) +
                   "))";
        case K::Like: {
            std::string r = lib("kv_like") + "(" + val(*e.args[0]) + ", " + val(*e.args[1]) + ")";
            return e.negated ? "(NOT " + r + ")" : r;
        }
        case K::Exists:
            return std::string(e.negated ? "(NOT EXISTS (" : "(EXISTS (") + subquery(*e.sub) + "))";
        case K::Subquery: {
            // A subquery used as a value may return at most one record.
            const std::string first = QuoteIdent(e.sub->items[0].name);
            return "(SELECT CASE WHEN count(*) > 1 THEN " +
                   raise(err::kSubqueryRows, "min(" + first + ")") + " ELSE min(" + first +
                   ") END FROM (SELECT * FROM (" + subquery(*e.sub) + ") AS kv_v LIMIT 2) AS kv_w)";
        }
        case K::CountStar:
            return "count(*)";
        case K::Case: {
            // IIf (condition, then, else) and Switch (condition, value pairs; Null when no
            // condition holds).
            std::string r = "(CASE";
            size_t i = 0;
            for (; i + 1 < e.args.size(); i += 2)
                r += " WHEN " + cond(*e.args[i]) + " THEN " + branch(*e.args[i + 1], e.type);
            if (i < e.args.size()) r += " ELSE " + branch(*e.args[i], e.type);
            return r + " END)";
        }
        case K::Coalesce:
            if (e.args.size() == 1) return "coalesce(" + branch(*e.args[0], e.type) + ", '')";
            return "coalesce(" + branch(*e.args[0], e.type) + ", " + branch(*e.args[1], e.type) +
                   ")";
        case K::Call:
            return call(e);
    }
    throw JetError::make(err::kSyntaxError);
}

// A list of And or Or terms, grouped in halves: SQLite limits how deeply an expression
// nests, and a long list written flat would be that deep.
std::string Emitter::logical(const BExpr& e, size_t from, size_t to) {
    if (to - from == 1) return cond(*e.args[from]);
    size_t mid = from + (to - from) / 2;
    return "(" + logical(e, from, mid) + (e.kind == K::And ? " AND " : " OR ") +
           logical(e, mid, to) + ")";
}

std::string Emitter::call(const BExpr& e) {
    auto arg = [&](size_t i) { return val(*e.args[i]); };
    auto fn = [&](std::string_view name, size_t n) {
        std::string s = std::string(name) + "(";
        for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + arg(i);
        return s + ")";
    };
    auto datePart = [&](const char* code) {
        return lib("kv_datepart") + "('" + std::string(code) + "', " + arg(0) + ")";
    };
    switch (e.fn->id) {
        case Fn::Count:
            return fn("count", 1);
        case Fn::Sum:
            return fn("sum", 1);
        case Fn::Min:
            return fn("min", 1);
        case Fn::Max:
            return fn("max", 1);
        case Fn::Avg:
            return fn("avg", 1);
        case Fn::Date:
            return lib("kv_date") + "()";
        case Fn::Now:
            return lib("kv_now") + "()";
        case Fn::Time:
            return lib("kv_time") + "()";
        case Fn::DateDiff:
            return fn(lib("kv_datediff"), 3);
        case Fn::DateAdd:
            return fn(lib("kv_dateadd"), 3);
        case Fn::DatePart:
            return fn(lib("kv_datepart"), 2);
        case Fn::Year:
            return datePart("yyyy");
        case Fn::Month:
            return datePart("m");
        case Fn::Day:
            return datePart("d");
        case Fn::Hour:
            return datePart("h");
        case Fn::Minute:
            return datePart("n");
        case Fn::Second:
            return datePart("s");
        case Fn::Weekday:
            return datePart("w");
        case Fn::DateSerial:
            return fn(lib("kv_dateserial"), 3);
        case Fn::DateValue:
            return fn(lib("kv_dayof"), 1);
        case Fn::Asc:
            return fn(lib("kv_asc"), 1);
        case Fn::Len:
            return fn("length", 1);
        case Fn::Left:
            return fn(lib("kv_left"), 2);
        case Fn::Right:
            return fn(lib("kv_right"), 2);
        case Fn::Mid:
            return fn(lib("kv_mid"), e.args.size());
        case Fn::UCase:
            return fn(lib("kv_ucase"), 1);
        case Fn::LCase:
            return fn(lib("kv_lcase"), 1);
        case Fn::Trim:
        case Fn::LTrim:
        case Fn::RTrim: {
            const char* name = e.fn->id == Fn::Trim    ? "trim"
                               : e.fn->id == Fn::LTrim ? "ltrim"
                                                       : "rtrim";
            return std::string(name) + "(" + arg(0) + ", ' ')";
        }
        case Fn::InStrFrom:
            return fn(lib("kv_instr"), e.args.size());
        case Fn::Space:
            return fn(lib("kv_space"), 1);
        case Fn::Abs:
            return fn("abs", 1);
        case Fn::Sgn:
            return fn("sign", 1);
        case Fn::Int:
        case Fn::Fix: {
            const char* name = e.fn->id == Fn::Int ? "floor" : "trunc";
            if (e.type == JType::Long) return arg(0);
            return fn(name, 1);
        }
        case Fn::Round:
            return lib("kv_round") + "(" + arg(0) + ", " + (e.args.size() == 2 ? arg(1) : "0") +
                   ")";
        case Fn::Sqr:
            return fn("sqrt", 1);
        case Fn::Val:
            return fn(lib("kv_val"), 1);
        case Fn::CLng:
            return lib("kv_range") + "(" + arg(0) + ", -2147483648, 2147483647)";
        case Fn::CInt:
            return lib("kv_range") + "(" + arg(0) + ", -32768, 32767)";
        case Fn::CByte:
            return lib("kv_range") + "(" + arg(0) + ", 0, 255)";
        case Fn::Str:
            return fn(lib("kv_str"), 1);
        case Fn::Format:
            return lib("kv_format") + "(" + arg(0) + ", " + (e.args.size() > 1 ? arg(1) : "NULL") +
                   ", " + std::to_string(static_cast<int>(e.args[0]->type)) + ")";
        case Fn::Hex:
            return fn(lib("kv_hex"), 1);
        case Fn::StrComp:
            return lib("kv_strcomp") + "(" + arg(0) + ", " + arg(1) + ", " +
                   (e.args.size() == 3 ? arg(2) : "1") + ")";
        case Fn::Choose: {
            std::string r = "(CASE " + arg(0);
            for (size_t i = 1; i < e.args.size(); ++i)
                r += " WHEN " + std::to_string(i) + " THEN " + branch(*e.args[i], e.type);
            return r + " END)";
        }
        case Fn::First:
            return fn(lib("kv_first"), 1);
        case Fn::Last:
            return fn(lib("kv_last"), 1);
        case Fn::StDev:
            return fn(lib("kv_stdev"), 1);
        case Fn::StDevP:
            return fn(lib("kv_stdevp"), 1);
        case Fn::Var:
            return fn(lib("kv_var"), 1);
        case Fn::VarP:
            return fn(lib("kv_varp"), 1);
        case Fn::CDate:
        case Fn::CStr:
        case Fn::CDbl:
        case Fn::CSng:
        case Fn::CCur:
        case Fn::CBool:
            return arg(0);  // the conversion is the argument's
        case Fn::Chr:
        case Fn::InStr:
            break;  // the engine's own
        case Fn::IIf:
        case Fn::IsNull:
        case Fn::Nz:
        case Fn::Switch:
            break;  // bound as their own kinds
    }
    throw JetError::make(err::kUndefinedFunction, std::string(e.fn->name));
}

// ---- FROM and SELECT ------------------------------------------------------------------
const BoundTable& Emitter::tableAt(int depth, int table) const {
    const BoundSelect* s = scopes_[scopes_.size() - 1 - static_cast<size_t>(depth)];
    return s->tables[static_cast<size_t>(table)];
}

std::string Emitter::from(const BoundSelect& s, const BoundFrom& f) {
    if (f.kind == BoundFrom::Kind::Join) {
        std::string left = from(s, *f.left), right = from(s, *f.right);
        const char* kw = f.join == jetsql::TableRef::JoinType::Inner   ? " INNER JOIN "
                         : f.join == jetsql::TableRef::JoinType::Left  ? " LEFT JOIN "
                         : f.join == jetsql::TableRef::JoinType::Right ? " RIGHT JOIN "
                                                                       : " CROSS JOIN ";
        return "(" + left + kw + right + " ON " + cond(*f.on) + ")";
    }
    const BoundTable& t = s.tables[static_cast<size_t>(f.table)];
    if (t.derived) {
        // A derived table's query runs in a scope of its own.
        std::vector<const BoundSelect*> saved;
        saved.swap(scopes_);
        std::string sub = select(*t.derived, false);
        scopes_.swap(saved);
        return "(" + sub + ") AS " + alias(t);
    }
    return stored(t) + " AS " + alias(t);
}

std::string Emitter::fromList(const BoundSelect& s) {
    std::string out;
    for (size_t i = 0; i < s.from.size(); ++i) out += (i ? ", " : "") + from(s, s.from[i]);
    return out;
}

std::string Emitter::select(const BoundSelect& s, bool top, bool inRecordOrder) {
    scopes_.push_back(&s);
    std::string fromText = fromList(s);
    // DISTINCT and GROUP BY tell text apart without regard to case, as columns do.
    const bool distinct = s.quantifier == jetsql::SelectStmt::Quantifier::Distinct;
    auto blind = [&](const BExpr& x) {
        return IsText(x.type) && x.kind != K::Column ? caseBlind() : "";
    };
    std::vector<std::string> values;
    std::string list;
    for (size_t i = 0; i < s.items.size(); ++i) {
        const BExpr& x = *s.items[i].expr;
        values.push_back(val(x) + (collateItems() && IsText(x.type) ? caseBlind()
                                   : distinct                       ? blind(x)
                                                                    : ""));
        list += (i ? ", " : "") + values.back() + " AS " + QuoteIdent(s.items[i].name);
    }
    std::string body;
    if (!fromText.empty()) body += " FROM " + fromText;
    if (s.where) body += " WHERE " + cond(*s.where);
    if (!s.groupBy.empty()) {
        body += " GROUP BY ";
        for (size_t i = 0; i < s.groupBy.size(); ++i)
            body += (i ? ", " : "") + val(*s.groupBy[i]) + blind(*s.groupBy[i]);
    } else if (!s.rowidGroup.empty()) {
        body += " GROUP BY ";
        for (size_t i = 0; i < s.rowidGroup.size(); ++i)
            body += (i ? ", " : "") + rowidOf(s.tables[static_cast<size_t>(s.rowidGroup[i])]);
        if (groupShownWithIdentity()) {
            for (const auto& item : s.items) body += ", " + val(*item.expr);
            for (const auto& o : s.orderBy)
                if (o.outputColumn < 0) body += ", " + val(*o.expr);
        }
    }
    if (s.having) body += " HAVING " + cond(*s.having);
    if (s.unionNext) {
        scopes_.pop_back();
        body += (s.unionAll ? " UNION ALL " : " UNION ") + select(*s.unionNext, false);
        scopes_.push_back(&s);
    }
    // The sort, by output column numbers (a union sorts by its columns) and, for a window
    // over the rows, by the expressions themselves.
    std::string order, windowOrder;
    for (size_t i = 0; i < s.orderBy.size(); ++i) {
        const jetsql::BoundOrder& o = s.orderBy[i];
        const BExpr& x =
            o.outputColumn >= 0 ? *s.items[static_cast<size_t>(o.outputColumn)].expr : *o.expr;
        const std::string collate = IsText(x.type) ? caseBlind() : "";
        const std::string dir = (o.desc ? " DESC" : "") + nullsOrder(o.desc);
        if (o.outputColumn >= 0)
            order += (i ? ", " : "") + std::to_string(o.outputColumn + 1 + (s.updatable ? 1 : 0)) +
                     (collateItems() ? "" : collate) + dir;
        else
            order += (i ? ", " : "") + val(x) + collate + dir;
        windowOrder += (i ? ", " : "") + val(x) + collate + dir;
    }
    // Rows of stored tables come in a defined order whatever plan the engine picks: after the
    // query's own sort, in the order the records were stored, the first table's first. So a
    // loop over them, and what it writes, is the same on every engine and every run.
    // DISTINCTROW over a join gives one row per combination of the records it groups by.
    if ((top || inRecordOrder) && !distinct && s.groupBy.empty() && !s.aggregate && !s.unionNext &&
        s.topSlot < 0) {
        for (size_t i = 0; i < s.tables.size(); ++i) {
            const BoundTable& t = s.tables[i];
            if (t.derived || t.info.rowid.empty()) continue;
            if (!s.rowidGroup.empty() && std::find(s.rowidGroup.begin(), s.rowidGroup.end(),
                                                   static_cast<int>(i)) == s.rowidGroup.end())
                continue;
            order += (order.empty() ? "" : ", ") + rowidOf(t) + nullsOrder(false);
        }
    }
    if (order.empty() && sortsGroups() && !s.groupBy.empty() && !s.unionNext) {
        // Grouped rows come in the order of their groups.
        for (size_t i = 0; i < s.groupBy.size(); ++i)
            order +=
                (i ? ", " : "") + val(*s.groupBy[i]) + blind(*s.groupBy[i]) + nullsOrder(false);
    }
    const std::string rowid = s.updatable ? rowidOf(s.tables[0]) : "";
    std::string out;
    if (s.topSlot >= 0 && !s.unionNext && (!s.orderBy.empty() || s.topPercent)) {
        // TOP n keeps every row that ties with the n-th; TOP n PERCENT takes that share of
        // the rows, rounded up. The rows are ranked in a window, then cut.
        std::string inner = std::string("SELECT ") + (distinct ? "DISTINCT " : "");
        if (s.updatable) inner += rowid + " AS kv_c0, ";
        std::string outer = "SELECT " + std::string(s.updatable ? "kv_c0, " : "");
        for (size_t i = 0; i < values.size(); ++i) {
            inner += values[i] + " AS kv_c" + std::to_string(i + 1) + ", ";
            outer += std::string(i ? ", " : "") + "kv_c" + std::to_string(i + 1) + " AS " +
                     QuoteIdent(s.items[i].name);
        }
        inner += s.orderBy.empty() ? "row_number() OVER ()"
                                   : "rank() OVER (ORDER BY " + windowOrder + ")";
        inner += " AS kv_rank";
        std::string limit = slotRef(s.topSlot, JType::Long);
        if (s.topPercent) {
            inner += ", count(*) OVER () AS kv_total";
            std::string share = "(" + limit + " * kv_total / 100.0)";
            limit = ceiling(share);
        }
        out = outer + " FROM (" + inner + body + ") AS kv_t WHERE kv_rank <= " + limit +
              " ORDER BY kv_rank";
    } else {
        out = std::string("SELECT ") + (distinct ? "DISTINCT " : "") +
              (s.updatable ? rowid + ", " : "") + list + body;
        if (!order.empty()) out += " ORDER BY " + order;
        if (s.topSlot >= 0) out += " LIMIT " + slotRef(s.topSlot, JType::Long);
    }
    if (top && s.updatable) {
        const BoundTable& b = s.tables[0];
        fetchSql_ = "SELECT " + list + " FROM " + stored(b) + " AS " + alias(b) + " WHERE " +
                    rowid + " = " + identitySlot(static_cast<int>(st_.slots.size()), b.info.rowid);
    }
    scopes_.pop_back();
    return out;
}

// ---- statements ------------------------------------------------------------------------
std::string Emitter::insert() {
    std::string sql =
        "INSERT INTO " + QuoteIdent(st_.writeSchema) + "." + QuoteIdent(st_.writeTable) + " (";
    for (size_t i = 0; i < st_.insertColumns.size(); ++i)
        sql += (i ? ", " : "") + QuoteIdent(st_.insertColumns[i]->name);
    sql += ") ";
    if (st_.select) {
        // Each column's value as the engine writes it, where that differs from the value.
        std::string names, picks;
        bool differs = false;
        for (size_t i = 0; i < st_.insertColumns.size(); ++i) {
            const std::string name = "kv_" + std::to_string(i);
            const std::string w = writtenOutput(name, *st_.insertColumns[i]);
            differs = differs || w != name;
            names += (i ? ", " : "") + name;
            picks += (i ? ", " : "") + w;
        }
        if (!differs) return sql + select(*st_.select, false, true);
        return sql + "SELECT " + picks + " FROM (" + select(*st_.select, false, true) +
               ") AS kv_s(" + (st_.select->updatable ? "kv_r, " : "") + names + ")";
    }
    scopes_.push_back(&st_.scope);
    sql += "VALUES (";
    for (size_t i = 0; i < st_.values.size(); ++i)
        sql += (i ? ", " : "") + written(*st_.values[i], *st_.insertColumns[i]);
    scopes_.pop_back();
    return sql + ")";
}

std::string Emitter::update() {
    const BoundSelect& sc = st_.scope;
    scopes_.push_back(&sc);
    const BoundTable& b = sc.tables[static_cast<size_t>(st_.target)];
    std::string sets;
    for (size_t i = 0; i < st_.assignments.size(); ++i) {
        const sqlite::ColumnInfo& c =
            b.info.columns[static_cast<size_t>(st_.assignments[i].column)];
        sets +=
            (i ? ", " : "") + QuoteIdent(c.name) + " = " + written(*st_.assignments[i].value, c);
    }
    std::string head = "UPDATE " + stored(b) + " AS " + alias(b) + " SET " + sets;
    std::string where = sc.where ? cond(*sc.where) : "";
    std::string out;
    switch (st_.writeShape) {
        case BoundStatement::WriteShape::OneTable:
            out = head + (where.empty() ? "" : " WHERE " + where);
            break;
        case BoundStatement::WriteShape::RecordsOfJoin:
            // Rows of the target that take part in the join; the values need only the target.
            out = head + " WHERE " + rowidOf(b) + " IN (SELECT " + rowidOf(b) + " FROM " +
                  fromList(sc) + (where.empty() ? "" : " WHERE " + where) + ")";
            break;
        case BoundStatement::WriteShape::JoinedValues: {
            std::string others, conds;
            for (size_t t = 0; t < sc.tables.size(); ++t) {
                if (static_cast<int>(t) == st_.target) continue;
                others += (others.empty() ? "" : ", ") + stored(sc.tables[t]) + " AS " +
                          alias(sc.tables[t]);
            }
            std::vector<const BoundFrom*> stack{&sc.from[0]};
            while (!stack.empty()) {
                const BoundFrom* f = stack.back();
                stack.pop_back();
                if (f->kind != BoundFrom::Kind::Join) continue;
                conds += (conds.empty() ? "" : " AND ") + cond(*f->on);
                stack.push_back(f->right.get());
                stack.push_back(f->left.get());
            }
            if (!where.empty()) conds += (conds.empty() ? "" : " AND ") + ("(" + where + ")");
            out = head + " FROM " + others + (conds.empty() ? "" : " WHERE " + conds);
            break;
        }
    }
    scopes_.pop_back();
    return out;
}

std::string Emitter::remove() {
    const BoundSelect& sc = st_.scope;
    scopes_.push_back(&sc);
    const BoundTable& b = sc.tables[static_cast<size_t>(st_.target)];
    std::string where = sc.where ? cond(*sc.where) : "";
    std::string out;
    if (st_.writeShape == BoundStatement::WriteShape::OneTable) {
        out = "DELETE FROM " + stored(b) + " AS " + alias(b) +
              (where.empty() ? "" : " WHERE " + where);
    } else {
        out = "DELETE FROM " + stored(b) + " WHERE " + b.info.rowid + " IN (SELECT " + rowidOf(b) +
              " FROM " + fromList(sc) + (where.empty() ? "" : " WHERE " + where) + ")";
    }
    scopes_.pop_back();
    return out;
}

std::shared_ptr<Translation> Emitter::run() {
    auto out = std::make_shared<Translation>();
    out->kind = st_.kind;
    out->slots = st_.slots;
    out->params = st_.params;
    out->keyLiterals = st_.keyLiterals;
    out->writeSchema = st_.writeSchema;
    out->writeTable = st_.writeTable;
    switch (st_.kind) {
        case jetsql::Statement::Kind::Select:
        case jetsql::Statement::Kind::SelectInto: {
            const BoundSelect& s = *st_.select;
            out->sql = select(s, true);
            out->filtered = s.where != nullptr;
            for (const auto& it : s.items) {
                OutputColumn oc;
                oc.name = it.name;
                oc.type = it.expr->type;
                if (s.updatable && it.expr->kind == K::Column && it.expr->depth == 0 &&
                    it.expr->table == 0)
                    oc.baseColumn = it.expr->column;
                out->columns.push_back(std::move(oc));
            }
            if (s.updatable) {
                out->updatable = true;
                out->schema = s.tables[0].schema;
                out->table = s.tables[0].info;
                out->fetchSql = fetchSql_;
            }
            break;
        }
        case jetsql::Statement::Kind::Insert:
            out->sql = insert();
            break;
        case jetsql::Statement::Kind::Update:
            out->sql = update();
            break;
        case jetsql::Statement::Kind::Delete:
            out->sql = remove();
            break;
        default:
            throw JetError::make(err::kInvalidSql);
    }
    return out;
}

}  // namespace kelvor::emit
