#include "arguments.hpp"

#include <limits>
#include <string>

namespace brindle::py {

namespace {

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

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

}  // namespace

void raise_type_mismatch(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyObject* name = PyType_GetQualName(Py_TYPE(object));
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
  Py_DECREF(name);
}

bool text_from_python(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    raise_type_mismatch(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // UnicodeEncodeError for surrogates
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool float_from_python(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool u64_from_python(PyObject* object, std::uint64_t& out) {
  PyObject* integer = PyLong_Check(object) ? Py_NewRef(object) : PyNumber_Index(object);
  if (integer == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  Py_DECREF(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool bool_from_python(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  // numpy's boolean scalars are accepted through their own truth slot.
  PyTypeObject* type = Py_TYPE(object);
  PyObject* module = PyType_GetModuleName(type);
  if (module == nullptr) PyErr_Clear();
  PyObject* name = PyType_GetName(type);
  if (name == nullptr) PyErr_Clear();
  const bool is_numpy_bool = module != nullptr && name != nullptr &&
                             PyUnicode_EqualToUTF8(module, "numpy") &&
                             PyUnicode_EqualToUTF8(name, "bool_");
  Py_XDECREF(module);
  if (!is_numpy_bool) {
    Py_XDECREF(name);
    raise_type_mismatch(object, "bool");
    return false;
  }
  PyNumberMethods* number = type->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 name);
    Py_DECREF(name);
    return false;
  }
  Py_DECREF(name);
  const int truth = number->nb_bool(object);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

void reword_argument_error(const char* name) {
  PyObject* error = PyErr_GetRaisedException();
  if (error == nullptr || !Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(error);
    return;
  }
  PyObject* text = PyUnicode_FromFormat("argument '%s': %S", name, error);
  PyObject* reworded = text == nullptr ? nullptr : PyObject_CallOneArg(PyExc_TypeError, text);
  Py_XDECREF(text);
  if (reworded == nullptr) {
    Py_DECREF(error);
    return;
  }
  PyException_SetCause(reworded, PyException_GetCause(error));  // steals the new reference
  Py_DECREF(error);
  PyErr_SetRaisedException(reworded);
}

void Arguments::argument_error(std::size_t i) const { reword_argument_error(signature_.names[i]); }

bool Arguments::check_surplus(Py_ssize_t nargs) const {
  const auto count = static_cast<Py_ssize_t>(signature_.count);
  if (nargs <= count) return true;
  if (signature_.required < signature_.count) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature_.display, signature_.required, signature_.count, nargs,
                 was_or_were(nargs));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 signature_.display, signature_.count, nargs, was_or_were(nargs));
  }
  return false;
}

bool Arguments::place_keyword(PyObject* name, PyObject* value) {
  for (std::size_t i = 0; i < signature_.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, signature_.names[i])) {
      if (slots_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     signature_.display, signature_.names[i]);
        return false;
      }
      slots_[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature_.display,
               name);
  return false;
}

bool Arguments::check_missing() const {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature_.required; ++i) missing += slots_[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature_.required; ++i) {
    if (slots_[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += signature_.names[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature_.display,
               missing, missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

bool Arguments::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!check_surplus(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
  }
  return check_missing();
}

bool Arguments::bind(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_surplus(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    slots_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!place_keyword(name, value)) return false;
    }
  }
  return check_missing();
}

bool Arguments::convert(std::size_t i, std::string_view& out) {
  if (slots_[i] == nullptr) return true;
  if (text_from_python(slots_[i], out)) return true;
  argument_error(i);
  return false;
}

bool Arguments::convert(std::size_t i, std::optional<std::string_view>& out) {
  if (slots_[i] == nullptr) return true;
  if (slots_[i] == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert(i, text)) return false;
  out = text;
  return true;
}

bool Arguments::convert(std::size_t i, double& out) {
  if (slots_[i] == nullptr || float_from_python(slots_[i], out)) return true;
  argument_error(i);
  return false;
}

bool Arguments::convert(std::size_t i, std::uint64_t& out) {
  if (slots_[i] == nullptr || u64_from_python(slots_[i], out)) return true;
  argument_error(i);
  return false;
}

bool Arguments::convert(std::size_t i, std::uint32_t& out) {
  if (slots_[i] == nullptr ||
      small_unsigned_from_python<std::numeric_limits<std::uint32_t>::max()>(slots_[i], out)) {
    return true;
  }
  argument_error(i);
  return false;
}

bool Arguments::convert(std::size_t i, std::uint8_t& out) {
  if (slots_[i] == nullptr ||
      small_unsigned_from_python<std::numeric_limits<std::uint8_t>::max()>(slots_[i], out)) {
    return true;
  }
  argument_error(i);
  return false;
}

bool Arguments::convert(std::size_t i, bool& out) {
  if (slots_[i] == nullptr || bool_from_python(slots_[i], out)) return true;
  argument_error(i);
  return false;
}

}  // namespace brindle::py
