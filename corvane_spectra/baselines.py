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


def _bridges(adj) -> set[tuple[int, int]]:
    """Bridges of an undirected graph (iterative Tarjan low-link)."""
    n = len(adj)
    disc = [-1] * n
    low = [0] * n
    out: set[tuple[int, int]] = set()
    t = 0
    for root in range(n):
        if disc[root] != -1:
            continue
        disc[root] = low[root] = t
        t += 1
        stack = [(root, -1, iter(adj[root]))]
        while stack:
            v, parent, it = stack[-1]
            for w in it:
                if w == parent:
                    parent = -2          # a second bond to the parent would be a ring
                    stack[-1] = (v, parent, it)
                    continue
                if disc[w] == -1:
                    disc[w] = low[w] = t
                    t += 1
                    stack.append((w, v, iter(adj[w])))
                    break
                low[v] = min(low[v], disc[w])
            else:
                stack.pop()
                if stack:
                    u = stack[-1][0]
                    low[u] = min(low[u], low[v])
                    if low[v] > disc[u]:
                        out.add((min(u, v), max(u, v)))
    return out


def breakable_bonds(mol) -> list[tuple[int, int]]:
    """Bonds between heavy atoms that lie in no ring (bridges of the atom
    graph), as (lower, higher) atom-index pairs in RDKit bond order."""
    bridges = _bridges(_neighbours(mol))
    pairs = []
    for b in mol.GetBonds():
        i, j = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        if mol.GetAtomWithIdx(i).GetAtomicNum() > 1 and mol.GetAtomWithIdx(j).GetAtomicNum() > 1:
            p = (min(i, j), max(i, j))
            if p in bridges:
                pairs.append(p)
    return pairs


class _Cuts:
    """A molecule's breakable bonds and the two fragments of each cut."""

    def __init__(self, smiles: str):
        mol = _molecule(smiles)
        self.smiles = smiles
        adj = _neighbours(mol)
        whole = range(mol.GetNumAtoms())
        self.mol_mass = corvane._nominal_mass(mol, whole)
        self.formula = corvane._fragment_formula(mol, whole)
        self.bonds = breakable_bonds(mol)
        self.fragments = []     # per bond: (label, [(formula, mz), (formula, mz)])
        for i, j in self.bonds:
            sides = (_side(adj, i, (i, j)), _side(adj, j, (i, j)))
            self.fragments.append((corvane._pair_label(mol, i, j),
                                   [(corvane._fragment_formula(mol, a), corvane._nominal_mass(mol, a))
                                    for a in sides]))

    def spectrum(self, chosen, mode: str) -> Spectrum:
        peaks: dict[int, list] = {
            self.mol_mass: [MOLECULAR_ION_HEIGHT, [PeakAnnotation(self.formula, "molecular_ion")]]}
        for k in chosen:
            label, frags = self.fragments[k]
            for formula, mz in frags:
                entry = peaks.setdefault(mz, [FRAGMENT_HEIGHT, []])
                entry[1].append(PeakAnnotation(formula, mode, label, 1))
        order = sorted(peaks)
        return Spectrum(order, [peaks[m][0] for m in order], {"smiles": self.smiles, "formula": self.formula},
                        annotations=[peaks[m][1] for m in order], convention="schematic")

    def random_choice(self, n_bonds: int, seed: int) -> list[int]:
        if n_bonds < 0:
            raise ValueError("n_bonds must not be negative")
        rng = np.random.default_rng([seed, zlib.crc32(self.smiles.encode())])
        k = min(n_bonds, len(self.bonds))
        return sorted(rng.choice(len(self.bonds), size=k, replace=False).tolist()) if k else []


def all_cuts(smiles: str) -> Spectrum:
    """The "all cuts" baseline spectrum of a molecule."""
    c = _Cuts(smiles)
    return c.spectrum(range(len(c.bonds)), "all_cuts")


def random_cuts(smiles: str, n_bonds: int, seed: int = DEFAULT_SEED) -> Spectrum:
    """The "random" baseline: ``n_bonds`` breakable bonds (all when fewer)
    drawn without replacement by a generator seeded from ``seed`` and the
    SMILES, so a molecule gets the same draw in any run and any order."""
    c = _Cuts(smiles)
    return c.spectrum(c.random_choice(n_bonds, seed), "random")


def both(smiles: str, n_bonds: int, seed: int = DEFAULT_SEED) -> tuple[Spectrum, Spectrum]:
    """(all cuts, random) of one molecule, its cuts made once."""
    c = _Cuts(smiles)
    return c.spectrum(range(len(c.bonds)), "all_cuts"), c.spectrum(c.random_choice(n_bonds, seed), "random")
