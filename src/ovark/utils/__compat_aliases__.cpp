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

// clang-format off
#define ALIASES_NAMES(X)                                                                                    \
    X(warnings) X(warn) X(entry_points) X(LEGACY_IMPORT_ENTRYPOINT) X(Mapping) X(LegacyImporter) X(ImportWarning) \
    X(register) X(install) X(load)
OVK_NAMES(ALIASES_NAMES)
// clang-format on

struct State {
    Ref warn_kwnames, group_kwnames, banner;
    Names names;
    auto refs() { return std::tie(warn_kwnames, group_kwnames, banner); }
};

// LegacyImporter.register(**translations) or LegacyImporter.register(*translations).
void register_translations(State& st, PyObject* module, PyObject* translations) {
    Ref importer = lookup(module, st.names[N_LegacyImporter]);
    Ref register_ = attr(importer.get(), st.names[N_register]);
    Ref mapping = lookup(module, st.names[N_Mapping]);
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
    Ref warnings = lookup(module, st.names[N_warnings]);
    Ref category = lookup(module, st.names[N_ImportWarning]);
    call_method(st.names[N_warn], {warnings.get(), st.banner.get(), category.get()}, st.warn_kwnames.get());

    Ref entry_points = lookup(module, st.names[N_entry_points]);
    Ref group = lookup(module, st.names[N_LEGACY_IMPORT_ENTRYPOINT]);
    PyObject* args[] = {group.get()};
    Ref found = own(PyObject_Vectorcall(entry_points.get(), args, 0, st.group_kwnames.get()));
    for_each(found.get(), [&](PyObject* entry_point) {
        Ref translations = call_method(st.names[N_load], {entry_point});
        if (!truth(translations)) translations = own(PyDict_New());
        register_translations(st, module, translations.get());
    });
    Ref importer = lookup(module, st.names[N_LegacyImporter]);
    call_method(st.names[N_install], {importer.get()});
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
    st.names.init();
    st.warn_kwnames = own(Py_BuildValue("(ss)", "message", "category"));
    st.group_kwnames = own(Py_BuildValue("(s)", "group"));
    st.banner =
        own(PyUnicode_FromString("+-------------------------------------+\n"
                                 "|   You have legacy imports enabled   |\n"
                                 "+-------------------------------------+"));

    add_object(module, "LEGACY_IMPORT_ENTRYPOINT", own(PyUnicode_FromString("ovark.utils.__compat_aliases__")));
    add_object(module, "warnings", import_module("warnings"));
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
