#include "lpi_core.hpp"

#include "inertia_core.hpp"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <cfloat>
#include <cmath>

namespace corvane::lpi {

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
    if (!std::isfinite(emax)) {
        // Squares of the off-diagonal entries overflow: the same count on
        // the matrix and the point scaled by a power of two.
        double m = 0.0;
        for (std::size_t i = 0; i < n; ++i) m = std::max({m, std::fabs(d[i]), std::fabs(e[i])});
        if (!std::isfinite(m)) return n;  // an infinite entry: nothing sound to count
        int ex = 0;
        std::frexp(m, &ex);
        const double f = std::ldexp(1.0, -ex);
        std::vector<double> ds(d), es(e);
        for (std::size_t i = 0; i < n; ++i) {
            ds[i] *= f;
            es[i] *= f;
        }
        return sturm_count_below(ds, es, x * f);
    }
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


namespace {

// Largest absolute row sum of sigma * a, at least `floor`: the scale of
// rounding errors.  Not finite when an entry is not (a NaN included).
double row_norm(const std::vector<double> &a, std::size_t n, double sigma = 1.0, double floor = 1.0) {
    double norm = floor;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < n; ++j) s += std::fabs(a[i * n + j] * sigma);
        if (!std::isfinite(s)) return INFINITY;
        norm = std::max(norm, s);
    }
    return norm;
}

// Largest absolute entry, or infinity when an entry is not finite.
double max_abs(const std::vector<double> &a, std::size_t n) {
    double m = 0.0;
    for (std::size_t i = 0; i < n * n; ++i) {
        const double x = std::fabs(a[i]);
        if (!std::isfinite(x)) return INFINITY;
        m = std::max(m, x);
    }
    return m;
}

// Entries above this are brought down by a power of two before any count:
// the Sturm sequence squares off-diagonal entries, and the rank-two counts
// multiply reciprocals of eigenvalues, so weights from about 1e154 up (or
// down to 1e-154 in the reciprocals) would overflow or underflow and still
// look certain.  Below it the arithmetic is left exactly as it is.
// Matrices from this size on, with at most this many neighbours per row on
// average, are counted by sparse factorisation (a VIF graph has about
// three); trials one factorisation each when (trials + 1) * kSparseRatio <
// n^2 * threads, where that is faster than one decomposition on one BLAS
// thread (measured on alkane VIF graphs of 600 to 6,000 nodes: four
// factorisations of 1,200 nodes take about 1.8 ms, one eigendecomposition
// 0.45 s).  From kLargeFrom rows on, kLargeRatio (measured again on
// alkane-250, 1,502 nodes: the four factorisations of a trial 0.47 ms, one
// decomposition with eigenvectors 0.72 s of CPU: break-even near n^2 / 1,500
// trials on one thread).
constexpr std::size_t kSparseFrom = 8;
constexpr std::size_t kSparseDegree = 12;
constexpr std::size_t kSparseRatio = 6000;
constexpr std::size_t kLargeFrom = 1000;
constexpr std::size_t kLargeRatio = 2000;

constexpr double kScaleAbove = 0x1p128;

// The power of two that brings a largest entry `amax` into [0.5, 1) when it
// is above kScaleAbove, else 1.  Scaling by it is exact (up to entries that
// fall below the normal range, far under the rounding margin) and leaves
// every sign count unchanged.
double scale_for(double amax) {
    if (!(amax > kScaleAbove)) return 1.0;
    int e = 0;
    std::frexp(amax, &e);
    return std::ldexp(1.0, -e);
}

}  // namespace

// How far a backward-stable symmetric eigen-solver (LAPACK's, or the
// Householder reduction here) may put an eigenvalue from the true one.  The
// differences seen between solvers on the same matrix, or on a permuted copy,
// stay below sqrt(n) eps |A|; the margin allows 32 times that.  An eigenvalue
// farther than this from a band edge lands on the same side of it whichever
// solver computes it.
double rounding_margin(std::size_t n, double norm) {
    return 32.0 * std::sqrt(static_cast<double>(n)) * DBL_EPSILON * norm;
}

CheckedCounts lpi_counts_checked(std::vector<double> a, std::size_t n, double tol) {
    CheckedCounts r;
    if (n == 0) {
        r.certain = true;
        return r;
    }
    if (a.size() < n * n) return r;
    // Counted on sigma * A against sigma * tol: the same counts.
    const double sigma = scale_for(max_abs(a, n));
    if (sigma != 1.0)
        for (std::size_t i = 0; i < n * n; ++i) a[i] *= sigma;
    const double norm = row_norm(a, n, 1.0, sigma);
    if (!std::isfinite(norm)) return r;
    const double margin = rounding_margin(n, norm);
    const double t = tol * sigma;
    std::vector<double> d, e;
    tridiagonalize(a, n, d, e);
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(d[i]) || !std::isfinite(e[i] * e[i])) return r;
    const std::size_t below_neg = sturm_count_below(d, e, -t);
    const std::size_t below_pos = sturm_count_below(d, e, std::nextafter(t, INFINITY));
    r.counts.neg = static_cast<long>(below_neg);
    r.counts.pos = static_cast<long>(n - below_pos);
    r.counts.zero = static_cast<long>(n) - r.counts.pos - r.counts.neg;
    r.certain = tol >= 0.0 && sturm_count_below(d, e, -t - margin) == sturm_count_below(d, e, -t + margin) &&
                sturm_count_below(d, e, t - margin) == sturm_count_below(d, e, t + margin);
    return r;
}

CheckedCounts cut_counts(std::vector<double> &a, std::size_t n, std::size_t i, std::size_t j, double tol) {
    if (i >= n || j >= n || a.size() < n * n) return CheckedCounts{};
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
    double inv_max = 0.0;     // largest |1 / (w_k - s)|
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
        sh.inv_max = std::max(sh.inv_max, std::fabs(sh.inv[k]));
    }
    if (!std::isfinite(sh.inv_max)) sh.ok = false;
    return sh;
}

// Error terms below this are raised to it: products near the bottom of the
// range of doubles lose their relative accuracy.
constexpr double kTiny = 0x1p-960;

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
    double c = 1.0 / wt;
    if (!std::isfinite(c) || c == 0.0) return false;
    // Rounding of the sums (and of the eigenvectors' orthogonality), with
    // room; a product x * x below the normal range is off by up to DBL_MIN,
    // which the reciprocal it multiplies may magnify.
    const double unit = 4.0 * static_cast<double>(n + 2) * DBL_EPSILON;
    const double lost = static_cast<double>(n + 2) * DBL_MIN * sh.inv_max;
    double eii = unit * aii + lost, ejj = unit * ajj + lost;
    double eoff = unit * (aij + std::fabs(c)) + lost;
    // A 2 x 2 problem far from 1 (huge or tiny weights, or a shift far
    // outside the spectrum) is brought near 1 by a power of two before its
    // products are formed; its signs do not change.
    const double m = std::max({aii, ajj, aij, std::fabs(c)});
    if (m < 0x1p-256 || m > 0x1p256) {
        int e = 0;
        std::frexp(m, &e);
        const double f = std::ldexp(1.0, -e);
        gii *= f;
        gjj *= f;
        gij *= f;
        c *= f;
        eii *= f;
        ejj *= f;
        eoff *= f;
    }
    const double off = c - gij;
    // S = [[-gii, off], [off, -gjj]]
    const double det = gii * gjj - off * off;
    const double edet = std::fabs(gjj) * eii + std::fabs(gii) * ejj + 2.0 * std::fabs(off) * eoff + eii * ejj +
                        eoff * eoff + 4.0 * DBL_EPSILON * (std::fabs(gii * gjj) + off * off) + kTiny;
    if (!std::isfinite(edet) || !(std::fabs(det) > 16.0 * edet)) return false;
    long sp, sn;
    if (det < 0.0) {
        sp = 1;
        sn = 1;
    } else {
        if (!(std::fabs(gii) > 16.0 * eii + kTiny)) return false;
        sp = gii < 0.0 ? 2 : 0;
        sn = 2 - sp;
    }
    // In(C^-1) = (1, 0, 1) for any weight other than zero.
    pos = sh.pos + sp - 1;
    neg = sh.neg + sn - 1;
    return pos >= 0 && neg >= 0;
}

}  // namespace

namespace {

// The counts from one eigen-decomposition, as described at trial_cut_counts.
std::vector<CheckedCounts> dense_trial_cut_counts(std::vector<double> &a, std::size_t n,
                                                  const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                                  double tol, const Decompose &decompose, CheckedCounts *base) {
    std::vector<CheckedCounts> out(trials.size());
    std::vector<double> w, q;
    bool have = false;
    // The counts are taken on sigma * A against sigma * tol (the same
    // counts), with the eigenvalues scaled to match; the eigenvectors do not
    // change.
    double margin = 0.0, sigma = 1.0;
    // One decomposition pays off from two trials on (or one and the baseline).
    if (n > 0 && a.size() >= n * n && tol >= 0.0 && std::isfinite(tol) && trials.size() + (base ? 1 : 0) >= 2) {
        sigma = scale_for(max_abs(a, n));
        const double norm = row_norm(a, n, sigma, sigma);
        if (std::isfinite(norm)) {
            margin = rounding_margin(n, norm);
            have = decompose(a, n, w, q) && w.size() == n && q.size() == n * n;
            for (std::size_t k = 0; have && k < n; ++k) {
                have = std::isfinite(w[k]);
                w[k] *= sigma;
            }
            for (std::size_t k = 0; have && k < n * n; ++k) have = std::isfinite(q[k]);
        }
    }
    const double t = tol * sigma;
    if (base) {
        if (have) {
            CheckedCounts &b = *base;
            b.counts = count_signs(w.data(), n, t);
            b.certain = true;
            for (std::size_t k = 0; k < n && b.certain; ++k) {
                const double x = w[k];
                b.certain = !(std::fabs(x - t) <= margin || std::fabs(x + t) <= margin);
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
    const Shift hi_out = make_shift(w, t + margin), hi_in = make_shift(w, t - margin);
    const Shift lo_out = make_shift(w, -t - margin), lo_in = make_shift(w, -t + margin);
    for (std::size_t k = 0; k < trials.size(); ++k) {
        const auto [i, j] = trials[k];
        bool done = false;
        if (i < n && j < n) {
            const double wt = a[i * n + j];
            const double ws = wt * sigma;
            if (i != j && ws != 0.0 && std::isfinite(wt) && a[j * n + i] == wt) {
                const double *qi = &q[i * n], *qj = &q[j * n];
                long p1, n1, p2, n2, p3, n3, p4, n4;
                if (cut_inertia(hi_out, qi, qj, n, ws, p1, n1) && cut_inertia(hi_in, qi, qj, n, ws, p2, n2) &&
                    cut_inertia(lo_out, qi, qj, n, ws, p3, n3) && cut_inertia(lo_in, qi, qj, n, ws, p4, n4)) {
                    CheckedCounts &c = out[k];
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
        }
        if (!done) out[k] = cut_counts(a, n, i, j, tol);
    }
    return out;
}

}  // namespace

PartialCounts partial_cut_counts(const std::vector<double> &a, std::size_t n,
                                 const std::vector<std::pair<std::size_t, std::size_t>> &trials, double tol,
                                 const CountOptions &opt) {
    PartialCounts p;
    p.trials.resize(trials.size());
    SparseSym m;
    if (n < kSparseFrom || !std::isfinite(tol) || !(tol > 0.0) || !sparse_of(a, n, kSparseDegree, m)) return p;
    // A sparse graph: first every trial from one factorisation, when the
    // matrix has a gap around zero; then the trials that left uncertain (a
    // cut with an eigenvalue near zero) one factorisation each, where that
    // is cheaper than a decomposition.
    InertiaWork w;
    CheckedCounts b;
    p.trials = gap_trial_counts(m, tol, trials, b, w);
    p.base = b.certain ? b : sparse_counts_checked(m, tol, -1, -1, w);
    std::size_t left = 0;
    for (const CheckedCounts &c : p.trials) left += c.certain ? 0 : 1;
    // A factorisation costs about n times a constant, three per trial on
    // average; a decomposition about n^3 for all of them.
    const std::size_t ratio = n >= kLargeFrom ? kLargeRatio : kSparseRatio;
    if (!((left + 1) * ratio < n * n * std::max<std::size_t>(1, opt.threads))) return p;
    std::vector<std::size_t> todo;
    for (std::size_t k = 0; k < trials.size(); ++k) {
        const auto [i, j] = trials[k];
        if (!p.trials[k].certain && i < n && j < n && i != j) todo.push_back(k);
    }
    // Independent factorisations: on the calling thread and up to
    // threads - 1 others, the calling one asking `stop` between its own.
    std::atomic<std::size_t> next{0};
    std::atomic<bool> cancel{false};
    auto run = [&](bool main, InertiaWork &ws) {
        for (std::size_t t; !cancel && (t = next++) < todo.size();) {
            if (main && opt.stop && opt.stop()) {
                cancel = true;
                return;
            }
            const std::size_t k = todo[t];
            p.trials[k] = sparse_counts_checked(m, tol, static_cast<int>(trials[k].first),
                                                static_cast<int>(trials[k].second), ws);
        }
    };
    std::vector<std::thread> pool;
    std::vector<InertiaWork> spare(std::min(opt.threads, todo.size() / 4 + 1));
    for (std::size_t i = 1; i < spare.size(); ++i) {
        try {
            pool.emplace_back(run, false, std::ref(spare[i]));
        } catch (const std::system_error &) {
            break;
        }
    }
    run(true, w);
    for (std::thread &t : pool) t.join();
    if (cancel) throw Interrupted();
    return p;
}

PartialCounts partial_cut_counts_rows(const SparseRows &a,
                                      const std::vector<std::pair<std::size_t, std::size_t>> &trials, double tol,
                                      SparseSym &m, InertiaWork &w) {
    // As partial_cut_counts on one thread.
    PartialCounts p;
    p.trials.resize(trials.size());
    const std::size_t n = a.n;
    if (n < kSparseFrom || !std::isfinite(tol) || !(tol > 0.0) || !sparse_of_rows(a, kSparseDegree, m)) return p;
    CheckedCounts b;
    p.trials = gap_trial_counts(m, tol, trials, b, w);
    p.base = b.certain ? b : sparse_counts_checked(m, tol, -1, -1, w);
    std::size_t left = 0;
    for (const CheckedCounts &c : p.trials) left += c.certain ? 0 : 1;
    if (!((left + 1) * kSparseRatio < n * n)) return p;
    for (std::size_t k = 0; k < trials.size(); ++k) {
        const auto [i, j] = trials[k];
        if (!p.trials[k].certain && i < n && j < n && i != j)
            p.trials[k] = sparse_counts_checked(m, tol, static_cast<int>(i), static_cast<int>(j), w);
    }
    return p;
}

void finish_cut_counts(std::vector<double> &a, std::size_t n,
                       const std::vector<std::pair<std::size_t, std::size_t>> &trials, double tol,
                       const Decompose &decompose, PartialCounts &p, bool want_base) {
    // What is still uncertain (an eigenvalue within rounding of a band edge,
    // a factorisation that grew too much, a dense matrix) from the
    // eigenvalues.
    std::vector<std::size_t> left;
    std::vector<std::pair<std::size_t, std::size_t>> rest;
    for (std::size_t k = 0; k < trials.size(); ++k)
        if (!p.trials[k].certain) {
            left.push_back(k);
            rest.push_back(trials[k]);
        }
    const bool base_left = want_base && !p.base.certain;
    if (left.empty() && !base_left) return;
    CheckedCounts db;
    const std::vector<CheckedCounts> more = dense_trial_cut_counts(a, n, rest, tol, decompose, base_left ? &db : nullptr);
    for (std::size_t k = 0; k < left.size(); ++k) p.trials[left[k]] = more[k];
    if (base_left) p.base = db;
}

std::vector<CheckedCounts> trial_cut_counts(std::vector<double> &a, std::size_t n,
                                            const std::vector<std::pair<std::size_t, std::size_t>> &trials,
                                            double tol, const Decompose &decompose, CheckedCounts *base,
                                            const CountOptions &opt) {
    PartialCounts p = partial_cut_counts(a, n, trials, tol, opt);
    finish_cut_counts(a, n, trials, tol, decompose, p, base != nullptr);
    if (base) *base = p.base;
    return std::move(p.trials);
}

namespace {

std::vector<std::pair<std::size_t, std::size_t>> as_cuts(const std::vector<std::pair<int, int>> &trials) {
    std::vector<std::pair<std::size_t, std::size_t>> cuts;
    cuts.reserve(trials.size());
    for (const auto &[u, v] : trials) cuts.push_back({static_cast<std::size_t>(u), static_cast<std::size_t>(v)});
    return cuts;
}

}  // namespace

PartialCounts soft_trials_begin(const std::vector<double> &a, std::size_t k,
                                const std::vector<std::pair<int, int>> &trials, double tol) {
    if (trials.empty()) return PartialCounts{};
    return partial_cut_counts(a, k, as_cuts(trials), tol);
}

void soft_trials_decompose(std::vector<double> &a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                           double tol, const Decompose &decompose, PartialCounts &p) {
    if (!trials.empty()) finish_cut_counts(a, k, as_cuts(trials), tol, decompose, p, true);
}

std::vector<char> soft_trials_end(std::vector<double> &a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                                  double tol, const ExactCounts &exact, const Decompose &decompose, PartialCounts &p) {
    std::vector<char> soft(trials.size(), 0);
    if (trials.empty()) return soft;
    finish_cut_counts(a, k, as_cuts(trials), tol, decompose, p, true);
    const SignCounts base = p.base.certain ? p.base.counts : exact(a, k);
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [u, v] = trials[t];
        if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= k || static_cast<std::size_t>(v) >= k) continue;
        SignCounts c = p.trials[t].counts;
        if (!p.trials[t].certain) {
            std::vector<double> cut = a;
            cut[static_cast<std::size_t>(u) * k + v] = 0.0;
            cut[static_cast<std::size_t>(v) * k + u] = 0.0;
            c = exact(cut, k);
        }
        soft[t] = c == base;
    }
    return soft;
}

std::vector<char> soft_trials(std::vector<double> a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                              double tol, const ExactCounts &exact, const Decompose &decompose) {
    PartialCounts p = soft_trials_begin(a, k, trials, tol);
    return soft_trials_end(a, k, trials, tol, exact, decompose, p);
}

}  // namespace corvane::lpi
