"""Run the corvane extension module as the main program.

An extension module cannot be run with ``python -m``: the import system needs
a code object for that.  This launcher initialises the module through its own
entry point with the name ``__main__``, so the module's main-program step
runs (the substituted-halogen test).
"""
import argparse
import ctypes
import importlib.machinery
import importlib.util
import sys

DESCRIPTION = """\
Run the corvane module as the main program: the substituted-halogen test.

For each of a list of halogen-substituted molecules it builds the VIF graph,
prints the LPI and which carbon-halogen bonds are soft (with the fragments
their cut gives beside the peaks measured in EI spectra), draws the graphs in
one panel and saves it to /tmp/vif_halogen.png.  Takes a few seconds.

The spectra workbench (predict, annotate, identify, evaluate) is the
separate `corvane` command: see `corvane --help`."""


def main(argv=None):
    argparse.ArgumentParser(prog="corvane-main", description=DESCRIPTION,
                            formatter_class=argparse.RawDescriptionHelpFormatter).parse_args(argv)
    spec = importlib.util.find_spec("corvane")
    if spec is None or spec.origin is None:
        raise SystemExit("corvane is not installed")
    lib = ctypes.PyDLL(spec.origin)
    init = lib.PyInit_corvane
    init.restype = ctypes.py_object
    moddef = init()
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.py_object]
    main_spec = importlib.machinery.ModuleSpec("__main__", spec.loader, origin=spec.origin)
    module = api.PyModule_FromDefAndSpec2(moddef, main_spec, 1013)
    sys.modules["__main__"] = module
    if api.PyModule_ExecDef(module, moddef) != 0:
        raise RuntimeError("corvane failed to run as the main program")


if __name__ == "__main__":
    main()
