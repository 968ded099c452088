#include "exit_gate.hpp"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "errors.hpp"
#include "python_ref.hpp"

namespace brimel::binding {

// The runs in flight (a doubly linked list through the runs themselves, so
// that starting a run allocates nothing) and the exit mark.
struct ExitGate {
    std::mutex mutex;
    std::condition_variable changed;
    ReleasedRun* runs = nullptr;
    bool exiting = false;
    std::thread::id exiting_thread;

    bool must_park() const { return exiting && std::this_thread::get_id() != exiting_thread; }

    void mark_exiting() {
        exiting = true;
        exiting_thread = std::this_thread::get_id();
        for (ReleasedRun* run = runs; run != nullptr; run = run->next_)
            if (run->control_ != nullptr) run->control_->cancel();
    }

    void unlist(ReleasedRun& run) {
        if (!run.listed_) return;
        (run.previous_ ? run.previous_->next_ : runs) = run.next_;
        if (run.next_) run.next_->previous_ = run.previous_;
        run.listed_ = false;
        changed.notify_all();
    }
};

namespace {

// Never destroyed: parked threads wait on it while the process exits. A child
// of fork() starts with a gate of its own (the parent's threads, and any lock
// they held, are not in the child).
ExitGate* gate = new ExitGate;

PyObject* on_exit(PyObject*, PyObject*) {
    ExitGate& g = *gate;
    {
        std::lock_guard lock(g.mutex);
        g.mark_exiting();
    }
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock lock(g.mutex);
        g.changed.wait(lock, [&] { return g.runs == nullptr; });
    }
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyMethodDef on_exit_definition = {"_brimel_exit", on_exit, METH_NOARGS, nullptr};

}  // namespace

ReleasedRun::ReleasedRun(RunControl* control) : control_(control) {
    ExitGate& g = *gate;
    std::unique_lock lock(g.mutex);
    if (g.must_park()) {
        lock.unlock();
        PyEval_SaveThread();
        park();
    }
    next_ = g.runs;
    if (next_) next_->previous_ = this;
    g.runs = this;
    listed_ = true;
}

ReleasedRun::~ReleasedRun() {
    std::lock_guard lock(gate->mutex);
    gate->unlist(*this);
}

bool ReleasedRun::reacquire(PyThreadState* state) {
    {
        std::lock_guard lock(gate->mutex);
        if (gate->must_park()) return false;
    }
    // The atexit callback may start now; it waits, without the lock, for this
    // run to leave the list, which happens once the lock is ours.
    PyEval_RestoreThread(state);
    return true;
}

void ReleasedRun::park() {
    ExitGate& g = *gate;
    std::unique_lock lock(g.mutex);
    g.unlist(*this);
    for (;;) g.changed.wait(lock);
}

void register_exit_callback() {
    static bool registered = false;
    if (registered || PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return;
    PyRef atexit(checked(PyImport_ImportModule("atexit")));
    PyRef callback(checked(PyCFunction_New(&on_exit_definition, nullptr)));
    PyRef done(checked(PyObject_CallMethod(atexit.get(), "register", "O", callback.get())));
    if (pthread_atfork(nullptr, nullptr, [] { gate = new ExitGate; }) != 0)
        raise(PyExc_OSError, "could not register a fork handler");
    registered = true;
}

}  // namespace brimel::binding
