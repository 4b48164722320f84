// A QMP client: one channel and the lock that serialises whole operations on it, so that
// threads sharing the client never see each other's replies.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "qmp/channel.hpp"
#include "qmp/error.hpp"

namespace brindle::qmp {

class QmpClient {
 public:
  explicit QmpClient(std::string socket_path) : channel_(std::move(socket_path)) {}

  // Runs `operation(channel)`, which returns a QmpResult, holding the lock for the whole of it;
  // LockPoisoned, without running it, once an earlier operation was abandoned by an internal
  // fault. Whatever the result needs from the channel must be built inside `operation`.
  template <class Operation>
  std::invoke_result_t<Operation&, QmpChannel&> with_channel(Operation&& operation) {
    const Guard guard(*this);
    if (poisoned_) return std::unexpected(QmpError(QmpError::LockPoisoned{}));
    return operation(channel_);
  }

  // Closes the channel under the lock (a running operation finishes first).
  QmpStatus close() {
    return with_channel([](QmpChannel& channel) -> QmpStatus {
      close_channel(channel);
      return {};
    });
  }

  // The socket path, read under the lock; empty when the lock is poisoned.
  std::string socket_path() {
    return with_channel(
               [](QmpChannel& channel) -> QmpResult<std::string> { return channel.socket_path; })
        .value_or(std::string());
  }

 private:
  // Holds the lock; poisons it for good when a fault propagates out of the holder's scope that
  // was not already propagating when the lock was taken.
  class Guard {
   public:
    explicit Guard(QmpClient& client)
        : client_(client), faults_at_entry_(std::uncaught_exceptions()) {
      client_.mutex_.lock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > faults_at_entry_) client_.poisoned_ = true;
      client_.mutex_.unlock();
    }

   private:
    QmpClient& client_;
    int faults_at_entry_;
  };

  std::mutex mutex_;
  bool poisoned_ = false;  // only read or written with mutex_ held
  QmpChannel channel_;
};

}  // namespace brindle::qmp
