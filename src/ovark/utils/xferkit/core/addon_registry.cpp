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

struct State {
    Ref entry_points;  // importlib.metadata.entry_points
    Ref n_os, n_pkgutil, n_warnings, n_importlib, n_logger, n_iter_entry_points, n_ENTRYPOINT_GROUP,
        n_DEPRECATED_ENTRYPOINT_GROUP, n__plugins, n__subplugins, n__plugins_loaded, n_populate_builtin_plugins,
        n_discover_external_plugins, n_get, n_setdefault, n_import_module, n_walk_packages, n_path, n_dirname,
        n___path__, n___name__, n___file__, n_name, n_module, n_module_name, n_load, n_group, n_warn, n_debug,
        n___available_plugins__, n_plugins, n_items;
    Ref plugins_marker, dot, empty;
    auto refs() {
        return std::tie(entry_points, n_os, n_pkgutil, n_warnings, n_importlib, n_logger, n_iter_entry_points,
                        n_ENTRYPOINT_GROUP, n_DEPRECATED_ENTRYPOINT_GROUP, n__plugins, n__subplugins,
                        n__plugins_loaded, n_populate_builtin_plugins, n_discover_external_plugins, n_get,
                        n_setdefault, n_import_module, n_walk_packages, n_path, n_dirname, n___path__, n___name__,
                        n___file__, n_name, n_module, n_module_name, n_load, n_group, n_warn, n_debug,
                        n___available_plugins__, n_plugins, n_items, plugins_marker, dot, empty);
    }
};

// mapping.setdefault(key, value), directly on exact dicts.
Ref setdefault(State& st, PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(mapping)) return Ref::borrow(check(PyDict_SetDefault(mapping, key, value)));
    return call_method(st.n_setdefault.get(), {mapping, key, value});
}

// mapping.get(key), directly on exact dicts; an empty Ref stands for None.
Ref get(State& st, PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) return dict_get(mapping, key);
    Ref v = call_method(st.n_get.get(), {mapping, key});
    return v.get() == Py_None ? Ref() : v;
}

Ref import_module(State& st, PyObject* module, PyObject* name) {
    Ref importlib = lookup(module, st.n_importlib.get());
    return call_method(st.n_import_module.get(), {importlib.get(), name});
}

void debug(State& st, PyObject* module, PyObject* text) {
    Ref logger = lookup(module, st.n_logger.get());
    call_method(st.n_debug.get(), {logger.get(), text});
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
    Ref module = optional_attr(ep, st.n_module.get());
    if (module && PyUnicode_Check(module.get())) return module;
    Ref module_name = optional_attr(ep, st.n_module_name.get());
    if (module_name && (PyUnicode_Check(module_name.get()) || !module)) return module_name;
    return module ? module : attr(ep, st.n_module.get());
}

// ---------------------------------------------------------------- iter_entry_points

Ref iter_entry_points(const Call& c) {
    State& st = c.state<State>();
    PyObject* group = c[0];
    PyObject* name = c[1];
    Ref kwnames = own(Py_BuildValue("(O)", st.n_group.get()));
    PyObject* args[] = {group};
    Ref selected = own(PyObject_Vectorcall(st.entry_points.get(), args, 0, kwnames.get()));
    if (name == Py_None) return own(PyObject_GetIter(selected.get()));
    Ref matching = own(PyList_New(0));
    for_each(selected.get(), [&](PyObject* ep) {
        Ref ep_name = attr(ep, st.n_name.get());
        if (check(PyObject_RichCompareBool(ep_name.get(), name, Py_EQ))) check(PyList_Append(matching.get(), ep));
    });
    return own(PyObject_GetIter(matching.get()));
}

const FuncDef iter_entry_points_def{
    "iter_entry_points",
    "(group, name=None)",
    "Yield the entry points advertised under ``group`` (only those called\n"
    "``name`` when it is given), in the order the installed distributions list them.",
    iter_entry_points,
};

// ---------------------------------------------------------------- PluginManager

Ref pm_init(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    check(PyObject_SetAttr(self, st.n__plugins.get(), own(PyDict_New()).get()));
    check(PyObject_SetAttr(self, st.n__subplugins.get(), own(PyDict_New()).get()));
    check(PyObject_SetAttr(self, st.n__plugins_loaded.get(), Py_False));
    return Ref::borrow(Py_None);
}

// Both passes, once: the flag is set only when both completed.
void ensure_loaded(State& st, PyObject* self) {
    Ref loaded = attr(self, st.n__plugins_loaded.get());
    if (check(PyObject_IsTrue(loaded.get()))) return;
    call_method(st.n_populate_builtin_plugins.get(), {self});
    call_method(st.n_discover_external_plugins.get(), {self});
    check(PyObject_SetAttr(self, st.n__plugins_loaded.get(), Py_True));
}

Ref pm_get_plugin(const Call& c) {
    State& st = c.state<State>();
    ensure_loaded(st, c[0]);
    Ref plugins = attr(c[0], st.n__plugins.get());
    Ref found = get(st, plugins.get(), c[1]);
    return found ? found : Ref::borrow(Py_None);
}

Ref pm_get_subplugin(const Call& c) {
    State& st = c.state<State>();
    ensure_loaded(st, c[0]);
    Ref subplugins = attr(c[0], st.n__subplugins.get());
    Ref inner = get(st, subplugins.get(), c[1]);
    if (!inner) return Ref::borrow(Py_None);
    Ref found = get(st, inner.get(), c[2]);
    return found ? found : Ref::borrow(Py_None);
}

// from ..plugins import __available_plugins__
Ref available_plugins(State& st, PyObject* module) {
    Ref fromlist = own(PyTuple_Pack(1, st.n___available_plugins__.get()));
    Ref package = own(PyImport_ImportModuleLevelObject(st.n_plugins.get(), PyModule_GetDict(module), nullptr,
                                                       fromlist.get(), 2));
    if (Ref value = optional_attr(package.get(), st.n___available_plugins__.get())) return value;
    Ref package_name = attr(package.get(), st.n___name__.get());
    Ref file = optional_attr(package.get(), st.n___file__.get());
    Ref message = own(PyUnicode_FromFormat("cannot import name '%U' from '%U' (%S)", st.n___available_plugins__.get(),
                                           package_name.get(),
                                           file ? file.get() : own(PyUnicode_FromString("unknown location")).get()));
    PyErr_SetImportError(message.get(), package_name.get(), file ? file.get() : Py_None);
    throw Error();
}

Ref pm_populate_builtin_plugins(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    PyObject* module = c.module();
    Ref available = available_plugins(st, module);
    for_items(available.get(), st.n_items.get(), [&](PyObject* os, PyObject* subplugins) {
        Ref os_module = import_module(st, module, plugin_module_name(st, os).get());
        setdefault(st, attr(self, st.n__plugins.get()).get(), os, os_module.get());
        for_each(subplugins, [&](PyObject* subplugin) {
            Ref inner = setdefault(st, attr(self, st.n__subplugins.get()).get(), os, own(PyDict_New()).get());
            Ref sub_module = import_module(st, module, plugin_module_name(st, os, subplugin).get());
            setdefault(st, inner.get(), subplugin, sub_module.get());
        });
    });
    return Ref::borrow(Py_None);
}

Ref entry_points_of(State& st, PyObject* module, PyObject* group_name) {
    Ref iter = lookup(module, st.n_iter_entry_points.get());
    Ref group = lookup(module, group_name);
    Ref kwnames = own(PyTuple_Pack(1, st.n_group.get()));
    PyObject* args[] = {group.get()};
    Ref found = own(PyObject_Vectorcall(iter.get(), args, 0, kwnames.get()));
    return own(PySequence_List(found.get()));
}

// Register the sub-plugin packages found below one external OS module.
void register_subplugins(State& st, PyObject* self, PyObject* module, PyObject* plugin_os, PyObject* os_module) {
    Ref fu_path, fu_name;
    fu_path = Ref::steal(PyObject_GetAttr(os_module, st.n___path__.get()));
    if (fu_path) fu_name = Ref::steal(PyObject_GetAttr(os_module, st.n___name__.get()));
    if (!fu_path || !fu_name) {
        if (!clear_if(PyExc_AttributeError)) throw Error();  // a plain module: walk the folder it lives in
        Ref os_mod = lookup(module, st.n_os.get());
        Ref path_mod = attr(os_mod.get(), st.n_path.get());
        Ref file = attr(os_module, st.n___file__.get());
        Ref dir = call_method(st.n_dirname.get(), {path_mod.get(), file.get()});
        fu_path = own(PyList_New(1));
        PyList_SET_ITEM(fu_path.get(), 0, dir.release());
        fu_name = attr(os_module, st.n___name__.get());
    }
    Ref prefix = concat({fu_name.get(), st.dot.get()});
    Ref pkgutil = lookup(module, st.n_pkgutil.get());
    Ref walked = call_method(st.n_walk_packages.get(), {pkgutil.get(), fu_path.get(), prefix.get()});
    for_each(walked.get(), [&](PyObject* item) {
        Ref it = own(PyObject_GetIter(item));
        Ref parts[3];
        for (auto& part : parts) {
            part = Ref::steal(PyIter_Next(it.get()));
            if (!part) {
                if (PyErr_Occurred()) throw Error();
                raise(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", int(&part - parts));
            }
        }
        if (Ref extra = Ref::steal(PyIter_Next(it.get()))) raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        if (PyErr_Occurred()) throw Error();
        PyObject* name = parts[1].get();
        if (!check(PyObject_IsTrue(parts[2].get()))) return;
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
        Ref inner = setdefault(st, attr(self, st.n__subplugins.get()).get(), plugin_os, own(PyDict_New()).get());
        Ref sub_module = import_module(st, module, name);
        setdefault(st, inner.get(), subplugin_name.get(), sub_module.get());
    });
}

Ref pm_discover_external_plugins(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    PyObject* module = c.module();
    Ref discovered = entry_points_of(st, module, st.n_ENTRYPOINT_GROUP.get());
    Ref deprecated = entry_points_of(st, module, st.n_DEPRECATED_ENTRYPOINT_GROUP.get());
    if (PyList_GET_SIZE(deprecated.get())) {
        Ref names = own(PyList_New(0));
        for_each(deprecated.get(), [&](PyObject* ep) {
            check(PyList_Append(names.get(), entry_point_module(st, ep).get()));
        });
        Ref newline = own(PyUnicode_FromString("\n"));
        Ref listed = own(PyUnicode_Join(newline.get(), names.get()));
        Ref message = own(PyUnicode_FromFormat(
            "The following deprecated XferKit plugins were detected :\n%U.\n"
            "Please upgrade these plugins soon.  This warning becomes an error in the next release.",
            listed.get()));
        Ref warnings = lookup(module, st.n_warnings.get());
        call_method(st.n_warn.get(), {warnings.get(), message.get(), PyExc_DeprecationWarning});
    }
    Ref all = own(PySequence_Concat(discovered.get(), deprecated.get()));
    Ref loading = own(PyUnicode_FromString("Loading external plugin "));
    Ref from = own(PyUnicode_FromString(" from "));
    for_each(all.get(), [&](PyObject* plugin) {
        Ref name = attr(plugin, st.n_name.get());
        Ref module_text = entry_point_module(st, plugin);
        debug(st, module, concat({loading.get(), format(st, name.get()).get(), from.get(), format(st, module_text.get()).get()}).get());
        Ref os_module = call_method(st.n_load.get(), {plugin});
        setdefault(st, attr(self, st.n__plugins.get()).get(), name.get(), os_module.get());
        register_subplugins(st, self, module, name.get(), os_module.get());
    });
    return Ref::borrow(Py_None);
}

const FuncDef pm_init_def{"__init__", "(self)", nullptr, pm_init};
const FuncDef pm_get_plugin_def{
    "get_plugin", "(self, os)",
    "Return the OS-level plugin module registered under ``os``, or None.\n\n"
    "The first lookup of a manager registers the builtin and the external plugins.",
    pm_get_plugin};
const FuncDef pm_get_subplugin_def{
    "get_subplugin", "(self, os, subplugin_dotted_name)",
    "Return the sub-plugin module registered under ``os`` and ``subplugin_dotted_name``, or None.\n\n"
    "The first lookup of a manager registers the builtin and the external plugins.",
    pm_get_subplugin};
const FuncDef pm_populate_def{"populate_builtin_plugins", "(self)",
                              " register all built-in os-level plugins and their subplugins.",
                              pm_populate_builtin_plugins};
const FuncDef pm_discover_def{
    "discover_external_plugins", "(self)",
    " Discover external xferkit plugins pip-installed by the user.\n\n"
    "        Packages that want to provide plugins must advertise entry points at the\n"
    "        os-level under the group \"``ovark.utils.xferkit.ENTRYPOINT_GROUP``\".\n"
    "        All subplugins are then automatically discovered and registered.\n"
    "        ",
    pm_discover_external_plugins};

void exec(PyObject* module, State& st) {
    for (const char* name : {"os", "pkgutil", "logging", "warnings", "importlib"})
        add_object(module, name, own(PyImport_ImportModule(name)));
    Ref metadata = own(PyImport_ImportModule("importlib.metadata"));
    st.entry_points = own(PyObject_GetAttrString(metadata.get(), "entry_points"));
    add_functions(module, {&iter_entry_points_def});
    Ref log = own(PyImport_ImportModule("ovark.log"));
    add_object(module, "ovark_warnings", own(PyObject_GetAttrString(log.get(), "warnings")));
    add_object(module, "ENTRYPOINT_GROUP", intern("ovark.utils.xferkit.plugins"));
    add_object(module, "DEPRECATED_ENTRYPOINT_GROUP", intern("zel.utils.xferkit.plugins"));
    add_object(module, "__all__", own(Py_BuildValue("[ss]", "ENTRYPOINT_GROUP", "PluginManager")));
    Ref logging = own(PyObject_GetAttrString(module, "logging"));
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));

    for (auto [ref, text] :
         {std::pair{&st.n_os, "os"}, {&st.n_pkgutil, "pkgutil"}, {&st.n_warnings, "warnings"},
          {&st.n_importlib, "importlib"}, {&st.n_logger, "logger"}, {&st.n_iter_entry_points, "iter_entry_points"},
          {&st.n_ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP"}, {&st.n_DEPRECATED_ENTRYPOINT_GROUP, "DEPRECATED_ENTRYPOINT_GROUP"},
          {&st.n__plugins, "_plugins"}, {&st.n__subplugins, "_subplugins"}, {&st.n__plugins_loaded, "_plugins_loaded"},
          {&st.n_populate_builtin_plugins, "populate_builtin_plugins"},
          {&st.n_discover_external_plugins, "discover_external_plugins"}, {&st.n_get, "get"},
          {&st.n_setdefault, "setdefault"}, {&st.n_import_module, "import_module"},
          {&st.n_walk_packages, "walk_packages"}, {&st.n_path, "path"}, {&st.n_dirname, "dirname"},
          {&st.n___path__, "__path__"}, {&st.n___name__, "__name__"}, {&st.n___file__, "__file__"},
          {&st.n_name, "name"}, {&st.n_module, "module"}, {&st.n_module_name, "module_name"}, {&st.n_load, "load"},
          {&st.n_group, "group"}, {&st.n_warn, "warn"}, {&st.n_debug, "debug"},
          {&st.n___available_plugins__, "__available_plugins__"}, {&st.n_plugins, "plugins"},
          {&st.n_items, "items"}, {&st.plugins_marker, ".plugins."}, {&st.dot, "."},
          {&st.empty, ""}})
        *ref = intern(text);

    add_object(module, "PluginManager",
               new_class(module, "PluginManager", nullptr, nullptr,
                         {method(pm_init_def), method(pm_get_plugin_def), method(pm_get_subplugin_def),
                          method(pm_populate_def), method(pm_discover_def)}));
}

}  // namespace

OVK_MODULE(State, exec, " Plugin manager for ovark.utils.xferkit ")
