#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "disk/file_io.hpp"
#include "disk/sparse_copy.hpp"

namespace brindle::disk {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kBlock = 4096;

enum class Fill { Random, Zeros };

struct Extent {
  std::uint64_t offset, length;
  Fill fill;
};

struct Layout {
  const char* name;
  std::uint64_t chunk;
  std::uint64_t size;
  std::vector<Extent> extents;  // written; everything else is a hole
};

std::vector<std::pair<off_t, off_t>> data_map(int fd) {
  std::vector<std::pair<off_t, off_t>> ranges;
  struct stat status{};
  EXPECT_EQ(::fstat(fd, &status), 0);
  for (off_t at = 0; at < status.st_size;) {
    const off_t start = ::lseek(fd, at, SEEK_DATA);
    if (start < 0) break;
    const off_t end = ::lseek(fd, start, SEEK_HOLE);
    ranges.emplace_back(start, end);
    at = end;
  }
  return ranges;
}

std::string content(const fs::path& path) {
  const UniqueFd fd = open_for_reading(path.string()).value();
  std::string bytes;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t count = ::pread(fd.get(), buffer, sizeof buffer, at);
    if (count <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(count));
    at += count;
  }
}

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class CopyChunksHoles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "disk-copy-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override { fs::remove_all(dir_); }

  UniqueFd make_source(const Layout& layout) {
    auto fd = open_temporary((dir_ / "source").string());
    EXPECT_TRUE(fd.has_value());
    std::mt19937 random(7);
    for (const Extent& extent : layout.extents) {
      std::vector<unsigned char> bytes(extent.length, 0);
      if (extent.fill == Fill::Random) {
        for (auto& byte : bytes) byte = static_cast<unsigned char>(random() | 1);
      }
      EXPECT_EQ(::pwrite(fd->get(), bytes.data(), bytes.size(), static_cast<off_t>(extent.offset)),
                static_cast<ssize_t>(bytes.size()));
    }
    EXPECT_TRUE(set_length(fd->get(), layout.size));
    return open_for_reading((dir_ / "source").string()).value();
  }

  // The chunked loop with no knowledge of holes: read, then write or seek over each chunk.
  UniqueFd plain_copy(int source, std::uint64_t chunk, std::uint64_t size) {
    auto target = open_temporary((dir_ / "plain").string()).value();
    std::vector<std::byte> buffer(chunk);
    for (;;) {
      const ssize_t count = ::read(source, buffer.data(), buffer.size());
      EXPECT_GE(count, 0);
      if (count <= 0) break;
      EXPECT_TRUE(write_chunk(target.get(), std::span(buffer).first(count)));
    }
    EXPECT_TRUE(set_length(target.get(), size));
    return target;
  }

  fs::path dir_;
};

class CopyChunks : public CopyChunksHoles, public testing::WithParamInterface<Layout> {};

TEST_P(CopyChunks, SkippingHolesGivesTheFileThePlainLoopGives) {
  const Layout& layout = GetParam();
  const UniqueFd source = make_source(layout);
  const UniqueFd plain = plain_copy(source.get(), layout.chunk, layout.size);

  ASSERT_EQ(::lseek(source.get(), 0, SEEK_SET), 0);
  auto target = open_temporary((dir_ / "target").string()).value();
  auto buffer = PageBuffer::allocate(layout.chunk).value();
  ASSERT_TRUE(copy_chunks(source.get(), target.get(), buffer.span()));
  ASSERT_TRUE(set_length(target.get(), layout.size));

  // Compared as booleans: a failure would otherwise print megabytes.
  const std::string copied_bytes = content(dir_ / "target");
  EXPECT_TRUE(copied_bytes == content(dir_ / "plain"));
  EXPECT_TRUE(copied_bytes == content(dir_ / "source"));
  EXPECT_EQ(data_map(target.get()), data_map(plain.get()));
  struct stat copied{}, reference{};
  ASSERT_EQ(::fstat(target.get(), &copied), 0);
  ASSERT_EQ(::fstat(plain.get(), &reference), 0);
  EXPECT_EQ(copied.st_size, reference.st_size);
  EXPECT_EQ(copied.st_blocks, reference.st_blocks);
}

// Bytes this process has read with read() and its kin, from /proc/self/io.
std::uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  ADD_FAILURE() << "no rchar in /proc/self/io";
  return 0;
}

TEST_F(CopyChunksHoles, WholeChunksInsideHolesAreNotRead) {
  const Layout layout{"",
                      COPY_BUFFER_SIZE,
                      64 * COPY_BUFFER_SIZE + 10,
                      {{32 * COPY_BUFFER_SIZE + 5, 1, Fill::Random}}};
  const UniqueFd source = make_source(layout);
  auto target = open_temporary((dir_ / "target").string()).value();
  auto buffer = PageBuffer::allocate(layout.chunk).value();
  const std::uint64_t before = bytes_read();
  ASSERT_TRUE(copy_chunks(source.get(), target.get(), buffer.span()));
  // The one chunk holding data and the short tail, plus the reading of /proc/self/io itself.
  const std::uint64_t read = bytes_read() - before;
  EXPECT_GE(read, COPY_BUFFER_SIZE + 10);
  EXPECT_LT(read, COPY_BUFFER_SIZE + 10 + 4096);
  EXPECT_EQ(::lseek(target.get(), 0, SEEK_CUR), static_cast<off_t>(layout.size));
}

constexpr std::uint64_t C = 16 * kBlock;  // 64 KiB chunks keep the files small

INSTANTIATE_TEST_SUITE_P(
    Layouts, CopyChunks,
    testing::Values(
        Layout{"HoleOnChunkBoundaries", C, 4 * C, {{0, C, Fill::Random}, {3 * C, C, Fill::Random}}},
        Layout{"HoleAcrossChunkBoundaries",
               C,
               5 * C,
               {{0, C + kBlock, Fill::Random}, {3 * C + 2 * kBlock, C + kBlock, Fill::Random}}},
        Layout{"LeadingHole", C, 4 * C, {{2 * C + C / 2, kBlock, Fill::Random}}},
        Layout{"TrailingHoleShortOfAChunk", C, 5 * C + 123, {{0, kBlock, Fill::Random}}},
        Layout{"OnlyHole", C, 7 * C, {}}, Layout{"Empty", C, 0, {}},
        Layout{"WrittenZerosBetweenData",
               C,
               6 * C,
               {{0, kBlock, Fill::Random}, {C, 3 * C, Fill::Zeros}, {5 * C, 1, Fill::Random}}},
        Layout{"IslandsAtChunkEdges",
               C,
               9 * C,
               {{C - kBlock, kBlock, Fill::Random},
                {2 * C, kBlock, Fill::Random},
                {6 * C - kBlock, 2 * kBlock, Fill::Random}}},
        Layout{"DataUpToEndOfFile", C, 3 * C + 100, {{2 * C + 50, 50, Fill::Random}}},
        // Chunks that do not line up with the holes' block granularity.
        Layout{"OddChunk",
               3 * kBlock,
               40 * kBlock + 7,
               {{kBlock, kBlock, Fill::Random}, {20 * kBlock, 5 * kBlock, Fill::Random}}},
        Layout{"FullSizeChunks",
               COPY_BUFFER_SIZE,
               6 * COPY_BUFFER_SIZE + 1,
               {{COPY_BUFFER_SIZE / 2, COPY_BUFFER_SIZE, Fill::Random},
                {5 * COPY_BUFFER_SIZE, 1, Fill::Random}}}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle::disk
