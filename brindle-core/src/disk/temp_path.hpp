// Where a disk call builds its result: a temporary file beside the target, renamed into place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace brindle::disk {

// The path without its final component, trailing separators and "." components dropped: "" for
// a bare name, "/" for a name in the root. Absent when there is no final component to drop (an
// empty path or a root).
std::optional<std::string_view> parent_of(std::string_view path);

// The final component, trailing separators and "." components ignored. Absent for an empty
// path, a root, "." alone, or a path ending in "..".
std::optional<std::string_view> file_name_of(std::string_view path);

// The target's final name with `suffix` appended, in the target's own directory.
Result<std::string> temp_path_for(std::string_view target, std::string_view suffix);

// ".tmp-{pid}-{nanoseconds since the epoch}", so that copies to one target, in one process or
// several, never share a temporary file.
std::string unique_temp_suffix();

}  // namespace brindle::disk
