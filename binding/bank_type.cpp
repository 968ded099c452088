// The native Bank type of _brimel_pairs, wrapped by brimel_native.Bank.
//
// The engine Bank is safe to use from any number of threads: reads work on
// the last published state and writes run one at a time. So, unlike the
// Index, the object keeps no access counter: every call releases the
// interpreter lock around its engine work and may overlap any other. The
// object itself (the pointer to the engine Bank) never changes after
// construction.
#include "bank_type.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
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

struct BankObject {
    PyObject_HEAD Bank* bank;  // owned; released by the deallocator
};

PyTypeObject* the_type = nullptr;  // one strong reference, kept for the process

BankObject* as_bank(PyObject* self) {
    if (!PyObject_TypeCheck(self, the_type)) {
        set_conversion_error(self, "Bank");
        throw PythonErrorAlreadySet{};
    }
    return reinterpret_cast<BankObject*>(self);
}

const FunctionDescription kNew{"Bank.__new__", {"d_bytes", "k"}};
const FunctionDescription kAddBatch{"Bank.add_batch", {"batch"}};
const FunctionDescription kRemove{"Bank.remove", {"ids"}};
const FunctionDescription kCompact{"Bank.compact", {}};
const FunctionDescription kQuery{"Bank.query", {"row", "k"}};
const FunctionDescription kQueryBatch{"Bank.query_batch", {"rows", "k"}};
const FunctionDescription kSave{"Bank.save", {"path"}};
const FunctionDescription kOpen{"Bank.open", {"path", "mmap"}};

PyObject* wrap_bank(PyTypeObject* type, std::unique_ptr<Bank> engine) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = checked(alloc(type, 0));
    reinterpret_cast<BankObject*>(object)->bank = engine.release();
    return object;
}

PyObject* bank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kNew, args, kwargs);
        const std::uint64_t d_bytes = extract_u64(bound[0], "d_bytes");
        const std::uint32_t k = extract_u32(bound[1], "k");
        if (d_bytes == 0) raise(PyExc_ValueError, "Bank: d_bytes must be >= 1");
        if (d_bytes > (std::uint64_t{1} << 56) || !k_below_code_width(k, d_bytes))
            raise(PyExc_ValueError, messages::k_not_below_code_bits("Bank: ", k, d_bytes));
        return wrap_bank(type, std::make_unique<Bank>(d_bytes, k));
    });
}

void bank_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<BankObject*>(object);
    delete self->bank;
    self->bank = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    Py_DECREF(type);
}

// A 2-D uint8 argument of d_bytes columns, back to back, as bytes.
ByteSpan matrix_argument(HeldArray& held, const char* name, std::uint64_t d_bytes) {
    const std::string contiguous = std::string(name) + " must be C-contiguous";
    return binding::matrix_argument(held, name, d_bytes, {contiguous, contiguous, messages::kTooManyRows});
}

std::uint32_t k_argument(PyObject* object, const Bank& bank) {
    const std::uint32_t k = object == nullptr || object == Py_None ? bank.k() : extract_u32(object, "k");
    if (k > bank.k())
        raise(PyExc_ValueError,
              "k (" + std::to_string(k) + ") must be <= the bank's k (" + std::to_string(bank.k()) + ")");
    return k;
}

PyObject* bank_add_batch(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kAddBatch, args, kwargs);
        Bank& bank = *as_bank(object)->bank;
        HeldArray batch = extract_code_array(bound[0], "batch");
        const ByteSpan rows = matrix_argument(batch, "batch", bank.d_bytes());
        // Ctrl-C stops it within a poll, and then nothing was added; a full
        // bank throws IndexFull, a RowLimit: OverflowError.
        const std::uint32_t first =
            run_interruptible([&](RunControl& control) { return bank.add_batch(rows, &control); });
        batch.release_array();
        return PyLong_FromUnsignedLong(first);
    });
}

PyObject* bank_compact(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        (void)bind_arguments(kCompact, args, kwargs);
        Bank& bank = *as_bank(object)->bank;
        run_interruptible([&](RunControl& control) {
            bank.compact(&control);
            return true;
        });
        Py_RETURN_NONE;
    });
}

// `ids` arrives as the bytes of a 1-D uint64 array, viewed as rows of 8
// bytes (the wrapper converts it), so that the one array intake serves.
PyObject* bank_remove(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kRemove, args, kwargs);
        Bank& bank = *as_bank(object)->bank;
        HeldArray held = extract_code_array(bound[0], "ids");
        const ByteSpan bytes = matrix_argument(held, "ids", 8);
        std::vector<std::uint64_t> ids(bytes.size() / 8);
        std::memcpy(ids.data(), bytes.data(), bytes.size());
        held.release_array();
        try {
            const std::uint64_t removed = without_gil([&] { return bank.remove(ids); });
            return PyLong_FromUnsignedLongLong(removed);
        } catch (const std::out_of_range& never_issued) {
            raise(PyExc_ValueError, never_issued.what());
        }
    });
}

PyObject* bank_query(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kQuery, args, kwargs);
        const Bank& bank = *as_bank(object)->bank;
        HeldArray row = extract_row_array(bound[0], "row");
        const RowView view = row.pin_row("row");
        if (!view.c_contiguous || (view.length >= 2 && view.stride != 1))
            raise(PyExc_ValueError, "row must be C-contiguous");
        if (view.length != bank.d_bytes())
            raise(PyExc_ValueError, "row length " + std::to_string(view.length) + " != d_bytes " +
                                        std::to_string(bank.d_bytes()));
        const std::uint32_t k = k_argument(bound[1], bank);
        const ByteSpan bytes{view.data, static_cast<std::size_t>(view.length)};
        auto hits = without_gil([&] { return bank.query(bytes, k); });
        row.release_array();
        return hits_to_list(std::move(hits));
    });
}

PyObject* bank_query_batch(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kQueryBatch, args, kwargs);
        const Bank& bank = *as_bank(object)->bank;
        HeldArray rows = extract_code_array(bound[0], "rows");
        const ByteSpan bytes = matrix_argument(rows, "rows", bank.d_bytes());
        const std::uint32_t k = k_argument(bound[1], bank);
        auto records =
            run_interruptible([&](RunControl& control) { return bank.query_batch(bytes, k, &control); });
        rows.release_array();
        return pairs_to_arrays(std::move(records), k);
    });
}

PyObject* bank_save(PyObject* object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kSave, args, kwargs);
        const Bank& bank = *as_bank(object)->bank;
        const std::string path = path_argument(bound[0]);
        file_operation(bound[0], "Bank.save", [&] {
            bank.save(path);
            return true;
        });
        Py_RETURN_NONE;
    });
}

PyObject* bank_open(PyObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const BoundArguments bound = bind_arguments(kOpen, args, kwargs);
        const std::string path = path_argument(bound[0]);
        const bool map = checked_truth(bound[1]);
        auto engine = file_operation(bound[0], "Bank.open", [&] { return Bank::load(path, map); });
        return wrap_bank(reinterpret_cast<PyTypeObject*>(type), std::move(engine));
    });
}

// Reads of a bank need nothing held: it publishes whole states.
struct BankRead {
    explicit BankRead(PyObject* object) : bank(*as_bank(object)->bank) {}
    const Bank& engine() const { return bank; }
    const Bank& bank;
};

PyObject* get_k(PyObject* object, void*) {
    return read_field<BankRead>(object, [](const Bank& bank) { return PyLong_FromUnsignedLong(bank.k()); });
}
PyObject* get_d_bytes(PyObject* object, void*) {
    return read_field<BankRead>(object,
                                [](const Bank& bank) { return PyLong_FromUnsignedLongLong(bank.d_bytes()); });
}
PyObject* get_n(PyObject* object, void*) {
    return read_field<BankRead>(object,
                                [](const Bank& bank) { return PyLong_FromUnsignedLongLong(bank.next_id()); });
}
PyObject* get_live(PyObject* object, void*) {
    return read_field<BankRead>(object,
                                [](const Bank& bank) { return PyLong_FromUnsignedLongLong(bank.live()); });
}

PyMethodDef methods[] = {
    method("add_batch", bank_add_batch, "add_batch($self, batch)\n--\n\nAdd rows; the first id."),
    method("remove", bank_remove,
           "remove($self, ids)\n--\n\nRemove ids (rows of 8 bytes); how many were live."),
    method("compact", bank_compact, "compact($self)\n--\n\nMerge all segments into one."),
    method("query", bank_query, "query($self, row, k)\n--\n\n(id, distance) of live rows within k."),
    method("query_batch", bank_query_batch, "query_batch($self, rows, k)\n--\n\n(i, j, distance) arrays."),
    method("save", bank_save, "save($self, path)\n--\n\nReplace the file at path atomically."),
    method("open", bank_open, "open($type, path, mmap)\n--\n\nRead or map a bank or index file.", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* module_placeholder(PyObject*, void*) { return PyUnicode_FromString("_brimel_pairs"); }

PyGetSetDef properties[] = {
    {"k", get_k, nullptr, nullptr, nullptr},
    {"d_bytes", get_d_bytes, nullptr, nullptr, nullptr},
    {"n", get_n, nullptr, nullptr, nullptr},
    {"live", get_live, nullptr, nullptr, nullptr},
    {"__module__", module_placeholder, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bank_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bank_dealloc)},
    {Py_tp_doc, const_cast<char*>("Bank(d_bytes, k)\n--\n\nThe engine of brimel_native.Bank.")},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec description = {"Bank", sizeof(BankObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* bank_type(PyObject* module) {
    if (the_type == nullptr) the_type = reinterpret_cast<PyTypeObject*>(module_type(&description, module));
    return reinterpret_cast<PyObject*>(the_type);
}

}  // namespace brimel::binding
