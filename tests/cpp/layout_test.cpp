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

TEST_CASE("steps with the pair list equal steps that scan every pair") {
    for (NormKind nk : {NormKind::plain, NormKind::fused}) {
        const std::size_t n = 40;
        std::vector<std::pair<long, long>> bonds;
        for (long i = 0; i + 1 < static_cast<long>(n); ++i) bonds.push_back({i, i + 1});
        const BondTable bt(n, bonds);
        const ForceParams p{1.5, 1.5 * 1.2, 0.06, 0.05};
        std::vector<double> listed = crowded(n), scanned = crowded(n);
        StepScratch kept;
        for (int it = 0; it < 300; ++it) {
            force_step(listed.data(), n, bt, p, nk, kept);
            StepScratch fresh;  // no list: a full scan every step
            force_step(scanned.data(), n, bt, p, nk, fresh);
            REQUIRE(listed == scanned);
        }
        CHECK(kept.listed);
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
