// NumPy array intake. Arrays are never copied: the engine reads the caller's
// buffer in place, while the array is held (one reference, and one weak
// reference, which makes NumPy refuse to resize it) until the entry point
// returns.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "brimel/types.hpp"

namespace brimel::binding {

// What an accepted 2-D array yields. Strides are signed and in elements, which
// for unsigned bytes are bytes.
struct MatrixView {
    const std::uint8_t* data;
    std::uint64_t n;        // shape[0], rows
    std::uint64_t d_bytes;  // shape[1], code width
    std::int64_t s0;
    std::int64_t s1;
    bool c_contiguous;
};

// What an accepted 1-D array (one code) yields.
struct RowView {
    const std::uint8_t* data;
    std::uint64_t length;
    std::int64_t stride;
    bool c_contiguous;
};

// True when the rows lie back to back: n = 0 or d_bytes = 0, or
// (d_bytes = 1 or s1 = 1) and (n = 1 or s0 = d_bytes).
bool is_standard_layout(const MatrixView& view);

// The code matrix of a view that passed is_standard_layout: n * d_bytes bytes.
inline ByteSpan matrix_bytes(const MatrixView& view) {
    return {view.data, static_cast<std::size_t>(view.n * view.d_bytes)};
}

// An accepted uint8 array: holds a reference to it from intake on, and from
// pin_* on a weak reference that pins the buffer; both released when the
// holder is destroyed (release_array).
class HeldArray {
public:
    HeldArray() = default;
    HeldArray(const HeldArray&) = delete;
    HeldArray& operator=(const HeldArray&) = delete;
    HeldArray(HeldArray&& other) noexcept;
    HeldArray& operator=(HeldArray&& other) noexcept;
    ~HeldArray() { release_array(); }

    // Shape, strides and data, read once. Call after every argument of the
    // call is converted: Python code run since intake (an argument's
    // __index__, another thread) may have reshaped or retyped the array, so it
    // is checked again, with intake's TypeError for `name` if it no longer
    // qualifies. From here on no Python code can move or free what the view
    // points at: a resize (even with refcheck=False) raises ValueError, since
    // the array is referenced by a weak reference.
    MatrixView pin_matrix(const char* name);  // for arrays of 2 dimensions
    RowView pin_row(const char* name);        // for arrays of 1 dimension
    void release_array() noexcept;

private:
    friend HeldArray extract_array(PyObject*, const char*, int);
    HeldArray(PyObject* array, int dimensions);
    void pin(const char* name);
    PyObject* array_ = nullptr;
    PyObject* pin_ = nullptr;  // the weak reference, once pinned
    int dimensions_ = 0;
};

// Accepts `object` as a NumPy array (or subclass) of dtype uint8 with exactly
// two dimensions (extract_code_array) or one (extract_row_array). Otherwise
// raises TypeError "argument 'name': 'Q' object cannot be converted to
// 'PyArray<T, D>'" and throws PythonErrorAlreadySet. NumPy unusable at first
// intake throws InternalFailure ("Failed to access NumPy array API capsule...").
HeldArray extract_code_array(PyObject* object, const char* name);

// The records as three new 1-D arrays (i, j, distance), in record order: i and
// j uint32, distance uint16 when `max_distance` fits 16 bits, else uint32.
// Frees `records` as it goes; a failed allocation raises MemoryError and
// throws PythonErrorAlreadySet.
PyObject* pairs_to_arrays(std::vector<PairRecord>&& records, std::uint32_t max_distance);
HeldArray extract_row_array(PyObject* object, const char* name);

// Group labels (row ids) as a new 1-D int64 array: NumPy's index type, so the
// labels index, compare and count (np.unique, np.bincount) without a cast.
// Frees `labels`; a failed allocation raises MemoryError and throws
// PythonErrorAlreadySet.
PyObject* labels_to_array(std::vector<std::uint32_t>&& labels);

// A new C-contiguous array of `rows` (1-D) or `rows` x `columns` (2-D, when
// columns > 0) elements, its data pointer in *data. A failed allocation
// raises MemoryError and throws PythonErrorAlreadySet.
enum class Element { u8, u16, u32, i64, u64 };
PyObject* new_array(std::uint64_t rows, std::uint64_t columns, Element element, void** data);

// 64-bit codes as a new (n, 8) uint8 code matrix, each written most
// significant byte first (the order of brimel_native.from_uint64). Frees
// `codes`; errors as labels_to_array.
PyObject* codes_to_array(std::vector<std::uint64_t>&& codes);

}  // namespace brimel::binding
