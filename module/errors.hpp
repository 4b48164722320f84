// The one mapping of failures to Python exceptions, and the boundary that stops internal faults.
#pragma once

#include <Python.h>

#include <exception>
#include <source_location>
#include <string_view>

#include "common/error.hpp"

namespace brindle::py {

// OSError(message): exactly one argument, so never a subclass and errno stays None.
PyObject* raise_os_error(std::string_view message);
PyObject* raise_os_error(const Error& error);

// Reports the fault with its source location on standard error, then raises PanicException.
PyObject* raise_panic(std::string_view message, const std::source_location& where);

// The PanicException class, made on first use (borrowed reference, nullptr on failure).
PyObject* panic_exception_type();

// Runs the body of a module entry; an internal fault thrown from it becomes PanicException, so
// no C++ exception ever reaches the interpreter. Always called with the interpreter lock held.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Panic& fault) {
    return raise_panic(fault.what(), fault.where());
  } catch (const std::exception& fault) {
    return raise_panic(fault.what(), std::source_location::current());
  } catch (...) {
    return raise_panic("unknown internal fault", std::source_location::current());
  }
}

}  // namespace brindle::py
