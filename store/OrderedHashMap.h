// The object type of the store's JSON values: members stay in insertion order, as in the file,
// and a hash index finds a member by name in constant time, so that reading and changing a file
// of n networks takes time in proportion to n, not n².
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/ordered_map.hpp>

namespace ZKJson {

// nlohmann's ordered_map (a vector of members) with the lookups it runs by linear search
// replaced by a look-up in `index_`, an open-addressing table of member positions at most half
// full. Every operation that adds or removes members keeps the index in step.
template <class Key, class T, class IgnoredLess = std::less<Key>,
          class Allocator = std::allocator<std::pair<const Key, T>>>
class OrderedHashMap : public nlohmann::ordered_map<Key, T, IgnoredLess, Allocator> {
  using Base = nlohmann::ordered_map<Key, T, IgnoredLess, Allocator>;
  using Container = typename Base::Container;

 public:
  using typename Base::const_iterator;
  using typename Base::iterator;
  using typename Base::key_type;
  using typename Base::size_type;
  using typename Base::value_type;

  OrderedHashMap() = default;
  template <class It>
  OrderedHashMap(It first, It last) {
    insert(first, last);
  }
  OrderedHashMap(std::initializer_list<value_type> init)
      : OrderedHashMap(init.begin(), init.end()) {}

  template <class K>
  iterator find(const K& key) {
    return this->begin() + static_cast<std::ptrdiff_t>(position(key));
  }
  template <class K>
  const_iterator find(const K& key) const {
    return this->cbegin() + static_cast<std::ptrdiff_t>(position(key));
  }
  template <class K>
  size_type count(const K& key) const {
    return position(key) != this->size() ? 1 : 0;
  }
  template <class K>
  T& at(const K& key) {
    return Container::at(position(key)).second;  // out_of_range for a name not found
  }
  template <class K>
  const T& at(const K& key) const {
    return Container::at(position(key)).second;
  }
  template <class K>
  T& operator[](K&& key) {
    return emplace(std::forward<K>(key), T{}).first->second;
  }
  template <class K>
  const T& operator[](const K& key) const {
    return at(key);
  }

  // Adds the member unless one with that name exists; the existing one is returned then.
  template <class K, class V>
  std::pair<iterator, bool> emplace(K&& key, V&& value) {
    if (const auto found = find(key); found != this->end()) return {found, false};
    const std::size_t at = this->size();
    Container::emplace_back(std::forward<K>(key), std::forward<V>(value));
    addToIndex(this->back().first, at);
    return {this->begin() + static_cast<std::ptrdiff_t>(at), true};
  }
  std::pair<iterator, bool> insert(value_type&& member) {
    return emplace(member.first, std::move(member.second));
  }
  std::pair<iterator, bool> insert(const value_type& member) {
    return emplace(member.first, member.second);
  }
  template <class It>
  void insert(It first, It last) {
    for (; first != last; ++first) insert(*first);
  }

  // Removing shifts the members behind: the index is built again.
  template <class K>
  size_type erase(const K& key) {
    const auto found = find(key);
    if (found == this->end()) return 0;
    erase(found);
    return 1;
  }
  iterator erase(iterator member) { return erase(member, std::next(member)); }
  iterator erase(iterator first, iterator last) {
    const auto result = Base::erase(first, last);
    reindex();
    return result;
  }
  void clear() noexcept {
    Container::clear();
    index_.clear();
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t member = 0;  // position + 1; 0: an empty slot
  };

  static std::uint32_t hashOf(std::string_view name) {
    const std::size_t hash = std::hash<std::string_view>{}(name);
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
  }

  // The position of the member named `key`, or size() when there is none.
  template <class K>
  std::size_t position(const K& key) const {
    if (index_.empty()) return this->size();
    const std::string_view name(key);
    const std::uint32_t hash = hashOf(name);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t at = hash & mask; index_[at].member != 0; at = (at + 1) & mask) {
      const Slot& slot = index_[at];
      if (slot.hash == hash && Container::operator[](slot.member - 1).first == name) {
        return slot.member - 1;
      }
    }
    return this->size();
  }

  // Records the member at `position`, doubling the table first when it would be over half full.
  void addToIndex(std::string_view name, std::size_t position) {
    if (2 * this->size() > index_.size()) {
      std::vector<Slot> old(std::max<std::size_t>(16, 2 * index_.size()));
      old.swap(index_);
      for (const Slot& slot : old) {
        if (slot.member != 0) place(slot);
      }
    }
    place({hashOf(name), static_cast<std::uint32_t>(position + 1)});
  }

  void place(Slot slot) {
    const std::size_t mask = index_.size() - 1;
    std::size_t at = slot.hash & mask;
    while (index_[at].member != 0) at = (at + 1) & mask;
    index_[at] = slot;
  }

  void reindex() {
    index_.clear();
    for (std::size_t at = 0; at < this->size(); ++at)
      addToIndex(Container::operator[](at).first, at);
  }

  std::vector<Slot> index_;
};

}  // namespace ZKJson
