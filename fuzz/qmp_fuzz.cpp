// The QMP channel reading what a monitor sent, queued in a socket pair before the first read.
// Input: one byte choosing the reading (0: read_message, 1: execute_command, until the stream
// ends; 2 and 3: wait_for_job("job0")), then the monitor's bytes.
#include <sys/socket.h>

#include <optional>
#include <thread>

#include "check.hpp"
#include "common/unique_fd.hpp"
#include "qmp/channel.hpp"
#include "qmp/jobs.hpp"

namespace qmp = brindle::qmp;

constexpr std::string_view QUERY = "{\"execute\":\"query-jobs\"}\n";
constexpr std::string_view DISMISS =
    "{\"arguments\":{\"id\":\"job0\"},\"execute\":\"job-dismiss\"}\n";

static void check_text(const qmp::QmpError& error) {
  const auto text = qmp::parse_json(error.text());
  check(text && text->is_object() && text->size() == 2 && text->contains("context") &&
            text->contains("message"),
        "an error text is an object of exactly \"context\" and \"message\"");
}

static void check_wait(const qmp::QmpResult<qmp::QmpJob>& got, std::string_view sent) {
  if (!got) check_text(got.error());
  const bool dismissed = sent.ends_with(DISMISS);
  if (dismissed) sent.remove_suffix(DISMISS.size());
  while (sent.starts_with(QUERY)) sent.remove_prefix(QUERY.size());
  check(sent.empty(), "the wait sends only query-jobs, then at most one job-dismiss");
  check(dismissed == got.has_value(), "the job is dismissed exactly when the wait succeeds");
  check(!got || (got->job_id == "job0" && got->status == "concluded" && !got->error),
        "a wait succeeds only with its job concluded without error");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int reading = data[0] & 3;
  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  const brindle::UniqueFd monitor(pair[1]);
  (void)::send(monitor.get(), data + 1, size - 1, MSG_DONTWAIT);  // as much as fits
  ::shutdown(monitor.get(), SHUT_WR);
  // Read as it comes: a few hundred unread commands would fill the socket and block the channel.
  std::string sent;
  std::thread far_end([&] {
    char buffer[4096];
    for (ssize_t n; (n = ::recv(pair[1], buffer, sizeof buffer, 0)) > 0;) sent.append(buffer, n);
  });
  qmp::QmpChannel channel("/run/fuzz.sock");
  channel.connection = std::move(qmp::Connection::over(brindle::UniqueFd(pair[0])).value());
  std::optional<qmp::QmpResult<qmp::QmpJob>> waited;
  if (reading >= 2) waited = qmp::wait_for_job(channel, "job0", 1e6, 0.0);
  while (!waited) {
    const auto got =
        reading == 1 ? qmp::execute_command(channel, "fuzz") : qmp::read_message(channel);
    if (!got) check_text(got.error());
    if (!got && got.error().is<qmp::QmpError::SocketClosed>()) break;
  }
  ::shutdown(channel.connection->writer.get(), SHUT_WR);
  far_end.join();
  if (waited) check_wait(*waited, sent);
  return 0;
}
