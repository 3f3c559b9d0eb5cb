// Atom layout: plane geometry of a molecule drawing, the force-directed
// refinement and the angles of an atom's VIF nodes.  Plain C++ only: the
// binding converts interpreter objects to these types and back.
//
// Coordinates are n rows of (x, y) stored row-major in one array of 2n
// doubles, the layout numpy uses for a C-contiguous (n, 2) float64 array.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

namespace corvane::layout {

// Thrown by a long computation when its `stop` callback asks it to end
// early (the caller's signal handler raised).
struct Interrupted : std::exception {
    const char *what() const noexcept override { return "interrupted"; }
};

// Asked about once per round of a long loop; true ends the loop with
// Interrupted.  An empty one never stops.
using Stop = std::function<bool()>;

// A per-round callback that does nothing.
struct NoTick {
    void operator()() const {}
};

// Floored modulo of interpreter floats: the result has the sign of `m`.
inline double py_mod(double x, double m) {
    double r = std::fmod(x, m);
    if (r != 0.0) {
        if ((m < 0.0) != (r < 0.0)) r += m;
    } else {
        r = std::copysign(0.0, m);
    }
    return r;
}

// Smaller angle between two directions (radians), in [0, pi].
double angle_diff(double a, double b);

// Angles of an atom's VIF nodes: the given bond directions first (cut to
// n_nodes), then one node at a time into the middle of the widest empty
// sector.  n_nodes == 1 gives {0.0}; no targets gives an even spread from 0.
// A negative n_nodes cuts the targets like a slice end.  Throws
// std::domain_error when n_nodes is 0 and nothing remains of the targets
// (the even spread would divide by zero).  `stop` is asked once per added
// angle.
//
// With finite targets the sorted directions and the gaps between
// neighbours are kept up to date as angles are added (each gap computed from
// its two neighbours exactly as a fresh sort would give it), so adding m
// angles costs O(m) each instead of a sort; the result is the same, bit for
// bit.
std::vector<double> node_angles(long n_nodes, const std::vector<double> &targets, const Stop &stop = {});

// How the length of a single 2-vector is rounded.  The vectorised
// per-row lengths are always sqrt(x*x + y*y); the length of one vector goes
// through a dot product whose kernel may fuse the second multiply-add.
enum class NormKind { plain, fused };

inline double norm2(double x, double y, NormKind k) {
    if (k == NormKind::fused) return std::sqrt(std::fma(y, y, x * x));
    return std::sqrt(x * x + y * y);
}

// Sum of a 1-D array as numpy's add.reduce forms it: the additive identity
// plus the pairwise sum (eight interleaved accumulators from 8 elements on,
// halving above 128).
double numpy_sum(const double *a, std::size_t n, std::size_t stride = 1);

// Symmetry classes as index lists, each in increasing atom order, in the
// order in which each class first occurs.
using Groups = std::vector<std::vector<long>>;

// Groups from a class id per atom (ids in 0 .. n_classes-1, numbered by first
// occurrence).
Groups groups_of(const std::vector<long> &class_ids);

// Class id of every atom: atoms with equal keys share a class, and classes
// are numbered 0, 1, ... in the order in which their key first occurs.
std::vector<long> number_classes(const std::vector<long long> &keys);

// Moves apart atoms that the depiction put on the same spot: for every pair
// i < j closer than 1e-6, atom j is shifted by the (dx, dy) that `draw()`
// gives (two normal draws of the layout's seeded generator).
// `tick()` is called once per atom i.
template <class Draw, class Tick = NoTick>
void separate_coincident(double *xy, std::size_t n, NormKind nk, Draw &&draw, Tick &&tick = Tick{}) {
    for (std::size_t i = 0; i < n; ++i) {
        tick();
        for (std::size_t j = i + 1; j < n; ++j) {
            // A length below 1e-6 needs both offsets below it (the rounding
            // of the length cannot bring 2e-6 under 1e-6): the plain test
            // first, the length only for the few pairs it lets through.
            const double dx = xy[2 * i] - xy[2 * j], dy = xy[2 * i + 1] - xy[2 * j + 1];
            if (!(std::fabs(dx) < 2e-6 && std::fabs(dy) < 2e-6)) continue;
            if (norm2(dx, dy, nk) < 1e-6) {
                const auto [dx, dy] = draw();
                xy[2 * j] += dx;
                xy[2 * j + 1] += dy;
            }
        }
    }
}

// Puts the members of every group at the group's mean distance from the
// group centroid, each keeping its direction.  Member indices must be valid
// rows (0 .. n-1).
void radial_equalize(double *xy, const Groups &groups, NormKind nk);

// Column means, accumulated row by row from 0.0 (numpy's mean over axis 0 of
// a C-contiguous (n, 2) array), then subtracted in place.
void center(double *xy, std::size_t n);

// Mirror clean-up across one axis (0: the y axis, 1: the x axis): atoms
// within eps of the line are put on it; the others are paired, in index
// order, with the nearest unmatched atom of the same class on the other side
// and the pair made an exact mirror image.  `same(i, j)` says whether atoms i
// and j share a class; it is called only for candidate partners.  `tick()`
// is called once per atom i of the pairing scan.
template <class Same, class Tick = NoTick>
void enforce_mirror(double *xy, std::size_t n, int axis, double eps, Same &&same, Tick &&tick = Tick{}) {
    const int other = 1 - axis;
    auto at = [xy](std::size_t i, int c) -> double & { return xy[2 * i + static_cast<std::size_t>(c)]; };
    std::vector<char> matched(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::fabs(at(i, axis)) < eps) {
            at(i, axis) = 0.0;
            matched[i] = 1;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        tick();
        if (matched[i]) continue;
        double best_d = std::numeric_limits<double>::infinity();
        std::size_t best_j = n;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i || matched[j]) continue;
            if (!same(i, j)) continue;
            if ((at(i, axis) >= 0.0) == (at(j, axis) >= 0.0)) continue;
            double d = std::fabs(at(j, axis) + at(i, axis)) + std::fabs(at(j, other) - at(i, other));
            if (d < best_d) {
                best_d = d;
                best_j = j;
            }
        }
        if (best_j == n) continue;
        const std::size_t j = best_j;
        double avg_other = (at(i, other) + at(j, other)) / 2.0;
        double avg_axis = (std::fabs(at(i, axis)) + std::fabs(at(j, axis))) / 2.0;
        at(i, axis) = at(i, axis) >= 0.0 ? avg_axis : -avg_axis;
        at(j, axis) = at(j, axis) >= 0.0 ? avg_axis : -avg_axis;
        at(i, other) = avg_other;
        at(j, other) = avg_other;
        matched[i] = 1;
        matched[j] = 1;
    }
}

// The force model of the refinement.
struct ForceParams {
    double target_bond_len;
    double min_nb;  // non-bonded atoms closer than this repel
    double k_attr;
    double k_rep;
};

// Bonds as (begin, end) atom indices in the molecule's bond order, with the
// set of bonded pairs prepared for the pair scan.
class BondTable {
public:
    BondTable(std::size_t n_atoms, std::vector<std::pair<long, long>> bonds);
    const std::vector<std::pair<long, long>> &bonds() const { return bonds_; }
    // Higher-index bonded partners of atom i, ascending.
    const std::vector<long> &higher(std::size_t i) const { return higher_[i]; }

private:
    std::vector<std::pair<long, long>> bonds_;
    std::vector<std::vector<long>> higher_;
};

// Work space of one iteration, reused across iterations.  It also keeps a
// list of the non-bonded pairs that were within reach (min_nb plus a skin) of
// each other at `ref`; while no two atoms together have moved the skin away
// from `ref`, every pair outside the list is certainly out of range and the
// scan visits the listed pairs only.
struct StepScratch {
    std::vector<double> forces, dist2;
    std::vector<double> ref;
    // Listed pairs in (i, j) order, each as i | j << 32.
    std::vector<std::uint64_t> near;
    bool listed = false;
    // Whether the step may use the processor's 256-bit vectors (AVX2 with
    // fused multiply-add) where it has them; the results are the same
    // either way (the tests compare the two).
    bool wide = true;
    // A batch of pairs that may repel, in visiting order (i | j << 32), with
    // their offsets, squared distances, distances and forces (fx, fy
    // interleaved); and the candidates and partners of one atom a rescan
    // finds.
    std::vector<std::uint64_t> pair;
    std::vector<std::size_t> kept;
    std::vector<double> dx, dy, d2, len, fxy;
    // Square cells over the atoms for the rescans: the atoms of cell c, in
    // ascending order, at cell_atoms[cell_start[c] ..  cell_start[c + 1]);
    // the first atom of each cell not yet passed by the rescan's atom; a bit
    // per atom for the partners of one atom.
    std::vector<std::size_t> cell_of, cell_start, cell_atoms, cell_next;
    std::vector<std::uint64_t> marks;
    std::size_t cells_x = 0, cells_y = 0;
};

// One iteration: bond springs in bond order, then repulsion of non-bonded
// pairs i < j, then every atom moved by its whole accumulated force.
void force_step(double *xy, std::size_t n, const BondTable &bt, const ForceParams &p, NormKind nk,
                StepScratch &scratch);

// Whether iteration `it` ends with the symmetry-class equalisation.
inline bool equalize_after(long it) { return it > 50 && it % 5 == 0; }

// Iterations [it0, it1) of the refinement with the core's own equalisation;
// `stop` is asked once per iteration.
void force_loop(double *xy, std::size_t n, const BondTable &bt, const ForceParams &p, const Groups &groups,
                long it0, long it1, NormKind nk, const Stop &stop = {});

}  // namespace corvane::layout
