// ovk/function.hpp - function objects that behave as interpreter-level functions.
//
// A function is described once by a static `FuncDef`:
//
//     static Ref escape(const Call& c) { ... c[0] is `line` ... }
//     static const FuncDef escape_def{"escape", "(line)", "Strip ...", escape};
//
// The signature text is the single source of the parameters: it is parsed when
// the function object is made, its defaults are evaluated in the module's
// namespace, it is what `__text_signature__` (and so `inspect.signature`) shows,
// and calls are bound against it by the interpreter's rules, with the TypeError
// wording of the project:
//     "f() takes exactly 1 positional argument (2 given)"  (also "at least"/"at most")
//     "f() got an unexpected keyword argument 'x'"
//     "f() got multiple values for keyword argument 'x'"
//     "f() needs keyword-only argument x"
//     "f() takes no arguments (1 given)" / "f() takes no keyword arguments"
// Supported: "/", "*", "*args", "**kwargs", "name=default". The implementation
// receives one borrowed argument per parameter, in signature order, defaults
// filled in (`*args` a tuple, `**kwargs` a dict).
//
// An implementation with more than a couple of parameters names them in its
// own C++ signature and is given as `params<f>`:
//
//     static Ref find(const Call& c, PyObject* self, PyObject* data, PyObject* path) { ... }
//     static const FuncDef find_def{"find", "(self, data, path=None)", doc, params<find>};
//
// The number of parameters it names is checked against the signature text when
// the function object is made (a mismatch fails the import with SystemError).
//
// Function objects have `__name__`, `__qualname__`, `__doc__`, `__module__`,
// `__dict__`, support weak references, pickle by reference and bind as methods
// (a `self` parameter is an ordinary first parameter, as in interpreter code).
// An error leaving a function gets a traceback entry naming the source file of
// its FuncDef ("src/ovark/utils/ansi.cpp"), as a frame of interpreter code
// would.
//
// Make them with `make_function` (module functions; methods: pass the owner's
// qualified name) or `make_closure` (a fresh copy of a template function
// carrying captured values, for inner functions such as "outer.<locals>.inner").
#pragma once
#include "ref.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ovk {

struct Call;
using ImplFn = Ref (*)(const Call&);

// What a FuncDef runs: a `Ref f(const Call&)` that reads `c[i]`, or `params<f>`.
struct Impl {
    ImplFn fn;
    int arity = -1;  // the parameters `fn` names, or -1 when it reads them by position
    template <class F>
        requires std::is_convertible_v<F, ImplFn>
    constexpr Impl(F f, int n = -1) noexcept : fn(f), arity(n) {}
    Ref operator()(const Call& c) const { return fn(c); }
};

struct FuncDef {
    const char* name;
    const char* signature;  // "(a, b=None, *args, c, **kw)"
    const char* doc;        // nullptr for none
    Impl impl;
    // Where the definition stands; named by tracebacks through the function.
    std::source_location where = std::source_location::current();
};

// Parameters parsed from a signature text. Slots: positional parameters,
// then *args, then keyword-only parameters, then **kwargs.
struct Signature {
    std::vector<Ref> names;     // one per slot
    std::vector<Ref> defaults;  // one per slot; empty Ref = required
    Py_ssize_t n_pos = 0, n_posonly = 0, n_required = 0, n_kwonly = 0;
    bool varargs = false, varkw = false;

    Py_ssize_t n_slots() const { return (Py_ssize_t)names.size(); }
    Py_ssize_t varargs_slot() const { return n_pos; }
    Py_ssize_t kwonly_start() const { return n_pos + (varargs ? 1 : 0); }
    Py_ssize_t varkw_slot() const { return n_slots() - 1; }
    bool plain() const { return !varargs && !varkw && n_kwonly == 0; }
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FuncDef* def;
    // C++ members, constructed in place by make_function.
    std::shared_ptr<const Signature> sig;
    Ref module;       // the defining module object (state lives there)
    Ref name, qualname, doc, module_name, closure, dict;
    PyObject* weakreflist;
};

// What an implementation sees of one call.
struct Call {
    FunctionObject* fn;
    PyObject* const* args;
    PyObject* operator[](Py_ssize_t i) const { return args[i]; }
    PyObject* closure() const { return fn->closure.get(); }
    PyObject* module() const { return fn->module.get(); }
    // The module state; defined in module.hpp.
    template <class State>
    State& state() const;
};

namespace detail {

template <class F>
struct NamedParams;
template <class... P>
struct NamedParams<Ref (*)(const Call&, P...)> {
    static_assert((std::is_same_v<P, PyObject*> && ...), "each named parameter is a PyObject*");
    static constexpr int count = sizeof...(P);
};

template <auto F, size_t... I>
inline Ref call_named_with(const Call& c, std::index_sequence<I...>) {
    return F(c, c[I]...);
}

template <auto F>
inline Ref call_named(const Call& c) {
    return call_named_with<F>(c, std::make_index_sequence<NamedParams<decltype(F)>::count>{});
}

}  // namespace detail

// The Impl of an implementation that names its parameters (see the top of this file).
template <auto F>
inline constexpr Impl params{&detail::call_named<F>, detail::NamedParams<decltype(F)>::count};

namespace detail {

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// Split at top-level commas (not inside brackets or quotes).
inline std::vector<std::string_view> split_params(std::string_view s) {
    std::vector<std::string_view> out;
    int depth = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char ch = s[i];
        if (quote) {
            if (ch == '\\')
                ++i;
            else if (ch == quote)
                quote = 0;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '(' || ch == '[' || ch == '{') {
            ++depth;
        } else if (ch == ')' || ch == ']' || ch == '}') {
            --depth;
        } else if (ch == ',' && depth == 0) {
            out.push_back(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
    auto last = trim(s.substr(start));
    if (!last.empty()) out.push_back(last);
    return out;
}

inline Ref eval_default(std::string_view expr, PyObject* globals) {
    if (expr == "None") return Ref::borrow(Py_None);
    if (expr == "True") return Ref::borrow(Py_True);
    if (expr == "False") return Ref::borrow(Py_False);
    std::string text(expr);
    auto code = own(Py_CompileString(text.c_str(), "<signature>", Py_eval_input));
    return own(PyEval_EvalCode(code.get(), globals, globals));
}

inline std::shared_ptr<const Signature> parse_signature(const FuncDef& def, PyObject* globals) {
    auto sig = std::make_shared<Signature>();
    std::string_view text = trim(def.signature);
    if (text.size() < 2 || text.front() != '(' || text.back() != ')')
        raise(PyExc_SystemError, "bad signature for %s", def.name);
    bool kwonly = false;
    std::vector<Ref> pos_names, pos_defaults, kw_names, kw_defaults;
    Ref varargs_name, varkw_name;
    for (auto item : split_params(text.substr(1, text.size() - 2))) {
        if (item == "/") {
            sig->n_posonly = (Py_ssize_t)pos_names.size();
            continue;
        }
        if (item == "*") {
            kwonly = true;
            continue;
        }
        if (item.substr(0, 2) == "**") {
            varkw_name = own(PyUnicode_FromStringAndSize(item.data() + 2, item.size() - 2));
            continue;
        }
        if (item.substr(0, 1) == "*") {
            varargs_name = own(PyUnicode_FromStringAndSize(item.data() + 1, item.size() - 1));
            kwonly = true;
            continue;
        }
        auto eq = item.find('=');
        auto name_text = trim(item.substr(0, eq));
        auto colon = name_text.find(':');  // annotations are shown, not used
        if (colon != std::string_view::npos) name_text = trim(name_text.substr(0, colon));
        std::string owned(name_text);
        Ref name = own(PyUnicode_InternFromString(owned.c_str()));
        Ref dflt = eq == std::string_view::npos ? Ref() : eval_default(trim(item.substr(eq + 1)), globals);
        if (kwonly) {
            kw_names.push_back(std::move(name));
            kw_defaults.push_back(std::move(dflt));
        } else {
            if (!dflt && !pos_defaults.empty() && pos_defaults.back())
                raise(PyExc_SystemError, "bad signature for %s", def.name);
            if (!dflt) sig->n_required = (Py_ssize_t)pos_names.size() + 1;
            pos_names.push_back(std::move(name));
            pos_defaults.push_back(std::move(dflt));
        }
    }
    sig->n_pos = (Py_ssize_t)pos_names.size();
    sig->n_kwonly = (Py_ssize_t)kw_names.size();
    sig->varargs = (bool)varargs_name;
    sig->varkw = (bool)varkw_name;
    auto append = [&](std::vector<Ref>& names, std::vector<Ref>& defaults) {
        for (size_t i = 0; i < names.size(); ++i) {
            sig->names.push_back(std::move(names[i]));
            sig->defaults.push_back(std::move(defaults[i]));
        }
    };
    append(pos_names, pos_defaults);
    if (varargs_name) {
        sig->names.push_back(std::move(varargs_name));
        sig->defaults.emplace_back();
    }
    append(kw_names, kw_defaults);
    if (varkw_name) {
        sig->names.push_back(std::move(varkw_name));
        sig->defaults.emplace_back();
    }
    return sig;
}

[[noreturn]] inline void raise_arg_count(const char* name, const Signature& s, Py_ssize_t found) {
    Py_ssize_t min = s.n_required, max = s.varargs ? PY_SSIZE_T_MAX : s.n_pos;
    const char* more_or_less;
    Py_ssize_t expected;
    if (found < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (min == max) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, more_or_less, expected,
          expected == 1 ? "" : "s", found);
}

// Index of the slot that keyword `key` names, or -1.
inline Py_ssize_t find_keyword(const Signature& s, PyObject* key) {
    Py_ssize_t kw_start = s.kwonly_start(), kw_end = kw_start + s.n_kwonly;
    auto usable = [&](Py_ssize_t i) { return (i >= s.n_posonly && i < s.n_pos) || (i >= kw_start && i < kw_end); };
    for (Py_ssize_t i = 0; i < s.n_slots(); ++i)
        if (usable(i) && s.names[i].get() == key) return i;
    for (Py_ssize_t i = 0; i < s.n_slots(); ++i) {
        if (!usable(i)) continue;
        int eq = PyObject_RichCompareBool(s.names[i].get(), key, Py_EQ);
        if (eq < 0) throw Error();
        if (eq) return i;
    }
    return -1;
}

// Add a traceback entry naming the function's source ("src/ovark/utils/x.cpp")
// to the error leaving it, as a frame of interpreter code would.
inline PyObject* add_traceback(FunctionObject* f) {
    Ref frame;
    {
        ErrorStash stash;  // the error leaving the function; set again at scope end
        std::string_view file = f->def->where.file_name();
        if (auto at = file.rfind("/src/"); at != std::string_view::npos) file.remove_prefix(at + 1);
        std::string filename(file);
        auto* code = PyCode_NewEmpty(filename.c_str(), f->def->name, (int)f->def->where.line());
        Ref code_ref = Ref::steal(reinterpret_cast<PyObject*>(code));
        if (code)
            frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(f->module.get()), nullptr)));
        PyErr_Clear();  // the entry is only a help: a failure to make it is dropped
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    return nullptr;
}

inline PyObject* invoke(FunctionObject* f, PyObject* const* args) {
    PyObject* result = boundary<PyObject*>(nullptr, [&] { return f->def->impl(Call{f, args}).release(); });
    return result ? result : add_traceback(f);
}

// Bind a vectorcall to the slots of the signature, then invoke.
inline PyObject* bind_and_invoke(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        const Signature& s = *f->sig;
        const char* name = f->def->name;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (s.n_slots() == 0) {
            if (nargs) raise(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, nargs);
            if (nkw) raise(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
            return f->def->impl(Call{f, args}).release();
        }
        if (nargs > s.n_pos && !s.varargs) raise_arg_count(name, s, nargs);

        PyObject* small[16];
        std::vector<PyObject*> large;
        PyObject** slots = small;
        if (s.n_slots() > 16) {
            large.resize(s.n_slots());
            slots = large.data();
        }
        std::fill(slots, slots + s.n_slots(), nullptr);
        Py_ssize_t npos = nargs < s.n_pos ? nargs : s.n_pos;
        for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
        Ref extra_args, extra_kw;
        if (s.varargs) {
            Py_ssize_t n = nargs - npos;
            extra_args = own(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_INCREF(args[npos + i]);
                PyTuple_SET_ITEM(extra_args.get(), i, args[npos + i]);
            }
            slots[s.varargs_slot()] = extra_args.get();
        }
        if (s.varkw) {
            extra_kw = own(PyDict_New());
            slots[s.varkw_slot()] = extra_kw.get();
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", name);
            Py_ssize_t i = find_keyword(s, key);
            if (i < 0) {
                if (!s.varkw) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
                check(PyDict_SetItem(extra_kw.get(), key, value));
            } else if (slots[i]) {
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            } else {
                slots[i] = value;
            }
        }
        for (Py_ssize_t i = 0; i < s.n_pos; ++i) {
            if (slots[i]) continue;
            if (i < s.n_required) raise_arg_count(name, s, i);
            slots[i] = s.defaults[i].get();
        }
        for (Py_ssize_t i = s.kwonly_start(), end = i + s.n_kwonly; i < end; ++i) {
            if (slots[i]) continue;
            if (!s.defaults[i]) raise(PyExc_TypeError, "%s() needs keyword-only argument %U", name, s.names[i].get());
            slots[i] = s.defaults[i].get();
        }
        return f->def->impl(Call{f, slots}).release();
    });
    return result ? result : add_traceback(f);
}

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common shape: every parameter given by position.
    if (!kwnames && nargs == f->sig->n_pos && f->sig->plain()) return invoke(f, args);
    return bind_and_invoke(f, args, nargs, kwnames);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module.get());
    Py_VISIT(f->closure.get());
    Py_VISIT(f->dict.get());
    Py_VISIT(f->doc.get());
    Py_VISIT(f->module_name.get());  // __module__ takes any object
    return 0;
}

inline int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    f->module.reset();
    f->closure.reset();
    f->dict.reset();
    f->doc.reset();
    f->module_name.reset();
    return 0;
}

inline void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, function_dealloc)  // closures may hold closures
        if (f->weakreflist) PyObject_ClearWeakRefs(self);
    f->~FunctionObject();
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname.get(), self);
}

// Text attributes that must stay texts (__name__, __qualname__).
template <Ref FunctionObject::* member>
inline int set_text(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     member == &FunctionObject::name ? "__name__" : "__qualname__");
        return -1;
    }
    f->*member = Ref::borrow(value);
    return 0;
}
template <Ref FunctionObject::* member>
inline PyObject* get_attr(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* v = (f->*member).get();
    return Py_NewRef(v ? v : Py_None);
}
template <Ref FunctionObject::* member>
inline int set_any(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    f->*member = Ref::borrow(value ? value : Py_None);
    return 0;
}

inline PyObject* get_text_signature(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->def->signature);
}

inline PyObject* get_dict(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->dict) {
        f->dict = Ref::steal(PyDict_New());
        if (!f->dict) return nullptr;
    }
    return f->dict.new_ref();
}

inline PyGetSetDef function_getset[] = {
    {"__name__", get_attr<&FunctionObject::name>, set_text<&FunctionObject::name>, nullptr, nullptr},
    {"__qualname__", get_attr<&FunctionObject::qualname>, set_text<&FunctionObject::qualname>, nullptr, nullptr},
    {"__doc__", get_attr<&FunctionObject::doc>, set_any<&FunctionObject::doc>, nullptr, nullptr},
    {"__module__", get_attr<&FunctionObject::module_name>, set_any<&FunctionObject::module_name>, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", get_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled (and deep-copied) by reference, as interpreter functions are.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return reinterpret_cast<FunctionObject*>(self)->qualname.new_ref();
}

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_methods, function_methods},          {Py_tp_dealloc, (void*)function_dealloc},
    {Py_tp_traverse, (void*)function_traverse}, {Py_tp_clear, (void*)function_clear},
    {Py_tp_call, (void*)PyVectorcall_Call},     {Py_tp_descr_get, (void*)function_descr_get},
    {Py_tp_repr, (void*)function_repr},         {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},          {0, nullptr},
};

}  // namespace detail

// The function type of one module; made by the module layer at exec.
inline Ref new_function_type(PyObject* module) {
    static PyType_Spec spec = {
        "function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        detail::function_slots,
    };
    return own(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// Defined in module.hpp: the function type kept in the module's state.
inline PyTypeObject* function_type_of(PyObject* module);

namespace detail {
inline FunctionObject* alloc_function(PyObject* module) {
    PyTypeObject* tp = function_type_of(module);
    auto* f = reinterpret_cast<FunctionObject*>(check(tp->tp_alloc(tp, 0)));
    // tp_alloc zeroed the memory and tracked the object; construct the C++
    // members in place (a zeroed Ref is an empty one, so traverse stays safe).
    new (&f->sig) std::shared_ptr<const Signature>();
    for (Ref* r : {&f->module, &f->name, &f->qualname, &f->doc, &f->module_name, &f->closure, &f->dict}) new (r) Ref();
    f->vectorcall = function_vectorcall;
    f->module = Ref::borrow(module);
    return f;
}
}  // namespace detail

// A new function object for `def` in `module`. `owner` is the qualified name of
// the class (or "outer.<locals>") the function belongs to, if any.
inline Ref make_function(PyObject* module, const FuncDef& def, const char* owner = nullptr) {
    PyObject* globals = check(PyModule_GetDict(module));
    auto sig = detail::parse_signature(def, globals);
    if (def.impl.arity >= 0 && def.impl.arity != sig->n_slots())
        raise(PyExc_SystemError, "%s: the implementation names %d parameters, the signature %s has %zd", def.name,
              def.impl.arity, def.signature, sig->n_slots());
    auto* f = detail::alloc_function(module);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->def = &def;
    f->sig = std::move(sig);
    f->name = intern(def.name);
    f->qualname = owner ? own(PyUnicode_FromFormat("%s.%s", owner, def.name)) : f->name;
    f->doc = def.doc ? own(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    f->module_name = own(PyObject_GetAttrString(module, "__name__"));
    return result;
}

// A copy of `tmpl` (made by make_function) that carries `captured`, which the
// implementation reads as `Call::closure()`.
inline Ref make_closure(PyObject* tmpl, Ref captured) {
    auto* t = reinterpret_cast<FunctionObject*>(tmpl);
    auto* f = detail::alloc_function(t->module.get());
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->def = t->def;
    f->sig = t->sig;
    f->name = t->name;
    f->qualname = t->qualname;
    f->doc = t->doc;
    f->module_name = t->module_name;
    f->closure = std::move(captured);
    return result;
}

}  // namespace ovk
