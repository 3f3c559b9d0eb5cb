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
    auto A = [&](std::size_t i, std::size_t j) -> double & { return a[i * n + j]; };
    for (std::size_t i = n - 1; i >= 1; --i) {
        std::size_t l = i - 1;
        double h = 0.0, scale = 0.0;
        if (l > 0) {
            for (std::size_t k = 0; k <= l; ++k) scale += std::fabs(A(i, k));
            if (scale == 0.0) {
                e[i] = A(i, l);
            } else {
                for (std::size_t k = 0; k <= l; ++k) {
                    A(i, k) /= scale;
                    h += A(i, k) * A(i, k);
                }
                double f = A(i, l);
                double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g;
                h -= f * g;
                A(i, l) = f - g;
                f = 0.0;
                for (std::size_t j = 0; j <= l; ++j) {
                    g = 0.0;
                    for (std::size_t k = 0; k <= j; ++k) g += A(j, k) * A(i, k);
                    for (std::size_t k = j + 1; k <= l; ++k) g += A(k, j) * A(i, k);
                    e[j] = g / h;
                    f += e[j] * A(i, j);
                }
                double hh = f / (h + h);
                for (std::size_t j = 0; j <= l; ++j) {
                    f = A(i, j);
                    e[j] = g = e[j] - hh * f;
                    for (std::size_t k = 0; k <= j; ++k) A(j, k) -= (f * e[k] + g * A(i, k));
                }
            }
        } else {
            e[i] = A(i, l);
        }
        if (i == 1) break;
    }
    e[0] = 0.0;
    for (std::size_t i = 0; i < n; ++i) d[i] = A(i, i);
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
