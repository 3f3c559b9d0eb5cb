// Eigenvalue-sign counts of a sparse symmetric matrix without eigenvalues:
// the inertia of A - sI from a symmetric indefinite LDL^T factorisation
// (Bunch-Kaufman pivots in a minimum-degree order of the groups of nodes its
// 2 x 2 pivots join), with a bound on its backward error computed from the
// factors.
//
// A VIF graph has at most a handful of neighbours per node, so eliminating
// it costs about n times a small constant where a dense decomposition costs
// n^3: each trial cut of a bond is counted on its own matrix in the time one
// eigen-decomposition would take for a few of them, and a molecule of
// thousands of nodes is counted in milliseconds.
//
// The counts are exact for a matrix A + E with |E| bounded by the computed
// factors (any growth of the entries shows up in the bound).  Factorising at
// two shifts either side of a band edge, each within that bound, pins down
// the count at the edge itself and shows that no eigenvalue of A lies within
// the rounding margin of it: the counts are then certain in the sense of
// lpi_counts_checked, and any accurate eigen-solver gives the same ones.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "lpi_core.hpp"

namespace corvane::lpi {

// The off-diagonal pattern and values of a symmetric matrix, both triangles,
// with its diagonal and an elimination order fixed once for all shifts and
// cuts.
// Rows are stored flat with room for `cap` entries each (the fill the
// elimination order predicts, with some to spare).
struct SparseSym {
    std::size_t n = 0, cap = 0;
    std::vector<double> diag;
    std::vector<int> len, col;  // len[i] entries of row i at col[i * cap ...]
    std::vector<double> val;
    std::vector<int> order;  // elimination order: minimum degree over the 2 x 2 pivots' groups
    double norm = 0.0;       // largest absolute row sum (at least 1)
};

// The sparse form of a dense row-major n x n matrix, or false when it is not
// worth it or not safe: not exactly symmetric, an entry that is not finite or
// outside [2^-500, 2^500] in magnitude (the dense counts scale those), or more
// than `max_degree` off-diagonal entries in a row on average.
bool sparse_of(const std::vector<double> &a, std::size_t n, std::size_t max_degree, SparseSym &out);

// A symmetric matrix by its rows: the diagonal, and row i's off-diagonal
// non-zero entries (both triangles) at start[i] .. start[i + 1] of col/val,
// in ascending column order.
struct SparseRows {
    std::size_t n = 0;
    std::vector<double> diag;
    std::vector<std::size_t> start;
    std::vector<int> col;
    std::vector<double> val;
};

// sparse_of for a matrix given by its rows: the same checks, the same form
// and order (without a dense n x n pass).  `out` keeps its storage.
bool sparse_of_rows(const SparseRows &a, std::size_t max_degree, SparseSym &out);

// Workspace of one factorisation, kept between calls to reuse its storage.
struct InertiaWork {
    std::vector<int> len, col;
    std::vector<double> val, diag, rs, absrow;
    std::vector<char> gone;
    std::vector<int> nb, slot;
    std::vector<double> aip, air, lp, lr;
    std::size_t room = 0, room_n = 0;  // row room a factorisation of room_n rows grew to
};

// Number of eigenvalues below `shift` of A with the symmetric pair (ci, cj)
// set to zero (ci < 0: no cut), exactly for a matrix within `bound` of it in
// the 2-norm.  `ok` is false when the factorisation met an exactly singular
// pivot or a value that is not finite.
struct ShiftCount {
    std::size_t below = 0;
    double bound = 0.0;
    bool ok = false;
};
// The factors of one factorisation, in elimination order: each step a 1 x 1
// pivot p (r < 0) or a 2 x 2 pivot (p, r) with its block [[dp, apr],
// [apr, dr]], and the multipliers of the nodes it updated (lr zero for
// 1 x 1 steps) from `begin` in idx/lp/lr.
struct Factors {
    struct Step {
        int p, r;
        double dp, dr, apr;
        std::size_t begin;
    };
    std::size_t n = 0;
    std::vector<Step> steps;
    std::vector<int> idx;
    std::vector<double> lp, lr;
    // Each step's parent in the elimination tree (the first later step it
    // updates; steps.size() for a root): L^-1 e_i is non-zero only at the
    // pivots of the steps from i's to its root.
    std::vector<std::size_t> parent;
};

// `record` (if given) receives the factors.
ShiftCount count_below(const SparseSym &m, double shift, int ci, int cj, InertiaWork &w, Factors *record = nullptr);

// x <- (L D L^T)^-1 x with the recorded factors.
void solve(const Factors &f, std::vector<double> &x);

// A lower bound on the nullity of every matrix with a given pattern: n
// minus its term rank, the size of a maximum matching of rows to columns
// over the non-zero entries (a matrix's rank never exceeds the fewest rows
// and columns that cover its non-zero entries, which is that size).  A
// radical's VIF graph has such zeros: nodes that no matching can pair all
// of, whatever the weights.
struct PatternMatching {
    std::vector<int> row_mate, col_mate;  // -1: unmatched
    std::size_t size = 0;
};
// A maximum matching of the pattern of m: its off-diagonal entries and its
// non-zero diagonal ones.
PatternMatching max_matching(const SparseSym &m);
// n minus the term rank of the pattern with the pair (ci, cj) taken out
// (ci < 0: none), from a maximum matching of the whole pattern.  `work`
// keeps storage between calls.
struct MatchWork {
    std::vector<int> row_mate, col_mate, seen, stack_row, stack_at, chosen;
    int stamp = 0;
};
std::size_t structural_nullity(const SparseSym &m, const PatternMatching &base, int ci, int cj, MatchWork &work);

// partial_cut_counts (on one thread) of a matrix given by its rows, with
// the caller's sparse form and workspace kept between calls.
PartialCounts partial_cut_counts_rows(const SparseRows &a,
                                      const std::vector<std::pair<std::size_t, std::size_t>> &trials, double tol,
                                      SparseSym &m, InertiaWork &w);

// Checked LPI counts (tol > 0) of the matrix and of every trial cut from one
// factorisation, when the matrix has a certified gap around zero (no
// eigenvalue within a sixty-fourth of its norm, or a two-thousandth):
// each trial is then a rank-two change whose counts follow from three
// entries of A^-1 (Haynsworth), with error bounds from the factorisation's.
// A trial whose 2 x 2 problem is singular at zero (the cut matrix has
// eigenvalues at or near zero) is counted at the shifted band edges from the
// same solves; what even that leaves open is uncertain.
//
// A matrix whose only eigenvalues near zero are exact zeros that its
// pattern forces (as many eigenvalues within the gap as its structural
// nullity: they can only be those zeros) is counted the same way from two
// factorisations, at the middle of the gap either side of zero, where A - sI
// is as well conditioned as a gap allows.  A trial is certain there when
// the cut matrix, too, has no eigenvalue in the middle of the gap but the
// zeros its own pattern forces.  Everything is uncertain when neither kind
// of gap is found (base.certain false).
std::vector<CheckedCounts> gap_trial_counts(const SparseSym &m, double tol,
                                            const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                            CheckedCounts &base, InertiaWork &w);

// Checked LPI counts (tol >= 0) of the matrix with the pair (ci, cj) cut
// (ci < 0: none), as lpi_counts_checked defines them: certain only when
// factorisations at tol/2 either side of each band edge agree and their
// bounds leave at least the rounding margin of the dense counts between
// every eigenvalue and the band edges.  Two factorisations when no
// eigenvalue lies near zero, four otherwise; an edge with an eigenvalue
// within tol/2 of it is looked at again at edge -+ tol/16 and -+ tol/128,
// then in long double at edge -+ twice the rounding margin (whose bounds are
// some two thousand times smaller), so that only an eigenvalue within about
// the rounding margin of an edge is left uncertain.
CheckedCounts sparse_counts_checked(const SparseSym &m, double tol, int ci, int cj, InertiaWork &w);

}  // namespace corvane::lpi
