// What the Index and the Bank types share: their creation, their method
// definitions and property getters, the code-matrix argument, paths and file
// operations.
#pragma once

#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "arrays.hpp"
#include "brimel/index.hpp"
#include "errors.hpp"
#include "python_ref.hpp"

namespace brimel::binding {

// A property getter's body: `Access` (constructed from the object) checks
// the object's type and holds what a read needs for its duration; `read`
// turns access.engine() into a new reference.
template <class Access, class Read>
PyObject* read_field(PyObject* object, Read&& read) {
    return guarded([&]() -> PyObject* {
        const Access access(object);
        return read(access.engine());
    });
}

// What a code-matrix argument is told, each a ValueError but the last.
struct MatrixMessages {
    std::string not_c_contiguous;
    std::string not_back_to_back;  // rows not laid out back to back
    // More rows than ids can name: a RowLimit with this text; empty where
    // the engine call checks the rows itself.
    std::string_view too_many_rows;
};

// The pinned 2-D argument `name` of d_bytes columns as its bytes, rows back
// to back, checked in this order: C-contiguous, shape[1] == d_bytes ("<name>
// must be 2-D with shape[1] == d_bytes (<d_bytes>), got shape [<n>, <d>]"),
// rows back to back, the row limit.
ByteSpan matrix_argument(HeldArray& held, const char* name, std::uint64_t d_bytes,
                         const MatrixMessages& messages);

// A path argument (str, bytes or os.PathLike) as the bytes the system takes.
std::string path_argument(PyObject* object);

// The type made from `description` for the process, its __module__ the name
// of `module`. The type name carries no module prefix. The interpreter warns
// about a type described with neither a prefix nor a __module__ entry (so an
// import with warnings turned into errors would fail), and such a class has
// no __module__ at all: the description's placeholder __module__ entry
// avoids the one, and the module's own name, set in its place, the other. A
// new reference, or nullptr with an exception set.
PyObject* module_type(PyType_Spec* description, PyObject* module);

// The truth of a flag argument (PyObject_IsTrue), or the error it raised.
inline bool checked_truth(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonErrorAlreadySet{};
    return truth != 0;
}

// Runs a save or a load without the interpreter lock: the file may be
// gigabytes. A failed system call becomes the OSError subclass of its errno
// naming `path`; bytes that are not an intact index file, ValueError
// "<entry>: <what is wrong>".
template <class Operation>
auto file_operation(PyObject* path, const char* entry, Operation&& operation) {
    try {
        return without_gil(operation);
    } catch (const std::system_error& failure) {
        errno = failure.code().value();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        throw PythonErrorAlreadySet{};
    } catch (const IndexFileError& refused) {
        raise(PyExc_ValueError, std::string(entry) + ": " + refused.what());
    }
}

}  // namespace brimel::binding
