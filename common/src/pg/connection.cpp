#include "pg/connection.h"

#include "kelvor/server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "jetsql/binder.h"
#include "jetsql/plan.h"
#include "pg/catalog.h"
#include "pg/dialect.h"
#include "pg/emit.h"
#include "pg/library.h"
#include "pg/locks.h"
#include "pg/roster.h"
#include "pg/values.h"

namespace kelvor::pg {

namespace {

// The channel on which a connection that changes a database's design tells the others: the
// payload is the schema. A notification arrives with the next result or is picked up before
// the next statement, so a catalog costs no round trip while nothing changes.
constexpr char kDesignChannel[] = "kelvor_design";

// Every parameter goes as text; each place casts it to the type it needs.
constexpr Oid kTextOid = 25;

std::vector<const char*> pointers(const std::vector<std::optional<std::string>>& texts) {
    std::vector<const char*> out;
    out.reserve(texts.size());
    for (const auto& t : texts) out.push_back(t ? t->c_str() : nullptr);
    return out;
}

// The program's time zone by name, so that Now() and Date() on the server give this
// workstation's local time as they do on files: TZ, else the zone /etc/localtime names.
std::string localZone() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/etc/localtime", buf, sizeof buf - 1);
    if (n > 0) {
        std::string link(buf, static_cast<size_t>(n));
        auto at = link.find("zoneinfo/");
        if (at != std::string::npos) return link.substr(at + 9);
    }
    std::ifstream in("/etc/timezone");
    std::string zone;
    std::getline(in, zone);
    return zone;
}

}  // namespace

// Why a connection failed, from libpq's message (connection failures carry no SQLSTATE).
JetError ConnectFailure(const std::string& message, const std::string& shown) {
    if (message.find("database \"") != std::string::npos &&
        message.find("does not exist") != std::string::npos)
        return JetError::make(err::kFileNotFound, shown);
    if (message.find("authentication failed") != std::string::npos ||
        (message.find("role \"") != std::string::npos &&
         message.find("does not exist") != std::string::npos) ||
        message.find("no password supplied") != std::string::npos)
        return JetError::make(err::kNotAValidAccount);
    return JetError::make(err::kDiskError);
}

namespace {

void quiet(void*, const char*) {}

}  // namespace

// ---- a prepared statement --------------------------------------------------------------------

Cursor::~Cursor() {
    if (queued_) c_.withdraw(this);
    if (streaming_) c_.streaming(this, false);  // the transaction's end closes the portal
    if (sql_.empty()) c_.forget(std::move(name_));
}

void Cursor::set(int index, std::optional<std::string> text) {
    if (index >= 1 && static_cast<size_t>(index) <= texts_.size())
        texts_[static_cast<size_t>(index - 1)] = std::move(text);
}

void Cursor::bindSlots(const sqlite::Translation& tr, const std::vector<jetsql::Literal>& lits,
                       const engine::ParamValues* params) {
    std::vector<std::optional<std::string>> texts = SlotTexts(tr, lits, params);
    for (size_t i = 0; i < texts.size(); ++i) set(static_cast<int>(i + 1), std::move(texts[i]));
}

// A ctid (block, item) travels as one number: the item numbers of a page fit in 16 bits.
void Cursor::bindKey(int index, int64_t key) {
    set(index, tid_ ? "(" + std::to_string(key >> 16) + "," + std::to_string(key & 0xffff) + ")"
                    : std::to_string(key));
}

void Cursor::bindValue(int index, const Value& v, const sqlite::ColumnInfo& col) {
    set(index, ColumnText(v, col));
}

// A recordset's query that may return many rows is read in batches through a portal, so that
// a loop over a million customers holds a thousand at a time: always at its first run, and
// after that whenever it has returned more than a batch. A query that keeps returning a few
// rows (a lookup run for every customer) runs as a prepared statement, which the server plans
// once. Portals live in transactions only; outside one, every query runs whole.
bool Cursor::step(std::string_view path) {
    // Sent ahead, or announced and sent now with the others announced: its answer is read, and
    // what was sent after it may go on running.
    if (row_ < 0 && !ready_ && queued_) c_.collect(this, path);
    if (row_ < 0 && ready_) {
        ready_ = false;
        row_ = 0;
    } else if (row_ < 0) {
        if (shape_ && c_.streamable() && (shape_->runs == 0 || shape_->big)) {
            own(c_.declare(portal(), text_, texts_, path));
            streaming_ = true;
            txn_ = c_.transaction();
            c_.streaming(this, true);
            more_ = PQntuples(res_.get()) == kBatchRows;
        } else {
            own(c_.runPrepared(name_, sql_, texts_, path));
            sql_.clear();
        }
        if (shape_) {
            ++shape_->runs;
            shape_->big = shape_->big || PQntuples(res_.get()) >= kBatchRows;
        }
        row_ = 0;
    } else {
        ++row_;
    }
    if (row_ < rowCount()) return true;
    if (tail_.get()) {
        own(std::move(tail_));
        tail_ = Result();
    } else if (streaming_ && more_) {
        own(c_.fetch(portal(), false, path));
        more_ = PQntuples(res_.get()) == kBatchRows;
    } else {
        return false;
    }
    row_ = 0;
    return row_ < rowCount();
}

void Cursor::drain() {
    if (more_ && txn_ == c_.transaction() && c_.streamable()) tail_ = c_.fetch(portal(), true, {});
    more_ = false;
    streaming_ = false;  // the transaction's end closes the portal
    c_.streaming(this, false);
}

void Cursor::closePortal() {
    if (!streaming_) return;
    if (txn_ == c_.transaction() && c_.streamable()) c_.close(portal());
    streaming_ = more_ = false;
    c_.streaming(this, false);
}

void Cursor::send(const engine::Count& affected) {
    c_.sendPrepared(name_, sql_, texts_, affected);
    sql_.clear();
}

void Cursor::sendAhead() {
    c_.sendPrepared(name_, sql_, texts_, nullptr, this);
    sql_.clear();
}

int64_t Cursor::key(int col) const {
    const char* t = PQgetvalue(result(), at(), col);
    const char* end = t + std::char_traits<char>::length(t);
    int64_t a = 0, b = 0;
    if (*t != '(') {
        std::from_chars(t, end, a);
        return a;
    }
    auto r = std::from_chars(t + 1, end, a);
    if (r.ptr < end) std::from_chars(r.ptr + 1, end, b);
    return (a << 16) | b;
}

Value Cursor::value(int col, jetsql::JType type) const {
    return ReadValue(PQgetisnull(result(), at(), col) ? nullptr : PQgetvalue(result(), at(), col),
                     type);
}

void Cursor::reset() {
    if (queued_) c_.withdraw(this);
    closePortal();
    tail_ = Result();
    own(Result());
    row_ = -1;
    ready_ = false;
}

long Cursor::changes() const {
    return std::atol(PQcmdTuples(res_.get()));
}

// ---- the connection --------------------------------------------------------------------------

Connection::Connection(const ServerPath& server) : server_(server) {
    conn_ = PQconnectdb(server_.conninfo.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) {
        std::string message = PQerrorMessage(conn_);
        PQfinish(conn_);
        throw ConnectFailure(message, server_.shown);
    }
    PQsetNoticeProcessor(conn_, quiet, nullptr);  // "already exists, skipping" and the like
    try {
        InstallLibrary(conn_);
        exec("SET client_min_messages = warning");
        if (std::string zone = localZone(); !zone.empty()) {
            // A zone the server does not know leaves the server's own.
            Result r(PQexecParams(conn_, "SELECT set_config('TimeZone', $1, false)", 1, nullptr,
                                  std::vector<const char*>{zone.c_str()}.data(), nullptr, nullptr,
                                  0));
        }
        exec(std::string("LISTEN ") + kDesignChannel);
    } catch (...) {
        PQfinish(conn_);
        throw;
    }
}

Connection::~Connection() {
    discardPipeline();
    invalidate();  // the cursors name this connection
    PQfinish(conn_);
}

JetError Connection::failure(const PGresult* res, std::string_view) {
    if (!res || PQstatus(conn_) == CONNECTION_BAD) return JetError::make(err::kDiskError);
    return ErrorOf(res);
}

// PostgreSQL ends a transaction at its first failure: whatever a later statement would do is
// refused until a rollback. So the failure is kept, and every later statement and CommitTrans
// fail with it until Rollback (to the savepoint of a nested level or the whole transaction)
// makes the connection usable again, as after a full disk on files.
Result Connection::checked(PGresult* res, std::string_view path) {
    ++RoundTrips();
    Result r(res);
    ExecStatusType st = PQresultStatus(res);
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return r;
    JetError e = failure(res, path);
    if (depth_ > 0 && !failed_) failed_ = e;
    throw e;
}

Result Connection::exec(const std::string& sql, const std::vector<const char*>& params,
                        std::string_view path) {
    settle();
    const std::vector<Oid> types(params.size(), kTextOid);
    return checked(PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), types.data(),
                                params.data(), nullptr, nullptr, 0),
                   path);
}

std::unique_ptr<engine::Cursor> Connection::prepare(const engine::CacheEntry& e, bool fetch) {
    const std::string& sql = fetch ? e.tr->fetchSql : e.tr->sql;
    std::shared_ptr<Shape> shape;
    if (!fetch && e.tr->kind == jetsql::Statement::Kind::Select) {
        if (shapes_.size() > 4000)
            std::erase_if(shapes_, [](const auto& s) { return s.second.first.expired(); });
        auto& slot = shapes_[e.tr.get()];
        if (slot.first.expired() || !slot.second) slot = {e.tr, std::make_shared<Shape>()};
        shape = slot.second;
    }
    return std::make_unique<Cursor>(*this, "kv_" + std::to_string(++statements_), sql,
                                    dialect::ParamCount(sql), e.tr->table.rowid == "ctid", shape);
}

Result Connection::pipelined(const std::vector<std::string>& statements,
                             const std::vector<std::optional<std::string>>& firstParams,
                             std::string_view path) {
    sendAnnounced();
    sendHeld();
    planGeneric(false);
    enterPipeline();
    for (size_t i = 0; i < statements.size(); ++i) {
        const std::vector<const char*> values =
            i == 0 ? pointers(firstParams) : std::vector<const char*>();
        const std::vector<Oid> types(values.size(), kTextOid);
        if (PQsendQueryParams(conn_, statements[i].c_str(), static_cast<int>(values.size()),
                              types.data(), values.data(), nullptr, nullptr, 0) != 1)
            throw JetError::make(err::kDiskError);
        if (i + 1 < statements.size()) pending_.push_back({});
    }
    return finishPipeline(true, path);
}

Result Connection::declare(const std::string& portal, const std::string& sql,
                           const std::vector<std::optional<std::string>>& params,
                           std::string_view path) {
    return pipelined({"DECLARE " + portal + " NO SCROLL CURSOR FOR " + sql,
                      "FETCH " + std::to_string(kBatchRows) + " FROM " + portal},
                     params, path);
}

Result Connection::fetch(const std::string& portal, bool all, std::string_view path) {
    return pipelined(
        {(all ? "FETCH ALL FROM " : "FETCH " + std::to_string(kBatchRows) + " FROM ") + portal}, {},
        path);
}

void Connection::close(const std::string& portal) {
    enterPipeline();
    const std::string sql = "CLOSE " + portal;
    if (PQsendQueryParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) != 1)
        throw JetError::make(err::kDiskError);
    pending_.push_back({});
}

void Connection::streaming(Cursor* c, bool on) {
    if (on)
        streaming_.insert(c);
    else
        streaming_.erase(c);
}

// Before its transaction ends, every portal still read from gives up the rest of its rows;
// after a failure they cannot be read and the recordsets end there.
void Connection::drainStreams() {
    const std::set<Cursor*> open = streaming_;
    for (Cursor* c : open) c->drain();
}

// ---- pipelining ------------------------------------------------------------------------------
//
// Inside a transaction, a write whose answer nobody waits for (an UPDATE of one record, an
// INSERT whose key is not wanted, a statement whose count is read later if at all) is sent
// without waiting: it goes to the server with the next statement that needs an answer, in one
// round trip. A failure among them is thrown by that statement (or CommitTrans), and the
// transaction has failed as on any failure. The results are read every kMaxPending writes, so
// that neither side's buffers fill.

namespace {
constexpr size_t kMaxPending = 256;
}

void Connection::enterPipeline() {
    if (pipeline_) return;
    if (PQenterPipelineMode(conn_) != 1) throw JetError::make(err::kDiskError);
    pipeline_ = true;
}

void Connection::sendQuery(const std::string& name, const std::string& sql,
                           const std::vector<std::optional<std::string>>& params) {
    sendHeld();
    planGeneric(false);
    sendRaw(name, sql, params);
}

void Connection::sendRaw(const std::string& name, const std::string& sql,
                         const std::vector<std::optional<std::string>>& params) {
    enterPipeline();
    const std::vector<const char*> values = pointers(params);
    const int n = static_cast<int>(values.size());
    if (!sql.empty()) {
        const std::vector<Oid> types(values.size(), kTextOid);
        if (PQsendPrepare(conn_, name.c_str(), sql.c_str(), n, types.data()) != 1)
            throw JetError::make(err::kDiskError);
        pending_.push_back({});
    }
    if (PQsendQueryPrepared(conn_, name.c_str(), n, values.data(), nullptr, nullptr, 0) != 1)
        throw JetError::make(err::kDiskError);
}

void Connection::sendPrepared(const std::string& name, const std::string& sql,
                              const std::vector<std::optional<std::string>>& params,
                              const engine::Count& affected, Cursor* reader) {
    // Queries announced before this write read what was there before it.
    if (!reader) sendAnnounced();
    sendQuery(name, sql, params);
    pending_.push_back({affected, reader, {}});
    if (pending_.size() >= kMaxPending) answer();
}

// Queries announced together that differ only in their values (a lookup opened for each of a
// batch of customers) go as one statement, which the server runs once per set of values: a
// statement costs the server more to start than such a lookup costs to run.
void Connection::sendAnnounced() {
    if (announced_.empty()) return;
    std::vector<Cursor*> ahead;
    ahead.swap(announced_);
    std::vector<std::vector<Cursor*>> groups;
    std::map<const Shape*, size_t> group;
    for (Cursor* c : ahead) {
        if (!c->shape() || c->params().empty()) {
            groups.push_back({c});
            continue;
        }
        auto [it, fresh] = group.emplace(c->shape(), groups.size());
        if (fresh)
            groups.push_back({c});
        else
            groups[it->second].push_back(c);
    }
    // A lone query of a kind sent together before goes the same way: its statement is planned
    // already, and it needs no change of the plan settings between the statements for many
    // records around it.
    for (const auto& g : groups) {
        const Shape* shape = g.front()->shape();
        if (g.size() == 1 && !(shape && shape->together && !g.front()->params().empty()))
            g.front()->sendAhead();
        else
            sendRuns(g);
    }
}

void Connection::sendRuns(const std::vector<Cursor*>& runs) {
    sendHeld();
    runs.front()->together();
    const size_t n = runs.front()->params().size();
    std::vector<std::optional<std::string>> arrays(n);
    std::vector<std::optional<std::string>> column(runs.size());
    for (size_t k = 0; k < n; ++k) {
        for (size_t i = 0; i < runs.size(); ++i) column[i] = runs[i]->params()[k];
        arrays[k] = dialect::ArrayText(column);
    }
    sendBatched(dialect::QueryRunsSql(runs.front()->text(), static_cast<int>(n)), arrays);
    pending_.push_back({nullptr, nullptr, runs});
    if (pending_.size() >= kMaxPending) answer();
}

// The server would plan a statement over arrays for every run: their lengths change the
// estimates, and plans for a few records look cheaper than the plan for any number. The plan for
// any number is the one wanted, so the transaction asks for prepared plans while such
// statements run, and for the server's usual choice again before any other statement.
//
// A prepared plan is kept for the rest of the transaction, while the tables it reads may fill:
// a queue emptied and refilled, a table the server counted when it was empty (a compaction's
// ANALYZE). Planned for an empty table, the statement would scan the whole table for each
// record; these statements find records by key, so they are planned with the table's indexes
// wherever one serves.
void Connection::planGeneric(bool on) {
    if (generic_ == on) return;
    generic_ = on;
    if (failed_) return;  // the rollback undoes the settings
    // plan_cache_mode came with PostgreSQL 12; an older server plans each run as it always did.
    const bool modes = PQserverVersion(conn_) >= 120000;
    const char* sql =
        on ? (modes ? "SELECT set_config('plan_cache_mode', 'force_generic_plan', true), "
                      "set_config('enable_seqscan', 'off', true)"
                    : "SELECT set_config('enable_seqscan', 'off', true)")
           : (modes ? "SELECT set_config('plan_cache_mode', NULL, true), "
                      "set_config('enable_seqscan', NULL, true)"  // NULL: the session's own
                    : "SELECT set_config('enable_seqscan', NULL, true)");
    sendNamed(sql, {});
    pending_.push_back({});
}

void Connection::sendBatched(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params) {
    planGeneric(true);
    sendNamed(sql, params);
}

void Connection::sendNamed(const std::string& sql,
                           const std::vector<std::optional<std::string>>& params) {
    auto [it, fresh] = batched_.emplace(sql, std::string());
    if (fresh) it->second = "kv_" + std::to_string(++statements_);
    sendRaw(it->second, fresh ? sql : std::string(), params);
}

// ---- writes held back ------------------------------------------------------------------------
//
// Inside a transaction, the writes of single records (a recordset's Update) are held and go as
// one statement per table and kind of write (UPDATE ... FROM unnest(...), INSERT ... SELECT
// FROM unnest(...)), before any other statement: the server starts one statement where it
// would start hundreds. Nothing can tell the difference where they are held: only tables with
// no triggers (so no foreign keys either), only updates of columns outside every unique index
// (whose checks could depend on the order of the records). Such writes of records do not depend
// on one another's order, except two writes of one record, and inserts, whose records take
// their keys in order: a record written again, or an insert of another kind, sends what its
// table holds first. Writes of different tables, which cannot see each other, may go in another
// order.

namespace {
constexpr size_t kMaxHeld = 1000;
}

void Connection::invalidated() {
    for (auto& [sql, name] : batched_) forget(name);
    batched_.clear();
    traits_.clear();
}

const Connection::Traits& Connection::traitsOf(const std::string& schema,
                                               const sqlite::TableInfo& table) {
    const std::string id = dialect::QuoteIdent(schema) + "." + dialect::QuoteIdent(table.name);
    auto it = traits_.find(id);
    if (it != traits_.end()) return it->second;
    Result r = exec(
        "SELECT t.r IS NOT NULL AND NOT EXISTS (SELECT 1 FROM pg_trigger WHERE tgrelid = t.r), "
        "a.attname, i.indexprs IS NOT NULL OR i.indpred IS NOT NULL "
        "FROM (SELECT to_regclass($1) AS r) AS t LEFT JOIN pg_index i ON i.indrelid = t.r AND "
        "i.indisunique LEFT JOIN LATERAL unnest(i.indkey::int2[]) AS k ON true "
        "LEFT JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k",
        {id.c_str()});
    Traits t;
    for (int row = 0; row < r.rows(); ++row) {
        t.plain = r.text(row, 0) == "t";
        if (r.text(row, 2) == "t") t.unique.insert("");
        if (!PQgetisnull(r.get(), row, 1)) t.unique.insert(r.text(row, 1));
    }
    return traits_.emplace(id, std::move(t)).first->second;
}

bool Connection::hold(const std::string& schema, const sqlite::TableInfo& table,
                      const std::vector<int>& columns, const std::vector<const Value*>& values,
                      std::optional<int64_t> key, std::vector<Value>* stored) {
    if (!defer() || table.rowid != dialect::kRecordKey || columns.empty()) return false;
    const Traits& t = traitsOf(schema, table);
    if (!t.plain) return false;
    if (key) {
        if (t.unique.count("")) return false;
        for (int c : columns)
            if (t.unique.count(table.columns[static_cast<size_t>(c)].name)) return false;
    }
    // Every value is checked before any is held: one refused leaves nothing of its record.
    std::vector<std::optional<std::string>> texts;
    texts.reserve(columns.size());
    for (size_t k = 0; k < columns.size(); ++k)
        texts.push_back(ColumnText(*values[k], table.columns[static_cast<size_t>(columns[k])]));
    if (stored) {
        stored->clear();
        for (size_t k = 0; k < columns.size(); ++k) {
            auto v = StoredValue(texts[k], table.columns[static_cast<size_t>(columns[k])]);
            if (!v) {
                stored->clear();
                break;
            }
            stored->push_back(std::move(*v));
        }
    }
    // Opened before this write: they read what was there before it, and go now, so that the
    // server answers them while this side goes on.
    if (!announced_.empty()) {
        sendAnnounced();
        push();
    }
    std::string shape = (key ? "u " : "i ") + std::to_string(table.columns.size());
    for (int c : columns) shape += "," + std::to_string(c);
    const std::string id = schema + "." + table.name;
    auto holds = [&](const Held& h) { return h.table == id && key && h.seen.count(*key) > 0; };
    // A record written again with the same columns, held by one statement only: the later
    // values take the place of the earlier ones, which is what running both in turn leaves.
    if (std::count_if(held_.begin(), held_.end(), holds) == 1) {
        auto h = std::find_if(held_.begin(), held_.end(), holds);
        if (h->shape == shape) {
            const size_t at = static_cast<size_t>(
                std::find(h->keys.rbegin(), h->keys.rend(), *key).base() - h->keys.begin() - 1);
            for (size_t k = 0; k < columns.size(); ++k) h->values[k][at] = std::move(texts[k]);
            return true;
        }
    }
    // A record written again with other columns, or inserts of another kind (whose records
    // must take their keys in order): what the table has held goes first.
    const bool inOrder = std::any_of(held_.begin(), held_.end(), [&](const Held& h) {
        return holds(h) || (!key && h.table == id && h.keys.empty() && h.shape != shape);
    });
    if (inOrder) {
        std::vector<Held> keep;
        for (Held& h : held_) {
            if (h.table != id) {
                keep.push_back(std::move(h));
                continue;
            }
            heldRows_ -= h.values.front().size();
            sendHeld(h);
        }
        held_ = std::move(keep);
        if (pending_.size() >= kMaxPending) answer();
    }
    auto it = std::find_if(held_.begin(), held_.end(),
                           [&](const Held& h) { return h.table == id && h.shape == shape; });
    if (it == held_.end()) {
        Held h;
        h.table = id;
        h.shape = std::move(shape);
        h.sql = key ? dialect::UpdateRowsSql(schema, table, columns)
                    : dialect::InsertRowsSql(schema, table, columns);
        h.values.resize(columns.size());
        held_.push_back(std::move(h));
        it = held_.end() - 1;
    }
    for (size_t k = 0; k < columns.size(); ++k) it->values[k].push_back(std::move(texts[k]));
    if (key) {
        it->keys.push_back(*key);
        it->seen.insert(*key);
    }
    if (++heldRows_ >= kMaxHeld) sendHeld();
    return true;
}

void Connection::sendHeld() {
    if (held_.empty()) return;
    std::vector<Held> out;
    out.swap(held_);
    heldRows_ = 0;
    for (const Held& h : out) sendHeld(h);
    if (pending_.size() >= kMaxPending) answer();
}

void Connection::sendHeld(const Held& h) {
    std::vector<std::optional<std::string>> params;
    params.reserve(h.values.size() + 1);
    for (const auto& v : h.values) params.push_back(dialect::ArrayText(v));
    if (!h.keys.empty()) {
        std::string keys = "{";
        for (int64_t k : h.keys) keys += (keys.size() > 1 ? "," : "") + std::to_string(k);
        params.push_back(keys + "}");
    }
    sendBatched(h.sql, params);
    pending_.push_back({});
}

namespace {

class Announced final : public engine::Prefetch {
  public:
    Announced(Connection& c, engine::Lease l) : c_(c), lease_(std::move(l)) {}
    ~Announced() override {
        if (lease_) c_.withdraw(cursor());
    }
    // Stays announced: its first step sends it with the others (or a statement before that
    // does), and its rows then come with theirs.
    engine::Lease take() override { return std::move(lease_); }
    Cursor* cursor() const { return static_cast<Cursor*>(lease_.operator->()); }

  private:
    Connection& c_;
    engine::Lease lease_;
};

}  // namespace

// Only inside a transaction: a failure of a query sent ahead is thrown by whatever statement
// carried it, which fails the transaction as any failure does; outside one, every statement
// must fail on its own.
std::unique_ptr<engine::Prefetch> Connection::announce(const std::shared_ptr<engine::CacheEntry>& e,
                                                       const std::vector<jetsql::Literal>& lits,
                                                       const engine::ParamValues* params) {
    if (!defer()) return nullptr;
    engine::Lease l = lease(e);
    l->bindSlots(*e->tr, lits, params);
    auto a = std::make_unique<Announced>(*this, std::move(l));
    announced_.push_back(a->cursor());
    a->cursor()->queue(true);
    return a;
}

void Connection::withdraw(Cursor* c) {
    c->queue(false);
    std::erase(announced_, c);
    for (auto& p : pending_) {
        if (p.reader == c) p.reader = nullptr;
        std::replace(p.runs.begin(), p.runs.end(), c, static_cast<Cursor*>(nullptr));
    }
}

Result Connection::runPrepared(const std::string& name, const std::string& sql,
                               const std::vector<std::optional<std::string>>& params,
                               std::string_view path) {
    if (pipeline_ || !sql.empty() || !announced_.empty() || !held_.empty() || generic_ != false) {
        // A first run prepares and runs in one round trip; queries announced go along.
        sendAnnounced();
        sendQuery(name, sql, params);
        return finishPipeline(true, path);
    }
    const std::vector<const char*> values = pointers(params);
    return checked(PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()),
                                  values.data(), nullptr, nullptr, 0),
                   path);
}

Result Connection::finishPipeline(bool own, std::string_view path) {
    Result mine;
    if (own) pending_.push_back({nullptr, nullptr, {}, &mine});
    push();
    consume(pending_.size(), path);
    return mine;
}

void Connection::push() {
    if (!pipeline_ || pending_.empty() || pending_.back().sync) return;
    ++RoundTrips();
    // A sync that cannot be sent: reading its result finds the connection gone.
    PQpipelineSync(conn_);
    pending_.push_back({nullptr, nullptr, {}, nullptr, true});
}

void Connection::collect(const Cursor* c, std::string_view path) {
    if (announced(c)) sendAnnounced();
    auto it = std::find_if(pending_.begin(), pending_.end(), [c](const Pending& p) {
        return p.reader == c || std::find(p.runs.begin(), p.runs.end(), c) != p.runs.end();
    });
    if (it == pending_.end()) return;
    size_t n = static_cast<size_t>(it - pending_.begin()) + 1;
    if (std::none_of(it, pending_.end(), [](const Pending& p) { return p.sync; })) push();
    // The syncs right after it are read too (they come at once), so that the pipeline can end.
    while (n < pending_.size() && pending_[n].sync) ++n;
    consume(n, path);
}

// Each statement's results come followed by a null; a sync's result has none. The server sends
// results only as far as a sync: every statement read has one after it.
void Connection::consume(size_t count, std::string_view path) {
    std::optional<JetError> error;
    bool lost = false, synced = false;
    // After a failure, read on to the end of its burst: the statements after it were refused.
    while (!pending_.empty() && !lost && (count > 0 || (error && !synced))) {
        Pending p = std::move(pending_.front());
        pending_.pop_front();
        if (count > 0) --count;
        synced = p.sync;
        if (p.sync) {
            Result r(PQgetResult(conn_));
            if (PQresultStatus(r.get()) != PGRES_PIPELINE_SYNC) {
                lost = true;  // the connection is gone: no sync will come
                if (!error) error = failure(nullptr, path);
            }
            continue;
        }
        int results = 0;
        while (PGresult* r = PQgetResult(conn_)) {
            ++results;
            Result res(r);
            ExecStatusType st = PQresultStatus(r);
            if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
                if (p.affected) *p.affected = std::atol(PQcmdTuples(r));
                if (p.reader) p.reader->prefetched(std::move(res));
                if (p.into) *p.into = std::move(res);
                if (!p.runs.empty()) {
                    // Rows come by run, the run's number in the last column.
                    auto all = std::make_shared<const Result>(std::move(res));
                    const int rows = PQntuples(r), col = PQnfields(r) - 1;
                    int row = 0;
                    for (size_t i = 0; i < p.runs.size(); ++i) {
                        const int first = row;
                        while (row < rows &&
                               std::atol(PQgetvalue(r, row, col)) == static_cast<long>(i + 1))
                            ++row;
                        if (Cursor* c = p.runs[i]) c->prefetched(all, first, row - first);
                    }
                }
            } else if (!error && st != PGRES_PIPELINE_ABORTED) {
                error = failure(r, path);
            }
        }
        if (results == 0 && PQstatus(conn_) == CONNECTION_BAD) {
            lost = true;
            if (!error) error = failure(nullptr, path);
        }
    }
    if (lost) {
        for (Pending& p : pending_) {
            if (p.reader) p.reader->queue(false);
            for (Cursor* c : p.runs)
                if (c) c->queue(false);
        }
        pending_.clear();
    }
    if (pending_.empty()) {
        PQexitPipelineMode(conn_);
        pipeline_ = false;
    }
    if (error) {
        if (depth_ > 0 && !failed_) failed_ = *error;
        // A prepare among them may have failed: no cursor may count on its statement.
        invalidate();
        throw failed_ ? *failed_ : *error;
    }
}

void Connection::settle() {
    sendAnnounced();  // before whatever comes next, as they were opened before it
    sendHeld();
    planGeneric(false);
    if (pipeline_) finishPipeline(false, {});
}

// As settle, but the plan settings stay as the last statement left them: the next statement
// sent changes them if it must, and reading an answer sends none.
void Connection::answer() {
    sendAnnounced();
    sendHeld();
    if (pipeline_) finishPipeline(false, {});
}

void Connection::discardPipeline() {
    try {
        settle();
    } catch (const JetError&) {
        // what the rollback undoes anyway
    }
}

void Connection::dropUnused() {
    if (unused_.empty() || failed_) return;
    settle();
    std::string sql;
    for (const auto& n : unused_) sql += "DEALLOCATE " + n + ";";
    unused_.clear();
    ++RoundTrips();
    Result r(PQexec(conn_, sql.c_str()));  // a statement already gone is no failure to report
}

// ---- databases -------------------------------------------------------------------------------

std::string Connection::canonical(const std::string& path) const {
    ServerPath p = ParseServerPath(path);
    if (p.serverKey != server_.serverKey)
        throw JetError(
            err::kNotImplemented,
            "A link cannot reach a database on another server or in files: '" + p.shown + "'.");
    return p.serverKey + "#" + p.schema;
}

namespace {

// A connection's entry in a schema's roster and its deny-write locks there, with writes
// cleared through the connection.
class ServerPresence final : public engine::Presence {
  public:
    ServerPresence(Connection& c, std::unique_ptr<LockSession> s) : c_(c), s_(std::move(s)) {}
    void lockTable(const std::string& table) override {
        c_.settle();
        s_->lockTable(table);
        c_.lockTaken();
    }
    void unlockTable(const std::string& table) override {
        c_.settle();
        s_->unlockTable(table);
    }
    void checkWritable(const std::vector<std::string>& tables) const override {
        c_.checkWritable(*s_, tables);
    }

  private:
    Connection& c_;
    std::unique_ptr<LockSession> s_;
};

}  // namespace

std::unique_ptr<engine::Presence> Connection::enter(const std::string& path,
                                                    const std::string& user) {
    canonical(path);
    settle();
    return std::make_unique<ServerPresence>(
        *this, LockSession::Connect(conn_, ParseServerPath(path).schema, user));
}

void Connection::checkWritable(const LockSession& session, const std::vector<std::string>& tables) {
    std::vector<int64_t> keys;
    bool cleared = depth_ > 0;
    for (const auto& t : tables) {
        keys.push_back(TableLockKey(session.schemaOid(), t));
        cleared = cleared && cleared_.count(keys.back());
    }
    if (cleared) return;
    settle();
    session.checkWritable(tables);
    if (depth_ == 0) return;
    std::string list;
    for (int64_t k : keys) list += (list.empty() ? "{" : ",") + std::to_string(k);
    Result r =
        exec("SELECT bool_and(pg_try_advisory_xact_lock_shared(k)) FROM unnest($1::bigint[]) AS k",
             {(list + "}").c_str()});
    // Locked since the check: refused as if the check had seen it.
    if (std::string_view(PQgetvalue(r.get(), 0, 0)) != "t") throw JetError::make(err::kReadOnly);
    cleared_.insert(keys.begin(), keys.end());
}

engine::Attachment* Connection::attach(const std::string& path) {
    const std::string canon = canonical(path);
    for (auto& a : attachments_) {
        if (a->path == canon) {
            ++a->refs;
            return a.get();
        }
    }
    ServerPath p = ParseServerPath(path);
    Result has = exec("SELECT 1 FROM pg_namespace WHERE nspname = $1", {p.schema.c_str()});
    if (PQntuples(has.get()) == 0) throw JetError::make(err::kFileNotFound, p.shown);
    auto a = std::make_unique<engine::Attachment>();
    a->path = canon;
    a->schema = p.schema;
    loadCatalog(*a);
    a->refs = 1;
    attachments_.push_back(std::move(a));
    return attachments_.back().get();
}

void Connection::release(engine::Attachment* a) {
    if (!a || --a->refs > 0 || depth_ > 0) return;
    // Cached statements may hold its catalog, which nobody keeps up to date from now on.
    invalidate();
    std::erase_if(attachments_, [](const auto& x) { return x->refs <= 0; });
}

void Connection::loadCatalog(engine::Attachment& a) {
    try {
        settle();
        LoadCatalog(conn_, a.schema, a.catalog);
    } catch (const JetError& e) {
        if (depth_ > 0 && !failed_) failed_ = e;
        throw;
    }
    designDirty_.erase(a.schema);
}

void Connection::reloadCatalog(engine::Attachment& a) {
    loadCatalog(a);
    invalidate();
}

void Connection::reloadAllCatalogs() {
    for (auto& a : attachments_) loadCatalog(*a);
    invalidate();
}

void Connection::notices() {
    PQconsumeInput(conn_);
    const int self = PQbackendPID(conn_);
    while (PGnotify* n = PQnotifies(conn_)) {
        if (n->be_pid != self) designDirty_.insert(n->extra);
        PQfreemem(n);
    }
}

void Connection::refreshCatalogs() {
    checkUsable();
    dropUnused();
    notices();
    if (designDirty_.empty()) return;
    bool changed = false;
    for (auto& a : attachments_) {
        if (designDirty_.count(a->schema)) {
            loadCatalog(*a);
            changed = true;
        }
    }
    designDirty_.clear();
    if (changed) invalidate();
}

void Connection::checkUsable() const {
    if (failed_) throw *failed_;
    if (PQstatus(conn_) != CONNECTION_OK) throw JetError::make(err::kDiskError);
}

std::shared_ptr<sqlite::Translation> Connection::translate(
    jetsql::Statement& st, const std::vector<jetsql::Literal>& literals,
    sqlite::Resolver& resolver) {
    std::unique_ptr<jetsql::BoundStatement> bound = jetsql::Bind(st, literals, resolver);
    jetsql::Plan(*bound);
    return Emit(*bound);
}

// ---- statements and records ------------------------------------------------------------------

engine::Count Connection::run(const std::shared_ptr<engine::CacheEntry>& e,
                              const std::vector<jetsql::Literal>& lits,
                              const engine::ParamValues* params, std::string_view path) {
    engine::Lease st = lease(e);
    st->bindSlots(*e->tr, lits, params);
    auto* cursor = static_cast<Cursor*>(st.operator->());
    if (defer()) {
        auto count = std::make_shared<long>(-1);
        cursor->send(count);
        return count;
    }
    st->step(path);
    return std::make_shared<long>(cursor->changes());
}

std::shared_ptr<engine::CacheEntry> Connection::rowWrite(const std::string& schema,
                                                         const sqlite::TableInfo& table,
                                                         const std::vector<int>& columns,
                                                         bool adding) {
    std::string key(adding ? "\x03ins " : "\x03upd ");
    key += schema + "." + table.name;
    for (int c : columns) key += "," + std::to_string(c);
    return entry(key, [&] {
        auto w = std::make_shared<sqlite::Translation>();
        w->kind = adding ? jetsql::Statement::Kind::Insert : jetsql::Statement::Kind::Update;
        w->sql = adding ? dialect::InsertRowSql(schema, table, columns)
                        : dialect::UpdateRowSql(schema, table, columns);
        w->table.rowid = table.rowid;
        return w;
    });
}

int64_t Connection::insertRow(const std::string& schema, const sqlite::TableInfo& table,
                              const std::vector<int>& columns,
                              const std::vector<const Value*>& values, bool wantKey,
                              std::string_view path) {
    if (!wantKey && hold(schema, table, columns, values, std::nullopt, nullptr)) return 0;
    engine::Lease st = lease(rowWrite(schema, table, columns, true));
    for (size_t k = 0; k < values.size(); ++k)
        st->bindValue(static_cast<int>(k + 1), *values[k],
                      table.columns[static_cast<size_t>(columns[k])]);
    if (!wantKey && defer()) {
        static_cast<Cursor*>(st.operator->())->send(nullptr);
        return 0;
    }
    if (!st->step(path)) return 0;
    return st->key(0);
}

std::vector<Value> Connection::updateRow(const std::string& schema, const sqlite::TableInfo& table,
                                         const std::vector<int>& columns,
                                         const std::vector<const Value*>& values, int64_t key,
                                         std::string_view path) {
    // A held write's values are known as the server will give them back: a dynaset on the
    // record goes on without asking for it again.
    std::vector<Value> stored;
    if (hold(schema, table, columns, values, key, &stored)) return stored;
    engine::Lease st = lease(rowWrite(schema, table, columns, false));
    for (size_t k = 0; k < values.size(); ++k)
        st->bindValue(static_cast<int>(k + 1), *values[k],
                      table.columns[static_cast<size_t>(columns[k])]);
    st->bindKey(static_cast<int>(values.size() + 1), key);
    if (defer())
        static_cast<Cursor*>(st.operator->())->send(nullptr);
    else
        st->step(path);
    return {};
}

// ---- the layer's own objects and design changes ----------------------------------------------

void Connection::putObject(const engine::Attachment& a, const std::string& name, int type,
                           const std::string* database, const std::string* foreign,
                           const std::string* sql) {
    exec(dialect::CreateObjectsTableSql(a.schema));
    const std::string t = std::to_string(type);
    exec(dialect::InsertObjectSql(a.schema),
         {name.c_str(), t.c_str(), database ? database->c_str() : nullptr,
          foreign ? foreign->c_str() : nullptr, sql ? sql->c_str() : nullptr});
}

void Connection::deleteObject(const engine::Attachment& a, const std::string& name) {
    exec(dialect::DeleteObjectSql(a.schema), {name.c_str()});
}

void Connection::designChanged(engine::Attachment& a) {
    exec("SELECT pg_notify($1, $2)", {kDesignChannel, a.schema.c_str()});
    if (depth_ > 0) designInTransaction_ = true;
    reloadCatalog(a);
}

void Connection::runDdl(engine::Attachment& a, const jetsql::Statement& st, std::string_view path) {
    std::string sql = sqlite::TranslateDdl(st, a.schema, a.catalog, dialect::Ddl());
    invalidate();
    exec(sql, {}, path);
    designChanged(a);
}

long Connection::selectInto(engine::Attachment& a, const sqlite::Translation& tr,
                            const std::vector<jetsql::Literal>& lits,
                            const engine::ParamValues* params, std::string_view path) {
    const dialect::SelectInto sql = dialect::SelectIntoSql(a.schema, tr);
    const auto texts = SlotTexts(tr, lits, params);
    // The new table and its rows are one change, whether or not the caller's transaction
    // holds it.
    const bool own = depth_ == 0;
    if (own) exec("BEGIN");
    try {
        invalidate();
        exec(sql.create, {}, path);
        Result r = exec(sql.insert, pointers(texts), path);
        long n = std::atol(PQcmdTuples(r.get()));
        exec("SELECT pg_notify($1, $2)", {kDesignChannel, a.schema.c_str()});
        if (own) exec("COMMIT");
        if (!own) designInTransaction_ = true;
        reloadCatalog(a);
        return n;
    } catch (...) {
        if (own) {
            Result r(PQexec(conn_, "ROLLBACK"));
        }
        throw;
    }
}

// ---- transactions ----------------------------------------------------------------------------

void Connection::begin() {
    checkUsable();
    if (depth_ >= 5) throw JetError::make(err::kTooManyTransactions);
    exec(depth_ == 0 ? std::string("BEGIN") : "SAVEPOINT kv_t" + std::to_string(depth_));
    if (depth_ == 0) ++txnSerial_;
    ++depth_;
}

void Connection::commit() {
    if (depth_ == 0) throw JetError::make(err::kCommitWithoutBegin);
    checkUsable();
    if (depth_ == 1) drainStreams();
    // A COMMIT that fails has ended the transaction all the same: the failure is kept until
    // the caller's Rollback, as any other.
    exec(depth_ == 1 ? std::string("COMMIT")
                     : "RELEASE SAVEPOINT kv_t" + std::to_string(depth_ - 1));
    if (--depth_ == 0) {
        generic_ = false;
        designInTransaction_ = false;
        cleared_.clear();
        LockSession::AfterTransaction(conn_);
        dropUnused();
    }
}

void Connection::rollback() {
    if (depth_ == 0) throw JetError::make(err::kCommitWithoutBegin);
    try {
        drainStreams();
    } catch (const JetError&) {
        // rolled back now: what was not read is gone with it
    }
    held_.clear();  // written since the last savepoint: undone anyway
    heldRows_ = 0;
    discardPipeline();
    --depth_;
    // Rolled back to a savepoint, the settings are as they were when it was taken.
    generic_ = depth_ == 0 ? std::optional<bool>(false) : std::nullopt;
    const std::string sql = depth_ == 0 ? std::string("ROLLBACK")
                                        : "ROLLBACK TO SAVEPOINT kv_t" + std::to_string(depth_) +
                                              "; RELEASE SAVEPOINT kv_t" + std::to_string(depth_);
    ++RoundTrips();
    Result r(PQexec(conn_, sql.c_str()));
    failed_.reset();
    cleared_.clear();  // a rolled-back level gives back the locks it took
    LockSession::AfterTransaction(conn_);
    // What was undone may have been a change of design.
    if (designInTransaction_) {
        if (depth_ == 0) designInTransaction_ = false;
        reloadAllCatalogs();
    }
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
        if (depth_ > 0) failed_ = failure(r.get(), {});
        throw failure(r.get(), {});
    }
    if (depth_ == 0) dropUnused();
}

}  // namespace kelvor::pg

namespace kelvor::pg {

void CreateDatabase(const std::string& path) {
    const ServerPath p = ParseServerPath(path);
    Connection c(p);
    c.exec("BEGIN");
    try {
        Result has = c.exec("SELECT 1 FROM pg_namespace WHERE nspname = $1", {p.schema.c_str()});
        if (PQntuples(has.get()) > 0) throw JetError::make(err::kDatabaseExists);
        c.exec("CREATE SCHEMA " + dialect::QuoteIdent(p.schema));
        c.exec(dialect::CreateObjectsTableSql(p.schema));
        if (!CreateRoster(c.handle(), p.schema)) throw JetError::make(err::kDiskError);
        c.exec("COMMIT");
    } catch (const JetError& e) {
        Result r(PQexec(c.handle(), "ROLLBACK"));
        // Another program made the schema first.
        if (e.number() == err::kSyntaxError && PQstatus(c.handle()) == CONNECTION_OK)
            throw JetError::make(err::kDatabaseExists);
        throw;
    }
}

}  // namespace kelvor::pg

namespace kelvor {

bool NamesServerDatabase(std::string_view path) {
    return pg::NamesServer(path);
}

void DropServerDatabase(const std::string& path) {
    const pg::ServerPath p = pg::ParseServerPath(path);
    pg::Connection c(p);
    c.exec("DROP SCHEMA IF EXISTS " + pg::dialect::QuoteIdent(p.schema) + " CASCADE");
}

}  // namespace kelvor
