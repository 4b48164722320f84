#include "disk/sparse_copy.hpp"

namespace brindle::disk {

Result<std::string> clone_or_sparse_copy(std::string_view, std::string_view) {
  panic("not implemented");
}

}  // namespace brindle::disk
