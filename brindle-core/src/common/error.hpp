// Error values of the core: a kind plus a message, formatted once when the error is made.
#pragma once

#include <expected>
#include <source_location>
#include <stdexcept>
#include <string>

namespace brindle {

enum class ErrorKind {
  Os,        // an operating-system call failed; os_code() holds the error number
  Io,        // an I/O failure with a fixed text ("failed to write whole buffer", ...)
  Protocol,  // a peer sent something malformed or unacceptable
};

class Error {
 public:
  // "{description} (os error {code})", the description as strerror_r gives it.
  static Error os(int code);
  // The calling thread's current errno.
  static Error last_os();
  static Error io(std::string message) { return Error(ErrorKind::Io, 0, std::move(message)); }
  static Error protocol(std::string message) {
    return Error(ErrorKind::Protocol, 0, std::move(message));
  }

  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  const std::string& message() const { return message_; }

 private:
  Error(ErrorKind kind, int os_code, std::string message)
      : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

  ErrorKind kind_;
  int os_code_;
  std::string message_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

// The system's description of an error number.
std::string os_error_description(int code);

// An internal fault: a broken invariant or a value that cannot be represented. It is the only
// failure that is thrown; the extension turns it into its panic exception at the boundary.
class Panic : public std::runtime_error {
 public:
  Panic(const std::string& message, std::source_location where)
      : std::runtime_error(message), where_(where) {}
  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] void panic(const std::string& message,
                        std::source_location where = std::source_location::current());

}  // namespace brindle
