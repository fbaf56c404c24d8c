// One SQLite connection per workspace. Each database the workspace opens is attached to it, so
// one transaction covers every open database and a commit over several files is atomic.
// Internal to the engine layer.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "jetsql/lexer.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "sqlite/catalog.h"
#include "sqlite/translate.h"

namespace kelvor::sqlite {

struct Attachment {
    std::string path;    // canonical path of the database file
    std::string schema;  // the name it is attached under
    int refs = 0;
    Catalog catalog;
    // The file's design stamp (schema cookie and user version) when the catalog was read, and
    // the transaction in which the file was last seen unchanged.
    uint64_t stamp = 0;
    uint64_t checkedIn = 0;
};

// A cached translation with its prepared statements, shared by every statement of its shape.
struct CacheEntry {
    std::shared_ptr<Translation> tr;
    std::vector<sqlite3_stmt*> idle;
    std::vector<sqlite3_stmt*> idleFetch;
    bool dead = false;
};

// Named parameter values of a saved or temporary query.
using ParamValues = std::map<std::string, Value, NoCaseLess>;

// A prepared statement on loan from the cache; returns it (reset) when destroyed.
class StmtLease {
  public:
    StmtLease() = default;
    StmtLease(std::shared_ptr<CacheEntry> e, sqlite3_stmt* st, bool fetch)
        : entry_(std::move(e)), st_(st), fetch_(fetch) {}
    ~StmtLease() { release(); }
    StmtLease(StmtLease&& o) noexcept : entry_(std::move(o.entry_)), st_(o.st_), fetch_(o.fetch_) {
        o.st_ = nullptr;
    }
    StmtLease& operator=(StmtLease&& o) noexcept;
    StmtLease(const StmtLease&) = delete;
    StmtLease& operator=(const StmtLease&) = delete;

    sqlite3_stmt* get() const { return st_; }
    explicit operator bool() const { return st_ != nullptr; }
    void release();

    // Binds the slots of its translation: literals, constants of inlined saved queries and
    // named parameters. Throws 3061 when parameters have no value.
    void bindSlots(const Translation& tr, const std::vector<jetsql::Literal>& lits,
                   const ParamValues* params);
    void bindKey(int index, int64_t key);
    // A value as stored in a column of the given type; throws 3421, 3163 for bad values.
    void bindValue(int index, const Value& v, const ColumnInfo& col);
    // True with a row to read, false at the end; throws the storage's failure, naming `path`.
    bool step(std::string_view path = {});
    int64_t key(int col) const;  // a record's key, as the first column of updatable results
    Value value(int col, jetsql::JType type) const;

  private:
    std::shared_ptr<CacheEntry> entry_;
    sqlite3_stmt* st_ = nullptr;
    bool fetch_ = false;
};

class Connection {
  public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* handle() const { return db_; }

    // Attaches the database file at `path` (or takes another reference to it). Throws 3024
    // for a missing file, 3343 for one that is not a database, 3048 past the attachment limit.
    Attachment* attach(const std::string& path);
    void release(Attachment* a);
    void reloadCatalog(Attachment& a);
    void reloadAllCatalogs();

    // Drops every cached translation (after a change to any database's design).
    void invalidate();

    // Before a statement uses the catalog: re-reads the catalog of every attached file whose
    // design another connection (or a rollback) changed since it was read. Outside a
    // transaction every statement checks; inside one, the first statement does.
    void refreshCatalogs();

    // Throws the error that ended this connection's transaction on its own, if one did.
    void checkUsable() const;
    // Called with every SQLite failure on this connection (see statement.h).
    void noteFailure(int rc, const JetError& error);

    // The translation for a statement of this shape against this database, and a prepared
    // statement to run it. `translate` is called on a cache miss.
    template <typename TranslateFn>
    std::shared_ptr<CacheEntry> entry(const std::string& key, TranslateFn translate) {
        auto it = cache_.find(key);
        if (it != cache_.end()) return it->second;
        auto e = std::make_shared<CacheEntry>();
        e->tr = translate();
        if (cache_.size() > kMaxCacheEntries) invalidate();
        cache_.emplace(key, e);
        return e;
    }
    // An uncached entry (statements whose text names a saved query's parameters, DDL...).
    StmtLease lease(const std::shared_ptr<CacheEntry>& e, bool fetch = false);

    // ---- what the object model asks of its storage (operations.cpp) ----
    // Runs an INSERT, UPDATE or DELETE; the number of records it changed.
    long run(const std::shared_ptr<CacheEntry>& e, const std::vector<jetsql::Literal>& lits,
             const ParamValues* params, std::string_view path);
    // One record of a table: the columns (indexes into table.columns) and their values. An
    // insert gives the new record's key.
    int64_t insertRow(const std::string& schema, const TableInfo& table,
                      const std::vector<int>& columns, const std::vector<const Value*>& values,
                      std::string_view path);
    void updateRow(const std::string& schema, const TableInfo& table,
                   const std::vector<int>& columns, const std::vector<const Value*>& values,
                   int64_t key, std::string_view path);
    // The layer's own objects of a database: saved queries, links, guards (a null text is
    // stored as Null).
    void putObject(const Attachment& a, const std::string& name, int type,
                   const std::string* database, const std::string* foreign, const std::string* sql);
    void deleteObject(const Attachment& a, const std::string& name);
    // After a change to a database's design: other connections learn of it, and this one
    // reads the catalog again.
    void designChanged(Attachment& a);
    // CREATE / DROP / ALTER on a database.
    void runDdl(Attachment& a, const jetsql::Statement& st, std::string_view path);
    // SELECT ... INTO: a new table with the query's columns and types, then its rows.
    long selectInto(Attachment& a, const Translation& tr, const std::vector<jetsql::Literal>& lits,
                    const ParamValues* params, std::string_view path);

    // Transactions: depth 0 is autocommit; nested levels are savepoints.
    void begin();
    void commit();
    void rollback();
    int depth() const { return depth_; }

  private:
    static constexpr size_t kMaxCacheEntries = 2000;
    sqlite3* db_ = nullptr;
    std::string scratchPath_;
    int scratchLock_ = -1;  // held (flock) while this connection lives; see connection.cpp
    uint64_t txnSerial_ = 1;
    // Set when the storage ended the transaction on its own (disk full, I/O error...): every
    // later statement fails with it until the caller rolls back.
    std::optional<JetError> failed_;
    std::vector<std::unique_ptr<Attachment>> attachments_;
    std::unordered_map<std::string, std::shared_ptr<CacheEntry>> cache_;
    int depth_ = 0;
    long schemaCounter_ = 0;

    void detachUnused();
    void loadCatalog(Attachment& a);
    std::shared_ptr<CacheEntry> rowWrite(const std::string& schema, const TableInfo& table,
                                         const std::vector<int>& columns, bool adding);
};

// Binds the slots of a translation: literals of this statement, constants of inlined saved
// queries and named parameters. Throws 3061 when parameters have no value.
void BindSlots(sqlite3_stmt* st, const Translation& tr, const std::vector<jetsql::Literal>& lits,
               const ParamValues* params);

// A result column as the engine's value of the given type.
Value ReadColumn(sqlite3_stmt* st, int col, jetsql::JType type);

// A value as stored in a column of the given type; throws 3421, 3163 for bad values.
void BindValue(sqlite3_stmt* st, int index, const Value& v, const ColumnInfo& col);

}  // namespace kelvor::sqlite
