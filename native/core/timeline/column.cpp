#include "core/timeline/column.hpp"

#include <array>
#include <cstdlib>
#include <mutex>

namespace ostrel::core::timeline::recycle {

namespace {

constexpr std::size_t kSmallest = 16 * 1024;        // smaller blocks go straight to malloc
constexpr std::size_t kMaxKept = 64 * 1024 * 1024;  // bound on what is kept for reuse
constexpr std::size_t kSlots = 64;

struct Block {
  void* p = nullptr;
  std::size_t bytes = 0;
};

struct Pool {
  std::mutex mutex;  // core calls may run without the host's lock
  std::array<Block, kSlots> blocks{};
  std::size_t kept = 0;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: blocks may be freed during host shutdown
  return *p;
}

}  // namespace

void* take(std::size_t bytes) {
  if (bytes >= kSmallest) {
    Pool& pl = pool();
    std::lock_guard lock(pl.mutex);
    // The smallest kept block that fits without wasting more than half of it.
    Block* best = nullptr;
    for (Block& b : pl.blocks)
      if (b.p && b.bytes >= bytes && b.bytes / 2 <= bytes && (!best || b.bytes < best->bytes))
        best = &b;
    if (best) {
      void* p = best->p;
      pl.kept -= best->bytes;
      *best = Block{};
      return p;
    }
  }
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void give(void* block, std::size_t bytes) noexcept {
  if (!block) return;
  if (bytes >= kSmallest) {
    Pool& pl = pool();
    std::lock_guard lock(pl.mutex);
    // A free slot, else the slot of the smallest kept block when that is smaller than this
    // one: the blocks of an earlier, shorter run must not crowd out the current run's.
    Block* slot = nullptr;
    for (Block& b : pl.blocks) {
      if (!b.p) {
        slot = &b;
        break;
      }
      if (b.bytes < bytes && (!slot || b.bytes < slot->bytes)) slot = &b;
    }
    if (slot && pl.kept - slot->bytes + bytes <= kMaxKept) {
      void* evicted = slot->p;
      pl.kept = pl.kept - slot->bytes + bytes;
      *slot = Block{block, bytes};
      std::free(evicted);  // null for a free slot
      return;
    }
  }
  std::free(block);
}

std::size_t kept_bytes() noexcept {
  Pool& pl = pool();
  std::lock_guard lock(pl.mutex);
  return pl.kept;
}

}  // namespace ostrel::core::timeline::recycle
