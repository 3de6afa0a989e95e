// ovk/types.hpp - classes of a module.
//
// Two ways to make a class, both filling it with `Member`s:
//
// - `new_type(module, spec, bases, members)`: a native heap type from a
//   `PyType_Spec` (hot classes whose instances carry C++ fields, and classes on
//   a native base such as `dict`). Its slots are C++; its Python-visible methods
//   are our function objects, set on the type after creation.
// - `new_class(module, "Name", bases, doc, members, metaclass)`: a class made by
//   calling the metaclass, as a class statement does. This is the way to derive
//   from interpreter classes written in Python (`collections.UserString`,
//   `yaml.SafeLoader`, an ABC with its metaclass).
//
// Members: `method(def)`, `classmethod(def)`, `staticmethod(def)`,
// `property(getter_def[, setter_def])`, `value("NAME", ref)`. Functions get the
// qualified name "Class.name". Slot functions of a native type reach the module
// state through `type_state<State>(type)`, which follows subclasses too.
//
// Deallocation: a native type that takes part in garbage collection leaves
// `Py_tp_dealloc` out of its spec. `new_type` then gives it the layer's, which
// releases the instance's references through the type's `tp_clear` (so that
// slot must drop every reference the instance owns), clears weak references,
// and hands the memory to the base (`dict`'s dealloc for a dict subclass).
// It runs inside the interpreter's trashcan, as `dict` and `list` do, so that
// freeing a chain of a million nested instances does not overflow the C stack.
#pragma once
#include "module.hpp"

#include <string>
#include <vector>

namespace ovk {

struct Member {
    enum Kind { Method, ClassMethod, StaticMethod, Property, Value } kind;
    const char* name;
    const FuncDef* def = nullptr;
    const FuncDef* setter = nullptr;
    Ref value;
};

inline Member method(const FuncDef& d) { return {Member::Method, d.name, &d}; }
inline Member classmethod(const FuncDef& d) { return {Member::ClassMethod, d.name, &d}; }
inline Member staticmethod(const FuncDef& d) { return {Member::StaticMethod, d.name, &d}; }
inline Member property(const FuncDef& get, const FuncDef* set = nullptr) {
    return {Member::Property, get.name, &get, set};
}
inline Member value(const char* name, Ref v) { return {Member::Value, name, nullptr, nullptr, std::move(v)}; }

namespace detail {

// The default tp_dealloc of native GC types (see the top of this file).
inline void gc_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, gc_dealloc)
        // For an instance of a subclass written in Python, its own dealloc has run
        // and called ours: find our type, then the first base that is not ours.
        PyTypeObject* own_type = tp;
    while (own_type->tp_dealloc != gc_dealloc) own_type = own_type->tp_base;
    PyTypeObject* base = own_type->tp_base;
    while (base->tp_dealloc == gc_dealloc) base = base->tp_base;
    if (own_type->tp_weaklistoffset) {
        auto* weakrefs = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + own_type->tp_weaklistoffset);
        if (*weakrefs) PyObject_ClearWeakRefs(self);
    }
    if (own_type->tp_clear) own_type->tp_clear(self);
    if (base == &PyBaseObject_Type)
        tp->tp_free(self);
    else
        base->tp_dealloc(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

inline Ref wrap_member(PyObject* module, const Member& m, const char* owner) {
    if (m.kind == Member::Value) return m.value;
    Ref fn = make_function(module, *m.def, owner);
    switch (m.kind) {
        case Member::ClassMethod: return own(PyClassMethod_New(fn.get()));
        case Member::StaticMethod: return own(PyStaticMethod_New(fn.get()));
        case Member::Property: {
            Ref setter = m.setter ? make_function(module, *m.setter, owner) : Ref::borrow(Py_None);
            return own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), fn.get(),
                                                    setter.get(), nullptr));
        }
        default: return fn;
    }
}
}  // namespace detail

// A native heap type; `bases` may be null (object) or a type or tuple of types.
inline Ref new_type(PyObject* module, PyType_Spec* spec, PyObject* bases, const std::vector<Member>& members = {}) {
    std::vector<PyType_Slot> slots;
    bool has_dealloc = false;
    for (PyType_Slot* s = spec->slots; s->slot; ++s) {
        has_dealloc |= s->slot == Py_tp_dealloc;
        slots.push_back(*s);
    }
    if (!has_dealloc && (spec->flags & Py_TPFLAGS_HAVE_GC)) slots.push_back({Py_tp_dealloc, (void*)detail::gc_dealloc});
    slots.push_back({0, nullptr});
    PyType_Spec with_dealloc = *spec;  // the name stays the caller's static text
    with_dealloc.slots = slots.data();
    Ref type = own(PyType_FromModuleAndSpec(module, &with_dealloc, bases));
    Ref qualname = own(PyObject_GetAttrString(type.get(), "__qualname__"));
    const char* owner = check(PyUnicode_AsUTF8(qualname.get()));
    for (const Member& m : members)
        check(PyObject_SetAttrString(type.get(), m.name, detail::wrap_member(module, m, owner).get()));
    return type;
}

// A class made by calling `metaclass` (default: the type of the first base,
// else `type`) with (name, bases, namespace), as a class statement does.
inline Ref new_class(PyObject* module, const char* name, PyObject* bases, const char* doc,
                     const std::vector<Member>& members, PyObject* metaclass = nullptr) {
    Ref ns = own(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", own(PyObject_GetAttrString(module, "__name__")).get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", own(PyUnicode_FromString(name)).get()));
    if (doc) check(PyDict_SetItemString(ns.get(), "__doc__", own(PyUnicode_FromString(doc)).get()));
    for (const Member& m : members)
        check(PyDict_SetItemString(ns.get(), m.name, detail::wrap_member(module, m, name).get()));
    Ref base_tuple = bases ? Ref::borrow(bases) : own(PyTuple_New(0));
    if (!metaclass)
        metaclass = PyTuple_GET_SIZE(base_tuple.get())
                        ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(base_tuple.get(), 0)))
                        : reinterpret_cast<PyObject*>(&PyType_Type);
    Ref name_obj = own(PyUnicode_FromString(name));
    return own(PyObject_CallFunctionObjArgs(metaclass, name_obj.get(), base_tuple.get(), ns.get(), nullptr));
}

// The state of this module, reached from a native type it defined or from a
// subclass of one.
template <class State>
inline State& type_state(PyTypeObject* type) {
    PyObject* module = check(PyType_GetModuleByDef(type, ovk_module_def()));
    return state_of<State>(module);
}

}  // namespace ovk
