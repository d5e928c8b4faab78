// NumPy's C API, shared by every file of the extension through one table pointer that
// convert.cpp loads on first use.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL zarel_ARRAY_API
#ifndef ZAREL_NUMPY_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
