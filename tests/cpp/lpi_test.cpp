// The LPI algebra: tridiagonal reduction and Sturm counts against spectra in
// closed form, and the rank-two trial counts against direct counts.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

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

namespace {

// Jacobi on the matrix brought near 1 by a power of two, eigenvalues scaled
// back: a reference decomposition for weights anywhere in the range.
lpi::Decompose scaled_jacobi() {
    return [](const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
        double m = 0.0;
        for (double x : a) m = std::max(m, std::fabs(x));
        int e = 0;
        std::frexp(m, &e);
        std::vector<double> s(a);
        for (double &x : s) x = std::ldexp(x, -e);
        corvane::testing::jacobi(s, n, w, q);
        for (double &x : w) x = std::ldexp(x, e);
        return true;
    };
}

struct ScaleCase {
    std::string name;
    std::size_t n;
    std::vector<std::pair<std::size_t, std::size_t>> edges;
};

std::vector<ScaleCase> scale_cases() {
    return {
        {"C4", 4, cycle_edges(4)},  // 2, 0, 0, -2; a cut leaves P4
        {"C6", 6, cycle_edges(6)},  // no zero eigenvalue, nor after a cut
        {"P5", 5, path_edges(5)},   // one zero eigenvalue
        {"K4", 4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}},
        {"bowtie", 5, {{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 4}, {4, 2}}},
    };
}

}  // namespace

TEST_CASE("sign counts do not depend on the scale of the weights, from 1e-300 to 1e300") {
    // The counts of s * A against s * tol are those of A against tol.  A
    // count may become uncertain (zero eigenvalues that rounding moves by
    // eps * s against a band of width 1e-9 * s), never wrong; for s >= 1
    // what is certain at s = 1 stays certain.
    const double tol = 1e-9;
    for (const ScaleCase &g : scale_cases()) {
        CAPTURE(g.name);
        const std::vector<double> unit = adjacency(g.n, g.edges);
        const lpi::CheckedCounts base1 = lpi::lpi_counts_checked(unit, g.n, tol);
        REQUIRE(base1.certain);
        std::vector<double> one = unit;
        const auto trials1 = lpi::trial_cut_counts(one, g.n, g.edges, tol, scaled_jacobi());
        for (int p = -300; p <= 300; p += 15) {
            for (double s : {std::pow(10.0, p), std::ldexp(1.0, p * 10 / 3)}) {
                CAPTURE(s);
                std::vector<double> a = adjacency(g.n, g.edges, s);
                const lpi::CheckedCounts b = lpi::lpi_counts_checked(a, g.n, tol * s);
                if (s >= 1.0) CHECK(b.certain);
                if (b.certain) CHECK(b.counts == base1.counts);
                lpi::CheckedCounts bt;
                const auto trials = lpi::trial_cut_counts(a, g.n, g.edges, tol * s, scaled_jacobi(), &bt);
                if (bt.certain) CHECK(bt.counts == base1.counts);
                for (std::size_t t = 0; t < trials.size(); ++t) {
                    CAPTURE(t);
                    REQUIRE(trials1[t].certain);
                    if (s >= 1.0) CHECK(trials[t].certain);
                    if (trials[t].certain) CHECK(trials[t].counts == trials1[t].counts);
                    const lpi::CheckedCounts one_cut = lpi::cut_counts(a, g.n, g.edges[t].first, g.edges[t].second, tol * s);
                    if (one_cut.certain) CHECK(one_cut.counts == trials1[t].counts);
                }
            }
        }
    }
}

TEST_CASE("huge weights against a fixed band: no certain count is wrong") {
    // Squared entries of 1e170 overflow and products of their reciprocals
    // underflow; counts that were claimed certain came out as all negative.
    const double tol = 1e-9;
    for (const ScaleCase &g : scale_cases()) {
        CAPTURE(g.name);
        for (double s : {1e150, 1e155, 1e170, 1e200, 1e250, 1e300, 1e307, 0x1p1020}) {
            CAPTURE(s);
            std::vector<double> a = adjacency(g.n, g.edges, s);
            const std::vector<double> unit = adjacency(g.n, g.edges);
            // Eigenvalues are s times those of the unit graph; a zero one
            // stays exactly zero and inside the band, others stay far out
            // of it.  Where there is no zero eigenvalue the counts must be
            // certain; where there is, rounding of about eps * s puts it
            // beyond the band's edges and only a certain count may not be
            // wrong.
            const lpi::CheckedCounts b = lpi::lpi_counts_checked(a, g.n, tol);
            const lpi::CheckedCounts b1 = lpi::lpi_counts_checked(unit, g.n, tol);
            REQUIRE(b1.certain);
            if (b1.counts.zero == 0) CHECK(b.certain);
            if (b.certain) CHECK(b.counts == b1.counts);
            const auto trials = lpi::trial_cut_counts(a, g.n, g.edges, tol, scaled_jacobi());
            for (std::size_t t = 0; t < trials.size(); ++t) {
                CAPTURE(t);
                auto [i, j] = g.edges[t];
                std::vector<double> u = unit;
                const lpi::CheckedCounts exact = lpi::cut_counts(u, g.n, i, j, tol);
                REQUIRE(exact.certain);
                if (exact.counts.zero == 0) CHECK(trials[t].certain);
                if (trials[t].certain) CHECK(trials[t].counts == exact.counts);
            }
        }
    }
}

TEST_CASE("Sturm counts with off-diagonal entries whose squares overflow") {
    // T = s * [[0, 1], [1, 0]]: eigenvalues -s and s.
    for (double s : {1e160, 1e200, 1e300, 1.5e308}) {
        CAPTURE(s);
        const std::vector<double> d = {0.0, 0.0}, e = {0.0, s};
        CHECK(lpi::sturm_count_below(d, e, 0.0) == 1);
        CHECK(lpi::sturm_count_below(d, e, -s * 2.0) == 0);
        CHECK(lpi::sturm_count_below(d, e, s / 2.0) == 1);
        CHECK(lpi::sturm_count_below(d, e, std::numeric_limits<double>::max()) == 2);
    }
}

TEST_CASE("entries that are not finite leave every count uncertain") {
    const double bad[] = {NAN, INFINITY, -INFINITY};
    for (double x : bad) {
        CAPTURE(x);
        std::vector<double> a = adjacency(4, cycle_edges(4));
        a[0] = x;  // on the diagonal, so no trial cuts it away
        CHECK_FALSE(lpi::lpi_counts_checked(a, 4, 1e-9).certain);
        for (const lpi::CheckedCounts &c : lpi::trial_cut_counts(a, 4, cycle_edges(4), 1e-9, scaled_jacobi()))
            CHECK_FALSE(c.certain);
    }
    // A trial outside the matrix is never counted as certain, and never read.
    std::vector<double> a = adjacency(3, cycle_edges(3));
    const auto c = lpi::trial_cut_counts(a, 3, {{0, 1}, {0, 7}}, 1e-9, scaled_jacobi());
    CHECK_FALSE(c[1].certain);
}
