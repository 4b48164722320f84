// Host networking: TAP devices, addresses, routes and kernel parameters. This build has no
// native implementation; every operation fails with "Not available on this platform".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace brindle::networking {

Result<std::string> get_default_interface();
Status create_tap(std::string_view name, std::uint32_t owner_uid);
Status delete_tap(std::string_view name);
Status set_link_up(std::string_view name);
Status flush_addrs(std::string_view name);
Status add_addr(std::string_view name, std::string_view ip, std::uint8_t prefix_len);
Status configure_tap(std::string_view name, std::string_view host_ip, std::uint8_t prefix_len);
Status prepare_tap(std::string_view name, std::uint32_t owner_uid, std::string_view host_ip,
                   std::uint8_t prefix_len, bool route_localnet);
Status add_route(std::string_view dest, std::uint8_t prefix_len, std::string_view dev);
Status write_sysctl(std::string_view key, std::string_view value);

}  // namespace brindle::networking
