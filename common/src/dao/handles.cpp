// The public handles: each forwards to its object, and an empty handle raises 91 as an
// unset object variable does.
#include <sys/stat.h>

#include <new>
#include <optional>

#include "dao/dao_impl.h"
#include "kelvor/workgroup.h"
#include "pg/compact.h"
#include "pg/connection.h"
#include "pg/path.h"
#include "sqlite/collation.h"
#include "sqlite/compact.h"
#include "sqlite/dialect.h"
#include "sqlite/restore.h"
#include "sqlite/statement.h"

namespace kelvor {

using namespace detail;

namespace {

[[noreturn]] void notSet() {
    throw JetError::make(err::kObjectNotSet);
}

// No exception but JetError leaves the layer.
template <typename F>
auto trapped(F f) -> decltype(f()) {
    try {
        return f();
    } catch (const JetError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw JetError::make(err::kOutOfMemory);
    } catch (const std::exception& e) {
        throw JetError(err::kSyntaxError, std::string("Database engine error: ") + e.what());
    }
}

class EngineState {
  public:
    std::string systemDB;
    std::shared_ptr<WorkspaceImpl> defaultWorkspace;
    std::shared_ptr<WorkspaceImpl> workspace0() {
        if (!defaultWorkspace)
            defaultWorkspace = std::make_shared<WorkspaceImpl>("#Default Workspace#", "Admin");
        return defaultWorkspace;
    }
};

EngineState& state() {
    static EngineState s;
    return s;
}

}  // namespace

namespace detail {
void WorkspaceImpl::checkOpen() const {
    if (closed_) throw JetError::make(err::kObjectInvalid);
}

std::shared_ptr<engine::Connection> WorkspaceImpl::connectionFor(const std::string& path) {
    checkOpen();
    const bool server = pg::NamesServer(path);
    const std::string key = server ? "pg " + pg::ParseServerPath(path).serverKey : "files";
    for (auto& [k, c] : conns_)
        if (k == key) return c;
    std::shared_ptr<engine::Connection> c;
    if (server)
        c = std::make_shared<pg::Connection>(pg::ParseServerPath(path));
    else
        c = std::make_shared<sqlite::Connection>();
    // A connection made inside a transaction takes part in it from here on.
    for (int i = 0; i < depth_; ++i) c->begin();
    conns_.emplace_back(key, c);
    return c;
}

void WorkspaceImpl::begin() {
    checkOpen();
    if (depth_ >= 5) throw JetError::make(err::kTooManyTransactions);
    size_t done = 0;
    try {
        for (; done < conns_.size(); ++done) conns_[done].second->begin();
    } catch (...) {
        for (size_t i = 0; i < done; ++i) {
            try {
                conns_[i].second->rollback();
            } catch (const JetError&) {
                // the failure that stopped the begin is the one to report
            }
        }
        throw;
    }
    ++depth_;
}

// Each connection commits on its own: a workspace that holds files and a server's databases
// commits the files first, and a failure on the server then leaves the files committed.
void WorkspaceImpl::commit() {
    checkOpen();
    if (depth_ == 0) throw JetError::make(err::kCommitWithoutBegin);
    for (auto& [k, c] : conns_) c->commit();
    --depth_;
}

void WorkspaceImpl::rollback() {
    checkOpen();
    if (depth_ == 0) throw JetError::make(err::kCommitWithoutBegin);
    --depth_;
    std::optional<JetError> first;
    for (auto& [k, c] : conns_) {
        try {
            c->rollback();
        } catch (const JetError& e) {
            if (!first) first = e;
        }
    }
    if (first) throw *first;
}

void WorkspaceImpl::reloadAllCatalogs() {
    for (auto& [k, c] : conns_) c->reloadAllCatalogs();
}

std::vector<jetsql::ParamDecl> QueryDefImpl::parameters() {
    if (sql.empty()) return {};
    db->beginStatement();
    Prepared p = db->prepare(sql);
    if (p.ddl) return {};
    return p.entry->tr->params;
}

std::string QueryDefImpl::canonicalParam(std::string_view wanted) {
    for (const auto& d : parameters())
        if (sqlite::EqualNoCase(d.name, wanted)) return d.name;
    throw JetError::make(err::kItemNotFound);
}
}  // namespace detail

// ---- Field -------------------------------------------------------------------------------
Value Field::Value() const {
    return trapped([&] { return rs_->value(index_); });
}
Field& Field::operator=(const kelvor::Value& v) {
    trapped([&] { rs_->set(index_, v); });
    return *this;
}
std::string Field::Name() const {
    return rs_->column(index_).name;
}
DataType Field::Type() const {
    auto t = rs_->column(index_).type;
    return t == jetsql::JType::Null ? DataType::Variant : static_cast<DataType>(t);
}
int Field::Size() const {
    const auto& c = rs_->column(index_);
    return c.type == jetsql::JType::Text ? 255 : 0;
}

// ---- Recordset ---------------------------------------------------------------------------
RecordsetImpl& Recordset::impl() const {
    if (!p_) notSet();
    return *p_;
}
Field Recordset::Fields(std::string_view name) const {
    return trapped([&] { return Field(p_, impl().fieldIndex(name)); });
}
Field Recordset::Fields(int index) const {
    return trapped([&] {
        if (index < 0 || index >= impl().fieldCount()) throw JetError::make(err::kItemNotFound);
        return Field(p_, index);
    });
}
int Recordset::FieldCount() const {
    return impl().fieldCount();
}
bool Recordset::EOF_() const {
    return trapped([&] { return impl().eof(); });
}
void Recordset::MoveNext() {
    trapped([&] { impl().moveNext(); });
}
void Recordset::AddNew() {
    trapped([&] { impl().addNew(); });
}
void Recordset::Edit() {
    trapped([&] { impl().edit(); });
}
void Recordset::Update(int) {
    trapped([&] { impl().update(); });
}
void Recordset::CancelUpdate(int) {
    trapped([&] { impl().cancelUpdate(); });
}
void Recordset::Close() {
    trapped([&] { impl().close(); });
}
bool Recordset::IsClosed() const {
    return impl().closed();
}
int Recordset::Type() const {
    return impl().type();
}

// ---- QueryDef / Parameter ----------------------------------------------------------------
QueryDefImpl& QueryDef::impl() const {
    if (!p_) notSet();
    return *p_;
}
std::string QueryDef::Name() const {
    return impl().name;
}
std::string QueryDef::SQL() const {
    return impl().sql;
}
void QueryDef::SQL(const std::string& text) {
    trapped([&] {
        auto& q = impl();
        if (!q.name.empty()) q.db->saveQuery(q.name, text, true);
        q.sql = text;
        q.values.clear();
    });
}
Parameter QueryDef::Parameters(std::string_view name) const {
    return trapped([&] { return Parameter(p_, impl().canonicalParam(name)); });
}
std::vector<std::string> QueryDef::ParameterNames() const {
    return trapped([&] {
        std::vector<std::string> names;
        for (const auto& d : impl().parameters()) names.push_back(d.name);
        return names;
    });
}
void QueryDef::Execute(int) {
    trapped([&] {
        auto& q = impl();
        q.affected = q.db->execute(q.sql, &q.values);
    });
}
Recordset QueryDef::OpenRecordset(int type, int options) {
    return trapped([&] {
        auto& q = impl();
        return Recordset(q.db->open(q.sql, type, options, &q.values));
    });
}
long QueryDef::RecordsAffected() const {
    return trapped([&] { return impl().db->settled(impl().affected); });
}

Value Parameter::Value() const {
    auto it = q_->values.find(name_);
    return it == q_->values.end() ? kelvor::Value() : it->second;
}
Parameter& Parameter::operator=(const kelvor::Value& v) {
    q_->values[name_] = v;
    return *this;
}
std::string Parameter::Name() const {
    return name_;
}

// ---- Database ----------------------------------------------------------------------------
DatabaseImpl& Database::impl() const {
    if (!p_) notSet();
    return *p_;
}
std::string Database::Name() const {
    return impl().path();
}
Recordset Database::OpenRecordset(std::string_view source, int type, int options) {
    return trapped([&] { return Recordset(impl().open(source, type, options, nullptr)); });
}
QueryDef Database::CreateQueryDef(const std::string& name, const std::string& sql) {
    return trapped([&] {
        auto& db = impl();
        db.beginStatement();
        if (!name.empty()) db.saveQuery(name, sql, false);
        return QueryDef(std::make_shared<QueryDefImpl>(p_, name, sql));
    });
}
QueryDef Database::QueryDefs(std::string_view name) {
    return trapped([&] {
        auto& db = impl();
        db.beginStatement();
        const sqlite::QueryInfo* q = db.attachment().catalog.query(name);
        if (!q) {
            db.conn().reloadCatalog(db.attachment());
            q = db.attachment().catalog.query(name);
        }
        if (!q) throw JetError::make(err::kItemNotFound);
        return QueryDef(std::make_shared<QueryDefImpl>(p_, q->name, q->sql));
    });
}
TableDef Database::TableDefs(std::string_view name) {
    return trapped([&] {
        auto& db = impl();
        db.beginStatement();
        const auto& cat = db.attachment().catalog;
        TableDef td;
        if (const auto* t = cat.table(name)) {
            td.name_ = t->name;
        } else if (const auto* l = cat.link(name)) {
            td.name_ = l->name;
            td.connect_ = ";DATABASE=" + l->sourcePath;
            td.source_ = l->sourceTable;
        } else {
            throw JetError::make(err::kItemNotFound);
        }
        return td;
    });
}
std::vector<std::string> Database::TableNames() {
    return trapped([&] {
        auto& db = impl();
        db.beginStatement();
        std::vector<std::string> names;
        for (const auto& [n, t] : db.attachment().catalog.tables()) names.push_back(t.name);
        for (const auto& [n, l] : db.attachment().catalog.links()) names.push_back(l.name);
        return names;
    });
}
std::vector<std::string> Database::QueryNames() {
    return trapped([&] {
        auto& db = impl();
        db.beginStatement();
        std::vector<std::string> names;
        for (const auto& [n, q] : db.attachment().catalog.queries()) names.push_back(q.name);
        return names;
    });
}
void Database::Execute(std::string_view sql, int) {
    trapped([&] { impl().execute(sql, nullptr); });
}
long Database::RecordsAffected() const {
    return trapped([&] { return impl().settled(impl().recordsAffected); });
}
void Database::LinkTable(const std::string& name, const std::string& sourcePath,
                         const std::string& sourceTable) {
    trapped([&] { impl().linkTable(name, sourcePath, sourceTable); });
}
void Database::GuardTable(const std::string& table, const std::string& guard) {
    trapped([&] { impl().guardTable(table, guard); });
}
void Database::Close() {
    trapped([&] { impl().close(); });
}

// ---- Workspace ---------------------------------------------------------------------------
WorkspaceImpl& Workspace::impl() const {
    if (!p_) notSet();
    return *p_;
}
std::string Workspace::Name() const {
    return impl().name();
}
std::string Workspace::UserName() const {
    return impl().user();
}
Database Workspace::OpenDatabase(const std::string& path) {
    return trapped([&] { return Database(std::make_shared<DatabaseImpl>(p_, path)); });
}
void Workspace::BeginTrans() {
    trapped([&] { impl().begin(); });
}
void Workspace::CommitTrans(int) {
    trapped([&] { impl().commit(); });
}
void Workspace::Rollback() {
    trapped([&] { impl().rollback(); });
}
void Workspace::Close() {
    impl().close();
}

// ---- DBEngine ----------------------------------------------------------------------------
DBEngineClass& DBEngine() {
    static DBEngineClass engine;
    return engine;
}
std::string DBEngineClass::SystemDB() const {
    return state().systemDB;
}
void DBEngineClass::SystemDB(const std::string& path) {
    state().systemDB = path;
}
Workspace DBEngineClass::Workspaces(int index) {
    if (index != 0) throw JetError::make(err::kItemNotFound);
    return Workspace(state().workspace0());
}
Workspace DBEngineClass::CreateWorkspace(const std::string& name, const std::string& user,
                                         const std::string& password) {
    return trapped([&] {
        std::string account;
        if (state().systemDB.empty()) {
            // Without a workgroup file the only account is the default one.
            if (user != "Admin" || !password.empty()) throw JetError::make(err::kNotAValidAccount);
            account = user;
        } else {
            account = workgroup::Authenticate(state().systemDB, user, password);
        }
        return Workspace(std::make_shared<WorkspaceImpl>(name, account));
    });
}
void DBEngineClass::BeginTrans() {
    Workspaces(0).BeginTrans();
}
void DBEngineClass::CommitTrans(int options) {
    Workspaces(0).CommitTrans(options);
}
void DBEngineClass::Rollback() {
    Workspaces(0).Rollback();
}
void DBEngineClass::Idle(int options) {
    trapped([&] {
        if ((options & dbRefreshCache) && state().defaultWorkspace)
            state().defaultWorkspace->reloadAllCatalogs();
    });
}
void DBEngineClass::TEST_NewDefaultWorkspace() {
    state().defaultWorkspace.reset();
}
void DBEngineClass::CompactDatabase(const std::string& source, const std::string& destination,
                                    const CompactOptions& options) {
    trapped([&] {
        if (pg::NamesServer(source)) return pg::Compact(source, destination, options);
        if (pg::NamesServer(destination))
            throw JetError::make(err::kNotImplemented,
                                 "a database file is compacted into a file, not onto a server.");
        sqlite::Compact(source, destination, options);
    });
}
std::vector<std::string> DBEngineClass::RestoreDatabase(const std::string& backup,
                                                        const std::string& database) {
    return trapped([&] {
        // The server keeps no backups of ours: its own tools (pg_dump, base backups) restore.
        if (pg::NamesServer(database) || pg::NamesServer(backup))
            throw JetError::make(err::kNotImplemented,
                                 "a database on a server has no backup of ours to restore; "
                                 "restore it with the server's own tools.");
        return sqlite::Restore(backup, database);
    });
}
void DBEngineClass::CreateDatabase(const std::string& path) {
    trapped([&] {
        if (pg::NamesServer(path)) return pg::CreateDatabase(path);
        struct stat sb;
        if (::stat(path.c_str(), &sb) == 0) throw JetError::make(err::kDatabaseExists);
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_close(db);
            throw JetError::make(err::kInvalidPath, path);
        }
        try {
            sqlite::Exec(db, sqlite::dialect::SchemaPragmas("main"), path);
            sqlite::Exec(db, sqlite::dialect::CreateObjectsTableSql("main"), path);
            sqlite::Exec(db, "PRAGMA main.application_id=" + std::to_string(sqlite::kTextOrderMark),
                         path);
        } catch (...) {
            sqlite3_close(db);
            ::unlink(path.c_str());
            throw;
        }
        sqlite3_close(db);
    });
}

}  // namespace kelvor
