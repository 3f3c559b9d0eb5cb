"""Self-contained interactive HTML reports of an annotation or an identification.

One HTML file holds everything: the page's script and style inline (allowed
by hash in a Content-Security-Policy that allows no network access), the
molecule's 2-D depiction as inline SVG, and the report's data as JSON in a
``<script type="application/json">`` block whose ``<``, ``>`` and ``&`` are
written as ``\\u003c``, ``\\u003e`` and ``\\u0026``.  The page's script puts
every text that comes from an input file into the page as text
(``textContent``), never as markup.

What the page shows of an annotation is built from an :class:`Annotation`
(``corvane_spectra.annotate``) and of an identification from an
:class:`Identification` (``corvane_spectra.identify``); both are read in one
place each (:func:`_annotation_source`, :func:`_candidate_row`).

Where the atoms of an ion come from: a predicted peak's annotation names the
ion's formula and its route, the cut bonds as atom labels ("C3-O2", "C1-C2 +
C5-C6" for a ring's two cuts, "A > B" for a second cut of a first cut's
side).  :func:`ion_atoms` cuts those bonds in the molecule and picks the part
whose heavy atoms are the formula's.
"""
from __future__ import annotations

import base64
import hashlib
import html
import json
import re
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from importlib import resources
from typing import Iterable

import numpy as np

from .plot import plotted_heights
from .score import STRONG_FRACTION
from .spectrum import Spectrum

# At most this many candidates of an identification get their structure and
# mirror plot in the page (the table lists them all).
MAX_DETAILED_CANDIDATES = 10
DEPICTION_SIZE = (440, 320)

_ATOM_LABEL = re.compile(r"^\s*([A-Z][a-z]?|\*)(\d+)\s*-\s*([A-Z][a-z]?|\*)(\d+)\s*$")
_FORMULA_PART = re.compile(r"([A-Z][a-z]?)(\d*)")

FIGURE_NAMES = {
    "cosine": ("cosine", "predicted intensities against the square roots of the measured ones, "
                         "m/z from the lowest measured peak up"),
    "precision": ("precision", "share of the predicted peaks that land on a strong measured peak"),
    "recall10": ("recall@10", "share of the ten strongest measured peaks that are predicted"),
    "recall10_pm1": ("recall@10±1", "the same, a predicted peak within one mass unit counting"),
    "n_predicted": ("predicted peaks", "predicted peaks from the lowest measured m/z up"),
    "n_top": ("peaks for recall", "strong measured peaks recall@10 looks at"),
}
CONVENTIONS = {
    "scored": "scored model: predicted abundances (% of the strongest)",
    "schematic": "schematic: molecular ion 100, every fragment 60",
}


# --------------------------------------------------------------------------
# Where the atoms of an ion come from


def parse_route(label: str | None) -> list[tuple[int, int]] | None:
    """The cut bonds named by a route label, as atom-index pairs (lower first).

    "C3-O2" is one cut, "C1-C2 + C5-C6" a ring's two cuts, "C1-C2 > C4-C7" a
    second cut of a side of the first; an empty label is no cut (the
    molecular ion).  None when the label names something else (a
    rearrangement described in words)."""
    if not label:
        return []
    cuts = []
    for piece in re.split(r"\s[+>]\s", label):
        m = _ATOM_LABEL.match(piece)
        if m is None:
            return None
        u, v = int(m.group(2)), int(m.group(4))
        cuts.append((min(u, v), max(u, v)))
    return cuts


def formula_counts(formula: str) -> dict[str, int] | None:
    """Element counts of a plain formula ("C7H5O"); None when it is not one."""
    if not formula or _FORMULA_PART.sub("", formula):
        return None
    out: dict[str, int] = {}
    for sym, n in _FORMULA_PART.findall(formula):
        out[sym] = out.get(sym, 0) + (int(n) if n else 1)
    return out


def ion_atoms(mol, cuts: list[tuple[int, int]] | None, formula: str, *, search: bool = False,
              soft_bonds: Iterable[int] = ()) -> list[int] | None:
    """The heavy atoms of the ion ``formula`` that cutting ``cuts`` leaves.

    ``mol``: the molecule as read from its SMILES (heavy atoms, implicit
    hydrogens; the indices of the cut labels).  A cut that names an atom
    beyond the heavy ones is a hydrogen's: it leaves the heavy skeleton
    whole.  The bonds are cut and the part whose heavy-atom composition is
    the formula's is returned (sorted indices; [] for an ion without heavy
    atoms).  When two parts have that composition the one whose hydrogens
    match too wins, then the one with the lowest atom index.  None when the
    route names a bond the molecule does not have or no part fits.

    With ``cuts`` None and ``search`` true (a route that was not recorded,
    such as a peak of the multi-generation cascade) every part that one or
    two cut bonds leave is tried: of the parts with the formula's heavy
    atoms the one with the fewest cut bonds wins, then the one with the
    fewest cut bonds that are not single, then the one with the fewest cut
    bonds outside ``soft_bonds`` (bond indices); None when that leaves a
    tie or no part fits."""
    counts = formula_counts(formula)
    if counts is None:
        return None
    heavy_want = {e: c for e, c in counts.items() if e != "H" and c}
    if cuts is None:
        return _search_parts(mol, heavy_want, set(soft_bonds)) if search and heavy_want else None
    n = mol.GetNumAtoms()
    if not heavy_want:
        return []
    cut_set = set()
    for u, v in cuts:
        if u >= n or v >= n:
            if u < n or v < n:      # a hydrogen's bond: nothing of the skeleton is cut
                continue
            return None
        b = mol.GetBondBetweenAtoms(u, v)
        if b is None:
            return None
        cut_set.add(b.GetIdx())
    edges = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds() if b.GetIdx() not in cut_set]
    fits, loose = [], []
    for atoms in _components(n, edges):
        comp = _heavy_composition(mol, atoms)
        hydrogens = sum(mol.GetAtomWithIdx(a).GetTotalNumHs() for a in atoms)
        key = (hydrogens != counts.get("H", 0), atoms[0])
        if comp == heavy_want:
            fits.append((key, atoms))
        elif {e: c for e, c in comp.items() if e in _WRITTEN_ELEMENTS} == heavy_want:
            # Elements some formula writers leave out (a metal, boron, selenium) do not decide.
            loose.append((key, atoms))
    best = min(fits or loose, default=None)
    return sorted(best[1]) if best else None


# The elements every formula of a predicted peak names.
_WRITTEN_ELEMENTS = frozenset(("C", "N", "O", "S", "F", "Cl", "Br", "I", "P", "Si"))


def _heavy_composition(mol, atoms) -> dict[str, int]:
    comp: dict[str, int] = {}
    for a in atoms:
        at = mol.GetAtomWithIdx(a)
        if at.GetAtomicNum() > 1:
            comp[at.GetSymbol()] = comp.get(at.GetSymbol(), 0) + 1
    return comp


def _components(n: int, edges) -> list[tuple[int, ...]]:
    parent = list(range(n))

    def find(a):
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    for u, v in edges:
        ru, rv = find(u), find(v)
        if ru != rv:
            parent[max(ru, rv)] = min(ru, rv)
    parts: dict[int, list[int]] = {}
    for a in range(n):
        parts.setdefault(find(a), []).append(a)
    return [tuple(p) for p in parts.values()]


# Molecules with more bonds than this are not searched (the pairs of cuts grow
# with the square of the bond count).
_SEARCH_MAX_BONDS = 120


def _search_parts(mol, heavy_want: dict, soft: set) -> list[int] | None:
    from rdkit import Chem

    bonds = [(b.GetIdx(), b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    if len(bonds) > _SEARCH_MAX_BONDS:
        return None
    n = mol.GetNumAtoms()
    found: set[tuple[int, ...]] = set()
    for k in range(len(bonds)):
        for j in range(k, len(bonds)):
            cut = {k, j}
            for part in _components(n, [(u, v) for i, u, v in bonds if i not in cut]):
                if len(part) < n and _heavy_composition(mol, part) == heavy_want:
                    found.add(part)
    single = {b.GetIdx() for b in mol.GetBonds() if b.GetBondType() == Chem.BondType.SINGLE}

    def cost(part):
        inside = set(part)
        cut = [i for i, u, v in bonds if (u in inside) != (v in inside)]
        return (len(cut), sum(i not in single for i in cut), sum(i not in soft for i in cut))

    ranked = sorted((cost(p), p) for p in found)
    if not ranked or (len(ranked) > 1 and ranked[0][0] == ranked[1][0]):
        return None
    return sorted(ranked[0][1])


def _nominal_mass(counts: dict[str, int]) -> int | None:
    from rdkit import Chem

    pt = Chem.GetPeriodicTable()
    total = 0
    for sym, c in counts.items():
        try:
            total += c * pt.GetMostCommonIsotope(pt.GetAtomicNumber(sym))
        except Exception:
            return None
    return total


# --------------------------------------------------------------------------
# The molecule: depiction and ions


@dataclass
class _Molecule:
    mol: object
    svg: str
    soft_bonds: list[int]
    soft_note: str


def _molecule(smiles: str | None, convention: str | None = None) -> _Molecule | None:
    """The molecule whose atom indices the routes of a prediction name.

    The scored model counts hydrogens written as atoms of their own (isotope
    labels such as [2H]) as hydrogens of their heavy neighbour and numbers
    the remaining atoms in order; its routes are read on that molecule."""
    if not smiles:
        return None
    from .scored import read_molecule

    try:
        mol = read_molecule(smiles)
    except (ValueError, TypeError):
        return None
    new_index = None
    if convention == "scored":
        from .scored import fold_hydrogen_atoms

        mol, new_index = fold_hydrogen_atoms(mol)
    soft, note = _soft_bonds(smiles, mol, new_index)
    return _Molecule(mol, _depiction(mol, soft), soft, note)


def _soft_bonds(smiles: str, mol, new_index: dict | None = None) -> tuple[list[int], str]:
    """Bond indices (in ``mol``) of the soft bonds of the VIF analysis
    (``new_index``: the VIF molecule's atom indices renumbered for ``mol``)."""
    try:
        import corvane

        r = corvane.VIF(smiles, draw=False, verbose=False)
    except Exception as e:  # the report is still worth having without them
        return [], f"soft bonds not available ({type(e).__name__})"
    if isinstance(r, str):
        return [], "soft bonds not available"
    out = set()
    for s in r["soft_bonds"]:
        u, v = int(s["atom_u"]), int(s["atom_v"])
        if new_index is not None:
            if u not in new_index or v not in new_index:
                continue
            u, v = new_index[u], new_index[v]
        if max(u, v) < mol.GetNumAtoms():
            b = mol.GetBondBetweenAtoms(u, v)
            if b is not None:
                out.add(b.GetIdx())
    return sorted(out), ""


_SVG_TAGS = {"svg", "rect", "path", "ellipse", "circle", "line", "polyline", "polygon", "g", "text", "tspan"}
_SVG_ATTRS = {"class", "d", "x", "y", "width", "height", "viewBox", "cx", "cy", "r", "rx", "ry", "x1", "y1",
              "x2", "y2", "points", "transform", "fill", "fill-rule", "fill-opacity", "stroke", "stroke-width",
              "stroke-linecap", "stroke-linejoin", "stroke-opacity", "stroke-dasharray", "opacity",
              "font-size", "font-family", "font-weight", "text-anchor", "dominant-baseline"}
# Values every SVG element has anyway: left out to keep the page small.
_SVG_DEFAULTS = {("stroke-linecap", "butt"), ("stroke-linejoin", "miter"), ("stroke-opacity", "1"),
                 ("fill-opacity", "1"), ("opacity", "1"), ("opacity", "1.0")}
_STYLE_VALUE = re.compile(r"^[#\w.,%\s()-]*$")


def _clean_svg(svg_text: str) -> str:
    """The depiction's SVG with only drawing elements and attributes kept.

    Inline ``style`` attributes become presentation attributes, which the
    page's Content-Security-Policy allows (it allows no inline style)."""
    root = ET.fromstring(svg_text.encode("utf-8") if not svg_text.startswith("<?xml") else
                         re.sub(r"^<\?xml[^>]*\?>", "", svg_text).encode("utf-8"))
    out: list[str] = []

    def walk(node):
        tag = node.tag.rsplit("}", 1)[-1]
        if tag not in _SVG_TAGS:
            return
        attrs = {}
        for k, v in node.attrib.items():
            k = k.rsplit("}", 1)[-1]
            if k == "style":
                for decl in v.split(";"):
                    if ":" in decl:
                        pk, pv = (x.strip() for x in decl.split(":", 1))
                        if pk in _SVG_ATTRS and _STYLE_VALUE.match(pv) and (pk, pv) not in _SVG_DEFAULTS:
                            attrs.setdefault(pk, pv)
            elif k in _SVG_ATTRS:
                attrs[k] = v
        text = "".join(f' {k}="{html.escape(v, quote=True)}"' for k, v in attrs.items())
        out.append(f"<{tag}{text}>")
        if node.text and node.text.strip() and tag in ("text", "tspan"):
            out.append(html.escape(node.text))
        for child in node:
            walk(child)
        out.append(f"</{tag}>")

    walk(root)
    return "".join(out)


def _depiction(mol, soft_bonds: Iterable[int]) -> str:
    """The 2-D depiction as SVG, with a layer of halos under the drawing (for
    highlighting), the soft bonds marked, and a layer of targets over it
    (``data-atom`` / ``data-bond``) to point at atoms and bonds."""
    from rdkit import Chem
    from rdkit.Chem import rdDepictor
    from rdkit.Chem.Draw import rdMolDraw2D

    m = Chem.Mol(mol)
    rdDepictor.Compute2DCoords(m)
    w, h = DEPICTION_SIZE
    d = rdMolDraw2D.MolDraw2DSVG(w, h)
    d.drawOptions().padding = 0.08
    d.DrawMolecule(m)
    d.FinishDrawing()
    body = _clean_svg(d.GetDrawingText())
    xy = [tuple(d.GetDrawCoords(i)) for i in range(m.GetNumAtoms())]
    bonds = [(b.GetIdx(), b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in m.GetBonds()]
    if len(xy) > 1:
        spans = [((xy[u][0] - xy[v][0]) ** 2 + (xy[u][1] - xy[v][1]) ** 2) ** 0.5 for _, u, v in bonds]
        unit = float(np.median(spans)) if spans else 30.0
    else:
        unit = 30.0
    r_atom = max(4.0, min(14.0, 0.3 * unit))

    def line(cls, k, u, v, extra=""):
        (x1, y1), (x2, y2) = xy[u], xy[v]
        return (f'<line class="{cls}" data-bond="{k}" x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" '
                f'y2="{y2:.1f}"{extra}></line>')

    def circle(cls, i, r, extra=""):
        x, y = xy[i]
        return f'<circle class="{cls}" data-atom="{i}" cx="{x:.1f}" cy="{y:.1f}" r="{r:.1f}"{extra}></circle>'

    halos = "".join(line("bond-halo", k, u, v) for k, u, v in bonds)
    halos += "".join(circle("atom-halo", i, r_atom) for i in range(len(xy)))
    soft = set(soft_bonds)
    marks = "".join(line("soft-mark", k, u, v) for k, u, v in bonds if k in soft)
    numbers = "".join(
        f'<text class="atom-number" x="{x + 0.32 * unit:.1f}" y="{y - 0.22 * unit:.1f}">{i}</text>'
        for i, (x, y) in enumerate(xy))
    sym = [a.GetSymbol() for a in m.GetAtoms()]
    hits = "".join(line("bond-hit", k, u, v,
                        f' tabindex="0" role="button" aria-label="bond {sym[u]}{u}-{sym[v]}{v}"')
                   for k, u, v in bonds)
    hits += "".join(circle("atom-hit", i, r_atom, f' tabindex="0" role="button" aria-label="atom {sym[i]}{i}"')
                    for i in range(len(xy)))
    # The halos go under the drawing (after its white background), the rest over it.
    first_close = body.find("</rect>")
    insert_at = first_close + len("</rect>") if first_close >= 0 else body.find(">") + 1
    body = (body[:insert_at] + f'<g class="halos">{halos}</g>' + body[insert_at:])
    end = body.rfind("</svg>")
    body = (body[:end] + f'<g class="soft-marks">{marks}</g><g class="atom-numbers">{numbers}</g>'
            f'<g class="hits">{hits}</g>' + body[end:])
    return body.replace("<svg", '<svg class="structure" role="img" aria-label="2-D structure"', 1)


# --------------------------------------------------------------------------
# Adapters: the only places that read annotate / identify results


@dataclass
class _Source:
    measured: Spectrum
    predicted: Spectrum
    figures: dict
    strong_mz: set


def _annotation_source(ann) -> _Source:
    """What the page needs of an ``Annotation``."""
    strong = {int(p.mz) for p in ann.peaks if p.strong}
    return _Source(ann.measured, ann.predicted, dict(ann.figures), strong)


def _candidate_row(c, measured: Spectrum, predicted: Spectrum | None, strong_mz: set) -> dict:
    """One row of the candidates' table from an identify ``Candidate``: its
    explained peaks (m/z, formula, isotope note), whether its molecular ion
    was measured, and the flags raised when that ion contradicts the
    spectrum.  Where the candidate lacks them they are counted here from its
    spectrum."""
    from .identify import FLAG_TEXT

    explained = getattr(c, "explained", None)
    mol_ion = getattr(c, "molecular_ion", None)
    measured_mz = {int(m) for m, i in zip(measured.mz.tolist(), measured.intensity.tolist()) if i > 0}
    if explained is None and predicted is not None:
        pred_mz = {int(m) for m, i in zip(predicted.mz.tolist(), predicted.intensity.tolist()) if i > 0}
        explained = [(m, "", "") for m in sorted(strong_mz & pred_mz)]
    if mol_ion is None and predicted is not None:
        mol_ion = _molecular_ion_mz(predicted)
    formulas = [_text(iso or formula) for _m, formula, iso in (explained or []) if formula]
    return {"rank": int(c.rank), "score": _num(c.score), "matches": int(c.matches),
            "explained": None if explained is None else len(explained),
            "explained_ions": [{"mz": int(m), "formula": _text(iso or formula)} for m, formula, iso in explained or []],
            "explained_formulas": formulas,
            "molecular_ion": None if mol_ion is None else int(mol_ion) in measured_mz,
            "contradiction": "; ".join(_text(FLAG_TEXT.get(f, f)) for f in getattr(c, "flags", None) or []),
            "name": _text(c.name), "smiles": _text(c.smiles),
            "precision": _num(getattr(c, "precision", None)), "recall10": _num(getattr(c, "recall10", None))}


def _molecular_ion_mz(s: Spectrum) -> int | None:
    if s.annotations is not None:
        for m, anns in zip(s.mz.tolist(), s.annotations):
            if any(getattr(a, "mode", None) == "molecular_ion" for a in anns):
                return int(m)
    counts = formula_counts(s.metadata.get("formula") or "")
    return _nominal_mass(counts) if counts else None


# --------------------------------------------------------------------------
# The page's data


def _num(x) -> float | None:
    if x is None:
        return None
    try:
        x = float(x)
    except (TypeError, ValueError):
        return None
    return None if x != x or x in (float("inf"), float("-inf")) else x


def _text(x) -> str | None:
    return None if x is None else str(x)


def _metadata(s: Spectrum) -> list[list[str]]:
    """The record's metadata as (key, text) pairs: name, accession, licence first."""
    md = s.metadata
    first = [("name", "name"), ("id", "accession"), ("license", "licence"), ("source", "source"),
             ("smiles", "SMILES"), ("formula", "formula"), ("inchikey", "InChIKey")]
    out = [[label, str(md[k])] for k, label in first if md.get(k) not in (None, "")]
    seen = {k for k, _ in first}
    for k, v in md.items():
        if k in seen or v in (None, ""):
            continue
        if isinstance(v, (list, tuple)):
            v = "; ".join(str(x) for x in v)
        out.append([str(k), str(v)])
    return out


def _relative(s: Spectrum) -> list[float]:
    """Intensities as % of the base peak (0 where that is not a finite number)."""
    finite = [float(i) for i in s.intensity.tolist() if np.isfinite(i)]
    base = max(finite, default=0.0)
    return [round(100.0 * float(i) / base, 3) if base > 0 and np.isfinite(i) else 0.0
            for i in s.intensity.tolist()]


def _route_text(mode: str, label: str | None, cuts) -> str:
    if mode == "molecular_ion" or (cuts == [] and not label):
        return "molecular ion"
    if cuts is None:
        return label or ("multi-generation cascade (route not recorded)" if mode == "recursive" else mode)
    if not cuts:
        return "no cut"
    if label and " > " in label:
        a, b = label.split(" > ", 1)
        return f"cut {a}, then {b}"
    if label and " + " in label:
        return f"ring cut {label}"
    return f"cut {label}"


def _bond_label(mol, k: int) -> str:
    b = mol.GetBondWithIdx(k)
    u, v = sorted((b.GetBeginAtomIdx(), b.GetEndAtomIdx()))
    return f"{mol.GetAtomWithIdx(u).GetSymbol()}{u}-{mol.GetAtomWithIdx(v).GetSymbol()}{v}"


def _ions(anns, mz: int, mol, table: list, index: dict, soft=()) -> list[list[int]]:
    """A peak's ions as [row of the view's ion table, isotope offset] pairs."""
    out = []
    for a in anns or []:
        formula = str(getattr(a, "formula", "") or "")
        mode = str(getattr(a, "mode", "") or "")
        label = getattr(a, "bond", None)
        label = None if label is None else str(label)
        gen = getattr(a, "generation", None)
        key = (formula, mode, label, gen)
        if key not in index:
            if mode == "molecular_ion" or (label is None and gen == 0):
                cuts = []           # the molecular ion, or its hydrogen-shifted or isotope peaks
            else:
                cuts = parse_route(label) if label else None
            atoms = None
            if mol is not None:
                atoms = ion_atoms(mol, cuts, formula, search=cuts is None, soft_bonds=soft)
            counts = formula_counts(formula)
            shift = None
            cut_bonds: list[int] = []
            if mol is not None and atoms is not None:
                shift = (counts or {}).get("H", 0) - sum(mol.GetAtomWithIdx(i).GetTotalNumHs() for i in atoms)
            if mol is not None and cuts:
                for u, v in cuts:
                    if max(u, v) < mol.GetNumAtoms():
                        b = mol.GetBondBetweenAtoms(u, v)
                        if b is not None:
                            cut_bonds.append(b.GetIdx())
            elif mol is not None and cuts is None and atoms:
                # A route found from the formula cuts the bonds the ion shares with the rest.
                inside = set(atoms)
                cut_bonds = [b.GetIdx() for b in mol.GetBonds()
                             if (b.GetBeginAtomIdx() in inside) != (b.GetEndAtomIdx() in inside)]
            if cuts is None and atoms is not None and cut_bonds:
                route = "cut " + " + ".join(_bond_label(mol, b) for b in cut_bonds) + " (route found from the formula)"
            else:
                route = _route_text(mode, label, cuts)
            index[key] = (len(table), _nominal_mass(counts) if counts else None)
            table.append({"formula": formula, "mode": mode, "route": route,
                          "generation": None if gen is None else int(gen),
                          "atoms": atoms, "cuts": cut_bonds, "shift": shift})
        row, nominal = index[key]
        out.append([row, (mz - nominal) if mode == "isotope" and nominal is not None else 0])
    return out


def _columns(rows: list[dict]) -> dict:
    """Rows of one shape as one list per key (the page turns them back into rows)."""
    keys = list(rows[0]) if rows else []
    return {"n": len(rows), "cols": {k: [r[k] for r in rows] for k in keys}}


def _atom_set(atoms: list[int] | None) -> str | None:
    """Atom indices as hexadecimal digits of four atoms each, lowest first
    ("3" is atoms 0 and 1; "01" is atom 4)."""
    if atoms is None:
        return None
    digits = [0] * ((max(atoms) // 4 + 1) if atoms else 0)
    for a in atoms:
        digits[a // 4] |= 1 << (a % 4)
    return "".join("0123456789abcdef"[d] for d in digits)


def _view(src: _Source, *, title: str | None, smiles: str | None, mol_slot: int | None,
          molecule: _Molecule | None) -> dict:
    measured, predicted = src.measured, src.predicted
    m_rel = dict(zip(measured.mz.tolist(), _relative(measured)))
    # Both sides on one linear scale of relative intensity, as the mirror plot draws them.
    p_rel = dict(zip(predicted.mz.tolist(),
                     (round(float(x), 3) if np.isfinite(x) else 0.0
                      for x in plotted_heights(predicted, "linear", predicted=True).tolist())))
    p_ann = dict(zip(predicted.mz.tolist(), predicted.annotations)) if predicted.annotations is not None else {}
    all_mz = sorted({m for m, v in m_rel.items() if v > 0} | {m for m, v in p_rel.items() if v > 0})
    ions: list[dict] = []
    ion_index: dict = {}
    mol = molecule.mol if molecule else None
    peaks = []
    for m in all_mz:
        meas, pred = m_rel.get(m), p_rel.get(m)
        peaks.append({"mz": int(m), "measured": meas if meas else None, "predicted": pred if pred else None,
                      "strong": m in src.strong_mz,
                      "ions": _ions(p_ann.get(m), int(m), mol, ions, ion_index,
                                     molecule.soft_bonds if molecule else ()) if pred else []})
    figures = []
    for key, value in src.figures.items():
        name, note = FIGURE_NAMES.get(key, (str(key), ""))
        if isinstance(value, (int, float, np.floating, np.integer)) and not isinstance(value, bool):
            figures.append({"key": str(key), "name": name, "note": note, "value": _num(value),
                            "integer": isinstance(value, (int, np.integer))})
    convention = predicted.convention or "predicted"
    return {
        "title": _text(title or measured.name or measured.metadata.get("id") or smiles or "spectrum"),
        "metadata": _metadata(measured),
        "smiles": _text(smiles),
        "convention": convention,
        "convention_text": CONVENTIONS.get(convention, convention),
        "figures": figures,
        "score": next((f for f in figures if f["key"] == "cosine"), None),
        "peaks": _columns(peaks),
        "ions": _columns([{**ion, "atoms": _atom_set(ion["atoms"])} for ion in ions]),
        "mol": mol_slot,
        "soft_bonds": molecule.soft_bonds if molecule else [],
        "soft_note": molecule.soft_note if molecule else "",
        "atom_symbols": [a.GetSymbol() for a in mol.GetAtoms()] if mol is not None else [],
        "bond_atoms": [[b.GetBeginAtomIdx(), b.GetEndAtomIdx()] for b in mol.GetBonds()] if mol is not None else [],
    }


# --------------------------------------------------------------------------
# The page


def _asset(name: str) -> str:
    return resources.files("corvane_spectra").joinpath("report_assets", name).read_text(encoding="utf-8")


def _json_block(obj) -> str:
    text = json.dumps(obj, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    return (text.replace("&", "\\u0026").replace("<", "\\u003c").replace(">", "\\u003e")
            .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029"))


def _sha256(text: str) -> str:
    return "sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii")


def _page(data: dict, structures: list[str], title: str) -> str:
    script = _asset("report.js")
    style = _asset("report.css")
    csp = ("default-src 'none'; "
           f"script-src '{_sha256(script)}'; style-src '{_sha256(style)}'; "
           "img-src 'none'; connect-src 'none'; font-src 'none'; object-src 'none'; "
           "base-uri 'none'; form-action 'none'")
    mols = "".join(f'<div class="mol" data-slot="{k}" hidden>{svg}</div>' for k, svg in enumerate(structures))
    try:
        from importlib.metadata import version

        made_by = f"corvane {version('corvane')}"
    except Exception:
        made_by = "corvane"
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="{csp}">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="generator" content="{html.escape(made_by)}">
<title>{html.escape(title)}</title>
<style>{style}</style>
</head>
<body>
<header>
<h1 id="title"></h1>
<p id="subtitle" class="sub"></p>
</header>
<main>
<section id="candidates" class="panel" hidden>
<h2>Candidates</h2>
<p class="hint">Select a candidate (click, or Tab to it and press Enter) to see its structure and mirror plot.</p>
<div class="scroll"><table id="cand-table" class="data"><thead></thead><tbody></tbody></table></div>
<p id="failed" class="note"></p>
</section>
<div class="top">
<section id="record" class="panel"><h2>Record</h2><dl id="meta"></dl></section>
<section id="scores" class="panel"><h2>Score</h2><div id="score"></div><dl id="figures"></dl></section>
</div>
<div class="views">
<section id="plot-panel" class="panel">
<h2>Mirror plot</h2>
<div id="plot"></div>
<p id="scale" class="note"></p>
<p class="hint">Hover over or Tab to a peak to see its ions (the arrow keys step from peak to peak); click or
press Enter to keep the selection; Esc clears it.</p>
</section>
<section id="mol-panel" class="panel">
<h2>Structure</h2>
<div id="mols">{mols}</div>
<p id="no-structure" class="note" hidden>No structure: the prediction has no readable SMILES.</p>
<p class="legend"><span class="key key-ion"></span> atoms and bonds of the ion
<span class="key key-cut"></span> cut bonds
<span class="key key-soft"></span> soft bonds (VIF analysis)</p>
<p class="hint"><label><input type="checkbox" id="numbers"> atom numbers</label></p>
<p class="hint">Click an atom to see the peaks whose ions keep it, a bond for the peaks whose routes cut it.</p>
</section>
</div>
<section id="details" class="panel" aria-live="polite"><h2>Selection</h2><div id="detail"></div></section>
<section id="peaks" class="panel">
<h2>Peaks</h2>
<div class="scroll"><table id="peak-table" class="data"><thead></thead><tbody></tbody></table></div>
</section>
</main>
<footer><p>Made by {html.escape(made_by)}. This file needs no network access: everything it shows is inside it.</p></footer>
<script type="application/json" id="report-data">{_json_block(data)}</script>
<script>{script}</script>
</body>
</html>
"""


def annotation_html(ann, *, title: str | None = None) -> str:
    """The interactive report of an ``Annotation`` as one HTML text."""
    src = _annotation_source(ann)
    smiles = src.predicted.smiles
    molecule = _molecule(smiles, src.predicted.convention)
    view = _view(src, title=title, smiles=smiles, mol_slot=0 if molecule else None, molecule=molecule)
    data = {"kind": "annotate", "views": [view], "candidates": None, "failed": []}
    return _page(data, [molecule.svg] if molecule else [], "corvane annotation: " + view["title"])


def identification_html(result, measured: Spectrum | None = None, *, model=None,
                        title: str | None = None, detailed: int = MAX_DETAILED_CANDIDATES) -> str:
    """The interactive report of an ``Identification`` as one HTML text.

    ``measured``: the query spectrum (default: the one the identification
    kept).  Candidates whose predicted spectrum was not kept are predicted
    again with ``model`` (default: the identification's model)."""
    from .annotate import annotate
    from .models import DEFAULT_MODEL, run_model

    measured = measured if measured is not None else getattr(result, "measured", None)
    if not isinstance(measured, Spectrum):
        raise TypeError("the report of an identification needs the measured spectrum (measured=...)")
    model = model or getattr(result, "model", None) or DEFAULT_MODEL
    views, structures, rows = [], [], []
    base = measured.base_peak()
    strong = {int(m) for m, i in zip(measured.mz.tolist(), measured.intensity.tolist())
              if base > 0 and i >= STRONG_FRACTION * base}
    for k, c in enumerate(result.candidates):
        spectrum = getattr(c, "spectrum", None)
        if spectrum is None and c.smiles and k < detailed:
            try:
                spectrum = run_model(model, c.smiles)
            except Exception:
                spectrum = None
        row = _candidate_row(c, measured, spectrum, strong)
        row["view"] = None
        if spectrum is not None and k < detailed:
            ann = annotate(measured, spectrum)
            molecule = _molecule(c.smiles or spectrum.smiles, spectrum.convention)
            slot = None
            if molecule is not None:
                slot = len(structures)
                structures.append(molecule.svg)
            row["view"] = len(views)
            views.append(_view(_annotation_source(ann), title=title, smiles=c.smiles or spectrum.smiles,
                               mol_slot=slot, molecule=molecule))
        rows.append(row)
    failed = [[str(a), str(b)] for a, b in getattr(result, "failed", [])]
    label = title or measured.name or measured.metadata.get("id") or "spectrum"
    data = {"kind": "identify", "views": views, "candidates": rows, "failed": failed,
            "score_name": str(getattr(result, "similarity", "") or ""),
            "query": {"title": _text(label), "metadata": _metadata(measured)}}
    return _page(data, structures, "corvane identification: " + str(label))


def write_html(text: str, path) -> None:
    """Writes a report through a temporary file, so a failure leaves no half file."""
    from ._atomic import atomic_file

    with atomic_file(path) as f:
        f.write(text.encode("utf-8"))
