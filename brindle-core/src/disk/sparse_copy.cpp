#include "disk/sparse_copy.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <format>
#include <limits>

#include "disk/file_io.hpp"
#include "disk/temp_path.hpp"

namespace brindle::disk {

namespace {

// The size of each read from the source and of the one buffer a copy allocates.
constexpr std::size_t COPY_BUFFER_SIZE = 1'048'576;

// Finds the source's holes with SEEK_DATA / SEEK_HOLE so that whole chunks inside them can be
// skipped: a fresh image is mostly holes, and reading them costs ten times the copy of its data.
// Any failure of these queries only turns the skipping off; the plain loop still gives the same
// file, so no error can come from here.
class HoleFinder {
 public:
  explicit HoleFinder(int fd) : fd_(fd) {}

  // How many bytes from `position`, a whole number of chunks, lie inside a hole. When it had to
  // ask, it leaves the file position at `position` plus that many bytes.
  Result<std::uint64_t> skippable(std::uint64_t position, std::uint64_t chunk) {
    if (!usable_ || position < data_end_) return 0;
    std::uint64_t data = 0;
    if (const off_t found = ::lseek(fd_, static_cast<off_t>(position), SEEK_DATA); found >= 0) {
      data = static_cast<std::uint64_t>(found);
      // Every chunk that starts before the end of this data holds some of it.
      const off_t hole = ::lseek(fd_, found, SEEK_HOLE);
      if (hole < 0) return disable(position);
      data_end_ = static_cast<std::uint64_t>(hole);
    } else if (errno == ENXIO) {
      // No data at or after the position: the rest of the file is a hole.
      const off_t end = ::lseek(fd_, 0, SEEK_END);
      if (end < 0) return disable(position);
      data = std::max(static_cast<std::uint64_t>(end), position);
      data_end_ = std::numeric_limits<std::uint64_t>::max();
    } else {
      return disable(position);
    }
    const std::uint64_t skip = (data - position) / chunk * chunk;
    if (auto placed = seek_to(position + skip); !placed) return fail(placed.error());
    return skip;
  }

 private:
  Result<std::uint64_t> disable(std::uint64_t position) {
    usable_ = false;
    if (auto placed = seek_to(position); !placed) return fail(placed.error());
    return 0;
  }

  Status seek_to(std::uint64_t position) {
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) return fail(Error::last_os());
    return {};
  }

  int fd_;
  bool usable_ = true;
  std::uint64_t data_end_ = 0;
};

// The copy-on-write clone step; this platform has none, so it always fails and touches nothing.
Status reflink_copy(std::string_view, std::string_view) {
  return fail(Error::io("reflink copy is not available on this platform"));
}

// The chunked copy from `source` into `target`, both at their start: every read of up to
// `buffer.size()` bytes is written, or seeked over when all zero. Whole chunks lying inside holes
// of the source are seeked over in both files without being read, which gives exactly the file
// the plain loop would.
Status copy_chunks(int source, int target, std::span<std::byte> buffer) {
  HoleFinder holes(source);
  std::uint64_t position = 0;
  for (;;) {
    auto skip = holes.skippable(position, buffer.size());
    if (!skip) return fail(skip.error());
    if (*skip != 0) {
      // The plain loop would read these chunks as zeros and seek over each of them.
      if (::lseek(target, static_cast<off_t>(*skip), SEEK_CUR) < 0) return fail(Error::last_os());
      position += *skip;
    }
    const ssize_t count = ::read(source, buffer.data(), buffer.size());
    if (count < 0) return fail(Error::last_os());
    if (count == 0) return {};
    if (auto written = write_chunk(target, buffer.first(static_cast<std::size_t>(count)));
        !written) {
      return written;
    }
    position += static_cast<std::uint64_t>(count);
  }
}

Status sparse_copy(const std::string& source, std::string_view temporary, std::string_view target,
                   const struct stat& status) {
  auto input = open_for_reading(source);
  if (!input) return fail(input.error());
  auto output = open_temporary(temporary);
  if (!output) return fail(output.error());
  auto buffer = PageBuffer::allocate(COPY_BUFFER_SIZE);
  if (!buffer) return fail(buffer.error());
  if (auto copied = copy_chunks(input->get(), output->get(), buffer->span()); !copied) {
    return copied;
  }
  if (auto sized = set_length(output->get(), static_cast<std::uint64_t>(status.st_size)); !sized) {
    return sized;
  }
  buffer->reset();
  // The mode is set through the open descriptor rather than the path: between closing the file
  // and a chmod by name, a link planted in its place would hand the source's mode (set-user-ID
  // included) to whatever it points to.
  if (auto moded = set_mode(output->get(), status.st_mode); !moded) return moded;
  output->reset();
  input->reset();
  return rename_path(temporary, target);
}

}  // namespace

Result<std::string> clone_or_sparse_copy(std::string_view source, std::string_view target) {
  auto source_path = system_path(source);
  if (!source_path) return fail(source_path.error());
  struct stat status{};
  if (::stat(source_path->c_str(), &status) != 0) return fail(Error::last_os());
  if (!S_ISREG(status.st_mode)) {
    return fail(Error::io(std::format("source is not a regular file: {}", source)));
  }
  if (const auto parent = parent_of(target); parent && !parent->empty()) {
    if (auto made = create_dir_all(*parent); !made) return fail(made.error());
  }
  const auto temporary = temp_path_for(target, unique_temp_suffix());
  if (!temporary) return fail(temporary.error());
  // Where no clone is possible the copy below does the work; why the clone failed is of no
  // interest to the caller.
  (void)reflink_copy(*source_path, *temporary);
  if (auto copied = sparse_copy(*source_path, *temporary, target, status); !copied) {
    remove_temporary(*temporary);
    return fail(copied.error());
  }
  return std::string("sparse");
}

}  // namespace brindle::disk
