#include "sqlite/connection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <unordered_map>

#include "kelvor/jet_error.h"
#include "locking/lock_file.h"
#include "sqlite/collation.h"
#include "sqlite/dialect.h"
#include "sqlite/functions.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

using jetsql::JType;
using jetsql::Tok;

namespace {

// SQLite's limit on attached databases in this build; the engine's own limit is reported as
// "Cannot open any more databases".
constexpr int kMaxAttached = 10;

// Connections by handle, so that a failure thrown anywhere below the connection reaches it.
std::mutex g_connectionsMutex;
std::unordered_map<sqlite3*, Connection*>& connections() {
    static std::unordered_map<sqlite3*, Connection*> m;
    return m;
}

// Failures after which a transaction must not go on, whether or not SQLite rolled it back:
// a statement that lost rows to a full disk must not be followed by a commit of the rest.
bool endsTransaction(int rc) {
    switch (rc & 0xff) {
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_NOMEM:
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return true;
        default:
            return false;
    }
}

bool ownedDirectory(const std::string& dir) {
    struct stat sb;
    return ::lstat(dir.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode) && sb.st_uid == ::geteuid() &&
           (sb.st_mode & 0022) == 0;
}

// The folder of the workspaces' scratch databases. SQLite writes the super-journal of a commit
// that spans several files beside the connection's main database and names it in each file's
// journal; after a crash, a journal whose super-journal is gone is taken as committed. So the
// folder must survive a reboot (not /tmp, not $XDG_RUNTIME_DIR), and every account that opens
// the same databases must be able to see whether that file exists: search permission for all,
// listing and writing for its owner only (0711), one folder per account.
std::string scratchDir() {
    if (const char* v = std::getenv("KELVOR_STATE_DIR"); v && *v) {
        ::mkdir(v, 0711);
        return v;
    }
    std::string dir = "/var/tmp/kelvor-" + std::to_string(::geteuid());
    if (::mkdir(dir.c_str(), 0711) == 0) ::chmod(dir.c_str(), 0711);  // whatever the umask
    if (ownedDirectory(dir)) return dir;
    // Someone else made that name first: a private folder of our own instead.
    std::string tmpl = dir + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) {
        ::chmod(buf.data(), 0711);
        return buf.data();
    }
    return "/var/tmp";
}

bool exists(const std::string& path) {
    struct stat sb;
    return ::lstat(path.c_str(), &sb) == 0;
}

// Clears what killed programs left in the scratch folder: a scratch database whose lock nobody
// holds, its journal, and a super-journal whose scratch database is gone, none of whose files'
// journals still exists (SQLite needs it until each of those is rolled back) and that is ten
// minutes old. Runs
// while holding the folder exclusively, so it never sees a scratch file between its creation
// and its lock (creators hold the folder shared for that moment).
void clearLeftovers(const std::string& dir) {
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    if (::flock(dfd, LOCK_EX | LOCK_NB) != 0) {
        ::close(dfd);
        return;  // another program is clearing or creating: it will be done another time
    }
    std::vector<std::string> names;
    if (DIR* d = ::fdopendir(::dup(dfd))) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("kelvor-ws-", 0) == 0) names.push_back(n);
        }
        ::closedir(d);
    }
    std::vector<std::string> supers;
    for (const auto& n : names) {
        std::string path = dir + "/" + n;
        if (n.find("-mj") != std::string::npos) {
            supers.push_back(path);
            continue;
        }
        if (n.find('-', 10) != std::string::npos) continue;  // a journal: goes with its database
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ::unlink(path.c_str());
            ::unlink((path + "-journal").c_str());
        }
        ::close(fd);
    }
    for (const auto& path : supers) {
        if (exists(path.substr(0, path.rfind("-mj")))) continue;  // its connection still lives
        // SQLite deletes a super-journal itself once it has rolled back its last file, and
        // opens it again after deleting that file's journal: a young one may be in that step.
        struct stat sb;
        if (::lstat(path.c_str(), &sb) != 0 || ::time(nullptr) - sb.st_mtime < 600) continue;
        std::ifstream in(path, std::ios::binary);
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bool needed = false;
        for (size_t at = 0; at < body.size();) {
            size_t end = body.find('\0', at);
            if (end == std::string::npos) end = body.size();
            if (end > at && exists(body.substr(at, end - at))) needed = true;
            at = end + 1;
        }
        if (!needed) ::unlink(path.c_str());
    }
    ::close(dfd);
}

// The design stamp of an attached file, read from its header without taking a lock: the
// schema cookie (changed by every CREATE, ALTER and DROP) and the user version (changed by
// every change of links and saved queries). A read torn by a concurrent commit only causes
// one needless reload.
bool readStamp(sqlite3* db, const std::string& schema, uint64_t& stamp) {
    sqlite3_file* f = nullptr;
    if (sqlite3_file_control(db, schema.c_str(), SQLITE_FCNTL_FILE_POINTER, &f) != SQLITE_OK ||
        !f || !f->pMethods)
        return false;
    unsigned char h[64];
    if (f->pMethods->xRead(f, h, sizeof h, 0) != SQLITE_OK) return false;
    auto be32 = [&](int at) {
        return (uint64_t{h[at]} << 24) | (uint64_t{h[at + 1]} << 16) | (uint64_t{h[at + 2]} << 8) |
               uint64_t{h[at + 3]};
    };
    stamp = (be32(40) << 32) | be32(60);
    return true;
}

}  // namespace

void NoteFailure(sqlite3* db, int rc, const JetError& error) {
    Connection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_connectionsMutex);
        auto it = connections().find(db);
        if (it != connections().end()) c = it->second;
    }
    if (c) c->noteFailure(rc, error);
}

// The connection's main database is a scratch file of its own, not one of the user's: SQLite
// writes the super-journal that makes a multi-file commit atomic only when the main database
// is a real file, and keeping user files as attachments lets any of them be closed on its own.
// The scratch file is locked (flock) for the connection's life, which tells a later program
// whether it was left by a killed one.
Connection::Connection() {
    std::string dir = scratchDir();
    static std::once_flag cleared;
    std::call_once(cleared, [&] { clearLeftovers(dir); });
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) ::flock(dfd, LOCK_SH);
    std::string tmpl = dir + "/kelvor-ws-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd >= 0) ::flock(fd, LOCK_EX);
    if (dfd >= 0) ::close(dfd);
    if (fd < 0) throw JetError::make(err::kDiskError);
    scratchLock_ = fd;
    scratchPath_ = buf.data();
    int rc =
        sqlite3_open_v2(scratchPath_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string path = scratchPath_;
        if (db_) sqlite3_close(db_);
        ::unlink(path.c_str());
        ::close(scratchLock_);
        ThrowSqlite(nullptr, rc, path);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, BusyTimeoutMs());
    sqlite3_limit(db_, SQLITE_LIMIT_ATTACHED, kMaxAttached);
    Exec(db_, dialect::kConnectionPragmas);
    RegisterFunctions(db_);
    RegisterCollation(db_);
    std::lock_guard<std::mutex> lock(g_connectionsMutex);
    connections()[db_] = this;
}

Connection::~Connection() {
    {
        std::lock_guard<std::mutex> lock(g_connectionsMutex);
        connections().erase(db_);
    }
    invalidate();
    if (!sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, dialect::kRollback, nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
    ::unlink(scratchPath_.c_str());
    ::unlink((scratchPath_ + "-journal").c_str());
    // Only now: closing any descriptor of a file drops the process's POSIX locks on it,
    // SQLite's included.
    ::close(scratchLock_);
}

std::string Connection::canonical(const std::string& path) const {
    char resolved[PATH_MAX];
    if (path.empty() || !::realpath(path.c_str(), resolved))
        throw JetError::make(err::kFileNotFound, path);
    struct stat sb;
    if (::stat(resolved, &sb) != 0 || !S_ISREG(sb.st_mode))
        throw JetError::make(err::kInvalidPath, path);
    return resolved;
}

std::unique_ptr<engine::Presence> Connection::enter(const std::string& path,
                                                    const std::string& user) {
    return std::make_unique<engine::PresenceOf<locking::LockFile>>(
        locking::LockFile::Connect(canonical(path), user));
}

Attachment* Connection::attach(const std::string& path) {
    std::string canon = canonical(path);
    for (auto& a : attachments_) {
        if (a->path == canon) {
            ++a->refs;
            return a.get();
        }
    }
    if (depth_ > 0)
        throw JetError::make(err::kNotImplemented,
                             "a database cannot be opened for the first time inside a "
                             "transaction; open it before BeginTrans.");
    detachUnused();
    if (static_cast<int>(attachments_.size()) >= kMaxAttached)
        throw JetError::make(err::kTooManyDatabases);
    auto a = std::make_unique<Attachment>();
    a->path = canon;
    a->schema = "db" + std::to_string(++schemaCounter_);
    Exec(db_, dialect::AttachSql(canon, a->schema), path);
    try {
        Stmt probe(db_, dialect::ProbeSql(a->schema), path);
        probe.step();
        probe = Stmt();
        Exec(db_, dialect::SchemaPragmas(a->schema), path);
        AdoptTextOrder(db_, a->schema);
        loadCatalog(*a);
    } catch (const JetError& e) {
        sqlite3_exec(db_, dialect::DetachSql(a->schema).c_str(), nullptr, nullptr, nullptr);
        // Damage past the header shows while the catalog is read; name the file either way.
        if (e.number() == err::kSyntaxError || e.number() == err::kUnrecognizedFormat)
            throw JetError::make(err::kUnrecognizedFormat, path);
        throw;
    }
    a->refs = 1;
    attachments_.push_back(std::move(a));
    return attachments_.back().get();
}

void Connection::release(Attachment* a) {
    if (!a) return;
    if (--a->refs <= 0 && depth_ == 0) detachUnused();
}

void Connection::detachUnused() {
    bool any = false;
    for (auto& a : attachments_) any = any || a->refs <= 0;
    if (!any || depth_ > 0) return;
    invalidate();  // cached statements may name the schema
    for (auto it = attachments_.begin(); it != attachments_.end();) {
        if ((*it)->refs > 0) {
            ++it;
            continue;
        }
        int rc =
            sqlite3_exec(db_, dialect::DetachSql((*it)->schema).c_str(), nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            it = attachments_.erase(it);
        } else {
            ++it;  // a statement still runs on it; try again later
        }
    }
}

// The catalog and its stamp are read in one read transaction, so that they agree with each
// other even while another program changes the design.
void Connection::loadCatalog(Attachment& a) {
    bool own = depth_ == 0 && sqlite3_get_autocommit(db_);
    if (own) Exec(db_, dialect::kBegin);
    try {
        a.catalog.load(db_, a.schema);
        Stmt sv(db_, dialect::SchemaVersionSql(a.schema));
        uint64_t cookie = sv.step() ? static_cast<uint32_t>(sv.integer(0)) : 0;
        sv = Stmt();
        Stmt uv(db_, dialect::UserVersionSql(a.schema));
        uint64_t user = uv.step() ? static_cast<uint32_t>(uv.integer(0)) : 0;
        uv = Stmt();
        a.stamp = (cookie << 32) | user;
        a.checkedIn = depth_ > 0 ? txnSerial_ : 0;
    } catch (...) {
        if (own) sqlite3_exec(db_, dialect::kRollback, nullptr, nullptr, nullptr);
        throw;
    }
    if (own) Exec(db_, dialect::kCommit);
}

void Connection::reloadCatalog(Attachment& a) {
    loadCatalog(a);
    invalidate();
}

void Connection::reloadAllCatalogs() {
    for (auto& a : attachments_) loadCatalog(*a);
    invalidate();
}

void Connection::refreshCatalogs() {
    checkUsable();
    bool changed = false;
    for (auto& a : attachments_) {
        if (depth_ > 0 && a->checkedIn == txnSerial_) continue;
        uint64_t stamp = 0;
        if (!readStamp(db_, a->schema, stamp) || stamp != a->stamp) {
            loadCatalog(*a);
            changed = true;
        }
        if (depth_ > 0) a->checkedIn = txnSerial_;
    }
    if (changed) invalidate();
}

std::unique_ptr<engine::Cursor> Connection::prepare(const CacheEntry& e, bool fetch) {
    const std::string& sql = fetch ? e.tr->fetchSql : e.tr->sql;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(db_, rc);
    return std::make_unique<Cursor>(st);
}

std::shared_ptr<Translation> Connection::translate(jetsql::Statement& st,
                                                   const std::vector<jetsql::Literal>& literals,
                                                   Resolver& resolver) {
    return Translate(st, literals, resolver);
}

// ---- transactions ----------------------------------------------------------------------------
//
// A full disk, an I/O error or lost memory may make SQLite roll a transaction back by itself,
// or roll back only the failing statement. Either way the caller's transaction has failed: the
// statements after it would otherwise run, and be committed, one by one outside any
// transaction, or commit a transaction that silently lost rows. So from the failure on, every
// statement and CommitTrans fail with the same error, and only Rollback ends the state.

void Connection::noteFailure(int rc, const JetError& error) {
    if (depth_ == 0 || failed_) return;
    if (endsTransaction(rc) || sqlite3_get_autocommit(db_)) failed_ = error;
}

void Connection::checkUsable() const {
    if (failed_) throw *failed_;
    if (depth_ > 0 && sqlite3_get_autocommit(db_))
        throw JetError::make(err::kDiskError);  // gone without a failure seen here
}

void Connection::begin() {
    checkUsable();
    if (depth_ >= 5) throw JetError::make(err::kTooManyTransactions);
    Exec(db_, depth_ == 0 ? std::string(dialect::kBegin) : dialect::SavepointSql(depth_));
    if (depth_ == 0) ++txnSerial_;
    ++depth_;
}

void Connection::commit() {
    if (depth_ == 0) throw JetError::make(err::kCommitWithoutBegin);
    checkUsable();
    if (depth_ == 1) {
        Exec(db_, dialect::kCommit);
        ++txnSerial_;
    } else {
        Exec(db_, dialect::ReleaseSql(depth_ - 1));
    }
    --depth_;
    if (depth_ == 0) detachUnused();
}

void Connection::rollback() {
    if (depth_ == 0) throw JetError::make(err::kCommitWithoutBegin);
    ++txnSerial_;  // a rolled-back design change must be seen again: check every file anew
    if (failed_ || sqlite3_get_autocommit(db_)) {
        // The work of every level is lost already; the outermost Rollback ends the state.
        if (--depth_ == 0) {
            if (!sqlite3_get_autocommit(db_))
                sqlite3_exec(db_, dialect::kRollback, nullptr, nullptr, nullptr);
            failed_.reset();
            detachUnused();
        }
        return;
    }
    int rc = depth_ == 1 ? sqlite3_exec(db_, dialect::kRollback, nullptr, nullptr, nullptr)
                         : sqlite3_exec(db_, dialect::RollbackToSql(depth_ - 1).c_str(), nullptr,
                                        nullptr, nullptr);
    --depth_;
    if (rc != SQLITE_OK) ThrowSqlite(db_, rc);
    if (depth_ == 0) detachUnused();
}

// ---- values ----------------------------------------------------------------------------------

namespace {

void bindOrThrow(sqlite3_stmt* st, int rc) {
    if (rc != SQLITE_OK) ThrowSqlite(sqlite3_db_handle(st), rc);
}

void bindText(sqlite3_stmt* st, int i, const std::string& s) {
    bindOrThrow(st,
                sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT));
}

// Number literals are read without the C library, whose reading follows the process locale:
// under a decimal comma "1.5" would read as 1.
int64_t integerLiteral(const jetsql::Literal& lit) {
    int64_t v = 0;
    std::from_chars(lit.text.data(), lit.text.data() + lit.text.size(), v);  // 32-bit: see lexer
    return v;
}

double floatLiteral(const jetsql::Literal& lit) {
    double d = 0;
    if (!ParseNumber(lit.text, d)) throw JetError::make(err::kTypeMismatch);
    return d;
}

// SQLite stores NaN as Null, and neither NaN nor an infinity is a value the engine can hold.
void bindDouble(sqlite3_stmt* st, int i, double d) {
    if (!std::isfinite(d)) throw JetError::make(err::kOverflow);
    bindOrThrow(st, sqlite3_bind_double(st, i, d));
}

// A literal's text as a Value of its own kind.
Value literalValue(const jetsql::Literal& lit) {
    switch (lit.kind) {
        case Tok::Integer:
            return Value(static_cast<double>(integerLiteral(lit)));
        case Tok::Float:
            return Value(floatLiteral(lit));
        case Tok::DateLit:
            return Value(Date::parse(lit.text));
        default:
            return Value(lit.text);
    }
}

void bindConverted(sqlite3_stmt* st, int i, const Value& v, Conv conv) {
    if (v.isNull()) {
        bindOrThrow(st, sqlite3_bind_null(st, i));
        return;
    }
    switch (conv) {
        case Conv::Currency:
            bindOrThrow(st, sqlite3_bind_int64(st, i, v.toCurrency().raw()));
            return;
        case Conv::Date:
            bindOrThrow(st, sqlite3_bind_int64(st, i, v.toDate().seconds()));
            return;
        case Conv::Double:
            bindDouble(st, i, v.toDouble());
            return;
        case Conv::Long:
            bindOrThrow(st, sqlite3_bind_int64(st, i, v.toInt64()));
            return;
        case Conv::Boolean:
            bindOrThrow(st, sqlite3_bind_int(st, i, v.toBool() ? -1 : 0));
            return;
        case Conv::Text:
            bindText(st, i, v.toString());
            return;
        case Conv::None:
            break;
    }
    switch (v.type()) {
        case VarType::Boolean:
            bindOrThrow(st, sqlite3_bind_int(st, i, v.toBool() ? -1 : 0));
            return;
        case VarType::Byte:
        case VarType::Integer:
        case VarType::Long:
            bindOrThrow(st, sqlite3_bind_int64(st, i, v.toInt64()));
            return;
        case VarType::Date:
            bindOrThrow(st, sqlite3_bind_int64(st, i, v.toDate().seconds()));
            return;
        case VarType::String:
            bindText(st, i, v.toString());
            return;
        default:
            bindDouble(st, i, v.toDouble());
            return;
    }
}

// Literals bind straight from their text where no conversion is asked: the hot path.
void bindLiteral(sqlite3_stmt* st, int i, const jetsql::Literal& lit, Conv conv) {
    if (conv == Conv::None || (conv == Conv::Text && lit.kind == Tok::String)) {
        switch (lit.kind) {
            case Tok::Integer:
                bindOrThrow(st, sqlite3_bind_int64(st, i, integerLiteral(lit)));
                return;
            case Tok::Float:
                bindDouble(st, i, floatLiteral(lit));
                return;
            case Tok::String:
                bindText(st, i, lit.text);
                return;
            default:
                break;
        }
    }
    if (conv == Conv::Currency && (lit.kind == Tok::Integer || lit.kind == Tok::Float)) {
        bindOrThrow(st, sqlite3_bind_int64(st, i, Currency::parse(lit.text).raw()));
        return;
    }
    bindConverted(st, i, literalValue(lit), conv == Conv::None ? Conv::Date : conv);
}

}  // namespace

void BindSlots(sqlite3_stmt* st, const Translation& tr, const std::vector<jetsql::Literal>& lits,
               const ParamValues* params) {
    int missing = 0;
    // A literal that picks an ORDER BY column is part of the text, not a value to bind.
    const int bindable = sqlite3_bind_parameter_count(st);
    for (size_t s = 0; s < tr.slots.size(); ++s) {
        const Slot& slot = tr.slots[s];
        int idx = static_cast<int>(s + 1);
        if (idx > bindable && slot.kind != Slot::Kind::Param) continue;
        try {
            switch (slot.kind) {
                case Slot::Kind::Literal:
                    bindLiteral(st, idx, lits[static_cast<size_t>(slot.literal)], slot.conv);
                    break;
                case Slot::Kind::Constant:
                    bindLiteral(st, idx, slot.constant, slot.conv);
                    break;
                case Slot::Kind::Param: {
                    auto it = params ? params->find(slot.param) : ParamValues::const_iterator();
                    if (!params || it == params->end()) {
                        ++missing;
                        break;
                    }
                    bindConverted(st, idx, it->second, slot.conv);
                    break;
                }
            }
        } catch (const JetError& e) {
            const jetsql::Literal* lit = slot.kind == Slot::Kind::Literal
                                             ? &lits[static_cast<size_t>(slot.literal)]
                                         : slot.kind == Slot::Kind::Constant ? &slot.constant
                                                                             : nullptr;
            throw SlotError(e, lit, tr.kind);
        }
    }
    if (missing) throw JetError::make(err::kTooFewParameters, std::to_string(missing));
}

// A stored value that does not fit the column's declared type (written by another tool, or
// before writes were checked) is shown as it is, in a wider type, never cut to fit.
Value ReadColumn(sqlite3_stmt* st, int col, JType type) {
    int storage = sqlite3_column_type(st, col);
    if (storage == SQLITE_NULL) return Value();
    auto asText = [&]() {
        const unsigned char* t = sqlite3_column_text(st, col);
        return std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(st, col)));
    };
    // The whole number the stored value is, if it is one.
    int64_t n = 0;
    auto whole = [&]() {
        if (storage == SQLITE_INTEGER) {
            n = sqlite3_column_int64(st, col);
            return true;
        }
        if (storage != SQLITE_FLOAT) return false;
        double d = sqlite3_column_double(st, col);
        if (!(d >= -0x1p63 && d < 0x1p63) || d != std::trunc(d)) return false;
        n = static_cast<int64_t>(d);
        return true;
    };
    const bool number = storage == SQLITE_INTEGER || storage == SQLITE_FLOAT;
    try {
        switch (type) {
            case JType::Boolean:
                if (storage == SQLITE_TEXT) return Value(Value(asText()).toBool());
                return Value(sqlite3_column_double(st, col) != 0);
            case JType::Byte:
                if (whole() && n >= 0 && n <= UINT8_MAX) return Value(static_cast<uint8_t>(n));
                break;
            case JType::Integer:
                if (whole() && n >= INT16_MIN && n <= INT16_MAX)
                    return Value(static_cast<int16_t>(n));
                break;
            case JType::Long:
                if (whole() && n >= INT32_MIN && n <= INT32_MAX)
                    return Value(static_cast<int32_t>(n));
                break;
            case JType::Single:
                if (number && std::fabs(sqlite3_column_double(st, col)) <= FLT_MAX)
                    return Value(static_cast<float>(sqlite3_column_double(st, col)));
                break;
            case JType::Double:
                if (number) return Value(sqlite3_column_double(st, col));
                break;
            case JType::Currency:
                if (storage == SQLITE_TEXT) return Value(Currency::parse(asText()));
                if (whole()) return Value(Currency::fromRaw(n));
                break;
            case JType::Date:
                if (storage == SQLITE_TEXT) return Value(Date::parse(asText()));
                if (whole()) return Value(Date::fromSeconds(n));
                break;
            case JType::Text:
            case JType::Memo:
                return Value(asText());
            default:
                break;
        }
    } catch (const JetError&) {
        // Text that does not read as the declared type: shown as the text it is.
    }
    switch (storage) {
        case SQLITE_INTEGER: {
            int64_t v = sqlite3_column_int64(st, col);
            if (v >= INT32_MIN && v <= INT32_MAX) return Value(static_cast<int32_t>(v));
            return Value(static_cast<double>(v));
        }
        case SQLITE_FLOAT:
            return Value(sqlite3_column_double(st, col));
        default:
            return Value(asText());
    }
}

void BindValue(sqlite3_stmt* st, int index, const Value& v, const ColumnInfo& col) {
    if (v.isNull()) {
        if (col.notNull && !col.counter) throw JetError::make(err::kFieldRequired, col.name);
        bindOrThrow(st, sqlite3_bind_null(st, index));
        return;
    }
    try {
        switch (col.type) {
            case JType::Boolean:
                bindOrThrow(st, sqlite3_bind_int(st, index, v.toBool() ? -1 : 0));
                return;
            case JType::Byte: {
                int64_t x = v.toInt64();
                if (x < 0 || x > 255) throw JetError::make(err::kOverflow);
                bindOrThrow(st, sqlite3_bind_int64(st, index, x));
                return;
            }
            case JType::Integer:
                bindOrThrow(st, sqlite3_bind_int64(st, index, v.toInteger()));
                return;
            case JType::Long:
                bindOrThrow(st, sqlite3_bind_int64(st, index, v.toLong()));
                return;
            case JType::Single:
            case JType::Double: {
                double d = v.toDouble();
                if (!(std::fabs(d) <= (col.type == JType::Single ? FLT_MAX : DBL_MAX)))
                    throw JetError::make(err::kOverflow);
                bindDouble(st, index, d);
                return;
            }
            case JType::Currency:
                bindOrThrow(st, sqlite3_bind_int64(st, index, v.toCurrency().raw()));
                return;
            case JType::Date:
                bindOrThrow(st, sqlite3_bind_int64(st, index, v.toDate().seconds()));
                return;
            case JType::Text: {
                std::string s = v.toString();
                if (!TextFits(col, s)) throw JetError::make(err::kFieldTooSmall);
                bindText(st, index, s);
                return;
            }
            case JType::Memo:
                bindText(st, index, v.toString());
                return;
            default:
                bindConverted(st, index, v, Conv::None);
                return;
        }
    } catch (const JetError& e) {
        if (e.number() == err::kTypeMismatch) throw JetError::make(err::kDataTypeConversion);
        // Out of the column's range: refused, never stored wrapped.
        if (e.number() == err::kOverflow && jetsql::IsNumeric(col.type))
            throw JetError::make(err::kNumericFieldOverflow);
        throw;
    }
}

}  // namespace kelvor::sqlite
