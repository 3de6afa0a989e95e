// ovark.utils.locations - location_deepcopy, recursive_location_update and
// recursive_location_setdefault: data and location trees merged in step.
#include "state.hpp"

namespace locations {
namespace {

Ref deepcopy_impl(PyObject* module, State& st, PyObject* d) {
    RecursionGuard guard(" in location_deepcopy");
    Ref location_cls = lookup(module, st.names[N_Location]);
    Ref copy;
    if (check(PyObject_IsInstance(d, location_cls.get()))) {
        Ref file = attr(d, st.names[N_file]), line = attr(d, st.names[N_line]), column = attr(d, st.names[N_column]);
        if (location_cls.get() == st.location_type.get()) {
            copy = make_location(st, file.get(), line.get(), column.get());
        } else {
            copy = own(PyObject_CallNoArgs(location_cls.get()));
            set_location(st, copy.get(), file.get(), line.get(), column.get());
        }
    } else if (Abc(module, st).is_mapping(d)) {
        copy = new_dict();
    } else {
        return Ref::borrow(d);
    }
    for_items(d, st.names[N_items], [&](PyObject* k, PyObject* v) {
        Global self(module, st.names[N_location_deepcopy], st.deepcopy_fn.get());
        Ref value = self.ours ? deepcopy_impl(module, st, v) : own(PyObject_CallOneArg(self.value.get(), v));
        set_item(copy.get(), k, value.get());
    });
    return copy;
}

Ref location_deepcopy(const Call& c) { return deepcopy_impl(c.module(), c.state<State>(), c[0]); }

Ref update_impl(PyObject* module, State& st, PyObject* data, PyObject* new_data, PyObject* locations,
                PyObject* new_locations, PyObject* list_extend) {
    RecursionGuard guard(" in recursive_location_update");
    Abc abc(module, st);
    if (!abc.is_mapping(data) || !abc.is_mapping(new_data))
        raise(PyExc_TypeError, "recursive_location_update takes two dicts");
    Ref keep = Ref::borrow(data);
    auto none = [] { return Ref::borrow(Py_None); };
    for_items(new_data, st.names[N_items], [&](PyObject* k_in, PyObject* v) {
        Ref k = Ref::borrow(k_in);
        if (abc.is_mapping(v)) {
            Ref current = get_or(st, data, k.get(), none);
            if (abc.is_mapping(current.get())) {
                Ref sub = own(PyObject_GetItem(data, k.get()));
                Ref sub_loc = get_or(st, locations, k.get(), new_dict);
                Ref sub_new_loc = get_or(st, new_locations, k.get(), new_dict);
                Global self(module, st.names[N_recursive_location_update], st.update_fn.get());
                if (self.ours) {
                    update_impl(module, st, sub.get(), v, sub_loc.get(), sub_new_loc.get(), list_extend);
                } else {
                    Ref kwnames = own(PyTuple_Pack(1, st.names[N_list_extend]));
                    PyObject* args[] = {sub.get(), v, sub_loc.get(), sub_new_loc.get(), list_extend};
                    own(PyObject_Vectorcall(self.value.get(), args, 4, kwnames.get()));
                }
                return;
            }
        }
        if (abc.is_list(v) && truth(list_extend)) {
            Ref pattern = lookup(module, st.names[N_LIST_EXTEND_PATTERN]);
            Ref match = call_method(st.names[N_match], {pattern.get(), k.get()});
            if (truth(match)) {
                Ref groups = call_method(st.names[N_groups], {match.get()});
                Ref key = own(PySequence_GetItem(groups.get(), 0));
                Ref target = get_or(st, data, key.get(), none);
                if (abc.is_list(target.get())) {
                    Ref max_idx = st.minus_one;
                    Ref present = call_method(st.names[N_setdefault], {locations, key.get(), new_dict().get()});
                    if (truth(present)) {
                        Ref target_locs = own(PyObject_GetItem(locations, key.get()));
                        Ref keys = call_method(st.names[N_keys], {target_locs.get()});
                        Ref max = lookup(module, st.names[N_max]);
                        max_idx = own(PyObject_CallOneArg(max.get(), keys.get()));
                    }
                    Ref added = get_or(st, new_locations, k.get(), new_dict);
                    for_items(added.get(), st.names[N_items], [&](PyObject* i, PyObject* l) {
                        Ref pos = own(PyNumber_Add(own(PyNumber_Add(max_idx.get(), i)).get(), st.one.get()));
                        Ref target_locs = own(PyObject_GetItem(locations, key.get()));
                        set_item(target_locs.get(), pos.get(), l);
                    });
                    Ref current = own(PyObject_GetItem(data, key.get()));
                    Ref items = own(PyObject_GetItem(new_data, k.get()));
                    call_method(st.names[N_extend], {current.get(), items.get()});
                    return;
                }
                Ref moved = call_method(st.names[N_pop], {new_locations, k.get()});
                set_item(new_locations, key.get(), moved.get());
                k = key;
            }
        }
        Ref loc = get_or(st, new_locations, k.get(), new_dict);
        set_item(locations, k.get(), loc.get());
        set_item(data, k.get(), v);
    });
    return keep;
}

Ref recursive_location_update(const Call& c, PyObject* data, PyObject* new_data, PyObject* locations,
                              PyObject* new_locations, PyObject* list_extend) {
    return update_impl(c.module(), c.state<State>(), data, new_data, locations, new_locations, list_extend);
}

Ref setdefault_impl(PyObject* module, State& st, PyObject* data, PyObject* new_data, PyObject* locations,
                    PyObject* new_locations) {
    RecursionGuard guard(" in recursive_location_setdefault");
    Abc abc(module, st);
    if (!abc.is_mapping(data) || !abc.is_mapping(new_data))
        raise(PyExc_TypeError, "recursive_location_setdefault takes two dicts");
    Ref keep = Ref::borrow(data);
    for_items(new_data, st.names[N_items], [&](PyObject* k, PyObject* v) {
        if (abc.is_mapping(v)) {
            Ref current = get_or(st, data, k, [] { return Ref::borrow(Py_None); });
            if (abc.is_mapping(current.get())) {
                Ref sub = own(PyObject_GetItem(data, k));
                Ref sub_loc = own(PyObject_GetItem(locations, k));
                Ref sub_new_loc = own(PyObject_GetItem(new_locations, k));
                Global self(module, st.names[N_recursive_location_setdefault], st.setdefault_fn.get());
                if (self.ours) {
                    setdefault_impl(module, st, sub.get(), v, sub_loc.get(), sub_new_loc.get());
                } else {
                    PyObject* args[] = {sub.get(), v, sub_loc.get(), sub_new_loc.get()};
                    own(PyObject_Vectorcall(self.value.get(), args, 4, nullptr));
                }
                return;
            }
        }
        if (!check(PySequence_Contains(data, k))) {
            Ref loc = own(PyObject_GetItem(new_locations, k));
            set_item(locations, k, loc.get());
            set_item(data, k, v);
        }
    });
    return keep;
}

Ref recursive_location_setdefault(const Call& c, PyObject* data, PyObject* new_data, PyObject* locations,
                                  PyObject* new_locations) {
    return setdefault_impl(c.module(), c.state<State>(), data, new_data, locations, new_locations);
}

}  // namespace

const FuncDef deepcopy_def{
    "location_deepcopy",
    "(d)",
    "Copy a location tree: new Location records (same file, line, column) and new\n"
    "dicts for the mappings in it; any other value is returned as it is.",
    location_deepcopy,
};
const FuncDef update_def{
    "recursive_location_update",
    "(data, new_data, locations, new_locations, list_extend=False)",
    "Recursively update data with new_data, and locations with new_locations in step.\n\n"
    "With list_extend, a key '%EXTEND_LIST{name}' (at any level) extends the list\n"
    "under name, the new items' locations numbered after the present ones.",
    params<recursive_location_update>,
};
const FuncDef setdefault_def{
    "recursive_location_setdefault",
    "(data, new_data, locations, new_locations)",
    "Recursively add the entries of new_data missing from data, with their locations.",
    params<recursive_location_setdefault>,
};

}  // namespace locations
