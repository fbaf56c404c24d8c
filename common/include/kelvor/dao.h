// The database engine's object model, under the names the programs use for it:
//
//   Database db = DBEngine().Workspaces(0).OpenDatabase(path);
//   Recordset rs = db.OpenRecordset("SELECT ... FROM tblDTQueue WHERE ...", dbOpenDynaset);
//   while (!rs.EOF_()) { auto id = rs.Fields("CustID").Value(); ...; rs.MoveNext(); }
//   rs.Edit(); rs.Fields("Remark") = "..."; rs.Update();
//
// Objects are handles with shared ownership: copying a handle adds a reference, and releasing
// the last reference to a recordset or database closes it (`rs = Recordset()` empties one).
// A recordset keeps its database open while it lives. Using an empty handle raises 91.
//
// Statements are Jet SQL; the layer translates them for its storage engine (SQLite: one file
// per database). Every failure throws kelvor::JetError with the engine's number and text.
// Not thread-safe: each workspace belongs to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelvor/jet_error.h"
#include "kelvor/value.h"

namespace kelvor {

// Recordset types
inline constexpr int dbOpenTable = 1;
inline constexpr int dbOpenDynaset = 2;
inline constexpr int dbOpenSnapshot = 4;
inline constexpr int dbOpenForwardOnly = 8;
// Recordset and Execute options
inline constexpr int dbDenyWrite = 1;
inline constexpr int dbAppendOnly = 8;
inline constexpr int dbFailOnError = 128;
inline constexpr int dbForwardOnly = 256;
// Idle, Update
inline constexpr int dbRefreshCache = 8;
inline constexpr int dbUpdateRegular = 1;

// Field types (DAO's numbering).
enum class DataType : int {
    Variant = 0,
    Boolean = 1,
    Byte = 2,
    Integer = 3,
    Long = 4,
    Currency = 5,
    Single = 6,
    Double = 7,
    Date = 8,
    Text = 10,
    Memo = 12,
};

namespace detail {
class EngineImpl;
class WorkspaceImpl;
class DatabaseImpl;
class RecordsetImpl;
class QueryDefImpl;
}  // namespace detail

class Recordset;

// One field of a recordset's current record. Reading gives its value; assigning sets it for
// the next Update (after AddNew or Edit).
class Field {
  public:
    kelvor::Value Value() const;
    Field& operator=(const kelvor::Value& v);
    std::string Name() const;
    DataType Type() const;
    int Size() const;  // Text: the most characters it holds

  private:
    friend class Recordset;
    Field(std::shared_ptr<detail::RecordsetImpl> rs, int index)
        : rs_(std::move(rs)), index_(index) {}
    std::shared_ptr<detail::RecordsetImpl> rs_;
    int index_;
};

class Recordset {
  public:
    Recordset() = default;
    bool isNothing() const { return !p_; }

    Field Fields(std::string_view name) const;  // 3265 when there is no such field
    Field Fields(int index) const;
    int FieldCount() const;

    // EOF: after the last record (or none). Named with a trailing underscore because the C
    // library defines EOF as a macro.
    bool EOF_() const;
    void MoveNext();
    void AddNew();
    void Edit();
    void Update(int type = dbUpdateRegular);
    void CancelUpdate(int type = dbUpdateRegular);
    void Close();  // later use of the object raises 3420; the handle stays set
    bool IsClosed() const;
    int Type() const;

  private:
    friend class Database;
    friend class QueryDef;
    friend class Field;
    explicit Recordset(std::shared_ptr<detail::RecordsetImpl> p) : p_(std::move(p)) {}
    detail::RecordsetImpl& impl() const;
    std::shared_ptr<detail::RecordsetImpl> p_;
};

class Parameter {
  public:
    kelvor::Value Value() const;
    Parameter& operator=(const kelvor::Value& v);
    std::string Name() const;

  private:
    friend class QueryDef;
    Parameter(std::shared_ptr<detail::QueryDefImpl> q, std::string name)
        : q_(std::move(q)), name_(std::move(name)) {}
    std::shared_ptr<detail::QueryDefImpl> q_;
    std::string name_;
};

class QueryDef {
  public:
    QueryDef() = default;
    bool isNothing() const { return !p_; }

    std::string Name() const;
    std::string SQL() const;
    void SQL(const std::string& text);  // a saved query's new text is saved at once
    // The query's parameters: those declared with PARAMETERS and names the query uses that
    // are no field of its tables. 3265 for any other name.
    Parameter Parameters(std::string_view name) const;
    std::vector<std::string> ParameterNames() const;
    void Execute(int options = 0);  // 3065 for a SELECT
    Recordset OpenRecordset(int type = dbOpenDynaset, int options = 0);
    long RecordsAffected() const;

  private:
    friend class Database;
    friend class Parameter;
    explicit QueryDef(std::shared_ptr<detail::QueryDefImpl> p) : p_(std::move(p)) {}
    detail::QueryDefImpl& impl() const;
    std::shared_ptr<detail::QueryDefImpl> p_;
};

class TableDef {
  public:
    std::string Name() const { return name_; }
    // For a linked table ";DATABASE=" followed by the source database's path; else empty.
    std::string Connect() const { return connect_; }
    std::string SourceTableName() const { return source_; }

  private:
    friend class Database;
    std::string name_, connect_, source_;
};

class Database {
  public:
    Database() = default;
    bool isNothing() const { return !p_; }

    std::string Name() const;  // the path it was opened with
    // A table, link or saved query name, or a Jet SQL statement. Without a type: a dynaset.
    Recordset OpenRecordset(std::string_view source, int type = 0, int options = 0);
    // A temporary query with an empty name is never saved; a named one is saved at once.
    QueryDef CreateQueryDef(const std::string& name = "", const std::string& sql = "");
    QueryDef QueryDefs(std::string_view name);  // 3265 when there is no such saved query
    TableDef TableDefs(std::string_view name);  // 3265 when there is no such table or link
    std::vector<std::string> TableNames();
    std::vector<std::string> QueryNames();
    void Execute(std::string_view sql, int options = 0);
    long RecordsAffected() const;
    // Links a table of another database under `name` (the source table's name by default).
    void LinkTable(const std::string& name, const std::string& sourcePath,
                   const std::string& sourceTable = "");
    // Writes to `table` are refused with 3027 (like writes to `guard` itself) while another
    // connection holds a deny-write lock on `guard`. A lock on one table can so keep new
    // rows out of another that other users hold open all day.
    void GuardTable(const std::string& table, const std::string& guard);
    void Close();

  private:
    friend class Workspace;
    explicit Database(std::shared_ptr<detail::DatabaseImpl> p) : p_(std::move(p)) {}
    detail::DatabaseImpl& impl() const;
    std::shared_ptr<detail::DatabaseImpl> p_;
};

class Workspace {
  public:
    Workspace() = default;
    bool isNothing() const { return !p_; }

    std::string Name() const;
    std::string UserName() const;
    Database OpenDatabase(const std::string& path);
    void BeginTrans();
    void CommitTrans(int options = 0);
    void Rollback();
    void Close();

    // For the layer's own modules: a handle on a workspace they made.
    static Workspace FromImpl(std::shared_ptr<detail::WorkspaceImpl> p) {
        return Workspace(std::move(p));
    }

  private:
    friend class DBEngineClass;
    explicit Workspace(std::shared_ptr<detail::WorkspaceImpl> p) : p_(std::move(p)) {}
    detail::WorkspaceImpl& impl() const;
    std::shared_ptr<detail::WorkspaceImpl> p_;
};

// What a caller of CompactDatabase may ask beyond the copy itself.
struct CompactOptions {
    // Work done of work to do, in pages: each page the copy needs counts once as it is written
    // and once as the check of the copy reads it, so `total` is twice the source's pages in use
    // (its page count less its free pages). Called first with done 0, before anything is
    // copied, and last with done == total, once the copy has the destination's name and while
    // the source is still locked; one call at a time, from the compacting thread or a thread
    // of the check. What it throws stops the compaction (nothing is left under the
    // destination's name) and is thrown on.
    std::function<void(uint64_t done, uint64_t total)> progress;
    // Runs after that last report, the source still locked exclusively: nobody can open the
    // source, nor a file given its name meanwhile, until it returns. What it throws is thrown
    // on; the copy stays under the destination's name.
    std::function<void()> whileLocked;
};

class DBEngineClass {
  public:
    std::string SystemDB() const;
    void SystemDB(const std::string& path);
    Workspace Workspaces(int index);
    Workspace CreateWorkspace(const std::string& name, const std::string& user,
                              const std::string& password);
    // Transactions of the default workspace, Workspaces(0).
    void BeginTrans();
    void CommitTrans(int options = 0);
    void Rollback();
    void Idle(int options = 0);
    // Uses no workspace, so it may run on any thread (the wizard runs it off its window's).
    // A file is compacted into a new file `destination` (see sqlite/compact.h). A schema on a
    // PostgreSQL server (pg/path.h) is compacted in place, table by table, with no copy and no
    // backup: `destination` is then empty or the source itself (the same server, database and
    // schema however spelt); anything else is refused with 3032, as is a file compacted onto a
    // server. Progress then counts the schema's pages table by table (see pg/compact.h).
    void CompactDatabase(const std::string& source, const std::string& destination,
                         const CompactOptions& options = {});
    // Puts a checked copy of `backup` in place of `database` (which nobody may have open) and
    // returns the paths its old file and journal were moved to (see sqlite/restore.h). Files
    // only: a server path, either of them, is refused with 3032 (the server's own tools
    // restore a schema).
    std::vector<std::string> RestoreDatabase(const std::string& backup,
                                             const std::string& database);
    // A new, empty database file; 3204 when the file exists.
    void CreateDatabase(const std::string& path);

    // For tests: the next Workspaces(0) is a new workspace with a new connection, made with the
    // storage layer as it is then (a test that swaps SQLite's file layer needs that). Databases
    // still open keep the old one.
    void TEST_NewDefaultWorkspace();

  private:
    friend DBEngineClass& DBEngine();
    DBEngineClass() = default;
};

// The process's one engine object, created on first use.
DBEngineClass& DBEngine();

}  // namespace kelvor
