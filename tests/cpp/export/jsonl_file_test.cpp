#include "export/jsonl_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fixture/temp_file.h"

namespace pellumo {
namespace {

using namespace std::string_literals;

using fixture::TempDir;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int open_descriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

std::string error_text(const EseError& e) {
  EXPECT_EQ(e.kind(), EseError::Kind::Io);
  return e.io_description();
}

TEST(JsonlFileTest, WritesLinesAndTruncates) {
  TempDir dir;
  const std::string path = dir.path() + "/out.jsonl";
  {
    std::ofstream(path) << "old content that is longer than the new one\n";
  }
  const mode_t old_mask = ::umask(022);
  {
    auto file = JsonlFile::create(path);
    ASSERT_TRUE(file.ok()) << file.error().message();
    ASSERT_TRUE(file->write("{\"a\":1}\n").ok());
    ASSERT_TRUE(file->append([](std::string& out) { out += "{}\n"; }).ok());
    ASSERT_TRUE(file->close().ok());
    EXPECT_TRUE(file->close().ok());  // a second close does nothing
  }
  ::umask(old_mask);
  EXPECT_EQ(read_file(path), "{\"a\":1}\n{}\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // 0666 less the umask
}

TEST(JsonlFileTest, LinesAroundTheBufferSizeArriveInOrder) {
  TempDir dir;
  const std::string path = dir.path() + "/big.jsonl";
  std::string expected;
  const int before = open_descriptors();
  {
    auto file = JsonlFile::create(path);
    ASSERT_TRUE(file.ok());
    // Small lines, lines near the buffer size and lines larger than it.
    const std::size_t sizes[] = {10, 100, JsonlFile::kBufferSize - 1, 7, JsonlFile::kBufferSize,
                                 3 * JsonlFile::kBufferSize, 1, 40000, 40000, 40000, 20 * JsonlFile::kBufferSize, 5};
    char fill = 'a';
    for (const std::size_t size : sizes) {
      std::string line(size, fill++);
      line += '\n';
      expected += line;
      if (size % 2 == 0) {
        ASSERT_TRUE(file->write(line).ok());
      } else {
        ASSERT_TRUE(file->append([&](std::string& out) { out += line; }).ok());
      }
    }
    // No close: leaving the scope writes the rest out.
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(read_file(path), expected);
}

TEST(JsonlFileTest, CreateFailuresCarryTheSystemText) {
  TempDir dir;
  const struct {
    std::string path;
    const char* text;
  } cases[] = {
      {dir.path(), "Failed to create output file: Is a directory (os error 21)"},
      {dir.path() + "/missing/out.jsonl", "Failed to create output file: No such file or directory (os error 2)"},
      {"/dev/null/out.jsonl", "Failed to create output file: Not a directory (os error 20)"},
      {"", "Failed to create output file: No such file or directory (os error 2)"},
      {dir.path() + "/a\0b"s, "Failed to create output file: Invalid argument (os error 22)"},
  };
  const int before = open_descriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto file = JsonlFile::create(c.path);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(error_text(file.error()), c.text);
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(JsonlFileTest, PermissionDenied) {
  TempDir dir;
  const std::string locked = dir.path() + "/locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  const std::string path = locked + "/out.jsonl";
  const std::string expected = "Failed to create output file: Permission denied (os error 13)";
  if (::geteuid() != 0) {
    auto file = JsonlFile::create(path);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(error_text(file.error()), expected);
    return;
  }
  // Root writes anywhere; a child that gives up root sees the refusal.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    auto file = JsonlFile::create(path);
    ::_exit(!file.ok() && file.error().io_description() == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child did not get: " << expected;
}

TEST(JsonlFileTest, FullDeviceReportsWriteErrorAndStops) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  const std::string full = "Write error: No space left on device (os error 28)";
  const int before = open_descriptors();
  {
    // A short line waits in the buffer; the failure shows when it is flushed.
    auto file = JsonlFile::create("/dev/full");
    ASSERT_TRUE(file.ok()) << file.error().message();
    ASSERT_TRUE(file->write("{}\n").ok());
    auto flushed = file->flush();
    ASSERT_FALSE(flushed.ok());
    EXPECT_EQ(error_text(flushed.error()), full);
    // Nothing more is attempted, and every later call reports the failure.
    auto again = file->write("{}\n");
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(error_text(again.error()), full);
    auto appended = file->append([](std::string& out) { out += "{}\n"; });
    ASSERT_FALSE(appended.ok());
    EXPECT_EQ(error_text(appended.error()), full);
    auto closed = file->close();
    ASSERT_FALSE(closed.ok());
    EXPECT_EQ(error_text(closed.error()), full);
    EXPECT_FALSE(file->is_open());
  }
  {
    // Once the buffer fills, the write that fills it fails.
    auto file = JsonlFile::create("/dev/full");
    ASSERT_TRUE(file.ok());
    Result<void> r = Ok{};
    std::size_t lines = 0;
    const std::string line(1000, 'x');
    while (r.ok() && lines < 1000) {
      r = file->write(line);
      ++lines;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(lines, JsonlFile::kBufferSize / line.size() + 1);
    EXPECT_EQ(error_text(r.error()), full);
  }
  {
    // A line longer than the buffer goes straight to the file and fails there;
    // the destructor alone closes the descriptor.
    auto file = JsonlFile::create("/dev/full");
    ASSERT_TRUE(file.ok());
    auto r = file->write(std::string(2 * JsonlFile::kBufferSize, 'y'));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(error_text(r.error()), full);
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(JsonlFileTest, MovedFileKeepsItsBuffer) {
  TempDir dir;
  const std::string path = dir.path() + "/moved.jsonl";
  const std::string other_path = dir.path() + "/other.jsonl";
  const int before = open_descriptors();
  {
    auto made = JsonlFile::create(path);
    ASSERT_TRUE(made.ok());
    ASSERT_TRUE(made->write("1\n").ok());
    JsonlFile file = std::move(*made);
    EXPECT_FALSE(made->is_open());
    ASSERT_TRUE(file.write("2\n").ok());
    auto other = JsonlFile::create(other_path);
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other->write("x\n").ok());
    // Assigning over an open file finishes that file first.
    *other = std::move(file);
    ASSERT_TRUE(other->write("3\n").ok());
    ASSERT_TRUE(other->close().ok());
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(read_file(path), "1\n2\n3\n");
  EXPECT_EQ(read_file(other_path), "x\n");
}

}  // namespace
}  // namespace pellumo
