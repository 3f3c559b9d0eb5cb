"""The corpus of drug-like molecules shared beside the repository."""
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
