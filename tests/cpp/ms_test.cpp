// The atom graph of the fragment rules: components, splits of salts and
// rings, and the cut rules.
#include <doctest/doctest.h>

#include "../../corvane/ms/ms_core.hpp"

using namespace corvane::ms;

TEST_CASE("components are numbered in the order of their smallest node") {
    // 0-1-2 and 3-4, 5 alone: three components.
    AtomGraph g(6, {{3, 4}, {1, 2}, {0, 1}});
    std::vector<int> lab;
    CHECK(g.label({}, lab) == 3);
    CHECK(lab == std::vector<int>{0, 0, 0, 1, 1, 2});
    // Repeated edges and endpoints out of range are ignored.
    AtomGraph h(3, {{0, 1}, {1, 0}, {1, 7}, {-1, 2}});
    CHECK(h.edge(0, 1) == 0);
    CHECK(h.edge(1, 2) == -1);
    CHECK(h.label({}, lab) == 2);
}

TEST_CASE("a cut splits one component of a salt into two parts") {
    // Acetate-like chain 0-1-2-3 with a counter-ion 4 on its own.
    AtomGraph g(5, {{0, 1}, {1, 2}, {2, 3}});
    std::vector<int> a, b;
    REQUIRE(g.split({g.edge(1, 2)}, a, b));
    CHECK(a == std::vector<int>{0, 1});
    CHECK(b == std::vector<int>{2, 3});  // the counter-ion belongs to neither
    // Cutting a ring bond alone splits nothing; two ring bonds do.
    AtomGraph ring(4, {{0, 1}, {1, 2}, {2, 3}, {3, 0}});
    CHECK_FALSE(ring.split({ring.edge(0, 1)}, a, b));
    REQUIRE(ring.split({ring.edge(0, 1), ring.edge(2, 3)}, a, b));
    CHECK(a == std::vector<int>{0, 3});
    CHECK(b == std::vector<int>{1, 2});
}

TEST_CASE("cut rules: carbonyl kept, ring pairs cut together with a mass threshold") {
    // C0=O1 carbonyl on C0-C2, ring C2-C3-C4-C5-C2.
    AtomGraph g(6, {{0, 1}, {0, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 2}});
    const std::vector<SoftPair> soft = {{0, 1, 0}, {0, 2, 1}, {2, 3, 2}, {4, 5, 3}};
    auto queries = [](double min_mass) {
        return CutQueries{
            [](std::size_t id) { return id == 0; },  // the C=O bond is double
            [](int) { return true; },
            [](int) { return 12.0; },
            [min_mass](double m) { return m >= min_mass; },
        };
    };
    const auto no_ring = cut_fragment(g, soft, false, queries(0));
    // C=O is not cleaved (a lone O on one side); C0-C2 splits {0, 1} | ring.
    CHECK(no_ring == std::vector<std::vector<int>>{{0, 1}, {2, 3, 4, 5}});
    const auto ring = cut_fragment(g, soft, true, queries(0));
    CHECK(ring.size() == 4);  // plus {0, 1, 2, 5} and {3, 4}
    CHECK(std::find(ring.begin(), ring.end(), std::vector<int>{3, 4}) != ring.end());
    // The lighter part (24) is below a threshold of 30: no ring cut kept.
    CHECK(cut_fragment(g, soft, true, queries(30)) == no_ring);
}

TEST_CASE("formulas put C and H first") {
    CHECK(formula({{"O", 1}, {"H", 4}, {"C", 2}, {"Cl", 1}}) == "C2H4ClO");
    CHECK(formula({{"N", 2}}) == "N2");
    CHECK(builtin_sum({0.1, 0.2, 0.3}) == 0.6);  // compensated, as the interpreter's sum
}

TEST_CASE("bridges say which cuts split, alone and beside a ring bond, as labelling does") {
    // Random sparse graphs with rings, chains, loops and loose parts: every
    // edge alone, and every pair, against the component count.
    unsigned state = 12345;
    auto rnd = [&](unsigned m) {
        state = state * 1103515245u + 12345u;
        return static_cast<int>((state >> 16) % m);
    };
    for (int round = 0; round < 200; ++round) {
        const int n = 2 + rnd(12);
        std::vector<std::pair<int, int>> edges;
        for (int k = rnd(2 * n); k > 0; --k) edges.push_back({rnd(n), rnd(n)});
        AtomGraph g(n, edges);
        std::vector<int> lab;
        const std::size_t base = g.label({}, lab);
        std::vector<std::pair<int, int>> ids;
        for (auto [u, v] : edges)
            if (g.edge(u, v) >= 0) ids.push_back({g.edge(u, v), 0});
        std::vector<char> alone, beside;
        g.bridges(-1, alone);
        for (auto [e, unused] : ids) {
            CHECK((g.label({e}, lab) == base + 1) == (alone[e] != 0));
            g.bridges(e, beside);
            CHECK(beside[e] == 0);
            for (auto [f, unused2] : ids)
                if (f != e && g.label({e}, lab) == base) CHECK((g.label({e, f}, lab) == base + 1) == (beside[f] != 0));
        }
    }
}
