// Regression-tree ensembles as flat arrays: the sum of the leaf values each
// row reaches, tree by tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::spectra {

// Node i splits on column feature[i] (< 0 at a leaf): rows whose value is
// <= threshold[i] go to left[i], the others (NaN included) to right[i].
struct ForestView {
    const std::int32_t *feature;
    const double *threshold;
    const std::int32_t *left;
    const std::int32_t *right;
    const double *value;
    std::size_t n_nodes;
    const std::int32_t *roots;
    std::size_t n_roots;
};

// An empty string when every root and child is a node, every inner node's
// column is below n_columns and every path reaches a leaf within n_nodes
// steps; otherwise what is wrong.
std::string check_forest(const ForestView &f, std::size_t n_columns);

// The trees ready for evaluation: each node one struct, a leaf splitting
// on column 0 at +inf with itself as both children, so that walking a tree
// a fixed number of steps (its depth) ends at the leaf every row reaches.
struct PackedForest {
    struct Node {
        double threshold;
        std::int32_t feature, left, right, pad;
    };
    std::vector<Node> nodes;
    std::vector<double> value;
    std::vector<std::int32_t> roots, depth;
};

// The packed form of a forest that check_forest accepts.
PackedForest pack_forest(const ForestView &f);

// out[r] = the leaf values of the first n_trees trees reached by row r of Z
// (row-major, n_rows x n_columns, n_columns above every split's column),
// summed in tree order from 0.
void forest_sum(const PackedForest &f, std::size_t n_trees, const double *Z, std::size_t n_rows,
                std::size_t n_columns, double *out);

}  // namespace corvane::spectra
