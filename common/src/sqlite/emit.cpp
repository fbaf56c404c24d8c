// The SQLite emitter: prints a bound, planned statement as SQLite SQL that gives the engine's
// answers. Dates are stored as seconds from day 0 and money as ten-thousandths; the engine's
// True is -1 where SQLite's comparisons give 1, so a truth value is negated where it is used
// as a value; text compares without regard to case.
#include "sqlite/emit.h"

#include "jetsql/binder_impl.h"
#include "kelvor/jet_error.h"
#include "sqlite/dialect.h"

namespace kelvor::sqlite {

using dialect::QuoteIdent;
using jetsql::BExpr;
using jetsql::BoundFrom;
using jetsql::BoundSelect;
using jetsql::BoundStatement;
using jetsql::BoundTable;
using jetsql::Fn;
using jetsql::IsFloating;
using jetsql::IsIntegral;
using jetsql::IsPredicate;
using jetsql::IsText;
using jetsql::JType;
using K = BExpr::Kind;
using Op = BExpr::Op;

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

const char* opText(Op op) {
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

class Emitter {
  public:
    explicit Emitter(const BoundStatement& st) : st_(st) {}

    std::string slotRef(int slot) const { return "?" + std::to_string(slot + 1); }

    // An expression as a value: truth values become the engine's -1 and 0.
    std::string val(const BExpr& e) {
        // Every truth value is written as one parenthesized group or one call, and * binds
        // tighter than anything it meets: it needs no parentheses of its own, and SQLite's
        // parser takes only so many nested ones.
        std::string s = sql(e);
        return IsPredicate(e) ? s + "*-1" : s;
    }
    // As a condition: SQLite takes any non-zero number as true, so engine Booleans serve as is.
    std::string cond(const BExpr& e) { return sql(e); }

    std::string sql(const BExpr& e) {
        switch (e.kind) {
            case K::Slot:
                return slotRef(e.slot);
            case K::Null:
                return "NULL";
            case K::Boolean:
                return e.truth ? "-1" : "0";
            case K::Column: {
                const BoundTable& t = tableAt(e.depth, e.table);
                return alias(t) + "." +
                       QuoteIdent(t.info.columns[static_cast<size_t>(e.column)].name);
            }
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
                return "kv_concat(" + val(*e.args[0]) + ", " + val(*e.args[1]) + ")";
            case K::Compare:
                return "(" + val(*e.args[0]) + " " + opText(e.op) + " " + val(*e.args[1]) +
                       (e.domain == JType::Text ? " COLLATE NOCASE)" : ")");
            case K::And:
            case K::Or:
                return logical(e, 0, e.args.size());
            case K::Xor:
            case K::Eqv:
            case K::Imp: {
                auto truth = [&](const BExpr& x) {
                    return IsPredicate(x) ? "(" + sql(x) + ")" : "(" + sql(x) + " <> 0)";
                };
                std::string a = truth(*e.args[0]), b = truth(*e.args[1]);
                if (e.kind == K::Xor) return "(" + a + " <> " + b + ")";
                if (e.kind == K::Eqv) return "(" + a + " = " + b + ")";
                return "((NOT " + a + ") OR " + b + ")";
            }
            case K::IsNull:
                return "(" + val(*e.args[0]) + (e.negated ? " IS NOT NULL)" : " IS NULL)");
            case K::Between: {
                std::string r = "(" + val(*e.args[0]) +
                                (e.domain == JType::Text ? " COLLATE NOCASE" : "") + " BETWEEN " +
                                val(*e.args[1]) + " AND " + val(*e.args[2]) + ")";
                return e.negated ? "(NOT " + r + ")" : r;
            }
            case K::InList: {
                std::string items;
                for (size_t i = 1; i < e.args.size(); ++i)
                    items += (i > 1 ? ", " : "") + val(*e.args[i]);
                return "(" + val(*e.args[0]) + (e.domain == JType::Text ? " COLLATE NOCASE" : "") +
                       (e.negated ? " NOT IN (" : " IN (") + items + "))";
            }
            case K::InSelect:
                return "(" + val(*e.args[0]) + (e.negated ? " NOT IN (" : " IN (") +
                       subquery(*e.sub) + "))";
            case K::Like: {
                std::string r = "kv_like(" + val(*e.args[0]) + ", " + val(*e.args[1]) + ")";
                return e.negated ? "(NOT " + r + ")" : r;
            }
            case K::Exists:
                return std::string(e.negated ? "(NOT EXISTS (" : "(EXISTS (") + subquery(*e.sub) +
                       "))";
            case K::Subquery: {
                // A subquery used as a value may return at most one record.
                const std::string first = QuoteIdent(e.sub->items[0].name);
                return "(SELECT CASE WHEN count(*) > 1 THEN kv_raise(" +
                       std::to_string(err::kSubqueryRows) + ") ELSE min(" + first +
                       ") END FROM (SELECT * FROM (" + subquery(*e.sub) + ") LIMIT 2))";
            }
            case K::CountStar:
                return "count(*)";
            case K::Case: {
                // IIf (condition, then, else) and Switch (condition, value pairs; Null when no
                // condition holds).
                std::string r = "(CASE";
                size_t i = 0;
                for (; i + 1 < e.args.size(); i += 2)
                    r += " WHEN " + cond(*e.args[i]) + " THEN " + val(*e.args[i + 1]);
                if (i < e.args.size()) r += " ELSE " + val(*e.args[i]);
                return r + " END)";
            }
            case K::Coalesce:
                if (e.args.size() == 1) return "coalesce(" + val(*e.args[0]) + ", '')";
                return "coalesce(" + val(*e.args[0]) + ", " + val(*e.args[1]) + ")";
            case K::Call:
                return call(e);
        }
        throw JetError::make(err::kSyntaxError);
    }

    // A list of And or Or terms, grouped in halves: SQLite limits how deeply an expression
    // nests, and a long list written flat would be that deep.
    std::string logical(const BExpr& e, size_t from, size_t to) {
        if (to - from == 1) return cond(*e.args[from]);
        size_t mid = from + (to - from) / 2;
        return "(" + logical(e, from, mid) + (e.kind == K::And ? " AND " : " OR ") +
               logical(e, mid, to) + ")";
    }

    // A value of the engine's type `from` in the representation of `to`.
    std::string cast(const BExpr& x, JType to) {
        const JType from = x.type;
        const bool whole = IsPredicate(x) || IsIntegral(from);
        const std::string s = sql(x);
        switch (to) {
            case JType::Currency:
                if (whole) return "(" + val(x) + " * 10000)";
                if (IsFloating(from)) return "CAST(round(" + s + " * 10000) AS INTEGER)";
                if (from == JType::Date) return "CAST(round(" + s + " / 8.64) AS INTEGER)";
                return "kv_ccur(" + s + ")";
            case JType::Double:
                if (from == JType::Currency) return "(" + s + " / 10000.0)";
                if (from == JType::Date) return "(" + s + " / 86400.0)";
                if (IsText(from)) return "kv_cdbl(" + s + ")";
                return val(x);
            case JType::Long:
                if (whole) return val(x);
                if (from == JType::Currency) return "kv_cround(" + s + " / 10000.0)";
                if (from == JType::Date) return "kv_cround(" + s + " / 86400.0)";
                return "kv_cround(" + s + ")";
            case JType::Date:
                if (from == JType::Currency) return "CAST(round(" + s + " * 8.64) AS INTEGER)";
                if (whole) return "(" + val(x) + " * 86400)";
                if (IsFloating(from)) return "CAST(round(" + s + " * 86400) AS INTEGER)";
                return "kv_cdate(" + s + ")";
            case JType::Text:
                if (from == JType::Currency) return "kv_curtext(" + s + ")";
                if (from == JType::Date) return "kv_datetext(" + s + ")";
                if (whole) return "CAST(" + val(x) + " AS TEXT)";
                return "kv_text(" + s + ")";  // a whole Double without ".0"
            case JType::Boolean:
                if (IsPredicate(x)) return val(x);
                return "kv_cbool(" + s + ")";
            default:
                return val(x);
        }
    }

    // A value written to a column of type `t`. Numbers pass through kv_fit, which fails the
    // statement when one does not fit the column instead of letting SQLite store it wrapped or
    // cut; they reach it unrounded, so that it rounds as the engine does (half to even).
    std::string store(const BExpr& x, JType t) {
        const bool whole = IsPredicate(x) || IsIntegral(x.type);
        std::string v;
        switch (t) {
            case JType::Byte:
            case JType::Integer:
            case JType::Long:
                if (whole)
                    v = val(x);
                else if (x.type == JType::Currency)
                    v = "(" + sql(x) + " / 10000.0)";
                else if (x.type == JType::Date)
                    v = "(" + sql(x) + " / 86400.0)";
                else
                    v = sql(x);  // kv_fit reads text as a number
                break;
            case JType::Currency:
                // kv_fit takes numbers as ten-thousandths and reads text as an amount.
                if (x.type == JType::Currency)
                    v = sql(x);
                else if (whole)
                    v = "(" + val(x) + " * 10000)";
                else if (IsFloating(x.type))
                    v = "(" + sql(x) + " * 10000.0)";
                else
                    v = sql(x);
                break;
            default:
                v = val(x);
                break;
        }
        return "kv_fit(" + v + ", " + std::to_string(static_cast<int>(t)) + ")";
    }

    std::string daysToSeconds(const BExpr& x) {
        if (IsPredicate(x) || IsIntegral(x.type)) return "(" + val(x) + " * 86400)";
        if (x.type == JType::Currency) return "CAST(round(" + sql(x) + " * 8.64) AS INTEGER)";
        return "CAST(round(" + cast(x, JType::Double) + " * 86400) AS INTEGER)";
    }

    std::string arith(const BExpr& e) {
        const BExpr& a = *e.args[0];
        const BExpr& b = *e.args[1];
        switch (e.domain) {
            case JType::Text:
                return "(" + sql(a) + " || " + sql(b) + ")";
            case JType::Date:
                // A date moved out of the years 100 to 9999 is an Overflow.
                if (a.type == JType::Date && b.type == JType::Date) {
                    if (e.op == Op::Sub) return "((" + sql(a) + " - " + sql(b) + ") / 86400.0)";
                    return "kv_datechk(" + sql(a) + " + " + sql(b) + ")";
                }
                if (a.type == JType::Date)
                    return "kv_datechk(" + sql(a) + " " + opText(e.op) + " " + daysToSeconds(b) +
                           ")";
                return "kv_datechk(" + daysToSeconds(a) + " " + opText(e.op) + " " + sql(b) + ")";
            default:
                break;
        }
        // Division by zero and results out of range are the engine's run-time errors.
        switch (e.op) {
            case Op::Div:
                return "kv_div(" + val(a) + ", " + val(b) + ")";
            case Op::IntDiv:
                return "kv_idiv(" + val(a) + ", " + val(b) + ")";
            case Op::Mod:
                return "kv_mod(" + val(a) + ", " + val(b) + ")";
            case Op::Pow:
                return "kv_pow(" + val(a) + ", " + val(b) + ")";
            default:
                break;
        }
        if (e.domain == JType::Currency) {
            if (e.op == Op::Mul && a.type == JType::Currency && b.type == JType::Currency)
                return "kv_curmul(" + sql(a) + ", " + sql(b) + ")";
            return "kv_curchk(" + val(a) + " " + opText(e.op) + " " + val(b) + ")";
        }
        return "(" + val(a) + " " + opText(e.op) + " " + val(b) + ")";
    }

    std::string call(const BExpr& e) {
        auto arg = [&](size_t i) { return val(*e.args[i]); };
        auto fn = [&](const char* name, size_t n) {
            std::string s = std::string(name) + "(";
            for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + arg(i);
            return s + ")";
        };
        auto datePart = [&](const char* code) {
            return "kv_datepart('" + std::string(code) + "', " + arg(0) + ")";
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
                if (e.type == JType::Currency) return "CAST(round(avg(" + arg(0) + ")) AS INTEGER)";
                return fn("avg", 1);
            case Fn::Date:
                return "kv_date()";
            case Fn::Now:
                return "kv_now()";
            case Fn::Time:
                return "kv_time()";
            case Fn::DateDiff:
                return fn("kv_datediff", 3);
            case Fn::DateAdd:
                return fn("kv_dateadd", 3);
            case Fn::DatePart:
                return fn("kv_datepart", 2);
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
                return fn("kv_dateserial", 3);
            case Fn::DateValue:
                return fn("kv_dayof", 1);
            case Fn::Chr:
                return fn("char", 1);
            case Fn::Asc:
                return fn("kv_asc", 1);
            case Fn::Len:
                return fn("length", 1);
            case Fn::Left:
                return fn("kv_left", 2);
            case Fn::Right:
                return fn("kv_right", 2);
            case Fn::Mid:
                return fn("kv_mid", e.args.size());
            case Fn::UCase:
                return fn("kv_ucase", 1);
            case Fn::LCase:
                return fn("kv_lcase", 1);
            case Fn::Trim:
            case Fn::LTrim:
            case Fn::RTrim: {
                const char* name = e.fn->id == Fn::Trim    ? "trim"
                                   : e.fn->id == Fn::LTrim ? "ltrim"
                                                           : "rtrim";
                return std::string(name) + "(" + arg(0) + ", ' ')";
            }
            case Fn::InStr:
                return "instr(lower(" + arg(0) + "), lower(" + arg(1) + "))";
            case Fn::InStrFrom:
                return fn("kv_instr", e.args.size());
            case Fn::Space:
                return fn("kv_space", 1);
            case Fn::Abs:
                return fn("abs", 1);
            case Fn::Sgn:
                return fn("sign", 1);
            case Fn::Int:
            case Fn::Fix: {
                const char* name = e.fn->id == Fn::Int ? "floor" : "trunc";
                if (e.type == JType::Long) return arg(0);
                if (e.type == JType::Currency)
                    return "(CAST(" + std::string(name) + "(" + arg(0) +
                           " / 10000.0) AS INTEGER) * 10000)";
                return fn(name, 1);
            }
            case Fn::Round:
                return "kv_round(" + arg(0) + ", " + (e.args.size() == 2 ? arg(1) : "0") + ")";
            case Fn::Sqr:
                return fn("sqrt", 1);
            case Fn::Val:
                return fn("kv_val", 1);
            case Fn::CLng:
                return "kv_range(" + arg(0) + ", -2147483648, 2147483647)";
            case Fn::CInt:
                return "kv_range(" + arg(0) + ", -32768, 32767)";
            case Fn::CByte:
                return "kv_range(" + arg(0) + ", 0, 255)";
            case Fn::Str:
                return fn("kv_str", 1);
            case Fn::Format:
                return "kv_format(" + arg(0) + ", " + (e.args.size() > 1 ? arg(1) : "NULL") + ", " +
                       std::to_string(static_cast<int>(e.args[0]->type)) + ")";
            case Fn::Hex:
                return fn("kv_hex", 1);
            case Fn::StrComp:
                return "kv_strcomp(" + arg(0) + ", " + arg(1) + ", " +
                       (e.args.size() == 3 ? arg(2) : "1") + ")";
            case Fn::Choose: {
                std::string r = "(CASE " + arg(0);
                for (size_t i = 1; i < e.args.size(); ++i)
                    r += " WHEN " + std::to_string(i) + " THEN " + arg(i);
                return r + " END)";
            }
            case Fn::First:
                return fn("kv_first", 1);
            case Fn::Last:
                return fn("kv_last", 1);
            case Fn::StDev:
                return fn("kv_stdev", 1);
            case Fn::StDevP:
                return fn("kv_stdevp", 1);
            case Fn::Var:
                return fn("kv_var", 1);
            case Fn::VarP:
                return fn("kv_varp", 1);
            case Fn::CDate:
            case Fn::CStr:
            case Fn::CDbl:
            case Fn::CSng:
            case Fn::CCur:
            case Fn::CBool:
                return arg(0);  // the conversion is the argument's
            case Fn::IIf:
            case Fn::IsNull:
            case Fn::Nz:
            case Fn::Switch:
                break;  // bound as their own kinds
        }
        throw JetError::make(err::kUndefinedFunction, std::string(e.fn->name));
    }

    // ---- FROM and SELECT ------------------------------------------------------------------
    const BoundTable& tableAt(int depth, int table) const {
        const BoundSelect* s = scopes_[scopes_.size() - 1 - static_cast<size_t>(depth)];
        return s->tables[static_cast<size_t>(table)];
    }

    std::string from(const BoundSelect& s, const BoundFrom& f) {
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

    std::string fromList(const BoundSelect& s) {
        std::string out;
        for (size_t i = 0; i < s.from.size(); ++i) out += (i ? ", " : "") + from(s, s.from[i]);
        return out;
    }

    std::string subquery(const BoundSelect& s) { return select(s, false); }

    std::string select(const BoundSelect& s, bool top) {
        scopes_.push_back(&s);
        std::string fromText = fromList(s);
        // DISTINCT and GROUP BY tell text apart without regard to case, as columns do.
        const bool distinct = s.quantifier == jetsql::SelectStmt::Quantifier::Distinct;
        auto caseBlind = [](const BExpr& x) {
            return IsText(x.type) && x.kind != K::Column ? " COLLATE NOCASE" : "";
        };
        std::vector<std::string> values;
        std::string list;
        for (size_t i = 0; i < s.items.size(); ++i) {
            values.push_back(val(*s.items[i].expr) + (distinct ? caseBlind(*s.items[i].expr) : ""));
            list += (i ? ", " : "") + values.back() + " AS " + QuoteIdent(s.items[i].name);
        }
        std::string body;
        if (!fromText.empty()) body += " FROM " + fromText;
        if (s.where) body += " WHERE " + cond(*s.where);
        if (!s.groupBy.empty()) {
            body += " GROUP BY ";
            for (size_t i = 0; i < s.groupBy.size(); ++i)
                body += (i ? ", " : "") + val(*s.groupBy[i]) + caseBlind(*s.groupBy[i]);
        } else if (!s.rowidGroup.empty()) {
            body += " GROUP BY ";
            for (size_t i = 0; i < s.rowidGroup.size(); ++i)
                body += (i ? ", " : "") + rowidOf(s.tables[static_cast<size_t>(s.rowidGroup[i])]);
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
            const std::string tail =
                std::string(IsText(x.type) ? " COLLATE NOCASE" : "") + (o.desc ? " DESC" : "");
            std::string term = o.outputColumn >= 0
                                   ? std::to_string(o.outputColumn + 1 + (s.updatable ? 1 : 0))
                                   : val(x);
            order += (i ? ", " : "") + term + tail;
            windowOrder += (i ? ", " : "") + val(x) + tail;
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
            std::string limit = slotRef(s.topSlot);
            if (s.topPercent) {
                inner += ", count(*) OVER () AS kv_total";
                std::string share = "(" + limit + " * kv_total / 100.0)";
                limit = "(CAST(" + share + " AS INTEGER) + (" + share + " > CAST(" + share +
                        " AS INTEGER)))";
            }
            out = outer + " FROM (" + inner + body + ") WHERE kv_rank <= " + limit +
                  " ORDER BY kv_rank";
        } else {
            out = std::string("SELECT ") + (distinct ? "DISTINCT " : "") +
                  (s.updatable ? rowid + ", " : "") + list + body;
            if (!order.empty()) out += " ORDER BY " + order;
            if (s.topSlot >= 0) out += " LIMIT " + slotRef(s.topSlot);
        }
        if (top && s.updatable) {
            const BoundTable& b = s.tables[0];
            fetchSql_ = "SELECT " + list + " FROM " + stored(b) + " AS " + alias(b) + " WHERE " +
                        rowid + " = ?" + std::to_string(st_.slots.size() + 1);
        }
        scopes_.pop_back();
        return out;
    }

    // ---- statements ------------------------------------------------------------------------
    std::string insert() {
        std::string sql =
            "INSERT INTO " + QuoteIdent(st_.writeSchema) + "." + QuoteIdent(st_.writeTable) + " (";
        for (size_t i = 0; i < st_.insertColumns.size(); ++i)
            sql += (i ? ", " : "") + QuoteIdent(st_.insertColumns[i]->name);
        sql += ") ";
        if (st_.select) return sql + select(*st_.select, false);
        scopes_.push_back(&st_.scope);
        sql += "VALUES (";
        for (size_t i = 0; i < st_.values.size(); ++i) sql += (i ? ", " : "") + val(*st_.values[i]);
        scopes_.pop_back();
        return sql + ")";
    }

    std::string update() {
        const BoundSelect& sc = st_.scope;
        scopes_.push_back(&sc);
        const BoundTable& b = sc.tables[static_cast<size_t>(st_.target)];
        std::string sets;
        for (size_t i = 0; i < st_.assignments.size(); ++i)
            sets +=
                (i ? ", " : "") +
                QuoteIdent(b.info.columns[static_cast<size_t>(st_.assignments[i].column)].name) +
                " = " + val(*st_.assignments[i].value);
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

    std::string remove() {
        const BoundSelect& sc = st_.scope;
        scopes_.push_back(&sc);
        const BoundTable& b = sc.tables[static_cast<size_t>(st_.target)];
        std::string where = sc.where ? cond(*sc.where) : "";
        std::string out;
        if (st_.writeShape == BoundStatement::WriteShape::OneTable) {
            out = "DELETE FROM " + stored(b) + " AS " + alias(b) +
                  (where.empty() ? "" : " WHERE " + where);
        } else {
            out = "DELETE FROM " + stored(b) + " WHERE " + b.info.rowid + " IN (SELECT " +
                  rowidOf(b) + " FROM " + fromList(sc) + (where.empty() ? "" : " WHERE " + where) +
                  ")";
        }
        scopes_.pop_back();
        return out;
    }

    std::shared_ptr<Translation> run() {
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

  private:
    const BoundStatement& st_;
    std::vector<const BoundSelect*> scopes_;
    std::string fetchSql_;
};

}  // namespace

std::shared_ptr<Translation> Emit(const BoundStatement& st) {
    Emitter e(st);
    return e.run();
}

}  // namespace kelvor::sqlite
