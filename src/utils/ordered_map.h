// A hash-indexed map that iterates in insertion order. Inserting a key that is
// already present replaces the value and keeps the key's first position.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pellumo {

template <class K, class V, class Hash = std::hash<K>>
class OrderedMap {
 public:
  using value_type = std::pair<K, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  // Returns a reference to the stored value.
  V& insert_or_assign(K key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      entries_[it->second].second = std::move(value);
      return entries_[it->second].second;
    }
    index_.emplace(key, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
    return entries_.back().second;
  }

  const V* find(const K& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  V* find(const K& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  bool contains(const K& key) const { return index_.count(key) != 0; }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t n) {
    entries_.reserve(n);
    index_.reserve(n);
  }

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const value_type& operator[](std::size_t i) const { return entries_[i]; }
  value_type& operator[](std::size_t i) { return entries_[i]; }

 private:
  std::vector<value_type> entries_;
  std::unordered_map<K, std::size_t, Hash> index_;
};

}  // namespace pellumo
