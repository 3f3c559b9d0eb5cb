"""Words a mass spectrometrist uses for predicted ions: formulas, neutral
losses, isotope peaks and where a cut lies in the molecule."""
from __future__ import annotations

import re
from collections import Counter
from functools import lru_cache

# Nominal (integer) masses of the most abundant isotope.
NOMINAL = {"H": 1, "D": 2, "T": 3, "B": 11, "C": 12, "N": 14, "O": 16, "F": 19, "Na": 23, "Mg": 24,
           "Al": 27, "Si": 28, "P": 31, "S": 32, "Cl": 35, "K": 39, "Ca": 40, "Fe": 56, "Cu": 63,
           "Zn": 64, "Ge": 74, "As": 75, "Se": 80, "Br": 79, "Sn": 120, "I": 127, "Hg": 202, "Pb": 208}

# Neutral losses with the names chemists give them (by composition).
LOSS_NAMES = {
    "H": "H·", "H2": "H2", "CH3": "methyl", "CH4": "methane", "OH": "hydroxyl", "H2O": "water",
    "F": "F·", "HF": "HF", "C2H2": "acetylene", "CN": "CN·", "HCN": "HCN", "CO": "CO",
    "C2H4": "ethene", "CHO": "formyl", "C2H5": "ethyl", "CH2O": "formaldehyde", "NO": "NO",
    "CH3O": "methoxy", "CH4O": "methanol", "S": "S", "HS": "SH·", "H2S": "H2S", "Cl": "Cl·", "HCl": "HCl",
    "C3H5": "allyl", "C3H6": "propene", "C2H3O": "acetyl", "C3H7": "propyl", "CO2": "CO2",
    "CHO2": "carboxyl", "C2H5O": "ethoxy", "C2H4O2": "acetic acid", "C2H6O": "ethanol", "NO2": "NO2",
    "C4H8": "butene", "C4H9": "butyl", "SO2": "SO2", "Br": "Br·", "HBr": "HBr", "I": "I·", "HI": "HI",
    "C6H5": "phenyl", "CH3Cl": "chloromethane", "C2H3": "vinyl", "C3H4": "propyne/allene",
    "CH5N": "methylamine", "NH3": "ammonia", "NH2": "NH2·", "C5H11": "pentyl", "C7H7": "benzyl",
    "C2H2O": "ketene", "C3H7O": "propoxy", "C4H9O": "butoxy", "C3H3": "propargyl", "HNO2": "HNO2",
}

_TOKEN = re.compile(r"(\[\d+[A-Z][a-z]?\]|[A-Z][a-z]?)(\d*)")


@lru_cache(maxsize=4096)
def parse_formula(formula: str) -> Counter | None:
    """Element counts of a formula such as "C7H7" or "C6H5[2H]"; None when it
    is not one (charges and spaces are ignored)."""
    text = formula.replace(" ", "").rstrip("+-·")
    if not text:
        return None
    counts: Counter = Counter()
    pos = 0
    for m in _TOKEN.finditer(text):
        if m.start() != pos:
            return None
        counts[m.group(1)] += int(m.group(2) or 1)
        pos = m.end()
    return counts if pos == len(text) else None


def nominal_mass(counts: Counter) -> int | None:
    total = 0
    for el, n in counts.items():
        if el.startswith("["):
            iso = re.match(r"\[(\d+)", el)
            total += int(iso.group(1)) * n
        elif el in NOMINAL:
            total += NOMINAL[el] * n
        else:
            return None
    return total


def hill(counts: Counter) -> str:
    """A formula in Hill order (C, H, then alphabetical), isotope labels last."""
    def part(el):
        n = counts[el]
        return f"{el}{n if n != 1 else ''}"

    keys = [k for k, v in counts.items() if v > 0]
    plain = sorted(k for k in keys if not k.startswith("["))
    head = [k for k in ("C", "H") if k in plain] if "C" in plain else []
    rest = [k for k in plain if k not in head]
    labels = sorted(k for k in keys if k.startswith("["))
    return "".join(part(k) for k in head + rest + labels)


def neutral_loss(molecule: str | None, ion: str) -> tuple[str, str | None] | None:
    """(formula, name) of what the molecular ion lost to give ``ion``, or None
    when ``ion`` is not a part of ``molecule``."""
    if not molecule:
        return None
    m, i = parse_formula(molecule), parse_formula(ion)
    if m is None or i is None:
        return None
    diff = Counter(m)
    diff.subtract(i)
    if any(v < 0 for v in diff.values()) or not any(v > 0 for v in diff.values()):
        return None
    f = hill(diff)
    return f, LOSS_NAMES.get(f)


def loss_text(molecule: str | None, ion: str, *, small_only: bool = False) -> str:
    """"M − CH3 (methyl)", or "" when no loss can be named.  ``small_only``:
    only losses with a name or lighter than the ion (M − X is how a chemist
    names an ion that keeps most of the molecule)."""
    loss = neutral_loss(molecule, ion)
    if loss is None:
        return ""
    f, name = loss
    if small_only and not name:
        lm, im = nominal_mass(parse_formula(f)), nominal_mass(parse_formula(ion))
        if lm is None or im is None or lm >= im:
            return ""
    return f"M − {f}" + (f" ({name})" if name and name != f else "")


def isotope_text(mz: int, ion: str) -> str:
    """"M+1 of C7H7+" for an isotope peak at ``mz`` of the ion ``ion``."""
    counts = parse_formula(ion)
    base = nominal_mass(counts) if counts is not None else None
    if base is None or mz <= base:
        return f"isotope peak of {ion}+"
    return f"M+{mz - base} of {ion}+"


_ATOM = re.compile(r"([A-Z][a-z]?|[a-z]{1,2})(\d+)")


def _bond_pairs(label: str) -> list[tuple[int, int]] | None:
    """Atom-index pairs of a bond label ("C3-C4", "C3-C4 + C8-C9", "C1-O2 > C5-C6")."""
    pairs = []
    for part in re.split(r"\s*[+>]\s*", label):
        atoms = _ATOM.findall(part)
        if len(atoms) != 2:
            return None
        pairs.append((int(atoms[0][1]), int(atoms[1][1])))
    return pairs or None


def bond_text(label: str | None) -> str:
    """A bond label written with an en dash between its atoms ("C3–C4")."""
    if not label:
        return ""
    return re.sub(r"(?<=\d)-(?=[A-Za-z])", "–", label)


@lru_cache(maxsize=2048)
def fragment_smiles(smiles: str, label: str, formula: str) -> str | None:
    """The SMILES of the side of a cut (``label``: its bonds by atom index,
    RDKit's numbering) whose heavy atoms are those of ``formula``; None when
    the label does not describe a cut of this molecule."""
    pairs = _bond_pairs(label or "")
    target = parse_formula(formula or "")
    if not pairs or target is None:
        return None
    try:
        from rdkit import Chem
    except ImportError:  # pragma: no cover - rdkit is a dependency
        return None
    mol = Chem.MolFromSmiles(smiles)
    if mol is None:
        return None
    heavy = Counter({k: v for k, v in target.items() if k not in ("H", "D", "T") and not k.startswith("[")})
    bond_ids = []
    for a, b in pairs:
        if max(a, b) >= mol.GetNumAtoms():
            return None
        bond = mol.GetBondBetweenAtoms(a, b)
        if bond is None:
            return None
        bond_ids.append(bond.GetIdx())
    if any(mol.GetBondWithIdx(k).IsInRing() for k in bond_ids):
        # A ring cut leaves aromatic atoms outside any ring: write Kekulé bonds.
        mol = Chem.RWMol(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    em = Chem.RWMol(mol)
    # The atoms of a cut keep their hydrogens and show the open valence ([CH2]).
    for a, b in pairs:
        for i in (a, b):
            at = em.GetAtomWithIdx(i)
            hs = at.GetTotalNumHs()
            at.SetNoImplicit(True)
            at.SetNumExplicitHs(hs)
            # The open valence, so the SMILES writes the cut atom in brackets ([C], [CH2]).
            at.SetNumRadicalElectrons(at.GetNumRadicalElectrons() + 1)
        if em.GetBondBetweenAtoms(a, b) is not None:
            em.RemoveBond(a, b)
    frag_mol = em.GetMol()
    frag_mol.UpdatePropertyCache(strict=False)
    for atoms in Chem.GetMolFrags(frag_mol, asMols=False, sanitizeFrags=False):
        counts = Counter(frag_mol.GetAtomWithIdx(i).GetSymbol() for i in atoms)
        if counts == heavy:
            return Chem.MolFragmentToSmiles(frag_mol, atomsToUse=list(atoms), canonical=True)
    return None
