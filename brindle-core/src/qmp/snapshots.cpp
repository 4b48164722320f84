#include "qmp/snapshots.hpp"

#include <utility>

namespace brindle::qmp {

namespace {

Json device_list(std::span<const std::string> devices) {
  Json list(Json::value_t::array);
  for (const std::string& device : devices) list.push_back(device);
  return list;
}

QmpStatus run(QmpChannel& channel, std::string_view command, const Json& arguments) {
  if (auto result = execute_command(channel, command, arguments); !result) {
    return fail(std::move(result.error()));
  }
  return {};
}

}  // namespace

Json snapshot_job_arguments(std::string_view job_id, std::string_view tag, std::string_view vmstate,
                            std::span<const std::string> devices) {
  Json arguments = snapshot_delete_arguments(job_id, tag, devices);
  arguments["vmstate"] = vmstate;
  return arguments;
}

Json snapshot_delete_arguments(std::string_view job_id, std::string_view tag,
                               std::span<const std::string> devices) {
  Json arguments(Json::value_t::object);
  arguments["job-id"] = job_id;
  arguments["tag"] = tag;
  arguments["devices"] = device_list(devices);
  return arguments;
}

Json internal_snapshot_arguments(std::string_view device, std::string_view name) {
  Json arguments(Json::value_t::object);
  arguments["device"] = device;
  arguments["name"] = name;
  return arguments;
}

QmpStatus snapshot_save(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                        std::string_view vmstate, std::span<const std::string> devices) {
  return run(channel, "snapshot-save", snapshot_job_arguments(job_id, tag, vmstate, devices));
}

QmpStatus snapshot_load(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                        std::string_view vmstate, std::span<const std::string> devices) {
  return run(channel, "snapshot-load", snapshot_job_arguments(job_id, tag, vmstate, devices));
}

QmpStatus snapshot_delete(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                          std::span<const std::string> devices) {
  return run(channel, "snapshot-delete", snapshot_delete_arguments(job_id, tag, devices));
}

QmpStatus blockdev_snapshot_internal_sync(QmpChannel& channel, std::string_view device,
                                          std::string_view name) {
  return run(channel, "blockdev-snapshot-internal-sync", internal_snapshot_arguments(device, name));
}

QmpStatus blockdev_snapshot_delete_internal_sync(QmpChannel& channel, std::string_view device,
                                                 std::string_view name) {
  return run(channel, "blockdev-snapshot-delete-internal-sync",
             internal_snapshot_arguments(device, name));
}

}  // namespace brindle::qmp
