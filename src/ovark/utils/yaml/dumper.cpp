// ovark.utils.yaml.dumper - a SafeDumper that writes OrderedDicts as plain
// mappings in their own order.
//
// OrderedSafeDumper is made by calling SafeDumper's metaclass, as a class
// statement would; its one representer is registered on it alone.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

struct State {
    Ref n_represent_dict, n_items;
    auto refs() { return std::tie(n_represent_dict, n_items); }
};

// Hands PyYAML the items view, not the mapping, so that the pairs keep their
// order instead of being sorted.
Ref ordereddict_representer(const Call& c) {
    State& st = c.state<State>();
    PyObject* items_args[] = {c[1]};
    Ref items = own(PyObject_VectorcallMethod(st.n_items.get(), items_args, 1, nullptr));
    PyObject* args[] = {c[0], items.get()};
    return own(PyObject_VectorcallMethod(st.n_represent_dict.get(), args, 2, nullptr));
}

const FuncDef representer_def{
    "ordereddict_representer",
    "(dumper, data)",
    "Represent an OrderedDict as a plain YAML mapping, entries in their order.",
    ordereddict_representer,
};

void exec(PyObject* module, State& st) {
    st.n_represent_dict = intern("represent_dict");
    st.n_items = intern("items");
    Ref yaml = own(PyImport_ImportModule("yaml"));
    Ref SafeDumper = own(PyObject_GetAttrString(yaml.get(), "SafeDumper"));
    add_object(module, "SafeDumper", SafeDumper);
    Ref collections = own(PyImport_ImportModule("collections"));
    Ref OrderedDict = own(PyObject_GetAttrString(collections.get(), "OrderedDict"));
    add_object(module, "OrderedDict", OrderedDict);

    Ref bases = own(PyTuple_Pack(1, SafeDumper.get()));
    Ref cls = new_class(module, "OrderedSafeDumper", bases.get(), "Order safe dumper",
                        {staticmethod(representer_def)});
    add_object(module, "OrderedSafeDumper", cls);
    Ref representer = own(PyObject_GetAttrString(cls.get(), "ordereddict_representer"));
    own(PyObject_CallMethod(cls.get(), "add_representer", "OO", OrderedDict.get(), representer.get()));
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
