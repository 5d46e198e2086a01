#include "arrow/builders.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "utils/hex.h"

namespace pellumo::arrow {
namespace {

std::size_t fixed_width(BuilderKind kind) {
  switch (kind) {
    case BuilderKind::UInt8: return 1;
    case BuilderKind::Int16:
    case BuilderKind::UInt16: return 2;
    case BuilderKind::Int32:
    case BuilderKind::UInt32:
    case BuilderKind::Float32: return 4;
    case BuilderKind::UInt64:
    case BuilderKind::Float64:
    case BuilderKind::Int64:
    case BuilderKind::Timestamp: return 8;
    case BuilderKind::Uuid: return 16;
    case BuilderKind::Null:
    case BuilderKind::Boolean:
    case BuilderKind::Utf8:
    case BuilderKind::Binary: return 0;
  }
  return 0;
}

bool is_variable(BuilderKind kind) { return kind == BuilderKind::Utf8 || kind == BuilderKind::Binary; }

template <class T>
bool to_integer(const ColumnValue& v, T& out) {
  switch (v.kind()) {
    case ValueKind::Int8:
    case ValueKind::Int16:
    case ValueKind::Int32:
    case ValueKind::Int64: {
      const std::int64_t s = v.as_signed();
      if (!std::in_range<T>(s)) return false;
      out = static_cast<T>(s);
      return true;
    }
    case ValueKind::UInt8:
    case ValueKind::UInt16:
    case ValueKind::UInt32:
    case ValueKind::UInt64:
    case ValueKind::DateTime:
    case ValueKind::Currency: {
      const std::uint64_t u = v.as_unsigned();
      if (!std::in_range<T>(u)) return false;
      out = static_cast<T>(u);
      return true;
    }
    default: return false;
  }
}

// Little-endian bytes of a scalar, as wide as its variant.
std::size_t scalar_bytes(const ColumnValue& v, std::uint8_t (&out)[8]) {
  std::size_t width;
  switch (v.kind()) {
    case ValueKind::Boolean:
    case ValueKind::Int8:
    case ValueKind::UInt8: width = 1; break;
    case ValueKind::Int16:
    case ValueKind::UInt16: width = 2; break;
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32: width = 4; break;
    case ValueKind::Int64:
    case ValueKind::UInt64:
    case ValueKind::Float64:
    case ValueKind::DateTime:
    case ValueKind::Currency: width = 8; break;
    default: return 0;
  }
  const std::uint64_t bits = v.kind() == ValueKind::Boolean ? (v.as_bool() ? 1 : 0) : v.as_unsigned();
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return width;
}

// Clears the bits of a bitmap from `bits` on and cuts it to the bytes that
// hold `bits` bits.
void cut_bitmap(Buffer& bitmap, std::size_t bits) {
  bitmap.resize_uninitialized(std::min(bitmap.size(), (bits + 7) / 8));
  if (bits % 8 != 0 && bitmap.size() == (bits + 7) / 8) {
    bitmap.data()[bits / 8] &= static_cast<std::uint8_t>((1u << (bits % 8)) - 1);
  }
}

std::int32_t offset_at(const Buffer& offsets, std::size_t i) {
  std::int32_t v;
  std::memcpy(&v, offsets.data() + 4 * i, sizeof v);
  return v;
}

}  // namespace

ColumnSink::ColumnSink(BuilderKind kind, bool list, std::size_t slot)
    : kind_(kind), width_(list ? 0 : fixed_width(kind)), slot_(slot) {
  // A list's kind is its items'.
  if (list) items_ = std::make_unique<ColumnSink>(kind, false, slot + 1);
  if (items_ || is_variable(kind_)) values_.append_value<std::int32_t>(0);
}

bool ColumnSink::has_variable_buffer() const { return items_ ? items_->has_variable_buffer() : is_variable(kind_); }

void ColumnSink::make_validity_room(std::size_t rows) {
  if (rows <= validity_room_) return;
  // Whole bytes, at least doubling: zeroed once, then only bits are set.
  const std::size_t room = (std::max({rows, 2 * validity_room_, std::size_t{64}}) + 7) / 8 * 8;
  validity_.resize(room / 8);
  validity_room_ = room;
}

void ColumnSink::reserve(std::size_t rows) {
  if (deferred_) {
    // Taken when the first value comes: a column that stays null in the
    // batch needs no room.
    reserve_rows_ = std::max(reserve_rows_, rows);
    return;
  }
  make_validity_room(rows);
  if (items_) {
    values_.reserve((rows + 1) * sizeof(std::int32_t));
  } else if (is_variable(kind_)) {
    values_.reserve((rows + 1) * sizeof(std::int32_t));
    data_.reserve(data_hint_);
  } else if (kind_ == BuilderKind::Boolean) {
    values_.reserve((rows + 7) / 8);
  } else {
    values_.reserve(rows * width_);
  }
}

void ColumnSink::write_deferred_nulls() {
  deferred_ = false;
  const std::size_t nulls = length_;
  length_ = 0;
  null_count_ = 0;
  reserve(std::max(reserve_rows_, nulls + 1));
  reserve_rows_ = 0;
  append_nulls(nulls);
}

void ColumnSink::append_nulls(std::size_t count) {
  if (count == 0) return;
  if (deferred_) {
    length_ += count;
    null_count_ += count;
    return;
  }
  const std::size_t rows = length_ + count;
  if (kind_ != BuilderKind::Null || items_) {
    // The validity bits of the new rows are clear already.
    make_validity_room(rows);
    if (items_ || is_variable(kind_)) {
      const std::int32_t end = items_ ? static_cast<std::int32_t>(items_->length()) : static_cast<std::int32_t>(data_.size());
      auto* at = values_.extend(count * sizeof(std::int32_t));
      for (std::size_t i = 0; i < count; ++i) std::memcpy(at + i * sizeof end, &end, sizeof end);
    } else if (kind_ == BuilderKind::Boolean) {
      values_.resize((rows + 7) / 8);
    } else {
      std::memset(values_.extend(count * width_), 0, count * width_);
    }
  }
  length_ = rows;
  null_count_ += count;
}

void ColumnSink::append(const ColumnValue& v) {
  if (items_) {  // a single value is no list
    append_null();
    return;
  }
  switch (kind_) {
    case BuilderKind::Null: append_null(); return;
    case BuilderKind::Boolean:
      if (v.kind() == ValueKind::Boolean) {
        append_bool(v.as_bool());
      } else {
        append_null();
      }
      return;
#define PELLUMO_INTEGER_CASE(KIND, TYPE) \
  case BuilderKind::KIND: {              \
    TYPE x{};                            \
    if (to_integer(v, x)) {              \
      append_fixed(x);                   \
    } else {                             \
      append_null();                     \
    }                                    \
    return;                              \
  }
      PELLUMO_INTEGER_CASE(UInt8, std::uint8_t)
      PELLUMO_INTEGER_CASE(Int16, std::int16_t)
      PELLUMO_INTEGER_CASE(UInt16, std::uint16_t)
      PELLUMO_INTEGER_CASE(Int32, std::int32_t)
      PELLUMO_INTEGER_CASE(UInt32, std::uint32_t)
      PELLUMO_INTEGER_CASE(UInt64, std::uint64_t)
      PELLUMO_INTEGER_CASE(Int64, std::int64_t)
#undef PELLUMO_INTEGER_CASE
    case BuilderKind::Timestamp:
      // Engine dates: microseconds since the Unix epoch.
      if (v.kind() == ValueKind::DateTime) {
        append_fixed(v.as_signed());
      } else {
        append_null();
      }
      return;
    case BuilderKind::Uuid:
      if (v.kind() == ValueKind::Guid) {
        append_fixed(guid_uuid_bytes(v.as_guid()));
      } else {
        append_null();
      }
      return;
    case BuilderKind::Float32:
      if (v.kind() == ValueKind::Float32) {
        append_fixed(v.as_float32());
      } else {
        append_null();
      }
      return;
    case BuilderKind::Float64:
      if (v.kind() == ValueKind::Float64) {
        append_fixed(v.as_float64());
      } else if (v.kind() == ValueKind::Float32) {
        append_fixed(static_cast<double>(v.as_float32()));
      } else {
        append_null();
      }
      return;
    case BuilderKind::Utf8:
      switch (v.kind()) {
        case ValueKind::Text: append_variable(v.text().data(), v.text().size()); return;
        case ValueKind::Guid: {
          char text[kGuidTextSize];
          write_guid_text(v.as_guid(), text);
          append_variable(text, sizeof text);
          return;
        }
        default: append_null(); return;
      }
    case BuilderKind::Binary:
      switch (v.kind()) {
        case ValueKind::Null: append_null(); return;
        case ValueKind::Text: append_variable(v.text().data(), v.text().size()); return;
        case ValueKind::Binary:
        case ValueKind::MultiValue:
        case ValueKind::LongValue: append_variable(v.bytes().data(), v.bytes().size()); return;
        case ValueKind::Guid: append_variable(v.as_guid().data(), v.as_guid().size()); return;
        default: {
          std::uint8_t bytes[8];
          const std::size_t n = scalar_bytes(v, bytes);
          append_variable(bytes, n);
          return;
        }
      }
  }
}

void ColumnSink::append_list(std::span<const ColumnValue> items) {
  if (deferred_) write_deferred_nulls();
  if (items.size() > kMaxListItems - items_->length()) {
    append_null();  // beyond what 32-bit offsets can address
    return;
  }
  for (const ColumnValue& item : items) items_->append(item);
  values_.append_value(static_cast<std::int32_t>(items_->length()));
  add_valid();
}

void ColumnSink::append_engine(const EngineValue& value) {
  if (items_) {
    if (value.is_list()) {
      append_list(value.items());
    } else {
      append_null();
    }
    return;
  }
  if (value.is_list()) {
    append_null();
  } else {
    append(value.value());
  }
}

void ColumnSink::truncate(std::size_t rows) {
  if (rows >= length_) return;
  if (deferred_ || (kind_ == BuilderKind::Null && !items_)) {
    null_count_ -= length_ - rows;
    length_ = rows;
    return;
  }
  for (std::size_t i = rows; i < length_; ++i) {
    if (!((validity_.data()[i >> 3] >> (i & 7)) & 1)) --null_count_;
  }
  // Zero past the rows kept, as the bitmap is kept.
  const std::size_t size = validity_.size();
  cut_bitmap(validity_, rows);
  validity_.resize(size);
  if (items_) {
    items_->truncate(static_cast<std::size_t>(offset_at(values_, rows)));
    values_.resize_uninitialized((rows + 1) * sizeof(std::int32_t));
  } else if (is_variable(kind_)) {
    data_.resize_uninitialized(static_cast<std::size_t>(offset_at(values_, rows)));
    values_.resize_uninitialized((rows + 1) * sizeof(std::int32_t));
  } else if (kind_ == BuilderKind::Boolean) {
    cut_bitmap(values_, rows);
  } else {
    values_.resize_uninitialized(rows * width_);
  }
  length_ = rows;
}

bool ColumnSink::finish_deferred(ArrowArray* out, ArrayPool& pool) {
  const std::size_t n = length_;
  std::size_t values = 0;  // bytes of the second buffer
  if (items_ || is_variable(kind_)) {
    values = (n + 1) * sizeof(std::int32_t);  // every offset 0
  } else if (kind_ == BuilderKind::Boolean) {
    values = (n + 7) / 8;
  } else {
    values = n * width_;
  }
  const std::uint8_t* zeros = shared_zeros(std::max(values, (n + 7) / 8));
  if (zeros == nullptr) return false;
  std::unique_ptr<ArrayHolder> holder = pool.take(slot_);
  const auto length = static_cast<std::int64_t>(n);
  const std::uint8_t* validity = n == 0 ? nullptr : zeros;  // no bitmap where no row is null
  if (items_) {
    holder->children.assign(1, ArrowArray{});
    items_->finish(&holder->children[0], pool);
    export_array_over(out, std::move(holder), length, length, {validity, zeros});
  } else if (kind_ == BuilderKind::Null) {
    export_array_over(out, std::move(holder), length, length, {});
  } else if (is_variable(kind_)) {
    export_array_over(out, std::move(holder), length, length, {validity, zeros, zeros});
  } else {
    export_array_over(out, std::move(holder), length, length, {validity, zeros});
  }
  length_ = 0;
  null_count_ = 0;
  reserve_rows_ = 0;
  return true;
}

void ColumnSink::finish(ArrowArray* out, ArrayPool& pool) {
  if (deferred_) {
    if (finish_deferred(out, pool)) return;
    write_deferred_nulls();
  }
  std::unique_ptr<ArrayHolder> holder = pool.take(slot_);
  const auto length = static_cast<std::int64_t>(length_);
  const auto nulls = static_cast<std::int64_t>(null_count_);
  if (null_count_ == 0) {
    validity_.clear();  // no bitmap where no row is null
  } else {
    validity_.resize_uninitialized((length_ + 7) / 8);
  }
  data_hint_ = data_.size();
  auto hand_over = [&](std::size_t count) {
    holder->buffers.resize(count);
    if (count > 0) std::swap(holder->buffers[0], validity_);
    if (count > 1) std::swap(holder->buffers[1], values_);
    if (count > 2) std::swap(holder->buffers[2], data_);
  };
  if (items_) {
    hand_over(2);
    holder->children.assign(1, ArrowArray{});
    items_->finish(&holder->children[0], pool);
    export_array(out, std::move(holder), length, nulls, {true, false});
  } else if (kind_ == BuilderKind::Null) {
    hand_over(0);
    export_array(out, std::move(holder), length, length, {});
  } else if (is_variable(kind_)) {
    hand_over(3);
    export_array(out, std::move(holder), length, nulls, {true, false, false});
  } else {
    hand_over(2);
    export_array(out, std::move(holder), length, nulls, {true, false});
  }
  // The buffers swapped in are the pool's, emptied, or new ones.
  validity_.clear();
  validity_room_ = 0;
  values_.clear();
  data_.clear();
  if (items_ || is_variable(kind_)) values_.append_value<std::int32_t>(0);
  length_ = 0;
  null_count_ = 0;
  deferred_ = true;
}

}  // namespace pellumo::arrow
