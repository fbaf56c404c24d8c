#include "sql_corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace kelvor::corpus {

namespace fs = std::filesystem;

namespace {

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

std::string Lines(const std::vector<std::string>& rows) {
    std::string out;
    for (const auto& r : rows) out += "\n    " + r;
    return rows.empty() ? "\n    (no rows)" : out;
}

std::string Abbreviated(const std::string& sql) {
    return sql.size() > 300 ? sql.substr(0, 300) + "... (" + std::to_string(sql.size()) + " chars)"
                            : sql;
}

}  // namespace

std::vector<Case> ParseFile(const std::string& path, const std::string& engine) {
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
            if (word == "pg" || word == "sqlite") {
                // A case todo on one engine only.
                if (word == engine) todo = Todo::Wrong;
                continue;
            }
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

std::string Judge(const Case& c, const Answer& a) {
    std::vector<std::string> rows = a.rows;
    std::string expectedError =
        "error " + std::to_string(c.errorNumber) + (c.errorText.empty() ? "" : " " + c.errorText);
    if (a.error) {
        std::string got = "error " + std::to_string(a.number) + " " + a.description;
        if (!c.expectError) return "expected success, got " + got;
        if (a.number == c.errorNumber && (c.errorText.empty() || c.errorText == a.description))
            return "";
        return "expected " + expectedError + "\n  got " + got;
    }
    if (c.expectError) return "expected " + expectedError + ", got success" + Lines(rows);
    if (c.checkTypes && a.types != c.types) {
        std::string got;
        for (DataType t : a.types) got += " " + std::to_string(static_cast<int>(t));
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

void RunFile(const std::string& path, const std::string& engine,
             const std::function<Answer(const Case&)>& run) {
    const std::vector<Case> cases = ParseFile(path, engine);
    Counts& n = Summary()[fs::path(path).filename().string() +
                          (engine == "sqlite" ? "" : " (" + engine + ")")];
    const bool verbose = std::getenv("KELVOR_CORPUS_VERBOSE") != nullptr;
    n = Counts{};
    for (const Case& c : cases) {
        ++n.cases;
        if (c.todo == Todo::Crash) {
            ++n.crash;
            continue;
        }
        std::string failure = Judge(c, run(c));
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
}

std::vector<std::string> CorpusFiles(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".test") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
    return fs::path(info.param).stem().string();
}

namespace {

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
                    row += (i ? "|" : "") + Cell(rs.Fields(i).Value());
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

}  // namespace kelvor::corpus
