// The SQL corpus on PostgreSQL: each tests/sql/*.test file runs against a fresh schema of the
// private cluster, through the translator alone (parse, bind against the schema's catalog,
// plan, the PostgreSQL emitter, libpq), and its answers are judged as on SQLite
// (sql_corpus.h). Statements the object model handles itself (DDL, saved queries, SELECT INTO)
// are done here as it does them, with PostgreSQL's declarations.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "jetsql/binder.h"
#include "jetsql/lexer.h"
#include "jetsql/plan.h"
#include "kelvor/jet_error.h"
#include "pg/catalog.h"
#include "pg/dialect.h"
#include "pg/emit.h"
#include "pg/library.h"
#include "pg/pg_cluster.h"
#include "pg/values.h"
#include "sql_corpus.h"
#include "sqlite/dialect.h"

namespace kelvor {
namespace {

using corpus::Answer;
using corpus::Case;
using jetsql::JType;
using jetsql::Statement;
using Resolved = jetsql::Resolver::Resolved;

std::string Conninfo() {
    return kelvor::test::ClusterConninfo();
}

class SchemaResolver : public jetsql::Resolver {
  public:
    SchemaResolver(const sqlite::Catalog& cat, std::string schema)
        : cat_(cat), schema_(std::move(schema)) {}
    Resolved resolve(std::string_view name) override {
        Resolved r;
        if (const sqlite::TableInfo* t = cat_.table(name)) {
            r.kind = Resolved::Kind::Table;
            r.schema = schema_;
            r.table = t;
        } else if (const sqlite::QueryInfo* q = cat_.query(name)) {
            r.kind = Resolved::Kind::Query;
            r.querySql = q->sql;
        }
        return r;
    }

  private:
    const sqlite::Catalog& cat_;
    std::string schema_;
};

std::vector<const char*> Pointers(const std::vector<std::optional<std::string>>& texts) {
    std::vector<const char*> out;
    for (const auto& t : texts) out.push_back(t ? t->c_str() : nullptr);
    return out;
}

class Runner {
  public:
    Runner(PGconn* conn, std::string schema) : conn_(conn), schema_(std::move(schema)) {}

    Answer run(const Case& c) {
        Answer a;
        try {
            execute(c, a);
        } catch (const JetError& e) {
            a = Answer();
            a.error = true;
            a.number = e.number();
            a.description = e.description();
        }
        return a;
    }

  private:
    void execute(const Case& c, Answer& a) {
        sqlite::Catalog cat;
        pg::LoadCatalog(conn_, schema_, cat);
        // A recordset opened on a bare name reads that table or saved query.
        std::string sql = c.sql;
        jetsql::Lexed lx = jetsql::Lex(sql);
        if (c.query && lx.tokens.size() == 2 && lx.tokens[0].kind == jetsql::Tok::Ident) {
            const std::string& name = lx.tokens[0].text;
            if (const sqlite::QueryInfo* q = cat.query(name))
                sql = q->sql;
            else if (cat.table(name))
                sql = "SELECT * FROM [" + name + "]";
            else
                throw JetError::make(err::kInputTableNotFound, name);
            lx = jetsql::Lex(sql);
        }
        std::unique_ptr<Statement> st = jetsql::Parse(lx, sql);
        const std::string s = pg::dialect::QuoteIdent(schema_);
        switch (st->kind) {
            case Statement::Kind::CreateQuery:
                if (c.query) throw JetError::make(err::kInvalidOperation);
                return saveQuery(cat, st->objectName, st->queryText);
            case Statement::Kind::DropQuery:
                if (!cat.query(st->objectName))
                    throw JetError::make(err::kObjectNotFound, st->objectName);
                pg::Exec(conn_, pg::dialect::DeleteObjectSql(schema_), {st->objectName.c_str()});
                return;
            default:
                break;
        }
        if (sqlite::IsTableDdl(st->kind)) {
            if (c.query) throw JetError::make(err::kInvalidOperation);
            pg::Exec(conn_, sqlite::TranslateDdl(*st, schema_, cat, pg::dialect::Ddl()));
            return;
        }
        SchemaResolver resolver(cat, schema_);
        std::unique_ptr<jetsql::BoundStatement> bound = jetsql::Bind(*st, lx.literals, resolver);
        jetsql::Plan(*bound);
        std::shared_ptr<sqlite::Translation> tr = pg::Emit(*bound);
        if (c.query && tr->kind != Statement::Kind::Select)
            throw JetError::make(err::kInvalidOperation);
        if (!c.query && tr->kind == Statement::Kind::Select)
            throw JetError::make(err::kCantExecuteSelect);
        const auto values = pg::SlotTexts(*tr, lx.literals, nullptr);
        if (tr->kind == Statement::Kind::SelectInto) return selectInto(cat, *tr, values);
        pg::Result r = pg::Exec(conn_, tr->sql, Pointers(values));
        if (!c.query) return;
        const int skip = tr->updatable ? 1 : 0;  // the record's identity comes first
        for (const auto& col : tr->columns)
            a.types.push_back(col.type == JType::Null ? DataType::Variant
                                                      : static_cast<DataType>(col.type));
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            std::string line;
            for (size_t i = 0; i < tr->columns.size(); ++i) {
                const int f = static_cast<int>(i) + skip;
                const char* text =
                    PQgetisnull(r.get(), row, f) ? nullptr : PQgetvalue(r.get(), row, f);
                line += (i ? "|" : "") + corpus::Cell(pg::ReadValue(text, tr->columns[i].type));
            }
            a.rows.push_back(line);
        }
    }

    void saveQuery(const sqlite::Catalog& cat, const std::string& name, const std::string& sql) {
        jetsql::Lexed lx = jetsql::Lex(sql);
        jetsql::Parse(lx, sql);  // a query that does not parse is not saved
        if (cat.table(name)) throw JetError::make(err::kTableExists, name);
        if (cat.query(name)) throw JetError::make(err::kObjectExists, name);
        pg::Exec(conn_, pg::dialect::CreateObjectsTableSql(schema_));
        const std::string type = std::to_string(sqlite::dialect::kObjectTypeQuery);
        pg::Exec(conn_, pg::dialect::InsertObjectSql(schema_),
                 {name.c_str(), type.c_str(), nullptr, nullptr, sql.c_str()});
    }

    // SELECT ... INTO: a new table with the query's columns and types, then its rows, in one
    // transaction.
    void selectInto(const sqlite::Catalog& cat, const sqlite::Translation& tr,
                    const std::vector<std::optional<std::string>>& values) {
        if (cat.table(tr.writeTable) || cat.query(tr.writeTable))
            throw JetError::make(err::kTableExists, tr.writeTable);
        const pg::dialect::SelectInto sql = pg::dialect::SelectIntoSql(schema_, tr);
        pg::Exec(conn_, "BEGIN");
        try {
            pg::Exec(conn_, sql.create);
            pg::Exec(conn_, sql.insert, Pointers(values));
            pg::Exec(conn_, "COMMIT");
        } catch (...) {
            pg::Result r(PQexec(conn_, "ROLLBACK"));
            throw;
        }
    }

    PGconn* conn_;
    std::string schema_;
};

class PgSqlCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(PgSqlCorpus, File) {
    const std::string conninfo = Conninfo();
    ASSERT_FALSE(conninfo.empty()) << "no private cluster: KELVOR_TEST_PG_STATE/conninfo";
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(conninfo.c_str()), PQfinish);
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    pg::InstallLibrary(conn.get());
    pg::Exec(conn.get(), "SET client_min_messages = warning");
    const std::string schema = "corpus_" + std::filesystem::path(GetParam()).stem().string();
    const std::string q = pg::dialect::QuoteIdent(schema);
    pg::Exec(conn.get(), "DROP SCHEMA IF EXISTS " + q + " CASCADE");
    pg::Exec(conn.get(), pg::dialect::CreateSchemaSql(schema));
    Runner runner(conn.get(), schema);
    corpus::RunFile(GetParam(), "pg", [&](const Case& c) { return runner.run(c); });
    pg::Exec(conn.get(), "DROP SCHEMA " + q + " CASCADE");
}

INSTANTIATE_TEST_SUITE_P(Files, PgSqlCorpus,
                         ::testing::ValuesIn(corpus::CorpusFiles(KELVOR_SQL_CORPUS)),
                         corpus::TestName);

}  // namespace
}  // namespace kelvor
