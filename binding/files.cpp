// Paths of the Index and the Bank types.
#include "files.hpp"

#include "arguments.hpp"

namespace brimel::binding {

std::string path_argument(PyObject* object) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(object, &converted) == 0) argument_extraction_error("path");
    PyRef bytes(converted);
    return {PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get()))};
}

PyObject* module_type(PyType_Spec* spec, PyObject* module) {
    PyRef type(PyType_FromSpec(spec));
    if (!type) return nullptr;
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0)
        return nullptr;
    return type.release();
}

}  // namespace brimel::binding
