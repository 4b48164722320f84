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

namespace brindle {
namespace {

constexpr int kThreads = 8;

// Answers every request with 200 and a body holding the request line, each connection on a
// thread of its own.
class EchoServer {
 public:
  EchoServer() {
    char pattern[] = "/tmp/brindle-stress-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    path_ = directory_ + "/api.sock";
    auto socket = unix_stream_socket();
    listener_ = std::move(*socket);
    const auto address = unix_address(path_);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address->address),
               address->length) != 0 ||
        ::listen(listener_.get(), 128) != 0) {
      std::abort();
    }
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~EchoServer() {
    stopping_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    for (auto& worker : workers_) worker.join();
    std::filesystem::remove_all(directory_);
  }

  const std::string& path() const { return path_; }

 private:
  void accept_loop() {
    while (!stopping_) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      workers_.emplace_back([fd] { serve(UniqueFd(fd)); });
    }
  }

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

  std::string directory_, path_;
  UniqueFd listener_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> workers_;  // only touched by the acceptor until it is joined
};

template <class Body>
void run_threads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (auto& thread : threads) thread.join();
}

TEST(ConcurrencyStress, RequestsOnManyThreadsGetTheirOwnAnswers) {
  EchoServer server;
  std::atomic<int> wrong{0};
  run_threads(kThreads, [&](int index) {
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
  run_threads(kThreads, [&](int index) {
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
  run_threads(kThreads, [&](int) {
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
