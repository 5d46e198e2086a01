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

  // Starts the walk again at the leaf where `key` lies (or the one before
  // it): branch entries are compared by full key (page prefix included) and
  // the walk descends through the entry before the first one greater than
  // `key`, so it works whether branch keys are the first keys of their
  // children or separators above them.
  void seek(Bytes key);

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
  };

  TreeWalker(const TreeSource& source, std::uint32_t root, Page root_page, Options options);

  // Loads and checks page n; nullopt when refused (reported).
  std::optional<Page> admit(std::uint32_t n, std::uint32_t parent, unsigned depth);
  Refusal check(std::uint32_t n, const Result<Page>& page) const;
  // Descends from the stack to the next leaf in tree order.
  std::optional<LeafPage> next_by_tree();
  // Pushes page (a checked branch or leaf); a leaf is returned instead.
  std::optional<LeafPage> enter(std::uint32_t n, Page page);
  void refuse(std::uint32_t n, std::uint32_t parent, Refusal reason);
  // Tells on_refused of page n once per walk.
  void report(std::uint32_t n, std::uint32_t parent, Refusal reason);
  // The child of entry tag `i` of a branch frame, or nullopt.
  std::optional<std::uint32_t> child_of(const Frame& f, std::uint16_t i);
  // Compares the full key of branch entry tag `i` with `key` (<0, 0, >0;
  // an empty key is above everything), setting `child`; kUnreadable when
  // the entry cannot be read.
  static constexpr int kUnreadable = 0x7FFFFFFF;
  int compare_entry(const TagExtractor& tags, Bytes page_prefix, std::uint16_t i, Bytes key, std::uint32_t& child);

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
  bool started_ = false;
  bool stopped_ = false;
  ByteVector scratch_;
};

// Deepest branch nesting a walk accepts; real trees are a handful deep.
inline constexpr unsigned kMaxTreeDepth = 64;

}  // namespace pellumo
