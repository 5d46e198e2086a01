// Walking one B-tree the way the engine validates it: every page the walk
// reaches is checked before anything on it is believed, and leaves are
// reached by descending through branch entries (a stack of positions), so
// a refused or misdirected page costs only its own entries.
//
// The one walker of the library: the catalog, table cursors, long values
// (by key) and the page-owner maps of carving all use it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "error/ese_error.h"
#include "page/page.h"
#include "page/page_source.h"
#include "page/tag.h"
#include "utils/bytes.h"

namespace pellumo {

// Gives the parsed page N, or InvalidPageNumber / the page parse error.
using PageLoader = std::function<Result<Page>(std::uint32_t)>;

// How a walk reads pages: the loader and the numbers that shape a page.
struct TreeSource {
  PageLoader load;
  std::uint32_t format_version = 0;
  std::uint32_t format_revision = 0;
  std::uint32_t page_size = 0;
};

// The pages of an opened file, for walks.
TreeSource make_tree_source(const PageSource& pages);

// Why a page was refused. None: it passed.
enum class Refusal : std::uint8_t {
  None,
  OutOfRange,     // not a page of the file (or 0)
  Checksum,       // the stored checksum does not match the bytes
  ForeignOwner,   // the page belongs to another object
  WrongTreeType,  // the page is of another kind of tree
  Empty,          // flagged empty, or without a single entry
  Revisit,        // reached a second time in the same walk
  TooDeep,        // below more branch levels than any tree has
};
// "out_of_range", "checksum", "foreign_owner", "wrong_tree_type", "empty",
// "revisit", "too_deep" ("" for None).
std::string_view refusal_name(Refusal reason);

// Page flags that name the kind of tree (AND 0xE0): 0 for tables and the
// catalog, 0x40 for indexes, 0x80 for long values.
inline constexpr std::uint32_t kTreeTypeMask = 0xE0;
enum class TreeKind : std::uint8_t { Table, Index, LongValue };
std::uint32_t tree_type_bits(TreeKind kind);

// What a walk does when a page fails its checks: go on without it, or stop
// (the walk then ends and stopped() says so).
enum class OnRefusal : std::uint8_t { Skip, Stop };

struct RefusedPage {
  std::uint32_t page = 0;
  std::uint32_t parent = 0;  // the page whose entry or link led here (0 for the root)
  Refusal reason = Refusal::None;
};

// Results of the checks that do not depend on the walk (all but Revisit),
// shared by walks of the same tree so a page is checksummed once.
using PageCheckCache = std::unordered_map<std::uint32_t, Refusal>;

struct LeafPage {
  std::uint32_t number = 0;
  Page page;
};

class TreeWalker {
 public:
  struct Options {
    TreeKind kind = TreeKind::Table;
    // The owner every page must carry; default: the root page's own.
    std::optional<std::uint32_t> object_id;
    OnRefusal on_refusal = OnRefusal::Skip;
    // Told of every refused page, the root's refusal included.
    std::function<void(const RefusedPage&)> on_refused;
    // Told of every page that passed, branch or leaf, once.
    std::function<void(std::uint32_t, const Page&)> on_page;
    // Told of every branch entry whose child number cannot be read.
    std::function<void(std::uint32_t page, std::uint16_t tag)> on_bad_entry;
    PageCheckCache* cache = nullptr;
    // Keep the key bound of each leaf the tree leads to (leaf_bound()).
    bool leaf_bounds = false;
  };

  // Reads and checks the root. Fails with InvalidPageNumber when the root
  // is not a page of the file, and with CorruptStructure (the page and the
  // reason's name) when it fails another check. A root needs no entries (an
  // empty table's root has none).
  static Result<TreeWalker> open(const TreeSource& source, std::uint32_t root, Options options);

  // The next leaf in key order, checked; nullopt at the end (and after a
  // refusal under OnRefusal::Stop). A leaf's next-page link is followed
  // only when the page it names passes the checks and links back; the
  // walk otherwise goes on from the parent's next entry.
  std::optional<LeafPage> next_leaf();

  // Starts the walk again at the leaf where `key` lies, as the engine
  // seeks: branch entries are compared by full key (page prefix included)
  // and the walk descends through the first entry whose key is greater
  // than `key` (the last entry of a page standing for everything above),
  // so a key equal to a branch key is sought in the next child. Where that
  // entry, or the one before it, cannot be read, the walk goes in order
  // from the nearest readable entry before them, meeting (and telling
  // on_bad_entry of) the unreadable ones on its way.
  void seek(Bytes key);

  // With Options::leaf_bounds, the branch key above the leaf returned last:
  // every key of that leaf lies below it, and every key of the leaves after
  // it does not. nullopt when none is known: the rightmost leaf, a leaf
  // reached by its sibling link, or bounds not kept.
  const std::optional<ByteVector>& leaf_bound() const { return last_bound_; }

  bool stopped() const { return stopped_; }
  std::uint32_t root_number() const { return root_; }
  const Page& root_page() const { return root_page_; }
  std::uint32_t object_id() const { return object_id_; }
  std::uint32_t type_bits() const { return type_bits_; }
  std::size_t pages_passed() const { return visited_.size(); }

 private:
  struct Frame {
    std::uint32_t number;
    Page page;
    std::uint16_t next_tag;  // next entry tag to descend through
    std::uint16_t end_tag;
    std::optional<ByteVector> bound;  // of this page's keys (leaf_bounds only)
  };

  TreeWalker(const TreeSource& source, std::uint32_t root, Page root_page, Options options);

  // Loads and checks page n; nullopt when refused (reported).
  std::optional<Page> admit(std::uint32_t n, std::uint32_t parent, unsigned depth);
  Refusal check(std::uint32_t n, const Result<Page>& page) const;
  // Descends from the stack to the next leaf in tree order.
  std::optional<LeafPage> next_by_tree();
  // Pushes page (a checked branch or leaf) with the bound of its keys; a
  // leaf is returned instead, its bound kept for leaf_bound().
  std::optional<LeafPage> enter(std::uint32_t n, Page page, std::optional<ByteVector> bound);
  // The bound of the keys below entry tag `i` of frame f: the entry's own
  // key, or for the page's last entry the page's bound.
  std::optional<ByteVector> bound_below(const Frame& f, std::uint16_t i);
  void refuse(std::uint32_t n, std::uint32_t parent, Refusal reason);
  // Tells on_refused of page n once per walk.
  void report(std::uint32_t n, std::uint32_t parent, Refusal reason);
  // The child of branch entry tag `i`, or nullopt when it cannot be read;
  // child_of also tells on_bad_entry.
  std::optional<std::uint32_t> child_at(const TagExtractor& tags, std::uint16_t i);
  std::optional<std::uint32_t> child_of(const Frame& f, std::uint16_t i);
  // Compares the full key of branch entry tag `i` with `key` (<0, 0, >0;
  // an empty key is above everything), setting `child`; kUnreadable when
  // the entry cannot be read.
  static constexpr int kUnreadable = 0x7FFFFFFF;
  int compare_entry(const TagExtractor& tags, Bytes page_prefix, std::uint16_t i, Bytes key, std::uint32_t& child);
  // The full key of branch entry tag `i` in two parts: the part of the page
  // prefix (`page_prefix`) it shares, then its local key. Both borrow the
  // page or the walker's scratch. False when unreadable.
  bool entry_key(const TagExtractor& tags, Bytes page_prefix, std::uint16_t i, Bytes& prefix, Bytes& local,
                 std::uint32_t& child);

  TreeSource source_;
  std::uint32_t root_;
  Page root_page_;
  Options options_;
  std::uint32_t object_id_;
  std::uint32_t type_bits_;
  std::vector<Frame> stack_;
  std::unordered_set<std::uint32_t> visited_;
  std::unordered_set<std::uint32_t> reported_;  // refused pages already told of
  std::optional<LeafPage> pending_;     // next leaf by the tree, not yet returned
  bool pending_valid_ = false;          // pending_ has been worked out
  std::optional<LeafPage> last_;        // the leaf returned last
  std::optional<ByteVector> pending_bound_, last_bound_;
  bool started_ = false;
  bool stopped_ = false;
  ByteVector scratch_;
};

// Deepest branch nesting a walk accepts; real trees are a handful deep.
inline constexpr unsigned kMaxTreeDepth = 64;

}  // namespace pellumo
