// The full check of a database file that compaction and restore make before a copy takes the
// place of the only other copy of the data. It finds what PRAGMA integrity_check finds, in a
// fraction of the time, and on two cores:
// - PRAGMA quick_check: the structure of every b-tree, every page used exactly once, the free
//   list, NOT NULL and CHECK constraints;
// - every record of every table decoded to its last column;
// - every index against its table. integrity_check looks each row up in each index, a b-tree
//   descent per row and index, which on a large table costs more than the copy itself. Here
//   each side is read once, in the order it is stored: the table's rows give the multiset of
//   (key columns, rowid) tuples each index must hold, summed as 128 bits of hash; the index,
//   read in its own order, must give the same sum, and each of its entries must sort after the
//   one before (by its columns' collations and directions, then rowid), with no two equal keys
//   in a UNIQUE index. The same entries in the right order are the index SQLite would build.
// A table this cannot read that way (without rowid, virtual, with a partial or expression
// index, an unknown collation) gets integrity_check of its own.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvor/jet_error.h"
#include "sqlite/catalog.h"
#include "sqlite/collation.h"
#include "sqlite/compact.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

namespace {

using dialect::QuoteIdent;

uint64_t mix(uint64_t x) {  // splitmix64's finalizer
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

uint64_t hashBytes(uint64_t h, const unsigned char* p, size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        h = mix(h ^ chunk);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    return mix(h ^ tail ^ (uint64_t{n} << 56));
}

uint64_t hashTuple(int argc, sqlite3_value** argv, int first) {
    uint64_t h = 0x6a09e667f3bcc908ull;
    for (int i = first; i < argc; ++i) {
        int type = sqlite3_value_type(argv[i]);
        h = mix(h ^ static_cast<uint64_t>(type));
        switch (type) {
            case SQLITE_INTEGER:
                h = mix(h ^ static_cast<uint64_t>(sqlite3_value_int64(argv[i])));
                break;
            case SQLITE_FLOAT: {
                double d = sqlite3_value_double(argv[i]);
                uint64_t bits;
                std::memcpy(&bits, &d, 8);
                h = mix(h ^ bits);
                break;
            }
            case SQLITE_TEXT: {
                const unsigned char* t = sqlite3_value_text(argv[i]);
                h = hashBytes(h, t, static_cast<size_t>(sqlite3_value_bytes(argv[i])));
                break;
            }
            case SQLITE_BLOB: {
                auto* b = static_cast<const unsigned char*>(sqlite3_value_blob(argv[i]));
                h = hashBytes(h, b, static_cast<size_t>(sqlite3_value_bytes(argv[i])));
                break;
            }
            default:
                break;
        }
    }
    return h;
}

struct Sum {
    uint64_t count = 0, a = 0, b = 0;
    void add(uint64_t h) {
        ++count;
        a += h;
        b += mix(h + 0x9e3779b97f4a7c15ull);
    }
    std::string text() const {
        return std::to_string(count) + ":" + std::to_string(a) + ":" + std::to_string(b);
    }
};

// kv_tuples(c1, ..., cN, rowid): the sum of the tuples of a table's rows for one index.
void tuplesStep(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* s = static_cast<Sum*>(sqlite3_aggregate_context(ctx, sizeof(Sum)));
    if (s) s->add(hashTuple(argc, argv, 0));
}
void sumFinal(sqlite3_context* ctx) {
    auto* s = static_cast<Sum*>(sqlite3_aggregate_context(ctx, 0));
    std::string t = s ? s->text() : Sum().text();
    sqlite3_result_text(ctx, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
}

// How an index orders one key column.
struct KeyColumn {
    // NoCase: SQLite's own, ASCII letters folded. Text: the file is marked as ordering NOCASE
    // for every letter.
    enum class Coll { Binary, NoCase, Text, RTrim } coll = Coll::Binary;
    bool desc = false;
};

// One key value, as the entry before the current one holds it: kept in buffers that are reused
// from entry to entry, since an index scan compares every entry with the one before.
struct Cell {
    int type = SQLITE_NULL;
    int64_t i = 0;
    double d = 0;
    std::string bytes;
    void set(sqlite3_value* v) {
        type = sqlite3_value_type(v);
        if (type == SQLITE_INTEGER) i = sqlite3_value_int64(v);
        if (type == SQLITE_FLOAT) d = sqlite3_value_double(v);
        if (type == SQLITE_TEXT) {
            bytes.assign(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                         static_cast<size_t>(sqlite3_value_bytes(v)));
        } else if (type == SQLITE_BLOB) {
            bytes.assign(static_cast<const char*>(sqlite3_value_blob(v)),
                         static_cast<size_t>(sqlite3_value_bytes(v)));
        }
    }
};

int compareBytes(const unsigned char* a, size_t na, const unsigned char* b, size_t nb) {
    int r = std::memcmp(a, b, std::min(na, nb));
    return r != 0 ? r : (na < nb ? -1 : na > nb ? 1 : 0);
}

int compareText(const std::string& x, sqlite3_value* y, KeyColumn::Coll coll) {
    auto* a = reinterpret_cast<const unsigned char*>(x.data());
    const unsigned char* b = sqlite3_value_text(y);
    size_t na = x.size(), nb = static_cast<size_t>(sqlite3_value_bytes(y));
    switch (coll) {
        case KeyColumn::Coll::NoCase: {
            // As SQLite folds: ASCII letters only.
            size_t n = std::min(na, nb);
            for (size_t k = 0; k < n; ++k) {
                int ca = a[k] < 0x80 ? std::tolower(a[k]) : a[k];
                int cb = b[k] < 0x80 ? std::tolower(b[k]) : b[k];
                if (ca != cb) return ca - cb;
            }
            return na < nb ? -1 : na > nb ? 1 : 0;
        }
        case KeyColumn::Coll::Text:
            return CompareText({reinterpret_cast<const char*>(a), na},
                               {reinterpret_cast<const char*>(b), nb});
        case KeyColumn::Coll::RTrim:
            while (na > 0 && a[na - 1] == ' ') --na;
            while (nb > 0 && b[nb - 1] == ' ') --nb;
            return compareBytes(a, na, b, nb);
        case KeyColumn::Coll::Binary:
            break;
    }
    return compareBytes(a, na, b, nb);
}

int compareIntFloat(int64_t i, double d) {
    if (d < -9223372036854775808.0) return 1;
    if (d >= 9223372036854775808.0) return -1;
    double di = static_cast<double>(i);
    if (di < d) return -1;
    if (di > d) return 1;
    auto t = static_cast<int64_t>(d);
    return i < t ? -1 : i > t ? 1 : 0;
}

// SQLite's order of values: Null, then numbers, then text, then blobs.
int compareValues(const Cell& x, sqlite3_value* y, KeyColumn::Coll coll) {
    auto rank = [](int t) {
        return t == SQLITE_NULL ? 0 : t == SQLITE_TEXT ? 2 : t == SQLITE_BLOB ? 3 : 1;
    };
    int ty = sqlite3_value_type(y);
    if (rank(x.type) != rank(ty)) return rank(x.type) - rank(ty);
    switch (rank(ty)) {
        case 0:
            return 0;
        case 1:
            if (x.type == SQLITE_INTEGER && ty == SQLITE_INTEGER) {
                int64_t b = sqlite3_value_int64(y);
                return x.i < b ? -1 : x.i > b ? 1 : 0;
            }
            if (x.type == SQLITE_INTEGER) return compareIntFloat(x.i, sqlite3_value_double(y));
            if (ty == SQLITE_INTEGER) return -compareIntFloat(sqlite3_value_int64(y), x.d);
            {
                double b = sqlite3_value_double(y);
                return x.d < b ? -1 : x.d > b ? 1 : 0;
            }
        case 2:
            return compareText(x.bytes, y, coll);
        default:
            return compareBytes(reinterpret_cast<const unsigned char*>(x.bytes.data()),
                                x.bytes.size(),
                                static_cast<const unsigned char*>(sqlite3_value_blob(y)),
                                static_cast<size_t>(sqlite3_value_bytes(y)));
    }
}

struct IndexOrder {
    std::vector<KeyColumn> keys;
    bool unique = false;
};

// The state of kv_entries() over one index: the sum so far and the entry before.
struct IndexScan {
    const IndexOrder* order = nullptr;
    Sum sum;
    bool first = true;
    std::vector<Cell> prev;
};

// kv_entries(c1, ..., cK, rowid), over an index read in its own order: the same sum as
// kv_tuples, or an error when an entry does not sort after the one before it.
void entriesStep(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* scan = static_cast<IndexScan*>(sqlite3_user_data(ctx));
    const auto& keys = scan->order->keys;
    if (argc != static_cast<int>(keys.size()) + 1) {
        sqlite3_result_error(ctx, "index columns", -1);
        return;
    }
    if (!scan->first) {
        int c = 0;
        bool anyNull = false;
        for (size_t k = 0; k < keys.size() && c == 0; ++k) {
            c = compareValues(scan->prev[k], argv[k], keys[k].coll);
            if (keys[k].desc) c = -c;
            anyNull = anyNull || sqlite3_value_type(argv[k]) == SQLITE_NULL;
        }
        if (c == 0 && scan->order->unique && !anyNull) c = 1;  // two rows with one key
        if (c == 0)
            c = compareValues(scan->prev[keys.size()], argv[keys.size()], KeyColumn::Coll::Binary);
        if (c >= 0) {
            sqlite3_result_error(ctx, "index out of order", -1);
            return;
        }
    }
    scan->first = false;
    scan->prev.resize(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) scan->prev[static_cast<size_t>(i)].set(argv[i]);
    scan->sum.add(hashTuple(argc, argv, 0));
}
void entriesFinal(sqlite3_context* ctx) {
    auto* scan = static_cast<IndexScan*>(sqlite3_user_data(ctx));
    std::string t = scan->sum.text();
    sqlite3_result_text(ctx, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
}

struct Index {
    std::string name;
    IndexOrder order;
    std::vector<std::string> columns;  // key columns, quoted
};

struct Table {
    std::string name;
    std::string rowid;  // how SQL names the row's identity
    std::string lastColumn;
    std::vector<Index> indexes;
    bool own = true;  // false: integrity_check of its own
};

// The tables of the file and how to check each.
std::vector<Table> plan(sqlite3* db, const std::string& path) {
    std::vector<Table> out;
    std::vector<std::pair<std::string, std::string>> tables;
    const auto nocase = HasTextOrder(db, "main") ? KeyColumn::Coll::Text : KeyColumn::Coll::NoCase;
    {
        Stmt st(db, "SELECT name, sql FROM sqlite_schema WHERE type = 'table'", path);
        while (st.step()) tables.emplace_back(st.text(0), st.text(1));
    }
    for (const auto& [name, sql] : tables) {
        Table t;
        t.name = name;
        std::vector<std::string> cols;
        {
            Stmt st(db, "SELECT name FROM pragma_table_info(" + dialect::QuoteText(name) + ")",
                    path);
            while (st.step()) cols.push_back(st.text(0));
        }
        auto taken = [&](const char* id) {
            for (const auto& c : cols)
                if (EqualNoCase(c, id)) return true;
            return false;
        };
        for (const char* id : {"rowid", "_rowid_", "oid"})
            if (t.rowid.empty() && !taken(id)) t.rowid = id;
        bool virtualTable = sql.compare(0, 14, "CREATE VIRTUAL") == 0;
        sqlite3_stmt* probe = nullptr;
        bool hasRowid =
            !t.rowid.empty() && !virtualTable &&
            sqlite3_prepare_v2(
                db, ("SELECT " + t.rowid + " FROM " + QuoteIdent(name) + " LIMIT 0").c_str(), -1,
                &probe, nullptr) == SQLITE_OK;
        sqlite3_finalize(probe);
        if (virtualTable) continue;  // no b-tree of its own: nothing on disk to check
        if (!hasRowid || cols.empty()) {
            t.own = false;
            out.push_back(std::move(t));
            continue;
        }
        t.lastColumn = QuoteIdent(cols.back());
        std::vector<std::pair<std::string, bool>> indexes;  // name, unique
        {
            Stmt st(db,
                    "SELECT name, \"unique\", partial FROM pragma_index_list(" +
                        dialect::QuoteText(name) + ")",
                    path);
            while (st.step()) {
                if (st.integer(2) != 0) t.own = false;
                indexes.emplace_back(st.text(0), st.integer(1) != 0);
            }
        }
        for (const auto& [ix, unique] : indexes) {
            Index index;
            index.name = ix;
            index.order.unique = unique;
            Stmt st(db,
                    "SELECT cid, name, \"desc\", coll FROM pragma_index_xinfo(" +
                        dialect::QuoteText(ix) + ") WHERE key",
                    path);
            while (st.step()) {
                if (st.integer(0) < 0) t.own = false;  // an expression
                KeyColumn k;
                k.desc = st.integer(2) != 0;
                std::string coll = st.text(3);
                if (EqualNoCase(coll, "NOCASE")) {
                    k.coll = nocase;
                } else if (EqualNoCase(coll, "RTRIM")) {
                    k.coll = KeyColumn::Coll::RTrim;
                } else if (!EqualNoCase(coll, "BINARY")) {
                    t.own = false;
                }
                index.order.keys.push_back(k);
                index.columns.push_back(QuoteIdent(st.text(1)));
            }
            t.indexes.push_back(std::move(index));
        }
        out.push_back(std::move(t));
    }
    return out;
}

bool sound(sqlite3* db, const std::string& sql, const std::string& path) {
    Stmt check(db, sql, path);
    return check.step() && check.text(0) == "ok";
}

[[noreturn]] void damaged() {
    throw JetError::make(err::kCantRepair);
}

// Two connections on two threads take the tasks in turn; the first failure stops both.
class Tasks {
  public:
    void add(std::function<void(sqlite3*)> f) { tasks_.push_back(std::move(f)); }
    void run(const std::string& path, const std::function<void(size_t, size_t)>& tasksDone) {
        auto worker = [&] {
            try {
                RawConnection c(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
                Exec(c.db, dialect::kCheckPragmas, path);
                sqlite3_create_function(c.db, "kv_tuples", -1, SQLITE_UTF8, nullptr, nullptr,
                                        tuplesStep, sumFinal);
                for (size_t i; !failed_ && (i = next_++) < tasks_.size();) {
                    tasks_[i](c.db);
                    if (!tasksDone) continue;
                    std::lock_guard<std::mutex> lock(reporting_);
                    tasksDone(++done_, tasks_.size());
                }
            } catch (...) {
                std::lock_guard<std::mutex> lock(m_);
                failed_ = true;
                if (!failure_) failure_ = std::current_exception();
            }
        };
        std::thread other(worker);
        worker();
        other.join();
        if (failure_) std::rethrow_exception(failure_);
    }

  private:
    std::vector<std::function<void(sqlite3*)>> tasks_;
    std::atomic<size_t> next_{0};
    std::mutex reporting_;
    size_t done_ = 0;  // under reporting_
    std::atomic<bool> failed_{false};
    std::mutex m_;
    std::exception_ptr failure_;
};

}  // namespace

void CheckDatabase(const std::string& path,
                   const std::function<void(size_t done, size_t total)>& tasksDone) {
    std::vector<Table> tables;
    {
        RawConnection db(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
        tables = plan(db.db, path);
    }
    std::mutex m;
    // What each side found, by table and index: [table][index] = "count:sum:sum".
    std::vector<std::vector<std::string>> fromRows(tables.size()), fromIndexes(tables.size());
    Tasks tasks;
    tasks.add([&](sqlite3* db) {
        if (!sound(db, "PRAGMA quick_check(1)", path)) damaged();
    });
    for (size_t t = 0; t < tables.size(); ++t) {
        const Table& table = tables[t];
        fromRows[t].resize(table.indexes.size());
        fromIndexes[t].resize(table.indexes.size());
        if (!table.own) {
            // A name that reads as a number would be taken for an error limit: the whole file then.
            tasks.add([&, name = table.name](sqlite3* db) {
                bool numeric =
                    !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
                if (!sound(db,
                           numeric ? "PRAGMA integrity_check(1)"
                                   : "PRAGMA integrity_check(" + dialect::QuoteText(name) + ")",
                           path))
                    damaged();
            });
            continue;
        }
        std::string from = QuoteIdent(table.name);
        tasks.add([&, t, from](sqlite3* db) {
            const Table& table = tables[t];
            std::string sql = "SELECT count(" + table.lastColumn + ")";
            for (const Index& ix : table.indexes) {
                sql += ", kv_tuples(";
                for (const auto& c : ix.columns) sql += c + ", ";
                sql += table.rowid + ")";
            }
            Stmt st(db, sql + " FROM " + from + " NOT INDEXED", path);
            if (!st.step()) damaged();
            std::lock_guard<std::mutex> lock(m);
            for (size_t i = 0; i < table.indexes.size(); ++i)
                fromRows[t][i] = st.text(static_cast<int>(i) + 1);
        });
        for (size_t i = 0; i < table.indexes.size(); ++i) {
            tasks.add([&, t, i, from](sqlite3* db) {
                const Table& table = tables[t];
                const Index& ix = table.indexes[i];
                IndexScan scan;
                scan.order = &ix.order;
                sqlite3_create_function(db, "kv_entries", -1, SQLITE_UTF8, &scan, nullptr,
                                        entriesStep, entriesFinal);
                std::string sql = "SELECT kv_entries(";
                for (const auto& c : ix.columns) sql += c + ", ";
                sql += table.rowid + ") FROM " + from + " INDEXED BY " + QuoteIdent(ix.name);
                Stmt st(db, sql, path);
                bool ok = false;
                try {
                    ok = st.step();
                } catch (const JetError&) {
                    damaged();
                }
                if (!ok) damaged();
                std::string got = st.text(0);
                st = Stmt();
                std::lock_guard<std::mutex> lock(m);
                fromIndexes[t][i] = got;
            });
        }
    }
    try {
        tasks.run(path, tasksDone);
    } catch (const JetError& e) {
        if (e.number() == err::kUnrecognizedFormat) damaged();
        throw;
    }
    if (fromRows != fromIndexes) damaged();
}

}  // namespace kelvor::sqlite
