// An owned Python reference: released on every path out of a scope.
#pragma once

#include <Python.h>

#include <utility>

namespace brimel::binding {

class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) {
        PyObject* old = std::exchange(object_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace brimel::binding
