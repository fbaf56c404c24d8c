// Copying databases between engines (kelvor/copy.h).
//
// The design of each source is read from the layer's catalog (columns with their engine types)
// and, for keys and indexes, which the catalog does not keep, from the engine itself. Each
// table is then made on the destination by Jet DDL run through the object model, so that the
// destination's engine declares its own types, and its records are written through the
// destination connection's insertRow: the call a recordset's Update makes, here with the
// counter's value included, which the object model itself refuses (3164) as the engine does.
//
// Each table is copied in one transaction of its own. The copy is not usable until all of it is
// made and checked (a failure removes the whole destination), so a larger transaction would
// make nothing safer, while one per table bounds what a writer keeps until commit (SQLite
// holds changed pages in memory, PostgreSQL's pipelined writes wait for their answers) to the
// largest table, and gives Ctrl-C less to roll back.
#include "kelvor/copy.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>

#include "dao/dao_impl.h"
#include "kelvor/server.h"
#include "pg/connection.h"
#include "pg/dialect.h"
#include "pg/path.h"
#include "sqlite/collation.h"
#include "sqlite/connection.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor {

namespace {

using jetsql::JType;

// Records written (or compared) between two progress reports; PostgreSQL's pipelined writes
// are answered at least this often.
constexpr uint64_t kBatch = 1000;

struct IndexDesign {
    std::string name;
    bool unique = false;
    std::vector<std::pair<std::string, bool>> columns;  // name, descending
};

struct TableDesign {
    sqlite::TableInfo info;
    std::vector<std::string> primaryKey;
    std::vector<std::vector<std::string>> uniques;  // unnamed UNIQUE constraints
    std::vector<IndexDesign> indexes;
    uint64_t rows = 0;
};

// A row of a database's MSysObjects: a link, a saved query or a guard, as stored.
struct ObjectRow {
    std::string name;
    int type = 0;
    std::optional<std::string> database, foreign, sql;
};

struct Plan {
    std::string source, destination;
    std::vector<TableDesign> tables;
    std::vector<ObjectRow> objects;
    bool made = false;
};

std::string bracket(const std::string& name) {
    return "[" + name + "]";
}

std::string jetType(const sqlite::ColumnInfo& c) {
    if (c.counter) return "COUNTER";
    switch (c.type) {
        case JType::Text:
            return "TEXT(" + std::to_string(c.size > 0 ? c.size : 255) + ")";
        case JType::Null:
        case JType::Variant:
            return "VALUE";
        default:
            return jetsql::TypeName(c.type);
    }
}

std::string columnList(const std::vector<std::string>& cols) {
    std::string s;
    for (size_t i = 0; i < cols.size(); ++i) s += (i ? ", " : "") + bracket(cols[i]);
    return s;
}

std::string createTableSql(const TableDesign& t) {
    std::string sql = "CREATE TABLE " + bracket(t.info.name) + " (";
    for (size_t i = 0; i < t.info.columns.size(); ++i) {
        const auto& c = t.info.columns[i];
        sql += (i ? ", " : "") + bracket(c.name) + " " + jetType(c);
        if (c.notNull && !c.counter) sql += " NOT NULL";
    }
    if (!t.primaryKey.empty()) sql += ", PRIMARY KEY (" + columnList(t.primaryKey) + ")";
    for (const auto& u : t.uniques) sql += ", UNIQUE (" + columnList(u) + ")";
    return sql + ")";
}

std::string createIndexSql(const std::string& table, const IndexDesign& x) {
    std::string sql = std::string("CREATE ") + (x.unique ? "UNIQUE " : "") + "INDEX " +
                      bracket(x.name) + " ON " + bracket(table) + " (";
    for (size_t i = 0; i < x.columns.size(); ++i)
        sql += (i ? ", " : "") + bracket(x.columns[i].first) + (x.columns[i].second ? " DESC" : "");
    return sql + ")";
}

// The columns a table's records are read in, on both sides alike: its key, else its counter,
// else every column.
std::vector<std::string> orderColumns(const TableDesign& t) {
    if (!t.primaryKey.empty()) return t.primaryKey;
    for (const auto& c : t.info.columns)
        if (c.counter) return {c.name};
    std::vector<std::string> all;
    for (const auto& c : t.info.columns) all.push_back(c.name);
    return all;
}

std::string selectAllSql(const TableDesign& t) {
    std::string cols;
    for (size_t i = 0; i < t.info.columns.size(); ++i)
        cols += (i ? ", " : "") + bracket(t.info.columns[i].name);
    return "SELECT " + cols + " FROM " + bracket(t.info.name) + " ORDER BY " +
           columnList(orderColumns(t));
}

// ---- keys and indexes, which each engine keeps its own way -----------------------------------

void readSqliteKeys(sqlite3* db, const std::string& schema, TableDesign& t) {
    const std::string s = sqlite::dialect::QuoteIdent(schema);
    const std::string table = sqlite::dialect::QuoteText(t.info.name);
    {
        std::map<int64_t, std::string> pk;
        sqlite::Stmt st(db, "PRAGMA " + s + ".table_info(" + table + ")");
        while (st.step())
            if (st.integer(5) > 0) pk[st.integer(5)] = st.text(1);
        for (auto& [n, name] : pk) t.primaryKey.push_back(name);
    }
    struct Listed {
        std::string name, origin;
        bool unique;
    };
    std::vector<Listed> listed;
    {
        sqlite::Stmt st(db, "PRAGMA " + s + ".index_list(" + table + ")");
        while (st.step())
            if (st.integer(4) == 0)  // partial indexes are none of the layer's
                listed.push_back({st.text(1), st.text(3), st.integer(2) != 0});
    }
    for (const auto& l : listed) {
        if (l.origin == "pk") continue;  // the primary key, read above
        IndexDesign x{l.name, l.unique, {}};
        bool plain = true;
        sqlite::Stmt st(db,
                        "PRAGMA " + s + ".index_xinfo(" + sqlite::dialect::QuoteText(l.name) + ")");
        while (st.step()) {
            if (st.integer(5) == 0) continue;      // the record's identity, not a key column
            if (st.integer(1) < 0) plain = false;  // an expression
            x.columns.emplace_back(st.text(2), st.integer(3) != 0);
        }
        if (!plain || x.columns.empty()) continue;
        if (l.origin == "u") {
            std::vector<std::string> cols;
            for (const auto& [c, desc] : x.columns) cols.push_back(c);
            t.uniques.push_back(std::move(cols));
        } else {
            t.indexes.push_back(std::move(x));
        }
    }
    std::sort(t.indexes.begin(), t.indexes.end(),
              [](const IndexDesign& a, const IndexDesign& b) { return a.name < b.name; });
}

const char* const kPgIndexes = R"SQL(
SELECT i.relname, x.indisunique, x.indisprimary,
       EXISTS (SELECT 1 FROM pg_constraint k WHERE k.conindid = x.indexrelid
               AND k.conrelid = t.oid AND k.contype IN ('p', 'u')),
       a.attname, (x.indoption[(c.n - 1)::int] & 1) = 1
FROM pg_index x
JOIN pg_class t ON t.oid = x.indrelid
JOIN pg_namespace s ON s.oid = t.relnamespace
JOIN pg_class i ON i.oid = x.indexrelid
CROSS JOIN LATERAL unnest(x.indkey::int2[]) WITH ORDINALITY AS c(attnum, n)
LEFT JOIN pg_attribute a ON a.attrelid = t.oid AND a.attnum = c.attnum
WHERE s.nspname = $1 AND t.relname = $2 AND x.indpred IS NULL
ORDER BY i.relname, c.n)SQL";

void readPgKeys(pg::Connection& c, const std::string& schema, TableDesign& t) {
    pg::Result r = c.exec(kPgIndexes, {schema.c_str(), t.info.name.c_str()});
    struct Found {
        IndexDesign x;
        bool primary = false, constraint = false, plain = true;
    };
    std::vector<Found> found;
    for (int i = 0; i < r.rows(); ++i) {
        if (found.empty() || found.back().x.name != r.text(i, 0)) {
            found.push_back({});
            found.back().x.name = r.text(i, 0);
            found.back().x.unique = r.text(i, 1) == "t";
            found.back().primary = r.text(i, 2) == "t";
            found.back().constraint = r.text(i, 3) == "t";
        }
        Found& f = found.back();
        // An expression, or the layer's hidden record key: not an index the layer made.
        if (PQgetisnull(r.get(), i, 4) || r.text(i, 4) == pg::dialect::kRecordKey) f.plain = false;
        f.x.columns.emplace_back(r.text(i, 4), r.text(i, 5) == "t");
    }
    for (auto& f : found) {
        if (!f.plain) continue;
        std::vector<std::string> cols;
        for (const auto& [col, desc] : f.x.columns) cols.push_back(col);
        if (f.primary)
            t.primaryKey = std::move(cols);
        else if (f.constraint)
            t.uniques.push_back(std::move(cols));
        else
            t.indexes.push_back(std::move(f.x));
    }
}

// ---- the databases ---------------------------------------------------------------------------

bool isLayerTable(const std::string& name) {
    return sqlite::EqualNoCase(name, sqlite::dialect::kObjectsTable);
}

std::optional<std::string> optionalText(const Value& v) {
    if (v.isNull()) return std::nullopt;
    return v.toString();
}

// One open database of the copy's workspace and its attachment (its schema and catalog).
class Opened {
  public:
    Opened(const std::shared_ptr<detail::WorkspaceImpl>& ws, const std::string& path)
        : db(Workspace::FromImpl(ws).OpenDatabase(path)),
          conn(ws->connectionFor(path)),
          att(conn->attach(path)) {}
    ~Opened() { conn->release(att); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;

    Database db;
    std::shared_ptr<engine::Connection> conn;
    engine::Attachment* att;

    pg::Connection* server() const { return dynamic_cast<pg::Connection*>(conn.get()); }
};

void readDesign(const std::shared_ptr<detail::WorkspaceImpl>& ws, Plan& p) {
    Opened src(ws, p.source);
    for (const auto& [name, info] : src.att->catalog.tables()) {
        if (isLayerTable(name)) continue;
        TableDesign t;
        t.info = info;
        if (pg::Connection* pc = src.server())
            readPgKeys(*pc, src.att->schema, t);
        else
            readSqliteKeys(dynamic_cast<sqlite::Connection&>(*src.conn).handle(), src.att->schema,
                           t);
        Recordset n =
            src.db.OpenRecordset("SELECT Count(*) FROM " + bracket(info.name), dbOpenSnapshot);
        t.rows = static_cast<uint64_t>(n.Fields(0).Value().toInt64());
        p.tables.push_back(std::move(t));
    }
    if (!src.att->catalog.table(sqlite::dialect::kObjectsTable)) return;
    Recordset rs = src.db.OpenRecordset(
        "SELECT [Name], [Type], [Database], [ForeignName], [SQL] FROM MSysObjects ORDER BY [Name]",
        dbOpenForwardOnly);
    for (; !rs.EOF_(); rs.MoveNext())
        p.objects.push_back({rs.Fields(0).Value().toString(), rs.Fields(1).Value().toLong(),
                             optionalText(rs.Fields(2).Value()), optionalText(rs.Fields(3).Value()),
                             optionalText(rs.Fields(4).Value())});
}

// Two paths naming one database: the same file, or the same server's schema.
bool sameDatabase(const std::string& a, const std::string& b) {
    const bool sa = pg::NamesServer(a), sb = pg::NamesServer(b);
    if (sa != sb) return false;
    try {
        if (sa) {
            pg::ServerPath x = pg::ParseServerPath(a), y = pg::ParseServerPath(b);
            return x.serverKey == y.serverKey && x.schema == y.schema;
        }
        std::error_code ec;
        auto x = std::filesystem::weakly_canonical(a, ec);
        if (ec) return false;
        auto y = std::filesystem::weakly_canonical(b, ec);
        return !ec && x == y;
    } catch (const JetError&) {
        return false;
    }
}

// A link's source as a destination stores it: a file by its real path, a server's database as
// it was given (as Database::LinkTable stores them).
std::string linkText(const std::string& path) {
    if (pg::NamesServer(path)) return path;
    std::error_code ec;
    auto p = std::filesystem::canonical(path, ec);
    return ec ? path : p.string();
}

// What a copied link names: the destination of its source when that is copied too.
std::optional<std::string> relinked(const ObjectRow& o, const Plan& holder,
                                    const std::vector<Plan>& plans) {
    if (o.type != sqlite::dialect::kObjectTypeLink || !o.database) return o.database;
    std::string source = *o.database;
    // A relative source is taken from the linking database's folder.
    if (!source.empty() && source[0] != '/' && !pg::NamesServer(source) &&
        !pg::NamesServer(holder.source))
        source = (std::filesystem::path(holder.source).parent_path() / source).string();
    for (const auto& p : plans)
        if (sameDatabase(source, p.source)) return linkText(p.destination);
    return o.database;
}

bool exists(const std::string& path) {
    if (!pg::NamesServer(path)) {
        struct stat sb;
        return ::lstat(path.c_str(), &sb) == 0;
    }
    const pg::ServerPath p = pg::ParseServerPath(path);
    pg::Connection c(p);
    return c.exec("SELECT 1 FROM pg_namespace WHERE nspname = $1", {p.schema.c_str()}).rows() > 0;
}

void removeDatabase(const std::string& path) {
    if (pg::NamesServer(path)) {
        DropServerDatabase(path);
        return;
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::remove(path + "-journal", ec);
}

// ---- copying ---------------------------------------------------------------------------------

class Copier {
  public:
    Copier(std::vector<Plan>& plans, const CopyOptions& options)
        : plans_(plans), options_(options) {
        for (const auto& p : plans_) {
            progress_.tables += static_cast<int>(p.tables.size());
            for (const auto& t : p.tables) progress_.rows += t.rows;
        }
    }

    void report() {
        if (options_.progress) options_.progress(progress_);
    }

    void copyAll(const std::shared_ptr<detail::WorkspaceImpl>& ws) {
        for (auto& p : plans_) copy(ws, p);
        progress_.checking = true;
        progress_.tablesDone = 0;
        progress_.rowsDone = 0;
        report();
        for (auto& p : plans_) check(ws, p);
    }

  private:
    std::vector<Plan>& plans_;
    const CopyOptions& options_;
    CopyProgress progress_;

    void copy(const std::shared_ptr<detail::WorkspaceImpl>& ws, const Plan& p) {
        Opened src(ws, p.source);
        Opened dst(ws, p.destination);
        Workspace w = Workspace::FromImpl(ws);
        for (const auto& t : p.tables) {
            dst.db.Execute(createTableSql(t));
            const sqlite::TableInfo* info = dst.att->catalog.table(t.info.name);
            if (!info || info->columns.size() != t.info.columns.size())
                throw JetError(err::kSyntaxError,
                               "Database engine error: table '" + t.info.name + "' not made.");
            const sqlite::TableInfo target = *info;  // the catalog may be read again meanwhile
            std::vector<int> columns;
            for (size_t i = 0; i < target.columns.size(); ++i)
                columns.push_back(static_cast<int>(i));
            w.BeginTrans();
            try {
                Recordset rs = src.db.OpenRecordset(selectAllSql(t), dbOpenForwardOnly);
                std::vector<Value> row(columns.size());
                std::vector<const Value*> values;
                for (const auto& v : row) values.push_back(&v);
                uint64_t inBatch = 0;
                for (; !rs.EOF_(); rs.MoveNext()) {
                    for (size_t i = 0; i < row.size(); ++i)
                        row[i] = rs.Fields(static_cast<int>(i)).Value();
                    dst.conn->insertRow(dst.att->schema, target, columns, values, false,
                                        p.destination);
                    ++progress_.rowsDone;
                    if (++inBatch == kBatch) {
                        dst.conn->settle();
                        report();
                        inBatch = 0;
                    }
                }
                rs = Recordset();
                continueCounters(dst, target);
                w.CommitTrans();
            } catch (...) {
                try {
                    w.Rollback();
                } catch (const JetError&) {
                    // the failure that stopped the copy is the one to report
                }
                throw;
            }
            for (const auto& x : t.indexes) dst.db.Execute(createIndexSql(t.info.name, x));
            ++progress_.tablesDone;
            report();
        }
        for (const auto& o : p.objects) {
            const std::optional<std::string> database = relinked(o, p, plans_);
            dst.conn->putObject(*dst.att, o.name, o.type, database ? &*database : nullptr,
                                o.foreign ? &*o.foreign : nullptr, o.sql ? &*o.sql : nullptr);
        }
        if (!p.objects.empty()) dst.conn->designChanged(*dst.att);
    }

    // SQLite's counter goes on after the highest value ever stored by itself; a PostgreSQL
    // identity draws from its sequence, which explicit values leave where it was.
    static void continueCounters(Opened& dst, const sqlite::TableInfo& t) {
        pg::Connection* pc = dst.server();
        if (!pc) return;
        for (const auto& c : t.columns) {
            if (!c.counter) continue;
            const std::string table =
                pg::dialect::QuoteIdent(dst.att->schema) + "." + pg::dialect::QuoteIdent(t.name);
            pc->exec("SELECT setval(pg_get_serial_sequence($1, $2), m) FROM (SELECT max(" +
                         pg::dialect::QuoteIdent(c.name) + ") AS m FROM " + table +
                         ") x WHERE m IS NOT NULL",
                     {table.c_str(), c.name.c_str()});
        }
    }

    // ---- the check ---------------------------------------------------------------------------

    // Rows that the order of reading does not tell apart (text equal but for case, in a table
    // without a key) may come in either order from either engine: they are compared as a group.
    static bool tied(const std::vector<Value>& a, const std::vector<Value>& b,
                     const std::vector<size_t>& order) {
        for (size_t i : order) {
            const Value &x = a[i], &y = b[i];
            if (x.isNull() || y.isNull()) {
                if (x.isNull() != y.isNull()) return false;
            } else if (std::holds_alternative<std::string>(x.raw()) &&
                       std::holds_alternative<std::string>(y.raw())) {
                if (sqlite::CompareText(std::get<std::string>(x.raw()),
                                        std::get<std::string>(y.raw())) != 0)
                    return false;
            } else if (!(x == y)) {
                return false;
            }
        }
        return true;
    }

    class Reader {
      public:
        Reader(Recordset rs, size_t width) : rs_(std::move(rs)), width_(width) { advance(); }
        // The next rows that tie with each other.
        std::vector<std::vector<Value>> group(const std::vector<size_t>& order) {
            std::vector<std::vector<Value>> g;
            while (next_ && (g.empty() || tied(g.front(), *next_, order))) {
                g.push_back(std::move(*next_));
                advance();
            }
            return g;
        }

      private:
        Recordset rs_;
        size_t width_;
        std::optional<std::vector<Value>> next_;
        void advance() {
            next_.reset();
            if (rs_.EOF_()) return;
            std::vector<Value> row(width_);
            for (size_t i = 0; i < width_; ++i) row[i] = rs_.Fields(static_cast<int>(i)).Value();
            next_ = std::move(row);
            rs_.MoveNext();
        }
    };

    [[noreturn]] static void differs(const std::string& what) {
        throw JetError(err::kSyntaxError,
                       "The copy differs from its source: " + what + "; it has been removed.");
    }

    void check(const std::shared_ptr<detail::WorkspaceImpl>& ws, const Plan& p) {
        Opened src(ws, p.source);
        Opened dst(ws, p.destination);
        for (const auto& t : p.tables) {
            const std::string shown = "table '" + t.info.name + "' of " + p.destination;
            const sqlite::TableInfo* info = dst.att->catalog.table(t.info.name);
            if (!info || info->columns.size() != t.info.columns.size())
                differs(shown + " is missing or has other fields");
            for (size_t i = 0; i < info->columns.size(); ++i) {
                const auto &a = t.info.columns[i], &b = info->columns[i];
                if (!sqlite::EqualNoCase(a.name, b.name) || a.type != b.type || a.size != b.size ||
                    a.counter != b.counter)
                    differs(shown + ", field '" + a.name + "'");
            }
            std::vector<size_t> order;
            for (const auto& name : orderColumns(t))
                for (size_t i = 0; i < t.info.columns.size(); ++i)
                    if (sqlite::EqualNoCase(t.info.columns[i].name, name)) order.push_back(i);
            const std::string sql = selectAllSql(t);
            const size_t width = t.info.columns.size();
            Reader a(src.db.OpenRecordset(sql, dbOpenForwardOnly), width);
            Reader b(dst.db.OpenRecordset(sql, dbOpenForwardOnly), width);
            uint64_t record = 0, sinceReport = 0;
            for (;;) {
                auto ga = a.group(order), gb = b.group(order);
                if (ga.empty() && gb.empty()) break;
                if (ga.size() != gb.size())
                    differs(shown + ", record " + std::to_string(record + 1) +
                            (ga.empty() ? " is one too many" : " is missing or out of place"));
                if (ga.size() == 1) {
                    for (size_t i = 0; i < width; ++i)
                        if (!(ga[0][i] == gb[0][i]))
                            differs(shown + ", record " + std::to_string(record + 1) + ", field '" +
                                    t.info.columns[i].name + "'");
                } else {
                    for (const auto& row : ga) {
                        auto it = std::find(gb.begin(), gb.end(), row);
                        if (it == gb.end())
                            differs(shown + ", near record " + std::to_string(record + 1));
                        gb.erase(it);
                    }
                }
                record += ga.size();
                progress_.rowsDone += ga.size();
                if ((sinceReport += ga.size()) >= kBatch) {
                    report();
                    sinceReport = 0;
                }
            }
            ++progress_.tablesDone;
            report();
        }
        // The links, saved queries and guards, as they were to be stored.
        Recordset rs = dst.db.OpenRecordset(
            "SELECT [Name], [Type], [Database], [ForeignName], [SQL] FROM MSysObjects ORDER BY "
            "[Name]",
            dbOpenForwardOnly);
        size_t i = 0;
        for (; !rs.EOF_(); rs.MoveNext(), ++i) {
            if (i >= p.objects.size()) differs("an object too many in " + p.destination);
            const ObjectRow& o = p.objects[i];
            if (rs.Fields(0).Value().toString() != o.name ||
                rs.Fields(1).Value().toLong() != o.type ||
                optionalText(rs.Fields(2).Value()) != relinked(o, p, plans_) ||
                optionalText(rs.Fields(3).Value()) != o.foreign ||
                optionalText(rs.Fields(4).Value()) != o.sql)
                differs("object '" + o.name + "' of " + p.destination);
        }
        if (i != p.objects.size()) differs("objects missing in " + p.destination);
    }
};

}  // namespace

void CopyDatabases(const std::vector<std::pair<std::string, std::string>>& sourceToDestination,
                   const CopyOptions& options) {
    std::vector<Plan> plans;
    for (const auto& [s, d] : sourceToDestination) {
        Plan p;
        p.source = s;
        p.destination = d;
        plans.push_back(std::move(p));
    }
    for (const auto& p : plans)
        if (exists(p.destination)) throw JetError::make(err::kDatabaseExists);
    // A workspace of its own: its connections and transactions are the copy's alone, and all
    // of it is closed before a failed copy is removed.
    auto ws = std::make_shared<detail::WorkspaceImpl>("#Copy#", "Admin");
    for (auto& p : plans) readDesign(ws, p);
    for (const auto& p : plans) {
        if (!pg::NamesServer(p.destination)) continue;
        // A field of no one type keeps each value's own type in a file; a server's column has
        // one type, and the copy would not be the same.
        for (const auto& t : p.tables)
            for (const auto& c : t.info.columns)
                if (c.type == JType::Variant || c.type == JType::Null)
                    throw JetError(err::kDataTypeConversion,
                                   "Data type conversion error: field '" + c.name + "' of table '" +
                                       t.info.name +
                                       "' holds values of any type, which a server "
                                       "database cannot keep.");
    }
    try {
        Copier copier(plans, options);
        copier.report();
        for (auto& p : plans) {
            DBEngine().CreateDatabase(p.destination);
            p.made = true;
        }
        copier.copyAll(ws);
    } catch (...) {
        ws.reset();
        for (const auto& p : plans) {
            if (!p.made) continue;
            try {
                removeDatabase(p.destination);
            } catch (const JetError&) {
                // the failure that stopped the copy is the one to report
            }
        }
        throw;
    }
}

}  // namespace kelvor
