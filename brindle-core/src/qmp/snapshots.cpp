#include "qmp/snapshots.hpp"

#include "qmp/json.hpp"

namespace brindle::qmp {

namespace {

// Values are copied unchanged; the writer puts the members in ascending byte order, so
// "devices" comes first on the wire.
Json job_arguments(std::string_view job_id, std::string_view tag,
                   std::span<const std::string> devices) {
  Json list = Json::array();
  for (const std::string& device : devices) list.push_back(device);
  return Json{{"devices", std::move(list)}, {"job-id", job_id}, {"tag", tag}};
}

Json job_arguments(std::string_view job_id, std::string_view tag, std::string_view vmstate,
                   std::span<const std::string> devices) {
  Json arguments = job_arguments(job_id, tag, devices);
  arguments["vmstate"] = vmstate;
  return arguments;
}

Json device_arguments(std::string_view device, std::string_view name) {
  return Json{{"device", device}, {"name", name}};
}

}  // namespace

QmpStatus snapshot_save(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                        std::string_view vmstate, std::span<const std::string> devices) {
  const Json arguments = job_arguments(job_id, tag, vmstate, devices);
  return run_command(channel, "snapshot-save", &arguments);
}

QmpStatus snapshot_load(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                        std::string_view vmstate, std::span<const std::string> devices) {
  const Json arguments = job_arguments(job_id, tag, vmstate, devices);
  return run_command(channel, "snapshot-load", &arguments);
}

QmpStatus snapshot_delete(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                          std::span<const std::string> devices) {
  const Json arguments = job_arguments(job_id, tag, devices);
  return run_command(channel, "snapshot-delete", &arguments);
}

QmpStatus blockdev_snapshot_internal_sync(QmpChannel& channel, std::string_view device,
                                          std::string_view name) {
  const Json arguments = device_arguments(device, name);
  return run_command(channel, "blockdev-snapshot-internal-sync", &arguments);
}

QmpStatus blockdev_snapshot_delete_internal_sync(QmpChannel& channel, std::string_view device,
                                                 std::string_view name) {
  const Json arguments = device_arguments(device, name);
  return run_command(channel, "blockdev-snapshot-delete-internal-sync", &arguments);
}

}  // namespace brindle::qmp
