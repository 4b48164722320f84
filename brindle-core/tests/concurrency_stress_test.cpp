// Many threads using the core at once, as interpreter threads do with the lock released. Run
// under ThreadSanitizer by `tools/dev tsan`; in the ordinary build they check the results.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <format>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/time.hpp"
#include "common/unique_fd.hpp"
#include "common/unix_socket.hpp"
#include "firecracker/api_request.hpp"
#include "firecracker/wait_for_socket.hpp"
#include "stress_support.hpp"

namespace brindle {
namespace {

constexpr int kThreads = 8;

// Answers every request with 200 and a body holding the request line, each connection on a
// thread of its own.
class EchoServer : public stress::UnixServer {
 public:
  EchoServer() : UnixServer("api.sock", serve) {}

 private:
  static void serve(UniqueFd connection) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string line = request.substr(0, request.find("\r\n"));
    (void)send_all(connection.get(), std::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\n\r\n{}",
                                                 line.size(), line));
  }
};

TEST(ConcurrencyStress, RequestsOnManyThreadsGetTheirOwnAnswers) {
  EchoServer server;
  std::atomic<int> wrong{0};
  stress::run_threads(kThreads, [&](int index) {
    for (int i = 0; i < 100; ++i) {
      const std::string path = std::format("/thread/{}/{}", index, i);
      const auto response = firecracker::api_request(server.path(), "GET", path, "{}", 5.0);
      if (!response || response->status != 200 ||
          response->body != std::format("GET {} HTTP/1.1", path)) {
        ++wrong;
      }
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ConcurrencyStress, WaitsAndFailuresOnManyThreads) {
  EchoServer server;
  const std::string missing = server.path() + ".missing";
  std::atomic<int> wrong{0};
  stress::run_threads(kThreads, [&](int index) {
    for (int i = 0; i < 10; ++i) {
      if (index % 2 == 0) {
        if (!firecracker::wait_for_socket(server.path(), 5.0)) ++wrong;
      } else {
        const auto waited = firecracker::wait_for_socket(missing, 0.01);
        if (waited || waited.error().message() != "wait_for_socket timed out") ++wrong;
        const auto response = firecracker::api_request(missing, "GET", "/", {}, 1.0);
        if (response || response.error().os_code() != ENOENT) ++wrong;
      }
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ConcurrencyStress, ErrorTextsAndClocksOnManyThreads) {
  // The error descriptions come from a shared table; every thread must read the same texts.
  std::vector<std::string> expected;
  for (int code = 0; code < 140; ++code) expected.push_back(Error::os(code).message());
  std::atomic<int> wrong{0};
  stress::run_threads(kThreads, [&](int) {
    Instant last = Instant::now();
    for (int round = 0; round < 50; ++round) {
      for (int code = 0; code < 140; ++code) {
        if (Error::os(code).message() != expected[static_cast<std::size_t>(code)]) ++wrong;
      }
      const Instant now = Instant::now();
      if (now < last) ++wrong;
      last = now;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace brindle
