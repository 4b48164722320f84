#include "qmp/jobs.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

#include "common/time.hpp"

namespace brindle::qmp {

namespace {

// The one status that ends a job; compared byte for byte.
constexpr std::string_view CONCLUDED_STATUS = "concluded";

const Json* find_member(const Json::object_t& object, const char* name) {
  const auto member = object.find(name);
  return member == object.end() ? nullptr : &member->second;
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// One optional sign, then one or more ASCII digits, in the signed 64-bit range.
std::optional<std::int64_t> integer_from_text(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::ranges::all_of(text, is_ascii_digit)) return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (fault != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr auto LARGEST = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > LARGEST) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > LARGEST + 1) return std::nullopt;
  if (magnitude == LARGEST + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

// The record with its members in their own order, not the writer's sorted one.
void write_job(std::string& out, const QmpJob& job) {
  out += "{\"job_id\":";
  write_json_string(out, job.job_id);
  out += ",\"job_type\":";
  write_json_string(out, job.job_type);
  out += ",\"status\":";
  write_json_string(out, job.status);
  out += ",\"current_progress\":";
  write_json_integer(out, job.current_progress);
  out += ",\"total_progress\":";
  write_json_integer(out, job.total_progress);
  out += ",\"error\":";
  if (job.error) {
    write_json_string(out, *job.error);
  } else {
    out += "null";
  }
  out += '}';
}

}  // namespace

std::string json_field_text(const Json* member) {
  if (member == nullptr || member->is_null()) return "null";
  if (member->is_string()) return member->get<std::string>();
  return to_json_text(*member);
}

std::optional<std::int64_t> json_field_integer(const Json* member) {
  if (member == nullptr) return std::nullopt;
  if (member->is_number_unsigned()) {
    const auto value = member->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
  }
  if (member->is_number_integer()) return member->get<std::int64_t>();
  if (member->is_string()) return integer_from_text(member->get_ref<const std::string&>());
  return std::nullopt;  // doubles, null, booleans, arrays, objects
}

QmpJob job_from_json(const Json::object_t& element) {
  QmpJob job;
  job.job_id = json_field_text(find_member(element, "id"));
  job.job_type = json_field_text(find_member(element, "type"));
  job.status = json_field_text(find_member(element, "status"));
  job.current_progress = json_field_integer(find_member(element, "current-progress")).value_or(0);
  job.total_progress = json_field_integer(find_member(element, "total-progress")).value_or(0);
  // A member present with null still marks the job as failed, with the text null.
  if (const Json* error = find_member(element, "error")) job.error = json_field_text(error);
  return job;
}

QmpResult<std::vector<QmpJob>> jobs_from_response(Json response) {
  if (!response.is_array()) return fail(QmpError::UnexpectedJobsResponse{std::move(response)});
  std::vector<QmpJob> jobs;
  jobs.reserve(response.size());
  for (const Json& element : response) {
    if (!element.is_object()) return fail(QmpError::UnexpectedJobsResponse{std::move(response)});
    jobs.push_back(job_from_json(element.get_ref<const Json::object_t&>()));
  }
  return jobs;
}

std::string job_text(const QmpJob& job) {
  std::string out;
  write_job(out, job);
  return out;
}

std::string job_list_text(std::span<const QmpJob> jobs) {
  std::string out = "[";
  for (const QmpJob& job : jobs) {
    if (out.size() > 1) out += ',';
    write_job(out, job);
  }
  out += ']';
  return out;
}

QmpResult<std::vector<QmpJob>> query_jobs(QmpChannel& channel) {
  auto response = execute_command(channel, "query-jobs");
  if (!response) return fail(std::move(response.error()));
  return jobs_from_response(std::move(*response));
}

QmpStatus dismiss_job(QmpChannel& channel, std::string_view job_id) {
  const Json arguments{{"id", job_id}};
  return run_command(channel, "job-dismiss", &arguments);
}

QmpResult<QmpJob> wait_for_job(QmpChannel& channel, std::string_view job_id, double timeout,
                               double poll_interval) {
  const std::string socket_path = channel.socket_path;
  // Refused before anything is sent, so the client is left exactly as it was.
  const auto total = seconds_to_duration(timeout);
  if (!total) return fail(timeout_too_large(socket_path));
  const auto deadline = Instant::now().checked_add(*total);
  if (!deadline) return fail(timeout_too_large(socket_path));
  const auto pause = seconds_to_duration(poll_interval);
  if (!pause) return fail(timeout_too_large(socket_path));

  std::optional<std::string> last_status;
  for (;;) {
    if (Instant::now() >= *deadline) {
      return fail(QmpError::JobTimeout{socket_path, std::string(job_id), std::move(last_status)});
    }
    auto jobs = query_jobs(channel);
    if (!jobs) return fail(std::move(jobs.error()));
    // The first job with exactly this id decides; a job not listed (yet, or any more) is
    // waited for like one still running.
    const auto job = std::ranges::find(*jobs, job_id, &QmpJob::job_id);
    if (job != jobs->end()) {
      last_status = job->status;
      if (job->status == CONCLUDED_STATUS) {
        if (job->error) {
          return fail(QmpError::JobFailed{socket_path, std::move(job->job_id),
                                          std::move(job->job_type), std::move(job->status),
                                          std::move(*job->error)});
        }
        // The job has already succeeded; a refused dismissal does not change that.
        (void)dismiss_job(channel, job_id);
        return std::move(*job);
      }
    }
    if (!pause->is_zero()) sleep_for(*pause);
  }
}

}  // namespace brindle::qmp
