// Result vectors to Python lists, allocated once at their final length and
// filled by index, in the order the engine returned them.
#pragma once

#include <Python.h>

#include <vector>

#include "brimel/types.hpp"

namespace brimel::binding {

// A list of (i, j, dist) tuples; frees `records`. On a failed Python
// allocation, leaves MemoryError set and throws PythonErrorAlreadySet; no
// partial list escapes.
PyObject* pairs_to_list(std::vector<PairRecord>&& records);

// The same for query hits, as (id, dist) tuples.
PyObject* hits_to_list(std::vector<QueryHit>&& hits);

}  // namespace brimel::binding
