#include "arrow/buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace pellumo::arrow {
namespace {

constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
constexpr std::size_t kPage = 4096;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

void Buffer::grow(std::size_t needed) {
  if (needed > (std::size_t{1} << 62)) throw std::bad_alloc();
  std::size_t target = std::max({needed, capacity_ + capacity_ / 2, kBufferAlignment});
  if (target >= kMapThreshold) {
    target = round_up(target, kPage);
    void* p;
    if (mapped_) {
      p = ::mremap(data_, capacity_, target, MREMAP_MAYMOVE);
    } else {
      p = ::mmap(nullptr, target, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED && size_ != 0) std::memcpy(p, data_, size_);
      if (p != MAP_FAILED) std::free(data_);
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
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
    ::munmap(data_, capacity_);
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
