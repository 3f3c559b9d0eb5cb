// Reference computations for the core tests: dense symmetric matrices of
// small graphs and their eigenvalues by the cyclic Jacobi method, slow and
// plain, independent of the code under test.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace corvane::testing {

// Adjacency matrix (row-major) of a graph on n nodes with unit weights.
inline std::vector<double> adjacency(std::size_t n, const std::vector<std::pair<std::size_t, std::size_t>> &edges,
                                     double w = 1.0) {
    std::vector<double> a(n * n, 0.0);
    for (auto [i, j] : edges) {
        a[i * n + j] = w;
        a[j * n + i] = w;
    }
    return a;
}

inline std::vector<std::pair<std::size_t, std::size_t>> path_edges(std::size_t n) {
    std::vector<std::pair<std::size_t, std::size_t>> e;
    for (std::size_t i = 0; i + 1 < n; ++i) e.push_back({i, i + 1});
    return e;
}

inline std::vector<std::pair<std::size_t, std::size_t>> cycle_edges(std::size_t n) {
    auto e = path_edges(n);
    e.push_back({n - 1, 0});
    return e;
}

// Eigenvalues (unordered) and eigenvectors (row-major, column k for w[k]).
inline void jacobi(std::vector<double> a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
    q.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) q[i * n + i] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) off += a[i * n + j] * a[i * n + j];
        if (off < 1e-30) break;
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t r = p + 1; r < n; ++r) {
                const double apr = a[p * n + r];
                if (std::fabs(apr) < 1e-300) continue;
                const double theta = (a[r * n + r] - a[p * n + p]) / (2.0 * apr);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p], akr = a[k * n + r];
                    a[k * n + p] = c * akp - s * akr;
                    a[k * n + r] = s * akp + c * akr;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k], ark = a[r * n + k];
                    a[p * n + k] = c * apk - s * ark;
                    a[r * n + k] = s * apk + c * ark;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double qkp = q[k * n + p], qkr = q[k * n + r];
                    q[k * n + p] = c * qkp - s * qkr;
                    q[k * n + r] = s * qkp + c * qkr;
                }
            }
        }
    }
    w.resize(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = a[i * n + i];
}

inline std::vector<double> eigenvalues(const std::vector<double> &a, std::size_t n) {
    std::vector<double> w, q;
    jacobi(a, n, w, q);
    return w;
}

}  // namespace corvane::testing
