#include "engine/storage.h"

namespace kelvor::engine {

void Lease::release() {
    if (!cursor_) return;
    cursor_->reset();
    auto& pool = fetch_ ? entry_->idleFetch : entry_->idle;
    if (!entry_->dead && pool.size() < 4) pool.push_back(std::move(cursor_));
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
}

}  // namespace kelvor::engine
