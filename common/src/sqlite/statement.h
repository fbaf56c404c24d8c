// A prepared SQLite statement with the layer's error mapping. Internal to the SQLite engine.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "kelvor/jet_error.h"

namespace kelvor::sqlite {

// Turns a SQLite failure into the engine's error. `path` names the database file concerned
// when the caller knows it (for "Unrecognized database format").
[[noreturn]] void ThrowSqlite(sqlite3* db, int rc, std::string_view path = {});
JetError SqliteError(sqlite3* db, int rc, std::string_view path = {});

// Told of every failure on a connection's handle before it is thrown, so that a transaction
// the storage ended on its own is known to have failed (see connection.cpp).
void NoteFailure(sqlite3* db, int rc, const JetError& error);

// How long a connection waits for another's lock on a file before it gives up with 3218:
// KELVOR_BUSY_TIMEOUT_MS, or 5000.
int BusyTimeoutMs();

// Runs one or more statements without results. Throws JetError.
void Exec(sqlite3* db, const std::string& sql, std::string_view path = {});

class Stmt {
  public:
    Stmt() = default;
    Stmt(sqlite3* db, const std::string& sql, std::string_view path = {});
    ~Stmt();
    Stmt(Stmt&& o) noexcept : db_(o.db_), st_(o.st_) { o.st_ = nullptr; }
    Stmt& operator=(Stmt&& o) noexcept;
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool step();  // true while a row is available
    void reset();
    sqlite3_stmt* get() const { return st_; }
    std::string text(int col) const;
    int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
    bool isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* st_ = nullptr;
};

}  // namespace kelvor::sqlite
