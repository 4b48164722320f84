// The QMP client shared by threads, as interpreter threads share a _QmpClient: under
// ThreadSanitizer (`tools/dev tsan`) any use of the channel outside the client lock is reported
// as a race; in the ordinary build the results are checked.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <format>
#include <string>
#include <thread>
#include <vector>

#include "common/unix_socket.hpp"
#include "qmp/client.hpp"

namespace brindle::qmp {
namespace {

// A monitor at the far end of socket pairs, each served on a thread of its own. It answers "drop"
// by closing the connection, any other command with {"return":<the command>}.
class Monitor {
 public:
  ~Monitor() {
    for (auto& thread : threads_) thread.join();
  }
  // Connects `channel` afresh; called under the client lock, which also guards `threads_`.
  void attach(QmpChannel& channel) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    channel.connection = std::move(Connection::over(UniqueFd(pair[0])).value());
    threads_.emplace_back(serve, UniqueFd(pair[1]));
  }

 private:
  static void serve(UniqueFd connection) {
    std::string pending;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(connection.get(), buffer, sizeof buffer, 0)) > 0;) {
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const Json message = Json::parse(pending.substr(0, end));
        pending.erase(0, end + 1);
        if (message["execute"] == "drop") return;
        if (!send_all(connection.get(), "{\"return\":" + to_json_text(message) + "}\n")) return;
      }
    }
  }

  std::vector<std::thread> threads_;
};

TEST(QmpClient, AFaultWhileHoldingTheLockPoisonsItForGood) {
  QmpClient client("monitor.sock");
  struct ClosesOnTheWayOut {
    QmpClient& client;
    ~ClosesOnTheWayOut() { (void)client.close(); }
  };
  // Taken while an unrelated fault unwinds, the lock is not poisoned.
  EXPECT_THROW(
      {
        ClosesOnTheWayOut closer{client};
        panic("an unrelated fault");
      },
      Panic);
  EXPECT_EQ(client.socket_path(), "monitor.sock");
  const auto fault = [](QmpChannel&) -> QmpStatus { panic("internal fault while holding it"); };
  EXPECT_THROW((void)client.with_channel(fault), Panic);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(client.close().error().text(),
              R"({"context":{},"message":"QMP client lock is poisoned"})");
  }
  EXPECT_EQ(client.socket_path(), "");
}

TEST(QmpClient, ThreadsSharingItGetTheirOwnReplies) {
  Monitor monitor;
  QmpClient client("monitor.sock");
  std::atomic<int> wrong{0}, echoes{0};
  std::vector<std::thread> threads;
  for (int index = 0; index < 8; ++index) {
    threads.emplace_back([&, index] {
      for (int i = 0; i < 300; ++i) {
        const std::string command = std::format("c-{}-{}", index, i);
        const Json arguments{{"pad", std::string(i * 13, 'x')}};
        const int kind = (index * 7 + i) % 10;
        const auto outcome = client.with_channel([&](QmpChannel& channel) -> QmpResult<Json> {
          if (kind == 0) close_channel(channel);
          if (kind == 1 || (kind > 1 && !channel.connected())) monitor.attach(channel);
          if (kind < 2) return Json();
          return execute_command(channel, kind == 2 ? "drop" : command, &arguments);
        });
        if (kind == 2) continue;  // dropped: this command fails, and so may the next ones
        if (outcome &&
            (kind < 2 || *outcome == Json{{"arguments", arguments}, {"execute", command}})) {
          echoes += kind > 2;
        } else if (!outcome && (outcome.error().is<QmpError::SocketClosed>() ||
                                outcome.error().message() == Error::os(EPIPE).message() ||
                                outcome.error().message() == Error::os(ECONNRESET).message())) {
          (void)client.close();  // a dropped connection fails only the commands that meet it
        } else {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(echoes.load(), 8 * 100);
  EXPECT_EQ(client.socket_path(), "monitor.sock");  // never poisoned
  (void)client.close();
}

TEST(SendAll, GivesEpipeForAClosedPeerWithoutTheSignal) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd end(pair[0]);
  ::close(pair[1]);
  EXPECT_EQ(send_all(end.get(), "x").error().os_code(), EPIPE);
}

}  // namespace
}  // namespace brindle::qmp
