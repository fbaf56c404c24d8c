// The SQL corpus on SQLite: each tests/sql/*.test file is one test, its cases run in order
// through the object model against a new, empty database, so earlier statements build the
// tables later queries read. The format and the judging are in sql_corpus.h.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelvor/dao.h"
#include "kelvor/jet_error.h"
#include "sql_corpus.h"
#include "test_util.h"

namespace kelvor {
namespace {

using corpus::Answer;
using corpus::Case;

Answer Ask(Database& db, const Case& c) {
    Answer a;
    try {
        if (!c.query) {
            db.Execute(c.sql, dbFailOnError);
        } else {
            Recordset rs = db.OpenRecordset(c.sql, dbOpenSnapshot);
            for (int i = 0; i < rs.FieldCount(); ++i) a.types.push_back(rs.Fields(i).Type());
            for (; !rs.EOF_(); rs.MoveNext()) {
                std::string row;
                for (int i = 0; i < rs.FieldCount(); ++i)
                    row += (i ? "|" : "") + corpus::Cell(rs.Fields(i).Value());
                a.rows.push_back(row);
            }
            rs.Close();
        }
    } catch (const JetError& e) {
        a.error = true;
        a.number = e.number();
        a.description = e.description();
    }
    return a;
}

class SqlCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(SqlCorpus, File) {
    test::TempDir dir;
    Database db = test::CreateAndOpen(dir.file("corpus.mdb"));
    corpus::RunFile(GetParam(), "sqlite", [&](const Case& c) { return Ask(db, c); });
    db.Close();
}

INSTANTIATE_TEST_SUITE_P(Files, SqlCorpus,
                         ::testing::ValuesIn(corpus::CorpusFiles(KELVOR_SQL_CORPUS)),
                         corpus::TestName);

}  // namespace
}  // namespace kelvor
