"""Head-to-tail (mirror) plots of a measured against a predicted spectrum."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .spectrum import Spectrum

MEASURED_COLOUR = "#1f4e79"
PREDICTED_COLOUR = "#b03a2e"
MATCHED_COLOUR = "#2e7d32"
HEADROOM = 1.45      # y-limits as a multiple of the tallest stick (room for labels)
LABEL_FONTSIZE = 7


@dataclass
class _Label:
    text: str
    x: float          # data x (m/z)
    y: float          # data y of the stick tip
    up: bool          # above the tip (measured side) or below (predicted side)
    colour: str
    priority: float


def _relative(s: Spectrum) -> np.ndarray:
    base = s.base_peak()
    return s.intensity * (100.0 / base) if base > 0 else np.zeros_like(s.intensity)


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


def place_labels(ax, labels: list[_Label], *, obstacles=(), pad_px: float = 1.5, max_levels: int = 12) -> list:
    """Place text labels at stick tips so that no two overlap and none leaves
    the axes.  Labels go in priority order; each tries positions straight
    above (below) its tip, then shifted sideways, at growing distances (a thin
    leader line joins a label set away from its tip); a label with no free
    position is left out.  Returns the placed Text artists."""
    fig = ax.figure
    renderer = _renderer(fig)
    axbox = ax.get_window_extent(renderer)
    to_data = ax.transData.inverted()
    placed_boxes: list = [o.get_window_extent(renderer) for o in obstacles]
    placed = []
    px_per_pt = fig.dpi / 72.0
    for lab in sorted(labels, key=lambda lab: -lab.priority):
        t = ax.text(lab.x, lab.y, lab.text, fontsize=LABEL_FONTSIZE, color=lab.colour,
                    ha="center", va="bottom" if lab.up else "top", zorder=5, clip_on=False)
        tip = ax.transData.transform((lab.x, lab.y))
        bb0 = t.get_window_extent(renderer)
        w, h = bb0.width, bb0.height
        sign = 1.0 if lab.up else -1.0
        ok = False
        for level in range(max_levels):
            dy = sign * (2.0 * px_per_pt + level * (h + pad_px))
            for dx in (0.0, -0.55 * w, 0.55 * w, -1.1 * w, 1.1 * w):
                if level == 0 and dx != 0.0:
                    continue
                x, y = to_data.transform((tip[0] + dx, tip[1] + dy))
                t.set_position((x, y))
                bb = t.get_window_extent(renderer)
                if _inside(bb, axbox) and not _overlaps(bb, placed_boxes, pad_px):
                    ok = True
                    break
            if ok:
                break
        if not ok:
            t.remove()
            continue
        placed_boxes.append(bb)
        placed.append(t)
        if level > 0 or dx != 0.0:
            # Leader from the tip to the label's near edge.
            ey = bb.y0 if lab.up else bb.y1
            ex = min(max(tip[0], bb.x0), bb.x1)
            (x0, y0), (x1, y1) = to_data.transform([(tip[0], tip[1]), (ex, ey)])
            ax.plot([x0, x1], [y0, y1], color=lab.colour, lw=0.4, alpha=0.6, zorder=4)
    return placed


def _first_formula(ann_list) -> str | None:
    if not ann_list:
        return None
    return ann_list[0].formula


def mirror_plot(measured: Spectrum, predicted: Spectrum, ax=None, *, max_labels: int = 40,
                title: str | None = None, strong_fraction: float = 0.05):
    """Measured spectrum up, predicted spectrum down, each scaled to its own
    base peak (= 100), at nominal m/z.  Predicted peaks that land on a strong
    measured peak are drawn in green on both sides.  Strong measured peaks
    are labelled with their m/z, predicted peaks with their fragment formula
    (the first annotation, else the m/z); labels never overlap one another
    and stay inside the axes, the less important ones are left out when
    room runs short.  ``ax`` is drawn into when given (a new figure
    otherwise); the Axes is returned."""
    import matplotlib.pyplot as plt

    if not isinstance(measured, Spectrum) or not isinstance(predicted, Spectrum):
        raise TypeError("mirror_plot takes two Spectrum objects")
    if ax is None:
        _, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
    m_rel, p_rel = _relative(measured), _relative(predicted)
    strong = set(measured.mz[m_rel >= 100.0 * strong_fraction].tolist())
    predicted_mz = set(predicted.mz.tolist())
    m_match = np.array([m in predicted_mz and m in strong for m in measured.mz.tolist()], dtype=bool)
    p_match = np.array([m in strong for m in predicted.mz.tolist()], dtype=bool)

    def sticks(mz, h, match, colour):
        if mz.size == 0:
            return
        ax.vlines(mz[~match], 0, h[~match], color=colour, lw=1.0)
        if match.any():
            ax.vlines(mz[match], 0, h[match], color=MATCHED_COLOUR, lw=1.4)

    sticks(measured.mz, m_rel, m_match, MEASURED_COLOUR)
    sticks(predicted.mz, -p_rel, p_match, PREDICTED_COLOUR)
    ax.axhline(0, color="black", lw=0.6)

    all_mz = np.concatenate([measured.mz, predicted.mz]) if len(measured) + len(predicted) else np.array([0, 100])
    lo, hi = float(all_mz.min()), float(all_mz.max())
    span = max(hi - lo, 10.0)
    ax.set_xlim(lo - 0.06 * span - 2, hi + 0.06 * span + 2)
    ax.set_ylim(-100.0 * HEADROOM, 100.0 * HEADROOM)
    ticks = [-100, -50, 0, 50, 100]
    ax.set_yticks(ticks, [str(abs(t)) for t in ticks])
    ax.set_xlabel("m/z")
    ax.set_ylabel("relative intensity (measured up, predicted down)")
    pred_name = predicted.convention or "predicted"
    corner_up = ax.text(0.005, 0.99, "measured", transform=ax.transAxes, va="top", ha="left", fontsize=8,
                        color=MEASURED_COLOUR)
    corner_down = ax.text(0.005, 0.01, f"predicted ({pred_name})", transform=ax.transAxes, va="bottom", ha="left",
            fontsize=8, color=PREDICTED_COLOUR)
    if title is None:
        title = measured.name or measured.smiles or predicted.smiles
    if title:
        ax.set_title(title, fontsize=10)

    # Labels are placed for the axes' final size: let a layout engine settle it first.
    engine = ax.figure.get_layout_engine()
    if engine is not None:
        engine.execute(ax.figure)

    labels: list[_Label] = []
    for k, (m, h) in enumerate(zip(measured.mz.tolist(), m_rel.tolist())):
        if h >= 100.0 * strong_fraction:
            colour = MATCHED_COLOUR if m_match[k] else MEASURED_COLOUR
            labels.append(_Label(str(m), m, h, True, colour, h + (50.0 if m_match[k] else 0.0)))
    anns = predicted.annotations
    for k, (m, h) in enumerate(zip(predicted.mz.tolist(), p_rel.tolist())):
        text = (_first_formula(anns[k]) if anns is not None else None) or str(m)
        colour = MATCHED_COLOUR if p_match[k] else PREDICTED_COLOUR
        labels.append(_Label(text, m, -h, False, colour, h + (200.0 if p_match[k] else 0.0)))
    labels.sort(key=lambda lab: -lab.priority)
    # Keep the best of each side within max_labels in all.
    up = [lab for lab in labels if lab.up][: max_labels // 2]
    down = [lab for lab in labels if not lab.up][: max_labels - len(up)]
    place_labels(ax, up + down, obstacles=(corner_up, corner_down))
    return ax
