// Capability probes: which families of native helpers this build offers.
#include "functions.hpp"

namespace brindle::py {

PyObject* native_family_available(PyObject*, PyObject*) { Py_RETURN_TRUE; }

PyObject* has_native_networking(PyObject*, PyObject*) { Py_RETURN_FALSE; }

}  // namespace brindle::py
