// The passing signals' weight rows (the extraction buffer) and their PnL at one row.
#include "row_loop.hpp"

namespace ee::driver {

void Loop::ensure_buffer(Py_ssize_t A) {
    if (!buffer.is_none()) {
        PyArrayObject *b = as_array(buffer);
        if (PyArray_DIM(b, 0) >= A && PyArray_DIM(b, 1) == N) return;
    }
    buffer = zeros_f64(A, N);
}

// target[k] = weights[t], target being a C-contiguous (>k, N) float64 array.
void Loop::fill_row(nb::handle target, Py_ssize_t k, nb::handle weights, Py_ssize_t t) {
    if (copy_plain_row(weights, t, N, f64_data(target) + k * N)) return;
    nb::object row = check(PyObject_GetItem(weights.ptr(), py_int(t).ptr()));
    if (PyObject_SetItem(target.ptr(), py_int(k).ptr(), row.ptr()) != 0)
        throw nb::python_error();
}

// The passing ids as a tuple of their own: its size is the number of ids iterated, not
// what the container's len() claims, and no callback can change it while we walk it.
nb::object Loop::id_tuple(nb::handle ids) { return check(PySequence_Tuple(ids.ptr())); }

// Weight rows at t of the signals named by the tuple `ids`, into the first rows of the
// buffer.
void Loop::fill_signals(nb::handle ids, Py_ssize_t t) {
    Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
    ensure_buffer(A);
    nb::object signals = get_attr(d.context, "useful_signals");
    for (Py_ssize_t k = 0; k < A; ++k) {
        nb::object sig = get_item(signals, PyTuple_GET_ITEM(ids.ptr(), k));
        fill_row(buffer, k, get_attr(sig, "weights"), t);
    }
}

nb::object Loop::sorted_signal_ids() {
    nb::object signals = get_attr(d.context, "useful_signals");
    nb::object ids = check(PySequence_List(signals.ptr()));
    if (PyList_Sort(ids.ptr()) != 0) throw nb::python_error();
    return check(PyList_AsTuple(ids.ptr()));
}

// signal_pnl of a stateful reduction at row t, for the tuple `ids`.
nb::object Loop::signal_pnl_row(nb::handle ids, nb::handle pnl_column, Py_ssize_t t) {
    const Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
    nb::object out = zeros_f64_1d(A);
    double *o = f64_data(out);
    nb::object vectors = get_attr(d.context, "signal_pnl_vectors");
    if (truthy(vectors)) {
        nb::object zero = check(PyFloat_FromDouble(0.0));
        for (Py_ssize_t k = 0; k < A; ++k) {
            nb::handle sid = PyTuple_GET_ITEM(ids.ptr(), k);
            if (!contains(vectors, sid)) continue;
            nb::object v = dict_get(get_item(vectors, sid), pnl_column, zero);
            if (PyFloat_CheckExact(v.ptr())) o[k] = PyFloat_AS_DOUBLE(v.ptr());
            else if (PyObject_SetItem(out.ptr(), py_int(k).ptr(), v.ptr()) != 0)
                throw nb::python_error();
        }
        return out;
    }
    Py_ssize_t col = 0;
    nb::object labels = get_attr(d.context, "column_labels");
    if (truthy(labels)) {
        PyObject *r = PyObject_CallMethod(labels.ptr(), "index", "O", pnl_column.ptr());
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            nb::object lookup_error = nb::steal(PyErr_GetRaisedException());
            nb::object err = global("EvaluationError")(
                pystr("PnL column '" + to_str(pnl_column) +
                      "' not found in column_labels: " + to_str(labels)));
            PyException_SetContext(err.ptr(), lookup_error.release().ptr());
            raise_instance(err);
        }
        nb::object idx = nb::steal(r);
        col = PyLong_AsSsize_t(idx.ptr());
        if (col == -1 && PyErr_Occurred()) throw nb::python_error();
    }
    nb::object signals = get_attr(d.context, "useful_signals");
    for (Py_ssize_t k = 0; k < A; ++k) {
        nb::handle sid = PyTuple_GET_ITEM(ids.ptr(), k);
        if (!contains(signals, sid)) continue;
        nb::object pnl = get_attr(get_item(signals, sid), "pnl");
        set_pnl_entry(out, k, pnl, t, col);
    }
    return out;
}

// out[k] = pnl[row, col]
void Loop::set_pnl_entry(nb::handle out, Py_ssize_t k, nb::handle pnl, Py_ssize_t row,
                          Py_ssize_t col) {
    if (PyArray_CheckExact(pnl.ptr())) {
        PyArrayObject *a = as_array(pnl);
        if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) &&
            PyArray_NDIM(a) == 2 && row < PyArray_DIM(a, 0) && col < PyArray_DIM(a, 1)) {
            const char *p = (const char *) PyArray_DATA(a) + row * PyArray_STRIDE(a, 0) +
                            col * PyArray_STRIDE(a, 1);
            std::memcpy(f64_data(out) + k, p, sizeof(double));
            return;
        }
    }
    nb::object index = nb::make_tuple(py_int(row), py_int(col));
    nb::object v = check(PyObject_GetItem(pnl.ptr(), index.ptr()));
    if (PyObject_SetItem(out.ptr(), py_int(k).ptr(), v.ptr()) != 0) throw nb::python_error();
}

// reduction_input: the first A rows of the buffer (a view).
nb::object Loop::buffer_head(Py_ssize_t A) {
    if (buffer.is_none()) return zeros_f64(A, N);
    Py_ssize_t rows = std::min<Py_ssize_t>(A, PyArray_DIM(as_array(buffer), 0));
    return view_of(buffer, f64_data(buffer), 2, rows, N);
}

}  // namespace ee::driver
