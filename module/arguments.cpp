#include "arguments.hpp"

#include <algorithm>
#include <format>
#include <limits>

#include "py_ref.hpp"

namespace brindle::py {

namespace {

// The length of `devices` only sizes the first allocation; a huge claimed length must not.
constexpr Py_ssize_t MAX_DEVICES_CAPACITY_HINT = 1024;

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// "name()"; a method is named with its class, and the constructor (named after its class) as
// "Class.__new__()".
std::string display_name(const Signature& signature) {
  if (signature.owner == nullptr) return std::format("{}()", signature.name);
  const bool constructor = signature.name == signature.owner;
  return std::format("{}.{}()", signature.owner,
                     constructor ? std::string_view("__new__") : signature.name);
}

// None is named as itself where a text or a sequence is expected.
[[gnu::cold]] void raise_none_or_type_mismatch(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    raise_type_mismatch(object, expected);
  }
}

template <std::uint64_t Max, class T>
bool small_unsigned_from_python(PyObject* object, T& out) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || static_cast<unsigned long>(value) > Max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

// numpy's boolean scalar: a type named "bool_" in the module "numpy".
bool is_numpy_bool(PyTypeObject* type) {
  const PyRef module = PyRef::steal(PyType_GetModuleName(type));
  const PyRef name = PyRef::steal(PyType_GetName(type));
  PyErr_Clear();  // a type without either name is simply not numpy's
  return module && name && PyUnicode_EqualToUTF8(module.get(), "numpy") &&
         PyUnicode_EqualToUTF8(name.get(), "bool_");
}

}  // namespace

void raise_type_mismatch(PyObject* object, const char* expected) {
  const PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  }
}

bool from_python(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    raise_none_or_type_mismatch(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // UnicodeEncodeError for surrogates
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool from_python(PyObject* object, std::optional<std::string_view>& out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  return from_python(object, out.emplace());
}

bool from_python(PyObject* object, double& out) {
  out = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool from_python(PyObject* object, std::uint64_t& out) {
  const PyRef integer =
      PyRef::steal(PyLong_Check(object) ? Py_NewRef(object) : PyNumber_Index(object));
  if (!integer) return false;
  out = PyLong_AsUnsignedLongLong(integer.get());
  return !(out == std::numeric_limits<std::uint64_t>::max() && PyErr_Occurred());
}

bool from_python(PyObject* object, std::uint32_t& out) {
  return small_unsigned_from_python<std::numeric_limits<std::uint32_t>::max()>(object, out);
}

bool from_python(PyObject* object, std::uint8_t& out) {
  return small_unsigned_from_python<std::numeric_limits<std::uint8_t>::max()>(object, out);
}

bool from_python(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool(type)) {
    raise_type_mismatch(object, "bool");
    return false;
  }
  // numpy's boolean scalars are taken through their own truth slot.
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "object of type 'bool_' does not define a '__bool__' conversion");
    return false;
  }
  const int truth = type->tp_as_number->nb_bool(object);
  out = truth > 0;
  return truth >= 0;
}

// Any sequence of str but a str itself. The texts are copied: the sequence may change once the
// interpreter lock is released.
bool from_python(PyObject* object, std::vector<std::string>& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_none_or_type_mismatch(object, "Sequence");
    return false;
  }
  if (const Py_ssize_t hint = PySequence_Size(object); hint < 0) {
    PyErr_Clear();  // a length is only a hint; the iteration decides
  } else {
    out.reserve(static_cast<std::size_t>(std::min(hint, MAX_DEVICES_CAPACITY_HINT)));
  }
  const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  for (;;) {
    PyObject* next = nullptr;
    const int more = PyIter_NextItem(iterator.get(), &next);
    const PyRef item = PyRef::steal(next);
    if (more <= 0) return more == 0;
    std::string_view text;
    if (!from_python(item.get(), text)) return false;
    out.emplace_back(text);
  }
}

void Arguments::argument_error(std::string_view name) {
  // Only a TypeError (exactly) is reworded; its __cause__ is kept.
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (!error || !Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(error.release());
    return;
  }
  const PyRef text = PyRef::steal(PyUnicode_FromFormat(
      "argument '%.*s': %S", static_cast<int>(name.size()), name.data(), error.get()));
  PyRef reworded = PyRef::steal(text ? PyObject_CallOneArg(PyExc_TypeError, text.get()) : nullptr);
  if (!reworded) return;
  PyException_SetCause(reworded.get(), PyException_GetCause(error.get()));  // steals the cause
  PyErr_SetRaisedException(reworded.release());
}

bool Arguments::surplus(Py_ssize_t nargs) const {
  const std::string display = display_name(signature_);
  const auto count = static_cast<Py_ssize_t>(signature_.count);
  if (signature_.required < signature_.count) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zd positional arguments but %zd %s given",
                 display.c_str(), signature_.required, count, nargs, was_or_were(nargs));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 display.c_str(), count, nargs, was_or_were(nargs));
  }
  return false;
}

bool Arguments::place_keyword(PyObject* name, PyObject* value) {
  for (std::size_t i = 0; i < signature_.count; ++i) {
    const std::string_view parameter = signature_.names[i];
    if (!PyUnicode_Check(name) ||
        !PyUnicode_EqualToUTF8AndSize(name, parameter.data(), std::ssize(parameter))) {
      continue;
    }
    if (slots_[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%.*s'",
                   display_name(signature_).c_str(), static_cast<int>(parameter.size()),
                   parameter.data());
      return false;
    }
    slots_[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               display_name(signature_).c_str(), name);
  return false;
}

bool Arguments::missing() const {
  std::vector<std::string_view> unfilled;
  for (std::size_t i = 0; i < signature_.required; ++i) {
    if (slots_[i] == nullptr) unfilled.push_back(signature_.names[i]);
  }
  if (unfilled.empty()) return false;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string names;
  for (std::size_t i = 0; i < unfilled.size(); ++i) {
    if (i > 0) names += unfilled.size() == 2 ? " and " : i + 1 == unfilled.size() ? ", and " : ", ";
    ((names += '\'') += unfilled[i]) += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               display_name(signature_).c_str(), unfilled.size(),
               unfilled.size() == 1 ? "argument" : "arguments", names.c_str());
  return true;
}

bool Arguments::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > static_cast<Py_ssize_t>(signature_.count)) return surplus(nargs);
  std::copy_n(args, nargs, slots_.begin());
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
  }
  return !missing();
}

bool Arguments::bind(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > static_cast<Py_ssize_t>(signature_.count)) return surplus(nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t position = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value)) {
    if (!place_keyword(name, value)) return false;
  }
  return !missing();
}

}  // namespace brindle::py
