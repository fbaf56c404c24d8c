#include "sqlite/statement.h"

#include <cstdlib>
#include <cstring>

#include "kelvor/jet_error.h"
#include "sqlite/functions.h"

namespace kelvor::sqlite {

namespace {

// "NOT NULL constraint failed: tbl.col" -> "tbl.col"
std::string afterColon(const char* msg) {
    std::string m(msg ? msg : "");
    auto p = m.rfind(": ");
    return p == std::string::npos ? m : m.substr(p + 2);
}

}  // namespace

JetError SqliteError(sqlite3* db, int rc, std::string_view path) {
    const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    int ext = db ? sqlite3_extended_errcode(db) : rc;
    std::string p(path);
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            return JetError::make(err::kUnrecognizedFormat, p);
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return JetError::make(err::kCouldNotUpdateLocked);
        case SQLITE_READONLY:
            return JetError::make(err::kReadOnly);
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return JetError::make(err::kCantOpenFile, p);
        case SQLITE_FULL:
            return JetError::make(err::kDiskFull);
        case SQLITE_IOERR:
            return JetError::make(err::kDiskError);
        case SQLITE_NOMEM:
            return JetError::make(err::kOutOfMemory);
        case SQLITE_TOOBIG:
            return JetError::make(err::kFieldTooSmall);
        case SQLITE_MISMATCH:
            return JetError::make(err::kDataTypeMismatch);
        case SQLITE_CONSTRAINT:
            if (ext == SQLITE_CONSTRAINT_NOTNULL)
                return JetError::make(err::kFieldRequired, afterColon(msg));
            if (ext == SQLITE_CONSTRAINT_CHECK) return JetError::make(err::kFieldTooSmall);
            return JetError::make(err::kDuplicateKey);
        default:
            break;
    }
    std::string m = msg ? msg : "";
    if (m.rfind("no such table: ", 0) == 0)
        return JetError::make(err::kInputTableNotFound, afterColon(msg));
    if (m.find("too many attached databases") != std::string::npos)
        return JetError::make(err::kTooManyDatabases);
    if (m == JetError::messageFor(err::kNumericFieldOverflow))  // from functions.cpp
        return JetError::make(err::kNumericFieldOverflow);
    if (m.rfind(kRuntimeErrorPrefix, 0) == 0)  // from functions.cpp
        return JetError::make(std::atoi(m.c_str() + std::strlen(kRuntimeErrorPrefix)));
    if (m == "integer overflow") return JetError::make(err::kOverflow);  // a sum of money
    // SQLite's own limits on a statement's nesting and size.
    for (const char* limit : {"parser stack overflow", "Expression tree is too large",
                              "too many SQL variables", "too many terms in compound SELECT"})
        if (m.find(limit) != std::string::npos) return JetError::make(err::kQueryTooComplex);
    return JetError(err::kSyntaxError, "Database engine error: " + m);
}

void ThrowSqlite(sqlite3* db, int rc, std::string_view path) {
    JetError e = SqliteError(db, rc, path);
    if (db) NoteFailure(db, rc, e);
    throw e;
}

int BusyTimeoutMs() {
    if (const char* v = std::getenv("KELVOR_BUSY_TIMEOUT_MS")) {
        int ms = std::atoi(v);
        if (ms >= 0) return ms;
    }
    return 5000;
}

void Exec(sqlite3* db, const std::string& sql, std::string_view path) {
    char* errmsg = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &errmsg);
    sqlite3_free(errmsg);
    if (rc != SQLITE_OK) ThrowSqlite(db, rc, path);
}

Stmt::Stmt(sqlite3* db, const std::string& sql, std::string_view path) : db_(db) {
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(db, rc, path);
}

Stmt::~Stmt() {
    if (st_) sqlite3_finalize(st_);
}

Stmt& Stmt::operator=(Stmt&& o) noexcept {
    if (this != &o) {
        if (st_) sqlite3_finalize(st_);
        db_ = o.db_;
        st_ = o.st_;
        o.st_ = nullptr;
    }
    return *this;
}

bool Stmt::step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    ThrowSqlite(db_, rc);
}

void Stmt::reset() {
    sqlite3_reset(st_);
}

std::string Stmt::text(int col) const {
    const unsigned char* t = sqlite3_column_text(st_, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(st_, col)))
             : std::string();
}

}  // namespace kelvor::sqlite
