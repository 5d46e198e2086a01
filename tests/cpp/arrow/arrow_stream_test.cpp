// The Arrow producer, consumed through the C stream interface alone: every
// batch of every table is validated buffer by buffer (lengths, alignment,
// offsets, validity and boolean bits, UTF-8) and its values compared with
// the cursor's records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "arrow/builders.h"
#include "arrow/stream.h"
#include "cursor/engine_record.h"
#include "fixture/arrow_scenarios.h"
#include "fixture/columnar_scenarios.h"
#include "fixture/open_bytes.h"
#include "fixture/scenarios.h"
#include "fixture/scenarios_python.h"
#include "fixture/temp_file.h"
#include "utils/hex.h"
#include "utils/utf8.h"

namespace pellumo::arrow {
namespace {

using fixture::Format;

// One cell as a consumer sees it.
using Cell = std::optional<std::variant<bool, std::int64_t, std::uint64_t, double, std::string>>;

struct Collected {
  std::vector<std::vector<Cell>> columns;  // by field
  std::vector<std::int64_t> batch_rows;
  std::vector<std::vector<std::int64_t>> data_bytes;  // by batch, by field: variable-width data size
  int status = 0;
  std::string error;
};

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % kBufferAlignment == 0; }
bool bit(const void* bitmap, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bitmap)[i / 8] >> (i % 8)) & 1;
}

std::map<std::string, std::string> decode_metadata(const char* metadata) {
  std::map<std::string, std::string> out;
  if (metadata == nullptr) return out;
  auto read_i32 = [&](const char*& p) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    p += 4;
    return v;
  };
  const char* p = metadata;
  const std::int32_t n = read_i32(p);
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t klen = read_i32(p);
    std::string key(p, static_cast<std::size_t>(klen));
    p += klen;
    const std::int32_t vlen = read_i32(p);
    out[key] = std::string(p, static_cast<std::size_t>(vlen));
    p += vlen;
  }
  return out;
}

template <class T>
T load(const void* buffer, std::int64_t i) {
  T v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + i * static_cast<std::int64_t>(sizeof(T)), sizeof v);
  return v;
}

// One list cell as text: its items' cells, rendered.
std::string render(const Cell& c) {
  if (!c) return "null";
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          std::string hex(2 * v.size(), '0');
          write_hex(hex.data(), Bytes(reinterpret_cast<const std::uint8_t*>(v.data()), v.size()));
          return "'" + hex + "'";
        } else if constexpr (std::is_same_v<T, double>) {
          std::uint64_t bits;
          std::memcpy(&bits, &v, sizeof bits);
          return "f" + std::to_string(bits);
        } else {
          return std::to_string(v);
        }
      },
      *c);
}

std::string render_list(const std::vector<Cell>& items) {
  std::string out = "[";
  for (const Cell& item : items) out += render(item) + ",";
  return out + "]";
}

// Checks one column array against its field and appends its cells; returns
// the size of its variable-width data (0 for other types). A list's cell is
// its items rendered as one string.
std::int64_t check_column(const ArrowSchema& field, const ArrowArray& a, std::vector<Cell>& cells) {
  const std::string format = field.format;
  EXPECT_EQ(a.offset, 0);
  EXPECT_EQ(a.dictionary, nullptr);
  EXPECT_NE(a.release, nullptr);
  EXPECT_EQ(a.n_children, format == "+l" ? 1 : 0) << format;
  if (format == "n") {
    EXPECT_EQ(a.n_buffers, 0);
    EXPECT_EQ(a.null_count, a.length);
    for (std::int64_t i = 0; i < a.length; ++i) cells.emplace_back();
    return 0;
  }
  const bool variable = format == "u" || format == "z";
  const std::int64_t buffers = variable ? 3 : 2;
  EXPECT_EQ(a.n_buffers, buffers) << format;
  if (a.n_buffers != buffers) return 0;
  // Validity only where a null exists, and then exactly null_count clear bits.
  const void* validity = a.buffers[0];
  if (a.null_count == 0) {
    EXPECT_EQ(validity, nullptr) << field.name;
  } else {
    EXPECT_NE(validity, nullptr) << field.name;
    EXPECT_TRUE(aligned(validity));
    EXPECT_NE(field.flags & ARROW_FLAG_NULLABLE, 0) << field.name;
  }
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; i < a.length; ++i) nulls += validity != nullptr && !bit(validity, i);
  EXPECT_EQ(nulls, a.null_count) << field.name;
  for (std::int64_t k = 1; k < a.n_buffers; ++k) {
    EXPECT_NE(a.buffers[k], nullptr);
    EXPECT_TRUE(aligned(a.buffers[k])) << field.name << " buffer " << k;
  }
  const void* values = a.buffers[1];
  std::int64_t data_size = 0;
  std::vector<Cell> items;
  if (variable || format == "+l") {
    EXPECT_EQ(load<std::int32_t>(values, 0), 0);
    for (std::int64_t i = 0; i < a.length; ++i) EXPECT_LE(load<std::int32_t>(values, i), load<std::int32_t>(values, i + 1));
  }
  if (variable) {
    data_size = load<std::int32_t>(values, a.length);
    // Every byte up to the last offset is read: the sanitizers check the range.
    const std::string data(static_cast<const char*>(a.buffers[2]), static_cast<std::size_t>(data_size));
    if (format == "u") {
      EXPECT_TRUE(is_valid_utf8(data)) << field.name;
    }
  } else if (format == "+l") {
    if (a.n_children != 1) return 0;
    data_size = check_column(*field.children[0], *a.children[0], items);
    EXPECT_EQ(static_cast<std::int64_t>(items.size()), load<std::int32_t>(values, a.length));
  }
  for (std::int64_t i = 0; i < a.length; ++i) {
    if (validity != nullptr && !bit(validity, i)) {
      cells.emplace_back();
      continue;
    }
    if (format == "+l") {
      const auto start = load<std::int32_t>(values, i), end = load<std::int32_t>(values, i + 1);
      cells.emplace_back(render_list(std::vector<Cell>(items.begin() + start, items.begin() + end)));
      continue;
    }
    if (format == "w:16") {
      cells.emplace_back(std::string(static_cast<const char*>(values) + 16 * i, 16));
      continue;
    }
    switch (format[0]) {
      case 'b': cells.emplace_back(bit(values, i)); break;
      case 'C': cells.emplace_back(std::uint64_t{load<std::uint8_t>(values, i)}); break;
      case 'S': cells.emplace_back(std::uint64_t{load<std::uint16_t>(values, i)}); break;
      case 'I': cells.emplace_back(std::uint64_t{load<std::uint32_t>(values, i)}); break;
      case 'L': cells.emplace_back(load<std::uint64_t>(values, i)); break;
      case 's': cells.emplace_back(std::int64_t{load<std::int16_t>(values, i)}); break;
      case 'i': cells.emplace_back(std::int64_t{load<std::int32_t>(values, i)}); break;
      case 'l':
      case 't': cells.emplace_back(load<std::int64_t>(values, i)); break;
      case 'f': cells.emplace_back(double{load<float>(values, i)}); break;
      case 'g': cells.emplace_back(load<double>(values, i)); break;
      case 'u':
      case 'z': {
        const auto start = load<std::int32_t>(values, i), end = load<std::int32_t>(values, i + 1);
        cells.emplace_back(std::string(static_cast<const char*>(a.buffers[2]) + start, static_cast<std::size_t>(end - start)));
        break;
      }
      default: ADD_FAILURE() << "unexpected format " << format;
    }
  }
  return data_size;
}

// Reads a whole stream through its callbacks, validating every batch.
Collected consume(ArrowArrayStream& stream) {
  Collected out;
  ArrowSchema schema{};
  EXPECT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  out.columns.resize(static_cast<std::size_t>(schema.n_children));
  while (true) {
    ArrowArray batch{};
    const int status = stream.get_next(&stream, &batch);
    if (status != 0) {
      out.status = status;
      const char* message = stream.get_last_error(&stream);
      out.error = message == nullptr ? "" : message;
      break;
    }
    if (batch.release == nullptr) break;
    EXPECT_GT(batch.length, 0) << "a batch is never empty";
    EXPECT_EQ(batch.null_count, 0);
    EXPECT_EQ(batch.n_buffers, 1);
    EXPECT_EQ(batch.buffers[0], nullptr);
    EXPECT_EQ(batch.n_children, schema.n_children);
    out.batch_rows.push_back(batch.length);
    out.data_bytes.emplace_back();
    for (std::int64_t j = 0; j < batch.n_children; ++j) {
      EXPECT_EQ(batch.children[j]->length, batch.length);
      out.data_bytes.back().push_back(
          check_column(*schema.children[j], *batch.children[j], out.columns[static_cast<std::size_t>(j)]));
    }
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
  }
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  return out;
}

Collected read_all(const TableExport& source) {
  ArrowArrayStream stream{};
  auto opened = source.export_stream(&stream);
  EXPECT_TRUE(opened.ok());
  if (!opened.ok()) return {};
  Collected c = consume(stream);
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
  return c;
}

// What a cursor value must read as in a column of builder `kind`.
Cell expected_cell(BuilderKind kind, const ColumnValue& v) {
  auto integer = [&](std::int64_t lo, std::uint64_t hi, bool is_signed) -> Cell {
    switch (v.kind()) {
      case ValueKind::Int8:
      case ValueKind::Int16:
      case ValueKind::Int32:
      case ValueKind::Int64:
        if (v.as_signed() < lo || (v.as_signed() >= 0 && static_cast<std::uint64_t>(v.as_signed()) > hi)) return {};
        return is_signed ? Cell(v.as_signed()) : Cell(static_cast<std::uint64_t>(v.as_signed()));
      case ValueKind::UInt8:
      case ValueKind::UInt16:
      case ValueKind::UInt32:
      case ValueKind::UInt64:
      case ValueKind::DateTime:
      case ValueKind::Currency:
        if (v.as_unsigned() > hi) return {};
        return is_signed ? Cell(static_cast<std::int64_t>(v.as_unsigned())) : Cell(v.as_unsigned());
      default: return {};
    }
  };
  switch (kind) {
    case BuilderKind::Null: return {};
    case BuilderKind::Int64: return integer(INT64_MIN, INT64_MAX, true);
    case BuilderKind::Timestamp: return v.kind() == ValueKind::DateTime ? Cell(v.as_signed()) : Cell();
    case BuilderKind::Uuid: {
      if (v.kind() != ValueKind::Guid) return {};
      // The UUID's fields big-endian: the GUID's first three reversed.
      const auto& g = v.as_guid();
      const std::uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
      std::string out;
      for (std::uint8_t i : order) out.push_back(static_cast<char>(g[i]));
      return out;
    }
    case BuilderKind::Boolean: return v.kind() == ValueKind::Boolean ? Cell(v.as_bool()) : Cell();
    case BuilderKind::UInt8: return integer(0, 0xFF, false);
    case BuilderKind::Int16: return integer(-32768, 32767, true);
    case BuilderKind::UInt16: return integer(0, 0xFFFF, false);
    case BuilderKind::Int32: return integer(INT32_MIN, INT32_MAX, true);
    case BuilderKind::UInt32: return integer(0, UINT32_MAX, false);
    case BuilderKind::UInt64: return integer(0, UINT64_MAX, false);
    case BuilderKind::Float32: return v.kind() == ValueKind::Float32 ? Cell(double{v.as_float32()}) : Cell();
    case BuilderKind::Float64:
      if (v.kind() == ValueKind::Float64) return v.as_float64();
      return v.kind() == ValueKind::Float32 ? Cell(double{v.as_float32()}) : Cell();
    case BuilderKind::Utf8:
      if (v.kind() == ValueKind::Text) return std::string(v.text());
      if (v.kind() == ValueKind::Guid) {
        char text[kGuidTextSize];
        write_guid_text(v.as_guid(), text);
        return std::string(text, sizeof text);
      }
      return {};
    case BuilderKind::Binary:
      switch (v.kind()) {
        case ValueKind::Null: return {};
        case ValueKind::Text: return std::string(v.text());
        case ValueKind::Guid: return std::string(reinterpret_cast<const char*>(v.as_guid().data()), 16);
        case ValueKind::Binary:
        case ValueKind::MultiValue:
        case ValueKind::LongValue: return std::string(reinterpret_cast<const char*>(v.bytes().data()), v.bytes().size());
        default: {
          // Numbers as their little-endian bytes, as wide as their variant.
          const std::size_t width = v.kind() == ValueKind::Boolean || v.kind() == ValueKind::UInt8 ? 1
                                    : v.kind() == ValueKind::Int16 || v.kind() == ValueKind::UInt16 ? 2
                                    : v.kind() == ValueKind::Int32 || v.kind() == ValueKind::UInt32 ||
                                            v.kind() == ValueKind::Float32
                                        ? 4
                                        : 8;
          std::string s;
          const std::uint64_t bits = v.kind() == ValueKind::Boolean ? v.as_bool() : v.as_unsigned();
          for (std::size_t i = 0; i < width; ++i) s.push_back(static_cast<char>(bits >> (8 * i)));
          return s;
        }
      }
  }
  return {};
}

bool same_cell(const Cell& a, const Cell& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (std::holds_alternative<double>(*a) && std::holds_alternative<double>(*b)) {
    const double x = std::get<double>(*a), y = std::get<double>(*b);
    return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
  }
  return *a == *b;
}

// Every table of `db` read through a stream equals the cursor's records.
void expect_tables_match_cursor(const std::shared_ptr<const Database>& db, const std::string& label,
                                std::size_t batch_rows = kDefaultBatchRows) {
  for (const auto& [name, table] : db->tables()) {
    SCOPED_TRACE(label + " table " + name);
    ExportOptions options;
    options.batch_rows = batch_rows;
    auto source = TableExport::make(db, name, options);
    ASSERT_TRUE(source.ok());
    auto cursor = db->open_table(name);
    if (!cursor.ok()) continue;  // a table that cannot be opened has no stream either
    const Collected got = read_all(*source);
    std::size_t row = 0;
    std::size_t mismatches = 0;
    while (true) {
      auto more = cursor->advance();
      if (!more.ok()) {
        EXPECT_EQ(got.status, EIO);
        EXPECT_EQ(got.error, "Error reading record: " + more.error().message());
        break;
      }
      if (!more.value()) {
        EXPECT_EQ(got.status, 0);
        break;
      }
      const Record& r = cursor->current();
      for (std::size_t j = 0; j < source->columns().size(); ++j) {
        const ColumnPlan& plan = source->columns()[j];
        const Cell want = expected_cell(plan.builder, r.value(plan.layout_index));
        if (row >= got.columns[j].size() || !same_cell(got.columns[j][row], want)) {
          if (++mismatches < 5) ADD_FAILURE() << "row " << row << " column " << plan.column->name;
        }
      }
      ++row;
    }
    for (const auto& column : got.columns) EXPECT_EQ(column.size(), row);
    for (std::int64_t n : got.batch_rows) EXPECT_LE(static_cast<std::size_t>(n), batch_rows);
  }
}

// What an engine cell must read as in a column of `plan`.
Cell expected_engine_cell(const ColumnPlan& plan, const EngineValue& v) {
  if (plan.list) {
    if (!v.is_list()) return {};
    std::vector<Cell> items;
    for (const ColumnValue& item : v.items()) items.push_back(expected_cell(plan.builder, item));
    return render_list(items);
  }
  return v.is_list() ? Cell() : expected_cell(plan.builder, v.value());
}

// Every table of `db` streamed with engine values equals the engine reading
// of the cursor's records (deleted entries passed over, as the engine does).
void expect_engine_tables_match_cursor(const std::shared_ptr<const Database>& db, const std::string& label,
                                       std::size_t batch_rows = kDefaultBatchRows) {
  for (const auto& [name, table] : db->tables()) {
    SCOPED_TRACE(label + " table " + name);
    ExportOptions options;
    options.batch_rows = batch_rows;
    options.profile = ValueProfile::Engine;
    auto source = TableExport::make(db, name, options);
    ASSERT_TRUE(source.ok());
    auto cursor = db->open_table(name);
    if (!cursor.ok()) continue;
    cursor->set_skip_deleted(true);
    const Collected got = read_all(*source);
    EngineRecordBuilder engine(cursor->shared_layout());
    std::vector<EngineValue> values;
    auto fetch = [&](Bytes reference, std::string& out) { return cursor->fetch_long_value(reference, out); };
    std::size_t row = 0, mismatches = 0;
    while (true) {
      auto more = cursor->advance();
      ASSERT_TRUE(more.ok());
      if (!more.value()) break;
      engine.build(cursor->current(), LongValueFetch(fetch), values);
      for (std::size_t j = 0; j < source->columns().size(); ++j) {
        const ColumnPlan& plan = source->columns()[j];
        const Cell want = expected_engine_cell(plan, values[plan.layout_index]);
        if (row >= got.columns[j].size() || !same_cell(got.columns[j][row], want)) {
          if (++mismatches < 5) {
            ADD_FAILURE() << "row " << row << " column " << plan.column->name << ": got "
                          << (row < got.columns[j].size() ? render(got.columns[j][row]) : "nothing") << ", want "
                          << render(want);
          }
        }
      }
      ++row;
    }
    EXPECT_EQ(got.status, 0);
    for (const auto& column : got.columns) EXPECT_EQ(column.size(), row);
  }
}

std::shared_ptr<const Database> open_scenario(const char* name, const Format& format) {
  const fixture::Scenario* scenario = fixture::find_scenario(name);
  EXPECT_NE(scenario, nullptr) << name;
  auto db = fixture::open_bytes(scenario->build(format));
  EXPECT_TRUE(db.ok()) << name;
  return db.ok() ? std::shared_ptr<const Database>(std::move(db).value()) : nullptr;
}

const Format kFormats[] = {{4096, 0x620, 0x14}, {8192, 0x620, 0x14}, {32768, 0x620, 0x14}, {8192, 0x620, 0x0c}};

TEST(ArrowStream, EveryScenarioTableMatchesTheCursor) {
  for (const char* scenario : {"records", "python-values", "python-broken-chain", "sample", "columnar", "engine-values"}) {
    for (const Format& format : kFormats) {
      auto db = open_scenario(scenario, format);
      ASSERT_NE(db, nullptr);
      const std::string label = std::string(scenario) + " page size " + std::to_string(format.page_size) +
                                " revision " + std::to_string(format.format_revision);
      expect_tables_match_cursor(db, label);
      // Batches of a few records: every batch boundary, and one record alone.
      expect_tables_match_cursor(db, label + " batches of 3", 3);
      expect_tables_match_cursor(db, label + " batches of 1", 1);
    }
  }
  // The arrow scenario's 100 MiB of text once per page size.
  for (const Format& format : kFormats) {
    auto db = open_scenario("arrow", format);
    ASSERT_NE(db, nullptr);
    expect_tables_match_cursor(db, "arrow page size " + std::to_string(format.page_size));
  }
}

TEST(ArrowStream, EngineValuesMatchTheEngineReadingOfTheCursor) {
  for (const char* scenario : {"engine-values", "columnar", "records", "python-values", "sample"}) {
    for (const Format& format : kFormats) {
      auto db = open_scenario(scenario, format);
      ASSERT_NE(db, nullptr);
      const std::string label = std::string(scenario) + " page size " + std::to_string(format.page_size) +
                                " revision " + std::to_string(format.format_revision);
      expect_engine_tables_match_cursor(db, label);
      expect_engine_tables_match_cursor(db, label + " batches of 7", 7);
    }
  }
}

TEST(ArrowStream, EverySampleTableMatchesTheCursor) {
  const std::string dir = PELLUMO_SAMPLES_DIR;
  fixture::TempDir temp;
  int opened = 0;
  for (const char* name : {"basic.edb", "binary.edb", "default.edb", "index.edb", "large.edb", "multi.edb",
                           "text.edb", "SRUDB.dat", "Current.mdb", "SystemIdentity.mdb", "ntds.dit", "Windows.edb",
                           "WebCacheV01.dat"}) {
    const std::string gz = dir + "/" + name + ".gz";
    const std::string out = temp.file(name);
    if (std::system(("test -f '" + gz + "' && gzip -dc '" + gz + "' > '" + out + "'").c_str()) != 0) continue;
    auto db = Database::open(out);
    ASSERT_TRUE(db.ok()) << name;
    const std::shared_ptr<const Database> shared(std::move(db).value());
    expect_tables_match_cursor(shared, name);
    expect_engine_tables_match_cursor(shared, name);
    ++opened;
  }
  if (opened == 0) GTEST_SKIP() << "samples folder absent";
}

TEST(ArrowStream, SchemaFieldsTypesFlagsAndMetadata) {
  auto db = open_scenario("records", {});
  auto source = TableExport::make(db, "AllTypes", {});
  ASSERT_TRUE(source.ok());
  ArrowSchema schema{};
  source->export_schema(&schema);
  EXPECT_STREQ(schema.format, "+s");
  EXPECT_EQ(decode_metadata(schema.metadata)["ese.table"], "AllTypes");
  struct Want {
    const char* name;
    const char* format;
    bool nullable;
    const char* type;
    const char* codepage;  // "" when absent
  };
  const Want want[] = {
      {"Id", "i", true, "Signed long", ""},         {"Flag", "b", true, "Boolean", ""},
      {"Byte", "C", true, "Unsigned byte", ""},     {"Short", "s", true, "Signed short", ""},
      {"Count", "I", true, "Unsigned long", ""},    {"Big", "L", true, "Long long", ""},
      {"Money", "L", true, "Currency", ""},         {"Ratio", "f", true, "Single precision FP", ""},
      {"Score", "g", true, "Double precision FP", ""}, {"When", "L", true, "DateTime", ""},
      {"Guid", "u", true, "GUID", ""},              {"Port", "S", true, "Unsigned short", ""},
      {"Wide", "L", true, "Max", ""},               {"Maybe", "i", true, "Signed long", ""},
      {"Name", "u", true, "Text", "1252"},          {"Title", "u", true, "Text", "1200"},
      {"Raw", "z", true, "Binary", ""},             {"Note", "u", true, "Long Text", "1252"},
      {"WNote", "u", true, "Long Text", "1200"},    {"Packed", "u", true, "Text", "1252"},
      {"WPacked", "u", true, "Long Text", "1200"},  {"Data", "z", true, "Long Binary", ""},
      {"Multi", "z", true, "Signed long", ""},      {"Absent", "i", true, "Signed long", ""},
  };
  ASSERT_EQ(schema.n_children, static_cast<std::int64_t>(std::size(want)));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    const ArrowSchema& f = *schema.children[i];
    SCOPED_TRACE(want[i].name);
    EXPECT_STREQ(f.name, want[i].name);
    EXPECT_STREQ(f.format, want[i].format);
    auto meta = decode_metadata(f.metadata);
    EXPECT_EQ(meta["ese.type"], want[i].type);
    EXPECT_EQ(meta["ese.column_id"], std::to_string(source->columns()[i].column->id));
    if (*want[i].codepage) {
      EXPECT_EQ(meta["ese.codepage"], want[i].codepage);
    }
  }
  // Every field is nullable; the catalog's NOT NULL is in the metadata.
  for (std::size_t i = 0; i < source->columns().size(); ++i) {
    const bool not_null = source->columns()[i].column->flags & kColumnFlagNotNull;
    EXPECT_NE(schema.children[i]->flags & ARROW_FLAG_NULLABLE, 0);
    EXPECT_EQ(decode_metadata(schema.children[i]->metadata).count("ese.not_null"), not_null ? 1u : 0u);
  }
  // A consumer may move a child out; the parent's release then leaves it.
  ArrowSchema moved = *schema.children[0];
  schema.children[0]->release = nullptr;
  schema.release(&schema);
  EXPECT_STREQ(moved.name, "Id");
  moved.release(&moved);
  EXPECT_EQ(moved.release, nullptr);
}

TEST(ArrowStream, ValuesTheColumnTypeCannotHoldAreNull) {
  auto db = open_scenario("arrow", {});
  auto source = TableExport::make(db, "Unfit", {});
  ASSERT_TRUE(source.ok());
  const Collected got = read_all(*source);
  ASSERT_EQ(got.columns.size(), 3u);
  using V = std::variant<bool, std::int64_t, std::uint64_t, double, std::string>;
  // Small: a two-byte 5 fits an unsigned byte, 300 does not.
  EXPECT_EQ(got.columns[0], (std::vector<Cell>{V(std::uint64_t{5}), std::nullopt}));
  // Count: compressed bytes in an integer column are not an integer.
  EXPECT_EQ(got.columns[1], (std::vector<Cell>{std::nullopt, V(std::int64_t{7})}));
  // Multi: binary; one stored value comes as its bytes, several as stored.
  EXPECT_EQ(got.columns[2], (std::vector<Cell>{V(std::string("\x09\0\0\0", 4)), V(std::string("\1\0\0\0\2\0\0\0", 8))}));
}

TEST(ArrowStream, BatchesEndBeforeAVariableBufferPassesTheLimit) {
  auto db = open_scenario("arrow", {});
  struct Case {
    std::size_t batch_rows;
    std::size_t max_bytes;
    std::vector<std::int64_t> batches;
  };
  const std::size_t mib = std::size_t{1} << 20;
  const Case cases[] = {
      {kDefaultBatchRows, kDefaultMaxVariableBytes, {64, 36}},  // 64 values of 1 MiB fill 64 MiB exactly
      {10, kDefaultMaxVariableBytes, {10, 10, 10, 10, 10, 10, 10, 10, 10, 10}},
      {kDefaultBatchRows, 3 * mib + 1, {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 1}},
      // One value larger than the limit: a batch of its own.
      {kDefaultBatchRows, mib / 2, std::vector<std::int64_t>(fixture::kWideRows, 1)},
  };
  const std::string body = fixture::wide_body();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.max_bytes);
    ExportOptions options;
    options.batch_rows = c.batch_rows;
    options.max_variable_bytes = c.max_bytes;
    auto source = TableExport::make(db, "Wide", options);
    ASSERT_TRUE(source.ok());
    const Collected got = read_all(*source);
    EXPECT_EQ(got.batch_rows, c.batches);
    for (const auto& sizes : got.data_bytes) {
      // Only a batch of one value larger than the limit passes it.
      if (sizes[2] > static_cast<std::int64_t>(c.max_bytes)) {
        EXPECT_EQ(sizes[2], static_cast<std::int64_t>(body.size()));
      }
    }
    ASSERT_EQ(got.columns[2].size(), fixture::kWideRows);
    for (std::size_t i = 0; i < fixture::kWideRows; ++i) {
      EXPECT_EQ(got.columns[0][i], Cell(std::int64_t(i)));
      EXPECT_EQ(got.columns[1][i], Cell("row " + std::to_string(i)));
      EXPECT_TRUE(got.columns[2][i] && std::get<std::string>(*got.columns[2][i]) == body) << i;
    }
  }
}

TEST(ArrowStream, ProjectionDecodesTheNamedColumnsInTheirOrder) {
  auto db = open_scenario("records", {});
  ExportOptions options;
  options.columns = std::vector<std::string>{"Title", "Id", "Maybe"};
  auto source = TableExport::make(db, "AllTypes", options);
  ASSERT_TRUE(source.ok());
  const Collected got = read_all(*source);
  ASSERT_EQ(got.columns.size(), 3u);
  auto all = TableExport::make(db, "AllTypes", {});
  const Collected whole = read_all(*all);
  auto index = [&](const char* name) {
    for (std::size_t j = 0; j < all->columns().size(); ++j)
      if (all->columns()[j].column->name == name) return j;
    return std::size_t{0};
  };
  EXPECT_EQ(got.columns[0], whole.columns[index("Title")]);
  EXPECT_EQ(got.columns[1], whole.columns[index("Id")]);
  EXPECT_EQ(got.columns[2], whole.columns[index("Maybe")]);

  // No columns at all: batches of the right lengths and no children.
  options.columns = std::vector<std::string>{};
  auto none = TableExport::make(db, "AllTypes", options);
  ASSERT_TRUE(none.ok());
  const Collected empty = read_all(*none);
  std::int64_t rows = 0;
  for (std::int64_t n : empty.batch_rows) rows += n;
  EXPECT_EQ(rows, static_cast<std::int64_t>(whole.columns[0].size()));

  struct Bad {
    const char* table;
    std::vector<std::string> columns;
    std::string message;
  };
  const Bad bad[] = {
      {"AllTypes", {"Id", "Nope"}, EseError::column_not_found("Nope").message()},
      {"Missing", {}, EseError::table_not_found("Missing").message()},
  };
  for (const Bad& b : bad) {
    ExportOptions o;
    o.columns = b.columns;
    auto made = TableExport::make(db, b.table, o);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().message(), b.message);
  }
}

TEST(ArrowStream, ABrokenLeafChainCostsNoRecords) {
  auto db = open_scenario("python-broken-chain", {});
  ExportOptions options;
  options.batch_rows = 3;
  auto source = TableExport::make(db, "Chained", options);
  ASSERT_TRUE(source.ok());
  ArrowArrayStream stream{};
  ASSERT_TRUE(source->export_stream(&stream).ok());
  const Collected got = consume(stream);
  // The second leaf links outside the file; the link is not believed and
  // the tree leads to every leaf: seven records in three batches.
  EXPECT_EQ(got.batch_rows, (std::vector<std::int64_t>{3, 3, 1}));
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.error, "");
  stream.release(&stream);
}

// The damage a whole stream reports, told at its end.
std::optional<ReadDamage> streamed_damage(const TableExport& source) {
  std::optional<ReadDamage> told;
  ArrowArrayStream stream{};
  auto opened = source.export_stream(&stream, [&](const ReadDamage& damage, bool finished) {
    EXPECT_TRUE(finished);
    told = damage;
    return std::string();
  });
  EXPECT_TRUE(opened.ok());
  if (!opened.ok()) return std::nullopt;
  const Collected got = consume(stream);
  EXPECT_EQ(got.status, 0) << got.error;
  stream.release(&stream);
  return told;
}

// What a walk of the table's cursor counts: raw values of every column,
// or the engine reading (deleted entries passed over, values built from
// the records, long values fetched as the engine fetches them).
ReadDamage cursor_damage(const Database& db, const std::string& name, ValueProfile profile) {
  auto cursor = db.open_table(name);
  EXPECT_TRUE(cursor.ok());
  if (!cursor.ok()) return {};
  cursor->set_skip_deleted(profile == ValueProfile::Engine);
  EngineRecordBuilder engine(cursor->shared_layout());
  std::vector<EngineValue> values;
  auto fetch = [&](Bytes reference, std::string& out) { return cursor->fetch_long_value(reference, out); };
  while (true) {
    auto more = cursor->advance();
    EXPECT_TRUE(more.ok());
    if (!more.ok() || !more.value()) break;
    if (profile == ValueProfile::Engine) engine.build(cursor->current(), LongValueFetch(fetch), values);
  }
  return cursor->damage();
}

TEST(ArrowStream, DamageIsCountedOnceAsTheCursorCountsIt) {
  // Refused pages, a torn long value, records of unusual shapes; batches
  // of one record, and a text limit so small that every record is decoded
  // twice (it overflows the batch it was tried in and opens the next).
  struct Case {
    const char* scenario;
    std::size_t batch_rows;
    std::size_t max_variable_bytes;
  };
  int damaged = 0;
  for (const Case& c : {Case{"torn-long-value", kDefaultBatchRows, kDefaultMaxVariableBytes},
                        Case{"torn-long-value", 1, kDefaultMaxVariableBytes}, Case{"torn-long-value", 5, 1},
                        Case{"bad-checksum", 3, kDefaultMaxVariableBytes}, Case{"truncated-tree", 2, 1},
                        Case{"truncated-root", 2, kDefaultMaxVariableBytes}, Case{"foreign-chain", 4, 1},
                        Case{"columnar", 7, 1}, Case{"python-broken-chain", 3, kDefaultMaxVariableBytes}}) {
    for (const Format& format : kFormats) {
      auto db = open_scenario(c.scenario, format);
      ASSERT_NE(db, nullptr);
      for (const auto& [name, table] : db->tables()) {
        for (ValueProfile profile : {ValueProfile::Raw, ValueProfile::Engine}) {
          SCOPED_TRACE(std::string(c.scenario) + " table " + name + " page size " +
                       std::to_string(format.page_size) + " batch rows " + std::to_string(c.batch_rows) +
                       (profile == ValueProfile::Engine ? " engine" : " raw"));
          ExportOptions options;
          options.batch_rows = c.batch_rows;
          options.max_variable_bytes = c.max_variable_bytes;
          options.profile = profile;
          auto source = TableExport::make(db, name, options);
          ASSERT_TRUE(source.ok());
          const std::optional<ReadDamage> streamed = streamed_damage(*source);
          ASSERT_TRUE(streamed.has_value()) << "the handler is told at the end";
          const ReadDamage walked = cursor_damage(*db, name, profile);
          EXPECT_EQ(*streamed, walked) << describe_damage(*streamed) << " | " << describe_damage(walked);
          damaged += walked.any();
        }
      }
    }
  }
  // The cases meet damage of every kind the fixtures have.
  EXPECT_GT(damaged, 20);
}

TEST(ArrowStream, StreamsOutliveTheirSourceAndDatabaseAndReadAgain) {
  ArrowArrayStream first{}, second{};
  {
    auto db = open_scenario("records", {});
    auto source = TableExport::make(db, "LongValues", {});
    ASSERT_TRUE(source.ok());
    ASSERT_TRUE(source->export_stream(&first).ok());
    ASSERT_TRUE(source->export_stream(&second).ok());
  }
  // Only the streams hold the database now; each has its own cursor.
  const Collected a = consume(first);
  const Collected b = consume(second);
  first.release(&first);
  second.release(&second);
  ASSERT_EQ(a.columns.size(), b.columns.size());
  EXPECT_EQ(a.columns, b.columns);
  EXPECT_EQ(a.batch_rows, (std::vector<std::int64_t>{12}));
}

TEST(ArrowStream, BatchesOutliveTheStreamAndChildrenCanBeMovedOut) {
  auto db = open_scenario("records", {});
  auto source = TableExport::make(db, "AllTypes", {});
  ASSERT_TRUE(source.ok());
  ArrowArrayStream stream{};
  ASSERT_TRUE(source->export_stream(&stream).ok());
  ArrowArray batch{};
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  stream.release(&stream);
  ArrowArray child = *batch.children[0];
  batch.children[0]->release = nullptr;
  batch.release(&batch);
  EXPECT_EQ(load<std::int32_t>(child.buffers[1], 1), 1);  // Id of record 1
  child.release(&child);
  EXPECT_EQ(child.release, nullptr);
}

TEST(ArrowStream, BatchesReleasedBeforeTheNextGiveTheirBuffersBack) {
  auto db = open_scenario("columnar", {});
  ExportOptions options;
  options.batch_rows = 50;
  options.columns = std::vector<std::string>{"Id", "Name", "c1"};
  auto source = TableExport::make(db, "Sparse", options);
  ASSERT_TRUE(source.ok());
  const Collected whole = read_all(*source);

  ArrowArrayStream stream{};
  ASSERT_TRUE(source->export_stream(&stream).ok());
  ArrowSchema schema{};
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  // The first batch is held to the end; the others are released at once.
  ArrowArray held{};
  ASSERT_EQ(stream.get_next(&stream, &held), 0);
  std::vector<std::vector<const void*>> seen(3);  // by column: value buffers of released batches
  std::size_t batches = 1, all_null = 0;
  const void* zeros = nullptr;  // what the arrays of a column null in a whole batch point at
  while (true) {
    ArrowArray batch{};
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    if (batch.release == nullptr) break;
    for (std::size_t j = 0; j < 3; ++j) {
      const ArrowArray& column = *batch.children[j];
      const void* values = column.buffers[1];
      if (column.null_count == column.length) {
        // No memory of its own: one set of shared zeroes serves them all.
        if (zeros == nullptr) zeros = values;
        EXPECT_EQ(values, zeros);
        EXPECT_EQ(column.buffers[0], zeros);
        ++all_null;
        continue;
      }
      // Every held or released batch keeps its own memory.
      EXPECT_NE(values, held.children[j]->buffers[1]);
      EXPECT_NE(values, zeros);
      seen[j].push_back(values);
    }
    batch.release(&batch);
    ++batches;
  }
  ASSERT_EQ(batches, fixture::kSparseRows / 50);
  // The sparse column holds nothing in some batches.
  EXPECT_GT(all_null, 0u);
  // From the third batch on, each column's offsets or values come from a
  // batch released before: two sets of buffers take turns.
  for (const auto& buffers : seen) {
    EXPECT_GE(buffers.size(), 3u);
    std::vector<const void*> distinct = buffers;
    std::sort(distinct.begin(), distinct.end());
    EXPECT_LE(std::unique(distinct.begin(), distinct.end()) - distinct.begin(), 2);
  }
  stream.release(&stream);
  // The held batch outlives the stream and still holds the first 50 rows.
  for (std::size_t j = 0; j < 3; ++j) {
    std::vector<Cell> cells;
    check_column(*schema.children[j], *held.children[j], cells);
    EXPECT_EQ(cells, std::vector<Cell>(whole.columns[j].begin(), whole.columns[j].begin() + 50)) << j;
  }
  held.release(&held);
  schema.release(&schema);
}

// A sink's array read back as cells, through its field's schema.
std::vector<Cell> sink_cells(ColumnSink& sink, const ColumnPlan& plan) {
  auto pool = std::make_shared<ArrayPool>(3);
  ArrowSchema schema{};
  export_struct_schema(&schema, {plan.field}, "");
  ArrowArray array{};
  sink.finish(&array, *pool);
  std::vector<Cell> cells;
  check_column(*schema.children[0], array, cells);
  EXPECT_EQ(static_cast<std::int64_t>(cells.size()), array.length);
  array.release(&array);
  schema.release(&schema);
  pool->close();
  return cells;
}

TEST(ColumnSink, PadsAndTruncatesAcrossBitAndOffsetBoundaries) {
  using V = std::variant<bool, std::int64_t, std::uint64_t, double, std::string>;
  ColumnInfo column;
  column.name = "c";
  struct Case {
    const char* name;
    ColumnType type;
    bool multi;  // engine profile: a list of the type
    std::function<void(ColumnSink&)> fill;
    std::vector<Cell> want;
  };
  auto text = [](const char* s) { return ColumnValue::text(s); };
  auto items = [](std::initializer_list<ColumnValue> values) {
    EngineValue v;
    v.set_list();
    for (const ColumnValue& x : values) v.add_item() = x;
    return v;
  };
  const Case cases[] = {
      {"integers: a record cut after a run of nulls", ColumnType::SignedLong, false,
       [](ColumnSink& s) {
         s.append(ColumnValue::int32(1));
         s.pad_to(9);
         s.append(ColumnValue::int32(10));  // row 9, then cut away
         s.truncate(9);
         s.append(ColumnValue::int32(-2));
       },
       {V(std::int64_t{1}), {}, {}, {}, {}, {}, {}, {}, {}, V(std::int64_t{-2})}},
      {"booleans: cut back to a byte boundary and refilled", ColumnType::Boolean, false,
       [](ColumnSink& s) {
         for (int i = 0; i < 9; ++i) s.append(ColumnValue::boolean(true));
         s.truncate(8);
         s.append(ColumnValue::boolean(false));
         s.append_null();
       },
       {V(true), V(true), V(true), V(true), V(true), V(true), V(true), V(true), V(false), {}}},
      {"text: the cut record's bytes are gone", ColumnType::Text, false,
       [&](ColumnSink& s) {
         s.append(text("one"));
         s.pad_to(3);
         s.append(text("cut"));
         s.truncate(3);
         s.append(text("four"));
       },
       {V(std::string("one")), {}, {}, V(std::string("four"))}},
      {"cutting a null keeps the null count right", ColumnType::Text, false,
       [&](ColumnSink& s) {
         s.append_null();
         s.append_null();
         s.truncate(1);
         s.append(text("x"));
       },
       {{}, V(std::string("x"))}},
      {"lists: the cut record's items are gone", ColumnType::SignedLong, true,
       [&](ColumnSink& s) {
         s.append_engine(items({ColumnValue::int32(1), ColumnValue::int32(2)}));
         s.append_null();
         s.append_engine(items({ColumnValue::int32(3)}));
         s.truncate(2);
         s.append_engine(items({}));
         s.append_engine(items({ColumnValue::int32(4), ColumnValue()}));
       },
       {V(render_list({V(std::int64_t{1}), V(std::int64_t{2})})), {}, V(render_list({})),
        V(render_list({V(std::int64_t{4}), {}}))}},
      // Nulls that open a batch are counted, and written only when a value
      // follows; a batch of nulls alone is exported over shared zeroes.
      {"booleans: nine nulls, then a value past the first byte", ColumnType::Boolean, false,
       [](ColumnSink& s) {
         s.pad_to(9);
         s.append(ColumnValue::boolean(true));
       },
       {{}, {}, {}, {}, {}, {}, {}, {}, {}, V(true)}},
      {"text: nulls alone", ColumnType::Text, false, [](ColumnSink& s) { s.pad_to(70); }, std::vector<Cell>(70)},
      {"integers: nulls cut back, then a value", ColumnType::LongLong, false,
       [](ColumnSink& s) {
         s.pad_to(20);
         s.truncate(3);
         s.append(ColumnValue::int64(7));
       },
       {{}, {}, {}, V(std::uint64_t{7})}},  // raw 64-bit integers are their unsigned bits
      {"lists: nulls alone", ColumnType::SignedLong, true, [](ColumnSink& s) { s.pad_to(5); }, std::vector<Cell>(5)},
      {"lists: nulls, then a list", ColumnType::SignedLong, true,
       [&](ColumnSink& s) {
         s.pad_to(2);
         s.append_engine(items({ColumnValue::int32(5)}));
       },
       {{}, {}, V(render_list({V(std::int64_t{5})}))}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    column.column_type = c.type;
    column.codepage = 1252;
    column.flags = c.multi ? kColumnFlagMultiValued : 0;
    const ColumnPlan plan = plan_column(column, 0, c.multi ? ValueProfile::Engine : ValueProfile::Raw);
    ColumnSink sink(plan, 1);
    c.fill(sink);
    EXPECT_EQ(sink_cells(sink, plan), c.want);
    // The sink starts again empty, its buffers recycled.
    sink.append_null();
    EXPECT_EQ(sink_cells(sink, plan), std::vector<Cell>(1));
  }
}

TEST(ArrowBuffer, GrowsAlignedAndShrinksWithoutLosingBytes) {
  for (std::size_t n : {std::size_t{1}, std::size_t{1000}, std::size_t{3} << 20}) {
    Buffer b;
    for (std::size_t i = 0; i < n; ++i) b.append_value<std::uint8_t>(static_cast<std::uint8_t>(i * 7));
    EXPECT_TRUE(aligned(b.data()));
    b.shrink_to_fit();
    EXPECT_TRUE(aligned(b.data()));
    ASSERT_EQ(b.size(), n);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += b.data()[i] != static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(wrong, 0u) << n;
  }
  BitmapBuilder bits;
  for (int i = 0; i < 5; ++i) bits.append(i % 2 == 0);
  bits.append_many(true, 20);
  bits.append_many(false, 3);
  EXPECT_EQ(bits.length(), 28u);
  Buffer out = bits.take();
  ASSERT_EQ(out.size(), 4u);
  // 1 0 1 0 1 then twenty 1 then three 0, least significant bit first.
  EXPECT_EQ(out.data()[0], 0xF5);
  EXPECT_EQ(out.data()[1], 0xFF);
  EXPECT_EQ(out.data()[2], 0xFF);
  EXPECT_EQ(out.data()[3], 0x01);
}

TEST(ArrowBuffer, MemoryGivenBackServesLaterBuffersIntactAcrossThreads) {
  // Large buffers recycle their memory through a cache shared by every
  // thread: each buffer must still be its owner's alone, hold exactly what
  // was written, and give zeroes where resize() promises them, whatever the
  // memory held before.
  auto work = [](std::uint8_t seed, std::size_t& wrong) {
    for (std::size_t round = 0; round < 40; ++round) {
      const std::size_t n = (std::size_t{64} << 10) + ((round * 7919 + seed * 104729) % (std::size_t{2} << 20));
      Buffer b;
      b.resize_uninitialized(n / 2);
      std::memset(b.data(), seed, n / 2);
      b.resize(n);  // the second half zeroed, then grown in place or moved
      b.append_value<std::uint8_t>(seed);
      for (std::size_t i = 0; i < n / 2; ++i) wrong += b.data()[i] != seed;
      for (std::size_t i = n / 2; i < n; ++i) wrong += b.data()[i] != 0;
      wrong += b.data()[n] != seed;
      // Dirty the whole capacity for whoever takes this memory next.
      std::memset(b.data(), 0xA5, b.capacity());
    }
  };
  std::vector<std::size_t> wrong(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back(work, static_cast<std::uint8_t>(t + 1), std::ref(wrong[t]));
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < wrong.size(); ++t) EXPECT_EQ(wrong[t], 0u) << "thread " << t;
}

TEST(ArrowBuffer, AChildForkedWhileBuffersComeAndGoCanAllocate) {
  // The memory given back is shared by the process under a lock, and
  // columns of nulls point at shared zeroes; a fork taken while another
  // thread uses either must leave the child able to (it would hang on its
  // first buffer or array).
  auto null_column = [] {
    ColumnSink sink(BuilderKind::Int64, false, 1);
    sink.pad_to(100000);
    auto pool = std::make_shared<ArrayPool>(2);
    ArrowArray array{};
    sink.finish(&array, *pool);
    const bool zero = array.null_count == 100000 && static_cast<const std::uint8_t*>(array.buffers[1])[799999] == 0;
    array.release(&array);
    pool->close();
    return zero;
  };
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      Buffer b;
      b.resize_uninitialized(std::size_t{256} << 10);
      Buffer small;
      small.resize_uninitialized(8 << 10);
      null_column();
    }
  });
  int hung = 0;
  for (int i = 0; i < 50; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      Buffer b;
      b.resize(std::size_t{300} << 10);
      Buffer small;
      small.resize(10 << 10);
      ::_exit(b.data()[0] == 0 && small.data()[0] == 0 && null_column() ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    // A child that has not ended in five seconds is stuck on the lock.
    for (int waited = 0; waited < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++waited) ::usleep(10000);
    if (::waitpid(child, &status, WNOHANG) == 0) {
      ++hung;
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      continue;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  churn.join();
  EXPECT_EQ(hung, 0);
}

}  // namespace
}  // namespace pellumo::arrow
