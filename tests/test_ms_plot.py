"""The stick spectrum drawn from prediction records."""
import matplotlib.pyplot as plt
import pytest
from matplotlib.colors import to_rgba

import corvane


def rec(*frags, split=True, mode="single"):
    return {"bond": "X", "split": split, "mode": mode, "fragments": list(frags) if split else None}


def sticks(ax):
    """(m/z, height, colour, width) of every drawn line, and (text, x, y, colour) of every label."""
    lines = []
    for coll in ax.collections:
        for seg, col, lw in zip(coll.get_segments(), coll.get_colors(), coll.get_linewidths()):
            (x0, y0), (x1, y1) = seg
            assert x0 == x1 and y0 == 0
            lines.append((x0, y1, tuple(col), lw))
    labels = [(t.get_text(), t.xyann[0], t.xyann[1], to_rgba(t.get_color())) for t in ax.texts]
    return sorted(lines), labels


CRIMSON, STEEL = to_rgba("crimson"), to_rgba("steelblue")


def test_molecular_ion_alone():
    n = len(plt.get_fignums())
    ax = corvane.plot_mass_spectrum("CCO", 46, [])
    assert len(plt.get_fignums()) == n + 1 and ax is plt.gca()
    assert tuple(ax.figure.get_size_inches()) == (11, 5.5)
    lines, labels = sticks(ax)
    assert lines == [(46, 100, CRIMSON, 2.2)]
    assert labels == [("M+\n46", 46, 103, CRIMSON)]
    assert ax.get_xlim() == (0, 66) and ax.get_ylim() == (0, 150)
    assert ax.get_xlabel() == "m/z"
    assert ax.get_ylabel() == "(schematic \u2014 intensities are not predicted)"
    assert ax.get_title() == "Corvane predicted EI-MS fragments: CCO"
    assert not ax.spines["top"].get_visible() and not ax.spines["right"].get_visible()
    assert ax.spines["left"].get_visible() and ax.spines["bottom"].get_visible()


def test_crowded_labels_climb():
    frags = [rec(("A", 15.0, 15), ("B", 17.0, 17)), rec(("C", 20.0, 20), ("D", 29.0, 29))]
    ax = corvane.plot_mass_spectrum("X", 100, frags)
    lines, labels = sticks(ax)
    assert lines == [(15, 60, STEEL, 1.6), (17, 60, STEEL, 1.6), (20, 60, STEEL, 1.6), (29, 60, STEEL, 1.6),
                     (100, 100, CRIMSON, 2.2)]
    assert [(t, x, y) for t, x, y, _ in labels] == [("A\n15", 15, 63), ("B\n17", 17, 74), ("C\n20", 20, 85),
                                                      ("D\n29", 29, 63), ("M+\n100", 100, 103)]
    assert ax.get_xlim() == (0, 120)
    ann = ax.texts[0]
    assert ann.arrowprops == {"arrowstyle": "-", "color": "gray", "lw": 0.5, "alpha": 0.6}
    assert ann.get_fontsize() == 8 and ann.get_ha() == "center" and ann.get_va() == "bottom"
    assert ann.xy == (15, 60)


def test_first_label_wins_and_unsplit_records_are_skipped():
    frags = [
        rec(split=False),
        {"split": False},                        # "fragments" is never read
        rec(("CH3O", 31.03, 31), ("C2H5", 29.06, 29)),
        rec(("CF", 31.0, 31), ("M?", 0, 46)),    # neither 31 nor M is relabelled
        rec(("C2H4", 28.05, 28), ("CO", 28.0, 28), mode="ring"),
    ]
    ax = corvane.plot_mass_spectrum("CCO", 46, frags)
    assert [t.get_text() for t in ax.texts] == ["C2H4\n28", "C2H5\n29", "CH3O\n31", "M+\n46"]


@pytest.mark.parametrize("mass,M,xmax", [(46.5, 46, 66), (47.5, 48, 68), (134, 134, 154), (0, 0, 20), (200.4, 200, 230)])
def test_mass_rounding_and_x_range(mass, M, xmax):
    ax = corvane.plot_mass_spectrum("s", mass, [])
    assert sticks(ax)[0] == [(M, 100, CRIMSON, 2.2)]
    assert ax.get_xlim() == (0, xmax)


def test_given_axes_open_no_figure():
    fig, axes = plt.subplots(1, 2)
    n = len(plt.get_fignums())
    out = corvane.plot_mass_spectrum(("not", "a", "string"), 46, [rec(("HO", 17.01, 17), ("C2H5", 29.06, 29))],
                                     ax=axes[1])
    assert out is axes[1] and len(plt.get_fignums()) == n
    assert out.get_title() == "Corvane predicted EI-MS fragments: ('not', 'a', 'string')"
    assert len(axes[0].texts) == 0 and len(axes[1].texts) == 3


def test_uses_module_pyplot(monkeypatch):
    calls = []

    class Spy:
        def __getattr__(self, name):
            fn = getattr(plt, name)

            def wrapped(*a, **k):
                calls.append((name, a, k))
                return fn(*a, **k)
            return wrapped

    monkeypatch.setattr(corvane, "plt", Spy())
    corvane.plot_mass_spectrum("C", 16, [])
    assert calls == [("figure", (), {"figsize": (11, 5.5)}), ("gca", (), {})]


@pytest.mark.parametrize("mass,frags,exc,msg", [
    (46, [{"fragments": []}], KeyError, "split"),
    (46, [{"split": True}], KeyError, "fragments"),
    (46, [rec(("A", 1))], ValueError, r"not enough values to unpack \(expected 3, got 2\)"),
    (46, [rec(("A", 1, 2, 3))], ValueError, r"too many values to unpack \(expected 3\)"),
    (46, [rec(5)], TypeError, "not iterable"),
    ("heavy", [], TypeError, "__round__"),
    (None, [], TypeError, "__round__"),
])
def test_bad_input_opens_no_figure(mass, frags, exc, msg):
    n = len(plt.get_fignums())
    with pytest.raises(exc, match=msg):
        corvane.plot_mass_spectrum("s", mass, frags)
    assert len(plt.get_fignums()) == n



def test_given_axes_need_no_pyplot(monkeypatch):
    fig, ax = plt.subplots()
    monkeypatch.delattr(corvane, "plt")
    assert corvane.plot_mass_spectrum("s", 46, [], ax) is ax
    with pytest.raises(NameError):
        corvane.plot_mass_spectrum("s", 46, [])
