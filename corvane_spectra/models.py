"""Named spectrum predictors for annotate, identify and evaluate.

A predictor is a callable ``fn(smiles, *, ring_fragmentation=False,
recursive=False, vif_result=None) -> Spectrum``.  ``vif_result`` is a
``corvane.VIF(smiles, draw=False, verbose=False, ...)`` result the caller
has already computed with the same switches (evaluate computes one per
molecule anyway); a predictor may use it or ignore it.  Predictors that do
not take ``vif_result`` are called without it.
"""
from __future__ import annotations

import inspect
from typing import Callable

from .predict import predict, require_sanitizable, spectrum_from_vif
from .spectrum import Spectrum

Predictor = Callable[..., Spectrum]


def _schematic(smiles: str, *, ring_fragmentation: bool = False, recursive: bool = False,
               vif_result: dict | None = None) -> Spectrum:
    if vif_result is not None:
        return spectrum_from_vif(smiles, vif_result, recursive=recursive)
    return predict(smiles, ring_fragmentation=ring_fragmentation, recursive=recursive)


def _scored(smiles: str, *, ring_fragmentation: bool = False, recursive: bool = False,
            vif_result: dict | None = None) -> Spectrum:
    # The scored spectrum needs only the soft bonds of the plain analysis; it
    # considers ring cuts and the cascade's candidates whatever the switches say.
    from .scored import predict_scored

    return predict_scored(smiles, vif_result=vif_result)


MODELS: dict[str, Predictor] = {"schematic": _schematic, "scored": _scored}
DEFAULT_MODEL = "schematic"


def register_model(name: str, fn: Predictor) -> None:
    """Makes ``fn`` available as ``model=name`` (and ``--model name``)."""
    if not isinstance(name, str) or not name:
        raise ValueError("a model needs a non-empty name")
    if not callable(fn):
        raise TypeError("a model is a callable smiles -> Spectrum")
    MODELS[name] = fn


def get_model(model: str | Predictor) -> Predictor:
    """The predictor of a registered name (or a callable, returned as is)."""
    if callable(model):
        return model
    try:
        return MODELS[model]
    except KeyError:
        raise ValueError(f"unknown model {model!r}; known: {', '.join(sorted(MODELS))}") from None


def _takes_vif(fn) -> bool:
    try:
        params = inspect.signature(fn).parameters
    except (TypeError, ValueError):
        return False
    return "vif_result" in params or any(p.kind is p.VAR_KEYWORD for p in params.values())


def run_model(model: str | Predictor, smiles: str, *, ring_fragmentation: bool = False,
              recursive: bool = False, vif_result: dict | None = None) -> Spectrum:
    """Calls a predictor, handing it ``vif_result`` when it takes one.

    A SMILES that RDKit cannot read or sanitise is refused (ValueError)
    before any predictor sees it."""
    fn = get_model(model)
    require_sanitizable(smiles)
    kw = {"ring_fragmentation": ring_fragmentation, "recursive": recursive}
    if vif_result is not None and _takes_vif(fn):
        kw["vif_result"] = vif_result
    out = fn(smiles, **kw)
    if not isinstance(out, Spectrum):
        raise TypeError(f"model {model!r} returned {type(out).__name__}, not a Spectrum")
    return out
