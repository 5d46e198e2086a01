// Opening fuzz input as a database through the ordinary path: the bytes go
// into a memfd, which is opened by its /proc name like any file.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "database/database.h"

namespace pellumo::fuzz {

inline bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The opened database, or its error (InvalidHeader when the memfd could not
// be made or filled).
inline Result<std::unique_ptr<Database>> open_memory(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("pellumo-fuzz", MFD_CLOEXEC);
  if (fd < 0) return EseError::invalid_header();
  if (!write_all(fd, data, size)) {
    ::close(fd);
    return EseError::invalid_header();
  }
  auto db = Database::open("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);
  return db;
}

}  // namespace pellumo::fuzz
