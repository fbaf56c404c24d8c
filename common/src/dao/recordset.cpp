// Recordsets. A forward-only recordset streams rows from its statement and keeps only the
// current one. A snapshot reads every row at open. A dynaset over one table keeps the keys of
// its records (read on first use, so a dynaset opened only to add rows reads nothing) and
// fetches the current record by key, so changes made through it are seen.
#include "dao/dao_impl.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::detail {

using sqlite::Slot;

RecordsetImpl::RecordsetImpl(std::shared_ptr<DatabaseImpl> db, Prepared p, int type, int options,
                             const sqlite::ParamValues* params)
    : db_(std::move(db)), entry_(std::move(p.entry)), literals_(std::move(p.literals)) {
    if (params) params_ = *params;
    if (type == 0 || type == dbOpenTable) type = dbOpenDynaset;
    if (options & dbForwardOnly) type = dbOpenForwardOnly;
    if (type != dbOpenDynaset && type != dbOpenSnapshot && type != dbOpenForwardOnly)
        throw JetError::make(err::kInvalidArgument);
    type_ = type;
    appendOnly_ = (options & dbAppendOnly) != 0;
    offset_ = tr().updatable ? 1 : 0;

    // Missing parameters are reported at open, as the engine does, even where rows are read
    // later.
    int missing = 0;
    for (const Slot& s : tr().slots)
        if (s.kind == Slot::Kind::Param && (!params_ || !params_->count(s.param))) ++missing;
    if (missing) throw JetError::make(err::kTooFewParameters, std::to_string(missing));

    if (options & dbDenyWrite) {
        if (!tr().updatable) throw JetError::make(err::kInvalidOperation);
        db_->lockTable(tr().schema, tr().table.name);
        denyWrite_ = true;
    }
    if (appendOnly_) {
        if (type_ != dbOpenDynaset || !tr().updatable) throw JetError::make(err::kReadOnly);
        loaded_ = true;
        return;
    }
    if (type_ == dbOpenForwardOnly) {
        stmt_ = db_->conn().lease(entry_);
        sqlite::BindSlots(stmt_.get(), tr(), literals_, params_ ? &*params_ : nullptr);
        moveNext();
        return;
    }
    if (type_ == dbOpenSnapshot) load();
}

RecordsetImpl::~RecordsetImpl() {
    releaseTableLock();
}

void RecordsetImpl::releaseTableLock() {
    if (!denyWrite_) return;
    denyWrite_ = false;
    db_->unlockTable(tr().schema, tr().table.name);
}

void RecordsetImpl::checkOpen() const {
    if (closed_) throw JetError::make(err::kObjectInvalid);
    db_->checkOpen();
}

int RecordsetImpl::fieldIndex(std::string_view name) const {
    checkOpen();
    // A loop over rows asks for the same few names as written in the caller's code: those are
    // matched exactly first, the case-blind search runs once per spelling.
    for (const auto& [spelled, index] : spellings_)
        if (spelled == name) return index;
    const auto& cols = tr().columns;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (sqlite::EqualNoCase(cols[i].name, name)) {
            if (spellings_.size() < 16)
                spellings_.emplace_back(std::string(name), static_cast<int>(i));
            return static_cast<int>(i);
        }
    }
    throw JetError::make(err::kItemNotFound);
}

std::vector<Value> RecordsetImpl::readRow(sqlite3_stmt* st, int offset) const {
    std::vector<Value> row;
    row.reserve(tr().columns.size());
    for (size_t i = 0; i < tr().columns.size(); ++i)
        row.push_back(sqlite::ReadColumn(st, static_cast<int>(i) + offset, tr().columns[i].type));
    return row;
}

void RecordsetImpl::load() {
    if (loaded_) return;
    sqlite::StmtLease lease = db_->conn().lease(entry_);
    sqlite::BindSlots(lease.get(), tr(), literals_, params_ ? &*params_ : nullptr);
    bool keyed = type_ == dbOpenDynaset && tr().updatable;
    for (;;) {
        int rc = sqlite3_step(lease.get());
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) sqlite::ThrowSqlite(db_->conn().handle(), rc, db_->path());
        if (keyed) {
            keys_.push_back(sqlite3_column_int64(lease.get(), 0));
            if (keys_.size() == 1) {
                current_ = readRow(lease.get(), 1);
                currentValid_ = true;
            }
        } else {
            rows_.push_back(readRow(lease.get(), offset_));
        }
    }
    loaded_ = true;
    pos_ = 0;
}

bool RecordsetImpl::eof() {
    checkOpen();
    if (type_ == dbOpenForwardOnly) return eof_;
    load();
    return pos_ >= (type_ == dbOpenDynaset && tr().updatable ? keys_.size() : rows_.size());
}

void RecordsetImpl::requireCurrent() {
    if (eof()) throw JetError::make(err::kNoCurrentRecord);
}

void RecordsetImpl::fetchCurrent() {
    if (currentValid_) return;
    sqlite::StmtLease lease = db_->conn().lease(entry_, true);
    sqlite::BindSlots(lease.get(), tr(), literals_, params_ ? &*params_ : nullptr);
    sqlite3_bind_int64(lease.get(), static_cast<int>(tr().slots.size() + 1), keys_[pos_]);
    int rc = sqlite3_step(lease.get());
    if (rc == SQLITE_DONE) throw JetError::make(err::kRecordDeleted);
    if (rc != SQLITE_ROW) sqlite::ThrowSqlite(db_->conn().handle(), rc, db_->path());
    current_ = readRow(lease.get(), 0);
    currentValid_ = true;
}

Value RecordsetImpl::value(int i) {
    checkOpen();
    size_t k = static_cast<size_t>(i);
    if (mode_ != Mode::None) {
        if (pending_[k]) return *pending_[k];
        if (mode_ == Mode::Adding) return Value();
    }
    if (type_ == dbOpenForwardOnly) {
        if (eof_) throw JetError::make(err::kNoCurrentRecord);
        return sqlite::ReadColumn(stmt_.get(), i + offset_, tr().columns[k].type);
    }
    requireCurrent();
    if (type_ == dbOpenDynaset && tr().updatable) {
        fetchCurrent();
        return current_[k];
    }
    return rows_[pos_][k];
}

void RecordsetImpl::moveNext() {
    checkOpen();
    mode_ = Mode::None;
    if (type_ == dbOpenForwardOnly) {
        if (!stmt_) throw JetError::make(err::kNoCurrentRecord);
        int rc = sqlite3_step(stmt_.get());
        if (rc == SQLITE_ROW) {
            eof_ = false;
            return;
        }
        eof_ = true;
        stmt_.release();  // the statement goes back to the cache as soon as it is read through
        if (rc != SQLITE_DONE) sqlite::ThrowSqlite(db_->conn().handle(), rc, db_->path());
        return;
    }
    requireCurrent();
    ++pos_;
    currentValid_ = false;
}

void RecordsetImpl::requireUpdatable() const {
    if (type_ != dbOpenDynaset || !tr().updatable) throw JetError::make(err::kReadOnly);
}

void RecordsetImpl::addNew() {
    checkOpen();
    requireUpdatable();
    db_->checkWritable(tr().schema, tr().table.name);
    mode_ = Mode::Adding;
    pending_.assign(tr().columns.size(), std::nullopt);
}

void RecordsetImpl::edit() {
    checkOpen();
    requireUpdatable();
    db_->checkWritable(tr().schema, tr().table.name);
    requireCurrent();
    fetchCurrent();
    mode_ = Mode::Editing;
    pending_.assign(tr().columns.size(), std::nullopt);
}

void RecordsetImpl::set(int i, const Value& v) {
    checkOpen();
    if (mode_ == Mode::None) throw JetError::make(err::kUpdateWithoutAddNew);
    const sqlite::OutputColumn& c = tr().columns[static_cast<size_t>(i)];
    if (c.baseColumn < 0 || tr().table.columns[static_cast<size_t>(c.baseColumn)].counter)
        throw JetError::make(err::kFieldNotUpdatable);
    pending_[static_cast<size_t>(i)] = v;
}

void RecordsetImpl::update() {
    checkOpen();
    if (mode_ == Mode::None) throw JetError::make(err::kUpdateWithoutAddNew);
    const sqlite::Translation& t = tr();
    std::vector<std::string> names;
    std::vector<const sqlite::ColumnInfo*> infos;
    std::vector<const Value*> values;
    std::string key(mode_ == Mode::Adding ? "\x03ins " : "\x03upd ");
    key += t.schema + "." + t.table.name;
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (!pending_[i]) continue;
        const sqlite::ColumnInfo& ci =
            t.table.columns[static_cast<size_t>(t.columns[i].baseColumn)];
        names.push_back(ci.name);
        infos.push_back(&ci);
        values.push_back(&*pending_[i]);
        key += "," + std::to_string(t.columns[i].baseColumn);
    }
    db_->checkWritable(t.schema, t.table.name);
    auto& conn = db_->conn();
    if (mode_ == Mode::Editing && names.empty()) {
        mode_ = Mode::None;
        return;
    }
    bool adding = mode_ == Mode::Adding;
    auto entry = conn.entry(key, [&] {
        auto w = std::make_shared<sqlite::Translation>();
        w->kind = adding ? jetsql::Statement::Kind::Insert : jetsql::Statement::Kind::Update;
        w->sql = adding ? sqlite::dialect::InsertRowSql(t.schema, t.table.name, names)
                        : sqlite::dialect::UpdateRowSql(t.schema, t.table, names);
        return w;
    });
    sqlite::StmtLease lease = conn.lease(entry);
    for (size_t k = 0; k < values.size(); ++k)
        sqlite::BindValue(lease.get(), static_cast<int>(k + 1), *values[k], *infos[k]);
    if (!adding) {
        sqlite3_bind_int64(lease.get(), static_cast<int>(values.size() + 1), keys_[pos_]);
    }
    int rc = sqlite3_step(lease.get());
    if (rc != SQLITE_DONE) sqlite::ThrowSqlite(conn.handle(), rc, db_->path());
    if (adding) {
        if (loaded_ && !appendOnly_) keys_.push_back(sqlite3_last_insert_rowid(conn.handle()));
    } else {
        currentValid_ = false;
    }
    mode_ = Mode::None;
    pending_.clear();
}

void RecordsetImpl::cancelUpdate() {
    if (closed_) throw JetError::make(err::kObjectInvalid);
    if (mode_ == Mode::None) throw JetError::make(err::kUpdateWithoutAddNew);
    mode_ = Mode::None;
    pending_.clear();
}

void RecordsetImpl::close() {
    // Closing works also after the transaction failed: that is how callers clean up.
    if (closed_) throw JetError::make(err::kObjectInvalid);
    closed_ = true;
    releaseTableLock();
    stmt_.release();
    rows_.clear();
    keys_.clear();
    current_.clear();
}

}  // namespace kelvor::detail
