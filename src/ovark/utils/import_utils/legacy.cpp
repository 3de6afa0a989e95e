// ovark.utils.import_utils.legacy - answer imports of legacy module names with
// the modules that now live under their modern names.
//
// LegacyImporter is a class that is used as it is: its rules live in four class
// attributes (two dicts of names, two lists of translator callables), every
// method is a class method, and the class object itself goes on sys.meta_path.
// A legacy name that translates is loaded by LegacyLoader, which imports the
// modern module and stores that very module object under the legacy name (and
// under the legacy names of every other loaded modern module), so that both
// names give the same object.
//
// The class methods read the registries from `cls`, so a subclass may carry
// registries of its own. The finder is asked about every import of the
// process: when `cls` is LegacyImporter itself with its own `translate`, the
// rules are applied here directly instead of through a bound-method call.
//
// The file, in order: the rules of one direction (apply_rules) and
// `Translator`, which applies them directly or through the class's method;
// the class methods of LegacyImporter; the methods of LegacyLoader; the
// docstrings; the module body (exec), which makes both classes.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

// clang-format off
#define LEGACY_NAMES(X)                                                                                        \
    X(_importmap) X(_reverse_importmap) X(_custom_translators) X(_custom_reverse_translators) X(translate)          \
    X(reverse_translate) X(sys) X(modules) X(meta_path) X(importlib) X(util) X(machinery) X(find_spec) X(ModuleSpec) \
    X(LegacyLoader) X(LegacyImporter) X(_module_name) X(__import__) X(name) X(__name__) X(append) X(insert) X(update)
OVK_NAMES(LEGACY_NAMES)
// clang-format on

struct State {
    Ref importer;                            // LegacyImporter
    Ref translate_cm, reverse_translate_cm;  // its class methods, as stored in its dict
    Names names;
    auto refs() { return std::tie(importer, translate_cm, reverse_translate_cm); }
};

enum Direction { Forward, Reverse };

// The first non-empty result of f(item) over `iterable` (a list may change under f).
template <class F>
Ref first_of(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (Ref r = f(item.get())) return r;
        }
        return Ref();
    }
    Ref it = own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (Ref r = f(item.get())) return r;
    if (PyErr_Occurred()) throw Error();
    return Ref();
}

// `name` starts with `pattern` followed by ".". Keys that are not texts never do.
bool is_prefix(PyObject* pattern, PyObject* name) {
    if (!PyUnicode_Check(pattern)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(pattern);
    if (PyUnicode_GET_LENGTH(name) <= n || PyUnicode_READ_CHAR(name, n) != '.') return false;
    return check((int)PyUnicode_Tailmatch(name, pattern, 0, n, -1)) == 1;
}

// `name` with its leading `pattern` replaced by `replacement`.
Ref replace_prefix(PyObject* name, PyObject* pattern, PyObject* replacement) {
    if (!PyUnicode_Check(replacement))
        raise(PyExc_TypeError, "the translation of '%U' must be str, not %.200s", pattern,
              Py_TYPE(replacement)->tp_name);
    Ref rest = own(PyUnicode_Substring(name, PyUnicode_GET_LENGTH(pattern), PY_SSIZE_T_MAX));
    return own(PyUnicode_Concat(replacement, rest.get()));
}

// The rules of one direction applied to `name`: exact name, first matching
// package prefix in insertion order, then the translators; None if none applies.
Ref apply_rules(State& st, PyObject* cls, PyObject* name, Direction d) {
    if (!PyUnicode_Check(name))
        raise(PyExc_TypeError, "%s() argument must be str, not %.200s",
              d == Forward ? "translate" : "reverse_translate", Py_TYPE(name)->tp_name);
    Ref map = attr(cls, st.names[d == Forward ? N__importmap : N__reverse_importmap]);
    if (PyDict_CheckExact(map.get())) {
        if (Ref v = dict_get(map.get(), name)) return v;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(map.get(), &pos, &k, &v))  // nothing below runs interpreter code
            if (is_prefix(k, name)) return replace_prefix(name, k, v);
    } else {
        if (check(PySequence_Contains(map.get(), name))) return own(PyObject_GetItem(map.get(), name));
        Ref found = first_of(map.get(), [&](PyObject* k) -> Ref {
            if (!is_prefix(k, name)) return Ref();
            Ref v = own(PyObject_GetItem(map.get(), k));
            return replace_prefix(name, k, v.get());
        });
        if (found) return found;
    }
    Ref translators = attr(cls, st.names[d == Forward ? N__custom_translators : N__custom_reverse_translators]);
    Ref result = first_of(translators.get(), [&](PyObject* translator) -> Ref {
        Ref r = own(PyObject_CallOneArg(translator, name));
        return r.get() == Py_None ? Ref() : r;
    });
    return result ? result : Ref::borrow(Py_None);
}

// cls.translate (or cls.reverse_translate), bound once for many names.
struct Translator {
    State& st;
    Direction d;
    Ref cls, bound;  // `bound` stays empty when the rules apply here directly

    Translator(State& st_, PyObject* cls_, Direction d_) : st(st_), d(d_), cls(Ref::borrow(cls_)) {
        PyObject* name = st.names[d == Forward ? N_translate : N_reverse_translate];
        PyObject* ours = d == Forward ? st.translate_cm.get() : st.reverse_translate_cm.get();
        if (cls_ == st.importer.get()) {
            Ref dict = own(compat::type_dict(reinterpret_cast<PyTypeObject*>(cls_)));
            if (dict_get(dict.get(), name).get() == ours) return;
        }
        bound = attr(cls_, name);
    }
    Ref operator()(PyObject* name) const {
        if (!bound) return apply_rules(st, cls.get(), name, d);
        return own(PyObject_CallOneArg(bound.get(), name));
    }
};

// ---------------------------------------------------------------------------
// LegacyImporter

Ref translate(const Call& c, PyObject* cls, PyObject* name) {
    return apply_rules(c.state<State>(), cls, name, Forward);
}

Ref reverse_translate(const Call& c, PyObject* cls, PyObject* name) {
    return apply_rules(c.state<State>(), cls, name, Reverse);
}

// The refusal of translators that are not two callables, raised while handling `context`.
[[noreturn]] void refuse_translators(PyObject* args, Ref context) {
    Ref shown = own(PyObject_Repr(args));
    Ref first = own(
        PyUnicode_FromString("Must supply two functions to register: \n  - one to translate from legacy to modern"));
    Ref second = own(PyUnicode_FromFormat("  - one to translate from modern to legacy\nGot: %U", shown.get()));
    Ref exc = own(PyObject_CallFunctionObjArgs(PyExc_ValueError, first.get(), second.get(), nullptr));
    raise_in(exc.get(), context.get());
}

void append(State& st, PyObject* list, PyObject* item) {
    if (PyList_CheckExact(list))
        check(PyList_Append(list, item));
    else
        call_method(st.names[N_append], {list, item});
}

void update(State& st, PyObject* map, PyObject* with) {
    if (PyDict_CheckExact(map))
        check(PyDict_Update(map, with));
    else
        call_method(st.names[N_update], {map, with});
}

// A rule of the keyword form: both names must be texts, or every later import
// of the process would fail inside the import system.
void check_rule(PyObject* legacy, PyObject* modern) {
    if (!PyUnicode_Check(legacy))
        raise(PyExc_TypeError, "register() legacy module names must be str, not %.200s", Py_TYPE(legacy)->tp_name);
    if (!PyUnicode_Check(modern))
        raise(PyExc_TypeError, "register() modern module name for '%U' must be str, not %.200s", legacy,
              Py_TYPE(modern)->tp_name);
}

// Everything is checked before anything is registered: a refused call leaves
// the rules as they were.
Ref register_(const Call& c, PyObject* cls, PyObject* args, PyObject* kwargs) {
    State& st = c.state<State>();
    Ref to_modern, to_legacy;
    if (PyTuple_GET_SIZE(args)) {
        try {
            auto pair = unpack<2>(args);
            to_modern = std::move(pair[0]), to_legacy = std::move(pair[1]);
        } catch (const Error&) {
            Ref error = catch_error(PyExc_ValueError);
            refuse_translators(args, std::move(error));
        }
        // Checked whatever the interpreter's optimisation: a value that is not
        // callable would break every later import.
        if (!PyCallable_Check(to_modern.get()) || !PyCallable_Check(to_legacy.get()))
            refuse_translators(args, own(PyObject_CallNoArgs(PyExc_AssertionError)));
    }
    Ref inverted;
    if (PyDict_GET_SIZE(kwargs)) {
        inverted = own(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            Ref legacy = Ref::borrow(k), modern = Ref::borrow(v);  // a str subclass may hash in interpreter code
            check_rule(legacy.get(), modern.get());
            check(PyDict_SetItem(inverted.get(), modern.get(), legacy.get()));
        }
    }
    Ref importmap, reverse_importmap, translators, reverse_translators;
    if (inverted) {
        importmap = attr(cls, st.names[N__importmap]);
        reverse_importmap = attr(cls, st.names[N__reverse_importmap]);
    }
    if (to_modern) {
        translators = attr(cls, st.names[N__custom_translators]);
        reverse_translators = attr(cls, st.names[N__custom_reverse_translators]);
    }
    if (to_modern) {
        append(st, translators.get(), to_modern.get());
        append(st, reverse_translators.get(), to_legacy.get());
    }
    if (inverted) {
        update(st, importmap.get(), kwargs);
        update(st, reverse_importmap.get(), inverted.get());
    }
    return Ref::borrow(Py_None);
}

// importlib.util.find_spec(name); None when `name` or one of its parents does not exist.
Ref find_modern_spec(State& st, PyObject* module, PyObject* name) {
    Ref importlib = lookup(module, st.names[N_importlib]);
    Ref util = attr(importlib.get(), st.names[N_util]);
    Ref spec = Ref::steal(PyObject_CallMethodOneArg(util.get(), st.names[N_find_spec], name));
    if (spec) return spec;
    Ref error = catch_error(PyExc_ModuleNotFoundError);
    Ref missing = attr(error.get(), st.names[N_name]);
    if (PyUnicode_Check(missing.get())) {
        if (check(PyObject_RichCompareBool(missing.get(), name, Py_EQ)) || is_prefix(missing.get(), name))
            return Ref::borrow(Py_None);
    }
    reraise(std::move(error));
}

Ref find_spec(const Call& c, PyObject* cls, PyObject* name, PyObject* /*path*/, PyObject* /*target*/) {
    RecursionGuard guard(" while translating a legacy module name");
    State& st = c.state<State>();
    Ref translated = Translator(st, cls, Forward)(name);
    if (translated.get() == Py_None) return translated;
    Ref spec = find_modern_spec(st, c.module(), translated.get());
    if (spec.get() == Py_None) return spec;
    Ref loader = own(PyObject_CallOneArg(lookup(c.module(), st.names[N_LegacyLoader]).get(), translated.get()));
    Ref importlib = lookup(c.module(), st.names[N_importlib]);
    Ref module_spec = attr(attr(importlib.get(), st.names[N_machinery]).get(), st.names[N_ModuleSpec]);
    return own(PyObject_CallFunctionObjArgs(module_spec.get(), name, loader.get(), nullptr));
}

Ref invalidate_caches(const Call&) { return Ref::borrow(Py_None); }

Ref install(const Call& c) {
    State& st = c.state<State>();
    PyObject* cls = c[0];
    Ref sys = lookup(c.module(), st.names[N_sys]);
    Ref meta_path = attr(sys.get(), st.names[N_meta_path]);
    if (!check(PySequence_Contains(meta_path.get(), cls))) {
        Ref zero = own(PyLong_FromLong(0));
        call_method(st.names[N_insert], {meta_path.get(), zero.get(), cls});
    }
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// LegacyLoader

Ref loader_init(const Call& c, PyObject* self, PyObject* module_name) {
    set_attr(self, c.state<State>().names[N__module_name], module_name);
    return Ref::borrow(Py_None);
}

Ref loader_create_module(const Call& c) {
    State& st = c.state<State>();
    Ref modern = attr(c[0], st.names[N__module_name]);
    own(PyObject_CallOneArg(lookup(c.module(), st.names[N___import__]).get(), modern.get()));
    return Ref::borrow(Py_None);
}

// The aliases are found first and written last: a reverse translator that
// raises, or a modern module that is gone, leaves sys.modules as it was.
Ref loader_exec_module(const Call& c, PyObject* self, PyObject* legacy_module) {
    State& st = c.state<State>();
    Ref sys = lookup(c.module(), st.names[N_sys]);
    Ref modules = attr(sys.get(), st.names[N_modules]);
    Ref names = PyDict_Check(modules.get()) ? own(PyDict_Keys(modules.get())) : own(PySequence_List(modules.get()));
    Translator reverse(st, lookup(c.module(), st.names[N_LegacyImporter]).get(), Reverse);
    Ref aliases = own(PyList_New(0));  // legacy name, module, legacy name, module, ...
    for_each(names.get(), [&](PyObject* name) {
        if (!PyUnicode_Check(name)) return;
        Ref legacy = reverse(name);
        if (legacy.get() == Py_None) return;
        Ref module = Ref::steal(PyObject_GetItem(modules.get(), name));
        if (!module) {  // gone while we walked: nothing to alias
            if (!clear_if(PyExc_KeyError)) throw Error();
            return;
        }
        check(PyList_Append(aliases.get(), legacy.get()));
        check(PyList_Append(aliases.get(), module.get()));
    });
    Ref legacy_name = attr(legacy_module, st.names[N___name__]);
    Ref modern = own(PyObject_GetItem(modules.get(), attr(self, st.names[N__module_name]).get()));
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(aliases.get()); i += 2) {
        Ref legacy = Ref::borrow(PyList_GET_ITEM(aliases.get(), i));
        Ref module = Ref::borrow(PyList_GET_ITEM(aliases.get(), i + 1));
        check(PyObject_SetItem(modules.get(), legacy.get(), module.get()));
    }
    check(PyObject_SetItem(modules.get(), legacy_name.get(), modern.get()));
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------

const FuncDef translate_def{
    "translate",
    "(cls, name)",
    "Return the modern name for the legacy module name, or None.\n\n"
    "An exact rule wins; then the first package rule (in registration order)\n"
    "whose legacy name is followed by \".\" in name; then the first translator\n"
    "that returns something other than None.",
    params<translate>,
};

const FuncDef reverse_translate_def{
    "reverse_translate",
    "(cls, name)",
    "Return the legacy name for the modern module name, or None.\n\n"
    "The rules of translate, applied from modern to legacy.",
    params<reverse_translate>,
};

const FuncDef register_def{
    "register",
    "(cls, *args, **kwargs)",
    "Add translation rules.\n\n"
    "Positional form: two callables, the first translating a legacy name to the\n"
    "modern one, the second the modern name back; either returns None for a name\n"
    "it does not translate. Keyword form: each keyword is a legacy name (a module\n"
    "or a package prefix) and its value the modern name; pass dotted names as\n"
    "register(**{\"old.pkg\": \"new.pkg\"}). Both forms may be combined.",
    params<register_>,
};

const FuncDef find_spec_def{
    "find_spec",
    "(cls, name, path, target=None)",
    "Return a spec that loads the modern module under the legacy name, or None\n"
    "when name does not translate or its modern module does not exist.",
    params<find_spec>,
};

const FuncDef invalidate_caches_def{
    "invalidate_caches",
    "(cls)",
    "Do nothing: the importer keeps no caches.",
    invalidate_caches,
};

const FuncDef install_def{
    "install",
    "(cls)",
    "Put the importer at the front of sys.meta_path, unless it is already on it.",
    install,
};

const FuncDef loader_init_def{"__init__", "(self, module_name)", nullptr, params<loader_init>};

const FuncDef loader_exec_module_def{
    "exec_module",
    "(self, legacy_module)",
    "Make the legacy name, and the legacy name of every loaded modern module, an\n"
    "alias of the modern module in sys.modules.",
    params<loader_exec_module>,
};

const FuncDef loader_create_module_def{
    "create_module",
    "(self, spec)",
    "Import the modern module; return None for the default module creation.",
    loader_create_module,
};

void exec(PyObject* module, State& st) {
    st.names.init();

    import_module("importlib.machinery");
    import_module("importlib.util");
    add_object(module, "importlib", import_module("importlib"));
    add_object(module, "sys", import_module("sys"));
    Ref logging = import_module("logging");
    add_object(module, "logging", logging);
    Ref module_name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", module_name.get())));

    // class LegacyImporter(importlib.abc.MetaPathFinder)
    Ref finder_bases = own(PyTuple_Pack(1, import_from("importlib.abc", "MetaPathFinder").get()));
    st.importer = new_class(
        module, "LegacyImporter", finder_bases.get(),
        "Meta-path finder that answers imports of legacy module names with their\n"
        "modern modules.\n\n"
        "Used as a class, never instantiated: the rules are class-wide and the class\n"
        "itself goes on sys.meta_path (see install).",
        {value("_importmap", own(PyDict_New())), value("_reverse_importmap", own(PyDict_New())),
         value("_custom_translators", own(PyList_New(0))), value("_custom_reverse_translators", own(PyList_New(0))),
         classmethod(translate_def), classmethod(reverse_translate_def), classmethod(register_def),
         classmethod(find_spec_def), classmethod(invalidate_caches_def), classmethod(install_def)});
    Ref importer_dict = own(compat::type_dict(reinterpret_cast<PyTypeObject*>(st.importer.get())));
    st.translate_cm = dict_get(importer_dict.get(), st.names[N_translate]);
    st.reverse_translate_cm = dict_get(importer_dict.get(), st.names[N_reverse_translate]);
    add_object(module, "LegacyImporter", st.importer);

    // class LegacyLoader(importlib.abc.Loader)
    Ref loader_bases = own(PyTuple_Pack(1, import_from("importlib.abc", "Loader").get()));
    add_object(module, "LegacyLoader",
               new_class(module, "LegacyLoader", loader_bases.get(),
                         "Loader that makes a legacy module name an alias of its modern module.",
                         {method(loader_init_def), method(loader_exec_module_def), method(loader_create_module_def)}));
}

}  // namespace

OVK_MODULE(State, exec, "Legacy module names: translated on the meta path and aliased to their modern modules.")
