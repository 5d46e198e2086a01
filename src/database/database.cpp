#include "database/database.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "catalog/parser.h"
#include "database/mapping_guard.h"

namespace pellumo {
namespace {

constexpr std::size_t kOffsetSignature = 4;
constexpr std::size_t kOffsetFormatVersion = 8;
constexpr std::size_t kOffsetDatabaseState = 52;
constexpr std::size_t kOffsetFormatRevision = 232;
constexpr std::size_t kOffsetPageSize = 236;

// Closes the descriptor on every exit path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Database::~Database() {
  unguard_mapping(guard_slot_);
  if (base_ != nullptr) ::munmap(const_cast<std::uint8_t*>(base_), mapped_length_);
}

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  // Only regular files and block devices hold a database. Anything else is
  // refused before it is opened: opening a FIFO would wait for a writer,
  // and a character device or socket cannot be mapped.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) return EseError::io(errno);
  if (S_ISDIR(before.st_mode)) return EseError::io(EISDIR);
  if (!S_ISREG(before.st_mode) && !S_ISBLK(before.st_mode)) {
    return EseError::io_text("Not a regular file or block device");
  }
  // O_NONBLOCK as well, in case the path was swapped for a FIFO since.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return EseError::io(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return EseError::io(errno);
  if (S_ISDIR(st.st_mode)) return EseError::io(EISDIR);
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return EseError::io_text("Not a regular file or block device");
  if (S_ISBLK(st.st_mode)) {
    // A block device reports no size through stat: ask the end of it.
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0) return EseError::io(errno);
    st.st_size = end;
  }
  if (st.st_size < 0) return EseError::io_text("memory map length overflows isize");
  const auto length = static_cast<std::uint64_t>(st.st_size);
  if (length > static_cast<std::uint64_t>(std::numeric_limits<std::size_t>::max())) {
    return EseError::io_text("memory map length overflows isize");
  }

  std::unique_ptr<Database> db(new Database());
  db->length_ = static_cast<std::size_t>(length);
  db->mapped_length_ = db->length_ == 0 ? 1 : db->length_;
  void* base = ::mmap(nullptr, db->mapped_length_, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return EseError::io(errno);
  db->base_ = static_cast<const std::uint8_t*>(base);
  db->guard_slot_ = guard_mapping(base, db->mapped_length_);

  const Bytes file(db->base_, db->length_);
  if (file.size() < kMinimumFileSize) return EseError::invalid_header();
  const std::uint32_t signature = read_u32_le(file, kOffsetSignature).value_or(0);
  if (signature != kDatabaseSignature) return EseError::invalid_signature(signature);
  (void)copy_bytes(file, 0, db->header_.data(), kHeaderCopySize);  // the file holds at least 4096 bytes
  const Bytes header(db->header_.data(), db->header_.size());
  const std::uint32_t page_size = read_u32_le(header, kOffsetPageSize).value_or(0);
  if (page_size == 0) return EseError::parse("Invalid page size in database header: 0");
  static_cast<PageSource&>(*db) = PageSource(file, page_size, read_u32_le(header, kOffsetFormatVersion).value_or(0),
                                             read_u32_le(header, kOffsetFormatRevision).value_or(0));

  const Database& self = *db;
  db->catalog_damage_.file_pages = self.total_pages();
  PELLUMO_TRY(db->tables_, CatalogParser::parse_catalog([&self](std::uint32_t n) { return self.read_page(n); },
                                                          self.format_version(), self.format_revision(),
                                                          self.page_size(), &db->catalog_damage_));
  return db;
}

std::uint32_t Database::database_state() const {
  return read_u32_le(Bytes(header_.data(), header_.size()), kOffsetDatabaseState).value_or(0);
}

const char* Database::database_state_name(std::uint32_t state) {
  switch (state) {
    case 1: return "new";
    case 2: return "dirty";
    case 3: return "clean";
    case 4: return "being_converted";
    case 5: return "force_detach";
    default: return "unknown";
  }
}

bool Database::shadow_header_matches() const {
  const Bytes file = mapped();
  const std::size_t page = page_size();
  auto header = slice(file, 0, page);
  auto shadow = slice(file, page, page);
  if (page == 0 || !header || !shadow) return false;
  return std::equal(header->begin(), header->end(), shadow->begin());
}

bool Database::size_changed() const { return mapping_size_changed(guard_slot_); }

Result<std::vector<CarvedString>> Database::carve_utf16le_strings_scoped(CarveScope scope,
                                                                         const std::optional<std::string>& needle,
                                                                         std::size_t min_chars, std::size_t max_hits,
                                                                         const std::function<bool()>& interrupted) const {
  return carve_pages(*this, tables_, scope, needle, min_chars, max_hits, interrupted);
}

Result<TableCursor> Database::open_table(const std::string& name) const {
  const TableInfo* table = tables_.find(name);
  if (!table) return EseError::table_not_found(name);
  return TableCursor::open(*this, *table);
}

}  // namespace pellumo
