// ovk/module.hpp - one extension module: multi-phase definition, state, guards.
//
// Each module source defines a state struct and an exec function, then names
// them once:
//
//     struct State {
//         Ref pattern;
//         auto refs() { return std::tie(pattern); }   // every Ref the GC must see
//     };
//     static void exec(PyObject* module, State& st) { ... add_functions(...) ... }
//     OVK_MODULE(State, exec, "Module docstring or nullptr")
//
// OVK_MODULE defines the one exported entry `PyInit_<name>` (the build passes
// OVK_MODULE_NAME and OVK_MODULE_FULLNAME), returning the definition for
// multi-phase initialisation. A module built from a folder of parts shares its
// state struct through a header of the folder and names it once, in its
// module.cpp. The layer keeps the module's function type next
// to the state, traverses and clears the state's `refs()`, refuses a second
// interpreter in the process and a second initialisation of one module object,
// and registers the module in `sys.modules` under its full dotted name. Its
// slots declare that stance to the interpreter (`Py_mod_multiple_interpreters`,
// 3.12+: not supported; `Py_mod_gil`, 3.13+: the GIL is used). An
// exception thrown by `exec` makes the import fail.
//
// One module object per process: once a module is initialised, importing it
// again (after `del sys.modules[name]`, say) hands back that same module, with
// its classes, registries and state, instead of building a second copy. The
// import system makes a fresh module object before it runs exec; exec then puts
// the live module in its place in `sys.modules` (which the import statement
// reads back) and gives the fresh object the live module's names, so that a
// caller holding it directly still reaches the same functions and classes.
//
// At run time: `Call::state<State>()` reaches the state from a function;
// `state_of<State>(module)` from a module object; `lookup(module, name)` reads a
// module global when it is used (so that patching `module.NAME` takes effect).
// A fast path that stands in for a global does so only while the global still
// holds what the module bound at load: `Global(module, name, bound)` reads it
// and says whether it is `ours`; `InstanceTest` is isinstance against such a
// global, with the exact builtin types answered from a table (`KnownClass`)
// worked out at load.
// In exec: `import_module(name)`, `import_from(module, name)`, `add_object`,
// `add_functions`.
//
// Interned names come from one X-macro list per module:
//
//     #define MY_NAMES(X) X(items) X(get) X(__init__)
//     OVK_NAMES(MY_NAMES)    // enum Name {N_items, N_get, N___init__, N_COUNT}
//                            // and the type Names
//
// The state holds `Names names;` outside its `refs()` (an interned text takes
// part in no cycle, and the state's destructor releases them), exec calls
// `st.names.init()`, and code reads `st.names[N_get]`. Texts that are not
// identifiers are made in exec as ordinary `Ref`s of the state.
#pragma once
#include "function.hpp"

#include <cstdint>
#include <tuple>

// This module's definition; defined by OVK_MODULE in the module's source (its
// module.cpp, for a module built from a folder of parts). Hidden: each
// extension library has its own.
PyModuleDef* ovk_module_def();

namespace ovk {

struct ModuleBase {
    bool constructed = true;  // raw state memory is zeroed: false until constructed
    bool initialised = false;
    Ref function_type;
};

template <class State>
struct ModuleHolder : ModuleBase {
    State state;
};

inline PyTypeObject* function_type_of(PyObject* module) {
    auto* base = static_cast<ModuleBase*>(PyModule_GetState(module));
    return reinterpret_cast<PyTypeObject*>(base->function_type.get());
}

template <class State>
inline State& state_of(PyObject* module) {
    return static_cast<ModuleHolder<State>*>(PyModule_GetState(module))->state;
}

template <class State>
inline State& Call::state() const {
    return state_of<State>(fn->module.get());
}

// The value of global `name` of `module`, falling back to the builtins, as a
// name lookup in interpreter code would do. Raises NameError.
inline Ref lookup(PyObject* module, PyObject* name) {
    Ref v = dict_get(PyModule_GetDict(module), name);
    if (!v) v = dict_get(PyEval_GetBuiltins(), name);
    if (!v) raise(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

// `import name`, for a module body.
inline Ref import_module(const char* name) { return own(PyImport_ImportModule(name)); }

// `from module import name`, for a module body.
inline Ref import_from(const char* module, const char* name) {
    Ref m = import_module(module);
    return own(PyObject_GetAttrString(m.get(), name));
}

// The module global `name` as it is now, and whether it is still `bound`, the
// object the module bound at load.
struct Global {
    Ref value;
    bool ours;
    Global(PyObject* module, PyObject* name, PyObject* bound)
        : value(lookup(module, name)), ours(value.get() == bound) {}
};

// A class bound at load (a collections.abc class, say), with its answers to
// isinstance for the exact builtin types worked out once: those types are
// final and their instances cannot change class, so the answer is the same at
// every call. Kept in the module state; its `cls` goes in the state's refs().
struct KnownClass {
    Ref cls;
    uint16_t yes = 0;  // bit i: builtin type i is a subclass of `cls`

    static constexpr int n_builtins = 9;
    static PyTypeObject* builtin(int i) noexcept {
        PyTypeObject* const types[n_builtins] = {&PyDict_Type,    &PyList_Type,  &PyTuple_Type,
                                                 &PyUnicode_Type, &PyBytes_Type, &PyLong_Type,
                                                 &PyFloat_Type,   &PyBool_Type,  Py_TYPE(Py_None)};
        return types[i];
    }
    static KnownClass of(Ref cls) {
        KnownClass k;
        k.cls = std::move(cls);
        for (int i = 0; i < n_builtins; ++i)
            if (check(PyObject_IsSubclass(reinterpret_cast<PyObject*>(builtin(i)), k.cls.get()))) k.yes |= 1u << i;
        return k;
    }
    // The answer for an instance of `t`: 1 or 0, or -1 when `t` is not one of the builtin types.
    int answer(PyTypeObject* t) const noexcept {
        for (int i = 0; i < n_builtins; ++i)
            if (t == builtin(i)) return yes >> i & 1;
        return -1;
    }
};

// isinstance(v, <module global `name`>), where `bound` is what the module bound
// to that name at load: exact builtin types are answered from its table while
// the global still holds that class.
struct InstanceTest {
    Global cls;
    const KnownClass& bound;
    InstanceTest(PyObject* module, PyObject* name, const KnownClass& k) : cls(module, name, k.cls.get()), bound(k) {}
    bool operator()(PyObject* v) const {
        if (cls.ours)
            if (int known = bound.answer(Py_TYPE(v)); known >= 0) return known;
        return check(PyObject_IsInstance(v, cls.value.get()));
    }
};

// Interned names of a module; see the top of this file.
template <class E, size_t N, const char* const* Texts>
struct InternedNames {
    Ref refs[N];
    void init() {
        for (size_t i = 0; i < N; ++i) refs[i] = intern(Texts[i]);
    }
    PyObject* operator[](E e) const noexcept { return refs[e].get(); }
};

inline void add_object(PyObject* module, const char* name, Ref value) {
    check(PyModule_AddObjectRef(module, name, value.get()));
}

inline void add_functions(PyObject* module, std::initializer_list<const FuncDef*> defs) {
    for (const FuncDef* def : defs) add_object(module, def->name, make_function(module, *def));
}

namespace detail {

inline int refuse_second_interpreter() {
    static int64_t main_interpreter_id = -1;
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (main_interpreter_id != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

template <class T>
inline int visit_refs(T& refs, visitproc visit, void* arg) {
    return std::apply(
        [&](auto&... r) {
            int rc = 0;
            ((rc = rc ? rc : (r.get() ? visit(r.get(), arg) : 0)), ...);
            return rc;
        },
        refs);
}

template <class State, void (*Exec)(PyObject*, State&), const char* FullName>
struct Definition {
    using Holder = ModuleHolder<State>;

    static Holder* holder(PyObject* m) { return static_cast<Holder*>(PyModule_GetState(m)); }

    // The initialised module of this process, if it is alive (borrowed; reset
    // when that module is freed).
    inline static PyObject* live = nullptr;

    static PyObject* create(PyObject* spec, PyModuleDef*) {
        if (refuse_second_interpreter() < 0) return nullptr;
        PyObject* name = PyObject_GetAttrString(spec, "name");
        if (!name) return nullptr;
        PyObject* module = PyModule_NewObject(name);
        Py_DECREF(name);
        return module;
    }

    static int exec(PyObject* m) {
        return boundary<int>(-1, [&] {
            Holder* h = holder(m);
            if (h->constructed && h->initialised)
                raise(PyExc_ImportError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                      FullName);
            if (live && live != m) return hand_back_live(m);
            if (!h->constructed) new (h) Holder();
            h->function_type = new_function_type(m);
            Exec(m, h->state);
            // Registered under the full dotted name also when loaded by another name.
            Ref full = own(PyUnicode_FromString(FullName));
            if (!check(PyDict_Contains(PyImport_GetModuleDict(), full.get())))
                check(PyDict_SetItem(PyImport_GetModuleDict(), full.get(), m));
            h->initialised = true;
            live = m;
            return 0;
        });
    }

    // `m` is a fresh module object made for a second import of this module.
    static int hand_back_live(PyObject* m) {
        Ref name = own(PyObject_GetAttrString(m, "__name__"));
        check(PyDict_SetItem(PyImport_GetModuleDict(), name.get(), live));
        check(PyDict_Merge(PyModule_GetDict(m), PyModule_GetDict(live), 0));
        return 0;
    }

    static int traverse(PyObject* m, visitproc visit, void* arg) {
        Holder* h = holder(m);
        if (!h || !h->constructed) return 0;
        Py_VISIT(h->function_type.get());
        auto refs = h->state.refs();
        return visit_refs(refs, visit, arg);
    }

    static int clear(PyObject* m) {
        Holder* h = holder(m);
        if (!h || !h->constructed) return 0;
        std::apply([](auto&... r) { (r.reset(), ...); }, h->state.refs());
        h->function_type.reset();
        return 0;
    }

    static void free(void* m) {
        if (m == live) live = nullptr;
        Holder* h = holder(static_cast<PyObject*>(m));
        if (h && h->constructed) h->~Holder();
    }

    // The module's stance, declared where the headers know the slots: one
    // interpreter per process (create() refuses a second one, in its own words,
    // where the interpreter leaves the check to it), and the GIL held.
    inline static PyModuleDef_Slot slots[] = {
        {Py_mod_create, (void*)create},
        {Py_mod_exec, (void*)exec},
#ifdef Py_mod_multiple_interpreters
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
        {0, nullptr},
    };

    inline static PyModuleDef def = {
        PyModuleDef_HEAD_INIT, FullName, nullptr, sizeof(Holder), nullptr, slots, traverse, clear, free,
    };
};

}  // namespace detail
}  // namespace ovk

#define OVK_NAME_ENUM_(n) N_##n,
#define OVK_NAME_TEXT_(n) #n,
#define OVK_NAMES(LIST)                                                      \
    enum Name : int { LIST(OVK_NAME_ENUM_) N_COUNT };                        \
    inline constexpr const char* ovk_name_texts_[] = {LIST(OVK_NAME_TEXT_)}; \
    using Names = ::ovk::InternedNames<Name, N_COUNT, ovk_name_texts_>;

#define OVK_CONCAT_(a, b) a##b
#define OVK_CONCAT(a, b) OVK_CONCAT_(a, b)

#define OVK_MODULE(State, exec_fn, doc)                                                                           \
    static constexpr char ovk_module_fullname_[] = OVK_MODULE_FULLNAME;                                           \
    PyModuleDef* ovk_module_def() { return &ovk::detail::Definition<State, exec_fn, ovk_module_fullname_>::def; } \
    PyMODINIT_FUNC OVK_CONCAT(PyInit_, OVK_MODULE_NAME)(void) {                                                   \
        PyModuleDef* d = ovk_module_def();                                                                        \
        d->m_doc = doc;                                                                                           \
        return PyModuleDef_Init(d);                                                                               \
    }
