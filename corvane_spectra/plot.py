"""Head-to-tail (mirror) plots of a measured against a predicted spectrum,
and the figure of an evaluation run.

Colours are the Okabe-Ito palette, which stays distinguishable under every
common colour-vision deficiency; meanings are given by a legend, never by
colour alone (isotope peaks are dotted, ions outside the compared range grey
over a shaded band).
"""
from __future__ import annotations

import io as _io
from dataclasses import dataclass

import numpy as np

from .spectrum import Spectrum

# Okabe & Ito, "Color Universal Design" (2008).
OKABE_ITO = {
    "black": "#000000", "orange": "#E69F00", "sky_blue": "#56B4E9", "bluish_green": "#009E73",
    "yellow": "#F0E442", "blue": "#0072B2", "vermillion": "#D55E00", "reddish_purple": "#CC79A7",
}
MEASURED_COLOUR = OKABE_ITO["blue"]
PREDICTED_COLOUR = OKABE_ITO["vermillion"]
MATCHED_COLOUR = OKABE_ITO["bluish_green"]
OUTSIDE_COLOUR = "#9a9a9a"       # predicted ions below the lowest measured m/z: not compared
ISOTOPE_STYLE = (0, (1.2, 1.2))  # dotted sticks
# One colour per predictor, the same in every figure and every run.
PREDICTOR_COLOURS = {
    "scored": OKABE_ITO["vermillion"], "schematic": OKABE_ITO["orange"],
    "all_cuts": OKABE_ITO["sky_blue"], "random": OKABE_ITO["black"],
}
OTHER_PREDICTOR_COLOUR = OKABE_ITO["reddish_purple"]
PREDICTOR_NAMES = {"all_cuts": "all cuts (baseline)", "random": "random cuts (baseline)"}

HEADROOM = 1.45      # y-limits as a multiple of the tallest stick (room for labels)
LABEL_FONTSIZE = 7
KEY_COLUMN = 0.2     # share of the axes' width kept free of sticks for the structure and the legend
SCORED_LABELS = 8    # predicted peaks labelled when the prediction has real intensities
SCALES = ("linear", "sqrt")


def predictor_colour(name: str) -> str:
    """The colour of a predictor ("scored", "schematic", "all_cuts", "random"; any other name
    gets one shared colour)."""
    return PREDICTOR_COLOURS.get(name, OTHER_PREDICTOR_COLOUR)


@dataclass
class _Label:
    text: str
    x: float          # data x (m/z)
    y: float          # data y of the stick tip
    up: bool          # above the tip (measured side) or below (predicted side)
    colour: str
    priority: float


def _relative(s: Spectrum) -> np.ndarray:
    base = s.base_peak() if len(s) else 0.0
    return s.intensity * (100.0 / base) if base > 0 else np.zeros_like(s.intensity)


def plotted_heights(s: Spectrum, scale: str = "linear", *, predicted: bool = False) -> np.ndarray:
    """Stick heights of ``s`` on ``scale`` (base peak 100).

    ``"linear"``: relative intensity, as libraries print spectra; ``"sqrt"``:
    square roots of relative intensity, the scale the workbench's cosine
    compares on.  A predicted spectrum of the "scored" convention holds square
    roots of abundances already and is squared for the linear scale; the
    "schematic" convention's heights are markers, not intensities, and are
    drawn as they are on either scale."""
    if scale not in SCALES:
        raise ValueError(f"scale must be one of {', '.join(SCALES)}, not {scale!r}")
    rel = _relative(s)
    conv = s.convention if predicted else None
    if conv == "schematic":
        return rel
    if conv == "scored":
        return rel * rel / 100.0 if scale == "linear" else rel
    return rel if scale == "linear" else np.sqrt(rel * 100.0)


def score_caption(measured: Spectrum, predicted: Spectrum) -> str:
    """The score line of a mirror plot: the cosine the workbench reports, what
    it weighs and where it cuts, and the number of matched peaks."""
    from .score import lowest_mz, similarity

    lo = lowest_mz(measured)
    s = similarity(measured, predicted, intensity_power=0.5, reference_intensity_power=1.0, min_mz=lo)
    # No-break spaces keep "m/z >= N" on one line when a narrow title wraps.
    return (f"cosine {s.cosine:.2f} (\u221ameasured vs predicted heights, no m/z weight, m/z\u00a0\u2265\u00a0{lo})"
            f" \u00b7 {s.matches} matched peak{'' if s.matches == 1 else 's'}")


# ------------------------------------------------------------------ labels

def _renderer(fig):
    canvas = fig.canvas
    get = getattr(canvas, "get_renderer", None)
    if get is not None:
        return get()
    return fig._get_renderer()


def _overlaps(b, boxes, pad: float) -> bool:
    for o in boxes:
        if b.x0 < o.x1 + pad and o.x0 < b.x1 + pad and b.y0 < o.y1 + pad and o.y0 < b.y1 + pad:
            return True
    return False


def _inside(b, box) -> bool:
    return b.x0 >= box.x0 and b.x1 <= box.x1 and b.y0 >= box.y0 and b.y1 <= box.y1


def _hits_sticks(b, sticks: np.ndarray, pad: float) -> bool:
    """Whether box ``b`` touches a vertical segment of ``sticks`` (rows x, y_low, y_high, display units)."""
    if sticks.size == 0:
        return False
    x, y0, y1 = sticks[:, 0], sticks[:, 1], sticks[:, 2]
    return bool(np.any((x > b.x0 - pad) & (x < b.x1 + pad) & (y1 > b.y0 - pad) & (y0 < b.y1 + pad)))


def _segment_hits_box(p, q, b, pad: float) -> bool:
    """Whether the segment p-q passes through box ``b`` grown by ``pad`` (Liang-Barsky clipping)."""
    x0, y0 = p
    dx, dy = q[0] - x0, q[1] - y0
    t0, t1 = 0.0, 1.0
    for d, lo, hi, s in ((dx, b.x0 - pad, b.x1 + pad, x0), (dy, b.y0 - pad, b.y1 + pad, y0)):
        if d == 0.0:
            if s < lo or s > hi:
                return False
            continue
        a, c = (lo - s) / d, (hi - s) / d
        if a > c:
            a, c = c, a
        t0, t1 = max(t0, a), min(t1, c)
        if t0 > t1:
            return False
    return True


def stick_segments(ax) -> np.ndarray:
    """The vertical sticks of ``ax``'s line collections in display units: rows (x, y_low, y_high)."""
    rows = []
    for coll in ax.collections:
        get = getattr(coll, "get_segments", None)
        if get is None:
            continue
        for seg in get():
            seg = np.asarray(seg, dtype=float)
            if seg.shape != (2, 2) or seg[0, 0] != seg[1, 0]:
                continue
            (x, ya), (_, yb) = ax.transData.transform(seg)
            rows.append((x, min(ya, yb), max(ya, yb)))
    return np.array(rows, dtype=float).reshape(-1, 3)


def place_labels(ax, labels: list[_Label], *, obstacles=(), sticks: np.ndarray | None = None,
                 pad_px: float = 1.5, max_levels: int = 60, fontsize: float = LABEL_FONTSIZE) -> list:
    """Place text labels at stick tips so that none touches another label, a
    stick, an obstacle artist or another label's leader line, and none leaves
    the axes.  Labels go in priority order; each tries the position straight
    above (below) its tip, then positions shifted sideways, at growing
    distances; a label set away from its tip gets a thin leader line, which
    must not cross a placed label either.  A label with no free position is
    left out.  ``sticks``: rows (x, y_low, y_high) in display units (default:
    the axes' vertical line collections).  Returns the placed Text artists."""
    fig = ax.figure
    renderer = _renderer(fig)
    axbox = ax.get_window_extent(renderer)
    to_data = ax.transData.inverted()
    if sticks is None:
        sticks = stick_segments(ax)
    placed_boxes: list = [o.get_window_extent(renderer) for o in obstacles]
    leaders: list = []
    placed = []
    px_per_pt = fig.dpi / 72.0
    for lab in sorted(labels, key=lambda lab: -lab.priority):
        t = ax.text(lab.x, lab.y, lab.text, fontsize=fontsize, color=lab.colour,
                    ha="center", va="bottom" if lab.up else "top", zorder=5, clip_on=False)
        tip = ax.transData.transform((lab.x, lab.y))
        bb0 = t.get_window_extent(renderer)
        w, h = bb0.width, bb0.height
        sign = 1.0 if lab.up else -1.0
        found = None
        for level in range(max_levels):
            dy = sign * (2.0 * px_per_pt + level * (h + pad_px))
            if (lab.up and tip[1] + dy > axbox.y1) or (not lab.up and tip[1] + dy < axbox.y0):
                break
            for dx in (0.0, -0.55 * w, 0.55 * w, -1.1 * w, 1.1 * w):
                if level == 0 and dx != 0.0:
                    continue
                x, y = to_data.transform((tip[0] + dx, tip[1] + dy))
                t.set_position((x, y))
                bb = t.get_window_extent(renderer)
                if not _inside(bb, axbox) or _overlaps(bb, placed_boxes, pad_px) or _hits_sticks(bb, sticks, pad_px):
                    continue
                if any(_segment_hits_box(p, q, bb, pad_px) for p, q in leaders):
                    continue
                leader = None
                if level > 0 or dx != 0.0:
                    end = (min(max(tip[0], bb.x0), bb.x1), bb.y0 if lab.up else bb.y1)
                    # Start the leader a point off the tip and end it at the label's edge.
                    start = (tip[0], tip[1] + sign * px_per_pt)
                    if any(_segment_hits_box(start, end, o, 0.0) for o in placed_boxes):
                        continue
                    leader = (start, end)
                found = (bb, leader)
                break
            if found:
                break
        if not found:
            t.remove()
            continue
        bb, leader = found
        placed_boxes.append(bb)
        placed.append(t)
        if leader is not None:
            leaders.append(leader)
            (x0, y0), (x1, y1) = to_data.transform([leader[0], leader[1]])
            ax.plot([x0, x1], [y0, y1], color=lab.colour, lw=0.4, alpha=0.6, zorder=4)
    return placed


# ------------------------------------------------------------ mirror plot

def _first_formula(ann_list) -> str | None:
    if not ann_list:
        return None
    return ann_list[0].formula


def _is_isotope(ann_list) -> bool:
    return bool(ann_list) and ann_list[0].mode == "isotope"


def structure_image(smiles: str | None, width_px: int = 360, height_px: int = 300):
    """An RGBA image of the molecule's 2-D depiction (RDKit), or None when it cannot be drawn."""
    if not smiles:
        return None
    try:
        import matplotlib.image as mpimg
        from rdkit import Chem
        from rdkit.Chem.Draw import rdMolDraw2D

        mol = Chem.MolFromSmiles(smiles)
        if mol is None or mol.GetNumAtoms() == 0:
            return None
        d = rdMolDraw2D.MolDraw2DCairo(max(int(width_px), 60), max(int(height_px), 60))
        opts = d.drawOptions()
        opts.clearBackground = False
        opts.padding = 0.04
        # Small molecules are drawn at a bond length of about a seventh of the width, not blown up.
        opts.fixedBondLength = max(width_px / 7.0, 8.0)
        opts.minFontSize = max(int(width_px / 18), 6)
        rdMolDraw2D.PrepareAndDrawMolecule(d, mol)
        d.FinishDrawing()
        return mpimg.imread(_io.BytesIO(d.GetDrawingText()), format="png")
    except Exception:  # a depiction is decoration: a molecule RDKit cannot draw gets none
        return None


def _legend_handles(pred_label: str, any_isotope: bool, lo: int | None, short: bool = False):
    from matplotlib.lines import Line2D

    h = [Line2D([], [], color=MEASURED_COLOUR, lw=1.6, label="measured" if short else "measured (up)"),
         Line2D([], [], color=PREDICTED_COLOUR, lw=1.6, label="predicted" if short else pred_label),
         Line2D([], [], color=MATCHED_COLOUR, lw=1.6, label="in both" if short else "m/z in both")]
    if any_isotope:
        h.append(Line2D([], [], color=PREDICTED_COLOUR, lw=1.6, ls=ISOTOPE_STYLE,
                        label="isotope" if short else "isotope peak"))
    if lo is not None:
        h.append(Line2D([], [], color=OUTSIDE_COLOUR, lw=1.6,
                        label=f"m/z < {lo}" if short else f"not compared (m/z < {lo})"))
    return h


def _wrap(text: str, width_px: float, fontsize: float, dpi: float) -> str:
    """``text`` broken at spaces into lines of about ``width_px`` pixels."""
    import textwrap

    chars = max(int(width_px / (0.55 * fontsize * dpi / 72.0)), 20)
    return "\n".join(textwrap.fill(line, chars, break_on_hyphens=False) for line in text.split("\n"))


def predicted_label(predicted: Spectrum) -> str:
    """The legend's name of the predicted side."""
    conv = predicted.convention
    if conv == "schematic":
        return "predicted (down), schematic:\nheights are not intensities"
    return f"predicted ({conv}, down)" if conv else "predicted (down)"


def mirror_plot(measured: Spectrum, predicted: Spectrum, ax=None, *, max_labels: int = 40,
                title: str | None = None, strong_fraction: float = 0.05, scale: str = "linear",
                structure: bool | str = True, legend: bool = True, score: bool = True,
                max_predicted_labels: int | None = None):
    """Measured spectrum up, predicted spectrum down, at nominal m/z, both on
    one intensity scale (base peak 100 on each side).

    ``scale``: "linear" (relative intensity, as libraries print spectra) or
    "sqrt" (square roots, what the cosine compares); see
    :func:`plotted_heights`.  Peaks at an m/z present on both sides are
    drawn in green; predicted ions below the lowest measured m/z, which no
    score compares, are grey over a shaded band; predicted isotope peaks are
    dotted.  The title holds ``title`` (default: the spectrum's name) and,
    with ``score``, the cosine, its weighting and m/z cut and the matched
    peak count.  ``structure``: draw the molecule (True: the prediction's
    SMILES, or a SMILES string) in the upper right corner, which is kept free
    of sticks together with the legend below it.

    Strong measured peaks are labelled with their m/z, predicted peaks with
    their fragment formula, isotope peaks with their ion's formula and the
    mass units above it ("C7H7Cl +2"); ions outside the compared range are
    not labelled, and a prediction with real intensities, the scored one,
    gets only its ``max_predicted_labels`` strongest labelled (8 by default).
    Labels never touch a stick, another label or a leader line and stay
    inside the axes; the less important ones are left out when room runs
    short.  ``ax`` is drawn into when given (a new figure otherwise); the
    Axes is returned."""
    import matplotlib.pyplot as plt

    from .score import lowest_mz

    if not isinstance(measured, Spectrum) or not isinstance(predicted, Spectrum):
        raise TypeError("mirror_plot takes two Spectrum objects")
    m_h = plotted_heights(measured, scale)
    p_h = plotted_heights(predicted, scale, predicted=True)
    if ax is None:
        _, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
    lo = lowest_mz(measured) if len(measured) else 0
    anns = predicted.annotations
    measured_mz = set(measured.mz[measured.intensity > 0].tolist())
    p_out = predicted.mz < lo
    p_match = np.array([m in measured_mz for m in predicted.mz.tolist()], dtype=bool) & ~p_out & (p_h > 0)
    matched_mz = set(predicted.mz[p_match].tolist())
    m_match = np.array([m in matched_mz for m in measured.mz.tolist()], dtype=bool)
    p_iso = np.array([_is_isotope(a) for a in anns], dtype=bool) if anns is not None else np.zeros(len(predicted), bool)

    def sticks(mz, h, mask, colour, lw, dotted=False):
        if mask.any():
            ax.vlines(mz[mask], 0, h[mask], color=colour, lw=lw, linestyles=ISOTOPE_STYLE if dotted else "solid")

    sticks(measured.mz, m_h, ~m_match, MEASURED_COLOUR, 1.0)
    sticks(measured.mz, m_h, m_match, MATCHED_COLOUR, 1.4)
    for iso in (False, True):
        sel = p_iso if iso else ~p_iso
        sticks(predicted.mz, -p_h, sel & p_out, OUTSIDE_COLOUR, 1.0, iso)
        sticks(predicted.mz, -p_h, sel & ~p_out & ~p_match, PREDICTED_COLOUR, 1.0, iso)
        sticks(predicted.mz, -p_h, sel & p_match, MATCHED_COLOUR, 1.4, iso)
    ax.axhline(0, color="black", lw=0.6)

    all_mz = np.concatenate([measured.mz, predicted.mz]) if len(measured) + len(predicted) else np.array([0, 100])
    x_lo, x_hi = float(all_mz.min()), float(all_mz.max())
    span = max(x_hi - x_lo, 10.0)
    left, data_right = x_lo - 0.04 * span - 2, x_hi + 0.04 * span + 2
    any_out = bool(p_out.any())
    if any_out:
        ax.axvspan(left, lo - 0.5, color=OUTSIDE_COLOUR, alpha=0.12, lw=0, zorder=0)
    ax.set_ylim(-100.0 * HEADROOM, 100.0 * HEADROOM)
    ticks = [-100, -50, 0, 50, 100]
    ax.set_yticks(ticks, [str(abs(t)) for t in ticks])
    ax.set_xlabel("m/z")
    ax.set_ylabel("relative intensity (% of base peak)" if scale == "linear"
                  else "\u221a relative intensity (base peak 100)")
    if title is None:
        title = measured.name or measured.smiles or predicted.smiles or ""
    lines = [title] if title else []
    if score:
        lines.append(score_caption(measured, predicted))
    fig = ax.figure
    if lines:
        ax.set_title(_wrap("\n".join(lines), ax.get_window_extent(_renderer(fig)).width, 9, fig.dpi), fontsize=9)

    # Labels and the key are placed for the axes' final size: let a layout engine settle it first.
    engine = fig.get_layout_engine()
    if engine is not None:
        engine.execute(fig)
    renderer = _renderer(fig)
    axbox = ax.get_window_extent(renderer)
    # A figure of its own (7 inches of axes or more) is read scaled down, on a page or a screen.
    fontsize = LABEL_FONTSIZE + (1 if axbox.width / fig.dpi >= 7.0 else 0)

    smiles = structure if isinstance(structure, str) else (predicted.smiles or measured.smiles)
    image = structure_image(smiles, int(axbox.width * KEY_COLUMN * 2), int(axbox.height * 0.46 * 2)) \
        if structure else None
    obstacles = []
    column = KEY_COLUMN if (legend or image is not None) else 0.0
    if legend:
        for short in (False, True):
            leg = ax.legend(handles=_legend_handles(predicted_label(predicted), bool(p_iso.any()),
                                                    lo if any_out else None, short),
                            loc="lower right", fontsize=fontsize, frameon=False, borderaxespad=0.3,
                            handlelength=1.6, labelspacing=0.3)
            need = (leg.get_window_extent(renderer).width + 6.0) / axbox.width
            if need <= 0.3:
                break   # a narrow axes gets the short legend
        column = min(max(column, need), 0.45)
        obstacles.append(leg)
    ax.set_xlim(left, left + (data_right - left) / (1.0 - column))
    # No m/z ticks under the key column.
    ax.set_xticks([t for t in ax.get_xticks() if left <= t <= data_right])
    if image is not None:
        inset = ax.inset_axes([1.0 - column, 0.53, column, 0.45])
        inset.imshow(image, interpolation="antialiased")
        inset.set_axis_off()
        obstacles.append(inset)

    labels: list[_Label] = []
    for k, (m, h) in enumerate(zip(measured.mz.tolist(), m_h.tolist())):
        if _relative(measured)[k] >= 100.0 * strong_fraction:
            colour = MATCHED_COLOUR if m_match[k] else MEASURED_COLOUR
            labels.append(_Label(str(m), m, h, True, colour, h + (50.0 if m_match[k] else 0.0)))
    # An isotope peak is labelled as its ion's formula and the mass units above it ("C7H7Cl +2"),
    # where that ion is a peak of its own and the isotope peak a strong one; with a lower
    # priority than the ions themselves.
    parent_mz: dict[str, int] = {}
    for m, a in zip(predicted.mz.tolist(), anns or ()):
        for x in a:
            if x.mode != "isotope":
                parent_mz.setdefault(x.formula, m)
    pred_labels: list[_Label] = []
    for k, (m, h) in enumerate(zip(predicted.mz.tolist(), p_h.tolist())):
        if p_out[k] or h <= 0:
            continue
        text = (_first_formula(anns[k]) if anns is not None else None) or str(m)
        priority = h + (15.0 if p_match[k] else 0.0)   # a strong ion nobody measured is worth a label too
        if p_iso[k]:
            base = parent_mz.get(text)
            if base is None or base >= m or h < 100.0 * strong_fraction:
                continue
            text, priority = f"{text} +{m - base}", 0.5 * priority
        colour = MATCHED_COLOUR if p_match[k] else PREDICTED_COLOUR
        pred_labels.append(_Label(text, m, -h, False, colour, priority))
    if max_predicted_labels is None:
        max_predicted_labels = SCORED_LABELS if predicted.convention == "scored" else max_labels
    pred_labels.sort(key=lambda lab: -lab.priority)
    labels.sort(key=lambda lab: -lab.priority)
    # Keep the best of each side within max_labels in all.
    up = labels[: max_labels // 2]
    down = pred_labels[: min(max_predicted_labels, max_labels - len(up))]
    place_labels(ax, up + down, obstacles=obstacles, fontsize=fontsize)
    return ax


# ------------------------------------------------------- evaluation figure

_FIGURE_AXES = {
    "precision": ("precision", "share of predicted peaks that are strong measured peaks"),
    "recall10": ("recall@10", "share of the 10 strongest measured peaks predicted"),
    "recall10_pm1": ("recall@10\u00b11", "the same, a predicted peak within 1 m/z counting"),
    "cosine": ("cosine", "predicted heights vs \u221ameasured, m/z \u2265 lowest measured"),
}


def evaluation_figure(ev, *, examples: int = 3):
    """The figure of an evaluation run: the distribution of each per-spectrum
    figure for every predictor, the identification curve (share of spectra
    whose molecule ranks within the first k), and mirror plots of the
    spectra with the best, median and worst cosine of the model."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.ticker import MaxNLocator

    keys = list(_FIGURE_AXES)
    fig = Figure(figsize=(16, 10))
    FigureCanvasAgg(fig)
    # A fixed grid: the mirror plots place their labels for their final size.
    outer = fig.add_gridspec(2, 1, left=0.045, right=0.99, bottom=0.1, top=0.88, hspace=0.42,
                             height_ratios=[1, 1.25])
    top = outer[0].subgridspec(1, len(keys) + 1, wspace=0.28)
    names = {meth: (ev.model if meth == "module" else meth) for meth in ev.methods}

    def display(meth):
        n = names[meth]
        return PREDICTOR_NAMES.get(n, f"{n} model" if meth in ("module", "schematic") else n)

    bins = np.linspace(0, 1, 21)
    for c, key in enumerate(keys):
        ax = fig.add_subplot(top[0, c])
        for meth in ev.methods:
            vals = np.array([r.figures[meth][key] for r in ev.records], dtype=float)
            vals = vals[~np.isnan(vals)]
            if vals.size:
                ax.hist(vals, bins=bins, histtype="step", lw=1.4, color=predictor_colour(names[meth]),
                        label=f"mean {vals.mean():.2f}")
        title, xlabel = _FIGURE_AXES[key]
        ax.set_title(title, fontsize=10)
        ax.set_xlabel(xlabel, fontsize=7)
        ax.set_xlim(0, 1)
        ax.yaxis.set_major_locator(MaxNLocator(integer=True))
        if c == 0:
            ax.set_ylabel("spectra")
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize=7, loc="best", framealpha=0.85, edgecolor="none")
    # Identification: recall@k for k = 1..50.
    ax = fig.add_subplot(top[0, len(keys)])
    ks = np.arange(1, 51)
    for meth in ev.methods:
        ranks = np.array([r.rank[meth] for r in ev.records], dtype=np.int64)
        if ranks.size:
            rec_k = (ranks[None, :] < ks[:, None]).mean(axis=1)
            ax.step(ks, rec_k, where="post", color=predictor_colour(names[meth]), lw=1.4,
                    label=f"@1 {rec_k[0]:.2f}, @10 {rec_k[9]:.2f}")
    ax.set_xscale("log")
    ax.set_xlim(1, 50)
    ax.set_ylim(0, 1.03)
    ax.set_title("identification", fontsize=10)
    ax.set_xlabel("k (rank of the true molecule among the run's)", fontsize=7)
    ax.set_ylabel("share of spectra ranked within k", fontsize=8)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(fontsize=7, loc="lower right", framealpha=0.85, edgecolor="none")
    fig.legend(handles=[Line2D([], [], color=predictor_colour(names[m]), lw=2, label=display(m))
                        for m in ev.methods],
               loc="upper center", bbox_to_anchor=(0.5, 0.955), ncols=len(ev.methods), frameon=False, fontsize=9)

    chosen: list[tuple[str, object]] = []
    if ev.records and examples > 0:
        by_cos = sorted(ev.records, key=lambda r: (np.nan_to_num(r.figures["module"]["cosine"], nan=-1), r.index))
        picks = [("best", len(by_cos) - 1), ("median", len(by_cos) // 2), ("worst", 0)][:examples]
        seen = set()
        for what, p in picks:
            if p not in seen:
                seen.add(p)
                chosen.append((what, by_cos[p]))
    if chosen:
        bottom = outer[1].subgridspec(1, max(len(chosen), 3), wspace=0.18)
        for c, (what, rec) in enumerate(chosen):
            ax = fig.add_subplot(bottom[0, c])
            name = (rec.name or rec.smiles)[:40]
            mirror_plot(rec.measured, rec.predicted["module"], ax=ax, title=f"{what} cosine: {name}",
                        max_labels=16, legend=False)
        fig.legend(handles=_legend_handles(f"predicted, {display('module')} (down)", True, None),
                   loc="lower center", bbox_to_anchor=(0.5, 0.0), ncols=5, frameon=False, fontsize=8)
        fig.text(0.5, 0.035, f"Below: the spectra of the run with the best, median and worst cosine of the "
                 f"{display('module')}, measured up, predicted down, relative intensity on one linear scale.",
                 ha="center", fontsize=8)
    from .score import similarity_label

    fig.suptitle(f"{len(ev.records)} spectra evaluated, {len(ev.failed)} failed (model: {ev.model}); "
                 f"histograms: spectra per value of each figure; {similarity_label('figures')}",
                 fontsize=11)
    return fig
