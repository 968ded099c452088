// Engine runs that Ctrl-C (and a progress callback) can stop.
//
// The engine's pool runs a stage handed to it by a thread outside the pool
// while that thread waits inside the pool, so the calling thread cannot both
// run the engine and watch for signals. run_interruptible therefore runs the
// engine on a thread of its own (kept for later runs) and, with the
// interpreter lock released, waits for it, waking every kPollInterval to take
// the lock back, call PyErr_CheckSignals() (where Ctrl-C raises
// KeyboardInterrupt, or a Python signal handler runs) and the progress
// callback, if any. When either fails, the run's RunControl is cancelled; the
// engine stops at its next poll (a few milliseconds), unwinds, freeing what
// it held, and the pending Python exception is reported by throwing
// PythonErrorAlreadySet. Otherwise the engine's own result or exception
// comes back unchanged (std::bad_alloc stays MemoryError through `guarded`).
//
// The callback is called from the calling thread with the lock held, as
// progress(done, total) with the counts of RunControl::progress(): rows of A
// verified summed over the plan's parts, out of parts * rows. It is called
// once more with the final counts when the run completes. Signals are only
// seen when the calling thread is the main thread (CPython's rule); from
// other threads the run can still be stopped by its callback.
#pragma once

#include <Python.h>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "brimel/run_control.hpp"

namespace brimel::binding {

inline constexpr std::chrono::milliseconds kPollInterval{50};

// Runs `task` on an engine thread and waits as described above; `task` must
// not throw, and returns whether the run completed (the final progress call is
// made only then). Throws PythonErrorAlreadySet when a Python error stopped
// the run; std::bad_alloc when no thread can be started.
void await_engine(const std::function<bool()>& task, RunControl& control, PyObject* progress);

// Runs work(control) -> Result as described above. `progress` is a callable or
// nullptr; it is borrowed and must outlive the call.
template <class Work>
auto run_interruptible(Work&& work, PyObject* progress = nullptr)
    -> decltype(work(std::declval<RunControl&>())) {
    RunControl control;
    std::optional<decltype(work(control))> result;
    std::exception_ptr failure;
    await_engine(
        [&] {
            try {
                result.emplace(work(control));
                return true;
            } catch (...) {
                failure = std::current_exception();
                return false;
            }
        },
        control, progress);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace brimel::binding
