// The PostgreSQL emitter. Values keep PostgreSQL's own types (money numeric, dates timestamp,
// YESNO columns boolean), so most conversions are casts; a truth value used as a number is the
// engine's -1 or 0, and a number used as a condition is true when it is not 0. Text compares
// under the collation kelvor.kelvor_text, which every text column carries and which computed
// text is given where it is compared, grouped or sorted.
#include "pg/emit.h"

#include "emit/emitter.h"
#include "jetsql/binder_impl.h"
#include "kelvor/jet_error.h"

namespace kelvor::pg {

using jetsql::BExpr;
using jetsql::BoundStatement;
using jetsql::Fn;
using jetsql::IsFloating;
using jetsql::IsIntegral;
using jetsql::IsPredicate;
using jetsql::IsText;
using jetsql::JType;
using K = BExpr::Kind;
using Op = BExpr::Op;

const char* ValueType(JType t) {
    switch (t) {
        case JType::Boolean:
        case JType::Byte:
        case JType::Integer:
        case JType::Long:
            // As wide as the SQLite side's integers: a literal or sum past 2^31 is a number
            // until it is written to a column.
            return "bigint";
        case JType::Currency:
            return "numeric";
        case JType::Single:
            return "real";
        case JType::Double:
            return "double precision";
        case JType::Date:
            return "timestamp(0)";
        case JType::Text:
        case JType::Memo:
        case JType::Variant:
        case JType::Null:
            return "text";
    }
    return "text";
}

namespace {

class Emitter : public emit::Emitter {
  public:
    using emit::Emitter::Emitter;

  protected:
    std::string slotRef(int slot, JType t) const override {
        return "$" + std::to_string(slot + 1) + "::" + ValueType(t);
    }
    std::string identitySlot(int slot, const std::string& rowid) const override {
        return "$" + std::to_string(slot + 1) + (rowid == "ctid" ? "::tid" : "::bigint");
    }
    std::string caseBlind() const override { return " COLLATE kelvor.kelvor_text"; }
    std::string lib(std::string_view name) const override { return "kelvor." + std::string(name); }
    std::string raise(int number, const std::string& like) const override {
        return "kelvor.kv_raise(" + std::to_string(number) + ", " + like + ")";
    }
    std::string ceiling(const std::string& x) const override { return "ceil(" + x + ")"; }
    bool collateItems() const override { return true; }

    // A truth value: a predicate, or a YESNO column of a stored table (PostgreSQL's boolean;
    // a derived table's Boolean columns hold the engine's -1 and 0).
    bool isTruth(const BExpr& e) const {
        return IsPredicate(e) ||
               (e.kind == K::Column && e.type == JType::Boolean && tableAt(e.depth, e.table).base);
    }
    std::string val(const BExpr& e) override {
        std::string s = sql(e);
        if (isTruth(e)) return "(-(" + s + ")::integer)";
        return s;
    }
    std::string cond(const BExpr& e) override {
        if (isTruth(e)) return sql(e);
        if (e.kind == K::Boolean) return e.truth ? "true" : "false";
        if (e.kind == K::Null) return "NULL::boolean";
        return "(" + sql(e) + " <> 0)";
    }

    // A number of days as an interval.
    static std::string days(const std::string& n) {
        return "kelvor.kv_days((" + n + ")::double precision)";
    }

    std::string cast(const BExpr& x, JType to) override {
        const JType from = x.type;
        const bool whole = isTruth(x) || IsIntegral(from);
        const std::string s = sql(x);
        switch (to) {
            case JType::Currency:
                if (whole) return "(" + val(x) + ")::numeric";
                if (IsFloating(from)) return "kelvor.kv_ccur((" + s + ")::double precision)";
                if (from == JType::Date) return "round(kelvor.kv_serial(" + s + ")::numeric, 4)";
                if (from == JType::Currency) return s;
                return "kelvor.kv_ccur((" + val(x) + ")::text)";
            case JType::Double:
            case JType::Single:
                if (from == JType::Date) return "kelvor.kv_serial(" + s + ")";
                if (IsText(from) || from == JType::Variant)
                    return "kelvor.kv_cdbl((" + val(x) + ")::text)";
                return "(" + val(x) + ")::double precision";
            case JType::Long:
                if (whole) return val(x);
                if (from == JType::Date) return "kelvor.kv_cround(kelvor.kv_serial(" + s + "))";
                if (IsText(from) || from == JType::Variant)
                    return "kelvor.kv_cround(kelvor.kv_cdbl((" + val(x) + ")::text))";
                return "kelvor.kv_cround((" + s + ")::double precision)";
            case JType::Date:
                if (from == JType::Date) return s;
                if (IsText(from) || from == JType::Variant)
                    return "kelvor.kv_cdate((" + val(x) + ")::text)";
                return "kelvor.kv_fromserial((" + val(x) + ")::double precision)";
            case JType::Text:
            case JType::Memo:
                if (from == JType::Currency) return "kelvor.kv_curtext(" + s + ")";
                if (from == JType::Date) return "kelvor.kv_datetext(" + s + ")";
                if (whole) return "(" + val(x) + ")::text";
                if (IsFloating(from)) return "kelvor.kv_text((" + s + ")::double precision)";
                return "(" + val(x) + ")::text";
            case JType::Boolean:
                if (isTruth(x)) return val(x);
                if (IsText(from) || from == JType::Variant)
                    return "kelvor.kv_cbool((" + val(x) + ")::text)";
                return "(-((" + s + ") <> 0)::integer)";
            case JType::Variant:
                // A value of no one type: PostgreSQL wants one, and text is what every value
                // can be written as.
                if (from == JType::Variant || IsText(from) || from == JType::Null) return val(x);
                return cast(x, JType::Text);
            default:
                return val(x);
        }
    }

    // A value written to a column of type `t`; numbers that do not fit are 3349, as on SQLite.
    std::string store(const BExpr& x, JType t) override {
        const JType from = x.type;
        const bool whole = isTruth(x) || IsIntegral(from);
        auto number = [&]() -> std::string {
            if (whole || from == JType::Currency) return "(" + val(x) + ")::numeric";
            if (from == JType::Date) return "kelvor.kv_serial(" + sql(x) + ")::numeric";
            if (IsFloating(from)) return "kelvor.kv_fitnum((" + sql(x) + ")::double precision)";
            return "kelvor.kv_fitnum(kelvor.kv_cdbl((" + val(x) + ")::text))";
        };
        switch (t) {
            case JType::Byte:
                return "kelvor.kv_fit(" + number() + ", 0, 255)::smallint";
            case JType::Integer:
                return "kelvor.kv_fit(" + number() + ", -32768, 32767)::smallint";
            case JType::Long:
                return "kelvor.kv_fit(" + number() + ", -2147483648, 2147483647)::integer";
            case JType::Currency:
                return "kelvor.kv_fitcur(" + number() + ")";
            case JType::Single:
                return "kelvor.kv_fitsingle(" + cast(x, JType::Double) + ")";
            case JType::Double:
                return "kelvor.kv_fitdouble(" + cast(x, JType::Double) + ")";
            case JType::Boolean:
                if (isTruth(x)) return cond(x);
                return "(" + cast(x, JType::Double) + " <> 0)";
            case JType::Date:
                return cast(x, JType::Date);
            case JType::Text:
            case JType::Memo:
                return cast(x, JType::Text);
            default:
                return val(x);
        }
    }

    std::string arith(const BExpr& e) override {
        const BExpr& a = *e.args[0];
        const BExpr& b = *e.args[1];
        switch (e.domain) {
            case JType::Text:
                return "(" + val(a) + " || " + val(b) + ")";
            case JType::Date:
                if (a.type == JType::Date && b.type == JType::Date) {
                    if (e.op == Op::Sub)
                        return "(kelvor.kv_serial(" + sql(a) + ") - kelvor.kv_serial(" + sql(b) +
                               "))";
                    return "kelvor.kv_fromserial(kelvor.kv_serial(" + sql(a) +
                           ") + kelvor.kv_serial(" + sql(b) + "))";
                }
                if (a.type == JType::Date)
                    return "kelvor.kv_datechk(" + sql(a) + " " + opText(e.op) + " " +
                           days(cast(b, JType::Double)) + ")";
                return "kelvor.kv_datechk(" + sql(b) + " " + opText(e.op) + " " +
                       days(cast(a, JType::Double)) + ")";
            default:
                break;
        }
        switch (e.op) {
            case Op::Div:
                if (e.type == JType::Currency)
                    return "kelvor.kv_div((" + val(a) + ")::numeric, (" + val(b) + ")::numeric)";
                return "kelvor.kv_div((" + val(a) + ")::double precision, (" + val(b) +
                       ")::double precision)";
            case Op::IntDiv:
                return "kelvor.kv_idiv((" + val(a) + ")::bigint, (" + val(b) + ")::bigint)";
            case Op::Mod:
                return "kelvor.kv_mod((" + val(a) + ")::bigint, (" + val(b) + ")::bigint)";
            case Op::Pow:
                return "kelvor.kv_pow((" + val(a) + ")::double precision, (" + val(b) +
                       ")::double precision)";
            default:
                break;
        }
        if (e.domain == JType::Currency) {
            std::string r =
                "(" + val(a) + ")::numeric " + opText(e.op) + " (" + val(b) + ")::numeric";
            if (e.op == Op::Mul) r = "round(" + r + ", 4)";
            // Checked by a cast to the range's domain, and read back as numeric, so that a
            // column made from it (SELECT ... INTO) is numeric.
            return "((" + r + ")::kelvor.kv_currency)::numeric";
        }
        if (e.domain == JType::Long) {
            // PostgreSQL's integer arithmetic fails with its overflow error, the engine's 6.
            return "(" + val(a) + " " + opText(e.op) + " " + val(b) + ")";
        }
        return "((" + val(a) + ")::double precision " + opText(e.op) + " (" + val(b) +
               ")::double precision)";
    }

    // A choice of values of different types is a Variant: PostgreSQL wants one type, and
    // every value can be written as text.
    std::string branch(const BExpr& x, JType type) override {
        if (type != JType::Variant || IsText(x.type) || x.type == JType::Variant ||
            x.type == JType::Null)
            return val(x);
        return cast(x, JType::Text);
    }

    std::string between(const BExpr& e) override {
        const BExpr& x = *e.args[0];
        if (x.kind == K::Column || x.kind == K::Slot) return emit::Emitter::between(e);
        // The three in one type, as the function takes them.
        const std::string t = std::string("::") + ValueType(e.domain);
        std::string r = "kelvor.kv_between((" + val(x) + ")" + t +
                        (e.domain == JType::Text ? caseBlind() : "") + ", (" + val(*e.args[1]) +
                        ")" + t + ", (" + val(*e.args[2]) + ")" + t + ")";
        return e.negated ? "(NOT " + r + ")" : r;
    }

    // YESNO columns are PostgreSQL's booleans.
    std::string written(const BExpr& x, const sqlite::ColumnInfo& c) override {
        return c.type == JType::Boolean ? cond(x) : val(x);
    }
    std::string writtenOutput(const std::string& name, const sqlite::ColumnInfo& c) override {
        return c.type == JType::Boolean ? "(" + name + " <> 0)" : name;
    }
    bool groupShownWithIdentity() const override { return true; }
    bool sortsGroups() const override { return true; }
    // The engine sorts Null first ascending and last descending; PostgreSQL the other way.
    std::string nullsOrder(bool desc) const override {
        return desc ? " NULLS LAST" : " NULLS FIRST";
    }

    std::string call(const BExpr& e) override {
        auto arg = [&](size_t i) { return val(*e.args[i]); };
        switch (e.fn->id) {
            case Fn::Avg:
                if (e.type == JType::Currency) return "round(avg(" + arg(0) + "), 4)";
                return "avg((" + arg(0) + ")::double precision)";
            case Fn::Count:
                return "count(" + arg(0) + ")::integer";
            case Fn::Chr:
                return "chr((" + arg(0) + ")::integer)";
            case Fn::InStr:
                return "kelvor.kv_instr(1, " + arg(0) + ", " + arg(1) + ")";
            case Fn::Len:
                return "length(" + arg(0) + ")";
            case Fn::StDev:
                return "stddev_samp(" + arg(0) + ")";
            case Fn::StDevP:
                return "stddev_pop(" + arg(0) + ")";
            case Fn::Var:
                return "var_samp(" + arg(0) + ")";
            case Fn::VarP:
                return "var_pop(" + arg(0) + ")";
            case Fn::Int:
            case Fn::Fix:
                if (e.type == JType::Currency)
                    return std::string(e.fn->id == Fn::Int ? "floor" : "trunc") + "(" + arg(0) +
                           ")";
                break;
            case Fn::Format:
                return "kelvor.kv_format(" + cast(*e.args[0], JType::Text) + ", " +
                       (e.args.size() > 1 ? arg(1) : "NULL") + ", " +
                       std::to_string(static_cast<int>(e.args[0]->type)) + ")";
            default:
                break;
        }
        return emit::Emitter::call(e);
    }
};

}  // namespace

std::shared_ptr<sqlite::Translation> Emit(const BoundStatement& st) {
    Emitter e(st);
    return e.run();
}

}  // namespace kelvor::pg
