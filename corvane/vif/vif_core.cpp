#include "vif_core.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace corvane::vif {

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
        // π units of the atom's bonds, counted up to the node count (all the
        // count is compared with), so that no order can overflow the sum.
        long long pi_count = 0;
        for (const auto &nb : atoms_[idx])
            if (nb.order > 1) pi_count = std::min<long long>(pi_count + std::min<long long>(nb.order - 1, nn), nn);
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
