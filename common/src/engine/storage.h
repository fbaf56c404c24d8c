// What the object model needs of a storage engine: a connection that holds the databases of one
// workspace, and cursors over its prepared statements. SQLite files (sqlite/connection.h) are one
// engine; each engine translates Jet SQL with its own emitter. Internal to the engine layer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "jetsql/ast.h"
#include "kelvor/value.h"
#include "sqlite/catalog.h"
#include "sqlite/translate.h"

namespace kelvor::engine {

using sqlite::Catalog;
using sqlite::ColumnInfo;
using sqlite::TableInfo;
using sqlite::Translation;

// The number of records a statement changed: set when the run returns, or -1 until the engine
// has the statement's result (an engine may send the writes of a transaction without waiting
// for each: Connection::settle() waits).
using Count = std::shared_ptr<long>;

// Named parameter values of a saved or temporary query.
using ParamValues = std::map<std::string, Value, sqlite::NoCaseLess>;

// One database of a connection.
struct Attachment {
    std::string path;    // canonical: the file's real path, or the server and schema
    std::string schema;  // the name statements give it
    int refs = 0;
    Catalog catalog;
    // The database's design stamp when the catalog was read, and the transaction in which the
    // database was last seen unchanged.
    uint64_t stamp = 0;
    uint64_t checkedIn = 0;
};

// One prepared statement of an engine.
class Cursor {
  public:
    virtual ~Cursor() = default;
    // Binds the slots of its translation: literals, constants of inlined saved queries and
    // named parameters. Throws 3061 when parameters have no value.
    virtual void bindSlots(const Translation& tr, const std::vector<jetsql::Literal>& lits,
                           const ParamValues* params) = 0;
    virtual void bindKey(int index, int64_t key) = 0;
    // A value as stored in a column of the given type; throws 3421, 3163 for bad values.
    virtual void bindValue(int index, const Value& v, const ColumnInfo& col) = 0;
    // True with a row to read, false at the end; throws the storage's failure, naming `path`.
    virtual bool step(std::string_view path) = 0;
    virtual int64_t key(
        int col) const = 0;  // a record's key, the first column of updatable results
    virtual Value value(int col, jetsql::JType type) const = 0;
    // Ready for its next use (its bindings may stay: every use binds every slot again).
    virtual void reset() = 0;
};

// A cached translation with its idle cursors, shared by every statement of its shape.
struct CacheEntry {
    std::shared_ptr<Translation> tr;
    std::vector<std::unique_ptr<Cursor>> idle;
    std::vector<std::unique_ptr<Cursor>> idleFetch;
    bool dead = false;
};

// A cursor on loan from the cache; goes back (reset) when the lease ends.
class Lease {
  public:
    Lease() = default;
    Lease(std::shared_ptr<CacheEntry> e, std::unique_ptr<Cursor> c, bool fetch)
        : entry_(std::move(e)), cursor_(std::move(c)), fetch_(fetch) {}
    ~Lease() { release(); }
    Lease(Lease&& o) noexcept = default;
    Lease& operator=(Lease&& o) noexcept {
        if (this != &o) {
            release();
            entry_ = std::move(o.entry_);
            cursor_ = std::move(o.cursor_);
            fetch_ = o.fetch_;
        }
        return *this;
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return cursor_ != nullptr; }
    Cursor* operator->() const { return cursor_.get(); }
    void release();

  private:
    std::shared_ptr<CacheEntry> entry_;
    std::unique_ptr<Cursor> cursor_;
    bool fetch_ = false;
};

// A connection's entry in the roster of a database it has open, and its deny-write table
// locks there; the entry goes when this ends.
class Presence {
  public:
    virtual ~Presence() = default;
    // Throws 3262 naming the holder when another connection holds the lock.
    virtual void lockTable(const std::string& table) = 0;
    virtual void unlockTable(const std::string& table) = 0;
    // Throws 3027 when another connection holds a deny-write lock on any of `tables`.
    virtual void checkWritable(const std::vector<std::string>& tables) const = 0;
};

// The same calls on an engine's own kind of entry.
template <typename Entry>
class PresenceOf final : public Presence {
  public:
    explicit PresenceOf(std::unique_ptr<Entry> e) : e_(std::move(e)) {}
    void lockTable(const std::string& table) override { e_->lockTable(table); }
    void unlockTable(const std::string& table) override { e_->unlockTable(table); }
    void checkWritable(const std::vector<std::string>& tables) const override {
        e_->checkWritable(tables);
    }

  private:
    std::unique_ptr<Entry> e_;
};

// A query sent ahead of the moment its rows are wanted (see Connection::announce).
class Prefetch {
  public:
    virtual ~Prefetch() = default;
    // Its cursor, bound; its first step gives the first row (running the query if it has not
    // been sent yet).
    virtual Lease take() = 0;
};

class Connection {
  public:
    virtual ~Connection() = default;

    // How attachments name the database at `path`: two spellings of one database give one
    // name. Throws 3024 when there is no such database.
    virtual std::string canonical(const std::string& path) const = 0;
    // Registers `user` on the database at `path` before it is attached, so that compaction
    // and this open exclude each other. Throws 3024, 3051, 3045 as opening would.
    virtual std::unique_ptr<Presence> enter(const std::string& path, const std::string& user) = 0;

    // The database at `path` (or another reference to it). Throws 3024 for a missing one, 3343
    // for one that is not a database, 3048 past the limit.
    virtual Attachment* attach(const std::string& path) = 0;
    virtual void release(Attachment* a) = 0;
    virtual void reloadCatalog(Attachment& a) = 0;
    virtual void reloadAllCatalogs() = 0;
    // Before a statement uses the catalog: re-reads the catalog of every database whose design
    // another connection (or a rollback) changed since it was read.
    virtual void refreshCatalogs() = 0;
    // Throws the error that ended this connection's transaction on its own, if one did.
    virtual void checkUsable() const = 0;

    // Jet SQL in this engine's SQL.
    virtual std::shared_ptr<Translation> translate(jetsql::Statement& st,
                                                   const std::vector<jetsql::Literal>& literals,
                                                   sqlite::Resolver& resolver) = 0;

    // The translation for a statement of this shape, and cursors to run it. `translate` is
    // called on a cache miss.
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
    Lease lease(const std::shared_ptr<CacheEntry>& e, bool fetch = false);
    // Drops every cached translation (after a change to any database's design).
    void invalidate();
    // What an engine keeps beside the translations goes with them.
    virtual void invalidated() {}

    // Runs an INSERT, UPDATE or DELETE; the number of records it changed.
    virtual Count run(const std::shared_ptr<CacheEntry>& e,
                      const std::vector<jetsql::Literal>& lits, const ParamValues* params,
                      std::string_view path) = 0;
    // One record of a table: the columns (indexes into table.columns) and their values. An
    // insert gives the new record's key when `wantKey` (else it may give 0).
    virtual int64_t insertRow(const std::string& schema, const TableInfo& table,
                              const std::vector<int>& columns,
                              const std::vector<const Value*>& values, bool wantKey,
                              std::string_view path) = 0;
    // An update gives, where the engine knows them without reading the record again, the
    // values the columns now hold as a read would give them (else nothing): a caller that has
    // the record in hand need not fetch it again.
    virtual std::vector<Value> updateRow(const std::string& schema, const TableInfo& table,
                                         const std::vector<int>& columns,
                                         const std::vector<const Value*>& values, int64_t key,
                                         std::string_view path) = 0;
    // The layer's own objects of a database: saved queries, links, guards (a null text is
    // stored as Null).
    virtual void putObject(const Attachment& a, const std::string& name, int type,
                           const std::string* database, const std::string* foreign,
                           const std::string* sql) = 0;
    virtual void deleteObject(const Attachment& a, const std::string& name) = 0;
    // After a change to a database's design: other connections learn of it, and this one reads
    // the catalog again.
    virtual void designChanged(Attachment& a) = 0;
    // CREATE / DROP / ALTER on a database.
    virtual void runDdl(Attachment& a, const jetsql::Statement& st, std::string_view path) = 0;
    // SELECT ... INTO: a new table with the query's columns and types, then its rows.
    virtual long selectInto(Attachment& a, const Translation& tr,
                            const std::vector<jetsql::Literal>& lits, const ParamValues* params,
                            std::string_view path) = 0;

    // Waits for every statement sent and not yet answered; throws the first one's failure.
    virtual void settle() {}
    // A query whose rows will be read later (a dynaset's): an engine that pays for each round
    // trip may send it along with the next statement, so that queries opened together cost
    // one wait. Null when the engine runs it at the first read, as usual.
    virtual std::unique_ptr<Prefetch> announce(const std::shared_ptr<CacheEntry>&,
                                               const std::vector<jetsql::Literal>&,
                                               const ParamValues*) {
        return nullptr;
    }

    // Transactions: depth 0 is autocommit; nested levels are savepoints.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual int depth() const = 0;

  protected:
    // A new cursor for the entry's statement (or its fetch of one record).
    virtual std::unique_ptr<Cursor> prepare(const CacheEntry& e, bool fetch) = 0;

  private:
    static constexpr size_t kMaxCacheEntries = 2000;
    std::unordered_map<std::string, std::shared_ptr<CacheEntry>> cache_;
};

}  // namespace kelvor::engine
