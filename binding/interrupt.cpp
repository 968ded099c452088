#include "interrupt.hpp"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "errors.hpp"
#include "exit_gate.hpp"

namespace brimel::binding {
namespace {

// Calls progress(done, total); false with the callback's exception pending if
// it raised.
bool report(PyObject* progress, const RunControl& control) {
    if (progress == nullptr) return true;
    const RunControl::Progress now = control.progress();
    PyObject* returned = PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(now.rows_done),
                                               static_cast<unsigned long long>(now.rows_total));
    if (returned == nullptr) return false;
    Py_DECREF(returned);
    return true;
}

}  // namespace

void await_engine(const std::function<bool()>& task, RunControl& control, PyObject* progress) {
    ReleasedRun run(&control);
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool completed = false;
    std::thread engine;
    try {
        engine = std::thread([&] {
            const bool ok = task();
            std::lock_guard lock(mutex);
            completed = ok;
            done = true;
            finished.notify_one();
        });
    } catch (const std::system_error&) {
        throw std::bad_alloc();  // no thread could be started: threads or memory ran out
    }
    bool stopped = false;  // a Python error is pending, or the process exits, and the run is cancelled
    bool exiting = false;
    PyThreadState* state = PyEval_SaveThread();
    for (;;) {
        {
            std::unique_lock lock(mutex);
            if (finished.wait_for(lock, kPollInterval, [&] { return done; })) break;
        }
        if (stopped) continue;  // waiting for the engine to unwind
        if (!run.reacquire(state)) {
            control.cancel();
            stopped = exiting = true;
            continue;
        }
        if (PyErr_CheckSignals() < 0 || !report(progress, control)) {
            control.cancel();
            stopped = true;
        }
        state = PyEval_SaveThread();
    }
    engine.join();
    if (exiting || !run.reacquire(state)) run.park();
    if (stopped || (completed && !report(progress, control))) throw PythonErrorAlreadySet{};
}

}  // namespace brimel::binding
