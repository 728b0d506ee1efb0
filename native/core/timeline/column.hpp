#pragma once
// Storage for per-row data: the calendar's columns and period ids, and the blocks' results and
// row lookups. Their blocks are recycled: a freed block of a few kilobytes or more is kept (up
// to a bounded total) and handed out again, because on a fresh allocation the first touch of
// each page costs more than computing a whole column.
#include <cstddef>
#include <cstdint>
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

}  // namespace ostrel::core::timeline
