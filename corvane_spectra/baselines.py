"""Spectra that need no LPI, to measure what the soft-bond selection adds.

"all cuts": every bond between two heavy atoms outside rings is cut once,
whatever its order; hydrogens stay on their atoms; both sides of each cut
and the molecular ion are peaks.  "random": as many of those bonds as the
molecule has soft-bond records, chosen with a fixed seed.  Heights are the
schematic ones (molecular ion 100, fragments 60), like corvane's prediction.
"""
from __future__ import annotations

import zlib

import corvane
import numpy as np

from .predict import FRAGMENT_HEIGHT, MOLECULAR_ION_HEIGHT
from .spectrum import PeakAnnotation, Spectrum

DEFAULT_SEED = 20260801


def _molecule(smiles: str):
    """The molecule as corvane reads it: unsanitised, kekulised where
    possible, explicit hydrogens appended."""
    from rdkit import Chem

    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    if mol is None:
        raise ValueError(f"unreadable SMILES: {smiles!r}")
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    except Exception:
        pass
    return Chem.AddHs(mol)


def _neighbours(mol) -> list[list[int]]:
    adj: list[list[int]] = [[] for _ in range(mol.GetNumAtoms())]
    for b in mol.GetBonds():
        i, j = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        adj[i].append(j)
        adj[j].append(i)
    return adj


def _side(adj, start: int, cut: tuple[int, int]) -> list[int]:
    """Atoms reachable from ``start`` without crossing the bond ``cut``."""
    a, b = cut
    seen = {start}
    stack = [start]
    while stack:
        x = stack.pop()
        for y in adj[x]:
            if (x == a and y == b) or (x == b and y == a) or y in seen:
                continue
            seen.add(y)
            stack.append(y)
    return sorted(seen)


def breakable_bonds(mol) -> list[tuple[int, int]]:
    """Bonds between heavy atoms that lie in no ring (bridges of the atom
    graph), as (lower, higher) atom-index pairs in RDKit bond order."""
    import networkx as nx

    g = nx.Graph()
    g.add_nodes_from(range(mol.GetNumAtoms()))
    pairs = []
    for b in mol.GetBonds():
        i, j = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        g.add_edge(i, j)
        if mol.GetAtomWithIdx(i).GetAtomicNum() > 1 and mol.GetAtomWithIdx(j).GetAtomicNum() > 1:
            pairs.append((min(i, j), max(i, j)))
    bridges = {(min(u, v), max(u, v)) for u, v in nx.bridges(g)}
    return [p for p in pairs if p in bridges]


def cut_spectrum(smiles: str, bonds: list[tuple[int, int]] | None = None, mol=None,
                 mode: str = "all_cuts") -> Spectrum:
    """Molecular ion plus both sides of each listed bond cut on its own
    (all breakable bonds when ``bonds`` is None)."""
    if mol is None:
        mol = _molecule(smiles)
    if bonds is None:
        bonds = breakable_bonds(mol)
    adj = _neighbours(mol)
    whole = range(mol.GetNumAtoms())
    mol_mass = corvane._nominal_mass(mol, whole)
    peaks: dict[int, list] = {
        mol_mass: [MOLECULAR_ION_HEIGHT, [PeakAnnotation(corvane._fragment_formula(mol, whole), "molecular_ion")]]}
    for i, j in bonds:
        label = corvane._pair_label(mol, i, j)
        for side in (_side(adj, i, (i, j)), _side(adj, j, (i, j))):
            mz = corvane._nominal_mass(mol, side)
            entry = peaks.setdefault(mz, [FRAGMENT_HEIGHT, []])
            entry[1].append(PeakAnnotation(corvane._fragment_formula(mol, side), mode, label, 1))
    order = sorted(peaks)
    return Spectrum(order, [peaks[m][0] for m in order],
                    {"smiles": smiles, "formula": peaks[mol_mass][1][0].formula},
                    annotations=[peaks[m][1] for m in order], convention="schematic")


def all_cuts(smiles: str) -> Spectrum:
    """The "all cuts" baseline spectrum of a molecule."""
    return cut_spectrum(smiles)


def random_cuts(smiles: str, n_bonds: int, seed: int = DEFAULT_SEED) -> Spectrum:
    """The "random" baseline: ``n_bonds`` breakable bonds (all when fewer)
    drawn without replacement by a generator seeded from ``seed`` and the
    SMILES, so a molecule gets the same draw in any run and any order."""
    if n_bonds < 0:
        raise ValueError("n_bonds must not be negative")
    mol = _molecule(smiles)
    bonds = breakable_bonds(mol)
    rng = np.random.default_rng([seed, zlib.crc32(smiles.encode())])
    k = min(n_bonds, len(bonds))
    chosen = sorted(rng.choice(len(bonds), size=k, replace=False).tolist()) if k else []
    return cut_spectrum(smiles, [bonds[c] for c in chosen], mol=mol, mode="random")
