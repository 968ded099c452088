#include "errors.hpp"

#include <new>

#include "brimel/errors.hpp"
#include "brimel/kernels.hpp"

namespace brimel::binding {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code called from Python fails an internal assertion.\n\n"
    "Like SystemExit, it derives from BaseException, so that it will typically\n"
    "propagate all the way up and end the interpreter.";

constexpr const char* kGenericPanicText = "the native code failed without a message";

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // one strong reference, kept for the process
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("brimel_native_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    return type;
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorAlreadySet{};
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorAlreadySet&) {
        if (!PyErr_Occurred()) {
            PyObject* type = panic_exception_type();
            if (type != nullptr) PyErr_SetString(type, "Python API call failed");
        }
    } catch (const RowLimit& limit) {  // more rows than 32-bit ids number
        PyErr_SetString(PyExc_OverflowError, limit.what());
    } catch (const KernelUnavailable& refused) {  // BRIMEL_KERNEL, read as the modules are imported
        PyErr_SetString(PyExc_ImportError, refused.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can ever hold
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        PyObject* type = panic_exception_type();
        if (type == nullptr) return;  // its creation failure is now the pending error
        const char* text = failure.what();
        PyErr_SetString(type, (text != nullptr && *text != '\0') ? text : kGenericPanicText);
    } catch (...) {
        PyObject* type = panic_exception_type();
        if (type != nullptr) PyErr_SetString(type, kGenericPanicText);
    }
}

}  // namespace brimel::binding
