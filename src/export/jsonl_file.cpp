#include "export/jsonl_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace pellumo {

namespace {
// A buffer that grew around one very long line is given back afterwards.
constexpr std::size_t kMaxKeptCapacity = 16 * JsonlFile::kBufferSize;
}  // namespace

JsonlFile::JsonlFile(int fd, bool owned) : fd_(fd), owned_(owned) { buffer_.reserve(kBufferSize); }

JsonlFile JsonlFile::borrow(int fd) { return JsonlFile(fd, false); }

JsonlFile::JsonlFile(JsonlFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(other.owned_),
      failed_(other.failed_),
      failed_errno_(other.failed_errno_),
      buffer_(std::move(other.buffer_)) {
  other.buffer_.clear();
}

JsonlFile& JsonlFile::operator=(JsonlFile&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    owned_ = other.owned_;
    failed_ = other.failed_;
    failed_errno_ = other.failed_errno_;
    buffer_ = std::move(other.buffer_);
    other.buffer_.clear();
  }
  return *this;
}

JsonlFile::~JsonlFile() { release(); }

void JsonlFile::release() {
  if (fd_ < 0) return;
  if (!failed_ && !buffer_.empty()) (void)write_all(buffer_.data(), buffer_.size());
  buffer_.clear();
  if (owned_) ::close(fd_);  // the descriptor is gone even when close reports EINTR
  fd_ = -1;
}

Result<JsonlFile> JsonlFile::create(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    // The system cannot be handed such a name at all; say what it would say
    // of a malformed argument.
    return EseError::io_text("Failed to create output file: " + EseError::io(EINVAL).io_description());
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return EseError::io_text("Failed to create output file: " + EseError::io(errno).io_description());
  return JsonlFile(fd, true);
}

EseError JsonlFile::write_error(int errno_value) {
  return EseError::io_text("Write error: " + EseError::io(errno_value).io_description());
}

Result<void> JsonlFile::write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t w = ::write(fd_, data, std::min<std::size_t>(size, SSIZE_MAX));
    if (w < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      failed_errno_ = errno;
      return write_error(failed_errno_);
    }
    if (w == 0) {  // no progress and no reason given: do not spin
      failed_ = true;
      failed_errno_ = EIO;
      return write_error(failed_errno_);
    }
    data += w;
    size -= static_cast<std::size_t>(w);
  }
  return Ok{};
}

Result<void> JsonlFile::write(std::string_view bytes) {
  if (failed_) return failed_error();
  if (fd_ < 0) return write_error(EBADF);
  if (buffer_.size() + bytes.size() < kBufferSize) {
    buffer_.append(bytes);
    return Ok{};
  }
  PELLUMO_CHECK(flush());
  if (bytes.size() >= kBufferSize) return write_all(bytes.data(), bytes.size());
  buffer_.append(bytes);
  return Ok{};
}

Result<void> JsonlFile::flush() {
  if (failed_) return failed_error();
  if (fd_ < 0) return write_error(EBADF);
  if (buffer_.empty()) return Ok{};
  Result<void> r = write_all(buffer_.data(), buffer_.size());
  buffer_.clear();  // after a failure the rest is dropped: nothing more is written
  if (buffer_.capacity() > kMaxKeptCapacity) {
    std::string().swap(buffer_);
    buffer_.reserve(kBufferSize);
  }
  return r;
}

Result<void> JsonlFile::close() {
  if (fd_ < 0) return Ok{};
  Result<void> r = flush();
  if (owned_ && ::close(fd_) != 0 && errno != EINTR && r.ok()) r = write_error(errno);
  fd_ = -1;
  buffer_.clear();
  return r;
}

}  // namespace pellumo
