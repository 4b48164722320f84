// One QMP channel shared by many threads, the way the extension shares a _QmpClient's: every
// operation (connect, command, job wait, close) runs under the client lock, with the real
// channel operations, against a monitor on a real Unix socket that answers each command with
// its own name and arguments. Run under ThreadSanitizer by `tools/dev tsan`, where any access to
// the channel outside the lock is reported as a race; in the ordinary build they check that no
// thread ever gets another's reply and that ordinary errors never poison the lock.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <format>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_lock.hpp"
#include "common/unique_fd.hpp"
#include "common/unix_socket.hpp"
#include "qmp/channel.hpp"
#include "qmp/jobs.hpp"
#include "qmp/json.hpp"
#include "stress_support.hpp"

namespace brindle::qmp {
namespace {

using py::ClientLock;

constexpr int kThreads = 8;
constexpr std::string_view kGreeting = "{\"QMP\":{\"version\":{},\"capabilities\":[]}}\n";

// Greets each connection, then answers line by line, each connection on a thread of its own:
// "fail" with an error object, "drop" by closing the connection, "query-jobs" with one
// concluded job, anything else with {"return":{"command":NAME,"arguments":ARGUMENTS}}.
class FakeMonitor : public stress::UnixServer {
 public:
  FakeMonitor() : UnixServer("monitor.sock", serve) {}

 private:
  static std::string answer(const Json& message) {
    const std::string name = message.value("execute", "");
    if (name == "fail") return "{\"error\":{\"class\":\"GenericError\",\"desc\":\"no\"}}\n";
    if (name == "query-jobs") {
      return "{\"return\":[{\"id\":\"done\",\"type\":\"snapshot-save\",\"status\":\"concluded\"}]}"
             "\n";
    }
    Json echo{{"command", name}};
    if (message.contains("arguments")) echo["arguments"] = message["arguments"];
    return "{\"return\":" + to_json_text(echo) + "}\n";
  }

  static void serve(UniqueFd connection) {
    if (!send_all(connection.get(), kGreeting)) return;
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const auto message = parse_json(std::string_view(pending).substr(0, end));
        pending.erase(0, end + 1);
        if (!message || !message->is_object()) continue;
        if (message->value("execute", "") == "drop") return;
        if (!send_all(connection.get(), answer(*message))) return;
      }
    }
  }
};

// A client as the extension builds one: a lock and a channel, every use of the channel under it.
struct SharedClient {
  ClientLock lock;
  QmpChannel channel;

  explicit SharedClient(std::string path) : channel(std::move(path)) {}

  template <class Operation>
  auto run(Operation operation) {
    ClientLock::Guard guard(lock);
    EXPECT_FALSE(guard.poisoned());
    return operation(channel);
  }
};

// The error of a command whose connection was dropped by the monitor or closed by the far end
// before it was written: the command itself, or one that followed it, fails with one of these.
bool is_connection_error(const QmpError& error) {
  if (error.is<QmpError::SocketClosed>()) return true;
  if (!error.is<QmpError::IoError>()) return false;
  const std::string message = error.message();
  return message == Error::os(EPIPE).message() || message == Error::os(ECONNRESET).message();
}

TEST(QmpChannelStress, SharedChannelRepliesNeverCross) {
  FakeMonitor monitor;
  SharedClient client(monitor.path());
  std::atomic<int> wrong{0}, echoes{0};
  std::mutex report;
  std::string first_wrong;
  const auto note = [&](std::string what) {
    ++wrong;
    std::lock_guard lock(report);
    if (first_wrong.empty()) first_wrong = std::move(what);
  };
  stress::run_threads(kThreads, [&](int index) {
    for (int i = 0; i < 300; ++i) {
      switch ((index * 7 + i) % 10) {
        case 0:
          client.run([](QmpChannel& channel) { close_channel(channel); });
          break;
        case 1: {
          const auto opened =
              client.run([](QmpChannel& channel) { return open_channel(channel, 5.0, 5.0); });
          if (!opened) note("connect: " + opened.error().text());
          break;
        }
        case 2: {
          const auto failed =
              client.run([](QmpChannel& channel) { return execute_command(channel, "fail"); });
          if (failed || !failed.error().is<QmpError::CommandFailed>()) note("fail got a return");
          break;
        }
        case 3: {
          const auto job = client.run(
              [](QmpChannel& channel) { return wait_for_job(channel, "done", 5.0, 0.0); });
          if (!job || job->status != "concluded") note("the job did not conclude");
          break;
        }
        default: {
          const std::string command = std::format("echo-{}-{}", index, i);
          const Json arguments{{"thread", index}, {"call", i}, {"pad", std::string(i * 13, 'x')}};
          const auto reply = client.run(
              [&](QmpChannel& channel) { return execute_command(channel, command, arguments); });
          const Json expected{{"arguments", arguments}, {"command", command}};
          if (!reply) {
            note(command + ": " + reply.error().text());
          } else if (*reply != expected) {
            note(command + " got " + to_json_text(*reply));
          } else {
            ++echoes;
          }
        }
      }
    }
  });
  EXPECT_EQ(wrong.load(), 0) << first_wrong;
  EXPECT_GT(echoes.load(), kThreads * 100);
  EXPECT_GT(monitor.connections(), 1);
  client.run([](QmpChannel& channel) { close_channel(channel); });
}

TEST(QmpChannelStress, DroppedConnectionsFailOnlyTheirOwnCommands) {
  // The monitor drops the connection when told to: that command, and any other thread's that
  // reaches the dead socket before someone closes the channel, fails with a connection error;
  // every command that gets a reply gets its own.
  FakeMonitor monitor;
  SharedClient client(monitor.path());
  std::atomic<int> wrong{0}, echoes{0}, dropped{0};
  stress::run_threads(kThreads, [&](int index) {
    for (int i = 0; i < 200; ++i) {
      const std::string command =
          index % 4 == 0 && i % 5 == 0 ? std::string("drop") : std::format("c-{}-{}", index, i);
      const auto reply =
          client.run([&](QmpChannel& channel) { return execute_command(channel, command); });
      if (reply) {
        if (*reply == Json{{"command", command}}) {
          ++echoes;
        } else {
          ++wrong;
        }
        continue;
      }
      if (!is_connection_error(reply.error())) ++wrong;
      ++dropped;
      client.run([](QmpChannel& channel) { close_channel(channel); });
    }
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(echoes.load(), 0);
  EXPECT_GE(dropped.load(), 2 * 40);  // every "drop" fails at least itself
  client.run([](QmpChannel& channel) { close_channel(channel); });
}

}  // namespace
}  // namespace brindle::qmp
