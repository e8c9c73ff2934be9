// EvaluationResult: the weights matrix that still unpacks as (weights, states).
#include "../module_parts.hpp"

namespace ee {

namespace {

// The iterator of a result: yields result.weights, then result.states, each read when it
// is yielded.
struct ResultIterator {
    PyObject_HEAD
    PyObject *result;
    int step;
};

void result_iter_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((ResultIterator *) self)->result);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int result_iter_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((ResultIterator *) self)->result);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int result_iter_clear(PyObject *self) {
    Py_CLEAR(((ResultIterator *) self)->result);
    return 0;
}

PyObject *result_iter_next(PyObject *self) {
    ResultIterator *it = (ResultIterator *) self;
    if (!it->result) return nullptr;
    const char *name = it->step == 0 ? "weights" : it->step == 1 ? "states" : nullptr;
    if (!name) {
        Py_CLEAR(it->result);
        return nullptr;  // StopIteration
    }
    ++it->step;
    return PyObject_GetAttrString(it->result, name);
}

PyType_Slot kIterSlots[] = {
    {Py_tp_dealloc, (void *) result_iter_dealloc},
    {Py_tp_traverse, (void *) result_iter_traverse},
    {Py_tp_clear, (void *) result_iter_clear},
    {Py_tp_iter, (void *) PyObject_SelfIter},
    {Py_tp_iternext, (void *) result_iter_next},
    {0, nullptr},
};

PyType_Spec kIterSpec = {
    "tessaline.simulator_engine.expression_evaluator.result_iterator",
    sizeof(ResultIterator), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, kIterSlots};

PyTypeObject *g_iter_type = nullptr;

EE_ENTRY(result_init) {
    return guarded([&] {
        static const char *kw[] = {"weights", "states", "nan_source", "node_outputs", nullptr};
        PyObject *weights, *states, *nan_source = Py_None, *node_outputs = Py_None;
        parse_args(args, kwargs, "OO|OO:__init__", kw, &weights, &states, &nan_source,
                   &node_outputs);
        set_attr(self, "weights", weights);
        set_attr(self, "states", states);
        set_attr(self, "nan_source", nan_source == Py_None ? check(PyDict_New())
                                                          : nb::borrow(nan_source));
        set_attr(self, "node_outputs", node_outputs == Py_None ? check(PyDict_New())
                                                              : nb::borrow(node_outputs));
        return none();
    });
}

PyObject *result_iter(PyObject *self, PyObject *) {
    ResultIterator *it = PyObject_GC_New(ResultIterator, g_iter_type);
    if (!it) return nullptr;
    it->result = Py_NewRef(self);
    it->step = 0;
    PyObject_GC_Track((PyObject *) it);
    return (PyObject *) it;
}

PyObject *result_len(PyObject *, PyObject *) { return PyLong_FromLong(2); }

PyObject *result_getitem(PyObject *self, PyObject *index) {
    return guarded([&] {
        nb::object weights = get_attr(self, "weights");
        nb::object states = get_attr(self, "states");
        nb::object pair = check(PyTuple_Pack(2, weights.ptr(), states.ptr()));
        return check(PyObject_GetItem(pair.ptr(), index));
    });
}

EE_ENTRY(result_array) {
    return guarded([&] {
        static const char *kw[] = {"dtype", nullptr};
        PyObject *dtype = Py_None;
        parse_args(args, kwargs, "|O:__array__", kw, &dtype);
        nb::object asarray = get_attr(global("np"), "asarray");
        nb::object weights = get_attr(self, "weights");
        if (dtype == Py_None) return asarray(weights);
        nb::object kw_dict = check(PyDict_New());
        if (PyDict_SetItemString(kw_dict.ptr(), "dtype", dtype) != 0) throw nb::python_error();
        nb::object a = check(PyTuple_Pack(1, weights.ptr()));
        return check(PyObject_Call(asarray.ptr(), a.ptr(), kw_dict.ptr()));
    });
}

PyObject *result_getattr(PyObject *self, PyObject *name) {
    return guarded([&] {
        // Plain lookup of `weights` (no __getattr__ hook), so an instance without weights
        // raises AttributeError instead of recursing.
        nb::object weights_name = check(PyUnicode_FromString("weights"));
        nb::object weights = check(PyObject_GenericGetAttr(self, weights_name.ptr()));
        return check(PyObject_GetAttr(weights.ptr(), name));
    });
}

PyMethodDef kResultMethods[] = {
    EE_DEF("__init__", result_init,
           "__init__($self, /, weights, states, nan_source=None, node_outputs=None)\n--\n\n"
           "Store the weights, the states and the diagnostic mappings."),
    {"__iter__", (PyCFunction) result_iter, METH_NOARGS,
     "__iter__($self, /)\n--\n\nYield the weights, then the states."},
    {"__len__", (PyCFunction) result_len, METH_NOARGS, "__len__($self, /)\n--\n\nAlways 2."},
    {"__getitem__", (PyCFunction) result_getitem, METH_O,
     "__getitem__($self, index, /)\n--\n\nIndex the pair (weights, states)."},
    EE_DEF("__array__", result_array,
           "__array__($self, /, dtype=None)\n--\n\nThe weights as a NumPy array."),
    {"__getattr__", (PyCFunction) result_getattr, METH_O,
     "__getattr__($self, name, /)\n--\n\nAttributes the result lacks come from the weights."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_result(nb::handle m) {
    if (!g_iter_type) g_iter_type = (PyTypeObject *) check(PyType_FromSpec(&kIterSpec)).release().ptr();
    set_attr(m, "EvaluationResult",
            make_plain_class(m, "EvaluationResult",
                             "Array-like evaluate() result that still unpacks as (weights, states).",
                             kResultMethods));
}

}  // namespace ee
