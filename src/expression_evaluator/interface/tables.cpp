// The module tables: node kinds and function-store names that several parts test against.
#include "../common/names.hpp"
#include "interface.hpp"

namespace ee {

static nb::object make_set(std::initializer_list<const char *> items, bool frozen) {
    nb::object s = check(frozen ? PyFrozenSet_New(nullptr) : PySet_New(nullptr));
    for (const char *item : items)
        if (PySet_Add(s.ptr(), pystr(item).ptr()) != 0) throw nb::python_error();
    return s;
}

void init_tables(nb::handle m) {
    set_attr(m, "_CONFIG_CHILD_TYPES", make_set({"float", "int", "string", "bool"}, false));
    set_attr(m, "FILTRATION_NODE_TYPES",
            make_set({"filtration", "gt", "lt", "gte", "lte", "eq", "neq", "between", "in_",
                      "and_", "or_", "not_", "top_pct", "bottom_pct", "top_n", "bottom_n"},
                     true));
    set_attr(m, "_LONGITUDINAL_FAST_MIN_ROWS", check(PyLong_FromLong(100000)));
    set_attr(m, "_LONGITUDINAL_FAST_NAMES",
            make_set({names::kRollingZscore, names::kRollingStd, names::kRollingMean}, false));
}

}  // namespace ee
