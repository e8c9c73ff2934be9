// The module's functions as rows of one table (name, argument format, parameters, C++
// implementation, docstring), expanded by one template into CPython builtins, and the one
// route by which a module function calls another.
//
// Every function is a METH_FASTCALL | METH_KEYWORDS builtin with a text signature. Plain
// calls are bound directly; any other call (and every call that binding would reject) goes
// through PyArg_ParseTupleAndKeywords, so argument-binding errors are the interpreter's own
// and inspect.signature() works.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ee {

// The module functions, one per row of the table in interface/functions.cpp.
enum class Fn : int {
    validate_evaluation_shapes, generate_node_identities, invalidate_graph_evaluation_caches,
    require_graph_node_instance, graph_has_field, require_graph_field, require_graph_type_value,
    require_graph_node_value, graph_children, graph_config_dict, iter_schema_items,
    schema_param_name_and_type, config_param_names, graph_cache_get, graph_cache_set,
    compute_graph_warmup_rows, get_warmup_count_for_instance, dict_to_filter_node,
    describe_dict_filter, extract_filtration_weights, attach_stage_data_feature_leaves,
    annotate_state_identities, resolve_stage_option, can_use_simple_rank_fast_path,
    can_use_rank_multiply_fast_path, can_use_leaf_fast_path, apply_universe_mask,
    evaluate_leaf_fast, evaluate_simple_rank_fast, evaluate_rank_multiply_fast,
    get_int_window_child, can_use_longitudinal_fast_path, feature_matrix_for_fast_path,
    rolling_longitudinal_fast, evaluate_longitudinal_fast_node, evaluate_longitudinal_fast,
    evaluate_unlocked, evaluate,
    none,  // class methods, which are not module attributes
};
inline constexpr int kFunctionCount = (int) Fn::none;

// The bound arguments of one call, in parameter order. An optional argument that was not
// given holds its default from the signature; an "i" unit of the format is read by as_int.
struct Args {
    static constexpr int kMax = 20;
    PyObject *obj[kMax];
    int ints[kMax];
    nb::handle operator[](int i) const { return obj[i]; }
    int as_int(int i) const { return ints[i]; }
};

using Impl = nb::object (*)(nb::handle self, const Args &args);

struct FunctionDef {
    Fn id;
    const char *name;
    const char *format;  // PyArg_ParseTupleAndKeywords units, e.g. "OO|O$OO"
    const char *params;  // the signature's parameters, e.g. "node, path='root'"
    Impl impl;
    const char *doc;
};

// ---- calls between module functions --------------------------------------------------

// The module attribute of `fn` once a caller has replaced it; an empty object while it still
// holds the module's own function (NameError when it was deleted).
nb::object replacement(Fn fn);

// Whether every module function is still the module's own (no caller has replaced one).
bool all_original();

// A module function calling another: `direct()` straight into C++ while the module attribute
// holds the original, `through(attribute)` once a caller has replaced it, so a replacement
// is honoured from every caller alike.
template <typename Direct, typename Through>
auto via_module(Fn fn, Direct &&direct, Through &&through) -> decltype(direct()) {
    nb::object current = replacement(fn);
    if (!current.is_valid()) return direct();
    return through(nb::handle(current));
}

// The common case: the same positional arguments either way, and a Python object back.
template <auto Impl, typename... A> nb::object call_module(Fn fn, const A &...args) {
    return via_module(fn, [&] { return nb::object(Impl(args...)); },
                      [&](nb::handle f) { return f(args...); });
}

// ---- the template ----------------------------------------------------------------------

namespace bind {

struct Parsed {
    std::string format;  // with ":name"
    std::vector<const char *> kwlist;  // parameter names, null-terminated
    bool is_int[Args::kMax] = {};
    PyObject *defaults[Args::kMax] = {};
    std::string doc;  // text signature, then the docstring
    // Object parameters only: `required` of them first, `positional` that may be given by
    // position, `count` in all, named `names` (interned).
    bool direct = false;
    int required = 0, positional = 0, count = 0;
    PyObject *names[Args::kMax] = {};
};

Parsed parse(const FunctionDef &def, bool method);
void remember_original(nb::handle module, const FunctionDef &def);

template <const FunctionDef *Table, std::size_t I> struct Slot {
    static inline Parsed parsed;
};

template <const FunctionDef *Table, std::size_t I>
PyObject *entry(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guarded([&] {
        const Parsed &p = Slot<Table, I>::parsed;
        Args a;
        void *out[Args::kMax];
        for (int k = 0; k < Args::kMax; ++k) {
            a.obj[k] = p.defaults[k];
            a.ints[k] = 0;
            out[k] = p.is_int[k] ? (void *) &a.ints[k] : (void *) &a.obj[k];
        }
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, p.format.c_str(),
                                         const_cast<char **>(p.kwlist.data()), out[0], out[1],
                                         out[2], out[3], out[4], out[5], out[6], out[7], out[8],
                                         out[9], out[10], out[11], out[12], out[13], out[14],
                                         out[15], out[16], out[17], out[18], out[19]))
            throw nb::python_error();
        return Table[I].impl(nb::handle(self), a);
    });
}

// Binds a plain call (positional arguments, then keywords given by the interned names of
// distinct parameters, every required one given) without the parser; false otherwise.
bool bind_direct(const Parsed &p, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames,
                 Args &a);

// The arguments of a vectorcall as a tuple and a dict (null when there are no keywords).
std::pair<nb::object, nb::object> packed(PyObject *const *argv, Py_ssize_t nargs,
                                         PyObject *kwnames);

template <const FunctionDef *Table, std::size_t I>
PyObject *fast_entry(PyObject *self, PyObject *const *argv, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    const Parsed &p = Slot<Table, I>::parsed;
    Args a;
    if (p.direct && bind_direct(p, argv, nargs, kwnames, a))
        return guarded([&] { return Table[I].impl(nb::handle(self), a); });
    PyObject *tuple = nullptr, *dict = nullptr;
    try {
        auto [t, d] = packed(argv, nargs, kwnames);
        tuple = t.release().ptr(), dict = d.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
    PyObject *result = entry<Table, I>(self, tuple, dict);
    Py_DECREF(tuple);
    Py_XDECREF(dict);
    return result;
}

template <const FunctionDef *Table, std::size_t... I>
PyMethodDef *expand(bool method, std::index_sequence<I...>) {
    static PyMethodDef defs[sizeof...(I) + 1];
    ((Slot<Table, I>::parsed = parse(Table[I], method),
      defs[I] = {Table[I].name, (PyCFunction) (void (*)(void)) fast_entry<Table, I>,
                 METH_FASTCALL | METH_KEYWORDS, Slot<Table, I>::parsed.doc.c_str()}),
     ...);
    defs[sizeof...(I)] = {nullptr, nullptr, 0, nullptr};
    return defs;
}

}  // namespace bind

// Adds the functions of `Table` (N rows) to the module.
template <const FunctionDef *Table, std::size_t N> void add_functions(nb::handle module) {
    PyMethodDef *defs = bind::expand<Table>(false, std::make_index_sequence<N>{});
    if (PyModule_AddFunctions(module.ptr(), defs) != 0) throw nb::python_error();
    for (std::size_t i = 0; i < N; ++i) bind::remember_original(module, Table[i]);
}

// The method table of `Table` (N rows), for make_plain_class.
template <const FunctionDef *Table, std::size_t N> PyMethodDef *method_defs() {
    return bind::expand<Table>(true, std::make_index_sequence<N>{});
}

}  // namespace ee
