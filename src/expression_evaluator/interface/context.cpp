// EvaluationContext: the inputs of an evaluation, their validation, the extraction buffer
// and the per-context evaluation lock; and _validate_evaluation_shapes.
#include "../common/arrays.hpp"
#include "../module_parts.hpp"

namespace ee {

namespace {

std::string tuple_text(nb::handle t) { return to_str(t); }

nb::object item(nb::handle seq, Py_ssize_t i) {
    nb::object index = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(seq.ptr(), index.ptr()));
}

nb::object shape_of(nb::handle obj) { return get_attr(obj, "shape"); }

void validate_shapes(nb::handle features, nb::handle universe, nb::handle useful_signals) {
    if (features.is_none() || length(features) == 0) return;
    nb::object ref = shape_of(item(features, 0));
    Py_ssize_t n = length(features);
    for (Py_ssize_t i = 1; i < n; ++i) {
        nb::object shape = shape_of(item(features, i));
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

void validate_evaluation_shapes(nb::handle features, nb::handle universe,
                                nb::handle useful_signals) {
    validate_shapes(features, universe, useful_signals);
}

namespace {

EE_ENTRY(py_validate_evaluation_shapes) {
    (void) self;
    return guarded([&] {
        static const char *kw[] = {"features", "universe", "useful_signals", nullptr};
        PyObject *features, *universe, *signals;
        parse_args(args, kwargs, "OOO:_validate_evaluation_shapes", kw, &features, &universe,
                   &signals);
        validate_shapes(features, universe, signals);
        return none();
    });
}

nb::object new_lock() { return get_attr(global("threading"), "RLock")(); }

nb::object or_new(PyObject *value, PyObject *(*make)()) {
    if (value == Py_None) return check(make());
    return nb::borrow(value);
}

PyObject *new_dict() { return PyDict_New(); }
PyObject *new_list() { return PyList_New(0); }

EE_ENTRY(context_init) {
    return guarded([&] {
        static const char *kw[] = {"features", "feature_index", "useful_signals", "registry",
                                   "universe", "metaparameters", "transform_pipeline",
                                   "stage_data", "column_labels", "signal_pnl_vectors",
                                   "function_states", "universe_mask", "current_day_index",
                                   "pool_id", "universe_tag", "transforms_already_combined",
                                   "validate_inputs", nullptr};
        PyObject *features, *feature_index, *useful_signals = Py_None, *registry = Py_None,
                 *universe = Py_None, *metaparameters = Py_None, *transform_pipeline = Py_None,
                 *stage_data = Py_None, *column_labels = Py_None,
                 *signal_pnl_vectors = Py_None, *function_states = Py_None,
                 *universe_mask = Py_None, *current_day_index = nullptr, *pool_id = Py_None,
                 *universe_tag = Py_None, *transforms_already_combined = Py_False,
                 *validate_inputs = Py_True;
        parse_args(args, kwargs, "OO|OOOOOOOOOOOOOOO:__init__", kw, &features, &feature_index,
                   &useful_signals, &registry, &universe, &metaparameters, &transform_pipeline,
                   &stage_data, &column_labels, &signal_pnl_vectors, &function_states,
                   &universe_mask, &current_day_index, &pool_id, &universe_tag,
                   &transforms_already_combined, &validate_inputs);
        nb::handle s(self);
        nb::object zero = check(PyLong_FromLong(0));
        set_attr(s, "feature_index", feature_index);
        set_attr(s, "useful_signals", or_new(useful_signals, new_dict));
        set_attr(s, "registry", registry);
        set_attr(s, "universe", universe);
        set_attr(s, "metaparameters", or_new(metaparameters, new_dict));
        set_attr(s, "transform_pipeline", or_new(transform_pipeline, new_list));

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

        set_attr(s, "column_labels", or_new(column_labels, new_list));
        set_attr(s, "signal_pnl_vectors", signal_pnl_vectors);
        set_attr(s, "function_states", function_states);
        set_attr(s, "universe_mask", universe_mask);
        set_attr(s, "current_day_index", current_day_index ? nb::handle(current_day_index) : zero);
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
            global("_validate_evaluation_shapes")(get_attr(s, "features"), get_attr(s, "universe"),
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
    });
}

nb::object instance_dict(nb::handle self) {
    return check(PyObject_GenericGetDict(self.ptr(), nullptr));
}

EE_ENTRY(context_getstate) {
    return guarded([&] {
        static const char *kw[] = {nullptr};
        parse_args(args, kwargs, ":__getstate__", kw);
        nb::object state = check(PyDict_Copy(instance_dict(self).ptr()));
        if (PyDict_DelItemString(state.ptr(), "_evaluation_lock") != 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
            PyErr_Clear();
        }
        return state;
    });
}

EE_ENTRY(context_setstate) {
    return guarded([&] {
        static const char *kw[] = {"state", nullptr};
        PyObject *state;
        parse_args(args, kwargs, "O:__setstate__", kw, &state);
        nb::object d = instance_dict(self);
        get_attr(d, "update")(nb::handle(state));
        set_attr(self, "_evaluation_lock", new_lock());
        return none();
    });
}

PyMethodDef kContextMethods[] = {
    EE_DEF("__init__", context_init,
           "__init__($self, /, features, feature_index, useful_signals=None, registry=None, "
           "universe=None, metaparameters=None, transform_pipeline=None, stage_data=None, "
           "column_labels=None, signal_pnl_vectors=None, function_states=None, "
           "universe_mask=None, current_day_index=0, pool_id=None, universe_tag=None, "
           "transforms_already_combined=False, validate_inputs=True)\n--\n\n"
           "Store the inputs, validate their shapes and allocate the extraction buffer."),
    {"__getstate__", (PyCFunction) (void (*)(void)) context_getstate,
     METH_VARARGS | METH_KEYWORDS,
     "__getstate__($self, /)\n--\n\nThe instance dict without the evaluation lock."},
    EE_DEF("__setstate__", context_setstate,
           "__setstate__($self, /, state)\n--\n\n"
           "Restore the instance dict and give the context a lock of its own."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kMethods[] = {
    EE_DEF("_validate_evaluation_shapes", py_validate_evaluation_shapes,
           "_validate_evaluation_shapes($module, /, features, universe, useful_signals)\n--\n\n"
           "Raise EvaluationError when features, universe or useful signals disagree in shape."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_result(nb::handle m);

void init_context_result(nb::handle m) {
    add_functions(m, kMethods);
    init_result(m);
    set_attr(m, "EvaluationContext",
            make_plain_class(m, "EvaluationContext",
                             "EvaluationContext \u2014 stores inputs, validates dimensions, "
                             "allocates extraction buffer.",
                             kContextMethods));
}

}  // namespace ee
