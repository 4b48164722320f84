#include "qmp/error.hpp"

#include <format>

namespace brindle::qmp {

namespace {

Json optional_text(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

}  // namespace

std::string QmpError::message() const {
  return std::visit(
      Overloaded{
          [](const ConnectTimeout&) -> std::string { return "Timed out waiting for QMP socket"; },
          [](const InvalidGreeting&) -> std::string { return "Invalid QMP greeting"; },
          [](const NotConnected&) -> std::string { return "QMP client is not connected"; },
          [](const SocketClosed&) -> std::string { return "QMP socket closed unexpectedly"; },
          [](const CommandFailed& e) { return std::format("QMP command '{}' failed", e.command); },
          [](const UnexpectedJobsResponse&) -> std::string {
            return "Unexpected QMP query-jobs response";
          },
          [](const JobFailed&) -> std::string { return "QMP job failed"; },
          [](const JobTimeout&) -> std::string { return "Timed out waiting for QMP job"; },
          [](const JsonError& e) { return e.message; },
          [](const IoError& e) { return e.message; },
          [](const LockPoisoned&) -> std::string { return "QMP client lock is poisoned"; },
      },
      detail_);
}

Json QmpError::context() const {
  return std::visit(
      Overloaded{
          [](const ConnectTimeout& e) { return Json{{"socket_path", e.socket_path}}; },
          [](const InvalidGreeting& e) {
            return Json{{"greeting", e.greeting}, {"socket_path", e.socket_path}};
          },
          [](const NotConnected& e) { return Json{{"socket_path", e.socket_path}}; },
          [](const SocketClosed& e) { return Json{{"socket_path", e.socket_path}}; },
          [](const CommandFailed& e) {
            return Json{{"class", optional_text(e.error_class)},
                        {"command", e.command},
                        {"desc", optional_text(e.desc)},
                        {"socket_path", e.socket_path}};
          },
          [](const UnexpectedJobsResponse& e) { return Json{{"result", e.result}}; },
          [](const JobFailed& e) {
            return Json{{"error", e.error},
                        {"job_id", e.job_id},
                        {"job_type", e.job_type},
                        {"socket_path", e.socket_path},
                        {"status", e.status}};
          },
          [](const JobTimeout& e) {
            return Json{{"job_id", e.job_id},
                        {"last_status", optional_text(e.last_status)},
                        {"socket_path", e.socket_path}};
          },
          [](const JsonError& e) { return Json{{"socket_path", e.socket_path}}; },
          [](const IoError& e) { return Json{{"socket_path", e.socket_path}}; },
          [](const LockPoisoned&) { return Json(Json::value_t::object); },
      },
      detail_);
}

std::string QmpError::text() const {
  std::string out = "{\"context\":";
  write_json(out, context());
  out += ",\"message\":";
  write_json_string(out, message());
  out += '}';
  return out;
}

QmpError io_error(std::string socket_path, const Error& error) {
  return QmpError::IoError{std::move(socket_path), error.message()};
}

QmpError timeout_too_large(std::string socket_path) {
  return QmpError::IoError{std::move(socket_path), "timeout is too large to be represented"};
}

}  // namespace brindle::qmp
