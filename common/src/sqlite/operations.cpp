// What the object model asks of its storage, in the object model's terms: run a translated
// statement, read and write one record, keep the layer's own objects (saved queries, links,
// guards), change a database's design. All SQL text the object model needs is written here, so
// that the object model itself names no engine.
#include "kelvor/jet_error.h"
#include "sqlite/connection.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

// ---- a prepared statement ------------------------------------------------------------------

Cursor::~Cursor() {
    sqlite3_finalize(st_);
}

void Cursor::bindSlots(const Translation& tr, const std::vector<jetsql::Literal>& lits,
                       const ParamValues* params) {
    BindSlots(st_, tr, lits, params);
}

void Cursor::bindKey(int index, int64_t key) {
    sqlite3_bind_int64(st_, index, key);
}

void Cursor::bindValue(int index, const Value& v, const ColumnInfo& col) {
    BindValue(st_, index, v, col);
}

bool Cursor::step(std::string_view path) {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    ThrowSqlite(sqlite3_db_handle(st_), rc, path);
}

int64_t Cursor::key(int col) const {
    return sqlite3_column_int64(st_, col);
}

Value Cursor::value(int col, jetsql::JType type) const {
    return ReadColumn(st_, col, type);
}

void Cursor::reset() {
    sqlite3_reset(st_);
}

// ---- statements and records -----------------------------------------------------------------

engine::Count Connection::run(const std::shared_ptr<CacheEntry>& e,
                              const std::vector<jetsql::Literal>& lits, const ParamValues* params,
                              std::string_view path) {
    StmtLease st = lease(e);
    st->bindSlots(*e->tr, lits, params);
    st->step(path);
    return std::make_shared<long>(static_cast<long>(sqlite3_changes(db_)));
}

std::shared_ptr<CacheEntry> Connection::rowWrite(const std::string& schema, const TableInfo& table,
                                                 const std::vector<int>& columns, bool adding) {
    std::string key(adding ? "\x03ins " : "\x03upd ");
    key += schema + "." + table.name;
    for (int c : columns) key += "," + std::to_string(c);
    return entry(key, [&] {
        std::vector<std::string> names;
        for (int c : columns) names.push_back(table.columns[static_cast<size_t>(c)].name);
        auto w = std::make_shared<Translation>();
        w->kind = adding ? jetsql::Statement::Kind::Insert : jetsql::Statement::Kind::Update;
        w->sql = adding ? dialect::InsertRowSql(schema, table.name, names)
                        : dialect::UpdateRowSql(schema, table, names);
        return w;
    });
}

int64_t Connection::insertRow(const std::string& schema, const TableInfo& table,
                              const std::vector<int>& columns,
                              const std::vector<const Value*>& values, bool,
                              std::string_view path) {
    StmtLease st = lease(rowWrite(schema, table, columns, true));
    for (size_t k = 0; k < values.size(); ++k)
        st->bindValue(static_cast<int>(k + 1), *values[k],
                      table.columns[static_cast<size_t>(columns[k])]);
    st->step(path);
    return sqlite3_last_insert_rowid(db_);
}

std::vector<Value> Connection::updateRow(const std::string& schema, const TableInfo& table,
                                         const std::vector<int>& columns,
                                         const std::vector<const Value*>& values, int64_t key,
                                         std::string_view path) {
    StmtLease st = lease(rowWrite(schema, table, columns, false));
    for (size_t k = 0; k < values.size(); ++k)
        st->bindValue(static_cast<int>(k + 1), *values[k],
                      table.columns[static_cast<size_t>(columns[k])]);
    st->bindKey(static_cast<int>(values.size() + 1), key);
    st->step(path);
    return {};  // a read here costs no wait, and sees what column affinity made of them
}

// ---- the layer's own objects and design changes ---------------------------------------------

void Connection::putObject(const Attachment& a, const std::string& name, int type,
                           const std::string* database, const std::string* foreign,
                           const std::string* sql) {
    Exec(db_, dialect::CreateObjectsTableSql(a.schema));
    Stmt ins(db_, dialect::InsertObjectSql(a.schema));
    auto text = [&](int i, const std::string* s) {
        if (s)
            sqlite3_bind_text(ins.get(), i, s->c_str(), static_cast<int>(s->size()),
                              SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(ins.get(), i);
    };
    text(1, &name);
    sqlite3_bind_int(ins.get(), 2, type);
    text(3, database);
    text(4, foreign);
    text(5, sql);
    ins.step();
}

void Connection::deleteObject(const Attachment& a, const std::string& name) {
    Stmt del(db_, dialect::DeleteObjectSql(a.schema));
    sqlite3_bind_text(del.get(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    del.step();
}

// Other connections see the change by the user version, which every statement compares.
void Connection::designChanged(Attachment& a) {
    Stmt v(db_, dialect::UserVersionSql(a.schema));
    long version = v.step() ? static_cast<long>(v.integer(0)) : 0;
    v = Stmt();
    Exec(db_, dialect::BumpUserVersionSql(a.schema, version + 1));
    reloadCatalog(a);
}

void Connection::runDdl(Attachment& a, const jetsql::Statement& st, std::string_view path) {
    std::string sql = TranslateDdl(st, a.schema, a.catalog);
    invalidate();  // no cached statement may hold the table while it changes
    Exec(db_, sql, path);
    designChanged(a);
}

long Connection::selectInto(Attachment& a, const Translation& tr,
                            const std::vector<jetsql::Literal>& lits, const ParamValues* params,
                            std::string_view path) {
    const std::string& name = tr.writeTable;
    std::string create =
        "CREATE TABLE " + dialect::QuoteIdent(a.schema) + "." + dialect::QuoteIdent(name) + " (";
    std::string columns;
    bool first = true;
    for (const ColumnInfo& c : SelectIntoColumns(tr)) {
        create += (first ? "" : ", ") + dialect::ColumnDeclaration(c);
        columns += (first ? "" : ", ") + dialect::QuoteIdent(c.name);
        first = false;
    }
    invalidate();
    Exec(db_, create + ")", path);
    designChanged(a);
    Stmt insert(db_,
                "INSERT INTO " + dialect::QuoteIdent(a.schema) + "." + dialect::QuoteIdent(name) +
                    " (" + columns + ") " + tr.sql,
                path);
    BindSlots(insert.get(), tr, lits, params);
    insert.step();
    return static_cast<long>(sqlite3_changes(db_));
}

}  // namespace kelvor::sqlite
