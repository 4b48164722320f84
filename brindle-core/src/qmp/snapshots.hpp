// The snapshot commands: three that start monitor jobs under a caller-chosen id, and two that
// take or remove an internal snapshot of one block device synchronously. Each sends one command
// and discards its return value; the jobs are followed with the job operations.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "qmp/channel.hpp"
#include "qmp/error.hpp"

namespace brindle::qmp {

// "snapshot-save", "snapshot-load", "snapshot-delete": the monitor's reply only says that the
// job was accepted.
QmpStatus snapshot_save(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                        std::string_view vmstate, std::span<const std::string> devices);
QmpStatus snapshot_load(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                        std::string_view vmstate, std::span<const std::string> devices);
QmpStatus snapshot_delete(QmpChannel& channel, std::string_view job_id, std::string_view tag,
                          std::span<const std::string> devices);

// "blockdev-snapshot-internal-sync", "blockdev-snapshot-delete-internal-sync".
QmpStatus blockdev_snapshot_internal_sync(QmpChannel& channel, std::string_view device,
                                          std::string_view name);
QmpStatus blockdev_snapshot_delete_internal_sync(QmpChannel& channel, std::string_view device,
                                                 std::string_view name);

}  // namespace brindle::qmp
