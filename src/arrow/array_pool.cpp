#include "arrow/array_pool.h"

#include <sys/mman.h>

#include <utility>

namespace pellumo::arrow {
namespace {

// What a zero-length buffer points at: consumers may read a pointer of any
// buffer, and an empty offsets or data buffer must still be a valid address.
alignas(kBufferAlignment) const std::uint8_t kZeros[kBufferAlignment] = {};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  std::unique_ptr<ArrayHolder> holder(static_cast<ArrayHolder*>(array->private_data));
  array->release = nullptr;
  array->private_data = nullptr;
  // A consumer may have moved a child out, leaving its release null.
  for (ArrowArray& child : holder->children) {
    if (child.release != nullptr) child.release(&child);
  }
  if (holder->pool) {
    std::shared_ptr<ArrayPool> pool = std::move(holder->pool);
    pool->give(std::move(holder));
  }
}

}  // namespace

std::unique_ptr<ArrayHolder> ArrayPool::take(std::size_t slot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& kept = free_[slot];
    if (!kept.empty()) {
      std::unique_ptr<ArrayHolder> holder = std::move(kept.back());
      kept.pop_back();
      holder->pool = shared_from_this();
      return holder;
    }
  }
  auto holder = std::make_unique<ArrayHolder>();
  holder->pool = shared_from_this();
  holder->slot = slot;
  return holder;
}

void ArrayPool::give(std::unique_ptr<ArrayHolder> holder) noexcept {
  for (Buffer& b : holder->buffers) b.clear();
  holder->children.clear();
  holder->child_pointers.clear();
  std::unique_ptr<ArrayHolder> drop;  // freed outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A closed pool has no slots left to index.
    if (closed_ || free_[holder->slot].size() >= kKeptPerSlot) {
      drop = std::move(holder);
    } else {
      free_[holder->slot].push_back(std::move(holder));  // capacity reserved at the pool's making
    }
  }
}

void ArrayPool::close() noexcept {
  std::vector<std::vector<std::unique_ptr<ArrayHolder>>> drop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    drop.swap(free_);
  }
}

namespace {

void export_holder(ArrowArray* out, std::unique_ptr<ArrayHolder> holder, std::int64_t length,
                   std::int64_t null_count) {
  holder->child_pointers.clear();
  for (ArrowArray& child : holder->children) holder->child_pointers.push_back(&child);

  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = static_cast<std::int64_t>(holder->pointers.size());
  out->n_children = static_cast<std::int64_t>(holder->children.size());
  out->buffers = holder->pointers.empty() ? nullptr : holder->pointers.data();
  out->children = holder->child_pointers.empty() ? nullptr : holder->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = holder.release();
}

}  // namespace

void export_array(ArrowArray* out, std::unique_ptr<ArrayHolder> holder, std::int64_t length,
                  std::int64_t null_count, std::initializer_list<bool> absent) {
  holder->pointers.clear();
  std::size_t i = 0;
  for (bool may_be_absent : absent) {
    const void* p = nullptr;
    if (i < holder->buffers.size() && holder->buffers[i].size() != 0) {
      p = holder->buffers[i].data();
    } else if (!may_be_absent) {
      p = kZeros;
    }
    holder->pointers.push_back(p);
    ++i;
  }
  export_holder(out, std::move(holder), length, null_count);
}

void export_array_over(ArrowArray* out, std::unique_ptr<ArrayHolder> holder, std::int64_t length,
                       std::int64_t null_count, std::initializer_list<const void*> buffers) {
  holder->pointers.assign(buffers.begin(), buffers.end());
  export_holder(out, std::move(holder), length, null_count);
}

namespace {

constexpr std::size_t kSharedZerosSize = std::size_t{16} << 20;

// Address space only: pages never written are the kernel's one zero page,
// so this costs no memory however many arrays point into it. Read-only, so
// that a consumer that wrongly writes to an imported buffer fails loudly
// rather than changing every other array's values. Mapped when the library
// loads rather than on first use: a fork while another thread was mapping
// it would leave the child waiting on the first use for ever. Null (arrays
// then get buffers of their own) where the system refused the mapping.
const std::uint8_t* const shared_zero_pages = [] {
  void* p = ::mmap(nullptr, kSharedZerosSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(p);
}();

}  // namespace

const std::uint8_t* shared_zeros(std::size_t n) {
  if (n <= sizeof kZeros) return kZeros;
  return n <= kSharedZerosSize ? shared_zero_pages : nullptr;
}

}  // namespace pellumo::arrow
