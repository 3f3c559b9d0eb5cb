// Giving up and taking back the interpreter lock, safely at interpreter exit.
//
// CPython 3.13 ends a thread that takes the lock back after finalisation has
// begun with pthread_exit; its forced unwinding runs the C++ destructors of
// every frame on the way out (reference drops, lock releases) without the
// lock, and the process crashes.  Every place the extensions give up or take
// the lock goes through these guards instead:
//   - an exit hook, run by the interpreter's atexit machinery while the lock
//     is still valid, marks the process as exiting;
//   - a thread that wants the lock back after that mark is parked for good
//     (what CPython 3.14 does with such threads), so no destructor runs
//     without the lock and the process exits normally around it.
// A C++ mutex orders the mark against threads already on their way back to
// the lock, so none of them can reach it once finalisation has begun; the
// hook also waits for threads running interpreter code inside the
// extension's functions (see CallScope).
//
// Long loops without the lock ask `Release::interrupted()` about once a
// round; every 100 ms it takes the lock briefly and runs the signal handlers,
// so Ctrl-C raises KeyboardInterrupt promptly.
#pragma once

#include <Python.h>

#include <chrono>

namespace corvane::gil {

// Marks a thread as inside one of the extension's functions for the
// guard's lifetime (nests).  At exit the hook waits, a few seconds at most and
// with the lock given up, until no such thread can run interpreter code any
// more (each has left, parked, or gone into a Release, where it parks when
// it wants the lock back); the same for threads inside an Acquire.  Such a
// thread would otherwise be ended by finalisation in the middle of C++
// frames.  A thread entering after the hook ran is parked at once.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;
};

// Registers the exit hook of this extension (once; needs the lock).  The
// guards call it themselves; module initialisation calls it early so that
// the hook runs after the atexit callbacks registered later.
void install_exit_hook();

// Whether the exit hook has run (the process is shutting down).
bool exiting();

// Gives up the lock for the guard's lifetime (the thread must hold it).
class Release {
public:
    Release();
    ~Release();
    Release(const Release &) = delete;
    Release &operator=(const Release &) = delete;

    // For loops without the lock: at most every 100 ms, takes the lock,
    // runs pending signal handlers and gives it up again.  True once a
    // handler raised (KeyboardInterrupt for Ctrl-C): the loop should stop;
    // the exception is set again when the guard takes the lock back, so the
    // caller raises it (py::error_already_set) after the guard's scope.
    bool interrupted();

private:
    PyThreadState *state_;
    PyObject *raised_ = nullptr;
    std::chrono::steady_clock::time_point next_check_;
};

// Takes the lock for the guard's lifetime, from any thread: one inside a
// Release, or one the interpreter never saw (a C++ worker).  Nests.
class Acquire {
public:
    Acquire();
    ~Acquire();
    Acquire(const Acquire &) = delete;
    Acquire &operator=(const Acquire &) = delete;

private:
    PyGILState_STATE state_;
    bool counted_ = false;  // took the lock (not only nested)
};

// For a stretch without the interpreter lock that calls into a library
// whose exit-time destructors free what the call uses (OpenBLAS frees its
// buffers when the process exits).  A thread that enters after the exit
// hook ran parks there; the hook waits, a few seconds at most, for threads
// inside such a stretch to leave it.
class LibraryCall {
public:
    LibraryCall();
    ~LibraryCall();
    LibraryCall(const LibraryCall &) = delete;
    LibraryCall &operator=(const LibraryCall &) = delete;
};

// Raises the pending signal handlers' exception with the lock held, at most
// every 100 ms (for long loops that keep the lock).
class SignalCheck {
public:
    void operator()();

private:
    std::chrono::steady_clock::time_point next_check_{};
};

}  // namespace corvane::gil
