// Job records built from whatever a monitor puts in a "query-jobs" reply, and the wait for a job
// driven by a monitor's replies.
//
// Mode "records": the text is parsed as JSON; an object is taken as one job element, anything
// else as a whole "query-jobs" return value. Every field must follow its rule (checked against
// an independent model of json_field_text and json_field_integer), a wrong shape must be
// UnexpectedJobsResponse carrying the value, and the record and list texts must be JSON with the
// record's fixed member order.
// Mode "wait": the bytes are the monitor's replies, put into a socket pair before the call, and
// wait_for_job("job0") polls them with no pause and a far deadline until it returns; the result
// and the commands sent must be those of a model of the polling rules.
//
// Input: one byte of flags (bit 0: wait mode), then the text or the replies.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qmp/jobs.hpp"
#include "qmp_support.hpp"

namespace {

namespace qmp = brindle::qmp;
using fuzz::check;
using fuzz::Json;
using qmp::QmpError;
using qmp::QmpJob;

const Json* member(const Json& object, const char* name) {
  const auto& members = object.get_ref<const Json::object_t&>();
  const auto found = members.find(name);
  return found == members.end() ? nullptr : &found->second;
}

std::string model_text(const Json* value) {
  if (value == nullptr || value->is_null()) return "null";
  if (value->is_string()) return value->get<std::string>();
  return qmp::to_json_text(*value);
}

// Decimal text with one optional sign, in the signed 64-bit range.
std::optional<std::int64_t> model_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  __int128 magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > (static_cast<__int128>(1) << 64)) magnitude = static_cast<__int128>(1) << 64;
  }
  const __int128 value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int64_t>::min() ||
      value > std::numeric_limits<std::int64_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

std::int64_t model_counter(const Json* value) {
  if (value == nullptr) return 0;
  if (value->is_number_unsigned()) {
    const auto n = value->get<std::uint64_t>();
    return n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? static_cast<std::int64_t>(n)
               : 0;
  }
  if (value->is_number_integer()) return value->get<std::int64_t>();
  if (value->is_string()) return model_decimal(value->get<std::string>()).value_or(0);
  return 0;
}

QmpJob model_job(const Json& element) {
  QmpJob job;
  job.job_id = model_text(member(element, "id"));
  job.job_type = model_text(member(element, "type"));
  job.status = model_text(member(element, "status"));
  job.current_progress = model_counter(member(element, "current-progress"));
  job.total_progress = model_counter(member(element, "total-progress"));
  if (const Json* error = member(element, "error")) job.error = model_text(error);
  return job;
}

// The record text: exactly these members in this order, with these values.
void check_record(const std::string& text, const QmpJob& job) {
  check(qmp::parse_json(text).has_value(), "a record that does not parse", text);
  const auto ordered = nlohmann::ordered_json::parse(text);
  static constexpr const char* kNames[] = {"job_id",           "job_type",       "status",
                                           "current_progress", "total_progress", "error"};
  check(ordered.is_object() && ordered.size() == 6, "a record without six members", text);
  std::size_t i = 0;
  for (const auto& [name, value] : ordered.items()) {
    check(name == kNames[i++], "record members out of order", text);
  }
  check(ordered["job_id"] == job.job_id && ordered["job_type"] == job.job_type &&
            ordered["status"] == job.status,
        "record texts differ from the job", text);
  check(ordered["current_progress"].is_number_integer() &&
            ordered["current_progress"].get<std::int64_t>() == job.current_progress &&
            ordered["total_progress"].get<std::int64_t>() == job.total_progress,
        "record counters differ from the job", text);
  check(job.error ? ordered["error"] == *job.error : ordered["error"].is_null(),
        "record error differs from the job", text);
}

void records_mode(std::string_view text) {
  const auto parsed = qmp::parse_json(text);
  if (!parsed) return;
  if (parsed->is_object()) {
    const QmpJob job = qmp::job_from_json(parsed->get_ref<const Json::object_t&>());
    check(job == model_job(*parsed), "a job differs from the model", text);
    check_record(qmp::job_text(job), job);
    return;
  }
  const auto jobs = qmp::jobs_from_response(*parsed);
  bool well_formed = parsed->is_array();
  if (well_formed) {
    for (const Json& element : *parsed) well_formed = well_formed && element.is_object();
  }
  if (!well_formed) {
    check(!jobs && jobs.error().is<QmpError::UnexpectedJobsResponse>(),
          "a wrong shape was not refused", text);
    fuzz::check_error_text(jobs.error());
    const auto& refused = std::get<QmpError::UnexpectedJobsResponse>(jobs.error().detail());
    check(fuzz::same(refused.result, *parsed), "the refusal does not carry the value", text);
    return;
  }
  check(jobs.has_value() && jobs->size() == parsed->size(), "jobs lost or added", text);
  std::string list = "[";
  for (std::size_t i = 0; i < jobs->size(); ++i) {
    const QmpJob& job = (*jobs)[i];
    check(job == model_job((*parsed)[i]), "a job differs from the model", text);
    const std::string record = qmp::job_text(job);
    check_record(record, job);
    if (i > 0) list += ',';
    list += record;
  }
  list += ']';
  check(qmp::job_list_text(*jobs) == list, "the list text is not its records joined");
  const auto reparsed = qmp::parse_json(list);
  check(reparsed && reparsed->is_array() && reparsed->size() == jobs->size(),
        "the list text does not parse");
}

constexpr std::string_view kJobId = "job0";
constexpr std::string_view kQuery = "{\"execute\":\"query-jobs\"}\n";
constexpr std::string_view kDismiss =
    "{\"arguments\":{\"id\":\"job0\"},\"execute\":\"job-dismiss\"}\n";

// What wait_for_job must return, and what it must send, for these replies.
struct Waited {
  std::optional<QmpJob> job;
  std::optional<QmpError> error;
  std::string sent;
};

Waited model_wait(const std::vector<fuzz::Message>& messages, const std::string& socket_path) {
  std::size_t next = 0;
  Waited waited;
  for (;;) {
    waited.sent += kQuery;
    const fuzz::Reply reply = fuzz::model_reply(messages, next);
    switch (reply.kind) {
      case fuzz::Reply::Return:
        break;
      case fuzz::Reply::Failed:
        waited.error = QmpError::CommandFailed{socket_path, "query-jobs",
                                               fuzz::string_member(reply.failed, "class"),
                                               fuzz::string_member(reply.failed, "desc")};
        return waited;
      case fuzz::Reply::Error:
        waited.error = reply.error == "stream did not contain valid UTF-8"
                           ? QmpError(QmpError::IoError{socket_path, reply.error})
                           : QmpError(QmpError::JsonError{socket_path, reply.error});
        return waited;
      case fuzz::Reply::Closed:
        waited.error = QmpError::SocketClosed{socket_path};
        return waited;
    }
    bool well_formed = reply.value.is_array();
    if (well_formed) {
      for (const Json& element : reply.value) well_formed = well_formed && element.is_object();
    }
    if (!well_formed) {
      waited.error = QmpError::UnexpectedJobsResponse{reply.value};
      return waited;
    }
    for (const Json& element : reply.value) {
      QmpJob job = model_job(element);
      if (job.job_id != kJobId) continue;
      if (job.status != "concluded") break;
      if (job.error) {
        waited.error =
            QmpError::JobFailed{socket_path, job.job_id, job.job_type, job.status, *job.error};
      } else {
        waited.sent += kDismiss;
        (void)fuzz::model_reply(messages, next);  // whatever the dismissal gets is ignored
        waited.job = std::move(job);
      }
      return waited;
    }
  }
}

void wait_mode(std::string_view stream) {
  fuzz::FilledChannel c(stream);
  const auto got = qmp::wait_for_job(c.channel, kJobId, 1e6, 0.0);
  const Waited expected = model_wait(fuzz::model_messages(c.sent), c.channel.socket_path);
  check(c.written_by_channel() == expected.sent, "the commands sent differ from the model");
  if (expected.job) {
    check(got.has_value(), "the wait failed where the model concludes",
          got ? "" : got.error().text());
    check(*got == *expected.job, "the concluded job differs from the model");
    check_record(qmp::job_text(*got), *got);
    return;
  }
  check(!got.has_value(), "the wait concluded where the model fails");
  fuzz::check_error_text(got.error());
  check(got.error().text() == expected.error->text(), "the wait's error differs from the model",
        got.error().text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    wait_mode(rest);
  } else {
    records_mode(rest);
  }
  return 0;
}
