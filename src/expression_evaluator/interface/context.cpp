// EvaluationContext: the inputs of an evaluation, their validation, the extraction buffer
// and the per-context evaluation lock; and _validate_evaluation_shapes.
#include "interface.hpp"

namespace ee {

namespace {

std::string tuple_text(nb::handle t) { return to_str(t); }

nb::object item(nb::handle seq, Py_ssize_t i) {
    nb::object index = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(seq.ptr(), index.ptr()));
}

nb::object shape_of(nb::handle obj) { return get_attr(obj, "shape"); }

// Two plain ndarrays of one shape (their shapes compare equal without asking Python).
bool same_array_shape(nb::handle a, nb::handle b) {
    if (!PyArray_CheckExact(a.ptr()) || !PyArray_CheckExact(b.ptr())) return false;
    PyArrayObject *x = (PyArrayObject *) a.ptr(), *y = (PyArrayObject *) b.ptr();
    return PyArray_NDIM(x) == PyArray_NDIM(y) &&
           PyArray_CompareLists(PyArray_DIMS(x), PyArray_DIMS(y), PyArray_NDIM(x));
}

void validate_shapes(nb::handle features, nb::handle universe, nb::handle useful_signals) {
    if (features.is_none() || length(features) == 0) return;
    nb::object first = item(features, 0);
    nb::object ref = shape_of(first);
    Py_ssize_t n = length(features);
    for (Py_ssize_t i = 1; i < n; ++i) {
        nb::object feature = item(features, i);
        if (same_array_shape(feature, first)) continue;
        nb::object shape = shape_of(feature);
        if (!equals(shape, ref))
            raise_global("EvaluationError", "Feature dimension mismatch: 'feature_0' shape " +
                                                tuple_text(ref) + " vs 'feature_" +
                                                std::to_string(i) + "' shape " +
                                                tuple_text(shape));
    }
    if (!universe.is_none()) {
        nb::object ushape = shape_of(universe);
        if (!equals(ushape, ref))
            raise_global("EvaluationError", "Feature dimension mismatch: features shape " +
                                                tuple_text(ref) + " vs universe shape " +
                                                tuple_text(ushape));
    }
    if (!truthy(useful_signals)) return;
    nb::object items = check(PyObject_CallMethod(useful_signals.ptr(), "items", nullptr));
    nb::object it = check(PyObject_GetIter(items.ptr()));
    nb::object ref_t;  // T, read when a signal has a PnL
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object sid = item(pair, 0), sig = item(pair, 1);
        nb::object weights = get_attr(sig, "weights");
        if (!weights.is_none()) {
            nb::object wshape = shape_of(weights);
            if (!equals(wshape, ref))
                raise_global("EvaluationError", "useful signal '" + to_str(sid) + "' weights shape " +
                                                    tuple_text(wshape) +
                                                    " does not match feature shape " +
                                                    tuple_text(ref));
        }
        nb::object pnl = get_attr(sig, "pnl");
        if (!pnl.is_none()) {
            nb::object pshape = shape_of(pnl);
            if (!ref_t.is_valid()) ref_t = item(ref, 0);
            if (!equals(item(pshape, 0), ref_t))
                raise_global("EvaluationError", "useful signal '" + to_str(sid) + "' pnl shape " +
                                                    tuple_text(pshape) +
                                                    " does not match feature shape " +
                                                    tuple_text(ref));
        }
    }
    throw_if_error();
}

}  // namespace

void direct::validate_evaluation_shapes(nb::handle features, nb::handle universe,
                                        nb::handle useful_signals) {
    validate_shapes(features, universe, useful_signals);
}

void validate_evaluation_shapes(nb::handle features, nb::handle universe,
                                nb::handle useful_signals) {
    via_module(Fn::validate_evaluation_shapes,
               [&] { direct::validate_evaluation_shapes(features, universe, useful_signals); },
               [&](nb::handle fn) { fn(features, universe, useful_signals); });
}

namespace {

nb::object new_lock() { return get_attr(global("threading"), "RLock")(); }

nb::object or_new(PyObject *value, PyObject *(*make)()) {
    if (value == Py_None) return check(make());
    return nb::borrow(value);
}

PyObject *make_dict() { return PyDict_New(); }
PyObject *make_list() { return PyList_New(0); }

nb::object context_init(nb::handle s, const Args &a) {
    PyObject *features = a.obj[0], *feature_index = a.obj[1], *useful_signals = a.obj[2],
             *registry = a.obj[3], *universe = a.obj[4], *metaparameters = a.obj[5],
             *transform_pipeline = a.obj[6], *stage_data = a.obj[7],
             *column_labels = a.obj[8], *signal_pnl_vectors = a.obj[9],
             *function_states = a.obj[10], *universe_mask = a.obj[11],
             *current_day_index = a.obj[12], *pool_id = a.obj[13],
             *universe_tag = a.obj[14], *transforms_already_combined = a.obj[15],
             *validate_inputs = a.obj[16];
    nb::object zero = check(PyLong_FromLong(0));
    set_attr(s, "feature_index", feature_index);
    set_attr(s, "useful_signals", or_new(useful_signals, make_dict));
    set_attr(s, "registry", registry);
    set_attr(s, "universe", universe);
    set_attr(s, "metaparameters", or_new(metaparameters, make_dict));
    set_attr(s, "transform_pipeline", or_new(transform_pipeline, make_list));

    nb::object stage_cls = global("StageData");
    if (stage_data == Py_None) {
        set_attr(s, "stage_data", stage_cls());
    } else if (is_instance(stage_data, stage_cls)) {
        set_attr(s, "stage_data", stage_data);
    } else {
        raise_global("SchemaError",
                     "EvaluationContext.stage_data must be StageData or None; got " +
                         tname(stage_data));
    }

    set_attr(s, "column_labels", or_new(column_labels, make_list));
    set_attr(s, "signal_pnl_vectors", signal_pnl_vectors);
    set_attr(s, "function_states", function_states);
    set_attr(s, "universe_mask", universe_mask);
    set_attr(s, "current_day_index", current_day_index);
    set_attr(s, "pool_id", pool_id);
    set_attr(s, "universe_tag", universe_tag);
    set_attr(s, "liquidity_feature_hashes", check(PyList_New(0)));
    set_attr(s, "liquidity_features", check(PyList_New(0)));
    set_attr(s, "factor_epoch", Py_None);
    set_attr(s, "epoch", Py_None);
    set_attr(s, "factor_model", Py_None);
    set_attr(s, "factor_model_version_id", Py_None);
    set_attr(s, "transforms_already_combined", transforms_already_combined);
    bool validate = truthy(validate_inputs);
    set_attr(s, "_skip_evaluation_shape_validation", validate ? Py_False : Py_True);
    set_attr(s, "_evaluation_lock", new_lock());
    set_attr(s, "registers", Py_None);
    set_attr(s, "extraction_buffer", Py_None);
    set_attr(s, "features", features);

    if (validate) {
        // The number of features, taken when the first index that is not negative needs it.
        Py_ssize_t n_features = -1;
        nb::object n_obj;
        nb::object items = check(PyObject_CallMethod(feature_index, "items", nullptr));
        nb::object it = check(PyObject_GetIter(items.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object pair = nb::steal(raw);
            nb::object name = item(pair, 0), idx = item(pair, 1);
            int below = PyObject_RichCompareBool(idx.ptr(), zero.ptr(), Py_LT);
            if (below < 0) throw nb::python_error();
            auto count = [&] {
                if (n_features >= 0) return;
                n_features = length(features);
                n_obj = check(PyLong_FromSsize_t(n_features));
            };
            if (!below) count();
            int above = below ? 0 : PyObject_RichCompareBool(idx.ptr(), n_obj.ptr(), Py_GE);
            if (above < 0) throw nb::python_error();
            if (below || above) count();
            if (below || above)
                raise_global("EvaluationError", "feature_index['" + to_str(name) + "'] = " +
                                                    to_str(idx) + " is out of bounds for " +
                                                    std::to_string(n_features) +
                                                    " features");
        }
        throw_if_error();
        ee::validate_evaluation_shapes(get_attr(s, "features"), get_attr(s, "universe"),
                                   get_attr(s, "useful_signals"));
    }

    nb::object signals = get_attr(s, "useful_signals");
    if (truthy(signals) && !nb::handle(features).is_none() && length(features) > 0) {
        Py_ssize_t a_max = length(signals);
        nb::object n_alloc = item(shape_of(item(features, 0)), 1);
        Py_ssize_t cols = PyLong_AsSsize_t(n_alloc.ptr());
        if (cols == -1 && PyErr_Occurred()) throw nb::python_error();
        set_attr(s, "extraction_buffer", zeros_f64(a_max, cols));
    }
    return none();
}

nb::object instance_dict(nb::handle self) {
    return check(PyObject_GenericGetDict(self.ptr(), nullptr));
}

nb::object context_getstate(nb::handle self, const Args &) {
    nb::object state = check(PyDict_Copy(instance_dict(self).ptr()));
    if (PyDict_DelItemString(state.ptr(), "_evaluation_lock") != 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
    }
    return state;
}

nb::object context_setstate(nb::handle self, const Args &a) {
    nb::handle state = a[0];
    nb::object d = instance_dict(self);
    get_attr(d, "update")(state);
    set_attr(self, "_evaluation_lock", new_lock());
    return none();
}

const FunctionDef kContextMethods[] = {
    {Fn::none, "__init__", "OO|OOOOOOOOOOOOOOO",
     "features, feature_index, useful_signals=None, registry=None, universe=None, "
     "metaparameters=None, transform_pipeline=None, stage_data=None, column_labels=None, "
     "signal_pnl_vectors=None, function_states=None, universe_mask=None, current_day_index=0, "
     "pool_id=None, universe_tag=None, transforms_already_combined=False, validate_inputs=True",
     context_init, "Store the inputs, validate their shapes and allocate the extraction buffer."},
    {Fn::none, "__getstate__", "", "", context_getstate,
     "The instance dict without the evaluation lock."},
    {Fn::none, "__setstate__", "O", "state", context_setstate,
     "Restore the instance dict and give the context a lock of its own."},
};

}  // namespace

void init_context(nb::handle m) {
    set_attr(m, "EvaluationContext",
             make_plain_class(m, "EvaluationContext",
                              "EvaluationContext \u2014 stores inputs, validates dimensions, "
                              "allocates extraction buffer.",
                              {method_defs<kContextMethods, 3>()}));
}

}  // namespace ee
