"""Writes the list of compounds the scored model was fitted on.

    python tools/fitted_inchikeys.py [MSP ...]

The list holds the first block of each compound's InChIKey (its skeleton:
stereoisomers and isotope-labelled forms share it), one per line, sorted;
``corvane evaluate`` reads it to say which spectra of a library are not held
out.  Default inputs: the development and extra files of ../shared/ei, on
which the weights in corvane_spectra/_scored_weights.py are fitted.  Rerun
after a refit on other spectra.
"""
from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "ei"
if not SHARED.exists():
    SHARED = Path("/work/shared/ei")
DEFAULT = [SHARED / "massbank_ei_dev.msp", SHARED / "massbank_ei_extra.msp"]
OUT = ROOT / "corvane_spectra" / "fitted_inchikeys.txt"


def first_block(spectrum) -> str | None:
    key = spectrum.metadata.get("inchikey")
    if not key and spectrum.smiles:
        from rdkit import Chem

        mol = Chem.MolFromSmiles(spectrum.smiles)
        key = Chem.MolToInchiKey(mol) if mol is not None else None
    return key.split("-")[0].upper() if key else None


def main(paths: list[str]) -> int:
    from corvane_spectra import io

    files = [Path(p) for p in paths] or DEFAULT
    keys: set[str] = set()
    for path in files:
        with io.read(path, skip_bad=True) as reader:
            for s in reader:
                k = first_block(s)
                if k:
                    keys.add(k)
    names = ", ".join(p.name for p in files)
    text = (f"# InChIKey first blocks of the compounds the scored model is fitted on ({names}).\n"
            f"# {len(keys)} compounds; written by tools/fitted_inchikeys.py.\n" + "\n".join(sorted(keys)) + "\n")
    OUT.write_text(text, encoding="ascii")
    print(f"{len(keys)} keys -> {OUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
