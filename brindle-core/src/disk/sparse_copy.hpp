// Copying a regular file into place without writing its all-zero chunks.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace brindle::disk {

// The size of each read from the source and of the one buffer a copy allocates.
inline constexpr std::size_t COPY_BUFFER_SIZE = 1'048'576;

// Returns the method used: "sparse" on this platform.
Result<std::string> clone_or_sparse_copy(std::string_view source, std::string_view target);

// The copy-on-write clone step; this platform has none, so it always fails and touches nothing.
Status reflink_copy(std::string_view source, std::string_view temporary);

// The chunked copy from `source` into `target`, both at their start: every read of up to
// `buffer.size()` bytes is written, or seeked over when all zero. Whole chunks lying inside holes
// of the source are seeked over in both files without being read, which gives exactly the file
// the plain loop would.
Status copy_chunks(int source, int target, std::span<std::byte> buffer);

}  // namespace brindle::disk
