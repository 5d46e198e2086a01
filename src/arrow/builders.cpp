#include "arrow/builders.h"

#include <array>
#include <limits>
#include <utility>

#include "utils/hex.h"

namespace pellumo::arrow {
namespace {

// What a zero-length buffer points at: consumers may read a pointer of any
// buffer, and an empty offsets or data buffer must still be a valid address.
alignas(kBufferAlignment) const std::uint8_t kZeros[kBufferAlignment] = {};

// The private data of every exported array: the buffers and children it owns.
struct ArrayData {
  std::vector<Buffer> buffers;
  std::vector<const void*> pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  // A consumer may have moved a child out, leaving its release null.
  ~ArrayData() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  delete static_cast<ArrayData*>(array->private_data);
  array->release = nullptr;
  array->private_data = nullptr;
}

// Validity of one array: no bitmap until the first null, then one bit a row.
class Validity {
 public:
  void add_valid() {
    if (bitmap_) bits_.append(true);
  }
  void add_null(std::size_t row) {
    if (!bitmap_) {
      bits_.reserve(row + 64);
      bits_.append_many(true, row);
      bitmap_ = true;
    }
    bits_.append(false);
    ++null_count_;
  }
  std::int64_t null_count() const { return static_cast<std::int64_t>(null_count_); }
  // The bitmap (no memory when no row was null); starts again empty.
  Buffer take() {
    null_count_ = 0;
    bitmap_ = false;
    return bits_.take();
  }

 private:
  BitmapBuilder bits_;
  std::size_t null_count_ = 0;
  bool bitmap_ = false;
};

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

// Engine dates: microseconds since the Unix epoch.
bool to_timestamp(const ColumnValue& v, std::int64_t& out) {
  if (v.kind() != ValueKind::DateTime) return false;
  out = v.as_signed();
  return true;
}

// A GUID in the byte order of a UUID.
using UuidBytes = std::array<std::uint8_t, 16>;
bool to_uuid(const ColumnValue& v, UuidBytes& out) {
  if (v.kind() != ValueKind::Guid) return false;
  out = guid_uuid_bytes(v.as_guid());
  return true;
}

bool to_float32(const ColumnValue& v, float& out) {
  if (v.kind() != ValueKind::Float32) return false;
  out = v.as_float32();
  return true;
}

bool to_float64(const ColumnValue& v, double& out) {
  if (v.kind() == ValueKind::Float64) {
    out = v.as_float64();
    return true;
  }
  if (v.kind() == ValueKind::Float32) {
    out = v.as_float32();
    return true;
  }
  return false;
}

template <class T, bool (*Convert)(const ColumnValue&, T&)>
class FixedBuilder final : public ColumnBuilder {
 public:
  FixedBuilder() : ColumnBuilder(false) {}
  void reserve(std::size_t rows) override { values_.reserve((length_ + rows) * sizeof(T)); }
  void append(const ColumnValue& value) override {
    T v{};
    if (Convert(value, v)) {
      validity_.add_valid();
    } else {
      validity_.add_null(length_);
    }
    values_.append_value(v);
    ++length_;
  }
  void finish(ArrowArray* out) override {
    const std::int64_t nulls = validity_.null_count();
    std::vector<Buffer> buffers;
    buffers.push_back(validity_.take());
    values_.shrink_to_fit();
    buffers.push_back(std::move(values_));
    export_array(out, static_cast<std::int64_t>(length_), nulls, std::move(buffers), {true, false}, {});
    values_ = Buffer();
    length_ = 0;
  }

 private:
  Validity validity_;
  Buffer values_;
};

class BooleanBuilder final : public ColumnBuilder {
 public:
  BooleanBuilder() : ColumnBuilder(false) {}
  void reserve(std::size_t rows) override { values_.reserve(length_ + rows); }
  void append(const ColumnValue& value) override {
    if (value.kind() == ValueKind::Boolean) {
      validity_.add_valid();
      values_.append(value.as_bool());
    } else {
      validity_.add_null(length_);
      values_.append(false);
    }
    ++length_;
  }
  void finish(ArrowArray* out) override {
    const std::int64_t nulls = validity_.null_count();
    std::vector<Buffer> buffers;
    buffers.push_back(validity_.take());
    buffers.push_back(values_.take());
    export_array(out, static_cast<std::int64_t>(length_), nulls, std::move(buffers), {true, false}, {});
    length_ = 0;
  }

 private:
  Validity validity_;
  BitmapBuilder values_;
};

class NullBuilder final : public ColumnBuilder {
 public:
  NullBuilder() : ColumnBuilder(false) {}
  void reserve(std::size_t) override {}
  void append(const ColumnValue&) override { ++length_; }
  void finish(ArrowArray* out) override {
    const auto n = static_cast<std::int64_t>(length_);
    export_array(out, n, n, {}, {}, {});
    length_ = 0;
  }
};

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

// Utf8 ("u") and Binary ("z"): 32-bit offsets and one data buffer.
class VariableBuilder final : public ColumnBuilder {
 public:
  explicit VariableBuilder(bool text) : ColumnBuilder(true), text_(text) { offsets_.append_value<std::int32_t>(0); }

  void reserve(std::size_t rows) override {
    offsets_.reserve((length_ + rows + 1) * sizeof(std::int32_t));
    data_.reserve(data_hint_);
  }

  std::size_t variable_bytes(const ColumnValue& v) const override {
    switch (v.kind()) {
      case ValueKind::Text:
      case ValueKind::Binary:
      case ValueKind::MultiValue:
      case ValueKind::LongValue: return v.bytes().size();
      case ValueKind::Guid: return text_ ? kGuidTextSize : 16;
      case ValueKind::Null: return 0;
      default: return text_ ? 0 : 8;
    }
  }
  std::size_t variable_size() const override { return data_.size(); }

  void append(const ColumnValue& v) override {
    if (text_) {
      append_text(v);
    } else {
      append_binary(v);
    }
    offsets_.append_value(static_cast<std::int32_t>(data_.size()));
    ++length_;
  }

  void finish(ArrowArray* out) override {
    const std::int64_t nulls = validity_.null_count();
    data_hint_ = data_.size();
    std::vector<Buffer> buffers;
    buffers.push_back(validity_.take());
    offsets_.shrink_to_fit();
    buffers.push_back(std::move(offsets_));
    data_.shrink_to_fit();
    buffers.push_back(std::move(data_));
    export_array(out, static_cast<std::int64_t>(length_), nulls, std::move(buffers), {true, false, false}, {});
    offsets_ = Buffer();
    offsets_.append_value<std::int32_t>(0);
    data_ = Buffer();
    length_ = 0;
  }

 private:
  void add(const void* bytes, std::size_t n) {
    if (n > kMaxVariableBufferBytes - data_.size()) {
      validity_.add_null(length_);  // beyond what 32-bit offsets can address
      return;
    }
    data_.append(bytes, n);
    validity_.add_valid();
  }

  void append_text(const ColumnValue& v) {
    switch (v.kind()) {
      case ValueKind::Text: add(v.text().data(), v.text().size()); return;
      case ValueKind::Guid: {
        char text[kGuidTextSize];
        write_guid_text(v.as_guid(), text);
        add(text, sizeof text);
        return;
      }
      default: validity_.add_null(length_); return;
    }
  }

  void append_binary(const ColumnValue& v) {
    switch (v.kind()) {
      case ValueKind::Null: validity_.add_null(length_); return;
      case ValueKind::Text: add(v.text().data(), v.text().size()); return;
      case ValueKind::Binary:
      case ValueKind::MultiValue:
      case ValueKind::LongValue: add(v.bytes().data(), v.bytes().size()); return;
      case ValueKind::Guid: add(v.as_guid().data(), v.as_guid().size()); return;
      default: {
        std::uint8_t bytes[8];
        const std::size_t n = scalar_bytes(v, bytes);
        add(bytes, n);
        return;
      }
    }
  }

  bool text_;
  Validity validity_;
  Buffer offsets_;
  Buffer data_;
  std::size_t data_hint_ = 0;  // the previous batch's data size
};

// list<T> ("+l"): 32-bit offsets into one child array of the items.
class ListBuilder final : public ColumnBuilder {
 public:
  explicit ListBuilder(std::unique_ptr<ColumnBuilder> items)
      : ColumnBuilder(items->has_variable_buffer()), items_(std::move(items)) {
    offsets_.append_value<std::int32_t>(0);
  }
  void reserve(std::size_t rows) override {
    offsets_.reserve((length_ + rows + 1) * sizeof(std::int32_t));
    items_->reserve(rows);
  }
  // A single value is no list: null.
  void append(const ColumnValue&) override { add_null(); }
  void append_engine(const EngineValue& value) override {
    if (!value.is_list()) {
      add_null();
      return;
    }
    const auto items = value.items();
    if (items.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - items_->length()) {
      add_null();  // beyond what 32-bit offsets can address
      return;
    }
    for (const ColumnValue& item : items) items_->append(item);
    validity_.add_valid();
    offsets_.append_value(static_cast<std::int32_t>(items_->length()));
    ++length_;
  }
  std::size_t variable_bytes(const ColumnValue& value) const override { return items_->variable_bytes(value); }
  std::size_t variable_size() const override { return items_->variable_size(); }
  void finish(ArrowArray* out) override {
    const std::int64_t nulls = validity_.null_count();
    std::vector<ArrowArray> children(1, ArrowArray{});
    items_->finish(&children[0]);
    std::vector<Buffer> buffers;
    buffers.push_back(validity_.take());
    offsets_.shrink_to_fit();
    buffers.push_back(std::move(offsets_));
    export_array(out, static_cast<std::int64_t>(length_), nulls, std::move(buffers), {true, false},
                 std::move(children));
    offsets_ = Buffer();
    offsets_.append_value<std::int32_t>(0);
    length_ = 0;
  }

 private:
  void add_null() {
    validity_.add_null(length_);
    offsets_.append_value(static_cast<std::int32_t>(items_->length()));
    ++length_;
  }

  std::unique_ptr<ColumnBuilder> items_;
  Validity validity_;
  Buffer offsets_;
};

}  // namespace

std::unique_ptr<ColumnBuilder> make_builder(const ColumnPlan& plan) {
  if (plan.list) return std::make_unique<ListBuilder>(make_builder(plan.builder));
  return make_builder(plan.builder);
}

std::unique_ptr<ColumnBuilder> make_builder(BuilderKind kind) {
  switch (kind) {
    case BuilderKind::Null: return std::make_unique<NullBuilder>();
    case BuilderKind::Boolean: return std::make_unique<BooleanBuilder>();
    case BuilderKind::UInt8: return std::make_unique<FixedBuilder<std::uint8_t, to_integer<std::uint8_t>>>();
    case BuilderKind::Int16: return std::make_unique<FixedBuilder<std::int16_t, to_integer<std::int16_t>>>();
    case BuilderKind::UInt16: return std::make_unique<FixedBuilder<std::uint16_t, to_integer<std::uint16_t>>>();
    case BuilderKind::Int32: return std::make_unique<FixedBuilder<std::int32_t, to_integer<std::int32_t>>>();
    case BuilderKind::UInt32: return std::make_unique<FixedBuilder<std::uint32_t, to_integer<std::uint32_t>>>();
    case BuilderKind::UInt64: return std::make_unique<FixedBuilder<std::uint64_t, to_integer<std::uint64_t>>>();
    case BuilderKind::Float32: return std::make_unique<FixedBuilder<float, to_float32>>();
    case BuilderKind::Float64: return std::make_unique<FixedBuilder<double, to_float64>>();
    case BuilderKind::Utf8: return std::make_unique<VariableBuilder>(true);
    case BuilderKind::Binary: return std::make_unique<VariableBuilder>(false);
    case BuilderKind::Int64: return std::make_unique<FixedBuilder<std::int64_t, to_integer<std::int64_t>>>();
    case BuilderKind::Timestamp: return std::make_unique<FixedBuilder<std::int64_t, to_timestamp>>();
    case BuilderKind::Uuid: return std::make_unique<FixedBuilder<UuidBytes, to_uuid>>();
  }
  return std::make_unique<VariableBuilder>(false);
}

void export_array(ArrowArray* out, std::int64_t length, std::int64_t null_count, std::vector<Buffer> buffers,
                  std::vector<bool> absent, std::vector<ArrowArray> children) {
  auto data = std::make_unique<ArrayData>();
  data->buffers = std::move(buffers);
  data->children = std::move(children);
  data->pointers.reserve(data->buffers.size());
  for (std::size_t i = 0; i < data->buffers.size(); ++i) {
    const Buffer& b = data->buffers[i];
    if (b.data() != nullptr) {
      data->pointers.push_back(b.data());
    } else {
      data->pointers.push_back(i < absent.size() && absent[i] ? nullptr : kZeros);
    }
  }
  data->child_pointers.reserve(data->children.size());
  for (ArrowArray& child : data->children) data->child_pointers.push_back(&child);

  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = static_cast<std::int64_t>(data->pointers.size());
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->buffers = data->pointers.empty() ? nullptr : data->pointers.data();
  out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data.release();
}

}  // namespace pellumo::arrow
