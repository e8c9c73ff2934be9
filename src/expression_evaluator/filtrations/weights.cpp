// Weight rows of the signals that passed a filtration, at one time step.
#include "../common/arrays.hpp"
#include "filtrations.hpp"

#include <cstring>

namespace ee {

namespace {

// `a, b = obj` with the interpreter's unpacking errors.
std::pair<nb::object, nb::object> unpack2(nb::handle obj) {
    PyObject *raw_it = PyObject_GetIter(obj.ptr());
    if (!raw_it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_builtin(PyExc_TypeError, "cannot unpack non-iterable " + tname(obj) + " object");
        }
        throw nb::python_error();
    }
    nb::object it = nb::steal(raw_it);
    nb::object items[2];
    for (int k = 0; k < 2; ++k) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            throw_if_error();
            raise_builtin(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                                std::to_string(k) + ")");
        }
        items[k] = nb::steal(item);
    }
    if (PyObject *extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        raise_builtin(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    throw_if_error();
    return {items[0], items[1]};
}

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

nb::object format_text(nb::handle value) {
    nb::object empty_format = check(PyUnicode_FromString(""));
    return check(PyObject_Format(value.ptr(), empty_format.ptr()));
}

// Copies row t of `weights` into `dst` (n doubles) when weights is a plain aligned float64
// matrix with n columns and at least t + 1 rows; false otherwise (NumPy does the rest).
bool copy_row_f64(nb::handle weights, int t, npy_intp n, double *dst) {
    if (!is_plain_f64(weights)) return false;
    PyArrayObject *a = as_array(weights);
    if (PyArray_NDIM(a) != 2 || !PyArray_ISALIGNED(a)) return false;
    const npy_intp *dims = PyArray_DIMS(a);
    if (dims[1] != n || t >= dims[0]) return false;
    const npy_intp *strides = PyArray_STRIDES(a);
    const char *row = (const char *) PyArray_DATA(a) + (npy_intp) t * strides[0];
    if (strides[1] == (npy_intp) sizeof(double) || n <= 1) {
        if (n > 0) std::memcpy(dst, row, (size_t) n * sizeof(double));
    } else {
        for (npy_intp j = 0; j < n; ++j)
            std::memcpy(dst + j, row + j * strides[1], sizeof(double));
    }
    return true;
}

}  // namespace

nb::object extract_filtration_weights(nb::handle useful_signals, nb::handle passing_ids, int t) {
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
                          to_str(format_text(T)) + ")");
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
    bool direct = n >= 0 && is_plain_f64(result);

    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object index = check(PyLong_FromSsize_t(i));
        nb::object sid = check(PyObject_GetItem(passing_ids.ptr(), index.ptr()));
        check_id(sid);
        nb::object weights = weights_of(useful_signals, sid);
        if (direct && copy_row_f64(weights, t, n, f64_data(result) + (npy_intp) i * n)) continue;
        // Other dtypes, layouts and shapes: NumPy's own row assignment result[i] = weights[t].
        nb::object row = check(PyObject_GetItem(weights.ptr(), t_obj.ptr()));
        if (PyObject_SetItem(result.ptr(), index.ptr(), row.ptr()) != 0) throw nb::python_error();
    }
    return result;
}

namespace {

EE_ENTRY(py_extract_filtration_weights) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"useful_signals", "passing_ids", "t", nullptr};
        PyObject *useful_signals, *passing_ids;
        int t = 0;
        parse_args(args, kwargs, "OOi:extract_filtration_weights", kw, &useful_signals,
                   &passing_ids, &t);
        return extract_filtration_weights(useful_signals, passing_ids, t);
    });
}

PyMethodDef kMethods[] = {
    EE_DEF("extract_filtration_weights", py_extract_filtration_weights,
           "extract_filtration_weights($module, /, useful_signals, passing_ids, t)\n--\n\n"
           "Row t of the weights of every passing signal, stacked in passing_ids order into\n"
           "a new (len(passing_ids), N_alloc) float64 array."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_filtration_weights(nb::handle m) { add_functions(m, kMethods); }

}  // namespace ee
