#include "database/database.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "catalog/parser.h"

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
  if (base_ != nullptr) ::munmap(const_cast<std::uint8_t*>(base_), mapped_length_);
}

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return EseError::io(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return EseError::io(errno);
  // A directory opens read-only but can never be mapped; say what it is.
  if (S_ISDIR(st.st_mode)) return EseError::io(EISDIR);
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
  PELLUMO_TRY(db->tables_, CatalogParser::parse_catalog([&self](std::uint32_t n) { return self.read_page(n); },
                                                          self.format_version(), self.format_revision(),
                                                          self.page_size()));
  return db;
}

std::uint32_t Database::database_state() const {
  return read_u32_le(Bytes(header_.data(), header_.size()), kOffsetDatabaseState).value_or(0);
}

Result<std::vector<CarvedString>> Database::carve_utf16le_strings_scoped(CarveScope scope,
                                                                         const std::optional<std::string>& needle,
                                                                         std::size_t min_chars,
                                                                         std::size_t max_hits) const {
  return carve_pages(*this, tables_, scope, needle, min_chars, max_hits);
}

Result<TableCursor> Database::open_table(const std::string& name) const {
  const TableInfo* table = tables_.find(name);
  if (!table) return EseError::table_not_found(name);
  return TableCursor::open(*this, *table);
}

}  // namespace pellumo
