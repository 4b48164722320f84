// File primitives shared by the disk helpers: checked paths, page-aligned buffers, the
// write-or-skip of one chunk, directory creation and the temporary file's life.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace brindle::disk {

// A path in the form the system calls take: NUL-terminated, so one holding a NUL is refused
// instead of being cut short.
Result<std::string> system_path(std::string_view path);

// A zero-filled, page-aligned buffer of anonymous memory. The alignment is not cosmetic:
// page-cache reads into a buffer that is not 32-byte aligned run at less than half speed. An
// impossible size fails as an error value (ENOMEM) instead of throwing.
class PageBuffer {
 public:
  PageBuffer() = default;
  static Result<PageBuffer> allocate(std::size_t size);
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer() { reset(); }

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::byte> span() const { return {data_, size_}; }
  void reset();

 private:
  PageBuffer(std::byte* data, std::size_t size) : data_(data), size_(size) {}
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

// Whether every byte is zero (true for an empty span). Stops at the first non-zero byte and runs
// at memory speed on zero chunks.
bool is_all_zero(std::span<const std::byte> bytes);

// Writes `bytes` at the file's position, or moves the position forward over them when they are
// all zero, leaving a hole.
Status write_chunk(int fd, std::span<const std::byte> bytes);

// Creates `path` and its missing ancestors with mode 0o777 (less the umask). Existing
// directories are fine; anything else in the way is the operating-system error.
Status create_dir_all(std::string_view path);

// Opens for reading only, close-on-exec.
Result<UniqueFd> open_for_reading(std::string_view path);

// Opens the temporary file for writing: created with mode 0o666 (less the umask) or truncated.
// A symbolic link at the path is never followed (ELOOP): the name may be predictable, and
// following a planted link would overwrite whatever it points to.
Result<UniqueFd> open_temporary(std::string_view path);

// ftruncate, repeated when interrupted.
Status set_length(int fd, std::uint64_t length);

// fchmod, repeated when interrupted.
Status set_mode(int fd, unsigned mode);

Status rename_path(std::string_view from, std::string_view to);

// Unlinks the temporary path; a failure (already gone, ...) changes nothing for the caller.
void remove_temporary(std::string_view path);

}  // namespace brindle::disk
