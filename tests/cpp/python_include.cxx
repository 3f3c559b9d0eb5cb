// Compiled by ctest with the core library's include path: it must not
// compile, because a core source that includes a Python header must not.
#include <Python.h>
