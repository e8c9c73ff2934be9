// Small helpers shared by every subsystem: text of values in messages, node paths, mapping
// access, calls with keywords, graph cache slots and float64 row copies.
#pragma once

#include "arrays.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace ee {

// ---- text ------------------------------------------------------------------------------

// format(value) as text: what an f-string inserts into a message.
std::string format_text(nb::handle value);

// ---- node paths ------------------------------------------------------------------------

// The path of child `index` under `parent`: format(parent) + ".c" + index ("root.c0").
nb::object child_path(nb::handle parent, Py_ssize_t index);
std::string child_path(const std::string &parent, Py_ssize_t index);

// ---- objects and mappings ----------------------------------------------------------------

inline nb::object new_dict() { return check(PyDict_New()); }
inline nb::object py_int(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }
inline nb::object str_key(const char *k) { return nb::borrow(interned(k)); }

// mapping[key] (KeyError and friends propagate).
nb::object get_item(nb::handle mapping, nb::handle key);
inline nb::object get_item(nb::handle mapping, const char *key) {
    return get_item(mapping, nb::handle(interned(key)));
}

// `a, b = obj` with the interpreter's unpacking errors.
std::pair<nb::object, nb::object> unpack2(nb::handle obj);

// mapping.get(key, default); an exact dict is read directly, anything else through its own
// get().
nb::object dict_get(nb::handle mapping, nb::handle key, nb::handle dflt);
inline nb::object dict_get(nb::handle mapping, const char *key, nb::handle dflt) {
    return dict_get(mapping, nb::handle(interned(key)), dflt);
}

// A new dict of the given items, in order.
nb::object dict_of(std::initializer_list<std::pair<const char *, nb::handle>> items);

// mapping[key] = value.
inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}
inline void set_item(nb::handle mapping, const char *key, nb::handle value) {
    set_item(mapping, nb::handle(interned(key)), value);
}

// fn(key, value) for each pair that mapping.items() yields, in its order.
template <typename F> void for_each_item(nb::handle mapping, F &&fn) {
    nb::object items = check(PyObject_CallMethod(mapping.ptr(), "items", nullptr));
    nb::object it = check(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object key = check(PySequence_GetItem(pair.ptr(), 0));
        nb::object value = check(PySequence_GetItem(pair.ptr(), 1));
        fn(key, value);
    }
    throw_if_error();
}

// obj.name(*args) as a method call (no bound method object is made).
template <typename... Args> nb::object call_method(nb::handle obj, const char *name,
                                                   Args... args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    return check(PyObject_VectorcallMethod(interned(name), argv, 1 + sizeof...(Args), nullptr));
}

// fn(*args, **{names[i]: kwvalues[i]}) through vectorcall. The names are string literals:
// their keyword tuple is built once per list.
nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args,
                   std::initializer_list<const char *> names,
                   std::initializer_list<nb::handle> kwvalues);

// ---- errors ------------------------------------------------------------------------

// `raise exc from cause` as Python does inside an except block.
[[noreturn]] void raise_from(nb::handle exc, nb::handle cause);

// Errors raised by `body` while handling `cause` carry it as their context.
template <typename F> void while_handling(nb::handle cause, F &&body) {
    try {
        body();
    } catch (nb::python_error &inner) {
        nb::handle v = inner.value();
        if (v.is_valid() && v.ptr() != cause.ptr() && PyExceptionInstance_Check(v.ptr())) {
            PyObject *existing = PyException_GetContext(v.ptr());
            if (existing) Py_DECREF(existing);
            else PyException_SetContext(v.ptr(), nb::borrow(cause).release().ptr());
        }
        throw;
    }
}

// ---- graph cache slots (graph/caches.cpp) ----------------------------------------------

// Slot `key` of a graph node through the module's _graph_cache_get / _graph_cache_set.
nb::object cache_get(nb::handle graph, const char *key);
void cache_set(nb::handle graph, const char *key, nb::handle value);

// ---- float64 rows --------------------------------------------------------------------

// An exact native float64 ndarray of two dimensions whose row `t` exists and has `n`
// entries.
bool plain_matrix_row(nb::handle m, Py_ssize_t t, Py_ssize_t n);

// `n` doubles `stride` bytes apart from `src` into the contiguous `dst`; `may_overlap` when
// the source can be a view of the destination.
void copy_strided(double *dst, const char *src, npy_intp stride, Py_ssize_t n,
                  bool may_overlap = false);

// A writeable C-contiguous float64 view of `rows` x `cols` doubles at `data` (one
// dimension of `cols` when nd == 1), keeping `owner` alive.
nb::object view_of(nb::handle owner, double *data, int nd, Py_ssize_t rows, Py_ssize_t cols);

// Row t of a matrix accepted by plain_matrix_row, into dst.
void copy_matrix_row(nb::handle m, Py_ssize_t t, double *dst, Py_ssize_t n);

// copy_matrix_row when `m` is accepted by plain_matrix_row; false (nothing copied) otherwise,
// so that the caller leaves the row to NumPy.
inline bool copy_plain_row(nb::handle m, Py_ssize_t t, Py_ssize_t n, double *dst) {
    if (!plain_matrix_row(m, t, n)) return false;
    copy_matrix_row(m, t, dst, n);
    return true;
}

}  // namespace ee
