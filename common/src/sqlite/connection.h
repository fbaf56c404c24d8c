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

#include "engine/storage.h"
#include "jetsql/lexer.h"
#include "kelvor/jet_error.h"
#include "kelvor/value.h"
#include "sqlite/catalog.h"
#include "sqlite/translate.h"

namespace kelvor::sqlite {

using Attachment = engine::Attachment;
using CacheEntry = engine::CacheEntry;
using ParamValues = engine::ParamValues;
using StmtLease = engine::Lease;

// A prepared SQLite statement.
class Cursor final : public engine::Cursor {
  public:
    explicit Cursor(sqlite3_stmt* st) : st_(st) {}
    ~Cursor() override;
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    void bindSlots(const Translation& tr, const std::vector<jetsql::Literal>& lits,
                   const ParamValues* params) override;
    void bindKey(int index, int64_t key) override;
    void bindValue(int index, const Value& v, const ColumnInfo& col) override;
    bool step(std::string_view path) override;
    int64_t key(int col) const override;
    Value value(int col, jetsql::JType type) const override;
    void reset() override;

  private:
    sqlite3_stmt* st_;
};

class Connection final : public engine::Connection {
  public:
    Connection();
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* handle() const { return db_; }

    // A file's real path.
    std::string canonical(const std::string& path) const override;
    // The connection's entry in the file's lock-information file.
    std::unique_ptr<engine::Presence> enter(const std::string& path,
                                            const std::string& user) override;

    // Attaches the database file at `path` (or takes another reference to it). Throws 3024
    // for a missing file, 3343 for one that is not a database, 3048 past the attachment limit.
    Attachment* attach(const std::string& path) override;
    void release(Attachment* a) override;
    void reloadCatalog(Attachment& a) override;
    void reloadAllCatalogs() override;
    // Outside a transaction every statement checks the files' stamps; inside one, the first.
    void refreshCatalogs() override;
    void checkUsable() const override;
    // Called with every SQLite failure on this connection (see statement.h).
    void noteFailure(int rc, const JetError& error);

    std::shared_ptr<Translation> translate(jetsql::Statement& st,
                                           const std::vector<jetsql::Literal>& literals,
                                           Resolver& resolver) override;

    // What the object model asks of its storage (operations.cpp).
    engine::Count run(const std::shared_ptr<CacheEntry>& e,
                      const std::vector<jetsql::Literal>& lits, const ParamValues* params,
                      std::string_view path) override;
    int64_t insertRow(const std::string& schema, const TableInfo& table,
                      const std::vector<int>& columns, const std::vector<const Value*>& values,
                      bool wantKey, std::string_view path) override;
    std::vector<Value> updateRow(const std::string& schema, const TableInfo& table,
                                 const std::vector<int>& columns,
                                 const std::vector<const Value*>& values, int64_t key,
                                 std::string_view path) override;
    void putObject(const Attachment& a, const std::string& name, int type,
                   const std::string* database, const std::string* foreign,
                   const std::string* sql) override;
    void deleteObject(const Attachment& a, const std::string& name) override;
    void designChanged(Attachment& a) override;
    void runDdl(Attachment& a, const jetsql::Statement& st, std::string_view path) override;
    long selectInto(Attachment& a, const Translation& tr, const std::vector<jetsql::Literal>& lits,
                    const ParamValues* params, std::string_view path) override;

    void begin() override;
    void commit() override;
    void rollback() override;
    int depth() const override { return depth_; }

  protected:
    std::unique_ptr<engine::Cursor> prepare(const CacheEntry& e, bool fetch) override;

  private:
    sqlite3* db_ = nullptr;
    std::string scratchPath_;
    int scratchLock_ = -1;  // held (flock) while this connection lives; see connection.cpp
    uint64_t txnSerial_ = 1;
    // Set when the storage ended the transaction on its own (disk full, I/O error...): every
    // later statement fails with it until the caller rolls back.
    std::optional<JetError> failed_;
    std::vector<std::unique_ptr<Attachment>> attachments_;
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
