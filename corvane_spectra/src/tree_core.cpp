#include "tree_core.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <vector>

namespace corvane::spectra {

namespace {

// Every node's height (the longest path to a leaf) by a depth-first walk;
// returns a node on a cycle, or -1 when there is none.  The children are in
// range (checked before).
std::int64_t node_heights(const ForestView &f, std::vector<std::int32_t> &height) {
    const std::size_t n = f.n_nodes;
    height.assign(n, -1);  // -1 unvisited, -2 on the current path
    std::vector<std::pair<std::size_t, int>> stack;  // node, children pushed so far
    for (std::size_t start = 0; start < n; ++start) {
        if (height[start] != -1) continue;
        stack.assign(1, {start, 0});
        height[start] = -2;
        while (!stack.empty()) {
            auto &[i, pushed] = stack.back();
            if (f.feature[i] < 0) {
                height[i] = 0;
                stack.pop_back();
                continue;
            }
            if (pushed < 2) {
                const auto c = static_cast<std::size_t>(pushed == 0 ? f.left[i] : f.right[i]);
                ++pushed;
                if (height[c] == -2) return static_cast<std::int64_t>(c);
                if (height[c] == -1) {
                    height[c] = -2;
                    stack.push_back({c, 0});
                }
                continue;
            }
            height[i] = 1 + std::max(height[static_cast<std::size_t>(f.left[i])],
                                     height[static_cast<std::size_t>(f.right[i])]);
            stack.pop_back();
        }
    }
    return -1;
}

// Lays the subtree of `node` out from heap entry p at `level` of a complete
// tree of `depth` levels: a leaf above the bottom fills every slot below it.
void lay_out(const ForestView &f, const std::vector<std::uint64_t> &node_offset, std::int32_t node, std::size_t p,
             int level, int depth, double *threshold, std::uint64_t *offset, double *leaf) {
    const auto i = static_cast<std::size_t>(node);
    if (level == depth) {
        leaf[p - (std::size_t{1} << depth)] = f.value[i];
        return;
    }
    const bool split = f.feature[i] >= 0;
    threshold[p] = split ? f.threshold[i] : 0.0;
    offset[p] = split ? node_offset[i] : 0;
    lay_out(f, node_offset, split ? f.left[i] : node, 2 * p, level + 1, depth, threshold, offset, leaf);
    lay_out(f, node_offset, split ? f.right[i] : node, 2 * p + 1, level + 1, depth, threshold, offset, leaf);
}

constexpr std::size_t kLanes = 16; // rows walked together: their loads overlap

// Adds to acc[k] (k < n, n a multiple of kLanes) the leaf value row k of the
// block reaches in a complete tree of D levels.
template <int D>
void walk_complete(const double *threshold, const std::uint64_t *offset, const double *leaf, const double *buf,
                   std::size_t n, double *acc) {
    for (std::size_t k0 = 0; k0 < n; k0 += kLanes) {
        const double *b = buf + k0;
        std::size_t p[kLanes];
        for (std::size_t k = 0; k < kLanes; ++k) p[k] = 1;
#pragma GCC unroll 8
        for (int d = 0; d < D; ++d)
#pragma GCC unroll 16
            for (std::size_t k = 0; k < kLanes; ++k) p[k] = 2 * p[k] + !(b[offset[p[k]] + k] <= threshold[p[k]]);
        for (std::size_t k = 0; k < kLanes; ++k) acc[k0 + k] += leaf[p[k] - (std::size_t{1} << D)];
    }
}

using WalkFn = void (*)(const double *, const std::uint64_t *, const double *, const double *, std::size_t, double *);
template <int... D>
constexpr auto walk_table(std::integer_sequence<int, D...>) {
    return std::array<WalkFn, sizeof...(D)>{&walk_complete<D>...};
}
constexpr auto kWalk = walk_table(std::make_integer_sequence<int, PackedForest::kMaxLevels + 1>{});

// The same for a tree kept as nodes (value: the leaf value of each node).
void walk_nodes(const PackedForest::Node *node, const double *value, std::size_t root, std::int32_t depth,
                const double *buf, std::size_t n, double *acc) {
    for (std::size_t k0 = 0; k0 < n; k0 += kLanes) {
        const double *b = buf + k0;
        std::size_t at[kLanes];
        for (std::size_t k = 0; k < kLanes; ++k) at[k] = root;
        for (std::int32_t d = 0; d < depth; ++d)
            for (std::size_t k = 0; k < kLanes; ++k) {
                const PackedForest::Node &nd = node[at[k]];
                at[k] = static_cast<std::size_t>(b[nd.offset + k] <= nd.threshold ? nd.left : nd.right);
            }
        for (std::size_t k = 0; k < kLanes; ++k) acc[k0 + k] += value[at[k]];
    }
}

}  // namespace

std::string check_forest(const ForestView &f, std::size_t n_columns) {
    const std::size_t n = f.n_nodes;
    for (std::size_t t = 0; t < f.n_roots; ++t)
        if (f.roots[t] < 0 || static_cast<std::size_t>(f.roots[t]) >= n)
            return "tree " + std::to_string(t) + "'s root is not a node";
    for (std::size_t i = 0; i < n; ++i) {
        if (f.feature[i] < 0) continue;
        if (static_cast<std::size_t>(f.feature[i]) >= n_columns)
            return "node " + std::to_string(i) + " splits on column " + std::to_string(f.feature[i]) + " of " +
                   std::to_string(n_columns);
        if (f.left[i] < 0 || static_cast<std::size_t>(f.left[i]) >= n || f.right[i] < 0 ||
            static_cast<std::size_t>(f.right[i]) >= n)
            return "node " + std::to_string(i) + " has a child that is not a node";
    }
    std::vector<std::int32_t> height;
    const std::int64_t on_cycle = node_heights(f, height);
    if (on_cycle >= 0) return "node " + std::to_string(on_cycle) + " lies on a cycle";
    return {};
}

PackedForest pack_forest(const ForestView &f) {
    PackedForest p;
    std::vector<std::int32_t> height;
    node_heights(f, height);
    // The buffer slots: the columns some split reads, in increasing order.
    for (std::size_t i = 0; i < f.n_nodes; ++i)
        if (f.feature[i] >= 0) p.columns.push_back(f.feature[i]);
    std::sort(p.columns.begin(), p.columns.end());
    p.columns.erase(std::unique(p.columns.begin(), p.columns.end()), p.columns.end());
    std::vector<std::uint64_t> offset(f.n_nodes, 0);  // of each node's column (0 at leaves)
    for (std::size_t i = 0; i < f.n_nodes; ++i)
        if (f.feature[i] >= 0) {
            const auto slot = std::lower_bound(p.columns.begin(), p.columns.end(), f.feature[i]) - p.columns.begin();
            offset[i] = static_cast<std::uint64_t>(slot) * PackedForest::kBlock;
        }
    bool any_deep = false;
    for (std::size_t t = 0; t < f.n_roots; ++t) {
        const std::int32_t depth = height[static_cast<std::size_t>(f.roots[t])];
        if (depth > PackedForest::kMaxLevels) {
            any_deep = true;
            p.trees.push_back({depth, false, static_cast<std::size_t>(f.roots[t])});
            continue;
        }
        const std::size_t first = p.threshold.size(), size = std::size_t{1} << depth;
        p.threshold.resize(first + size, 0.0);
        p.offset.resize(first + size, 0);
        p.leaf.resize(first + size, 0.0);
        lay_out(f, offset, f.roots[t], 1, 0, depth, p.threshold.data() + first, p.offset.data() + first,
                p.leaf.data() + first);
        p.trees.push_back({depth, true, first});
    }
    if (any_deep) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        p.node.resize(f.n_nodes);
        for (std::size_t i = 0; i < f.n_nodes; ++i) {
            const auto self = static_cast<std::int32_t>(i);
            p.node[i] = f.feature[i] < 0 ? PackedForest::Node{inf, 0, self, self}
                                         : PackedForest::Node{f.threshold[i],
                                                              offset[i],
                                                              f.left[i], f.right[i]};
        }
        p.value.assign(f.value, f.value + f.n_nodes);
    }
    return p;
}

namespace {

// The block loop shared by both input layouts: fill(r0, m, s, dst) writes the
// value of slot s's column for rows r0 .. r0 + m - 1 into dst[0 .. m - 1].
template <class Fill>
void sum_blocks(const PackedForest &f, std::size_t n_trees, std::size_t n_rows, double *out, Fill fill) {
    constexpr std::size_t B = PackedForest::kBlock;
    static_assert(B % kLanes == 0);
    n_trees = std::min(n_trees, f.trees.size());
    const std::size_t n_slots = f.columns.size();
    std::vector<double> buf(n_slots * B);
    double acc[B];
    for (std::size_t r0 = 0; r0 < n_rows; r0 += B) {
        const std::size_t m = std::min(B, n_rows - r0), mk = (m + kLanes - 1) / kLanes * kLanes;
        // The block's inputs, column by column; the rows past its end read 0.
        for (std::size_t s = 0; s < n_slots; ++s) {
            double *dst = buf.data() + s * B;
            fill(r0, m, s, dst);
            for (std::size_t k = m; k < mk; ++k) dst[k] = 0.0;
        }
        for (std::size_t k = 0; k < mk; ++k) acc[k] = 0.0;
        for (std::size_t t = 0; t < n_trees; ++t) {
            const PackedForest::Tree &tr = f.trees[t];
            if (tr.complete)
                kWalk[static_cast<std::size_t>(tr.depth)](f.threshold.data() + tr.first, f.offset.data() + tr.first,
                                                          f.leaf.data() + tr.first, buf.data(), mk, acc);
            else
                walk_nodes(f.node.data(), f.value.data(), tr.first, tr.depth, buf.data(), mk, acc);
        }
        for (std::size_t k = 0; k < m; ++k) out[r0 + k] = acc[k];
    }
}

}  // namespace

void forest_sum(const PackedForest &f, std::size_t n_trees, const double *Z, std::size_t n_rows,
                std::size_t n_columns, double *out) {
    sum_blocks(f, n_trees, n_rows, out, [&](std::size_t r0, std::size_t m, std::size_t s, double *dst) {
        const double *src = Z + r0 * n_columns + static_cast<std::size_t>(f.columns[s]);
        for (std::size_t k = 0; k < m; ++k) dst[k] = src[k * n_columns];
    });
}

void forest_sum_parts(const PackedForest &f, std::size_t n_trees, const RowParts &z, double *out) {
    sum_blocks(f, n_trees, z.n_rows, out, [&](std::size_t r0, std::size_t m, std::size_t s, double *dst) {
        const std::int32_t src = z.source[static_cast<std::size_t>(f.columns[s])];
        if (src >= 0) {
            const double *col = z.own + r0 * z.n_own + static_cast<std::size_t>(src);
            for (std::size_t k = 0; k < m; ++k) dst[k] = col[k * z.n_own];
        } else {
            const double *col = z.shared + static_cast<std::size_t>(-1 - src);
            for (std::size_t k = 0; k < m; ++k)
                dst[k] = col[static_cast<std::size_t>(z.row_of[r0 + k]) * z.n_shared];
        }
    });
}

}  // namespace corvane::spectra
