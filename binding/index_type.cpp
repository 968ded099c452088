// The Index class.
//
// Each object owns one engine index and an access counter: 0 when idle, the
// number of shared uses in progress when positive, -1 during the one exclusive
// use. Every member binds its arguments, checks that it was called on an
// Index, then takes its use (failing at once on a conflict, never waiting),
// and only then accepts its array argument. The use ends on every path out.
// The counter is only touched with the interpreter lock held, so it needs no
// atomics; add_batch keeps its exclusive use while the lock is released.
#include "index_type.hpp"

#include <cstdint>
#include <memory>
#include <string>

#include "arguments.hpp"
#include "arrays.hpp"
#include "brimel/index.hpp"
#include "errors.hpp"
#include "python_ref.hpp"
#include "results.hpp"

namespace brimel::binding {
namespace {

struct IndexObject {
    PyObject_HEAD Index* index;  // owned; released by the deallocator
    Py_ssize_t access;           // 0 idle, > 0 shared uses, -1 one exclusive use
};

PyTypeObject* the_type = nullptr;  // one strong reference, kept for the process

// A read of the index: many at once, none during an exclusive use.
class SharedUse {
public:
    explicit SharedUse(IndexObject* self) : self_(self) {
        if (self_->access == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++self_->access;
    }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;
    ~SharedUse() { --self_->access; }

private:
    IndexObject* self_;
};

// A change of the index: only while no other use is in progress.
class ExclusiveUse {
public:
    explicit ExclusiveUse(IndexObject* self) : self_(self) {
        if (self_->access != 0) raise(PyExc_RuntimeError, "Already borrowed");
        self_->access = -1;
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
    ~ExclusiveUse() { self_->access = 0; }

private:
    IndexObject* self_;
};

// `self` as an Index, or the conversion TypeError naming "Index".
IndexObject* as_index(PyObject* self) {
    if (!PyObject_TypeCheck(self, the_type)) {
        set_conversion_error(self, "Index");
        throw PythonErrorAlreadySet{};
    }
    return reinterpret_cast<IndexObject*>(self);
}

// Runs an engine insertion; a full index (ids are 32-bit) is OverflowError, an
// ordinary exception the caller can handle: nothing was changed.
template <class Insert>
std::uint32_t insert_checked(Insert&& insert) {
    try {
        return insert();
    } catch (const IndexFull& full) {
        raise(PyExc_OverflowError, full.what());
    }
}

// The length and stride checks of add and query; the contiguity flag is tested
// before, with each method's own text.
void check_row(const RowView& row, std::uint64_t d_bytes) {
    if (row.length != d_bytes)
        raise(PyExc_ValueError,
              "row length " + std::to_string(row.length) + " != d_bytes " + std::to_string(d_bytes));
    if (row.length >= 2 && row.stride != 1) raise(PyExc_ValueError, "row not contiguous");
}

ByteSpan row_bytes(const RowView& row) { return {row.data, static_cast<std::size_t>(row.length)}; }

const FunctionDescription kNew{"Index.__new__", {"d_bytes", "k"}};
const FunctionDescription kAdd{"Index.add", {"row"}};
const FunctionDescription kAddBatch{"Index.add_batch", {"batch"}};
const FunctionDescription kQuery{"Index.query", {"row"}};

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kNew, args, kwargs);
        const std::uint64_t d_bytes = extract_u64(bound[0], "d_bytes");
        const std::uint32_t k = extract_u32(bound[1], "k");
        if (d_bytes == 0) raise(PyExc_ValueError, "Index: d_bytes must be >= 1");
        const std::uint64_t total_bits = 8 * d_bytes;
        if (total_bits <= k)
            raise(PyExc_ValueError, "Index: k (" + std::to_string(k) + ") must be < 8*d_bytes (" +
                                        std::to_string(total_bits) + ")");
        auto engine = std::make_unique<Index>(Index::create(d_bytes, k));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* object = checked(alloc(type, 0));
        auto* self = reinterpret_cast<IndexObject*>(object);
        self->index = engine.release();
        self->access = 0;
        return object;
    });
}

void index_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<IndexObject*>(object);
    delete self->index;
    self->index = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    Py_DECREF(type);
}

template <class Read>
PyObject* read_field(PyObject* object, Read&& read) {
    return guarded([&]() -> PyObject* {
        IndexObject* self = as_index(object);
        const SharedUse use(self);
        return read(*self->index);
    });
}

PyObject* get_k(PyObject* object, void*) {
    return read_field(object, [](const Index& index) { return PyLong_FromUnsignedLong(index.k()); });
}

PyObject* get_n(PyObject* object, void*) {
    return read_field(object, [](const Index& index) { return PyLong_FromUnsignedLong(index.n()); });
}

PyObject* get_d_bytes(PyObject* object, void*) {
    return read_field(object,
                      [](const Index& index) { return PyLong_FromUnsignedLongLong(index.d_bytes()); });
}

Py_ssize_t index_length(PyObject* object) {
    return guarded(
        [&] {
            IndexObject* self = as_index(object);
            const SharedUse use(self);
            return static_cast<Py_ssize_t>(self->index->n());
        },
        Py_ssize_t{-1});
}

PyObject* index_add(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kAdd, args, kwargs);
        IndexObject* self = as_index(object);
        const ExclusiveUse use(self);
        HeldArray row = extract_row_array(bound[0], "row");
        const RowView view = row.pin_row("row");
        if (!view.c_contiguous)
            raise(PyExc_ValueError, "row must be C-contiguous; pass np.ascontiguousarray(row)");
        check_row(view, self->index->d_bytes());
        const std::uint32_t id = insert_checked([&] { return self->index->add(row_bytes(view)); });
        row.release_array();
        return PyLong_FromUnsignedLong(id);
    });
}

std::string shape_text(const MatrixView& view) {
    return "[" + std::to_string(view.n) + ", " + std::to_string(view.d_bytes) + "]";
}

PyObject* index_add_batch(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kAddBatch, args, kwargs);
        IndexObject* self = as_index(object);
        const ExclusiveUse use(self);
        HeldArray batch = extract_code_array(bound[0], "batch");
        const MatrixView view = batch.pin_matrix("batch");
        const std::uint64_t d_bytes = self->index->d_bytes();
        if (!view.c_contiguous)
            raise(PyExc_ValueError, "batch must be C-contiguous; pass np.ascontiguousarray(batch)");
        if (view.d_bytes != d_bytes)
            raise(PyExc_ValueError, "batch must be 2-D with shape[1] == d_bytes (" + std::to_string(d_bytes) +
                                        "), got shape " + shape_text(view));
        if (!is_standard_layout(view)) raise(PyExc_ValueError, "batch not contiguous");
        Index& index = *self->index;
        const ByteSpan rows = matrix_bytes(view);
        const std::uint32_t first =
            insert_checked([&] { return without_gil([&] { return index.add_batch(rows); }); });
        batch.release_array();
        return PyLong_FromUnsignedLong(first);
    });
}

PyObject* index_query(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kQuery, args, kwargs);
        IndexObject* self = as_index(object);
        const SharedUse use(self);
        HeldArray row = extract_row_array(bound[0], "row");
        const RowView view = row.pin_row("row");
        if (!view.c_contiguous) raise(PyExc_ValueError, "row must be C-contiguous");
        check_row(view, self->index->d_bytes());
        auto hits = self->index->query(row_bytes(view));
        row.release_array();
        return hits_to_list(std::move(hits));
    });
}

using NativeMethod = PyObject* (*)(PyObject*, PyObject*, PyObject*);

PyMethodDef method(const char* name, NativeMethod entry, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

// Doc texts start with the text signature: "name(params)\n--\n\n".
constexpr const char* kClassDoc =
    "Index(d_bytes, k)\n--\n\n"
    "Streaming near-duplicate index. Stateful, append-only. Bit-level chunks\n"
    "so any `k < 8 * d_bytes` is supported.\n\n"
    "An Index may be handed from one thread to another. Its state is plain data\n"
    "with no interior mutability, and the access rules are enforced here, on the\n"
    "Python side: several readers at a time or one writer alone, with a\n"
    "conflicting call failing at once instead of waiting. Earlier releases tied\n"
    "each object to the thread that created it, so a use from any other thread\n"
    "failed with PanicException rather than a ValueError, which did not suit the\n"
    "real-time content-moderation services this module is offered for.";

PyMethodDef methods[] = {
    method("add", index_add,
           "add($self, row)\n--\n\n"
           "Add one row (1-D uint8 array of length d_bytes). Returns assigned id."),
    method("add_batch", index_add_batch,
           "add_batch($self, batch)\n--\n\n"
           "Add a batch (2-D uint8 array, shape (m, d_bytes)). Returns first assigned id."),
    method("query", index_query,
           "query($self, row)\n--\n\n"
           "Query one row (1-D uint8 array of length d_bytes). Returns\n"
           "`list[(id, hamming_dist)]` for all stored rows within distance ≤ k.\n\n"
           "Note: if the query row was previously added to the index, the\n"
           "corresponding `(stored_id, 0)` entry IS included in the result.\n"
           "Callers performing self-query (e.g. iterating over the corpus to\n"
           "find near-dups of each row) should filter `id != self_id` themselves."),
    {nullptr, nullptr, 0, nullptr},
};

// Stands in for the class's __module__ entry while the type is created (see
// index_type); replaced by the module's name right after.
PyObject* module_placeholder(PyObject*, void*) { return PyUnicode_FromString("_brimel_native"); }

PyGetSetDef properties[] = {
    {"k", get_k, nullptr, nullptr, nullptr},
    {"n", get_n, nullptr, nullptr, nullptr},
    {"d_bytes", get_d_bytes, nullptr, nullptr, nullptr},
    {"__module__", module_placeholder, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_mp_length, reinterpret_cast<void*>(index_length)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or weak
// reference slots.
PyType_Spec spec = {"Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* index_type(PyObject* module) {
    if (the_type != nullptr) return reinterpret_cast<PyObject*>(the_type);
    // The type name carries no module prefix. The interpreter warns about a
    // spec type with neither a prefix nor a __module__ entry (so an import with
    // warnings turned into errors would fail), and such a class has no
    // __module__ at all: the placeholder entry avoids the one, and the module's
    // own name, set in its place, the other.
    PyRef type(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0)
        return nullptr;
    the_type = reinterpret_cast<PyTypeObject*>(type.release());
    return reinterpret_cast<PyObject*>(the_type);
}

}  // namespace brimel::binding
