"""The HTML reports of annotate and identify, opened in headless Chromium."""
import itertools
import re
import shutil
from pathlib import Path

import pytest

from corvane_spectra import io
from corvane_spectra.annotate import annotate
from corvane_spectra.cli import main
from corvane_spectra.report import ion_atoms, parse_route
from corvane_spectra.spectrum import Spectrum

FIXTURE = Path(__file__).parent / "data" / "ei_small.msp"
ETHYL_BENZOATE = "CCOC(=O)c1ccccc1"     # 0 C, 1 C, 2 O, 3 C(=O), 4 O, 5-10 the ring
HOSTILE = {
    "name": '<img src=x onerror="window.__pwned=1">',
    "id": "</script><script>window.__pwned=2</script>",
    "license": "&lt;b&gt; & <b>bold</b>",
    "source": '"><svg onload="window.__pwned=3">',
    "comment": "\u2028<!-- --><script>window.__pwned=4</script>",
}
# The scored model counts the deuterium atoms as hydrogens of C0: C1 the carbonyl, O2, C3-C8 the ring.
ACETOPHENONE_D3 = "[2H]C([2H])([2H])C(=O)c1ccccc1"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def _mol(smiles):
    from rdkit import Chem

    return Chem.MolFromSmiles(smiles)


@pytest.mark.parametrize("smiles, route, formula, atoms", [
    (ETHYL_BENZOATE, "C3-O2", "C7H5O", [3, 4, 5, 6, 7, 8, 9, 10]),     # benzoyl
    (ETHYL_BENZOATE, "O2-C3", "C2H5O", [0, 1, 2]),                     # label in either orientation
    (ETHYL_BENZOATE, "C3-C5", "C6H5", [5, 6, 7, 8, 9, 10]),
    (ETHYL_BENZOATE, "C3-O2 > C3-C5", "CO", [3, 4]),                   # a second cut of the benzoyl side
    (ETHYL_BENZOATE, "C1-O2", "C7H6O2", [2, 3, 4, 5, 6, 7, 8, 9, 10]),  # hydrogen shift: heavy atoms decide
    (ETHYL_BENZOATE, "", "C9H10O2", list(range(11))),                  # molecular ion
    (ETHYL_BENZOATE, "C0-H11", "C9H9O2", list(range(11))),             # a hydrogen's bond cuts no heavy atom
    ("C1CCOC1", "C0-C1 + C2-C3", "C2H4", [1, 2]),                      # ring double cut: the arc
    ("C1CCOC1", "C0-C1 + C2-C3", "C2H4O", [0, 3, 4]),                  # and the other side
    ("C1CCOC1", "C0-C1 + C2-C3", "C3H6", None),                        # no part of that formula
    (ETHYL_BENZOATE, "C0-C9", "CH3", None),                            # no such bond
    (ETHYL_BENZOATE, "Si(CH3)3 to O-Si(CH3)2", "C5H15OSi2", None),      # route in words
    ("CCB(C)C", "", "C4H11", [0, 1, 2, 3, 4]),                          # boron left out of the formula
    ("ClCc1ccccc1", "", "C7H7", None),                                 # chlorine is not
])
def test_ion_atoms_cut_the_named_bonds(smiles, route, formula, atoms):
    assert ion_atoms(_mol(smiles), parse_route(route), formula) == atoms


@pytest.mark.parametrize("smiles, formula, soft, atoms", [
    (ETHYL_BENZOATE, "C7H5O", (), [3, 4, 5, 6, 7, 8, 9, 10]),   # one cut, not two (C=O and C1-O2)
    (ETHYL_BENZOATE, "CO", (), None),                          # C3=O4 or C1-O2: two cuts each
    ("CCCCCC", "C2H5", (), None),                              # either end of the chain
    ("CCCCCC", "C2H5", ((1, 2),), [0, 1]),                     # the soft bond decides
    ("CCCCCC", "C6H13", (), None),                             # the whole molecule is no fragment
])
def test_ion_atoms_found_from_the_formula(smiles, formula, soft, atoms):
    mol = _mol(smiles)
    soft_idx = [mol.GetBondBetweenAtoms(u, v).GetIdx() for u, v in soft]
    assert ion_atoms(mol, None, formula, search=True, soft_bonds=soft_idx) == atoms


# ---------------------------------------------------------------- reports


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """An annotation, an identification and a record full of markup, written
    through the command line and through Python."""
    d = tmp_path_factory.mktemp("reports")
    out = {"annotate": d / "annotate.html", "identify": d / "identify.html", "hostile": d / "hostile.html",
           "deuterated": d / "deuterated.html"}
    assert main(["annotate", str(FIXTURE), "--index", "0", "--smiles", ETHYL_BENZOATE, "--model", "scored",
                 "--html", str(out["annotate"])]) == 0
    cands = d / "candidates.smi"
    cands.write_text(f"{ETHYL_BENZOATE} ethyl benzoate\nCOC(=O)c1ccc(C)cc1 methyl p-toluate\n"
                     "CC(=O)c1ccc(OC)cc1 <b>4-methoxyacetophenone</b>\nCCCCCCCCCC decane\n")
    assert main(["identify", str(FIXTURE), "--candidates", str(cands), "--model", "scored", "--no-progress",
                 "--html", str(out["identify"])]) == 0
    with io.read(FIXTURE) as reader:
        measured = next(iter(reader))
    bad = Spectrum(measured.mz, measured.intensity, {**measured.metadata, **HOSTILE})
    annotate(bad, ETHYL_BENZOATE, model="scored").to_html(out["hostile"])
    annotate(measured, ACETOPHENONE_D3, model="scored").to_html(out["deuterated"])
    return out


def test_reports_are_self_contained(reports):
    for path in reports.values():
        text = path.read_text(encoding="utf-8")
        assert "default-src 'none'" in text and "Content-Security-Policy" in text
        assert not re.search(r"\b(src|href)\s*=\s*[\"']?(https?:|//)", text)
        assert path.stat().st_size < 600_000
    # Every text of the record is inside the data block, escaped; none is markup.
    hostile = reports["hostile"].read_text(encoding="utf-8")
    assert "<img" not in hostile and "onerror" in hostile and "</script><script>" not in hostile


# ---------------------------------------------------------------- in the browser


@pytest.fixture(scope="module")
def browser():
    if CHROMIUM is None:
        pytest.skip("chromium is not installed (./dev.sh setup installs it)")
    sync_api = pytest.importorskip("playwright.sync_api")
    with sync_api.sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield b
        b.close()


class Opened:
    def __init__(self, browser, path, width=1280, height=900):
        self.url = Path(path).resolve().as_uri()
        self.context = browser.new_context(viewport={"width": width, "height": height})
        self.page = self.context.new_page()
        self.console, self.errors, self.requests = [], [], []
        self.page.on("console", lambda m: self.console.append((m.type, m.text)))
        self.page.on("pageerror", lambda e: self.errors.append(str(e)))
        self.page.on("request", lambda r: self.requests.append(r.url))
        self.failed = []
        self.page.on("requestfailed", lambda r: self.failed.append((r.url, r.failure)))
        self.page.goto(self.url)
        self.page.wait_for_selector("html[data-ready='1']", state="attached", timeout=10_000)

    def close(self):
        self.context.close()

    def set(self, selector, attr):
        return set(self.page.eval_on_selector_all(
            selector, f"els => els.map(e => Number(e.getAttribute('{attr}')))"))


@pytest.fixture
def opened(browser):
    pages = []

    def open_(path, **kw):
        pages.append(Opened(browser, path, **kw))
        return pages[-1]

    yield open_
    for p in pages:
        p.close()


@pytest.mark.parametrize("which", ["annotate", "identify", "hostile"])
def test_page_loads_clean_and_offline(opened, reports, which):
    o = opened(reports[which])
    o.page.wait_for_timeout(200)
    assert o.errors == []
    assert [m for m in o.console if m[0] in ("error", "warning")] == []
    assert o.requests == [o.url]
    assert o.page.locator("#plot .peak").count() > 5
    assert o.page.locator(".mol:not([hidden]) .atom-hit").count() > 5


def test_policy_blocks_network_and_injected_script(opened, reports):
    o = opened(reports["annotate"])
    blocked = o.page.evaluate("""async () => {
        const seen = [];
        document.addEventListener('securitypolicyviolation', e => seen.push(e.effectiveDirective));
        const img = new Image(); img.src = 'http://127.0.0.1:9/x.png'; document.body.appendChild(img);
        try { await fetch('http://127.0.0.1:9/'); } catch (e) {}
        const s = document.createElement('script'); s.textContent = 'window.__ran = 1'; document.body.appendChild(s);
        await new Promise(r => setTimeout(r, 300));
        return seen.sort(); }""")
    assert blocked == ["connect-src", "img-src", "script-src-elem"]
    assert o.page.evaluate("window.__ran") is None
    # The browser announces the image but refuses it before it reaches the network.
    assert [u for u in o.requests if u != o.url] == [u for u, _ in o.failed] == ["http://127.0.0.1:9/x.png"]
    assert [why for _, why in o.failed] == ["csp"]


def test_markup_in_the_record_is_shown_as_text(opened, reports):
    o = opened(reports["hostile"])
    assert o.page.evaluate("window.__pwned") is None
    assert o.page.locator("img, #meta svg, #meta b, #title *").count() == 0
    shown = o.page.inner_text("#meta")
    for value in HOSTILE.values():
        assert value.strip() in shown
    assert HOSTILE["name"] in o.page.inner_text("#title")
    o2 = opened(reports["identify"])
    assert "<b>4-methoxyacetophenone</b>" in o2.page.inner_text("#cand-table")
    assert o2.page.locator("#cand-table b").count() == 0


@pytest.mark.parametrize("which, smiles, mz, atoms", [
    ("annotate", ETHYL_BENZOATE, 105, {3, 4, 5, 6, 7, 8, 9, 10}),    # benzoyl, C6H5CO+
    ("annotate", ETHYL_BENZOATE, 77, {5, 6, 7, 8, 9, 10}),           # phenyl
    ("deuterated", "CC(=O)c1ccccc1", 46, {0, 1, 2}),                  # CD3CO+
])
def test_hovering_a_peak_highlights_its_ion(opened, reports, which, smiles, mz, atoms):
    o = opened(reports[which])
    o.page.hover(f"#plot .peak[data-mz='{mz}'] .hit")
    assert o.set(".mol:not([hidden]) .atom-halo.hl", "data-atom") == atoms
    m = _mol(smiles)
    bonds = {b.GetIdx() for b in m.GetBonds() if b.GetBeginAtomIdx() in atoms and b.GetEndAtomIdx() in atoms}
    assert o.set(".mol:not([hidden]) .bond-halo.hl", "data-bond") == bonds
    assert f"m/z {mz}" in o.page.inner_text("#detail")
    o.page.mouse.move(1, 1)
    assert o.set(".mol:not([hidden]) .atom-halo.hl", "data-atom") == set()


def test_keyboard_reaches_and_selects_a_peak(opened, reports):
    o = opened(reports["annotate"])
    o.page.keyboard.press("Tab")
    first = o.page.evaluate("document.activeElement.getAttribute('data-mz')")
    assert first is not None
    o.page.keyboard.press("ArrowRight")
    mz = o.page.evaluate("document.activeElement.getAttribute('data-mz')")
    assert int(mz) > int(first)
    o.page.keyboard.press("Enter")
    o.page.evaluate("document.activeElement.blur()")      # leaving the peak keeps the selection
    assert o.set("#plot .peak.active", "data-mz") == {int(mz)}
    assert f"m/z {mz}" in o.page.inner_text("#detail")
    o.page.keyboard.press("Escape")
    assert o.set("#plot .peak.active", "data-mz") == set()


def test_selecting_a_bond_highlights_the_peaks_that_cut_it(opened, reports):
    ann = annotate(next(iter(io.read(FIXTURE))), ETHYL_BENZOATE, model="scored")
    cutting = set()
    for m, anns in zip(ann.predicted.mz.tolist(), ann.predicted.annotations):
        for a in anns:
            pairs = {tuple(sorted(map(int, p))) for p in re.findall(r"[A-Z][a-z]?(\d+)-[A-Z][a-z]?(\d+)", a.bond or "")}
            if (2, 3) in pairs:
                cutting.add(m)
    assert 105 in cutting
    bond = _mol(ETHYL_BENZOATE).GetBondBetweenAtoms(2, 3).GetIdx()
    o = opened(reports["annotate"])
    o.page.click(f".mol:not([hidden]) .bond-hit[data-bond='{bond}']")
    o.page.mouse.move(1, 1)
    assert o.set("#plot .peak.cuts", "data-mz") == cutting
    assert o.set("#peak-table tr.cuts", "data-mz") == cutting


def test_peak_table_sorts(opened, reports):
    o = opened(reports["annotate"])

    def column(k):
        return o.page.eval_on_selector_all(f"#peak-table tbody tr td:nth-child({k})", "tds => tds.map(t => t.textContent)")

    def numbers(k):
        return [float(x) for x in column(k) if x]

    # A row selects its peak (what hovering shows above the table must not move the rows).
    o.page.click("#peak-table tr[data-mz='105']")
    o.page.mouse.move(1, 1)
    assert o.set("#plot .peak.active", "data-mz") == {105}
    assert o.set(".mol:not([hidden]) .atom-halo.hl", "data-atom") == {3, 4, 5, 6, 7, 8, 9, 10}

    o.page.click("#peak-table th[data-key='measured'] button")
    got = numbers(2)
    assert got == sorted(got, reverse=True) and len(got) > 5
    assert column(2)[: len(got)] == [f"{x:.1f}" for x in got]          # empty cells last
    o.page.click("#peak-table th[data-key='measured'] button")
    assert numbers(2) == sorted(numbers(2))
    o.page.click("#peak-table th[data-key='mz'] button")
    mz = numbers(1)
    assert mz == sorted(mz) and len(mz) == len(set(mz))
    o.page.click("#peak-table th[data-key='formulas'] button")
    formulas = [x.split("; ") for x in column(4) if x]
    assert formulas == sorted(formulas) and len(formulas) > 5


@pytest.mark.parametrize("which", ["annotate", "identify"])
@pytest.mark.parametrize("width, height", [(1280, 900), (700, 1000)])
def test_no_labels_overlap(opened, reports, which, width, height, tmp_path):
    o = opened(reports[which], width=width, height=height)
    boxes = o.page.eval_on_selector_all(
        "#plot svg text", "ts => ts.map(t => { const r = t.getBoundingClientRect();"
        " return [t.textContent, r.left, r.top, r.right, r.bottom]; })")
    assert len(boxes) > 10
    for (ta, *a), (tb, *b) in itertools.combinations(boxes, 2):
        overlap = a[0] < b[2] - 0.5 and b[0] < a[2] - 0.5 and a[1] < b[3] - 0.5 and b[1] < a[3] - 0.5
        assert not overlap, f"labels {ta!r} and {tb!r} overlap at {width}x{height}"
    svg = o.page.eval_on_selector("#plot svg", "s => { const r = s.getBoundingClientRect(); return [r.left, r.right]; }")
    assert all(svg[0] - 1 <= b[0] and b[2] <= svg[1] + 1 for _, *b in boxes)
    panels = o.page.eval_on_selector_all(".panel", "ps => ps.map(p => { const r = p.getBoundingClientRect();"
                                         " return [r.left, r.top, r.right, r.bottom]; })")
    for a, b in itertools.combinations(panels, 2):
        assert not (a[0] < b[2] - 1 and b[0] < a[2] - 1 and a[1] < b[3] - 1 and b[1] < a[3] - 1)
    assert o.page.evaluate("document.documentElement.scrollWidth") <= width
    # Each peak's pointer target covers no neighbour's.
    hits = o.page.eval_on_selector_all("#plot .peak .hit", "rs => rs.map(r => { const b = r.getBoundingClientRect();"
                                       " return [b.left, b.right]; })")
    hits.sort()
    assert all(a[1] <= b[0] + 0.01 for a, b in zip(hits, hits[1:]))


def test_selecting_a_candidate_shows_its_structure_and_spectrum(opened, reports):
    o = opened(reports["identify"])
    rows = o.page.locator("#cand-table tbody tr")
    assert rows.count() == 4
    first = o.page.inner_text("#cand-table tbody tr:nth-child(1)")
    assert "ethyl benzoate" in first
    decane = o.page.locator("#cand-table tbody tr", has_text="decane")
    decane.focus()
    o.page.keyboard.press("Enter")
    assert "current" in decane.get_attribute("class")
    assert o.page.locator(".mol:not([hidden])").count() == 1
    assert o.page.locator(".mol:not([hidden]) .atom-hit").count() == 10
    assert "decane" in o.page.inner_text("#subtitle")
    # decane's ions are alkyl ions: m/z 57 (C4H9) is predicted and explained by a chain cut
    o.page.hover("#plot .peak[data-mz='57'] .hit")
    lit = o.set(".mol:not([hidden]) .atom-halo.hl", "data-atom")
    assert len(lit) == 4
