// Argument binding and integer intake, following the interpreter's own
// conventions and texts for Python functions.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace brimel::binding {

// A function or method entry: (self or module, argument tuple, keyword dict
// or nullptr), a new reference or nullptr with an exception set.
using NativeMethod = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// The definition of an entry taking arguments by position and keyword;
// `flags` may add METH_CLASS. The doc text starts with the text signature:
// "name(params)\n--\n\n", then the docstring.
inline PyMethodDef method(const char* name, NativeMethod entry, const char* doc, int flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_VARARGS | METH_KEYWORDS | flags, doc};
}

// What binding needs to know of a function: its name (messages say "name()")
// and its parameter names, all positional-or-keyword; the first `required`
// must be given, the rest are optional.
struct FunctionDescription {
    const char* name;
    std::vector<const char*> parameters;
    std::size_t required = SIZE_MAX;  // all of them
};

// Borrowed references to the bound arguments, one per parameter, in order;
// nullptr for an optional argument not given.
using BoundArguments = std::vector<PyObject*>;

// Fills one slot per parameter from the argument tuple and keyword dict (may be
// nullptr), or raises the interpreter's TypeError and throws
// PythonErrorAlreadySet.
BoundArguments bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs);

// Unsigned 32-bit intake: int (or __index__) read as a C long; outside
// 0..4294967295 is OverflowError "out of range integral type conversion
// attempted". On failure, raises (TypeError prefixed "argument 'name': ")
// and throws PythonErrorAlreadySet.
std::uint32_t extract_u32(PyObject* object, const char* name);

// Unsigned 64-bit intake: 0..18446744073709551615, the interpreter's own
// OverflowError otherwise. Failure handling as extract_u32.
std::uint64_t extract_u64(PyObject* object, const char* name);

// Replaces a pending TypeError by TypeError("argument 'name': " + its text),
// keeping its cause; other pending exceptions pass unchanged. Then throws
// PythonErrorAlreadySet.
[[noreturn]] void argument_extraction_error(const char* name);

// Sets TypeError "'Q' object cannot be converted to 'expected'" for `object`
// (Q its type's __qualname__) without throwing, for the caller to prefix with
// argument_extraction_error or to throw as it is.
void set_conversion_error(PyObject* object, const char* expected);

}  // namespace brimel::binding
