// Argument binding and conversion for every module function and method.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace brindle::py {

inline constexpr std::size_t kMaxParameters = 8;

// A callable's parameter list as the binding sees it.
struct Signature {
  // `display` names the callable in binding errors: "name()" or "Class.method()".
  // Parameters after the first `required` ones have defaults.
  constexpr Signature(const char* display, std::initializer_list<const char*> parameters,
                      std::size_t required)
      : display(display), count(parameters.size()), required(required) {
    std::size_t i = 0;
    for (const char* name : parameters) names[i++] = name;
  }
  constexpr Signature(const char* display, std::initializer_list<const char*> parameters)
      : Signature(display, parameters, parameters.size()) {}

  const char* display;
  std::array<const char*, kMaxParameters> names{};
  std::size_t count;
  std::size_t required;
};

// The bound arguments of one call, converted by parameter position. Each conversion that fails
// leaves its exception set (reworded with the parameter's name where the rules say so) and
// returns false; a parameter left unfilled keeps the caller's default in `out`.
class Arguments {
 public:
  explicit Arguments(const Signature& signature) : signature_(signature) {}

  // Vectorcall form (positional arguments, then keyword values named by `kwnames`).
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Tuple and dict form, for constructors.
  bool bind(PyObject* args, PyObject* kwargs);

  PyObject* operator[](std::size_t i) const { return slots_[i]; }

  bool convert(std::size_t i, std::string_view& out);                 // text
  bool convert(std::size_t i, std::optional<std::string_view>& out);  // optional text
  bool convert(std::size_t i, double& out);                           // float
  bool convert(std::size_t i, std::uint64_t& out);                    // unsigned 64-bit
  bool convert(std::size_t i, std::uint32_t& out);                    // unsigned 32-bit
  bool convert(std::size_t i, std::uint8_t& out);                     // unsigned 8-bit
  bool convert(std::size_t i, bool& out);                             // boolean

  // Rewords the pending exception for parameter `i` (argument_error).
  void argument_error(std::size_t i) const;

 private:
  bool place_keyword(PyObject* name, PyObject* value);
  bool check_surplus(Py_ssize_t nargs) const;
  bool check_missing() const;

  const Signature& signature_;
  std::array<PyObject*, kMaxParameters> slots_{};
};

// The conversions themselves, without the rewording (also used for sequence items).
bool text_from_python(PyObject* object, std::string_view& out);
bool float_from_python(PyObject* object, double& out);
bool u64_from_python(PyObject* object, std::uint64_t& out);
bool bool_from_python(PyObject* object, bool& out);
// TypeError "'{type}' object is not an instance of '{expected}'" ("'None' is not ..." for None).
void raise_type_mismatch(PyObject* object, const char* expected);

// argument_error: a TypeError (exactly) becomes "argument '{name}': {text}" with the first
// exception's __cause__; any other pending exception stays as it is.
void reword_argument_error(const char* name);

}  // namespace brindle::py
