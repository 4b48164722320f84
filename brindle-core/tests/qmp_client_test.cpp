// The QMP client shared by threads, as interpreter threads share a _QmpClient: run under
// ThreadSanitizer by `tools/dev tsan`, where any use of the channel outside the client lock is
// reported as a race; in the ordinary build the results are checked.
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

// A monitor on a real Unix socket, each connection on a thread of its own. It answers "drop" by
// closing the connection, anything else with {"return":{"arguments":...,"command":...}}.
class Monitor {
 public:
  Monitor() {
    char directory[] = "/tmp/brindle-monitor-XXXXXX";
    path_ = std::string(::mkdtemp(directory)) + "/monitor.sock";
    listener_ = std::move(unix_stream_socket().value());
    const auto address = unix_address(path_).value();
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address.address),
               address.length) != 0 ||
        ::listen(listener_.get(), 128) != 0) {
      std::abort();
    }
    acceptor_ = std::thread([this] {
      for (int fd; (fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        connections_.emplace_back(serve, UniqueFd(fd));
      }
    });
  }
  ~Monitor() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    for (auto& connection : connections_) connection.join();
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  static void serve(UniqueFd connection) {
    if (!send_all(connection.get(), "{\"QMP\":{}}\n")) return;
    std::string pending;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(connection.get(), buffer, sizeof buffer, 0)) > 0;) {
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const Json message = Json::parse(pending.substr(0, end));
        pending.erase(0, end + 1);
        if (message["execute"] == "drop") return;
        const Json echo{{"arguments", message.value("arguments", Json())},
                        {"command", message["execute"]}};
        const std::string reply = "{\"return\":" + to_json_text(echo) + "}\n";
        if (!send_all(connection.get(), reply)) return;
      }
    }
  }

  std::string path_;
  UniqueFd listener_;
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // only touched by the acceptor until it is joined
};

TEST(QmpClient, AFaultPoisonsTheLockForGood) {
  QmpClient client("/nonexistent/monitor.sock");
  const auto fault = [](QmpChannel&) -> QmpStatus { panic("internal fault while holding it"); };
  EXPECT_THROW((void)client.with_channel(fault), Panic);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(client.close().error().text(),
              R"({"context":{},"message":"QMP client lock is poisoned"})");
  }
  EXPECT_EQ(client.socket_path(), "");
}

TEST(QmpClient, ALockTakenWhileAFaultUnwindsIsNotPoisoned) {
  QmpClient client("monitor.sock");
  struct ClosesOnTheWayOut {
    QmpClient& client;
    ~ClosesOnTheWayOut() { (void)client.close(); }
  };
  EXPECT_THROW(
      {
        ClosesOnTheWayOut closer{client};
        panic("an unrelated fault");
      },
      Panic);
  EXPECT_EQ(client.socket_path(), "monitor.sock");
}

TEST(QmpClient, ThreadsSharingItGetTheirOwnReplies) {
  Monitor monitor;
  QmpClient client(monitor.path());
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
          if (kind == 1) {
            if (auto opened = open_channel(channel, 5.0, 5.0); !opened) return fail(opened.error());
          }
          if (kind < 2) return Json();
          return execute_command(channel, kind == 2 ? "drop" : command, &arguments);
        });
        if (kind == 2) continue;  // dropped: this command fails, and so may the next ones
        if (outcome &&
            (kind < 2 || *outcome == Json{{"arguments", arguments}, {"command", command}})) {
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
  EXPECT_EQ(client.socket_path(), monitor.path());  // never poisoned
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
