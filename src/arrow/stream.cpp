#include "arrow/stream.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "arrow/builders.h"
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
      : plan_(std::move(plan)), cursor_(std::move(cursor)), damage_(std::move(on_damage)) {
    if (!plan_->all_columns) cursor_.decode_only(plan_->decoded);
    if (plan_->options.profile == ValueProfile::Engine) {
      // The engine's cursors pass over records flagged deleted.
      cursor_.set_skip_deleted(true);
      engine_ = std::make_unique<EngineRecordBuilder>(cursor_.shared_layout());
    }
    builders_.reserve(plan_->columns.size());
    for (const ColumnPlan& c : plan_->columns) {
      builders_.push_back(make_builder(c));
      layout_index_.push_back(c.layout_index);
      stored_.push_back(c.stored);
      if (builders_.back()->has_variable_buffer()) variable_.push_back(builders_.size() - 1);
    }
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
      // The builders may hold part of a record: the stream cannot go on.
      last_error_ = "out of memory while building a record batch";
      failed_ = ENOMEM;
      return failed_;
    }
  }

  const char* last_error() const { return last_error_.empty() ? nullptr : last_error_.c_str(); }

 private:
  std::vector<FieldSpec> fields() const {
    std::vector<FieldSpec> f;
    f.reserve(plan_->columns.size());
    for (const ColumnPlan& c : plan_->columns) f.push_back(c.field);
    return f;
  }

  // Whether the current record still fits the batch's variable-width buffers.
  bool fits(const Record& record) const {
    const std::size_t limit = plan_->options.max_variable_bytes;
    for (std::size_t j : variable_) {
      const ColumnBuilder& b = *builders_[j];
      const std::size_t add = b.variable_bytes(record.value(layout_index_[j]));
      if (add > limit || b.variable_size() > limit - add) return false;
    }
    return true;
  }

  int next_batch(ArrowArray* out) {
    const std::size_t batch_rows = std::max<std::size_t>(plan_->options.batch_rows, 1);
    const std::size_t expect = std::min(batch_rows, std::max<std::size_t>(last_rows_, 1024));
    for (auto& b : builders_) b->reserve(expect);
    std::size_t rows = 0;
    while (rows < batch_rows && !done_ && !error_) {
      if (!pending_) {
        auto more = cursor_.advance();
        if (!more) {
          error_ = true;
          last_error_ = "Error reading record: " + more.error().message();
          break;
        }
        if (!more.value()) {
          done_ = true;
          break;
        }
        pending_ = true;
        if (engine_) {
          auto fetch = [this](Bytes reference, std::string& out) { return cursor_.fetch_long_value(reference, out); };
          engine_->build(cursor_.current(), LongValueFetch(fetch), engine_values_);
        }
      }
      const Record& record = cursor_.current();
      if (rows > 0 && !variable_.empty() && !fits(record)) break;  // the record opens the next batch
      const std::size_t n = builders_.size();
      if (engine_) {
        for (std::size_t j = 0; j < n; ++j) {
          if (stored_[j]) {
            builders_[j]->append(record.value(layout_index_[j]));
          } else {
            builders_[j]->append_engine(engine_values_[layout_index_[j]]);
          }
        }
      } else {
        for (std::size_t j = 0; j < n; ++j) builders_[j]->append(record.value(layout_index_[j]));
      }
      pending_ = false;
      ++rows;
    }
    if (rows == 0) {
      if (error_) {
        failed_ = EIO;
        return failed_;
      }
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
    std::vector<ArrowArray> children(builders_.size(), ArrowArray{});
    for (std::size_t j = 0; j < builders_.size(); ++j) builders_[j]->finish(&children[j]);
    std::vector<Buffer> struct_buffers(1);  // the struct's validity: absent
    export_array(out, static_cast<std::int64_t>(rows), 0, std::move(struct_buffers), {true}, std::move(children));
    return 0;
  }

  std::shared_ptr<const TableExport::Plan> plan_;  // keeps the Database the cursor borrows
  TableCursor cursor_;
  std::vector<std::unique_ptr<ColumnBuilder>> builders_;
  std::vector<std::size_t> layout_index_;  // by builder: the column's position in the record
  std::vector<bool> stored_;               // by builder: raw-profile values (ExportOptions::raw_columns)
  std::vector<std::size_t> variable_;  // builders with a variable-width buffer
  std::unique_ptr<EngineRecordBuilder> engine_;  // the engine profile's values
  std::vector<EngineValue> engine_values_;       // of cursor_.current()
  bool pending_ = false;  // cursor_.current() is a record not yet appended
  bool done_ = false;
  bool error_ = false;
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
