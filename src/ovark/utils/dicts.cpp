// ovark.utils.dicts - recursive update, setdefault and cast of nested mappings.
//
// Type tests are isinstance tests against collections.abc.Mapping and
// MutableSequence, read from the module namespace when used. While those names
// still hold the classes imported at load, the common exact types (dict, list,
// str, int, ...) are answered without the ABC machinery; anything else asks the
// ABC. The nested calls go through the module globals recursive_update,
// recursive_setdefault and recursive_cast, so that patching them works as in
// interpreter code; while they are ours, the recursion stays in C++.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {

// clang-format off
#define DICTS_NAMES(X)                                                                                       \
    X(Mapping) X(MutableSequence) X(LIST_EXTEND_PATTERN) X(recursive_update) X(recursive_setdefault)           \
    X(recursive_cast) X(items) X(get) X(setdefault) X(extend) X(match) X(groups)
OVK_NAMES(DICTS_NAMES)
// clang-format on

struct State {
    KnownClass Mapping, MutableSequence;    // the classes bound at load
    Ref update_fn, setdefault_fn, cast_fn;  // our own function objects
    Names names;
    auto refs() { return std::tie(Mapping.cls, MutableSequence.cls, update_fn, setdefault_fn, cast_fn); }
};

// isinstance(v, Mapping) / isinstance(v, MutableSequence), with the classes read
// from the module when used.
struct Abc {
    InstanceTest is_mapping, is_mutable_sequence;
    Abc(PyObject* module, State& st)
        : is_mapping(module, st.names[N_Mapping], st.Mapping),
          is_mutable_sequence(module, st.names[N_MutableSequence], st.MutableSequence) {}
};

// obj.get(key, {}) with a fresh empty dict as the fallback.
Ref get_or_empty(State& st, PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        if (Ref v = dict_get(obj, key)) return v;
        return own(PyDict_New());
    }
    Ref empty = own(PyDict_New());
    return call_method(st.names[N_get], {obj, key, empty.get()});
}

void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj))
        check(PyDict_SetItem(obj, key, value));
    else
        check(PyObject_SetItem(obj, key, value));
}

Ref update_impl(PyObject* module, State& st, PyObject* a, PyObject* b, PyObject* list_extend);

Ref recurse_update(PyObject* module, State& st, const Global& g, PyObject* a, PyObject* b) {
    if (g.ours) return update_impl(module, st, a, b, Py_False);
    PyObject* args[] = {a, b};
    return own(PyObject_Vectorcall(g.value.get(), args, 2, nullptr));
}

Ref update_impl(PyObject* module, State& st, PyObject* a, PyObject* b, PyObject* list_extend) {
    RecursionGuard guard(" in recursive_update");
    Abc abc(module, st);
    if (!abc.is_mapping(a) || !abc.is_mapping(b)) return Ref::borrow(b);
    Ref keep_a = Ref::borrow(a);
    for_items(b, st.names[N_items], [&](PyObject* k, PyObject* v) {
        if (abc.is_mapping(v)) {
            Global self(module, st.names[N_recursive_update], st.update_fn.get());
            Ref current = get_or_empty(st, a, k);
            Ref merged = recurse_update(module, st, self, current.get(), v);
            set_item(a, k, merged.get());
            return;
        }
        // (False, as every nested call passes, needs no sequence test.)
        if (list_extend != Py_False && abc.is_mutable_sequence(v) && truth(list_extend)) {
            Ref pattern = lookup(module, st.names[N_LIST_EXTEND_PATTERN]);
            Ref match = call_method(st.names[N_match], {pattern.get(), k});
            if (truth(match)) {
                Ref groups = call_method(st.names[N_groups], {match.get()});
                Ref name = own(PySequence_GetItem(groups.get(), 0));
                Ref empty = own(PyList_New(0));
                Ref target = call_method(st.names[N_setdefault], {a, name.get(), empty.get()});
                if (abc.is_mutable_sequence(target.get())) {
                    Ref current = own(PyObject_GetItem(a, name.get()));
                    call_method(st.names[N_extend], {current.get(), v});
                } else {
                    set_item(a, name.get(), v);
                }
                return;
            }
        }
        set_item(a, k, v);
    });
    return keep_a;
}

Ref setdefault_impl(PyObject* module, State& st, PyObject* a, PyObject* b) {
    RecursionGuard guard(" in recursive_setdefault");
    Abc abc(module, st);
    Ref keep_a = Ref::borrow(a);
    for_items(b, st.names[N_items], [&](PyObject* k, PyObject* v) {
        if (abc.is_mapping(v)) {
            Ref current = get_or_empty(st, a, k);
            if (abc.is_mapping(current.get())) {
                Global self(module, st.names[N_recursive_setdefault], st.setdefault_fn.get());
                Ref again = get_or_empty(st, a, k);
                Ref merged;
                if (self.ours) {
                    merged = setdefault_impl(module, st, again.get(), v);
                } else {
                    PyObject* args[] = {again.get(), v};
                    merged = own(PyObject_Vectorcall(self.value.get(), args, 2, nullptr));
                }
                set_item(a, k, merged.get());
                return;
            }
        }
        if (PyDict_CheckExact(a))
            check(PyDict_SetDefault(a, k, v) ? 0 : -1);
        else
            call_method(st.names[N_setdefault], {a, k, v});
    });
    return keep_a;
}

Ref cast_impl(PyObject* module, State& st, PyObject* d, PyObject* type_) {
    RecursionGuard guard(" in recursive_cast");
    Ref result = own(PyObject_CallOneArg(type_, d));
    PyObject* r = result.get();
    Abc abc(module, st);
    for_items(r, st.names[N_items], [&](PyObject* k, PyObject* v) {
        if (!abc.is_mapping(v)) return;
        Global self(module, st.names[N_recursive_cast], st.cast_fn.get());
        Ref current = get_or_empty(st, r, k);
        Ref cast;
        if (self.ours) {
            cast = cast_impl(module, st, current.get(), type_);
        } else {
            PyObject* args[] = {current.get(), type_};
            cast = own(PyObject_Vectorcall(self.value.get(), args, 2, nullptr));
        }
        set_item(r, k, cast.get());
    });
    return result;
}

Ref recursive_update(const Call& c, PyObject* a, PyObject* b, PyObject* list_extend) {
    return update_impl(c.module(), c.state<State>(), a, b, list_extend);
}
Ref recursive_setdefault(const Call& c, PyObject* a, PyObject* b) {
    return setdefault_impl(c.module(), c.state<State>(), a, b);
}
Ref recursive_cast(const Call& c, PyObject* d, PyObject* type_) {
    return cast_impl(c.module(), c.state<State>(), d, type_);
}

const FuncDef update_def{
    "recursive_update",
    "(a, b, *, list_extend=False)",
    "recursive_update\n\n    Recursively updates on nested dictionary a with dictionary b.\n",
    params<recursive_update>,
};

const FuncDef setdefault_def{
    "recursive_setdefault",
    "(a, b)",
    "recursive_setdefault\n\n    Recursively calls setdefault on nested dictionary a with dictionary b.\n",
    params<recursive_setdefault>,
};

const FuncDef cast_def{
    "recursive_cast",
    "(d, type_)",
    "recursive_cast\n\n    Recursively cast a nested dictionary to the provided class type\n",
    params<recursive_cast>,
};

void exec(PyObject* module, State& st) {
    st.names.init();
    Ref re = import_module("re");
    add_object(module, "re", re);
    st.Mapping = KnownClass::of(import_from("collections.abc", "Mapping"));
    st.MutableSequence = KnownClass::of(import_from("collections.abc", "MutableSequence"));
    add_object(module, "Mapping", st.Mapping.cls);
    add_object(module, "MutableSequence", st.MutableSequence.cls);
    add_object(module, "LIST_EXTEND_PATTERN",
               own(PyObject_CallMethod(re.get(), "compile", "s", "^%EXTEND_LIST{ *(.+?) *}$")));

    st.update_fn = make_function(module, update_def);
    st.setdefault_fn = make_function(module, setdefault_def);
    st.cast_fn = make_function(module, cast_def);
    add_object(module, "recursive_update", st.update_fn);
    add_object(module, "recursive_setdefault", st.setdefault_fn);
    add_object(module, "recursive_cast", st.cast_fn);
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
