#include "tree_core.hpp"

#include <limits>
#include <vector>

namespace corvane::spectra {

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
    // Every node reaches a leaf: the nodes' distance to a leaf, settled in
    // rounds; one left unsettled after n rounds lies on a cycle.
    std::vector<char> done(n, 0);
    for (std::size_t i = 0; i < n; ++i) done[i] = f.feature[i] < 0;
    for (std::size_t round = 0; round < n; ++round) {
        bool changed = false, all = true;
        for (std::size_t i = 0; i < n; ++i) {
            if (done[i]) continue;
            if (done[static_cast<std::size_t>(f.left[i])] && done[static_cast<std::size_t>(f.right[i])]) {
                done[i] = 1;
                changed = true;
            } else {
                all = false;
            }
        }
        if (all) return {};
        if (!changed) break;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!done[i]) return "node " + std::to_string(i) + " lies on a cycle";
    return {};
}

PackedForest pack_forest(const ForestView &f) {
    PackedForest p;
    p.nodes.resize(f.n_nodes);
    p.value.assign(f.value, f.value + f.n_nodes);
    p.roots.assign(f.roots, f.roots + f.n_roots);
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < f.n_nodes; ++i) {
        const auto self = static_cast<std::int32_t>(i);
        p.nodes[i] = f.feature[i] < 0 ? PackedForest::Node{inf, 0, self, self, 0}
                                      : PackedForest::Node{f.threshold[i], f.feature[i], f.left[i], f.right[i], 0};
    }
    // Each tree's depth: the longest path from its root (the forest has no
    // cycles, so a walk down levels ends).
    p.depth.resize(f.n_roots);
    std::vector<std::int32_t> level, next;
    for (std::size_t t = 0; t < f.n_roots; ++t) {
        level.assign(1, f.roots[t]);
        std::int32_t d = 0;
        for (;;) {
            next.clear();
            for (std::int32_t i : level)
                if (f.feature[static_cast<std::size_t>(i)] >= 0) {
                    next.push_back(f.left[static_cast<std::size_t>(i)]);
                    next.push_back(f.right[static_cast<std::size_t>(i)]);
                }
            if (next.empty()) break;
            ++d;
            level.swap(next);
        }
        p.depth[t] = d;
    }
    return p;
}

void forest_sum(const PackedForest &f, std::size_t n_trees, const double *Z, std::size_t n_rows,
                std::size_t n_columns, double *out) {
    if (n_trees > f.roots.size()) n_trees = f.roots.size();
    const PackedForest::Node *nodes = f.nodes.data();
    for (std::size_t r = 0; r < n_rows; ++r) out[r] = 0.0;
    // Tree by tree, eight rows at a time: their walks are independent, so
    // their loads overlap; every walk takes the tree's depth in steps.
    constexpr std::size_t B = 8;
    for (std::size_t t = 0; t < n_trees; ++t) {
        const std::int32_t root = f.roots[t], depth = f.depth[t];
        std::size_t r = 0;
        for (; r + B <= n_rows; r += B) {
            std::int32_t at[B];
            const double *z = Z + r * n_columns;
            for (std::size_t k = 0; k < B; ++k) at[k] = root;
            for (std::int32_t d = 0; d < depth; ++d)
                for (std::size_t k = 0; k < B; ++k) {
                    const PackedForest::Node &nd = nodes[at[k]];
                    at[k] = z[k * n_columns + static_cast<std::size_t>(nd.feature)] <= nd.threshold ? nd.left : nd.right;
                }
            for (std::size_t k = 0; k < B; ++k) out[r + k] += f.value[static_cast<std::size_t>(at[k])];
        }
        for (; r < n_rows; ++r) {
            const double *z = Z + r * n_columns;
            std::int32_t i = root;
            for (std::int32_t d = 0; d < depth; ++d) {
                const PackedForest::Node &nd = nodes[i];
                i = z[nd.feature] <= nd.threshold ? nd.left : nd.right;
            }
            out[r] += f.value[static_cast<std::size_t>(i)];
        }
    }
}

}  // namespace corvane::spectra
