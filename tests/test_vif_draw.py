"""The VIF figure drawn by VIF(draw=True)."""
import matplotlib.pyplot as plt
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.colors import to_rgba

import corvane

COLORS = {"C": "red", "H": "skyblue", "O": "red", "Cl": "lightgreen", "N": "violet", "Br": "gray"}


@pytest.fixture
def shown(monkeypatch):
    """Figure numbers open at each plt.show() call."""
    calls = []
    monkeypatch.setattr(plt, "show", lambda: calls.append(list(plt.get_fignums())))
    return calls


def graph_axes(shown, show_spectrum=True):
    assert len(shown) == 1
    fig = plt.figure(shown[0][-2] if show_spectrum else shown[0][-1])
    return fig, fig.axes[0]


def edge_collections(ax):
    lines = [c for c in ax.collections if isinstance(c, LineCollection)]
    black = [c for c in lines if tuple(c.get_edgecolor()[0]) == to_rgba("black", 0.9)]
    red = [c for c in lines if tuple(c.get_edgecolor()[0]) == to_rgba("red", 0.9)]
    return black, red


@pytest.mark.parametrize("smiles, n_soft", [("CC(=O)Br", 2), ("CC(=O)Cl", 2), ("O", 0), ("C=CN", None)])
def test_graph_figure(shown, smiles, n_soft):
    r = corvane.VIF(smiles, verbose=False)
    n_soft = len(r["soft_bonds"]) if n_soft is None else n_soft
    assert len(r["soft_bonds"]) == n_soft
    fig, ax = graph_axes(shown)
    assert len(shown[0]) == 2 and tuple(fig.get_size_inches()) == (12, 10)
    H = r["graph"]
    lpi = r["lpi"]
    label = f"soft: {n_soft} bond" if n_soft else "soft: yok"
    assert ax.get_title() == (f"VIF: {smiles}   |   LPI = {{n+={lpi['n+']}, n0={lpi['n0']}, n-={lpi['n-']}}}"
                              f"   |   {label}")
    assert ax.get_aspect() == 1.0

    nodes = [c for c in ax.collections if isinstance(c, PathCollection)]
    assert len(nodes) == 1
    expected = [to_rgba(COLORS[d["symbol"]], 0.9) for _, d in H.nodes(data=True)]
    assert [tuple(c) for c in nodes[0].get_facecolor()] == expected
    assert [t.get_text() for t in ax.texts] == [f"{d['symbol']}{n}" for n, d in H.nodes(data=True)]
    assert all(t.get_fontsize() == 8 for t in ax.texts)

    soft_pairs = {tuple(sorted((s["u_node"], s["v_node"]))) for s in r["soft_bonds"]}
    black, red = edge_collections(ax)
    assert len(black) == 1 and black[0].get_linewidth()[0] == 1.5
    assert black[0].get_linestyle()[0][1] is None
    assert len(black[0].get_segments()) == H.number_of_edges() - len(soft_pairs)
    if n_soft:
        assert len(red) == 1 and red[0].get_linewidth()[0] == 2.0
        assert red[0].get_linestyle()[0][1] is not None  # dashed
        assert len(red[0].get_segments()) == len(soft_pairs)
        segs = sorted(tuple(map(tuple, s.tolist())) for s in red[0].get_segments())
        want = sorted(tuple(tuple(r["pos"][n].tolist()) for n in pair) for pair in
                      [(u, v) for u, v in H.edges() if tuple(sorted((u, v))) in soft_pairs])
        assert segs == want
    else:
        assert red == [] or len(red[0].get_segments()) == 0


def test_show_spectrum_false_draws_one_figure(shown):
    corvane.VIF("CCl", verbose=False, show_spectrum=False)
    assert shown == [[1]]


def test_draw_false_draws_nothing(shown):
    corvane.VIF("CCl", verbose=False, draw=False)
    assert shown == [] and plt.get_fignums() == []


def test_drawing_errors_propagate(shown, monkeypatch):
    def broken(*a, **k):
        raise RuntimeError("no spectrum")

    monkeypatch.setattr(corvane, "plot_mass_spectrum", broken)
    with pytest.raises(RuntimeError, match="no spectrum"):
        corvane.VIF("CCl", verbose=False)
    assert shown == []
