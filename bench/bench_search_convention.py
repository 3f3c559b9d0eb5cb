"""A predicted query against a library of measured spectra: how its weighting
decides whether the compound is found.

    python bench/bench_search_convention.py [N_LIBRARY] [N_QUERIES]

Takes the first N_LIBRARY (500) spectra with SMILES of
../shared/ei/massbank_ei_dev.msp as the library, predicts the scored spectrum
of N_QUERIES (30) of their compounds, evenly spread, and searches each
prediction against the library (default Library; min_mz the measured
spectrum's lowest m/z), once weighted as a measurement (intensity power 0.5,
what search did before) and once as its convention says (the default now).
Writes bench/results_search_convention.md.
"""
from __future__ import annotations

import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT.parent / "shared" / "ei" / "massbank_ei_dev.msp"
if not DATA.exists():
    DATA = Path("/work/shared/ei/massbank_ei_dev.msp")


def main(n_lib: int = 500, n_q: int = 30) -> int:
    import warnings

    from corvane_spectra import io, predict
    from corvane_spectra.score import Library

    warnings.simplefilter("ignore")
    measured = []
    with io.read(DATA) as reader:
        for s in reader:
            if s.smiles:
                measured.append(s)
            if len(measured) == n_lib:
                break
    lib = Library(measured)
    step = max(1, len(measured) // n_q)
    picks = list(range(0, len(measured), step))[:n_q]
    rows = {"as a measurement (query intensity power 0.5), no m/z cut": (0.5, False),
            "as a measurement (query intensity power 0.5), min_mz": (0.5, True),
            "by its convention (the default now), no m/z cut": (None, False),
            "by its convention (the default now), min_mz": (None, True)}
    found = {k: [0, 0] for k in rows}
    t0 = time.perf_counter()
    for i in picks:
        pred = predict(measured[i].smiles)
        lo = int(measured[i].mz[measured[i].intensity > 0].min())
        for label, (power, cut) in rows.items():
            hits = lib.search(pred, top=10, min_mz=lo if cut else None, query_intensity_power=power)
            idx = [h.index for h in hits]
            found[label][0] += i in idx
            found[label][1] += bool(idx) and idx[0] == i
    secs = time.perf_counter() - t0
    lines = [f"# A scored prediction searched against {len(measured)} measured spectra", "",
             f"{len(picks)} queries (every {step}th compound of the first {len(measured)} spectra with SMILES "
             f"of massbank_ei_dev.msp), `Library(measured)`; min_mz: the measured spectrum's lowest m/z; "
             f"{secs:.0f} s.", "",
             "| query weighting | true compound in the top 10 | top 1 |", "|---|---|---|"]
    for label, (top10, top1) in found.items():
        lines.append(f"| {label} | {top10}/{len(picks)} | {top1}/{len(picks)} |")
    text = "\n".join(lines) + "\n"
    print(text)
    (ROOT / "bench" / "results_search_convention.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(*(int(a) for a in sys.argv[1:3])))
