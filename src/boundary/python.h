#pragma once
// The one include of Python.h. The module is built for the stable ABI of
// CPython 3.8 and later; anything else would tie it to one interpreter.
#ifndef Py_LIMITED_API
#error "kestrix must be built with Py_LIMITED_API=0x03080000"
#endif
#if Py_LIMITED_API != 0x03080000
#error "kestrix must be built with Py_LIMITED_API=0x03080000"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
