// The client lock is header-only and free of interpreter objects, so it is tested here.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

#include "../../module/client_lock.hpp"
#include "common/unix_socket.hpp"

namespace brindle::py {
namespace {

bool poisoned(ClientLock& lock) { return ClientLock::Guard(lock).poisoned(); }

TEST(ClientLock, FaultLeavingTheHolderPoisonsForGood) {
  ClientLock lock;
  EXPECT_FALSE(poisoned(lock));
  EXPECT_THROW(
      {
        ClientLock::Guard guard(lock);
        throw std::runtime_error("fault");
      },
      std::runtime_error);
  EXPECT_TRUE(poisoned(lock));
  EXPECT_TRUE(poisoned(lock));
}

TEST(ClientLock, FaultAlreadyUnwindingWhenTakenDoesNotPoison) {
  ClientLock lock;
  struct TakesLockWhileUnwinding {
    ClientLock& lock;
    ~TakesLockWhileUnwinding() { ClientLock::Guard guard(lock); }
  };
  EXPECT_THROW(
      {
        TakesLockWhileUnwinding taker{lock};
        throw std::runtime_error("fault");
      },
      std::runtime_error);
  EXPECT_FALSE(poisoned(lock));
}

TEST(SendAll, GivesEpipeForAClosedPeerWithoutTheSignal) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd end(pair[0]);
  ::close(pair[1]);
  EXPECT_EQ(send_all(end.get(), std::string_view("x")).error().os_code(), EPIPE);
}

}  // namespace
}  // namespace brindle::py
