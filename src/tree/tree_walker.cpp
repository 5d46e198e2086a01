#include "tree/tree_walker.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "page/branch.h"
#include "page/tag.h"
#include "tree/checksum.h"

namespace pellumo {
namespace {

// Byte-wise comparison of keys, unsigned; a proper prefix is smaller.
int compare_keys(Bytes a, Bytes b) {
  const std::size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

TreeSource make_tree_source(const PageSource& pages) {
  return TreeSource{[&pages](std::uint32_t n) { return pages.read_page(n); }, pages.format_version(),
                    pages.format_revision(), pages.page_size()};
}

std::string_view refusal_name(Refusal reason) {
  switch (reason) {
    case Refusal::None: return "";
    case Refusal::OutOfRange: return "out_of_range";
    case Refusal::Checksum: return "checksum";
    case Refusal::ForeignOwner: return "foreign_owner";
    case Refusal::WrongTreeType: return "wrong_tree_type";
    case Refusal::Empty: return "empty";
    case Refusal::Revisit: return "revisit";
    case Refusal::TooDeep: return "too_deep";
  }
  return "";
}

std::uint32_t tree_type_bits(TreeKind kind) {
  switch (kind) {
    case TreeKind::Table: return 0;
    case TreeKind::Index: return kPageFlagIndex;
    case TreeKind::LongValue: return kPageFlagLongValue;
  }
  return 0;
}

Result<TreeWalker> TreeWalker::open(const TreeSource& source, std::uint32_t root, Options options) {
  auto page = root == 0 ? Result<Page>(EseError::invalid_page_number(0)) : source.load(root);
  if (!page) {
    if (options.on_refused) options.on_refused(RefusedPage{root, 0, Refusal::OutOfRange});
    return std::move(page).error();
  }
  const std::uint32_t owner = options.object_id.value_or(page->object_id());
  Refusal reason = Refusal::None;
  if (verify_page_checksum(page->bytes(), root, source.page_size) == ChecksumState::Bad) {
    reason = Refusal::Checksum;
  } else if (page->object_id() != owner) {
    reason = Refusal::ForeignOwner;
  } else if ((page->page_flags() & kTreeTypeMask) != tree_type_bits(options.kind)) {
    reason = Refusal::WrongTreeType;
  } else if (page->page_flags() & kPageFlagEmpty) {
    reason = Refusal::Empty;
  }
  if (reason != Refusal::None) {
    if (options.on_refused) options.on_refused(RefusedPage{root, 0, reason});
    return EseError::corrupt_structure(root, std::string(refusal_name(reason)));
  }
  TreeWalker walker(source, root, *page, std::move(options));
  walker.object_id_ = owner;
  if (walker.options_.on_page) walker.options_.on_page(root, walker.root_page_);
  return walker;
}

TreeWalker::TreeWalker(const TreeSource& source, std::uint32_t root, Page root_page, Options options)
    : source_(source),
      root_(root),
      root_page_(root_page),
      options_(std::move(options)),
      object_id_(0),
      type_bits_(tree_type_bits(options_.kind)) {
  visited_.insert(root);
}

Refusal TreeWalker::check(std::uint32_t n, const Result<Page>& page) const {
  if (n == 0 || !page) return Refusal::OutOfRange;
  if (verify_page_checksum(page->bytes(), n, source_.page_size) == ChecksumState::Bad) return Refusal::Checksum;
  if (page->object_id() != object_id_) return Refusal::ForeignOwner;
  const std::uint32_t flags = page->page_flags();
  if ((flags & kTreeTypeMask) != type_bits_) return Refusal::WrongTreeType;
  if (flags & kPageFlagEmpty) return Refusal::Empty;
  const TagExtractor tags(*page, source_.format_version, source_.format_revision, source_.page_size);
  if (tags.tag_count() <= page->first_entry_tag()) return Refusal::Empty;
  return Refusal::None;
}

void TreeWalker::report(std::uint32_t n, std::uint32_t parent, Refusal reason) {
  if (options_.on_refused && reported_.insert(n).second) options_.on_refused(RefusedPage{n, parent, reason});
}

void TreeWalker::refuse(std::uint32_t n, std::uint32_t parent, Refusal reason) {
  report(n, parent, reason);
  if (options_.on_refusal == OnRefusal::Stop) stopped_ = true;
}

std::optional<Page> TreeWalker::admit(std::uint32_t n, std::uint32_t parent, unsigned depth) {
  if (depth > kMaxTreeDepth) {
    refuse(n, parent, Refusal::TooDeep);
    return std::nullopt;
  }
  if (visited_.count(n)) {
    refuse(n, parent, Refusal::Revisit);
    return std::nullopt;
  }
  auto page = n == 0 ? Result<Page>(EseError::invalid_page_number(0)) : source_.load(n);
  Refusal reason;
  auto cached = options_.cache ? options_.cache->find(n) : PageCheckCache::iterator{};
  if (options_.cache && cached != options_.cache->end()) {
    reason = cached->second;
  } else {
    reason = check(n, page);
    if (options_.cache) options_.cache->emplace(n, reason);
  }
  if (reason != Refusal::None) {
    refuse(n, parent, reason);
    return std::nullopt;
  }
  visited_.insert(n);
  if (options_.on_page) options_.on_page(n, *page);
  return *page;
}

std::optional<std::uint32_t> TreeWalker::child_at(const TagExtractor& tags, std::uint16_t i) {
  auto tag = tags.read_entry_tag(i, scratch_);
  if (!tag) return std::nullopt;
  auto child = BranchEntry::parse_child(tag->flags, tag->data);
  if (!child) return std::nullopt;
  return *child;
}

std::optional<std::uint32_t> TreeWalker::child_of(const Frame& f, std::uint16_t i) {
  const TagExtractor tags(f.page, source_.format_version, source_.format_revision, source_.page_size);
  auto child = child_at(tags, i);
  if (!child && options_.on_bad_entry) options_.on_bad_entry(f.number, i);
  return child;
}

std::optional<LeafPage> TreeWalker::enter(std::uint32_t n, Page page, std::optional<ByteVector> bound) {
  if (page.is_leaf()) {
    pending_bound_ = std::move(bound);
    return LeafPage{n, page};
  }
  const TagExtractor tags(page, source_.format_version, source_.format_revision, source_.page_size);
  stack_.push_back(Frame{n, page, page.first_entry_tag(), tags.tag_count(), std::move(bound)});
  return std::nullopt;
}

std::optional<ByteVector> TreeWalker::bound_below(const Frame& f, std::uint16_t i) {
  if (!options_.leaf_bounds) return std::nullopt;
  // The last entry stands for everything above the keys before it.
  if (i + 1 >= f.end_tag) return f.bound;
  const TagExtractor tags(f.page, source_.format_version, source_.format_revision, source_.page_size);
  Bytes prefix, local;
  std::uint32_t child = 0;
  if (!entry_key(tags, page_key_prefix(f.page, tags), i, prefix, local, child) || (prefix.empty() && local.empty()))
    return std::nullopt;
  ByteVector key(prefix.begin(), prefix.end());
  key.insert(key.end(), local.begin(), local.end());
  return key;
}

std::optional<LeafPage> TreeWalker::next_by_tree() {
  while (!stack_.empty() && !stopped_) {
    Frame& f = stack_.back();
    if (f.next_tag >= f.end_tag) {
      stack_.pop_back();
      continue;
    }
    const std::uint16_t i = f.next_tag++;
    const std::uint32_t parent = f.number;
    auto child = child_of(f, i);
    if (!child) continue;  // an unreadable branch entry costs only its subtree
    std::optional<ByteVector> bound = bound_below(f, i);
    auto page = admit(*child, parent, static_cast<unsigned>(stack_.size()));
    if (!page) continue;
    if (auto leaf = enter(*child, *page, std::move(bound))) return leaf;
  }
  return std::nullopt;
}

std::optional<LeafPage> TreeWalker::next_leaf() {
  if (stopped_) return std::nullopt;
  if (!started_) {
    started_ = true;
    pending_bound_.reset();
    if (root_page_.is_leaf()) {
      pending_ = LeafPage{root_, root_page_};
      pending_valid_ = true;
    } else {
      enter(root_, root_page_, std::nullopt);
    }
  }
  if (!pending_valid_) {
    pending_ = next_by_tree();
    pending_valid_ = true;
  }
  if (stopped_) return std::nullopt;
  // The sibling link: believed only for a page that passes every check and
  // links back; it reaches pages a lost update left out of their parent.
  if (last_ && last_->page.next_page() != 0) {
    const std::uint32_t n = last_->page.next_page();
    if (!(pending_ && pending_->number == n) && !visited_.count(n)) {
      auto page = source_.load(n);
      const Refusal reason = check(n, page);
      if (reason == Refusal::None && page->is_leaf() && page->previous_page() == last_->number) {
        visited_.insert(n);
        if (options_.on_page) options_.on_page(n, *page);
        last_ = LeafPage{n, *page};
        last_bound_.reset();  // a page its parent may not list: no bound is known
        return last_;
      }
      // A link into another tree or to a torn page is damage worth
      // reporting; the walk itself goes on by the tree.
      if (reason != Refusal::None) report(n, last_->number, reason);
    }
  }
  if (!pending_) return std::nullopt;
  last_ = std::move(pending_);
  last_bound_ = std::move(pending_bound_);
  pending_.reset();
  pending_bound_.reset();
  pending_valid_ = false;
  return last_;
}

bool TreeWalker::entry_key(const TagExtractor& tags, Bytes page_prefix, std::uint16_t i, Bytes& prefix,
                           Bytes& local, std::uint32_t& child) {
  auto tag = tags.read_entry_tag(i, scratch_);
  if (!tag) return false;
  auto entry = BranchEntryView::parse(tag->flags, tag->data);
  if (!entry) return false;
  child = entry->child_page;
  prefix = {};
  if (entry->common_key_size) {
    prefix = page_prefix.first(std::min<std::size_t>(*entry->common_key_size, page_prefix.size()));
  }
  local = entry->local_key;
  return true;
}

int TreeWalker::compare_entry(const TagExtractor& tags, Bytes page_prefix, std::uint16_t i, Bytes key,
                              std::uint32_t& child) {
  Bytes prefix, local;
  if (!entry_key(tags, page_prefix, i, prefix, local, child)) return kUnreadable;
  // An empty key stands for everything above.
  if (prefix.empty() && local.empty()) return 1;
  const std::size_t head = std::min(prefix.size(), key.size());
  if (head != 0) {
    const int c = std::memcmp(prefix.data(), key.data(), head);
    if (c != 0) return c;
  }
  if (prefix.size() > key.size()) return 1;
  return compare_keys(local, key.subspan(prefix.size()));
}

void TreeWalker::seek(Bytes key) {
  stack_.clear();
  visited_.clear();
  visited_.insert(root_);
  reported_.clear();
  started_ = true;
  last_.reset();
  pending_.reset();
  last_bound_.reset();
  pending_bound_.reset();
  pending_valid_ = true;
  stopped_ = false;
  std::uint32_t n = root_;
  Page page = root_page_;
  std::optional<ByteVector> bound;  // of the current page's keys
  while (true) {
    if (page.is_leaf()) {
      pending_ = LeafPage{n, page};
      return;
    }
    const TagExtractor tags(page, source_.format_version, source_.format_revision, source_.page_size);
    const std::uint16_t first = page.first_entry_tag();
    const std::uint16_t count = tags.tag_count();
    if (count <= first) {
      pending_valid_ = false;
      return;
    }
    // A branch key separates its child (keys below it) from the next child
    // (keys from it on), and the last entry of a page stands for everything
    // above the keys before it, whatever key it carries: the key lies under
    // the first entry whose key is greater than it. Found by halving over
    // all but the last entry (branch keys are in order); unreadable entries
    // count as not greater.
    const Bytes prefix = page_key_prefix(page, tags);
    const std::uint16_t last = static_cast<std::uint16_t>(count - 1);
    std::uint16_t lo = first, hi = last;  // the answer lies in [lo, hi]
    std::uint32_t child = 0;
    while (lo < hi) {
      const std::uint16_t mid = static_cast<std::uint16_t>(lo + (hi - lo) / 2);
      const int c = compare_entry(tags, prefix, mid, key, child);
      if (c != kUnreadable && c > 0) {
        hi = mid;
      } else {
        lo = static_cast<std::uint16_t>(mid + 1);
      }
    }
    // The halving leaves every readable entry before `lo - 1` at or below
    // the key; an entry that cannot be read just before `lo` may be the one
    // the key lies under. Then the walk goes in order from the nearest
    // readable entry before those (its own subtree may hold the key), so
    // it meets the unreadable ones (told to on_bad_entry) on its way.
    auto lo_child = child_at(tags, lo);
    std::uint16_t doubtful = lo;
    while (doubtful > first && !child_at(tags, static_cast<std::uint16_t>(doubtful - 1))) --doubtful;
    if (!lo_child || doubtful != lo) {
      const std::uint16_t from = doubtful > first ? static_cast<std::uint16_t>(doubtful - 1) : first;
      stack_.push_back(Frame{n, page, from, count, bound});
      pending_valid_ = false;
      return;
    }
    const std::uint16_t chosen = lo;
    const std::uint32_t chosen_child = *lo_child;
    stack_.push_back(Frame{n, page, static_cast<std::uint16_t>(chosen + 1), count, bound});
    bound = bound_below(stack_.back(), chosen);
    auto next = admit(chosen_child, n, static_cast<unsigned>(stack_.size()));
    if (!next) {
      pending_valid_ = false;  // the walk goes on from the next entry
      return;
    }
    if (!next->is_leaf()) {
      n = chosen_child;
      page = *next;
      continue;
    }
    pending_ = LeafPage{chosen_child, *next};
    pending_bound_ = std::move(bound);
    return;
  }
}

}  // namespace pellumo
