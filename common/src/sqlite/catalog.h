// What one database file holds, as the layer sees it: tables with their engine column types,
// links to tables of other databases, and saved queries.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "jetsql/types.h"

struct sqlite3;

namespace kelvor::sqlite {

struct ColumnInfo {
    std::string name;
    jetsql::JType type = jetsql::JType::Variant;
    int size = 0;  // Text: maximum characters
    bool notNull = false;
    bool counter = false;
};

struct TableInfo {
    std::string name;  // as stored
    std::vector<ColumnInfo> columns;
    // How SQL names a record's identity in this table: the first of SQLite's names for it that
    // no user column takes, else the counter column (which is that identity); empty when
    // neither is left, and the table's records can then not be updated one by one.
    std::string rowid;
    const ColumnInfo* find(std::string_view column) const;
};

struct LinkInfo {
    std::string name;
    std::string sourcePath;
    std::string sourceTable;
};

struct QueryInfo {
    std::string name;
    std::string sql;
};

// Names compare without regard to case, as the engine compares them.
struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

class Catalog {
  public:
    // Reads the catalog of the database attached under `schema`. Throws JetError.
    void load(sqlite3* db, const std::string& schema);
    // For an engine's own catalog reader: a table, and a row of the metadata table (a link,
    // saved query or guard: dialect::kObjectType...).
    void clear();
    void addTable(TableInfo t);
    void addObject(int type, const std::string& name, const std::string& database,
                   const std::string& foreignName, const std::string& sql);

    const TableInfo* table(std::string_view name) const;
    const LinkInfo* link(std::string_view name) const;
    const QueryInfo* query(std::string_view name) const;
    // The table whose deny-write lock also refuses writes to `table`, or empty.
    std::string guardOf(std::string_view table) const;
    const std::map<std::string, TableInfo, NoCaseLess>& tables() const { return tables_; }
    const std::map<std::string, LinkInfo, NoCaseLess>& links() const { return links_; }
    const std::map<std::string, QueryInfo, NoCaseLess>& queries() const { return queries_; }

  private:
    std::map<std::string, TableInfo, NoCaseLess> tables_;
    std::map<std::string, LinkInfo, NoCaseLess> links_;
    std::map<std::string, QueryInfo, NoCaseLess> queries_;
    std::map<std::string, std::string, NoCaseLess> guards_;
};

bool EqualNoCase(std::string_view a, std::string_view b);

// Whether a text fits a column: a TEXT(n) column holds n characters (not bytes).
bool TextFits(const ColumnInfo& col, std::string_view text);

}  // namespace kelvor::sqlite
