// The public entry `evaluate`: refuses graphs that are not FunctionGraphNode, serialises
// evaluations per context with the context's re-entrant lock and hands over to the driver.
#include "../driver/driver.hpp"
#include "interface.hpp"

namespace ee {

namespace {

// type(obj).<name>, as the `with` statement looks special methods up on the type.
nb::object special_method(nb::handle obj, const char *name, const char *missing_suffix) {
    PyObject *type = (PyObject *) Py_TYPE(obj.ptr());
    PyObject *value = PyObject_GetAttr(type, interned(name));
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    raise_builtin(PyExc_TypeError, "'" + tname(obj) +
                                       "' object does not support the context manager protocol" +
                                       missing_suffix);
}

// Runs `body` and turns any C++ failure into a pending-Python-error exception, so that the
// lock's __exit__ sees every way out.
template <typename F> nb::object as_python_failure(F &&body) {
    try {
        return body();
    } catch (nb::python_error &) {
        throw;
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    throw nb::python_error();
}

}  // namespace

nb::object direct::evaluate(nb::handle g, nb::handle ctx, nb::handle function_states,
                        nb::handle is_cold_start, nb::handle bound, nb::handle data_nan) {
    if (!is_instance(g, global("FunctionGraphNode")))
        raise_global("SchemaError", "evaluate graph must be FunctionGraphNode; got " + tname(g));

    nb::object lock = attr_or(ctx, "_evaluation_lock", nb::none());
    if (lock.is_none() && is_instance(ctx, global("EvaluationContext"))) {
        lock = get_attr(global("threading"), "RLock")();
        set_attr(ctx, "_evaluation_lock", lock);
    }
    auto run = [&]() -> nb::object {
        return via_module(
            Fn::evaluate_unlocked,
            [&] {
                return driver::evaluate_unlocked(g, ctx, function_states, is_cold_start,
                                                 bound, data_nan);
            },
            [&](nb::handle fn) {
                return call_kw(fn, {g, ctx},
                               {"function_states", "is_cold_start",
                                "bound_function_instances", "data_nan_features"},
                               {function_states, is_cold_start, bound, data_nan});
            });
    };
    if (lock.is_none()) return run();

    nb::object enter = special_method(lock, "__enter__", "");
    nb::object exit = special_method(lock, "__exit__", " (missed __exit__ method)");
    check(PyObject_CallOneArg(enter.ptr(), lock.ptr()));
    nb::object result;
    try {
        result = as_python_failure(run);
    } catch (nb::python_error &e) {
        nb::object etype = nb::borrow(e.type()), evalue = nb::borrow(e.value());
        nb::object etb = e.traceback().is_valid() ? nb::borrow(e.traceback()) : nb::none();
        PyObject *argv[4] = {lock.ptr(), etype.ptr(), evalue.ptr(), etb.ptr()};
        nb::object suppress = check(PyObject_Vectorcall(exit.ptr(), argv, 4, nullptr));
        if (truthy(suppress)) return none();
        throw;
    }
    PyObject *argv[4] = {lock.ptr(), Py_None, Py_None, Py_None};
    check(PyObject_Vectorcall(exit.ptr(), argv, 4, nullptr));
    return result;
}

}  // namespace ee
