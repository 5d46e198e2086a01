#include "arrow/buffer.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

namespace pellumo::arrow {
namespace {

// From here on a buffer is a mapping (while kMaxMappedBuffers allow), whose
// memory goes back to the cache of mappings when it is freed.
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
// Heap blocks kept for reuse, in all.
constexpr std::size_t kCachedHeapBytes = std::size_t{32} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Blocks given back by buffers, by capacity, for later buffers to take
// as they are.
//
// Anonymous mappings have their pages marked free for the kernel
// (MADV_FREE): it may take them under memory pressure (the next write then
// faults in a zeroed page), and until it does they are reused as they are.
// So the cache never holds memory the system needs, and a process that
// stops reading keeps only what it may reuse. Heap blocks (smaller, and
// fewer bytes in all) stay allocated: kept from the allocator, which would
// otherwise hand the top of its heap back to the kernel when a table's
// batches are freed, and fault it in again for the next table.
class BlockCache {
 public:
  BlockCache(std::size_t limit, bool mapped) : limit_(limit), mapped_(mapped) {}

  // A block of at least `n` bytes and at most twice that, or nullptr;
  // `capacity` is set to its size.
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
  // Keeps the block, or frees it when the cache is full.
  void give(void* p, std::size_t capacity) noexcept {
    if (has_room(capacity)) {
      // Before the block is listed: once listed, another thread may take
      // it and write, and advice given after that write could drop it.
      if (mapped_) ::madvise(p, capacity, MADV_FREE);
      std::lock_guard<std::mutex> lock(mutex_);
      if (capacity <= limit_ - cached_) {
        try {
          blocks_.emplace(capacity, p);
          cached_ += capacity;
          return;
        } catch (...) {  // no memory for the entry: freed below
        }
      }
    }
    if (mapped_) {
      ::munmap(p, capacity);
    } else {
      std::free(p);
    }
  }

  // Held across a fork (see the_caches).
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  bool has_room(std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity <= limit_ - cached_;
  }

  const std::size_t limit_;
  const bool mapped_;
  std::mutex mutex_;
  std::multimap<std::size_t, void*> blocks_;
  std::size_t cached_ = 0;
};

std::atomic<std::size_t> mapped_buffers{0};

struct Caches {
  BlockCache mapped{kCachedBytes, true};
  BlockCache heap{kCachedHeapBytes, false};
};

// Made when the library is loaded, on one thread, and never destroyed:
// arrays handed to consumers may be released after static destructors have
// run. Not made on first use: a fork while another thread was making it
// would leave the child waiting for the making for ever.
Caches* const the_caches = [] {
  auto* made = new Caches;
  // A fork while another thread held a cache's lock would leave the lock
  // held for ever in the child: the locks are taken across a fork, as the
  // allocator takes its own.
  pthread_atfork([] { the_caches->mapped.lock(), the_caches->heap.lock(); },
                 [] { the_caches->heap.unlock(), the_caches->mapped.unlock(); },
                 [] { the_caches->heap.unlock(), the_caches->mapped.unlock(); });
  return made;
}();

BlockCache& mapped_cache() { return the_caches->mapped; }
BlockCache& heap_cache() { return the_caches->heap; }

void* map_block(std::size_t n, std::size_t& capacity) {
  void* p = mapped_cache().take(n, capacity);
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
  mapped_cache().give(p, capacity);
}

// Heap blocks from this size on are cached: below it the allocator's own
// free lists serve as well.
constexpr std::size_t kCachedHeapBlock = 4096;

void* heap_block(std::size_t n, std::size_t& capacity) {
  if (n >= kCachedHeapBlock) {
    if (void* p = heap_cache().take(n, capacity)) return p;
  }
  void* p = std::aligned_alloc(kBufferAlignment, n);
  if (p != nullptr) capacity = n;
  return p;
}

void free_heap_block(void* p, std::size_t capacity) {
  if (capacity >= kCachedHeapBlock) {
    heap_cache().give(p, capacity);
  } else {
    std::free(p);
  }
}

}  // namespace

void Buffer::grow(std::size_t needed) {
  if (needed > (std::size_t{1} << 62)) throw std::bad_alloc();
  std::size_t target = std::max({needed, capacity_ + capacity_ / 2, kBufferAlignment});
  if (target >= kAlwaysMapped ||
      (target >= kMapThreshold && mapped_buffers.load(std::memory_order_relaxed) < kMaxMappedBuffers)) {
    target = round_up(target, kPage);
    void* p;
    std::size_t cached = 0;
    if (mapped_ && (p = mapped_cache().take(target, cached)) != nullptr) {
      // A block given back by an earlier buffer has its pages already: a
      // copy costs less than faulting in fresh ones past the mapping.
      if (size_ != 0) std::memcpy(p, data_, size_);
      mapped_cache().give(data_, capacity_);
      target = cached;
    } else if (mapped_) {
      p = ::mremap(data_, capacity_, target, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
    } else {
      std::size_t mapped = 0;
      p = map_block(target, mapped);
      if (p == nullptr) throw std::bad_alloc();
      if (size_ != 0) std::memcpy(p, data_, size_);
      if (data_ != nullptr) free_heap_block(data_, capacity_);
      target = mapped;
    }
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = target;
    mapped_ = true;
    return;
  }
  target = round_up(target, kBufferAlignment);
  std::size_t got = 0;
  void* p = heap_block(target, got);
  if (p == nullptr) throw std::bad_alloc();
  if (size_ != 0) std::memcpy(p, data_, size_);
  if (data_ != nullptr) free_heap_block(data_, capacity_);
  data_ = static_cast<std::uint8_t*>(p);
  capacity_ = got;
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
  std::size_t got = 0;
  void* p = heap_block(keep, got);
  if (p == nullptr || got >= capacity_) {  // keeping the larger block is harmless
    if (p != nullptr) free_heap_block(p, got);
    return;
  }
  if (size_ != 0) std::memcpy(p, data_, size_);
  free_heap_block(data_, capacity_);
  data_ = static_cast<std::uint8_t*>(p);
  capacity_ = got;
}

void Buffer::free_memory() {
  if (data_ == nullptr) return;
  if (mapped_) {
    unmap_block(data_, capacity_);
  } else {
    free_heap_block(data_, capacity_);
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
