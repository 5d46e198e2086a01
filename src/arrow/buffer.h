// Growable byte buffers for Arrow arrays: 64-byte aligned (the alignment the
// Arrow format recommends, so consumers can use them without copying), moved
// into an exported array when its batch is finished.
//
// Small buffers come from the aligned heap; from 64 KiB on a buffer is an
// anonymous mapping that grows and shrinks with mremap, so neither growing a
// large text column nor trimming it to size copies its bytes. A freed
// mapping goes to a cache shared by the process (bounded, its pages left
// for the kernel to reclaim), from which later buffers take their memory
// without faulting in and zeroing fresh pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace pellumo::arrow {

inline constexpr std::size_t kBufferAlignment = 64;

class Buffer {
 public:
  Buffer() = default;
  ~Buffer() { free_memory(); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        mapped_(std::exchange(other.mapped_, false)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      free_memory();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
  }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

  // Room for at least `n` bytes; throws std::bad_alloc when memory runs out.
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }
  // Sets the size; bytes added are left as they are, for the caller to write.
  void resize_uninitialized(std::size_t n) {
    reserve(n);
    size_ = n;
  }
  // Sets the size; bytes added are zero.
  void resize(std::size_t n) {
    reserve(n);
    if (n > size_) std::memset(data_ + size_, 0, n - size_);
    size_ = n;
  }
  void append(const void* src, std::size_t n) {
    if (n > capacity_ - size_) grow(size_ + n);
    if (n != 0) std::memcpy(data_ + size_, src, n);
    size_ += n;
  }
  template <class T>
  void append_value(T v) {
    append(&v, sizeof v);
  }
  // Space for `n` more bytes at the end, to be written by the caller; the
  // size grows by n.
  std::uint8_t* extend(std::size_t n) {
    if (n > capacity_ - size_) grow(size_ + n);
    std::uint8_t* at = data_ + size_;
    size_ += n;
    return at;
  }
  // Gives back the capacity beyond the size (where that is worth doing).
  void shrink_to_fit();
  void clear() { size_ = 0; }

 private:
  void grow(std::size_t needed);
  void free_memory();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

// A validity or boolean bitmap under construction: bit i is row i, least
// significant bit first, as Arrow lays them out.
class BitmapBuilder {
 public:
  std::size_t length() const { return length_; }
  void reserve(std::size_t bits) { buffer_.reserve((bits + 7) / 8); }
  void append(bool bit) {
    if ((length_ & 7) == 0) buffer_.append_value<std::uint8_t>(0);
    if (bit) buffer_.data()[length_ >> 3] |= static_cast<std::uint8_t>(1u << (length_ & 7));
    ++length_;
  }
  // `count` bits of one value.
  void append_many(bool bit, std::size_t count);
  Buffer take() {
    length_ = 0;
    Buffer out = std::move(buffer_);
    out.shrink_to_fit();
    return out;
  }

 private:
  Buffer buffer_;
  std::size_t length_ = 0;
};

}  // namespace pellumo::arrow
