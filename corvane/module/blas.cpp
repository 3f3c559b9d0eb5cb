#include "blas.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <mutex>
#include <string>
#include <vector>

#include "pyapi.hpp"

namespace corvane::blas {

namespace {

struct Library {
    int (*get)() = nullptr;
    void (*set)(int) = nullptr;
    int saved = 0;
};

// Never destroyed: threads of a daemon caller may still be inside a guard
// while the process runs its static destructors at exit.
struct State {
    std::mutex mu;
    std::vector<Library> libs;
    long depth = 0;
};

State *g = new State();
bool discovered = false;
Dsyevd lapack_dsyevd = nullptr;

void enter() {
    std::lock_guard<std::mutex> lock(g->mu);
    if (g->depth++ > 0) return;
    for (Library &l : g->libs) {
        l.saved = l.get();
        if (l.saved != 1) l.set(1);
    }
}

void leave() {
    std::lock_guard<std::mutex> lock(g->mu);
    if (g->depth == 0 || --g->depth > 0) return;
    for (Library &l : g->libs)
        if (l.saved > 1) l.set(l.saved);
}

// A child forked while a guard was held starts with the counts restored
// and no guard: the guards of the forking thread's frames end without
// effect (depth is already zero).  The mutex may have been held by another
// thread of the parent: the child gets a fresh state.
void after_fork_in_child() {
    State *fresh = new State();
    fresh->libs = g->libs;
    if (g->depth > 0)
        for (Library &l : fresh->libs)
            if (l.saved > 1) l.set(l.saved);
    g = fresh;
}

}  // namespace

void discover() {
    if (discovered) return;
    discovered = true;
    try {
        py::object info = py::module_::import("threadpoolctl").attr("threadpool_info")();
        for (py::handle d : info) {
            if (py::str(d["internal_api"]).cast<std::string>() != "openblas") continue;
            const std::string path = py::str(d["filepath"]).cast<std::string>();
            void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
            if (!h) continue;
            Library l;
            // numpy's wheels carry OpenBLAS with its symbols renamed
            // (scipy_ ... 64_); a system OpenBLAS has the plain names.
            for (const char *prefix : {"scipy_", ""})
                for (const char *suffix : {"64_", ""}) {
                    if (l.get) break;
                    const std::string g = std::string(prefix) + "openblas_get_num_threads" + suffix;
                    const std::string s = std::string(prefix) + "openblas_set_num_threads" + suffix;
                    l.get = reinterpret_cast<int (*)()>(dlsym(h, g.c_str()));
                    l.set = reinterpret_cast<void (*)(int)>(dlsym(h, s.c_str()));
                    if (!l.get || !l.set) l.get = nullptr, l.set = nullptr;
                }
            if (!lapack_dsyevd) lapack_dsyevd = reinterpret_cast<Dsyevd>(dlsym(h, "scipy_dsyevd_64_"));
            dlclose(h);  // RTLD_NOLOAD took a reference of its own
            if (l.get) g->libs.push_back(l);
        }
    } catch (py::error_already_set &) {
        // threadpoolctl missing or failing: the guards do nothing.
        PyErr_Clear();
    }
    if (!g->libs.empty()) pthread_atfork(nullptr, nullptr, after_fork_in_child);
}

bool available() { return !g->libs.empty(); }

Dsyevd dsyevd() { return g->libs.empty() ? nullptr : lapack_dsyevd; }

OneThread::OneThread(std::size_t n) : active_(!g->libs.empty() && n < kThreadedFrom) {
    if (active_) enter();
}

OneThread::~OneThread() {
    if (active_) leave();
}

}  // namespace corvane::blas
