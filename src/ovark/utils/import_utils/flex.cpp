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

struct State {
    Ref n_logger, n_debug, n_isEnabledFor, n_sys, n_modules, n_path, n_os, n_types, n_ModuleType, n_importlib,
        n_import_module, n_util, n_machinery, n_isfile, n_expanduser, n_abspath, n_dirname, n_basename, n_splitext,
        n_append, n_endswith, n_module_prefix, n_load_module_from_file, n_SourceFileLoader,
        n_spec_from_file_location, n_module_from_spec, n_exec_module, n_loader, n_name, n_origin, n_parent, n_cached,
        n__spec__, n__loader__, n__package__, n__file__, n__cached__;
    Ref dot, loading, loaded, DEBUG;
    Ref loader_kwnames, spec_kwnames;  // ("fullname", "path"), ("loader",)
    auto refs() {
        return std::tie(n_logger, n_debug, n_isEnabledFor, n_sys, n_modules, n_path, n_os, n_types, n_ModuleType,
                        n_importlib, n_import_module, n_util, n_machinery, n_isfile, n_expanduser, n_abspath,
                        n_dirname, n_basename, n_splitext, n_append, n_endswith, n_module_prefix,
                        n_load_module_from_file, n_SourceFileLoader, n_spec_from_file_location, n_module_from_spec,
                        n_exec_module, n_loader, n_name, n_origin, n_parent, n_cached, n__spec__, n__loader__,
                        n__package__, n__file__, n__cached__, dot, loading, loaded, DEBUG, loader_kwnames,
                        spec_kwnames);
    }
};

void debug(State& st, PyObject* logger, PyObject* message, PyObject* arg) {
    call_method(st.n_debug.get(), {logger, message, arg});
}

// The module stored under `name` in `modules`, or an empty Ref.
Ref loaded_module(PyObject* modules, PyObject* name) {
    if (PyDict_CheckExact(modules)) {
        PyObject* m = PyDict_GetItemWithError(modules, name);
        if (!m && PyErr_Occurred()) throw Error();
        return Ref::borrow(m);
    }
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
    Ref importlib = lookup(module, st.n_importlib.get());
    Ref result = Ref::steal(PyObject_CallMethodOneArg(importlib.get(), st.n_import_module.get(), obj));
    if (result) return result;
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw Error();
    Ref error = take_error();
    Ref missing = attr(error.get(), st.n_name.get());
    if (!names_module_or_parent(missing.get(), obj)) reraise(std::move(error));  // a dependency of an existing module
    Ref message = own(PyUnicode_FromFormat("failure to load %S.\n> Did you provide a valid file or module name?", obj));
    Ref refusal = own(PyObject_CallOneArg(PyExc_Exception, message.get()));
    PyException_SetContext(refusal.get(), error.release());
    PyException_SetCause(refusal.get(), nullptr);  // raise ... from None
    reraise(std::move(refusal));
}

Ref init(const Call& c) {
    State& st = c.state<State>();
    Ref prefix = Ref::borrow(c[1]);
    if (truth(prefix.get()) && !truth(call_method(st.n_endswith.get(), {prefix.get(), st.dot.get()}).get()))
        prefix = own(PyNumber_Add(prefix.get(), st.dot.get()));
    check(PyObject_SetAttr(c[0], st.n_module_prefix.get(), prefix.get()));
    return Ref::borrow(Py_None);
}

Ref load(const Call& c) {
    State& st = c.state<State>();
    PyObject *self = c[0], *obj = c[1], *module = c.module();
    debug(st, lookup(module, st.n_logger.get()).get(), st.loading.get(), obj);
    Ref sys = lookup(module, st.n_sys.get());
    Ref result = loaded_module(attr(sys.get(), st.n_modules.get()).get(), obj);
    if (!result) {
        Ref types = lookup(module, st.n_types.get());
        if (check(PyObject_IsInstance(obj, attr(types.get(), st.n_ModuleType.get()).get()))) {
            result = Ref::borrow(obj);
        } else {
            Ref os = lookup(module, st.n_os.get());
            Ref path = attr(os.get(), st.n_path.get());
            Ref expanded = call_method(st.n_expanduser.get(), {path.get(), obj});
            if (truth(call_method(st.n_isfile.get(), {path.get(), expanded.get()}).get()))
                result = call_method(st.n_load_module_from_file.get(), {self, obj});
            else
                result = import_or_refuse(st, module, obj);
        }
    }
    // The module's repr runs interpreter code: made only for a record that is kept.
    Ref logger = lookup(module, st.n_logger.get());
    if (truth(call_method(st.n_isEnabledFor.get(), {logger.get(), st.DEBUG.get()}).get())) {
        Ref shown = own(PyObject_Repr(result.get()));
        debug(st, logger.get(), st.loaded.get(), shown.get());
    }
    return result;
}

// The attributes that an import gives a module, taken from `spec` again.
void refresh_module_attributes(State& st, PyObject* module, PyObject* spec) {
    check(PyObject_SetAttr(module, st.n__spec__.get(), spec));
    check(PyObject_SetAttr(module, st.n__loader__.get(), attr(spec, st.n_loader.get()).get()));
    check(PyObject_SetAttr(module, st.n__package__.get(), attr(spec, st.n_parent.get()).get()));
    check(PyObject_SetAttr(module, st.n__file__.get(), attr(spec, st.n_origin.get()).get()));
    check(PyObject_SetAttr(module, st.n__cached__.get(), attr(spec, st.n_cached.get()).get()));
}

// Everything the load needs is worked out before sys.path or sys.modules
// change. The file's folder stays on sys.path once added (sys.path only
// grows); a file that fails to run leaves no module behind.
Ref load_module_from_file(const Call& c) {
    State& st = c.state<State>();
    PyObject *self = c[0], *module = c.module();
    Ref os = lookup(module, st.n_os.get());
    Ref path = attr(os.get(), st.n_path.get());
    Ref target = call_method(st.n_expanduser.get(), {path.get(), c[1]});
    target = call_method(st.n_abspath.get(), {path.get(), target.get()});
    if (!PyUnicode_Check(target.get()))
        raise(PyExc_TypeError, "a module file must be named by a str or an os.PathLike of str, not %.200s",
              Py_TYPE(target.get())->tp_name);

    Ref directory = call_method(st.n_dirname.get(), {path.get(), target.get()});
    Ref base = call_method(st.n_basename.get(), {path.get(), target.get()});
    Ref name = own(PySequence_GetItem(call_method(st.n_splitext.get(), {path.get(), base.get()}).get(), 0));
    Ref fullname = own(PyNumber_Add(attr(self, st.n_module_prefix.get()).get(), name.get()));

    // Any file is read as source, whatever its extension.
    Ref importlib = lookup(module, st.n_importlib.get());
    Ref util = attr(importlib.get(), st.n_util.get());
    Ref source_loader = attr(attr(importlib.get(), st.n_machinery.get()).get(), st.n_SourceFileLoader.get());
    PyObject* loader_args[] = {fullname.get(), target.get()};
    Ref loader = own(PyObject_Vectorcall(source_loader.get(), loader_args, 0, st.loader_kwnames.get()));
    Ref spec = call_method(st.n_spec_from_file_location.get(), {util.get(), fullname.get(), target.get(), loader.get()},
                           st.spec_kwnames.get());
    Ref sys = lookup(module, st.n_sys.get());
    Ref sys_path = attr(sys.get(), st.n_path.get());
    Ref modules = attr(sys.get(), st.n_modules.get());
    Ref existing = loaded_module(modules.get(), fullname.get());
    Ref fresh = existing ? Ref() : call_method(st.n_module_from_spec.get(), {util.get(), spec.get()});

    if (!check(PySequence_Contains(sys_path.get(), directory.get())))
        call_method(st.n_append.get(), {sys_path.get(), directory.get()});
    if (existing) {
        // Loaded before: run the file again in the same module.
        refresh_module_attributes(st, existing.get(), spec.get());
        call_method(st.n_exec_module.get(), {loader.get(), existing.get()});
    } else {
        check(PyObject_SetItem(modules.get(), fullname.get(), fresh.get()));
        if (!Ref::steal(PyObject_CallMethodOneArg(loader.get(), st.n_exec_module.get(), fresh.get()))) {
            ErrorStash stash;  // a file that fails leaves no half-run module behind
            if (PyObject_DelItem(modules.get(), fullname.get()) < 0) PyErr_Clear();
            throw Error();
        }
    }
    return own(PyObject_GetItem(modules.get(), fullname.get()));
}

const FuncDef init_def{"__init__", "(self, module_prefix='')", nullptr, init};

const FuncDef load_def{
    "load",
    "(self, obj)",
    "Return the module that obj stands for.\n\n"
    "obj is, tried in this order: the name of a module in sys.modules, a module\n"
    "object, the path of a source file (a leading \"~\" is expanded; see\n"
    "load_module_from_file), or an absolute dotted module name to import. A\n"
    "module that does not exist raises Exception(\"failure to load ...\").",
    load,
};

const FuncDef load_module_from_file_def{
    "load_module_from_file",
    "(self, target)",
    "Run the source file target as the module module_prefix + its base name.\n\n"
    "The file's folder is appended to sys.path unless it is already there; the\n"
    "module stays in sys.modules, and loading the same name again runs the file\n"
    "again in the same module.",
    load_module_from_file,
};

void exec(PyObject* module, State& st) {
    struct {
        Ref* ref;
        const char* text;
    } names[] = {
        {&st.n_logger, "logger"}, {&st.n_debug, "debug"}, {&st.n_isEnabledFor, "isEnabledFor"}, {&st.n_sys, "sys"},
        {&st.n_modules, "modules"}, {&st.n_path, "path"}, {&st.n_os, "os"}, {&st.n_types, "types"},
        {&st.n_ModuleType, "ModuleType"}, {&st.n_importlib, "importlib"}, {&st.n_import_module, "import_module"},
        {&st.n_util, "util"}, {&st.n_machinery, "machinery"}, {&st.n_isfile, "isfile"},
        {&st.n_expanduser, "expanduser"}, {&st.n_abspath, "abspath"}, {&st.n_dirname, "dirname"},
        {&st.n_basename, "basename"}, {&st.n_splitext, "splitext"}, {&st.n_append, "append"},
        {&st.n_endswith, "endswith"}, {&st.n_module_prefix, "module_prefix"},
        {&st.n_load_module_from_file, "load_module_from_file"}, {&st.n_SourceFileLoader, "SourceFileLoader"},
        {&st.n_spec_from_file_location, "spec_from_file_location"}, {&st.n_module_from_spec, "module_from_spec"},
        {&st.n_exec_module, "exec_module"}, {&st.n_loader, "loader"}, {&st.n_name, "name"},
        {&st.n_origin, "origin"}, {&st.n_parent, "parent"}, {&st.n_cached, "cached"}, {&st.n__spec__, "__spec__"},
        {&st.n__loader__, "__loader__"}, {&st.n__package__, "__package__"}, {&st.n__file__, "__file__"},
        {&st.n__cached__, "__cached__"}, {&st.dot, "."}, {&st.loading, "Loading: %s"}, {&st.loaded, "Loaded: %s"},
    };
    for (auto& n : names) *n.ref = intern(n.text);
    st.loader_kwnames = own(Py_BuildValue("(ss)", "fullname", "path"));
    st.spec_kwnames = own(PyTuple_Pack(1, st.n_loader.get()));

    own(PyImport_ImportModule("importlib.machinery"));
    own(PyImport_ImportModule("importlib.util"));
    add_object(module, "importlib", own(PyImport_ImportModule("importlib")));
    add_object(module, "os", own(PyImport_ImportModule("os")));
    add_object(module, "sys", own(PyImport_ImportModule("sys")));
    add_object(module, "types", own(PyImport_ImportModule("types")));
    Ref logging = own(PyImport_ImportModule("logging"));
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
