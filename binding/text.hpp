// The text entry of _brimel_pairs: SimHash of the lines of a text.
//
//   simhash(text, shingle, progress=None) -> (n, 8) uint8 codes
//
// text: a 1-D uint8 array holding the documents, one per line
// (brimel/simhash.hpp tells how lines, tokens and shingles are read);
// shingle >= 1. Runs with the interpreter lock released, on the pool, and
// stops on Ctrl-C; progress(done, total) counts documents.
#pragma once

#include <Python.h>

namespace brimel::binding {

PyObject* simhash_entry(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace brimel::binding
