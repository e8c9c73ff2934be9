// Filtration resolution during an evaluation: each filtration sub-tree run through the
// filtration engine once, its failures turned into errors that describe the filters.
#include "filtrations.hpp"

namespace ee {

nb::object FiltrationResolver::resolve(nb::handle path) {
    PyObject *hit = PyDict_GetItemWithError(cache.ptr(), path.ptr());
    if (hit) return nb::borrow(hit);
    throw_if_error();
    nb::object filt_node = dict_get(nodes, path, nb::none());
    if (filt_node.is_none()) return nb::none();
    nb::object result;
    try {
        nb::object tree = dict_to_filter_node(filt_node);
        nb::object instance =
            global("FiltrationInstance")(tree, get_attr(context, "registry"));
        nb::object passing = instance(get_attr(context, "useful_signals"));
        nb::object count = py_int(length(passing));
        nb::object pool = py_int(length(get_attr(context, "useful_signals")));
        nb::object diagnostics = check(PyList_New(0));
        result = call_kw(global("FiltrationResult"), {},
                         {"passing_ids", "signal_count", "total_pool_size",
                          "filter_diagnostics"},
                         {passing, count, pool, diagnostics});
    } catch (nb::python_error &e) {
        nb::object exc = nb::borrow(e.value());
        nb::object empties = nb::make_tuple(global("EmptyFiltrationError"),
                                            global("EmptyPoolError"));
        if (PyErr_GivenExceptionMatches(exc.ptr(), empties.ptr())) {
            while_handling(exc, [&] {
                nb::object desc = describe_dict_filter(filt_node);
                nb::object head = str_key("Filtration returned 0 signals for filters: ");
                nb::object msg = check(PyUnicode_Concat(head.ptr(), desc.ptr()));
                nb::object err = global("EvaluationError")(msg);
                nb::object diag = get_attr(exc, "filter_diagnostics");
                if (!truthy(diag)) {
                    diag = new_dict();
                    set_item(diag, "passing_count", py_int(0));
                }
                set_attr(err, "filter_diagnostics", diag);
                raise_from(err, exc);
            });
        }
        if (PyErr_GivenExceptionMatches(exc.ptr(), global("EvaluationError").ptr())) throw;
        if (!PyErr_GivenExceptionMatches(exc.ptr(), PyExc_Exception)) throw;
        while_handling(exc, [&] {
            nb::object desc = describe_dict_filter(filt_node);
            std::string cause_type = tname(exc);
            std::string msg = "Filtration resolution failed for filters: " + format_text(desc) +
                              ": " + cause_type + ": " + format_text(exc);
            nb::object err = global("FiltrationResolutionError")(pystr(msg));
            nb::object diag = new_dict();
            set_item(diag, "passing_count", py_int(0));
            set_item(diag, "cause", pystr(cause_type));
            set_attr(err, "filter_diagnostics", diag);
            raise_from(err, exc);
        });
        throw;
    }
    set_item(cache, path, result);
    return result;
}

}  // namespace ee
