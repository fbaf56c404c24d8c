// The SQL corpus on PostgreSQL: each tests/sql/*.test file runs through the object model
// against a new schema of the private cluster, judged as on SQLite (sql_corpus.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "kelvor/dao.h"
#include "pg/pg_cluster.h"
#include "sql_corpus.h"

namespace kelvor {
namespace {

class PgSqlCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(PgSqlCorpus, File) {
    const std::string path =
        test::NewSchemaPath("corpus_" + std::filesystem::path(GetParam()).stem().string());
    DBEngine().CreateDatabase(path);
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    corpus::RunFile(GetParam(), "pg", [&](const corpus::Case& c) { return corpus::Ask(db, c); });
    db.Close();
}

INSTANTIATE_TEST_SUITE_P(Files, PgSqlCorpus,
                         ::testing::ValuesIn(corpus::CorpusFiles(KELVOR_SQL_CORPUS)),
                         corpus::TestName);

}  // namespace
}  // namespace kelvor
