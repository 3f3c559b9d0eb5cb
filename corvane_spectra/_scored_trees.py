"""Boosted regression trees on top of the scored model's log-linear score.

A candidate's log-abundance is ``w . x`` (``scored.Candidates.log_scores``)
plus, when the package ships a tree ensemble, the sum of the leaf values its
row reaches in each tree.  A row is either a candidate (``cand_inputs``: all
its named features, the hydrogen-shift columns included, so a tree can tell
M+. from [M-H]+, its linear log-score, and that score less the molecule's
highest) or, in the older form, an atom set (``set_inputs``: the set's named
features with the shift columns left 0, the set's linear log-score and that
less the highest; the set's hydrogen-shifted candidates share the term); the
file says which (``Forest.rows``).  They were fitted by ``tools/fit_scored.py`` (functional
gradient boosting on the fitting objective, starting from the shipped linear
weights) and are stored as flat arrays in ``_scored_trees.npz``; without that
file the term is 0.

Evaluation is in C++ (``_core.Forest``: the trees laid out as complete binary
trees, walked tree by tree over blocks of 64 rows, 16 rows at a time, the leaf
values summed in tree order); ``Forest.numpy_sum`` does the same in numpy, all
trees at once, one tree level per step: the node of every (tree, candidate)
pair moves to its left child where the candidate's feature value is <= the
node's threshold, else to its right child; leaves point to themselves.
"""
from __future__ import annotations

from functools import lru_cache
from pathlib import Path

import numpy as np

TREES_FILE = Path(__file__).with_name("_scored_trees.npz")
N_SUMMARY = 2


def tree_inputs(X: np.ndarray, ls: np.ndarray, ls_max: np.ndarray | float | None = None) -> np.ndarray:
    """The trees' input matrix: named features ``X`` (one row per candidate), the linear
    log-score ``ls`` and ``ls`` less the molecule's highest (``ls_max``, per row or one number)."""
    ls = np.asarray(ls, dtype=np.float64)
    if ls_max is None:
        ls_max = ls.max() if ls.size else 0.0
    out = np.empty((X.shape[0], X.shape[1] + N_SUMMARY), dtype=np.float64)
    out[:, :X.shape[1]] = X
    out[:, -2] = ls
    out[:, -1] = ls - ls_max
    return out


class Forest:
    """A tree ensemble as flat arrays.

    ``feature[i]``: the input column node i splits on (-1 at a leaf);
    ``threshold[i]``: go left where value <= threshold; ``left``/``right``: child
    node numbers (a leaf points to itself); ``value``: the leaf value (0 at
    inner nodes); ``roots``: each tree's root node; ``depth``: the deepest leaf.
    """

    def __init__(self, feature, threshold, left, right, value, roots, depth, n_inputs, rows="set"):
        if rows not in ("set", "cand", "peak"):
            raise ValueError(f"tree rows must be 'set', 'cand' or 'peak', not {rows!r}")
        # What a row is: an atom set ("set", see ``set_inputs``), a candidate ("cand", ``cand_inputs``)
        # or a predicted peak (``_peak_order.peak_rows``).
        self.rows = rows
        self.feature = np.asarray(feature, dtype=np.int32)
        self.threshold = np.asarray(threshold, dtype=np.float64)
        self.left = np.asarray(left, dtype=np.int32)
        self.right = np.asarray(right, dtype=np.int32)
        self.value = np.asarray(value, dtype=np.float64)
        self.roots = np.asarray(roots, dtype=np.int32)
        self.depth = int(depth)
        self.n_inputs = int(n_inputs)
        leaf = self.feature < 0
        if leaf.any() and not (np.all(self.left[leaf] == np.nonzero(leaf)[0])
                               and np.all(self.right[leaf] == np.nonzero(leaf)[0])):
            raise ValueError("tree leaves must point to themselves")
        # The C++ evaluation (it checks the arrays: children and columns in range, no cycles).
        from ._core import Forest as _NativeForest

        self._native = _NativeForest(self.feature, self.threshold, self.left, self.right, self.value,
                                     self.roots, self.n_inputs)

    @property
    def n_trees(self) -> int:
        return int(self.roots.size)

    def __call__(self, Z: np.ndarray, n_trees: int | None = None) -> np.ndarray:
        """Sum of the leaf values of the first ``n_trees`` trees (all by default) for each row of ``Z``."""
        Z = np.asarray(Z, dtype=np.float64)
        if Z.ndim != 2 or Z.shape[1] != self.n_inputs:
            raise ValueError(f"tree inputs need {self.n_inputs} columns, got shape {Z.shape}")
        roots = self.roots if n_trees is None else self.roots[:n_trees]
        n = Z.shape[0]
        if n == 0 or roots.size == 0:
            return np.zeros(n)
        return self._native.sum(Z, roots.size)

    def sum_parts(self, shared, row_of, own, source, n_trees: int | None = None) -> np.ndarray:
        """``self(Z)`` for rows given in parts: input j of row r is ``own[r, source[j]]`` where
        ``source[j] >= 0``, else ``shared[row_of[r], -1 - source[j]]`` (the same bytes as on Z written out)."""
        n = np.shape(own)[0]
        if n == 0 or self.roots.size == 0:
            return np.zeros(n)
        return self._native.sum_parts(shared, row_of, own, source, -1 if n_trees is None else n_trees)

    def numpy_sum(self, Z: np.ndarray, roots: np.ndarray) -> np.ndarray:
        """The same sums in plain numpy, all trees at once (the reference for the C++ evaluation)."""
        n = Z.shape[0]
        leaf = self.feature < 0
        # A leaf compares column 0 against +inf: always "left", i.e. itself.  Flat gathers, nodes
        # numbered twice over (2 i): the value of node i's column for row r is Zt[col2[2 i] + r], and
        # 2 i + (value <= threshold) picks its child in child2 (2 i + 1: twice the left child).
        thr2 = np.repeat(np.where(leaf, np.inf, self.threshold), 2)
        child2 = 2 * np.stack([self.right, self.left], axis=1).ravel().astype(np.intp)
        col2 = np.repeat(np.where(leaf, 0, self.feature).astype(np.intp) * n, 2)
        Zt = np.ascontiguousarray(Z.T).ravel()
        node = np.repeat(2 * roots.astype(np.intp), n)
        row = np.tile(np.arange(n, dtype=np.intp), roots.size)
        for _ in range(self.depth):
            node += np.take(Zt, np.take(col2, node) + row) <= np.take(thr2, node)
            node = np.take(child2, node)
        node >>= 1
        # Summed tree by tree in a fixed order: the same input gives the same bytes.
        return np.take(self.value, node).reshape(roots.size, n).sum(axis=0)

    def save(self, path, meta: str = "", **extra) -> None:
        """Write the arrays (and ``meta``, a text saying how they were fitted, and any ``extra``
        arrays) to an .npz file."""
        path = Path(path)
        tmp = path.with_name(path.stem + ".tmp.npz")
        np.savez(tmp, **extra, meta=np.array(meta), feature=self.feature, threshold=self.threshold, left=self.left, right=self.right,
                 value=self.value, roots=self.roots, depth=np.array(self.depth), n_inputs=np.array(self.n_inputs),
                 rows=np.array(self.rows))
        tmp.replace(path)

    @classmethod
    def load(cls, path) -> "Forest":
        with np.load(path) as z:
            return cls(z["feature"], z["threshold"], z["left"], z["right"], z["value"], z["roots"],
                       int(z["depth"]), int(z["n_inputs"]), str(z["rows"]) if "rows" in z.files else "set")

    @classmethod
    def from_lightgbm(cls, dump: dict, n_trees: int | None = None, rows: str = "set") -> "Forest":
        """From ``lightgbm.Booster.dump_model()`` (numerical splits ``<=`` only)."""
        feature, threshold, left, right, value, roots = [], [], [], [], [], []
        depth = 0

        def add(node, d):
            nonlocal depth
            i = len(feature)
            feature.append(-1)
            threshold.append(0.0)
            left.append(i)
            right.append(i)
            value.append(0.0)
            if "leaf_value" in node or "split_feature" not in node:
                value[i] = float(node.get("leaf_value", 0.0))
                depth = max(depth, d)
                return i
            if node.get("decision_type", "<=") != "<=":
                raise ValueError("only numerical '<=' splits are supported")
            feature[i] = int(node["split_feature"])
            threshold[i] = float(node["threshold"])
            left[i] = add(node["left_child"], d + 1)
            right[i] = add(node["right_child"], d + 1)
            return i

        infos = dump["tree_info"][:n_trees]
        for t in infos:
            roots.append(add(t["tree_structure"], 0))
        return cls(feature, threshold, left, right, value, roots, depth, dump["max_feature_idx"] + 1, rows)


def set_inputs(cand, weights: np.ndarray, shift_cols, set_terms=None) -> np.ndarray:
    """The trees' input rows of a molecule's atom sets (``cand``: ``scored.Candidates``;
    ``set_terms``: its ``set_terms(weights)`` when already at hand): ``tree_inputs`` of
    ``cand.F`` with the ``shift_cols`` columns 0, built in one pass."""
    named, hashed = cand.set_terms(weights) if set_terms is None else set_terms
    ls = named if hashed is None else named + hashed
    n, nf = cand.F.shape
    out = np.empty((n, nf + N_SUMMARY), dtype=np.float64)
    out[:, :nf] = cand.F
    for a, b in _runs(tuple(np.arange(nf)[shift_cols].ravel().tolist())):
        out[:, a:b] = 0.0       # a few slices cost less than one fancy-indexed assignment
    out[:, -2] = ls
    out[:, -1] = ls - (ls.max() if ls.size else 0.0)
    return out


@lru_cache(maxsize=8)
def _runs(cols: tuple) -> tuple:
    """The columns ``cols`` as (start, stop) slices of consecutive columns."""
    runs = []
    for c in sorted(set(cols)):
        if runs and runs[-1][1] == c:
            runs[-1][1] = c + 1
        else:
            runs.append([c, c + 1])
    return tuple((a, b) for a, b in runs)


def cand_inputs(cand, log_scores: np.ndarray) -> np.ndarray:
    """The trees' input rows of a molecule's candidates, written out: all their named features
    (the hydrogen-shift columns included) and their linear log-scores ``log_scores``."""
    return tree_inputs(cand.X, log_scores)


@lru_cache(maxsize=4)
def _cand_source(n_features: int, shift_cols: tuple) -> np.ndarray:
    """Where each tree input of a candidate row comes from (``Forest.sum_parts``): a shift column
    and the two summary numbers from the candidate's own table, the rest from its atom set's row."""
    source = -1 - np.arange(n_features + N_SUMMARY, dtype=np.int32)
    source[list(shift_cols)] = np.arange(len(shift_cols), dtype=np.int32)
    source[n_features:] = len(shift_cols) + np.arange(N_SUMMARY, dtype=np.int32)
    return source


def cand_parts(cand, log_scores: np.ndarray, shift_cols):
    """(own table, source) of a molecule's candidate rows for ``Forest.sum_parts``: the rows are
    ``cand_inputs``' without being written out (its atom set's features are read in place)."""
    ls = np.asarray(log_scores, dtype=np.float64)
    k = len(shift_cols)
    own = np.empty((ls.size, k + N_SUMMARY))
    own[:, :k] = cand.E
    own[:, k] = ls
    own[:, k + 1] = ls - (ls.max() if ls.size else 0.0)
    return own, _cand_source(cand.F.shape[1], tuple(int(c) for c in shift_cols))


def forest_term(forest: Forest, cand, weights: np.ndarray, shift_cols, set_terms, log_scores) -> np.ndarray:
    """Every candidate's share of the trees' sum (rows of atom sets or of candidates)."""
    if forest.rows == "cand":
        own, source = cand_parts(cand, log_scores, shift_cols)
        return forest.sum_parts(cand.F, cand.base, own, source)
    return forest(set_inputs(cand, weights, shift_cols, set_terms))[cand.base]


@lru_cache(maxsize=1)
def shipped_forest() -> Forest | None:
    """The shipped trees, or None when the package has none."""
    return Forest.load(TREES_FILE) if TREES_FILE.exists() else None
