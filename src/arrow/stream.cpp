#include "arrow/stream.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "arrow/builders.h"
#include "arrow/columnar_decoder.h"
#include "cursor/engine_record.h"
#include "cursor/table_cursor.h"

namespace pellumo::arrow {

struct TableExport::Plan {
  std::shared_ptr<const Database> db;
  const TableInfo* table = nullptr;
  std::vector<ColumnPlan> columns;
  std::vector<bool> decoded;  // by layout position: is the column exported
  bool all_columns = true;
  ExportOptions options;
  std::string schema_metadata;
};

namespace {

struct SchemaData {
  std::string format;
  std::string name;
  std::string metadata;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  // A consumer may have moved a child out, leaving its release null.
  ~SchemaData() {
    for (ArrowSchema& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  delete static_cast<SchemaData*>(schema->private_data);
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void fill_schema(ArrowSchema* out, const std::string& format, const std::string& name, const std::string& metadata,
                 std::int64_t flags, const std::vector<FieldSpec>& children) {
  auto data = std::make_unique<SchemaData>();
  data->format = format;
  data->name = name;
  data->metadata = metadata;
  // Children start released, so a failure part-way frees only what was made.
  data->children.resize(children.size(), ArrowSchema{});
  for (std::size_t i = 0; i < children.size(); ++i) {
    const FieldSpec& f = children[i];
    fill_schema(&data->children[i], f.format, f.name, f.metadata, f.flags, f.children);
  }
  data->child_pointers.reserve(children.size());
  for (ArrowSchema& child : data->children) data->child_pointers.push_back(&child);

  out->format = data->format.c_str();
  out->name = data->name.c_str();
  out->metadata = data->metadata.empty() ? nullptr : data->metadata.c_str();
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = data.release();
}

// The damage report of one stream: the handler is told once, at the end or
// at release. Kept apart from the batch building.
class DamageReport {
 public:
  explicit DamageReport(StreamDamageHandler handler) : handler_(std::move(handler)) {}
  // At the end of the stream; a non-empty text fails the stream with it.
  std::string at_end(const ReadDamage& damage) {
    if (told_ || !handler_) return {};
    told_ = true;
    return handler_(damage, true);
  }
  // At release: only a stream that was read from has damage to tell of.
  void at_release(const ReadDamage& damage, bool read_from) {
    if (told_ || !handler_ || !read_from) return;
    told_ = true;
    handler_(damage, false);
  }

 private:
  StreamDamageHandler handler_;
  bool told_ = false;
};

class StreamState {
 public:
  StreamState(std::shared_ptr<const TableExport::Plan> plan, TableCursor cursor, StreamDamageHandler on_damage)
      : plan_(std::move(plan)),
        cursor_(std::move(cursor)),
        fetcher_{&cursor_},
        decoder_(cursor_.shared_layout(), plan_->columns, plan_->options.profile,
                 plan_->db->large_page_tag_format(), LongValueFetch(fetcher_), plan_->options.max_variable_bytes),
        damage_(std::move(on_damage)) {
    // The engine's cursors pass over records flagged deleted.
    if (plan_->options.profile == ValueProfile::Engine) cursor_.set_skip_deleted(true);
    std::size_t slots = 1;  // slot 0: the struct of each batch
    sinks_.reserve(plan_->columns.size());
    for (const ColumnPlan& c : plan_->columns) {
      sinks_.emplace_back(c, slots);
      slots += ColumnSink::slots_needed(c);
    }
    pool_ = std::make_shared<ArrayPool>(slots);
  }

  int get_schema(ArrowSchema* out) {
    try {
      export_struct_schema(out, fields(), plan_->schema_metadata);
      return 0;
    } catch (const std::bad_alloc&) {
      last_error_ = "out of memory";
      return ENOMEM;
    }
  }

  ~StreamState() {
    pool_->close();
    try {
      damage_.at_release(cursor_.damage(), read_from_);
    } catch (...) {  // a release must not throw; the report is lost with the memory
    }
  }

  int get_next(ArrowArray* out) {
    if (failed_) return failed_;
    read_from_ = true;
    try {
      return next_batch(out);
    } catch (const std::bad_alloc&) {
      // The sinks may hold part of a record: the stream cannot go on.
      last_error_ = "out of memory while building a record batch";
      failed_ = ENOMEM;
      return failed_;
    }
  }

  const char* last_error() const { return last_error_.empty() ? nullptr : last_error_.c_str(); }

 private:
  // Long values of the record being decoded. A record that opens the next
  // batch is decoded twice; its failures are counted once, when it is kept.
  struct Fetcher {
    TableCursor* cursor;
    std::uint64_t failed = 0;
    bool operator()(Bytes reference, std::string& out) {
      if (cursor->fetch_long_value_uncounted(reference, out)) return true;
      ++failed;
      return false;
    }
  };

  std::vector<FieldSpec> fields() const {
    std::vector<FieldSpec> f;
    f.reserve(plan_->columns.size());
    for (const ColumnPlan& c : plan_->columns) f.push_back(c.field);
    return f;
  }

  int next_batch(ArrowArray* out) {
    const std::size_t batch_rows = std::max<std::size_t>(plan_->options.batch_rows, 1);
    const std::size_t expect = std::min(batch_rows, std::max<std::size_t>(last_rows_, 1024));
    for (ColumnSink& s : sinks_) s.reserve(expect);
    std::size_t rows = 0;
    while (rows < batch_rows) {
      if (page_ == nullptr || entry_ == page_->entries.size()) {
        page_ = done_ ? nullptr : cursor_.next_page();
        entry_ = 0;
        if (page_ == nullptr) {
          done_ = true;
          break;
        }
      }
      const Bytes entry = page_->entries[entry_];
      decoder_.reset_limit();
      fetcher_.failed = 0;
      decoder_.decode(entry, rows, sinks_);
      if (decoder_.over_limit() && rows > 0) {
        // The record opens the next batch.
        for (ColumnSink& s : sinks_) s.truncate(rows);
        break;
      }
      cursor_.count_record(decoder_.header_fits(), fetcher_.failed);
      ++entry_;
      ++rows;
    }
    if (rows == 0) {
      std::string refusal = damage_.at_end(cursor_.damage());
      if (!refusal.empty()) {
        last_error_ = std::move(refusal);
        failed_ = EIO;
        return failed_;
      }
      out->release = nullptr;  // the end of the stream
      return 0;
    }
    last_rows_ = rows;
    decoder_.pad(rows, sinks_);
    std::unique_ptr<ArrayHolder> holder = pool_->take(0);
    holder->buffers.resize(1);  // the struct's validity: absent
    holder->children.assign(sinks_.size(), ArrowArray{});
    for (std::size_t j = 0; j < sinks_.size(); ++j) sinks_[j].finish(&holder->children[j], *pool_);
    export_array(out, std::move(holder), static_cast<std::int64_t>(rows), 0, {true});
    return 0;
  }

  std::shared_ptr<const TableExport::Plan> plan_;  // keeps the Database the cursor borrows
  TableCursor cursor_;
  Fetcher fetcher_;
  ColumnarDecoder decoder_;
  std::vector<ColumnSink> sinks_;
  std::shared_ptr<ArrayPool> pool_;
  const LeafScan* page_ = nullptr;  // the entries of the page being read
  std::size_t entry_ = 0;           // the next of them
  bool done_ = false;
  int failed_ = 0;
  std::size_t last_rows_ = 0;
  std::string last_error_;
  DamageReport damage_;
  bool read_from_ = false;  // get_next was called
};

StreamState* state_of(ArrowArrayStream* stream) { return static_cast<StreamState*>(stream->private_data); }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) { return state_of(stream)->get_schema(out); }
int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) { return state_of(stream)->get_next(out); }
const char* stream_get_last_error(ArrowArrayStream* stream) { return state_of(stream)->last_error(); }
void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete state_of(stream);
  stream->release = nullptr;
  stream->private_data = nullptr;
}

}  // namespace

void export_struct_schema(ArrowSchema* out, const std::vector<FieldSpec>& fields, const std::string& metadata) {
  fill_schema(out, "+s", "", metadata, 0, fields);
}

Result<TableExport> TableExport::make(std::shared_ptr<const Database> db, const std::string& table_name,
                                      ExportOptions options) {
  const TableInfo* table = db->tables().find(table_name);
  if (table == nullptr) return EseError::table_not_found(table_name);
  auto plan = std::make_shared<Plan>();
  plan->table = table;
  const RecordLayout layout(*plan->table);
  plan->decoded.assign(layout.size(), false);
  std::vector<bool> stored(layout.size(), false);
  for (const std::string& name : options.raw_columns) {
    auto index = layout.index_of(name);
    if (!index) return EseError::column_not_found(name);
    stored[*index] = true;
  }
  auto plan_of = [&](std::size_t index) {
    const bool raw = stored[index] && options.profile != ValueProfile::Raw;
    ColumnPlan c = plan_column(layout.column(index), index, raw ? ValueProfile::Raw : options.profile);
    c.stored = raw;
    return c;
  };
  plan->columns.reserve(options.columns ? options.columns->size() : layout.size());
  if (options.columns) {
    plan->all_columns = false;
    for (const std::string& name : *options.columns) {
      auto index = layout.index_of(name);
      if (!index) return EseError::column_not_found(name);
      plan->columns.push_back(plan_of(*index));
      plan->decoded[*index] = true;
    }
    for (const std::string& name : options.raw_columns) {
      if (!plan->decoded[*layout.index_of(name)]) return EseError::column_not_found(name);
    }
    plan->all_columns = std::all_of(plan->decoded.begin(), plan->decoded.end(), [](bool b) { return b; });
  } else {
    for (std::size_t i = 0; i < layout.size(); ++i) {
      plan->columns.push_back(plan_of(i));
      plan->decoded[i] = true;
    }
  }
  plan->schema_metadata = encode_metadata({{"ese.table", utf8_name(plan->table->name)}});
  plan->options = std::move(options);
  plan->db = std::move(db);
  return TableExport(std::move(plan));
}

const std::vector<ColumnPlan>& TableExport::columns() const { return plan_->columns; }
const TableInfo& TableExport::table() const { return *plan_->table; }
const ExportOptions& TableExport::options() const { return plan_->options; }

void TableExport::export_schema(ArrowSchema* out) const {
  std::vector<FieldSpec> fields;
  fields.reserve(plan_->columns.size());
  for (const ColumnPlan& c : plan_->columns) fields.push_back(c.field);
  export_struct_schema(out, fields, plan_->schema_metadata);
}

Result<void> TableExport::export_stream(ArrowArrayStream* out, StreamDamageHandler on_damage) const {
  PELLUMO_TRY(TableCursor cursor, TableCursor::open(*plan_->db, *plan_->table));
  auto state = std::make_unique<StreamState>(plan_, std::move(cursor), std::move(on_damage));
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = state.release();
  return Ok{};
}

}  // namespace pellumo::arrow
