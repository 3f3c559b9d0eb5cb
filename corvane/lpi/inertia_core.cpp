#include "inertia_core.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>

namespace corvane::lpi {

namespace {

// Bunch and Kaufman's threshold, (1 + sqrt(17)) / 8: it bounds the growth of
// the entries at each elimination step by 2.57 whichever pivot is taken.
constexpr double kAlpha = 0.6403882032022076;

// Entries of this magnitude and within its reciprocal keep every product and
// quotient of the factorisation in the normal range.
constexpr double kHuge = 0x1p500;
constexpr double kTinyEntry = 0x1p-500;

// Minimum-degree elimination order of the pattern given as adjacency lists
// (ties: lowest node), with the longest row the elimination meets; false
// when the fill goes past `max_fill` entries.
bool min_degree_order(std::vector<std::vector<int>> adj, std::size_t max_fill, std::vector<int> &order,
                      std::size_t &longest) {
    const std::size_t n = adj.size();
    longest = 0;
    for (auto &r : adj) {
        std::sort(r.begin(), r.end());
        longest = std::max(longest, r.size());
    }
    std::set<std::pair<std::size_t, int>> queue;
    for (std::size_t i = 0; i < n; ++i) queue.insert({adj[i].size(), static_cast<int>(i)});
    std::vector<char> gone(n, 0);
    std::size_t entries = 0;
    order.clear();
    order.reserve(n);
    std::vector<int> nb, merged;
    while (!queue.empty()) {
        const int p = queue.begin()->second;
        queue.erase(queue.begin());
        gone[p] = 1;
        order.push_back(p);
        nb.clear();
        for (int j : adj[p])
            if (!gone[j]) nb.push_back(j);
        // The neighbours become a clique.
        for (int i : nb) {
            queue.erase({adj[i].size(), i});
            merged.clear();
            std::set_union(adj[i].begin(), adj[i].end(), nb.begin(), nb.end(), std::back_inserter(merged));
            merged.erase(std::remove_if(merged.begin(), merged.end(), [&](int x) { return x == i || gone[x]; }),
                         merged.end());
            adj[i].swap(merged);
            entries += adj[i].size();
            longest = std::max(longest, adj[i].size());
            if (entries > max_fill) return false;
            queue.insert({adj[i].size(), i});
        }
        adj[p].clear();
    }
    return true;
}

}  // namespace

bool sparse_of(const std::vector<double> &a, std::size_t n, std::size_t max_degree, SparseSym &out) {
    if (a.size() < n * n) return false;
    out = SparseSym{};
    out.n = n;
    out.diag.assign(n, 0.0);
    std::vector<std::vector<int>> adj(n);
    std::vector<std::vector<double>> vals(n);
    std::size_t entries = 0;
    double norm = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double x = a[i * n + j];
            if (x == 0.0) continue;
            const double ax = std::fabs(x);
            if (!(ax <= kHuge) || ax < kTinyEntry) return false;
            if (a[j * n + i] != x) return false;
            s += ax;
            if (i == j) {
                out.diag[i] = x;
            } else {
                adj[i].push_back(static_cast<int>(j));
                vals[i].push_back(x);
                if (++entries > max_degree * n) return false;
            }
        }
        norm = std::max(norm, s);
    }
    out.norm = norm;
    // Fill beyond a few times the pattern makes a dense decomposition the
    // better deal.
    std::size_t longest = 0;
    if (!min_degree_order(adj, 8 * (entries + n) + 64, out.order, longest)) return false;
    // Pivots of two rows and partners taken out of order make rows longer
    // than the symbolic elimination says; a row that outgrows even this
    // sends the count to the dense path.
    out.cap = 2 * longest + 8;
    out.len.assign(n, 0);
    out.col.assign(n * out.cap, -1);
    out.val.assign(n * out.cap, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        out.len[i] = static_cast<int>(adj[i].size());
        for (std::size_t k = 0; k < adj[i].size(); ++k) {
            out.col[i * out.cap + k] = adj[i][k];
            out.val[i * out.cap + k] = vals[i][k];
        }
    }
    return true;
}

namespace {

// A fixed-capacity row of the working matrix.
struct Row {
    int *col;
    double *val;
    int &len;
    int cap;
    int find(int j) const {
        for (int k = 0; k < len; ++k)
            if (col[k] == j) return k;
        return -1;
    }
    void drop(int j) {
        const int k = find(j);
        if (k < 0) return;
        --len;
        col[k] = col[len];
        val[k] = val[len];
    }
    // a_ij -= x (an entry that is not there yet is added); false when full.
    bool subtract(int j, double x) {
        const int k = find(j);
        if (k >= 0) {
            val[k] -= x;
            return true;
        }
        if (len == cap) return false;
        col[len] = j;
        val[len] = -x;
        ++len;
        return true;
    }
};

}  // namespace

ShiftCount count_below(const SparseSym &m, double shift, int ci, int cj, InertiaWork &w) {
    ShiftCount res;
    const std::size_t n = m.n, cap = m.cap;
    w.len = m.len;
    w.col = m.col;
    w.val = m.val;
    w.diag.resize(n);
    w.rs.assign(n, 0.0);
    w.absrow.resize(n);
    w.gone.assign(n, 0);
    auto row = [&](int i) {
        const std::size_t o = static_cast<std::size_t>(i) * cap;
        return Row{&w.col[o], &w.val[o], w.len[static_cast<std::size_t>(i)], static_cast<int>(cap)};
    };
    for (std::size_t i = 0; i < n; ++i) w.diag[i] = m.diag[i] - shift;
    if (ci >= 0 && cj >= 0 && ci != cj && static_cast<std::size_t>(ci) < n && static_cast<std::size_t>(cj) < n) {
        row(ci).drop(cj);
        row(cj).drop(ci);
    }
    for (std::size_t i = 0; i < n; ++i) {
        double s = std::fabs(w.diag[i]);
        const Row r = row(static_cast<int>(i));
        for (int k = 0; k < r.len; ++k) s += std::fabs(r.val[k]);
        w.absrow[i] = s;
    }

    std::size_t below = 0;
    std::vector<int> &nb = w.nb;
    // Subtracts x(a, b) from the entries (nb[a], nb[b]) of every pair of
    // neighbours a != b, x taken with the lower index first so both halves
    // stay equal.  Each row's columns are looked up through `slot`.
    std::vector<int> &slot = w.slot;
    slot.assign(n, -1);
    auto update = [&](std::size_t k, auto &&x) {
        for (std::size_t a = 0; a < k; ++a) {
            Row ra = row(nb[a]);
            for (int t = 0; t < ra.len; ++t) slot[ra.col[t]] = t;
            bool ok = true;
            for (std::size_t b = 0; b < k && ok; ++b) {
                if (b == a) continue;
                const double v = a < b ? x(a, b) : x(b, a);
                const int t = slot[nb[b]];
                if (t >= 0) {
                    ra.val[t] -= v;
                } else if (ra.len < ra.cap) {
                    ra.col[ra.len] = nb[b];
                    ra.val[ra.len] = -v;
                    ++ra.len;
                } else {
                    ok = false;
                }
            }
            for (int t = 0; t < ra.len; ++t) slot[ra.col[t]] = -1;
            if (!ok) return false;
        }
        return true;
    };
    std::vector<double> &aip = w.aip, &air = w.air, &lp = w.lp, &lr = w.lr;
    // One 1 x 1 pivot q: its neighbours lose it and take the update.
    auto pivot1 = [&](int q) {
        const double d = w.diag[q];
        if (d == 0.0 || !std::isfinite(d)) return false;
        if (d < 0.0) ++below;
        Row rq = row(q);
        nb.assign(rq.col, rq.col + rq.len);
        aip.assign(rq.val, rq.val + rq.len);
        lp.resize(nb.size());
        double colsum = 1.0;
        for (std::size_t a = 0; a < nb.size(); ++a) {
            lp[a] = aip[a] / d;
            colsum += std::fabs(lp[a]);
        }
        const double ad = std::fabs(d);
        w.rs[q] += ad * colsum;
        for (std::size_t a = 0; a < nb.size(); ++a) {
            const int i = nb[a];
            row(i).drop(q);
            w.rs[i] += std::fabs(lp[a]) * ad * colsum;
            w.diag[i] -= lp[a] * aip[a];
        }
        // The pair (a, b), a < b, takes the same value in both rows.
        if (!update(nb.size(), [&](std::size_t a, std::size_t b) { return lp[a] * aip[b]; })) return false;
        rq.len = 0;
        w.gone[q] = 1;
        return true;
    };
    // One 2 x 2 pivot (p, r) with off-diagonal entry apr.
    auto pivot2 = [&](int p, int r, double apr) {
        const double dp = w.diag[p], dr = w.diag[r];
        const double det = dp * dr - apr * apr;
        if (det == 0.0 || !std::isfinite(det)) return false;
        below += det < 0.0 ? 1 : (dp < 0.0 ? 2 : 0);
        // Neighbours of either, with a_ip and a_ir.
        Row rp = row(p), rr = row(r);
        nb.clear();
        aip.clear();
        air.clear();
        for (int k = 0; k < rp.len; ++k)
            if (rp.col[k] != r) {
                nb.push_back(rp.col[k]);
                aip.push_back(rp.val[k]);
                air.push_back(0.0);
            }
        for (int k = 0; k < rr.len; ++k) {
            const int j = rr.col[k];
            if (j == p) continue;
            auto it = std::find(nb.begin(), nb.end(), j);
            if (it == nb.end()) {
                nb.push_back(j);
                aip.push_back(0.0);
                air.push_back(rr.val[k]);
            } else {
                air[static_cast<std::size_t>(it - nb.begin())] = rr.val[k];
            }
        }
        const std::size_t k = nb.size();
        lp.resize(k);
        lr.resize(k);
        double cp = 1.0, cr = 1.0;
        for (std::size_t a = 0; a < k; ++a) {
            lp[a] = (aip[a] * dr - air[a] * apr) / det;
            lr[a] = (air[a] * dp - aip[a] * apr) / det;
            cp += std::fabs(lp[a]);
            cr += std::fabs(lr[a]);
        }
        const double adp = std::fabs(dp), adr = std::fabs(dr), aapr = std::fabs(apr);
        const double up = adp * cp + aapr * cr, ur = aapr * cp + adr * cr;
        w.rs[p] += up;
        w.rs[r] += ur;
        for (std::size_t a = 0; a < k; ++a) {
            const int i = nb[a];
            Row ri = row(i);
            ri.drop(p);
            ri.drop(r);
            w.rs[i] += std::fabs(lp[a]) * up + std::fabs(lr[a]) * ur;
            w.diag[i] -= lp[a] * aip[a] + lr[a] * air[a];
        }
        if (!update(k, [&](std::size_t a, std::size_t b) { return lp[a] * aip[b] + lr[a] * air[b]; })) return false;
        rp.len = 0;
        rr.len = 0;
        w.gone[p] = w.gone[r] = 1;
        return true;
    };

    for (int p : m.order) {
        while (!w.gone[p]) {
            double lam = 0.0, apr = 0.0;
            int r = -1;
            const Row rp = row(p);
            for (int k = 0; k < rp.len; ++k)
                if (std::fabs(rp.val[k]) > lam) {
                    lam = std::fabs(rp.val[k]);
                    r = rp.col[k];
                    apr = rp.val[k];
                }
            const double dp = std::fabs(w.diag[p]);
            bool ok;
            if (r < 0 || dp >= kAlpha * lam) {
                ok = pivot1(p);
            } else {
                double sigma = 0.0;
                const Row rr = row(r);
                for (int k = 0; k < rr.len; ++k) sigma = std::max(sigma, std::fabs(rr.val[k]));
                if (dp * sigma >= kAlpha * lam * lam)
                    ok = pivot1(p);
                else if (std::fabs(w.diag[r]) >= kAlpha * sigma)
                    ok = pivot1(r);  // p comes round again
                else
                    ok = pivot2(p, r, apr);
            }
            if (!ok) return res;
        }
    }
    // |E| <= p(n) u (|A - sI| + |L||D||L^T|) entrywise (Higham's bound for
    // block LDL^T); its largest row sum bounds the 2-norm.  p(n) = 4 (n + 10)
    // is generous for the few updates each entry of a sparse matrix takes.
    double worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, w.absrow[i] + w.rs[i]);
    if (!std::isfinite(worst)) return res;
    res.bound = 4.0 * (static_cast<double>(n) + 10.0) * (DBL_EPSILON / 2.0) * worst;
    res.below = below;
    res.ok = true;
    return res;
}

CheckedCounts sparse_counts_checked(const SparseSym &m, double tol, int ci, int cj, InertiaWork &w) {
    CheckedCounts r;
    const std::size_t n = m.n;
    if (n == 0) {
        r.certain = true;
        return r;
    }
    if (!(tol > 0.0) || !std::isfinite(tol)) return r;
    const double margin = rounding_margin(n, m.norm);
    const double half = tol / 2.0;
    if (!(half >= 2.0 * margin)) return r;
    const double slack = half - margin;
    auto at = [&](double s, ShiftCount &c) {
        c = count_below(m, s, ci, cj, w);
        return c.ok && c.bound <= slack;
    };
    ShiftCount lo_out, hi_out;
    if (!at(-tol - half, lo_out) || !at(tol + half, hi_out)) return r;
    r.counts.neg = static_cast<long>(lo_out.below);
    r.counts.pos = static_cast<long>(n - hi_out.below);
    r.counts.zero = static_cast<long>(n) - r.counts.pos - r.counts.neg;
    if (lo_out.below == hi_out.below) {
        // No eigenvalue from below -tol to above tol, margins included.
        r.certain = true;
        return r;
    }
    ShiftCount lo_in, hi_in;
    if (!at(-tol + half, lo_in) || !at(tol - half, hi_in)) return r;
    r.certain = lo_in.below == lo_out.below && hi_in.below == hi_out.below;
    return r;
}

}  // namespace corvane::lpi
