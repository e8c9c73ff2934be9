// The general path's row loop, shared by its rooms: the plan of every node (plan.cpp), the
// passing signals' weight rows and PnL (signals.cpp), the rows themselves (row_loop.cpp)
// and the function states around them (states.cpp). Bookkeeping (registers, masking, the
// extraction buffer, data-NaN marks, node outputs) is plain C++ over the arrays the driver
// owns; Python runs only to call function instances, to hand them their row arrays and to
// check what they return. Unusual inputs (foreign array types, dtypes or shapes) take the
// NumPy route so that the outcome, value or error, is NumPy's own.
#pragma once

#include "../filtrations/filtrations.hpp"
#include "driver.hpp"

#include <utility>
#include <vector>

namespace ee::driver {

struct NodePlan {
    nb::object path, info, type, value, cid;
    Kind kind = Kind::Other;
    Py_ssize_t reg = 0;
    // Data leaves.
    nb::object feature_pos;
    // Literals: the register value, or the object to convert on every row when the
    // conversion fails (so the error surfaces at the row where it belongs).
    bool const_ready = false;
    double const_value = 0.0;
    nb::object const_obj;
    // Function nodes.
    nb::object inst;
    bool bound = false, views = false;
    std::vector<Py_ssize_t> arg_regs;
    std::vector<size_t> nan_children;  // plan indices of the non-filtration children
    // Reductions.
    nb::object filtration_path, config;
};

struct Loop {
    Driver &d;
    Py_ssize_t T, N;
    std::vector<NodePlan> plans;
    nb::object index_of;       // dict: path -> plan index
    std::vector<char> marked;  // data-NaN marks, by plan index
    nb::object work, output, buffer, nan_source, node_outputs;
    std::vector<std::pair<nb::object, Py_ssize_t>> node_output_rows;  // (matrix, register)
    double *W = nullptr;
    bool track = false;
    nb::object context_kw;     // ("context",)
    nb::object signal_pnl_kw;  // ("signal_pnl",)
    FiltrationResolver filtrations;

    explicit Loop(Driver &drv)
        : d(drv), T(drv.T), N(drv.N),
          filtrations{drv.context, drv.filtration_nodes, new_dict()} {}
    ~Loop() {
        for (PyObject *a : spare_rows) Py_DECREF(a);
    }

    double *reg_row(Py_ssize_t reg) { return W + reg * N; }

    // Argument rows. A copy that nobody but the loop references once the call has returned
    // (no other reference, no weak reference, layout and flags as created) is filled again
    // for a later call instead of being freed and allocated anew; it is indistinguishable
    // from a fresh array.
    std::vector<PyObject *> spare_rows;  // owned references
    int fresh_flags = -1;
    PyObject *row_copy(const double *src);
    void recycle(PyObject *obj);

    // Plan (plan.cpp).
    size_t plan_index(nb::handle path);
    void set_plan_index(nb::handle path, size_t i);
    void build_plans();
    void plan_rotation(NodePlan &p);
    void plan_reduction(NodePlan &p);
    void seed_data_nan();
    void prepare_node_outputs();

    // Signals (signals.cpp).
    void ensure_buffer(Py_ssize_t A);
    void fill_row(nb::handle target, Py_ssize_t k, nb::handle weights, Py_ssize_t t);
    static nb::object id_tuple(nb::handle ids);
    void fill_signals(nb::handle ids, Py_ssize_t t);
    nb::object sorted_signal_ids();
    nb::object signal_pnl_row(nb::handle ids, nb::handle pnl_column, Py_ssize_t t);
    static void set_pnl_entry(nb::handle out, Py_ssize_t k, nb::handle pnl, Py_ssize_t row,
                              Py_ssize_t col);
    nb::object buffer_head(Py_ssize_t A);

    // Rows (row_loop.cpp).
    nb::object call_instance(const NodePlan &p, PyObject *const *argv, size_t nargs,
                             PyObject *kwnames, Py_ssize_t t);
    nb::object propagate(size_t i, nb::object result);
    void store_generic(Py_ssize_t reg, nb::handle value);
    void store_result(const NodePlan &p, nb::handle result, Py_ssize_t t);
    bool precomputed_row(const NodePlan &p, Py_ssize_t t);
    void feature_row(size_t i, Py_ssize_t t);
    void mask_in_place(nb::handle matrix, nb::handle universe, Py_ssize_t t, double *dst,
                       bool mark);
    nb::object numpy_masked_row(nb::handle matrix, nb::handle universe, Py_ssize_t t, bool mark,
                                nb::handle mask_fn);
    void literal_row(const NodePlan &p);
    void filtration_row(const NodePlan &p, Py_ssize_t t);
    void reduction_row(size_t i, Py_ssize_t t);
    void rotation_row(size_t i, Py_ssize_t t);
    nb::object run();

    // States (states.cpp).
    [[noreturn]] void log_state_failure(nb::handle inst, nb::handle path);
    // fn(path, instance) for every stateful instance, in table order. The table is one of the
    // driver's own: no Python code can reach it while we walk it.
    template <typename F> void for_each_stateful(F &&fn) {
        Py_ssize_t pos = 0;
        PyObject *key_, *value_;
        while (PyDict_Next(d.func_instances.ptr(), &pos, &key_, &value_)) {
            nb::object path = nb::borrow(key_);
            nb::object inst = nb::borrow(value_);
            if (truthy(attr_or(inst, "stateful", Py_False))) fn(path, inst);
        }
    }
    void cold_start_prefill();
    Py_ssize_t rows_seen();
    nb::object collect_states();
};

// The node kind of a "type" value.
Kind kind_of(nb::handle ntype);

}  // namespace ee::driver
