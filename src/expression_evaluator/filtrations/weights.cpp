// Weight rows of the signals that passed a filtration, at one time step.
#include "filtrations.hpp"

namespace ee {

namespace {

nb::object weights_of(nb::handle useful_signals, nb::handle sid) {
    nb::object signal = check(PyObject_GetItem(useful_signals.ptr(), sid.ptr()));
    return get_attr(signal, "weights");
}

// Ids are str (subclasses included) or None.
void check_id(nb::handle sid) {
    if (sid.is_none() || PyUnicode_Check(sid.ptr())) return;
    raise_builtin(PyExc_TypeError, "Expected str, got " + tname(sid));
}

nb::object np_empty(nb::handle shape) {
    nb::object np = global("np");
    nb::object kwargs = check(PyDict_New());
    if (PyDict_SetItemString(kwargs.ptr(), "dtype", get_attr(np, "float64").ptr()) != 0)
        throw nb::python_error();
    nb::object args = check(PyTuple_Pack(1, shape.ptr()));
    return check(PyObject_Call(get_attr(np, "empty").ptr(), args.ptr(), kwargs.ptr()));
}

}  // namespace

nb::object direct::extract_filtration_weights(nb::handle useful_signals, nb::handle passing_ids,
                                              int t) {
    nb::object t_obj = check(PyLong_FromLong(t));

    if (!truthy(passing_ids)) {
        nb::object n_alloc;
        if (!truthy(useful_signals)) {
            n_alloc = check(PyLong_FromLong(0));
        } else {
            nb::object values = get_attr(useful_signals, "values")();
            nb::object it = check(PyObject_GetIter(values.ptr()));
            PyObject *first = PyIter_Next(it.ptr());
            if (!first) {
                throw_if_error();
                PyErr_SetNone(PyExc_StopIteration);
                throw nb::python_error();
            }
            nb::object first_signal = nb::steal(first);
            nb::object shape = get_attr(get_attr(first_signal, "weights"), "shape");
            nb::object one = check(PyLong_FromLong(1));
            n_alloc = check(PyObject_GetItem(shape.ptr(), one.ptr()));
        }
        nb::object zero = check(PyLong_FromLong(0));
        return np_empty(check(PyTuple_Pack(2, zero.ptr(), n_alloc.ptr())));
    }

    // Dimensions come from the first passing signal.
    nb::object zero = check(PyLong_FromLong(0));
    nb::object first_id = check(PyObject_GetItem(passing_ids.ptr(), zero.ptr()));
    nb::object first_weights = weights_of(useful_signals, first_id);
    auto [T, n_alloc] = unpack2(get_attr(first_weights, "shape"));

    int below = PyObject_RichCompareBool(t_obj.ptr(), zero.ptr(), Py_LT);
    if (below < 0) throw nb::python_error();
    int beyond = below ? 0 : PyObject_RichCompareBool(t_obj.ptr(), T.ptr(), Py_GE);
    if (beyond < 0) throw nb::python_error();
    if (below || beyond) {
        raise_builtin(PyExc_IndexError,
                      "t=" + std::to_string(t) +
                          " out of bounds for weights array with valid range [0, " +
                          format_text(T) + ")");
    }

    // Every id is checked before anything is allocated or copied.
    {
        nb::object it = check(PyObject_GetIter(passing_ids.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object sid = nb::steal(raw);
            check_id(sid);
            if (!contains(useful_signals, sid)) {
                nb::object exc = check(PyObject_CallOneArg(PyExc_KeyError, sid.ptr()));
                raise_instance(exc);
            }
        }
        throw_if_error();
    }

    Py_ssize_t count = length(passing_ids);
    nb::object count_obj = check(PyLong_FromSsize_t(count));
    nb::object result;
    npy_intp n = -1;
    if (PyLong_CheckExact(n_alloc.ptr())) {
        n = PyLong_AsSsize_t(n_alloc.ptr());
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    if (n >= 0)
        result = empty_f64(count, n);
    else  // let NumPy report (or accept) an unusual dimension
        result = np_empty(check(PyTuple_Pack(2, count_obj.ptr(), n_alloc.ptr())));
    bool native = n >= 0 && is_plain_f64(result);

    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object index = check(PyLong_FromSsize_t(i));
        nb::object sid = check(PyObject_GetItem(passing_ids.ptr(), index.ptr()));
        check_id(sid);
        nb::object weights = weights_of(useful_signals, sid);
        if (native && copy_plain_row(weights, t, n, f64_data(result) + (npy_intp) i * n)) continue;
        // Other dtypes, layouts and shapes: NumPy's own row assignment result[i] = weights[t].
        nb::object row = check(PyObject_GetItem(weights.ptr(), t_obj.ptr()));
        if (PyObject_SetItem(result.ptr(), index.ptr(), row.ptr()) != 0) throw nb::python_error();
    }
    return result;
}

}  // namespace ee
