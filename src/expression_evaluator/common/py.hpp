// Shared Python plumbing of the expression evaluator: module globals, errors, attribute
// access and the guard that turns C++ exceptions back into Python exceptions. Objects are
// held through nanobind handles (nb::object owns a strong reference), so nothing we read
// can be freed under us.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

namespace nb = nanobind;

namespace ee {

// ---------------------------------------------------------------------------------------
// The module and its globals. Imported names (np, deepcopy, FunctionGraphNode, the error
// types, the sibling helpers, _logger) are looked up in the module's own namespace at the
// moment they are needed, exactly as a Python module resolves its globals, so a test can
// swap one with monkeypatch.set_attr(module, NAME, fake).

// Set once at import; the module object is kept alive for the life of the interpreter.
void set_module_object(PyObject *m);
PyObject *module_object();

// The value bound to `name` in the module namespace; NameError when it is missing.
nb::object global(const char *name);

// The version of a dict's contents: a number that changes with every change to the dict
// and is never reused, by this dict or any other.
uint64_t dict_version(PyObject *dict);

// ---------------------------------------------------------------------------------------
// Errors.

// Build `tname(message)` from the module global `type_name` and raise it (as a
// nb::python_error, which the guard restores). Never returns.
[[noreturn]] void raise_global(const char *type_name, const std::string &message);
[[noreturn]] void raise_global(const char *type_name, nb::handle message);

// Raise a builtin exception type with a message. Never returns.
[[noreturn]] void raise_builtin(PyObject *type, const std::string &message);

// Raise an exception instance, with `cause` as its __cause__ when not null. Never returns.
[[noreturn]] void raise_instance(nb::handle exc, nb::handle cause = nb::handle());

// If a Python error is pending, throw it as a C++ exception.
inline void throw_if_error() {
    if (PyErr_Occurred()) throw nb::python_error();
}

// Steal a new reference returned by the C API; throw the pending error on NULL.
inline nb::object check(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// Truth value of an object, as `bool(obj)` (errors propagate).
inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// ---------------------------------------------------------------------------------------
// Attributes and small object helpers.

// The interned str of a name (borrowed; kept for the life of the process). Attribute and
// global lookups by C string go through it, so a lookup reuses one str and its cached hash.
// Names that are literals of this extension are found by their address alone.
struct LiteralSlot {
    const char *address;
    PyObject *value;
};
extern LiteralSlot g_literal_slots[1024];
PyObject *interned_lookup(const char *name);
// Short literals may share an 8-byte word: every address bit counts.
inline size_t literal_slot(const char *name) {
    return (size_t) (((uintptr_t) name * 0x9E3779B97F4A7C15ull) >> 54);
}
inline PyObject *interned(const char *name) {
    const LiteralSlot &slot = g_literal_slots[literal_slot(name)];
    if (slot.address == name) return slot.value;
    return interned_lookup(name);
}

// get_attr(obj, name) with errors propagated.
inline nb::object get_attr(nb::handle obj, const char *name) {
    return check(PyObject_GetAttr(obj.ptr(), interned(name)));
}

// get_attr(obj, name, default): only AttributeError counts as absent.
nb::object attr_or(nb::handle obj, const char *name, nb::handle dflt);

// has_attr(obj, name): True / False, only AttributeError counts as absent.
bool has_attr(nb::handle obj, const char *name);

inline void set_attr(nb::handle obj, const char *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), interned(name), value.ptr()) != 0)
        throw nb::python_error();
}

// type(obj).__name__ as a std::string.
std::string tname(nb::handle obj);

// str(obj) as std::string.
std::string to_str(nb::handle obj);

// is_instance(obj, cls); errors propagate.
inline bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// `a == b` for Python objects; errors propagate.
inline bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// `obj == "text"` where obj is usually a str; falls back to Python equality otherwise.
bool equals_str(nb::handle obj, const char *text);

// `key in container`; errors propagate.
inline bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// len(obj); errors propagate.
inline Py_ssize_t length(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

inline nb::object pystr(const std::string &s) {
    return check(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t) s.size()));
}

// ---------------------------------------------------------------------------------------
// Recursion over graphs. Each level of a recursive walk holds one RecursionGuard: the
// interpreter's own C-recursion accounting keeps the C stack safe, and our depth counter
// follows sys.getrecursionlimit(), so a tree deeper than the interpreter allows (or a node
// that is its own descendant) ends in RecursionError exactly where a Python walk would.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where);
    ~RecursionGuard();
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// The levels of a recursive walk replayed as a loop: `to(level)` leaves or enters levels
// one at a time, as the walk's guards would; levels still entered are left on destruction.
struct GuardState;
class RecursionLevels {
public:
    explicit RecursionLevels(const char *where);
    ~RecursionLevels();
    RecursionLevels(const RecursionLevels &) = delete;
    RecursionLevels &operator=(const RecursionLevels &) = delete;
    void to(size_t level) {
        if (level_ > level) leave_to(level);
        while (level_ < level) enter();
    }

private:
    void enter();
    void leave_to(size_t level);
    const char *where_;
    GuardState *guard_;  // this thread's
    size_t level_ = 0;
};

// ---------------------------------------------------------------------------------------
// Function entry: run `body`, translating C++ exceptions into a pending Python error.
template <typename F> PyObject *guarded(F &&body) noexcept {
    try {
        nb::object result = body();
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

inline nb::object none() { return nb::none(); }

// A plain Python class: type(name, (object,), {...}) whose methods are method descriptors
// built from the PyMethodDef tables `methods` (each terminated by a zeroed entry). Instances
// have a __dict__, the class can be subclassed, pickled instances go through __reduce_ex__
// as for any Python class.
nb::object make_plain_class(nb::handle module, const char *name, const char *doc,
                            std::initializer_list<PyMethodDef *> methods);

}  // namespace ee
