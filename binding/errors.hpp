// How failures reach Python.
//
// Binding code reports every failure by throwing: raise() sets a Python
// exception and throws PythonErrorAlreadySet, checked() does the same for a
// CPython call that failed. Only `guarded`, which wraps every native entry,
// speaks CPython's protocol (nullptr, or -1 for a length slot): it turns a C++
// exception into a Python one after the entry's locals (held arrays, access
// uses) have been released by their destructors (the tiers of
// brimel/errors.hpp):
//   brimel::RowLimit        -> OverflowError carrying what() (more rows than
//                              32-bit ids number; nothing was changed)
//   KernelUnavailable       -> ImportError carrying what() (BRIMEL_KERNEL
//                              cannot be honoured; both modules ask for the
//                              kernel as they are imported)
//   std::bad_alloc,         -> MemoryError (native memory ran out, or a
//   std::length_error          container was asked for more than it can hold;
//                              the next call works, nothing is leaked)
//   PythonErrorAlreadySet   -> the pending Python exception, unchanged
//   anything else           -> PanicException carrying what() (engine
//                              assertions, missing NumPy)
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "exit_gate.hpp"

namespace brimel::binding {

// Thrown by binding code after a CPython call failed and left its exception set.
struct PythonErrorAlreadySet {};

// An internal failure of the binding itself, reported as PanicException.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The PanicException class, created on first use and kept for the process;
// base BaseException. nullptr with an exception set if it cannot be created.
PyObject* panic_exception_type();

// Sets the Python exception for the C++ exception being handled (see above).
// Call only from inside a catch block.
void raise_current_exception() noexcept;

// Sets `type` with `message` and throws PythonErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Runs a native entry body; any C++ exception becomes a Python exception and
// the entry returns `failure` (nullptr for objects, -1 for a length slot).
template <class Body, class Result = decltype(std::declval<Body&>()())>
Result guarded(Body&& body, Result failure = Result{}) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

// Runs `fn` with the interpreter lock released; only plain values may be used
// inside. The lock is taken back before any exception leaves. When the
// interpreter exits meanwhile, the thread parks instead (exit_gate.hpp).
template <class Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
    std::optional<decltype(fn())> result;
    std::exception_ptr failure;
    ReleasedRun run;
    PyThreadState* state = PyEval_SaveThread();
    try {
        result.emplace(fn());
    } catch (...) {
        failure = std::current_exception();
    }
    if (!run.reacquire(state)) run.park();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Throws PythonErrorAlreadySet when `object` is nullptr; returns it otherwise.
inline PyObject* checked(PyObject* object) {
    if (object == nullptr) throw PythonErrorAlreadySet{};
    return object;
}

}  // namespace brimel::binding
