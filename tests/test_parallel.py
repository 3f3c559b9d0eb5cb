"""Threads: the module's own decompositions run on one BLAS thread whatever
the caller set (and leave the setting as it was); the cascade's counts on
all cores give exactly the one-core result; the sparse counts of a large
graph agree with the plain path."""
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
from threadpoolctl import threadpool_info, threadpool_limits

import corvane

openblas = pytest.mark.skipif(
    not any(i["internal_api"] == "openblas" for i in threadpool_info()), reason="numpy is not built on OpenBLAS"
)


def blas_threads():
    return [i["num_threads"] for i in threadpool_info() if i["internal_api"] == "openblas"]


@openblas
@pytest.mark.parametrize("threads", [1, 2, 4])
def test_eigenvalues_do_not_depend_on_the_callers_thread_setting(threads):
    graph = corvane.VIF("C" * 50, draw=False, verbose=False)["graph"]
    A = nx.to_numpy_array(graph)
    with threadpool_limits(1):
        reference = np.linalg.eigvalsh(A)
    with threadpool_limits(threads):
        before = blas_threads()
        rec = corvane.compute_lpi(graph)
        assert blas_threads() == before
    assert np.array_equal(rec["eigenvalues"], reference)


@openblas
def test_threads_calling_at_once_restore_the_setting():
    graph = corvane.VIF("C" * 40, draw=False, verbose=False)["graph"]
    before = blas_threads()
    errors = []

    def work():
        try:
            for _ in range(5):
                corvane.compute_lpi(graph)
                corvane.detect_soft_bonds(graph, corvane.VIF("CCO", draw=False, verbose=False)["chem_bonds"],
                                          corvane.compute_lpi(graph))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    ts = [threading.Thread(target=work) for _ in range(4)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert not errors
    assert blas_threads() == before


CASCADE_SCRIPT = r"""
import json, os, sys
sys.path.insert(0, sys.argv[1])
if sys.argv[2] == "one":
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
from molecules import prepared_molecule
import corvane
out = []
for smi in sys.argv[3:]:
    r = corvane.VIF(smi, draw=False, verbose=False)
    mol = prepared_molecule(smi)
    peaks = corvane.predict_fragments_recursive(mol, r["graph"], r["atom_subgraphs"], r["chem_bonds"],
                                                max_generations=3)
    out.append([list(peaks.items()), r["soft_bonds"]])
print(json.dumps(out, default=repr))
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two cores to compare with one")
def test_cascade_on_all_cores_matches_one_core():
    # The fragments of a generation are counted in parallel; the peaks must
    # come out exactly as on one core, in the same order.
    smiles = ["O=C1CN=C(c2ccccc2Cl)c2cc([N+](=O)[O-])ccc2N1", "CC(C)Cc1ccc(cc1)C(C)C(=O)O",
              "OC1C(O)C(OC2OC(CO)C(O)C(O)C2O)OC(CO)C1O"]
    tests_dir = str(Path(__file__).resolve().parent)
    runs = [subprocess.run([sys.executable, "-c", CASCADE_SCRIPT, tests_dir, which, *smiles],
                           capture_output=True, text=True, check=True).stdout for which in ("one", "all")]
    assert runs[0] == runs[1]
    assert json.loads(runs[0])[0][0]


def test_large_graph_soft_bonds_match_the_plain_path():
    # 362 nodes: the trials are counted by sparse factorisation; the plain
    # path (compute_lpi rebound to a wrapper) counts each from eigenvalues.
    r = corvane.VIF("C" * 30 + "C(=O)OCC" + "C" * 25, draw=False, verbose=False)
    graph, bonds = r["graph"], r["chem_bonds"]
    base = corvane.compute_lpi(graph)
    fast = corvane.detect_soft_bonds(graph, bonds, base)
    own = corvane.compute_lpi
    corvane.compute_lpi = lambda *a, **k: own(*a, **k)
    try:
        plain = corvane.detect_soft_bonds(graph, bonds, base)
    finally:
        corvane.compute_lpi = own
    assert fast == plain
