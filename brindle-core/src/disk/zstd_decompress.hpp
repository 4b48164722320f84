// Decompressing a zstd image into a sparse file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace brindle::disk {

inline constexpr std::uint64_t DEFAULT_CHUNK_SIZE = 1'048'576;

// Returns "sparse".
Result<std::string> decompress_zstd_sparse(std::string_view source, std::string_view target,
                                           std::uint64_t chunk_size);

}  // namespace brindle::disk
