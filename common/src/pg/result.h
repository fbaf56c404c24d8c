// A libpq result that clears itself. Internal to the engine layer.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

namespace kelvor::pg {

// Requests this process has sent to servers and waited for (several statements sent together
// count once): what a network's latency is paid for. Read by the benchmarks.
inline std::atomic<uint64_t>& RoundTrips() {
    static std::atomic<uint64_t> n{0};
    return n;
}

class Result {
  public:
    explicit Result(PGresult* r = nullptr) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result& operator=(Result&& o) noexcept {
        std::swap(r_, o.r_);
        return *this;
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    PGresult* get() const { return r_; }
    bool ok() const {
        auto s = PQresultStatus(r_);
        return s == PGRES_TUPLES_OK || s == PGRES_COMMAND_OK;
    }
    int rows() const { return ok() ? PQntuples(r_) : 0; }
    std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
    std::string sqlState() const {
        const char* s = PQresultErrorField(r_, PG_DIAG_SQLSTATE);
        return s ? s : "";
    }

  private:
    PGresult* r_;
};

}  // namespace kelvor::pg
