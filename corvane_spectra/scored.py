"""Scored EI spectra: candidate ions of a molecule and a log-linear intensity model.

Every candidate ion is a set of heavy atoms (with their hydrogens) that one of
these routes leaves charged:

* the molecular ion;
* either side of a single cut of any bond between heavy atoms outside rings;
* either side of a double cut of two bonds of one ring (of up to MAX_RING_CUT atoms);
* the cascade: a side of one cut cut again at a bond outside rings (the second
  generation, found by intersecting the sides of two cuts, so no further
  spectral analysis is needed);
* hydrogen-shifted neighbours (-2 .. +2 hydrogens) of each of the above;
* in molecules with two or more trimethylsilyl ethers, the rearrangement ion
  (CH3)2Si=O+-Si(CH3)3 (m/z 147) of one silyl group moving to another's oxygen.

Each candidate gets a feature vector x (what the cut bond is, which side keeps
the charge, alpha/benzylic/allylic cleavage, the neutral that leaves, the
McLafferty geometry, size, whether the bond is soft in corvane's VIF
analysis, the ion series its composition belongs to -- alkyl, alkenyl,
iminium, oxonium, acylium -- and its electron parity, ...) and an abundance
exp(w . x).  A few features are repeated for molecules with an aromatic ring,
whose spectra spread their intensity differently over ion sizes and series.
Beside these named features, hashed substructure tokens (the Morgan-style
environments of the two atoms of each cut bond, split by the side that keeps
the charge, the molecular ion's atom environments, a hydrogen shift with the
charge-side environment, the composition of a small neutral lost) add the
weights of their columns (N_ENV of them) to a candidate's score; they never
replace its route.
Abundances of candidates at the same nominal m/z add up, each spread over its
isotope pattern.  The peak height reported is the square root of the summed
abundance, base peak 100: the scale on which EI library search compares
spectra.

Hydrogens written as atoms of their own (isotope labels such as [2H]) count
as hydrogens of their heavy neighbour, which keeps the label's mass; a
labelled heavy atom ([13C]) has its label's mass.

The weights w are in ``_scored_weights.py``, written by ``tools/fit_scored.py``
(which records the data, objective and split used).  Boosted regression trees
over each atom set's named features add a term to its candidates' log-abundance
(``_scored_trees.py``; the trees are fitted on the same objective, starting
from w).
"""
from __future__ import annotations

import contextlib
from dataclasses import dataclass
import zlib
from functools import lru_cache
import threading

import numpy as np

from . import _core

# Feature names, in the order of the columns of the candidate matrix, grouped
# for reporting and ablation.
FEATURE_GROUPS: dict[str, tuple[str, ...]] = {
    "kind": ("molecular_ion", "ring_cut", "second_generation", "n_cuts", "first_log_count", "second_log_count"),
    "size": ("log_mass", "mass_fraction", "small_ion", "tiny_ion", "neutral_one_heavy",
             "neutral_log_mass"),
    "composition": ("ion_hydrocarbon", "ion_dbe", "ion_dbe_per_heavy"),
    "soft": ("soft_cuts", "all_cuts_soft"),
    "bond": ("cut_double", "cut_triple", "cut_aromatic", "cut_C_N", "cut_C_O", "cut_C_S",
             "cut_C_halogen", "cut_hetero_hetero"),
    "charge_side": ("ion_N", "ion_O", "ion_S", "ion_halogen", "ion_Si", "ion_P", "ion_hetero_count",
                    "ion_aromatic_ring",
                    "neutral_aromatic_ring", "neutral_N", "neutral_O", "neutral_halogen", "neutral_dbe",
                    "ion_aromatic_rings", "centre_substitution",
                    "centre_hetero", "centre_aromatic", "stevenson"),
    "alpha": ("alpha_N", "alpha_O_S", "acylium", "centre_next_to_carbonyl"),
    "benzylic_allylic": ("benzylic", "allylic"),
    "neutral_loss": ("loss_CH3", "loss_halogen", "loss_small_molecule", "loss_small_radical"),
    "mclafferty": ("mclafferty", "mclafferty_aromatic", "mclafferty_alkene"),
    "h_shift": ("shift_minus1", "shift_minus2", "shift_plus1", "shift_plus2",
                "shift_plus_hetero", "shift_minus_aromatic"),
    "molecular_ion_stability": ("mi_aromatic_fraction", "mi_log_heavy", "mi_sp3_fraction",
                                "mi_alcohol_amine", "mi_ether_ester", "mi_quaternary", "mi_ring_fraction",
                                "mi_halogen", "mi_silyl", "mi_nitro", "mi_carbonyl", "mi_dbe", "mi_chain",
                                "mi_amine"),
    "ion_type": ("ion_alkyl", "ion_alkenyl", "ion_alkene_radical", "ion_odd_electron", "ion_tms",
                 "ion_even_aromatic", "ion_dienyl", "ion_aromatic_hc", "ion_iminium", "ion_oxonium",
                 "ion_acyl", "ion_silyl_oxonium"),
    "silyl": ("loss_silanol", "silyl_transfer", "mi_silyl_groups"),
    "aromatic_molecule": ("arom_small_ion", "arom_log_mass", "arom_mass_fraction", "arom_second_generation",
                          "arom_alkyl", "arom_alkenyl", "arom_alkene_radical", "arom_odd_electron",
                          "arom_shift_minus1", "arom_shift_plus1"),
    # Ions textbooks single out: benzyl/tropylium and benzoyl ions, the bare phenyl cation,
    # onium ions of alpha cleavage, small neutral losses beside an ortho substituent, the
    # molecular ion of a small aromatic molecule, and allylic cleavage of a ring.
    "textbook": ("benzyl_type", "phenyl_cation", "aroyl", "alpha_onium", "ortho_loss", "mi_small_aromatic",
                 "ring_allylic", "halogen_loss_multi"),
    # Named routes of textbook ions: a benzylic hydrogen lost from the molecular ion (tropylium
    # from toluene) or one beside an amine or ether nitrogen/oxygen (an onium ion), a ring methyl lost (xylenes to C7H7+), the one-carbon onium ion CH2=XH+ of
    # alpha cleavage, the McLafferty ion of an ester or acid, an acylium ion that gains or loses a
    # hydrogen, the ortho elimination of an alcohol or water from an ester or acid, the ion of
    # alpha cleavage in a saturated carbocycle (cyclohexanol 57, cyclohexanone 55), HCl, HBr or HI
    # lost from an alkyl halide (1-chlorobutane 56), [M-H]+ of alpha cleavage where no alkyl
    # radical can leave instead (methanol 31, dimethyl ether 45, trimethylamine 58), and the aroyl
    # ion [M-H]+ of an aromatic aldehyde (benzaldehyde 105).
    "textbook_routes": ("benzylic_h_loss", "alpha_h_loss", "aryl_methyl_loss", "onium_one_carbon",
                        "mclafferty_ester", "acylium_shifted", "ortho_elimination", "ring_alpha_cleavage",
                        "hx_elimination", "alpha_h_only", "aryl_aldehyde_h_loss"),
}
FEATURES: tuple[str, ...] = tuple(f for g in FEATURE_GROUPS.values() for f in g)
_COL = {f: i for i, f in enumerate(FEATURES)}
# Features set per candidate (they depend on the hydrogen shift), in this order.
_SHIFT_FEATURES = ("shift_minus1", "shift_minus2", "shift_plus1", "shift_plus2", "shift_plus_hetero",
                   "shift_minus_aromatic", "mclafferty", "mclafferty_alkene", "loss_CH3", "loss_halogen",
                   "loss_small_molecule", "loss_small_radical", "mclafferty_aromatic",
                   "ion_alkyl", "ion_alkenyl", "ion_alkene_radical", "ion_odd_electron", "ion_even_aromatic",
                   "ion_dienyl", "ion_aromatic_hc", "ion_iminium", "ion_oxonium", "ion_acyl", "ion_silyl_oxonium",
                   "loss_silanol", "arom_alkyl", "arom_alkenyl", "arom_alkene_radical", "arom_odd_electron",
                   "arom_shift_minus1", "arom_shift_plus1", "benzyl_type", "phenyl_cation", "aroyl",
                   "alpha_onium", "ortho_loss", "halogen_loss_multi", "benzylic_h_loss", "alpha_h_loss", "aryl_methyl_loss",
                   "onium_one_carbon", "mclafferty_ester", "acylium_shifted", "ortho_elimination",
                   "ring_alpha_cleavage", "hx_elimination", "alpha_h_only", "aryl_aldehyde_h_loss")
_SHIFT_COLS = np.array([_COL[f] for f in _SHIFT_FEATURES])
_E = {f: i for i, f in enumerate(_SHIFT_FEATURES)}

# Elements counted in a composition; anything else counts under "other" with
# its own nominal mass (kept through the heavy-atom masses).
_ELEMENTS = ("C", "H", "N", "O", "S", "F", "Cl", "Br", "I", "P", "Si")
_EL = {e: i for i, e in enumerate(_ELEMENTS)}
_HALOGENS = ("F", "Cl", "Br", "I")
_SET_MODES = ("molecular_ion", "single", "ring", "recursive")    # the codes of _core.atom_sets
# (The ionisation energies of radicals behind the Stevenson's-rule feature are in bond_core.cpp.)
_ISO_LEN = 5          # narrowest isotope pattern held (nominal mass to +4)
_MIN_ION_MZ = 12      # smaller candidate ions are not reported
# Rings of up to this many atoms are cut twice (crown ethers, macrolides and cyclophanes
# included: they fragment through their rings like any other); larger ones, where the
# pairs of cuts grow with the square of the size, keep only their other routes.
MAX_RING_CUT = 30

# Small neutrals, as compositions (C, H, N, O, S, F, Cl, Br, I, P, Si).
def _comp(**kw):
    v = [0] * len(_ELEMENTS)
    for k, n in kw.items():
        v[_EL[k]] = n
    return tuple(v)


_LOSS_CH3 = {_comp(C=1, H=3)}
_LOSS_HALOGEN = {_comp(Cl=1), _comp(Br=1), _comp(I=1), _comp(F=1), _comp(H=1, Cl=1),
                 _comp(H=1, Br=1), _comp(H=1, I=1), _comp(H=1, F=1)}
_LOSS_MOLECULE = {_comp(H=2, O=1), _comp(C=1, O=1), _comp(C=1, H=1, N=1), _comp(C=2, H=4),
                  _comp(C=1, O=2), _comp(C=1, H=2, O=1), _comp(C=2, H=2), _comp(N=1, O=1),
                  _comp(C=1, H=4, O=1), _comp(C=2, H=2, O=1), _comp(H=3, N=1), _comp(H=2, S=1),
                  _comp(C=3, H=6), _comp(S=1, O=2), _comp(C=1, S=1)}
_LOSS_RADICAL = {_comp(H=1, O=1), _comp(C=2, H=5), _comp(C=1, H=3, O=1), _comp(N=1, O=2),
                 _comp(C=1, H=1, O=1), _comp(H=2, N=1), _comp(H=1, S=1), _comp(C=3, H=7),
                 _comp(C=1, H=3, S=1), _comp(C=2, H=3, O=1), _comp(C=2, H=3, O=2),
                 _comp(C=1, H=3, O=2)}


# Trimethylsilyl ion (m/z 73), the silyl-transfer ion (CH3)2Si=O+-Si(CH3)3 (m/z 147), and (CH3)3SiOH.
_TMS = np.array(_comp(C=3, H=9, Si=1), dtype=np.int64)
_SILYL_TRANSFER_ION = np.array(_comp(C=5, H=15, O=1, Si=2), dtype=np.int64)
_SILANOL = np.array(_comp(C=3, H=10, O=1, Si=1), dtype=np.int64)


def _comp_keys(comps: np.ndarray) -> np.ndarray:
    """One integer per composition row, equal for equal small compositions.

    Counts are clipped to -1..15 (base 17 keeps eleven elements inside int64);
    the small neutrals matched against have counts of at most 6, so a clipped
    count never matches one of them by accident.
    """
    # In doubles (exact: below 17 ** 11 < 2 ** 53), where the product is a BLAS call.
    powers = 17.0 ** np.arange(comps.shape[1] - 1, -1, -1)
    return ((np.minimum(np.maximum(comps, -1), 15) + 1).astype(np.float64) @ powers).astype(np.int64)


def _keys_of(comps: set) -> np.ndarray:
    return _comp_keys(np.array(sorted(comps), dtype=np.int64))


_LOSS_KEYS = {name: _keys_of(s) for name, s in (
    ("loss_CH3", _LOSS_CH3), ("loss_halogen", _LOSS_HALOGEN),
    ("loss_small_molecule", _LOSS_MOLECULE), ("loss_small_radical", _LOSS_RADICAL))}
# The same keys sorted in one table, with a bit per group (bit j: the j-th entry of _LOSS_KEYS).
_LOSS_TABLE = np.unique(np.concatenate(list(_LOSS_KEYS.values())))
_LOSS_BITS = np.zeros(_LOSS_TABLE.size, dtype=np.int64)
for _j, _keys in enumerate(_LOSS_KEYS.values()):
    _LOSS_BITS[np.searchsorted(_LOSS_TABLE, _keys)] |= 1 << _j


# The C++ core writes the shift features in its own column order, group j of the small neutrals
# in column loss_CH3 + j; it reads compositions by these columns of C, H, N, O, S and Si.
if _core.SHIFT_COLUMNS != _SHIFT_FEATURES or tuple(_LOSS_KEYS) != _SHIFT_FEATURES[8:12]:
    raise ImportError("corvane_spectra._core was built for other shift features; rebuild the package")
_CORE_EL_COLS = np.array([_EL[e] for e in ("C", "H", "N", "O", "S", "Si")], dtype=np.int64)


# Hashed substructure columns.  Each cut bond contributes tokens describing its two atoms
# (Morgan-style environments of radius 1 and 2 of the atom that keeps the charge, radius 1 of
# the atom that leaves, the atom-type pair across the cut); the molecular ion contributes the
# radius-1 environments of its atoms; a candidate that moves hydrogens contributes the shift
# with the charge-side environment; a small neutral lost contributes its composition.  Tokens
# are hashed (CRC-32) into N_ENV columns whose weights follow the named features' weights.
N_ENV = 1 << 14
_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_SALT_MIX, _ONE, _TWENTY, _N_ENV_U = np.uint64(0x632BE59BD9B4E019), np.uint64(1), np.uint64(20), np.uint64(N_ENV)


def _token_col(token: str) -> int:
    return zlib.crc32(token.encode()) % N_ENV


def _mix_cols(raw: np.ndarray, salt: np.ndarray) -> np.ndarray:
    """Columns of (token hash, small integer) pairs: the hash mixed with the integer."""
    with np.errstate(over="ignore"):
        h = (raw.astype(np.uint64) + _ONE) * _GOLDEN + salt.astype(np.uint64) * _SALT_MIX
    return ((h >> _TWENTY) % _N_ENV_U).astype(np.int64)


def _loss_cols(keys: np.ndarray) -> np.ndarray:
    """Columns of the neutral-loss tokens (composition keys of ``_comp_keys``)."""
    return _mix_cols(keys.astype(np.uint64), np.full(keys.shape, 977))


def _expand(rows, keys, ptr, flat):
    """For pairs (row, key): one (row, flat[j]) per j in ptr[key] .. ptr[key + 1]."""
    cnt = ptr[keys + 1] - ptr[keys]
    r = np.repeat(rows, cnt)
    starts = np.repeat(ptr[keys], cnt)
    within = np.arange(r.size) - np.repeat(np.cumsum(cnt) - cnt, cnt)
    return r, flat[starts + within]


# Isotope peaks weaker than this share of an element's strongest combination are dropped.
_ISO_CUTOFF = 1e-6


@lru_cache(maxsize=None)
def _most_common_isotope(z: int) -> int:
    from rdkit import Chem

    return Chem.GetPeriodicTable().GetMostCommonIsotope(z)


@lru_cache(maxsize=None)
def _element_isotopes(sym: str) -> tuple[int, np.ndarray]:
    """(lowest shift, relative abundances) of an element's isotopes, relative to its most common one."""
    from rdkit import Chem

    pt = Chem.GetPeriodicTable()
    z = pt.GetAtomicNumber(sym)
    m0 = pt.GetMostCommonIsotope(z)
    a0 = pt.GetAbundanceForIsotope(z, m0)
    found = {}
    for d in range(-12, 13):
        try:
            a = pt.GetAbundanceForIsotope(z, m0 + d)
        except Exception:  # no such isotope in the table
            a = 0.0
        if a > 0 and a0 > 0:
            found[d] = a / a0
    if not found:
        return 0, np.ones(1)
    lo, hi = min(found), max(found)
    out = np.zeros(hi - lo + 1)
    for d, a in found.items():
        out[d - lo] = a
    return lo, out


@lru_cache(maxsize=4096)
def _element_table(sym: str, nmax: int) -> tuple[int, np.ndarray]:
    """Isotope distributions of 0..nmax atoms of an element, rows on one m/z grid.

    Row n is the distribution of n atoms (the combination of most common
    isotopes = 1), placed so that column j is shift ``lo + j``.
    """
    lo1, dist = _element_isotopes(sym)
    rows = [np.ones(1)]
    for _ in range(nmax):
        rows.append(np.convolve(rows[-1], dist))
    lo = lo1 * nmax if lo1 < 0 else 0
    # Row n starts at shift n * lo1; trim insignificant columns shared by all rows.
    hi = max(n * lo1 + len(r) - 1 for n, r in enumerate(rows))
    tab = np.zeros((nmax + 1, hi - lo + 1))
    for n, r in enumerate(rows):
        start = n * lo1 - lo
        tab[n, start:start + len(r)] = r
    significant = np.nonzero((tab >= _ISO_CUTOFF * tab.max(axis=1, keepdims=True)).any(0))[0]
    first, last = int(significant[0]), int(significant[-1])
    tab = tab[:, first:last + 1]
    tab[tab < _ISO_CUTOFF * tab.max(axis=1, keepdims=True)] = 0.0
    return lo + first, tab


def isotope_patterns(comps: np.ndarray, symbols=_ELEMENTS) -> tuple[int, np.ndarray]:
    """Relative isotope patterns of composition rows (columns: ``symbols``).

    Returns (offset, patterns): column j of a pattern is at the nominal mass
    (all atoms their most common isotope) + offset + j; offset is negative
    when an element has lighter isotopes than its most common one (Se, Sn,
    Hg, ...).  Every isotope of every element is counted, for any number of
    atoms: six chlorines give the whole M .. M+12 cluster.
    """
    nrow = comps.shape[0]
    offset, pat = 0, np.ones((nrow, 1))
    for e, sym in enumerate(symbols):
        n = comps[:, e]
        nmax = int(n.max()) if nrow else 0
        if nmax <= 0 or sym == "?":
            continue
        lo, tab = _element_table(sym, nmax)
        if tab.shape[1] == 1:
            pat = pat * tab[n]
            continue
        el = tab[n]
        new = np.zeros((nrow, pat.shape[1] + el.shape[1] - 1))
        for i in range(el.shape[1]):
            new[:, i:i + pat.shape[1]] += pat * el[:, i:i + 1]
        pat, offset = new, offset + lo
    # Drop columns no row needs.  A row's own insignificant values go too,
    # also where another row keeps the column: a row's pattern (cached per
    # composition) must not depend on the rows computed with it, or a
    # molecule's spectrum would depend on the molecules predicted before it.
    if pat.size:
        keep = pat >= _ISO_CUTOFF * pat.max(axis=1, keepdims=True)
        pat = np.where(keep, pat, 0.0)
        used = np.nonzero(keep.any(0))[0]
        pat = pat[:, int(used[0]):int(used[-1]) + 1]
        offset += int(used[0])
    return offset, pat


# Isotope patterns by composition bytes (and the elements of the columns), shared by all
# predictions of the process: (offset, pattern) each.
_PATTERN_CACHE: dict[bytes, tuple[int, np.ndarray]] = {}


def _cached_patterns(comps: np.ndarray, symbols=_ELEMENTS) -> tuple[int, np.ndarray]:
    """(offset, patterns) of composition rows on one common grid, at least _ISO_LEN wide."""
    tag = "".join(symbols[len(_ELEMENTS):]).encode()
    comps = np.ascontiguousarray(comps, dtype=np.int64)
    # Each row's bytes, as one bytes object per row.
    keys = comps.view(np.dtype((np.void, comps.shape[1] * comps.itemsize))).ravel().tolist()
    if tag:
        keys = [k + tag for k in keys]
    got = list(map(_PATTERN_CACHE.get, keys))
    if None in got:
        missing = [i for i, g in enumerate(got) if g is None]
        if len(_PATTERN_CACHE) > 200_000:
            _PATTERN_CACHE.clear()
        off, pats = isotope_patterns(comps[missing], symbols)
        for i, row in zip(missing, pats):
            got[i] = _PATTERN_CACHE[keys[i]] = (off, row)
    if not got:
        return 0, np.zeros((0, _ISO_LEN))
    offs, pats = zip(*got)
    flat = np.concatenate(pats)
    width = np.fromiter(map(len, pats), dtype=np.int64, count=len(pats))
    offs = np.array(offs, dtype=np.int64)
    lo = int(offs.min())
    if (width == width[0]).all() and (offs == lo).all():
        out = flat.reshape(len(pats), -1)
    else:
        # Row i's pattern starts at column offs[i] - lo.
        start = offs - lo
        out = np.zeros((len(pats), int((start + width).max())))
        shift = np.repeat(start - (np.cumsum(width) - width), width)
        out[np.repeat(np.arange(len(pats)), width), shift + np.arange(flat.size)] = flat
    if out.shape[1] < _ISO_LEN:
        out = np.hstack([out, np.zeros((out.shape[0], _ISO_LEN - out.shape[1]))])
    return lo, out


@dataclass
class Candidates:
    """The candidate ions of one molecule.

    ``X``: features (one row per candidate); ``mz``: nominal m/z; ``pattern``:
    isotope pattern from ``mz`` upwards; ``comp``: element counts; the rest
    describe the cut for annotations.
    """

    F: np.ndarray             # features of each atom set
    E: np.ndarray             # per candidate, the features in _SHIFT_FEATURES
    mz: np.ndarray
    pattern: np.ndarray
    comp: np.ndarray
    base: np.ndarray          # index of the candidate's atom set
    shift: np.ndarray         # hydrogens gained (+) or lost (-)
    generation: np.ndarray
    set_mode: list            # per atom set: "molecular_ion", "single", "ring", "recursive"
    set_label: list           # per atom set: the cut's bond label(s)
    mol_mz: int
    iso_offset: int = 0       # column j of ``pattern`` is at m/z ``mz + iso_offset + j``
    symbols: tuple = _ELEMENTS  # elements of the columns of ``comp``
    # Hashed substructure columns (see N_ENV) as (row, column) pairs, a pair once per
    # occurrence: per atom set, and per candidate (hydrogen shift, neutral lost).
    env_set: tuple = (np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64))
    env_cand: tuple = (np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64))

    @property
    def X(self) -> np.ndarray:
        """The full feature matrix, one row per candidate (for fitting)."""
        X = self.F[self.base]
        X[:, _SHIFT_COLS] = self.E
        return X

    def set_terms(self, weights: np.ndarray):
        """Per atom set, w . x of its named features (the shift columns left out) and of its
        hashed columns (None without hashed weights)."""
        nf = len(FEATURES)
        w_set = weights[:nf].copy()
        w_set[_SHIFT_COLS] = 0.0
        hashed = None
        if weights.size > nf:
            sr, sc = self.env_set
            hashed = np.bincount(sr, weights[nf:][sc], minlength=self.F.shape[0])
        return self.F @ w_set, hashed

    def log_scores(self, weights: np.ndarray, set_terms=None) -> np.ndarray:
        """w . x of every candidate, without building the full matrix (``set_terms``: this
        molecule's ``set_terms(weights)`` when already at hand)."""
        named, hashed = self.set_terms(weights) if set_terms is None else set_terms
        ls = named[self.base] + self.E @ weights[_SHIFT_COLS]
        if hashed is not None:
            cr, cc = self.env_cand
            ls += hashed[self.base]
            ls += np.bincount(cr, weights[len(FEATURES):][cc], minlength=ls.size)
        return ls


def read_molecule(smiles: str):
    """The RDKit molecule of a SMILES, or ValueError naming it."""
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    if not isinstance(smiles, str):
        raise TypeError(f"SMILES must be a str, not {type(smiles).__name__}")
    mol = Chem.MolFromSmiles(smiles)
    if mol is None:
        # Hypervalent or oddly charged atoms: read as written, as the VIF driver does.
        mol = Chem.MolFromSmiles(smiles, sanitize=False)
        if mol is not None:
            mol.UpdatePropertyCache(strict=False)
            Chem.SanitizeMol(mol, Chem.SanitizeFlags.SANITIZE_ALL ^ Chem.SanitizeFlags.SANITIZE_PROPERTIES,
                             catchErrors=True)
            Chem.GetSymmSSSR(mol)
    if mol is None or mol.GetNumAtoms() == 0:
        raise ValueError(f"unreadable SMILES: {smiles!r}")
    return mol


def fold_hydrogen_atoms(mol):
    """``mol`` without its hydrogen atoms that hang on a heavy atom (each
    becomes one more hydrogen of that atom), and the new index of every old
    atom that stays (None when there is nothing to fold)."""
    from rdkit import Chem

    if mol.GetNumHeavyAtoms() == mol.GetNumAtoms():
        return mol, None
    atoms = map(mol.GetAtomWithIdx, range(mol.GetNumAtoms()))     # quicker than mol.GetAtoms()
    hs = [a.GetIdx() for a in atoms if a.GetAtomicNum() == 1 and a.GetDegree() == 1
          and a.GetNeighbors()[0].GetAtomicNum() > 1]
    if not hs:
        return mol, None
    work = Chem.RWMol(mol)
    # Removing an atom shifts the atoms after it down by one, in order.
    for i in sorted(hs, reverse=True):
        nb = work.GetAtomWithIdx(i).GetNeighbors()[0]
        nb.SetNumExplicitHs(nb.GetNumExplicitHs() + 1)
        work.RemoveAtom(i)
    out = work.GetMol()
    out.UpdatePropertyCache(strict=False)
    Chem.GetSymmSSSR(out)
    gone = set(hs)
    keep = [i for i in range(mol.GetNumAtoms()) if i not in gone]
    return out, {old: new for new, old in enumerate(keep)}


def _fold_labelled_hydrogens(mol, soft_pairs):
    """Hydrogens written as atoms of their own (isotope labels: [2H], [3H]) folded into their neighbours.

    A candidate ion is a set of heavy atoms with their hydrogens, so a labelled
    hydrogen becomes one more hydrogen of its heavy neighbour, which keeps the
    label's extra neutrons.  Returns the molecule without those atoms, the extra
    mass of each remaining atom and the number of labelled hydrogens on it
    (None and None without such hydrogens), and the soft pairs renumbered.
    """
    out, new_of = fold_hydrogen_atoms(mol)
    if new_of is None:
        return mol, None, None, soft_pairs
    extra = np.zeros(out.GetNumAtoms(), dtype=np.int64)
    count = np.zeros(out.GetNumAtoms(), dtype=np.int64)
    for a in mol.GetAtoms():
        if a.GetIdx() in new_of:
            continue
        j = new_of[a.GetNeighbors()[0].GetIdx()]
        extra[j] += max(a.GetIsotope() - 1, 0)
        count[j] += a.GetIsotope() > 1
    pairs = frozenset((min(new_of[u], new_of[v]), max(new_of[u], new_of[v]))
                      for u, v in soft_pairs if u in new_of and v in new_of)
    return out, extra, count, pairs


def build_candidates(mol, soft_pairs=frozenset(), env_names: dict | None = None) -> Candidates:
    """All candidate ions of an RDKit molecule (implicit hydrogens).

    ``soft_pairs``: sorted heavy-atom index pairs of the bonds that are soft in
    the molecule's VIF analysis.  A salt or mixture is treated as its largest
    component, the one an EI spectrum of the compound shows.  ``env_names``: a
    dict that, when given, collects the text of every hashed token met (column
    -> set of tokens), to read what a column of N_ENV stands for.
    """
    from rdkit import Chem

    mol, extra_mass, labelled_h, soft_pairs = _fold_labelled_hydrogens(mol, soft_pairs)
    n = mol.GetNumAtoms()
    atoms = [mol.GetAtomWithIdx(i) for i in range(n)]     # far quicker than iterating mol.GetAtoms()
    frags = Chem.GetMolFrags(mol)
    main = max(frags, key=lambda f: (sum(atoms[a].GetAtomicNum() > 1 for a in f), len(f)))
    in_main = np.zeros(n, dtype=bool)
    in_main[list(main)] = True

    # Atom properties.  Elements outside _ELEMENTS get columns of their own after
    # those (they stay in formulas and isotope patterns; no feature looks at them).
    sym = [at.GetSymbol() for at in atoms]
    other = tuple(sorted({sym[a] for a in main} - set(_ELEMENTS) - {"*"}))
    symbols = _ELEMENTS + other
    col_of = {**_EL, **{e: len(_ELEMENTS) + i for i, e in enumerate(other)}}
    n_std = len(_ELEMENTS)
    comp_atom = np.zeros((n, len(symbols)), dtype=np.int64)
    mass_atom = np.zeros(n, dtype=np.int64)
    # Extra neutrons of isotope labels: they move the peaks, not the chemistry, so
    # every feature sees the unlabelled masses.
    label_atom = np.zeros(n, dtype=np.int64)
    # Atoms that carry no label: natural-abundance isotope peaks come only from these.
    unlabelled = np.zeros((n, len(symbols)), dtype=np.int64)
    arom = np.array([at.GetIsAromatic() for at in atoms], dtype=bool)
    in_ring = [at.IsInRing() for at in atoms]
    nbrs: list[list[int]] = [[] for _ in range(n)]
    nh = np.array([at.GetTotalNumHs() for at in atoms], dtype=np.int64)
    m0 = np.array([_most_common_isotope(at.GetAtomicNum()) for at in atoms], dtype=np.int64)
    isotope = np.array([at.GetIsotope() for at in atoms], dtype=np.int64)
    el_col = np.array([col_of.get(s_, -1) for s_ in sym], dtype=np.int64)
    counted = np.nonzero(el_col >= 0)[0]
    comp_atom[counted, el_col[counted]] += 1
    comp_atom[:, _EL["H"]] += nh
    mass_atom[:] = m0 + nh
    labelled = np.nonzero(isotope)[0]
    label_atom[labelled] = isotope[labelled] - m0[labelled]
    labelled = labelled[el_col[labelled] >= 0]
    unlabelled[labelled, el_col[labelled]] -= 1
    if extra_mass is not None:
        label_atom += extra_mass
        unlabelled[:, _EL["H"]] -= labelled_h
    unlabelled += comp_atom
    comp_atom[~in_main] = 0
    unlabelled[~in_main] = 0
    mass_atom[~in_main] = 0
    label_atom[~in_main] = 0
    nh_a = comp_atom[:, _EL["H"]]
    # The per-atom and per-bond loops below read plain lists: far quicker to index than arrays.
    arom_a = arom
    arom = arom.tolist()

    bonds = []
    main_atoms = set(main)
    for b in map(mol.GetBondWithIdx, range(mol.GetNumBonds())):
        u, v = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        if u not in main_atoms:
            continue
        nbrs[u].append(v)
        nbrs[v].append(u)
        bt = b.GetBondType()
        order = 1.5 if b.GetIsAromatic() else {Chem.BondType.DOUBLE: 2.0, Chem.BondType.TRIPLE: 3.0}.get(bt, 1.0)
        bonds.append((u, v, order, b.IsInRing(), b.GetIdx()))
    order_of = {}
    for u, v, o, _r, _ in bonds:
        order_of[(u, v)] = order_of[(v, u)] = o
    nb = len(bonds)
    bu = np.array([b[0] for b in bonds], dtype=np.int64)
    bv = np.array([b[1] for b in bonds], dtype=np.int64)
    ring_bond = np.array([b[3] for b in bonds], dtype=bool)

    # Directed bond properties (centre c keeps the charge, partner p leaves), McLafferty
    # bonds, ortho pairs, environment tokens and the molecule-wide route flags: _core.bond_graph.
    dprops = _core.DIRECTED_PROPS        # the columns of P
    dcol = {f: i for i, f in enumerate(dprops)}
    soft_b = [(min(u, v), max(u, v)) in soft_pairs for u, v, *_r in bonds] if soft_pairs else [False] * nb
    (P, mcl, mcl_arom, mcl_ester, crc, mi_crc, ortho_carbonyl, flags, methyls, halides, tokens,
     mi_tokens) = _core.bond_graph(
        sym, arom_a.view(np.uint8), np.array(in_ring, dtype=np.uint8), nh_a,
        np.array([at.GetFormalCharge() for at in atoms], dtype=np.int64), np.array(main, dtype=np.int64), bu, bv,
        np.array([b[2] for b in bonds], dtype=np.float64), ring_bond.view(np.uint8),
        np.array(soft_b, dtype=np.uint8), env_names is not None)
    has_ortho = flags["has_ortho"]

    # Candidate atom sets, first route wins: the molecular ion, both sides of each bond outside
    # rings, both parts of each ring cut twice (rings of up to MAX_RING_CUT atoms), and each of those
    # sides cut again at a bond outside rings (the order is cand_core.hpp's).
    labels = []
    for u, v, *_r in bonds:
        a, b = min(u, v), max(u, v)
        labels.append(f"{sym[a]}{a}-{sym[b]}{b}")
    ri = mol.GetRingInfo()
    atom_rings = ri.AtomRings()
    rings = [r for r in atom_rings if len(r) <= MAX_RING_CUT and in_main[r[0]]]
    S, set_kind, lab_a, lab_b, gens, bridges, bridge_sets, ring_a, ring_b = _core.atom_sets(
        n, bu, bv, ring_bond.view(np.uint8), np.array(main, dtype=np.int64),
        np.array([a for r in rings for a in r], dtype=np.int64), np.cumsum([0] + [len(r) for r in rings]))
    ortho_sets = set()      # the ring side of an ortho ester's or acid's C(=O)-O bond
    ortho_carbonyls = set(np.nonzero(ortho_carbonyl)[0].tolist())
    for i, k in enumerate(bridges.tolist() if ortho_carbonyls else ()):
        u, v = bonds[k][0], bonds[k][1]
        if bonds[k][2] == 1.0 and ((u in ortho_carbonyls and sym[v] == "O") or (v in ortho_carbonyls and sym[u] == "O")):
            ortho_sets.add(int(bridge_sets[2 * i] if u in ortho_carbonyls else bridge_sets[2 * i + 1]))
    # Labels: the cut bond, the ring's two bonds, or the first cut's label > the second bond.
    first_labels = [labels[k] for k in bridges.tolist() for _ in (0, 1)] + [
        labels[a] + " + " + labels[b] for a, b in zip(ring_a.tolist(), ring_b.tolist())]
    modes, set_labels = [], []
    for kind, a, b in zip(set_kind.tolist(), lab_a.tolist(), lab_b.tolist()):
        modes.append(_SET_MODES[kind])
        set_labels.append(None if kind == 0 else labels[a] if kind == 1 else labels[a] + " + " + labels[b]
                          if kind == 2 else first_labels[a] + " > " + labels[b])
    nset = nmask = S.shape[0]
    # Every per-atom count summed over each set in one product (small integers: exact in doubles).
    ne = comp_atom.shape[1]
    per_atom = np.column_stack([comp_atom, mass_atom, label_atom, unlabelled]
                               + ([labelled_h] if labelled_h is not None else [])).astype(np.float64)
    sums = (S.astype(np.float64) @ per_atom).astype(np.int64)
    comp, pcomp = np.ascontiguousarray(sums[:, :ne]), np.ascontiguousarray(sums[:, ne + 2:2 * ne + 2])
    mass, label = sums[:, ne].copy(), sums[:, ne + 1].copy()
    dlab = sums[:, 2 * ne + 2].copy() if labelled_h is not None else None
    mol_comp = comp[0]
    mol_mz = int(mass[0])
    neutral_bool = in_main[None, :] & ~S

    # Boundary of each set: bonds with exactly one end inside; centre side.
    inU, inV = S[:, bu], S[:, bv]
    cu_b, cv_b = inU & ~inV, inV & ~inU
    cu, cv = cu_b.astype(np.float64), cv_b.astype(np.float64)
    dfeat = cu @ P[0] + cv @ P[1]
    ncut = cu.sum(1) + cv.sum(1)
    mcl_set = (cu @ mcl[0].astype(np.float64) + cv @ mcl[1].astype(np.float64))
    mcl_aro_set = (cu @ mcl_arom[0].astype(np.float64) + cv @ mcl_arom[1].astype(np.float64))
    # McLafferty (alkene side): the partner side of a McLafferty bond keeps the charge.
    mcl_alk = (cu @ (mcl[1] | mcl_arom[1]).astype(np.float64) + cv @ (mcl[0] | mcl_arom[0]).astype(np.float64))
    mcl_est_set = (cu @ mcl_ester[0].astype(np.float64) + cv @ mcl_ester[1].astype(np.float64))

    # Hashed tokens of every cut bond on each side (the centre keeps the charge), once per
    # boundary bond of each atom set; the molecular ion gets its atoms' environments.
    if env_names is not None:
        for side in (0, 1):
            for k in range(nb):
                toks = tokens[(side * nb + k) * 4:(side * nb + k + 1) * 4]
                for t in toks:
                    env_names.setdefault(_token_col(t), set()).add(t)
                for d in (-2, -1, 1, 2):
                    env_names.setdefault(int(_mix_cols(crc[side, k, :1], np.array([d + 3]))[0]),
                                         set()).add(f"H shift {d:+d} / " + toks[0])
        for t in mi_tokens:
            env_names.setdefault(_token_col(t), set()).add(t)
    if not nb:
        crc = np.zeros((2, 1, 4), dtype=np.int64)
    tok_cols = crc % N_ENV
    ion1_raw = crc[:, :, 0]
    iu, ku = np.nonzero(cu_b)
    iv, kv = np.nonzero(cv_b)
    env_set = (np.concatenate([np.repeat(iu, 4), np.repeat(iv, 4), np.zeros(mi_crc.size, dtype=np.int64)]),
               np.concatenate([tok_cols[0, ku].ravel(), tok_cols[1, kv].ravel(), mi_crc % N_ENV]))
    shift_rows = np.concatenate([iu, iv])
    # Columns of (shift, charge-side environment) per directed bond and shift -2 .. +2.
    shift_table = _mix_cols(ion1_raw.reshape(-1, 1), np.arange(1, 6)[None, :])
    shift_bond = np.concatenate([ku, ion1_raw.shape[1] + kv])

    aro_rings = [r for r in atom_rings if all(arom[a] for a in r) and in_main[r[0]]]
    ring_full = np.zeros((nset, 1), dtype=bool) if not aro_rings else np.stack(
        [S[:, list(r)].all(1) for r in aro_rings], axis=1)
    ring_full_n = np.zeros((nset, 1), dtype=bool) if not aro_rings else np.stack(
        [neutral_bool[:, list(r)].all(1) for r in aro_rings], axis=1)

    F = np.zeros((nset, len(FEATURES)))
    is_mi = np.zeros(nset, dtype=bool)
    is_mi[0] = True
    F[:, _COL["molecular_ion"]] = is_mi
    ring_set = set_kind == _SET_MODES.index("ring")
    F[:, _COL["ring_cut"]] = ring_set
    F[:, _COL["second_generation"]] = gens == 2
    F[:, _COL["n_cuts"]] = ncut
    F[:, _COL["log_mass"]] = np.log(np.maximum(mass, 1))
    F[:, _COL["mass_fraction"]] = mass / max(mol_mz, 1)
    F[:, _COL["small_ion"]] = mass < 40
    F[:, _COL["tiny_ion"]] = mass < 26
    heavy_ion = S[:, in_main & np.array([sy != "H" for sy in sym])].sum(1) if n else np.zeros(nset)
    heavy_neutral = int(in_main.sum()) - heavy_ion
    F[:, _COL["neutral_one_heavy"]] = heavy_neutral == 1
    F[:, _COL["neutral_log_mass"]] = np.log1p(np.maximum(mol_mz - mass, 0))
    n_het = comp[:, [_EL[e] for e in ("N", "O", "S", "P", "Si") + _HALOGENS]].sum(1)
    F[:, _COL["ion_hydrocarbon"]] = n_het == 0
    n_hal = comp[:, [_EL[h] for h in _HALOGENS]].sum(1)
    dbe = comp[:, _EL["C"]] + comp[:, _EL["Si"]] - (comp[:, _EL["H"]] + n_hal) / 2 \
        + (comp[:, _EL["N"]] + comp[:, _EL["P"]]) / 2 + 1
    F[:, _COL["ion_dbe"]] = np.clip(dbe, 0, 12) / 4
    F[:, _COL["ion_dbe_per_heavy"]] = np.clip(dbe, 0, None) / np.maximum(heavy_ion, 1)
    F[:, [_COL[f] for f in dprops]] = dfeat
    F[:, _COL["all_cuts_soft"]] = (dfeat[:, dcol["soft_cuts"]] == ncut) & (ncut > 0)
    F[:, _COL["ion_N"]] = comp[:, _EL["N"]] > 0
    F[:, _COL["ion_O"]] = comp[:, _EL["O"]] > 0
    F[:, _COL["ion_S"]] = comp[:, _EL["S"]] > 0
    F[:, _COL["ion_Si"]] = comp[:, _EL["Si"]] > 0
    F[:, _COL["ion_hetero_count"]] = np.log1p(comp[:, [_EL[e] for e in ("N", "O", "S", "P", "Si")]].sum(1))
    F[:, _COL["ion_P"]] = comp[:, _EL["P"]] > 0
    F[:, _COL["ion_halogen"]] = comp[:, [_EL[h] for h in _HALOGENS]].sum(1) > 0
    F[:, _COL["ion_aromatic_ring"]] = ring_full.any(1)
    F[:, _COL["neutral_aromatic_ring"]] = ring_full_n.any(1)
    F[:, _COL["neutral_N"]] = (mol_comp[_EL["N"]] - comp[:, _EL["N"]]) > 0
    F[:, _COL["neutral_O"]] = (mol_comp[_EL["O"]] - comp[:, _EL["O"]]) > 0
    hal_cols = [_EL[h] for h in _HALOGENS]
    F[:, _COL["neutral_halogen"]] = (mol_comp[hal_cols].sum() - comp[:, hal_cols].sum(1)) > 0
    # Unsaturation the ion leaves behind, and how many whole aromatic rings it keeps.
    F[:, _COL["neutral_dbe"]] = np.clip(dbe[0] - dbe, 0, 12) / 4
    F[:, _COL["ion_aromatic_rings"]] = np.log1p(ring_full.sum(1))
    heavy_main = max(int(in_main.sum()), 1)
    c_atoms = [a for a in main if sym[a] == "C"]
    sp3 = sum(1 for a in c_atoms if atoms[a].GetHybridization() == Chem.HybridizationType.SP3)
    F[0, _COL["mi_aromatic_fraction"]] = arom_a[in_main].sum() / heavy_main
    F[0, _COL["mi_log_heavy"]] = np.log(heavy_main)
    F[0, _COL["mi_sp3_fraction"]] = sp3 / max(len(c_atoms), 1)
    F[0, _COL["mi_ether_ester"]] = flags["ether_ester"]
    F[0, _COL["mi_quaternary"]] = flags["quaternary"]
    F[0, _COL["mi_ring_fraction"]] = flags["ring_atoms"] / heavy_main
    F[0, _COL["mi_alcohol_amine"]] = flags["alcohol_amine"]

    no_other = ~comp[:, n_std:].any(1)
    F[:, _COL["ion_tms"]] = (comp[:, :n_std] == _TMS).all(1) & no_other
    F[0, _COL["mi_halogen"]] = mol_comp[[_EL[h] for h in ("Cl", "Br", "I")]].sum() > 0
    F[0, _COL["mi_silyl"]] = mol_comp[_EL["Si"]] > 0
    F[0, _COL["mi_nitro"]] = flags["nitro"]
    F[0, _COL["mi_carbonyl"]] = flags["carbonyl"]
    F[0, _COL["mi_dbe"]] = np.clip(dbe[0], 0, 12) / 4
    F[0, _COL["mi_chain"]] = min(flags["chain_carbons"], 20) / 10
    F[0, _COL["mi_small_aromatic"]] = bool(aro_rings) and heavy_main <= 12
    # Ring atoms of a cyclohexene-type ring cut next to the double bond's allylic position.
    F[:, _COL["ring_allylic"]] = ring_set & (dfeat[:, dcol["allylic"]] > 0)
    F[0, _COL["mi_amine"]] = flags["amine"]

    # Trimethylsilyl ethers: with two or more, the (CH3)2Si=O+-Si(CH3)3 ion (m/z 147) of a
    # silyl group moving to another's oxygen.
    F[0, _COL["mi_silyl_groups"]] = min(flags["silyl_ethers"], 6) / 3
    if flags["silyl_ethers"] >= 2:
        extra = np.zeros((1, F.shape[1]))
        extra[0, _COL["silyl_transfer"]] = 1
        F = np.vstack([F, extra])
        ion = np.zeros((1, comp.shape[1]), dtype=np.int64)
        ion[0, :n_std] = _SILYL_TRANSFER_ION
        comp = np.vstack([comp, ion])
        pcomp = np.vstack([pcomp, ion])
        if dlab is not None:
            dlab = np.append(dlab, 0)
        mass = np.append(mass, 147)
        label = np.append(label, 0)
        gens = np.append(gens, 2)
        modes.append("rearrangement")
        set_labels.append("Si(CH3)3 to O-Si(CH3)2")
        dbe = np.append(dbe, 0.5)
        n_het = np.append(n_het, 3)
        mcl_set, mcl_alk, mcl_aro_set, mcl_est_set = (np.append(x, 0.0)
                                                      for x in (mcl_set, mcl_alk, mcl_aro_set, mcl_est_set))
        nset += 1
    g1, g2 = gens == 1, gens == 2
    F[g1, _COL["first_log_count"]] = np.log(g1.sum()) if g1.any() else 0.0
    F[g2, _COL["second_log_count"]] = np.log(g2.sum()) if g2.any() else 0.0
    if aro_rings:
        for f in ("small_ion", "log_mass", "mass_fraction", "second_generation"):
            F[1:, _COL["arom_" + f]] = F[1:, _COL[f]]
    synthetic = np.zeros(nset, dtype=bool)
    synthetic[nmask:] = True

    # Atom sets of the named textbook routes.
    # Loss of a methyl from an aromatic ring.
    aryl_methyl = np.zeros(nset, dtype=bool)
    if methyls:
        aryl_methyl[:nmask] = (heavy_neutral == 1) & neutral_bool[:, methyls].any(1)
    # 1,2-elimination of HX from an alkyl halide: the halogen's bond cut, a hydrogen of the
    # next carbon leaves with it; the ion is the alkene radical cation.
    hx = np.zeros(nset, dtype=bool)
    if halides:
        hx[:nmask] = (heavy_neutral[:nmask] == 1) & neutral_bool[:, halides].any(1) & (gens[:nmask] == 1)
    # Alpha cleavage in a saturated carbocycle beside an exocyclic amine, alcohol, ether or
    # ketone: the ring opens at the bond to the more substituted alpha carbon, a hydrogen moves
    # to the radical site and an alkyl radical leaves; the ion keeps the heteroatom's carbon and
    # the next two ring atoms on the other side (cyclohexanol 57, cyclohexylamine 56,
    # cyclohexanone 55, menthol 71), one hydrogen short of its atoms.
    ring_alpha = np.zeros(nset, dtype=bool)
    for r in rings:
        k = len(r)
        if k < 5 or any(sym[a] != "C" or arom[a] for a in r) \
                or any(order_of[(r[i], r[(i + 1) % k])] != 1.0 for i in range(k)):
            continue
        n_in = S[:, list(r)].sum(1)
        for i, c in enumerate(r):
            hets = [x for x in nbrs[c] if sym[x] in ("N", "O") and not in_ring[x]]
            if not hets:
                continue
            for d in (1, -1):
                near, far = r[(i + d) % k], r[(i - d) % k]
                if len(nbrs[far]) >= len(nbrs[near]):
                    ring_alpha[:nmask] |= ring_set & (n_in == 3) & S[:, [c, near, r[(i + 2 * d) % k]] + hets].all(1)
    ortho_set = np.zeros(nset, dtype=bool)
    ortho_set[list(ortho_sets)] = True

    # Hydrogen-shifted neighbours (0, -1, -2, +1, +2 hydrogens) with the features that depend on the
    # shift (the others are the atom set's): the shift and McLafferty routes, the ion type of the
    # shifted composition (hydrocarbon series, onium and acyl ions, electron parity), small neutrals
    # lost, textbook ions and the named routes above.
    n_hal_mol = int(mol_comp[[_EL[h] for h in _HALOGENS]].sum())
    rep, sh, cmass, ccomp, E, nkey = _core.shifted_candidates(
        comp, mass + label, gens, dbe, n_het, F[:, _COL["ion_aromatic_ring"]], F[:, _COL["acylium"]],
        F[:, _COL["alpha_N"]] + F[:, _COL["alpha_O_S"]], mcl_set, mcl_alk, mcl_aro_set, mcl_est_set,
        aryl_methyl.view(np.uint8), hx.view(np.uint8), ring_alpha.view(np.uint8), ortho_set.view(np.uint8),
        synthetic.view(np.uint8), mol_comp, _LOSS_TABLE, _LOSS_BITS, _SILANOL, _CORE_EL_COLS, n_std, _MIN_ION_MZ,
        bool(aro_rings), bool(has_ortho), n_hal_mol >= 2, flags["benzylic_h"], flags["alpha_h"],
        flags["alpha_h_only"], flags["aryl_aldehyde"])
    # A shift of a hydrogen or two leaves the isotope pattern as it was; labelled atoms
    # add no natural-abundance isotope peaks of their own.
    iso_offset, pats = _cached_patterns(pcomp, symbols)
    pattern = pats[rep]
    if dlab is not None and dlab[0] > 0 and np.any(sh != 0):
        # A hydrogen that moves in a labelled molecule is labelled as often as the donor's
        # hydrogens are: the ion's own when it loses hydrogens, the neutral's when it gains.
        h_extra = max(int(round(extra_mass.sum() / max(int(labelled_h.sum()), 1))), 1) if extra_mass is not None else 1
        h_set = comp[rep, _EL["H"]].astype(np.float64)
        d_set = dlab[rep].astype(np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            frac = np.where(sh < 0, d_set / h_set, (dlab[0] - d_set) / (comp[0, _EL["H"]] - h_set))
        # A donor without hydrogens (a route the model allows but chemistry does not say
        # where from): the molecule's share of labelled hydrogens.
        frac = np.where(np.isfinite(frac), frac, dlab[0] / max(int(comp[0, _EL["H"]]), 1))
        frac = np.clip(frac, 0.0, 1.0)
        m_ = np.abs(sh)
        idx, js, probs = [], [], []
        for j in range(3):
            ways = np.where(m_ == 2, (1.0, 2.0, 1.0)[j], 1.0)          # binomial coefficient
            p_j = np.where(j <= m_, ways * frac ** j * (1 - frac) ** np.maximum(m_ - j, 0), 0.0)
            sel = np.nonzero(p_j > 0)[0]
            idx.append(sel)
            js.append(np.full(sel.size, j))
            probs.append(p_j[sel])
        idx, js, probs = (np.concatenate(x) for x in (idx, js, probs))
        order = np.argsort(idx, kind="stable")
        idx, js, probs = idx[order], js[order], probs[order]
        rep, sh, E, ccomp, nkey = rep[idx], sh[idx], E[idx], ccomp[idx], nkey[idx]
        cmass = cmass[idx] + np.sign(sh) * js * h_extra
        pattern = pattern[idx] * probs[:, None]
    # Per candidate: the hydrogen shift with the charge-side environment of each cut, and
    # the composition of a small neutral lost (at most six heavy atoms).
    order_s = np.argsort(shift_rows, kind="stable")
    ptr = np.concatenate([[0], np.cumsum(np.bincount(shift_rows, minlength=nset))])
    moved = np.nonzero(sh != 0)[0]
    cr, bond = _expand(moved, rep[moved], ptr, shift_bond[order_s])
    neutral = mol_comp[None, :] - ccomp
    heavy_lost = neutral[:, :n_std].sum(1) - neutral[:, _EL["H"]]
    small = np.nonzero((rep != 0) & ~neutral[:, n_std:].any(1) & (heavy_lost <= 6))[0]
    lcols = _loss_cols(nkey[small])
    if env_names is not None:
        for row, col in zip(neutral[small, :n_std], lcols.tolist()):
            env_names.setdefault(col, set()).add("loss " + (formula_of(row) if (row >= 0).all() else str(row.tolist())))
    env_cand = (np.concatenate([cr, small]), np.concatenate([shift_table[bond, sh[cr] + 2], lcols]))
    return Candidates(F=F, E=E, mz=cmass, pattern=pattern, comp=ccomp, base=rep, shift=sh,
                      generation=gens[rep], set_mode=modes, set_label=set_labels,
                      mol_mz=mol_mz + int(label[0]), iso_offset=iso_offset, symbols=symbols,
                      env_set=env_set, env_cand=env_cand)


def isotope_bins(cand: Candidates) -> np.ndarray:
    """The m/z of every entry of ``cand.pattern`` (below 0 only where the pattern is 0: clipped to 0)."""
    return np.maximum(cand.mz[:, None] + cand.iso_offset + np.arange(cand.pattern.shape[1])[None, :], 0)


def abundances(cand: Candidates, weights: np.ndarray, min_mz: int = 0):
    """Summed abundance per m/z (dict-free: m/z array and abundance array)."""
    s = np.exp(np.clip(cand.log_scores(weights), -60.0, 60.0))
    bins = isotope_bins(cand)
    a = np.bincount(bins.ravel(), (s[:, None] * cand.pattern).ravel(), minlength=int(bins.max()) + 1 if bins.size else 1)
    mz = np.nonzero(a > 0)[0]
    mz = mz[mz >= min_mz]
    return mz, a[mz], s


# Peaks below this height (square-root scale, base peak 100) are not reported.
MIN_HEIGHT = 2.0
# At most this many annotations per peak; contributions under this share of the
# peak's abundance are left out.
MAX_ANNOTATIONS = 2
MIN_ANNOTATION_SHARE = 0.1


@lru_cache(maxsize=1)
def _shipped_weights() -> np.ndarray:
    from . import _scored_weights as sw

    w = np.array([float(sw.WEIGHTS.get(f, 0.0)) for f in FEATURES])
    env = getattr(sw, "ENV_WEIGHTS", None)
    if env:
        we = np.zeros(N_ENV)
        we[list(env)] = list(env.values())
        w = np.concatenate([w, we])
    w.setflags(write=False)
    return w


def _weights() -> np.ndarray:
    """The shipped weights: the named features, then the N_ENV hashed columns when fitted."""
    return _shipped_weights().copy()


def shipped_log_scores(cand: Candidates) -> np.ndarray:
    """Every candidate's log-abundance under the shipped model: w . x, plus the shipped boosted
    trees' term of its atom set (``_scored_trees``; none when the package has no trees file)."""
    from . import _scored_trees

    w = _shipped_weights()
    terms = cand.set_terms(w)
    ls = cand.log_scores(w, terms)
    forest = _scored_trees.shipped_forest()
    if forest is not None and ls.size:
        ls += _scored_trees.forest_term(forest, cand, w, _SHIFT_COLS, terms, ls)
    return ls


def _formula_order(symbols):
    return [(symbols.index(e), e) for e in ("C", "H") + tuple(sorted(e for e in symbols if e not in ("C", "H")))]


_FORMULA_ORDER = _formula_order(_ELEMENTS)


# Formula text by composition bytes, shared by all predictions of the process.
_FORMULA_CACHE: dict[bytes, str] = {}


def formula_of(comp, symbols=_ELEMENTS) -> str:
    """Formula text of an element-count row (columns: ``symbols``): C, H, then the others alphabetically."""
    counts = comp.tolist() if hasattr(comp, "tolist") else list(comp)
    order = _FORMULA_ORDER if symbols is _ELEMENTS or tuple(symbols) == _ELEMENTS else _formula_order(tuple(symbols))
    return "".join(e if counts[i] == 1 else f"{e}{counts[i]}" for i, e in order if counts[i] > 0)


def soft_pairs_of(vif_result) -> frozenset:
    """Sorted atom pairs of the soft bonds of a ``corvane.VIF`` result."""
    return frozenset((min(s["atom_u"], s["atom_v"]), max(s["atom_u"], s["atom_v"]))
                     for s in vif_result["soft_bonds"])


@lru_cache(maxsize=1)
def _blas_pools():
    """numpy's BLAS thread pools (threadpoolctl), found once; None where they cannot be set."""
    try:
        from threadpoolctl import ThreadpoolController

        pools = ThreadpoolController().select(user_api="blas")
    except Exception:       # threadpoolctl missing or failing: threads as the caller set them
        return None
    return pools if pools.lib_controllers else None


def one_blas_thread():
    """A context in which numpy's BLAS runs on one thread.  A molecule's matrices (hundreds of
    rows, tens of columns) gain nothing from more on an idle machine, and on a busy one each
    product waits for threads the scheduler has put aside; the products sum small integers or
    read each output element on one thread either way, so the results are the same.

    Only on the main thread: where a BLAS build keeps one thread count for the whole process,
    contexts that threads enter and leave in turn would restore each other's settings and could
    leave the caller's changed."""
    pools = _blas_pools()
    if pools is None or threading.current_thread() is not threading.main_thread():
        return contextlib.nullcontext()
    return pools.limit(limits=1)


def predict_scored(smiles: str, weights: np.ndarray | None = None, vif_result: dict | None = None, mol=None):
    """The scored spectrum of one molecule (see ``corvane_spectra.predict``).

    ``vif_result``: a ``corvane.VIF(smiles, draw=False, ...)`` result already
    at hand (only its soft bonds are read); without it VIF is called once.
    ``mol``: ``Chem.MolFromSmiles(smiles)`` when the caller has it (None: read here).
    """
    if mol is None or mol.GetNumAtoms() == 0:
        mol = read_molecule(smiles)
    r = vif_result
    if r is None:
        import corvane

        r = corvane.VIF(smiles, draw=False, verbose=False)
    if isinstance(r, str):
        raise ValueError(f"unreadable SMILES: {smiles!r}")
    with one_blas_thread():
        return _scored_spectrum(smiles, mol, soft_pairs_of(r), weights)


def _scored_spectrum(smiles: str, mol, soft_pairs: frozenset, weights: np.ndarray | None):
    from .spectrum import PeakAnnotation, Spectrum

    cand = build_candidates(mol, soft_pairs)
    if cand.mz.size == 0:
        # Nothing at m/z 12 or above (H2, He): no peak to report.
        from rdkit.Chem.rdMolDescriptors import CalcMolFormula

        return Spectrum(np.array([], dtype=np.int64), np.array([]), {"smiles": smiles, "formula": CalcMolFormula(mol)},
                        annotations=[], convention="scored")
    w = _weights() if weights is None else np.asarray(weights, dtype=np.float64)
    s = np.exp(np.clip(shipped_log_scores(cand) if weights is None else cand.log_scores(w), -60.0, 60.0))
    contrib = s[:, None] * cand.pattern
    bins = isotope_bins(cand)
    top = int(bins.max()) + 1
    a = np.bincount(bins.ravel(), contrib.ravel(), minlength=top)
    if weights is None:
        from . import _peak_order

        model = _peak_order.shipped_model()
        if model is not None:       # the strongest ions in the order the shipped ranker gives them
            contrib, a = _peak_order.adjust(model, cand, contrib, bins, a, _SHIFT_COLS, MIN_HEIGHT)
    height = np.sqrt(a)
    height *= 100.0 / height.max()
    mz = np.nonzero(height >= MIN_HEIGHT)[0]
    # Annotations: the strongest contributions to each reported peak.
    flat_bin, flat_c = bins.ravel(), contrib.ravel()
    bin_max = np.zeros(top)
    np.maximum.at(bin_max, flat_bin, flat_c)
    reported = np.zeros(top, dtype=bool)
    reported[mz] = True
    keep = reported[flat_bin] & ((flat_c >= MIN_ANNOTATION_SHARE * a[flat_bin]) | (flat_c >= bin_max[flat_bin]))
    idx = np.nonzero(keep)[0]
    idx = idx[np.lexsort((-flat_c[idx], flat_bin[idx]))]
    # Rank within each peak; the first MAX_ANNOTATIONS stay.
    fb = flat_bin[idx]
    first = np.concatenate([[True], fb[1:] != fb[:-1]])
    start = np.maximum.accumulate(np.where(first, np.arange(fb.size), 0))
    idx = idx[np.arange(fb.size) - start < MAX_ANNOTATIONS]
    anns: dict[int, list] = {m: [] for m in mz.tolist()}
    formulas = _FORMULA_CACHE
    if len(formulas) > 200_000:
        formulas.clear()
    set_mode, set_label = cand.set_mode, cand.set_label
    cs, ks = np.divmod(idx, cand.pattern.shape[1])
    nominal = -cand.iso_offset
    tag = "".join(cand.symbols[len(_ELEMENTS):]).encode()
    rows = np.ascontiguousarray(cand.comp[cs], dtype=np.int64)
    keys = rows.view(np.dtype((np.void, rows.shape[1] * rows.itemsize))).ravel().tolist()   # each row's bytes
    if tag:
        keys = [k + tag for k in keys]
    fs = list(map(formulas.get, keys))
    for j in [j for j, f in enumerate(fs) if f is None]:
        if keys[j] not in formulas:
            formulas[keys[j]] = formula_of(rows[j], cand.symbols)
        fs[j] = formulas[keys[j]]
    # Mode: an isotope peak, a hydrogen-shifted ion, or the route of the candidate's atom set.
    base = cand.base[cs]
    names = ["isotope", "rearrangement"] + list(set_mode)
    codes = np.where(ks != nominal, 0, np.where(cand.shift[cs] != 0, 1, base + 2))
    make = PeakAnnotation._make
    for b_, f, code, b, gen in zip(flat_bin[idx].tolist(), fs, codes.tolist(), base.tolist(),
                                   cand.generation[cs].tolist()):
        anns[b_].append(make(f, names[code], set_label[b], gen))
    formula = formula_of(cand.comp[np.nonzero((cand.generation == 0) & (cand.shift == 0))[0][0]], cand.symbols)
    return Spectrum(mz, np.round(height[mz], 2), {"smiles": smiles, "formula": formula},
                    annotations=[anns[int(m)] for m in mz], convention="scored")
