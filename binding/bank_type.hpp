// The native Bank type: the hash bank of brimel_native.Bank.
#pragma once

#include <Python.h>

namespace brimel::binding {

// The Bank type object, created on the first call and kept for the process;
// its __module__ is the name of `module`. A borrowed reference, or nullptr
// with an exception set.
PyObject* bank_type(PyObject* module);

}  // namespace brimel::binding
