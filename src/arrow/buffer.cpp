#include "arrow/buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

namespace pellumo::arrow {
namespace {

constexpr std::size_t kMapThreshold = std::size_t{64} << 10;
// From here on a buffer is always a mapping (growing it copies nothing).
constexpr std::size_t kAlwaysMapped = std::size_t{1} << 20;
// Each mapping is an area of the process's address space, of which the
// kernel allows some 65,000 (vm.max_map_count). A consumer that keeps a
// huge table's batches could hold that many buffers: past this many live
// mappings, buffers below kAlwaysMapped come from the heap again.
constexpr std::size_t kMaxMappedBuffers = 16384;
constexpr std::size_t kPage = 4096;
// Mapped blocks kept for reuse, in all: enough for the batches of a few
// large tables. A consumer such as pyarrow.table() keeps every batch of a
// stream until it is done with the table, so a stream's own pool can
// recycle nothing; without this cache every read of a large table would
// fault in and zero fresh pages for all its output (a fifth of the time of
// a read, and more with two threads, which fault in one address space).
constexpr std::size_t kCachedBytes = std::size_t{256} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Anonymous mappings given back by buffers, by capacity. Their pages are
// marked free for the kernel (MADV_FREE): it may take them under memory
// pressure (the next write then faults in a zeroed page), and until it does
// they are reused as they are. So the cache never holds memory the system
// needs, and a process that stops reading keeps only what it may reuse.
class BlockCache {
 public:
  // A block of at least `n` bytes (a multiple of the page) and at most
  // twice that, or nullptr; `capacity` is set to its size.
  void* take(std::size_t n, std::size_t& capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = blocks_.lower_bound(n);
    if (it == blocks_.end() || it->first > 2 * n) return nullptr;
    capacity = it->first;
    void* p = it->second;
    cached_ -= it->first;
    blocks_.erase(it);
    return p;
  }
  // Keeps the block, or unmaps it when the cache is full.
  void give(void* p, std::size_t capacity) noexcept {
    if (has_room(capacity)) {
      // Before the block is listed: once listed, another thread may take
      // it and write, and advice given after that write could drop it.
      ::madvise(p, capacity, MADV_FREE);
      std::lock_guard<std::mutex> lock(mutex_);
      if (capacity <= kCachedBytes - cached_) {
        try {
          blocks_.emplace(capacity, p);
          cached_ += capacity;
          return;
        } catch (...) {  // no memory for the entry: unmapped below
        }
      }
    }
    ::munmap(p, capacity);
  }

 private:
  bool has_room(std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity <= kCachedBytes - cached_;
  }

  std::mutex mutex_;
  std::multimap<std::size_t, void*> blocks_;
  std::size_t cached_ = 0;
};

std::atomic<std::size_t> mapped_buffers{0};

// Never destroyed: arrays handed to consumers may be released after static
// destructors have run.
BlockCache& block_cache() {
  static BlockCache* cache = new BlockCache;
  return *cache;
}

void* map_block(std::size_t n, std::size_t& capacity) {
  void* p = block_cache().take(n, capacity);
  if (p == nullptr) {
    p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    capacity = n;
  }
  mapped_buffers.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void unmap_block(void* p, std::size_t capacity) {
  mapped_buffers.fetch_sub(1, std::memory_order_relaxed);
  block_cache().give(p, capacity);
}

}  // namespace

void Buffer::grow(std::size_t needed) {
  if (needed > (std::size_t{1} << 62)) throw std::bad_alloc();
  std::size_t target = std::max({needed, capacity_ + capacity_ / 2, kBufferAlignment});
  if (target >= kAlwaysMapped ||
      (target >= kMapThreshold && mapped_buffers.load(std::memory_order_relaxed) < kMaxMappedBuffers)) {
    target = round_up(target, kPage);
    void* p;
    if (mapped_) {
      p = ::mremap(data_, capacity_, target, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
    } else {
      p = map_block(target, target);
      if (p == nullptr) throw std::bad_alloc();
      if (size_ != 0) std::memcpy(p, data_, size_);
      std::free(data_);
    }
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = target;
    mapped_ = true;
    return;
  }
  target = round_up(target, kBufferAlignment);
  void* p = std::aligned_alloc(kBufferAlignment, target);
  if (p == nullptr) throw std::bad_alloc();
  if (size_ != 0) std::memcpy(p, data_, size_);
  std::free(data_);
  data_ = static_cast<std::uint8_t*>(p);
  capacity_ = target;
}

void Buffer::shrink_to_fit() {
  if (data_ == nullptr) return;
  if (mapped_) {
    // Shrinking a mapping never moves it.
    const std::size_t keep = round_up(std::max<std::size_t>(size_, 1), kPage);
    if (keep < capacity_ && ::mremap(data_, capacity_, keep, 0) != MAP_FAILED) capacity_ = keep;
    return;
  }
  // A heap buffer is copied only when an eighth or more of it is unused.
  const std::size_t keep = round_up(std::max(size_, kBufferAlignment), kBufferAlignment);
  if (capacity_ - keep < capacity_ / 8) return;
  void* p = std::aligned_alloc(kBufferAlignment, keep);
  if (p == nullptr) return;  // keeping the larger block is harmless
  if (size_ != 0) std::memcpy(p, data_, size_);
  std::free(data_);
  data_ = static_cast<std::uint8_t*>(p);
  capacity_ = keep;
}

void Buffer::free_memory() {
  if (data_ == nullptr) return;
  if (mapped_) {
    unmap_block(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

void BitmapBuilder::append_many(bool bit, std::size_t count) {
  // Bits up to the next byte boundary one by one, then whole bytes.
  while (count != 0 && (length_ & 7) != 0) {
    append(bit);
    --count;
  }
  const std::size_t bytes = count / 8;
  if (bytes != 0) {
    std::memset(buffer_.extend(bytes), bit ? 0xFF : 0x00, bytes);
    length_ += bytes * 8;
    count -= bytes * 8;
  }
  while (count-- != 0) append(bit);
}

}  // namespace pellumo::arrow
