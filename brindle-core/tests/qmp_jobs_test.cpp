#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "qmp/channel.hpp"
#include "qmp/jobs.hpp"
#include "qmp/snapshots.hpp"

namespace brindle::qmp {
namespace {

Json parsed(std::string_view text) { return parse_json(text).value(); }

// The rule applied to the member "m" of the object text, or to an absent member for "{}".
std::string field_text(std::string_view object) {
  const Json value = parsed(object);
  const auto& members = value.get_ref<const Json::object_t&>();
  const auto m = members.find("m");
  return json_field_text(m == members.end() ? nullptr : &m->second);
}

std::optional<std::int64_t> field_integer(std::string_view object) {
  const Json value = parsed(object);
  const auto& members = value.get_ref<const Json::object_t&>();
  const auto m = members.find("m");
  return json_field_integer(m == members.end() ? nullptr : &m->second);
}

class FieldText : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(FieldText, FollowsTheRules) { EXPECT_EQ(field_text(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Values, FieldText,
    testing::Values(std::pair{"{}", "null"}, std::pair{R"({"m":null})", "null"},
                    std::pair{R"({"m":"null"})", "null"}, std::pair{R"({"m":""})", ""},
                    // A string's content is taken raw, escapes decoded.
                    std::pair{R"({"m":"a\"b\\c\n\u00e9"})", "a\"b\\c\n\xc3\xa9"},
                    std::pair{R"({"m":7})", "7"}, std::pair{R"({"m":-7})", "-7"},
                    std::pair{R"({"m":1e2})", "100.0"}, std::pair{R"({"m":true})", "true"},
                    std::pair{R"({"m":[1,"x"]})", R"([1,"x"])"},
                    std::pair{R"({"m":{"b":1,"a":{}}})", R"({"a":{},"b":1})"}));

class FieldInteger
    : public testing::TestWithParam<std::pair<std::string, std::optional<std::int64_t>>> {};

TEST_P(FieldInteger, FollowsTheRules) {
  EXPECT_EQ(field_integer(GetParam().first), GetParam().second);
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Values, FieldInteger,
    testing::Values(
        std::pair{"{}", std::nullopt}, std::pair{R"({"m":0})", 0}, std::pair{R"({"m":-0})", 0},
        std::pair{R"({"m":42})", 42}, std::pair{R"({"m":-42})", -42},
        std::pair{R"({"m":9223372036854775807})", kMax},
        std::pair{R"({"m":-9223372036854775808})", kMin},
        std::pair{R"({"m":9223372036854775808})", std::nullopt},
        std::pair{R"({"m":18446744073709551615})", std::nullopt},
        std::pair{R"({"m":-9223372036854775809})", std::nullopt},  // a double
        std::pair{R"({"m":1.5})", std::nullopt}, std::pair{R"({"m":2.0})", std::nullopt},
        std::pair{R"({"m":1e2})", std::nullopt},
        // Strings: one optional sign, then decimal digits only.
        std::pair{R"({"m":"12"})", 12}, std::pair{R"({"m":"+12"})", 12},
        std::pair{R"({"m":"-12"})", -12}, std::pair{R"({"m":"007"})", 7},
        std::pair{R"({"m":"-0"})", 0}, std::pair{R"({"m":"9223372036854775807"})", kMax},
        std::pair{R"({"m":"-9223372036854775808"})", kMin},
        std::pair{R"({"m":"+9223372036854775808"})", std::nullopt},
        std::pair{R"({"m":"-9223372036854775809"})", std::nullopt},
        std::pair{R"({"m":"99999999999999999999999"})", std::nullopt},
        std::pair{R"({"m":""})", std::nullopt}, std::pair{R"({"m":"+"})", std::nullopt},
        std::pair{R"({"m":"-"})", std::nullopt}, std::pair{R"({"m":"+-1"})", std::nullopt},
        std::pair{R"({"m":"--1"})", std::nullopt}, std::pair{R"({"m":" 1"})", std::nullopt},
        std::pair{R"({"m":"1 "})", std::nullopt}, std::pair{R"({"m":"1.0"})", std::nullopt},
        std::pair{R"({"m":"1e3"})", std::nullopt}, std::pair{R"({"m":"0x10"})", std::nullopt},
        std::pair{"{\"m\":\"\xd9\xa3\"}", std::nullopt},  // a non-ASCII digit
        std::pair{R"({"m":null})", std::nullopt}, std::pair{R"({"m":true})", std::nullopt},
        std::pair{R"({"m":[1]})", std::nullopt}, std::pair{R"({"m":{}})", std::nullopt}));

QmpJob job_of(std::string_view element) {
  return job_from_json(parsed(element).get_ref<const Json::object_t&>());
}

TEST(JobRecord, IsBuiltFromTheSixMembersAndWrittenInItsOwnOrder) {
  const QmpJob job =
      job_of(R"({"type":"snapshot-save","total-progress":"10","status":"running","id":"save-1",)"
             R"("current-progress":3,"extra":[1]})");
  EXPECT_EQ(job, (QmpJob{"save-1", "snapshot-save", "running", 3, 10, std::nullopt}));
  EXPECT_EQ(job_text(job), R"({"job_id":"save-1","job_type":"snapshot-save","status":"running",)"
                           R"("current_progress":3,"total_progress":10,"error":null})");
}

TEST(JobRecord, DefaultsForMissingAndUnusableMembers) {
  const QmpJob job = job_of(R"({"id":3,"current-progress":1.5,"total-progress":null})");
  EXPECT_EQ(job_text(job),
            R"({"job_id":"3","job_type":"null","status":"null","current_progress":0,)"
            R"("total_progress":0,"error":null})");
}

TEST(JobRecord, AnErrorMemberMarksAFailureEvenWhenNull) {
  EXPECT_EQ(job_of(R"({"error":null})").error, "null");
  EXPECT_EQ(job_of(R"({"error":"disk full"})").error, "disk full");
  EXPECT_EQ(job_of(R"({"error":{"b":1,"a":2}})").error, R"({"a":2,"b":1})");
  EXPECT_EQ(job_of("{}").error, std::nullopt);
}

TEST(JobRecord, EscapesTextsLikeTheWriterAndKeepsNegativeCounters) {
  const QmpJob job{"a\"\\\x01\xc3\xa9", "t\n", "s\t", -5, kMin, "e\x1f"};
  EXPECT_EQ(job_text(job),
            "{\"job_id\":\"a\\\"\\\\\\u0001\xc3\xa9\",\"job_type\":\"t\\n\",\"status\":\"s\\t\","
            "\"current_progress\":-5,\"total_progress\":-9223372036854775808,"
            "\"error\":\"e\\u001f\"}");
  // Every record reads back as a JSON object with the same values.
  const Json back = parsed(job_text(job));
  EXPECT_EQ(back["job_id"], job.job_id);
  EXPECT_EQ(back["error"], *job.error);
}

TEST(JobList, JoinsRecordsWithCommas) {
  EXPECT_EQ(job_list_text({}), "[]");
  const QmpJob a{"a", "x", "running", 0, 0, std::nullopt};
  const QmpJob b{"b", "y", "concluded", 1, 1, "no"};
  const std::vector jobs{a, b};
  EXPECT_EQ(job_list_text(jobs), "[" + job_text(a) + "," + job_text(b) + "]");
}

TEST(JobsFromResponse, KeepsTheMonitorsOrder) {
  auto jobs = jobs_from_response(parsed(R"([{"id":"b"},{"id":"a"},{"id":"b","status":"x"}])"));
  ASSERT_TRUE(jobs);
  ASSERT_EQ(jobs->size(), 3u);
  EXPECT_EQ((*jobs)[0].job_id, "b");
  EXPECT_EQ((*jobs)[1].job_id, "a");
  EXPECT_EQ((*jobs)[2].status, "x");
  EXPECT_EQ(jobs_from_response(parsed("[]")).value().size(), 0u);
}

class UnexpectedResponse : public testing::TestWithParam<std::string> {};

TEST_P(UnexpectedResponse, CarriesTheWholeValue) {
  auto jobs = jobs_from_response(parsed(GetParam()));
  ASSERT_FALSE(jobs);
  EXPECT_EQ(jobs.error().text(), R"({"context":{"result":)" + to_json_text(parsed(GetParam())) +
                                     R"(},"message":"Unexpected QMP query-jobs response"})");
}

INSTANTIATE_TEST_SUITE_P(Values, UnexpectedResponse,
                         testing::Values("{}", "null", R"("jobs")", "3",
                                         R"([{"id":"a"},[],{"id":"b"}])", R"([{"id":"a"},null])"));

// Nothing is sent, not even a connect, when the wait cannot begin.
class WaitRefusedAtOnce : public testing::TestWithParam<std::tuple<double, double, std::string>> {};

TEST_P(WaitRefusedAtOnce, WithoutTouchingTheChannel) {
  QmpChannel channel("/nonexistent/vm.sock");
  const auto [timeout, poll_interval, text] = GetParam();
  const Instant before = Instant::now();
  auto job = wait_for_job(channel, "j", timeout, poll_interval);
  ASSERT_FALSE(job);
  EXPECT_EQ(job.error().text(), text);
  EXPECT_FALSE(channel.connected());
  EXPECT_LT(Instant::now(), before.checked_add(Duration::from_millis(40)).value());
}

const std::string kTimedOut =
    R"({"context":{"job_id":"j","last_status":null,"socket_path":"/nonexistent/vm.sock"},)"
    R"("message":"Timed out waiting for QMP job"})";
const std::string kTooLarge = R"({"context":{"socket_path":"/nonexistent/vm.sock"},)"
                              R"("message":"timeout is too large to be represented"})";

INSTANTIATE_TEST_SUITE_P(
    Values, WaitRefusedAtOnce,
    testing::Values(std::tuple{0.0, 1.0, kTimedOut}, std::tuple{-1.0, 1.0, kTimedOut},
                    std::tuple{NAN, 1.0, kTimedOut}, std::tuple{INFINITY, 1.0, kTimedOut},
                    std::tuple{1e-10, 1.0, kTimedOut}, std::tuple{1e20, 1.0, kTooLarge},
                    std::tuple{9.3e18, 1.0, kTooLarge},  // beyond the monotonic clock
                    std::tuple{1.0, 18446744073709551616.0, kTooLarge}));

TEST(SnapshotArguments, MembersComeOutSorted) {
  const std::vector<std::string> devices{"disk1", "disk0", "disk1"};
  EXPECT_EQ(to_json_text(snapshot_job_arguments("j", "t", "disk0", devices)),
            R"({"devices":["disk1","disk0","disk1"],"job-id":"j","tag":"t","vmstate":"disk0"})");
  EXPECT_EQ(to_json_text(snapshot_delete_arguments("", "", {})),
            R"({"devices":[],"job-id":"","tag":""})");
  EXPECT_EQ(to_json_text(internal_snapshot_arguments("disk0", "n\"")),
            R"({"device":"disk0","name":"n\""})");
}

}  // namespace
}  // namespace brindle::qmp
