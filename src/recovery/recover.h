// Recovering the records a table no longer shows: nodes still in its tree
// but flagged deleted, record bytes left in the holes and the free tail of
// its pages, stale tag slots past a page's tag count, pages emptied by a
// merge (their tag slots intact), and pages released to the space trees
// with their contents. Every candidate must pass the table's schema and,
// where the primary index is over fixed columns, carry the key rebuilt
// from its own values. A byte-for-byte copy of a live record (what page
// reorganisation leaves behind) is not a recovery, and the same bytes are
// never recovered twice.
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
#include "recovery/primary_key.h"
#include "recovery/record_check.h"
#include "recovery/space.h"
#include "tree/read_damage.h"

namespace pellumo {

class Database;

enum class RecoverySource : std::uint8_t { DeletedNode, Hole, Tail, StaleTag, EmptiedPage, FreePage };
inline constexpr unsigned kRecoverySourceCount = 6;
inline constexpr unsigned kAllRecoverySources = (1u << kRecoverySourceCount) - 1;
constexpr unsigned recovery_source_bit(RecoverySource s) { return 1u << static_cast<unsigned>(s); }

// "deleted_node", "hole", "tail", "stale_tag", "emptied_page", "free_page".
const char* recovery_source_name(RecoverySource source);
std::optional<RecoverySource> recovery_source_from_name(std::string_view name);

// Deleted: its key is not live. Superseded: its key is live, with other
// values. Unkeyed: its key cannot be told.
enum class RecoveryStatus : std::uint8_t { Deleted, Superseded, Unkeyed };
const char* recovery_status_name(RecoveryStatus status);

struct RecoveredRecord {
  RecoveryStatus status = RecoveryStatus::Unkeyed;
  RecoverySource source = RecoverySource::Hole;
  std::uint32_t page = 0;
  std::uint64_t offset = 0;  // file offset of the record's first byte
  std::uint32_t size = 0;    // the record's length in bytes
};

// Counts of what a scan looked at, for tools and benchmarks.
struct RecoveryStats {
  std::uint64_t pages_scanned = 0;
  std::uint64_t candidates = 0;   // headers that fit the schema's first four bytes
  std::uint64_t rejected = 0;     // candidates the schema or key check refused
  std::uint64_t live_copies = 0;  // byte-for-byte copies of live records
  std::uint64_t duplicates = 0;   // bytes already recovered
};

// Borrows the Database and the TableInfo: must not outlive them.
class RecoveryScanner {
 public:
  // Prepares the recovery of the table called `name`: walks its tree for
  // the live records and keys, reads the space trees, reads the catalog for
  // its primary index. `sources` is a mask of recovery_source_bit values.
  // Fails with TableNotFound. A root page that is not a page of the file
  // gives a scanner that recovers nothing, with that refusal in damage().
  static Result<std::unique_ptr<RecoveryScanner>> open(const Database& db, const std::string& name,
                                                       unsigned sources = kAllRecoverySources);

  // Moves to the next recovered record: true with current() and record()
  // set, false at the end (and on every later call). Damaged pages and
  // candidates are skipped, never fatal.
  bool advance();
  const RecoveredRecord& current() const { return queue_.front().info; }
  // The record's columns as the table reader decodes them; long values
  // resolved where the long-value tree still holds them, else Null.
  const Record& record() const { return record_; }

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
  void walk_live_tree();
  void scan_page(std::uint32_t number);
  void scan_region(std::uint32_t number, Bytes page, std::size_t begin, std::size_t end, Bytes prefix,
                   RecoverySource source, std::vector<Pending>& found);
  // The node's full key (prefix + suffix) when the tag data is a node.
  void consider_node(std::uint32_t number, Bytes page, std::size_t data_at, std::uint8_t flags, Bytes data,
                     Bytes prefix, RecoverySource source, std::vector<Pending>& found);
  bool is_live_copy(Bytes candidate, bool exact) const;
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
  void decode(const Pending& pending);

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

  std::unordered_set<std::uint32_t> live_pages_;
  // Sorted once the walk is done: hashes of the live keys (64 bits; two
  // different keys of one table sharing one is not a practical concern),
  // and the live records by the hash of their fixed and variable part.
  std::vector<std::uint64_t> live_keys_;
  std::vector<LiveRecord> live_records_;
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
