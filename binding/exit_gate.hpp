// Native runs that release the interpreter lock, and the interpreter's exit.
//
// When the interpreter finalises while a thread it does not join (a daemon
// thread, a Dask worker's thread) is in a native run with the lock released,
// CPython ends that thread as soon as it asks for the lock back: pthread_exit
// inside PyEval_RestoreThread. The forced unwind would run the run's
// destructors without the lock while its engine thread still works (and
// still uses the run's locals) and release its arrays under the finalising
// interpreter.
//
// So a run never asks for the lock back once the interpreter is exiting:
//  - a run holds a ReleasedRun from before it releases the lock until it has
//    taken it back;
//  - an atexit callback, registered on the first import in the main
//    interpreter, runs on the exiting thread once the threading module has
//    joined its non-daemon threads and before finalisation starts. It marks
//    the process as exiting, cancels the runs' RunControls and waits, without
//    the lock, until every run has either taken the lock back (it then
//    finishes in Python, before finalisation) or parked;
//  - a run that finds the process exiting when it would take the lock back,
//    or that starts on another thread after the callback, parks: with its
//    engine stopped, its thread waits for the end of the process, holding
//    what it holds. The exiting thread's own runs (later atexit callbacks)
//    run as usual.
// Runs that cannot be cancelled (no RunControl) are waited for to the end.
#pragma once

#include <Python.h>

#include "brimel/run_control.hpp"

namespace brimel::binding {

class ReleasedRun {
public:
    // Called with the lock held, which the caller then releases. A run started
    // on another thread than the exiting one after the atexit callback parks
    // here instead (releasing the lock).
    explicit ReleasedRun(RunControl* control = nullptr);
    // Called with the lock held, once it was taken back.
    ~ReleasedRun();
    ReleasedRun(const ReleasedRun&) = delete;
    ReleasedRun& operator=(const ReleasedRun&) = delete;

    // Called without the lock: takes it back (PyEval_RestoreThread(state)) and
    // returns true, or returns false without it when the process is exiting.
    bool reacquire(PyThreadState* state);
    // Called without the lock, once nothing works on the run's behalf any
    // more: waits for the end of the process.
    [[noreturn]] void park();

private:
    RunControl* control_;
    ReleasedRun* previous_ = nullptr;
    ReleasedRun* next_ = nullptr;
    bool listed_ = false;

    friend struct ExitGate;
};

// Registers the atexit callback above, once per process, when called in the
// main interpreter. Throws PythonErrorAlreadySet.
void register_exit_callback();

}  // namespace brimel::binding
