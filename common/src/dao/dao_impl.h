// The objects behind the DAO handles. Internal to the engine layer.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "jetsql/ast.h"
#include "kelvor/dao.h"
#include "sqlite/connection.h"

namespace kelvor::detail {

class WorkspaceImpl {
  public:
    WorkspaceImpl(std::string name, std::string user)
        : name_(std::move(name)), user_(std::move(user)) {}
    // The connection that holds the database at `path`: one for the workspace's files, one per
    // PostgreSQL database it reaches.
    std::shared_ptr<engine::Connection> connectionFor(const std::string& path);
    // Transactions span every connection of the workspace (a commit is atomic within each).
    void begin();
    void commit();
    void rollback();
    void reloadAllCatalogs();
    const std::string& name() const { return name_; }
    const std::string& user() const { return user_; }
    void close() { closed_ = true; }
    bool closed() const { return closed_; }
    void checkOpen() const;

  private:
    std::string name_, user_;
    std::vector<std::pair<std::string, std::shared_ptr<engine::Connection>>> conns_;
    int depth_ = 0;
    bool closed_ = false;
};

// A statement ready to run: its cached translation and this statement's literal values.
struct Prepared {
    std::shared_ptr<engine::CacheEntry> entry;
    std::vector<jetsql::Literal> literals;
    std::unique_ptr<jetsql::Statement> ddl;  // set for CREATE / DROP, which are not cached
};

class DatabaseImpl : public sqlite::Resolver, public std::enable_shared_from_this<DatabaseImpl> {
  public:
    DatabaseImpl(std::shared_ptr<WorkspaceImpl> ws, std::string path);
    ~DatabaseImpl() override;

    Resolved resolve(std::string_view name) override;

    Prepared prepare(std::string_view sql);
    engine::Count execute(std::string_view sql, const sqlite::ParamValues* params);
    std::shared_ptr<RecordsetImpl> open(std::string_view source, int type, int options,
                                        const sqlite::ParamValues* params);
    void linkTable(const std::string& name, const std::string& sourcePath,
                   const std::string& sourceTable);
    void saveQuery(const std::string& name, const std::string& sql, bool replace);
    void guardTable(const std::string& table, const std::string& guard);

    // Throws 3027 when another connection holds a deny-write lock on the table (in the
    // database attached as `schema`) or on the table that guards it.
    void checkWritable(const std::string& schema, const std::string& table);
    void lockTable(const std::string& schema, const std::string& table);
    void unlockTable(const std::string& schema, const std::string& table);

    engine::Connection& conn() {
        ws_->checkOpen();
        return *conn_;
    }
    sqlite::Attachment& attachment() { return *att_; }
    const std::string& path() const { return path_; }
    void checkOpen() const;
    // Before a statement: the database is open, its transaction has not failed, and the
    // catalog shows what other programs have changed.
    void beginStatement();
    void close();
    engine::Count recordsAffected;
    // A count as known once the engine has the statement's result.
    long settled(const engine::Count& c);

  private:
    std::shared_ptr<WorkspaceImpl> ws_;
    std::string path_;
    std::shared_ptr<engine::Connection> conn_;
    sqlite::Attachment* att_ = nullptr;
    std::vector<sqlite::Attachment*> linkRefs_;
    // This connection's entry in the roster of each database it reaches: its own, and the
    // sources of its links.
    std::unordered_map<std::string, std::unique_ptr<engine::Presence>> locks_;
    bool closed_ = false;

    Resolved resolveIn(sqlite::Attachment& a, std::string_view name, int depth);
    sqlite::Attachment* sourceAttachment(sqlite::Attachment& holder, const std::string& source);
    sqlite::Attachment* attachWithLock(const std::string& path);
    engine::Presence* lockFileFor(const std::string& schema);
    void executeDdl(jetsql::Statement& st);
    engine::Count selectInto(Prepared& p, const sqlite::ParamValues* params);
    void afterDesignChange();
    void releaseAll();
};

class RecordsetImpl {
  public:
    RecordsetImpl(std::shared_ptr<DatabaseImpl> db, Prepared p, int type, int options,
                  const sqlite::ParamValues* params);
    ~RecordsetImpl();

    int fieldIndex(std::string_view name) const;
    int fieldCount() const { return static_cast<int>(tr().columns.size()); }
    const sqlite::OutputColumn& column(int i) const { return tr().columns[static_cast<size_t>(i)]; }
    Value value(int i);
    void set(int i, const Value& v);
    bool eof();
    void moveNext();
    void addNew();
    void edit();
    void update();
    void cancelUpdate();
    void close();
    bool closed() const { return closed_; }
    int type() const { return type_; }

  private:
    // The current record after an update, from the values the engine says the record now
    // holds; false where they do not settle it (it is read again then).
    bool takeStored(const std::vector<int>& columns, const std::vector<Value>& stored);
    enum class Mode { None, Adding, Editing };
    std::shared_ptr<DatabaseImpl> db_;
    std::shared_ptr<engine::CacheEntry> entry_;
    std::vector<jetsql::Literal> literals_;
    std::optional<sqlite::ParamValues> params_;
    int type_;
    bool appendOnly_;
    bool closed_ = false;
    mutable std::vector<std::pair<std::string, int>> spellings_;  // field names as asked
    int offset_ = 0;          // 1 when the first result column is the rowid
    bool denyWrite_ = false;  // holds a deny-write lock on its table until closed

    std::unique_ptr<engine::Prefetch> prefetch_;  // a dynaset's query, sent ahead
    // forward-only
    engine::Lease stmt_;
    bool eof_ = true;
    // snapshot, and dynasets over queries that cannot be updated
    bool loaded_ = false;
    std::vector<std::vector<Value>> rows_;
    // dynaset over one table: the record keys, and the current record's values
    std::vector<int64_t> keys_;
    std::vector<Value> current_;
    bool currentValid_ = false;
    size_t pos_ = 0;
    // AddNew / Edit
    Mode mode_ = Mode::None;
    std::vector<std::optional<Value>> pending_;

    const sqlite::Translation& tr() const { return *entry_->tr; }
    void checkOpen() const;
    void load();
    void fetchCurrent();
    void requireCurrent();
    void requireUpdatable() const;
    void releaseTableLock();
    std::vector<Value> readRow(const engine::Lease& st, int offset) const;
};

class QueryDefImpl {
  public:
    QueryDefImpl(std::shared_ptr<DatabaseImpl> db, std::string name, std::string sql)
        : db(std::move(db)), name(std::move(name)), sql(std::move(sql)) {}
    std::vector<jetsql::ParamDecl> parameters();
    std::string canonicalParam(std::string_view name);

    std::shared_ptr<DatabaseImpl> db;
    std::string name;  // empty for a temporary query
    std::string sql;
    sqlite::ParamValues values;
    engine::Count affected;
};

}  // namespace kelvor::detail
