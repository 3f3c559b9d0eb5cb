// The LPI algebra on plain C++ data: eigenvalue-sign counts of a symmetric
// matrix, its tridiagonal reduction and Sturm (inertia) counts, and the sign
// counts of trial cuts of one edge (a rank-two change) from one
// eigen-decomposition.  Used by the VIF graph's soft-bond search and by the
// fragment cascade.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

namespace corvane::lpi {

// Numbers of eigenvalues above tol, within [-tol, tol] and below -tol.
struct SignCounts {
    long pos = 0, zero = 0, neg = 0;
    bool operator==(const SignCounts &) const = default;
};

// Counts over a list of eigenvalues, with exactly the comparisons of the LPI:
// λ > tol, |λ| <= tol, λ < -tol.
SignCounts count_signs(const double *eigenvalues, std::size_t n, double tol);

// Symmetric matrix (row-major, n x n) reduced to tridiagonal form by
// Householder reflections: diagonal d and sub-diagonal e (e[0] unused).
// The matrix is overwritten.
void tridiagonalize(std::vector<double> &a, std::size_t n, std::vector<double> &d, std::vector<double> &e);

// Number of eigenvalues of the tridiagonal matrix (d, e) below x, by the
// Sturm sequence of T - xI (on T and x scaled down by a power of two when the
// squares of e overflow).
std::size_t sturm_count_below(const std::vector<double> &d, const std::vector<double> &e, double x);

// How far a backward-stable symmetric eigen-solver may put an eigenvalue of
// an n x n matrix of largest absolute row sum `norm` from the true one.
double rounding_margin(std::size_t n, double norm);

// LPI counts (tol >= 0) together with whether they are certain: no
// eigenvalue lies within a rounding margin of -tol or +tol, so any accurate
// symmetric eigen-solver puts every eigenvalue on the same side of the band
// edges.  When `certain` is false the caller should count from eigenvalues.
// Entries far from 1 (weights of 1e154 and more) are counted on the matrix
// scaled by a power of two, so no square or reciprocal leaves the range of
// doubles; an entry that is not finite makes the counts uncertain.
struct CheckedCounts {
    SignCounts counts;
    bool certain = false;
};
CheckedCounts lpi_counts_checked(std::vector<double> a, std::size_t n, double tol);

// Checked LPI counts of the matrix with the symmetric pair of entries (i, j),
// (j, i) set to zero: the trial cut of one edge.  The matrix is left as it
// was.
CheckedCounts cut_counts(std::vector<double> &a, std::size_t n, std::size_t i, std::size_t j, double tol);

// Symmetric eigen-decomposition of an n x n row-major matrix: eigenvalues w
// (any order) and eigenvectors q, row-major, column k belonging to w[k].
// Returns false when no decomposition can be had; the trials are then
// counted one by one.
using Decompose =
    std::function<bool(const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q)>;

// Checked LPI counts of every trial cut (i, j) of the symmetric matrix `a`
// (tol >= 0), as cut_counts gives them, at the cost of one decomposition.
// Cutting an edge is a rank-two change: with B = A - sI = Q(L - sI)Q^T and
// U = [e_i e_j], C = w [[0 1] [1 0]], the inertia of A' - sI = B - U C U^T is
// In(B) + In(S) - In(C^-1), S = C^-1 - U^T B^-1 U (Haynsworth), read at the
// band edges +-tol moved by a rounding margin either way.  A trial whose 2 x 2
// problem is ill-conditioned (an eigenvalue of A close to a shift in the
// directions of i or j), a zero weight or a diagonal entry is counted
// directly by cut_counts; a trial whose counts differ across the margin of a
// band edge is returned uncertain, for the caller to count from eigenvalues.
// Huge entries are handled as in lpi_counts_checked (the eigenvalues scaled
// with the matrix), each 2 x 2 problem is brought near 1 before its products
// are formed, and its error bounds allow for products that fall below the
// normal range: no overflow or underflow can make a wrong count look
// certain.  A trial outside the matrix is returned uncertain.  When `base` is
// given it receives the checked counts of `a` itself.  The matrix is left as
// it was.
//
// On a sparse matrix (a VIF graph) the counts come from LDL^T factorisations
// instead (see inertia_core.hpp), all trials from one when the matrix has a
// gap around zero, else one per trial; the decomposition only counts what
// they leave uncertain.  `opt` spreads the factorisations over threads and
// stops them (Interrupted) when its `stop` says so.
struct CountOptions {
    std::size_t threads = 1;
    std::function<bool()> stop;  // asked on the calling thread only
};
struct Interrupted : std::exception {
    const char *what() const noexcept override { return "interrupted"; }
};
std::vector<CheckedCounts> trial_cut_counts(std::vector<double> &a, std::size_t n,
                                            const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                            double tol, const Decompose &decompose, CheckedCounts *base = nullptr,
                                            const CountOptions &opt = {});

// trial_cut_counts in two steps: partial_cut_counts does what needs no
// decomposition (sparse factorisations; pure C++, safe on any thread) and
// leaves the rest uncertain; finish_cut_counts counts what is uncertain
// (and the baseline, when asked) from one decomposition.
struct PartialCounts {
    std::vector<CheckedCounts> trials;
    CheckedCounts base;
};
PartialCounts partial_cut_counts(const std::vector<double> &a, std::size_t n,
                                 const std::vector<std::pair<std::size_t, std::size_t>> &trials, double tol,
                                 const CountOptions &opt = {});
void finish_cut_counts(std::vector<double> &a, std::size_t n,
                       const std::vector<std::pair<std::size_t, std::size_t>> &trials, double tol,
                       const Decompose &decompose, PartialCounts &p, bool want_base);

// LPI counts of a symmetric k x k matrix taken from its eigenvalues, for the
// rare matrix whose Sturm counts are not certain (an eigenvalue within
// rounding of a band edge).
using ExactCounts = std::function<SignCounts(const std::vector<double> &a, std::size_t k)>;

// Whether zeroing the entries (u, v) and (v, u) of the symmetric k x k matrix
// `a` keeps its LPI counts, for each trial (false for a trial outside the
// matrix).  tol >= 0.  One decomposition of
// `a` serves the baseline and every trial.
std::vector<char> soft_trials(std::vector<double> a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                              double tol, const ExactCounts &exact, const Decompose &decompose);

// soft_trials in two steps, the first pure C++ (see partial_cut_counts).
PartialCounts soft_trials_begin(const std::vector<double> &a, std::size_t k,
                                const std::vector<std::pair<int, int>> &trials, double tol);
// Optionally between them: what is uncertain counted from one decomposition
// (a `decompose` that may run on any thread).
void soft_trials_decompose(std::vector<double> &a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                           double tol, const Decompose &decompose, PartialCounts &p);
std::vector<char> soft_trials_end(std::vector<double> &a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                                  double tol, const ExactCounts &exact, const Decompose &decompose, PartialCounts &p);

}  // namespace corvane::lpi
