#include <gtest/gtest.h>

#include <ostream>
#include <utility>

#include "qmp/error.hpp"

namespace brindle::qmp {

void PrintTo(const QmpError& error, std::ostream* out) { *out << error.text(); }

namespace {

using E = QmpError;

class ErrorText : public testing::TestWithParam<std::pair<QmpError, std::string>> {};

TEST_P(ErrorText, IsCompactJsonWithContextAndMessage) {
  EXPECT_EQ(GetParam().first.text(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ErrorText,
    testing::Values(
        std::pair{
            QmpError(E::ConnectTimeout{"/tmp/vm.sock"}),
            R"({"context":{"socket_path":"/tmp/vm.sock"},"message":"Timed out waiting for QMP socket"})"},
        std::pair{
            QmpError(E::InvalidGreeting{"s", Json::parse(R"({"b":[1.0],"a":null})")}),
            R"({"context":{"greeting":{"a":null,"b":[1.0]},"socket_path":"s"},"message":"Invalid QMP greeting"})"},
        std::pair{QmpError(E::NotConnected{"s"}),
                  R"({"context":{"socket_path":"s"},"message":"QMP client is not connected"})"},
        std::pair{QmpError(E::SocketClosed{"s"}),
                  R"({"context":{"socket_path":"s"},"message":"QMP socket closed unexpectedly"})"},
        std::pair{
            QmpError(E::CommandFailed{"s", "stop", "GenericError", "no \"way\""}),
            R"({"context":{"class":"GenericError","command":"stop","desc":"no \"way\"","socket_path":"s"},"message":"QMP command 'stop' failed"})"},
        std::pair{
            QmpError(E::CommandFailed{"s", "cont", {}, {}}),
            R"({"context":{"class":null,"command":"cont","desc":null,"socket_path":"s"},"message":"QMP command 'cont' failed"})"},
        std::pair{
            QmpError(E::UnexpectedJobsResponse{Json::parse(R"({"x":1})")}),
            R"({"context":{"result":{"x":1}},"message":"Unexpected QMP query-jobs response"})"},
        std::pair{
            QmpError(E::JobFailed{"s", "j", "snapshot-save", "concluded", "bad"}),
            R"({"context":{"error":"bad","job_id":"j","job_type":"snapshot-save","socket_path":"s","status":"concluded"},"message":"QMP job failed"})"},
        std::pair{
            QmpError(E::JobTimeout{"s", "j", {}}),
            R"({"context":{"job_id":"j","last_status":null,"socket_path":"s"},"message":"Timed out waiting for QMP job"})"},
        std::pair{QmpError(E::JsonError{"s", "bad at line 1 column 1"}),
                  R"({"context":{"socket_path":"s"},"message":"bad at line 1 column 1"})"},
        std::pair{
            QmpError(E::IoError{"a\n\"b\"", "failed to write whole buffer"}),
            R"({"context":{"socket_path":"a\n\"b\""},"message":"failed to write whole buffer"})"},
        std::pair{QmpError(E::LockPoisoned{}),
                  R"({"context":{},"message":"QMP client lock is poisoned"})"}));

}  // namespace
}  // namespace brindle::qmp
