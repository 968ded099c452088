#include "arguments.hpp"

#include "errors.hpp"
#include "python_ref.hpp"

namespace brimel::binding {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += (i + 1 == names.size()) ? " and " : " ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

std::string to_utf8(PyObject* text) {
    PyRef bytes(checked(PyUnicode_AsUTF8String(text)));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

// Reads an int (or the result of __index__) as a C long; on failure the
// interpreter's TypeError or OverflowError is pending.
bool read_long(PyObject* object, long& value) {
    if (PyLong_Check(object)) {
        value = PyLong_AsLong(object);
    } else {
        PyRef index(PyNumber_Index(object));
        if (!index) return false;
        value = PyLong_AsLong(index.get());
    }
    return !(value == -1 && PyErr_Occurred());
}

}  // namespace

BoundArguments bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs) {
    const std::string fname = std::string(function.name) + "()";
    const std::size_t count = function.parameters.size();
    BoundArguments slots(count, nullptr);

    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    if (given < 0) throw PythonErrorAlreadySet{};
    if (static_cast<std::size_t>(given) > count) {
        const std::string takes =
            function.optional == 0
                ? std::to_string(count)
                : "from " + std::to_string(count - function.optional) + " to " + std::to_string(count);
        raise(PyExc_TypeError, fname + " takes " + takes + " positional arguments but " +
                                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t p = 0; p < given; ++p) slots[p] = checked(PyTuple_GetItem(args, p));

    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::size_t match = count;
            for (std::size_t p = 0; p < count; ++p) {
                const int equal =
                    PyUnicode_Check(key) ? PyUnicode_CompareWithASCIIString(key, function.parameters[p]) : 1;
                if (equal == 0) {
                    match = p;
                    break;
                }
            }
            if (match == count) {
                PyRef text(checked(PyObject_Str(key)));
                raise(PyExc_TypeError,
                      fname + " got an unexpected keyword argument '" + to_utf8(text.get()) + "'");
            }
            if (slots[match] != nullptr)
                raise(PyExc_TypeError,
                      fname + " got multiple values for argument '" + function.parameters[match] + "'");
            slots[match] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p + function.optional < count; ++p)
        if (slots[p] == nullptr) missing.push_back(function.parameters[p]);
    if (!missing.empty())
        raise(PyExc_TypeError, fname + " missing " + std::to_string(missing.size()) +
                                   " required positional argument" + (missing.size() > 1 ? "s" : "") + ": " +
                                   quoted_list(missing));
    return slots;
}

void argument_extraction_error(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyRef old_type(type), old_value(value), old_traceback(traceback);
        PyRef text(PyObject_Str(old_value.get()));
        if (!text) throw PythonErrorAlreadySet{};
        PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
        if (!message) throw PythonErrorAlreadySet{};
        PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
        if (!replacement) throw PythonErrorAlreadySet{};
        if (PyObject* cause = PyException_GetCause(old_value.get()))
            PyException_SetCause(replacement.get(), cause);  // steals the new reference
        PyErr_SetObject(PyExc_TypeError, replacement.get());
    }
    throw PythonErrorAlreadySet{};
}

void set_conversion_error(PyObject* object, const char* expected) {
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'",
                     expected);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), expected);
}

std::uint32_t extract_u32(PyObject* object, const char* name) {
    long value = 0;
    if (!read_long(object, value)) argument_extraction_error(name);
    if (value < 0 || value > 0xFFFFFFFFL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        argument_extraction_error(name);
    }
    return static_cast<std::uint32_t>(value);
}

std::uint64_t extract_u64(PyObject* object, const char* name) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index.reset(PyNumber_Index(object));
        if (!index) argument_extraction_error(name);
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_extraction_error(name);
    return value;
}

}  // namespace brimel::binding
