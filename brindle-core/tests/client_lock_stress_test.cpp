// The QMP client lock under contention: one holder at a time, poisoned only by a fault that
// escapes a holder, and then for good. The channel model at the end is the pattern the client's
// methods follow (every use and every close of the channel under the lock), so that `close`
// racing `execute` is exercised before the client itself exists. Run under ThreadSanitizer by
// `tools/dev tsan`, where a second holder or an unguarded access is reported as a race.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "client_lock.hpp"
#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "common/unix_socket.hpp"
#include "qmp/channel.hpp"
#include "stress_support.hpp"

namespace brindle::py {
namespace {

constexpr int kThreads = 8;

TEST(ClientLockStress, OneHolderAtATime) {
  ClientLock lock;
  long counter = 0;  // plain on purpose: only the lock protects it
  int holders = 0;
  std::atomic<int> overlaps{0}, poisoned{0};
  stress::run_threads(kThreads, [&](int) {
    for (int i = 0; i < 20000; ++i) {
      ClientLock::Guard guard(lock);
      if (guard.poisoned()) ++poisoned;
      if (++holders != 1) ++overlaps;
      ++counter;
      --holders;
    }
  });
  EXPECT_EQ(counter, kThreads * 20000L);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(poisoned.load(), 0);
}

TEST(ClientLockStress, OrdinaryErrorsNeverPoison) {
  // Ordinary failures are returned values: leaving the scope early with one leaves the lock
  // clean.
  ClientLock lock;
  stress::run_threads(kThreads, [&](int index) {
    for (int i = 0; i < 2000; ++i) {
      const auto operation = [&]() -> Status {
        ClientLock::Guard guard(lock);
        if ((index + i) % 2 == 0) return fail(Error::io("failed to fill whole buffer"));
        return {};
      };
      (void)operation();
    }
  });
  ClientLock::Guard guard(lock);
  EXPECT_FALSE(guard.poisoned());
}

TEST(ClientLockStress, AGuardTakenDuringUnwindingDoesNotPoison) {
  // A lock taken and released by a destructor while some other fault unwinds through it did not
  // see a fault of its own.
  ClientLock lock;
  struct TakesTheLock {
    ClientLock& lock;
    ~TakesTheLock() { ClientLock::Guard guard(lock); }
  };
  try {
    TakesTheLock taker{lock};
    panic("unrelated fault");
  } catch (const Panic&) {
  }
  ClientLock::Guard guard(lock);
  EXPECT_FALSE(guard.poisoned());
}

TEST(ClientLockStress, AFaultPoisonsForGoodWhileOthersHoldOn) {
  ClientLock lock;
  std::atomic<bool> poisoned_seen_then_clean{false};
  std::atomic<int> faults{0};
  stress::run_threads(kThreads, [&](int index) {
    bool seen = false;
    for (int i = 0; i < 5000; ++i) {
      if (index == 0 && i == 2500) {
        try {
          ClientLock::Guard guard(lock);
          panic("internal fault while holding the lock");
        } catch (const Panic&) {
          ++faults;
        }
        continue;
      }
      ClientLock::Guard guard(lock);
      if (guard.poisoned()) {
        seen = true;
      } else if (seen) {
        poisoned_seen_then_clean = true;
      }
    }
  });
  EXPECT_EQ(faults.load(), 1);
  EXPECT_FALSE(poisoned_seen_then_clean.load());
  ClientLock::Guard guard(lock);
  EXPECT_TRUE(guard.poisoned());
}

// One client: its lock and its channel, connected on demand to a socket pair whose far end
// echoes nothing but is read back directly.
struct ModelClient {
  ClientLock lock;
  qmp::QmpChannel channel{"model.sock"};
  UniqueFd far_end;  // guarded by `lock` like the channel

  // A command: connect if needed, write a line, read it back from the far end.
  bool execute() {
    ClientLock::Guard guard(lock);
    if (guard.poisoned()) return false;
    if (!channel.connected()) {
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
      channel.writer.reset(pair[0]);
      channel.reader.emplace(
          qmp::LineReader{.fd = UniqueFd(::dup(pair[0])),
                          .buffer = std::make_unique<char[]>(qmp::kReadBufferSize)});
      far_end.reset(pair[1]);
    }
    constexpr std::string_view kLine = "{\"execute\":\"query-status\"}\n";
    if (!send_all(channel.writer.get(), kLine)) return false;
    char buffer[64];
    return ::recv(far_end.get(), buffer, sizeof buffer, 0) == static_cast<ssize_t>(kLine.size());
  }

  void close() {
    ClientLock::Guard guard(lock);
    qmp::close_channel(channel);
    far_end.reset();
  }
};

TEST(ClientLockStress, CloseRacingExecuteNeverSeesAHalfClosedChannel) {
  ModelClient client;
  std::atomic<int> failed{0};
  stress::run_threads(kThreads, [&](int index) {
    for (int i = 0; i < 3000; ++i) {
      if (index % 4 == 0) {
        client.close();
      } else if (!client.execute()) {
        ++failed;
      }
    }
  });
  EXPECT_EQ(failed.load(), 0);
  client.close();
  EXPECT_FALSE(client.channel.connected());
}

}  // namespace
}  // namespace brindle::py
