// Sparse LDL^T sign counts: against the dense Sturm counts on graphs with
// and without zero eigenvalues, every single-edge cut, and eigenvalues put
// just inside, on and just outside the band edges.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "../../corvane/lpi/inertia_core.hpp"
#include "../../corvane/lpi/lpi_core.hpp"
#include "reference.hpp"

using namespace corvane;
using corvane::testing::adjacency;
using corvane::testing::cycle_edges;
using corvane::testing::path_edges;

namespace {

// A random molecule-like graph: cliques of 1 to 4 nodes joined by single
// edges into a tree, plus a few extra joins that close rings.
std::vector<double> clique_graph(std::mt19937 &rng, std::size_t atoms, std::size_t rings, std::size_t &n) {
    std::vector<std::vector<std::size_t>> nodes(atoms);
    n = 0;
    for (auto &a : nodes) {
        const std::size_t k = 1 + rng() % 4;
        for (std::size_t i = 0; i < k; ++i) a.push_back(n++);
    }
    std::vector<std::pair<std::size_t, std::size_t>> edges;
    std::vector<double> weights;
    for (auto &a : nodes)
        for (std::size_t i = 0; i < a.size(); ++i)
            for (std::size_t j = i + 1; j < a.size(); ++j) edges.push_back({a[i], a[j]});
    auto join = [&](std::size_t x, std::size_t y) {
        edges.push_back({nodes[x][rng() % nodes[x].size()], nodes[y][rng() % nodes[y].size()]});
    };
    for (std::size_t x = 1; x < atoms; ++x) join(x, rng() % x);
    for (std::size_t r = 0; r < rings; ++r) {
        const std::size_t x = rng() % atoms, y = rng() % atoms;
        if (x != y) join(x, y);
    }
    std::vector<double> a(n * n, 0.0);
    for (auto [u, v] : edges) {
        if (u == v) continue;
        const double w = (rng() % 2) ? 1.0 : 0.9;
        a[u * n + v] = a[v * n + u] = w;
    }
    return a;
}

lpi::CheckedCounts sparse(const std::vector<double> &a, std::size_t n, double tol, int ci = -1, int cj = -1) {
    lpi::SparseSym m;
    REQUIRE(lpi::sparse_of(a, n, 12, m));
    lpi::InertiaWork w;
    return lpi::sparse_counts_checked(m, tol, ci, cj, w);
}

}  // namespace

TEST_CASE("sparse counts of paths and cycles, zero eigenvalues included") {
    for (std::size_t n : {2, 3, 5, 8, 9, 16, 31, 64}) {
        for (auto edges : {path_edges(n), cycle_edges(n)}) {
            if (n < 3 && edges.size() > 1) continue;
            const std::vector<double> a = adjacency(n, edges);
            const lpi::CheckedCounts d = lpi::lpi_counts_checked(a, n, 1e-9);
            const lpi::CheckedCounts s = sparse(a, n, 1e-9);
            CAPTURE(n);
            CHECK(d.certain);
            CHECK(s.certain);
            CHECK(s.counts == d.counts);
        }
    }
}

TEST_CASE("sparse counts of every cut agree with the dense counts on molecule-like graphs") {
    std::mt19937 rng(7);
    long zero_seen = 0;
    for (int g = 0; g < 40; ++g) {
        std::size_t n = 0;
        std::vector<double> a = clique_graph(rng, 6 + rng() % 30, rng() % 4, n);
        lpi::SparseSym m;
        REQUIRE(lpi::sparse_of(a, n, 12, m));
        lpi::InertiaWork w;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) {
                if (a[i * n + j] == 0.0) continue;
                const lpi::CheckedCounts d = lpi::cut_counts(a, n, i, j, 1e-9);
                const lpi::CheckedCounts s =
                    lpi::sparse_counts_checked(m, 1e-9, static_cast<int>(i), static_cast<int>(j), w);
                CAPTURE(g);
                CAPTURE(i);
                CAPTURE(j);
                REQUIRE(d.certain);
                CHECK(s.certain);
                CHECK(s.counts == d.counts);
                zero_seen += s.counts.zero > 0;
            }
    }
    // The comparison covered cuts with eigenvalues at zero (the four-shift
    // path), not only the two-shift one.
    CHECK(zero_seen > 0);
}

TEST_CASE("eigenvalues at the band edges: certain counts are right, near ones are not certain") {
    // diag(x, -x) coupled to nothing: eigenvalues +-x on the two ends of a
    // path of four (whose own eigenvalues are far from the band).  Within
    // the rounding margin of an edge (about 3.5e-14 here) nothing is
    // certain; beyond twice that, closer edges are looked at (in long double
    // at the last) until the counts are certain.
    const double tol = 1e-9;
    const double margin = lpi::rounding_margin(6, 2.0);
    const std::vector<double> margins = {0.0, 1e-16, 1e-13, 1e-11, 2e-10, 4e-10, 6e-10, 1e-9};
    for (double off : margins)
        for (double sign : {-1.0, 1.0}) {
            const double x = tol + sign * off;  // eigenvalue near +tol, its mirror near -tol
            std::vector<double> a = adjacency(6, path_edges(4));
            a[4 * 6 + 4] = x;
            a[5 * 6 + 5] = -x;
            const lpi::CheckedCounts s = sparse(a, 6, tol);
            CAPTURE(off);
            CAPTURE(sign);
            if (off <= margin) {
                // Within rounding of an edge: left to the eigenvalues.
                CHECK_FALSE(s.certain);
            } else {
                REQUIRE(s.certain);
                // +-x: outside the band when above tol, inside when below.
                const long in_band = sign > 0 ? 0 : 2;
                CHECK(s.counts.zero == in_band);
                CHECK(s.counts.pos == 2 + (sign > 0 ? 1 : 0));
                CHECK(s.counts.neg == 2 + (sign > 0 ? 1 : 0));
            }
        }
}

TEST_CASE("sparse counts refuse what they cannot certify") {
    std::vector<double> a = adjacency(10, path_edges(10));
    lpi::SparseSym m;
    // An asymmetric pair, a non-finite entry, an entry beyond 2^500.
    std::vector<double> b = a;
    b[1] = 0.5;
    CHECK_FALSE(lpi::sparse_of(b, 10, 12, m));
    b = a;
    b[1] = b[10] = NAN;
    CHECK_FALSE(lpi::sparse_of(b, 10, 12, m));
    b = a;
    b[1] = b[10] = 1e200;
    CHECK_FALSE(lpi::sparse_of(b, 10, 12, m));
    // tol = 0 has no room for shifts either side of the edges.
    CHECK_FALSE(sparse(a, 10, 0.0).certain);
    // An empty matrix has certain counts of nothing.
    lpi::SparseSym e;
    REQUIRE(lpi::sparse_of({}, 0, 12, e));
    lpi::InertiaWork w;
    CHECK(lpi::sparse_counts_checked(e, 1e-9, -1, -1, w).certain);
}

TEST_CASE("trial counts take the sparse path on large sparse graphs and agree with the dense one") {
    // About 600 nodes, every 24th edge a trial: few enough trials for
    // one factorisation each to beat a decomposition.
    // The dense path (no decomposition given, one count per trial) on a
    // sample of the trials is the reference.
    std::size_t n = 0;
    std::mt19937 rng(3);
    std::vector<double> a = clique_graph(rng, 240, 6, n);
    std::vector<std::pair<std::size_t, std::size_t>> trials;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (a[i * n + j] != 0.0 && (i + j) % 24 == 0) trials.push_back({i, j});
    REQUIRE((trials.size() + 1) * 6000 < n * n);
    const lpi::Decompose none = [](const std::vector<double> &, std::size_t, std::vector<double> &,
                                   std::vector<double> &) { return false; };
    lpi::CheckedCounts base;
    const std::vector<lpi::CheckedCounts> got = lpi::trial_cut_counts(a, n, trials, 1e-9, none, &base);
    CHECK(base.certain);
    CHECK(base.counts == lpi::lpi_counts_checked(a, n, 1e-9).counts);
    for (std::size_t t = 0; t < trials.size(); t += trials.size() / 6) {
        const lpi::CheckedCounts d = lpi::cut_counts(a, n, trials[t].first, trials[t].second, 1e-9);
        CAPTURE(t);
        CHECK(got[t].certain);
        CHECK(got[t].counts == d.counts);
    }
}

TEST_CASE("one factorisation with a gap: every certain trial count is the dense count") {
    std::mt19937 rng(11);
    long certain = 0, total = 0, gaps = 0;
    for (int g = 0; g < 60; ++g) {
        std::size_t n = 0;
        std::vector<double> a = clique_graph(rng, 6 + rng() % 30, rng() % 4, n);
        lpi::SparseSym m;
        REQUIRE(lpi::sparse_of(a, n, 12, m));
        std::vector<std::pair<std::size_t, std::size_t>> trials;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j)
                if (a[i * n + j] != 0.0) trials.push_back({i, j});
        trials.push_back({0, 0});  // not a cut: never certain here
        lpi::InertiaWork w;
        lpi::CheckedCounts base;
        const std::vector<lpi::CheckedCounts> got = lpi::gap_trial_counts(m, 1e-9, trials, base, w);
        if (base.certain) {
            ++gaps;
            CHECK(base.counts == lpi::lpi_counts_checked(a, n, 1e-9).counts);
        }
        CHECK_FALSE(got.back().certain);
        for (std::size_t t = 0; t + 1 < trials.size(); ++t) {
            ++total;
            if (!got[t].certain) continue;
            ++certain;
            const lpi::CheckedCounts d = lpi::cut_counts(a, n, trials[t].first, trials[t].second, 1e-9);
            CAPTURE(g);
            CAPTURE(t);
            REQUIRE(d.certain);
            CHECK(got[t].counts == d.counts);
        }
    }
    // Most such graphs have a gap, and most of their cuts are settled by it.
    CHECK(gaps > 20);
    CHECK(certain * 2 > total);
}

TEST_CASE("cuts that put eigenvalues at zero are settled at the shifted band edges") {
    // A path of four has no eigenvalue at zero.  Cutting its middle edge
    // leaves two edges (eigenvalues +-1, +-1); cutting an end edge leaves a
    // path of three (+-sqrt 2, 0) and an isolated node (0): two eigenvalues
    // at zero, where the 2 x 2 problem at zero is singular.
    const std::vector<double> a = adjacency(4, path_edges(4));
    lpi::SparseSym m;
    REQUIRE(lpi::sparse_of(a, 4, 12, m));
    lpi::InertiaWork w;
    lpi::CheckedCounts base;
    const auto got = lpi::gap_trial_counts(m, 1e-9, {{1, 2}, {0, 1}}, base, w);
    REQUIRE(base.certain);
    CHECK(base.counts == lpi::SignCounts{2, 0, 2});
    REQUIRE(got[0].certain);
    CHECK(got[0].counts == lpi::SignCounts{2, 0, 2});
    REQUIRE(got[1].certain);
    CHECK(got[1].counts == lpi::SignCounts{1, 2, 1});
}

TEST_CASE("the pattern's nullity: exact on known graphs, a lower bound of the counted zeros on random ones") {
    auto nullity = [](const std::vector<double> &a, std::size_t n, int ci = -1, int cj = -1) {
        lpi::SparseSym m;
        REQUIRE(lpi::sparse_of(a, n, 12, m));
        lpi::MatchWork w;
        return lpi::structural_nullity(m, lpi::max_matching(m), ci, cj, w);
    };
    // A star of three leaves (the pattern allows rank 2 only), a path of
    // five (one node left over), a cycle of five (an odd cycle covers all).
    CHECK(nullity(adjacency(4, {{0, 1}, {0, 2}, {0, 3}}), 4) == 2);
    CHECK(nullity(adjacency(5, path_edges(5)), 5) == 1);
    CHECK(nullity(adjacency(5, cycle_edges(5)), 5) == 0);
    // A methyl radical's VIF graph: K4 on the carbon's nodes 0-3, hydrogens
    // 4-6 on nodes 0-2; node 3 is the radical's.  Cutting the C-H unit 0-4
    // leaves a lone hydrogen and a full K4 matched with two hydrogens.
    std::vector<std::pair<std::size_t, std::size_t>> methyl = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3},
                                                               {2, 3}, {0, 4}, {1, 5}, {2, 6}};
    const std::vector<double> a = adjacency(7, methyl);
    CHECK(nullity(a, 7) == 1);
    CHECK(nullity(a, 7, 0, 4) == 1);
    CHECK(nullity(a, 7, 4, 0) == 1);
    CHECK(nullity(a, 7, 0, 1) == 1);
    // A non-zero diagonal entry matches its own node.
    std::vector<double> d = adjacency(3, {{0, 1}, {0, 2}});
    CHECK(nullity(d, 3) == 1);
    d[2 * 3 + 2] = 0.5;
    CHECK(nullity(d, 3) == 0);

    std::mt19937 rng(5);
    long equal = 0, cuts = 0;
    for (int g = 0; g < 30; ++g) {
        std::size_t n = 0;
        std::vector<double> b = clique_graph(rng, 4 + rng() % 20, rng() % 3, n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) {
                if (b[i * n + j] == 0.0 || (i * 7 + j) % 3) continue;
                const lpi::CheckedCounts c = lpi::cut_counts(b, n, i, j, 1e-9);
                REQUIRE(c.certain);
                const std::size_t s = nullity(b, n, static_cast<int>(i), static_cast<int>(j));
                CAPTURE(g);
                CHECK(static_cast<long>(s) <= c.counts.zero);
                equal += static_cast<long>(s) == c.counts.zero;
                ++cuts;
            }
    }
    CHECK(equal * 10 > cuts * 9);
}

TEST_CASE("radicals: every trial count settled in the middle of the gap is the dense count") {
    // Molecule-like graphs with zeros their pattern forces (a clique with
    // more pendant nodes than it can pair): the base counts and the cuts
    // come from two factorisations beside zero, not from eigenvalues.
    std::mt19937 rng(23);
    long radicals = 0, certain = 0, total = 0;
    for (int g = 0; g < 80; ++g) {
        std::size_t n = 0;
        std::vector<double> a = clique_graph(rng, 6 + rng() % 30, rng() % 4, n);
        lpi::SparseSym m;
        REQUIRE(lpi::sparse_of(a, n, 12, m));
        std::vector<std::pair<std::size_t, std::size_t>> trials;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j)
                if (a[i * n + j] != 0.0) trials.push_back({i, j});
        lpi::InertiaWork w;
        lpi::CheckedCounts base;
        const std::vector<lpi::CheckedCounts> got = lpi::gap_trial_counts(m, 1e-9, trials, base, w);
        const lpi::CheckedCounts dense = lpi::lpi_counts_checked(a, n, 1e-9);
        REQUIRE(dense.certain);
        if (!base.certain || dense.counts.zero == 0) continue;
        ++radicals;
        CHECK(base.counts == dense.counts);
        for (std::size_t t = 0; t < trials.size(); ++t) {
            ++total;
            if (!got[t].certain) continue;
            ++certain;
            const lpi::CheckedCounts d = lpi::cut_counts(a, n, trials[t].first, trials[t].second, 1e-9);
            CAPTURE(g);
            CAPTURE(t);
            REQUIRE(d.certain);
            CHECK(got[t].counts == d.counts);
        }
    }
    CHECK(radicals > 10);
    CHECK(certain * 4 > total * 3);
}

namespace {

// The VIF graph of a polyacene of k rings: each carbon a triangle of sigma
// nodes (weight 1) and a pi node, each C-C bond a 0.9 edge between sigma
// nodes, a Kekule set of pi-pi edges, and a hydrogen (one node) on each
// carbon of two ring bonds.  A zero diagonal: the factorisation takes 2 x 2
// pivots with partners out of the symbolic order.
std::vector<double> acene_graph(std::size_t k, std::size_t &n) {
    const std::size_t row = 2 * k + 1, carbons = 2 * row;
    auto carbon = [&](std::size_t r, std::size_t i) { return r * row + i; };
    std::vector<std::pair<std::size_t, std::size_t>> bonds, pi;
    for (std::size_t r = 0; r < 2; ++r)
        for (std::size_t i = 0; i + 1 < row; ++i) {
            bonds.push_back({carbon(r, i), carbon(r, i + 1)});
            if (i % 2 == 1) pi.push_back({carbon(r, i), carbon(r, i + 1)});
        }
    for (std::size_t i = 0; i < row; i += 2) bonds.push_back({carbon(0, i), carbon(1, i)});
    pi.push_back({carbon(0, 0), carbon(1, 0)});
    std::vector<std::size_t> used(carbons, 0), degree(carbons, 0);
    for (auto [u, v] : bonds) ++degree[u], ++degree[v];
    std::size_t hydrogens = 0;
    for (std::size_t c = 0; c < carbons; ++c) hydrogens += degree[c] == 2 ? 1 : 0;
    n = 4 * carbons + hydrogens;
    std::vector<double> a(n * n, 0.0);
    auto join = [&](std::size_t u, std::size_t v, double w) { a[u * n + v] = a[v * n + u] = w; };
    for (std::size_t c = 0; c < carbons; ++c)
        for (std::size_t s = 0; s < 3; ++s)
            for (std::size_t t = s + 1; t < 3; ++t) join(4 * c + s, 4 * c + t, 1.0);
    auto sigma = [&](std::size_t c) { return 4 * c + used[c]++; };
    for (auto [u, v] : bonds) join(sigma(u), sigma(v), 0.9);
    for (auto [u, v] : pi) join(4 * u + 3, 4 * v + 3, 0.9);
    std::size_t h = 4 * carbons;
    for (std::size_t c = 0; c < carbons; ++c)
        if (degree[c] == 2) join(sigma(c), h++, 0.9);
    return a;
}

}  // namespace

TEST_CASE("fused rings: rows that outgrow the symbolic fill are widened, the counts stay certain and right") {
    std::size_t n = 0;
    const std::vector<double> a = acene_graph(25, n);
    lpi::SparseSym m;
    REQUIRE(lpi::sparse_of(a, n, 12, m));
    // The order keeps the 2 x 2 pivots' pairs together, so rows stay within
    // the symbolic fill; an order that splits them makes rows outgrow it.
    std::reverse(m.order.begin(), m.order.end());
    lpi::InertiaWork w;
    for (double s : {-0.5, -1e-3, 1e-3, 0.5}) {
        const lpi::ShiftCount c = lpi::count_below(m, s, -1, -1, w);
        CAPTURE(s);
        REQUIRE(c.ok);
    }
    CHECK(w.room > m.cap);
    const lpi::CheckedCounts dense = lpi::lpi_counts_checked(a, n, 1e-9);
    REQUIRE(dense.certain);
    const lpi::CheckedCounts got = lpi::sparse_counts_checked(m, 1e-9, -1, -1, w);
    REQUIRE(got.certain);
    CHECK(got.counts == dense.counts);
    // A few cuts, counted after the rows were widened.
    for (std::size_t i = 0; i < n; i += 37)
        for (std::size_t j = 0; j < n; ++j)
            if (a[i * n + j] != 0.0) {
                const lpi::CheckedCounts d = lpi::cut_counts(const_cast<std::vector<double> &>(a), n, i, j, 1e-9);
                const lpi::CheckedCounts c = lpi::sparse_counts_checked(m, 1e-9, static_cast<int>(i), static_cast<int>(j), w);
                CAPTURE(i);
                CAPTURE(j);
                if (d.certain && c.certain) CHECK(c.counts == d.counts);
                break;
            }
}

TEST_CASE("every cut of a fused-ring graph from one factorisation equals its dense count") {
    // The gap test on a VIF graph with 2 x 2 pivots: entries of A^-1 from
    // forward sweeps, cuts that leave a hydrogen alone and cuts whose 2 x 2
    // problem is singular at zero (the shifted band edges).
    std::size_t n = 0;
    std::vector<double> a = acene_graph(8, n);
    lpi::SparseSym m;
    REQUIRE(lpi::sparse_of(a, n, 12, m));
    std::vector<std::pair<std::size_t, std::size_t>> trials;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (a[i * n + j] == 0.9) trials.push_back({i, j});
    lpi::InertiaWork w;
    lpi::CheckedCounts base;
    const auto got = lpi::gap_trial_counts(m, 1e-9, trials, base, w);
    REQUIRE(base.certain);
    std::size_t certain = 0, changed = 0;
    for (std::size_t t = 0; t < trials.size(); ++t) {
        if (!got[t].certain) continue;
        ++certain;
        const auto [i, j] = trials[t];
        const lpi::CheckedCounts d = lpi::cut_counts(a, n, i, j, 1e-9);
        CAPTURE(i);
        CAPTURE(j);
        REQUIRE(d.certain);
        CHECK(got[t].counts == d.counts);
        changed += got[t].counts == base.counts ? 0 : 1;
    }
    CHECK(certain == trials.size());
    CHECK(changed > 0);
}

TEST_CASE("cuts of two-node blocks: counted from the block, equal to the dense counts") {
    // Pairs joined only to each other beside a chain that gives the matrix
    // a gap, with diagonals that make the block indefinite, definite either
    // way, or leave the cut's nodes in, on either side of, or at the band.
    const double diag[][2] = {{0.0, 0.0}, {2.0, 1.5}, {-2.0, -0.7}, {0.5, -0.5}, {2.0, 0.0}, {-1.0, 3.0}, {0.3, 0.2}};
    const std::size_t chain = 12, n = chain + 2 * std::size(diag);
    std::vector<double> a(n * n, 0.0);
    for (std::size_t i = 0; i + 1 < chain; ++i) a[i * n + i + 1] = a[(i + 1) * n + i] = 1.0;
    std::vector<std::pair<std::size_t, std::size_t>> trials;
    for (std::size_t b = 0; b < std::size(diag); ++b) {
        const std::size_t i = chain + 2 * b, j = i + 1;
        a[i * n + i] = diag[b][0];
        a[j * n + j] = diag[b][1];
        a[i * n + j] = a[j * n + i] = 0.9;
        trials.push_back({i, j});
    }
    lpi::SparseSym m;
    REQUIRE(lpi::sparse_of(a, n, 12, m));
    lpi::InertiaWork w;
    lpi::CheckedCounts base;
    const auto got = lpi::gap_trial_counts(m, 1e-9, trials, base, w);
    REQUIRE(base.certain);
    for (std::size_t t = 0; t < trials.size(); ++t) {
        const lpi::CheckedCounts d = lpi::cut_counts(a, n, trials[t].first, trials[t].second, 1e-9);
        CAPTURE(t);
        REQUIRE(d.certain);
        CHECK(got[t].certain);
        CHECK(got[t].counts == d.counts);
    }
}

TEST_CASE("the sparse form from rows is the sparse form from the dense matrix, and refuses the same matrices") {
    std::mt19937 rng(29);
    auto rows_of = [](const std::vector<double> &a, std::size_t n) {
        lpi::SparseRows r;
        r.n = n;
        r.diag.assign(n, 0.0);
        r.start.assign(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                if (a[i * n + j] == 0.0) continue;
                if (i == j) {
                    r.diag[i] = a[i * n + j];
                } else {
                    r.col.push_back(static_cast<int>(j));
                    r.val.push_back(a[i * n + j]);
                }
            }
            r.start[i + 1] = r.col.size();
        }
        return r;
    };
    for (int round = 0; round < 40; ++round) {
        std::size_t n = 0;
        std::vector<double> a = clique_graph(rng, 6 + rng() % 20, rng() % 4, n);
        // Diagonal entries of every size (the row sums mix them in), and
        // now and then an entry the sparse form must refuse.
        for (std::size_t i = 0; i < n; ++i)
            if (rng() % 3 == 0) a[i * n + i] = std::ldexp(1.0 + (rng() % 97) / 13.0, static_cast<int>(rng() % 40) - 20);
        const int spoil = round % 5;
        if (spoil == 1) a[(n / 2) * n + n / 2] = std::ldexp(1.0, 600);
        if (spoil == 2 && n > 2) a[0 * n + 1] += 1.0;  // no longer symmetric (or a new one-sided entry)
        lpi::SparseSym dense, from_rows;
        const bool d = lpi::sparse_of(a, n, 12, dense);
        const bool r = lpi::sparse_of_rows(rows_of(a, n), 12, from_rows);
        REQUIRE(d == r);
        if (!d) continue;
        CHECK(from_rows.n == dense.n);
        CHECK(from_rows.norm == dense.norm);  // to the bit: the same summation order
        CHECK(from_rows.order == dense.order);
        CHECK(from_rows.cap == dense.cap);
        CHECK(from_rows.diag == dense.diag);
        CHECK(from_rows.len == dense.len);
        CHECK(from_rows.col == dense.col);
        CHECK(from_rows.val == dense.val);
    }
}
