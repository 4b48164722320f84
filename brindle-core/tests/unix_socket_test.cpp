#include "common/unix_socket.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

namespace brindle {
namespace {

TEST(UnixAddress, RefusesNulAndPathsThatDoNotFit) {
  EXPECT_EQ(unix_address(std::string_view("a\0b", 3)).error().message(),
            "paths must not contain interior null bytes");
  const std::string fits(sizeof(sockaddr_un::sun_path) - 1, 'x');
  EXPECT_TRUE(unix_address(fits).has_value());
  EXPECT_EQ(unix_address(fits + "x").error().message(), "path must be shorter than SUN_LEN");
}

TEST(SocketTimeout, RefusesZeroAndRoundsSubMicrosecondUp) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]), b(pair[1]);
  EXPECT_EQ(set_socket_timeout(a.get(), SO_RCVTIMEO, {}).error().message(),
            "cannot set a 0 duration timeout");
  ASSERT_TRUE(set_socket_timeout(a.get(), SO_RCVTIMEO, {0, 1}).has_value());
  timeval value{};
  socklen_t size = sizeof value;
  ASSERT_EQ(getsockopt(a.get(), SOL_SOCKET, SO_RCVTIMEO, &value, &size), 0);
  // The kernel rounds up to its tick; what matters is that the time-out is not 0 (no time-out).
  EXPECT_GT(value.tv_sec * 1'000'000 + value.tv_usec, 0);
}

TEST(SendAll, ReportsClosedPeerAsEpipeWithoutSignal) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]);
  ::close(pair[1]);
  const auto sent = send_all(a.get(), std::string_view("x"));
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().os_code(), EPIPE);
}

}  // namespace
}  // namespace brindle
