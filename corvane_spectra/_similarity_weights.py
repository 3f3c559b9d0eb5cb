"""Weights of the learned identification score, written by tools/fit_similarity.py; do not edit by hand."""

WEIGHTS = {
    "cos": 1.0,
}
