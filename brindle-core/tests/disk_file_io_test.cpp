#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/file_io.hpp"

namespace brindle::disk {
namespace {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with its content.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "disk-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class AllZero : public testing::TestWithParam<std::size_t> {};

TEST_P(AllZero, FindsAnyNonZeroByte) {
  const std::size_t size = GetParam();
  std::vector<std::byte> bytes(size);
  EXPECT_TRUE(is_all_zero(bytes));
  for (std::size_t at = 0; at < size; ++at) {
    bytes[at] = std::byte{0x80};
    EXPECT_FALSE(is_all_zero(bytes)) << "size " << size << ", non-zero byte at " << at;
    bytes[at] = std::byte{0};
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AllZero, testing::Values(0, 1, 15, 16, 17, 32, 33, 4096, 4099));

TEST(PageBuffer, IsPageAlignedAndZeroFilled) {
  auto buffer = PageBuffer::allocate(1'048'576);
  ASSERT_TRUE(buffer.has_value());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->data()) % sysconf(_SC_PAGESIZE), 0u);
  EXPECT_EQ(buffer->size(), 1'048'576u);
  EXPECT_TRUE(is_all_zero(buffer->span()));
}

TEST(PageBuffer, ImpossibleSizeIsAnErrorNotAThrow) {
  for (const std::size_t size : {std::size_t{1} << 50, SIZE_MAX}) {
    auto buffer = PageBuffer::allocate(size);
    ASSERT_FALSE(buffer.has_value());
    EXPECT_EQ(buffer.error().message(), "Cannot allocate memory (os error 12)");
  }
}

TEST(WriteChunk, ZeroChunksBecomeHolesAndDataIsWritten) {
  ScratchDir dir;
  const auto path = dir.path() / "file";
  auto fd = open_temporary(path.string());
  ASSERT_TRUE(fd.has_value());
  std::vector<std::byte> zeros(65536), data(65536, std::byte{7});
  data[0] = std::byte{0};  // a leading zero does not make the chunk a hole
  ASSERT_TRUE(write_chunk(fd->get(), zeros));
  ASSERT_TRUE(write_chunk(fd->get(), data));
  ASSERT_TRUE(write_chunk(fd->get(), {}));
  ASSERT_TRUE(write_chunk(fd->get(), zeros));
  EXPECT_EQ(::lseek(fd->get(), 0, SEEK_CUR), 3 * 65536);
  ASSERT_TRUE(set_length(fd->get(), 3 * 65536));

  EXPECT_EQ(::lseek(fd->get(), 0, SEEK_DATA), 65536);
  EXPECT_EQ(::lseek(fd->get(), 65536, SEEK_HOLE), 2 * 65536);
  struct stat status{};
  ASSERT_EQ(::fstat(fd->get(), &status), 0);
  EXPECT_EQ(status.st_size, 3 * 65536);
  EXPECT_EQ(status.st_blocks * 512, 65536);
}

TEST(WriteChunk, ReportsTheOperatingSystemError) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  UniqueFd read_end(pipe_ends[0]), write_end(pipe_ends[1]);
  const std::byte zero[1]{};
  const auto seek = write_chunk(write_end.get(), zero);
  ASSERT_FALSE(seek.has_value());
  EXPECT_EQ(seek.error().message(), "Illegal seek (os error 29)");
  const std::byte one[1]{std::byte{1}};
  const auto write = write_chunk(read_end.get(), one);
  ASSERT_FALSE(write.has_value());
  EXPECT_EQ(write.error().message(), "Bad file descriptor (os error 9)");
}

TEST(OpenTemporary, NeverFollowsALinkButReusesAFile) {
  ScratchDir dir;
  const auto victim = dir.path() / "victim", link = dir.path() / "link";
  {
    auto written = open_temporary(victim.string());
    ASSERT_TRUE(written && write_all(written->get(), std::as_bytes(std::span("data", 4))));
  }
  fs::create_symlink(victim, link);
  const auto refused = open_temporary(link.string());
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(fs::file_size(victim), 4u);
  // A regular file is truncated and reused.
  ASSERT_TRUE(open_temporary(victim.string()).has_value());
  EXPECT_EQ(fs::file_size(victim), 0u);
}

TEST(SystemPath, RefusesNul) {
  using namespace std::string_literals;
  for (const auto& path : {"a\0b"s, "\0"s, "dir/\0"s}) {
    const auto refused = open_for_reading(path);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "file name contained an unexpected NUL byte");
  }
}

TEST(CreateDirAll, MakesMissingAncestorsAndAcceptsExistingOnes) {
  ScratchDir dir;
  const mode_t previous = ::umask(022);
  const auto deep = dir.path() / "a" / "b" / "." / "c";
  EXPECT_TRUE(create_dir_all(deep.string()));
  EXPECT_TRUE(create_dir_all(deep.string()));
  EXPECT_TRUE(create_dir_all((dir.path() / "a" / ".." / "d").string()));
  ::umask(previous);
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "d"));
  EXPECT_EQ(fs::status(dir.path() / "a").permissions(), fs::perms(0755));
}

TEST(CreateDirAll, NonDirectoryInTheWayIsTheOperatingSystemError) {
  ScratchDir dir;
  const auto file = dir.path() / "file";
  ASSERT_TRUE(open_temporary(file.string()).has_value());
  const auto exists = create_dir_all(file.string());
  ASSERT_FALSE(exists.has_value());
  EXPECT_EQ(exists.error().message(), "File exists (os error 17)");
  const auto below = create_dir_all((file / "x" / "y").string());
  ASSERT_FALSE(below.has_value());
  EXPECT_EQ(below.error().message(), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace brindle::disk
