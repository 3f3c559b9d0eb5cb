// One BLAS thread for the module's own linear algebra.
//
// numpy's OpenBLAS starts as many threads as the machine has cores.  On the
// matrices of a molecule (tens to a few thousand rows) they gain little on
// an idle machine and lose an order of magnitude on a busy one, where each
// call waits for threads the scheduler has put aside; and above about 240
// rows the eigenvalues' last bits depend on how many threads summed them.
// While a guard is alive numpy's BLAS runs on one thread, so the module's
// results and speed do not depend on the caller's thread setting or on the
// machine's load.  Matrices of kThreadedFrom rows and more keep the caller's
// setting: there one decomposition takes a second or more and numpy's
// threads gain on an idle machine (about a tenth at 1,200 rows).
#pragma once

#include <cstddef>

namespace corvane::blas {

constexpr std::size_t kThreadedFrom = 1000;

// Finds the thread controls of the OpenBLAS libraries loaded in the process
// (numpy's among them) through threadpoolctl; once, with the interpreter
// lock held, after numpy is imported.  Without them the guards do nothing.
void discover();

// Whether discover() found a library whose thread count it can set.
bool available();

// LAPACK's dsyevd (eigenvalues and eigenvectors of a symmetric matrix) from
// numpy's own OpenBLAS when it carries the 64-bit-integer interface numpy's
// wheels use; null otherwise.  Callable from any thread without the
// interpreter lock.  For decompositions whose results are checked against
// rounding margins (never for eigenvalues the module returns).
using Dsyevd = void (*)(const char *jobz, const char *uplo, const long long *n, double *a, const long long *lda,
                        double *w, double *work, const long long *lwork, long long *iwork, const long long *liwork,
                        long long *info, std::size_t jobz_len, std::size_t uplo_len);
Dsyevd dsyevd();

// For its lifetime, numpy's BLAS on one thread (for a matrix of n rows,
// n < kThreadedFrom).  Guards nest and may be held by several threads at
// once: the first one in records the thread counts and sets one, the last
// one out restores them.  Needs no interpreter lock.
class OneThread {
public:
    explicit OneThread(std::size_t n = 0);
    ~OneThread();
    OneThread(const OneThread &) = delete;
    OneThread &operator=(const OneThread &) = delete;

private:
    bool active_ = false;
};

}  // namespace corvane::blas
