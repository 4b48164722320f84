// Sparse zstd decompression of arbitrary bytes, from a file into a fresh temporary folder. The
// call either succeeds with exactly what a plain reference decode of the same bytes gives, or
// fails with the reference's own failure ("incomplete frame" or libzstd's error name); after a
// failure the folder is empty again (no temporary file, no target), after a success it holds the
// target alone.
//
// Input: one byte choosing the chunk size, then the compressed bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/zstd_decompress.hpp"

namespace {

[[noreturn]] void failure(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "zstd invariant broken: %s\n", what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) failure(what, detail);
}

// Small chunks exercise the decoder handing out what it still holds; large ones whole blocks.
constexpr std::uint64_t kChunkSizes[] = {1, 2, 3, 7, 512, 4096, 65536, 131072, 1 << 20};
// Decompression bombs are skipped: small chunks cost one step per piece.
constexpr std::size_t kMaxOutput = 8 << 20;
constexpr std::size_t kMaxOutputSmallChunks = 64 << 10;

struct Reference {
  std::string output;
  std::string error;  // empty on success
  bool too_large = false;
};

// The whole input at once, frame after frame, into an output buffer of the chunk size: how much
// room the decoder has decides between its one-pass and streaming paths, which name some faults
// differently.
Reference reference_decode(std::string_view input, std::size_t chunk_size, std::size_t limit) {
  struct Free {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
  };
  const std::unique_ptr<ZSTD_DCtx, Free> context(ZSTD_createDCtx());
  check(context != nullptr, "no decoder");
  Reference reference;
  std::vector<char> buffer(chunk_size);
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  bool finished = false, output_pending = false;
  for (;;) {
    if (in.pos == in.size && !output_pending) {
      if (!finished) reference.error = "incomplete frame";
      return reference;
    }
    if (finished && in.pos < in.size) {
      ZSTD_DCtx_reset(context.get(), ZSTD_reset_session_only);
      finished = false;
    }
    ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
    const std::size_t result = ZSTD_decompressStream(context.get(), &out, &in);
    if (ZSTD_isError(result)) {
      reference.error = ZSTD_getErrorName(result);
      return reference;
    }
    reference.output.append(buffer.data(), out.pos);
    if (reference.output.size() > limit) {
      reference.too_large = true;
      return reference;
    }
    if (result == 0) finished = true;
    // A full output buffer may leave decoded bytes in the decoder.
    output_pending = result != 0 && out.pos == out.size;
  }
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.c_str());
  check(directory != nullptr, "cannot list the folder");
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(directory);
  return names;
}

std::string read_file(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "cannot open the target");
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

void write_file(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "cannot create the source");
  check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
        "cannot write the source");
  ::close(fd);
}

std::string make_folder(const char* name) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name;
  check(::mkdtemp(path.data()) != nullptr, "cannot make a temporary folder");
  return path;
}

struct Folders {
  std::string source_folder = make_folder("zstd-fuzz-source-XXXXXX");
  std::string folder = make_folder("zstd-fuzz-target-XXXXXX");
  std::string source = source_folder + "/input.zst";
  std::string target = folder + "/disk.img";

  ~Folders() {
    ::unlink(source.c_str());
    ::unlink(target.c_str());
    ::rmdir(folder.c_str());
    ::rmdir(source_folder.c_str());
  }
};

Folders& folders() {
  static Folders instance;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint64_t chunk_size = kChunkSizes[data[0] % std::size(kChunkSizes)];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const Reference reference =
      reference_decode(input, chunk_size, chunk_size < 512 ? kMaxOutputSmallChunks : kMaxOutput);
  if (reference.too_large) return 0;

  Folders& f = folders();
  write_file(f.source, input);
  const auto result = brindle::disk::decompress_zstd_sparse(f.source, f.target, chunk_size);
  const auto left = entries(f.folder);
  if (reference.error.empty()) {
    check(result.has_value(), "a stream the reference decodes failed",
          result ? ""
                 : result.error().message() + " after " + std::to_string(reference.output.size()) +
                       " bytes");
    check(*result == "sparse", "success is not \"sparse\"");
    check(left.size() == 1 && left[0] == "disk.img", "more than the target is left");
    check(read_file(f.target) == reference.output, "the target differs from the reference");
    struct stat status{};
    check(::stat(f.target.c_str(), &status) == 0 &&
              static_cast<std::size_t>(status.st_size) == reference.output.size(),
          "the target's length differs from the reference");
    ::unlink(f.target.c_str());
  } else {
    check(!result.has_value(), "a stream the reference refuses was decoded", reference.error);
    check(result.error().message() == reference.error, "a failure differs from the reference",
          result.error().message() + " instead of " + reference.error);
    check(left.empty(), "a failed call left a file behind");
  }
  return 0;
}
