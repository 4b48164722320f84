// QMP jobs as the monitor reports them, and waiting for one to conclude. The record and field
// rules are plain functions over JSON values so they can be checked without a monitor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qmp/channel.hpp"
#include "qmp/error.hpp"
#include "qmp/json.hpp"

namespace brindle::qmp {

// One element of a "query-jobs" reply. The members are written as JSON in this order.
struct QmpJob {
  std::string job_id;
  std::string job_type;
  std::string status;
  std::int64_t current_progress = 0;
  std::int64_t total_progress = 0;
  std::optional<std::string> error;  // present whenever the element has an "error" member

  friend bool operator==(const QmpJob&, const QmpJob&) = default;
};

// A member as text: absent or null gives "null", a string its content, anything else its
// compact JSON text. `member` is null when the member is absent.
std::string json_field_text(const Json* member);

// A member as a signed 64-bit integer: a JSON integer in range, or a string of one optional
// sign and decimal digits in range. Anything else, fractions and doubles included, gives
// nothing.
std::optional<std::int64_t> json_field_integer(const Json* member);

// Builds a job from the members of one "query-jobs" element; other members are ignored.
QmpJob job_from_json(const Json::object_t& element);

// The jobs of a "query-jobs" return value, in the monitor's order. A value that is not an
// array, or an array holding a non-object, is UnexpectedJobsResponse carrying that value.
QmpResult<std::vector<QmpJob>> jobs_from_response(Json response);

// {"job_id":...,"job_type":...,"status":...,"current_progress":N,"total_progress":N,
//  "error":... or null}: a fixed member order, not the writer's sorted one.
std::string job_text(const QmpJob& job);
// "[" job "," job ... "]"; an empty list gives "[]".
std::string job_list_text(std::span<const QmpJob> jobs);

// "query-jobs".
QmpResult<std::vector<QmpJob>> query_jobs(QmpChannel& channel);
// "job-dismiss" of one job; the return value is discarded.
QmpStatus dismiss_job(QmpChannel& channel, std::string_view job_id);

// Queries the job list until the job `job_id` has status "concluded", pausing `poll_interval`
// seconds after every query that did not find it so. The deadline is looked at only before a
// query, and a pause is never cut short, so the wait can outlast `timeout` by one pause and one
// query. A job that concluded without error is dismissed (a failed dismissal is ignored) and
// returned; one with an error is JobFailed and stays for the caller to dismiss. A timeout that
// converts to zero fails with JobTimeout before anything is sent, not even a connect; values
// no duration can hold fail with IoError, also before anything is sent.
QmpResult<QmpJob> wait_for_job(QmpChannel& channel, std::string_view job_id, double timeout,
                               double poll_interval);

}  // namespace brindle::qmp
