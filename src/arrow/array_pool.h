// The storage of exported arrays, recycled. Every array a stream hands out
// owns a holder (its buffers, the pointer arrays the interface wants, its
// children); when the consumer releases the array the holder goes back to
// the stream's pool with the buffers' memory still attached, and the next
// batch of the same column takes it again. A consumer that lets go of each
// batch before asking for the next one therefore costs no allocation, no
// page fault and no zeroing per batch once the stream is warm.
//
// A pool is shared by its stream and every array the stream exported:
// either may be released first, and arrays may be released on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "arrow/buffer.h"
#include "arrow/c_data.h"

namespace pellumo::arrow {

class ArrayPool;

// The private data of one exported array.
struct ArrayHolder {
  std::shared_ptr<ArrayPool> pool;  // null: freed on release, not recycled
  std::size_t slot = 0;
  std::vector<Buffer> buffers;
  std::vector<const void*> pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
};

class ArrayPool : public std::enable_shared_from_this<ArrayPool> {
 public:
  // Holders kept per slot: two cover a consumer that holds one batch while
  // the next is built.
  static constexpr std::size_t kKeptPerSlot = 2;

  // Throws std::bad_alloc only.
  explicit ArrayPool(std::size_t slots) : free_(slots) {
    // give() must not allocate: it runs in release callbacks.
    for (auto& kept : free_) kept.reserve(kKeptPerSlot);
  }

  // A holder for an array of `slot`: a recycled one (its buffers emptied,
  // their memory kept) or a new one. Throws std::bad_alloc only.
  std::unique_ptr<ArrayHolder> take(std::size_t slot);

  // Takes a released holder back; frees it when the slot has enough or the
  // pool is closed. Never throws.
  void give(std::unique_ptr<ArrayHolder> holder) noexcept;

  // The stream is gone: frees what is kept, and from now on every holder
  // given back is freed.
  void close() noexcept;

  std::size_t slots() const { return free_.size(); }

 private:
  std::mutex mutex_;
  std::vector<std::vector<std::unique_ptr<ArrayHolder>>> free_;
  bool closed_ = false;
};

// Fills `out` as an array owning `holder` (whose buffers and children the
// caller has filled): an empty buffer is exported as a null pointer when
// `absent[i]`, else as a pointer to zeroed bytes; children are released
// with the array unless a consumer moved them out.
void export_array(ArrowArray* out, std::unique_ptr<ArrayHolder> holder, std::int64_t length,
                  std::int64_t null_count, std::initializer_list<bool> absent);

// As export_array, with the array's buffers given as pointers to memory
// that outlives it (the holder's own buffers are not exported).
void export_array_over(ArrowArray* out, std::unique_ptr<ArrayHolder> holder, std::int64_t length,
                       std::int64_t null_count, std::initializer_list<const void*> buffers);

// At least `n` zero bytes, read-only and shared by every array that points
// at them, for the lifetime of the process; nullptr when `n` is more than
// is kept that way.
const std::uint8_t* shared_zeros(std::size_t n);

}  // namespace pellumo::arrow
