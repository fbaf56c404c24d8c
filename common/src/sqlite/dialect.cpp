#include "sqlite/dialect.h"

#include <cctype>

namespace kelvor::sqlite::dialect {

using jetsql::JType;

std::string QuoteIdent(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out.push_back('"');
    for (char c : name) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string QuoteText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    for (char c : text) {
        if (c == '\'') out.push_back('\'');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

// The workspace's own scratch file is the main database; user databases are attached.
// temp_store=MEMORY keeps sorting and DISTINCTROW grouping off the disk.
const char* const kConnectionPragmas =
    "PRAGMA temp_store=MEMORY; PRAGMA foreign_keys=OFF; PRAGMA recursive_triggers=OFF;";

std::string AttachSql(std::string_view path, std::string_view schema) {
    return "ATTACH DATABASE " + QuoteText(path) + " AS " + QuoteIdent(schema);
}

std::string DetachSql(std::string_view schema) {
    return "DETACH DATABASE " + QuoteIdent(schema);
}

// The journal and the cache are chosen so that other programs keep reading a database while a
// long update writes it, and a commit over several files stays atomic:
// - Rollback journal (DELETE), not WAL: a commit that spans several attached files is atomic
//   only with a rollback journal (SQLite's super-journal). WAL would let readers run during
//   a commit too, but could leave one file committed and another not after a crash.
// - With a rollback journal, a writer keeps others out of the file only while it holds its
//   exclusive lock, and it takes that lock as soon as it writes changed pages to the file:
//   at commit, or earlier when its page cache is full and it spills. A spill in the middle of
//   a queue update would lock every reader (a logon, the user list, `kelvor sql`) out of the
//   company until the update ends, and each spill would wait for readers again. So changed
//   pages stay in memory until commit, up to kSpillPages pages (256 MiB at the default page
//   size, more than a 100,000-customer update changes); only past that does the writer spill.
//   Readers then wait only for the commit itself, and the writer waits for readers once.
// - Pages kept for a transaction still count against the cache's size, so the cache is made
//   large enough (64 MiB, taken only as pages are used) to hold them and the pages the update
//   keeps reading; at SQLite's default of 2 MiB the update would read its own tables from the
//   file again and again.
constexpr int kSpillPages = 65536;

std::string SchemaPragmas(std::string_view schema) {
    std::string s = QuoteIdent(schema);
    return "PRAGMA " + s + ".journal_mode=DELETE; PRAGMA " + s + ".synchronous=FULL; PRAGMA " + s +
           ".cache_spill=" + std::to_string(kSpillPages) + "; PRAGMA " + s + ".cache_size=-65536;";
}

std::string ProbeSql(std::string_view schema) {
    return "SELECT count(*) FROM " + QuoteIdent(schema) + ".sqlite_master";
}

std::string VacuumIntoSql(std::string_view destination) {
    return "VACUUM INTO " + QuoteText(destination);
}
const char* const kPagesInUse =
    "SELECT c.page_count - f.freelist_count, s.page_size "
    "FROM pragma_page_count() c, pragma_freelist_count() f, pragma_page_size() s";
// The check reads the whole copy, indexes against tables; mapping the file into memory and a
// larger page cache spare it most of the copying of pages into the cache.
const char* const kCheckPragmas = "PRAGMA cache_size=-65536; PRAGMA mmap_size=2147418112";
const char* const kIntegrityCheck = "PRAGMA integrity_check(1)";

const char* const kBegin = "BEGIN";
const char* const kCommit = "COMMIT";
const char* const kRollback = "ROLLBACK";
std::string SavepointSql(int depth) {
    return "SAVEPOINT kelvor_trans_" + std::to_string(depth);
}
std::string ReleaseSql(int depth) {
    return "RELEASE kelvor_trans_" + std::to_string(depth);
}
std::string RollbackToSql(int depth) {
    return "ROLLBACK TO kelvor_trans_" + std::to_string(depth) + "; " + ReleaseSql(depth);
}

const char* const kObjectsTable = "MSysObjects";

std::string CreateObjectsTableSql(std::string_view schema) {
    return "CREATE TABLE IF NOT EXISTS " + QuoteIdent(schema) +
           ".MSysObjects (Name TEXT(255) NOT NULL COLLATE NOCASE PRIMARY KEY, Type SHORT INT NOT "
           "NULL, Database MEMO TEXT, ForeignName TEXT(255), SQL MEMO TEXT)";
}

std::string ListTablesSql(std::string_view schema) {
    return "SELECT name FROM " + QuoteIdent(schema) +
           ".sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'";
}

std::string TableInfoSql(std::string_view schema, std::string_view table) {
    return "PRAGMA " + QuoteIdent(schema) + ".table_info(" + QuoteText(table) + ")";
}

std::string ListObjectsSql(std::string_view schema) {
    return "SELECT Name, Type, Database, ForeignName, SQL FROM " + QuoteIdent(schema) +
           ".MSysObjects";
}

std::string InsertObjectSql(std::string_view schema) {
    return "INSERT INTO " + QuoteIdent(schema) +
           ".MSysObjects (Name, Type, Database, ForeignName, SQL) VALUES (?1, ?2, ?3, ?4, ?5)";
}

std::string DeleteObjectSql(std::string_view schema) {
    return "DELETE FROM " + QuoteIdent(schema) + ".MSysObjects WHERE Name = ?1";
}

std::string BumpUserVersionSql(std::string_view schema, long version) {
    return "PRAGMA " + QuoteIdent(schema) + ".user_version=" + std::to_string(version);
}

std::string SchemaVersionSql(std::string_view schema) {
    return "PRAGMA " + QuoteIdent(schema) + ".schema_version";
}

std::string UserVersionSql(std::string_view schema) {
    return "PRAGMA " + QuoteIdent(schema) + ".user_version";
}

std::string InsertRowSql(std::string_view schema, std::string_view table,
                         const std::vector<std::string>& columns) {
    std::string sql = "INSERT INTO " + QuoteIdent(schema) + "." + QuoteIdent(table);
    if (columns.empty()) return sql + " DEFAULT VALUES";
    std::string values;
    sql += " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdent(columns[i]);
        values += (i ? ", ?" : "?") + std::to_string(i + 1);
    }
    return sql + ") VALUES (" + values + ")";
}

std::string UpdateRowSql(std::string_view schema, const TableInfo& table,
                         const std::vector<std::string>& columns) {
    std::string sql = "UPDATE " + QuoteIdent(schema) + "." + QuoteIdent(table.name) + " SET ";
    for (size_t i = 0; i < columns.size(); ++i)
        sql += (i ? ", " : "") + QuoteIdent(columns[i]) + " = ?" + std::to_string(i + 1);
    return sql + " WHERE " + table.rowid + " = ?" + std::to_string(columns.size() + 1);
}

std::string ColumnDeclaration(const ColumnInfo& c) {
    std::string q = QuoteIdent(c.name);
    if (c.counter) return q + " INTEGER PRIMARY KEY AUTOINCREMENT";
    std::string decl = q + " ";
    switch (c.type) {
        case JType::Boolean:
            decl += "YESNO INT";
            break;
        case JType::Byte:
            decl += "BYTE INT";
            break;
        case JType::Integer:
            decl += "SHORT INT";
            break;
        case JType::Long:
            decl += "LONG INT";
            break;
        case JType::Single:
            decl += "SINGLE REAL";
            break;
        case JType::Double:
            decl += "DOUBLE REAL";
            break;
        case JType::Currency:
            decl += "CURRENCY INT";
            break;
        case JType::Date:
            decl += "DATETIME INT";
            break;
        case JType::Text:
            decl += "TEXT(" + std::to_string(c.size) + ") COLLATE NOCASE CHECK(length(" + q +
                    ") <= " + std::to_string(c.size) + ")";
            break;
        case JType::Memo:
            decl += "MEMO TEXT COLLATE NOCASE";
            break;
        case JType::Null:
        case JType::Variant:
            decl += "VALUE";
            break;
    }
    if (c.notNull) decl += " NOT NULL";
    return decl;
}

ColumnInfo ColumnFromDeclaration(std::string_view name, std::string_view declType, bool notNull,
                                 bool isIntegerPrimaryKey) {
    ColumnInfo c;
    c.name = std::string(name);
    c.notNull = notNull;
    std::string up;
    for (char ch : declType)
        up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    auto starts = [&](std::string_view w) { return up.rfind(w, 0) == 0; };
    if (up == "INTEGER" && isIntegerPrimaryKey) {
        c.type = JType::Long;
        c.counter = true;
        c.notNull = true;
    } else if (starts("YESNO")) {
        c.type = JType::Boolean;
    } else if (starts("BYTE")) {
        c.type = JType::Byte;
    } else if (starts("SHORT")) {
        c.type = JType::Integer;
    } else if (starts("LONG")) {
        c.type = JType::Long;
    } else if (starts("SINGLE")) {
        c.type = JType::Single;
    } else if (starts("DOUBLE")) {
        c.type = JType::Double;
    } else if (starts("CURRENCY")) {
        c.type = JType::Currency;
    } else if (starts("DATETIME")) {
        c.type = JType::Date;
    } else if (starts("MEMO")) {
        c.type = JType::Memo;
    } else if (starts("TEXT(")) {
        c.type = JType::Text;
        c.size = std::atoi(up.c_str() + 5);
    } else if (starts("VALUE") || up.empty()) {
        c.type = JType::Variant;
    } else if (up.find("INT") != std::string::npos) {
        c.type = JType::Long;  // a table made by other tools: go by SQLite's affinity rules
    } else if (up.find("CHAR") != std::string::npos || up.find("CLOB") != std::string::npos ||
               up.find("TEXT") != std::string::npos) {
        c.type = JType::Memo;
    } else if (up.find("BLOB") != std::string::npos) {
        c.type = JType::Variant;
    } else {
        c.type = JType::Double;
    }
    return c;
}

}  // namespace kelvor::sqlite::dialect
