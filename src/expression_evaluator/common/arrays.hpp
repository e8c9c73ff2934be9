// NumPy C API access shared by every translation unit of the module, and the conversions
// that mirror numpy.asarray / numpy.ascontiguousarray with dtype float64.
#pragma once

#include "py.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL TESSALINE_EE_ARRAY_API
#ifndef EE_IMPORT_ARRAY_HERE
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdint>
#include <string>

namespace ee {

// Load the NumPy C API (called once from the module init).
void import_numpy();

// Set up the pool of reusable buffers for large results (once, after import_numpy).
void init_buffer_pool();

// An uninitialised C-contiguous float64 array; large ones take their buffer from the pool
// (buffers.cpp).
nb::object empty_f64_reused(int nd, npy_intp *dims);

inline PyArrayObject *as_array(nb::handle h) { return (PyArrayObject *) h.ptr(); }

// An exact ndarray (not a subclass) of native-order float64.
inline bool is_plain_f64(nb::handle h) {
    if (!PyArray_CheckExact(h.ptr())) return false;
    PyArrayObject *a = as_array(h);
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a);
}

// numpy.asarray(obj, dtype=numpy.float64): the object itself when it already is a plain
// float64 ndarray, else NumPy's own conversion (looked up through the module global `np`).
nb::object asarray_f64(nb::handle obj);

// numpy.ascontiguousarray(obj, dtype=numpy.float64).
nb::object ascontiguous_f64(nb::handle obj);

// New C-contiguous float64 arrays.
nb::object empty_f64(npy_intp rows, npy_intp cols);
nb::object zeros_f64(npy_intp rows, npy_intp cols);
nb::object full_nan_f64(npy_intp rows, npy_intp cols);
nb::object zeros_f64_1d(npy_intp n);

inline double *f64_data(nb::handle h) { return (double *) PyArray_DATA(as_array(h)); }

// to_str(obj.shape), the tuple form used in messages ("(250, 40)").
std::string shape_text(nb::handle obj);

}  // namespace ee
