#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include <format>
#include <string>
#include <vector>

#include "disk/zstd_reader.hpp"

namespace brindle::disk {
namespace {

// An in-memory file holding `bytes`, positioned at its start.
UniqueFd memory_file(const std::string& bytes) {
  UniqueFd fd(::memfd_create("zstd-source", MFD_CLOEXEC));
  EXPECT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
  return fd;
}

std::string compress(const std::string& data) {
  std::string frame(ZSTD_compressBound(data.size()), '\0');
  const std::size_t size = ZSTD_compress(frame.data(), frame.size(), data.data(), data.size(), 3);
  EXPECT_FALSE(ZSTD_isError(size));
  frame.resize(size);
  return frame;
}

// Reads pieces until the end or a failure; the failure's text, if any, goes to `error`.
std::vector<std::string> read_all(ZstdReader& reader, std::size_t chunk, std::string* error) {
  std::vector<std::string> pieces;
  std::vector<std::byte> buffer(chunk);
  for (;;) {
    auto piece = reader.zstd_read_step(buffer);
    if (!piece) {
      *error = piece.error().message();
      return pieces;
    }
    if (*piece == 0) return pieces;
    EXPECT_LE(*piece, chunk);
    pieces.emplace_back(reinterpret_cast<const char*>(buffer.data()), *piece);
  }
}

TEST(ZstdReadStep, PiecesFitTheOutputAndEndStaysEnded) {
  std::string data;
  for (int i = 0; i < 20000; ++i) data += std::to_string(i * 7919);
  data += std::string(300000, '\0');
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{1000}, std::size_t{1} << 20}) {
    auto reader = ZstdReader::create(memory_file(compress(data) + compress("tail"))).value();
    std::string error;
    std::string joined;
    for (const auto& piece : read_all(reader, chunk, &error)) joined += piece;
    EXPECT_EQ(error, "");
    EXPECT_EQ(joined, data + "tail");
    std::byte spare[16];
    EXPECT_EQ(reader.zstd_read_step(spare).value(), 0u);
  }
}

TEST(ZstdReadStep, InputEndingInsideAFrameAfterPiecesIsIncomplete) {
  const std::string frame = compress(std::string(1 << 20, 'x') + "end");
  auto reader = ZstdReader::create(memory_file(frame.substr(0, frame.size() - 4))).value();
  std::string error;
  const auto pieces = read_all(reader, 4096, &error);
  EXPECT_FALSE(pieces.empty());
  EXPECT_EQ(error, "incomplete frame");
}

TEST(ZstdReadStep, ReadFailureIsTheOperatingSystemError) {
  // A descriptor open for writing only cannot be read.
  UniqueFd fd(::memfd_create("zstd-source", MFD_CLOEXEC));
  UniqueFd write_only(::open(std::format("/proc/self/fd/{}", fd.get()).c_str(), O_WRONLY));
  ASSERT_TRUE(write_only);
  auto reader = ZstdReader::create(std::move(write_only)).value();
  std::byte buffer[64];
  const auto piece = reader.zstd_read_step(buffer);
  ASSERT_FALSE(piece.has_value());
  EXPECT_EQ(piece.error().message(), "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace brindle::disk
