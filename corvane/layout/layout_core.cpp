#include "layout_core.hpp"

#include <algorithm>
#include <numbers>
#include <unordered_map>
#include <utility>

namespace corvane::layout {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2 * std::numbers::pi;

// Ascending insertion sort with plain `<`: bounded for any input (NaN
// included), and exact for the handful of angles of one atom.
void insertion_sort(std::vector<double> &v) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        double x = v[i];
        std::size_t j = i;
        while (j > 0 && x < v[j - 1]) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = x;
    }
}

double pairwise_sum(const double *a, std::size_t n, std::size_t stride) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = a[k * stride];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t k = 0; k < 8; ++k) r[k] += a[(i + k) * stride];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

}  // namespace

double angle_diff(double a, double b) {
    double d = a - b;
    return std::fabs(py_mod(d + kPi, kTwoPi) - kPi);
}

namespace {

// The widest-gap loop as written: every round reduces and sorts all angles.
// Used when a target is not finite (NaN orders nothing, so the sorted
// order depends on the insertion sort's moves).
void add_angles_plain(std::vector<double> &angles, long n_nodes, const Stop &stop) {
    std::vector<double> sorted_a;
    while (static_cast<long>(angles.size()) < n_nodes) {
        if (stop && stop()) throw Interrupted();
        sorted_a.clear();
        for (double a : angles) sorted_a.push_back(py_mod(a, kTwoPi));
        insertion_sort(sorted_a);
        if (sorted_a.size() == 1) {
            angles.push_back(py_mod(sorted_a[0] + kPi, kTwoPi));
            continue;
        }
        double widest = -1.0, middle = 0.0;
        const std::size_t m = sorted_a.size();
        for (std::size_t i = 0; i < m; ++i) {
            double a1 = sorted_a[i];
            double a2 = sorted_a[(i + 1) % m];
            double gap = py_mod(a2 - a1, kTwoPi);
            if (gap > widest) {
                widest = gap;
                middle = py_mod(a1 + gap / 2.0, kTwoPi);
            }
        }
        angles.push_back(middle);
    }
}

// The same loop with the sorted directions and their gaps kept from round
// to round.  The reduced values are finite and never -0.0, so any sort
// gives the same sequence; gap[i] is py_mod(s[i+1] - s[i]) (wrapping at the
// end), recomputed for the two gaps an insertion splits; the widest gap is
// the first strict maximum, and its middle is formed from the same a1 and
// gap as the plain loop forms it.
void add_angles_sorted(std::vector<double> &angles, long n_nodes, const Stop &stop) {
    std::vector<double> s, gap;
    s.reserve(static_cast<std::size_t>(n_nodes));
    gap.reserve(static_cast<std::size_t>(n_nodes));
    for (double a : angles) s.push_back(py_mod(a, kTwoPi));
    std::sort(s.begin(), s.end());
    auto gap_at = [&](std::size_t i) { return py_mod(s[(i + 1) % s.size()] - s[i], kTwoPi); };
    for (std::size_t i = 0; i < s.size(); ++i) gap.push_back(gap_at(i));
    while (static_cast<long>(angles.size()) < n_nodes) {
        if (stop && stop()) throw Interrupted();
        double added;
        if (s.size() == 1) {
            added = py_mod(s[0] + kPi, kTwoPi);
        } else {
            double widest = -1.0;
            std::size_t at = 0;
            for (std::size_t i = 0; i < gap.size(); ++i) {
                if (gap[i] > widest) {
                    widest = gap[i];
                    at = i;
                }
            }
            added = py_mod(s[at] + widest / 2.0, kTwoPi);
        }
        angles.push_back(added);
        const double r = py_mod(added, kTwoPi);
        const auto p = static_cast<std::size_t>(std::upper_bound(s.begin(), s.end(), r) - s.begin());
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(p), r);
        gap.insert(gap.begin() + static_cast<std::ptrdiff_t>(p), 0.0);
        const std::size_t m = s.size();
        gap[(p + m - 1) % m] = gap_at((p + m - 1) % m);
        gap[p] = gap_at(p);
    }
}

}  // namespace

std::vector<double> node_angles(long n_nodes, const std::vector<double> &targets, const Stop &stop) {
    if (n_nodes == 1) return {0.0};
    // A slice up to n_nodes (negative: counted from the end).
    const long len = static_cast<long>(targets.size());
    long stop_at = n_nodes < 0 ? std::max(0L, len + n_nodes) : std::min(len, n_nodes);
    std::vector<double> angles(targets.begin(), targets.begin() + stop_at);
    if (angles.empty()) {
        if (n_nodes == 0) throw std::domain_error("float division by zero");
        std::vector<double> out;
        if (n_nodes < 0) return out;
        const double step = kTwoPi / static_cast<double>(n_nodes);
        out.reserve(static_cast<std::size_t>(n_nodes));
        for (long i = 0; i < n_nodes; ++i) {
            if ((i & 0xFFFF) == 0 && stop && stop()) throw Interrupted();
            out.push_back(static_cast<double>(i) * step);
        }
        return out;
    }
    if (static_cast<long>(angles.size()) >= n_nodes) return angles;
    angles.reserve(static_cast<std::size_t>(n_nodes));
    const bool finite = std::all_of(angles.begin(), angles.end(), [](double a) { return std::isfinite(a); });
    if (finite)
        add_angles_sorted(angles, n_nodes, stop);
    else
        add_angles_plain(angles, n_nodes, stop);
    return angles;
}

double numpy_sum(const double *a, std::size_t n, std::size_t stride) {
    double io = 0.0;
    io += pairwise_sum(a, n, stride);
    return io;
}

Groups groups_of(const std::vector<long> &class_ids) {
    Groups g;
    for (std::size_t i = 0; i < class_ids.size(); ++i) {
        std::size_t c = static_cast<std::size_t>(class_ids[i]);
        if (c >= g.size()) g.resize(c + 1);
        g[c].push_back(static_cast<long>(i));
    }
    return g;
}

std::vector<long> number_classes(const std::vector<long long> &keys) {
    std::unordered_map<long long, long> ids;
    std::vector<long> out;
    out.reserve(keys.size());
    for (long long k : keys) out.push_back(ids.emplace(k, static_cast<long>(ids.size())).first->second);
    return out;
}

void radial_equalize(double *xy, const Groups &groups, NormKind nk) {
    std::vector<double> dists;
    for (const auto &members : groups) {
        const std::size_t k = members.size();
        if (k < 2) continue;
        double cx = 0.0, cy = 0.0;
        for (long m : members) {
            cx += xy[2 * m];
            cy += xy[2 * m + 1];
        }
        cx /= static_cast<double>(k);
        cy /= static_cast<double>(k);
        dists.resize(k);
        for (std::size_t i = 0; i < k; ++i) {
            double rx = xy[2 * members[i]] - cx;
            double ry = xy[2 * members[i] + 1] - cy;
            dists[i] = std::sqrt(rx * rx + ry * ry);
        }
        const double avg = numpy_sum(dists.data(), k) / static_cast<double>(k);
        if (avg < 1e-9) continue;
        for (long m : members) {
            double vx = xy[2 * m] - cx;
            double vy = xy[2 * m + 1] - cy;
            double L = norm2(vx, vy, nk);
            if (L > 1e-9) {
                double s = avg / L;
                xy[2 * m] = cx + vx * s;
                xy[2 * m + 1] = cy + vy * s;
            }
        }
    }
}

void center(double *xy, std::size_t n) {
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mx += xy[2 * i];
        my += xy[2 * i + 1];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        xy[2 * i] -= mx;
        xy[2 * i + 1] -= my;
    }
}

BondTable::BondTable(std::size_t n_atoms, std::vector<std::pair<long, long>> bonds)
    : bonds_(std::move(bonds)), higher_(n_atoms) {
    for (auto [u, v] : bonds_) {
        long lo = std::min(u, v), hi = std::max(u, v);
        higher_[static_cast<std::size_t>(lo)].push_back(hi);
    }
    for (auto &h : higher_) {
        std::sort(h.begin(), h.end());
        h.erase(std::unique(h.begin(), h.end()), h.end());
    }
}

namespace {

// Skin of the pair list, as a fraction of min_nb, and the share of it an
// atom pair may close before the list is rebuilt.
constexpr double kSkin = 0.5;
constexpr double kSkinUse = 0.9;

double squared(double dx, double dy, NormKind nk) {
    return nk == NormKind::fused ? std::fma(dy, dy, dx * dx) : dx * dx + dy * dy;
}

// Whether the pair list still covers every pair that can interact: all
// coordinates finite and no atom farther than kSkinUse * skin / 2 from where
// it was when the list was built.
bool list_holds(const double *xy, std::size_t n, double skin, const StepScratch &s) {
    if (!s.listed) return false;
    const double reach = kSkinUse * skin / 2.0;
    const double reach2 = reach * reach;
    for (std::size_t k = 0; k < n; ++k) {
        const double dx = xy[2 * k] - s.ref[2 * k], dy = xy[2 * k + 1] - s.ref[2 * k + 1];
        if (!(dx * dx + dy * dy < reach2)) return false;  // NaN too
    }
    return true;
}

}  // namespace

void force_step(double *xy, std::size_t n, const BondTable &bt, const ForceParams &p, NormKind nk,
                StepScratch &scratch) {
    scratch.forces.assign(2 * n, 0.0);
    scratch.dist2.resize(n);
    double *f = scratch.forces.data();
    for (auto [u, v] : bt.bonds()) {
        double dx = xy[2 * v] - xy[2 * u];
        double dy = xy[2 * v + 1] - xy[2 * u + 1];
        double L = norm2(dx, dy, nk);
        if (L < 1e-9) continue;
        double s = L - p.target_bond_len;
        double fx = s * dx / L * p.k_attr;
        double fy = s * dy / L * p.k_attr;
        f[2 * u] += fx;
        f[2 * u + 1] += fy;
        f[2 * v] -= fx;
        f[2 * v + 1] -= fy;
    }
    // Repulsion of one non-bonded pair (i < j) from its squared distance.
    // Pairs are visited in (i, j) order; a pair out of range adds nothing.
    auto repel = [&](std::size_t i, std::size_t j, double d2) {
        double L = std::sqrt(d2);
        if (L < 1e-9) return;
        if (L < p.min_nb) {
            double dx = xy[2 * j] - xy[2 * i];
            double dy = xy[2 * j + 1] - xy[2 * i + 1];
            double s = p.min_nb - L;
            double fx = s * dx / L * p.k_rep;
            double fy = s * dy / L * p.k_rep;
            f[2 * i] -= fx;
            f[2 * i + 1] -= fy;
            f[2 * j] += fx;
            f[2 * j + 1] += fy;
        }
    };
    // Squared distances at or above this bound are certainly not below
    // min_nb after the square root: such pairs do not interact.
    const double far2 = p.min_nb * p.min_nb * (1.0 + 1e-10);
    const double skin = kSkin * p.min_nb;
    const bool use_list = n <= UINT32_MAX && std::isfinite(far2) && p.min_nb > 0.0;
    if (use_list && list_holds(xy, n, skin, scratch)) {
        for (auto [i, j] : scratch.near) {
            const double dx = xy[2 * j] - xy[2 * i], dy = xy[2 * j + 1] - xy[2 * i + 1];
            const double d2 = squared(dx, dy, nk);
            if (d2 >= far2) continue;
            repel(i, j, d2);
        }
    } else {
        // Full scan; it rebuilds the list when the coordinates allow one.
        const double reach = p.min_nb + skin;
        const double list2 = reach * reach * (1.0 + 1e-9);
        bool finite = use_list;
        for (std::size_t k = 0; finite && k < 2 * n; ++k) finite = std::isfinite(xy[k]);
        scratch.near.clear();
        scratch.listed = false;
        double *d2 = scratch.dist2.data();
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const double xi = xy[2 * i], yi = xy[2 * i + 1];
            for (std::size_t j = i + 1; j < n; ++j) d2[j] = squared(xy[2 * j] - xi, xy[2 * j + 1] - yi, nk);
            const std::vector<long> &bonded = bt.higher(i);
            auto next_bonded = bonded.begin();
            for (std::size_t j = i + 1; j < n; ++j) {
                if (!(d2[j] < list2) && d2[j] >= far2) continue;  // NaN goes on, as it must
                while (next_bonded != bonded.end() && static_cast<std::size_t>(*next_bonded) < j) ++next_bonded;
                if (next_bonded != bonded.end() && static_cast<std::size_t>(*next_bonded) == j) continue;
                if (finite) scratch.near.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
                if (d2[j] >= far2) continue;
                repel(i, j, d2[j]);
            }
        }
        if (finite) {
            scratch.ref.assign(xy, xy + 2 * n);
            scratch.listed = true;
        }
    }
    for (std::size_t k = 0; k < 2 * n; ++k) xy[k] += f[k];
}

void force_loop(double *xy, std::size_t n, const BondTable &bt, const ForceParams &p, const Groups &groups,
                long it0, long it1, NormKind nk, const Stop &stop) {
    StepScratch scratch;
    for (long it = it0; it < it1; ++it) {
        if (stop && stop()) throw Interrupted();
        force_step(xy, n, bt, p, nk, scratch);
        if (equalize_after(it)) radial_equalize(xy, groups, nk);
    }
}

}  // namespace corvane::layout
