#include "lpi_core.hpp"

#include <algorithm>
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

std::vector<char> soft_trials(std::vector<double> a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                              double tol, const ExactCounts &exact, const Decompose &decompose) {
    std::vector<char> soft(trials.size(), 0);
    if (trials.empty()) return soft;
    std::vector<std::pair<std::size_t, std::size_t>> cuts;
    cuts.reserve(trials.size());
    for (const auto &[u, v] : trials) cuts.push_back({static_cast<std::size_t>(u), static_cast<std::size_t>(v)});
    CheckedCounts b;
    const std::vector<CheckedCounts> counts = trial_cut_counts(a, k, cuts, tol, decompose, &b);
    const SignCounts base = b.certain ? b.counts : exact(a, k);
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const auto [u, v] = trials[t];
        SignCounts c = counts[t].counts;
        if (!counts[t].certain) {
            std::vector<double> cut = a;
            cut[static_cast<std::size_t>(u) * k + v] = 0.0;
            cut[static_cast<std::size_t>(v) * k + u] = 0.0;
            c = exact(cut, k);
        }
        soft[t] = c == base;
    }
    return soft;
}

}  // namespace corvane::lpi
