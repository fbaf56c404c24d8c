// The object model over PostgreSQL: one libpq connection per workspace and server database.
// Each Kelvor database the workspace opens there is one schema of that database, so one
// transaction covers all of them, as attached files share one on SQLite. Internal to the engine
// layer.
#pragma once

#include <libpq-fe.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
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

// Rows read at a time from a portal.
inline constexpr int kBatchRows = 1000;

// What a query of one shape has returned so far: whether its rows are read in batches.
struct Shape {
    int runs = 0;
    bool big = false;       // once more than a batch of rows
    bool together = false;  // once sent with others of its kind, as runs of one statement
};

// A server-side prepared statement and the result of its last run.
class Cursor final : public engine::Cursor {
  public:
    // Prepared on the server at its first run, after its values are bound: a statement that
    // lacks a parameter's value fails as 3061, not as the server's complaint about its type.
    // `shape` is set for the queries of recordsets, which may be read in batches.
    Cursor(Connection& c, std::string name, std::string sql, int params, bool tidKey,
           std::shared_ptr<Shape> shape)
        : c_(c),
          name_(std::move(name)),
          sql_(std::move(sql)),
          texts_(static_cast<size_t>(params)),
          tid_(tidKey),
          text_(shape ? sql_ : std::string()),
          shape_(std::move(shape)) {}
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
    // Runs without waiting for the result, which fills `affected` when it arrives (a write
    // inside a transaction; see Connection::defer).
    void send(const engine::Count& affected);
    // Sends the query for its rows, which the first step then reads (see announce()).
    void sendAhead();
    void prefetched(Result r) {
        own(std::move(r));
        ready_ = true;
        queued_ = false;
    }
    // Rows [first, first + count) of a result that several runs of this query share.
    void prefetched(std::shared_ptr<const Result> r, int first, int count) {
        res_ = Result();
        shared_ = std::move(r);
        base_ = first;
        count_ = count;
        ready_ = true;
        queued_ = false;
    }
    // Announced, or sent ahead and its result not read yet: the connection knows of it.
    bool queued() const { return queued_; }
    void queue(bool on) { queued_ = on; }
    // Runs of one query with other values can go to the server together (see sendAnnounced).
    const Shape* shape() const { return shape_.get(); }
    void together() {
        if (shape_) shape_->together = true;
    }
    const std::string& text() const { return text_; }
    const std::vector<std::optional<std::string>>& params() const { return texts_; }
    // Reads the rest of the rows before the transaction that holds its portal ends.
    void drain();

  private:
    Connection& c_;
    std::string name_;
    std::string sql_;  // until prepared
    std::vector<std::optional<std::string>> texts_;
    bool tid_;
    Result res_;
    std::shared_ptr<const Result> shared_;  // when set, rows base_.. of it are this run's
    int base_ = 0, count_ = 0;
    int row_ = -1;
    bool ready_ = false;  // res_ holds the result of a query sent ahead
    bool queued_ = false;
    // Read in batches through a portal (DECLARE ... CURSOR) of the transaction `txn_`.
    std::string text_;  // the query, for DECLARE
    std::shared_ptr<Shape> shape_;
    bool streaming_ = false, more_ = false;
    uint64_t txn_ = 0;
    Result tail_;  // the rows left when the transaction ended
    void set(int index, std::optional<std::string> text);
    void own(Result r) {
        res_ = std::move(r);
        shared_.reset();
    }
    PGresult* result() const { return shared_ ? shared_->get() : res_.get(); }
    int rowCount() const { return shared_ ? count_ : PQntuples(res_.get()); }
    int at() const { return shared_ ? base_ + row_ : row_; }
    std::string portal() const { return name_ + "_p"; }
    void closePortal();
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
    engine::Count run(const std::shared_ptr<engine::CacheEntry>& e,
                      const std::vector<jetsql::Literal>& lits, const engine::ParamValues* params,
                      std::string_view path) override;
    int64_t insertRow(const std::string& schema, const sqlite::TableInfo& table,
                      const std::vector<int>& columns, const std::vector<const Value*>& values,
                      bool wantKey, std::string_view path) override;
    void settle() override;
    void answer();
    // The result of `c`, sent ahead, is read (and those sent before it); what was sent after it
    // may still be running on the server.
    void collect(const Cursor* c, std::string_view path);
    std::unique_ptr<engine::Prefetch> announce(const std::shared_ptr<engine::CacheEntry>& e,
                                               const std::vector<jetsql::Literal>& lits,
                                               const engine::ParamValues* params) override;
    // A cursor announced no longer waits to be sent; its result, if one comes, is dropped.
    void withdraw(Cursor* c);
    bool announced(const Cursor* c) const {
        return std::find(announced_.begin(), announced_.end(), c) != announced_.end();
    }

    // Portals: a query's rows in batches, inside a transaction. `declare` opens the portal
    // (with the first batch); `fetch` reads the next batch (`all`: every row left); `close` is
    // sent without waiting. A streaming cursor is drained before its transaction ends.
    bool streamable() const { return defer(); }
    uint64_t transaction() const { return txnSerial_; }
    Result declare(const std::string& portal, const std::string& sql,
                   const std::vector<std::optional<std::string>>& params, std::string_view path);
    Result fetch(const std::string& portal, bool all, std::string_view path);
    void close(const std::string& portal);
    void streaming(Cursor* c, bool on);
    std::vector<Value> updateRow(const std::string& schema, const sqlite::TableInfo& table,
                                 const std::vector<int>& columns,
                                 const std::vector<const Value*>& values, int64_t key,
                                 std::string_view path) override;
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
    // Runs the statement prepared as `name` (first preparing it from `sql` when that is not
    // empty), as exec does: one round trip, which also carries the writes sent before it.
    Result runPrepared(const std::string& name, const std::string& sql,
                       const std::vector<std::optional<std::string>>& params,
                       std::string_view path);
    // The same without waiting (see defer()).
    void sendPrepared(const std::string& name, const std::string& sql,
                      const std::vector<std::optional<std::string>>& params,
                      const engine::Count& affected, Cursor* reader = nullptr);
    // Throws 3027 when a deny-write lock of another connection refuses writes to `tables` of
    // the schema `session` registered on. Inside a transaction, a table checked once is held
    // open for writing until the transaction ends, and is not checked again.
    void checkWritable(const LockSession& session, const std::vector<std::string>& tables);
    // A deny-write lock taken through this connection: writes are checked again.
    void lockTaken() { cleared_.clear(); }
    // A prepared statement no cursor uses any more: dropped on the server before the next
    // statement that is not part of a failed transaction.
    void forget(std::string name) { unused_.push_back(std::move(name)); }
    void invalidated() override;

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
    // Statements sent in pipeline mode whose results have not been read, in order; each with
    // where its count goes (null for a prepare). A sync ends each burst sent.
    struct Pending {
        engine::Count affected;
        Cursor* reader = nullptr;   // a query sent ahead: its result goes there
        std::vector<Cursor*> runs;  // runs of one query sent together: their rows, in turn
        Result* into = nullptr;     // the caller's own statement
        bool sync = false;
    };
    std::deque<Pending> pending_;
    std::vector<Cursor*> announced_;  // queries to send with the next statement
    std::set<Cursor*> streaming_;     // cursors reading a portal
    uint64_t txnSerial_ = 0;
    std::map<const sqlite::Translation*,
             std::pair<std::weak_ptr<sqlite::Translation>, std::shared_ptr<Shape>>>
        shapes_;
    void drainStreams();
    Result pipelined(const std::vector<std::string>& statements,
                     const std::vector<std::optional<std::string>>& firstParams,
                     std::string_view path);
    bool pipeline_ = false;
    void sendAnnounced();
    void sendRuns(const std::vector<Cursor*>& runs);
    // Writes of single records held back, to go together (see hold()).
    struct Held {
        std::string table;  // schema.table
        std::string shape;  // the statement's key: the table, insert or update, the columns
        std::string sql;    // the statement for many records
        std::vector<std::vector<std::optional<std::string>>> values;  // per column, per record
        std::vector<int64_t> keys;                                    // updates: per record
        std::set<int64_t> seen;
    };
    std::vector<Held> held_;
    size_t heldRows_ = 0;
    // What a table's writes may be held for: no triggers, and the columns of its unique
    // indexes (an empty name: an index on an expression or part of the rows).
    struct Traits {
        bool plain = false;
        std::set<std::string> unique;
    };
    std::map<std::string, Traits> traits_;
    // Statements for many records or runs, and the plan settings around them, prepared once
    // each: name by text.
    std::map<std::string, std::string> batched_;
    // The transaction asks for prepared plans (see planGeneric); unknown after a rollback to
    // a savepoint.
    std::optional<bool> generic_ = false;
    void planGeneric(bool on);
    const Traits& traitsOf(const std::string& schema, const sqlite::TableInfo& table);
    bool hold(const std::string& schema, const sqlite::TableInfo& table,
              const std::vector<int>& columns, const std::vector<const Value*>& values,
              std::optional<int64_t> key, std::vector<Value>* stored);
    void sendHeld();
    void sendHeld(const Held& h);
    void sendBatched(const std::string& sql, const std::vector<std::optional<std::string>>& params);
    void sendNamed(const std::string& sql, const std::vector<std::optional<std::string>>& params);
    void sendRaw(const std::string& name, const std::string& sql,
                 const std::vector<std::optional<std::string>>& params);
    int depth_ = 0;
    uint64_t statements_ = 0;

    JetError failure(const PGresult* res, std::string_view path);
    bool defer() const { return depth_ > 0 && !failed_; }
    void enterPipeline();
    void sendQuery(const std::string& name, const std::string& sql,
                   const std::vector<std::optional<std::string>>& params);
    // Ends the pipeline: a sync, then every result in order. With `own`, the last statement
    // sent is the caller's, whose result is returned. Throws the first failure.
    Result finishPipeline(bool own, std::string_view path);
    // Ends the burst sent so far with a sync: the server runs it and sends its results.
    void push();
    // Reads the results of the first `count` statements sent; on a failure, those up to the
    // end of its burst too, and throws it.
    void consume(size_t count, std::string_view path);
    // Ends the pipeline whatever its statements did (before a rollback).
    void discardPipeline();
    Result checked(PGresult* res, std::string_view path);
    void loadCatalog(engine::Attachment& a);
    void dropUnused();
    void notices();
    std::shared_ptr<engine::CacheEntry> rowWrite(const std::string& schema,
                                                 const sqlite::TableInfo& table,
                                                 const std::vector<int>& columns, bool adding);
};

// Why a connection to the server `shown` failed, from libpq's message: 3024 for a database
// that does not exist, 3029 for a role refused, else 3043.
JetError ConnectFailure(const std::string& message, const std::string& shown);

// A new, empty database: a schema with the layer's metadata table and roster. Throws 3204 when
// the schema exists.
void CreateDatabase(const std::string& path);

}  // namespace kelvor::pg
