// The buffered POSIX writer behind JSON Lines output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error/ese_error.h"

namespace pellumo {

// An output file written through a bounded user-space buffer.
//
// Errors are EseError::io_text values whose text is exactly what the export
// raises as IOError: "Failed to create output file: {}" and "Write error: {}",
// `{}` being the system's text as in "No such file or directory (os error 2)".
// (Read them with io_description(); the Python layer's mapping of Io errors
// raises that text unchanged.)
//
// The destructor writes out whatever is still buffered (ignoring failures —
// call close() to see them) and closes a descriptor it owns, so every exit path
// leaves the file holding every complete line handed to it, unless a write
// failed. After a failed write nothing more is written.
class JsonlFile {
 public:
  // Once the buffer holds this many bytes it is written out.
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Creates or truncates `path` for writing, permission bits 0666 before the
  // umask.
  static Result<JsonlFile> create(const std::string& path);

  // Writes to the caller's open descriptor `fd`, which is left open: closing
  // only writes out what is buffered.
  static JsonlFile borrow(int fd);

  JsonlFile(JsonlFile&& other) noexcept;
  JsonlFile& operator=(JsonlFile&& other) noexcept;
  JsonlFile(const JsonlFile&) = delete;
  JsonlFile& operator=(const JsonlFile&) = delete;
  ~JsonlFile();

  // Appends bytes; writes the buffer out once it reaches kBufferSize.
  Result<void> write(std::string_view bytes);

  // Lets `fill(std::string&)` append straight into the buffer (saving a copy
  // of each line), then writes the buffer out once it reaches kBufferSize.
  template <class Fill>
  Result<void> append(Fill&& fill) {
    if (failed_) return failed_error();
    fill(buffer_);
    if (buffer_.size() >= kBufferSize) return flush();
    return Ok{};
  }

  // Writes out everything buffered.
  Result<void> flush();

  // Flushes and closes the descriptor, returning the first failure (an
  // earlier failed write included). A second call does nothing.
  Result<void> close();

  bool is_open() const { return fd_ >= 0; }

  // The errno of the failed write, or 0 while none has failed.
  int failed_errno() const { return failed_ ? failed_errno_ : 0; }

 private:
  JsonlFile(int fd, bool owned);
  static EseError write_error(int errno_value);
  EseError failed_error() const { return write_error(failed_errno_); }
  Result<void> write_all(const char* data, std::size_t size);
  void release();

  int fd_ = -1;
  bool owned_ = true;  // the descriptor is closed with the file
  bool failed_ = false;
  int failed_errno_ = 0;
  std::string buffer_;
};

}  // namespace pellumo
