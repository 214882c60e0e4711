// A least-recently-used map with a loader for misses.
//
// The recency list runs from the least recently used key (front) to the most recently used (back);
// the index maps each key to its value and its node in the list, so a lookup, a store and an eviction
// are each a hash lookup plus a node move: constant time, no copy of the list. A Get of the key that the
// previous Get found, with no change in between, is one comparison of keys.
//
// Invariant: the list and the index hold the same keys, each key once, never more than `capacity`.
// Not thread-safe: CDatabaseCache guards it.

#ifndef FSDB_SUPPORT_LRUCACHE_H_
#define FSDB_SUPPORT_LRUCACHE_H_

#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>
#include <utility>

#include "fsdb/Error.h"

template <class K, class V>
class LRUCache {
 public:
  typedef std::function<CYaError(const K&, V&)> Loader;

  // REQUIRES: capacity > 0.
  LRUCache(unsigned long capacity, Loader loader) : loader_(std::move(loader)), capacity_(capacity) {
    index_.reserve(capacity);
  }

  // A hit sets `value` and makes the key the most recently used. A miss asks the loader: its error is
  // returned (nothing stored), its value is stored as by Put.
  CYaError Get(const K& key, V& value) {
    if (lastHit_ != nullptr && lastHit_->first == key) {
      value = lastHit_->second.first;  // the most recently used already: nothing to move
      return CYaError::Success();
    }
    auto found = index_.find(key);
    if (found != index_.end()) {
      recency_.splice(recency_.end(), recency_, found->second.second);
      value = found->second.first;
      lastHit_ = &*found;
      return CYaError::Success();
    }
    CYaError error = loader_(key, value);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    insert(key, value);
    return CYaError::Success();
  }

  // Stores the pair. A key already present keeps its one node: its value is replaced and it becomes
  // the most recently used.
  CYaError Put(const K& key, V& value) {
    insert(key, value);
    return CYaError::Success();
  }

  // Removes every key for which `predicate(key)` is true; the number removed. Linear in the size.
  template <class Predicate>
  size_t RemoveIf(Predicate predicate) {
    lastHit_ = nullptr;
    size_t removed = 0;
    for (auto it = recency_.begin(); it != recency_.end();) {
      if (predicate(*it)) {
        index_.erase(*it);
        it = recency_.erase(it);
        ++removed;
      } else {
        ++it;
      }
    }
    return removed;
  }

  void Clear() {
    lastHit_ = nullptr;
    index_.clear();
    recency_.clear();
  }

  size_t Size() const { return index_.size(); }
  bool Contains(const K& key) const { return index_.count(key) != 0; }

 private:
  void insert(const K& key, V value) {
    lastHit_ = nullptr;  // another key may become the most recently used, or the last hit be evicted
    auto found = index_.find(key);
    if (found != index_.end()) {
      found->second.first = value;
      recency_.splice(recency_.end(), recency_, found->second.second);
      return;
    }
    if (index_.size() >= capacity_)
      evict();
    recency_.push_back(key);
    index_.emplace(key, std::make_pair(value, std::prev(recency_.end())));
  }

  void evict() {
    if (recency_.empty())
      return;
    index_.erase(recency_.front());
    recency_.pop_front();
  }

  typedef std::unordered_map<K, std::pair<V, typename std::list<K>::iterator>> Index;

  std::list<K> recency_;
  Index index_;
  // The entry the last Get found, as long as nothing else has changed the cache since: it is then the
  // most recently used, and a Get of the same key again (the folder of file after file) needs neither
  // a hash nor a move. Null otherwise. A node of the map stays where it is until it is erased.
  typename Index::value_type* lastHit_ = nullptr;
  Loader loader_;
  uint64_t capacity_;
};

#endif  // FSDB_SUPPORT_LRUCACHE_H_
