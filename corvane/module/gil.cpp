#include "gil.hpp"

#include <pybind11/pybind11.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cxxabi.h>
#include <mutex>
#include <thread>

namespace corvane::gil {

namespace {

constexpr auto kSignalPeriod = std::chrono::milliseconds(100);
// How long the exit hook waits for threads inside the extension's functions.
constexpr auto kExitWait = std::chrono::seconds(5);

// Never destroyed: parked threads may still wait on the mutex while the
// process runs its static destructors.
struct ExitState {
    std::mutex mutex;
    // Written under the mutex; atomic for the quick look of nested calls.
    std::atomic<bool> exiting{false};
    std::atomic<unsigned long> exit_thread{0};  // the thread that ran the hook
    bool hooked = false;            // guarded by the interpreter lock
    // Threads that may run interpreter code for one of the extension's
    // functions or for a C++ worker: inside a CallScope and not in a
    // Release, or inside an Acquire.  Changed without the mutex where the
    // thread holds the interpreter lock (taking the mutex then could
    // deadlock); the exit hook polls it.
    std::atomic<long> attached{0};
    // Threads inside a LibraryCall.
    std::atomic<long> in_library{0};
};

thread_local int call_depth = 0;

ExitState *g_state = new ExitState();

ExitState &exit_state() { return *g_state; }

// In a forked child only the forking thread lives on: the mutex may have
// been held by another thread of the parent, and the counts are the
// parent's.  The child starts from a fresh state (its atexit hook is
// inherited).
void after_fork_in_child() {
    const bool hooked = g_state->hooked;
    g_state = new ExitState();
    g_state->hooked = hooked;
    g_state->attached = call_depth > 0 ? 1 : 0;
}

[[maybe_unused]] const int fork_handler_installed = pthread_atfork(nullptr, nullptr, after_fork_in_child);

// The end of a thread that may not take the lock again.  It never returns
// and never unwinds, so nothing on its stack runs without the lock; the
// process exits around it.
[[noreturn]] void park_now() {
    for (;;) pause();
}

// Parks the calling thread; the caller holds the state's mutex, given as
// `lock`.
[[noreturn]] void park(std::unique_lock<std::mutex> &lock) {
    lock.unlock();
    park_now();
}

// Whether the calling thread must not take the lock again.  The caller
// holds the state's mutex.
bool must_park(const ExitState &s) { return s.exiting && PyThread_get_thread_ident() != s.exit_thread; }

// Takes the lock back with a saved thread state, for a Release inside one
// of the extension's functions or outside any.  A thread inside a function
// counts as attached again before the mutex is let go: counted after it,
// the exit hook could take the mutex in between, see no attached thread and
// let finalisation begin while this one goes on to run interpreter code
// (a numpy call that gives the lock up and takes it back ends the thread
// then, in the middle of C++ frames holding references).
void restore(PyThreadState *state) {
    ExitState &s = exit_state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (must_park(s)) park(lock);
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        // Finalisation began without the hook (it was unregistered, or the
        // interpreter is embedded): stop here instead of unwinding.
        park(lock);
    }
    if (call_depth > 0) ++s.attached;
}

PyObject *exit_hook(PyObject *, PyObject *) {
    ExitState &s = exit_state();
    // Threads waiting for the lock hold the mutex: give them the lock first.
    PyThreadState *state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.exit_thread = PyThread_get_thread_ident();
        s.exiting = true;
        // The hook's own thread may be inside a function (an atexit callback
        // calling one): it is not waited for.
        const long own = call_depth > 0 ? 1 : 0;
        const auto deadline = std::chrono::steady_clock::now() + kExitWait;
        while ((s.attached.load() > own || s.in_library.load() > 0) && std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            lock.lock();
        }
    }
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_park_threads_at_exit", exit_hook, METH_NOARGS,
                             "Parks this extension's threads that want the interpreter lock after exit began."};

}  // namespace

void install_exit_hook() {
    ExitState &s = exit_state();
    if (s.hooked) return;
    PyObject *fn = PyCFunction_New(&exit_hook_def, nullptr);
    if (!fn) throw pybind11::error_already_set();
    PyObject *atexit = PyImport_ImportModule("atexit");
    PyObject *r = atexit ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(atexit);
    Py_DECREF(fn);
    if (!r) throw pybind11::error_already_set();
    Py_DECREF(r);
    s.hooked = true;
}

bool exiting() { return exit_state().exiting.load(); }

Release::Release() : next_check_(std::chrono::steady_clock::now() + kSignalPeriod) {
    install_exit_hook();
    if (call_depth > 0) --exit_state().attached;
    state_ = PyEval_SaveThread();
}

Release::~Release() {
    restore(state_);
    if (raised_) PyErr_SetRaisedException(raised_);
}

bool Release::interrupted() {
    if (raised_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return false;
    next_check_ = now + kSignalPeriod;
    // Signal handlers and a scheduled collection (objects' finalisers) may
    // run interpreter code here: the thread counts as attached meanwhile.
    restore(state_);
    if (PyErr_CheckSignals() < 0) raised_ = PyErr_GetRaisedException();
    if (call_depth > 0) --exit_state().attached;
    state_ = PyEval_SaveThread();
    return raised_ != nullptr;
}

Acquire::Acquire() {
    if (PyGILState_Check()) {
        // Already held by this thread: only nest.
        state_ = PyGILState_Ensure();
        return;
    }
    counted_ = true;
    ExitState &s = exit_state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (must_park(s)) park(lock);
    try {
        state_ = PyGILState_Ensure();
    } catch (abi::__forced_unwind &) {
        park(lock);
    }
    ++s.attached;
}

Acquire::~Acquire() {
    // A forced unwind out of interpreter code that took the lock back during
    // finalisation arrives here without a current thread state: releasing
    // would be fatal, and so would anything the frames outside do.
    if (PyThreadState_GetUnchecked() == nullptr) {
        std::unique_lock<std::mutex> lock(exit_state().mutex);
        park(lock);
    }
    if (counted_) --exit_state().attached;
    PyGILState_Release(state_);
}

CallScope::CallScope() {
    ExitState &s = exit_state();
    if (call_depth++ > 0) {
        // A nested call after the hook ran: this thread stops here.
        if (s.exiting.load() && PyThread_get_thread_ident() != s.exit_thread.load()) {
            --s.attached;
            PyEval_SaveThread();
            park_now();
        }
        return;
    }
    // With the interpreter lock held the mutex is only tried: its holder may
    // be waiting for the lock.
    std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        PyThreadState *state = PyEval_SaveThread();
        lock.lock();
        if (must_park(s)) {
            call_depth = 0;
            park(lock);
        }
        try {
            PyEval_RestoreThread(state);
        } catch (abi::__forced_unwind &) {
            call_depth = 0;
            park(lock);
        }
    } else if (must_park(s)) {
        // Entering after the exit hook ran: the lock goes back to the
        // exiting thread, this one stops here.
        call_depth = 0;
        lock.unlock();
        PyEval_SaveThread();
        park_now();
    }
    ++s.attached;
}

CallScope::~CallScope() {
    if (--call_depth > 0) return;
    --exit_state().attached;
}

LibraryCall::LibraryCall() {
    ExitState &s = exit_state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (must_park(s)) park(lock);
    ++s.in_library;
}

LibraryCall::~LibraryCall() { --exit_state().in_library; }

void SignalCheck::operator()() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return;
    next_check_ = now + kSignalPeriod;
    if (PyErr_CheckSignals() < 0) throw pybind11::error_already_set();
}

}  // namespace corvane::gil
