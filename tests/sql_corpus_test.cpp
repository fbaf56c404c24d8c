// The SQL corpus: Jet SQL statements and the answers the engine must give, kept as data in
// tests/sql/*.test. Each file is one test; its cases run in order against a new, empty database,
// so earlier statements build the tables later queries read.
//
// Format (tests/sql/README.md has examples). Between cases, blank lines and lines starting with
// '#' are skipped. A case is a header line, then its SQL on the following lines:
//   statement ok                      run through Database.Execute with dbFailOnError
//   statement error N [text]          the same, expecting error N (and exactly `text`, if given)
//   query [rowsort|nosort] [TYPES]    open a snapshot and read every row; the SQL ends at
//                                     "----", the expected rows follow up to a blank line
//   query error N [text]              open a snapshot and read every row, expecting error N at
//                                     open or while reading
// A statement's SQL ends at a blank line. TYPES are DAO field type names (Long, Text, Double,
// Currency, Date, Boolean, Memo, Variant, Byte, Integer, Single), one per field, checked against
// Field.Type(). `nosort` (the default) compares rows in order, `rowsort` as sorted lists.
// A row is its fields joined by '|': Null as NULL, empty text as (empty), anything else as
// Value::toString() gives it (dates "YYYY-MM-DD HH:MM:SS", Booleans True/False, money and
// numbers as shortest decimal text, doubles to 15 significant digits).
// A line `todo REASON` before a case marks today's answer as known to be wrong: the case must
// fail, and the file fails when it passes. `todo crash REASON` marks a case that would crash,
// hang or exhaust memory today: it is not run, only counted.
// `{N*text}` in SQL or rows stands for `text` repeated N times. With KELVOR_CORPUS_VERBOSE set,
// the driver also prints how each todo case fails today.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kelvor/dao.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "test_util.h"

namespace kelvor {
namespace {

namespace fs = std::filesystem;

enum class Todo { None, Wrong, Crash };

struct Case {
    int line = 0;
    bool query = false;
    bool expectError = false;
    int errorNumber = 0;
    std::string errorText;  // empty: the number alone is checked
    bool rowsort = false;
    bool checkTypes = false;
    std::vector<DataType> types;
    std::string sql;
    std::vector<std::string> rows;
    Todo todo = Todo::None;
};

struct Counts {
    int cases = 0, passing = 0, todo = 0, crash = 0;
};

std::map<std::string, Counts>& Summary() {
    static std::map<std::string, Counts> counts;
    return counts;
}

bool TypeFromName(const std::string& word, DataType& out) {
    static const std::map<std::string, DataType> kNames = {
        {"Variant", DataType::Variant}, {"Boolean", DataType::Boolean},
        {"Byte", DataType::Byte},       {"Integer", DataType::Integer},
        {"Long", DataType::Long},       {"Currency", DataType::Currency},
        {"Single", DataType::Single},   {"Double", DataType::Double},
        {"Date", DataType::Date},       {"Text", DataType::Text},
        {"Memo", DataType::Memo}};
    auto it = kNames.find(word);
    if (it == kNames.end()) return false;
    out = it->second;
    return true;
}

std::string Expand(const std::string& s) {
    static const std::regex kRepeat(R"(\{(\d+)\*([^}]*)\})");
    std::string out;
    auto begin = std::sregex_iterator(s.begin(), s.end(), kRepeat);
    size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        out.append(s, last, static_cast<size_t>(it->position()) - last);
        for (int n = std::stoi((*it)[1]); n > 0; --n) out += (*it)[2].str();
        last = static_cast<size_t>(it->position() + it->length());
    }
    return out + s.substr(last);
}

// The cases of a file; a malformed case is reported at its line and left out.
std::vector<Case> ParseFile(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    std::vector<Case> cases;
    Todo todo = Todo::None;
    auto bad = [&](size_t i, const std::string& why) {
        ADD_FAILURE_AT(path.c_str(), static_cast<int>(i + 1)) << "corpus format: " << why;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.empty() || l[0] == '#') continue;
        std::istringstream words(l);
        std::string kind, word;
        words >> kind;
        if (kind == "todo") {
            words >> word;
            todo = word == "crash" ? Todo::Crash : Todo::Wrong;
            continue;
        }
        Case c;
        c.line = static_cast<int>(i + 1);
        c.todo = todo;
        todo = Todo::None;
        if (kind != "statement" && kind != "query") {
            bad(i, "unknown header '" + l + "'");
            continue;
        }
        c.query = kind == "query";
        bool ok = true;
        while (words >> word) {
            if (word == "ok" && !c.query) continue;
            if (word == "error") {
                c.expectError = true;
                ok = static_cast<bool>(words >> c.errorNumber);
                std::getline(words >> std::ws, c.errorText);
                break;
            }
            if (word == "rowsort" || word == "nosort") {
                c.rowsort = word == "rowsort";
            } else if (DataType t; c.query && TypeFromName(word, t)) {
                c.types.push_back(t);
                c.checkTypes = true;
            } else {
                ok = false;
            }
        }
        const bool rows = c.query && !c.expectError;
        size_t j = i + 1;
        for (; j < lines.size() && !lines[j].empty() && !(rows && lines[j] == "----"); ++j)
            c.sql += (c.sql.empty() ? "" : "\n") + lines[j];
        if (rows) {
            if (j >= lines.size() || lines[j] != "----") ok = false;
            for (++j; j < lines.size() && !lines[j].empty(); ++j)
                c.rows.push_back(Expand(lines[j]));
        }
        if (!ok || c.sql.empty()) {
            bad(i, "malformed case '" + l + "'");
        } else {
            c.sql = Expand(c.sql);
            cases.push_back(std::move(c));
        }
        i = j;
    }
    return cases;
}

std::string Cell(const Value& v) {
    if (v.isNull()) return "NULL";
    std::string s = v.toString();
    return s.empty() ? "(empty)" : s;
}

std::string Lines(const std::vector<std::string>& rows) {
    std::string out;
    for (const auto& r : rows) out += "\n    " + r;
    return rows.empty() ? "\n    (no rows)" : out;
}

// What is wrong with the case's answer today, or "" when it is the expected one.
std::string Check(Database& db, const Case& c) {
    std::vector<std::string> rows;
    std::vector<DataType> types;
    std::string expectedError =
        "error " + std::to_string(c.errorNumber) + (c.errorText.empty() ? "" : " " + c.errorText);
    try {
        if (!c.query) {
            db.Execute(c.sql, dbFailOnError);
        } else {
            Recordset rs = db.OpenRecordset(c.sql, dbOpenSnapshot);
            for (int i = 0; i < rs.FieldCount(); ++i) types.push_back(rs.Fields(i).Type());
            for (; !rs.EOF_(); rs.MoveNext()) {
                std::string row;
                for (int i = 0; i < rs.FieldCount(); ++i)
                    row += (i ? "|" : "") + Cell(rs.Fields(i).Value());
                rows.push_back(row);
            }
            rs.Close();
        }
    } catch (const JetError& e) {
        std::string got = "error " + std::to_string(e.number()) + " " + e.description();
        if (!c.expectError) return "expected success, got " + got;
        if (e.number() == c.errorNumber && (c.errorText.empty() || c.errorText == e.description()))
            return "";
        return "expected " + expectedError + "\n  got " + got;
    }
    if (c.expectError) return "expected " + expectedError + ", got success" + Lines(rows);
    if (c.checkTypes && types != c.types) {
        std::string got;
        for (DataType t : types) got += " " + std::to_string(static_cast<int>(t));
        return "field types differ; got DAO type codes" + got;
    }
    std::vector<std::string> expected = c.rows;
    if (c.rowsort) {
        std::sort(rows.begin(), rows.end());
        std::sort(expected.begin(), expected.end());
    }
    if (c.query && rows != expected)
        return "expected rows:" + Lines(expected) + "\n  actual rows:" + Lines(rows);
    return "";
}

std::string Abbreviated(const std::string& sql) {
    return sql.size() > 300 ? sql.substr(0, 300) + "... (" + std::to_string(sql.size()) + " chars)"
                            : sql;
}

class SqlCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(SqlCorpus, File) {
    const std::string path = GetParam();
    const std::vector<Case> cases = ParseFile(path);
    test::TempDir dir;
    Database db = test::CreateAndOpen(dir.file("corpus.mdb"));
    Counts& n = Summary()[fs::path(path).filename().string()];
    const bool verbose = std::getenv("KELVOR_CORPUS_VERBOSE") != nullptr;
    n = Counts{};
    for (const Case& c : cases) {
        ++n.cases;
        if (c.todo == Todo::Crash) {
            ++n.crash;
            continue;
        }
        std::string failure = Check(db, c);
        if (c.todo == Todo::Wrong) {
            ++n.todo;
            if (failure.empty())
                ADD_FAILURE_AT(path.c_str(), c.line)
                    << "todo case now passes, remove the marker\n  " << Abbreviated(c.sql);
            else if (verbose)
                std::printf("%s:%d: todo\n  %s\n  %s\n", path.c_str(), c.line,
                            Abbreviated(c.sql).c_str(), failure.c_str());
        } else if (failure.empty()) {
            ++n.passing;
        } else {
            ADD_FAILURE_AT(path.c_str(), c.line) << Abbreviated(c.sql) << "\n  " << failure;
        }
    }
    db.Close();
}

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(KELVOR_SQL_CORPUS))
        if (e.path().extension() == ".test") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

INSTANTIATE_TEST_SUITE_P(Files, SqlCorpus, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return fs::path(info.param).stem().string();
                         });

// Prints the count of each file that ran, after the last test.
class CorpusSummary : public ::testing::Environment {
  public:
    void TearDown() override {
        for (const auto& [file, n] : Summary())
            std::printf("[ corpus   ] %-32s %4d cases %4d passing %4d todo %4d todo-crash\n",
                        file.c_str(), n.cases, n.passing, n.todo, n.crash);
    }
};
[[maybe_unused]] ::testing::Environment* const kSummary =
    ::testing::AddGlobalTestEnvironment(new CorpusSummary);

}  // namespace
}  // namespace kelvor
