// Copying a regular file into place without writing its all-zero chunks.
#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace brindle::disk {

// Copies `source` to `target` through a temporary file beside it, leaving all-zero chunks as
// holes; returns the method used: "sparse" on this platform.
Result<std::string> clone_or_sparse_copy(std::string_view source, std::string_view target);

}  // namespace brindle::disk
