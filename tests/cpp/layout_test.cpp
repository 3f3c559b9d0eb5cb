// The force step's pair list against a full scan, class numbering and the
// separation of coincident atoms.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "../../corvane/layout/layout_core.hpp"

using namespace corvane::layout;

namespace {

// A zig-zag chain of n atoms with some atoms crowded together.
std::vector<double> crowded(std::size_t n) {
    std::vector<double> xy;
    for (std::size_t i = 0; i < n; ++i) {
        xy.push_back(0.7 * static_cast<double>(i % 9) + 0.01 * static_cast<double>(i));
        xy.push_back(0.9 * static_cast<double>(i / 9) + ((i % 2) ? 0.35 : 0.0));
    }
    return xy;
}

}  // namespace

namespace {

// Atoms spread over a square of side 3.3 * sqrt(n): many cells of the
// rescans' grid, atoms of neighbouring cells within reach.
std::vector<double> spread(std::size_t n) {
    std::vector<double> xy;
    std::uint64_t state = 12345;
    auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    const double side = 3.3 * std::sqrt(static_cast<double>(n));
    for (std::size_t i = 0; i < 2 * n; ++i) xy.push_back(side * next() - side / 2);
    return xy;
}

// One step as the force model reads: bond springs in bond order, then every
// non-bonded pair i < j closer than min_nb repelled, in (i, j) order.
void step_every_pair(std::vector<double> &xy, const std::vector<std::pair<long, long>> &bonds,
                     const ForceParams &p, NormKind nk) {
    const std::size_t n = xy.size() / 2;
    std::vector<std::pair<long, long>> bonded = bonds;
    std::sort(bonded.begin(), bonded.end());
    std::vector<double> f(2 * n, 0.0);
    for (auto [u, v] : bonds) {
        const double dx = xy[2 * v] - xy[2 * u], dy = xy[2 * v + 1] - xy[2 * u + 1];
        const double L = norm2(dx, dy, nk);
        if (L < 1e-9) continue;
        const double s = L - p.target_bond_len;
        const double fx = s * dx / L * p.k_attr, fy = s * dy / L * p.k_attr;
        f[2 * u] += fx;
        f[2 * u + 1] += fy;
        f[2 * v] -= fx;
        f[2 * v + 1] -= fy;
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            if (std::binary_search(bonded.begin(), bonded.end(),
                                   std::pair<long, long>(static_cast<long>(i), static_cast<long>(j))))
                continue;
            const double dx = xy[2 * j] - xy[2 * i], dy = xy[2 * j + 1] - xy[2 * i + 1];
            const double L = norm2(dx, dy, nk);
            if (L < 1e-9 || !(L < p.min_nb)) continue;
            const double s = p.min_nb - L;
            const double fx = s * dx / L * p.k_rep, fy = s * dy / L * p.k_rep;
            f[2 * i] -= fx;
            f[2 * i + 1] -= fy;
            f[2 * j] += fx;
            f[2 * j + 1] += fy;
        }
    for (std::size_t k = 0; k < 2 * n; ++k) xy[k] += f[k];
}

}  // namespace

TEST_CASE("steps with the pair list and the grid's rescans equal steps over every pair") {
    // A crowded chain (few cells), a wide spread of atoms (many cells, and
    // an odd number of pairs per batch) and blobs of coincident-free atoms
    // that all repel each other at first (the larger one then spreads over
    // the grid's cells).  Each step is taken with the processor's wide
    // vectors (where it has them) and without.
    for (int layout = 0; layout < 4; ++layout)
        for (NormKind nk : {NormKind::plain, NormKind::fused}) {
            const std::size_t n = layout == 0 ? 40 : layout == 1 ? 301 : layout == 2 ? 120 : 400;
            std::vector<double> start = layout == 0 ? crowded(n) : spread(n);
            if (layout >= 2)
                for (double &c : start) c *= 0.01;
            std::vector<std::pair<long, long>> bonds;
            for (long i = 0; i + 1 < static_cast<long>(n); ++i) bonds.push_back({i, i + 1});
            const BondTable bt(n, bonds);
            const ForceParams p{1.5, 1.5 * 1.2, 0.06, 0.05};
            std::vector<double> wide = start, narrow = start, scanned = start;
            StepScratch kept_wide, kept_narrow;
            kept_narrow.wide = false;
            for (int it = 0; it < 120; ++it) {
                force_step(wide.data(), n, bt, p, nk, kept_wide);
                force_step(narrow.data(), n, bt, p, nk, kept_narrow);
                step_every_pair(scanned, bonds, p, nk);
                REQUIRE(std::memcmp(wide.data(), scanned.data(), 2 * n * sizeof(double)) == 0);
                REQUIRE(std::memcmp(narrow.data(), scanned.data(), 2 * n * sizeof(double)) == 0);
            }
            CHECK(kept_wide.listed);
            CHECK(kept_narrow.listed);
        }
}

TEST_CASE("classes are numbered by first occurrence") {
    CHECK(number_classes({7, 3, 7, 9, 3}) == std::vector<long>{0, 1, 0, 2, 1});
    CHECK(number_classes({}).empty());
    const Groups g = groups_of(number_classes({5, 5, 1}));
    CHECK(g == Groups{{0, 1}, {2}});
}

TEST_CASE("coincident atoms are moved apart by the later atom") {
    std::vector<double> xy = {0, 0, 0, 0, 1, 1, 0, 1e-7};
    int draws = 0;
    separate_coincident(xy.data(), 4, NormKind::plain, [&] {
        ++draws;
        return std::pair<double, double>(0.5, -0.25);
    });
    // Atom 1 moves off atom 0; atom 3 was within 1e-6 of atom 0 too, and
    // then of atom 1 where it had gone: pairs are compared as they stand.
    CHECK(draws == 3);
    CHECK(xy == std::vector<double>{0, 0, 0.5, -0.25, 1, 1, 0.5 + 0.5, 1e-7 - 0.25 - 0.25});
}

TEST_CASE("angles") {
    CHECK(angle_diff(0.1, 0.1) == 0.0);
    CHECK(std::fabs(angle_diff(3.0, -3.0) - (2 * M_PI - 6.0)) < 1e-12);
    const std::vector<double> one = node_angles(1, {2.0});
    CHECK(one == std::vector<double>{0.0});
    CHECK(node_angles(4, {}).size() == 4);
}

namespace {

// The widest-gap placement as written: every round reduces and sorts all
// angles and scans every gap.
std::vector<double> placement_by_resorting(long n, std::vector<double> angles) {
    const double two_pi = 2 * M_PI;
    while (static_cast<long>(angles.size()) < n) {
        std::vector<double> s;
        for (double a : angles) s.push_back(py_mod(a, two_pi));
        std::sort(s.begin(), s.end());
        if (s.size() == 1) {
            angles.push_back(py_mod(s[0] + M_PI, two_pi));
            continue;
        }
        double widest = -1.0, middle = 0.0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double gap = py_mod(s[(i + 1) % s.size()] - s[i], two_pi);
            if (gap > widest) {
                widest = gap;
                middle = py_mod(s[i] + gap / 2.0, two_pi);
            }
        }
        angles.push_back(middle);
    }
    return angles;
}

}  // namespace

TEST_CASE("node angles kept sorted equal the re-sorting loop bit for bit") {
    std::uint64_t state = 88172645463325252ULL;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<double> targets;
        const std::size_t k = 1 + next() % 5;
        for (std::size_t i = 0; i < k; ++i) {
            switch (next() % 4) {
                case 0: targets.push_back(static_cast<double>(next() % 8) * M_PI / 4); break;  // ties
                case 1: targets.push_back(-1e-300 * static_cast<double>(next() % 3)); break;  // reduces to 2*pi
                default: targets.push_back((static_cast<double>(next() % 2000000) - 1e6) * 1e-4); break;
            }
        }
        const long n = static_cast<long>(k + next() % 200);
        const std::vector<double> fast = node_angles(n, targets);
        const std::vector<double> plain = placement_by_resorting(n, targets);
        REQUIRE(fast.size() == plain.size());
        for (std::size_t i = 0; i < fast.size(); ++i) CHECK(std::memcmp(&fast[i], &plain[i], sizeof(double)) == 0);
    }
}

TEST_CASE("a long placement stops when asked") {
    int asked = 0;
    CHECK_THROWS_AS(node_angles(100000, {0.0}, [&] { return ++asked == 50; }), Interrupted);
    CHECK(asked == 50);
}
