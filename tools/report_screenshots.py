"""Writes the example HTML reports and their screenshots in docs/.

    python tools/report_screenshots.py [OUT_DIR]

Annotates ethyl benzoate's measured spectrum (tests/data/ei_small.msp) with
the scored model, ranks four candidates against it, writes both reports to
OUT_DIR (default /tmp/corvane-reports) and screenshots them in headless
Chromium (Debian's chromium, driven by playwright) into
docs/report_annotate.png and docs/report_identify.png, with a peak hovered
and a candidate selected as a reader would (4-methoxyacetophenone,
its m/z 135 ion).
"""
from __future__ import annotations

import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
FIXTURE = ROOT / "tests" / "data" / "ei_small.msp"
SMILES = "CCOC(=O)c1ccccc1"
CANDIDATES = [(SMILES, "ethyl benzoate"), ("COC(=O)c1ccc(C)cc1", "methyl p-toluate"),
              ("CC(=O)c1ccc(OC)cc1", "4-methoxyacetophenone"), ("CCOC(=O)c1ccccc1O", "ethyl salicylate")]


def main(argv: list[str]) -> int:
    from playwright.sync_api import sync_playwright

    from corvane_spectra import io
    from corvane_spectra.annotate import annotate
    from corvane_spectra.identify import identify

    out = Path(argv[0] if argv else "/tmp/corvane-reports")
    out.mkdir(parents=True, exist_ok=True)
    with io.read(FIXTURE) as reader:
        measured = next(iter(reader))
    annotate(measured, SMILES, model="scored").to_html(out / "annotate.html")
    identify(measured, CANDIDATES, model="scored", keep_spectra=True).to_html(out / "identify.html")
    chromium = shutil.which("chromium")
    if chromium is None:
        print("chromium is not installed: reports written, no screenshots", file=sys.stderr)
        return 1
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, headless=True)
        page = browser.new_page(viewport={"width": 1200, "height": 1000})
        page.goto((out / "annotate.html").as_uri())
        page.wait_for_selector("html[data-ready='1']", state="attached")
        page.click("#plot .peak[data-mz='105'] .hit")
        page.screenshot(path=str(ROOT / "docs" / "report_annotate.png"))
        page.goto((out / "identify.html").as_uri())
        page.wait_for_selector("html[data-ready='1']", state="attached")
        page.click("#cand-table tbody tr:nth-child(2)")
        page.hover("#plot .peak[data-mz='135'] .hit")
        page.screenshot(path=str(ROOT / "docs" / "report_identify.png"))
        browser.close()
    print(f"reports in {out}; screenshots in docs/report_annotate.png, docs/report_identify.png")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
