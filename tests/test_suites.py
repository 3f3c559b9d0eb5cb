"""Panels, validation suite, halogen test and demo.

Most tests put small fakes in place of the analysis (`VIF`), the spectrum
plot and the PubChem lookup, so that the printed lines and the drawn panels
can be checked exactly; the end-to-end tests at the bottom run the real ones.
"""

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np
import pytest

import corvane

UNREADABLE = "SMILES okunamadı!"
SEP62 = "=" * 62
SEP78 = "=" * 78


def record(lpi=(3, 0, 3), fragments=(), mol_mass=18, symbols=("O", "H", "H"),
           edges=((0, 1), (0, 2)), soft=()):
    """A VIF result record as the panels and suites read it."""
    H = nx.Graph()
    for i, s in enumerate(symbols):
        H.add_node(i, symbol=s)
    for u, v in edges:
        H.add_edge(u, v, weight=0.9)
    pos = {i: np.array([np.cos(i), np.sin(i)]) for i in H}
    return {
        "lpi": {"n+": lpi[0], "n0": lpi[1], "n-": lpi[2], "eigenvalues": np.zeros(3)},
        "soft_bonds": [{"u_node": u, "v_node": v} for u, v in soft],
        "fragments": list(fragments),
        "graph": H,
        "pos": pos,
        "mol_mass": mol_mass,
    }


def cut(bond, *frags, split=True):
    return {"bond": bond, "split": split, "mode": "single",
            "fragments": [(f, float(m), m) for f, m in frags] if split else None}


class FakeVIF:
    """Answers from a table SMILES -> record (or exception, or text)."""

    def __init__(self, table):
        self.table = table
        self.calls = []

    def __call__(self, smiles, **kw):
        self.calls.append((smiles, kw))
        v = self.table[smiles]
        if isinstance(v, BaseException) or (isinstance(v, type) and issubclass(v, BaseException)):
            raise v
        if kw.get("draw"):
            plt.figure()
            plt.plot([0, 1], [0, 1])
        return v


@pytest.fixture
def fake_plot(monkeypatch):
    calls = []

    def plot(smiles, mol_mass, fragments, ax=None):
        if ax is None:
            plt.figure()
            ax = plt.gca()
        ax.set_title(f"spectrum: {smiles}")
        calls.append((smiles, mol_mass, fragments, ax))
        return ax

    monkeypatch.setattr(corvane, "plot_mass_spectrum", plot)
    return calls


def use_vif(monkeypatch, table):
    fake = FakeVIF(table)
    monkeypatch.setattr(corvane, "VIF", fake)
    return fake


def lines(capsys):
    return capsys.readouterr().out.splitlines()


# ---- validation suite --------------------------------------------------------

NITRO = record(fragments=[cut("C3-N6", ("C6H5", 77), ("NO2", 46)),
                          cut("C0-C1", split=False)])


def test_validate_prints_rows_and_failure_verdict(monkeypatch, capsys):
    monkeypatch.setattr(corvane, "LPI_REFERENCES", [
        ("water", "O", (3, 0, 3)),
        ("a-very-long-name", "CCCCCCCCCCCC", (1, 2, 3)),
    ])
    monkeypatch.setattr(corvane, "MS_REFERENCES", (
        ("nitro", "N", 77),
        ("none-here", "O", 17),
    ))
    fake = use_vif(monkeypatch, {"O": record(), "CCCCCCCCCCCC": record(lpi=(1, 2, 4)), "N": NITRO})
    assert corvane.validate() is False
    assert lines(capsys) == [
        SEP62,
        "LPI validation (Tarvel 1985)",
        SEP62,
        "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)",
        "  [FAIL] a-very-long-name CCCCCCCCCCCC expected=(1, 2, 3)  found=(1, 2, 4)",
        SEP62,
        "MS soft-bond validation (Movrin 2017)",
        SEP62,
        "  [PASS] nitro          m/z=77 expected  found peaks=[77, 46]",
        "  [FAIL] none-here      m/z=17 expected  found peaks=[]",
        SEP62,
        "RESULT: SOME TESTS FAILED ✗",
        SEP62,
    ]
    assert all(kw == {"draw": False, "verbose": False} for _, kw in fake.calls)


@pytest.mark.parametrize("verbose", [True, 1, "yes"])
def test_validate_passing(monkeypatch, capsys, verbose):
    monkeypatch.setattr(corvane, "LPI_REFERENCES", [("water", "O", (3, 0, 3))])
    monkeypatch.setattr(corvane, "MS_REFERENCES", [("nitro", "N", 46)])
    use_vif(monkeypatch, {"O": record(), "N": NITRO})
    assert corvane.validate(verbose) is True
    assert lines(capsys)[-3:] == [SEP62, "RESULT: ALL TESTS PASSED ✓", SEP62]


@pytest.mark.parametrize("expected", [(3, 0, 3), (3, 0, 4), [3, 0, 3]])
@pytest.mark.parametrize("verbose", [False, 0, "", None])
def test_validate_quiet_prints_nothing(monkeypatch, capsys, expected, verbose):
    # A list never equals the found tuple.
    monkeypatch.setattr(corvane, "LPI_REFERENCES", [("water", "O", expected)])
    monkeypatch.setattr(corvane, "MS_REFERENCES", [])
    use_vif(monkeypatch, {"O": record()})
    assert corvane.validate(verbose) is (expected == (3, 0, 3))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("table, error, message", [
    ([("water", "O")], ValueError, "not enough values to unpack (expected 3, got 2)"),
    ([("water", "O", (3, 0, 3), 1)], ValueError, "too many values to unpack (expected 3)"),
    ([5], TypeError, "cannot unpack non-iterable int object"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
def test_validate_bad_tables(monkeypatch, table, error, message):
    monkeypatch.setattr(corvane, "LPI_REFERENCES", table)
    use_vif(monkeypatch, {"O": record()})
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        corvane.validate(False)


def test_validate_name_must_be_text_when_printed(monkeypatch, capsys):
    monkeypatch.setattr(corvane, "LPI_REFERENCES", [(7, "O", (3, 0, 3))])
    monkeypatch.setattr(corvane, "MS_REFERENCES", [])
    use_vif(monkeypatch, {"O": record()})
    assert corvane.validate(False) is True
    with pytest.raises(ValueError, match="Unknown format code 's'"):
        corvane.validate()


# ---- unreadable SMILES in the suites and the demo ----------------------------

@pytest.mark.parametrize("run", [
    lambda: corvane.validate(False),
    lambda: (setattr(corvane, "LPI_REFERENCES", []), corvane.validate(False)),
    lambda: corvane.halogen_test(panel_n=1, save=None),
    lambda: corvane.triple_group_demo("C1CC", None),
])
def test_unreadable_smiles_names_the_smiles(monkeypatch, fake_plot, run):
    monkeypatch.setattr(corvane, "LPI_REFERENCES", [("ring", "C1CC", (1, 1, 1))])
    monkeypatch.setattr(corvane, "MS_REFERENCES", [("ring", "C1CC", 17)])
    monkeypatch.setattr(corvane, "HALOGEN_TESTS", [("ring", "C1CC", "note")])
    use_vif(monkeypatch, {"C1CC": UNREADABLE})
    with pytest.raises(ValueError) as info:
        run()
    assert str(info.value) == "SMILES okunamadı!: 'C1CC'"


# ---- halogen test ------------------------------------------------------------

HALO_ROWS = [
    ("methane  (no X)", "C", "exp: 16(M)"),
    ("dichloro", "ClCCl", "exp: 49 — two"),
    ("bromofluoro", "FCBr", "note"),
]
HALO_VIF = {
    "C": record(lpi=(5, 0, 5), fragments=[cut("C0-H1", ("CH3", 15), ("H", 1))]),
    "ClCCl": record(lpi=(10, 0, 12), fragments=[
        cut("C1-Cl0", ("CH2Cl", 49), ("Cl", 35)),
        cut("C1-H3", ("CHCl2", 83), ("H", 1)),
        cut("C1-Cl2", ("CH2Cl", 49), ("Cl", 35)),
        cut("C1-Cl9", split=False),
    ], symbols=("Cl", "C", "Cl", "Br"), edges=((0, 1), (1, 2), (2, 3)), soft=((1, 0),)),
    "FCBr": record(lpi=(7, 1, 8), fragments=[
        cut("C1-Br2", ("CH2F", 33), ("Br", 79)),
        cut("F0-C1", ("F", 19), ("CH2Br", 93)),
    ]),
}


def test_halogen_test_lines_and_panel(monkeypatch, capsys, fake_plot, tmp_path):
    monkeypatch.setattr(corvane, "HALOGEN_TESTS", HALO_ROWS)
    fake = use_vif(monkeypatch, HALO_VIF)
    save = str(tmp_path / "halo.png")
    out = corvane.halogen_test(None, 2, save)
    assert lines(capsys) == [
        SEP78,
        "SUBSTITUTED-HALOGEN TEST — K4 (square) representation",
        SEP78,
        "methane  (no X)          LPI=(5, 0, 5)    | C-X: C-X does NOT cleave",
        "                         [exp: 16(M)]",
        "dichloro                 LPI=(10, 0, 12)  | C-X: C1-Cl0->CH2Cl(49),Cl(35); C1-Cl2->CH2Cl(49),Cl(35)",
        "                         [exp: 49 — two]",
        "bromofluoro              LPI=(7, 1, 8)    | C-X: C1-Br2->CH2F(33),Br(79); F0-C1->F(19),CH2Br(93)",
        "                         [note]",
        SEP78,
        "Panel saved: " + save,
    ]
    assert [kw for _, kw in fake.calls] == [{"draw": False, "verbose": False, "show_spectrum": False}] * 3
    assert [(a, s) for a, s, _ in out] == [(a, s) for a, s, _ in HALO_ROWS]
    assert out[1][2] is HALO_VIF["ClCCl"]
    assert open(save, "rb").read(8) == b"\x89PNG\r\n\x1a\n"

    fig = plt.gcf()
    assert tuple(fig.get_size_inches()) == (10, 8.8)
    assert fig._suptitle.get_text() == "Substituted-halogen test (K4/square): structure (top) + MS (bottom)"
    top = fig.axes[:2]
    assert [ax.get_title() for ax in top] == ["methane  (no X)\nLPI = {5, 0, 5}",
                                              "dichloro\nLPI = {10, 0, 12}"]
    assert all(not ax.axison and ax.title.get_fontsize() == 11 for ax in top)
    # Bottom row: the spectrum of each shown row, titled with its display name.
    assert [(c[0], c[1]) for c in fake_plot] == [("methane  (no X)", 18), ("dichloro", 18)]
    assert [c[3] for c in fake_plot] == fig.axes[2:]
    assert all(ax.title.get_fontsize() == 9 for ax in fig.axes[2:])
    # The halogen colour map: Br is brown, Cl light green; node size 90.
    nodes = top[1].collections[0]
    assert nodes.get_sizes().tolist() == [90]
    from matplotlib.colors import to_rgba
    assert [tuple(c) for c in nodes.get_facecolors()] == [
        to_rgba(c, 0.9) for c in ("lightgreen", "red", "lightgreen", "brown")]


@pytest.mark.parametrize("panel_n, shown", [(None, 3), (1, 1), (10, 3), (-1, 2)])
def test_halogen_panel_size(monkeypatch, capsys, fake_plot, panel_n, shown):
    use_vif(monkeypatch, HALO_VIF)
    out = corvane.halogen_test(HALO_ROWS, panel_n, "")
    assert len(out) == 3
    fig = plt.gcf()
    assert tuple(fig.get_size_inches()) == (5 * shown, 8.8)
    assert len(fig.axes) == 2 * shown
    assert "Panel saved" not in capsys.readouterr().out


def test_halogen_non_text_name_and_bad_rows(monkeypatch, capsys, fake_plot):
    use_vif(monkeypatch, HALO_VIF)
    corvane.halogen_test([(42, "C", 7)], None, None)
    # format(42, "24") aligns a number right.
    assert lines(capsys)[3:] == [" " * 22 + "42 LPI=(5, 0, 5)    | C-X: C-X does NOT cleave",
                                 " " * 24 + " [7]"]
    with pytest.raises(ValueError, match="expected 3, got 2"):
        corvane.halogen_test([("x", "C")], None, None)
    with pytest.raises(ValueError):  # zero panel columns
        corvane.halogen_test([], None, None)


# ---- panels ------------------------------------------------------------------

PANEL_VIF = {
    "O": record(),
    "CO": record(lpi=(6, 0, 6), symbols=("C", "O", "Xx"), edges=((0, 1), (1, 2)), soft=((1, 0),)),
    "bad": ValueError("boom"),
    "C1CC": UNREADABLE,
}


def test_vif_panel_by_smiles(monkeypatch, tmp_path):
    fake = use_vif(monkeypatch, PANEL_VIF)
    mols = ["O", "bad", "CO", "C1CC", "O", "CO", "O"]
    save = tmp_path / "panel.png"
    fig = corvane.VIF_panel(mols, "smiles", 3, str(save), 77, 0.5)
    assert fake.calls[0] == ("O", {"draw": False, "verbose": False, "bond_kappa": 0.5})
    assert save.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert tuple(fig.get_size_inches()) == pytest.approx((9.6, 10.2))
    assert fig._suptitle.get_text() == "VIF analysis — key molecules in human biochemistry"
    axes = fig.axes
    assert len(axes) == 9
    titles = [ax.get_title() for ax in axes]
    assert titles == ["O\nLPI={3,0,3}", "bad\n(error)", "CO\nLPI={6,0,6}", "C1CC\n(error)",
                      "O\nLPI={3,0,3}", "CO\nLPI={6,0,6}", "O\nLPI={3,0,3}", "", ""]
    assert not any(ax.axison for ax in axes)
    assert axes[1].title.get_color() == "gray" and axes[0].title.get_color() != "gray"
    assert len(axes[1].collections) == 0 and len(axes[7].collections) == 0
    # CO: one essential black edge, one soft red dashed edge; unknown symbol grey.
    nodes, ess, soft = axes[2].collections
    assert nodes.get_sizes().tolist() == [77]
    from matplotlib.colors import to_rgba
    assert [tuple(c) for c in nodes.get_facecolors()] == [to_rgba(c, 0.9) for c in ("red", "red", "gray")]
    assert len(ess.get_segments()) == 1 and len(soft.get_segments()) == 1
    assert tuple(soft.get_edgecolor()[0]) == to_rgba("red", 0.9)
    assert tuple(ess.get_edgecolor()[0]) == to_rgba("black", 0.7)
    assert soft.get_linestyle()[0][1] is not None  # dashed


def test_vif_ms_panel_by_smiles(monkeypatch, fake_plot):
    fake = use_vif(monkeypatch, PANEL_VIF)
    fig = corvane.VIF_ms_panel(["CO", "bad", "C1CC"], "cid", ring_fragmentation=1, recursive_ms=True)
    assert fake.calls[0] == ("CO", {"draw": False, "verbose": False, "ring_fragmentation": 1,
                                    "recursive_ms": True})
    assert tuple(fig.get_size_inches()) == pytest.approx((11, 5.6))
    assert fig._suptitle.get_text() == "VIF-predicted mass spectra — biomolecules"
    axes = fig.axes
    assert [ax.get_title() for ax in axes] == ["spectrum: CO", "bad (error)", "C1CC (error)", ""]
    assert [ax.axison for ax in axes] == [True, False, False, False]
    assert axes[0].title.get_fontsize() == 9
    assert [(c[0], c[1], c[3]) for c in fake_plot] == [("CO", 18, axes[0])]


@pytest.mark.parametrize("panel", [corvane.VIF_panel, corvane.VIF_ms_panel])
def test_panels_by_name_with_fake_lookup(monkeypatch, fake_plot, panel):
    def fetch(query):
        if query == "nothing":
            raise ValueError("PubChem 'nothing' için sonuç döndürmedi (HTTP 404)")
        if query == "short":
            return ("O",)  # unpacking fails: shown as not found
        return {"water": ("O", 962), "methanol": ("CO", 887)}[query]

    monkeypatch.setattr(corvane, "fetch_smiles_from_pubchem", fetch)
    monkeypatch.setattr(corvane, "BIOMOLECULES", ["water", "nothing", "methanol", "short"])
    fake = use_vif(monkeypatch, PANEL_VIF)
    fig = panel(cols=2)
    assert [c[0] for c in fake.calls] == ["O", "CO"]
    titles = [ax.get_title() for ax in fig.axes]
    if panel is corvane.VIF_panel:
        assert titles == ["water\nLPI={3,0,3}", "nothing\n(not found)", "methanol\nLPI={6,0,6}",
                          "short\n(not found)"]
    else:
        # The spectrum is titled with the entry, not the looked-up SMILES.
        assert titles == ["spectrum: water", "nothing (not found)", "spectrum: methanol",
                          "short (not found)"]
    assert fig.axes[1].title.get_color() == "gray"


@pytest.mark.parametrize("panel", [corvane.VIF_panel, corvane.VIF_ms_panel])
def test_panels_let_interrupts_through(monkeypatch, fake_plot, panel):
    use_vif(monkeypatch, {"O": KeyboardInterrupt})
    with pytest.raises(KeyboardInterrupt):
        panel(["O"], "smiles")


@pytest.mark.parametrize("panel", [corvane.VIF_panel, corvane.VIF_ms_panel])
@pytest.mark.parametrize("args, error", [
    ((5, "smiles"), TypeError),
    ((["O"], "smiles", 0), ZeroDivisionError),
    (([], "smiles"), ValueError),
    ((["O"], "smiles", "2"), TypeError),
])
def test_panels_bad_input(monkeypatch, fake_plot, panel, args, error):
    use_vif(monkeypatch, PANEL_VIF)
    with pytest.raises(error):
        panel(*args)


def test_panel_record_read_errors_propagate(monkeypatch):
    use_vif(monkeypatch, {"O": {"graph": nx.Graph()}})
    with pytest.raises(KeyError, match="pos"):
        corvane.VIF_panel(["O"], "smiles")


# ---- demo --------------------------------------------------------------------

DEMO = record(lpi=(20, 1, 22), mol_mass=240.6, fragments=[
    cut("C4-N7", ("C7H4N", 102), ("C6H4ClN2", 139)),
    cut("C0-C1", split=False),
    cut("C13-Cl15", ("C13H8N3", 206), ("Cl", 35)),
])


@pytest.mark.parametrize("prefix", [None, "", "tmp"])
def test_demo(monkeypatch, capsys, fake_plot, tmp_path, prefix):
    fake = use_vif(monkeypatch, {"N#C": DEMO})
    if prefix:
        prefix = str(tmp_path / prefix)
    before = plt.get_fignums()
    r = corvane.triple_group_demo("N#C", prefix)
    assert r is DEMO
    assert fake.calls == [("N#C", {"draw": True, "verbose": False, "show_spectrum": False})]
    expected = [
        "Molecule : N#C",
        "M+ = 241   LPI = {20, 1, 22}",
        "Fragments (single-cut):",
        "        C4-N7  ->  C7H4N(102), C6H4ClN2(139)",
        "     C13-Cl15  ->  C13H8N3(206), Cl(35)",
    ]
    if prefix:
        expected.append(f"Saved: {prefix}_graph.png , {prefix}_ms.png")
        for suffix in ("_graph.png", "_ms.png"):
            with open(prefix + suffix, "rb") as f:
                assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert lines(capsys) == expected
    assert len(plt.get_fignums()) == len(before) + 2
    assert fake_plot[0][:3] == ("N#C", 240.6, DEMO["fragments"])


def test_demo_long_label_and_unreadable_writes_nothing(monkeypatch, capsys, fake_plot, tmp_path):
    use_vif(monkeypatch, {"X": record(fragments=[cut("C100-Cl1000", ("A", 1), ("B", 2))]),
                          "bad": UNREADABLE})
    corvane.triple_group_demo("X", None)
    assert lines(capsys)[3] == "   C100-Cl1000  ->  A(1), B(2)"
    with pytest.raises(ValueError, match="'bad'"):
        corvane.triple_group_demo("bad", str(tmp_path / "p"))
    assert list(tmp_path.iterdir()) == []


# ---- end to end: the real analysis, spectrum plot and lookup ----------------

def test_validate_builtin_tables(capsys):
    assert corvane.validate() is True
    out = lines(capsys)
    assert out[3] == "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)"
    assert out[-3:] == [SEP62, "RESULT: ALL TESTS PASSED ✓", SEP62]
    assert sum(line.startswith("  [PASS] ") for line in out) == 13


def test_halogen_test_real(capsys, tmp_path):
    rows = [("methyl chloride", "CCl", "exp: 50(M)"), ("chloroform", "C(Cl)(Cl)Cl", "exp: 83")]
    save = tmp_path / "h.png"
    out = corvane.halogen_test(rows, None, str(save))
    assert lines(capsys)[3:] == [
        "methyl chloride          LPI=(5, 0, 6)    | C-X: C-X does NOT cleave",
        "                         [exp: 50(M)]",
        "chloroform               LPI=(5, 0, 12)   | C-X: C0-Cl1->CHCl2(83),Cl(35); "
        "C0-Cl2->CHCl2(83),Cl(35); C0-Cl3->CHCl2(83),Cl(35)",
        "                         [exp: 83]",
        SEP78,
        f"Panel saved: {save}",
    ]
    assert [(a, s, sorted(r)) for a, s, r in out] == [
        (a, s, sorted(corvane.VIF(s, draw=False, verbose=False))) for a, s, _ in rows]
    assert save.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    bottom = plt.gcf().axes[2:]
    assert [ax.get_title() for ax in bottom] == [
        "Corvane predicted EI-MS fragments: methyl chloride", "Corvane predicted EI-MS fragments: chloroform"]


@pytest.mark.parametrize("prefix", [None, "demo"])
def test_demo_real(capsys, tmp_path, prefix):
    if prefix:
        prefix = str(tmp_path / prefix)
    r = corvane.triple_group_demo("CC(=O)Cl", prefix)
    assert r["lpi"]["n+"] == 8 and "graph" in r
    out = lines(capsys)
    assert out[:4] == ["Molecule : CC(=O)Cl", "M+ = 78   LPI = {8, 0, 11}", "Fragments (single-cut):",
                       "       C1-Cl3  ->  C2H3O(43), Cl(35)"]
    if prefix:
        assert out[-1] == f"Saved: {prefix}_graph.png , {prefix}_ms.png"
        for suffix in ("_graph.png", "_ms.png"):
            with open(prefix + suffix, "rb") as f:
                assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    else:
        assert len(out) == 4
    with pytest.raises(ValueError, match=r"SMILES okunamadı!: 'C1CC'"):
        corvane.triple_group_demo("C1CC", None)


def test_panels_real_smiles():
    fig = corvane.VIF_panel(["O", "C1CC", "CCl"], by="smiles", cols=2)
    assert [ax.get_title() for ax in fig.axes] == ["O\nLPI={3,0,3}", "C1CC\n(error)", "CCl\nLPI={5,0,6}", ""]
    fig = corvane.VIF_ms_panel(["CCl", "C1CC"], "smiles")
    assert [ax.get_title() for ax in fig.axes] == ["Corvane predicted EI-MS fragments: CCl", "C1CC (error)"]


@pytest.mark.parametrize("panel, titles", [
    (corvane.VIF_panel, ["water\nLPI={3,0,3}", "unobtainium\n(not found)", "methanol\nLPI={6,0,6}"]),
    (corvane.VIF_ms_panel, ["Corvane predicted EI-MS fragments: water", "unobtainium (not found)",
                            "Corvane predicted EI-MS fragments: methanol", ""]),
])
def test_panels_by_name(pubchem_server, monkeypatch, panel, titles):
    pubchem_server.add_compound("water", {"CID": 962, "SMILES": "O"})
    pubchem_server.add_compound("methanol", {"CID": 887, "SMILES": "CO"})
    monkeypatch.setattr(corvane, "BIOMOLECULES", ["water", "unobtainium", "methanol"])
    fig = panel()
    assert [ax.get_title() for ax in fig.axes][:len(titles)] == titles
    assert fig.axes[1].title.get_color() == "gray" and not fig.axes[1].axison
    assert len(pubchem_server.paths) == 3
