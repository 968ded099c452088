// The Index class: the streaming index as a Python type.
#pragma once

#include <Python.h>

namespace brimel::binding {

// The Index type object, created from its type description on the first call and kept
// for the process; its __module__ is the name of `module`, the module it is
// registered in. A borrowed reference, or nullptr with an exception set.
PyObject* index_type(PyObject* module);

// Keeps `type` (a new strong reference; the one kept before is released) as
// the Pairs named tuple that Index.query_batch returns.
void set_pairs_type(PyObject* type);

}  // namespace brimel::binding
