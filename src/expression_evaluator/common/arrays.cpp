#include "arrays.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace ee {

static nb::object np_call(const char *fname, nb::handle obj) {
    nb::object np = global("np");
    nb::object fn = get_attr(np, fname);
    nb::object f64 = get_attr(np, "float64");
    nb::object kwargs = check(PyDict_New());
    if (PyDict_SetItemString(kwargs.ptr(), "dtype", f64.ptr()) != 0) throw nb::python_error();
    nb::object args = check(PyTuple_Pack(1, obj.ptr()));
    return check(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object asarray_f64(nb::handle obj) {
    if (is_plain_f64(obj)) return nb::borrow(obj);
    return np_call("asarray", obj);
}

nb::object ascontiguous_f64(nb::handle obj) {
    if (is_plain_f64(obj)) {
        PyArrayObject *a = as_array(obj);
        if (PyArray_NDIM(a) >= 1 && PyArray_IS_C_CONTIGUOUS(a)) return nb::borrow(obj);
    }
    return np_call("ascontiguousarray", obj);
}

static nb::object new_f64(int nd, npy_intp *dims, bool zero) {
    if (!zero) return empty_f64_reused(nd, dims);
    return check(PyArray_ZEROS(nd, dims, NPY_DOUBLE, 0));
}

nb::object empty_f64(npy_intp rows, npy_intp cols) {
    npy_intp dims[2] = {rows, cols};
    return new_f64(2, dims, false);
}

nb::object zeros_f64(npy_intp rows, npy_intp cols) {
    npy_intp dims[2] = {rows, cols};
    return new_f64(2, dims, true);
}

nb::object full_nan_f64(npy_intp rows, npy_intp cols) {
    nb::object a = empty_f64(rows, cols);
    double *p = f64_data(a);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (npy_intp i = 0, n = rows * cols; i < n; ++i) p[i] = nan;
    return a;
}

nb::object zeros_f64_1d(npy_intp n) {
    npy_intp dims[1] = {n};
    return new_f64(1, dims, true);
}

std::string shape_text(nb::handle obj) { return to_str(get_attr(obj, "shape")); }

}  // namespace ee
