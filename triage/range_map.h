// "Which range holds this address", asked of a dump's memory, its modules, a module
// file's functions and exports: entries kept sorted by start, overlaps dropped once, then
// found by binary search. An entry's extent comes from the type itself (Extent below), so
// each kind of entry says once what its range is.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace triage {

// A half-open range [start, end).
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// The range of `size` bytes at `start`; empty when it would wrap around.
constexpr Span SpanOf(std::uint64_t start, std::uint64_t size) {
  return size <= UINT64_MAX - start ? Span{start, start + size} : Span{start, start};
}

template <typename T>
class RangeMap {
 public:
  RangeMap() = default;
  // Sorts by start and drops every entry that is empty, wraps around the address space or
  // overlaps one kept before it. Two entries that claim one address say two different
  // things of it (a hostile or damaged list): the one that starts first stays, and of two
  // that start together the one given first.
  explicit RangeMap(std::vector<T> entries) : entries_(std::move(entries)) {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const T& a, const T& b) { return Extent(a).start < Extent(b).start; });
    std::size_t kept = 0;
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Span s = Extent(entries_[i]);
      if (s.end <= s.start || (kept > 0 && s.start < end)) continue;
      end = s.end;
      if (kept != i) entries_[kept] = std::move(entries_[i]);
      ++kept;
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
  }

  // The entry whose range holds `address`, or null.
  const T* Holding(std::uint64_t address) const {
    const T* e = Floor(address);
    return e != nullptr && address < Extent(*e).end ? e : nullptr;
  }
  // The last entry that starts at or below `address`, or null.
  const T* Floor(std::uint64_t address) const {
    auto it = std::upper_bound(entries_.begin(), entries_.end(), address,
                               [](std::uint64_t value, const T& e) { return value < Extent(e).start; });
    return it == entries_.begin() ? nullptr : &*std::prev(it);
  }
  const std::vector<T>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<T> entries_;
};

}  // namespace triage
