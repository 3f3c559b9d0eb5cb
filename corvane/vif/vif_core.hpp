// VIF graph algorithms on plain C++ data.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace corvane::vif {

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
// Sturm sequence of T - xI.
std::size_t sturm_count_below(const std::vector<double> &d, const std::vector<double> &e, double x);

// The LPI counts of a symmetric matrix without computing its eigenvalues:
// one tridiagonal reduction and two Sturm counts at -tol and +tol.
SignCounts lpi_counts(std::vector<double> a, std::size_t n, double tol);

// LPI counts (tol >= 0) together with whether they are certain: no
// eigenvalue lies within a rounding margin of -tol or +tol, so any accurate
// symmetric eigen-solver puts every eigenvalue on the same side of the band
// edges.  When `certain` is false the caller should count from eigenvalues.
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
// band edge is returned uncertain, for the caller to count from eigenvalues.  When `base` is given it receives the checked
// counts of `a` itself.  The matrix is left as it was.
std::vector<CheckedCounts> trial_cut_counts(std::vector<double> &a, std::size_t n,
                                            const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                            double tol, const Decompose &decompose, CheckedCounts *base = nullptr);

// ---------------------------------------------------------------------------
// VIF graph construction

// Integer order of a bond from its RDKit type as a double: the value rounded
// half to even when it is non-zero, else 1; never below 1.  `d` is finite.
long bond_order_of(double d);

// One neighbour of an atom, in the molecule's neighbour order, with the
// order the bond-order map gives the pair (atom, neighbour) (1 when absent).
struct Neighbour {
    long atom;
    long long order;
};

// One chemical bond with the order the bond-order map gives (begin, end).
struct Bond {
    long u, v;
    long long order;
};

// Node angles of an atom come from a hook; an atom may get fewer angles than
// nodes (the extra nodes then have neither angle nor position).
struct GraphHooks {
    // Node count of an atom (1, 4 or 9), from its element's period.
    std::function<long(std::size_t atom)> n_nodes;
    // Angles of an atom's nodes from its bond-unit directions.
    std::function<std::vector<double>(long n_nodes, const std::vector<double> &targets)> node_angles;
    // Smaller angle between two directions.
    std::function<double(double, double)> angle_diff;
};

// Raised when a node without an angle has to be matched to a bond unit.
struct MissingNodeAngle {
    long node;
};

// One inter-atom edge: one unit k of a chemical bond.
struct BondUnit {
    long u_node, v_node;
    std::size_t bond;  // index into the bond list
    long long k;
};

struct VifGraph {
    long n_nodes = 0;                 // nodes are 0 .. n_nodes-1
    std::vector<long> first;          // per atom: its first node
    std::vector<long> count;          // per atom: number of nodes
    std::vector<long> n_sigma;        // per atom: σ nodes (the first ones of its block)
    std::vector<char> placed;         // per node: has an angle and a position
    std::vector<double> xy;           // per node: position (x, y)
    std::vector<std::pair<long, long>> sigma_edges;  // σ cliques, atom by atom
    std::vector<BondUnit> units;      // inter-atom edges, bond by bond, by unit
};

// Builds the VIF graph of a molecule: node blocks, node angles and
// positions, the assignment of bond units to nodes by angle, and one edge per
// bond unit.  `atoms[i]` lists the neighbours of atom i, `coords` holds (x, y)
// per atom, `radius` is the node circle radius.  Hook exceptions and
// MissingNodeAngle propagate.
VifGraph build_vif_graph(const std::vector<std::vector<Neighbour>> &atoms, const std::vector<Bond> &bonds,
                         const std::vector<double> &coords, double radius, const GraphHooks &hooks);

}  // namespace corvane::vif
