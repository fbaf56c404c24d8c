// The object model over PostgreSQL: one libpq connection per workspace and server database.
// Each Kelvor database the workspace opens there is one schema of that database, so one
// transaction covers all of them, as attached files share one on SQLite. Internal to the engine
// layer.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage.h"
#include "kelvor/jet_error.h"
#include "pg/path.h"
#include "pg/result.h"

namespace kelvor::pg {

class Connection;
class LockSession;

// A server-side prepared statement and the result of its last run.
class Cursor final : public engine::Cursor {
  public:
    // Prepared on the server at its first run, after its values are bound: a statement that
    // lacks a parameter's value fails as 3061, not as the server's complaint about its type.
    Cursor(Connection& c, std::string name, std::string sql, int params, bool tidKey)
        : c_(c),
          name_(std::move(name)),
          sql_(std::move(sql)),
          texts_(static_cast<size_t>(params)),
          tid_(tidKey) {}
    ~Cursor() override;
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    void bindSlots(const sqlite::Translation& tr, const std::vector<jetsql::Literal>& lits,
                   const engine::ParamValues* params) override;
    void bindKey(int index, int64_t key) override;
    void bindValue(int index, const Value& v, const sqlite::ColumnInfo& col) override;
    bool step(std::string_view path) override;
    int64_t key(int col) const override;
    Value value(int col, jetsql::JType type) const override;
    void reset() override;
    // Records the last run changed.
    long changes() const;

  private:
    Connection& c_;
    std::string name_;
    std::string sql_;  // until prepared
    std::vector<std::optional<std::string>> texts_;
    bool tid_;
    Result res_;
    int row_ = -1;
    void set(int index, std::optional<std::string> text);
};

class Connection final : public engine::Connection {
  public:
    // Connects to the server and database `server` names. Throws 3024 when the server cannot
    // be reached or the database does not exist, 3029 when the role is refused.
    explicit Connection(const ServerPath& server);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    PGconn* handle() const { return conn_; }

    // "server key#schema": every spelling of one server's schema gives one name.
    std::string canonical(const std::string& path) const override;
    std::unique_ptr<engine::Presence> enter(const std::string& path,
                                            const std::string& user) override;
    engine::Attachment* attach(const std::string& path) override;
    void release(engine::Attachment* a) override;
    void reloadCatalog(engine::Attachment& a) override;
    void reloadAllCatalogs() override;
    void refreshCatalogs() override;
    void checkUsable() const override;

    std::shared_ptr<sqlite::Translation> translate(jetsql::Statement& st,
                                                   const std::vector<jetsql::Literal>& literals,
                                                   sqlite::Resolver& resolver) override;
    long run(const std::shared_ptr<engine::CacheEntry>& e, const std::vector<jetsql::Literal>& lits,
             const engine::ParamValues* params, std::string_view path) override;
    int64_t insertRow(const std::string& schema, const sqlite::TableInfo& table,
                      const std::vector<int>& columns, const std::vector<const Value*>& values,
                      std::string_view path) override;
    void updateRow(const std::string& schema, const sqlite::TableInfo& table,
                   const std::vector<int>& columns, const std::vector<const Value*>& values,
                   int64_t key, std::string_view path) override;
    void putObject(const engine::Attachment& a, const std::string& name, int type,
                   const std::string* database, const std::string* foreign,
                   const std::string* sql) override;
    void deleteObject(const engine::Attachment& a, const std::string& name) override;
    void designChanged(engine::Attachment& a) override;
    void runDdl(engine::Attachment& a, const jetsql::Statement& st, std::string_view path) override;
    long selectInto(engine::Attachment& a, const sqlite::Translation& tr,
                    const std::vector<jetsql::Literal>& lits, const engine::ParamValues* params,
                    std::string_view path) override;

    void begin() override;
    void commit() override;
    void rollback() override;
    int depth() const override { return depth_; }

    // Runs `sql` (text parameters, a null pointer for Null) and returns its result; a failure
    // inside a transaction ends the transaction (see connection.cpp). Throws JetError.
    Result exec(const std::string& sql, const std::vector<const char*>& params = {},
                std::string_view path = {});
    // Runs a prepared statement, as exec does.
    Result execPrepared(const std::string& name, const std::vector<const char*>& params,
                        std::string_view path);
    // Prepares `sql` under `name`, its `params` parameters all sent as text.
    void prepareNamed(const std::string& name, const std::string& sql, int params);
    // Throws 3027 when a deny-write lock of another connection refuses writes to `tables` of
    // the schema `session` registered on. Inside a transaction, a table checked once is held
    // open for writing until the transaction ends, and is not checked again.
    void checkWritable(const LockSession& session, const std::vector<std::string>& tables);
    // A deny-write lock taken through this connection: writes are checked again.
    void lockTaken() { cleared_.clear(); }
    // A prepared statement no cursor uses any more: dropped on the server before the next
    // statement that is not part of a failed transaction.
    void forget(std::string name) { unused_.push_back(std::move(name)); }

  protected:
    std::unique_ptr<engine::Cursor> prepare(const engine::CacheEntry& e, bool fetch) override;

  private:
    ServerPath server_;
    PGconn* conn_ = nullptr;
    std::vector<std::unique_ptr<engine::Attachment>> attachments_;
    std::set<std::string> designDirty_;  // schemas whose design another program changed
    bool designInTransaction_ = false;   // this connection changed a design in its transaction
    std::optional<JetError> failed_;
    std::vector<std::string> unused_;
    std::set<int64_t> cleared_;  // table lock keys this transaction holds shared
    int depth_ = 0;
    uint64_t statements_ = 0;

    JetError failure(const PGresult* res, std::string_view path);
    Result checked(PGresult* res, std::string_view path);
    void loadCatalog(engine::Attachment& a);
    void dropUnused();
    void notices();
    std::shared_ptr<engine::CacheEntry> rowWrite(const std::string& schema,
                                                 const sqlite::TableInfo& table,
                                                 const std::vector<int>& columns, bool adding);
};

// A new, empty database: a schema with the layer's metadata table and roster. Throws 3204 when
// the schema exists.
void CreateDatabase(const std::string& path);

}  // namespace kelvor::pg
