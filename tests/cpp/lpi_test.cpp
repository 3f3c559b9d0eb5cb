// The LPI algebra: tridiagonal reduction and Sturm counts against spectra in
// closed form, and the rank-two trial counts against direct counts.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "../../corvane/lpi/lpi_core.hpp"
#include "reference.hpp"

using namespace corvane;
using corvane::testing::adjacency;
using corvane::testing::cycle_edges;
using corvane::testing::path_edges;

namespace {

// Path P_n: 2 cos(k pi / (n + 1)), k = 1..n.  Cycle C_n: 2 cos(2 pi k / n).
std::vector<double> path_spectrum(std::size_t n) {
    std::vector<double> w;
    for (std::size_t k = 1; k <= n; ++k) w.push_back(2.0 * std::cos(static_cast<double>(k) * std::numbers::pi / (n + 1.0)));
    return w;
}

std::vector<double> cycle_spectrum(std::size_t n) {
    std::vector<double> w;
    for (std::size_t k = 0; k < n; ++k) w.push_back(2.0 * std::cos(2.0 * std::numbers::pi * static_cast<double>(k) / n));
    return w;
}

std::size_t below(const std::vector<double> &w, double x) {
    return static_cast<std::size_t>(std::count_if(w.begin(), w.end(), [x](double v) { return v < x; }));
}

// Sturm counts at points that keep clear of every eigenvalue.
void check_sturm(std::vector<double> a, std::size_t n, const std::vector<double> &spectrum) {
    std::vector<double> d, e;
    lpi::tridiagonalize(a, n, d, e);
    std::vector<double> sorted = spectrum;
    std::sort(sorted.begin(), sorted.end());
    std::vector<double> probes = {sorted.front() - 1.0, sorted.back() + 1.0};
    for (std::size_t k = 0; k + 1 < sorted.size(); ++k)
        if (sorted[k + 1] - sorted[k] > 1e-6) probes.push_back((sorted[k] + sorted[k + 1]) / 2.0);
    for (double x : probes) CHECK(lpi::sturm_count_below(d, e, x) == below(sorted, x));
}

lpi::SignCounts direct(const std::vector<double> &a, std::size_t n, double tol) {
    std::vector<double> w = corvane::testing::eigenvalues(a, n);
    return lpi::count_signs(w.data(), n, tol);
}

lpi::Decompose jacobi_decompose() {
    return [](const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
        corvane::testing::jacobi(a, n, w, q);
        return true;
    };
}

}  // namespace

TEST_CASE("sign counts use the band [-tol, tol] inclusively") {
    const double ev[] = {-2.0, -1e-9, 0.0, 1e-9, 2e-9, 3.0};
    const lpi::SignCounts c = lpi::count_signs(ev, 6, 1e-9);
    CHECK(c == lpi::SignCounts{2, 3, 1});
}

TEST_CASE("Sturm counts of paths and cycles match their closed-form spectra") {
    for (std::size_t n : {1u, 2u, 3u, 5u, 8u, 13u, 40u}) {
        CAPTURE(n);
        check_sturm(adjacency(n, path_edges(n)), n, path_spectrum(n));
    }
    for (std::size_t n : {3u, 4u, 6u, 7u, 12u, 30u}) {
        CAPTURE(n);
        check_sturm(adjacency(n, cycle_edges(n)), n, cycle_spectrum(n));
    }
}

TEST_CASE("checked LPI counts of paths and cycles") {
    struct Case {
        std::vector<double> a;
        std::size_t n;
        lpi::SignCounts expected;
    };
    const Case cases[] = {
        {adjacency(4, cycle_edges(4)), 4, {1, 2, 1}},  // 2, 0, 0, -2
        {adjacency(6, cycle_edges(6)), 6, {3, 0, 3}},  // 2, 1, 1, -1, -1, -2
        {adjacency(3, path_edges(3)), 3, {1, 1, 1}},   // sqrt 2, 0, -sqrt 2
        {adjacency(5, path_edges(5)), 5, {2, 1, 2}},
        {adjacency(1, {}), 1, {0, 1, 0}},
    };
    for (const Case &c : cases) {
        CAPTURE(c.n);
        const lpi::CheckedCounts r = lpi::lpi_counts_checked(c.a, c.n, 1e-9);
        CHECK(r.certain);
        CHECK(r.counts == c.expected);
    }
    // An eigenvalue on the band edge itself cannot be placed with certainty.
    std::vector<double> edge = {1e-9};
    CHECK_FALSE(lpi::lpi_counts_checked(edge, 1, 1e-9).certain);
}

TEST_CASE("rank-two trial counts agree with direct counts of every cut") {
    // Graphs whose cuts land eigenvalues on zero (the band) and off it.
    struct Graph {
        std::size_t n;
        std::vector<std::pair<std::size_t, std::size_t>> edges;
        double w;
    };
    std::vector<Graph> graphs = {
        {3, cycle_edges(3), 1.0},   // a cut leaves P_3, eigenvalue 0 exactly
        {4, cycle_edges(4), 1.0},
        {6, cycle_edges(6), 0.9},
        {7, path_edges(7), 1.0},
        {8, {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 4}, {2, 6}}, 0.9},
    };
    for (const Graph &g : graphs) {
        CAPTURE(g.n);
        std::vector<double> a = adjacency(g.n, g.edges, g.w);
        const std::vector<double> before = a;
        lpi::CheckedCounts base;
        const auto counts = lpi::trial_cut_counts(a, g.n, g.edges, 1e-9, jacobi_decompose(), &base);
        CHECK(a == before);
        REQUIRE(base.certain);
        CHECK(base.counts == direct(a, g.n, 1e-9));
        for (std::size_t t = 0; t < g.edges.size(); ++t) {
            auto [i, j] = g.edges[t];
            CAPTURE(i);
            CAPTURE(j);
            std::vector<double> cut = a;
            cut[i * g.n + j] = cut[j * g.n + i] = 0.0;
            if (counts[t].certain) CHECK(counts[t].counts == direct(cut, g.n, 1e-9));
            // The plain per-trial count says the same whenever it is certain.
            const lpi::CheckedCounts one = lpi::cut_counts(a, g.n, i, j, 1e-9);
            if (one.certain) CHECK(one.counts == direct(cut, g.n, 1e-9));
        }
    }
}

TEST_CASE("trial counts with no decomposition fall back to one count per trial") {
    const std::size_t n = 5;
    std::vector<double> a = adjacency(n, cycle_edges(n));
    auto none = [](const std::vector<double> &, std::size_t, std::vector<double> &, std::vector<double> &) {
        return false;
    };
    const auto counts = lpi::trial_cut_counts(a, n, cycle_edges(n), 1e-9, none);
    for (std::size_t t = 0; t < counts.size(); ++t) {
        auto [i, j] = cycle_edges(n)[t];
        CHECK(counts[t].counts == lpi::cut_counts(a, n, i, j, 1e-9).counts);
    }
}

TEST_CASE("soft trials: a cut that keeps the counts is soft") {
    // C_4 has counts (1, 2, 1); cutting one edge gives P_4 with (2, 0, 2).
    // In the triangle with a pendant vertex, cuts differ in their effect.
    const std::size_t n = 4;
    std::vector<double> a = adjacency(n, {{0, 1}, {1, 2}, {2, 0}, {2, 3}});
    std::vector<std::pair<int, int>> trials = {{0, 1}, {1, 2}, {2, 0}, {2, 3}};
    auto exact = [](const std::vector<double> &m, std::size_t k) { return direct(m, k, 1e-9); };
    const std::vector<char> soft = lpi::soft_trials(a, n, trials, 1e-9, exact, jacobi_decompose());
    const lpi::SignCounts base = direct(a, n, 1e-9);
    for (std::size_t t = 0; t < trials.size(); ++t) {
        std::vector<double> cut = a;
        auto [i, j] = trials[t];
        cut[i * n + j] = cut[j * n + i] = 0.0;
        CHECK(static_cast<bool>(soft[t]) == (direct(cut, n, 1e-9) == base));
    }
}
