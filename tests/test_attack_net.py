"""The memory guard and the network lookup attacked from outside, each case in
its own process: a process the kernel kills, or that grows without bound, fails
its test instead of taking pytest down with it.

The memory cases run under a lowered RLIMIT_AS: the limit is what a probe
process (same imports, same graph) already has in use plus MARGIN, and each
call's peak of dense n x n matrices is well above MARGIN while one matrix is
below it, so only a guard that counts the call's real peak refuses them, and
it must do so with MemoryError before allocating."""

import json
import os
import resource
import subprocess
import sys
import textwrap

import pytest

from pubchem_server import Endless, PubChemServer, smiles_path

ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
pytestmark = pytest.mark.skipif(ASAN, reason="AddressSanitizer reserves more address space than RLIMIT_AS allows")

MARGIN = 600 * 2**20

PRELUDE = textwrap.dedent(
    """
    import json, resource, sys
    import numpy as np
    import networkx as nx
    from rdkit import Chem
    import corvane
    # BLAS sets up its buffers on first use: before anything is measured.
    np.linalg.eigh(np.eye(4)); np.linalg.eigvalsh(np.eye(4))

    def vm_size():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    def path_graph(n):
        G = nx.Graph()
        G.add_nodes_from(range(n))
        G.add_edges_from((i, i + 1) for i in range(n - 1))
        return G

    def report(fn):
        try:
            fn()
            out = {"error": None}
        except BaseException as e:
            out = {"error": type(e).__name__, "message": str(e)}
        out["maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(json.dumps(out))
    """
)


def run_child(code, as_limit=None, timeout=300):
    def lower_limit():
        if as_limit is not None:
            _, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (as_limit, hard))

    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MPLBACKEND="Agg")
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=lower_limit,
        env=env,
    )


def result_of(proc):
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def address_limit(tmp_path_factory):
    """RLIMIT_AS for the memory cases: the probe's virtual size plus MARGIN."""
    probe = run_child(
        """
        G = path_graph(6500)
        mol = Chem.AddHs(Chem.MolFromSmiles("CC"))
        print(vm_size())
        """
    )
    assert probe.returncode == 0, probe.stderr[-3000:]
    return int(probe.stdout.split()[-1]) + MARGIN


# Each call with a graph (or molecule) whose peak, counted in n x n float64
# matrices, is beyond MARGIN while a single matrix is not.
GUARDED_CALLS = {
    # 2 matrices of 6500^2 doubles: 676 MB; one: 338 MB.
    "compute_lpi": "corvane.compute_lpi(path_graph(6500))",
    # 6 matrices of 4000^2: 768 MB; one: 128 MB.
    "detect_soft_bonds": """corvane.detect_soft_bonds(path_graph(4000), [{"u_node": 0, "v_node": 1}],
                                                      {"n+": 0, "n0": 0, "n-": 0})""",
    "_fragment_atom_softs": """corvane._fragment_atom_softs(path_graph(4000), {i: [i] for i in range(4000)},
                                                            [{"atom_u": 0, "atom_v": 1, "u_node": 0, "v_node": 1}],
                                                            set(range(4000)))""",
    # 7 matrices of 4000^2: 896 MB.
    "predict_fragments_recursive": """corvane.predict_fragments_recursive(
        Chem.AddHs(Chem.MolFromSmiles("CC")), path_graph(4000),
        {i: list(range(i * 500, i * 500 + 500)) for i in range(8)}, [], max_generations=1)""",
    # 1000 carbons and 2002 hydrogens: 6002 nodes, refused before the layout.
    "VIF": 'corvane.VIF("C" * 1000, draw=False, verbose=False)',
}


@pytest.mark.parametrize("call", GUARDED_CALLS.values(), ids=GUARDED_CALLS.keys())
def test_memory_guard_counts_the_peak(address_limit, call):
    proc = run_child(f"report(lambda: {call.strip()})", as_limit=address_limit)
    out = result_of(proc)
    assert out["error"] == "MemoryError", out
    assert "matrices at once" in out["message"] and "RLIMIT_AS" in out["message"], out["message"]


def test_memory_guard_lets_what_fits_through(address_limit):
    # The same limit leaves room for an ordinary call.
    code = """
    G = path_graph(1500)
    def fn():
        lpi = corvane.compute_lpi(G)
        assert (lpi["n+"], lpi["n0"], lpi["n-"]) == (750, 0, 750), lpi
        corvane.detect_soft_bonds(G, [{"u_node": 0, "v_node": 1}, {"u_node": 5, "v_node": 6}], lpi)
    report(fn)
    """
    out = result_of(run_child(code, as_limit=address_limit))
    assert out["error"] is None, out


@pytest.fixture
def endless_server():
    with PubChemServer() as server:
        yield server


def test_endless_answer_keeps_the_process_small(endless_server):
    # Under a limit of its own size plus 200 MB the lookup must end with the
    # size cap's ValueError, its peak resident size a few MB above the start.
    endless_server.add(smiles_path("water"), 200, Endless())
    code = f"""
    corvane.PUBCHEM_REST = {endless_server.base_url!r}
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    report(lambda: corvane.fetch_smiles_from_pubchem("water", timeout=5))
    print(before)
    """
    probe = run_child("print(vm_size())")
    assert probe.returncode == 0, probe.stderr[-3000:]
    proc = run_child(code, as_limit=int(probe.stdout.split()[-1]) + 200 * 2**20, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.strip().splitlines()
    out, before = json.loads(lines[-2]), int(lines[-1])
    assert out["error"] == "ValueError" and "baytı aşıyor" in out["message"], out
    assert out["maxrss"] - before < 64 * 2**20
