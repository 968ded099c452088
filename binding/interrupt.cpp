#include "interrupt.hpp"

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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

// Engine threads are kept between runs: starting a thread, and oneTBB's
// set-up of each new thread that enters the pool's arena, cost about 85 us a
// run in a C++ loop of 5k-row SimHash joins (140 us each), and 20 to 60 us
// of CPU time a call from Python. A kept thread waits for its next job; one
// that finds kMostIdle others idle ends instead, so a module keeps no more
// threads than it ran runs at once, and at most kMostIdle idle (each of the
// two modules has its own list).
struct EngineThread {
    std::mutex mutex;
    std::condition_variable woken;
    std::function<void()> job;  // empty while idle
};

constexpr std::size_t kMostIdle = 8;

struct IdleEngines {
    std::mutex mutex;
    std::vector<EngineThread*> threads;
};

// Never destroyed: idle threads wait on their EngineThread while the process
// exits. A child of fork() starts with none (the parent's threads are not in
// the child); the parent's are left to it.
IdleEngines* idle = new IdleEngines;

void serve(EngineThread* self) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(self->mutex);
            self->woken.wait(lock, [&] { return static_cast<bool>(self->job); });
            job = std::exchange(self->job, nullptr);
        }
        job();
        std::lock_guard lock(idle->mutex);
        if (idle->threads.size() >= kMostIdle) {
            delete self;  // nothing else refers to a thread that is not idle
            return;
        }
        idle->threads.push_back(self);
    }
}

// Runs `job` on an idle kept thread, or on a new one. Throws std::bad_alloc
// when no thread can be started. `job` must not throw.
void run_on_engine_thread(std::function<void()> job) {
    static const bool forks_handled = [] {
        // It fails only when out of memory.
        if (pthread_atfork(nullptr, nullptr, [] { idle = new IdleEngines; }) != 0) throw std::bad_alloc();
        return true;
    }();
    (void)forks_handled;
    EngineThread* engine = nullptr;
    {
        std::lock_guard lock(idle->mutex);
        if (!idle->threads.empty()) {
            engine = idle->threads.back();
            idle->threads.pop_back();
        }
    }
    if (engine == nullptr) {
        auto fresh = std::make_unique<EngineThread>();
        fresh->job = std::move(job);
        try {
            std::thread(serve, fresh.get()).detach();
        } catch (const std::system_error&) {
            throw std::bad_alloc();  // no thread could be started: threads or memory ran out
        }
        fresh.release();  // the thread owns it now
        return;
    }
    {
        std::lock_guard lock(engine->mutex);
        engine->job = std::move(job);
    }
    engine->woken.notify_one();
}

}  // namespace

void await_engine(const std::function<bool()>& task, RunControl& control, PyObject* progress) {
    ReleasedRun run(&control);
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool completed = false;
    // The job touches this frame's locals last when it sets `done` under the
    // lock, which this thread waits for before it returns.
    run_on_engine_thread([&] {
        const bool ok = task();
        std::lock_guard lock(mutex);
        completed = ok;
        done = true;
        finished.notify_one();
    });
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
    if (exiting || !run.reacquire(state)) run.park();
    if (stopped || (completed && !report(progress, control))) throw PythonErrorAlreadySet{};
}

}  // namespace brimel::binding
