// ovark.utils.argv_tools - post-processing of argparse nargs lists.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

#define ARGV_NAMES(X) X(split) X(strip)
OVK_NAMES(ARGV_NAMES)

struct State {
    Ref blank, double_quote, single_quote;
    Names names;
    auto refs() { return std::tie(blank, double_quote, single_quote); }
};

// The pieces of one argument: split on " ", empty pieces dropped, quotes stripped.
void add_pieces(State& st, PyObject* itemstr, PyObject* into) {
    Ref pieces = call_method(st.names[N_split], {itemstr, st.blank.get()});
    for_each(pieces.get(), [&](PyObject* item) {
        if (!truth(item)) return;
        Ref stripped = call_method(st.names[N_strip], {item, st.double_quote.get()});
        stripped = call_method(st.names[N_strip], {stripped.get(), st.single_quote.get()});
        check(PySet_Add(into, stripped.get()));
    });
}

Ref expand_nargs_list(const Call& c) {
    PyObject* nargs_list = c[0];
    if (!truth(nargs_list)) return Ref::borrow(nargs_list);
    State& st = c.state<State>();
    Ref seen = own(PySet_New(nullptr));
    for_each(nargs_list, [&](PyObject* itemstr) {
        if (truth(itemstr)) add_pieces(st, itemstr, seen.get());
    });
    return own(PySequence_List(seen.get()));
}

Ref remove_dups_from_multiple_nargs_list(const Call& c) {
    Ref items_seen = own(PyDict_New());
    Ref result = own(PyList_New(0));
    for_each(c[0], [&](PyObject* nargs_list) {
        Ref kept = own(PyList_New(0));
        for_each(nargs_list, [&](PyObject* item) {
            if (check(PyDict_Contains(items_seen.get(), item))) return;
            check(PyList_Append(kept.get(), item));
            check(PyDict_SetItem(items_seen.get(), item, Py_True));
        });
        if (PyList_GET_SIZE(kept.get())) check(PyList_Append(result.get(), kept.get()));
    });
    if (PyList_GET_SIZE(result.get()) == 0) check(PyList_Append(result.get(), own(PyList_New(0)).get()));
    return result;
}

const FuncDef expand_def{
    "expand_nargs_list",
    "(nargs_list)",
    "Expand a list of arguments given with nargs='*' into a list of unique values.\n\n"
    "Each argument may hold several values separated by blanks (\"1 2 3\"); the\n"
    "values are split, stripped of surrounding quotes and de-duplicated. The order\n"
    "of the result is not defined. A falsy argument is returned unchanged.",
    expand_nargs_list,
};

const FuncDef remove_dups_def{
    "remove_dups_from_multiple_nargs_list",
    "(multiple_nargs_list)",
    "Remove values seen in an earlier position from a list of nargs lists.\n\n"
    "Used with action='append': each inner list keeps, in order, the values not\n"
    "seen before; inner lists left empty are dropped. Returns [[]] when nothing\n"
    "is left.",
    remove_dups_from_multiple_nargs_list,
};

void exec(PyObject* module, State& st) {
    st.names.init();
    add_object(module, "itertools", import_module("itertools"));
    st.blank = own(PyUnicode_FromString(" "));
    st.double_quote = own(PyUnicode_FromString("\""));
    st.single_quote = own(PyUnicode_FromString("'"));
    add_functions(module, {&expand_def, &remove_dups_def});
    add_object(module, "__all__",
               own(Py_BuildValue("[ss]", "expand_nargs_list", "remove_dups_from_multiple_nargs_list")));
}

}  // namespace

OVK_MODULE(State, exec, "Utilities to help with tricky CLI command parsing")
