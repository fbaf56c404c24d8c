// The SQL corpus's format and how an answer is judged, shared by the drivers that run it on
// each storage engine (sql_corpus_test.cpp on SQLite through the object model,
// pg/pg_corpus_test.cpp on PostgreSQL through the translator alone).
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
// A line `todo ENGINE REASON` (ENGINE "pg") marks a case as todo on that engine only.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kelvor/dao.h"
#include "kelvor/value.h"

namespace kelvor::corpus {

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

// What an engine answered: an error, or the fields' types and the rows as Row() writes them.
struct Answer {
    bool error = false;
    int number = 0;
    std::string description;
    std::vector<DataType> types;
    std::vector<std::string> rows;
};

// The cases of a file as `engine` ("sqlite" or "pg") is to run them; a malformed case is
// reported at its line and left out.
std::vector<Case> ParseFile(const std::string& path, const std::string& engine);
// A field as the corpus writes it: NULL, (empty), or Value::toString().
std::string Cell(const Value& v);
// What is wrong with the answer, or "" when it is the expected one.
std::string Judge(const Case& c, const Answer& a);
// Runs the cases of a file in order through `run`, reports failures (and todo cases that pass)
// as test failures at their lines, and counts them for Summary().
void RunFile(const std::string& path, const std::string& engine,
             const std::function<Answer(const Case&)>& run);
// A case run through the object model on an open database: Execute, or a snapshot read
// through.
Answer Ask(Database& db, const Case& c);
// The corpus files, sorted, and a file's test name (its stem). After the last test, the
// program prints one line per file run: cases, passing, todo, todo-crash.
std::vector<std::string> CorpusFiles(const std::string& folder);
std::string TestName(const ::testing::TestParamInfo<std::string>& info);

}  // namespace kelvor::corpus
