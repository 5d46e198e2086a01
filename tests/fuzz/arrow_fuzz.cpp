// Arrow producer fuzzing, over damaged records and damaged databases. Every
// exported array is checked the way a consumer would read it: offsets
// start at 0, never fall and stay inside the data; validity counts agree.
//
// Input: byte 0 bit 1 set: the rest is a whole database file; every table
// goes through a stream in batches of 7 records with a 4 KiB limit on text
// buffers, and the damage a stream that ends reports must be what a walk of
// the table's cursor counts. Otherwise the rest is one record (bit 0: large-page tagged
// layout), decoded against a column of every type in each class and
// appended, with a null row, to the sink of every column's plan and to a
// text and a binary sink; then decoded by the columnar decoder, raw and
// engine values, whose arrays must equal those of the record decoder's
// values (the fuzzer aborts where they differ).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/builders.h"
#include "arrow/columnar_decoder.h"
#include "arrow/stream.h"
#include "cursor/engine_record.h"
#include "cursor/long_value.h"
#include "catalog/table_info.h"
#include "cursor/table_cursor.h"
#include "open_memory.h"
#include "record/parser.h"

namespace {

using namespace pellumo;

void require(bool ok) {
  if (!ok) std::abort();
}

std::int32_t offset_at(const void* buffer, std::int64_t i) {
  std::int32_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + 4 * i, 4);
  return v;
}

// Reads every buffer of one column array as a consumer would.
void check_array(const char* format, const ArrowArray& a) {
  require(a.release != nullptr && a.offset == 0 && a.length >= 0);
  if (format[0] == 'n') {
    require(a.n_buffers == 0 && a.null_count == a.length);
    return;
  }
  const std::uint8_t* validity = static_cast<const std::uint8_t*>(a.buffers[0]);
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; validity != nullptr && i < a.length; ++i) nulls += !((validity[i / 8] >> (i % 8)) & 1);
  require(nulls == a.null_count);
  if (format[0] == 'u' || format[0] == 'z') {
    require(a.n_buffers == 3 && offset_at(a.buffers[1], 0) == 0);
    for (std::int64_t i = 0; i < a.length; ++i) require(offset_at(a.buffers[1], i) <= offset_at(a.buffers[1], i + 1));
    const std::int32_t end = offset_at(a.buffers[1], a.length);
    volatile std::uint8_t sink = 0;
    for (std::int32_t i = 0; i < end; ++i) sink = sink ^ static_cast<const std::uint8_t*>(a.buffers[2])[i];
  }
}

std::size_t value_width(const char* format) {
  switch (format[0]) {
    case 'C': return 1;
    case 's':
    case 'S': return 2;
    case 'i':
    case 'I':
    case 'f': return 4;
    case 'w': return 16;
    default: return 8;  // l, L, g, tsu:UTC
  }
}

bool valid_at(const ArrowArray& a, std::int64_t i) {
  const auto* v = static_cast<const std::uint8_t*>(a.buffers[0]);
  return v == nullptr || ((v[i / 8] >> (i % 8)) & 1);
}

// Whether two arrays of `field` hold the same values row by row (bytes
// under nulls aside).
bool same_array(const ArrowSchema& field, const ArrowArray& a, const ArrowArray& b) {
  if (a.length != b.length || a.null_count != b.null_count || a.n_buffers != b.n_buffers) return false;
  const std::string format = field.format;
  if (format == "n") return true;
  for (std::int64_t i = 0; i < a.length; ++i) {
    if (valid_at(a, i) != valid_at(b, i)) return false;
    if (!valid_at(a, i)) continue;
    if (format == "b") {
      auto bit = [&](const ArrowArray& x) { return (static_cast<const std::uint8_t*>(x.buffers[1])[i / 8] >> (i % 8)) & 1; };
      if (bit(a) != bit(b)) return false;
    } else if (format == "u" || format == "z" || format == "+l") {
      const std::int32_t a0 = offset_at(a.buffers[1], i), a1 = offset_at(a.buffers[1], i + 1);
      const std::int32_t b0 = offset_at(b.buffers[1], i), b1 = offset_at(b.buffers[1], i + 1);
      if (a1 - a0 != b1 - b0) return false;
      if (format != "+l" && a1 > a0 &&
          std::memcmp(static_cast<const std::uint8_t*>(a.buffers[2]) + a0,
                      static_cast<const std::uint8_t*>(b.buffers[2]) + b0, static_cast<std::size_t>(a1 - a0)) != 0) {
        return false;
      }
    } else {
      const std::size_t w = value_width(format.c_str());
      if (std::memcmp(static_cast<const std::uint8_t*>(a.buffers[1]) + w * static_cast<std::size_t>(i),
                      static_cast<const std::uint8_t*>(b.buffers[1]) + w * static_cast<std::size_t>(i), w) != 0) {
        return false;
      }
    }
  }
  // A list's rows agree in their lengths; their items must agree too.
  if (format == "+l") return same_array(*field.children[0], *a.children[0], *b.children[0]);
  return true;
}

const TableInfo& schema() {
  static const TableInfo table = [] {
    TableInfo t = TableInfo::make("F", 5, 80);
    auto add = [&](std::string name, std::uint32_t id, std::uint32_t type, std::uint32_t width, std::uint32_t cp,
                   std::uint32_t flags) {
      ColumnInfo c;
      c.name = name;
      c.id = id;
      c.column_type = static_cast<ColumnType>(type);
      c.space_usage = width;
      c.codepage = cp;
      c.flags = flags;
      t.columns.insert_or_assign(name, c);
    };
    const std::uint32_t fixed_types[] = {1, 2, 3, 4, 5, 6, 7, 8, 14, 15, 16, 17, 18, 10};
    const std::uint32_t fixed_widths[] = {1, 1, 2, 4, 8, 4, 8, 8, 4, 8, 16, 2, 8, 10};
    for (std::uint32_t i = 0; i < 14; ++i) add("f" + std::to_string(i), i + 1, fixed_types[i], fixed_widths[i], 1252, 0);
    for (std::uint32_t type = 0; type <= 18; ++type) {
      add("v" + std::to_string(type), 128 + type, type, 255, type % 2 ? 1200 : 1252, 0);
      // Tagged: every other one multi-valued, some text in an unknown code page.
      add("t" + std::to_string(type), 256 + type, type, 0, type % 3 == 0 ? 7 : type % 2 ? 1200 : 1252,
          type % 2 ? arrow::kColumnFlagMultiValued : 0);
    }
    return t;
  }();
  return table;
}

void decode_columnar(bool large, Bytes record);

void fuzz_record(bool large, Bytes record) {
  static RecordParser small_parser(std::make_shared<const RecordLayout>(schema()), false);
  static RecordParser large_parser(std::make_shared<const RecordLayout>(schema()), true);
  RecordParser& parser = large ? large_parser : small_parser;
  const Record r = parser.decode(record);
  const ColumnValue null;
  auto pool = std::make_shared<arrow::ArrayPool>(2);
  for (std::size_t i = 0; i < r.size(); ++i) {
    const arrow::ColumnPlan plan = arrow::plan_column(r.layout().column(i), i, arrow::ValueProfile::Raw);
    for (arrow::BuilderKind kind : {plan.builder, arrow::BuilderKind::Utf8, arrow::BuilderKind::Binary}) {
      arrow::ColumnSink sink(kind, false, 1);
      sink.append(r.value(i));
      sink.append_null();
      sink.append(r.value(i));
      sink.pad_to(5);
      require(sink.length() == 5);
      ArrowArray out{};
      sink.finish(&out, *pool);
      check_array(arrow::builder_format(kind), out);
      out.release(&out);
    }
  }
  pool->close();
  decode_columnar(large, record);
}

// The columnar decoder against the record decoder, every column of the
// schema, two rows of the record (the second after one left to padding).
void decode_columnar(bool large, Bytes record) {
  static const auto layout = std::make_shared<const RecordLayout>(schema());
  // Nothing resolves: a reference stays unresolved on both paths.
  auto no_fetch = [](Bytes, std::string&) { return false; };
  for (arrow::ValueProfile profile : {arrow::ValueProfile::Raw, arrow::ValueProfile::Engine}) {
    std::vector<arrow::ColumnPlan> plans;
    for (std::size_t i = 0; i < layout->size(); ++i) plans.push_back(arrow::plan_column(layout->column(i), i, profile));
    std::size_t slots = 0;
    std::vector<arrow::ColumnSink> fast, reference;
    for (const arrow::ColumnPlan& plan : plans) {
      fast.emplace_back(plan, slots);
      reference.emplace_back(plan, slots);
      slots += arrow::ColumnSink::slots_needed(plan);
    }
    arrow::ColumnarDecoder decoder(layout, plans, profile, large, LongValueFetch(no_fetch), std::size_t{1} << 20);
    decoder.decode(record, 0, fast);
    decoder.decode(record, 2, fast);
    decoder.pad(3, fast);

    RecordParser parser(layout, large);
    Record r = parser.decode(record);
    resolve_long_values_with(r, no_fetch);
    EngineRecordBuilder engine(layout);
    std::vector<EngineValue> values;
    engine.build(r, LongValueFetch(no_fetch), values);
    for (std::size_t j = 0; j < plans.size(); ++j) {
      for (int row = 0; row < 3; ++row) {
        if (row == 1) {
          // The row the decoder left to padding: a record holding nothing.
          if (profile == arrow::ValueProfile::Engine && engine.default_of(j) != nullptr) {
            reference[j].append_engine(*engine.default_of(j));
          } else {
            reference[j].append_null();
          }
        } else if (profile == arrow::ValueProfile::Engine) {
          reference[j].append_engine(values[j]);
        } else {
          reference[j].append(r.value(j));
        }
      }
    }
    auto pool = std::make_shared<arrow::ArrayPool>(slots);
    for (std::size_t j = 0; j < plans.size(); ++j) {
      ArrowSchema field{};
      arrow::export_struct_schema(&field, {plans[j].field}, "");
      ArrowArray a{}, b{};
      fast[j].finish(&a, *pool);
      reference[j].finish(&b, *pool);
      check_array(plans[j].field.format.c_str(), a);
      require(same_array(*field.children[0], a, b));
      a.release(&a);
      b.release(&b);
      field.release(&field);
    }
    pool->close();
  }
}

void fuzz_file(const std::uint8_t* data, std::size_t size) {
  auto opened = fuzz::open_memory(data, size);
  if (!opened) return;
  std::shared_ptr<const Database> db(std::move(opened).value());
  for (const auto& [name, table] : db->tables()) {
    arrow::ExportOptions options;
    options.batch_rows = 7;
    options.max_variable_bytes = 4096;
    auto source = arrow::TableExport::make(db, name, options);
    if (!source) continue;
    ArrowArrayStream stream{};
    std::optional<ReadDamage> told;
    auto on_damage = [&](const ReadDamage& damage, bool) {
      told = damage;
      return std::string();
    };
    if (!source->export_stream(&stream, on_damage).ok()) continue;
    ArrowSchema s{};
    require(stream.get_schema(&stream, &s) == 0);
    bool ended = false;
    // A bound on the batches: a damaged leaf chain ends in an error, never a loop.
    for (int batches = 0; batches < 100000; ++batches) {
      ArrowArray batch{};
      if (stream.get_next(&stream, &batch) != 0) {
        require(stream.get_last_error(&stream) != nullptr);
        break;
      }
      if (batch.release == nullptr) {
        ended = true;
        break;
      }
      require(batch.length >= 1 && batch.length <= 7 && batch.n_children == s.n_children);
      for (std::int64_t j = 0; j < batch.n_children; ++j) {
        require(batch.children[j]->length == batch.length);
        check_array(s.children[j]->format, *batch.children[j]);
      }
      batch.release(&batch);
    }
    s.release(&s);
    stream.release(&stream);
    // What the stream could not read is what a walk of the cursor counts.
    if (ended) {
      require(told.has_value());
      auto cursor = db->open_table(name);
      require(cursor.ok());
      while (true) {
        auto more = cursor->advance();
        require(more.ok());
        if (!more.value()) break;
      }
      require(cursor->damage() == *told);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 2) {
    fuzz_file(data + 1, size - 1);
  } else {
    fuzz_record((data[0] & 1) != 0, Bytes(data + 1, size - 1));
  }
  return 0;
}
