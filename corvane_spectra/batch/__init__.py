"""Batch prediction: streaming inputs, worker processes or a Dask cluster, sealed shards.

``corvane predict`` is the command; `engine.run` with an `engine.Options` is
the same from Python.
"""
from .engine import Options, Summary, run

__all__ = ["Options", "Summary", "run"]
