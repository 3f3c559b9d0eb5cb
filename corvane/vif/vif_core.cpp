#include "vif_core.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace corvane::vif {

SignCounts count_signs(const double *ev, std::size_t n, double tol) {
    SignCounts c;
    for (std::size_t i = 0; i < n; ++i) {
        if (ev[i] > tol) ++c.pos;
        if (std::fabs(ev[i]) <= tol) ++c.zero;
        if (ev[i] < -tol) ++c.neg;
    }
    return c;
}

void tridiagonalize(std::vector<double> &a, std::size_t n, std::vector<double> &d, std::vector<double> &e) {
    d.assign(n, 0.0);
    e.assign(n, 0.0);
    if (n == 0) return;
    // Householder reduction from the last row up, reading and updating only
    // the lower triangle, row by row (contiguous memory throughout).
    for (std::size_t i = n - 1; i >= 1; --i) {
        const std::size_t l = i - 1;
        double *u = &a[i * n];  // row i, entries 0..l: the vector to reflect
        if (l == 0) {
            e[i] = u[0];
        } else {
            double scale = 0.0;
            for (std::size_t k = 0; k <= l; ++k) scale += std::fabs(u[k]);
            if (scale == 0.0) {
                e[i] = u[l];
            } else {
                double h = 0.0;
                for (std::size_t k = 0; k <= l; ++k) {
                    u[k] /= scale;
                    h += u[k] * u[k];
                }
                const double f0 = u[l];
                const double g0 = f0 >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g0;
                h -= f0 * g0;
                u[l] = f0 - g0;
                // p = A u / h over the leading block, from its lower triangle.
                double *p = e.data();
                std::fill(p, p + l + 1, 0.0);
                for (std::size_t j = 0; j <= l; ++j) {
                    const double *row = &a[j * n];
                    const double uj = u[j];
                    double acc0 = row[j] * uj, acc1 = 0.0;
                    std::size_t k = 0;
                    for (; k + 1 < j; k += 2) {
                        acc0 += row[k] * u[k];
                        acc1 += row[k + 1] * u[k + 1];
                        p[k] += row[k] * uj;
                        p[k + 1] += row[k + 1] * uj;
                    }
                    for (; k < j; ++k) {
                        acc0 += row[k] * u[k];
                        p[k] += row[k] * uj;
                    }
                    p[j] += acc0 + acc1;
                }
                double f = 0.0;
                for (std::size_t j = 0; j <= l; ++j) {
                    p[j] /= h;
                    f += p[j] * u[j];
                }
                const double hh = f / (h + h);
                for (std::size_t j = 0; j <= l; ++j) p[j] -= hh * u[j];
                // A -= u q^T + q u^T on the lower triangle.
                for (std::size_t j = 0; j <= l; ++j) {
                    double *row = &a[j * n];
                    const double uj = u[j], qj = p[j];
                    for (std::size_t k = 0; k <= j; ++k) row[k] -= (uj * p[k] + qj * u[k]);
                }
            }
        }
        if (i == 1) break;
    }
    e[0] = 0.0;
    for (std::size_t i = 0; i < n; ++i) d[i] = a[i * n + i];
}

std::size_t sturm_count_below(const std::vector<double> &d, const std::vector<double> &e, double x) {
    const std::size_t n = d.size();
    double emax = 1.0;
    for (std::size_t i = 1; i < n; ++i) emax = std::max(emax, e[i] * e[i]);
    const double pivmin = DBL_MIN * emax;
    std::size_t count = 0;
    double q = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        q = (d[i] - x) - (i > 0 ? e[i] * e[i] / q : 0.0);
        if (std::fabs(q) < pivmin) q = -pivmin;
        if (q < 0.0) ++count;
    }
    return count;
}

SignCounts lpi_counts(std::vector<double> a, std::size_t n, double tol) {
    SignCounts c;
    if (n == 0) return c;
    std::vector<double> d, e;
    tridiagonalize(a, n, d, e);
    std::size_t below_neg = sturm_count_below(d, e, -tol);
    std::size_t below_pos = sturm_count_below(d, e, std::nextafter(tol, INFINITY));
    c.neg = static_cast<long>(below_neg);
    c.pos = static_cast<long>(n - below_pos);
    c.zero = tol >= 0.0 ? static_cast<long>(n) - c.pos - c.neg : 0;
    return c;
}

}  // namespace corvane::vif

namespace corvane::vif {

namespace {

// Largest absolute row sum, at least 1: the scale of rounding errors.
double row_norm(const std::vector<double> &a, std::size_t n) {
    double norm = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < n; ++j) s += std::fabs(a[i * n + j]);
        norm = std::max(norm, s);
    }
    return norm;
}

// How far a backward-stable symmetric eigen-solver (LAPACK's, or the
// Householder reduction here) may put an eigenvalue from the true one.  The
// differences seen between solvers on the same matrix, or on a permuted copy,
// stay below sqrt(n) eps |A|; the margin allows 32 times that.  An eigenvalue
// farther than this from a band edge lands on the same side of it whichever
// solver computes it.
double rounding_margin(std::size_t n, double norm) {
    return 32.0 * std::sqrt(static_cast<double>(n)) * DBL_EPSILON * norm;
}

}  // namespace

CheckedCounts lpi_counts_checked(std::vector<double> a, std::size_t n, double tol) {
    CheckedCounts r;
    if (n == 0) {
        r.certain = true;
        return r;
    }
    const double norm = row_norm(a, n);
    if (!std::isfinite(norm)) return r;
    const double margin = rounding_margin(n, norm);
    std::vector<double> d, e;
    tridiagonalize(a, n, d, e);
    const std::size_t below_neg = sturm_count_below(d, e, -tol);
    const std::size_t below_pos = sturm_count_below(d, e, std::nextafter(tol, INFINITY));
    r.counts.neg = static_cast<long>(below_neg);
    r.counts.pos = static_cast<long>(n - below_pos);
    r.counts.zero = static_cast<long>(n) - r.counts.pos - r.counts.neg;
    r.certain = tol >= 0.0 && sturm_count_below(d, e, -tol - margin) == sturm_count_below(d, e, -tol + margin) &&
                sturm_count_below(d, e, tol - margin) == sturm_count_below(d, e, tol + margin);
    return r;
}

CheckedCounts cut_counts(std::vector<double> &a, std::size_t n, std::size_t i, std::size_t j, double tol) {
    const double aij = a[i * n + j], aji = a[j * n + i];
    a[i * n + j] = 0.0;
    a[j * n + i] = 0.0;
    CheckedCounts c = lpi_counts_checked(a, n, tol);
    a[i * n + j] = aij;
    a[j * n + i] = aji;
    return c;
}

namespace {

// B = A - sI in the eigenbasis: the reciprocals of the shifted eigenvalues
// and the inertia of B.
struct Shift {
    double s;
    std::vector<double> inv;  // 1 / (w_k - s)
    long pos = 0, neg = 0;
    bool ok = true;
};

Shift make_shift(const std::vector<double> &w, double s) {
    Shift sh;
    sh.s = s;
    sh.inv.resize(w.size());
    for (std::size_t k = 0; k < w.size(); ++k) {
        const double d = w[k] - s;
        if (d > 0.0) {
            ++sh.pos;
        } else if (d < 0.0) {
            ++sh.neg;
        } else {
            sh.ok = false;
        }
        sh.inv[k] = 1.0 / d;
    }
    return sh;
}

// Inertia (pos, neg) of A' - sI for the cut of the pair (i, j) of weight
// `wt`, from the rows qi, qj of the eigenvector matrix; false when the 2 x 2
// problem cannot settle it.
bool cut_inertia(const Shift &sh, const double *qi, const double *qj, std::size_t n, double wt, long &pos,
                 long &neg) {
    if (!sh.ok) return false;
    double gii = 0.0, gjj = 0.0, gij = 0.0, aii = 0.0, ajj = 0.0, aij = 0.0;
    const double *inv = sh.inv.data();
    for (std::size_t k = 0; k < n; ++k) {
        const double x = qi[k], y = qj[k], r = inv[k], ar = std::fabs(r);
        const double xx = x * x, yy = y * y, xy = x * y;
        gii += xx * r;
        gjj += yy * r;
        gij += xy * r;
        aii += xx * ar;
        ajj += yy * ar;
        aij += std::fabs(xy) * ar;
    }
    if (!std::isfinite(aii + ajj + aij)) return false;
    // Rounding of the sums (and of the eigenvectors' orthogonality), with room.
    const double unit = 4.0 * static_cast<double>(n + 2) * DBL_EPSILON;
    const double eii = unit * aii, ejj = unit * ajj;
    const double c = 1.0 / wt;
    const double off = c - gij;
    const double eoff = unit * (aij + std::fabs(c));
    // S = [[-gii, off], [off, -gjj]]
    const double det = gii * gjj - off * off;
    const double edet = std::fabs(gjj) * eii + std::fabs(gii) * ejj + 2.0 * std::fabs(off) * eoff + eii * ejj +
                        eoff * eoff + 4.0 * DBL_EPSILON * (std::fabs(gii * gjj) + off * off);
    if (!(std::fabs(det) > 16.0 * edet)) return false;
    long sp, sn;
    if (det < 0.0) {
        sp = 1;
        sn = 1;
    } else {
        if (!(std::fabs(gii) > 16.0 * eii)) return false;
        sp = gii < 0.0 ? 2 : 0;
        sn = 2 - sp;
    }
    // In(C^-1) = (1, 0, 1) for any weight other than zero.
    pos = sh.pos + sp - 1;
    neg = sh.neg + sn - 1;
    return pos >= 0 && neg >= 0;
}

}  // namespace

std::vector<CheckedCounts> trial_cut_counts(std::vector<double> &a, std::size_t n,
                                            const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                            double tol, const Decompose &decompose, CheckedCounts *base) {
    std::vector<CheckedCounts> out(trials.size());
    std::vector<double> w, q;
    bool have = false;
    double margin = 0.0;
    // One decomposition pays off from two trials on (or one and the baseline).
    if (n > 0 && tol >= 0.0 && std::isfinite(tol) && trials.size() + (base ? 1 : 0) >= 2) {
        const double norm = row_norm(a, n);
        if (std::isfinite(norm)) {
            margin = rounding_margin(n, norm);
            have = decompose(a, n, w, q) && w.size() == n && q.size() == n * n;
            for (std::size_t k = 0; have && k < n; ++k) have = std::isfinite(w[k]);
        }
    }
    if (base) {
        if (have) {
            CheckedCounts &b = *base;
            b.counts = count_signs(w.data(), n, tol);
            b.certain = true;
            for (std::size_t k = 0; k < n && b.certain; ++k) {
                const double x = w[k];
                b.certain = !(std::fabs(x - tol) <= margin || std::fabs(x + tol) <= margin);
            }
            if (!b.certain) *base = lpi_counts_checked(a, n, tol);
        } else {
            *base = lpi_counts_checked(a, n, tol);
        }
    }
    if (!have) {
        for (std::size_t t = 0; t < trials.size(); ++t) out[t] = cut_counts(a, n, trials[t].first, trials[t].second, tol);
        return out;
    }
    // Transposed eigenvectors: row i of q is the i-th entry of every vector.
    const Shift hi_out = make_shift(w, tol + margin), hi_in = make_shift(w, tol - margin);
    const Shift lo_out = make_shift(w, -tol - margin), lo_in = make_shift(w, -tol + margin);
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [i, j] = trials[t];
        const double wt = a[i * n + j];
        bool done = false;
        if (i != j && wt != 0.0 && std::isfinite(wt) && a[j * n + i] == wt) {
            const double *qi = &q[i * n], *qj = &q[j * n];
            long p1, n1, p2, n2, p3, n3, p4, n4;
            if (cut_inertia(hi_out, qi, qj, n, wt, p1, n1) && cut_inertia(hi_in, qi, qj, n, wt, p2, n2) &&
                cut_inertia(lo_out, qi, qj, n, wt, p3, n3) && cut_inertia(lo_in, qi, qj, n, wt, p4, n4)) {
                CheckedCounts &c = out[t];
                c.counts.pos = p1;
                c.counts.neg = n3;
                c.counts.zero = static_cast<long>(n) - p1 - n3;
                // Different counts either side of a band edge: the trial
                // matrix has an eigenvalue within rounding of it, and only
                // the eigenvalues themselves can say on which side it falls.
                c.certain = p1 == p2 && n3 == n4 && c.counts.zero >= 0;
                done = true;
            }
        }
        if (!done) out[t] = cut_counts(a, n, i, j, tol);
    }
    return out;
}

long bond_order_of(double d) {
    long o = d != 0.0 ? static_cast<long>(std::nearbyint(d)) : 1;
    return std::max(1L, o);
}

namespace {

constexpr double kUnitFan = 0.35;  // radians between the units of one bond

// A bond-unit target: unit k of the bond to neighbour `atom`, leaving at `angle`.
struct Target {
    long atom;
    long long k;
    double angle;
};

using Key = std::pair<long, long long>;                  // (neighbour, unit)
using Assignment = std::vector<std::pair<Key, long>>;    // in insertion order

void assign(Assignment &as, const Key &key, long node) {
    for (auto &e : as)
        if (e.first == key) {
            e.second = node;
            return;
        }
    as.emplace_back(key, node);
}

const long *find(const Assignment &as, const Key &key) {
    for (const auto &e : as)
        if (e.first == key) return &e.second;
    return nullptr;
}

struct Pair {
    double diff;
    std::size_t ti;
    long node;
};

// Stable merge sort on the angular difference with plain `<` only: any
// input, NaN included, stays in bounds.
void stable_sort_by_diff(std::vector<Pair> &v) {
    std::vector<Pair> tmp(v.size());
    for (std::size_t width = 1; width < v.size(); width *= 2) {
        for (std::size_t lo = 0; lo < v.size(); lo += 2 * width) {
            std::size_t mid = std::min(lo + width, v.size()), hi = std::min(lo + 2 * width, v.size());
            std::size_t a = lo, b = mid, o = lo;
            while (a < mid && b < hi) tmp[o++] = (v[b].diff < v[a].diff) ? v[b++] : v[a++];
            while (a < mid) tmp[o++] = v[a++];
            while (b < hi) tmp[o++] = v[b++];
        }
        v.swap(tmp);
    }
}

class Builder {
public:
    Builder(const std::vector<std::vector<Neighbour>> &atoms, const std::vector<Bond> &bonds,
            const std::vector<double> &coords, double radius, const GraphHooks &hooks)
        : atoms_(atoms), bonds_(bonds), coords_(coords), radius_(radius), hooks_(hooks) {}

    VifGraph run() {
        const std::size_t n = atoms_.size();
        g_.first.resize(n);
        g_.count.resize(n);
        g_.n_sigma.resize(n);
        for (std::size_t idx = 0; idx < n; ++idx) place_atom(idx);
        std::vector<Assignment> assignments(n);
        for (std::size_t idx = 0; idx < n; ++idx) assign_units(idx, assignments[idx]);
        join_units(assignments);
        return std::move(g_);
    }

private:
    double x(long atom) const { return coords_[2 * static_cast<std::size_t>(atom)]; }
    double y(long atom) const { return coords_[2 * static_cast<std::size_t>(atom) + 1]; }

    // Direction of the bond towards `nb`; false when the two atoms coincide.
    bool direction(std::size_t idx, long nb, double &base) const {
        const double dx = x(nb) - x(static_cast<long>(idx)), dy = y(nb) - y(static_cast<long>(idx));
        if (std::sqrt(dx * dx + dy * dy) < 1e-9) return false;
        base = std::atan2(dy, dx);
        return true;
    }

    static double unit_angle(double base, long long k, long long order) {
        return base + (static_cast<double>(k) - static_cast<double>(order - 1) / 2.0) * kUnitFan;
    }

    double angle_of(long node) const {
        if (!g_.placed[static_cast<std::size_t>(node)]) throw MissingNodeAngle{node};
        return angles_[static_cast<std::size_t>(node)];
    }

    // First pass: node block, σ clique, node angles and positions of one atom.
    void place_atom(std::size_t idx) {
        const long nn = hooks_.n_nodes(idx);
        const long first = g_.n_nodes;
        g_.first[idx] = first;
        g_.count[idx] = nn;
        g_.n_nodes += nn;
        long long pi_count = 0;
        for (const auto &nb : atoms_[idx]) pi_count += std::max(0LL, nb.order - 1);
        const long n_pi = nn > 1 ? static_cast<long>(std::min<long long>(pi_count, nn - 1)) : 0;
        const long n_sigma = nn - n_pi;
        g_.n_sigma[idx] = n_sigma;
        for (long a = 0; a < n_sigma; ++a)
            for (long b = a + 1; b < n_sigma; ++b) g_.sigma_edges.emplace_back(first + a, first + b);

        std::vector<double> targets;
        for (const auto &nb : atoms_[idx]) {
            double base;
            if (!direction(idx, nb.atom, base)) continue;
            const long long order = std::max(1LL, std::min<long long>(nb.order, nn));
            for (long long k = 0; k < order; ++k) targets.push_back(unit_angle(base, k, order));
        }
        if (static_cast<long>(targets.size()) > nn) targets.resize(static_cast<std::size_t>(nn));
        std::vector<double> angles = hooks_.node_angles(nn, targets);

        g_.placed.resize(static_cast<std::size_t>(g_.n_nodes), 0);
        g_.xy.resize(2 * static_cast<std::size_t>(g_.n_nodes), 0.0);
        angles_.resize(static_cast<std::size_t>(g_.n_nodes), 0.0);
        const double cx = x(static_cast<long>(idx)), cy = y(static_cast<long>(idx));
        const std::size_t m = std::min(angles.size(), static_cast<std::size_t>(nn));
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t node = static_cast<std::size_t>(first) + i;
            const double ang = angles[i];
            g_.placed[node] = 1;
            angles_[node] = ang;
            g_.xy[2 * node] = cx + radius_ * std::cos(ang);
            g_.xy[2 * node + 1] = cy + radius_ * std::sin(ang);
        }
    }

    // Greedy angular matching of bond units to nodes: closest pairs first,
    // each node and each unit used once; units left over go to their
    // angularly nearest node.
    void greedy(const std::vector<Target> &targets, const std::vector<long> &nodes, Assignment &as) const {
        if (targets.empty() || nodes.empty()) return;
        if (nodes.size() == 1) {
            for (const auto &t : targets) assign(as, {t.atom, t.k}, nodes[0]);
            return;
        }
        std::vector<Pair> pairs;
        pairs.reserve(targets.size() * nodes.size());
        for (std::size_t ti = 0; ti < targets.size(); ++ti)
            for (long node : nodes) pairs.push_back({hooks_.angle_diff(angle_of(node), targets[ti].angle), ti, node});
        stable_sort_by_diff(pairs);
        std::vector<char> used_target(targets.size(), 0);
        std::vector<long> used_nodes;
        for (const auto &p : pairs) {
            if (used_target[p.ti]) continue;
            if (std::find(used_nodes.begin(), used_nodes.end(), p.node) != used_nodes.end()) continue;
            assign(as, {targets[p.ti].atom, targets[p.ti].k}, p.node);
            used_target[p.ti] = 1;
            used_nodes.push_back(p.node);
        }
        for (std::size_t ti = 0; ti < targets.size(); ++ti) {
            if (used_target[ti]) continue;
            long best = nodes[0];
            double best_d = hooks_.angle_diff(angle_of(nodes[0]), targets[ti].angle);
            for (std::size_t i = 1; i < nodes.size(); ++i) {
                double d = hooks_.angle_diff(angle_of(nodes[i]), targets[ti].angle);
                if (d < best_d) {
                    best_d = d;
                    best = nodes[i];
                }
            }
            assign(as, {targets[ti].atom, targets[ti].k}, best);
        }
    }

    // Second pass: which node of the atom carries which bond unit.
    void assign_units(std::size_t idx, Assignment &as) const {
        std::vector<Target> sigma_t, pi_t;
        for (const auto &nb : atoms_[idx]) {
            double base;
            if (!direction(idx, nb.atom, base)) continue;
            const long long order = std::max(1LL, nb.order);
            for (long long k = 0; k < order; ++k) (k == 0 ? sigma_t : pi_t).push_back({nb.atom, k, unit_angle(base, k, order)});
        }
        const long first = g_.first[idx];
        if (g_.count[idx] == 1) {
            for (const auto &t : sigma_t) assign(as, {t.atom, t.k}, first);
            for (const auto &t : pi_t) assign(as, {t.atom, t.k}, first);
            return;
        }
        std::vector<long> sigma, pi;
        for (long i = 0; i < g_.count[idx]; ++i) (i < g_.n_sigma[idx] ? sigma : pi).push_back(first + i);
        greedy(sigma_t, sigma, as);
        greedy(pi_t, pi, as);
    }

    // Third pass: one edge per bond unit, unless the unit's node pair is
    // already joined.  Distinct bonds join distinct atom pairs, so only the
    // earlier units of the same bond (and, for a bond of an atom to itself,
    // its σ clique) can hold the pair already.
    void join_units(const std::vector<Assignment> &assignments) {
        for (std::size_t b = 0; b < bonds_.size(); ++b) {
            const Bond &bd = bonds_[b];
            const std::size_t bond_start = g_.units.size();
            for (long long k = 0; k < bd.order; ++k) {
                const long *un = find(assignments[static_cast<std::size_t>(bd.u)], {bd.v, k});
                const long *vn = find(assignments[static_cast<std::size_t>(bd.v)], {bd.u, k});
                long u_node, v_node;
                if (un && vn) {
                    u_node = *un;
                    v_node = *vn;
                } else {
                    u_node = g_.first[static_cast<std::size_t>(bd.u)];
                    v_node = g_.first[static_cast<std::size_t>(bd.v)];
                }
                const std::pair<long, long> key = std::minmax(u_node, v_node);
                bool present = false;
                for (std::size_t i = bond_start; i < g_.units.size() && !present; ++i)
                    present = std::pair<long, long>(std::minmax(g_.units[i].u_node, g_.units[i].v_node)) == key;
                if (!present && bd.u == bd.v)
                    present = std::find(g_.sigma_edges.begin(), g_.sigma_edges.end(), key) != g_.sigma_edges.end();
                if (present) continue;
                g_.units.push_back({u_node, v_node, b, k});
            }
        }
    }

    const std::vector<std::vector<Neighbour>> &atoms_;
    const std::vector<Bond> &bonds_;
    const std::vector<double> &coords_;
    const double radius_;
    const GraphHooks &hooks_;
    VifGraph g_;
    std::vector<double> angles_;
};

}  // namespace

VifGraph build_vif_graph(const std::vector<std::vector<Neighbour>> &atoms, const std::vector<Bond> &bonds,
                         const std::vector<double> &coords, double radius, const GraphHooks &hooks) {
    return Builder(atoms, bonds, coords, radius, hooks).run();
}

}  // namespace corvane::vif
