// The QMP channel reading what a monitor sent: arbitrary bytes, lines longer than the read
// buffer, invalid UTF-8, JSON of any shape and depth, and the end of the stream. The bytes are
// put into a socket pair before the first read, so no thread or time-out is involved.
//
// Mode "read": read_message is called until the stream is exhausted; each message, or its
// error, must be what a model that splits the bytes at line feeds gives, and then SocketClosed.
// Mode "execute": commands are sent one after another through execute_command; each must end
// with the reply that the classification rules pick (events and unusable lines dropped, an
// error object or a "return" ending the command), and its message must arrive byte for byte.
//
// Input: one byte of flags, then the monitor's bytes.
//   bit 0: execute mode (else read mode);
//   bits 1 to 3: spaces put in front of each of the first lines, from a table reaching past the
//   read buffer, so that short inputs still make lines that span several receives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qmp/channel.hpp"
#include "qmp/error.hpp"
#include "qmp_support.hpp"

namespace {

namespace qmp = brindle::qmp;
using fuzz::check;
using fuzz::Json;
using fuzz::Message;

constexpr std::size_t kPadding[] = {0, 1, 100, 4000, 8191, 8192, 8193, 20000};
constexpr int kPaddedLines = 4;

std::string padded(std::string_view bytes, std::size_t padding) {
  std::string out;
  for (int line = 0; !bytes.empty(); ++line) {
    if (line < kPaddedLines) out.append(padding, ' ');
    const std::size_t end = bytes.find('\n');
    const std::size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
    out.append(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
  return out;
}

void read_mode(std::string_view stream) {
  fuzz::FilledChannel c(stream);
  for (const Message& expected : fuzz::model_messages(c.sent)) {
    fuzz::check_message(qmp::read_message(c.channel), expected);
  }
  fuzz::check_socket_closed(qmp::read_message(c.channel));
  fuzz::check_socket_closed(qmp::read_message(c.channel));
  check(c.channel.connected(), "reading disconnected the channel");
}

void execute_mode(std::string_view stream) {
  fuzz::FilledChannel c(stream);
  const auto messages = fuzz::model_messages(c.sent);
  std::size_t next = 0;
  std::optional<Json> arguments;  // the last value returned is sent with the next command
  for (int n = 0;; ++n) {
    const std::string command = "fuzz-" + std::to_string(n);
    const auto got = arguments ? qmp::execute_command(c.channel, command, *arguments)
                               : qmp::execute_command(c.channel, command);
    std::string line = "{";
    if (arguments) line += "\"arguments\":" + qmp::to_json_text(*arguments) + ",";
    line += "\"execute\":\"" + command + "\"}\n";
    check(c.written_by_channel() == line, "the command did not arrive byte for byte", line);
    check(c.channel.connected(), "a command disconnected the channel");

    const fuzz::Reply expected = fuzz::model_reply(messages, next);
    switch (expected.kind) {
      case fuzz::Reply::Return:
        check(got.has_value(), "a reply the model takes as a return failed",
              got ? "" : got.error().text());
        check(fuzz::same(*got, expected.value), "the returned value differs from the model");
        arguments = *got;
        break;
      case fuzz::Reply::Failed: {
        check(!got && got.error().is<qmp::QmpError::CommandFailed>(),
              "an error reply did not fail the command");
        fuzz::check_error_text(got.error());
        const auto& failed = std::get<qmp::QmpError::CommandFailed>(got.error().detail());
        check(failed.command == command && failed.socket_path == c.channel.socket_path,
              "CommandFailed names the wrong command");
        check(failed.error_class == fuzz::string_member(expected.failed, "class") &&
                  failed.desc == fuzz::string_member(expected.failed, "desc"),
              "CommandFailed carries the wrong class or desc");
        break;
      }
      case fuzz::Reply::Error:
        fuzz::check_message(got, Message{std::nullopt, expected.error});
        break;
      case fuzz::Reply::Closed:
        fuzz::check_socket_closed(got);
        return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string stream =
      padded(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1),
             kPadding[(flags >> 1) & 7]);
  if (flags & 1) {
    execute_mode(stream);
  } else {
    read_mode(stream);
  }
  return 0;
}
