#include "common/error.hpp"

#include <cerrno>
#include <cstring>
#include <format>

namespace brindle {

std::string os_error_description(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text;
}

Error Error::os(int code) {
  return Error(ErrorKind::Os, code,
               std::format("{} (os error {})", os_error_description(code), code));
}

Error Error::last_os() { return os(errno); }

void panic(const std::string& message, std::source_location where) { throw Panic(message, where); }

}  // namespace brindle
