#include "tree/read_damage.h"

#include <algorithm>

#include "utils/utf8.h"

namespace pellumo {
namespace {

// "1 page", "3 pages".
std::string count_of(std::uint64_t n, std::string_view one, std::string_view many) {
  std::string out = std::to_string(n);
  out.push_back(' ');
  out.append(n == 1 ? one : many);
  return out;
}

void add_part(std::string& out, const std::string& part) {
  if (!out.empty()) out.append("; ");
  out.append(part);
}

// What a refused page of each kind means to the reader of the warning.
std::string_view refusal_text(Refusal reason, bool one) {
  switch (reason) {
    case Refusal::None: return "";
    case Refusal::OutOfRange: return one ? "that is not a page of the file" : "that are not pages of the file";
    case Refusal::Checksum: return one ? "failing its checksum (torn or overwritten)"
                                       : "failing their checksums (torn or overwritten)";
    case Refusal::ForeignOwner: return "belonging to another tree";
    case Refusal::WrongTreeType: return "of another kind of tree";
    case Refusal::Empty: return "empty where entries were expected";
    case Refusal::Revisit: return "reached a second time (a loop in the tree)";
    case Refusal::TooDeep: return "below more branch levels than any tree has";
  }
  return "";
}

// Characters a POSIX shell leaves alone in a word.
bool shell_safe(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string_view("@%+=:,./-_").find(c) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

// The file name as a command line takes it: single quotes around it, each
// quote inside written as '\'' (what Python's shlex.quote does).
std::string shell_quoted(const std::string& s) {
  if (shell_safe(s)) return s;
  std::string out = "'";
  for (const char c : s) {
    if (c == '\'') {
      out.append("'\\''");
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

}  // namespace

void ReadDamage::refuse(std::uint32_t page, Refusal reason) {
  if (reason == Refusal::None) return;
  ++refused[static_cast<std::size_t>(reason)];
  if (reason == Refusal::OutOfRange && page > file_pages) ++beyond_end;
}

std::uint64_t ReadDamage::pages_refused() const {
  std::uint64_t n = 0;
  for (const std::uint64_t c : refused) n += c;
  return n;
}

void ReadDamage::add(const ReadDamage& other) {
  for (std::size_t i = 0; i < kReasonCount; ++i) refused[i] += other.refused[i];
  beyond_end += other.beyond_end;
  entries_skipped += other.entries_skipped;
  records_undecodable += other.records_undecodable;
  values_unresolved += other.values_unresolved;
  if (file_pages == 0) file_pages = other.file_pages;
}

ReadDamage ReadDamage::without(const ReadDamage& told) const {
  auto less = [](std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; };
  ReadDamage out;
  for (std::size_t i = 0; i < kReasonCount; ++i) out.refused[i] = less(refused[i], told.refused[i]);
  // beyond_end counts some of the OutOfRange refusals: it never exceeds them.
  out.beyond_end = std::min(less(beyond_end, told.beyond_end), out.refused_for(Refusal::OutOfRange));
  out.entries_skipped = less(entries_skipped, told.entries_skipped);
  out.records_undecodable = less(records_undecodable, told.records_undecodable);
  out.values_unresolved = less(values_unresolved, told.values_unresolved);
  out.file_pages = file_pages;
  return out;
}

std::string describe_damage(const ReadDamage& damage) {
  std::string out;
  if (damage.beyond_end != 0) {
    add_part(out, count_of(damage.beyond_end, "page", "pages") + " beyond the end of the file (" +
                      count_of(damage.file_pages, "page", "pages") + "): the file is truncated");
  }
  for (std::size_t i = 1; i < ReadDamage::kReasonCount; ++i) {
    const auto reason = static_cast<Refusal>(i);
    std::uint64_t n = damage.refused[i];
    if (reason == Refusal::OutOfRange) n -= damage.beyond_end;
    if (n == 0) continue;
    add_part(out, count_of(n, "page", "pages") + " " + std::string(refusal_text(reason, n == 1)));
  }
  if (damage.entries_skipped != 0) {
    add_part(out, count_of(damage.entries_skipped, "entry", "entries") + " skipped (unreadable)");
  }
  if (damage.records_undecodable != 0) {
    add_part(out, count_of(damage.records_undecodable, "record", "records") + " undecodable (read as nulls)");
  }
  if (damage.values_unresolved != 0) {
    add_part(out, count_of(damage.values_unresolved, "long value", "long values") + " unresolved (read as null)");
  }
  return out;
}

std::string damage_warning_text(std::string_view file, std::string_view table, const ReadDamage& damage) {
  const std::string shown_file = utf8_lossy(file);
  std::string out = shown_file;
  out.append(": table ");
  append_utf8_lossy(out, table);
  out.append(": ");
  out.append(describe_damage(damage));
  out.append("; run `pellumo check ");
  out.append(shell_quoted(shown_file));
  out.append("` for details");
  return out;
}

}  // namespace pellumo
