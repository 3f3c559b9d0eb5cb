#include "inertia_core.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <type_traits>

namespace corvane::lpi {

namespace {

// Bunch and Kaufman's threshold, (1 + sqrt(17)) / 8: it bounds the growth of
// the entries at each elimination step by 2.57 whichever pivot is taken.
constexpr double kAlpha = 0.6403882032022076;

// Entries of this magnitude and within its reciprocal keep every product and
// quotient of the factorisation in the normal range.
constexpr double kHuge = 0x1p500;
constexpr double kTinyEntry = 0x1p-500;

// Rows may grow to this many times the room the symbolic elimination gave
// them before the factorisation gives up (its fill then makes a dense
// decomposition the better deal).
constexpr std::size_t kMaxGrowth = 16;

// Minimum-degree elimination order of a pattern of groups of nodes, given
// as the groups' adjacency lists (ties: lowest group): a group's degree is
// the number of nodes in the groups next to it.  `longest` receives the
// longest row the elimination meets, in nodes (the group's own other nodes
// included); false when the fill goes past `max_fill` entries.  The next
// group is found by a scan of all of them up to kScanOrder groups (a
// fragment's graph: cheaper than keeping them sorted), through an ordered
// set beyond; both take the same group.
constexpr std::size_t kScanOrder = 1024;

bool min_degree_order(std::vector<std::vector<int>> &adj, const std::vector<int> &size, std::size_t max_fill,
                      std::vector<int> &order, std::size_t &longest) {
    const std::size_t n = adj.size();
    std::vector<std::size_t> degree(n, 0);
    auto weigh = [&](std::size_t i) {
        std::size_t d = 0;
        for (int j : adj[i]) d += static_cast<std::size_t>(size[static_cast<std::size_t>(j)]);
        degree[i] = d;
        longest = std::max(longest, d + static_cast<std::size_t>(size[i]) - 1);
    };
    longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::sort(adj[i].begin(), adj[i].end());
        weigh(i);
    }
    const bool scan = n <= kScanOrder;
    std::set<std::pair<std::size_t, int>> queue;
    if (!scan)
        for (std::size_t i = 0; i < n; ++i) queue.insert({degree[i], static_cast<int>(i)});
    std::vector<char> gone(n, 0);
    std::size_t entries = 0;
    order.clear();
    order.reserve(n);
    std::vector<int> nb, merged;
    for (std::size_t step = 0; step < n; ++step) {
        int p = -1;
        if (scan) {
            std::size_t best = SIZE_MAX;
            for (std::size_t i = 0; i < n; ++i)
                if (!gone[i] && degree[i] < best) {
                    best = degree[i];
                    p = static_cast<int>(i);
                }
        } else {
            p = queue.begin()->second;
            queue.erase(queue.begin());
        }
        gone[p] = 1;
        order.push_back(p);
        // The group's columns of the factor: its neighbours' nodes and its
        // own below the diagonal.
        const std::size_t sp = static_cast<std::size_t>(size[static_cast<std::size_t>(p)]);
        entries += sp * degree[static_cast<std::size_t>(p)] + sp * (sp - 1) / 2;
        if (entries > max_fill) return false;
        nb.clear();
        for (int j : adj[p])
            if (!gone[j]) nb.push_back(j);
        // The neighbours become a clique.
        for (int i : nb) {
            const std::size_t ii = static_cast<std::size_t>(i);
            if (!scan) queue.erase({degree[ii], i});
            merged.clear();
            std::set_union(adj[ii].begin(), adj[ii].end(), nb.begin(), nb.end(), std::back_inserter(merged));
            merged.erase(std::remove_if(merged.begin(), merged.end(), [&](int x) { return x == i || gone[x]; }),
                         merged.end());
            adj[ii].swap(merged);
            weigh(ii);
            if (!scan) queue.insert({degree[ii], i});
        }
        adj[p].clear();
    }
    return true;
}

// Groups of at most this many nodes are ordered as one.
constexpr int kGroupMax = 8;

// Groups of the nodes that 2 x 2 pivots will join.  Bunch-Kaufman pairs a
// node whose diagonal entry is small against its row (a VIF graph's zero
// diagonal) with the node of its largest entry (lowest column of equal
// ones); a node and that partner, and the partner's partner, go in one
// group (up to kGroupMax nodes), so that the 2 x 2 pivots the factorisation
// takes stay within groups of the order and fill no more than it foresaw.
// group[i]: i's group, numbered by lowest node.
std::size_t pivot_groups(std::size_t n, const std::vector<double> &diag, const std::vector<std::size_t> &start,
                         const std::vector<int> &cols, const std::vector<double> &vals, std::vector<int> &group,
                         std::vector<int> &size) {
    std::vector<int> root(n), count(n, 1);
    for (std::size_t i = 0; i < n; ++i) root[i] = static_cast<int>(i);
    auto find = [&](int x) {
        while (root[static_cast<std::size_t>(x)] != x) {
            root[static_cast<std::size_t>(x)] = root[static_cast<std::size_t>(root[static_cast<std::size_t>(x)])];
            x = root[static_cast<std::size_t>(x)];
        }
        return x;
    };
    for (std::size_t p = 0; p < n; ++p) {
        double lam = 0.0;
        int r = -1;
        for (std::size_t k = start[p]; k < start[p + 1]; ++k)
            if (std::fabs(vals[k]) > lam) {
                lam = std::fabs(vals[k]);
                r = cols[k];
            }
        if (r < 0 || std::fabs(diag[p]) >= kAlpha * lam) continue;
        const int a = find(static_cast<int>(p)), b = find(r);
        if (a == b || count[static_cast<std::size_t>(a)] + count[static_cast<std::size_t>(b)] > kGroupMax) continue;
        root[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
        count[static_cast<std::size_t>(std::min(a, b))] += count[static_cast<std::size_t>(std::max(a, b))];
    }
    group.assign(n, -1);
    size.clear();
    std::vector<int> id(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = static_cast<std::size_t>(find(static_cast<int>(i)));
        if (id[r] < 0) {
            id[r] = static_cast<int>(size.size());
            size.push_back(0);
        }
        group[i] = id[r];
        ++size[static_cast<std::size_t>(id[r])];
    }
    return size.size();
}

// The elimination order of an off-diagonal pattern given row by row (flat,
// sorted columns), and the working rows laid out in it; false when the fill
// makes a dense decomposition the better deal.
bool order_and_lay_out(std::size_t n, const std::vector<std::size_t> &start, const std::vector<int> &cols,
                       const std::vector<double> &vals, SparseSym &out) {
    const std::size_t entries = start[n];
    std::vector<int> group, size;
    const std::size_t groups = pivot_groups(n, out.diag, start, cols, vals, group, size);
    std::vector<std::vector<int>> adj(groups);
    for (std::size_t i = 0; i < n; ++i) {
        auto &a = adj[static_cast<std::size_t>(group[i])];
        for (std::size_t k = start[i]; k < start[i + 1]; ++k) {
            const int g = group[static_cast<std::size_t>(cols[k])];
            if (g != group[i]) a.push_back(g);
        }
    }
    for (auto &a : adj) {
        std::sort(a.begin(), a.end());
        a.erase(std::unique(a.begin(), a.end()), a.end());
    }
    // Fill beyond a few times the pattern makes a dense decomposition the
    // better deal.
    std::size_t longest = 0;
    std::vector<int> group_order;
    if (!min_degree_order(adj, size, 8 * (entries + n) + 64, group_order, longest)) return false;
    // Each group's nodes together, fewest entries first (lowest node of
    // equal ones): a pendant node before the node it hangs on.
    std::vector<std::vector<int>> members(groups);
    for (std::size_t i = 0; i < n; ++i) members[static_cast<std::size_t>(group[i])].push_back(static_cast<int>(i));
    out.order.clear();
    out.order.reserve(n);
    for (int g : group_order) {
        auto &mb = members[static_cast<std::size_t>(g)];
        std::stable_sort(mb.begin(), mb.end(), [&](int a, int b) {
            return start[static_cast<std::size_t>(a) + 1] - start[static_cast<std::size_t>(a)] <
                   start[static_cast<std::size_t>(b) + 1] - start[static_cast<std::size_t>(b)];
        });
        out.order.insert(out.order.end(), mb.begin(), mb.end());
    }
    // Pivots of two rows and partners taken out of order make rows longer
    // than the symbolic elimination says; a row that outgrows even this
    // sends the count to the dense path.
    out.cap = 2 * longest + 8;
    out.len.assign(n, 0);
    out.col.assign(n * out.cap, -1);
    out.val.assign(n * out.cap, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t b = start[i], e = start[i + 1];
        out.len[i] = static_cast<int>(e - b);
        std::copy(cols.begin() + static_cast<std::ptrdiff_t>(b), cols.begin() + static_cast<std::ptrdiff_t>(e),
                  out.col.begin() + static_cast<std::ptrdiff_t>(i * out.cap));
        std::copy(vals.begin() + static_cast<std::ptrdiff_t>(b), vals.begin() + static_cast<std::ptrdiff_t>(e),
                  out.val.begin() + static_cast<std::ptrdiff_t>(i * out.cap));
    }
    return true;
}

}  // namespace

bool sparse_of(const std::vector<double> &a, std::size_t n, std::size_t max_degree, SparseSym &out) {
    if (a.size() < n * n) return false;
    out = SparseSym{};
    out.n = n;
    out.diag.assign(n, 0.0);
    // The off-diagonal entries row by row (flat), then as lists for the
    // ordering, which changes them.
    std::vector<std::size_t> start(n + 1, 0);
    std::vector<int> cols;
    std::vector<double> vals;
    double norm = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        const double *row = &a[i * n];
        for (std::size_t j = 0; j < n; ++j) {
            // Runs of zeros (most of a large molecule's row) eight at a time:
            // +0.0 and -0.0 are the values whose bits are zero but for the sign.
            while (j + 8 <= n) {
                std::uint64_t bits[8], any = 0;
                std::memcpy(bits, row + j, sizeof bits);
                for (std::uint64_t b : bits) any |= b;
                if (any << 1 != 0) break;
                j += 8;
            }
            if (j == n) break;
            const double x = row[j];
            if (x == 0.0) continue;
            const double ax = std::fabs(x);
            if (!(ax <= kHuge) || ax < kTinyEntry) return false;
            if (a[j * n + i] != x) return false;
            s += ax;
            if (i == j) {
                out.diag[i] = x;
            } else {
                cols.push_back(static_cast<int>(j));
                vals.push_back(x);
                if (cols.size() > max_degree * n) return false;
            }
        }
        start[i + 1] = cols.size();
        norm = std::max(norm, s);
    }
    out.norm = norm;
    return order_and_lay_out(n, start, cols, vals, out);
}

bool sparse_of_rows(const SparseRows &a, std::size_t max_degree, SparseSym &out) {
    const std::size_t n = a.n;
    if (a.diag.size() < n || a.start.size() < n + 1 || a.col.size() < a.start[n] || a.val.size() < a.start[n])
        return false;
    out.n = n;
    out.diag.assign(a.diag.begin(), a.diag.begin() + static_cast<std::ptrdiff_t>(n));
    // The row sums in the order of the dense pass (the diagonal in its
    // column's place), so the norm is the same to the last bit.
    auto ok_entry = [](double x) {
        const double ax = std::fabs(x);
        return ax <= kHuge && ax >= kTinyEntry;
    };
    double norm = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        const double d = a.diag[i];
        bool diag_done = d == 0.0;
        if (!diag_done && !ok_entry(d)) return false;
        for (std::size_t k = a.start[i]; k < a.start[i + 1]; ++k) {
            const int j = a.col[k];
            const double x = a.val[k];
            if (j < 0 || static_cast<std::size_t>(j) >= n || static_cast<std::size_t>(j) == i) return false;
            if (!diag_done && static_cast<std::size_t>(j) > i) {
                s += std::fabs(d);
                diag_done = true;
            }
            if (x == 0.0 || !ok_entry(x)) return false;
            // Exactly symmetric: row j holds x at column i.
            const auto first = a.col.begin() + static_cast<std::ptrdiff_t>(a.start[j]);
            const auto last = a.col.begin() + static_cast<std::ptrdiff_t>(a.start[j + 1]);
            const auto at = std::lower_bound(first, last, static_cast<int>(i));
            if (at == last || *at != static_cast<int>(i) || a.val[static_cast<std::size_t>(at - a.col.begin())] != x)
                return false;
            s += std::fabs(x);
        }
        if (!diag_done) s += std::fabs(d);
        norm = std::max(norm, s);
    }
    const std::size_t entries = a.start[n];
    if (entries > max_degree * n) return false;
    out.norm = norm;
    return order_and_lay_out(n, a.start, a.col, a.val, out);
}

namespace {

// A fixed-capacity row of the working matrix.
template <class T>
struct Row {
    int *col;
    T *val;
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
    bool subtract(int j, T x) {
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

// One factorisation in the arithmetic of T (double, or long double for the
// few counts double cannot settle), its working storage in W.
template <class T, class W>
ShiftCount factorise(const SparseSym &m, double shift, int ci, int cj, W &w, Factors *record) {
    ShiftCount res;
    if (record) *record = Factors{};
    const std::size_t n = m.n;
    // Rows start in the room the last factorisation of this size ended with.
    std::size_t cap = w.room_n == n && w.room > m.cap && w.room <= kMaxGrowth * m.cap ? w.room : m.cap;
    // Only the first len entries of a row are ever read: the rest of its
    // room is left as the last factorisation left it.
    w.len = m.len;
    w.col.resize(n * cap);
    w.val.resize(n * cap);
    for (std::size_t i = 0; i < n; ++i) {
        std::copy_n(&m.col[i * m.cap], m.len[i], &w.col[i * cap]);
        std::copy_n(&m.val[i * m.cap], m.len[i], &w.val[i * cap]);
    }
    w.diag.resize(n);
    w.rs.assign(n, 0.0);
    w.absrow.resize(n);
    w.gone.assign(n, 0);
    auto row = [&](int i) {
        const std::size_t o = static_cast<std::size_t>(i) * cap;
        return Row<T>{&w.col[o], &w.val[o], w.len[static_cast<std::size_t>(i)], static_cast<int>(cap)};
    };
    for (std::size_t i = 0; i < n; ++i) w.diag[i] = static_cast<T>(m.diag[i]) - static_cast<T>(shift);
    if (ci >= 0 && cj >= 0 && ci != cj && static_cast<std::size_t>(ci) < n && static_cast<std::size_t>(cj) < n) {
        row(ci).drop(cj);
        row(cj).drop(ci);
    }
    for (std::size_t i = 0; i < n; ++i) {
        T s = std::fabs(w.diag[i]);
        const auto r = row(static_cast<int>(i));
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
    // A row that outgrows its room (2 x 2 pivots and partners taken out of
    // order fill more than the symbolic elimination foresaw) moves every row
    // to rooms twice as large; entries keep their places within their rows,
    // so the arithmetic does not depend on the room.
    auto grow = [&] {
        const std::size_t wider = 2 * cap;
        if (wider > kMaxGrowth * m.cap) return false;
        std::vector<int> col(n * wider, -1);
        std::vector<T> val(n * wider, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            std::copy_n(&w.col[i * cap], w.len[i], &col[i * wider]);
            std::copy_n(&w.val[i * cap], w.len[i], &val[i * wider]);
        }
        w.col.swap(col);
        w.val.swap(val);
        cap = wider;
        w.room = wider;
        w.room_n = n;
        return true;
    };
    auto update = [&](std::size_t k, auto &&x) {
        for (std::size_t a = 0; a < k; ++a) {
            const std::size_t ia = static_cast<std::size_t>(nb[a]);
            int &len = w.len[ia];
            for (int t = 0; t < len; ++t) slot[w.col[ia * cap + t]] = t;
            bool ok = true;
            for (std::size_t b = 0; b < k; ++b) {
                if (b == a) continue;
                const T v = a < b ? x(a, b) : x(b, a);
                const int t = slot[nb[b]];
                if (t >= 0) {
                    w.val[ia * cap + t] -= v;
                    continue;
                }
                if (static_cast<std::size_t>(len) == cap && !grow()) {
                    ok = false;
                    break;
                }
                w.col[ia * cap + len] = nb[b];
                w.val[ia * cap + len] = -v;
                ++len;
            }
            for (int t = 0; t < len; ++t) slot[w.col[ia * cap + t]] = -1;
            if (!ok) return false;
        }
        return true;
    };
    std::vector<T> &aip = w.aip, &air = w.air, &lp = w.lp, &lr = w.lr;
    // One 1 x 1 pivot q: its neighbours lose it and take the update.
    auto pivot1 = [&](int q) {
        const T d = w.diag[q];
        if (d == 0.0 || !std::isfinite(d)) return false;
        if (d < 0.0) ++below;
        auto rq = row(q);
        nb.assign(rq.col, rq.col + rq.len);
        aip.assign(rq.val, rq.val + rq.len);
        lp.resize(nb.size());
        T colsum = 1.0;
        for (std::size_t a = 0; a < nb.size(); ++a) {
            lp[a] = aip[a] / d;
            colsum += std::fabs(lp[a]);
        }
        const T ad = std::fabs(d);
        w.rs[q] += ad * colsum;
        for (std::size_t a = 0; a < nb.size(); ++a) {
            const int i = nb[a];
            row(i).drop(q);
            w.rs[i] += std::fabs(lp[a]) * ad * colsum;
            w.diag[i] -= lp[a] * aip[a];
        }
        // The pair (a, b), a < b, takes the same value in both rows.
        if (!update(nb.size(), [&](std::size_t a, std::size_t b) { return lp[a] * aip[b]; })) return false;
        if (record) {
            record->steps.push_back({q, -1, static_cast<double>(d), 0.0, 0.0, record->idx.size()});
            record->idx.insert(record->idx.end(), nb.begin(), nb.end());
            record->lp.insert(record->lp.end(), lp.begin(), lp.end());
            record->lr.resize(record->lp.size(), 0.0);
        }
        rq.len = 0;
        w.gone[q] = 1;
        return true;
    };
    // One 2 x 2 pivot (p, r) with off-diagonal entry apr.
    auto pivot2 = [&](int p, int r, T apr) {
        const T dp = w.diag[p], dr = w.diag[r];
        const T det = dp * dr - apr * apr;
        if (det == 0.0 || !std::isfinite(det)) return false;
        below += det < 0.0 ? 1 : (dp < 0.0 ? 2 : 0);
        // Neighbours of either, with a_ip and a_ir.
        auto rp = row(p);
        auto rr = row(r);
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
        T cp = 1.0, cr = 1.0;
        for (std::size_t a = 0; a < k; ++a) {
            lp[a] = (aip[a] * dr - air[a] * apr) / det;
            lr[a] = (air[a] * dp - aip[a] * apr) / det;
            cp += std::fabs(lp[a]);
            cr += std::fabs(lr[a]);
        }
        const T adp = std::fabs(dp), adr = std::fabs(dr), aapr = std::fabs(apr);
        const T up = adp * cp + aapr * cr, ur = aapr * cp + adr * cr;
        w.rs[p] += up;
        w.rs[r] += ur;
        for (std::size_t a = 0; a < k; ++a) {
            const int i = nb[a];
            auto ri = row(i);
            ri.drop(p);
            ri.drop(r);
            w.rs[i] += std::fabs(lp[a]) * up + std::fabs(lr[a]) * ur;
            w.diag[i] -= lp[a] * aip[a] + lr[a] * air[a];
        }
        if (!update(k, [&](std::size_t a, std::size_t b) { return lp[a] * aip[b] + lr[a] * air[b]; })) return false;
        if (record) {
            record->steps.push_back({p, r, static_cast<double>(dp), static_cast<double>(dr), static_cast<double>(apr), record->idx.size()});
            record->idx.insert(record->idx.end(), nb.begin(), nb.end());
            record->lp.insert(record->lp.end(), lp.begin(), lp.end());
            record->lr.insert(record->lr.end(), lr.begin(), lr.end());
        }
        rp.len = 0;
        rr.len = 0;
        w.gone[p] = w.gone[r] = 1;
        return true;
    };

    for (int p : m.order) {
        while (!w.gone[p]) {
            T lam = 0.0, apr = 0.0;
            int r = -1;
            const auto rp = row(p);
            for (int k = 0; k < rp.len; ++k)
                if (std::fabs(rp.val[k]) > lam) {
                    lam = std::fabs(rp.val[k]);
                    r = rp.col[k];
                    apr = rp.val[k];
                }
            const T dp = std::fabs(w.diag[p]);
            bool ok;
            if (r < 0 || dp >= kAlpha * lam) {
                ok = pivot1(p);
            } else {
                T sigma = 0.0;
                const auto rr = row(r);
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
    T worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, w.absrow[i] + w.rs[i]);
    if (!std::isfinite(worst)) return res;
    res.bound = static_cast<double>(4.0 * (static_cast<T>(n) + 10.0) * (std::numeric_limits<T>::epsilon() / 2.0) * worst);
    // Rounded to double: one part in 2^52 more to stay an upper bound.
    if constexpr (!std::is_same_v<T, double>) res.bound *= 1.0 + 2.0 * DBL_EPSILON;
    res.below = below;
    res.ok = true;
    if (record) {
        record->n = n;
        // Each step's parent in the elimination tree: the first later step
        // whose pivots it updates (none: the number of steps).
        const std::size_t steps = record->steps.size();
        std::vector<std::size_t> step_of(n, steps);
        for (std::size_t t = 0; t < steps; ++t) {
            step_of[static_cast<std::size_t>(record->steps[t].p)] = t;
            if (record->steps[t].r >= 0) step_of[static_cast<std::size_t>(record->steps[t].r)] = t;
        }
        record->parent.assign(steps, steps);
        for (std::size_t t = 0; t < steps; ++t) {
            const std::size_t end = t + 1 < steps ? record->steps[t + 1].begin : record->idx.size();
            for (std::size_t k = record->steps[t].begin; k < end; ++k)
                record->parent[t] = std::min(record->parent[t], step_of[static_cast<std::size_t>(record->idx[k])]);
        }
    }
    return res;
}

// Working storage of a factorisation in long double.
struct ExtendedWork {
    std::vector<int> len, col;
    std::vector<long double> val, diag, rs, absrow;
    std::vector<char> gone;
    std::vector<int> nb, slot;
    std::vector<long double> aip, air, lp, lr;
    std::size_t room = 0, room_n = 0;
};

}  // namespace

ShiftCount count_below(const SparseSym &m, double shift, int ci, int cj, InertiaWork &w, Factors *record) {
    return factorise<double>(m, shift, ci, cj, w, record);
}

namespace {

// x <- (L D L^T)^-1 L x: the block-diagonal solve and the backward sweep of
// a solve, for an x that has been through the forward sweep.
void finish_solve(const Factors &f, double *x) {
    const std::size_t steps = f.steps.size();
    auto end_of = [&](std::size_t t) { return t + 1 < steps ? f.steps[t + 1].begin : f.idx.size(); };
    for (const Factors::Step &st : f.steps) {
        if (st.r < 0) {
            x[st.p] /= st.dp;
        } else {
            const double det = st.dp * st.dr - st.apr * st.apr;
            const double yp = x[st.p], yr = x[st.r];
            x[st.p] = (st.dr * yp - st.apr * yr) / det;
            x[st.r] = (st.dp * yr - st.apr * yp) / det;
        }
    }
    for (std::size_t t = steps; t-- > 0;) {
        const Factors::Step &st = f.steps[t];
        double sp = 0.0, sr = 0.0;
        for (std::size_t k = st.begin; k < end_of(t); ++k) {
            sp += f.lp[k] * x[f.idx[k]];
            sr += f.lr[k] * x[f.idx[k]];
        }
        x[st.p] -= sp;
        if (st.r >= 0) x[st.r] -= sr;
    }
}

}  // namespace

void solve(const Factors &f, std::vector<double> &x) {
    const std::size_t steps = f.steps.size();
    auto end_of = [&](std::size_t t) { return t + 1 < steps ? f.steps[t + 1].begin : f.idx.size(); };
    for (std::size_t t = 0; t < steps; ++t) {
        const Factors::Step &st = f.steps[t];
        const double yp = x[st.p], yr = st.r >= 0 ? x[st.r] : 0.0;
        // A right-hand side of one unit entry stays zero until its node.
        if (yp == 0.0 && yr == 0.0) continue;
        for (std::size_t k = st.begin; k < end_of(t); ++k) x[f.idx[k]] -= f.lp[k] * yp + f.lr[k] * yr;
    }
    finish_solve(f, x.data());
}

namespace {

// One augmenting path from the free row r over the pattern of m without the
// pair (ci, cj), depth first without recursion; on success the matching
// grows by one.
bool augment(const SparseSym &m, int r, int ci, int cj, MatchWork &w) {
    ++w.stamp;
    w.stack_row.clear();
    w.stack_at.clear();
    w.chosen.clear();
    w.stack_row.push_back(r);
    w.stack_at.push_back(-1);  // -1: the diagonal entry, then the row's entries
    w.chosen.push_back(-1);
    while (!w.stack_row.empty()) {
        const std::size_t top = w.stack_row.size() - 1;
        const int u = w.stack_row[top];
        const std::size_t uu = static_cast<std::size_t>(u);
        int &at = w.stack_at[top];
        if (at >= m.len[uu]) {
            w.stack_row.pop_back();
            w.stack_at.pop_back();
            w.chosen.pop_back();
            continue;
        }
        const int c = at < 0 ? u : m.col[uu * m.cap + static_cast<std::size_t>(at)];
        const bool entry = at >= 0 || m.diag[uu] != 0.0;
        ++at;
        if (!entry || (u == ci && c == cj) || (u == cj && c == ci)) continue;
        const std::size_t cc = static_cast<std::size_t>(c);
        if (w.seen[cc] == w.stamp) continue;
        w.seen[cc] = w.stamp;
        w.chosen[top] = c;
        if (w.col_mate[cc] < 0) {
            for (std::size_t l = 0; l <= top; ++l) {
                w.row_mate[static_cast<std::size_t>(w.stack_row[l])] = w.chosen[l];
                w.col_mate[static_cast<std::size_t>(w.chosen[l])] = w.stack_row[l];
            }
            return true;
        }
        w.stack_row.push_back(w.col_mate[cc]);
        w.stack_at.push_back(-1);
        w.chosen.push_back(-1);
    }
    return false;
}

// Completes the matching in w to a maximum one of the pattern without the
// pair (ci, cj); returns its size.
std::size_t complete_matching(const SparseSym &m, int ci, int cj, MatchWork &w) {
    const std::size_t n = m.n;
    w.seen.resize(n, 0);
    std::size_t size = 0;
    for (std::size_t i = 0; i < n; ++i) size += w.row_mate[i] >= 0 ? 1 : 0;
    for (std::size_t i = 0; i < n; ++i)
        if (w.row_mate[i] < 0 && augment(m, static_cast<int>(i), ci, cj, w)) ++size;
    return size;
}

}  // namespace

PatternMatching max_matching(const SparseSym &m) {
    const std::size_t n = m.n;
    MatchWork w;
    w.row_mate.assign(n, -1);
    w.col_mate.assign(n, -1);
    // Greedy first (the rows' first free partners), then augmenting paths.
    for (std::size_t i = 0; i < n; ++i) {
        if (m.diag[i] != 0.0 && w.col_mate[i] < 0) {
            w.row_mate[i] = static_cast<int>(i);
            w.col_mate[i] = static_cast<int>(i);
            continue;
        }
        for (int k = 0; k < m.len[i]; ++k) {
            const int c = m.col[i * m.cap + static_cast<std::size_t>(k)];
            if (w.col_mate[static_cast<std::size_t>(c)] < 0) {
                w.row_mate[i] = c;
                w.col_mate[static_cast<std::size_t>(c)] = static_cast<int>(i);
                break;
            }
        }
    }
    PatternMatching pm;
    pm.size = complete_matching(m, -1, -1, w);
    pm.row_mate = std::move(w.row_mate);
    pm.col_mate = std::move(w.col_mate);
    return pm;
}

std::size_t structural_nullity(const SparseSym &m, const PatternMatching &base, int ci, int cj, MatchWork &work) {
    const std::size_t n = m.n;
    if (base.row_mate.size() != n || base.col_mate.size() != n) return 0;
    work.row_mate = base.row_mate;
    work.col_mate = base.col_mate;
    // The cut pair leaves the matching; a maximum matching of the smaller
    // pattern is at most two augmenting paths away.
    for (auto [r, c] : {std::pair{ci, cj}, std::pair{cj, ci}}) {
        if (r < 0 || c < 0 || static_cast<std::size_t>(r) >= n || static_cast<std::size_t>(c) >= n) continue;
        if (work.row_mate[static_cast<std::size_t>(r)] == c) {
            work.row_mate[static_cast<std::size_t>(r)] = -1;
            work.col_mate[static_cast<std::size_t>(c)] = -1;
        }
    }
    return n - complete_matching(m, ci, cj, work);
}

namespace {

// The entry (i, j) of the matrix, 0 when there is none.
double entry(const SparseSym &m, int i, int j) {
    const std::size_t o = static_cast<std::size_t>(i) * m.cap;
    for (int k = 0; k < m.len[static_cast<std::size_t>(i)]; ++k)
        if (m.col[o + static_cast<std::size_t>(k)] == j) return m.val[o + static_cast<std::size_t>(k)];
    return 0.0;
}

}  // namespace

namespace {

// x <- L^-1 x with the recorded factors, for x = e_i and `from` the step of
// node i: only the steps on the path from `from` to the root of the
// elimination tree can make an entry non-zero (the others, visited in
// order, would find theirs zero and do nothing), so only those are visited.
void forward_from(const Factors &f, double *x, std::size_t from) {
    const std::size_t steps = f.steps.size();
    for (std::size_t t = from; t < steps; t = f.parent[t]) {
        const Factors::Step &st = f.steps[t];
        const double yp = x[st.p], yr = st.r >= 0 ? x[st.r] : 0.0;
        if (yp == 0.0 && yr == 0.0) continue;
        const std::size_t end = t + 1 < steps ? f.steps[t + 1].begin : f.idx.size();
        for (std::size_t k = st.begin; k < end; ++k) x[f.idx[k]] -= f.lp[k] * yp + f.lr[k] * yr;
    }
}

// Zero again every entry forward_from(f, x, from) can have made non-zero.
void clear_from(const Factors &f, double *x, std::size_t from) {
    for (std::size_t t = from; t < f.steps.size(); t = f.parent[t]) {
        x[f.steps[t].p] = 0.0;
        if (f.steps[t].r >= 0) x[f.steps[t].r] = 0.0;
    }
}

// a^T D^-1 b over the steps from `from` on, for a = forward_from(e_i) with
// i's step `start` (b zero at the pivots of every step before `from`), with
// the sum of its terms' magnitudes in `abs` (a bound on its rounding error is
// gamma_m times that).  The terms are those of the steps on a's path in the
// elimination tree, in order: the others have a zero factor.
double dinv_dot_abs(const Factors &f, const double *a, const double *b, std::size_t start, std::size_t from,
                    double &abs) {
    double s = 0.0, m = 0.0;
    for (std::size_t t = start; t < f.steps.size(); t = f.parent[t]) {
        if (t < from) continue;
        const Factors::Step &st = f.steps[t];
        const double ap = a[st.p], bp = b[st.p];
        if (st.r < 0) {
            if (ap != 0.0 && bp != 0.0) {
                const double term = ap * (bp / st.dp);
                s += term;
                m += std::fabs(term);
            }
        } else {
            const double ar = a[st.r], br = b[st.r];
            if ((ap == 0.0 && ar == 0.0) || (bp == 0.0 && br == 0.0)) continue;
            const double det = st.dp * st.dr - st.apr * st.apr;
            const double t1 = ap * ((st.dr * bp - st.apr * br) / det), t2 = ar * ((st.dp * br - st.apr * bp) / det);
            s += t1 + t2;
            m += std::fabs(t1) + std::fabs(t2);
        }
    }
    abs = m;
    return s;
}

// The inertia of the 2 x 2 Schur complement S = [[-zii, 1/wt - zij],
// [1/wt - zij, -zjj]] of a cut of weight wt, from entries of (A - sI)^-1
// each within `err` of the true ones: the number of its negative
// eigenvalues, or -1 when the errors leave that open.
int schur_negatives(double zii, double zjj, double zij, double wt, double err) {
    constexpr double u = DBL_EPSILON / 2.0;
    const double inv = 1.0 / wt;
    const double s11 = -zii, s22 = -zjj, s12 = inv - zij;
    if (!std::isfinite(s11) || !std::isfinite(s22) || !std::isfinite(s12)) return -1;
    const double e = err + 4.0 * u * (std::fabs(inv) + std::fabs(zij) + std::fabs(s11) + std::fabs(s22));
    const double det = s11 * s22 - s12 * s12;
    const double det_err = e * (std::fabs(s11) + std::fabs(s22) + 2.0 * std::fabs(s12)) + 2.0 * e * e +
                           4.0 * u * (std::fabs(s11 * s22) + s12 * s12);
    if (!std::isfinite(det_err)) return -1;
    if (det < -det_err) return 1;
    if (det > det_err && std::fabs(s11) > e) return s11 < 0.0 ? 2 : 0;
    return -1;
}

// Counts of the trials `todo` (into `out`) of a matrix whose eigenvalues
// within (-g + b, g - b) are all exact zeros (none, or as many as its
// pattern forces), with `lo` eigenvalues below that window and n - hi above
// it.  At s = -g/2 and s = g/2 every eigenvalue of A is at least g/2 - b
// away, so one factorisation at each gives the entries of (A - sI)^-1 the
// Haynsworth counts of each cut need, with error bounds as in
// gap_trial_counts.  A cut is certain when the number of its eigenvalues
// between the two shifts is its own structural nullity: they are then its
// exact zeros, and the band edges, well inside that window, see only those
// (when tol is well above the rounding margin).
void mid_gap_trial_counts(const SparseSym &m, double tol,
                          const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                          const std::vector<std::size_t> &todo, InertiaWork &w, const PatternMatching &matching,
                          double g, double b, std::size_t lo, std::size_t hi, std::vector<CheckedCounts> &out) {
    const std::size_t n = m.n;
    const double delta = g / 2.0 - b;  // from either shift to any eigenvalue of A
    // An exact zero is as far from the band edges as tol: it counts as zero
    // for any accurate solver only when tol is well above the rounding
    // margin (huge weights against a fixed band may leave it outside).
    const bool zeros_certain = tol >= 4.0 * rounding_margin(n, m.norm);
    Factors f[2];
    double err[2];
    const double shift[2] = {-g / 2.0, g / 2.0};
    const std::size_t below[2] = {lo, hi};
    for (int q = 0; q < 2; ++q) {
        const ShiftCount at = count_below(m, shift[q], -1, -1, w, &f[q]);
        if (!at.ok || at.below != below[q]) return;
        // Factorisation and solves: exact for A - sI + G, |G| <= beta.
        const double beta = 2.0 * at.bound;
        if (!(beta < delta / 2.0)) return;
        err[q] = beta / (delta * (delta - beta));
    }

    // One solve per distinct end node and shift; z[q][k] holds the entries
    // (i, i), (j, j), (i, j) of (A - s_q I)^-1 for the k-th trial of todo.
    std::vector<int> ends;
    for (std::size_t k = 0; k < todo.size(); ++k) {
        const auto [i, j] = trials[todo[k]];
        if (!(i < n && j < n && i != j)) continue;
        ends.push_back(static_cast<int>(i));
        ends.push_back(static_cast<int>(j));
    }
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    std::vector<std::array<double, 3>> z[2];
    z[0].assign(todo.size(), {0.0, 0.0, 0.0});
    z[1].assign(todo.size(), {0.0, 0.0, 0.0});
    // Rounding of the block-diagonal products, added to each trial's error
    // (as in gap_trial_counts; zero where whole solves give the entries).
    std::vector<double> zerr[2];
    zerr[0].assign(todo.size(), 0.0);
    zerr[1].assign(todo.size(), 0.0);
    constexpr double u = DBL_EPSILON / 2.0;
    const double gamma_m = 2.0 * static_cast<double>(n + 4) * u;
    std::vector<double> x(n);
    if (ends.size() * n <= (std::size_t{1} << 20)) {
        // Only three entries of each (A - sI)^-1 are wanted: with
        // y_e = L^-1 e_e, (A - sI)^-1_ab = y_a^T D^-1 y_b.  The forward
        // sweeps from a unit vector start at its node's step, and the
        // block-diagonal products take the place of the backward sweeps
        // (the rounding of each product is bounded by gamma_m times the sum
        // of its terms' magnitudes and added to the trial's error).
        std::vector<double> y(ends.size() * n);
        std::vector<int> slot(n, -1);
        for (int q = 0; q < 2; ++q) {
            const Factors &fq = f[q];
            std::vector<std::size_t> step_of(n, 0);
            for (std::size_t t = 0; t < fq.steps.size(); ++t) {
                step_of[static_cast<std::size_t>(fq.steps[t].p)] = t;
                if (fq.steps[t].r >= 0) step_of[static_cast<std::size_t>(fq.steps[t].r)] = t;
            }
            std::fill(y.begin(), y.end(), 0.0);
            for (std::size_t at = 0; at < ends.size(); ++at) {
                const std::size_t e = static_cast<std::size_t>(ends[at]);
                slot[e] = static_cast<int>(at);
                double *ye = &y[at * n];
                ye[e] = 1.0;
                forward_from(fq, ye, step_of[e]);
            }
            for (std::size_t k = 0; k < todo.size(); ++k) {
                const auto [i, j] = trials[todo[k]];
                if (!(i < n && j < n && i != j)) continue;
                const double *yi = &y[static_cast<std::size_t>(slot[i]) * n];
                const double *yj = &y[static_cast<std::size_t>(slot[j]) * n];
                double ai = 0.0, aj = 0.0, aij = 0.0;
                z[q][k][0] = dinv_dot_abs(fq, yi, yi, step_of[i], step_of[i], ai);
                z[q][k][1] = dinv_dot_abs(fq, yj, yj, step_of[j], step_of[j], aj);
                z[q][k][2] = dinv_dot_abs(fq, yi, yj, step_of[i], std::max(step_of[i], step_of[j]), aij);
                zerr[q][k] = gamma_m * std::max({ai, aj, aij});
            }
        }
    } else {
        std::vector<std::vector<std::size_t>> by_end(n);
        for (std::size_t k = 0; k < todo.size(); ++k) {
            const auto [i, j] = trials[todo[k]];
            if (!(i < n && j < n && i != j)) continue;
            by_end[i].push_back(k);
            by_end[j].push_back(k);
        }
        for (int e : ends)
            for (int q = 0; q < 2; ++q) {
                std::fill(x.begin(), x.end(), 0.0);
                x[static_cast<std::size_t>(e)] = 1.0;
                solve(f[q], x);
                for (std::size_t k : by_end[static_cast<std::size_t>(e)]) {
                    const auto [i, j] = trials[todo[k]];
                    if (static_cast<std::size_t>(e) == i) {
                        z[q][k][0] = x[i];
                        z[q][k][2] = x[j];
                    } else {
                        z[q][k][1] = x[j];
                    }
                }
            }
    }

    MatchWork mw;
    for (std::size_t k = 0; k < todo.size(); ++k) {
        const auto [i, j] = trials[todo[k]];
        if (!(i < n && j < n && i != j)) continue;
        const double wt = entry(m, static_cast<int>(i), static_cast<int>(j));
        if (wt == 0.0) continue;  // the caller's: the matrix itself
        // In(A' - sI) = In(A - sI) + In(S) - (1, 0, 1) (see gap_trial_counts).
        long cut_below[2];
        bool ok = true;
        for (int q = 0; q < 2 && ok; ++q) {
            const int neg = schur_negatives(z[q][k][0], z[q][k][1], z[q][k][2], wt, err[q] + zerr[q][k]);
            ok = neg >= 0;
            cut_below[q] = static_cast<long>(below[q]) + neg - 1;
        }
        if (!ok || cut_below[0] < 0 || cut_below[1] < cut_below[0] || cut_below[1] > static_cast<long>(n)) continue;
        const std::size_t zeros = structural_nullity(m, matching, static_cast<int>(i), static_cast<int>(j), mw);
        if (static_cast<long>(zeros) != cut_below[1] - cut_below[0] || (zeros > 0 && !zeros_certain)) continue;
        CheckedCounts &c = out[todo[k]];
        c.counts.neg = cut_below[0];
        c.counts.zero = static_cast<long>(zeros);
        c.counts.pos = static_cast<long>(n) - cut_below[1];
        c.certain = true;
    }
}

}  // namespace

std::vector<CheckedCounts> gap_trial_counts(const SparseSym &m, double tol,
                                            const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                            CheckedCounts &base, InertiaWork &w) {
    std::vector<CheckedCounts> out(trials.size());
    base = CheckedCounts{};
    const std::size_t n = m.n;
    if (n == 0 || !(tol > 0.0) || !std::isfinite(tol)) return out;
    const double margin = rounding_margin(n, m.norm);
    const double reach = tol + margin;  // band edges and their margins
    // A gap (-gamma, gamma) free of eigenvalues, from the counts either side
    // of it; wide gaps first (a wider gap gives tighter bounds).
    double gamma = 0.0;
    std::size_t below = 0;
    // The structural nullity, once needed (SIZE_MAX: not yet).
    std::size_t forced = SIZE_MAX;
    PatternMatching matching;
    double gap_g = 0.0, gap_b = 0.0;
    for (double g : {m.norm / 64.0, m.norm / 2048.0}) {
        if (!(g > 4.0 * reach)) break;
        const ShiftCount lo = count_below(m, -g, -1, -1, w), hi = count_below(m, g, -1, -1, w);
        if (!lo.ok || !hi.ok) continue;
        const double b = std::max(lo.bound, hi.bound);
        if (!(b < g / 2.0)) continue;
        if (lo.below != hi.below) {
            // Eigenvalues within the band: if no more of them than the
            // pattern forces to be zero, they are exactly those zeros.
            if (forced == SIZE_MAX) {
                matching = max_matching(m);
                forced = n - matching.size;
            }
            // Zeros count as zero only when no solver could put them past a
            // band edge: tol well above the rounding margin.
            if (forced > 0 && hi.below > lo.below && hi.below - lo.below == forced && tol >= 4.0 * margin) {
                base.counts.neg = static_cast<long>(lo.below);
                base.counts.zero = static_cast<long>(forced);
                base.counts.pos = static_cast<long>(n - hi.below);
                base.certain = true;
                std::vector<std::size_t> todo;
                for (std::size_t t = 0; t < trials.size(); ++t) {
                    const auto [i, j] = trials[t];
                    if (i < n && j < n && i != j && entry(m, static_cast<int>(i), static_cast<int>(j)) == 0.0)
                        out[t] = base;  // nothing to cut
                    else
                        todo.push_back(t);
                }
                mid_gap_trial_counts(m, tol, trials, todo, w, matching, g, b, lo.below, hi.below, out);
                return out;
            }
            continue;
        }
        gamma = g - b;
        gap_g = g;
        gap_b = b;
        below = lo.below;
        break;
    }
    if (gamma == 0.0) return out;
    // No eigenvalue within gamma of zero: the LPI has no zero count.
    base.counts.neg = static_cast<long>(below);
    base.counts.pos = static_cast<long>(n - below);
    base.counts.zero = 0;
    base.certain = true;

    Factors f;
    const ShiftCount at0 = count_below(m, 0.0, -1, -1, w, &f);
    if (!at0.ok || at0.below != below) return out;
    // Each solve is exact for some A + G with |G| within twice the
    // factorisation's bound (the solves add as much again), so each computed
    // entry of A^-1 is off by at most beta / (gamma (gamma - beta)); moving
    // the shift anywhere within `reach` of zero moves the entries by at most
    // reach / (gamma (gamma - reach)).
    const double beta = 2.0 * at0.bound;
    if (!(beta < gamma / 2.0)) return out;
    const double err = beta / (gamma * (gamma - beta)) + reach / (gamma * (gamma - reach));

    // The three entries of A^-1 each trial needs.  With y_e = L^-1 e_e,
    // (A^-1)_ab = y_a^T D^-1 y_b: a forward sweep from each end's own step
    // (earlier pivots of a unit vector stay zero) and a product with the
    // block diagonal, where a whole solve would add a backward sweep through
    // every column of L.  The computed y_a, y_b and D^-1 y_b are exact for
    // L and D perturbed as in a solve (a forward sweep through L^T is
    // bounded as one through L), so the products are entries of (A + G)^-1
    // for a G within beta, as the solves' are; the rounding of each dot
    // product, within gamma_m of the sum of its terms' magnitudes, is
    // added to that trial's error (zerr).  Trials are taken by their first
    // end, so each first end is swept once.
    std::vector<std::size_t> step_of(n, 0);
    for (std::size_t t = 0; t < f.steps.size(); ++t) {
        step_of[static_cast<std::size_t>(f.steps[t].p)] = t;
        if (f.steps[t].r >= 0) step_of[static_cast<std::size_t>(f.steps[t].r)] = t;
    }
    // A cut of an edge that is a block of its own (two nodes joined only to
    // each other, as a Kekule pi pair): the matrix is block diagonal, so
    // the cut's counts are the base counts less the block's and plus those
    // of its two diagonal entries.  The block's eigenvalues are eigenvalues
    // of A, at least gamma from zero and from the band: the signs of its
    // determinant and trace (each far above its rounding) give its counts.
    // Its diagonal entries are the cut's eigenvalues, exactly; they count
    // when clear of the band edges by the rounding margin, and as zeros
    // only with tol well above that margin (as in the middle of the gap).
    std::vector<char> settled(trials.size(), 0);
    constexpr double u_block = DBL_EPSILON / 2.0;
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [i, j] = trials[t];
        if (!(i < n && j < n && i != j) || m.len[i] != 1 || m.len[j] != 1) continue;
        const double wt = entry(m, static_cast<int>(i), static_cast<int>(j));
        if (wt == 0.0) continue;
        const double di = m.diag[i], dj = m.diag[j];
        const double det = di * dj - wt * wt, tr = di + dj;
        if (!(std::fabs(det) > 4.0 * u_block * (std::fabs(di * dj) + wt * wt))) continue;
        long pos = base.counts.pos, neg = base.counts.neg, zero = 0;
        if (det < 0.0) {
            --pos;
            --neg;
        } else if (tr > 0.0) {
            pos -= 2;
        } else {
            neg -= 2;
        }
        bool clear = true;
        for (double d : {di, dj}) {
            clear = clear && std::fabs(d - tol) > margin && std::fabs(d + tol) > margin;
            if (d > tol)
                ++pos;
            else if (d < -tol)
                ++neg;
            else
                ++zero;
        }
        if (!clear || (zero > 0 && !(tol >= 4.0 * margin)) || pos < 0 || neg < 0) continue;
        out[t].counts.pos = pos;
        out[t].counts.neg = neg;
        out[t].counts.zero = zero;
        out[t].certain = true;
        settled[t] = 1;
    }
    std::vector<std::size_t> by_first;
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [i, j] = trials[t];
        if (i < n && j < n && i != j && !settled[t]) by_first.push_back(t);
    }
    std::stable_sort(by_first.begin(), by_first.end(),
                     [&](std::size_t x, std::size_t y) { return trials[x].first < trials[y].first; });
    std::vector<double> zii(trials.size(), 0.0), zjj(trials.size(), 0.0), zij(trials.size(), 0.0);
    std::vector<double> zerr(trials.size(), 0.0);
    constexpr double u = DBL_EPSILON / 2.0;
    const double gamma_m = 2.0 * static_cast<double>(n + 4) * u;  // generous for sums of up to n terms
    // Whole solves A^-1 e_e for the cuts whose 2 x 2 problem is singular at
    // zero (see below): finished from the gap test's forward sweeps where
    // it makes them, else solved when the trials come to them; kept (up to
    // 16 M doubles) for the other trials at the same node.
    std::vector<int> slot_of(n, -1);
    std::vector<double> kept, x(n), xother(n);
    auto solve_unit = [&](std::size_t e, std::vector<double> &scratch) {
        if (slot_of[e] >= 0) return;
        std::fill(scratch.begin(), scratch.end(), 0.0);
        scratch[e] = 1.0;
        solve(f, scratch);
        if (kept.size() + n > (std::size_t{1} << 24)) return;
        slot_of[e] = static_cast<int>(kept.size() / n);
        kept.insert(kept.end(), scratch.begin(), scratch.end());
    };
    // The zeros the pattern of trial t's cut forces (its structural
    // nullity), once asked for.  A cut with such zeros has a 2 x 2 problem
    // singular at zero that the shifted counts cannot settle (their errors
    // are of the size of the shift's effect on the exact zeros); it goes to
    // the counts in the middle of the gap first, which are made for it.
    std::vector<std::size_t> cut_zeros(trials.size(), SIZE_MAX);
    bool have_matching = forced != SIZE_MAX;
    MatchWork zero_work;
    auto pattern_zeros = [&](std::size_t t, std::size_t i, std::size_t j) {
        if (cut_zeros[t] == SIZE_MAX) {
            if (!have_matching) {
                matching = max_matching(m);
                have_matching = true;
            }
            cut_zeros[t] = structural_nullity(m, matching, static_cast<int>(i), static_cast<int>(j), zero_work);
        }
        return cut_zeros[t];
    };
    // Whether trial t's cut leaves its 2 x 2 problem singular at zero with
    // no lone hydrogen to settle it and no zeros forced by its pattern, so
    // that the shifted counts below need the whole solves for both ends
    // (the same tests as the loop over the trials makes; a wrong guess only
    // costs time, as solve_unit computes any solve not made here).
    auto needs_solves = [&](std::size_t t, std::size_t i, std::size_t j) {
        const double wt = entry(m, static_cast<int>(i), static_cast<int>(j));
        if (wt == 0.0) return false;
        const double inv = 1.0 / wt;
        const double s11 = -zii[t], s22 = -zjj[t], s12 = inv - zij[t];
        if (!std::isfinite(s11) || !std::isfinite(s22) || !std::isfinite(s12)) return false;
        const double e =
            err + zerr[t] + 4.0 * u * (std::fabs(inv) + std::fabs(zij[t]) + std::fabs(s11) + std::fabs(s22));
        const double det = s11 * s22 - s12 * s12;
        const double det_err = e * (std::fabs(s11) + std::fabs(s22) + 2.0 * std::fabs(s12)) + 2.0 * e * e +
                               4.0 * u * (std::fabs(s11 * s22) + s12 * s12);
        if (det < -det_err || (det > det_err && std::fabs(s11) > e)) return false;
        const bool i_alone = m.len[i] == 1, j_alone = m.len[j] == 1;
        const std::size_t h = i_alone ? i : j;
        const double zhh = i_alone ? zii[t] : zjj[t];
        const double d = m.diag[h];
        return !(i_alone != j_alone && std::fabs(zhh) > err + zerr[t] + 4.0 * u * std::fabs(zhh) &&
                 std::fabs(d - tol) > margin && std::fabs(d + tol) > margin) &&
               pattern_zeros(t, i, j) == 0;
    };
    // A whole solve finished from the forward sweep y = L^-1 e_e the gap
    // test has made anyway: the same operations as solve() on e_e (whose
    // forward sweep skips the same zero steps), so the same bits.
    auto finish_unit = [&](std::size_t e, const std::vector<double> &y) {
        if (slot_of[e] >= 0 || kept.size() + n > (std::size_t{1} << 24)) return;
        slot_of[e] = static_cast<int>(kept.size() / n);
        kept.insert(kept.end(), y.begin(), y.end());
        finish_solve(f, &kept[static_cast<std::size_t>(slot_of[e]) * n]);
    };
    {
        std::vector<double> yi(n, 0.0), yj(n, 0.0);
        std::size_t first = SIZE_MAX;
        double zi = 0.0, zi_abs = 0.0;
        for (std::size_t t : by_first) {
            const auto [i, j] = trials[t];
            if (i != first) {
                if (first != SIZE_MAX) clear_from(f, yi.data(), step_of[first]);
                yi[i] = 1.0;
                forward_from(f, yi.data(), step_of[i]);
                zi = dinv_dot_abs(f, yi.data(), yi.data(), step_of[i], step_of[i], zi_abs);
                first = i;
            }
            yj[j] = 1.0;
            forward_from(f, yj.data(), step_of[j]);
            double zj_abs = 0.0, zij_abs = 0.0;
            zii[t] = zi;
            zjj[t] = dinv_dot_abs(f, yj.data(), yj.data(), step_of[j], step_of[j], zj_abs);
            zij[t] = dinv_dot_abs(f, yi.data(), yj.data(), step_of[i], std::max(step_of[i], step_of[j]), zij_abs);
            zerr[t] = gamma_m * std::max({zi_abs, zj_abs, zij_abs});
            if (needs_solves(t, i, j)) {
                finish_unit(i, yi);
                finish_unit(j, yj);
            }
            clear_from(f, yj.data(), step_of[j]);
        }
    }
    // A cut whose 2 x 2 problem is singular at zero has eigenvalues at or
    // near zero itself.  Its counts at the four shifts s = +-tol +- tol/2
    // still follow from Haynsworth at each s, with
    //   (A - sI)^-1 = A^-1 + s A^-2 + R,  |R| <= s^2 / (gamma^2 (gamma - |s|)),
    // and (A^-2)_ab the dot product of the solves for a and b.  The 2 x 2
    // problem is then of the size of s, far above the errors of its entries,
    // and its inertia at each shift is sure; the counts are certain when they
    // agree either side of each band edge, as for a factorisation.
    const double xnorm = 1.0 / (gamma - beta);  // bound on each solve's norm
    const double dot_err = 2.0 * (beta / (gamma * (gamma - beta))) * xnorm + 2.0 * static_cast<double>(n) * u * xnorm * xnorm;
    auto shifted = [&](std::size_t t, std::size_t i, std::size_t j, double inv, CheckedCounts &c) {
        solve_unit(i, x);
        solve_unit(j, xother);
        // (Pointers taken once both are in: keeping one may move the others.)
        const double *xi = slot_of[i] >= 0 ? &kept[static_cast<std::size_t>(slot_of[i]) * n] : x.data();
        const double *xj = slot_of[j] >= 0 ? &kept[static_cast<std::size_t>(slot_of[j]) * n] : xother.data();
        double yii = 0.0, yjj = 0.0, yij = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            yii += xi[k] * xi[k];
            yjj += xj[k] * xj[k];
            yij += xi[k] * xj[k];
        }
        const double half = tol / 2.0;
        const double shifts[4] = {-tol - half, -tol + half, tol - half, tol + half};
        long below[4];
        for (int q = 0; q < 4; ++q) {
            const double sh = shifts[q], as = std::fabs(sh);
            if (!(as < gamma / 2.0)) return false;
            const double rem = sh * sh / (gamma * gamma * (gamma - as));
            const double s11 = -(zii[t] + sh * yii), s22 = -(zjj[t] + sh * yjj), s12 = inv - (zij[t] + sh * yij);
            if (!std::isfinite(s11) || !std::isfinite(s22) || !std::isfinite(s12)) return false;
            const double e = beta / (gamma * (gamma - beta)) + zerr[t] + as * dot_err + rem +
                             4.0 * u * (std::fabs(inv) + std::fabs(zij[t]) + std::fabs(zii[t]) + std::fabs(zjj[t]) +
                                        as * (std::fabs(yii) + std::fabs(yjj) + std::fabs(yij)));
            const double det = s11 * s22 - s12 * s12;
            const double det_err = e * (std::fabs(s11) + std::fabs(s22) + 2.0 * std::fabs(s12)) + 2.0 * e * e +
                                   4.0 * u * (std::fabs(s11 * s22) + s12 * s12);
            long neg_s;
            if (det < -det_err)
                neg_s = 1;
            else if (det > det_err && std::fabs(s11) > e)
                neg_s = s11 < 0.0 ? 2 : 0;
            else
                return false;
            // In(A' - sI) = In(A - sI) + In(S) - (1, 0, 1); A - sI has the
            // base counts for |s| < gamma.
            below[q] = base.counts.neg + neg_s - 1;
        }
        if (below[0] != below[1] || below[2] != below[3]) return false;
        c.counts.neg = below[0];
        c.counts.pos = static_cast<long>(n) - below[3];
        c.counts.zero = below[3] - below[0];
        c.certain = c.counts.neg >= 0 && c.counts.pos >= 0 && c.counts.zero >= 0;
        return c.certain;
    };
    std::vector<std::size_t> later;  // cuts with forced zeros, for the shifted counts after the middle of the gap
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [i, j] = trials[t];
        if (!(i < n && j < n && i != j) || settled[t]) continue;
        const double wt = entry(m, static_cast<int>(i), static_cast<int>(j));
        if (wt == 0.0) {
            out[t] = base;  // nothing to cut
            continue;
        }
        // Cutting the edge is A - U C U^T, U = [e_i e_j], C = w [[0 1] [1 0]]:
        // In(A' - sI) = In(A - sI) + In(S) - In(C^-1), In(C^-1) = (1, 0, 1),
        // S = C^-1 - U^T (A - sI)^-1 U (Haynsworth).
        const double inv = 1.0 / wt;
        const double s11 = -zii[t], s22 = -zjj[t], s12 = inv - zij[t];
        if (!std::isfinite(s11) || !std::isfinite(s22) || !std::isfinite(s12)) continue;
        const double e =
            err + zerr[t] + 4.0 * u * (std::fabs(inv) + std::fabs(zij[t]) + std::fabs(s11) + std::fabs(s22));
        const double det = s11 * s22 - s12 * s12;
        const double det_err = e * (std::fabs(s11) + std::fabs(s22) + 2.0 * std::fabs(s12)) + 2.0 * e * e +
                               4.0 * u * (std::fabs(s11 * s22) + s12 * s12);
        long dp, dn, dz = 0;
        if (det < -det_err) {
            dp = 0;
            dn = 0;
        } else if (det > det_err && std::fabs(s11) > e) {
            dp = s11 > 0.0 ? 1 : -1;
            dn = -dp;
        } else {
            // The cut matrix may have an eigenvalue near zero.  When the cut
            // leaves one end on its own (a hydrogen), that eigenvalue is
            // its diagonal entry, and the rest is A without that node:
            // In(A) = In(A_rest) + sign of the Schur complement, whose
            // reciprocal is (A^-1)_hh.  A sign of (A^-1)_hh that holds over
            // the whole band also shows A_rest has no eigenvalue in it.
            // This needs no more solves, so it is tried before the shifted
            // counts (both are certain, so either gives the same counts).
            const bool i_alone = m.len[i] == 1, j_alone = m.len[j] == 1;
            const std::size_t h = i_alone ? i : j;
            const double zhh = i_alone ? zii[t] : zjj[t];
            const double d = m.diag[h];
            if (i_alone != j_alone && std::fabs(zhh) > err + zerr[t] + 4.0 * u * std::fabs(zhh) &&
                std::fabs(d - tol) > margin && std::fabs(d + tol) > margin) {
                dp = (zhh > 0.0 ? -1 : 0) + (d > tol ? 1 : 0);
                dn = (zhh < 0.0 ? -1 : 0) + (d < -tol ? 1 : 0);
                dz = std::fabs(d) <= tol ? 1 : 0;
            } else {
                if (pattern_zeros(t, i, j) > 0)
                    later.push_back(t);
                else
                    shifted(t, i, j, inv, out[t]);
                continue;
            }
        }
        CheckedCounts &c = out[t];
        c.counts.pos = base.counts.pos + dp;
        c.counts.neg = base.counts.neg + dn;
        c.counts.zero = dz;
        c.certain = c.counts.pos >= 0 && c.counts.neg >= 0;
    }
    // What that leaves open (cuts with eigenvalues at zero) from two more
    // factorisations, in the middle of the gap, when those eigenvalues are
    // zeros the cut's pattern forces.
    std::vector<std::size_t> open;
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [i, j] = trials[t];
        if (!out[t].certain && i < n && j < n && i != j) open.push_back(t);
    }
    if (!open.empty()) {
        if (!have_matching) matching = max_matching(m);
        mid_gap_trial_counts(m, tol, trials, open, w, matching, gap_g, gap_b, below, below, out);
    }
    // Cuts with forced zeros that the middle of the gap left open: the
    // shifted counts, as for the others.
    for (std::size_t t : later) {
        if (out[t].certain) continue;
        const auto [i, j] = trials[t];
        shifted(t, i, j, 1.0 / entry(m, static_cast<int>(i), static_cast<int>(j)), out[t]);
    }
    return out;
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
    // A band edge with an eigenvalue within tol / 2 of it is looked at again
    // closer in, at edge -+ d: equal counts there, with bounds that leave
    // the rounding margin, show that no eigenvalue lies within the margin
    // of the edge, and give the count at the edge itself.
    auto settle = [&](double edge, std::size_t out, std::size_t in, std::size_t &count) {
        if (in == out) {
            count = out;
            return true;
        }
        for (double d : {half / 8.0, half / 64.0}) {
            if (!(d >= 2.0 * margin)) break;
            const ShiftCount below = count_below(m, edge - d, ci, cj, w), above = count_below(m, edge + d, ci, cj, w);
            if (!below.ok || !above.ok || !(below.bound <= d - margin && above.bound <= d - margin)) break;
            if (below.below == above.below) {
                count = below.below;
                return true;
            }
        }
        // Last, the same in long double, whose bounds are some two thousand
        // times smaller: twice the rounding margin either side of the edge.
        if constexpr (LDBL_MANT_DIG > DBL_MANT_DIG) {
            const double d = 2.0 * margin;
            ExtendedWork x;
            const ShiftCount below = factorise<long double>(m, edge - d, ci, cj, x, nullptr);
            const ShiftCount above = factorise<long double>(m, edge + d, ci, cj, x, nullptr);
            if (below.ok && above.ok && below.bound <= d - margin && above.bound <= d - margin &&
                below.below == above.below) {
                count = below.below;
                return true;
            }
        }
        return false;
    };
    std::size_t neg = 0, below_pos = 0;
    if (!settle(-tol, lo_out.below, lo_in.below, neg) || !settle(tol, hi_out.below, hi_in.below, below_pos)) return r;
    r.counts.neg = static_cast<long>(neg);
    r.counts.pos = static_cast<long>(n - below_pos);
    r.counts.zero = static_cast<long>(n) - r.counts.pos - r.counts.neg;
    r.certain = r.counts.zero >= 0;
    return r;
}

}  // namespace corvane::lpi
