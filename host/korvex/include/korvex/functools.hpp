// Least-recently-used result cache. Owned by the object whose calls it caches; not thread-safe
// (the engine runs on one thread).
#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>
#include <utility>

#include "korvex/errors.hpp"

namespace korvex {

template <class Key, class Value, class Hash = std::hash<Key>>
class LruCache {
public:
    // A cache of no entries would hand out what it has just evicted: refused.
    explicit LruCache(std::size_t capacity) : capacity_(capacity) {
        if (capacity == 0) throw ValueError("LruCache capacity must be at least 1, got 0");
        index_.reserve(capacity + 1);
    }

    // The cached value for key, computing and storing it with make() on a miss. A make() that
    // throws leaves the cache unchanged.
    template <class Make>
    const Value& get_or_compute(const Key& key, Make&& make) {
        if (auto it = index_.find(key); it != index_.end()) {
            order_.splice(order_.begin(), order_, it->second);
            ++hits_;
            return it->second->second;
        }
        ++misses_;
        Value value = make();
        order_.emplace_front(key, std::move(value));
        index_.emplace(key, order_.begin());
        if (order_.size() > capacity_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
        return order_.front().second;
    }

    const Value* peek(const Key& key) const {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    bool contains(const Key& key) const { return index_.count(key) != 0; }
    std::size_t size() const { return order_.size(); }
    std::size_t capacity() const { return capacity_; }
    std::size_t hits() const { return hits_; }
    std::size_t misses() const { return misses_; }
    void clear() {
        order_.clear();
        index_.clear();
    }

private:
    using Entry = std::pair<Key, Value>;
    std::size_t capacity_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<Key, typename std::list<Entry>::iterator, Hash> index_;
    std::size_t hits_ = 0;
    std::size_t misses_ = 0;
};

}  // namespace korvex
