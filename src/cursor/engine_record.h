// Turning a decoded record (long values resolved) into the values the
// engine's API would return: multi-valued columns split into lists, column
// defaults for what the record does not hold, signed 64-bit integers and
// dates (types/engine_value.h).
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "record/multi_value.h"
#include "record/record.h"
#include "types/engine_value.h"
#include "utils/bytes.h"

namespace pellumo {

// Fetches the long value a reference names into `out` (replaced); false
// when it cannot be fetched. Borrows the callable it is made from.
class LongValueFetch {
 public:
  // Not for LongValueFetch itself: copies copy (a non-const one would
  // otherwise be wrapped, its address kept).
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, LongValueFetch>)
  explicit LongValueFetch(F& f)
      : ctx_(&f), fn_([](void* ctx, Bytes reference, std::string& out) {
          return (*static_cast<F*>(ctx))(reference, out);
        }) {}
  bool operator()(Bytes reference, std::string& out) const { return fn_(ctx_, reference, out); }

 private:
  void* ctx_;
  bool (*fn_)(void*, Bytes, std::string&);
};

class EngineRecordBuilder {
 public:
  // Decodes each column's default once. Borrows the layout's TableInfo.
  explicit EngineRecordBuilder(std::shared_ptr<const RecordLayout> layout);

  const RecordLayout& layout() const { return *layout_; }

  // The engine values of `raw` (a record of this layout) into `out`, one
  // per column in layout order. Separated instances of multi-values are
  // fetched with `fetch`. Never fails: an instance that cannot be fetched
  // stays its reference bytes (as in the raw reading), a multi-value whose
  // layout is inconsistent becomes its stored bytes as one Binary value.
  void build(const Record& raw, const LongValueFetch& fetch, std::vector<EngineValue>& out);

  // The engine value of the layout's column `column` from its raw value
  // (long values resolved): what build() gives that column. For readers
  // that decode column by column.
  void build_value(std::size_t column, const ColumnValue& raw, const LongValueFetch& fetch, EngineValue& out);

  // The default a column takes when a record does not hold it; nullptr
  // when it has none (no DefaultValue, flag 0x10 clear, or a default the
  // writing application computes).
  const EngineValue* default_of(std::size_t column) const;

 private:
  void build_cell(const ColumnInfo& column, const ColumnValue& raw, const LongValueFetch& fetch, EngineValue& out);
  void decode_instance(const ColumnInfo& column, const MultiValueInstance& instance, const LongValueFetch& fetch,
                       ColumnValue& out);

  std::shared_ptr<const RecordLayout> layout_;
  std::vector<std::unique_ptr<EngineValue>> defaults_;
  std::vector<MultiValueInstance> instances_;
  std::string scratch_;
};

}  // namespace pellumo
