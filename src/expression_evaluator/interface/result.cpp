// EvaluationResult: the weights matrix that still unpacks as (weights, states).
#include "interface.hpp"

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

nb::object result_init(nb::handle self, const Args &a) {
    nb::handle weights = a[0], states = a[1], nan_source = a[2], node_outputs = a[3];
    set_attr(self, "weights", weights);
    set_attr(self, "states", states);
    set_attr(self, "nan_source", nan_source.is_none() ? new_dict() : nb::borrow(nan_source));
    set_attr(self, "node_outputs",
             node_outputs.is_none() ? new_dict() : nb::borrow(node_outputs));
    return none();
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

nb::object result_array(nb::handle self, const Args &a) {
    nb::handle dtype = a[0];
    nb::object asarray = get_attr(global("np"), "asarray");
    nb::object weights = get_attr(self, "weights");
    if (dtype.is_none()) return asarray(weights);
    return call_kw(asarray, {weights}, {"dtype"}, {dtype});
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

const FunctionDef kResultMethods[] = {
    {Fn::none, "__init__", "OO|OO", "weights, states, nan_source=None, node_outputs=None",
     result_init, "Store the weights, the states and the diagnostic mappings."},
    {Fn::none, "__array__", "|O", "dtype=None", result_array, "The weights as a NumPy array."},
};

PyMethodDef kResultProtocol[] = {
    {"__iter__", (PyCFunction) result_iter, METH_NOARGS,
     "__iter__($self, /)\n--\n\nYield the weights, then the states."},
    {"__len__", (PyCFunction) result_len, METH_NOARGS, "__len__($self, /)\n--\n\nAlways 2."},
    {"__getitem__", (PyCFunction) result_getitem, METH_O,
     "__getitem__($self, index, /)\n--\n\nIndex the pair (weights, states)."},
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
                             {method_defs<kResultMethods, 2>(), kResultProtocol}));
}

}  // namespace ee
