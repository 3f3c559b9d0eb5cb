"""State after errors, and VIF from several threads at once."""

import json
import os
import subprocess
import sys
import threading

import pytest

import corvane

MOLECULES = ["CC(=O)Cl", "Clc1ccccc1", "ClCc1ccccc1", "CCO", "O=[N+]([O-])c1ccccc1", "C1CCOC1", "CC(=O)OC"]


def summary(r):
    """What a result says, in plain comparable form."""
    return {
        "lpi": [r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"]],
        "eigenvalues": [round(float(x), 9) for x in r["lpi"]["eigenvalues"]],
        "soft": [[b["atom_u"], b["atom_v"], b["k"]] for b in r["soft_bonds"]],
        "fragments": [[f["bond"], f["split"], f["mode"], None if f["fragments"] is None else [list(t) for t in f["fragments"]]] for f in r["fragments"]],
        "recursive": sorted([k, v["formula"], v["generation"]] for k, v in (r["recursive_peaks"] or {}).items()),
        "pos": {str(k): [float(x) for x in v] for k, v in r["pos"].items()},
        "mol_mass": r["mol_mass"],
    }


def run(smiles):
    return summary(corvane.VIF(smiles, n_iter=60, draw=False, verbose=False, recursive_ms=True))


def graph_state(H):
    return sorted((min(u, v), max(u, v), tuple(sorted(d.items()))) for u, v, d in H.edges(data=True)), list(H.nodes)


def test_threads_match_sequential_calls():
    expected = {s: run(s) for s in MOLECULES}
    results, errors = {}, []
    barrier = threading.Barrier(4)

    def worker(k):
        try:
            barrier.wait()
            for i in range(3):
                s = MOLECULES[(k + i) % len(MOLECULES)]
                results.setdefault(s, []).append(run(s))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for s, got in results.items():
        for g in got:
            assert g == expected[s], s


class FailOn:
    """Stands in for compute_lpi and raises on its n-th call."""

    def __init__(self, n):
        self.n, self.calls, self.real = n, 0, corvane.compute_lpi

    def __call__(self, *args, **kwargs):
        self.calls += 1
        if self.calls == self.n:
            raise RuntimeError("injected")
        return self.real(*args, **kwargs)


@pytest.fixture
def acetyl():
    return corvane.VIF("CC(=O)Cl", n_iter=60, draw=False, verbose=False)


def test_detect_soft_bonds_restores_the_trial_edge_on_error(acetyl, monkeypatch):
    H = acetyl["graph"]
    before = graph_state(H)
    monkeypatch.setattr(corvane, "compute_lpi", FailOn(3))
    with pytest.raises(RuntimeError, match="injected"):
        corvane.detect_soft_bonds(H, acetyl["chem_bonds"], acetyl["lpi"])
    assert graph_state(H) == before


def test_fragment_atom_softs_leaves_the_graph_alone_on_error(acetyl, monkeypatch):
    H = acetyl["graph"]
    before = graph_state(H)
    n = len(acetyl["atom_subgraphs"])
    monkeypatch.setattr(corvane, "compute_lpi", FailOn(3))
    with pytest.raises(RuntimeError, match="injected"):
        corvane._fragment_atom_softs(H, acetyl["atom_subgraphs"], acetyl["chem_bonds"], set(range(n)))
    assert graph_state(H) == before


@pytest.mark.parametrize("fail_at", [1, 2, 5])
def test_vif_after_an_error_matches_a_fresh_process(monkeypatch, fail_at):
    smiles = "ClCc1ccccc1"
    with monkeypatch.context() as m:
        m.setattr(corvane, "compute_lpi", FailOn(fail_at))
        with pytest.raises(RuntimeError, match="injected"):
            corvane.VIF(smiles, n_iter=60, draw=False, verbose=False, recursive_ms=True)
    # failed look-ups in between
    for bad in (-5, None):
        with pytest.raises(Exception):
            corvane._nominal_atom_mass(bad)
    with pytest.raises(Exception):
        corvane._get_period("Xx")
    here = run(smiles)
    code = (
        "import json, corvane\n"
        f"assert corvane.__file__ == {corvane.__file__!r}\n"
        f"r = corvane.VIF({smiles!r}, n_iter=60, draw=False, verbose=False, recursive_ms=True)\n"
        "import test_threads\n"
        "print(json.dumps(test_threads.summary(r)))\n"
    )
    # The child loads this very build of the module, and this file.
    path = os.pathsep.join([os.path.dirname(corvane.__file__), os.path.dirname(os.path.abspath(__file__))])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=path))
    fresh = json.loads(out.stdout.strip().splitlines()[-1])
    assert json.loads(json.dumps(here)) == fresh
    # The memo holds exactly the nominal masses RDKit gives.
    from rdkit import Chem

    pt = Chem.GetPeriodicTable()
    assert all(v == pt.GetMostCommonIsotope(k) for k, v in corvane._NOMINAL_ISOTOPE.items() if isinstance(k, int))


def _layout_work():
    from rdkit import Chem
    mol = Chem.AddHs(Chem.MolFromSmiles("C" * 40))
    corvane.compute_atom_layout(mol, n_iter=0)  # depiction cached in the process, warm
    return lambda: corvane.compute_atom_layout(mol, n_iter=40000)


def test_force_loop_lets_other_threads_run():
    """While one thread is in a long force loop, another thread keeps running
    Python code: the loop does not hold the interpreter lock."""
    import time

    work = _layout_work()
    ticks = []
    done = threading.Event()

    def worker():
        try:
            work()
        finally:
            done.set()

    t = threading.Thread(target=worker)
    start = time.perf_counter()
    t.start()
    while not done.is_set():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    t.join()
    total = time.perf_counter() - start
    marks = [start] + ticks + [start + total]
    longest = max(b - a for a, b in zip(marks, marks[1:]))
    assert longest < 0.5 * total, (longest, total)
