// ovark.utils.xferkit.core.addon_registry - the registry through which the file
// transfer front end finds its plugins: OS-level plugins by OS name, and
// sub-plugins (one per protocol) by OS name and dotted sub-plugin name.
//
// Two passes fill a manager on its first lookup: the builtin pass reads
// `__available_plugins__` of the package ovark.utils.xferkit.plugins, the
// external pass reads the entry points of the current group, then those of the
// deprecated one (with one DeprecationWarning naming them). Every insertion is a
// setdefault, so the first registration of a key wins. PluginManager is an
// ordinary class (made by calling `type`); its tables are instance attributes.
// Every module global the passes use (importlib, pkgutil, os, warnings, logger,
// iter_entry_points and the group names) is read from the module when used.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

// Interned names: module globals read when used, attributes and methods.
// clang-format off
#define ADDON_NAMES(X)                                                                                                 \
    X(os) X(pkgutil) X(warnings) X(importlib) X(logger) X(iter_entry_points) X(ENTRYPOINT_GROUP)                       \
    X(DEPRECATED_ENTRYPOINT_GROUP) X(_plugins) X(_subplugins) X(_plugins_loaded) X(populate_builtin_plugins)           \
    X(discover_external_plugins) X(get) X(setdefault) X(import_module) X(walk_packages) X(path) X(dirname)             \
    X(__path__) X(__name__) X(__file__) X(name) X(module) X(module_name) X(load) X(group) X(warn) X(debug)             \
    X(__available_plugins__) X(plugins) X(items)
OVK_NAMES(ADDON_NAMES)
// clang-format on

struct State {
    Ref entry_points;  // importlib.metadata.entry_points
    Ref plugins_marker, dot, empty;
    Names names;
    auto refs() { return std::tie(entry_points, plugins_marker, dot, empty); }
};

// mapping.setdefault(key, value), directly on exact dicts.
Ref setdefault(State& st, PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(mapping)) return Ref::borrow(check(PyDict_SetDefault(mapping, key, value)));
    return call_method(st.names[N_setdefault], {mapping, key, value});
}

// mapping.get(key), directly on exact dicts; an empty Ref stands for None.
Ref get(State& st, PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) return dict_get(mapping, key);
    Ref v = call_method(st.names[N_get], {mapping, key});
    return v.get() == Py_None ? Ref() : v;
}

// importlib.import_module(name), through the module global.
Ref import_by_name(State& st, PyObject* module, PyObject* name) {
    Ref importlib = lookup(module, st.names[N_importlib]);
    return call_method(st.names[N_import_module], {importlib.get(), name});
}

void debug(State& st, PyObject* module, PyObject* text) {
    Ref logger = lookup(module, st.names[N_logger]);
    call_method(st.names[N_debug], {logger.get(), text});
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref result = Ref::borrow(parts.begin()[0]);
    for (auto it = parts.begin() + 1; it != parts.end(); ++it) result = own(PyNumber_Add(result.get(), *it));
    return result;
}

Ref format(State& st, PyObject* value) { return own(PyObject_Format(value, st.empty.get())); }

// "ovark.utils.xferkit.plugins.{os}" (and ".{subplugin}") as str.format fills it.
Ref plugin_module_name(State& st, PyObject* os, PyObject* subplugin = nullptr) {
    Ref os_text = format(st, os);
    if (!subplugin) return own(PyUnicode_FromFormat("ovark.utils.xferkit.plugins.%U", os_text.get()));
    Ref sub_text = format(st, subplugin);
    return own(PyUnicode_FromFormat("ovark.utils.xferkit.plugins.%U.%U", os_text.get(), sub_text.get()));
}

// The entry point's module text: `module` (importlib.metadata), or the older
// `module_name` of objects that carry that one as text instead.
Ref entry_point_module(State& st, PyObject* ep) {
    Ref module = optional_attr(ep, st.names[N_module]);
    if (module && PyUnicode_Check(module.get())) return module;
    Ref module_name = optional_attr(ep, st.names[N_module_name]);
    if (module_name && (PyUnicode_Check(module_name.get()) || !module)) return module_name;
    return module ? module : attr(ep, st.names[N_module]);
}

// ---------------------------------------------------------------- iter_entry_points

Ref iter_entry_points(const Call& c, PyObject* group, PyObject* name) {
    State& st = c.state<State>();
    Ref kwnames = own(Py_BuildValue("(O)", st.names[N_group]));
    PyObject* args[] = {group};
    Ref selected = own(PyObject_Vectorcall(st.entry_points.get(), args, 0, kwnames.get()));
    if (name == Py_None) return own(PyObject_GetIter(selected.get()));
    Ref matching = own(PyList_New(0));
    for_each(selected.get(), [&](PyObject* ep) {
        Ref ep_name = attr(ep, st.names[N_name]);
        if (check(PyObject_RichCompareBool(ep_name.get(), name, Py_EQ))) check(PyList_Append(matching.get(), ep));
    });
    return own(PyObject_GetIter(matching.get()));
}

const FuncDef iter_entry_points_def{
    "iter_entry_points",
    "(group, name=None)",
    "Yield the entry points advertised under ``group`` (only those called\n"
    "``name`` when it is given), in the order the installed distributions list them.",
    params<iter_entry_points>,
};

// ---------------------------------------------------------------- PluginManager

Ref pm_init(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    set_attr(self, st.names[N__plugins], own(PyDict_New()).get());
    set_attr(self, st.names[N__subplugins], own(PyDict_New()).get());
    set_attr(self, st.names[N__plugins_loaded], Py_False);
    return Ref::borrow(Py_None);
}

// Both passes, once: the flag is set only when both completed.
void ensure_loaded(State& st, PyObject* self) {
    if (truth(attr(self, st.names[N__plugins_loaded]))) return;
    call_method(st.names[N_populate_builtin_plugins], {self});
    call_method(st.names[N_discover_external_plugins], {self});
    set_attr(self, st.names[N__plugins_loaded], Py_True);
}

Ref pm_get_plugin(const Call& c, PyObject* self, PyObject* os) {
    State& st = c.state<State>();
    ensure_loaded(st, self);
    Ref plugins = attr(self, st.names[N__plugins]);
    Ref found = get(st, plugins.get(), os);
    return found ? found : Ref::borrow(Py_None);
}

Ref pm_get_subplugin(const Call& c, PyObject* self, PyObject* os, PyObject* subplugin_dotted_name) {
    State& st = c.state<State>();
    ensure_loaded(st, self);
    Ref subplugins = attr(self, st.names[N__subplugins]);
    Ref inner = get(st, subplugins.get(), os);
    if (!inner) return Ref::borrow(Py_None);
    Ref found = get(st, inner.get(), subplugin_dotted_name);
    return found ? found : Ref::borrow(Py_None);
}

// from ..plugins import __available_plugins__
Ref available_plugins(State& st, PyObject* module) {
    Ref fromlist = own(PyTuple_Pack(1, st.names[N___available_plugins__]));
    Ref package = own(
        PyImport_ImportModuleLevelObject(st.names[N_plugins], PyModule_GetDict(module), nullptr, fromlist.get(), 2));
    if (Ref value = optional_attr(package.get(), st.names[N___available_plugins__])) return value;
    Ref package_name = attr(package.get(), st.names[N___name__]);
    Ref file = optional_attr(package.get(), st.names[N___file__]);
    Ref message = own(PyUnicode_FromFormat("cannot import name '%U' from '%U' (%S)", st.names[N___available_plugins__],
                                           package_name.get(),
                                           file ? file.get() : own(PyUnicode_FromString("unknown location")).get()));
    // ImportError(message, name=package_name, path=file)
    PyObject* args[] = {message.get(), package_name.get(), file ? file.get() : Py_None};
    Ref kwnames = own(PyTuple_Pack(2, st.names[N_name], st.names[N_path]));
    raise(own(PyObject_Vectorcall(PyExc_ImportError, args, 1, kwnames.get())).get());
}

Ref pm_populate_builtin_plugins(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    PyObject* module = c.module();
    Ref available = available_plugins(st, module);
    for_items(available.get(), st.names[N_items], [&](PyObject* os, PyObject* subplugins) {
        Ref os_module = import_by_name(st, module, plugin_module_name(st, os).get());
        setdefault(st, attr(self, st.names[N__plugins]).get(), os, os_module.get());
        for_each(subplugins, [&](PyObject* subplugin) {
            Ref inner = setdefault(st, attr(self, st.names[N__subplugins]).get(), os, own(PyDict_New()).get());
            Ref sub_module = import_by_name(st, module, plugin_module_name(st, os, subplugin).get());
            setdefault(st, inner.get(), subplugin, sub_module.get());
        });
    });
    return Ref::borrow(Py_None);
}

Ref entry_points_of(State& st, PyObject* module, PyObject* group_name) {
    Ref iter = lookup(module, st.names[N_iter_entry_points]);
    Ref group = lookup(module, group_name);
    Ref kwnames = own(PyTuple_Pack(1, st.names[N_group]));
    PyObject* args[] = {group.get()};
    Ref found = own(PyObject_Vectorcall(iter.get(), args, 0, kwnames.get()));
    return own(PySequence_List(found.get()));
}

// Register the sub-plugin packages found below one external OS module.
void register_subplugins(State& st, PyObject* self, PyObject* module, PyObject* plugin_os, PyObject* os_module) {
    Ref fu_path, fu_name;
    fu_path = Ref::steal(PyObject_GetAttr(os_module, st.names[N___path__]));
    if (fu_path) fu_name = Ref::steal(PyObject_GetAttr(os_module, st.names[N___name__]));
    if (!fu_path || !fu_name) {
        if (!clear_if(PyExc_AttributeError)) throw Error();  // a plain module: walk the folder it lives in
        Ref os_mod = lookup(module, st.names[N_os]);
        Ref path_mod = attr(os_mod.get(), st.names[N_path]);
        Ref file = attr(os_module, st.names[N___file__]);
        Ref dir = call_method(st.names[N_dirname], {path_mod.get(), file.get()});
        fu_path = own(PyList_New(1));
        PyList_SET_ITEM(fu_path.get(), 0, dir.release());
        fu_name = attr(os_module, st.names[N___name__]);
    }
    Ref prefix = concat({fu_name.get(), st.dot.get()});
    Ref pkgutil = lookup(module, st.names[N_pkgutil]);
    Ref walked = call_method(st.names[N_walk_packages], {pkgutil.get(), fu_path.get(), prefix.get()});
    for_each(walked.get(), [&](PyObject* item) {
        auto [finder, found_name, ispkg] = unpack<3>(item);
        PyObject* name = found_name.get();
        if (!truth(ispkg)) return;
        if (!check(PySequence_Contains(name, st.plugins_marker.get()))) return;
        Ref pieces = own(PyUnicode_Split(name, st.plugins_marker.get(), -1));
        PyObject* full = PyList_GET_ITEM(pieces.get(), PyList_GET_SIZE(pieces.get()) - 1);
        Ref components = own(PyUnicode_Split(full, st.dot.get(), -1));
        Ref rest = own(PyList_GetSlice(components.get(), 1, PY_SSIZE_T_MAX));
        Ref subplugin_name = own(PyUnicode_Join(st.dot.get(), rest.get()));
        if (PyUnicode_GET_LENGTH(subplugin_name.get()) == 0) return;
        Ref loading = own(PyUnicode_FromString("Loading subplugin "));
        Ref from = own(PyUnicode_FromString(" from "));
        debug(st, module, concat({loading.get(), subplugin_name.get(), from.get(), name}).get());
        Ref inner = setdefault(st, attr(self, st.names[N__subplugins]).get(), plugin_os, own(PyDict_New()).get());
        Ref sub_module = import_by_name(st, module, name);
        setdefault(st, inner.get(), subplugin_name.get(), sub_module.get());
    });
}

Ref pm_discover_external_plugins(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    PyObject* module = c.module();
    Ref discovered = entry_points_of(st, module, st.names[N_ENTRYPOINT_GROUP]);
    Ref deprecated = entry_points_of(st, module, st.names[N_DEPRECATED_ENTRYPOINT_GROUP]);
    if (PyList_GET_SIZE(deprecated.get())) {
        Ref names = own(PyList_New(0));
        for_each(deprecated.get(),
                 [&](PyObject* ep) { check(PyList_Append(names.get(), entry_point_module(st, ep).get())); });
        Ref newline = own(PyUnicode_FromString("\n"));
        Ref listed = own(PyUnicode_Join(newline.get(), names.get()));
        Ref message = own(PyUnicode_FromFormat(
            "The following deprecated XferKit plugins were detected :\n%U.\n"
            "Please upgrade these plugins soon.  This warning becomes an error in the next release.",
            listed.get()));
        Ref warnings = lookup(module, st.names[N_warnings]);
        call_method(st.names[N_warn], {warnings.get(), message.get(), PyExc_DeprecationWarning});
    }
    Ref all = own(PySequence_Concat(discovered.get(), deprecated.get()));
    Ref loading = own(PyUnicode_FromString("Loading external plugin "));
    Ref from = own(PyUnicode_FromString(" from "));
    for_each(all.get(), [&](PyObject* plugin) {
        Ref name = attr(plugin, st.names[N_name]);
        Ref module_text = entry_point_module(st, plugin);
        debug(st, module,
              concat({loading.get(), format(st, name.get()).get(), from.get(), format(st, module_text.get()).get()})
                  .get());
        Ref os_module = call_method(st.names[N_load], {plugin});
        setdefault(st, attr(self, st.names[N__plugins]).get(), name.get(), os_module.get());
        register_subplugins(st, self, module, name.get(), os_module.get());
    });
    return Ref::borrow(Py_None);
}

const FuncDef pm_init_def{"__init__", "(self)", nullptr, pm_init};
const FuncDef pm_get_plugin_def{"get_plugin", "(self, os)",
                                "Return the OS-level plugin module registered under ``os``, or None.\n\n"
                                "The first lookup of a manager registers the builtin and the external plugins.",
                                params<pm_get_plugin>};
const FuncDef pm_get_subplugin_def{
    "get_subplugin", "(self, os, subplugin_dotted_name)",
    "Return the sub-plugin module registered under ``os`` and ``subplugin_dotted_name``, or None.\n\n"
    "The first lookup of a manager registers the builtin and the external plugins.",
    params<pm_get_subplugin>};
const FuncDef pm_populate_def{"populate_builtin_plugins", "(self)",
                              " register all built-in os-level plugins and their subplugins.",
                              pm_populate_builtin_plugins};
const FuncDef pm_discover_def{"discover_external_plugins", "(self)",
                              " Discover external xferkit plugins pip-installed by the user.\n\n"
                              "        Packages that want to provide plugins must advertise entry points at the\n"
                              "        os-level under the group \"``ovark.utils.xferkit.ENTRYPOINT_GROUP``\".\n"
                              "        All subplugins are then automatically discovered and registered.\n"
                              "        ",
                              pm_discover_external_plugins};

void exec(PyObject* module, State& st) {
    st.names.init();
    for (const char* name : {"os", "pkgutil", "logging", "warnings", "importlib"})
        add_object(module, name, import_module(name));
    st.entry_points = import_from("importlib.metadata", "entry_points");
    add_functions(module, {&iter_entry_points_def});
    add_object(module, "ovark_warnings", import_from("ovark.log", "warnings"));
    add_object(module, "ENTRYPOINT_GROUP", intern("ovark.utils.xferkit.plugins"));
    add_object(module, "DEPRECATED_ENTRYPOINT_GROUP", intern("zel.utils.xferkit.plugins"));
    add_object(module, "__all__", own(Py_BuildValue("[ss]", "ENTRYPOINT_GROUP", "PluginManager")));
    Ref logging = own(PyObject_GetAttrString(module, "logging"));
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));

    st.plugins_marker = intern(".plugins.");
    st.dot = intern(".");
    st.empty = intern("");

    add_object(module, "PluginManager",
               new_class(module, "PluginManager", nullptr, nullptr,
                         {method(pm_init_def), method(pm_get_plugin_def), method(pm_get_subplugin_def),
                          method(pm_populate_def), method(pm_discover_def)}));
}

}  // namespace

OVK_MODULE(State, exec, " Plugin manager for ovark.utils.xferkit ")
