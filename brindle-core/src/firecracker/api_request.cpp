#include "firecracker/api_request.hpp"

namespace brindle::firecracker {

Duration seconds_to_timeout(double) { panic("not implemented"); }

Result<ApiResponse> api_request(std::string_view, std::string_view, std::string_view,
                                std::optional<std::string_view>, double) {
  panic("not implemented");
}

}  // namespace brindle::firecracker
