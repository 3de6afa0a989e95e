// ovark.utils.argv_tools - post-processing of argparse nargs lists.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

struct State {
    Ref split, strip, blank, double_quote, single_quote;
    auto refs() { return std::tie(split, strip, blank, double_quote, single_quote); }
};

Ref call_method(PyObject* name, PyObject* self, PyObject* arg) {
    PyObject* args[] = {self, arg};
    return own(PyObject_VectorcallMethod(name, args, 2, nullptr));
}

// The pieces of one argument: split on " ", empty pieces dropped, quotes stripped.
void add_pieces(State& st, PyObject* itemstr, PyObject* into) {
    Ref pieces = call_method(st.split.get(), itemstr, st.blank.get());
    Ref iter = own(PyObject_GetIter(pieces.get()));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        int truthy = check(PyObject_IsTrue(item.get()));
        if (!truthy) continue;
        Ref stripped = call_method(st.strip.get(), item.get(), st.double_quote.get());
        stripped = call_method(st.strip.get(), stripped.get(), st.single_quote.get());
        check(PySet_Add(into, stripped.get()));
    }
    if (PyErr_Occurred()) throw Error();
}

Ref expand_nargs_list(const Call& c) {
    PyObject* nargs_list = c[0];
    if (!check(PyObject_IsTrue(nargs_list))) return Ref::borrow(nargs_list);
    State& st = c.state<State>();
    Ref seen = own(PySet_New(nullptr));
    Ref iter = own(PyObject_GetIter(nargs_list));
    while (Ref itemstr = Ref::steal(PyIter_Next(iter.get()))) {
        if (check(PyObject_IsTrue(itemstr.get()))) add_pieces(st, itemstr.get(), seen.get());
    }
    if (PyErr_Occurred()) throw Error();
    return own(PySequence_List(seen.get()));
}

Ref remove_dups_from_multiple_nargs_list(const Call& c) {
    Ref items_seen = own(PyDict_New());
    Ref result = own(PyList_New(0));
    Ref outer = own(PyObject_GetIter(c[0]));
    while (Ref nargs_list = Ref::steal(PyIter_Next(outer.get()))) {
        Ref kept = own(PyList_New(0));
        Ref inner = own(PyObject_GetIter(nargs_list.get()));
        while (Ref item = Ref::steal(PyIter_Next(inner.get()))) {
            if (check(PyDict_Contains(items_seen.get(), item.get()))) continue;
            check(PyList_Append(kept.get(), item.get()));
            check(PyDict_SetItem(items_seen.get(), item.get(), Py_True));
        }
        if (PyErr_Occurred()) throw Error();
        if (PyList_GET_SIZE(kept.get())) check(PyList_Append(result.get(), kept.get()));
    }
    if (PyErr_Occurred()) throw Error();
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
    add_object(module, "itertools", own(PyImport_ImportModule("itertools")));
    st.split = intern("split");
    st.strip = intern("strip");
    st.blank = own(PyUnicode_FromString(" "));
    st.double_quote = own(PyUnicode_FromString("\""));
    st.single_quote = own(PyUnicode_FromString("'"));
    add_functions(module, {&expand_def, &remove_dups_def});
    add_object(module, "__all__",
               own(Py_BuildValue("[ss]", "expand_nargs_list", "remove_dups_from_multiple_nargs_list")));
}

}  // namespace

OVK_MODULE(State, exec, "Utilities to help with tricky CLI command parsing")
