#include "networking/networking.hpp"

namespace brindle::networking {

namespace {

constexpr std::string_view NOT_AVAILABLE_MESSAGE = "Not available on this platform";

std::unexpected<Error> not_available() {
  return fail(Error::io(std::string(NOT_AVAILABLE_MESSAGE)));
}
}  // namespace

Result<std::string> get_default_interface() { return not_available(); }
Status create_tap(std::string_view, std::uint32_t) { return not_available(); }
Status delete_tap(std::string_view) { return not_available(); }
Status set_link_up(std::string_view) { return not_available(); }
Status flush_addrs(std::string_view) { return not_available(); }
Status add_addr(std::string_view, std::string_view, std::uint8_t) { return not_available(); }
Status configure_tap(std::string_view, std::string_view, std::uint8_t) { return not_available(); }
Status prepare_tap(std::string_view, std::uint32_t, std::string_view, std::uint8_t, bool) {
  return not_available();
}
Status add_route(std::string_view, std::uint8_t, std::string_view) { return not_available(); }
Status write_sysctl(std::string_view, std::string_view) { return not_available(); }

}  // namespace brindle::networking
