// Recursive-descent parser for Jet SQL. Operator precedence is the language runtime's:
// ^, unary -, * /, \, Mod, + -, &, comparisons (= <> < > <= >= Like Is Between In),
// Not, And, Or, Xor, Eqv, Imp.
#include <array>
#include <cctype>

#include "jetsql/ast.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"

namespace kelvor::jetsql {

namespace {

constexpr std::array<std::string_view, 46> kReserved = {
    "select", "from",    "where",    "group",       "by",         "having", "order",  "union",
    "and",    "or",      "not",      "xor",         "eqv",        "imp",    "like",   "is",
    "in",     "between", "as",       "on",          "inner",      "left",   "right",  "join",
    "set",    "values",  "into",     "insert",      "update",     "delete", "create", "drop",
    "table",  "index",   "distinct", "distinctrow", "top",        "asc",    "desc",   "null",
    "true",   "false",   "exists",   "mod",         "parameters", "outer"};

bool isReserved(const Token& t) {
    if (t.kind != Tok::Ident || t.bracketed) return false;
    for (auto w : kReserved)
        if (t.is(w)) return true;
    return false;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class Parser {
  public:
    Parser(const Lexed& lx, std::string_view sql) : toks_(lx.tokens), sql_(sql) {}

    std::unique_ptr<Statement> statement() {
        auto st = std::make_unique<Statement>();
        if (peek().is("parameters")) {
            next();
            parseParamDecls(st->params);
            expectOp(";", err::kSyntaxInParameters);
        }
        const Token& t = peek();
        if (t.is("select")) {
            st->kind = Statement::Kind::Select;
            st->select = selectStmt();
            if (!st->select->into.empty()) {
                st->kind = Statement::Kind::SelectInto;
                st->target = st->select->into;
            }
        } else if (t.is("insert")) {
            insertStmt(*st);
        } else if (t.is("update")) {
            updateStmt(*st);
        } else if (t.is("delete")) {
            deleteStmt(*st);
        } else if (t.is("create") && st->params.empty()) {
            createStmt(*st);
        } else if (t.is("drop") && st->params.empty()) {
            dropStmt(*st);
        } else if (t.is("alter") && st->params.empty()) {
            alterStmt(*st);
        } else if (t.is("(") && peek(1).is("select")) {
            st->kind = Statement::Kind::Select;
            st->select = selectStmt();
        } else {
            fail(err::kInvalidSql, t);
        }
        if (peek().is(";")) {
            next();
            if (peek().kind != Tok::End) fail(kCharactersAfterEnd, peek());
        }
        if (peek().kind != Tok::End) {
            if (context_ == err::kSyntaxInWhere) exprFail(peek());
            fail(context_, peek());
        }
        return st;
    }

  private:
    const std::vector<Token>& toks_;
    std::string_view sql_;
    size_t i_ = 0;
    int context_ = err::kInvalidSql;
    int depth_ = 0;
    // Where the outermost expression being parsed began: the engine's syntax errors quote it.
    uint32_t exprStart_ = 0;
    int exprNest_ = 0;
    bool itemStart_ = false;  // at the start of an item of a SELECT list
    static constexpr int kSelectMisspelled = err::kSelectMisspelled;
    static constexpr int kCharactersAfterEnd = err::kCharactersAfterEnd;

    // Every nesting the parser descends into (parentheses, subqueries, Not and signs) counts
    // against a limit, so that no statement runs the stack out: past it the statement is too
    // complex, as the engine says of statements it cannot take.
    static constexpr int kMaxNesting = 200;
    // Operators of one level in a row (1 + 2 + ...) nest the tree as deeply as parentheses do
    // for the stages that follow; And and Or lists do not, they stay flat.
    static constexpr int kMaxChain = 1000;
    struct Nested {
        explicit Nested(int& depth) : depth_(depth) {
            if (++depth_ > kMaxNesting) {
                --depth_;
                throw JetError::make(err::kQueryTooComplex);
            }
        }
        ~Nested() { --depth_; }
        int& depth_;
    };

    const Token& peek(size_t k = 0) const {
        size_t j = i_ + k;
        return j < toks_.size() ? toks_[j] : toks_.back();
    }
    const Token& next() {
        const Token& t = peek();
        if (i_ < toks_.size() - 1) ++i_;
        return t;
    }
    bool accept(std::string_view w) {
        if (peek().is(w)) {
            next();
            return true;
        }
        return false;
    }

    [[noreturn]] void fail(int number, const Token& t) const {
        // The engine's fixed texts for a statement that is not one, or goes on after its end.
        if (number == err::kInvalidSql || number == kCharactersAfterEnd ||
            number == kSelectMisspelled)
            throw JetError::make(number);
        std::string near = t.kind == Tok::End ? std::string("end of statement")
                                              : std::string(sql_.substr(t.pos, 30));
        if (auto nl = near.find_first_of("\r\n"); nl != std::string::npos) near.resize(nl);
        std::string base = JetError::messageFor(number);
        if (number == err::kSyntaxInExpression) base = "Syntax error in query expression.";
        if (!base.empty() && base.back() == '.') base.pop_back();
        throw JetError(number, base + " near '" + near + "'.");
    }
    void expectOp(std::string_view w, int number) {
        if (!accept(w)) fail(number, peek());
    }
    void expectWord(std::string_view w, int number) {
        if (!accept(w)) fail(number, peek());
    }
    std::string name(int number) {
        const Token& t = peek();
        if (t.kind != Tok::Ident || isReserved(t)) fail(number, t);
        next();
        return t.text;
    }

    // ---- declarations -------------------------------------------------------------------
    void parseParamDecls(std::vector<ParamDecl>& out) {
        do {
            ParamDecl d;
            d.name = name(err::kSyntaxInParameters);
            const Token& ty = peek();
            bool counter = false;
            if (ty.kind != Tok::Ident || !TypeFromName(ty.text, d.type, counter) || counter)
                fail(err::kSyntaxInParameters, ty);
            next();
            if (accept("(")) {
                if (peek().kind != Tok::Integer) fail(err::kSyntaxInParameters, peek());
                d.size = std::stoi(next().text);
                expectOp(")", err::kSyntaxInParameters);
            }
            out.push_back(std::move(d));
        } while (accept(","));
    }

    // ---- SELECT ---------------------------------------------------------------------------
    std::unique_ptr<SelectStmt> selectStmt() {
        Nested nested(depth_);
        if (peek().is("(") && peek(1).is("select")) {
            next();
            auto s = selectStmt();
            expectOp(")", err::kSyntaxError);
            return s;
        }
        int saved = context_;
        context_ = err::kSyntaxError;
        expectWord("select", err::kInvalidSql);
        auto s = std::make_unique<SelectStmt>();
        if (accept("distinctrow")) {
            s->quantifier = SelectStmt::Quantifier::DistinctRow;
        } else if (accept("distinct")) {
            s->quantifier = SelectStmt::Quantifier::Distinct;
        } else {
            accept("all");
        }
        if (accept("top")) {
            if (peek().kind != Tok::Integer) fail(err::kSyntaxError, peek());
            s->topLiteral = next().literal;
            if (accept("percent")) s->topPercent = true;
        }
        do {
            SelectItem item;
            itemStart_ = true;
            item.expr = expr();
            itemStart_ = false;
            if (accept("as")) item.alias = name(err::kSyntaxError);
            s->items.push_back(std::move(item));
        } while (accept(","));
        if (accept("into")) s->into = name(err::kSyntaxError);
        // Words after an item that start no clause: "SELECT a b c" is a malformed item.
        if (const Token& t = peek();
            t.kind != Tok::End && !t.is(";") && !t.is(")") && !t.is("from") && !t.is("into") &&
            !t.is("where") && !t.is("group") && !t.is("having") && !t.is("order") && !t.is("union"))
            exprFail(t);
        if (accept("from")) {
            context_ = err::kSyntaxInFrom;
            do s->from.push_back(joinExpr());
            while (accept(","));
        }
        if (accept("where")) {
            context_ = err::kSyntaxInWhere;
            s->where = expr();
        }
        if (peek().is("group") && peek(1).is("by")) {
            next();
            next();
            context_ = err::kSyntaxInGroupBy;
            do s->groupBy.push_back(expr());
            while (accept(","));
        }
        if (accept("having")) {
            context_ = err::kSyntaxError;
            s->having = expr();
        }
        if (accept("union")) {
            s->unionAll = accept("all");
            s->unionNext = selectStmt();
            // ORDER BY after the last SELECT of a union sorts the whole union.
            s->orderBy = std::move(s->unionNext->orderBy);
            s->unionNext->orderBy.clear();
        }
        if (peek().is("order") && peek(1).is("by")) {
            next();
            next();
            context_ = err::kSyntaxInOrderBy;
            do {
                OrderItem o;
                o.expr = expr();
                if (accept("desc"))
                    o.desc = true;
                else
                    accept("asc");
                s->orderBy.push_back(std::move(o));
            } while (accept(","));
        }
        context_ = saved == err::kInvalidSql ? err::kSyntaxError : saved;
        return s;
    }

    TableRefPtr joinExpr() {
        auto left = tablePrimary();
        for (;;) {
            TableRef::JoinType jt;
            if (peek().is("inner") && peek(1).is("join")) {
                jt = TableRef::JoinType::Inner;
                next();
            } else if (peek().is("left") || peek().is("right")) {
                jt = peek().is("left") ? TableRef::JoinType::Left : TableRef::JoinType::Right;
                next();
                accept("outer");
                if (!peek().is("join")) fail(err::kSyntaxInJoin, peek());
            } else {
                break;
            }
            uint32_t pos = peek().pos;
            expectWord("join", err::kSyntaxInJoin);
            auto j = std::make_unique<TableRef>();
            j->kind = TableRef::Kind::Join;
            j->joinType = jt;
            j->pos = pos;
            j->left = std::move(left);
            j->right = tablePrimary();
            expectWord("on", err::kSyntaxInJoin);
            j->on = expr();
            left = std::move(j);
        }
        return left;
    }

    TableRefPtr tablePrimary() {
        auto t = std::make_unique<TableRef>();
        t->pos = peek().pos;
        if (accept("(")) {
            if (peek().is("select")) {
                t->kind = TableRef::Kind::Subquery;
                t->sub = selectStmt();
                expectOp(")", err::kSyntaxInFrom);
            } else {
                auto inner = joinExpr();
                expectOp(")", err::kSyntaxInFrom);
                t = std::move(inner);
            }
        } else {
            t->kind = TableRef::Kind::Table;
            t->name = name(err::kSyntaxInFrom);
        }
        if (accept("as")) {
            t->alias = name(err::kSyntaxInFrom);
        } else if (peek().kind == Tok::Ident && !isReserved(peek()) && !peek().is("where") &&
                   !peek().is("set")) {
            t->alias = next().text;
        }
        if (t->kind == TableRef::Kind::Subquery && t->alias.empty()) t->alias = "Subquery";
        return t;
    }

    // ---- INSERT / UPDATE / DELETE ---------------------------------------------------------
    void insertStmt(Statement& st) {
        context_ = err::kSyntaxInInsert;
        st.kind = Statement::Kind::Insert;
        next();
        expectWord("into", err::kSyntaxInInsert);
        st.target = name(err::kSyntaxInInsert);
        if (peek().is("(") && !peek(1).is("select")) {
            next();
            do st.columns.push_back(name(err::kSyntaxInInsert));
            while (accept(","));
            expectOp(")", err::kSyntaxInInsert);
        }
        if (accept("values")) {
            expectOp("(", err::kSyntaxInInsert);
            do st.values.push_back(expr());
            while (accept(","));
            expectOp(")", err::kSyntaxInInsert);
        } else if (peek().is("select") || (peek().is("(") && peek(1).is("select"))) {
            st.select = selectStmt();
        } else {
            fail(err::kSyntaxInInsert, peek());
        }
        context_ = err::kSyntaxInInsert;
    }

    void updateStmt(Statement& st) {
        context_ = err::kSyntaxInUpdate;
        st.kind = Statement::Kind::Update;
        next();
        if (accept("distinctrow")) st.distinctRow = true;
        st.table = joinExpr();
        expectWord("set", err::kSyntaxInUpdate);
        do {
            auto target = primary();
            if (target->kind != Expr::Kind::Name) fail(err::kSyntaxInUpdate, peek());
            expectOp("=", err::kSyntaxInUpdate);
            st.assignments.emplace_back(std::move(target), expr());
        } while (accept(","));
        if (accept("where")) st.where = expr();
    }

    void deleteStmt(Statement& st) {
        context_ = err::kSyntaxError;
        st.kind = Statement::Kind::Delete;
        next();
        if (accept("distinctrow")) st.distinctRow = true;
        if (accept("*")) {
        } else if (!peek().is("from")) {
            st.deleteTarget = name(err::kSyntaxError);
            expectOp(".", err::kSyntaxError);
            expectOp("*", err::kSyntaxError);
        }
        expectWord("from", err::kSyntaxInFrom);
        context_ = err::kSyntaxInFrom;
        st.table = joinExpr();
        if (accept("where")) {
            context_ = err::kSyntaxInWhere;
            st.where = expr();
        }
    }

    // ---- DDL ------------------------------------------------------------------------------
    // ALTER TABLE t ADD [COLUMN] definition | DROP [COLUMN] name
    void alterStmt(Statement& st) {
        next();
        context_ = err::kSyntaxInAlterTable;
        expectWord("table", err::kSyntaxInAlterTable);
        st.objectName = name(err::kSyntaxInAlterTable);
        if (accept("add")) {
            accept("column");
            st.kind = Statement::Kind::AlterAdd;
            st.columnDefs.push_back(columnDef());
        } else if (accept("drop")) {
            accept("column");
            st.kind = Statement::Kind::AlterDrop;
            st.columns.push_back(name(err::kSyntaxInAlterTable));
        } else {
            fail(err::kSyntaxInAlterTable, peek());
        }
    }

    void createStmt(Statement& st) {
        next();
        if (accept("table")) {
            context_ = err::kSyntaxInCreateTable;
            st.kind = Statement::Kind::CreateTable;
            st.objectName = name(err::kSyntaxInCreateTable);
            expectOp("(", err::kSyntaxInCreateTable);
            do {
                if (peek().is("constraint") || peek().is("primary") || peek().is("unique")) {
                    tableConstraint(st);
                } else {
                    st.columnDefs.push_back(columnDef());
                }
            } while (accept(","));
            expectOp(")", err::kSyntaxInCreateTable);
            return;
        }
        bool unique = accept("unique");
        if (accept("index")) {
            context_ = err::kSyntaxInCreateIndex;
            st.kind = Statement::Kind::CreateIndex;
            st.uniqueIndex = unique;
            st.objectName = name(err::kSyntaxInCreateIndex);
            expectWord("on", err::kSyntaxInCreateIndex);
            st.indexTable = name(err::kSyntaxInCreateIndex);
            expectOp("(", err::kSyntaxInCreateIndex);
            do {
                IndexColumn c;
                c.name = name(err::kSyntaxInCreateIndex);
                if (accept("desc"))
                    c.desc = true;
                else
                    accept("asc");
                st.indexColumns.push_back(std::move(c));
            } while (accept(","));
            expectOp(")", err::kSyntaxInCreateIndex);
            if (accept("with")) {
                do {
                    if (accept("primary")) {
                        st.primaryIndex = true;
                        st.uniqueIndex = true;
                    } else if (accept("disallow") || accept("ignore")) {
                        expectWord("null", err::kSyntaxInCreateIndex);
                    } else {
                        fail(err::kSyntaxInCreateIndex, peek());
                    }
                } while (!peek().is(";") && peek().kind != Tok::End);
            }
            return;
        }
        if (unique) fail(err::kSyntaxError, peek());
        if (peek().is("procedure") || peek().is("proc") || peek().is("view")) {
            bool view = next().is("view");
            context_ = err::kSyntaxError;
            st.kind = Statement::Kind::CreateQuery;
            st.objectName = name(err::kSyntaxError);
            std::vector<ParamDecl> params;
            if (!view && accept("(")) {
                if (!peek().is(")")) parseParamDecls(params);
                expectOp(")", err::kSyntaxError);
            }
            expectWord("as", err::kSyntaxError);
            size_t bodyStart = peek().pos;
            // Check the body now so a broken query is refused when it is saved.
            auto body = std::make_unique<Statement>();
            if (peek().is("select")) {
                body->select = selectStmt();
            } else if (!view && peek().is("insert")) {
                insertStmt(*body);
            } else if (!view && peek().is("update")) {
                updateStmt(*body);
            } else if (!view && peek().is("delete")) {
                deleteStmt(*body);
            } else {
                fail(err::kSyntaxError, peek());
            }
            size_t bodyEnd = peek().is(";") ? peek().pos : sql_.size();
            std::string text(sql_.substr(bodyStart, bodyEnd - bodyStart));
            while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
                text.pop_back();
            if (!params.empty()) {
                std::string decl = "PARAMETERS ";
                for (size_t k = 0; k < params.size(); ++k) {
                    if (k) decl += ", ";
                    decl += "[" + params[k].name + "] " + TypeName(params[k].type);
                    if (params[k].size) decl += "(" + std::to_string(params[k].size) + ")";
                }
                text = decl + "; " + text;
            }
            st.queryText = std::move(text);
            return;
        }
        fail(err::kSyntaxError, peek());
    }

    void tableConstraint(Statement& st) {
        if (accept("constraint")) name(err::kSyntaxInCreateTable);
        bool primary = false;
        if (accept("primary")) {
            expectWord("key", err::kSyntaxInCreateTable);
            primary = true;
        } else {
            expectWord("unique", err::kSyntaxInCreateTable);
        }
        expectOp("(", err::kSyntaxInCreateTable);
        std::vector<std::string> cols;
        do cols.push_back(name(err::kSyntaxInCreateTable));
        while (accept(","));
        expectOp(")", err::kSyntaxInCreateTable);
        if (primary) {
            if (!st.primaryKey.empty()) fail(err::kSyntaxInCreateTable, peek());
            st.primaryKey = std::move(cols);
        } else {
            st.uniques.push_back(std::move(cols));
        }
    }

    ColumnDef columnDef() {
        ColumnDef c;
        c.name = name(err::kSyntaxInFieldDefinition);
        const Token& ty = peek();
        if (ty.kind != Tok::Ident || !TypeFromName(ty.text, c.type, c.counter))
            fail(err::kSyntaxInFieldDefinition, ty);
        next();
        if (c.type == JType::Text) c.size = 255;
        if (accept("(")) {
            if (peek().kind != Tok::Integer) fail(err::kSyntaxInFieldDefinition, peek());
            c.size = std::stoi(next().text);
            if (accept(",")) {  // COUNTER(seed, increment): accepted, seed ignored
                if (peek().kind != Tok::Integer) fail(err::kSyntaxInFieldDefinition, peek());
                next();
            }
            expectOp(")", err::kSyntaxInFieldDefinition);
            if (c.type == JType::Text && (c.size < 1 || c.size > 255))
                fail(err::kSyntaxInFieldDefinition, ty);
        }
        for (;;) {
            if (peek().is("not") && peek(1).is("null")) {
                next();
                next();
                c.notNull = true;
            } else if (accept("null")) {
            } else if (peek().is("primary") && peek(1).is("key")) {
                next();
                next();
                c.primaryKey = true;
            } else if (accept("unique")) {
                c.unique = true;
            } else if (accept("default")) {
                c.defaultSql = defaultLiteral();
            } else if (accept("constraint")) {
                name(err::kSyntaxInFieldDefinition);
            } else {
                break;
            }
        }
        return c;
    }

    // A DEFAULT takes a literal; it is kept as the parser saw it and rendered by the emitter.
    std::string defaultLiteral() {
        bool neg = accept("-");
        const Token& t = peek();
        std::string out;
        switch (t.kind) {
            case Tok::Integer:
            case Tok::Float:
                out = (neg ? "-" : "") + t.text;
                break;
            case Tok::String:
                out = "s:" + t.text;
                break;
            case Tok::DateLit:
                out = "d:" + t.text;
                break;
            default:
                if (t.is("true")) {
                    out = "-1";
                } else if (t.is("false")) {
                    out = "0";
                } else if (t.is("null")) {
                    out = "null";
                } else {
                    fail(err::kSyntaxInFieldDefinition, t);
                }
        }
        if (neg && t.kind != Tok::Integer && t.kind != Tok::Float)
            fail(err::kSyntaxInFieldDefinition, t);
        next();
        return out;
    }

    void dropStmt(Statement& st) {
        next();
        context_ = err::kSyntaxInDrop;
        if (accept("table")) {
            st.kind = Statement::Kind::DropTable;
            st.objectName = name(err::kSyntaxInDrop);
        } else if (accept("index")) {
            st.kind = Statement::Kind::DropIndex;
            st.objectName = name(err::kSyntaxInDrop);
            expectWord("on", err::kSyntaxInDrop);
            st.indexTable = name(err::kSyntaxInDrop);
        } else if (accept("procedure") || accept("proc") || accept("view")) {
            st.kind = Statement::Kind::DropQuery;
            st.objectName = name(err::kSyntaxInDrop);
        } else {
            fail(err::kSyntaxInDrop, peek());
        }
    }

    // ---- expressions ----------------------------------------------------------------------
    ExprPtr binary(std::string op, ExprPtr l, ExprPtr r, uint32_t pos) {
        auto e = std::make_unique<Expr>(Expr::Kind::Binary);
        e->op = std::move(op);
        e->pos = pos;
        e->args.push_back(std::move(l));
        e->args.push_back(std::move(r));
        return e;
    }

    void checkDate(const Token& t) const {
        try {
            Date::parse(t.text);
        } catch (const JetError&) {
            throw JetError(err::kSyntaxInExpression,
                           "Syntax error in date in query expression near '#" + t.text + "#'.");
        }
    }

    // A malformed expression: the engine quotes it, from its start to the clause that follows.
    [[noreturn]] void exprFail(const Token& t) {
        if (itemStart_ && t.pos == exprStart_ && isReserved(t)) fail(kSelectMisspelled, t);
        // Clauses with a syntax error of their own keep it (ORDER BY, UPDATE's SET...).
        if (context_ != err::kSyntaxError && context_ != err::kInvalidSql &&
            context_ != err::kSyntaxInWhere)
            fail(context_, t);
        size_t end = sql_.size();
        for (size_t k = 0; i_ + k < toks_.size(); ++k) {
            const Token& u = peek(k);
            if (u.kind == Tok::End) break;
            if (u.pos >= t.pos && k > 0 &&
                (u.is(";") || u.is("from") || u.is("where") || u.is("group") || u.is("having") ||
                 u.is("order") || u.is("union"))) {
                end = u.pos;
                break;
            }
        }
        std::string text(sql_.substr(exprStart_, end > exprStart_ ? end - exprStart_ : 0));
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
            text.pop_back();
        throw JetError(err::kSyntaxInExpression,
                       "Syntax error (missing operator) in query expression '" + text + "'.");
    }

    ExprPtr expr() {
        Nested nested(depth_);
        if (exprNest_ == 0) exprStart_ = peek().pos;
        ++exprNest_;
        struct Leave {
            int& n;
            ~Leave() { --n; }
        } leave{exprNest_};
        return impExpr();
    }

    template <typename Next>
    ExprPtr leftAssoc(std::initializer_list<std::string_view> ops, Next nextLevel) {
        auto l = (this->*nextLevel)();
        for (int chain = 0;;) {
            bool matched = false;
            for (auto op : ops) {
                if (peek().is(op)) {
                    uint32_t pos = peek().pos;
                    next();
                    auto r = (this->*nextLevel)();
                    std::string o = lower(std::string(op));
                    if ((o == "and" || o == "or") && l->kind == Expr::Kind::Binary && l->op == o) {
                        l->args.push_back(std::move(r));  // a flat list: a AND b AND c
                    } else {
                        if (++chain > kMaxChain) throw JetError::make(err::kQueryTooComplex);
                        l = binary(std::move(o), std::move(l), std::move(r), pos);
                    }
                    matched = true;
                    break;
                }
            }
            if (!matched) return l;
        }
    }

    ExprPtr impExpr() { return leftAssoc({"imp"}, &Parser::eqvExpr); }
    ExprPtr eqvExpr() { return leftAssoc({"eqv"}, &Parser::xorExpr); }
    ExprPtr xorExpr() { return leftAssoc({"xor"}, &Parser::orExpr); }
    ExprPtr orExpr() { return leftAssoc({"or"}, &Parser::andExpr); }
    ExprPtr andExpr() { return leftAssoc({"and"}, &Parser::notExpr); }

    ExprPtr notExpr() {
        if (peek().is("not")) {
            Nested nested(depth_);
            uint32_t pos = next().pos;
            auto e = std::make_unique<Expr>(Expr::Kind::Unary);
            e->op = "not";
            e->pos = pos;
            e->args.push_back(notExpr());
            return e;
        }
        return comparison();
    }

    ExprPtr comparison() {
        auto l = concatExpr();
        for (int chain = 0;; ++chain) {
            if (chain > kMaxChain) throw JetError::make(err::kQueryTooComplex);
            const Token& t = peek();
            uint32_t pos = t.pos;
            if (t.is("=") || t.is("<>") || t.is("<") || t.is(">") || t.is("<=") || t.is(">=")) {
                std::string op = next().text;
                l = binary(op, std::move(l), concatExpr(), pos);
                continue;
            }
            if (t.is("is")) {
                next();
                auto e = std::make_unique<Expr>(Expr::Kind::IsNull);
                e->pos = pos;
                e->negated = accept("not");
                expectWord("null", err::kSyntaxInExpression);
                e->args.push_back(std::move(l));
                l = std::move(e);
                continue;
            }
            bool negated = false;
            if (t.is("not") && (peek(1).is("between") || peek(1).is("in") || peek(1).is("like"))) {
                next();
                negated = true;
            }
            if (accept("between")) {
                auto e = std::make_unique<Expr>(Expr::Kind::Between);
                e->pos = pos;
                e->negated = negated;
                e->args.push_back(std::move(l));
                e->args.push_back(concatExpr());
                expectWord("and", err::kSyntaxInExpression);
                e->args.push_back(concatExpr());
                l = std::move(e);
            } else if (accept("in")) {
                expectOp("(", err::kSyntaxInExpression);
                std::unique_ptr<Expr> e;
                if (peek().is("select")) {
                    e = std::make_unique<Expr>(Expr::Kind::InSelect);
                    e->sub = selectStmt();
                    e->args.push_back(std::move(l));
                } else {
                    e = std::make_unique<Expr>(Expr::Kind::InList);
                    e->args.push_back(std::move(l));
                    do e->args.push_back(expr());
                    while (accept(","));
                }
                expectOp(")", err::kSyntaxInExpression);
                e->pos = pos;
                e->negated = negated;
                l = std::move(e);
            } else if (accept("like")) {
                auto e = std::make_unique<Expr>(Expr::Kind::Like);
                e->pos = pos;
                e->negated = negated;
                e->args.push_back(std::move(l));
                e->args.push_back(concatExpr());
                l = std::move(e);
            } else {
                if (negated) exprFail(peek());
                return l;
            }
        }
    }

    ExprPtr concatExpr() { return leftAssoc({"&"}, &Parser::addExpr); }
    ExprPtr addExpr() { return leftAssoc({"+", "-"}, &Parser::modExpr); }
    ExprPtr modExpr() { return leftAssoc({"mod"}, &Parser::idivExpr); }
    ExprPtr idivExpr() { return leftAssoc({"\\"}, &Parser::mulExpr); }
    ExprPtr mulExpr() { return leftAssoc({"*", "/"}, &Parser::unaryExpr); }

    ExprPtr unaryExpr() {
        if (peek().is("-") || peek().is("+")) {
            Nested nested(depth_);
            uint32_t pos = peek().pos;
            std::string op = next().text;
            auto e = std::make_unique<Expr>(Expr::Kind::Unary);
            e->op = op;
            e->pos = pos;
            e->args.push_back(unaryExpr());
            return e;
        }
        return powExpr();
    }

    ExprPtr powExpr() {
        auto l = primary();
        for (int chain = 0; peek().is("^");) {
            if (++chain > kMaxChain) throw JetError::make(err::kQueryTooComplex);
            uint32_t pos = next().pos;
            l = binary("^", std::move(l), unaryOperand(), pos);
        }
        return l;
    }
    ExprPtr unaryOperand() {
        if (peek().is("-") || peek().is("+")) return unaryExpr();
        return primary();
    }

    ExprPtr primary() {
        const Token& t = peek();
        uint32_t pos = t.pos;
        switch (t.kind) {
            case Tok::Integer:
            case Tok::Float:
            case Tok::String:
            case Tok::DateLit: {
                if (t.kind == Tok::DateLit) checkDate(t);
                auto e = std::make_unique<Expr>(Expr::Kind::Literal);
                e->literal = t.literal;
                e->pos = pos;
                next();
                return e;
            }
            case Tok::Op:
                if (t.is("(")) {
                    next();
                    if (peek().is("select")) {
                        auto e = std::make_unique<Expr>(Expr::Kind::Subquery);
                        e->sub = selectStmt();
                        e->pos = pos;
                        expectOp(")", err::kSyntaxInExpression);
                        return e;
                    }
                    auto e = expr();
                    if (!accept(")")) exprFail(peek());
                    return e;
                }
                if (t.is("*")) {
                    next();
                    auto e = std::make_unique<Expr>(Expr::Kind::Star);
                    e->pos = pos;
                    return e;
                }
                exprFail(t);
            case Tok::Ident:
                break;
            case Tok::End:
                exprFail(t);
        }
        if (!t.bracketed) {
            if (t.is("null")) {
                next();
                auto e = std::make_unique<Expr>(Expr::Kind::Null);
                e->pos = pos;
                return e;
            }
            if (t.is("true") || t.is("yes")) {
                next();
                auto e = std::make_unique<Expr>(Expr::Kind::True);
                e->pos = pos;
                return e;
            }
            if (t.is("false") || t.is("no")) {
                next();
                auto e = std::make_unique<Expr>(Expr::Kind::False);
                e->pos = pos;
                return e;
            }
            if (t.is("exists")) {
                next();
                expectOp("(", err::kSyntaxInExpression);
                auto e = std::make_unique<Expr>(Expr::Kind::Exists);
                e->sub = selectStmt();
                e->pos = pos;
                expectOp(")", err::kSyntaxInExpression);
                return e;
            }
            // Left(, Right( and Asc( are the text functions, not the keywords.
            bool textFunction = (t.is("left") || t.is("right") || t.is("asc")) && peek(1).is("(");
            if (isReserved(t) && !textFunction) exprFail(t);
        }
        std::string first = next().text;
        if (!t.bracketed && peek().is("(")) {
            next();
            auto e = std::make_unique<Expr>(Expr::Kind::Call);
            e->op = first;
            e->pos = pos;
            if (!peek().is(")")) {
                do {
                    if (peek().is("*") && (peek(1).is(")"))) {
                        auto star = std::make_unique<Expr>(Expr::Kind::Star);
                        star->pos = next().pos;
                        e->args.push_back(std::move(star));
                    } else {
                        // The engine has no DISTINCT inside an aggregate: Count(DISTINCT a)
                        // is a syntax error there, not a count of every row.
                        if (peek().is("distinct")) exprFail(peek());
                        e->args.push_back(expr());
                    }
                } while (accept(","));
            }
            if (!accept(")")) exprFail(peek());
            return e;
        }
        if (peek().is(".") || peek().is("!")) {
            next();
            if (accept("*")) {
                auto e = std::make_unique<Expr>(Expr::Kind::Star);
                e->qualifier = first;
                e->pos = pos;
                return e;
            }
            const Token& col = peek();
            if (col.kind != Tok::Ident) exprFail(col);
            next();
            auto e = std::make_unique<Expr>(Expr::Kind::Name);
            e->qualifier = first;
            e->name = col.text;
            e->pos = pos;
            return e;
        }
        auto e = std::make_unique<Expr>(Expr::Kind::Name);
        e->name = first;
        e->pos = pos;
        return e;
    }
};

}  // namespace

Expr::~Expr() {
    std::vector<ExprPtr> pending;
    for (auto& a : args) pending.push_back(std::move(a));
    while (!pending.empty()) {
        ExprPtr e = std::move(pending.back());
        pending.pop_back();
        if (!e) continue;
        for (auto& a : e->args) pending.push_back(std::move(a));
    }
}

std::unique_ptr<Statement> Parse(const Lexed& lexed, std::string_view sql) {
    Parser p(lexed, sql);
    return p.statement();
}

}  // namespace kelvor::jetsql
