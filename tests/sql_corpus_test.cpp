// The SQL corpus on SQLite: each tests/sql/*.test file is one test, its cases run in order
// through the object model against a new, empty database, so earlier statements build the
// tables later queries read. The format and the judging are in sql_corpus.h.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelvor/dao.h"
#include "sql_corpus.h"
#include "test_util.h"

namespace kelvor {
namespace {

using corpus::Case;

class SqlCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(SqlCorpus, File) {
    test::TempDir dir;
    Database db = test::CreateAndOpen(dir.file("corpus.mdb"));
    corpus::RunFile(GetParam(), "sqlite", [&](const Case& c) { return corpus::Ask(db, c); });
    db.Close();
}

INSTANTIATE_TEST_SUITE_P(Files, SqlCorpus,
                         ::testing::ValuesIn(corpus::CorpusFiles(KELVOR_SQL_CORPUS)),
                         corpus::TestName);

}  // namespace
}  // namespace kelvor
