// Argument binding and conversion for every module function and method.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace brindle::py {

inline constexpr std::size_t MAX_PARAMETERS = 8;

// A callable's parameter list, read from the text signature its doc string begins with:
// "name(a, b=1)\n--\n\n" for a function, "name($self, a)\n--\n\n" for a method of `owner`, and
// "Owner(a)\n--\n\n" for its constructor. Parameters with a default come last.
struct Signature {
  consteval Signature(const char* doc, const char* owner = nullptr) : doc(doc), owner(owner) {
    std::string_view text(doc);
    name = text.substr(0, text.find('('));
    text = text.substr(name.size() + 1, text.find(')') - name.size() - 1);
    if (text.starts_with("$self")) text.remove_prefix(text.starts_with("$self, ") ? 7 : 5);
    while (!text.empty()) {
      const std::string_view parameter = text.substr(0, text.find(", "));
      text.remove_prefix(std::min(text.size(), parameter.size() + 2));
      const std::size_t equals = parameter.find('=');
      if (equals == std::string_view::npos) ++required;
      names[count++] = parameter.substr(0, equals);
    }
  }

  const char* doc;    // the method table's doc string
  const char* owner;  // the class of a method, which binding errors name with it
  std::string_view name;
  std::array<std::string_view, MAX_PARAMETERS> names{};
  std::size_t count = 0;
  std::size_t required = 0;
};

// The conversions, one per kind of parameter; each that fails leaves its exception set.
bool from_python(PyObject* object, std::string_view& out);                 // text
bool from_python(PyObject* object, std::optional<std::string_view>& out);  // optional text
bool from_python(PyObject* object, double& out);                           // float
bool from_python(PyObject* object, std::uint64_t& out);                    // unsigned 64-bit
bool from_python(PyObject* object, std::uint32_t& out);                    // unsigned 32-bit
bool from_python(PyObject* object, std::uint8_t& out);                     // unsigned 8-bit
bool from_python(PyObject* object, bool& out);                             // boolean
bool from_python(PyObject* object, std::vector<std::string>& out);         // devices

// TypeError "'{type}' object is not an instance of '{expected}'".
[[gnu::cold]] void raise_type_mismatch(PyObject* object, const char* expected);

// The bound arguments of one call.
class Arguments {
 public:
  explicit Arguments(const Signature& signature) : signature_(signature) {}

  // Vectorcall form (positional arguments, then keyword values named by `kwnames`).
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Tuple and dict form, for constructors.
  bool bind(PyObject* args, PyObject* kwargs);

  // Converts the parameters into `outs`, one each, left to right, stopping at the first that
  // fails (its TypeError reworded with the parameter's name). A parameter left unfilled keeps
  // the default already in its out.
  template <class... Outs>
  bool convert_all(Outs&... outs) {
    if (sizeof...(Outs) != signature_.count) panic("an entry converts another parameter list");
    std::size_t i = 0;
    return (convert(i++, outs) && ...);
  }

 private:
  template <class Out>
  bool convert(std::size_t i, Out& out) {
    if (slots_[i] == nullptr || from_python(slots_[i], out)) return true;
    argument_error(signature_.names[i]);
    return false;
  }
  [[gnu::cold]] static void argument_error(std::string_view name);
  [[gnu::cold]] bool surplus(Py_ssize_t nargs) const;
  [[gnu::cold]] bool missing() const;
  bool place_keyword(PyObject* name, PyObject* value);

  const Signature& signature_;
  std::array<PyObject*, MAX_PARAMETERS> slots_{};
};

}  // namespace brindle::py
