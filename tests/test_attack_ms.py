"""Attacks on the mass-spectrum and suite functions from Python, and the fast
soft-bond paths against the plain ones at extreme weights.

Each attack runs Python code in the middle of a call (a weight's __float__,
a node's __hash__ or __eq__, an __index__, a generator, a rebound module
name) that mutates the inputs, rebinds names or raises.  A call must end in a
result or an ordinary Python exception: never a crash, never SystemError.
The attacks of one fault class run in one child process, so that a crash
fails the attack that caused it instead of killing pytest.
"""
import contextlib
import copy
import json
import math
import os
import random
import subprocess
import sys
import textwrap
from pathlib import Path

import networkx as nx
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import corvane
from molecules import prepared_molecule

SMILES = "CCOC(=O)c1ccccc1"  # ethyl benzoate: soft bonds in and out of a ring


# ---------------------------------------------------------------------------
# Helpers shared by the attacks (run in the child process)


def record(smi=SMILES):
    r = corvane.VIF(smi, draw=False, verbose=False)
    return r["graph"], r["atom_subgraphs"], r["chem_bonds"]


@contextlib.contextmanager
def plain_lpi():
    """compute_lpi rebound to a Python wrapper of itself: the plain path."""
    own = corvane.compute_lpi
    corvane.compute_lpi = lambda *a, **k: own(*a, **k)
    try:
        yield
    finally:
        corvane.compute_lpi = own


class Weight:
    """A weight that is not a float: float() runs the shared action, the
    first time any of the weights sharing it is converted."""

    def __init__(self, x, action):
        self.x, self.action = float(x), action

    def __float__(self):
        if self.action:
            a, self.action[:] = list(self.action), []
            for f in a:
                f()
        return self.x


def arm_weights(G, action):
    shared = [action]
    for _, _, d in G.edges(data=True):
        d["weight"] = Weight(d.get("weight", 1.0), shared)


def raises(exc, match, fn):
    try:
        fn()
    except exc as e:
        assert not isinstance(e, SystemError), repr(e)
        assert match in str(e), repr(e)
        return e
    raise AssertionError(f"{exc.__name__} not raised")


def no_fault(fn):
    """A result or an ordinary exception, never SystemError."""
    try:
        return fn()
    except SystemError:
        raise
    except Exception as e:  # noqa: BLE001 - any ordinary error is an answer
        return e


def mutations(G):
    """Graph mutations a callback makes, by name."""
    nodes = list(G.nodes)
    u, v = next(iter(G.edges))
    x, y = list(G.edges)[-1]
    return {
        "adds 2000 nodes": (lambda: G.add_nodes_from(range(10**6, 10**6 + 2000)), "nodes"),
        "removes half the nodes": (lambda: G.remove_nodes_from(nodes[: len(nodes) // 2]), "nodes"),
        "clears the graph": (lambda: G.clear(), "nodes"),
        "removes an edge": (lambda: G.remove_edge(u, v), "edges"),
        "adds an edge": (lambda: G.add_edge(nodes[0], nodes[-1], weight=1.0), "edges"),
        "changes a weight": (lambda: G[x][y].__setitem__("weight", 7.0), "weight"),
    }


MUTATIONS = ["adds 2000 nodes", "removes half the nodes", "clears the graph", "removes an edge", "adds an edge",
             "changes a weight"]


# ---------------------------------------------------------------------------
# Class 1: borrowed state used after Python code ran


def _softs(G, subs, cb, atoms=None):
    atoms = set(range(len(subs))) if atoms is None else atoms
    return corvane._fragment_atom_softs(G, subs, cb, atoms)


def _cascade(G, subs, cb, **kw):
    return corvane.predict_fragments_recursive(prepared_molecule(SMILES), G, subs, cb, **kw)


def weight_mutation(fn_name, which):
    def attack():
        G, subs, cb = record()
        action, what = mutations(G)[which]
        arm_weights(G, action)
        fn = _softs if fn_name == "_fragment_atom_softs" else _cascade
        raises(RuntimeError, what, lambda: fn(G, subs, cb))

    return attack


class Node:
    """A node key whose hash runs `action` once armed."""

    action = None

    def __init__(self, i):
        self.i = i

    def __hash__(self):
        if Node.action is not None:
            a, Node.action = Node.action, None
            a()
        return hash(self.i)

    def __eq__(self, other):
        return isinstance(other, Node) and other.i == self.i


def node_graph():
    """The VIF graph relabelled with Node keys, with matching records."""
    G, subs, cb = record()
    m = {n: Node(n) for n in G.nodes}
    H = nx.relabel_nodes(G, m, copy=True)
    subs2 = {a: [m[n] for n in ns] for a, ns in subs.items()}
    cb2 = [dict(c, u_node=Node(c["u_node"]), v_node=Node(c["v_node"])) for c in cb]  # equal, not identical
    return H, subs2, cb2


def attack_node_hash_mutates():
    H, subs, cb = node_graph()
    Node.action = lambda: H.add_nodes_from(range(500))
    r = no_fault(lambda: _softs(H, subs, cb))
    assert isinstance(r, (list, RuntimeError)), repr(r)


def attack_node_eq_raises():
    H, subs, cb = node_graph()

    class Boom(Exception):
        pass

    def eq(self, other):
        raise Boom("eq")

    Node.__eq__ = eq
    try:
        raises(Boom, "eq", lambda: _softs(H, subs, cb))
    finally:
        del Node.__eq__
        Node.__eq__ = lambda self, other: isinstance(other, Node) and other.i == self.i


def attack_generator_mutates():
    G, subs, cb = record()

    def gen():
        for c in cb:
            yield c
            G.remove_node(c["v_node"]) if c["v_node"] in G else None

    raises(RuntimeError, "nodes", lambda: _softs(G, subs, gen()))


def attack_generator_raises():
    G, subs, cb = record()

    def gen():
        yield cb[0]
        raise ValueError("from the generator")

    raises(ValueError, "from the generator", lambda: _softs(G, subs, gen()))


def attack_tol_rebinds_compute_lpi():
    G, subs, cb = record()
    expected = _softs(G, subs, cb)
    own = corvane.compute_lpi
    calls = []

    class Tol:
        def __float__(self):
            corvane.compute_lpi = lambda *a, **k: calls.append(1) or own(*a, **k)
            return 1e-9

        def __ge__(self, other):  # numpy compares eigenvalues against it
            return 1e-9 >= other

    try:
        got = no_fault(lambda: corvane._fragment_atom_softs(G, subs, cb, set(range(len(subs))), Tol()))
    finally:
        corvane.compute_lpi = own
    # The rebound function is the one called from then on.
    assert calls or isinstance(got, Exception)
    if isinstance(got, list):
        assert [id(c) for c in got] == [id(c) for c in expected]


def attack_atom_subgraphs_mutate():
    G, subs, cb = record()

    class Subs(dict):
        def __getitem__(self, k):
            G.add_node(("extra", k))
            return dict.__getitem__(self, k)

    r = no_fault(lambda: _softs(G, Subs(subs), cb))
    assert isinstance(r, list), repr(r)
    # Nodes added before the graph is read are part of it; the result is the
    # plain path's on the grown graph.
    with plain_lpi():
        assert [id(c) for c in _softs(G, Subs(subs), cb)] == [id(c) for c in r]


def attack_cascade_hash_rebinds_nominal_mass():
    H, subs, cb = node_graph()
    mol = prepared_molecule(SMILES)
    own = corvane._nominal_mass

    def shifted(m, idx):
        return own(m, idx) + 1000

    Node.action = lambda: setattr(corvane, "_nominal_mass", shifted)
    try:
        got = corvane.predict_fragments_recursive(mol, H, subs, cb, max_generations=1)
    finally:
        corvane._nominal_mass = own
    corvane._nominal_mass = shifted
    try:
        want = corvane.predict_fragments_recursive(mol, H, subs, cb, max_generations=1)
    finally:
        corvane._nominal_mass = own
    assert list(got.items()) == list(want.items())


def attack_cut_atom_set_inconsistent_order():
    class I(int):
        def __lt__(self, other):
            return random.random() < 0.5

        __gt__ = __lt__
        __hash__ = int.__hash__

    mol = prepared_molecule(SMILES)
    _, _, cb = record()
    want = corvane._cut_atom_set(mol, set(range(mol.GetNumAtoms())), cb, True, 25)
    for _ in range(50):
        got = corvane._cut_atom_set(mol, {I(i) for i in range(mol.GetNumAtoms())}, cb, True, 25)
        assert got == want


def attack_cut_atom_set_order_mutates():
    mol = prepared_molecule(SMILES)
    _, _, cb = record()
    atoms = set(range(mol.GetNumAtoms()))
    softs = [dict(c) for c in cb]

    class Order(int):
        def __ge__(self, other):
            softs.clear()
            atoms.clear()
            return int(self) >= other

        __gt__ = __ge__

    for s in softs:
        s["order"] = Order(s.get("order", 1))
    r = no_fault(lambda: corvane._cut_atom_set(mol, atoms, list(softs), True, 25))
    assert isinstance(r, (set, Exception)), repr(r)


def attack_predict_fragments_index_mutates():
    mol = prepared_molecule(SMILES)
    _, _, cb = record()
    softs = [dict(c) for c in cb]
    own = corvane._pair_label

    class Atom:
        def __init__(self, i):
            self.i = i

        def __index__(self):
            softs.clear()
            corvane._pair_label = lambda m, i, j: "x"
            return self.i

        def __hash__(self):
            return hash(self.i)

        def __eq__(self, o):
            return getattr(o, "i", o) == self.i

        def __lt__(self, o):
            return self.i < getattr(o, "i", o)

        def __format__(self, spec):
            return str(self.i)

    for s in softs:
        s["atom_u"], s["atom_v"] = Atom(s["atom_u"]), Atom(s["atom_v"])
    try:
        r = no_fault(lambda: corvane.predict_fragments(mol, list(softs), ring_fragmentation=True))
    finally:
        corvane._pair_label = own
    assert isinstance(r, (list, Exception)), repr(r)


def attack_nominal_mass_generator_rebinds_memo():
    mol = prepared_molecule(SMILES)
    memo = corvane._NOMINAL_ISOTOPE

    class Memo:
        def __init__(self):
            self.d = {}

        def get(self, k, default=None):
            return self.d.get(k, default)

        def __setitem__(self, k, v):
            self.d[k] = v

    def indices():
        for i in range(mol.GetNumAtoms()):
            if i == 3:
                corvane._NOMINAL_ISOTOPE = Memo()
            yield i

    try:
        got = corvane._nominal_mass(mol, indices())
    finally:
        corvane._NOMINAL_ISOTOPE = memo
    assert got == corvane._nominal_mass(mol, range(mol.GetNumAtoms()))


def attack_plot_fragments_mutate():
    import matplotlib.pyplot as plt

    frags = [{"split": True, "fragments": []} for _ in range(3)]

    class Entry:
        def __iter__(self):
            frags.clear()
            return iter(("C", 12.0, 12))

    frags[0]["fragments"] = [Entry(), Entry()]
    r = no_fault(lambda: corvane.plot_mass_spectrum("C", 16.0, frags))
    plt.close("all")
    assert not isinstance(r, SystemError)


def attack_suite_molecules_grow():
    import matplotlib.pyplot as plt

    own = corvane.VIF
    mols = ["CCO", "CC"]

    def vif(smi, **kw):
        mols.append("C")
        return own(smi, **kw)

    corvane.VIF = vif
    try:
        r = no_fault(lambda: corvane.VIF_panel(mols, by="smiles", cols=2))
        r2 = no_fault(lambda: corvane.VIF_ms_panel(["CCO"], by="smiles", cols=1))
    finally:
        corvane.VIF = own
        plt.close("all")
    assert not isinstance(r, SystemError) and not isinstance(r2, SystemError)


def attack_validate_references_mutate():
    own, refs = corvane.VIF, corvane.LPI_REFERENCES
    rows = list(refs)

    def vif(smi, **kw):
        rows.clear()
        corvane.MS_REFERENCES = [("x", "CC", 15)]
        return own(smi, **kw)

    corvane.LPI_REFERENCES, corvane.VIF = rows, vif
    ms = corvane.MS_REFERENCES
    try:
        r = no_fault(lambda: corvane.validate(verbose=False))
    finally:
        corvane.VIF, corvane.LPI_REFERENCES, corvane.MS_REFERENCES = own, refs, ms
    assert isinstance(r, (bool, Exception)), repr(r)


def attack_halogen_rows_rebind_plot():
    import matplotlib.pyplot as plt

    own = corvane.plot_mass_spectrum

    def rows():
        yield ("chloro", "CCCl", "note")
        corvane.plot_mass_spectrum = None  # calling it raises TypeError
        yield ("fluoro", "CCF", "note")

    try:
        r = no_fault(lambda: corvane.halogen_test(rows(), panel_n=2, save=None))
    finally:
        corvane.plot_mass_spectrum = own
        plt.close("all")
    assert isinstance(r, TypeError), repr(r)


CLASS1 = {
    **{f"{fn}: weight {m}": weight_mutation(fn, m)
       for fn in ("_fragment_atom_softs", "predict_fragments_recursive") for m in MUTATIONS},
    "node __hash__ adds nodes": attack_node_hash_mutates,
    "node __eq__ raises": attack_node_eq_raises,
    "chem_bonds generator removes nodes": attack_generator_mutates,
    "chem_bonds generator raises": attack_generator_raises,
    "tol.__float__ rebinds compute_lpi": attack_tol_rebinds_compute_lpi,
    "atom_subgraphs lookup adds nodes": attack_atom_subgraphs_mutate,
    "cascade: node __hash__ rebinds _nominal_mass": attack_cascade_hash_rebinds_nominal_mass,
    "_cut_atom_set: inconsistent int order": attack_cut_atom_set_inconsistent_order,
    "_cut_atom_set: order comparison clears inputs": attack_cut_atom_set_order_mutates,
    "predict_fragments: __index__ clears soft bonds, rebinds _pair_label": attack_predict_fragments_index_mutates,
    "_nominal_mass: generator rebinds the memo": attack_nominal_mass_generator_rebinds_memo,
    "plot_mass_spectrum: entry clears the fragments": attack_plot_fragments_mutate,
    "VIF_panel: rebound VIF grows the molecule list": attack_suite_molecules_grow,
    "validate: rebound VIF clears the references": attack_validate_references_mutate,
    "halogen_test: rows generator unbinds plot_mass_spectrum": attack_halogen_rows_rebind_plot,
}


# ---------------------------------------------------------------------------
# Class 5: integers Python would not overflow


class FakeAtom:
    def __init__(self, i, iso):
        self.i, self.iso = i, iso

    def GetIsotope(self):
        return self.iso

    def GetAtomicNum(self):
        return 6

    def GetSymbol(self):
        return "C"

    def GetMass(self):
        return 12.0


class FakeMol:
    def __init__(self, isotopes, n=None):
        self.atoms = [FakeAtom(i, iso) for i, iso in enumerate(isotopes)]
        self.n = len(isotopes) if n is None else n

    def GetNumAtoms(self):
        return self.n

    def GetAtomWithIdx(self, i):
        return self.atoms[i]

    def GetBonds(self):
        return []

    def GetAtoms(self):
        return self.atoms


def attack_nominal_huge_isotopes():
    isos = [2**62, 2**62, 2**63 - 1, 10**30]
    assert corvane._nominal_mass(FakeMol(isos), range(4)) == sum(isos)


def attack_nominal_huge_memo():
    mol = prepared_molecule(SMILES)
    memo = dict(corvane._NOMINAL_ISOTOPE)
    corvane._NOMINAL_ISOTOPE[6] = 2**62
    try:
        got = corvane._nominal_mass(mol, range(mol.GetNumAtoms()))
        n_c = sum(a.GetAtomicNum() == 6 for a in mol.GetAtoms())
        n_h = sum(a.GetAtomicNum() == 1 for a in mol.GetAtoms())
        n_o = sum(a.GetAtomicNum() == 8 for a in mol.GetAtoms())
        assert got == n_c * 2**62 + n_h * 1 + n_o * 16
    finally:
        corvane._NOMINAL_ISOTOPE.clear()
        corvane._NOMINAL_ISOTOPE.update(memo)


def cascade_both(mutate_cb=None, **kw):
    """The cascade with the module's own functions, and with a Python
    wrapper of _nominal_mass forcing the plain path."""
    G, subs, cb = record()
    if mutate_cb:
        cb = [mutate_cb(dict(c)) for c in cb]
    mol = prepared_molecule(SMILES)
    fast = corvane.predict_fragments_recursive(mol, G, subs, cb, **kw)
    own = corvane._nominal_mass
    corvane._nominal_mass = lambda m, idx: own(m, idx)
    try:
        slow = corvane.predict_fragments_recursive(mol, G, subs, cb, **kw)
    finally:
        corvane._nominal_mass = own
    assert list(fast.items()) == list(slow.items())
    return fast


def attack_cascade_huge_memo():
    memo = dict(corvane._NOMINAL_ISOTOPE)
    corvane._NOMINAL_ISOTOPE[6] = 2**62
    corvane._NOMINAL_ISOTOPE[8] = 2**63
    try:
        peaks = cascade_both(max_generations=2)
    finally:
        corvane._NOMINAL_ISOTOPE.clear()
        corvane._NOMINAL_ISOTOPE.update(memo)
    assert max(peaks) > 2**64


def attack_cascade_huge_orders():
    def order(v):
        return lambda c: dict(c, order=v)

    two = cascade_both(order(2), max_generations=2)
    assert cascade_both(order(10**100), max_generations=2) == two
    assert cascade_both(order(2**64 + 2), max_generations=2) == two
    one = cascade_both(order(1), max_generations=2)
    assert cascade_both(order(-(10**100)), max_generations=2) == one


def attack_cascade_huge_limits():
    many = cascade_both(max_generations=50)
    assert cascade_both(max_generations=10**30) == many
    assert cascade_both(max_generations=2**63) == many
    high = cascade_both(min_mz=1e300)
    assert cascade_both(min_mz=2**53 + 1) == high
    assert cascade_both(min_mz=10**400) == high


def attack_atom_count_out_of_range():
    G, subs, cb = record()
    for n, exc in ((2**70, OverflowError), (2**40, ValueError), (-1, ValueError), (3.5, TypeError)):
        mol = FakeMol([12], n=n)
        raises(exc, "", lambda: corvane.predict_fragments_recursive(mol, G, subs, cb))
        raises(exc, "", lambda: corvane.predict_fragments(mol, []))


def attack_predict_fragments_huge_order():
    mol = prepared_molecule(SMILES)
    _, _, cb = record()
    want = corvane.predict_fragments(mol, [dict(c, order=2) for c in cb], ring_fragmentation=True)
    got = corvane.predict_fragments(mol, [dict(c, order=10**100) for c in cb], ring_fragmentation=True)
    assert got == want


CLASS5 = {
    "_nominal_mass: isotopes beyond 64 bits": attack_nominal_huge_isotopes,
    "_nominal_mass: memoised masses beyond 64 bits": attack_nominal_huge_memo,
    "cascade: masses beyond 64 bits": attack_cascade_huge_memo,
    "cascade: huge bond orders": attack_cascade_huge_orders,
    "cascade: huge generation limit and thresholds": attack_cascade_huge_limits,
    "atom count out of range": attack_atom_count_out_of_range,
    "predict_fragments: huge bond orders": attack_predict_fragments_huge_order,
}


# ---------------------------------------------------------------------------
# Class 10: errors of the wrong type


def corruptions():
    """Ways to break a graph's internals, as a user reaching into them could."""

    def node_list(G):
        G._node = list(G._node)

    def adj_list(G):
        G._adj = [1, 2]

    def row_list(G):
        u = next(iter(G._adj))
        G._adj[u] = list(G._adj[u])

    def data_int(G):
        u, v = next(iter(G.edges))
        G._adj[u][v] = 5

    def data_subclass(G):
        class D(dict):
            def get(self, k, d=None):
                raise KeyError("own get")

        u, v = next(iter(G.edges))
        G._adj[u][v] = G._adj[v][u] = D(G._adj[u][v])

    def weight_text(G):
        u, v = next(iter(G.edges))
        G[u][v]["weight"] = "abc"

    def data_key_int(G):
        u, v = next(iter(G.edges))
        G[u][v][5] = 1

    return {
        "_node is a list": node_list,
        "_adj is a list": adj_list,
        "an adjacency row is a list": row_list,
        "edge data is an int": data_int,
        "edge data is a dict subclass": data_subclass,
        "a weight is text": weight_text,
        "edge data has a non-str key": data_key_int,
    }


def corrupted(fn_name, which):
    def attack():
        G, subs, cb = record()
        corruptions()[which](G)
        fn = _softs if fn_name == "_fragment_atom_softs" else lambda *a: _cascade(*a, max_generations=1)
        r = no_fault(lambda: fn(G, subs, cb))
        # The same answer as networkx gives on the plain path: a result or
        # an error of the same type.
        with plain_lpi():
            want = no_fault(lambda: fn(G, subs, cb))
        if isinstance(want, Exception) and which != "a weight is text":
            assert type(r) is type(want), (r, want)
        assert not isinstance(r, SystemError)

    return attack


def attack_bad_containers():
    mol = prepared_molecule(SMILES)
    G, subs, cb = record()
    raises(TypeError, "", lambda: corvane._fragment_atom_softs(G, 5, cb, {0, 1}))
    raises(TypeError, "", lambda: corvane._fragment_atom_softs(G, subs, 5, {0, 1}))
    raises(TypeError, "", lambda: corvane._fragment_atom_softs(G, subs, [5], {0, 1}))
    raises(TypeError, "", lambda: corvane._cut_atom_set(mol, 5, cb, True, 25))
    raises(TypeError, "", lambda: corvane.predict_fragments(mol, [5]))
    raises(TypeError, "", lambda: corvane._nominal_mass(mol, 5))
    raises(TypeError, "", lambda: corvane.predict_fragments_recursive(mol, G, 5, cb))


def attack_suites_wrong_shapes():
    import matplotlib.pyplot as plt

    own_refs, own_vif = corvane.LPI_REFERENCES, corvane.VIF
    try:
        corvane.LPI_REFERENCES = [("a", "CC")]
        raises(ValueError, "not enough values", lambda: corvane.validate(verbose=False))
        corvane.LPI_REFERENCES = [5]
        raises(TypeError, "", lambda: corvane.validate(verbose=False))
        corvane.LPI_REFERENCES = own_refs
        corvane.VIF = lambda smi, **kw: [1, 2]
        raises(TypeError, "", lambda: corvane.validate(verbose=False))
        corvane.VIF = lambda smi, **kw: {"lpi": 5, "mol_mass": 1.0}
        raises(TypeError, "", lambda: corvane.triple_group_demo("CC", None))
        corvane.VIF = own_vif
        raises(TypeError, "", lambda: corvane.halogen_test([("a", "CCCl", "n")], panel_n="x", save=None))
        raises(ZeroDivisionError, "", lambda: corvane.VIF_panel(["CC"], by="smiles", cols=0))
    finally:
        corvane.LPI_REFERENCES, corvane.VIF = own_refs, own_vif
        plt.close("all")


CLASS10 = {
    **{f"{fn}: {which}": corrupted(fn, which)
       for fn in ("_fragment_atom_softs", "predict_fragments_recursive") for which in corruptions()},
    "containers of the wrong type": attack_bad_containers,
    "suites: records and references of the wrong shape": attack_suites_wrong_shapes,
}

ATTACKS = {"class1": CLASS1, "class5": CLASS5, "class10": CLASS10}


# ---------------------------------------------------------------------------
# Running the attacks of one class in a child process

MARK = "@@attack@@ "

CHILD = textwrap.dedent(
    """
    import json, sys, traceback
    import matplotlib
    matplotlib.use("Agg")
    import test_attack_ms as m
    MARK = m.MARK
    attacks = m.ATTACKS[sys.argv[1]]
    for name in json.loads(sys.argv[2]):
        print(MARK + json.dumps(["start", name]), flush=True)
        try:
            attacks[name]()
            print(MARK + json.dumps(["pass", name]), flush=True)
        except BaseException:
            print(MARK + json.dumps(["fail", name, traceback.format_exc()[-3000:]]), flush=True)
    """
)


def run_class(cls):
    """Runs every attack of a class; a crash is charged to the attack that
    was running, and the rest go on in a new child.  name -> (status, text)."""
    names = list(ATTACKS[cls])
    results = {}
    env = dict(
        os.environ,
        MPLBACKEND="Agg",
        PYTHONPATH=os.pathsep.join([os.path.dirname(corvane.__file__), str(Path(__file__).parent)]),
    )
    while names:
        proc = subprocess.run(
            [sys.executable, "-P", "-c", CHILD, cls, json.dumps(names)],
            capture_output=True,
            env=env,
            timeout=1200,
        )
        running = None
        for line in proc.stdout.decode(errors="replace").splitlines():
            if not line.startswith(MARK):
                continue
            msg = json.loads(line[len(MARK):])
            if msg[0] == "start":
                running = msg[1]
            else:
                results[msg[1]] = (msg[0], msg[2] if len(msg) > 2 else "")
                running = None
        if proc.returncode != 0 and running is not None:
            results[running] = ("crash", f"exit {proc.returncode}\n{proc.stderr.decode(errors='replace')[-3000:]}")
        elif proc.returncode != 0:
            for n in names:
                results.setdefault(n, ("crash", proc.stderr.decode(errors="replace")[-3000:]))
        names = [n for n in names if n not in results]
    return results


_RESULTS = {}


@pytest.fixture(scope="module")
def attack_results():
    def get(cls):
        if cls not in _RESULTS:
            _RESULTS[cls] = run_class(cls)
        return _RESULTS[cls]

    return get


@pytest.mark.parametrize(
    "cls, name", [pytest.param(c, n, id=f"{c}-{n}") for c, attacks in ATTACKS.items() for n in attacks]
)
def test_attack(attack_results, cls, name):
    status, text = attack_results(cls)[name]
    assert status == "pass", f"{name}: {status}\n{text}"


# ---------------------------------------------------------------------------
# Class 6: the fast soft-bond paths against the plain ones at any weight

LONG = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "0"))


def both_paths(fn):
    own = corvane.compute_lpi
    fast = fn()
    corvane.compute_lpi = lambda *a, **k: own(*a, **k)
    try:
        slow = fn()
    finally:
        corvane.compute_lpi = own
    return fast, slow


magnitudes = st.floats(min_value=-300, max_value=300)


@st.composite
def weighted_graphs(draw):
    n = draw(st.integers(2, 12))
    edges = draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), min_size=1, max_size=30))
    G = nx.Graph()
    G.add_nodes_from(range(n))
    scale = draw(magnitudes)
    spread = draw(st.sampled_from([0.0, 0.5, 3.0, 600.0]))  # one magnitude, or weights far apart
    for u, v in edges:
        if u == v:
            continue
        e = max(-300.0, min(300.0, scale + draw(st.floats(-spread, spread))))
        sign = draw(st.sampled_from([1.0, 1.0, -1.0]))
        G.add_edge(u, v, weight=sign * draw(st.sampled_from([1.0, 2.0, 0.5, 1.5])) * 10.0**e)
    tol = draw(st.sampled_from([1e-9, 0.0, None]))
    if tol is None:  # a band on the scale of the weights
        tol = 10.0 ** max(-300.0, min(300.0, scale - 3))
    return G, tol


@settings(max_examples=max(LONG, 150), deadline=None, suppress_health_check=list(HealthCheck))
@given(weighted_graphs())
def test_fast_and_plain_soft_bonds_agree_at_any_weight(case):
    G, tol = case
    recs = [{"u_node": u, "v_node": v, "atom_u": u, "atom_v": v} for u, v in G.edges]
    base = corvane.compute_lpi(G, tol=tol)
    fast, slow = both_paths(lambda: corvane.detect_soft_bonds(G, recs, base, tol=tol))
    assert [id(r) for r in fast] == [id(r) for r in slow]
    subs = {a: [a] for a in G.nodes}
    fast, slow = both_paths(lambda: corvane._fragment_atom_softs(G, subs, recs, set(G.nodes), tol))
    assert [id(r) for r in fast] == [id(r) for r in slow]


@pytest.mark.parametrize("scale", [1e-300, 1e-150, 1e100, 1e155, 1e170, 1e200, 1e300, 1e307])
def test_fast_and_plain_agree_on_a_scaled_molecule(scale):
    """The VIF graph of a molecule with every weight scaled: soft bonds of the
    whole graph and of the cascade, fast and plain."""
    G, subs, cb = record()
    G = copy.deepcopy(G)
    for _, _, d in G.edges(data=True):
        d["weight"] = d.get("weight", 1.0) * scale
    base = corvane.compute_lpi(G)
    fast, slow = both_paths(lambda: corvane.detect_soft_bonds(G, cb, base))
    assert [id(r) for r in fast] == [id(r) for r in slow]
    atoms = set(range(len(subs)))
    fast, slow = both_paths(lambda: corvane._fragment_atom_softs(G, subs, cb, atoms))
    assert [id(r) for r in fast] == [id(r) for r in slow]
    mol = prepared_molecule(SMILES)
    fast, slow = both_paths(lambda: corvane.predict_fragments_recursive(mol, G, subs, cb, max_generations=1))
    assert list(fast.items()) == list(slow.items())
