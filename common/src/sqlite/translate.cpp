#include "sqlite/translate.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "jetsql/plan.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "sqlite/dialect.h"
#include "sqlite/emit.h"

namespace kelvor::sqlite {

using dialect::QuoteIdent;
using jetsql::Expr;
using jetsql::JType;
using jetsql::SelectStmt;
using jetsql::Statement;
using jetsql::TableRef;
using jetsql::Tok;

namespace {

std::string defaultSql(const std::string& lit, JType type) {
    if (lit == "null") return "NULL";
    Value v = DefaultValue(lit);
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
            return lit.rfind("s:", 0) == 0 ? dialect::QuoteText(v.toString()) : v.toString();
    }
}

}  // namespace

Value DefaultValue(const std::string& lit) {
    bool isText = lit.rfind("s:", 0) == 0, isDate = lit.rfind("d:", 0) == 0;
    std::string body = (isText || isDate) ? lit.substr(2) : lit;
    return isDate ? Value(Date::parse(body)) : Value(body);
}

const DdlDialect& SqliteDdl() {
    static const DdlDialect d{dialect::ColumnDeclaration, defaultSql, true, false};
    return d;
}

std::shared_ptr<Translation> Translate(Statement& st, const std::vector<jetsql::Literal>& literals,
                                       Resolver& resolver) {
    std::unique_ptr<jetsql::BoundStatement> bound = jetsql::Bind(st, literals, resolver);
    jetsql::Plan(*bound);
    return Emit(*bound);
}

JetError SlotError(const JetError& e, const jetsql::Literal* literal, Statement::Kind kind) {
    if (literal && literal->kind == Tok::DateLit)
        return JetError(err::kSyntaxInExpression,
                        "Syntax error in date in query expression near '#" + literal->text + "#'.");
    if (e.number() == err::kTypeMismatch) return JetError::make(err::kDataTypeMismatch);
    // In a write the value is most likely bound for a column; either way the statement fails
    // before anything is written.
    if (e.number() == err::kOverflow &&
        (kind == Statement::Kind::Insert || kind == Statement::Kind::Update))
        return JetError::make(err::kNumericFieldOverflow);
    return e;
}

std::vector<ColumnInfo> SelectIntoColumns(const Translation& tr) {
    std::vector<ColumnInfo> out;
    for (const auto& oc : tr.columns) {
        ColumnInfo c;
        c.name = oc.name;
        c.type = oc.type == JType::Variant || oc.type == JType::Null ? JType::Memo : oc.type;
        if (c.type == JType::Text) c.size = 255;
        out.push_back(std::move(c));
    }
    return out;
}

bool IsTableDdl(Statement::Kind kind) {
    switch (kind) {
        case Statement::Kind::CreateTable:
        case Statement::Kind::CreateIndex:
        case Statement::Kind::DropTable:
        case Statement::Kind::DropIndex:
        case Statement::Kind::AlterAdd:
        case Statement::Kind::AlterDrop:
            return true;
        default:
            return false;
    }
}

std::string TranslateDdl(const Statement& st, const std::string& schema, const Catalog& catalog) {
    return TranslateDdl(st, schema, catalog, SqliteDdl());
}

std::string TranslateDdl(const Statement& st, const std::string& schema, const Catalog& catalog,
                         const DdlDialect& d) {
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
                sql += (i ? ", " : "") + d.column(ci);
                if (c.defaultSql && !c.counter)
                    sql += " DEFAULT " + d.defaultValue(*c.defaultSql, c.type);
                if (c.unique && !c.counter) sql += " UNIQUE";
                if (c.primaryKey && (!c.counter || !d.counterIsIdentity)) pk.push_back(c.name);
            }
            if (!pk.empty()) {
                bool counterIsKey = false;
                for (const auto& c : st.columnDefs)
                    if (c.counter && pk.size() == 1 && EqualNoCase(pk[0], c.name))
                        counterIsKey = true;
                if (!counterIsKey || !d.counterIsIdentity) {
                    // Where the counter is the record's identity (SQLite's rowid), a declared
                    // key is a unique index.
                    sql += counters && d.counterIsIdentity ? ", UNIQUE (" : ", PRIMARY KEY (";
                    for (size_t i = 0; i < pk.size(); ++i)
                        sql += (i ? ", " : "") + QuoteIdent(pk[i]);
                    sql += ")";
                }
            }
            if (d.recordKey) sql += std::string(", ") + d.recordKey;
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
            std::string sql =
                std::string("CREATE ") + (st.uniqueIndex ? "UNIQUE " : "") + "INDEX " +
                (d.indexInTableSchema
                     ? QuoteIdent(st.objectName) + " ON " + s + "." + QuoteIdent(t->name)
                     : s + "." + QuoteIdent(st.objectName) + " ON " + QuoteIdent(t->name)) +
                " (";
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
        case Statement::Kind::AlterAdd: {
            const TableInfo* t = catalog.table(st.objectName);
            if (!t) throw JetError::make(err::kInputTableNotFound, st.objectName);
            const auto& c = st.columnDefs[0];
            if (t->find(c.name)) throw JetError::make(err::kFieldExists, c.name, t->name);
            // A counter is the table's record identity, which an existing table has already.
            if (c.counter || c.primaryKey) throw JetError::make(err::kSyntaxInAlterTable);
            ColumnInfo ci;
            ci.name = c.name;
            ci.type = c.type;
            ci.size = c.size;
            ci.notNull = c.notNull;
            std::string sql =
                "ALTER TABLE " + s + "." + QuoteIdent(t->name) + " ADD COLUMN " + d.column(ci);
            if (c.defaultSql) sql += " DEFAULT " + d.defaultValue(*c.defaultSql, c.type);
            return sql;
        }
        case Statement::Kind::AlterDrop: {
            const TableInfo* t = catalog.table(st.objectName);
            if (!t) throw JetError::make(err::kInputTableNotFound, st.objectName);
            const ColumnInfo* c = t->find(st.columns[0]);
            if (!c) throw JetError::make(err::kItemNotFound);
            return "ALTER TABLE " + s + "." + QuoteIdent(t->name) + " DROP COLUMN " +
                   QuoteIdent(c->name);
        }
        default:
            break;
    }
    throw JetError::make(err::kInvalidSql);
}

}  // namespace kelvor::sqlite
