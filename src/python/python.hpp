#pragma once
// The one way into CPython's headers: the module is built for the stable ABI of 3.11 and later,
// so anything outside the limited API must fail to compile rather than tie the binary to one
// interpreter version.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 != 0x030B0000
#error "tesk's boundary must be compiled against the limited API of CPython 3.11"
#endif
