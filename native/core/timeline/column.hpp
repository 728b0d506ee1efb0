#pragma once
// Storage for per-row data: the calendar's columns and period ids, and the blocks' results and
// row lookups. Their blocks are recycled: a freed block of a few kilobytes or more is kept (up
// to a bounded total) and handed out again, because on a fresh allocation the first touch of
// each page costs more than computing a whole column.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

namespace ostrel::core::timeline {

namespace recycle {
// A block of at least `bytes`, recycled when one of a close size is kept.
void* take(std::size_t bytes);
void give(void* block, std::size_t bytes) noexcept;
// Bytes currently kept for reuse.
std::size_t kept_bytes() noexcept;
}  // namespace recycle

template <typename T>
struct Recycling {
  using value_type = T;
  Recycling() = default;
  template <typename U>
  Recycling(const Recycling<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(recycle::take(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { recycle::give(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const Recycling<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using Column = std::vector<T, Recycling<T>>;

// What a vector's range constructor reads to make f(0), f(1) ...: a count, then each value.
template <typename T, typename F>
struct Generating {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = const T*;
  using reference = T;
  std::size_t i;
  const F* f;
  T operator*() const { return (*f)(i); }
  Generating& operator++() {
    ++i;
    return *this;
  }
  Generating operator++(int) {
    Generating before = *this;
    ++i;
    return before;
  }
  difference_type operator-(const Generating& o) const {
    return static_cast<difference_type>(i) - static_cast<difference_type>(o.i);
  }
  bool operator==(const Generating& o) const { return i == o.i; }
};

// The elements f(0), f(1) ... f(n - 1) as a column, each written once: sizing a column first
// would fill it with zeros, a whole pass more than the values themselves.
template <typename T, typename F>
Column<T> generated(std::size_t n, const F& f) {
  return Column<T>(Generating<T, F>{0, &f}, Generating<T, F>{n, &f});
}

}  // namespace ostrel::core::timeline
