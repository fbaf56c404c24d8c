#include "sqlite/catalog.h"

#include <sqlite3.h>

#include <cctype>

#include "kelvor/jet_error.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool NoCaseLess::operator()(std::string_view a, std::string_view b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = std::tolower(static_cast<unsigned char>(a[i]));
        int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

const ColumnInfo* TableInfo::find(std::string_view column) const {
    for (const auto& c : columns)
        if (EqualNoCase(c.name, column)) return &c;
    return nullptr;
}

void Catalog::clear() {
    tables_.clear();
    links_.clear();
    queries_.clear();
    guards_.clear();
}

void Catalog::addTable(TableInfo t) {
    std::string name = t.name;
    tables_.emplace(std::move(name), std::move(t));
}

void Catalog::addObject(int type, const std::string& name, const std::string& database,
                        const std::string& foreignName, const std::string& sql) {
    if (type == dialect::kObjectTypeLink) {
        links_.emplace(name, LinkInfo{name, database, foreignName});
    } else if (type == dialect::kObjectTypeQuery) {
        queries_.emplace(name, QueryInfo{name, sql});
    } else if (type == dialect::kObjectTypeGuard) {
        guards_.emplace(name, foreignName);
    }
}

void Catalog::load(sqlite3* db, const std::string& schema) {
    clear();
    std::vector<std::string> names;
    {
        Stmt st(db, dialect::ListTablesSql(schema));
        while (st.step()) names.push_back(st.text(0));
    }
    bool haveObjects = false;
    for (const auto& n : names) {
        TableInfo t;
        t.name = n;
        Stmt st(db, dialect::TableInfoSql(schema, n));
        int pkCount = 0;
        struct Raw {
            std::string name, type;
            bool notNull;
            int pk;
        };
        std::vector<Raw> raws;
        while (st.step()) {
            Raw r{st.text(1), st.text(2), st.integer(3) != 0, static_cast<int>(st.integer(5))};
            if (r.pk) ++pkCount;
            raws.push_back(std::move(r));
        }
        for (const auto& r : raws)
            t.columns.push_back(dialect::ColumnFromDeclaration(r.name, r.type, r.notNull,
                                                               r.pk == 1 && pkCount == 1));
        for (const char* id : {"rowid", "_rowid_", "oid"}) {
            if (!t.find(id)) {
                t.rowid = id;
                break;
            }
        }
        for (const auto& c : t.columns)
            if (t.rowid.empty() && c.counter) t.rowid = dialect::QuoteIdent(c.name);
        if (EqualNoCase(n, dialect::kObjectsTable)) haveObjects = true;
        addTable(std::move(t));
    }
    if (!haveObjects) return;
    Stmt st(db, dialect::ListObjectsSql(schema));
    while (st.step())
        addObject(static_cast<int>(st.integer(1)), st.text(0), st.text(2), st.text(3), st.text(4));
}

const TableInfo* Catalog::table(std::string_view name) const {
    auto it = tables_.find(name);
    return it == tables_.end() ? nullptr : &it->second;
}
const LinkInfo* Catalog::link(std::string_view name) const {
    auto it = links_.find(name);
    return it == links_.end() ? nullptr : &it->second;
}
std::string Catalog::guardOf(std::string_view table) const {
    auto it = guards_.find(table);
    return it == guards_.end() ? std::string() : it->second;
}

const QueryInfo* Catalog::query(std::string_view name) const {
    auto it = queries_.find(name);
    return it == queries_.end() ? nullptr : &it->second;
}

bool TextFits(const ColumnInfo& col, std::string_view text) {
    if (col.size <= 0) return true;
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n <= static_cast<size_t>(col.size);
}

}  // namespace kelvor::sqlite
