// Recovering the records a table no longer shows: nodes still in its tree
// but flagged deleted, record bytes left in the holes and the free tail of
// its pages, stale tag slots past a page's tag count, pages emptied by a
// merge (their tag slots intact), and pages released to the space trees
// with their contents. Every candidate must pass the table's schema and,
// where the primary index is over fixed columns, carry the key rebuilt
// from its own values. A copy of a live record (what page reorganisation
// and merges leave behind) is not a recovery, whether byte for byte or
// only in every column's value, and the same bytes are never recovered
// twice.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/table_info.h"
#include "cursor/long_value.h"
#include "error/ese_error.h"
#include "page/page.h"
#include "page/tag.h"
#include "record/parser.h"
#include "record/record.h"
#include "recovery/dropped.h"
#include "recovery/primary_key.h"
#include "recovery/record_check.h"
#include "recovery/space.h"
#include "tree/read_damage.h"

namespace pellumo {

class Database;

enum class RecoverySource : std::uint8_t { DeletedNode, Hole, Tail, StaleTag, EmptiedPage, FreePage, DroppedTable };
inline constexpr unsigned kRecoverySourceCount = 7;
inline constexpr unsigned kAllRecoverySources = (1u << kRecoverySourceCount) - 1;
constexpr unsigned recovery_source_bit(RecoverySource s) { return 1u << static_cast<unsigned>(s); }
// What recovery reads unless asked otherwise: the table's own pages. The
// records of dropped tables belong to other objects: a caller asks for them.
inline constexpr unsigned kDefaultRecoverySources =
    kAllRecoverySources & ~recovery_source_bit(RecoverySource::DroppedTable);

// "deleted_node", "hole", "tail", "stale_tag", "emptied_page", "free_page",
// "dropped_table".
const char* recovery_source_name(RecoverySource source);
std::optional<RecoverySource> recovery_source_from_name(std::string_view name);

// Deleted: its key is not live. Superseded: its key is live, with other
// values. Unkeyed: its key cannot be told. Dropped: a record of a dropped
// table.
enum class RecoveryStatus : std::uint8_t { Deleted, Superseded, Unkeyed, Dropped };
const char* recovery_status_name(RecoveryStatus status);

struct RecoveredRecord {
  RecoveryStatus status = RecoveryStatus::Unkeyed;
  RecoverySource source = RecoverySource::Hole;
  std::uint32_t page = 0;
  std::uint64_t offset = 0;  // file offset of the record's first byte
  std::uint32_t size = 0;    // the record's length in bytes
  std::uint32_t objid = 0;   // the object whose page holds it
};

// Counts of what a scan looked at, for tools and benchmarks.
struct RecoveryStats {
  std::uint64_t pages_scanned = 0;
  std::uint64_t candidates = 0;   // headers that fit the schema's first four bytes
  std::uint64_t rejected = 0;     // candidates the schema or key check refused
  std::uint64_t live_copies = 0;  // copies of live records, by bytes or by values
  std::uint64_t duplicates = 0;   // bytes already recovered
};

// How many node records (the data of tag slots, in use or stale) the pages
// `pages` hold, and how many of them pass the schema check of `layout` and
// carry the key `key` rebuilds from their values: how well a layout fits
// the records of an object.
struct NodeFit {
  std::uint64_t nodes = 0;
  std::uint64_t fitting = 0;
};
NodeFit fit_nodes(const Database& db, const std::vector<std::uint32_t>& pages, const RecordLayout& layout,
                  const std::optional<PrimaryKey>& key);

// Borrows the Database and the TableInfo: must not outlive them.
class RecoveryScanner {
 public:
  // Prepares the recovery of the table called `name`: walks its tree for
  // the live records and keys, reads the space trees, reads the catalog for
  // its primary index. `sources` is a mask of recovery_source_bit values;
  // with DroppedTable, the records of the dropped tables whose records are
  // this table's follow its own (`dropped`, when given, saves finding
  // them). Fails with TableNotFound. A root page that is not a page of the
  // file gives a scanner that recovers nothing of its own, with that
  // refusal in damage().
  static Result<std::unique_ptr<RecoveryScanner>> open(const Database& db, const std::string& name,
                                                       unsigned sources = kDefaultRecoverySources,
                                                       std::shared_ptr<const DroppedTables> dropped = nullptr);

  // The records of the dropped table `table`, one of `dropped`'s: every
  // record its pages hold (nodes, stale slots, holes, free tails), each
  // with status Dropped and source DroppedTable. Nothing for a table
  // without a schema.
  static std::unique_ptr<RecoveryScanner> open_dropped(const Database& db,
                                                       std::shared_ptr<const DroppedTables> dropped,
                                                       const DroppedTable& table);

  // Moves to the next recovered record: true with current() and record()
  // set, false at the end (and on every later call). Damaged pages and
  // candidates are skipped, never fatal.
  bool advance();
  const RecoveredRecord& current() const { return twin_ ? twin_->current() : queue_.front().info; }
  // The record's columns as the table reader decodes them; long values
  // resolved where the long-value tree still holds them, else Null. A
  // dropped table's record comes in that table's layout.
  const Record& record() const { return twin_ ? twin_->record() : record_; }

  const RecordLayout& layout() const { return *layout_; }
  const RecoveryStats& stats() const { return stats_; }
  // What the walk of the live tree could not read: pages outside the file,
  // of another tree or reached twice. Live records on them are unknown, so
  // copies of them may be recovered as deleted.
  const ReadDamage& damage() const { return damage_; }
  bool keyed() const { return key_.has_value(); }
  std::uint32_t object_id() const { return object_id_; }

  // The schema check used for candidates, and the live records' bytes in
  // file order (borrowing the mapping); exposed for benchmarks.
  const RecordCheck& check() const { return check_; }
  std::vector<Bytes> live_records() const;

 private:
  struct Pending {
    RecoveredRecord info;
    Bytes bytes;
  };
  struct LiveRecord {
    std::uint64_t hash;  // of the fixed and variable part
    Bytes bytes;
  };

  RecoveryScanner(const Database& db, const TableInfo& table, unsigned sources);
  // The next record of the table's own pages.
  bool advance_own();
  void walk_live_tree();
  void scan_page(std::uint32_t number);
  void scan_region(std::uint32_t number, Bytes page, std::size_t begin, std::size_t end, Bytes prefix,
                   RecoverySource source, std::vector<Pending>& found);
  // The node's full key (prefix + suffix) when the tag data is a node.
  void consider_node(std::uint32_t number, Bytes page, std::size_t data_at, std::uint8_t flags, Bytes data,
                     Bytes prefix, RecoverySource source, std::vector<Pending>& found);
  bool is_live_copy(Bytes candidate, bool exact) const;
  // Whether `record` (decoded, long values not yet resolved) holds the
  // values of a live record in every column.
  bool equals_live_record(const Record& record);
  bool already_recovered(Bytes candidate);
  // Where the node of a record found at `at` in free space starts, when
  // the bytes before it are the key of a live record (its key could not be
  // rebuilt from its values), or the key given (it could).
  std::optional<std::size_t> live_node_before(Bytes page, std::size_t begin, std::size_t at, Bytes prefix);
  std::optional<std::size_t> node_keyed_before(Bytes page, std::size_t begin, std::size_t at, std::string_view key,
                                               Bytes prefix);
  // Queues `record` found on page `number` unless it is a live record's
  // copy (exact: the whole record, else its start) or was found before.
  void take(std::uint32_t number, Bytes record, bool exact, RecoveryStatus status, RecoverySource source,
            std::vector<Pending>& found);
  std::uint64_t file_offset(Bytes part) const;
  RecoveryStatus status_of(std::string_view key) const;
  bool is_live_key(std::string_view key) const;
  // Decodes into record_; false (and nothing resolved) for a live copy.
  bool decode(const Pending& pending);

  const Database* db_;
  const TableInfo* table_;
  unsigned sources_;
  std::shared_ptr<const RecordLayout> layout_;
  RecordCheck check_;
  RecordParser parser_;
  Record record_;
  std::optional<PrimaryKey> key_;
  std::uint32_t object_id_ = 0;
  bool large_ = false;
  // A dropped table's scanner: every node of its pages is a record.
  bool dropped_ = false;
  std::optional<std::uint32_t> long_value_objid_;

  // The dropped tables whose records follow the table's own, and the
  // scanner of the one being read.
  std::shared_ptr<const DroppedTables> dropped_tables_;
  std::vector<const DroppedTable*> twins_;
  std::size_t next_twin_ = 0;
  std::unique_ptr<RecoveryScanner> twin_;
  bool own_done_ = false;

  std::unordered_set<std::uint32_t> live_pages_;
  // Sorted once the walk is done: hashes of the live keys (64 bits; two
  // different keys of one table sharing one is not a practical concern),
  // and the live records by the hash of their fixed and variable part.
  std::vector<std::uint64_t> live_keys_;
  std::vector<LiveRecord> live_records_;
  // Made on the first candidate that reaches decoding: the hash of every
  // live record's decoded values, with its place in live_records_, sorted.
  std::vector<std::pair<std::uint64_t, std::size_t>> live_values_;
  bool live_values_made_ = false;
  Record live_scratch_;
  PageRanges available_;
  std::unordered_multimap<std::uint64_t, Bytes> recovered_;  // by hash of the whole record
  std::unordered_set<std::uint64_t> recovered_offsets_;
  std::unique_ptr<LongValueReader> long_values_;

  std::uint32_t next_page_ = 1;
  std::deque<Pending> queue_;
  bool has_current_ = false;
  std::string key_scratch_;
  ByteVector tag_scratch_;
  RecoveryStats stats_;
  ReadDamage damage_;
};

}  // namespace pellumo
