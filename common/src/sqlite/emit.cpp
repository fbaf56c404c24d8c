// The SQLite emitter: prints a bound, planned statement as SQLite SQL that gives the engine's
// answers. Dates are stored as seconds from day 0 and money as ten-thousandths; the engine's
// True is -1 where SQLite's comparisons give 1, so a truth value is negated where it is used
// as a value; text compares without regard to case. The walk over the statement is shared
// with the other engines (emit/emitter.h).
#include "sqlite/emit.h"

#include "emit/emitter.h"
#include "jetsql/binder_impl.h"
#include "kelvor/jet_error.h"

namespace kelvor::sqlite {

using jetsql::BExpr;
using jetsql::BoundStatement;
using jetsql::Fn;
using jetsql::IsFloating;
using jetsql::IsIntegral;
using jetsql::IsPredicate;
using jetsql::IsText;
using jetsql::JType;
using Op = BExpr::Op;

namespace {

class Emitter : public emit::Emitter {
  public:
    using emit::Emitter::Emitter;

  protected:
    std::string slotRef(int slot, JType) const override { return "?" + std::to_string(slot + 1); }
    std::string caseBlind() const override { return " COLLATE NOCASE"; }
    std::string lib(std::string_view name) const override { return std::string(name); }
    std::string raise(int number, const std::string&) const override {
        return "kv_raise(" + std::to_string(number) + ")";
    }
    std::string ceiling(const std::string& x) const override {
        return "(CAST(" + x + " AS INTEGER) + (" + x + " > CAST(" + x + " AS INTEGER)))";
    }

    // An expression as a value: truth values become the engine's -1 and 0.
    std::string val(const BExpr& e) override {
        // Every truth value is written as one parenthesized group or one call, and * binds
        // tighter than anything it meets: it needs no parentheses of its own, and SQLite's
        // parser takes only so many nested ones.
        std::string s = sql(e);
        return IsPredicate(e) ? s + "*-1" : s;
    }
    // As a condition: SQLite takes any non-zero number as true, so engine Booleans serve as is.
    std::string cond(const BExpr& e) override { return sql(e); }

    // A value of the engine's type `from` in the representation of `to`.
    std::string cast(const BExpr& x, JType to) override {
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
    std::string store(const BExpr& x, JType t) override {
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

    std::string arith(const BExpr& e) override {
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

    std::string call(const BExpr& e) override {
        auto arg = [&](size_t i) { return val(*e.args[i]); };
        switch (e.fn->id) {
            case Fn::Avg:
                if (e.type == JType::Currency) return "CAST(round(avg(" + arg(0) + ")) AS INTEGER)";
                break;
            case Fn::Chr:
                return "char(" + arg(0) + ")";
            case Fn::InStr:
                return "instr(lower(" + arg(0) + "), lower(" + arg(1) + "))";
            case Fn::Int:
            case Fn::Fix:
                if (e.type == JType::Currency)
                    return std::string("(CAST(") + (e.fn->id == Fn::Int ? "floor" : "trunc") + "(" +
                           arg(0) + " / 10000.0) AS INTEGER) * 10000)";
                break;
            default:
                break;
        }
        return emit::Emitter::call(e);
    }
};

}  // namespace

std::shared_ptr<Translation> Emit(const BoundStatement& st) {
    Emitter e(st);
    return e.run();
}

}  // namespace kelvor::sqlite
