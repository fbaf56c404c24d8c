#include "fixture.h"

#include <cstdlib>
#include <filesystem>

#include "kelvor/dao.h"

namespace kelvor::fuzz {

namespace {

constexpr const char* kSource[] = {
    "CREATE TABLE src (id LONG, s TEXT(10))",
    "INSERT INTO src VALUES (1, 'one')",
    "INSERT INTO src VALUES (2, Null)",
};

constexpr const char* kFixture[] = {
    "CREATE TABLE t (id LONG, a LONG, b TEXT(10), c DOUBLE, d DATETIME, f YESNO, n LONG, "
    "s TEXT(10), m MEMO)",
    "CREATE TABLE ty (b YESNO, y BYTE, i SHORT, l LONG, c CURRENCY, s SINGLE, d DOUBLE, "
    "t DATETIME, x TEXT(5), m MEMO)",
    "CREATE TABLE a (Id LONG, Name TEXT(10), v LONG, s TEXT(10))",
    "CREATE TABLE b (AId LONG, V LONG, w LONG)",
    "CREATE TABLE k (id COUNTER PRIMARY KEY, v TEXT(10) NOT NULL, w LONG)",
    "CREATE UNIQUE INDEX ixV ON k (v)",
    "CREATE TABLE [my table] ([first name] TEXT(10), [Date] DATETIME, [Order] LONG)",
    "INSERT INTO t VALUES (1, 1, 'x', 1.5, #1/2/2003 13:45#, True, 10, 'abc', 'memo')",
    "INSERT INTO t VALUES (2, -2147483648, 'Y', -0.25, #12/31/9999#, False, Null, 'É', '')",
    "INSERT INTO t VALUES (3, Null, Null, Null, Null, Null, 0, '', Null)",
    "INSERT INTO ty VALUES (True, 255, -32768, 2147483647, 922337203685477.5807, 3.4E38, "
    "1E308, #1/1/100#, 'abcde', 'é')",
    "INSERT INTO ty VALUES (False, 0, 1, -1, -1.5, -1.5, 0.1, #2/29/2000 23:59:59#, '', Null)",
    "INSERT INTO ty (b) VALUES (Null)",
    "INSERT INTO a VALUES (1, 'Ann', 5, 'a')",
    "INSERT INTO a VALUES (2, 'bob', Null, 'B')",
    "INSERT INTO a VALUES (3, Null, 7, Null)",
    "INSERT INTO b VALUES (1, 5, 1)",
    "INSERT INTO b VALUES (1, 9, Null)",
    "INSERT INTO b VALUES (2, 7, 2)",
    "INSERT INTO b VALUES (Null, Null, 3)",
    "INSERT INTO k (v, w) VALUES ('p', 1)",
    "INSERT INTO k (v, w) VALUES ('Q', Null)",
    "INSERT INTO [my table] VALUES ('Ann', #3/4/2005#, 2)",
    "CREATE VIEW qBig AS SELECT * FROM b WHERE V > 6",
    "CREATE VIEW qTotals AS SELECT AId, Sum(V) AS Total FROM b GROUP BY AId",
    "CREATE PROCEDURE qMin (pMin LONG) AS SELECT AId, V FROM b WHERE V >= pMin",
};

struct Folder {
    std::filesystem::path path;
    Folder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kelvor-fuzz-XXXXXX");
        if (!::mkdtemp(tmpl.data())) std::abort();
        path = tmpl;
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

template <size_t N>
Database Make(const std::string& path, const char* const (&statements)[N]) {
    DBEngine().CreateDatabase(path);
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    for (const char* sql : statements) db.Execute(sql, dbFailOnError);
    return db;
}

}  // namespace

const std::string& FixturePath() {
    static Folder folder;
    static const std::string path = [] {
        std::string source = folder.path / "source.mdb", fixture = folder.path / "fixture.mdb";
        Make(source, kSource).Close();
        Database db = Make(fixture, kFixture);
        db.LinkTable("lnk", source, "src");
        db.Close();
        return fixture;
    }();
    return path;
}

}  // namespace kelvor::fuzz
