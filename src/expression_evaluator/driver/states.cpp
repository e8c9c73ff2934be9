// Function states around the loop: the cold-start pre-fill from the PnL tail, the rows
// restored instances have already seen, and the states collected after the last row.
#include "row_loop.hpp"

#include "../graph/model.hpp"

#include <algorithm>

namespace ee::driver {

[[noreturn]] void Loop::log_state_failure(nb::handle inst, nb::handle path) {
    nb::object fname = str_key("unknown");
    if (contains(d.node_info, path)) fname = get_item(get_item(d.node_info, path), str_key("node"));
    nb::object logger = global("_logger");
    nb::object id = check(PyLong_FromVoidPtr(inst.ptr()));
    call_kw(get_attr(logger, "error"), {str_key("expression_evaluator.get_state_failed")},
            {"instance_id", "node_id", "function_name"}, {id, path, fname});
    throw;  // re-raise the error being handled
}

void Loop::cold_start_prefill() {
    for_each_stateful([&](nb::handle path, nb::handle inst) {
        nb::object info = get_item(d.node_info, path);
        if (!equals_str(get_item(info, str_key("type")), "reduction")) return;
        nb::object state_key = dict_get(d.state_keys, path, path);
        if (d.function_states.is_none() || !contains(d.function_states, state_key)) return;
        nb::object payload = get_attr(get_item(d.function_states, state_key), "data");
        if (!truthy(payload)) return;
        nb::object count = dict_get(payload, "count", py_int(0));
        nb::object window = dict_get(payload, "window", nb::none());
        if (window.is_none()) window = attr_or(inst, "window", nb::none());
        if (window.is_none()) return;
        if (truthy(check(PyObject_RichCompare(count.ptr(), window.ptr(), Py_GE)))) return;
        nb::object needed_obj = check(PyNumber_Subtract(window.ptr(), count.ptr()));
        Py_ssize_t needed = PyNumber_AsSsize_t(check(PyNumber_Index(needed_obj.ptr())).ptr(),
                                               PyExc_OverflowError);
        if (needed == -1 && PyErr_Occurred()) throw nb::python_error();

        nb::object config = dict_get(info, "config", new_dict());
        nb::object pnl_column = dict_get(config, "pnl_column", str_key("gross_returns"));
        nb::object red = get_item(d.reduction_nodes, path);
        nb::object fpath = dict_get(red, "filtration_path", nb::none());
        nb::object res = fpath.is_none() ? nb::none() : filtrations.resolve(fpath);
        nb::object ids =
            res.is_none() ? sorted_signal_ids() : id_tuple(get_attr(res, "passing_ids"));
        const Py_ssize_t A = PyTuple_GET_SIZE(ids.ptr());
        Py_ssize_t col = 0;
        nb::object labels = get_attr(d.context, "column_labels");
        if (truthy(pnl_column) && truthy(labels) && contains(labels, pnl_column)) {
            nb::object idx = check(
                PyObject_CallMethod(labels.ptr(), "index", "O", pnl_column.ptr()));
            col = PyLong_AsSsize_t(idx.ptr());
            if (col == -1 && PyErr_Occurred()) throw nb::python_error();
        }
        nb::object signals = get_attr(d.context, "useful_signals");
        for (Py_ssize_t row = std::max<Py_ssize_t>(T - needed, 0); row < T; ++row) {
            nb::object signal_pnl = zeros_f64_1d(A);
            nb::object extraction = zeros_f64(A, N);
            for (Py_ssize_t k = 0; k < A; ++k) {
                nb::handle sid(PyTuple_GET_ITEM(ids.ptr(), k));
                if (!contains(signals, sid)) continue;  // its rows stay zero
                nb::object sig = get_item(signals, sid);
                set_pnl_entry(signal_pnl, k, get_attr(sig, "pnl"), row, col);
                fill_row(extraction, k, get_attr(sig, "weights"), row);
            }
            PyObject *argv[2] = {extraction.ptr(), signal_pnl.ptr()};
            check(PyObject_Vectorcall(inst.ptr(), argv, 1, signal_pnl_kw.ptr()));
        }
    });
}

Py_ssize_t Loop::rows_seen() {
    Py_ssize_t seen = 0;
    for_each_stateful([&](nb::handle path, nb::handle inst) {
        nb::object count;
        try {
            count = get_warmup_count_for_instance(inst);
        } catch (nb::python_error &) {
            log_state_failure(inst, path);
        }
        Py_ssize_t c = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
        if (c == -1 && PyErr_Occurred()) throw nb::python_error();
        seen = std::max(seen, c);
    });
    return seen;
}

nb::object Loop::collect_states() {
    nb::object states = new_dict();
    if (!truthy(attr_or(d.context, "_collect_states", Py_True))) return states;
    for_each_stateful([&](nb::handle path, nb::handle inst) {
        nb::object fname = get_item(get_item(d.node_info, path), str_key("node"));
        nb::object state;
        try {
            nb::object registry = get_attr(d.context, "registry");
            nb::object version = call_method(registry, "get_function_version", fname);
            nb::object data = call_method(inst, "get_state");
            state = call_kw(global("FunctionState"), {},
                            {"function_name", "function_version", "data"},
                            {fname, version, data});
        } catch (nb::python_error &) {
            log_state_failure(inst, path);
        }
        set_item(states, dict_get(d.state_keys, path, path), state);
    });
    return states;
}

}  // namespace ee::driver
