// Recordsets. A forward-only recordset streams rows from its statement and keeps only the
// current one. A snapshot reads every row at open. A dynaset over one table keeps the keys of
// its records (read on first use, so a dynaset opened only to add rows reads nothing) and
// fetches the current record by key, so changes made through it are seen.
#include <algorithm>

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
        stmt_->bindSlots(tr(), literals_, params_ ? &*params_ : nullptr);
        moveNext();
        return;
    }
    // A dynaset's query goes ahead only where it picks rows by a condition: one over whole
    // tables is most often opened to add records, and reads nothing then.
    if (type_ == dbOpenSnapshot)
        load();
    else if (tr().filtered)
        prefetch_ = db_->conn().announce(entry_, literals_, params_ ? &*params_ : nullptr);
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

std::vector<Value> RecordsetImpl::readRow(const engine::Lease& st, int offset) const {
    std::vector<Value> row;
    row.reserve(tr().columns.size());
    for (size_t i = 0; i < tr().columns.size(); ++i)
        row.push_back(st->value(static_cast<int>(i) + offset, tr().columns[i].type));
    return row;
}

void RecordsetImpl::load() {
    if (loaded_) return;
    engine::Lease lease;
    if (prefetch_) {
        lease = prefetch_->take();
        prefetch_.reset();
    } else {
        lease = db_->conn().lease(entry_);
        lease->bindSlots(tr(), literals_, params_ ? &*params_ : nullptr);
    }
    bool keyed = type_ == dbOpenDynaset && tr().updatable;
    while (lease->step(db_->path())) {
        if (keyed) {
            keys_.push_back(lease->key(0));
            if (keys_.size() == 1) {
                current_ = readRow(lease, 1);
                currentValid_ = true;
            }
        } else {
            rows_.push_back(readRow(lease, offset_));
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
    engine::Lease lease = db_->conn().lease(entry_, true);
    lease->bindSlots(tr(), literals_, params_ ? &*params_ : nullptr);
    lease->bindKey(static_cast<int>(tr().slots.size() + 1), keys_[pos_]);
    if (!lease->step(db_->path())) throw JetError::make(err::kRecordDeleted);
    current_ = readRow(lease, 0);
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
        return stmt_->value(i + offset_, tr().columns[k].type);
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
        bool row;
        try {
            row = stmt_->step(db_->path());
        } catch (...) {
            eof_ = true;
            stmt_.release();
            throw;
        }
        eof_ = !row;
        if (eof_) stmt_.release();  // back to the cache as soon as it is read through
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
    std::vector<int> columns;
    std::vector<const Value*> values;
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (!pending_[i]) continue;
        columns.push_back(t.columns[i].baseColumn);
        values.push_back(&*pending_[i]);
    }
    db_->checkWritable(t.schema, t.table.name);
    auto& conn = db_->conn();
    if (mode_ == Mode::Adding) {
        const bool wantKey = loaded_ && !appendOnly_;
        int64_t key = conn.insertRow(t.schema, t.table, columns, values, wantKey, db_->path());
        if (wantKey) keys_.push_back(key);
    } else if (!columns.empty()) {
        std::vector<Value> stored =
            conn.updateRow(t.schema, t.table, columns, values, keys_[pos_], db_->path());
        currentValid_ = currentValid_ && takeStored(columns, stored);
    }
    mode_ = Mode::None;
    pending_.clear();
}

bool RecordsetImpl::takeStored(const std::vector<int>& columns, const std::vector<Value>& stored) {
    if (stored.size() != columns.size()) return false;
    std::vector<Value> row = current_;
    for (size_t i = 0; i < tr().columns.size(); ++i) {
        const sqlite::OutputColumn& c = tr().columns[i];
        // A computed column may depend on what changed.
        if (c.baseColumn < 0) return false;
        auto at = std::find(columns.rbegin(), columns.rend(), c.baseColumn);
        if (at == columns.rend()) continue;
        if (c.type != tr().table.columns[static_cast<size_t>(c.baseColumn)].type) return false;
        row[i] = stored[static_cast<size_t>(columns.rend() - at - 1)];
    }
    current_ = std::move(row);
    return true;
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
    prefetch_.reset();
    stmt_.release();
    rows_.clear();
    keys_.clear();
    current_.clear();
}

}  // namespace kelvor::detail
