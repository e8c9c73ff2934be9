#include "functions.hpp"

#include <cstring>
#include <stdexcept>

namespace ee {

namespace {

struct Original {
    const char *name = nullptr;
    PyObject *function = nullptr;  // kept for the life of the process
};
Original g_originals[kFunctionCount];

// The default of a parameter as the signature writes it: None, True, False, an int or a
// quoted string.
PyObject *default_value(const std::string &text) {
    if (text == "None") return Py_None;
    if (text == "True") return Py_True;
    if (text == "False") return Py_False;
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        return check(PyUnicode_InternFromString(text.substr(1, text.size() - 2).c_str()))
            .release()
            .ptr();  // kept for the life of the process
    return check(PyLong_FromString(text.c_str(), nullptr, 10)).release().ptr();
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

bool all_original() {
    // Checked again whenever the namespace has changed since the last check.
    static uint64_t checked_version = 0;
    static bool original = false;
    PyObject *dict = PyModule_GetDict(module_object());
    uint64_t version = dict_version(dict);
    if (version == checked_version) return original;
    bool all = true;
    for (const Original &o : g_originals) {
        if (!o.name) continue;
        PyObject *current = PyDict_GetItemString(dict, o.name);  // borrowed
        if (current != o.function) all = false;
    }
    checked_version = version;
    original = all;
    return original;
}

nb::object replacement(Fn fn) {
    const Original &o = g_originals[(int) fn];
    nb::object current = global(o.name);
    if (current.ptr() == o.function) return nb::object();
    return current;
}

namespace bind {

Parsed parse(const FunctionDef &def, bool method) {
    Parsed p;
    p.format = std::string(def.format) + ":" + def.name;
    std::string params = def.params;
    size_t pos = 0;
    int slot = 0;
    const char *unit = def.format;
    while (pos < params.size()) {
        size_t comma = params.find(',', pos);
        size_t len = comma == std::string::npos ? std::string::npos : comma - pos;
        std::string item = trimmed(params.substr(pos, len));
        pos = comma == std::string::npos ? params.size() : comma + 1;
        if (item.empty() || item == "*") continue;
        while (*unit == '|' || *unit == '$') ++unit;
        if (slot >= Args::kMax || !*unit) throw std::logic_error(def.name);
        size_t eq = item.find('=');
        p.kwlist.push_back(strdup(trimmed(item.substr(0, eq)).c_str()));  // kept for good
        if (eq != std::string::npos) p.defaults[slot] = default_value(trimmed(item.substr(eq + 1)));
        p.is_int[slot] = *unit == 'i';
        ++unit;
        ++slot;
    }
    p.kwlist.push_back(nullptr);
    p.count = slot;
    p.direct = slot <= Args::kMax;
    p.required = p.positional = -1;
    int units = 0;
    for (const char *u = def.format; *u; ++u) {
        if (*u == '|' && p.required < 0) p.required = units;
        else if (*u == '$' && p.positional < 0) p.positional = units;
        else if (*u == 'O') ++units;
        else p.direct = false;  // converted or unusual units take the parser
    }
    if (p.required < 0) p.required = units;
    if (p.positional < 0) p.positional = units;
    for (int k = 0; k < slot; ++k) {
        if (!*p.kwlist[k]) p.direct = false;  // positional-only
        p.names[k] = PyUnicode_InternFromString(p.kwlist[k]);  // kept for good
        if (!p.names[k]) throw nb::python_error();
    }
    std::string head = std::string(def.name) + (method ? "($self, /" : "($module, /");
    if (*def.params) head += std::string(", ") + def.params;
    p.doc = head + ")\n--\n\n" + def.doc;
    return p;
}

bool bind_direct(const Parsed &p, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames,
                 Args &a) {
    if (nargs > p.positional) return false;
    bool given[Args::kMax] = {};
    for (int k = 0; k < Args::kMax; ++k) a.obj[k] = p.defaults[k], a.ints[k] = 0;
    for (Py_ssize_t k = 0; k < nargs; ++k) a.obj[k] = argv[k], given[k] = true;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, j);
        int slot = 0;
        while (slot < p.count && p.names[slot] != name) ++slot;
        if (slot == p.count || given[slot]) return false;
        a.obj[slot] = argv[nargs + j], given[slot] = true;
    }
    for (int k = 0; k < p.required; ++k)
        if (!given[k]) return false;
    return true;
}

std::pair<nb::object, nb::object> packed(PyObject *const *argv, Py_ssize_t nargs,
                                         PyObject *kwnames) {
    nb::object tuple = check(PyTuple_New(nargs));
    for (Py_ssize_t k = 0; k < nargs; ++k)
        PyTuple_SET_ITEM(tuple.ptr(), k, nb::borrow(argv[k]).release().ptr());
    nb::object dict;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        dict = check(PyDict_New());
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
            if (PyDict_SetItem(dict.ptr(), PyTuple_GET_ITEM(kwnames, j), argv[nargs + j]) != 0)
                throw nb::python_error();
    }
    return {tuple, dict};
}

void remember_original(nb::handle module, const FunctionDef &def) {
    if (def.id == Fn::none) return;
    Original &o = g_originals[(int) def.id];
    o.name = def.name;
    Py_XDECREF(o.function);
    o.function = check(PyObject_GetAttrString(module.ptr(), def.name)).release().ptr();
}

}  // namespace bind

}  // namespace ee
