#include "py.hpp"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ee {

static PyObject *g_module = nullptr;

void set_module_object(PyObject *m) {
    Py_XINCREF(m);
    g_module = m;
}

PyObject *module_object() { return g_module; }

namespace {

// The read-only segments of this extension: a name whose text lies there is a literal, so
// its address alone identifies it (no buffer can be rewritten in place).
struct ReadOnlyRanges {
    uintptr_t lo[8] = {}, hi[8] = {};
    int count = 0;

    ReadOnlyRanges() {
        Dl_info info;
        if (!dladdr((const void *) &interned_lookup, &info) || !info.dli_fbase) return;
        struct Ctx {
            ReadOnlyRanges *self;
            uintptr_t base;
        } ctx{this, (uintptr_t) info.dli_fbase};
        dl_iterate_phdr(
            [](struct dl_phdr_info *pi, size_t, void *data) -> int {
                Ctx &c = *(Ctx *) data;
                bool ours = false;
                for (int i = 0; i < pi->dlpi_phnum; ++i)
                    if (pi->dlpi_phdr[i].p_type == PT_LOAD &&
                        pi->dlpi_addr + pi->dlpi_phdr[i].p_vaddr == c.base)
                        ours = true;
                if (!ours) return 0;
                for (int i = 0; i < pi->dlpi_phnum && c.self->count < 8; ++i) {
                    const ElfW(Phdr) &ph = pi->dlpi_phdr[i];
                    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W)) continue;
                    c.self->lo[c.self->count] = pi->dlpi_addr + ph.p_vaddr;
                    c.self->hi[c.self->count] = pi->dlpi_addr + ph.p_vaddr + ph.p_memsz;
                    ++c.self->count;
                }
                return 1;
            },
            &ctx);
    }

    bool contains(const char *p) const {
        uintptr_t a = (uintptr_t) p;
        for (int i = 0; i < count; ++i)
            if (a >= lo[i] && a < hi[i]) return true;
        return false;
    }
};

}  // namespace

LiteralSlot g_literal_slots[1024];

PyObject *interned_lookup(const char *name) {
    // Only touched with the GIL held. Keys view the stored copies, so a caller's buffer may
    // be reused after the call.
    static std::deque<std::string> *names = new std::deque<std::string>();
    static std::unordered_map<std::string_view, PyObject *> *cache =
        new std::unordered_map<std::string_view, PyObject *>();
    // A direct-mapped cache by text address (names are mostly literals), checked against the
    // stored text unless the address is one of our own literals, in front of the map by
    // content.
    struct Slot {
        const char *address;
        const char *text;
        PyObject *value;
        bool literal;
    };
    static Slot slots[512];
    static const ReadOnlyRanges *literals = new ReadOnlyRanges();
    Slot &slot = slots[literal_slot(name) & 511];
    if (slot.address == name && (slot.literal || std::strcmp(slot.text, name) == 0))
        return slot.value;
    std::string_view key(name);
    auto found = cache->find(key);
    if (found != cache->end()) {
        bool literal = literals->contains(name);
        slot = {name, found->first.data(), found->second, literal};
        if (literal) g_literal_slots[literal_slot(name)] = {name, found->second};
        return found->second;
    }
    PyObject *s = PyUnicode_InternFromString(name);
    if (!s) throw nb::python_error();
    names->emplace_back(name);
    cache->emplace(std::string_view(names->back()), s);
    return s;
}

uint64_t dict_version(PyObject *dict) {
    // Every change to a dict gives it a version number never used before in the process.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ((PyDictObject *) dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

nb::object global(const char *name) {
    PyObject *dict = PyModule_GetDict(g_module);  // borrowed
    PyObject *key = interned(name);
    // The value found at the namespace's current version: while the namespace is unchanged,
    // the dict still holds it (only touched with the GIL held).
    struct Seen {
        PyObject *key;
        uint64_t version;
        PyObject *value;  // borrowed from the namespace
    };
    static Seen seen[256];
    Seen &slot = seen[((uintptr_t) key >> 4) & 255];
    uint64_t version = dict_version(dict);
    if (slot.key == key && slot.version == version) return nb::borrow(slot.value);
    PyObject *value = PyDict_GetItemWithError(dict, key);  // borrowed
    if (value) slot = {key, version, value};
    if (!value && PyErr_Occurred()) throw nb::python_error();
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

[[noreturn]] void raise_instance(nb::handle exc, nb::handle cause) {
    if (cause.is_valid()) {
        // PyException_SetCause steals the cause reference and sets __suppress_context__.
        PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
    }
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_global(const char *type_name, nb::handle message) {
    nb::object type = global(type_name);
    nb::object exc = check(PyObject_CallOneArg(type.ptr(), message.ptr()));
    raise_instance(exc);
}

[[noreturn]] void raise_global(const char *type_name, const std::string &message) {
    raise_global(type_name, pystr(message));
}

[[noreturn]] void raise_builtin(PyObject *type, const std::string &message) {
    nb::object msg = pystr(message);
    PyErr_SetObject(type, msg.ptr());
    throw nb::python_error();
}

// _PyObject_LookupAttr (CPython 3.12) treats only AttributeError as absence, and for
// ordinary objects answers "absent" without building the AttributeError at all.
nb::object attr_or(nb::handle obj, const char *name, nb::handle dflt) {
    PyObject *value = nullptr;
    int found = _PyObject_LookupAttr(obj.ptr(), interned(name), &value);
    if (found < 0) throw nb::python_error();
    if (found) return nb::steal(value);
    return nb::borrow(dflt);
}

bool has_attr(nb::handle obj, const char *name) {
    PyObject *value = nullptr;
    int found = _PyObject_LookupAttr(obj.ptr(), interned(name), &value);
    if (found < 0) throw nb::python_error();
    Py_XDECREF(value);
    return found != 0;
}

std::string tname(nb::handle obj) {
    // type(obj).__name__ (a heap type's name may be changed from Python; read it live).
    nb::object name = get_attr(nb::handle((PyObject *) Py_TYPE(obj.ptr())), "__name__");
    return to_str(name);
}

static std::string utf8(nb::handle s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, (size_t) size);
}

std::string to_str(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) return utf8(obj);
    return utf8(check(PyObject_Str(obj.ptr())));
}


bool equals_str(nb::handle obj, const char *text) {
    if (PyUnicode_CheckExact(obj.ptr())) {
        if (obj.ptr() == interned(text)) return true;
        return PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
    }
    nb::object other = check(PyUnicode_FromString(text));
    return equals(obj, other);
}

// ---------------------------------------------------------------------------------------

struct GuardState {
    int depth = 0;
    uintptr_t stack_floor = 0;  // lowest usable address of this thread's stack
};

namespace {
thread_local GuardState t_guard;

uintptr_t stack_floor(GuardState &g) {
    if (g.stack_floor) return g.stack_floor;
    pthread_attr_t attr;
    void *addr = nullptr;
    size_t size = 0;
    uintptr_t floor = 1;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        // A reserve below the deepest guard for what runs there (Python callbacks, NumPy,
        // raising the error): a quarter of the stack, up to 256 KiB, so that a small
        // thread stack still leaves room for the walk itself.
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr)
            floor = (uintptr_t) addr + std::min(size / 4, (size_t) 256 * 1024);
        pthread_attr_destroy(&attr);
    }
    g.stack_floor = floor;
    return floor;
}

void enter_level(GuardState &g, const char *where) {
    char probe;
    if (g.depth + 1 > Py_GetRecursionLimit() || (uintptr_t) &probe < stack_floor(g)) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw nb::python_error();
    }
    ++g.depth;
}
}  // namespace

RecursionGuard::RecursionGuard(const char *where) { enter_level(t_guard, where); }

RecursionGuard::~RecursionGuard() { --t_guard.depth; }

RecursionLevels::RecursionLevels(const char *where) : where_(where), guard_(&t_guard) {}

void RecursionLevels::enter() {
    enter_level(*guard_, where_);
    ++level_;
}

void RecursionLevels::leave_to(size_t level) {
    guard_->depth -= (int) (level_ - level);
    level_ = level;
}

RecursionLevels::~RecursionLevels() { leave_to(0); }

// ---------------------------------------------------------------------------------------

nb::object make_plain_class(nb::handle module, const char *name, const char *doc,
                            std::initializer_list<PyMethodDef *> methods) {
    nb::object ns = check(PyDict_New());
    nb::object modname = get_attr(module, "__name__");
    if (PyDict_SetItemString(ns.ptr(), "__module__", modname.ptr()) != 0 ||
        PyDict_SetItemString(ns.ptr(), "__qualname__", pystr(name).ptr()) != 0 ||
        PyDict_SetItemString(ns.ptr(), "__doc__", pystr(doc).ptr()) != 0)
        throw nb::python_error();
    nb::object bases = check(PyTuple_Pack(1, (PyObject *) &PyBaseObject_Type));
    nb::object cls = check(PyObject_CallFunction((PyObject *) &PyType_Type, "sOO", name,
                                                 bases.ptr(), ns.ptr()));
    for (PyMethodDef *table : methods)
        for (PyMethodDef *def = table; def && def->ml_name; ++def) {
            nb::object descr = check(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), def));
            set_attr(cls, def->ml_name, descr);
        }
    return cls;
}

}  // namespace ee
