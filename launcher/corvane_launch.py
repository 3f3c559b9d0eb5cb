"""Run the corvane extension module as the main program.

An extension module cannot be run with ``python -m``: the import system needs
a code object for that.  This launcher initialises the module through its own
entry point with the name ``__main__``, so the module's main-program step
runs (the substituted-halogen test).
"""
import ctypes
import importlib.machinery
import importlib.util
import sys


def main():
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
