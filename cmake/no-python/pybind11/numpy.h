// Placed first on the include path of the core library and its tests: core
// code works on plain C++ data and must not include Python headers.  Put
// interpreter-facing code in a *_bind.cpp file or an adapter instead.
#error "a core source includes a Python header; cores are plain C++"
