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

// The trees ready for evaluation.  Rows are evaluated in blocks of kBlock,
// whose inputs are first copied column by column (only the columns some
// split reads) into a buffer: slot s of the buffer holds column columns[s]
// of the block's rows, and a split's `offset` is its slot times kBlock.
//
// A tree of depth <= kMaxLevels is stored complete: 2^depth splits in heap
// order (entry 0 unused, the children of entry p at 2p and 2p + 1) and
// 2^depth leaf values; a leaf above the bottom level is copied into every
// leaf slot below it (the splits on the way compare anything), so every
// row takes exactly `depth` steps, each going to 2p + (not value <= threshold).
// A deeper tree keeps its nodes as they are (`node`, leaves pointing to
// themselves and comparing slot 0 against +inf, `value` their leaf values)
// and walks them `depth` steps.  A forest without splits has no slots.
struct PackedForest {
    static constexpr int kMaxLevels = 8;
    static constexpr std::size_t kBlock = 64;
    struct Node {
        double threshold;
        std::uint64_t offset;
        std::int32_t left, right;
    };
    struct Tree {
        std::int32_t depth;
        bool complete;
        std::size_t first;  // complete: into threshold, offset and leaf; otherwise the root's index in node
    };
    std::vector<std::int32_t> columns;
    std::vector<double> threshold;
    std::vector<std::uint64_t> offset;
    std::vector<double> leaf;
    std::vector<Node> node;
    std::vector<double> value;
    std::vector<Tree> trees;
};

// The packed form of a forest that check_forest accepts.
PackedForest pack_forest(const ForestView &f);

// out[r] = the leaf values of the first n_trees trees reached by row r of Z
// (row-major, n_rows x n_columns, n_columns above every split's column),
// summed in tree order from 0.
void forest_sum(const PackedForest &f, std::size_t n_trees, const double *Z, std::size_t n_rows,
                std::size_t n_columns, double *out);

// Rows whose inputs are not stored whole: column j of row r is column
// source[j] of the row's own table (own, n_rows x n_own) where source[j] >= 0,
// else column -1 - source[j] of row row_of[r] of a shared table (shared,
// n_shared columns), e.g. the atom set a candidate was cut from.  The caller
// has checked every index.
struct RowParts {
    const double *shared;
    std::size_t n_shared;
    const std::int64_t *row_of;
    const double *own;
    std::size_t n_own;
    const std::int32_t *source;  // one entry per input column
    std::size_t n_rows;
};

// forest_sum on rows given in parts: the same sums as on the rows written out.
void forest_sum_parts(const PackedForest &f, std::size_t n_trees, const RowParts &z, double *out);

}  // namespace corvane::spectra
