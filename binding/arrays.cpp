// The only file that includes NumPy's headers; NumPy's C-API table is looked
// up on the first array intake and kept for the process.
#define PY_ARRAY_UNIQUE_SYMBOL brimel_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#include "arrays.hpp"

#include <numpy/arrayobject.h>

#include <string>
#include <utility>

#include "arguments.hpp"
#include "brimel/pairs.hpp"
#include "errors.hpp"
#include "python_ref.hpp"

namespace brimel::binding {
namespace {

void ensure_numpy() {
    if (PyArray_API != nullptr) return;
    if (PyArray_ImportNumPyAPI() >= 0) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef type_ref(type), value_ref(value), traceback_ref(traceback);
    std::string description = "unknown error";
    if (PyRef text{value != nullptr ? PyObject_Str(value) : nullptr}) {
        if (PyRef bytes{PyUnicode_AsUTF8String(text.get())}) description = PyBytes_AsString(bytes.get());
    }
    PyErr_Clear();
    throw InternalFailure("Failed to access NumPy array API capsule: " + description);
}

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

}  // namespace

bool is_standard_layout(const MatrixView& view) {
    if (view.n == 0 || view.d_bytes == 0) return true;
    const bool columns = view.d_bytes == 1 || view.s1 == 1;
    const bool rows = view.n == 1 || view.s0 == static_cast<std::int64_t>(view.d_bytes);
    return columns && rows;
}

HeldArray::HeldArray(PyObject* array, int dimensions) : array_(array), dimensions_(dimensions) {
    Py_INCREF(array_);
}

HeldArray::HeldArray(HeldArray&& other) noexcept
    : array_(std::exchange(other.array_, nullptr)),
      pin_(std::exchange(other.pin_, nullptr)),
      dimensions_(other.dimensions_) {}

HeldArray& HeldArray::operator=(HeldArray&& other) noexcept {
    if (this != &other) {
        release_array();
        array_ = std::exchange(other.array_, nullptr);
        pin_ = std::exchange(other.pin_, nullptr);
        dimensions_ = other.dimensions_;
    }
    return *this;
}

void HeldArray::release_array() noexcept {
    if (array_ == nullptr) return;
    if (pin_ != nullptr) Py_DECREF(std::exchange(pin_, nullptr));
    Py_DECREF(std::exchange(array_, nullptr));
}

namespace {

bool is_uint8_array(PyObject* object, int dimensions) {
    if (PyType_IsSubtype(Py_TYPE(object), &PyArray_Type) == 0 || PyArray_NDIM(as_array(object)) != dimensions)
        return false;
    PyArray_Descr* ubyte = PyArray_DescrFromType(NPY_UBYTE);
    if (ubyte == nullptr) throw PythonErrorAlreadySet{};
    PyArray_Descr* dtype = PyArray_DESCR(as_array(object));
    const bool accepted = dtype == ubyte || PyArray_EquivTypes(dtype, ubyte);
    Py_DECREF(ubyte);
    return accepted;
}

[[noreturn]] void not_convertible(PyObject* object, const char* name) {
    set_conversion_error(object, "PyArray<T, D>");
    argument_extraction_error(name);
}

}  // namespace

void HeldArray::pin(const char* name) {
    if (pin_ != nullptr) return;
    if (!is_uint8_array(array_, dimensions_)) not_convertible(array_, name);
    pin_ = checked(PyWeakref_NewRef(array_, nullptr));
}

MatrixView HeldArray::pin_matrix(const char* name) {
    pin(name);
    PyArrayObject* array = as_array(array_);
    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    return {static_cast<const std::uint8_t*>(PyArray_DATA(array)),
            static_cast<std::uint64_t>(shape[0]),
            static_cast<std::uint64_t>(shape[1]),
            static_cast<std::int64_t>(strides[0]),
            static_cast<std::int64_t>(strides[1]),
            PyArray_IS_C_CONTIGUOUS(array) != 0};
}

RowView HeldArray::pin_row(const char* name) {
    pin(name);
    PyArrayObject* array = as_array(array_);
    return {static_cast<const std::uint8_t*>(PyArray_DATA(array)),
            static_cast<std::uint64_t>(PyArray_DIMS(array)[0]),
            static_cast<std::int64_t>(PyArray_STRIDES(array)[0]), PyArray_IS_C_CONTIGUOUS(array) != 0};
}

HeldArray extract_array(PyObject* object, const char* name, int dimensions) {
    ensure_numpy();
    if (!is_uint8_array(object, dimensions)) not_convertible(object, name);
    return HeldArray(object, dimensions);
}

HeldArray extract_code_array(PyObject* object, const char* name) { return extract_array(object, name, 2); }

PyObject* pairs_to_arrays(std::vector<PairRecord>&& records, std::uint32_t max_distance) {
    ensure_numpy();
    const std::vector<PairRecord> owned = std::move(records);  // freed on every path
    npy_intp length = static_cast<npy_intp>(owned.size());
    const int distance_type = max_distance <= 0xFFFF ? NPY_UINT16 : NPY_UINT32;
    PyRef i(checked(PyArray_SimpleNew(1, &length, NPY_UINT32)));
    PyRef j(checked(PyArray_SimpleNew(1, &length, NPY_UINT32)));
    PyRef distance(checked(PyArray_SimpleNew(1, &length, distance_type)));
    auto* to_i = static_cast<std::uint32_t*>(PyArray_DATA(as_array(i.get())));
    auto* to_j = static_cast<std::uint32_t*>(PyArray_DATA(as_array(j.get())));
    void* to_distance = PyArray_DATA(as_array(distance.get()));
    // The arrays are ours alone until returned, so they are filled without the lock.
    without_gil([&] {
        split_records(owned, to_i, to_j, to_distance, distance_type == NPY_UINT16 ? 2 : 4);
        return true;
    });
    return checked(PyTuple_Pack(3, i.get(), j.get(), distance.get()));
}

HeldArray extract_row_array(PyObject* object, const char* name) { return extract_array(object, name, 1); }

PyObject* labels_to_array(std::vector<std::uint32_t>&& labels) {
    ensure_numpy();
    const std::vector<std::uint32_t> owned = std::move(labels);  // freed on every path
    npy_intp length = static_cast<npy_intp>(owned.size());
    PyRef out(checked(PyArray_SimpleNew(1, &length, NPY_INT64)));
    auto* to = static_cast<std::int64_t*>(PyArray_DATA(as_array(out.get())));
    for (std::size_t r = 0; r < owned.size(); ++r) to[r] = owned[r];
    return out.release();
}

PyObject* new_array(std::uint64_t rows, std::uint64_t columns, Element element, void** data) {
    ensure_numpy();
    static constexpr int kTypes[] = {NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_INT64, NPY_UINT64};
    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
    PyObject* out = checked(PyArray_SimpleNew(columns > 0 ? 2 : 1, shape, kTypes[static_cast<int>(element)]));
    *data = PyArray_DATA(as_array(out));
    return out;
}

PyObject* codes_to_array(std::vector<std::uint64_t>&& codes) {
    ensure_numpy();
    const std::vector<std::uint64_t> owned = std::move(codes);  // freed on every path
    npy_intp shape[2] = {static_cast<npy_intp>(owned.size()), 8};
    PyRef out(checked(PyArray_SimpleNew(2, shape, NPY_UINT8)));
    auto* to = static_cast<std::uint8_t*>(PyArray_DATA(as_array(out.get())));
    for (std::size_t r = 0; r < owned.size(); ++r)
        for (int byte = 0; byte < 8; ++byte)
            to[8 * r + byte] = static_cast<std::uint8_t>(owned[r] >> (56 - 8 * byte));
    return out.release();
}

}  // namespace brimel::binding
