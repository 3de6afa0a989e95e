// ovark.utils.import_utils.flex - turn something that stands for a module into
// the module.
//
// FlexImporter.load takes a loaded module's name, a module object, the path of
// a source file anywhere on disk, or an absolute dotted name to import, tried in
// that order. Files are loaded under the importer's name prefix and stay in
// sys.modules (a second load runs the file again in the same module); their
// folders are appended to sys.path. Every global (logger, sys, os, types,
// importlib) is read from the module when used.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

// clang-format off
#define FLEX_NAMES(X)                                                                                        \
    X(logger) X(debug) X(isEnabledFor) X(sys) X(modules) X(path) X(os) X(types) X(ModuleType) X(importlib)         \
    X(import_module) X(util) X(machinery) X(isfile) X(expanduser) X(abspath) X(dirname) X(basename) X(splitext)    \
    X(append) X(endswith) X(module_prefix) X(load_module_from_file) X(SourceFileLoader) X(spec_from_file_location) \
    X(module_from_spec) X(exec_module) X(loader) X(name) X(origin) X(parent) X(cached) X(__spec__) X(__loader__)   \
    X(__package__) X(__file__) X(__cached__)
OVK_NAMES(FLEX_NAMES)
// clang-format on

struct State {
    Ref dot, loading, loaded, DEBUG;
    Ref loader_kwnames, spec_kwnames;  // ("fullname", "path"), ("loader",)
    Names names;
    auto refs() { return std::tie(dot, loading, loaded, DEBUG, loader_kwnames, spec_kwnames); }
};

void debug(State& st, PyObject* logger, PyObject* message, PyObject* arg) {
    call_method(st.names[N_debug], {logger, message, arg});
}

// The module stored under `name` in `modules`, or an empty Ref.
Ref loaded_module(PyObject* modules, PyObject* name) {
    if (PyDict_CheckExact(modules)) return dict_get(modules, name);
    if (!check(PySequence_Contains(modules, name))) return Ref();
    return own(PyObject_GetItem(modules, name));
}

// `missing` names `name` itself or one of its parent packages.
bool names_module_or_parent(PyObject* missing, PyObject* name) {
    if (!PyUnicode_Check(missing) || !PyUnicode_Check(name)) return false;
    if (check(PyObject_RichCompareBool(missing, name, Py_EQ))) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(missing);
    return PyUnicode_GET_LENGTH(name) > n && PyUnicode_READ_CHAR(name, n) == '.' &&
           check((int)PyUnicode_Tailmatch(name, missing, 0, n, -1)) == 1;
}

// importlib.import_module(obj); a module that does not exist (itself or a parent
// package) is refused with the loader's own message and no chained error.
Ref import_or_refuse(State& st, PyObject* module, PyObject* obj) {
    Ref importlib = lookup(module, st.names[N_importlib]);
    Ref result = Ref::steal(PyObject_CallMethodOneArg(importlib.get(), st.names[N_import_module], obj));
    if (result) return result;
    Ref error = catch_error(PyExc_ModuleNotFoundError);
    Ref missing = attr(error.get(), st.names[N_name]);
    if (!names_module_or_parent(missing.get(), obj)) reraise(std::move(error));  // a dependency of an existing module
    Ref message = own(PyUnicode_FromFormat("failure to load %S.\n> Did you provide a valid file or module name?", obj));
    Ref refusal = own(PyObject_CallOneArg(PyExc_Exception, message.get()));
    raise_from(refusal.get(), nullptr, error.get());  // from None: the refused import stays its context
}

Ref init(const Call& c, PyObject* self, PyObject* module_prefix) {
    State& st = c.state<State>();
    Ref prefix = Ref::borrow(module_prefix);
    if (truth(prefix) && !truth(call_method(st.names[N_endswith], {prefix.get(), st.dot.get()})))
        prefix = own(PyNumber_Add(prefix.get(), st.dot.get()));
    set_attr(self, st.names[N_module_prefix], prefix.get());
    return Ref::borrow(Py_None);
}

Ref load(const Call& c, PyObject* self, PyObject* obj) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    debug(st, lookup(module, st.names[N_logger]).get(), st.loading.get(), obj);
    Ref sys = lookup(module, st.names[N_sys]);
    Ref result = loaded_module(attr(sys.get(), st.names[N_modules]).get(), obj);
    if (!result) {
        Ref types = lookup(module, st.names[N_types]);
        if (check(PyObject_IsInstance(obj, attr(types.get(), st.names[N_ModuleType]).get()))) {
            result = Ref::borrow(obj);
        } else {
            Ref os = lookup(module, st.names[N_os]);
            Ref path = attr(os.get(), st.names[N_path]);
            Ref expanded = call_method(st.names[N_expanduser], {path.get(), obj});
            if (truth(call_method(st.names[N_isfile], {path.get(), expanded.get()})))
                result = call_method(st.names[N_load_module_from_file], {self, obj});
            else
                result = import_or_refuse(st, module, obj);
        }
    }
    // The module's repr runs interpreter code: made only for a record that is kept.
    Ref logger = lookup(module, st.names[N_logger]);
    if (truth(call_method(st.names[N_isEnabledFor], {logger.get(), st.DEBUG.get()}))) {
        Ref shown = own(PyObject_Repr(result.get()));
        debug(st, logger.get(), st.loaded.get(), shown.get());
    }
    return result;
}

// The attributes that an import gives a module, taken from `spec` again.
void refresh_module_attributes(State& st, PyObject* module, PyObject* spec) {
    set_attr(module, st.names[N___spec__], spec);
    set_attr(module, st.names[N___loader__], attr(spec, st.names[N_loader]).get());
    set_attr(module, st.names[N___package__], attr(spec, st.names[N_parent]).get());
    set_attr(module, st.names[N___file__], attr(spec, st.names[N_origin]).get());
    set_attr(module, st.names[N___cached__], attr(spec, st.names[N_cached]).get());
}

// Everything the load needs is worked out before sys.path or sys.modules
// change. The file's folder stays on sys.path once added (sys.path only
// grows); a file that fails to run leaves no module behind.
Ref load_module_from_file(const Call& c, PyObject* self, PyObject* target) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    Ref os = lookup(module, st.names[N_os]);
    Ref path = attr(os.get(), st.names[N_path]);
    Ref file = call_method(st.names[N_expanduser], {path.get(), target});
    file = call_method(st.names[N_abspath], {path.get(), file.get()});
    if (!PyUnicode_Check(file.get()))
        raise(PyExc_TypeError, "a module file must be named by a str or an os.PathLike of str, not %.200s",
              Py_TYPE(file.get())->tp_name);

    Ref directory = call_method(st.names[N_dirname], {path.get(), file.get()});
    Ref base = call_method(st.names[N_basename], {path.get(), file.get()});
    Ref name = own(PySequence_GetItem(call_method(st.names[N_splitext], {path.get(), base.get()}).get(), 0));
    Ref fullname = own(PyNumber_Add(attr(self, st.names[N_module_prefix]).get(), name.get()));

    // Any file is read as source, whatever its extension.
    Ref importlib = lookup(module, st.names[N_importlib]);
    Ref util = attr(importlib.get(), st.names[N_util]);
    Ref source_loader = attr(attr(importlib.get(), st.names[N_machinery]).get(), st.names[N_SourceFileLoader]);
    PyObject* loader_args[] = {fullname.get(), file.get()};
    Ref loader = own(PyObject_Vectorcall(source_loader.get(), loader_args, 0, st.loader_kwnames.get()));
    Ref spec = call_method(st.names[N_spec_from_file_location], {util.get(), fullname.get(), file.get(), loader.get()},
                           st.spec_kwnames.get());
    Ref sys = lookup(module, st.names[N_sys]);
    Ref sys_path = attr(sys.get(), st.names[N_path]);
    Ref modules = attr(sys.get(), st.names[N_modules]);
    Ref existing = loaded_module(modules.get(), fullname.get());
    Ref fresh = existing ? Ref() : call_method(st.names[N_module_from_spec], {util.get(), spec.get()});

    if (!check(PySequence_Contains(sys_path.get(), directory.get())))
        call_method(st.names[N_append], {sys_path.get(), directory.get()});
    if (existing) {
        // Loaded before: run the file again in the same module.
        refresh_module_attributes(st, existing.get(), spec.get());
        call_method(st.names[N_exec_module], {loader.get(), existing.get()});
    } else {
        check(PyObject_SetItem(modules.get(), fullname.get(), fresh.get()));
        if (!Ref::steal(PyObject_CallMethodOneArg(loader.get(), st.names[N_exec_module], fresh.get()))) {
            ErrorStash stash;  // a file that fails leaves no half-run module behind
            if (PyObject_DelItem(modules.get(), fullname.get()) < 0) PyErr_Clear();
            throw Error();
        }
    }
    return own(PyObject_GetItem(modules.get(), fullname.get()));
}

const FuncDef init_def{"__init__", "(self, module_prefix='')", nullptr, params<init>};

const FuncDef load_def{
    "load",
    "(self, obj)",
    "Return the module that obj stands for.\n\n"
    "obj is, tried in this order: the name of a module in sys.modules, a module\n"
    "object, the path of a source file (a leading \"~\" is expanded; see\n"
    "load_module_from_file), or an absolute dotted module name to import. A\n"
    "module that does not exist raises Exception(\"failure to load ...\").",
    params<load>,
};

const FuncDef load_module_from_file_def{
    "load_module_from_file",
    "(self, target)",
    "Run the source file target as the module module_prefix + its base name.\n\n"
    "The file's folder is appended to sys.path unless it is already there; the\n"
    "module stays in sys.modules, and loading the same name again runs the file\n"
    "again in the same module.",
    params<load_module_from_file>,
};

void exec(PyObject* module, State& st) {
    st.names.init();
    st.dot = intern(".");
    st.loading = intern("Loading: %s");
    st.loaded = intern("Loaded: %s");
    st.loader_kwnames = own(Py_BuildValue("(ss)", "fullname", "path"));
    st.spec_kwnames = own(PyTuple_Pack(1, st.names[N_loader]));

    import_module("importlib.machinery");
    import_module("importlib.util");
    add_object(module, "importlib", import_module("importlib"));
    add_object(module, "os", import_module("os"));
    add_object(module, "sys", import_module("sys"));
    add_object(module, "types", import_module("types"));
    Ref logging = import_module("logging");
    add_object(module, "logging", logging);
    st.DEBUG = own(PyObject_GetAttrString(logging.get(), "DEBUG"));
    Ref module_name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", module_name.get())));

    add_object(module, "FlexImporter",
               new_class(module, "FlexImporter", nullptr,
                         "Load modules from loaded names, module objects, source files or dotted names.\n\n"
                         "Files are loaded as module_prefix + their base name; a prefix that does not\n"
                         "end with \".\" gets one.",
                         {method(init_def), method(load_def), method(load_module_from_file_def)}));
}

}  // namespace

OVK_MODULE(State, exec, "Load modules from loaded names, module objects, source files or dotted names.")
