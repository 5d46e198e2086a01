// Arrow producer fuzzing, over damaged records and damaged databases. Every
// exported array is checked the way a consumer would read it: offsets
// start at 0, never fall and stay inside the data; validity counts agree.
//
// Input: byte 0 bit 1 set: the rest is a whole database file; every table
// goes through a stream in batches of 7 records with a 4 KiB limit on text
// buffers. Otherwise the rest is one record (bit 0: large-page tagged
// layout), decoded against a column of every type in each class and
// appended, with a null row, to the builder of every column's plan and to a
// text and a binary builder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrow/builders.h"
#include "arrow/stream.h"
#include "catalog/table_info.h"
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
    if (!source->export_stream(&stream).ok()) continue;
    ArrowSchema s{};
    require(stream.get_schema(&stream, &s) == 0);
    // A bound on the batches: a damaged leaf chain ends in an error, never a loop.
    for (int batches = 0; batches < 100000; ++batches) {
      ArrowArray batch{};
      if (stream.get_next(&stream, &batch) != 0) {
        require(stream.get_last_error(&stream) != nullptr);
        break;
      }
      if (batch.release == nullptr) break;
      require(batch.length >= 1 && batch.length <= 7 && batch.n_children == s.n_children);
      for (std::int64_t j = 0; j < batch.n_children; ++j) {
        require(batch.children[j]->length == batch.length);
        check_array(s.children[j]->format, *batch.children[j]);
      }
      batch.release(&batch);
    }
    s.release(&s);
    stream.release(&stream);
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
