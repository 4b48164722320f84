// The one error type of every QMP operation, and its text: a compact JSON object with exactly
// the members "context" and "message".
#pragma once

#include <concepts>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "common/error.hpp"
#include "qmp/json.hpp"

namespace brindle::qmp {

class QmpError {
 public:
  struct ConnectTimeout {
    std::string socket_path;
  };
  struct InvalidGreeting {
    std::string socket_path;
    Json greeting;
  };
  struct NotConnected {
    std::string socket_path;
  };
  struct SocketClosed {
    std::string socket_path;
  };
  struct CommandFailed {
    std::string socket_path;
    std::string command;
    std::optional<std::string> error_class;  // "class" of the monitor's error object
    std::optional<std::string> desc;
  };
  struct UnexpectedJobsResponse {
    Json result;
  };
  struct JobFailed {
    std::string socket_path;
    std::string job_id;
    std::string job_type;
    std::string status;
    std::string error;
  };
  struct JobTimeout {
    std::string socket_path;
    std::string job_id;
    std::optional<std::string> last_status;
  };
  struct JsonError {
    std::string socket_path;
    std::string message;
  };
  struct IoError {
    std::string socket_path;
    std::string message;
  };
  struct LockPoisoned {};

  using Detail =
      std::variant<ConnectTimeout, InvalidGreeting, NotConnected, SocketClosed, CommandFailed,
                   UnexpectedJobsResponse, JobFailed, JobTimeout, JsonError, IoError, LockPoisoned>;

  template <class Kind>
    requires std::constructible_from<Detail, Kind&&>
  QmpError(Kind&& kind) : detail_(std::forward<Kind>(kind)) {}

  const Detail& detail() const { return detail_; }
  template <class Kind>
  bool is() const {
    return std::holds_alternative<Kind>(detail_);
  }

  std::string message() const;
  Json context() const;
  // {"context":{...},"message":"..."} written by the compact writer.
  std::string text() const;

 private:
  Detail detail_;
};

template <class T>
using QmpResult = std::expected<T, QmpError>;
using QmpStatus = std::expected<void, QmpError>;

inline std::unexpected<QmpError> fail(QmpError error) { return std::unexpected(std::move(error)); }

// An operating-system or fixed I/O failure on the socket at `socket_path`.
QmpError io_error(std::string socket_path, const Error& error);

// A time-out that no duration or deadline can hold (2^64 seconds or more, or beyond the
// monotonic clock's range). Refused as an ordinary error: nothing is connected or sent.
QmpError timeout_too_large(std::string socket_path);

}  // namespace brindle::qmp
