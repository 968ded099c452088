// Native entries of the pair-search functions: (module, argument tuple,
// keyword dict or nullptr) -> new reference, or nullptr with an exception set.
#pragma once

#include <Python.h>

namespace brimel::binding {

PyObject* find_pairs_self(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* find_pairs_self_bit(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* find_pairs_cross(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* find_pairs_cross_bit(PyObject* module, PyObject* args, PyObject* kwargs);
// _find_pairs_self_full_popcount: the byte self-join without early exit.
PyObject* find_pairs_self_full_popcount(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* find_pairs_self_adaptive(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace brimel::binding
