// What the stress tests share: threads started together, and a server on a real Unix socket
// that serves each connection on a thread of its own.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/unique_fd.hpp"
#include "common/unix_socket.hpp"

namespace brindle::stress {

template <class Body>
void run_threads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (auto& thread : threads) thread.join();
}

class UnixServer {
 public:
  // Listens on `socket_name` in a fresh temporary directory; `serve` gets each connection.
  UnixServer(std::string_view socket_name, std::function<void(UniqueFd)> serve)
      : serve_(std::move(serve)) {
    char pattern[] = "/tmp/brindle-stress-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    path_ = directory_ + "/" + std::string(socket_name);
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

  UnixServer(const UnixServer&) = delete;
  UnixServer& operator=(const UnixServer&) = delete;

  ~UnixServer() {
    stopping_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    for (auto& worker : workers_) worker.join();
    std::filesystem::remove_all(directory_);
  }

  const std::string& path() const { return path_; }
  int connections() const { return connections_; }

 private:
  void accept_loop() {
    while (!stopping_) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      workers_.emplace_back([this, fd] { serve_(UniqueFd(fd)); });
    }
  }

  std::function<void(UniqueFd)> serve_;
  std::string directory_, path_;
  UniqueFd listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::vector<std::thread> workers_;  // only touched by the acceptor until it is joined
};

}  // namespace brindle::stress
