"""Molecules for the tests: the shared corpus, and molecules prepared as the driver prepares them."""
from pathlib import Path

_CANDIDATES = [
    Path(__file__).resolve().parents[2] / "shared" / "corpus" / "bzr.smi",
    Path("/work/shared/corpus/bzr.smi"),
]
CORPUS = next((p for p in _CANDIDATES if p.exists()), _CANDIDATES[0])


def corpus_rows():
    """(SMILES, name) pairs; empty when the corpus is not there."""
    if not CORPUS.exists():
        return []
    rows = []
    for line in CORPUS.read_text().splitlines():
        if line.strip():
            smi, _, name = line.partition("\t")
            rows.append((smi.strip(), name.strip()))
    return rows


def prepared_molecule(smiles):
    """The molecule as the VIF driver prepares it (the result record carries none)."""
    from rdkit import Chem

    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    except Exception:
        pass
    return Chem.AddHs(mol)
