"""Predicted spectra from corvane's VIF analysis."""
from __future__ import annotations

import corvane

from .spectrum import PeakAnnotation, Spectrum

# The schematic heights of corvane's stick spectrum.
MOLECULAR_ION_HEIGHT = 100.0
FRAGMENT_HEIGHT = 60.0


def _molecular_formula(smiles: str) -> str:
    from rdkit import Chem
    from rdkit.Chem import rdMolDescriptors

    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    return rdMolDescriptors.CalcMolFormula(mol)


def predict(smiles: str, ring_fragmentation: bool = False, recursive: bool = False,
            max_generations: int = 2) -> Spectrum:
    """The predicted EI spectrum of one molecule, schematic heights.

    Peaks: the molecular ion (100) and, at 60, both fragments of every
    splitting soft-bond cut (ring double cuts too with ``ring_fragmentation``),
    or the multi-generation peak table when ``recursive`` is true.  The first
    prediction at an m/z gives the peak its label; later ones are kept as
    further annotations.  An unreadable SMILES raises ValueError.
    """
    return predict_with_vif(smiles, ring_fragmentation, recursive, max_generations)[1]


def predict_with_vif(smiles: str, ring_fragmentation: bool = False, recursive: bool = False,
                     max_generations: int = 2) -> tuple[dict, Spectrum]:
    """``predict`` together with the VIF result record it was built from (one VIF call).

    For callers that want the LPI counts or the soft bonds beside the spectrum,
    such as the batch engine's Parquet rows.
    """
    if not isinstance(smiles, str):
        raise TypeError(f"SMILES must be a str, not {type(smiles).__name__}")
    r = corvane.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring_fragmentation,
                    recursive_ms=recursive, max_generations=max_generations)
    if isinstance(r, str):
        raise ValueError(f"unreadable SMILES: {smiles!r}")
    return r, _spectrum_from_record(r, smiles, recursive)


def _spectrum_from_record(r: dict, smiles: str, recursive: bool) -> Spectrum:
    mol_mass = int(r["mol_mass"])
    peaks: dict[int, list] = {mol_mass: [MOLECULAR_ION_HEIGHT,
                                         [PeakAnnotation(_molecular_formula(smiles), "molecular_ion")]]}

    def add(mz, ann):
        entry = peaks.setdefault(int(mz), [FRAGMENT_HEIGHT, []])
        entry[1].append(ann)

    if recursive:
        for mz, info in r["recursive_peaks"].items():
            if int(mz) != mol_mass:
                add(mz, PeakAnnotation(info["formula"], "recursive", None, int(info["generation"])))
    else:
        for rec in r["real_fragments"]:
            for formula, _mass, nominal in rec["fragments"]:
                add(nominal, PeakAnnotation(formula, rec["mode"], rec["bond"], 1))
    order = sorted(peaks)
    return Spectrum(order, [peaks[m][0] for m in order],
                    {"smiles": smiles, "formula": peaks[mol_mass][1][0].formula},
                    annotations=[peaks[m][1] for m in order], convention="schematic")
