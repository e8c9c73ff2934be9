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

#include <memory>
#include <utility>
#include <vector>

namespace ee::driver {

// What the row loop needs of one node that depends on the graph's node tables alone.
struct NodeShape {
    nb::object path, value, cid;
    Kind kind = Kind::Other;
    Py_ssize_t reg = 0;
    // Literals: the register value, or the object to convert on every row when the
    // conversion fails (so the error surfaces at the row where it belongs).
    bool const_ready = false;
    double const_value = 0.0;
    nb::object const_obj;
    // Function nodes: every child in order (plan index, consumed as configuration), and
    // the plan indices of the non-filtration children.
    struct Child {
        size_t index;
        bool config;
    };
    std::vector<Child> children;
    std::vector<size_t> nan_children;
    // Function nodes: the argument registers, by [views][bound table non-empty]: with
    // views, configuration children are passed too; an empty bound table skips "int" ones.
    std::vector<Py_ssize_t> arg_regs[2][2];
    // Reductions.
    nb::object filtration_path, config;
};

// The tables a plan was read from, as they were: a plan read from plain tables (exact
// dicts, lists and sets holding str, int, float, bool and None) stays the plan of the
// graph's collection cache entry while none of them has changed.
struct TablesSeen {
    bool plain = true;
    std::vector<std::pair<PyObject *, uint64_t>> dicts;  // in the order they hold each other
    struct List {
        PyObject *list;
        std::vector<nb::object> items;
    };
    std::vector<List> lists;
    struct Set {
        PyObject *set;
        Py_ssize_t size;
        std::vector<std::pair<nb::object, bool>> members;  // (child path, member)
    };
    std::vector<Set> sets;

    void dict(nb::handle d);
    void list(nb::handle l);
    bool unchanged() const;
};

// What a collection served from the cache looked up: every data leaf's feature position
// and every caller-bound instance. The four dicts it was read from (the cache entry's
// feature names and state keys, the context's feature_index and the caller's instances)
// hold every object here, and give the same answers while each is the same dict at the
// same version; all their keys are str, so looking them up ran no Python code.
struct BoundTables {
    static constexpr int kDicts = 4;
    PyObject *dicts[kDicts];
    uint64_t versions[kDicts];
    std::vector<std::pair<PyObject *, PyObject *>> feature_refs;    // (path, position)
    std::vector<std::pair<PyObject *, PyObject *>> func_instances;  // (path, instance)
    // The plan's node of each, when every path names one (else empty).
    std::vector<size_t> feature_nodes, instance_nodes;

    bool matches(PyObject *const (&now)[kDicts]) const;
};

// The compiled plan of a collected graph: node shapes in evaluation order (children
// first), registers and the node-table order.
struct GraphPlan {
    std::vector<NodeShape> nodes;
    nb::object index_of;  // path text -> index in `nodes` (the last of equal texts)
    std::vector<std::pair<nb::object, Py_ssize_t>> table;  // (path, register), table order
    Py_ssize_t n_registers = 0, root_reg = 0;
    TablesSeen seen;
    mutable std::shared_ptr<const BoundTables> bound;  // the last collection's look-ups
};

// The per-call part of a node: its data, its instance and its argument registers.
struct NodeCall {
    nb::object feature_pos;
    nb::object inst;
    bool bound = false, views = false;
    const std::vector<Py_ssize_t> *arg_regs = nullptr;
};

struct Loop {
    Driver &d;
    Py_ssize_t T, N;
    const GraphPlan &plan;
    const std::vector<NodeShape> &shapes;
    std::vector<NodeCall> calls;
    std::vector<char> marked;  // data-NaN marks, by plan index
    nb::object work, output, buffer, nan_source, node_outputs;
    std::vector<std::pair<nb::object, Py_ssize_t>> node_output_rows;  // (matrix, register)
    double *W = nullptr;
    bool track = false;
    nb::object context_kw;     // ("context",)
    nb::object signal_pnl_kw;  // ("signal_pnl",)
    FiltrationResolver filtrations;

    explicit Loop(Driver &drv)
        : d(drv), T(drv.T), N(drv.N), plan(*drv.plan), shapes(drv.plan->nodes),
          filtrations{drv.context, drv.filtration_nodes, new_dict()} {}
    ~Loop() {
        for (PyObject *a : spare_rows) Py_DECREF(a);
        for (PyObject *a : spare_views) Py_DECREF(a);
    }

    double *reg_row(Py_ssize_t reg) { return W + reg * N; }

    // Argument rows. A copy that nobody but the loop references once the call has returned
    // (no other reference, no weak reference, layout and flags as created) is filled again
    // for a later call instead of being freed and allocated anew; it is indistinguishable
    // from a fresh array.
    // Views of register rows are taken back the same way, and pointed at the next row.
    std::vector<PyObject *> spare_rows, spare_views;  // owned references
    int fresh_flags = -1, view_flags = -1;
    PyArray_Descr *fresh_descr = nullptr, *view_descr = nullptr;  // held by the arrays
    PyObject *row_copy(const double *src);
    PyObject *row_view(double *row);
    void recycle(PyObject *obj, bool view);

    // context.features and context.universe as last read: the same objects while the
    // context's __dict__ is at the same version and its class unchanged, when the class
    // leaves both to the instance dict.
    struct ContextSeen {
        PyObject *dict = nullptr;
        uint64_t version = 0;
        PyTypeObject *type = nullptr;
        unsigned int tag = 0;
        PyObject *features = nullptr, *universe = nullptr;  // held by the dict
    } context_seen;
    void context_data(nb::object &features, nb::object &universe);

    // Per-call part of the plan (plan.cpp).
    void bind_calls();
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
    nb::object call_instance(const NodeShape &p, const NodeCall &c, PyObject *const *argv, size_t nargs,
                             PyObject *kwnames, Py_ssize_t t);
    nb::object propagate(size_t i, nb::object result);
    void store_generic(Py_ssize_t reg, nb::handle value);
    void store_result(const NodeShape &p, nb::handle result, Py_ssize_t t);
    bool precomputed_row(const NodeShape &p, Py_ssize_t t);
    void feature_row(size_t i, Py_ssize_t t);
    void mask_in_place(nb::handle matrix, nb::handle universe, Py_ssize_t t, double *dst,
                       bool mark);
    nb::object numpy_masked_row(nb::handle matrix, nb::handle universe, Py_ssize_t t, bool mark,
                                nb::handle mask_fn);
    void literal_row(const NodeShape &p);
    void filtration_row(const NodeShape &p, Py_ssize_t t);
    void reduction_row(size_t i, Py_ssize_t t);
    void rotation_row(size_t i, Py_ssize_t t);
    nb::object run();

    // States (states.cpp).
    [[noreturn]] void log_state_failure(nb::handle inst, nb::handle path);
    // fn(path, instance) for every stateful instance, in table order.
    template <typename F> void for_each_stateful(F &&fn) {
        for (size_t i = 0; i < d.func_instances.size(); ++i) {
            // Strong references of our own: `fn` may run Python code.
            nb::object path = d.func_instances[i].path, inst = d.func_instances[i].inst;
            if (truthy(attr_or(inst, "stateful", Py_False))) fn(path, inst);
        }
    }
    void cold_start_prefill();
    Py_ssize_t rows_seen();
    nb::object collect_states();
};

// The node kind of a "type" value.
Kind kind_of(nb::handle ntype);

// The plan of the driver's collected tables: the one kept for the graph's collection cache
// entry while its tables are unchanged, else read anew (and kept when `entry` is the
// graph's cache entry and the tables are plain).
std::shared_ptr<const GraphPlan> graph_plan(Driver &d, nb::handle entry);

// The plan kept for `graph` when it is still the plan of the cache entry `entry`.
std::shared_ptr<const GraphPlan> kept_plan(nb::handle graph, nb::handle entry);

}  // namespace ee::driver
