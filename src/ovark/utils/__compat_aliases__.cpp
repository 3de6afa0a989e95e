// ovark.utils.__compat_aliases__ - switch legacy imports on for the process.
//
// Importing the module runs _initialize (through on_import of the
// import_utils package): it warns with a banner, registers with LegacyImporter
// the translations that installed packages publish under the entry-point group
// named like this module, and installs the importer on sys.meta_path.
// Packages opt in by declaring an entry point that loads to a mapping (legacy
// name -> modern name), to a pair of translator callables, or to nothing.
// Every global is read from the module when used.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

struct State {
    Ref n_warnings, n_warn, n_entry_points, n_LEGACY_IMPORT_ENTRYPOINT, n_Mapping, n_LegacyImporter, n_ImportWarning,
        n_register, n_install, n_load;
    Ref warn_kwnames, group_kwnames, banner;
    auto refs() {
        return std::tie(n_warnings, n_warn, n_entry_points, n_LEGACY_IMPORT_ENTRYPOINT, n_Mapping, n_LegacyImporter,
                        n_ImportWarning, n_register, n_install, n_load, warn_kwnames, group_kwnames, banner);
    }
};

// LegacyImporter.register(**translations) or LegacyImporter.register(*translations).
void register_translations(State& st, PyObject* module, PyObject* translations) {
    Ref importer = lookup(module, st.n_LegacyImporter.get());
    Ref register_ = own(PyObject_GetAttr(importer.get(), st.n_register.get()));
    Ref mapping = lookup(module, st.n_Mapping.get());
    if (check(PyObject_IsInstance(translations, mapping.get()))) {
        Ref kwargs = Ref::borrow(translations);
        if (!PyDict_CheckExact(translations)) {
            kwargs = own(PyDict_New());
            check(PyDict_Merge(kwargs.get(), translations, 1));
        }
        Ref no_args = own(PyTuple_New(0));
        own(PyObject_Call(register_.get(), no_args.get(), kwargs.get()));
    } else {
        Ref args = own(PySequence_Tuple(translations));
        own(PyObject_Call(register_.get(), args.get(), nullptr));
    }
}

Ref initialize(const Call& c) {
    State& st = c.state<State>();
    PyObject* module = c.module();
    Ref warnings = lookup(module, st.n_warnings.get());
    Ref category = lookup(module, st.n_ImportWarning.get());
    call_method(st.n_warn.get(), {warnings.get(), st.banner.get(), category.get()}, st.warn_kwnames.get());

    Ref entry_points = lookup(module, st.n_entry_points.get());
    Ref group = lookup(module, st.n_LEGACY_IMPORT_ENTRYPOINT.get());
    PyObject* args[] = {group.get()};
    Ref found = own(PyObject_Vectorcall(entry_points.get(), args, 0, st.group_kwnames.get()));
    for_each(found.get(), [&](PyObject* entry_point) {
        Ref translations = call_method(st.n_load.get(), {entry_point});
        if (!truth(translations.get())) translations = own(PyDict_New());
        register_translations(st, module, translations.get());
    });
    Ref importer = lookup(module, st.n_LegacyImporter.get());
    call_method(st.n_install.get(), {importer.get()});
    return Ref::borrow(Py_None);
}

const FuncDef initialize_def{
    "_initialize",
    "()",
    "Warn that legacy imports are enabled, register the translations published\n"
    "under the entry-point group LEGACY_IMPORT_ENTRYPOINT, and install\n"
    "LegacyImporter on sys.meta_path.",
    initialize,
};

void exec(PyObject* module, State& st) {
    struct {
        Ref* ref;
        const char* text;
    } names[] = {
        {&st.n_warnings, "warnings"}, {&st.n_warn, "warn"}, {&st.n_entry_points, "entry_points"},
        {&st.n_LEGACY_IMPORT_ENTRYPOINT, "LEGACY_IMPORT_ENTRYPOINT"}, {&st.n_Mapping, "Mapping"},
        {&st.n_LegacyImporter, "LegacyImporter"}, {&st.n_ImportWarning, "ImportWarning"},
        {&st.n_register, "register"}, {&st.n_install, "install"}, {&st.n_load, "load"},
    };
    for (auto& n : names) *n.ref = intern(n.text);
    st.warn_kwnames = own(Py_BuildValue("(ss)", "message", "category"));
    st.group_kwnames = own(Py_BuildValue("(s)", "group"));
    st.banner = own(PyUnicode_FromString("+-------------------------------------+\n"
                                         "|   You have legacy imports enabled   |\n"
                                         "+-------------------------------------+"));

    add_object(module, "LEGACY_IMPORT_ENTRYPOINT", own(PyUnicode_FromString("ovark.utils.__compat_aliases__")));
    add_object(module, "warnings", own(PyImport_ImportModule("warnings")));
    add_object(module, "entry_points", import_from("importlib.metadata", "entry_points"));
    add_object(module, "Mapping", import_from("collections.abc", "Mapping"));
    add_object(module, "LegacyImporter", import_from("ovark.utils.import_utils", "LegacyImporter"));
    Ref on_import = import_from("ovark.utils.import_utils", "on_import");
    add_object(module, "on_import", on_import);

    Ref initialize_fn = make_function(module, initialize_def);
    add_object(module, "_initialize", own(PyObject_CallOneArg(on_import.get(), initialize_fn.get())));
}

}  // namespace

OVK_MODULE(State, exec, "Legacy imports for the whole process: the published translations, registered and installed.")
