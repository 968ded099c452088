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
#include "interrupt.hpp"
#include "python_ref.hpp"
#include "results.hpp"
#include "store_types.hpp"

namespace brimel::binding {
namespace {

struct IndexObject {
    PyObject_HEAD Index* index;  // owned; released by the deallocator
    Py_ssize_t access;           // 0 idle, > 0 shared uses, -1 one exclusive use
};

PyTypeObject* the_type = nullptr;  // one strong reference, kept for the process

// The named tuple query_batch returns, the one brimel_native.find_pairs
// returns: defined by the package (brimel_native.pairs) and handed over once
// as it is imported (set_pairs_type), so that the binding imports no module
// of the package. One strong reference.
PyObject* pairs_type = nullptr;

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
const FunctionDescription kQueryBatch{"Index.query_batch", {"rows", "k"}, 1};
const FunctionDescription kSave{"Index.save", {"path"}};
const FunctionDescription kLoad{"Index.load", {"path", "mmap"}, 1};

// A new Index object owning `engine`.
PyObject* wrap_index(PyTypeObject* type, std::unique_ptr<Index> engine) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = checked(alloc(type, 0));
    auto* self = reinterpret_cast<IndexObject*>(object);
    self->index = engine.release();
    self->access = 0;
    return object;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kNew, args, kwargs);
        const std::uint64_t d_bytes = extract_u64(bound[0], "d_bytes");
        const std::uint32_t k = extract_u32(bound[1], "k");
        if (d_bytes == 0) raise(PyExc_ValueError, "Index: d_bytes must be >= 1");
        if (!k_below_code_bits(k, d_bytes))
            raise(PyExc_ValueError, messages::k_not_below_code_bits("Index: ", k, d_bytes));
        // After the check above, whose text may print a wrapped 8*d_bytes: a
        // width whose bit count wraps would break every later product.
        if (d_bytes > kMaxCodeBytes) raise(PyExc_ValueError, "Index: " + code_width_message(d_bytes));
        return wrap_index(type, std::make_unique<Index>(Index::create(d_bytes, k)));
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

// A read of a property: a shared use for its duration.
struct IndexRead {
    explicit IndexRead(PyObject* object) : self(as_index(object)), use(self) {}
    const Index& engine() const { return *self->index; }
    IndexObject* self;
    SharedUse use;
};

PyObject* get_k(PyObject* object, void*) {
    return read_field<IndexRead>(object,
                                 [](const Index& index) { return PyLong_FromUnsignedLong(index.k()); });
}

PyObject* get_n(PyObject* object, void*) {
    return read_field<IndexRead>(object,
                                 [](const Index& index) { return PyLong_FromUnsignedLong(index.n()); });
}

PyObject* get_d_bytes(PyObject* object, void*) {
    return read_field<IndexRead>(
        object, [](const Index& index) { return PyLong_FromUnsignedLongLong(index.d_bytes()); });
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
        // A full index (ids are 32-bit) throws IndexFull, a RowLimit: OverflowError.
        const std::uint32_t id = self->index->add(row_bytes(view));
        row.release_array();
        return PyLong_FromUnsignedLong(id);
    });
}

// The matrix argument `name` of add_batch and query_batch.
ByteSpan index_matrix(HeldArray& held, const char* name, std::uint64_t d_bytes,
                      std::string_view too_many_rows) {
    const std::string pass =
        std::string(name) + " must be C-contiguous; pass np.ascontiguousarray(" + name + ")";
    return matrix_argument(held, name, d_bytes, {pass, std::string(name) + " not contiguous", too_many_rows});
}

PyObject* index_add_batch(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kAddBatch, args, kwargs);
        IndexObject* self = as_index(object);
        const ExclusiveUse use(self);
        HeldArray batch = extract_code_array(bound[0], "batch");
        Index& index = *self->index;
        // More rows than ids can name: the engine's IndexFull.
        const ByteSpan rows = index_matrix(batch, "batch", index.d_bytes(), {});
        // Ctrl-C stops it within a poll, and then nothing was added.
        const std::uint32_t first =
            run_interruptible([&](RunControl& control) { return index.add_batch(rows, &control); });
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

PyObject* index_query_batch(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kQueryBatch, args, kwargs);
        IndexObject* self = as_index(object);
        const SharedUse use(self);
        HeldArray rows = extract_code_array(bound[0], "rows");
        const Index& index = *self->index;
        const std::uint32_t k =
            bound[1] == nullptr || bound[1] == Py_None ? index.k() : extract_u32(bound[1], "k");
        const ByteSpan bytes = index_matrix(rows, "rows", index.d_bytes(), messages::kTooManyQueryRows);
        if (k > index.k())
            raise(PyExc_ValueError, "Index.query_batch: k (" + std::to_string(k) +
                                        ") must be <= the index's k (" + std::to_string(index.k()) + ")");
        auto records =
            run_interruptible([&](RunControl& control) { return index.query_batch(bytes, k, &control); });
        rows.release_array();
        PyRef arrays(pairs_to_arrays(std::move(records), k));
        if (pairs_type == nullptr) throw InternalFailure("Index.query_batch: Pairs was never handed over");
        return checked(PyObject_CallObject(pairs_type, arrays.get()));
    });
}

PyObject* index_save(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kSave, args, kwargs);
        IndexObject* self = as_index(object);
        const SharedUse use(self);
        const std::string path = path_argument(bound[0]);
        const Index& index = *self->index;
        file_operation(bound[0], "Index.save", [&] {
            index.save(path);
            return true;
        });
        Py_RETURN_NONE;
    });
}

PyObject* index_load(PyObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kLoad, args, kwargs);
        const std::string path = path_argument(bound[0]);
        const bool map = bound[1] != nullptr && checked_truth(bound[1]);
        auto engine = file_operation(bound[0], "Index.load",
                                     [&] { return std::make_unique<Index>(Index::load(path, map)); });
        return wrap_index(reinterpret_cast<PyTypeObject*>(type), std::move(engine));
    });
}

// Pickling: (Index, (d_bytes, k), state), the state being the bytes of an
// index file. The unpickler makes an empty index with the constructor, as any
// user would, and __setstate__ fills it from the state. The file bytes are
// checked as Index.load checks a file (so a tampered pickle is a ValueError,
// not a broken index), and __setstate__ refuses an index that holds rows: it
// restores, it never replaces. copy.copy and copy.deepcopy take the same path.
PyObject* index_reduce(PyObject* object, PyObject*) {
    return guarded([&]() -> PyObject* {
        IndexObject* self = as_index(object);
        const SharedUse use(self);
        const Index& index = *self->index;
        const std::uint64_t size = index.saved_size();
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        PyRef state(checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(state.get()));
        without_gil([&] {
            index.save_to({out, static_cast<std::size_t>(size)});
            return true;
        });
        PyRef arguments(checked(Py_BuildValue("(KI)", static_cast<unsigned long long>(index.d_bytes()),
                                              static_cast<unsigned int>(index.k()))));
        return checked(
            PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(object)), arguments.get(), state.get()));
    });
}

PyObject* index_setstate(PyObject* object, PyObject* state) {
    return guarded([&]() -> PyObject* {
        IndexObject* self = as_index(object);
        const ExclusiveUse use(self);
        if (!PyBytes_Check(state)) {
            set_conversion_error(state, "PyBytes");
            argument_extraction_error("state");
        }
        Index& index = *self->index;
        if (index.n() != 0)
            raise(PyExc_ValueError, "Index.__setstate__: this Index already holds " +
                                        std::to_string(index.n()) +
                                        " rows; a state is only restored into a new, empty Index");
        const ByteSpan bytes{reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(state)),
                             static_cast<std::size_t>(PyBytes_Size(state))};
        auto restored = file_operation(state, "Index.__setstate__",
                                       [&] { return std::make_unique<Index>(Index::from_bytes(bytes)); });
        if (restored->d_bytes() != index.d_bytes() || restored->k() != index.k())
            raise(PyExc_ValueError, "Index.__setstate__: the state holds an index of d_bytes " +
                                        std::to_string(restored->d_bytes()) + ", k " +
                                        std::to_string(restored->k()) + "; this Index has d_bytes " +
                                        std::to_string(index.d_bytes()) + ", k " + std::to_string(index.k()));
        index = std::move(*restored);
        Py_RETURN_NONE;
    });
}

PyObject* index_repr(PyObject* object) {
    return guarded([&]() -> PyObject* {
        IndexObject* self = as_index(object);
        const SharedUse use(self);
        const Index& index = *self->index;
        const std::string text = "Index(d_bytes=" + std::to_string(index.d_bytes()) +
                                 ", k=" + std::to_string(index.k()) + ", n=" + std::to_string(index.n()) +
                                 ")";
        return checked(PyUnicode_FromString(text.c_str()));
    });
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
    method("query_batch", index_query_batch,
           "query_batch($self, rows, k=None)\n--\n\n"
           "Query many rows at once (2-D uint8 array, shape (m, d_bytes)), with\n"
           "bound `k` (default: the index's k; at most the index's k). Returns\n"
           "`Pairs(i, j, distance)` as `find_pairs` does: query row `i`, stored\n"
           "id `j`, sorted by (i, j), the hits `query(rows[i])` would give.\n"
           "Runs on all cores with the interpreter lock released."),
    method("save", index_save,
           "save($self, path)\n--\n\n"
           "Write the index to the file `path` (str or os.PathLike): its stored\n"
           "codes and their tables, with checksums. An existing file is replaced\n"
           "atomically (a temporary file in the same directory, fsync, rename),\n"
           "so a crash, a kill or a full disk leaves the old file or the new one.\n"
           "Failures to write raise OSError."),
    method("load", index_load,
           "load($type, path, mmap=False)\n--\n\n"
           "Read an index written by `save`; its ids and answers are those of the\n"
           "saved index, and its tables come from the file as they are (a file of\n"
           "an earlier release holds codes only: its tables are built). With\n"
           "mmap=True the file is mapped instead of read, so that an index of any\n"
           "size answers at once; only its head and table of contents are checked\n"
           "then. A file that is truncated, corrupted, not an index file or of a\n"
           "newer format raises ValueError; one that cannot be read, OSError.",
           METH_CLASS),
    {"__reduce__", reinterpret_cast<PyCFunction>(index_reduce), METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle support: the index as the bytes of its saved file."},
    {"__setstate__", index_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nRestore a pickled index into this new, empty one."},
    {nullptr, nullptr, 0, nullptr},
};

// Stands in for the class's __module__ entry while the type is created (see
// module_type); replaced by the module's name right after.
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
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_mp_length, reinterpret_cast<void*>(index_length)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or weak
// reference slots.
PyType_Spec description = {"Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

void set_pairs_type(PyObject* type) {
    Py_INCREF(type);
    PyObject* before = pairs_type;
    pairs_type = type;
    Py_XDECREF(before);
}

PyObject* index_type(PyObject* module) {
    if (the_type == nullptr) the_type = reinterpret_cast<PyTypeObject*>(module_type(&description, module));
    return reinterpret_cast<PyObject*>(the_type);
}

}  // namespace brimel::binding
