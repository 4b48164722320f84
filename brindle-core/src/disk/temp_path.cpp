#include "disk/temp_path.hpp"

#include <unistd.h>

#include <ctime>
#include <format>
#include <utility>

namespace brindle::disk {

namespace {

enum class Component { None, Root, Current, Parent, Normal };

// The last component of `path` and the length of what precedes it, before trailing separators
// and "." components are trimmed off that rest.
struct Last {
  Component kind = Component::None;
  std::string_view name;
  std::size_t rest = 0;
};

bool ignored(std::string_view component) { return component.empty() || component == "."; }

// Reads components from the back. A leading "/" is the root and a leading "." component of a
// relative path is kept as "current directory"; elsewhere empty and "." components are skipped.
struct Components {
  std::string_view path;
  std::size_t before_body = 0;  // root or leading "." component
  std::size_t end = 0;          // the body is path[before_body, end)

  explicit Components(std::string_view p) : path(p), end(p.size()) {
    if (p.starts_with('/')) {
      before_body = 1;
    } else if (p.starts_with('.') && (p.size() == 1 || p[1] == '/')) {
      before_body = 1;
    }
  }

  // The last component of the body with the length of the separator before it, or an empty
  // name when the body is used up.
  std::pair<std::string_view, std::size_t> peek_back() const {
    const std::string_view body = path.substr(before_body, end - before_body);
    const std::size_t slash = body.rfind('/');
    if (slash == std::string_view::npos) return {body, body.size()};
    const std::string_view name = body.substr(slash + 1);
    return {name, name.size() + 1};
  }

  void trim_back() {
    while (end > before_body) {
      const auto [name, size] = peek_back();
      if (!ignored(name)) return;
      end -= size;
    }
  }

  Last last() {
    trim_back();
    if (end > before_body) {
      const auto [name, size] = peek_back();
      end -= size;
      trim_back();
      return {name == ".." ? Component::Parent : Component::Normal, name, end};
    }
    if (before_body == 0) return {};
    if (path.starts_with('/')) return {Component::Root, path.substr(0, 1), 0};
    return {Component::Current, path.substr(0, 1), 0};
  }
};

}  // namespace

std::optional<std::string_view> parent_of(std::string_view path) {
  const Last last = Components(path).last();
  if (last.kind == Component::None || last.kind == Component::Root) return std::nullopt;
  return path.substr(0, last.rest);
}

std::optional<std::string_view> file_name_of(std::string_view path) {
  const Last last = Components(path).last();
  if (last.kind != Component::Normal) return std::nullopt;
  return last.name;
}

Result<std::string> temp_path_for(std::string_view target, std::string_view suffix) {
  const auto name = file_name_of(target);
  if (!name) return fail(Error::io(std::format("target path has no filename: {}", target)));
  // A path with a final name always has a parent, possibly empty.
  const std::string_view parent = parent_of(target).value_or("");
  std::string result(parent);
  if (!result.empty() && !result.ends_with('/')) result += '/';
  result += *name;
  result += suffix;
  return result;
}

std::string unique_temp_suffix() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Whole nanoseconds since the epoch as an unsigned 128-bit value; 0 before the epoch.
  unsigned __int128 nanos = 0;
  if (now.tv_sec >= 0) {
    nanos = static_cast<unsigned __int128>(now.tv_sec) * 1'000'000'000u +
            static_cast<unsigned __int128>(now.tv_nsec);
  }
  char digits[40];
  char* first = digits + sizeof digits;
  do {
    *--first = static_cast<char>('0' + static_cast<int>(nanos % 10));
    nanos /= 10;
  } while (nanos != 0);
  return std::format(".tmp-{}-{}", getpid(), std::string_view(first, digits + sizeof digits));
}

}  // namespace brindle::disk
