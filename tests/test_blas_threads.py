"""The module's own decompositions run on one BLAS thread, whatever the
caller set, and leave the caller's setting as it was."""
import threading

import networkx as nx
import numpy as np
import pytest
from threadpoolctl import threadpool_info, threadpool_limits

import corvane

pytestmark = pytest.mark.skipif(
    not any(i["internal_api"] == "openblas" for i in threadpool_info()), reason="numpy is not built on OpenBLAS"
)




def blas_threads():
    return [i["num_threads"] for i in threadpool_info() if i["internal_api"] == "openblas"]


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
