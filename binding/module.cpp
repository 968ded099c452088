// Module definition and one-time initialization of _brimel_native.
//
// Single-phase initialization: the module is created once per process, in the
// first interpreter that imports it, and handed out again on re-import.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "arguments.hpp"
#include "brimel/kernels.hpp"
#include "brimel/limits.hpp"
#include "errors.hpp"
#include "exit_gate.hpp"
#include "index_type.hpp"
#include "joins.hpp"
#include "python_ref.hpp"

namespace brimel::binding {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_brimel_native",
    "",       // empty module docstring
    0,        // no per-module state
    nullptr,  // everything is registered by initialize()
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module record kept beside the definition for the life of the process.
std::atomic<std::int64_t> first_interpreter_id{-1};
PyObject* the_module = nullptr;  // one strong reference, never released

// Method definitions must outlive the function objects: static storage.
std::array kFunctions = {
    method("find_pairs_self", find_pairs_self, "find_pairs_self(a, k)\n--\n\n"),
    method("find_pairs_self_bit", find_pairs_self_bit, "find_pairs_self_bit(a, k)\n--\n\n"),
    method("find_pairs_cross", find_pairs_cross, "find_pairs_cross(a, b, k)\n--\n\n"),
    method("find_pairs_cross_bit", find_pairs_cross_bit, "find_pairs_cross_bit(a, b, k)\n--\n\n"),
    method("_find_pairs_self_full_popcount", find_pairs_self_full_popcount,
           "_find_pairs_self_full_popcount(a, k)\n--\n\n"
           "Bench-only: pre-Task-3 path using full popcount + compare (no early exit)."),
    method("find_pairs_self_adaptive", find_pairs_self_adaptive,
           "find_pairs_self_adaptive(a, k)\n--\n\n"
           "Entropy-aware adaptive chunk planning (Task 4). Bit chunks are chosen\n"
           "from the positive-entropy bits only, balanced across k+1 chunks."),
};

// Appends `name` to the module's __all__ (created on first use), then sets the
// attribute. Steals nothing.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorAlreadySet{};
        PyErr_Clear();
        all.reset(checked(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorAlreadySet{};
    } else if (!PyList_Check(all.get())) {
        raise(PyExc_TypeError, "`__all__` must be a list");
    }
    PyRef text(checked(PyUnicode_FromString(name)));
    if (PyList_Append(all.get(), text.get()) < 0)
        throw InternalFailure("could not append to the module's __all__");
    if (PyObject_SetAttrString(module, name, value) < 0) throw PythonErrorAlreadySet{};
}

void register_function(PyObject* module, PyMethodDef& definition) {
    PyRef module_name(checked(PyModule_GetNameObject(module)));
    PyRef function(checked(PyCMethod_New(&definition, module, module_name.get(), nullptr)));
    PyRef name(checked(PyObject_GetAttrString(function.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) raise(PyExc_TypeError, "function __name__ is not a string");
    PyRef utf8(checked(PyUnicode_AsUTF8String(name.get())));
    add_to_module(module, PyBytes_AsString(utf8.get()), function.get());
}

// _set_pairs_type(type): brimel_native.pairs hands its Pairs named tuple to
// the Index as it is imported (index_type.hpp). Not in __all__.
PyObject* receive_pairs_type(PyObject*, PyObject* type) {
    return guarded([&]() -> PyObject* {
        if (!PyType_Check(type)) raise(PyExc_TypeError, "_set_pairs_type takes a class");
        set_pairs_type(type);
        Py_RETURN_NONE;
    });
}

PyMethodDef receive_pairs_definition = {
    "_set_pairs_type", receive_pairs_type, METH_O,
    "_set_pairs_type(type, /)\n--\n\n"
    "Set the Pairs named tuple Index.query_batch returns (brimel_native.pairs)."};

void register_attributes(PyObject* module) {
    for (PyMethodDef& definition : kFunctions) register_function(module, definition);
    add_to_module(module, "Index", checked(index_type(module)));
    PyRef version(checked(PyUnicode_FromString(BRIMEL_VERSION)));
    add_to_module(module, "__version__", version.get());
    // The engine's widest chunk key, in bits, for the tests and the bench; not in __all__.
    PyRef max_chunk_bits(checked(PyLong_FromUnsignedLongLong(kMaxChunkBits)));
    if (PyObject_SetAttrString(module, "_MAX_CHUNK_BITS", max_chunk_bits.get()) < 0)
        throw PythonErrorAlreadySet{};
    PyRef module_name(checked(PyModule_GetNameObject(module)));
    PyRef receive_pairs(
        checked(PyCMethod_New(&receive_pairs_definition, module, module_name.get(), nullptr)));
    if (PyObject_SetAttrString(module, "_set_pairs_type", receive_pairs.get()) < 0)
        throw PythonErrorAlreadySet{};
}

PyObject* initialize() {
    active_kernel();  // a BRIMEL_KERNEL this CPU cannot honour fails the import
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) throw PythonErrorAlreadySet{};
    std::int64_t expected = -1;
    if (!first_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "_brimel_native does not support sub-interpreters: it can only be "
              "imported once per process, in one interpreter");
    }
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
    }
    PyRef module(checked(PyModule_Create2(&module_definition, 3)));
    register_attributes(module.get());
    register_exit_callback();
    the_module = module.release();
    Py_INCREF(the_module);
    return the_module;
}

}  // namespace
}  // namespace brimel::binding

PyMODINIT_FUNC PyInit__brimel_native() {
    return brimel::binding::guarded([] { return brimel::binding::initialize(); });
}
