#include "engine/storage.h"

namespace kelvor::engine {

namespace {
// Idle cursors kept per statement shape: as many as a caller holds open at once when it opens a
// batch of lookups of one shape before reading them (the queue update opens 64), so that the
// next batch finds them prepared.
constexpr size_t kMaxIdle = 64;
}  // namespace

void Lease::release() {
    if (!cursor_) return;
    cursor_->reset();
    auto& pool = fetch_ ? entry_->idleFetch : entry_->idle;
    if (!entry_->dead && pool.size() < kMaxIdle) pool.push_back(std::move(cursor_));
    cursor_.reset();
    entry_.reset();
}

Lease Connection::lease(const std::shared_ptr<CacheEntry>& e, bool fetch) {
    checkUsable();
    auto& pool = fetch ? e->idleFetch : e->idle;
    if (!pool.empty()) {
        std::unique_ptr<Cursor> c = std::move(pool.back());
        pool.pop_back();
        return Lease(e, std::move(c), fetch);
    }
    return Lease(e, prepare(*e, fetch), fetch);
}

void Connection::invalidate() {
    for (auto& [key, e] : cache_) {
        e->idle.clear();
        e->idleFetch.clear();
        e->dead = true;
    }
    cache_.clear();
    invalidated();
}

}  // namespace kelvor::engine
