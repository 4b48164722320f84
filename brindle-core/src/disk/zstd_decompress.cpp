#include "disk/zstd_decompress.hpp"

namespace brindle::disk {

Result<std::string> decompress_zstd_sparse(std::string_view, std::string_view, std::uint64_t) {
  panic("not implemented");
}

}  // namespace brindle::disk
