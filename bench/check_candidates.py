"""Fingerprints of the scored model's candidate ions, to show that a change to the
enumeration leaves every output as it was.

    .venv/bin/python bench/check_candidates.py --save before.npz
    .venv/bin/python bench/check_candidates.py --compare before.npz

For the 163 corpus molecules and every SMILES of ../shared/ei/massbank_ei_dev.msp
and massbank_ei_extra.msp (read with corvane_spectra's MSP reader; salts, labelled
atoms and odd elements included), one SHA-1 digest per molecule and part:

* ``cand``: every field of ``build_candidates(mol, soft_pairs)`` (F, E, mz, pattern,
  comp, base, shift, generation, set_mode, set_label, mol_mz, iso_offset, symbols,
  env_set, env_cand), each array with its dtype and shape, or the exception raised;
* ``cand_plain``: the same without soft pairs, with ``env_names`` collected (the
  candidates and the token texts, each column's set sorted);
* ``spectrum``: ``predict_scored`` (m/z, heights, metadata, annotations), given the
  same soft bonds.

The soft pairs come from one ``corvane.VIF`` call per SMILES, kept in a JSON file
(``--soft-cache``) so that later runs compare the enumeration alone.  ``--compare``
lists the molecules and parts that differ and exits 1 when any does.
"""
import argparse
import hashlib
import json
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "ei"
sys.path.insert(0, str(ROOT / "tests"))

FIELDS = ("F", "E", "mz", "pattern", "comp", "base", "shift", "generation", "set_mode", "set_label",
          "mol_mz", "iso_offset", "symbols", "env_set", "env_cand")
PARTS = ("cand", "cand_plain", "spectrum")


def _feed(h, v):
    """Add a value to a hash: arrays with dtype and shape, containers element by element."""
    if isinstance(v, np.ndarray):
        h.update(f"nd{v.dtype.str}{v.shape}".encode())
        h.update(np.ascontiguousarray(v).tobytes())
    elif isinstance(v, (list, tuple)):
        h.update(f"{type(v).__name__}{len(v)}[".encode())
        for x in v:
            _feed(h, x)
        h.update(b"]")
    elif isinstance(v, dict):
        h.update(f"dict{len(v)}{{".encode())
        for k in sorted(v, key=repr):
            _feed(h, k)
            _feed(h, v[k])
        h.update(b"}")
    elif isinstance(v, (set, frozenset)):
        _feed(h, sorted(v, key=repr))
    else:
        h.update(f"{type(v).__name__}:{v!r};".encode())


def _digest(fn):
    h = hashlib.sha1()
    try:
        _feed(h, fn())
    except Exception as e:  # the same failure on both sides counts as the same output
        h.update(f"raised {type(e).__name__}: {e}".encode())
    return h.digest()


def smiles_list():
    from molecules import corpus_rows
    from corvane_spectra.io import read_msp

    out = [row[0] for row in corpus_rows()]
    for name in ("massbank_ei_dev.msp", "massbank_ei_extra.msp"):
        for sp in read_msp(str(DATA / name)):
            smi = sp.metadata.get("smiles")
            if smi:
                out.append(smi)
    return out


def soft_pairs(smiles, path):
    import corvane

    done = json.loads(path.read_text()) if path.exists() else {}
    todo = [s for s in dict.fromkeys(smiles) if s not in done]
    for i, smi in enumerate(todo):
        try:
            r = corvane.VIF(smi, draw=False, verbose=False)
            done[smi] = None if isinstance(r, str) else sorted(
                {(min(b["atom_u"], b["atom_v"]), max(b["atom_u"], b["atom_v"])) for b in r["soft_bonds"]})
        except Exception:
            done[smi] = None
        if i % 500 == 0:
            print(f"  soft bonds {i}/{len(todo)}", file=sys.stderr, flush=True)
    if todo:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(done))
    return done


def fingerprints(smiles, softs, parts):
    from corvane_spectra import scored

    def cand(smi, pairs, names=None):
        c = scored.build_candidates(scored.read_molecule(smi), pairs, **({} if names is None else
                                                                          {"env_names": names}))
        return [getattr(c, f) for f in FIELDS]

    def plain(smi):
        names = {}
        return cand(smi, frozenset(), names), {k: sorted(v) for k, v in names.items()}

    def spectrum(smi, pairs):
        if softs.get(smi) is None:
            return "no VIF result"
        vif = {"soft_bonds": [{"atom_u": u, "atom_v": v} for u, v in pairs]}
        sp = scored.predict_scored(smi, vif_result=vif)
        return (sp.mz, sp.intensity, sp.metadata, sp.convention,
                [[(a.formula, a.mode, a.bond, a.generation) for a in anns] for anns in sp.annotations])

    out = {p: [] for p in parts}
    times = {p: 0.0 for p in parts}
    for i, smi in enumerate(smiles):
        pairs = frozenset(map(tuple, softs.get(smi) or ()))
        for p, fn in (("cand", lambda: cand(smi, pairs)), ("cand_plain", lambda: plain(smi)),
                      ("spectrum", lambda: spectrum(smi, pairs))):
            if p in parts:
                t0 = time.perf_counter()
                out[p].append(_digest(fn))
                times[p] += time.perf_counter() - t0
        if i % 1000 == 0:
            print(f"  {i}/{len(smiles)}", file=sys.stderr, flush=True)
    return {p: np.frombuffer(b"".join(v), dtype="S20") if v else np.zeros(0, "S20") for p, v in out.items()}, times


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    g = ap.add_mutually_exclusive_group(required=True)
    g.add_argument("--save", metavar="NPZ", help="write the fingerprints to this file")
    g.add_argument("--compare", metavar="NPZ", help="compare with fingerprints saved before")
    ap.add_argument("--soft-cache", type=Path, default=Path("/tmp/corvane_check_candidates/soft_pairs.json"),
                    help="JSON file of the soft pairs per SMILES (made on first use)")
    ap.add_argument("--limit", type=int, default=None, help="only the first N molecules")
    ap.add_argument("--parts", nargs="+", choices=PARTS, default=list(PARTS),
                    help="what to fingerprint (default: all)")
    args = ap.parse_args()

    smiles = smiles_list()[: args.limit]
    softs = soft_pairs(smiles, args.soft_cache)
    ref = None
    if args.compare:
        ref = np.load(args.compare)
        smiles = smiles[: len(ref["smiles"])]
        if list(ref["smiles"][: len(smiles)]) != smiles:
            sys.exit("the saved file lists other molecules")
    parts = [p for p in args.parts if ref is None or p in ref.files]
    t0 = time.perf_counter()
    fp, times = fingerprints(smiles, softs, parts)
    print(f"{len(smiles)} molecules in {time.perf_counter() - t0:.1f} s ("
          + ", ".join(f"{p} {t:.1f} s" for p, t in times.items()) + ")")
    if args.save:
        np.savez(args.save, smiles=np.array(smiles), **fp)
        print(f"wrote {args.save}")
        return 0
    bad = 0
    for p in parts:
        diff = np.nonzero(fp[p] != ref[p][: len(smiles)])[0]
        bad += diff.size
        print(f"{p}: {diff.size} of {len(smiles)} differ")
        for i in diff[:10]:
            print(f"    {i}: {smiles[i]}")
    print("identical" if not bad else "DIFFERENT")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
