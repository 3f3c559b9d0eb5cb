"""The typed stub shipped beside the extension agrees with the live module,
and a type checker uses it."""
import ast
import importlib.metadata
import inspect
import os
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import corvane

STUB = Path(corvane.__file__).with_name("corvane.pyi")
FUNCTION_TYPE = type(corvane.VIF)


@pytest.fixture(scope="module")
def stub():
    assert STUB.exists(), f"no stub beside {corvane.__file__}"
    return ast.parse(STUB.read_text())


def live_functions():
    """The registry functions in definition order (_get_period is wrapped in its cache)."""
    out = []
    for name, value in vars(corvane).items():
        if type(value) is FUNCTION_TYPE or type(getattr(value, "__wrapped__", None)) is FUNCTION_TYPE:
            out.append(name)
    return out


def stub_functions(tree):
    return [node for node in tree.body if isinstance(node, ast.FunctionDef)]


def test_functions_in_registry_order(stub):
    assert [f.name for f in stub_functions(stub)] == live_functions()
    assert len(live_functions()) == 28


def test_parameters_and_defaults(stub):
    for f in stub_functions(stub):
        fn = getattr(corvane, f.name)
        fn = getattr(fn, "__wrapped__", fn)
        sig = inspect.signature(fn)
        params = list(sig.parameters.values())
        args = f.args
        names = [a.arg for a in args.args] + ([args.kwarg.arg] if args.kwarg else [])
        assert names == [p.name for p in params], f.name
        assert not args.posonlyargs and not args.kwonlyargs and not args.vararg, f.name
        if args.kwarg:
            assert params[-1].kind is inspect.Parameter.VAR_KEYWORD
        stub_defaults = tuple(ast.literal_eval(d) for d in args.defaults)
        live_defaults = fn.__defaults__ or ()
        assert stub_defaults == live_defaults, f.name
        assert [type(d) for d in stub_defaults] == [type(d) for d in live_defaults], f.name
        assert f.returns is not None and all(a.annotation is not None for a in args.args), f.name
        assert ast.get_docstring(f), f.name
        # The runtime functions carry no documentation of their own.
        assert fn.__doc__ is None


def test_every_module_name_is_declared(stub):
    declared = {n.target.id for n in stub.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}
    aliases = {"Mol", "Graph", "Coords"}
    module_names = {n for n in vars(corvane) if not n.startswith("__")} - set(live_functions())
    assert declared - aliases == module_names
    records = {n.targets[0].id for n in stub.body if isinstance(n, ast.Assign)}
    assert {"LpiRecord", "ChemBond", "Prediction", "Peak", "VifResult"} <= records


def test_record_keys_match_a_live_result(stub):
    records = {}
    for n in stub.body:
        if isinstance(n, ast.Assign) and isinstance(n.value, ast.Call):
            records[n.targets[0].id] = [k.value for k in n.value.args[1].keys]
    r = corvane.VIF("CC(=O)Cl", draw=False, verbose=False, recursive_ms=True)
    assert records["VifResult"] == list(r)
    assert records["LpiRecord"] == list(r["lpi"])
    assert records["ChemBond"] == list(r["chem_bonds"][0])
    assert records["Prediction"] == list(r["fragments"][0])
    assert records["Peak"] == list(next(iter(r["recursive_peaks"].values())))


def test_version_comes_from_the_package_metadata():
    pyproject = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())
    assert importlib.metadata.version("corvane") == pyproject["project"]["version"]


GOOD = '''
from typing import TYPE_CHECKING

import corvane

if TYPE_CHECKING:
    from corvane import ChemBond, LpiRecord, Peak, Prediction, VifResult


def analyse(smiles: str) -> tuple[int, list[str], dict[int, "Peak"]]:
    r = corvane.VIF(smiles, draw=False, verbose=False, recursive_ms=True)
    if isinstance(r, str):
        raise ValueError(r)
    result: "VifResult" = r
    lpi: "LpiRecord" = result["lpi"]
    total = lpi["n+"] + lpi["n0"] + lpi["n-"]
    soft: "list[ChemBond]" = result["soft_bonds"]
    mol = corvane.Chem.AddHs(corvane.Chem.MolFromSmiles(smiles))
    preds: "list[Prediction]" = corvane.predict_fragments(mol, soft, ring_fragmentation=True)
    labels = [p["bond"] for p in preds if p["split"]]
    parts: set[frozenset[int]] = corvane._cut_atom_set(mol, set(range(mol.GetNumAtoms())), soft, True, 25)
    peaks = corvane.predict_fragments_recursive(
        mol, result["graph"], result["atom_subgraphs"], result["chem_bonds"], max_generations=2
    )
    return total + len(parts), labels, peaks
'''

BAD = '''
import corvane

r = corvane.VIF("CCO", draw=False, verbose=False)
if not isinstance(r, str):
    n: str = r["lpi"]["n+"]
corvane.predict_fragments(None, [], ring_fragmentation=True, min_ring_fragment_mz="30")
corvane.VIF("CCO", nonsense=1)
'''


def run_mypy(tmp_path, source):
    script = tmp_path / "script.py"
    script.write_text(source)
    # An installed build ships the stub-only package corvane-stubs beside the
    # extension, which mypy finds with no setting, as it would for a user; a
    # build run in place has only corvane.pyi, handed to mypy through MYPYPATH.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if not (STUB.parent / "corvane-stubs" / "__init__.pyi").exists():
        stubs = tmp_path / "stubs"
        stubs.mkdir()
        (stubs / "corvane.pyi").write_bytes(STUB.read_bytes())
        env["MYPYPATH"] = str(stubs)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(script)],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )


def test_mypy_accepts_a_typed_script(tmp_path):
    pytest.importorskip("mypy")
    res = run_mypy(tmp_path, GOOD)
    assert res.returncode == 0, res.stdout + res.stderr


def test_mypy_rejects_wrong_use(tmp_path):
    pytest.importorskip("mypy")
    res = run_mypy(tmp_path, BAD)
    assert res.returncode == 1
    assert res.stdout.count("error:") == 3, res.stdout
