#include "results.hpp"

#include <array>
#include <cstdint>

#include "errors.hpp"
#include "python_ref.hpp"

namespace brimel::binding {
namespace {

// The list, its tuples and their ints can only fail for lack of memory, which
// the caller sees as the MemoryError the interpreter set.
[[noreturn]] void python_api_failed() {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    throw PythonErrorAlreadySet{};
}

template <std::size_t N>
PyObject* tuple_of(const std::array<std::uint32_t, N>& fields) {
    PyRef tuple(PyTuple_New(N));
    if (!tuple) python_api_failed();
    for (std::size_t f = 0; f < N; ++f) {
        PyObject* value = PyLong_FromUnsignedLong(fields[f]);
        if (value == nullptr) python_api_failed();
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(f), value);  // steals value
    }
    return tuple.release();
}

template <class Record, class Fields>
PyObject* records_to_list(std::vector<Record>&& records, Fields&& fields_of) {
    const std::vector<Record> owned = std::move(records);  // freed on every path
    PyRef list(PyList_New(static_cast<Py_ssize_t>(owned.size())));
    if (!list) python_api_failed();
    for (std::size_t r = 0; r < owned.size(); ++r)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), tuple_of(fields_of(owned[r])));
    return list.release();
}

}  // namespace

PyObject* pairs_to_list(std::vector<PairRecord>&& records) {
    return records_to_list(std::move(records), [](const PairRecord& p) {
        return std::array<std::uint32_t, 3>{p.i, p.j, p.dist};
    });
}

PyObject* hits_to_list(std::vector<QueryHit>&& hits) {
    return records_to_list(std::move(hits), [](const QueryHit& h) {
        return std::array<std::uint32_t, 2>{h.id, h.dist};
    });
}

}  // namespace brimel::binding
