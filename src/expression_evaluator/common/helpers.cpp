#include "helpers.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ee {

std::string format_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return to_str(value);
    nb::object empty = nb::borrow(interned(""));
    return to_str(check(PyObject_Format(value.ptr(), empty.ptr())));
}

// ".c<index>" for the first child positions, built once (the GIL guards the table).
static PyObject *child_suffix(Py_ssize_t index) {
    static PyObject *table[64] = {nullptr};
    if (index >= 64) return nullptr;
    if (!table[index]) table[index] = check(PyUnicode_FromFormat(".c%zd", index)).release().ptr();
    return table[index];
}

nb::object child_path(nb::handle parent, Py_ssize_t index) {
    nb::object text;
    if (PyUnicode_CheckExact(parent.ptr())) {
        text = nb::borrow(parent);
    } else {
        nb::object empty = nb::borrow(interned(""));
        text = check(PyObject_Format(parent.ptr(), empty.ptr()));
    }
    if (PyObject *suffix = child_suffix(index)) return check(PyUnicode_Concat(text.ptr(), suffix));
    return check(PyUnicode_FromFormat("%U.c%zd", text.ptr(), index));
}

std::string child_path(const std::string &parent, Py_ssize_t index) {
    return parent + ".c" + std::to_string(index);
}

nb::object get_item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        PyObject *tuple = PyTuple_Pack(1, key.ptr());
        if (tuple) {
            PyErr_SetObject(PyExc_KeyError, tuple);
            Py_DECREF(tuple);
        }
        throw nb::python_error();
    }
    return check(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

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

nb::object dict_of(std::initializer_list<std::pair<const char *, nb::handle>> items) {
    nb::object d = new_dict();
    for (const auto &[key, value] : items) set_item(d, key, value);
    return d;
}

nb::object dict_get(nb::handle mapping, nb::handle key, nb::handle dflt) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(dflt);
    }
    return call_method(mapping, "get", key, dflt);
}

namespace {

// The keyword-name tuple of a list of names, kept per distinct list of name addresses (the
// names are literals at every call site).
PyObject *kwnames_of(std::initializer_list<const char *> names) {
    struct Entry {
        std::vector<const char *> names;
        PyObject *tuple;
    };
    static std::vector<Entry> *cache = new std::vector<Entry>();
    for (const Entry &e : *cache)
        if (e.names.size() == names.size() &&
            std::equal(names.begin(), names.end(), e.names.begin()))
            return e.tuple;
    nb::object tuple = check(PyTuple_New((Py_ssize_t) names.size()));
    Py_ssize_t i = 0;
    for (const char *n : names)
        PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(interned(n)).release().ptr());
    // Call sites pass literal names, so the lists are few; the table is bounded anyway.
    if (cache->size() < 64) {
        cache->push_back({std::vector<const char *>(names), tuple.ptr()});
        return tuple.release().ptr();  // kept for the life of the process
    }
    return nullptr;
}

}  // namespace

nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args,
                   std::initializer_list<const char *> names,
                   std::initializer_list<nb::handle> kwvalues) {
    PyObject *small[8];
    std::vector<PyObject *> big;
    PyObject **argv = small;
    size_t n = args.size() + kwvalues.size();
    if (n > 8) {
        big.resize(n);
        argv = big.data();
    }
    size_t k = 0;
    for (nb::handle a : args) argv[k++] = a.ptr();
    for (nb::handle a : kwvalues) argv[k++] = a.ptr();
    PyObject *kwnames = names.size() ? kwnames_of(names) : nullptr;
    nb::object built;
    if (names.size() && !kwnames) {
        built = check(PyTuple_New((Py_ssize_t) names.size()));
        Py_ssize_t i = 0;
        for (const char *nm : names)
            PyTuple_SET_ITEM(built.ptr(), i++, nb::borrow(interned(nm)).release().ptr());
        kwnames = built.ptr();
    }
    return check(PyObject_Vectorcall(fn.ptr(), argv, args.size(), kwnames));
}

[[noreturn]] void raise_from(nb::handle exc, nb::handle cause) {
    PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
    raise_instance(exc, cause);
}

bool plain_matrix_row(nb::handle m, Py_ssize_t t, Py_ssize_t n) {
    if (!PyArray_CheckExact(m.ptr())) return false;
    PyArrayObject *a = as_array(m);
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_NDIM(a) == 2 &&
           t >= 0 && t < PyArray_DIM(a, 0) && PyArray_DIM(a, 1) == n;
}

void copy_strided(double *dst, const char *src, npy_intp stride, Py_ssize_t n,
                  bool may_overlap) {
    if (stride == (npy_intp) sizeof(double) || n <= 1) {
        if (n > 0) std::memmove(dst, src, (size_t) n * sizeof(double));
        return;
    }
    if (!may_overlap) {
        for (Py_ssize_t j = 0; j < n; ++j) std::memcpy(dst + j, src + j * stride, sizeof(double));
        return;
    }
    // Through a scratch row, so that a source overlapping dst is read whole before anything
    // is written.
    std::vector<double> tmp((size_t) n);
    for (Py_ssize_t j = 0; j < n; ++j)
        std::memcpy(&tmp[(size_t) j], src + j * stride, sizeof(double));
    std::memcpy(dst, tmp.data(), (size_t) n * sizeof(double));
}

nb::object view_of(nb::handle owner, double *data, int nd, Py_ssize_t rows, Py_ssize_t cols) {
    npy_intp dims[2], strides[2];
    if (nd == 1) {
        dims[0] = cols;
        strides[0] = sizeof(double);
    } else {
        dims[0] = rows;
        dims[1] = cols;
        strides[0] = cols * (npy_intp) sizeof(double);
        strides[1] = sizeof(double);
    }
    PyArray_Descr *descr = PyArray_DescrFromType(NPY_DOUBLE);
    nb::object v = check(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, strides, data,
                                              NPY_ARRAY_CARRAY, nullptr));
    Py_INCREF(owner.ptr());
    if (PyArray_SetBaseObject(as_array(v), owner.ptr()) != 0) throw nb::python_error();
    return v;
}

void copy_matrix_row(nb::handle m, Py_ssize_t t, double *dst, Py_ssize_t n) {
    PyArrayObject *a = as_array(m);
    const char *base = (const char *) PyArray_DATA(a) + t * PyArray_STRIDE(a, 0);
    copy_strided(dst, base, PyArray_STRIDE(a, 1), n);
}

}  // namespace ee
