#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "common/unix_socket.hpp"
#include "qmp/channel.hpp"

namespace brindle::qmp {
namespace {

// A connected channel over a socket pair; the test plays the monitor on `peer`.
struct Connected {
  QmpChannel channel{"/run/vm.sock"};
  UniqueFd peer;

  Connected() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    channel.reader.emplace(LineReader{UniqueFd(fcntl(pair[0], F_DUPFD_CLOEXEC, 0)),
                                      std::make_unique<char[]>(kReadBufferSize)});
    channel.writer = UniqueFd(pair[0]);
    peer = UniqueFd(pair[1]);
    set_socket_timeout(pair[0], SO_RCVTIMEO, Duration::from_millis(200)).value();
  }

  void send(std::string_view bytes) { send_all(peer.get(), bytes).value(); }

  std::string read_text() {
    auto message = read_message(channel);
    return message ? to_json_text(*message) : message.error().text();
  }

  std::string received() {
    std::string bytes(65536, '\0');
    const ssize_t n = ::recv(peer.get(), bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return bytes;
  }
};

std::string error_text(std::string_view message) {
  return R"({"context":{"socket_path":"/run/vm.sock"},"message":")" + std::string(message) + "\"}";
}

TEST(ReadMessage, SplitsLinesKeepsTheRestAndParsesAFinalLineWithoutLineFeed) {
  Connected c;
  c.send("{\"b\":1,\"a\":2}\n[1]\n\"last\"");
  ::shutdown(c.peer.get(), SHUT_WR);
  EXPECT_EQ(c.read_text(), R"({"a":2,"b":1})");
  EXPECT_EQ(c.read_text(), "[1]");
  EXPECT_EQ(c.read_text(), R"("last")");
  EXPECT_EQ(c.read_text(), error_text("QMP socket closed unexpectedly"));
  EXPECT_TRUE(c.channel.connected());
}

TEST(ReadMessage, CollectsLinesLongerThanTheBuffer) {
  Connected c;
  const std::string payload(3 * kReadBufferSize + 17, 'x');
  const std::string line = "{\"return\":\"" + payload + "\"}\n";
  for (std::size_t at = 0; at < line.size(); at += 5000) c.send(line.substr(at, 5000));
  c.send("2\n");
  EXPECT_EQ(c.read_text(), line.substr(0, line.size() - 1));
  EXPECT_EQ(c.read_text(), "2");
}

TEST(ReadMessage, DropsThePartialLineWhenAReceiveFails) {
  Connected c;
  c.send("{\"a\":");
  EXPECT_EQ(c.read_text(), error_text("Resource temporarily unavailable (os error 11)"));
  c.send("1}\n{\"b\":2}\n");
  EXPECT_EQ(c.read_text(),
            error_text("syntax error while parsing value - unexpected '}'; expected end of input "
                       "at line 1 column 2"));
  EXPECT_EQ(c.read_text(), R"({"b":2})");
}

TEST(ReadMessage, RefusesBytesThatAreNotUtf8) {
  Connected c;
  c.send("\"\xff\"\n3\n");
  EXPECT_EQ(c.read_text(), error_text("stream did not contain valid UTF-8"));
  EXPECT_EQ(c.read_text(), "3");
}

TEST(ReadMessage, NeedsAReadingHandle) {
  QmpChannel channel{"/run/vm.sock"};
  EXPECT_EQ(read_message(channel).error().text(), error_text("QMP client is not connected"));
}

struct Exchange {
  std::string replies;  // what the monitor sends before the command is read
  std::string outcome;  // the result's text, or the error's text
};

void PrintTo(const Exchange& exchange, std::ostream* out) { *out << exchange.replies; }

class ExecuteCommand : public testing::TestWithParam<Exchange> {};

TEST_P(ExecuteCommand, TakesTheFirstReplyAndDropsTheRest) {
  Connected c;
  c.send(GetParam().replies);
  auto result = execute_command(c.channel, "query-status");
  EXPECT_EQ(result ? to_json_text(*result) : result.error().text(), GetParam().outcome);
  EXPECT_EQ(c.received(), "{\"execute\":\"query-status\"}\n");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExecuteCommand,
    testing::Values(
        Exchange{"{\"event\":\"STOP\"}\n{\"event\":\"RESUME\",\"return\":1}\n7\n{}\n[]\n"
                 "{\"return\":{}}\n",
                 "{}"},
        Exchange{"{\"error\":\"text\"}\n{\"return\":1}\n", "1"},
        Exchange{
            "{\"return\":null,\"error\":{}}\n",
            R"({"context":{"class":null,"command":"query-status","desc":null,"socket_path":"/run/vm.sock"},"message":"QMP command 'query-status' failed"})"},
        Exchange{
            "{\"error\":{\"class\":\"CommandNotFound\",\"desc\":\"nope\"}}\n",
            R"({"context":{"class":"CommandNotFound","command":"query-status","desc":"nope","socket_path":"/run/vm.sock"},"message":"QMP command 'query-status' failed"})"},
        Exchange{
            "{\"error\":{\"class\":5}}\n",
            R"({"context":{"class":null,"command":"query-status","desc":null,"socket_path":"/run/vm.sock"},"message":"QMP command 'query-status' failed"})"},
        Exchange{"{\"return\":[1e2,\"\\u001f\"]}\n", "[100.0,\"\\u001f\"]"},
        Exchange{"{\"return\":\n", error_text("syntax error while parsing value - unexpected end "
                                              "of input; expected '[', '{', or a literal at line "
                                              "2 column 0")}));

TEST(ExecuteCommand, WritesArgumentsBeforeTheCommandWithSortedKeys) {
  Connected c;
  c.send("{\"return\":{}}\n{\"return\":{}}\n");
  ASSERT_TRUE(execute_command(c.channel, "x", Json::parse(R"({"z":1,"a":[true]})")).has_value());
  ASSERT_TRUE(execute_command(c.channel, "y", Json(nullptr)).has_value());
  EXPECT_EQ(c.received(),
            "{\"arguments\":{\"a\":[true],\"z\":1},\"execute\":\"x\"}\n"
            "{\"arguments\":null,\"execute\":\"y\"}\n");
}

TEST(OpenChannel, ReturnsAtOnceWhenConnected) {
  Connected c;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(open_channel(c.channel, nan, 1e300).has_value());
  EXPECT_EQ(c.received(), "");
}

TEST(OpenChannel, RefusesTimeOutsTooLargeToRepresent) {
  for (const auto& [timeout, read_timeout] :
       {std::pair{1e19, 1.0}, std::pair{1e20, 1.0}, std::pair{1.0, 18446744073709551616.0}}) {
    QmpChannel channel{"/nonexistent/vm.sock"};
    EXPECT_EQ(
        open_channel(channel, timeout, read_timeout).error().text(),
        R"({"context":{"socket_path":"/nonexistent/vm.sock"},"message":"timeout is too large to be represented"})");
    EXPECT_FALSE(channel.connected());
  }
}

TEST(SecondsToDuration, GivesZeroForNonPositiveAndNonFiniteValues) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double zero : {0.0, -0.0, -1.0, -inf, inf, std::nan(""), 4e-10}) {
    EXPECT_EQ(seconds_to_duration(zero), Duration{}) << zero;
  }
  EXPECT_EQ(seconds_to_duration(6e-10), (Duration{0, 1}));
  EXPECT_EQ(seconds_to_duration(0.12), (Duration{0, 120'000'000}));
  EXPECT_EQ(seconds_to_duration(30), (Duration{30, 0}));
  EXPECT_EQ(seconds_to_duration(18446744073709551616.0), std::nullopt);
}

}  // namespace
}  // namespace brindle::qmp
