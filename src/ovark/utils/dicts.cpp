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

struct State {
    Ref Mapping, MutableSequence, pattern;  // the objects bound at load
    Ref update_fn, setdefault_fn, cast_fn;  // our own function objects
    Ref n_Mapping, n_MutableSequence, n_LIST_EXTEND_PATTERN, n_recursive_update, n_recursive_setdefault,
        n_recursive_cast, n_items, n_get, n_setdefault, n_extend, n_match, n_groups;
    auto refs() {
        return std::tie(Mapping, MutableSequence, pattern, update_fn, setdefault_fn, cast_fn, n_Mapping,
                        n_MutableSequence, n_LIST_EXTEND_PATTERN, n_recursive_update, n_recursive_setdefault,
                        n_recursive_cast, n_items, n_get, n_setdefault, n_extend, n_match, n_groups);
    }
};

// Exact builtin types whose answer to both ABCs is known without asking them.
inline bool plain_scalar(PyObject* v) {
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
           v == Py_None || PyTuple_CheckExact(v) || PyBytes_CheckExact(v);
}

// isinstance(v, Mapping) / isinstance(v, MutableSequence), with the classes read
// from the module when used.
struct Abc {
    Ref mapping, mutable_sequence;
    bool mapping_ours, sequence_ours;

    Abc(PyObject* module, State& st)
        : mapping(lookup(module, st.n_Mapping.get())), mutable_sequence(lookup(module, st.n_MutableSequence.get())) {
        mapping_ours = mapping.get() == st.Mapping.get();
        sequence_ours = mutable_sequence.get() == st.MutableSequence.get();
    }

    bool is_mapping(PyObject* v) const {
        if (mapping_ours) {
            if (PyDict_CheckExact(v)) return true;
            if (PyList_CheckExact(v) || plain_scalar(v)) return false;
        }
        return check(PyObject_IsInstance(v, mapping.get()));
    }
    bool is_mutable_sequence(PyObject* v) const {
        if (sequence_ours) {
            if (PyList_CheckExact(v)) return true;
            if (PyDict_CheckExact(v) || plain_scalar(v)) return false;
        }
        return check(PyObject_IsInstance(v, mutable_sequence.get()));
    }
};

// obj.get(key, {}) with a fresh empty dict as the fallback.
Ref get_or_empty(State& st, PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        if (Ref v = dict_get(obj, key)) return v;
        return own(PyDict_New());
    }
    Ref empty = own(PyDict_New());
    return call_method(st.n_get.get(), {obj, key, empty.get()});
}

void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj))
        check(PyDict_SetItem(obj, key, value));
    else
        check(PyObject_SetItem(obj, key, value));
}

// The module global `name`, and whether it is still our own function `ours`.
struct Global {
    Ref fn;
    bool ours;
    Global(PyObject* module, PyObject* name, PyObject* own_fn) : fn(lookup(module, name)), ours(fn.get() == own_fn) {}
};

Ref update_impl(PyObject* module, State& st, PyObject* a, PyObject* b, PyObject* list_extend);

Ref recurse_update(PyObject* module, State& st, const Global& g, PyObject* a, PyObject* b) {
    if (g.ours) return update_impl(module, st, a, b, Py_False);
    PyObject* args[] = {a, b};
    return own(PyObject_Vectorcall(g.fn.get(), args, 2, nullptr));
}

Ref update_impl(PyObject* module, State& st, PyObject* a, PyObject* b, PyObject* list_extend) {
    RecursionGuard guard(" in recursive_update");
    Abc abc(module, st);
    if (!abc.is_mapping(a) || !abc.is_mapping(b)) return Ref::borrow(b);
    Ref keep_a = Ref::borrow(a);
    for_items(b, st.n_items.get(), [&](PyObject* k, PyObject* v) {
        if (abc.is_mapping(v)) {
            Global self(module, st.n_recursive_update.get(), st.update_fn.get());
            Ref current = get_or_empty(st, a, k);
            Ref merged = recurse_update(module, st, self, current.get(), v);
            set_item(a, k, merged.get());
            return;
        }
        // (False, as every nested call passes, needs no sequence test.)
        if (list_extend != Py_False && abc.is_mutable_sequence(v) && check(PyObject_IsTrue(list_extend))) {
            Ref pattern = lookup(module, st.n_LIST_EXTEND_PATTERN.get());
            Ref match = call_method(st.n_match.get(), {pattern.get(), k});
            if (check(PyObject_IsTrue(match.get()))) {
                Ref groups = call_method(st.n_groups.get(), {match.get()});
                Ref name = own(PySequence_GetItem(groups.get(), 0));
                Ref empty = own(PyList_New(0));
                Ref target = call_method(st.n_setdefault.get(), {a, name.get(), empty.get()});
                if (abc.is_mutable_sequence(target.get())) {
                    Ref current = own(PyObject_GetItem(a, name.get()));
                    call_method(st.n_extend.get(), {current.get(), v});
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
    for_items(b, st.n_items.get(), [&](PyObject* k, PyObject* v) {
        if (abc.is_mapping(v)) {
            Ref current = get_or_empty(st, a, k);
            if (abc.is_mapping(current.get())) {
                Global self(module, st.n_recursive_setdefault.get(), st.setdefault_fn.get());
                Ref again = get_or_empty(st, a, k);
                Ref merged;
                if (self.ours) {
                    merged = setdefault_impl(module, st, again.get(), v);
                } else {
                    PyObject* args[] = {again.get(), v};
                    merged = own(PyObject_Vectorcall(self.fn.get(), args, 2, nullptr));
                }
                set_item(a, k, merged.get());
                return;
            }
        }
        if (PyDict_CheckExact(a))
            check(PyDict_SetDefault(a, k, v) ? 0 : -1);
        else
            call_method(st.n_setdefault.get(), {a, k, v});
    });
    return keep_a;
}

Ref cast_impl(PyObject* module, State& st, PyObject* d, PyObject* type_) {
    RecursionGuard guard(" in recursive_cast");
    Ref result = own(PyObject_CallOneArg(type_, d));
    PyObject* r = result.get();
    Abc abc(module, st);
    for_items(r, st.n_items.get(), [&](PyObject* k, PyObject* v) {
        if (!abc.is_mapping(v)) return;
        Global self(module, st.n_recursive_cast.get(), st.cast_fn.get());
        Ref current = get_or_empty(st, r, k);
        Ref cast;
        if (self.ours) {
            cast = cast_impl(module, st, current.get(), type_);
        } else {
            PyObject* args[] = {current.get(), type_};
            cast = own(PyObject_Vectorcall(self.fn.get(), args, 2, nullptr));
        }
        set_item(r, k, cast.get());
    });
    return result;
}

Ref recursive_update(const Call& c) { return update_impl(c.module(), c.state<State>(), c[0], c[1], c[2]); }
Ref recursive_setdefault(const Call& c) { return setdefault_impl(c.module(), c.state<State>(), c[0], c[1]); }
Ref recursive_cast(const Call& c) { return cast_impl(c.module(), c.state<State>(), c[0], c[1]); }

const FuncDef update_def{
    "recursive_update",
    "(a, b, *, list_extend=False)",
    "recursive_update\n\n    Recursively updates on nested dictionary a with dictionary b.\n",
    recursive_update,
};

const FuncDef setdefault_def{
    "recursive_setdefault",
    "(a, b)",
    "recursive_setdefault\n\n    Recursively calls setdefault on nested dictionary a with dictionary b.\n",
    recursive_setdefault,
};

const FuncDef cast_def{
    "recursive_cast",
    "(d, type_)",
    "recursive_cast\n\n    Recursively cast a nested dictionary to the provided class type\n",
    recursive_cast,
};

void exec(PyObject* module, State& st) {
    Ref re = own(PyImport_ImportModule("re"));
    add_object(module, "re", re);
    Ref abc = own(PyImport_ImportModule("collections.abc"));
    st.Mapping = own(PyObject_GetAttrString(abc.get(), "Mapping"));
    st.MutableSequence = own(PyObject_GetAttrString(abc.get(), "MutableSequence"));
    add_object(module, "Mapping", st.Mapping);
    add_object(module, "MutableSequence", st.MutableSequence);
    st.pattern = own(PyObject_CallMethod(re.get(), "compile", "s", "^%EXTEND_LIST{ *(.+?) *}$"));
    add_object(module, "LIST_EXTEND_PATTERN", st.pattern);

    for (auto [ref, text] : {std::pair{&st.n_Mapping, "Mapping"},
                             {&st.n_MutableSequence, "MutableSequence"},
                             {&st.n_LIST_EXTEND_PATTERN, "LIST_EXTEND_PATTERN"},
                             {&st.n_recursive_update, "recursive_update"},
                             {&st.n_recursive_setdefault, "recursive_setdefault"},
                             {&st.n_recursive_cast, "recursive_cast"},
                             {&st.n_items, "items"},
                             {&st.n_get, "get"},
                             {&st.n_setdefault, "setdefault"},
                             {&st.n_extend, "extend"},
                             {&st.n_match, "match"},
                             {&st.n_groups, "groups"}})
        *ref = intern(text);

    st.update_fn = make_function(module, update_def);
    st.setdefault_fn = make_function(module, setdefault_def);
    st.cast_fn = make_function(module, cast_def);
    add_object(module, "recursive_update", st.update_fn);
    add_object(module, "recursive_setdefault", st.setdefault_fn);
    add_object(module, "recursive_cast", st.cast_fn);
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
