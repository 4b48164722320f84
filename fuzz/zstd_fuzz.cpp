// Sparse zstd decompression of arbitrary bytes into a folder of its own, against libzstd's
// one-shot decoder. That one also takes frames whose window the streaming decoder refuses to
// buffer, so only a success is compared. Input: one byte choosing the chunk size, then the bytes.
#include <stdlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "check.hpp"
#include "disk/zstd_decompress.hpp"

namespace fs = std::filesystem;

constexpr std::uint64_t CHUNK_SIZES[] = {1, 2, 3, 7, 512, 4096, 65536, 131072, 1 << 20};

struct Folder {
  fs::path path = [] {
    std::string name = fs::temp_directory_path() / "zstd-fuzz-XXXXXX";
    check(::mkdtemp(name.data()) != nullptr, "mkdtemp");
    return name;
  }();
  ~Folder() { fs::remove_all(path); }
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint64_t chunk_size = CHUNK_SIZES[data[0] % std::size(CHUNK_SIZES)];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  // Small chunks cost a step each, so they get a smaller output; larger ones are skipped.
  static std::vector<char> reference(8 << 20);
  const std::size_t decoded = ZSTD_decompress(
      reference.data(), chunk_size < 512 ? 64 << 10 : reference.size(), input.data(), input.size());
  if (ZSTD_getErrorCode(decoded) == ZSTD_error_dstSize_tooSmall) return 0;

  static const Folder sources, work;
  const fs::path source = sources.path / "input.zst", target = work.path / "disk.img";
  std::ofstream(source, std::ios::binary).write(input.data(), input.size());
  const auto done =
      brindle::disk::decompress_zstd_sparse(source.string(), target.string(), chunk_size);
  const auto left = std::distance(fs::directory_iterator(work.path), fs::directory_iterator());
  if (!done) {
    check(left == 0, "a call that fails leaves nothing in the folder");
    return 0;
  }
  check(left == 1 && fs::exists(target), "a call that succeeds leaves the target alone");
  std::ifstream file(target, std::ios::binary);
  check(!ZSTD_isError(decoded) && std::string(std::istreambuf_iterator<char>(file), {}) ==
                                      std::string_view(reference.data(), decoded),
        "the target holds what libzstd decodes");
  fs::remove(target);
  return 0;
}
