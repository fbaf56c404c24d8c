#include "sqlite/translate.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "sqlite/dialect.h"

namespace kelvor::sqlite {

using dialect::QuoteIdent;
using jetsql::Expr;
using jetsql::JType;
using jetsql::SelectStmt;
using jetsql::Statement;
using jetsql::TableRef;
using jetsql::Tok;

JType LiteralType(const jetsql::Literal& lit) {
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

constexpr int kMaxQueryNesting = 16;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// An emitted expression: SQL text, engine type, whether it is a SQLite truth value (1/0)
// rather than an engine value (-1/0), and the parameter slot when it is a bare literal or
// parameter whose conversion can still be chosen.
struct Ex {
    std::string sql;
    JType type = JType::Variant;
    bool pred = false;
    int slot = -1;
    bool aggregate = false;
    int boundTable = -1;  // plain column reference: index of its table in the scope
    int column = -1;      // ... and of the column in that table
};

struct Bound {
    std::string name;  // the name statements use: alias or table name
    std::string sqlAlias;
    bool base = false;  // a real table whose rows have an identity the SQL can name
    std::string schema, phys;
    TableInfo info;
};

// A record's identity in SQL text (see TableInfo::rowid).
std::string rowidOf(const Bound& b) {
    return b.sqlAlias + "." + b.info.rowid;
}

struct Scope {
    std::vector<Bound> tables;
    Scope* outer = nullptr;
    std::vector<std::pair<std::string, Expr*>> aliases;  // select-list aliases
    std::set<int> referenced;  // tables of this scope that the emitted text names
};

class Translator {
  public:
    Translator(const std::vector<jetsql::Literal>& literals, Resolver& resolver,
               std::vector<jetsql::ParamDecl> declared)
        : literals_(&literals), resolver_(resolver), declared_(std::move(declared)) {
        out_ = std::make_shared<Translation>();
        for (size_t i = 0; i < literals.size(); ++i) {
            Slot s;
            s.kind = Slot::Kind::Literal;
            s.literal = static_cast<int>(i);
            out_->slots.push_back(std::move(s));
        }
    }

    std::shared_ptr<Translation> run(Statement& st) {
        out_->kind = st.kind;
        switch (st.kind) {
            case Statement::Kind::Select: {
                SelectResult r = select(*st.select, nullptr, nullptr, true);
                out_->sql = std::move(r.sql);
                out_->columns = std::move(r.columns);
                break;
            }
            case Statement::Kind::Insert:
                insert(st);
                break;
            case Statement::Kind::Update:
                update(st);
                break;
            case Statement::Kind::Delete:
                remove(st);
                break;
            default:
                throw JetError::make(err::kInvalidSql);
        }
        return out_;
    }

  private:
    const std::vector<jetsql::Literal>* literals_;
    int literalBase_ = 0;
    Resolver& resolver_;
    std::vector<jetsql::ParamDecl> declared_;
    std::shared_ptr<Translation> out_;
    Scope* scope_ = nullptr;
    int nesting_ = 0;
    int exprCounter_ = 0;

    struct SelectResult {
        std::string sql;
        std::vector<OutputColumn> columns;
    };

    static std::string slotRef(int slot) { return "?" + std::to_string(slot + 1); }

    // ---- conversions ------------------------------------------------------------------
    static std::string val(const Ex& e) { return e.pred ? "(-(" + e.sql + "))" : e.sql; }
    // As a condition: SQLite takes any non-zero number as true, so engine Booleans serve as is.
    static std::string cond(const Ex& e) { return e.sql; }

    bool takeSlot(Ex& e, Conv c, JType t) {
        if (e.slot < 0) return false;
        Slot& s = out_->slots[static_cast<size_t>(e.slot)];
        if (s.conv != Conv::None && s.conv != c) return false;
        s.conv = c;
        e.type = t;
        return true;
    }

    std::string asCurrency(Ex e) {
        if (e.type == JType::Currency) return e.sql;
        if (e.type == JType::Null) return "NULL";
        if (takeSlot(e, Conv::Currency, JType::Currency)) return e.sql;
        if (e.pred || jetsql::IsIntegral(e.type)) return "(" + val(e) + " * 10000)";
        if (jetsql::IsFloating(e.type)) return "CAST(round(" + e.sql + " * 10000) AS INTEGER)";
        if (e.type == JType::Date) return "CAST(round(" + e.sql + " / 8.64) AS INTEGER)";
        return "kv_ccur(" + e.sql + ")";
    }
    std::string asDouble(Ex e) {
        if (e.type == JType::Currency) return "(" + e.sql + " / 10000.0)";
        if (e.type == JType::Date) return "(" + e.sql + " / 86400.0)";
        if (e.type == JType::Null) return "NULL";
        if (takeSlot(e, Conv::Double, JType::Double)) return e.sql;
        if (jetsql::IsText(e.type)) return "kv_cdbl(" + e.sql + ")";
        return val(e);
    }
    std::string asDate(Ex e) {
        if (e.type == JType::Date) return e.sql;
        if (e.type == JType::Null) return "NULL";
        if (takeSlot(e, Conv::Date, JType::Date)) return e.sql;
        if (e.type == JType::Currency) return "CAST(round(" + e.sql + " * 8.64) AS INTEGER)";
        if (e.pred || jetsql::IsIntegral(e.type)) return "(" + val(e) + " * 86400)";
        if (jetsql::IsFloating(e.type)) return "CAST(round(" + e.sql + " * 86400) AS INTEGER)";
        return "kv_cdate(" + e.sql + ")";
    }
    std::string asText(Ex e) {
        if (jetsql::IsText(e.type)) return e.sql;
        if (e.type == JType::Null) return "NULL";
        if (takeSlot(e, Conv::Text, JType::Text)) return e.sql;
        if (e.type == JType::Currency) return "kv_curtext(" + e.sql + ")";
        if (e.type == JType::Date) return "kv_datetext(" + e.sql + ")";
        return "CAST(" + val(e) + " AS TEXT)";
    }
    std::string asLong(Ex e) {
        if (e.type == JType::Null) return "NULL";
        if (e.pred || jetsql::IsIntegral(e.type)) return val(e);
        if (takeSlot(e, Conv::Long, JType::Long)) return e.sql;
        if (e.type == JType::Currency) return "kv_cround(" + e.sql + " / 10000.0)";
        if (e.type == JType::Date) return "kv_cround(" + e.sql + " / 86400.0)";
        return "kv_cround(" + e.sql + ")";
    }
    std::string asBool(Ex e) {
        if (e.pred) return val(e);
        if (e.type == JType::Boolean) return e.sql;
        if (e.type == JType::Null) return "NULL";
        if (takeSlot(e, Conv::Boolean, JType::Boolean)) return e.sql;
        return "kv_cbool(" + e.sql + ")";
    }
    std::string toType(const Ex& e, JType t) {
        switch (t) {
            case JType::Boolean:
                return asBool(e);
            case JType::Byte:
            case JType::Integer:
            case JType::Long:
                return asLong(e);
            case JType::Single:
            case JType::Double:
                return asDouble(e);
            case JType::Currency:
                return asCurrency(e);
            case JType::Date:
                return asDate(e);
            case JType::Text:
            case JType::Memo:
                return asText(e);
            default:
                return val(e);
        }
    }

    // A value written to a column of type `t`. Numbers pass through kv_fit, which fails the
    // statement when one does not fit the column instead of letting SQLite store it wrapped or
    // cut; they reach it unrounded, so that it rounds as the engine does (half to even).
    std::string toStored(Ex e, JType t) {
        if (e.type == JType::Null) return "NULL";
        std::string x;
        switch (t) {
            case JType::Byte:
            case JType::Integer:
            case JType::Long:
                if (e.pred || jetsql::IsIntegral(e.type))
                    x = val(e);
                else if (e.type == JType::Currency)
                    x = "(" + e.sql + " / 10000.0)";
                else if (e.type == JType::Date)
                    x = "(" + e.sql + " / 86400.0)";
                else if (e.slot < 0 || takeSlot(e, Conv::Double, JType::Double))
                    x = e.sql;  // kv_fit reads text as a number
                else
                    x = asLong(e);
                break;
            case JType::Currency:
                // kv_fit takes numbers as ten-thousandths and reads text as an amount.
                if (e.slot >= 0 || e.type == JType::Currency || e.type == JType::Date ||
                    e.type == JType::Variant)
                    x = asCurrency(e);
                else if (e.pred || jetsql::IsIntegral(e.type))
                    x = "(" + val(e) + " * 10000)";
                else if (jetsql::IsFloating(e.type))
                    x = "(" + e.sql + " * 10000.0)";
                else
                    x = e.sql;
                break;
            case JType::Single:
            case JType::Double:
                x = asDouble(e);
                break;
            default:
                return toType(e, t);
        }
        return "kv_fit(" + x + ", " + std::to_string(static_cast<int>(t)) + ")";
    }

    // ---- names ----------------------------------------------------------------------------
    int paramSlot(const std::string& name) {
        for (size_t i = 0; i < out_->slots.size(); ++i) {
            const Slot& s = out_->slots[i];
            if (s.kind == Slot::Kind::Param && EqualNoCase(s.param, name))
                return static_cast<int>(i);
        }
        Slot s;
        s.kind = Slot::Kind::Param;
        s.param = name;
        jetsql::ParamDecl decl{name, JType::Variant, 0};
        for (const auto& d : declared_) {
            if (EqualNoCase(d.name, name)) {
                decl = d;
                break;
            }
        }
        s.paramType = decl.type;
        s.conv = decl.type == JType::Variant ? Conv::None : convFor(decl.type);
        out_->slots.push_back(std::move(s));
        out_->params.push_back(decl);
        return static_cast<int>(out_->slots.size() - 1);
    }

    static Conv convFor(JType t) {
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

    Ex columnEx(Scope& sc, int tableIndex, int colIndex) {
        const Bound& b = sc.tables[static_cast<size_t>(tableIndex)];
        const ColumnInfo& c = b.info.columns[static_cast<size_t>(colIndex)];
        sc.referenced.insert(tableIndex);
        Ex e;
        e.sql = b.sqlAlias + "." + QuoteIdent(c.name);
        e.type = c.type;
        if (&sc == scope_) {
            e.boundTable = tableIndex;
            e.column = colIndex;
        }
        return e;
    }

    static int findColumn(const Bound& b, std::string_view name) {
        for (size_t i = 0; i < b.info.columns.size(); ++i)
            if (EqualNoCase(b.info.columns[i].name, name)) return static_cast<int>(i);
        return -1;
    }

    Ex name(Expr& e, int depth) {
        if (!e.qualifier.empty()) {
            for (Scope* sc = scope_; sc; sc = sc->outer) {
                for (size_t t = 0; t < sc->tables.size(); ++t) {
                    if (!EqualNoCase(sc->tables[t].name, e.qualifier)) continue;
                    int c = findColumn(sc->tables[t], e.name);
                    if (c >= 0) return columnEx(*sc, static_cast<int>(t), c);
                    return param(e.qualifier + "." + e.name);
                }
            }
            return param(e.qualifier + "." + e.name);
        }
        for (Scope* sc = scope_; sc; sc = sc->outer) {
            int foundTable = -1, foundCol = -1;
            for (size_t t = 0; t < sc->tables.size(); ++t) {
                int c = findColumn(sc->tables[t], e.name);
                if (c < 0) continue;
                if (foundTable >= 0) throw JetError::make(err::kAmbiguousField, e.name);
                foundTable = static_cast<int>(t);
                foundCol = c;
            }
            if (foundTable >= 0) return columnEx(*sc, foundTable, foundCol);
            if (sc == scope_ && depth < 8) {
                for (auto& [alias, target] : sc->aliases) {
                    if (EqualNoCase(alias, e.name) && target != &e) return expr(*target, depth + 1);
                }
            }
        }
        return param(e.name);
    }

    Ex param(const std::string& name) {
        Ex x;
        x.slot = paramSlot(name);
        x.sql = slotRef(x.slot);
        x.type = out_->slots[static_cast<size_t>(x.slot)].paramType;
        return x;
    }

    // ---- expressions ------------------------------------------------------------------------
    Ex expr(Expr& e, int depth = 0) {
        switch (e.kind) {
            case Expr::Kind::Literal: {
                Ex x;
                x.slot = literalBase_ + e.literal;
                x.sql = slotRef(x.slot);
                const jetsql::Literal& lit = literalAt(e.literal);
                x.type = LiteralType(lit);
                if (lit.kind == Tok::DateLit)
                    out_->slots[static_cast<size_t>(x.slot)].conv = Conv::Date;
                return x;
            }
            case Expr::Kind::Null:
                return Ex{"NULL", JType::Null};
            case Expr::Kind::True:
                return Ex{"-1", JType::Boolean};
            case Expr::Kind::False:
                return Ex{"0", JType::Boolean};
            case Expr::Kind::Name:
                return name(e, depth);
            case Expr::Kind::Star:
                throw JetError::make(err::kSyntaxInExpression, "*");
            case Expr::Kind::Unary:
                return unary(e, depth);
            case Expr::Kind::Binary:
                return binary(e, depth);
            case Expr::Kind::Call:
                return call(e, depth);
            case Expr::Kind::IsNull: {
                Ex a = expr(*e.args[0], depth);
                Ex r;
                r.sql = "(" + val(a) + (e.negated ? " IS NOT NULL)" : " IS NULL)");
                r.type = JType::Boolean;
                r.pred = true;
                r.aggregate = a.aggregate;
                return r;
            }
            case Expr::Kind::Between: {
                Ex x = expr(*e.args[0], depth);
                Ex lo = expr(*e.args[1], depth);
                Ex hi = expr(*e.args[2], depth);
                Ex r;
                r.sql = "(" + compare(x, lo, ">=").sql + " AND " + compare(x, hi, "<=").sql + ")";
                if (e.negated) r.sql = "(NOT " + r.sql + ")";
                r.type = JType::Boolean;
                r.pred = true;
                return r;
            }
            case Expr::Kind::InList: {
                Ex x = expr(*e.args[0], depth);
                std::string items, lhs;
                for (size_t i = 1; i < e.args.size(); ++i) {
                    Ex item = expr(*e.args[i], depth);
                    auto [l, r] = unify(x, item);
                    if (i == 1) lhs = l;
                    if (i > 1) items += ", ";
                    items += r;
                }
                Ex r;
                if (jetsql::IsText(x.type)) lhs += " COLLATE NOCASE";
                r.sql = "(" + lhs + (e.negated ? " NOT IN (" : " IN (") + items + "))";
                r.type = JType::Boolean;
                r.pred = true;
                return r;
            }
            case Expr::Kind::InSelect: {
                Ex x = expr(*e.args[0], depth);
                SelectResult s = select(*e.sub, scope_, nullptr, false);
                Ex r;
                r.sql = "(" + val(x) + (e.negated ? " NOT IN (" : " IN (") + s.sql + "))";
                r.type = JType::Boolean;
                r.pred = true;
                return r;
            }
            case Expr::Kind::Like: {
                Ex a = expr(*e.args[0], depth);
                Ex p = expr(*e.args[1], depth);
                Ex r;
                r.sql = "kv_like(" + asText(a) + ", " + asText(p) + ")";
                if (e.negated) r.sql = "(NOT " + r.sql + ")";
                r.type = JType::Boolean;
                r.pred = true;
                return r;
            }
            case Expr::Kind::Exists: {
                SelectResult s = select(*e.sub, scope_, nullptr, false);
                Ex r;
                r.sql = std::string(e.negated ? "(NOT EXISTS (" : "(EXISTS (") + s.sql + "))";
                r.type = JType::Boolean;
                r.pred = true;
                return r;
            }
            case Expr::Kind::Subquery: {
                SelectResult s = select(*e.sub, scope_, nullptr, false);
                Ex r;
                r.sql = "(" + s.sql + ")";
                r.type = s.columns.empty() ? JType::Variant : s.columns[0].type;
                return r;
            }
        }
        throw JetError::make(err::kSyntaxInExpression, "?");
    }

    const jetsql::Literal& literalAt(int index) const {
        size_t slot = static_cast<size_t>(literalBase_ + index);
        const Slot& s = out_->slots[slot];
        if (s.kind == Slot::Kind::Constant) return s.constant;
        return (*literals_)[static_cast<size_t>(index)];
    }

    Ex unary(Expr& e, int depth) {
        Ex a = expr(*e.args[0], depth);
        Ex r;
        r.aggregate = a.aggregate;
        if (e.op == "not") {
            if (!a.pred && a.type != JType::Boolean && a.type != JType::Variant) {
                // On numbers the engine's Not is bitwise.
                r.sql = "(~" + val(a) + ")";
                r.type = JType::Long;
                return r;
            }
            r.sql = "(NOT " + cond(a) + ")";
            r.type = JType::Boolean;
            r.pred = true;
            return r;
        }
        if (a.type == JType::Null) return Ex{"NULL", JType::Null};
        if (e.op == "+") return a;
        r.type = a.pred || a.type == JType::Boolean || a.type == JType::Byte ? JType::Long : a.type;
        if (jetsql::IsText(a.type)) {
            r.sql = "(-" + asDouble(a) + ")";
            r.type = JType::Double;
            return r;
        }
        r.sql = "(-" + val(a) + ")";
        return r;
    }

    static JType numericResult(JType a, JType b) {
        if (jetsql::IsFloating(a) || jetsql::IsFloating(b)) return JType::Double;
        if (a == JType::Currency || b == JType::Currency) return JType::Currency;
        if (jetsql::IsText(a) || jetsql::IsText(b)) return JType::Double;
        if (a == JType::Variant || b == JType::Variant) return JType::Variant;
        return JType::Long;
    }

    std::string daysToSeconds(const Ex& e) {
        if (e.pred || jetsql::IsIntegral(e.type)) return "(" + val(e) + " * 86400)";
        if (e.type == JType::Currency) return "CAST(round(" + e.sql + " * 8.64) AS INTEGER)";
        return "CAST(round(" + asDouble(e) + " * 86400) AS INTEGER)";
    }

    Ex binary(Expr& e, int depth) {
        const std::string& op = e.op;
        Ex a = expr(*e.args[0], depth);
        Ex b = expr(*e.args[1], depth);
        bool agg = a.aggregate || b.aggregate;
        Ex r;
        if (op == "=" || op == "<>" || op == "<" || op == ">" || op == "<=" || op == ">=") {
            r = compare(a, b, op);
        } else if (op == "and" || op == "or") {
            r.sql = "(" + cond(a) + (op == "and" ? " AND " : " OR ") + cond(b) + ")";
            r.type = JType::Boolean;
            r.pred = true;
        } else if (op == "xor" || op == "eqv" || op == "imp") {
            std::string pa = "(" + a.sql + " <> 0)", pb = "(" + b.sql + " <> 0)";
            if (a.pred) pa = "(" + a.sql + ")";
            if (b.pred) pb = "(" + b.sql + ")";
            if (op == "xor") r.sql = "(" + pa + " <> " + pb + ")";
            if (op == "eqv") r.sql = "(" + pa + " = " + pb + ")";
            if (op == "imp") r.sql = "((NOT " + pa + ") OR " + pb + ")";
            r.type = JType::Boolean;
            r.pred = true;
        } else if (op == "&") {
            r.sql = "kv_concat(" + asText(a) + ", " + asText(b) + ")";
            r.type = JType::Memo;
        } else {
            r = arithmetic(op, a, b);
        }
        r.aggregate = agg;
        return r;
    }

    Ex arithmetic(const std::string& op, Ex& a, Ex& b) {
        Ex r;
        if (a.type == JType::Null || b.type == JType::Null) return Ex{"NULL", JType::Null};
        if (op == "+" && jetsql::IsText(a.type) && jetsql::IsText(b.type)) {
            r.sql = "(" + a.sql + " || " + b.sql + ")";
            r.type = JType::Memo;
            return r;
        }
        if ((op == "+" || op == "-") && (a.type == JType::Date || b.type == JType::Date)) {
            if (a.type == JType::Date && b.type == JType::Date) {
                if (op == "-") {
                    r.sql = "((" + a.sql + " - " + b.sql + ") / 86400.0)";
                    r.type = JType::Double;
                    return r;
                }
                r.sql = "(" + a.sql + " + " + b.sql + ")";
                r.type = JType::Date;
                return r;
            }
            if (a.type == JType::Date) {
                r.sql = "(" + a.sql + " " + op + " " + daysToSeconds(b) + ")";
            } else if (op == "+") {
                r.sql = "(" + daysToSeconds(a) + " + " + b.sql + ")";
            } else {
                r.sql = "(" + daysToSeconds(a) + " - " + b.sql + ")";
            }
            r.type = JType::Date;
            return r;
        }
        if (op == "/") {
            r.sql = "(" + asDouble(a) + " / CAST(" + asDouble(b) + " AS REAL))";
            r.type = JType::Double;
            return r;
        }
        if (op == "\\" || op == "mod") {
            r.sql = "(" + asLong(a) + (op == "mod" ? " % " : " / ") + asLong(b) + ")";
            r.type = JType::Long;
            return r;
        }
        if (op == "^") {
            r.sql = "pow(" + asDouble(a) + ", " + asDouble(b) + ")";
            r.type = JType::Double;
            return r;
        }
        // + - *
        JType ta = a.pred ? JType::Boolean : a.type, tb = b.pred ? JType::Boolean : b.type;
        // A number written in the statement is exact decimal text: with money it stays money.
        if (ta == JType::Currency && b.slot >= 0 && jetsql::IsFloating(tb)) tb = JType::Currency;
        if (tb == JType::Currency && a.slot >= 0 && jetsql::IsFloating(ta)) ta = JType::Currency;
        JType t = numericResult(ta, tb);
        r.type = t;
        if (t == JType::Currency) {
            if (op == "*") {
                if (jetsql::IsIntegral(ta) || jetsql::IsIntegral(tb)) {
                    bool ac = ta == JType::Currency;
                    r.sql = "(" + (ac ? asCurrency(a) : asLong(a)) + " * " +
                            (ac ? asLong(b) : asCurrency(b)) + ")";
                } else {
                    r.sql = "kv_curmul(" + asCurrency(a) + ", " + asCurrency(b) + ")";
                }
                return r;
            }
            r.sql = "(" + asCurrency(a) + " " + op + " " + asCurrency(b) + ")";
            return r;
        }
        if (t == JType::Double) {
            r.sql = "(" + asDouble(a) + " " + op + " " + asDouble(b) + ")";
            return r;
        }
        r.sql = "(" + val(a) + " " + op + " " + val(b) + ")";
        return r;
    }

    // Both sides in one domain, as the engine compares them.
    std::pair<std::string, std::string> unify(Ex a, Ex b) {
        JType ta = a.pred ? JType::Boolean : a.type, tb = b.pred ? JType::Boolean : b.type;
        if (ta == JType::Null || tb == JType::Null) return {val(a), val(b)};
        if (jetsql::IsText(ta) && jetsql::IsText(tb)) return {a.sql, b.sql};
        if (ta == JType::Date || tb == JType::Date) return {asDate(a), asDate(b)};
        if (ta == JType::Currency || tb == JType::Currency) {
            JType other = ta == JType::Currency ? tb : ta;
            Ex& o = ta == JType::Currency ? b : a;
            if (jetsql::IsFloating(other) && o.slot < 0) return {asDouble(a), asDouble(b)};
            return {asCurrency(a), asCurrency(b)};
        }
        if (jetsql::IsText(ta) && jetsql::IsNumeric(tb)) {
            if (a.slot >= 0) return {asDouble(a), val(b)};
            return {"kv_cdbl(" + a.sql + ")", val(b)};
        }
        if (jetsql::IsText(tb) && jetsql::IsNumeric(ta)) {
            if (b.slot >= 0) return {val(a), asDouble(b)};
            return {val(a), "kv_cdbl(" + b.sql + ")"};
        }
        return {val(a), val(b)};
    }

    Ex compare(Ex a, Ex b, const std::string& op) {
        bool text = jetsql::IsText(a.type) && jetsql::IsText(b.type);
        auto [l, r] = unify(a, b);
        Ex out;
        out.sql = "(" + l + " " + op + " " + r + (text ? " COLLATE NOCASE)" : ")");
        out.type = JType::Boolean;
        out.pred = true;
        out.aggregate = a.aggregate || b.aggregate;
        return out;
    }

    // ---- functions ----------------------------------------------------------------------------
    void arity(const Expr& e, size_t lo, size_t hi) {
        if (e.args.size() < lo || e.args.size() > hi)
            throw JetError(
                err::kSyntaxInExpression,
                "Wrong number of arguments used with function in query expression '" + e.op + "'.");
    }

    Ex call(Expr& e, int depth) {
        std::string f = lower(e.op);
        if (!f.empty() && f.back() == '$') f.pop_back();
        auto arg = [&](size_t i) { return expr(*e.args[i], depth); };
        auto make = [](std::string sql, JType t, bool agg = false) {
            Ex x;
            x.sql = std::move(sql);
            x.type = t;
            x.aggregate = agg;
            return x;
        };
        if (f == "count") {
            arity(e, 1, 1);
            if (e.args[0]->kind == Expr::Kind::Star) return make("count(*)", JType::Long, true);
            return make("count(" + val(arg(0)) + ")", JType::Long, true);
        }
        if (f == "sum" || f == "min" || f == "max") {
            arity(e, 1, 1);
            Ex a = arg(0);
            JType t = a.pred || a.type == JType::Boolean || a.type == JType::Byte ||
                              a.type == JType::Integer
                          ? JType::Long
                          : a.type;
            if (f != "sum") t = a.pred ? JType::Boolean : a.type;
            std::string inner = val(a);
            if (f == "sum" && jetsql::IsText(a.type)) {
                inner = asDouble(a);
                t = JType::Double;
            }
            return make(f + "(" + inner + ")", t, true);
        }
        if (f == "avg") {
            arity(e, 1, 1);
            Ex a = arg(0);
            if (a.type == JType::Currency)
                return make("CAST(round(avg(" + a.sql + ")) AS INTEGER)", JType::Currency, true);
            return make("avg(" + asDouble(a) + ")", JType::Double, true);
        }
        if (f == "date") {
            arity(e, 0, 0);
            return make("kv_date()", JType::Date);
        }
        if (f == "now") {
            arity(e, 0, 0);
            return make("kv_now()", JType::Date);
        }
        if (f == "time") {
            arity(e, 0, 0);
            return make("kv_time()", JType::Date);
        }
        if (f == "iif") {
            arity(e, 3, 3);
            Ex c = arg(0), a = arg(1), b = arg(2);
            JType t = unifyTypes(a, b);
            return make("(CASE WHEN " + cond(c) + " THEN " + toType(a, t) + " ELSE " +
                            toType(b, t) + " END)",
                        t, c.aggregate || a.aggregate || b.aggregate);
        }
        if (f == "isnull") {
            arity(e, 1, 1);
            Ex a = arg(0);
            Ex r = make("(" + val(a) + " IS NULL)", JType::Boolean, a.aggregate);
            r.pred = true;
            return r;
        }
        if (f == "nz") {
            arity(e, 1, 2);
            Ex a = arg(0);
            if (e.args.size() == 1) {
                std::string zero = jetsql::IsText(a.type) ? "''" : "0";
                return make("coalesce(" + val(a) + ", " + zero + ")", a.type, a.aggregate);
            }
            Ex b = arg(1);
            JType t = unifyTypes(a, b);
            return make("coalesce(" + toType(a, t) + ", " + toType(b, t) + ")", t,
                        a.aggregate || b.aggregate);
        }
        if (f == "datediff") {
            arity(e, 3, 5);
            Ex i = arg(0), a = arg(1), b = arg(2);
            return make("kv_datediff(" + asText(i) + ", " + asDate(a) + ", " + asDate(b) + ")",
                        JType::Long);
        }
        if (f == "dateadd") {
            arity(e, 3, 3);
            Ex i = arg(0), n = arg(1), d = arg(2);
            return make("kv_dateadd(" + asText(i) + ", " + asDouble(n) + ", " + asDate(d) + ")",
                        JType::Date);
        }
        if (f == "datepart") {
            arity(e, 2, 4);
            Ex i = arg(0), d = arg(1);
            return make("kv_datepart(" + asText(i) + ", " + asDate(d) + ")", JType::Long);
        }
        if (f == "year" || f == "month" || f == "day" || f == "hour" || f == "minute" ||
            f == "second" || f == "weekday") {
            arity(e, 1, 2);
            static const std::pair<const char*, const char*> kParts[] = {
                {"year", "yyyy"}, {"month", "m"},  {"day", "d"},    {"hour", "h"},
                {"minute", "n"},  {"second", "s"}, {"weekday", "w"}};
            std::string code;
            for (auto& [fn, c] : kParts)
                if (f == fn) code = c;
            return make("kv_datepart('" + code + "', " + asDate(arg(0)) + ")", JType::Integer);
        }
        if (f == "dateserial") {
            arity(e, 3, 3);
            return make("kv_dateserial(" + asLong(arg(0)) + ", " + asLong(arg(1)) + ", " +
                            asLong(arg(2)) + ")",
                        JType::Date);
        }
        if (f == "datevalue" || f == "cdate" || f == "cvdate") {
            arity(e, 1, 1);
            std::string d = asDate(arg(0));
            if (f == "datevalue") d = "(" + d + " - ((" + d + " % 86400) + 86400) % 86400)";
            return make(d, JType::Date);
        }
        if (f == "chr") {
            arity(e, 1, 1);
            return make("char(" + asLong(arg(0)) + ")", JType::Text);
        }
        if (f == "asc") {
            arity(e, 1, 1);
            return make("unicode(" + asText(arg(0)) + ")", JType::Integer);
        }
        if (f == "len") {
            arity(e, 1, 1);
            return make("length(" + asText(arg(0)) + ")", JType::Long);
        }
        if (f == "left") {
            arity(e, 2, 2);
            return make("substr(" + asText(arg(0)) + ", 1, " + asLong(arg(1)) + ")", JType::Text);
        }
        if (f == "right") {
            arity(e, 2, 2);
            return make("kv_right(" + asText(arg(0)) + ", " + asLong(arg(1)) + ")", JType::Text);
        }
        if (f == "mid") {
            arity(e, 2, 3);
            std::string s = "substr(" + asText(arg(0)) + ", " + asLong(arg(1));
            if (e.args.size() == 3) s += ", " + asLong(arg(2));
            return make(s + ")", JType::Text);
        }
        if (f == "ucase" || f == "lcase") {
            arity(e, 1, 1);
            return make(std::string(f == "ucase" ? "upper(" : "lower(") + asText(arg(0)) + ")",
                        JType::Text);
        }
        if (f == "trim" || f == "ltrim" || f == "rtrim") {
            arity(e, 1, 1);
            return make(f + "(" + asText(arg(0)) + ", ' ')", JType::Text);
        }
        if (f == "instr") {
            arity(e, 2, 4);
            if (e.args.size() == 2)
                return make("instr(lower(" + asText(arg(0)) + "), lower(" + asText(arg(1)) + "))",
                            JType::Long);
            return make(
                "kv_instr(" + asLong(arg(0)) + ", " + asText(arg(1)) + ", " + asText(arg(2)) + ")",
                JType::Long);
        }
        if (f == "space") {
            arity(e, 1, 1);
            return make("kv_space(" + asLong(arg(0)) + ")", JType::Text);
        }
        if (f == "abs") {
            arity(e, 1, 1);
            Ex a = arg(0);
            return make("abs(" + val(a) + ")", a.pred ? JType::Long : a.type);
        }
        if (f == "sgn") {
            arity(e, 1, 1);
            return make("sign(" + val(arg(0)) + ")", JType::Integer);
        }
        if (f == "int" || f == "fix") {
            arity(e, 1, 1);
            Ex a = arg(0);
            if (a.pred || jetsql::IsIntegral(a.type)) return make(val(a), JType::Long);
            if (a.type == JType::Currency) {
                std::string fn = f == "int" ? "floor" : "trunc";
                return make("(CAST(" + fn + "(" + a.sql + " / 10000.0) AS INTEGER) * 10000)",
                            JType::Currency);
            }
            return make(std::string(f == "int" ? "floor(" : "trunc(") + asDouble(a) + ")",
                        JType::Double);
        }
        if (f == "round") {
            arity(e, 1, 2);
            std::string digits = e.args.size() == 2 ? asLong(arg(1)) : "0";
            return make("kv_round(" + asDouble(arg(0)) + ", " + digits + ")", JType::Double);
        }
        if (f == "sqr") {
            arity(e, 1, 1);
            return make("sqrt(" + asDouble(arg(0)) + ")", JType::Double);
        }
        if (f == "val") {
            arity(e, 1, 1);
            return make("kv_val(" + asText(arg(0)) + ")", JType::Double);
        }
        if (f == "cstr") {
            arity(e, 1, 1);
            return make(asText(arg(0)), JType::Text);
        }
        if (f == "clng" || f == "cint" || f == "cbyte") {
            arity(e, 1, 1);
            return make(asLong(arg(0)), f == "clng" ? JType::Long : JType::Integer);
        }
        if (f == "cdbl" || f == "csng") {
            arity(e, 1, 1);
            return make(asDouble(arg(0)), JType::Double);
        }
        if (f == "ccur") {
            arity(e, 1, 1);
            return make(asCurrency(arg(0)), JType::Currency);
        }
        if (f == "cbool") {
            arity(e, 1, 1);
            return make(asBool(arg(0)), JType::Boolean);
        }
        throw JetError::make(err::kUndefinedFunction, e.op);
    }

    JType unifyTypes(const Ex& a, const Ex& b) {
        JType ta = a.pred ? JType::Boolean : a.type, tb = b.pred ? JType::Boolean : b.type;
        if (ta == JType::Null) return tb;
        if (tb == JType::Null) return ta;
        if (ta == tb) return ta;
        if (jetsql::IsText(ta) && jetsql::IsText(tb)) return JType::Memo;
        if (jetsql::IsNumeric(ta) && jetsql::IsNumeric(tb)) return numericResult(ta, tb);
        if (a.slot >= 0 && tb != JType::Variant) return tb;
        if (b.slot >= 0 && ta != JType::Variant) return ta;
        return JType::Variant;
    }

    // ---- FROM ---------------------------------------------------------------------------------
    std::string bindTable(TableRef& ref, Scope& sc) {
        switch (ref.kind) {
            case TableRef::Kind::Join: {
                std::string left = bindTable(*ref.left, sc);
                std::string right = bindTable(*ref.right, sc);
                Ex on = expr(*ref.on);
                const char* kw = ref.joinType == TableRef::JoinType::Inner   ? " INNER JOIN "
                                 : ref.joinType == TableRef::JoinType::Left  ? " LEFT JOIN "
                                 : ref.joinType == TableRef::JoinType::Right ? " RIGHT JOIN "
                                                                             : " CROSS JOIN ";
                return "(" + left + kw + right + " ON " + cond(on) + ")";
            }
            case TableRef::Kind::Subquery: {
                Scope* saved = scope_;
                scope_ = nullptr;
                SelectResult s = select(*ref.sub, nullptr, nullptr, false);
                scope_ = saved;
                return bindDerived(sc, ref.alias, s);
            }
            case TableRef::Kind::Table:
                break;
        }
        Resolver::Resolved r = resolver_.resolve(ref.name);
        if (r.kind == Resolver::Resolved::Kind::None)
            throw JetError::make(err::kInputTableNotFound, ref.name);
        std::string visible = ref.alias.empty() ? ref.name : ref.alias;
        for (const auto& b : sc.tables) {
            if (EqualNoCase(b.name, visible))
                throw JetError(err::kSyntaxInFrom,
                               "Syntax error in FROM clause near '" + visible +
                                   "': the name is used twice; give one of them an alias.");
        }
        if (r.kind == Resolver::Resolved::Kind::Query)
            return bindSavedQuery(sc, visible, r.querySql);
        Bound b;
        b.name = visible;
        b.sqlAlias = QuoteIdent(visible);
        b.schema = r.schema;
        b.phys = r.table->name;
        b.info = *r.table;
        b.base = !b.info.rowid.empty();
        std::string sql = QuoteIdent(b.schema) + "." + QuoteIdent(b.phys) + " AS " + b.sqlAlias;
        sc.tables.push_back(std::move(b));
        return sql;
    }

    std::string bindDerived(Scope& sc, const std::string& alias, const SelectResult& s) {
        Bound b;
        b.name = alias;
        b.sqlAlias = QuoteIdent(alias);
        b.info.name = alias;
        for (const auto& c : s.columns) {
            ColumnInfo ci;
            ci.name = c.name;
            ci.type = c.type;
            b.info.columns.push_back(std::move(ci));
        }
        sc.tables.push_back(std::move(b));
        return "(" + s.sql + ") AS " + QuoteIdent(alias);
    }

    // A saved query named in FROM is translated in place; its literals travel as constants.
    std::string bindSavedQuery(Scope& sc, const std::string& visible, const std::string& text) {
        if (++nesting_ > kMaxQueryNesting)
            throw JetError(err::kSyntaxError, "Saved queries refer to each other in a circle.");
        jetsql::Lexed lx = jetsql::Lex(text);
        auto st = jetsql::Parse(lx, text);
        if (st->kind != Statement::Kind::Select)
            throw JetError::make(err::kInputTableNotFound, visible);
        for (auto& d : st->params) declared_.push_back(d);
        const std::vector<jetsql::Literal>* savedLits = literals_;
        int savedBase = literalBase_;
        literalBase_ = static_cast<int>(out_->slots.size());
        for (const auto& lit : lx.literals) {
            Slot s;
            s.kind = Slot::Kind::Constant;
            s.constant = lit;
            out_->slots.push_back(std::move(s));
        }
        literals_ = &lx.literals;
        Scope* savedScope = scope_;
        scope_ = nullptr;
        SelectResult s = select(*st->select, nullptr, nullptr, false);
        scope_ = savedScope;
        literals_ = savedLits;
        literalBase_ = savedBase;
        --nesting_;
        return bindDerived(sc, visible, s);
    }

    // ---- SELECT -------------------------------------------------------------------------------
    static bool containsStar(const SelectStmt& s) {
        for (const auto& it : s.items)
            if (it.expr->kind == Expr::Kind::Star) return true;
        return false;
    }

    SelectResult select(SelectStmt& s, Scope* outer, const std::vector<JType>* targetTypes,
                        bool topLevel) {
        Scope sc;
        sc.outer = outer;
        Scope* saved = scope_;
        scope_ = &sc;
        SelectResult res;

        std::string from;
        for (size_t i = 0; i < s.from.size(); ++i) {
            if (i) from += ", ";
            from += bindTable(*s.from[i], sc);
        }
        for (auto& item : s.items)
            if (!item.alias.empty()) sc.aliases.emplace_back(item.alias, item.expr.get());

        // Output columns.
        struct Item {
            Ex ex;
            std::string name;
        };
        std::vector<Item> items;
        bool anyAggregate = false;
        for (auto& item : s.items) {
            Expr& e = *item.expr;
            if (e.kind == Expr::Kind::Star) {
                if (sc.tables.empty()) throw JetError::make(err::kNoInputTable);
                std::vector<int> which;
                for (size_t t = 0; t < sc.tables.size(); ++t)
                    if (e.qualifier.empty() || EqualNoCase(sc.tables[t].name, e.qualifier))
                        which.push_back(static_cast<int>(t));
                if (which.empty()) throw JetError::make(err::kInputTableNotFound, e.qualifier);
                for (int t : which) {
                    const Bound& b = sc.tables[static_cast<size_t>(t)];
                    for (size_t c = 0; c < b.info.columns.size(); ++c) {
                        Item it;
                        it.ex = columnEx(sc, t, static_cast<int>(c));
                        it.name = b.info.columns[c].name;
                        if (sc.tables.size() > 1) {
                            for (size_t o = 0; o < sc.tables.size(); ++o) {
                                if (static_cast<int>(o) != t &&
                                    findColumn(sc.tables[o], it.name) >= 0) {
                                    it.name = b.name + "." + it.name;
                                    break;
                                }
                            }
                        }
                        items.push_back(std::move(it));
                    }
                }
                continue;
            }
            Item it;
            it.ex = expr(e);
            anyAggregate = anyAggregate || it.ex.aggregate;
            if (!item.alias.empty()) {
                it.name = item.alias;
            } else if (e.kind == Expr::Kind::Name && it.ex.column >= 0) {
                it.name = e.name;
            } else {
                it.name = "Expr" + std::to_string(1000 + exprCounter_++);
            }
            items.push_back(std::move(it));
        }
        if (targetTypes && targetTypes->size() != items.size())
            throw JetError::make(err::kValuesMismatch);

        std::string where, groupBy, having, orderBy;
        if (s.where) {
            Ex w = expr(*s.where);
            where = cond(w);
        }
        for (size_t i = 0; i < s.groupBy.size(); ++i) {
            if (i) groupBy += ", ";
            groupBy += val(expr(*s.groupBy[i]));
        }
        if (s.having) {
            Ex h = expr(*s.having);
            having = cond(h);
        }

        bool distinctRowGroup = false;
        std::string rowidGroup;
        if (s.quantifier == SelectStmt::Quantifier::DistinctRow && s.groupBy.empty() &&
            !anyAggregate && sc.tables.size() > 1) {
            // DISTINCTROW: one row per distinct combination of records of the tables that
            // supply output columns; tables used only for joining or filtering do not multiply.
            std::set<int> supplying;
            for (const auto& it : items)
                if (it.ex.boundTable >= 0) supplying.insert(it.ex.boundTable);
            bool allBase = true;
            for (int t : supplying) allBase = allBase && sc.tables[static_cast<size_t>(t)].base;
            if (!supplying.empty() && supplying.size() < sc.tables.size() && allBase) {
                distinctRowGroup = true;
                for (int t : supplying) {
                    if (!rowidGroup.empty()) rowidGroup += ", ";
                    rowidGroup += rowidOf(sc.tables[static_cast<size_t>(t)]);
                }
            }
        }

        bool updatable = topLevel && !targetTypes && s.from.size() == 1 &&
                         s.from[0]->kind == TableRef::Kind::Table && sc.tables.size() == 1 &&
                         sc.tables[0].base && s.groupBy.empty() && !s.having && !anyAggregate &&
                         s.quantifier != SelectStmt::Quantifier::Distinct && !s.unionNext;

        std::string list;
        for (size_t i = 0; i < items.size(); ++i) {
            if (i) list += ", ";
            std::string col =
                targetTypes ? toStored(items[i].ex, (*targetTypes)[i]) : val(items[i].ex);
            list += col;
            OutputColumn oc;
            oc.name = items[i].name;
            oc.type = items[i].ex.pred ? JType::Boolean : items[i].ex.type;
            if (targetTypes) oc.type = (*targetTypes)[i];
            if (updatable && items[i].ex.boundTable == 0) oc.baseColumn = items[i].ex.column;
            res.columns.push_back(std::move(oc));
        }

        std::string sql = "SELECT ";
        if (s.quantifier == SelectStmt::Quantifier::Distinct) sql += "DISTINCT ";
        std::string selectList = list;
        if (updatable) selectList = rowidOf(sc.tables[0]) + ", " + list;
        sql += selectList;
        if (!from.empty()) sql += " FROM " + from;
        if (!where.empty()) sql += " WHERE " + where;
        if (!groupBy.empty())
            sql += " GROUP BY " + groupBy;
        else if (distinctRowGroup)
            sql += " GROUP BY " + rowidGroup;
        if (!having.empty()) sql += " HAVING " + having;

        if (s.unionNext) {
            Scope* inner = scope_;
            scope_ = saved;
            SelectResult next = select(*s.unionNext, outer, targetTypes, false);
            scope_ = inner;
            if (next.columns.size() != res.columns.size())
                throw JetError(err::kSyntaxError,
                               "The number of columns in the two selected tables or queries of a "
                               "union query do not match.");
            sql += s.unionAll ? " UNION ALL " : " UNION ";
            sql += next.sql;
        }

        for (size_t i = 0; i < s.orderBy.size(); ++i) {
            orderBy += i ? ", " : "";
            Expr& oe = *s.orderBy[i].expr;
            std::string term;
            if (s.unionNext ||
                (oe.kind == Expr::Kind::Literal && literalAt(oe.literal).kind == Tok::Integer)) {
                // A union sorts by its output columns, named or numbered.
                if (oe.kind == Expr::Kind::Literal) {
                    term = literalAt(oe.literal).text;
                } else {
                    for (size_t c = 0; c < res.columns.size(); ++c)
                        if (oe.kind == Expr::Kind::Name &&
                            EqualNoCase(res.columns[c].name, oe.name))
                            term = std::to_string(c + 1 + (updatable ? 1 : 0));
                    if (term.empty()) throw JetError::make(err::kSyntaxInOrderBy);
                }
            } else {
                Ex o = expr(oe);
                term = val(o);
                if (jetsql::IsText(o.type)) term += " COLLATE NOCASE";
            }
            orderBy += term + (s.orderBy[i].desc ? " DESC" : "");
        }
        if (!orderBy.empty()) sql += " ORDER BY " + orderBy;
        if (s.topLiteral >= 0) {
            if (s.topPercent)
                throw JetError::make(err::kNotImplemented, "TOP n PERCENT is not supported.");
            sql += " LIMIT " + slotRef(literalBase_ + s.topLiteral);
        }

        if (updatable) {
            const Bound& b = sc.tables[0];
            out_->updatable = true;
            out_->schema = b.schema;
            out_->table = b.info;
            out_->fetchSql = "SELECT " + list + " FROM " + QuoteIdent(b.schema) + "." +
                             QuoteIdent(b.phys) + " AS " + b.sqlAlias + " WHERE " + rowidOf(b) +
                             " = ?" + std::to_string(out_->slots.size() + 1);
        }
        scope_ = saved;
        res.sql = std::move(sql);
        return res;
    }

    // ---- INSERT / UPDATE / DELETE -------------------------------------------------------------
    Resolver::Resolved baseTable(const std::string& name) {
        Resolver::Resolved r = resolver_.resolve(name);
        if (r.kind == Resolver::Resolved::Kind::None)
            throw JetError::make(err::kInputTableNotFound, name);
        if (r.kind != Resolver::Resolved::Kind::Table)
            throw JetError::make(err::kOperationMustBeUpdatable);
        return r;
    }

    void insert(Statement& st) {
        Resolver::Resolved r = baseTable(st.target);
        const TableInfo& t = *r.table;
        std::vector<const ColumnInfo*> cols;
        if (st.columns.empty()) {
            for (const auto& c : t.columns) cols.push_back(&c);
            size_t given = st.select ? SIZE_MAX : st.values.size();
            if (given != SIZE_MAX && given != cols.size()) {
                // Without a column list the counter may be left out.
                std::vector<const ColumnInfo*> noCounter;
                for (auto* c : cols)
                    if (!c->counter) noCounter.push_back(c);
                if (noCounter.size() == given) cols = noCounter;
            }
        } else {
            for (const auto& n : st.columns) {
                const ColumnInfo* c = t.find(n);
                if (!c)
                    throw JetError(err::kSyntaxInInsert,
                                   "The INSERT INTO statement contains the following unknown "
                                   "field name: '" +
                                       n +
                                       "'. Make sure you have typed the name correctly, and try "
                                       "the operation again.");
                cols.push_back(c);
            }
        }
        out_->writeSchema = r.schema;
        out_->writeTable = t.name;
        std::string sql = "INSERT INTO " + QuoteIdent(r.schema) + "." + QuoteIdent(t.name) + " (";
        for (size_t i = 0; i < cols.size(); ++i) sql += (i ? ", " : "") + QuoteIdent(cols[i]->name);
        sql += ") ";
        Scope sc;
        scope_ = &sc;
        if (st.select) {
            std::vector<JType> types;
            for (auto* c : cols) types.push_back(c->type);
            if (!containsStar(*st.select) && st.select->items.size() != cols.size())
                throw JetError::make(err::kValuesMismatch);
            sql += select(*st.select, nullptr, &types, false).sql;
        } else {
            if (st.values.size() != cols.size()) throw JetError::make(err::kValuesMismatch);
            sql += "VALUES (";
            for (size_t i = 0; i < cols.size(); ++i) {
                Ex v = expr(*st.values[i]);
                sql += (i ? ", " : "") + toStored(v, cols[i]->type);
            }
            sql += ")";
        }
        scope_ = nullptr;
        out_->sql = std::move(sql);
    }

    void update(Statement& st) {
        Scope sc;
        scope_ = &sc;
        std::string from = bindTable(*st.table, sc);
        int target = -1;
        std::vector<std::pair<int, std::string>> sets;  // column index, value sql
        std::set<int> others;
        for (auto& [lhs, rhs] : st.assignments) {
            Ex l = name(*lhs, 0);
            if (l.boundTable < 0) throw JetError::make(err::kUnknownName, lhs->name);
            if (target >= 0 && l.boundTable != target)
                throw JetError::make(err::kOperationMustBeUpdatable);
            target = l.boundTable;
            if (!sc.tables[static_cast<size_t>(target)].base)
                throw JetError::make(err::kOperationMustBeUpdatable);
            sc.referenced.clear();
            Ex v = expr(*rhs);
            for (int t : sc.referenced)
                if (t != target) others.insert(t);
            const ColumnInfo& col =
                sc.tables[static_cast<size_t>(target)].info.columns[static_cast<size_t>(l.column)];
            if (col.counter) throw JetError::make(err::kFieldNotUpdatable);
            sets.emplace_back(l.column, toStored(v, col.type));
        }
        std::string where;
        if (st.where) {
            Ex w = expr(*st.where);
            where = cond(w);
        }
        const Bound& b = sc.tables[static_cast<size_t>(target)];
        out_->writeSchema = b.schema;
        out_->writeTable = b.phys;
        std::string setList;
        for (size_t i = 0; i < sets.size(); ++i)
            setList += (i ? ", " : "") +
                       QuoteIdent(b.info.columns[static_cast<size_t>(sets[i].first)].name) + " = " +
                       sets[i].second;
        std::string head = "UPDATE " + QuoteIdent(b.schema) + "." + QuoteIdent(b.phys) + " AS " +
                           b.sqlAlias + " SET " + setList;
        if (sc.tables.size() == 1) {
            out_->sql = head + (where.empty() ? "" : " WHERE " + where);
        } else if (others.empty()) {
            // Rows of the target that take part in the join; the values need only the target.
            out_->sql = head + " WHERE " + rowidOf(b) + " IN (SELECT " + rowidOf(b) + " FROM " +
                        from + (where.empty() ? "" : " WHERE " + where) + ")";
        } else {
            out_->sql = updateFrom(st, sc, target, head, where);
        }
        scope_ = nullptr;
    }

    // UPDATE ... FROM for inner joins whose values read other tables.
    std::string updateFrom(Statement& st, Scope& sc, int target, const std::string& head,
                           const std::string& where) {
        std::vector<TableRef*> leaves;
        std::vector<Expr*> ons;
        std::vector<TableRef*> stack{st.table.get()};
        while (!stack.empty()) {
            TableRef* r = stack.back();
            stack.pop_back();
            if (r->kind == TableRef::Kind::Join) {
                if (r->joinType != TableRef::JoinType::Inner)
                    throw JetError::make(err::kOperationMustBeUpdatable);
                ons.push_back(r->on.get());
                stack.push_back(r->right.get());
                stack.push_back(r->left.get());
            } else {
                leaves.push_back(r);
            }
        }
        std::string from, conds;
        for (size_t t = 0; t < sc.tables.size(); ++t) {
            if (static_cast<int>(t) == target) continue;
            const Bound& b = sc.tables[t];
            if (!b.base) throw JetError::make(err::kOperationMustBeUpdatable);
            from += (from.empty() ? "" : ", ") + QuoteIdent(b.schema) + "." + QuoteIdent(b.phys) +
                    " AS " + b.sqlAlias;
        }
        for (Expr* on : ons) {
            Ex c = expr(*on);
            conds += (conds.empty() ? "" : " AND ") + cond(c);
        }
        if (!where.empty()) conds += (conds.empty() ? "" : " AND ") + ("(" + where + ")");
        return head + " FROM " + from + (conds.empty() ? "" : " WHERE " + conds);
    }

    void remove(Statement& st) {
        Scope sc;
        scope_ = &sc;
        std::string from = bindTable(*st.table, sc);
        int target = -1;
        if (st.deleteTarget.empty()) {
            if (sc.tables.size() != 1) throw JetError::make(err::kSpecifyDeleteTable);
            target = 0;
        } else {
            for (size_t t = 0; t < sc.tables.size(); ++t)
                if (EqualNoCase(sc.tables[t].name, st.deleteTarget)) target = static_cast<int>(t);
            if (target < 0) throw JetError::make(err::kSpecifyDeleteTable);
        }
        const Bound& b = sc.tables[static_cast<size_t>(target)];
        if (!b.base) throw JetError::make(err::kOperationMustBeUpdatable);
        out_->writeSchema = b.schema;
        out_->writeTable = b.phys;
        std::string where;
        if (st.where) {
            Ex w = expr(*st.where);
            where = cond(w);
        }
        std::string table = QuoteIdent(b.schema) + "." + QuoteIdent(b.phys);
        if (sc.tables.size() == 1) {
            out_->sql = "DELETE FROM " + table + " AS " + b.sqlAlias +
                        (where.empty() ? "" : " WHERE " + where);
        } else {
            out_->sql = "DELETE FROM " + table + " WHERE " + b.info.rowid + " IN (SELECT " +
                        rowidOf(b) + " FROM " + from + (where.empty() ? "" : " WHERE " + where) +
                        ")";
        }
        scope_ = nullptr;
    }
};

std::string defaultSql(const std::string& lit, JType type) {
    if (lit == "null") return "NULL";
    bool isText = lit.rfind("s:", 0) == 0, isDate = lit.rfind("d:", 0) == 0;
    std::string body = (isText || isDate) ? lit.substr(2) : lit;
    Value v = isDate ? Value(Date::parse(body)) : Value(body);
    switch (type) {
        case JType::Text:
        case JType::Memo:
            return dialect::QuoteText(v.toString());
        case JType::Currency:
            return std::to_string(v.toCurrency().raw());
        case JType::Date:
            return std::to_string(v.toDate().seconds());
        case JType::Boolean:
            return v.toBool() ? "-1" : "0";
        case JType::Single:
        case JType::Double:
            return NumberToSqlText(v.toDouble());
        case JType::Byte:
        case JType::Integer:
        case JType::Long:
            return std::to_string(v.toInt64());
        default:
            return isText ? dialect::QuoteText(body) : body;
    }
}

}  // namespace

std::shared_ptr<Translation> Translate(Statement& st, const std::vector<jetsql::Literal>& literals,
                                       Resolver& resolver) {
    Translator t(literals, resolver, st.params);
    return t.run(st);
}

std::string TranslateDdl(const Statement& st, const std::string& schema, const Catalog& catalog) {
    std::string s = QuoteIdent(schema);
    switch (st.kind) {
        case Statement::Kind::CreateTable: {
            if (catalog.table(st.objectName) || catalog.link(st.objectName) ||
                catalog.query(st.objectName))
                throw JetError::make(err::kTableExists, st.objectName);
            std::string sql = "CREATE TABLE " + s + "." + QuoteIdent(st.objectName) + " (";
            int counters = 0;
            std::set<std::string, NoCaseLess> seen;
            std::vector<std::string> pk = st.primaryKey;
            for (size_t i = 0; i < st.columnDefs.size(); ++i) {
                const auto& c = st.columnDefs[i];
                if (!seen.insert(c.name).second)
                    throw JetError(err::kSyntaxInFieldDefinition,
                                   "Field '" + c.name + "' is defined more than once.");
                ColumnInfo ci;
                ci.name = c.name;
                ci.type = c.type;
                ci.size = c.size;
                ci.counter = c.counter;
                ci.notNull = c.notNull || c.primaryKey;
                if (c.counter && ++counters > 1)
                    throw JetError(err::kSyntaxInFieldDefinition,
                                   "A table can have only one counter field.");
                sql += (i ? ", " : "") + dialect::ColumnDeclaration(ci);
                if (c.defaultSql && !c.counter)
                    sql += " DEFAULT " + defaultSql(*c.defaultSql, c.type);
                if (c.unique && !c.counter) sql += " UNIQUE";
                if (c.primaryKey && !c.counter) pk.push_back(c.name);
            }
            if (!pk.empty()) {
                bool counterIsKey = false;
                for (const auto& c : st.columnDefs)
                    if (c.counter && pk.size() == 1 && EqualNoCase(pk[0], c.name))
                        counterIsKey = true;
                if (!counterIsKey) {
                    // The counter is SQLite's rowid key; a declared key is then a unique index.
                    sql += counters ? ", UNIQUE (" : ", PRIMARY KEY (";
                    for (size_t i = 0; i < pk.size(); ++i)
                        sql += (i ? ", " : "") + QuoteIdent(pk[i]);
                    sql += ")";
                }
            }
            for (const auto& u : st.uniques) {
                sql += ", UNIQUE (";
                for (size_t i = 0; i < u.size(); ++i) sql += (i ? ", " : "") + QuoteIdent(u[i]);
                sql += ")";
            }
            return sql + ")";
        }
        case Statement::Kind::CreateIndex: {
            const TableInfo* t = catalog.table(st.indexTable);
            if (!t) throw JetError::make(err::kInputTableNotFound, st.indexTable);
            std::string sql = std::string("CREATE ") + (st.uniqueIndex ? "UNIQUE " : "") +
                              "INDEX " + s + "." + QuoteIdent(st.objectName) + " ON " +
                              QuoteIdent(t->name) + " (";
            for (size_t i = 0; i < st.indexColumns.size(); ++i) {
                if (!t->find(st.indexColumns[i].name))
                    throw JetError::make(err::kUnknownName, st.indexColumns[i].name);
                sql += (i ? ", " : "") + QuoteIdent(st.indexColumns[i].name) +
                       (st.indexColumns[i].desc ? " DESC" : "");
            }
            return sql + ")";
        }
        case Statement::Kind::DropTable: {
            const TableInfo* t = catalog.table(st.objectName);
            if (!t) throw JetError::make(err::kInputTableNotFound, st.objectName);
            return "DROP TABLE " + s + "." + QuoteIdent(t->name);
        }
        case Statement::Kind::DropIndex:
            if (!catalog.table(st.indexTable))
                throw JetError::make(err::kInputTableNotFound, st.indexTable);
            return "DROP INDEX " + s + "." + QuoteIdent(st.objectName);
        default:
            break;
    }
    throw JetError::make(err::kInvalidSql);
}

}  // namespace kelvor::sqlite
