// The one mapping of failures to Python exceptions, the one adapter from a core result to a
// Python result, and the boundary that stops internal faults.
#pragma once

#include <Python.h>

#include <exception>
#include <expected>
#include <source_location>
#include <string_view>
#include <type_traits>

#include "common/error.hpp"
#include "qmp/error.hpp"

namespace brindle::firecracker {
struct ApiResponse;
}

namespace brindle::py {

// OSError(message): exactly one argument, so never a subclass, and errno stays None.
[[gnu::cold]] PyObject* raise(const Error& error);
// RuntimeError whose single argument is the error's JSON text.
[[gnu::cold]] PyObject* raise(const qmp::QmpError& error);
// Reports the fault with its source location on standard error, then raises PanicException.
[[gnu::cold]] void raise_panic(std::string_view message, const std::source_location& where);

// The PanicException class, made on first use (borrowed reference, nullptr on failure).
PyObject* panic_exception_type();

// The Python forms of the core's results.
PyObject* to_python(std::string_view text);
PyObject* to_python(const firecracker::ApiResponse& response);

// A core result as the Python result: the value's Python form (None for nothing), or the error
// raised.
template <class T, class E>
PyObject* to_python(const std::expected<T, E>& result) {
  if (!result) return raise(result.error());
  if constexpr (std::is_void_v<T>) {
    Py_RETURN_NONE;
  } else {
    return to_python(*result);
  }
}

// Runs the body of an entry or slot (returning PyObject* or int); an internal fault thrown from
// it becomes PanicException and the slot's failure value, so no C++ exception ever reaches the
// interpreter. Always called with the interpreter lock held.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const Panic& fault) {
    raise_panic(fault.what(), fault.where());
  } catch (const std::exception& fault) {
    raise_panic(fault.what(), std::source_location::current());
  } catch (...) {
    raise_panic("unknown internal fault", std::source_location::current());
  }
  if constexpr (std::is_same_v<decltype(body()), int>) {
    return -1;
  } else {
    return nullptr;
  }
}

}  // namespace brindle::py
