// What the Index and the Bank types share.
#include "store_types.hpp"

#include "arguments.hpp"

namespace brimel::binding {

// Built by appending: GCC 12 at -O3 reports a false -Wrestrict overlap for
// the same text built with operator+ once this is inlined in two callers.
ByteSpan matrix_argument(HeldArray& held, const char* name, std::uint64_t d_bytes,
                         const MatrixMessages& messages) {
    const MatrixView view = held.pin_matrix(name);
    if (!view.c_contiguous) raise(PyExc_ValueError, messages.not_c_contiguous);
    if (view.d_bytes != d_bytes) {
        std::string text = name;
        text += " must be 2-D with shape[1] == d_bytes (";
        text += std::to_string(d_bytes);
        text += "), got shape [";
        text += std::to_string(view.n);
        text += ", ";
        text += std::to_string(view.d_bytes);
        text += "]";
        raise(PyExc_ValueError, text);
    }
    if (!is_standard_layout(view)) raise(PyExc_ValueError, messages.not_back_to_back);
    if (!messages.too_many_rows.empty() && !rows_fit_ids(view.n))
        throw RowLimit(std::string(messages.too_many_rows));
    return matrix_bytes(view);
}

std::string path_argument(PyObject* object) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(object, &converted) == 0) argument_extraction_error("path");
    PyRef bytes(converted);
    return {PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get()))};
}

PyObject* module_type(PyType_Spec* description, PyObject* module) {
    PyRef type(PyType_FromSpec(description));
    if (!type) return nullptr;
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0)
        return nullptr;
    return type.release();
}

}  // namespace brimel::binding
