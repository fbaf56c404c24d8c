// kelvor sql and kelvor link.
#include <unistd.h>

#include <cctype>
#include <iostream>
#include <string>

#include "commands.h"
#include "kelvor/dao.h"
#include "output.h"

namespace kelvor::tool {

namespace {

std::string firstWord(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
    if (i < sql.size() && sql[i] == '(') return "(";
    std::string w;
    while (i < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_'))
        w.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i++]))));
    return w;
}

bool isBareName(const std::string& sql) {
    std::string s = sql;
    while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == ';'))
        s.pop_back();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    s = s.substr(i);
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') return s.find(']') == s.size() - 1;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return !s.empty();
}

// Runs one statement and prints its answer. Rows are printed as they are read in JSON mode.
void runStatement(Database& db, const std::string& sql, bool json) {
    std::string word = firstWord(sql);
    bool rows = word == "select" || word == "(" || word == "parameters" || word == "transform";
    if (!rows && isBareName(sql)) {
        std::string name = sql;
        while (!name.empty() &&
               (std::isspace(static_cast<unsigned char>(name.back())) || name.back() == ';'))
            name.pop_back();
        size_t i = name.find_first_not_of(" \t");
        name = name.substr(i);
        if (name.front() == '[') name = name.substr(1, name.size() - 2);
        try {
            QueryDef q = db.QueryDefs(name);
            std::string w = firstWord(q.SQL());
            rows = w == "select" || w == "(" || w == "parameters";
            if (!rows) {
                q.Execute(dbFailOnError);
                if (!json && ::isatty(STDOUT_FILENO))
                    std::cout << q.RecordsAffected() << " row(s) affected.\n";
                return;
            }
        } catch (const Error& e) {
            if (e.number() != err::kItemNotFound) throw;
            rows = true;  // a table or link
        }
    }
    if (rows) {
        Recordset rs = db.OpenRecordset(sql, dbOpenForwardOnly);
        if (json) {
            PrintJsonLines(rs, std::cout);
        } else {
            PrintTable(rs, std::cout);
        }
        return;
    }
    db.Execute(sql, dbFailOnError);
    if (!json && ::isatty(STDOUT_FILENO) && word != "create" && word != "drop")
        std::cout << db.RecordsAffected() << " row(s) affected.\n";
}

}  // namespace

int Sql(const Args& args) {
    bool json = false, create = false;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--create") {
            create = true;
        } else {
            Usage();
        }
    }
    if (i >= args.size()) Usage();
    const std::string& path = args[i++];
    if (create) {
        if (i != args.size() || json) Usage();
        DBEngine().CreateDatabase(path);
        return 0;
    }
    if (args.size() - i > 1) Usage();
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    if (i < args.size()) {
        runStatement(db, args[i], json);
        return 0;
    }
    // A shell: one statement per line, each answered in turn on the one open database.
    int status = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t;") == std::string::npos) continue;
        try {
            runStatement(db, line, json);
        } catch (const Error& e) {
            std::cout.flush();
            PrintError(e.number(), e.description());
            status = 1;
        }
        std::cout.flush();
    }
    return status;
}

int Link(const Args& args) {
    if (args.size() < 3 || args.size() > 4) Usage();
    Database db = DBEngine().Workspaces(0).OpenDatabase(args[0]);
    db.LinkTable(args[1], args[2], args.size() == 4 ? args[3] : std::string());
    return 0;
}

}  // namespace kelvor::tool
