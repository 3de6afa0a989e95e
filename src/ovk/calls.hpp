// ovk/calls.hpp - calling and walking interpreter objects from C++.
//
// The shapes that interpreter code writes in one line:
//   call_method(name, {obj, a, b})    obj.name(a, b)   (`name` interned; with
//                                     kwnames, the last values are keywords)
//   interned_tuple({"a", "b"})        ("a", "b") of interned texts: keyword
//                                     names of a call, `__slots__`
//   attr(obj, name)                   obj.name
//   set_attr(obj, name, v)            obj.name = v
//   optional_attr(obj, name)          getattr(obj, name, <missing>): an empty
//                                     Ref when the attribute is missing
//   truth(v)                          bool(v)
//   for_each(iterable, f)             for item in iterable: f(item)
//   unpack<N>(item)                   a, b, c = item   (a std::array of N Refs,
//                                     with the interpreter's errors)
//   for_items(mapping, items, f)      for k, v in mapping.items(): f(k, v)
//                                     (`items` is the interned name "items")
// Exact lists, tuples and dicts are walked directly, each held while walked;
// every item is held while `f` runs. A dict that changes size while walked
// raises RuntimeError as its iteration would.
#pragma once
#include "ref.hpp"

#include <array>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace ovk {

inline Ref call_method(PyObject* name, std::initializer_list<PyObject*> self_and_args, PyObject* kwnames = nullptr) {
    PyObject* stack[12];
    size_t n = 0;
    for (PyObject* a : self_and_args) {
        if (n == std::size(stack)) raise(PyExc_SystemError, "call_method: too many arguments");
        stack[n++] = a;
    }
    size_t npos = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    return own(PyObject_VectorcallMethod(name, stack, npos, kwnames));
}

inline Ref interned_tuple(std::initializer_list<const char*> texts) {
    Ref t = own(PyTuple_New((Py_ssize_t)texts.size()));
    Py_ssize_t i = 0;
    for (const char* text : texts) PyTuple_SET_ITEM(t.get(), i++, intern(text).release());
    return t;
}

inline Ref attr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

inline bool truth(PyObject* v) {
    if (v == Py_True) return true;
    if (v == Py_False || v == Py_None) return false;
    return check(PyObject_IsTrue(v)) != 0;
}
inline bool truth(const Ref& v) { return truth(v.get()); }

inline Ref optional_attr(PyObject* obj, PyObject* name) {
    PyObject* result = nullptr;
    if (compat::get_optional_attr(obj, name, &result) < 0) throw Error();
    return Ref::steal(result);
}

template <class F>
inline void for_each(PyObject* iterable, F&& f) {
    Ref keep = Ref::borrow(iterable);  // f may drop the caller's reference
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));  // the list may change under f
            f(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) f(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    Ref it = own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) f(item.get());
    if (PyErr_Occurred()) throw Error();
}

template <size_t N>
inline std::array<Ref, N> unpack(PyObject* item) {
    std::array<Ref, N> out;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == (Py_ssize_t)N) {
        for (size_t i = 0; i < N; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(item, i));
        return out;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (!clear_if(PyExc_TypeError)) throw Error();
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    for (size_t i = 0; i < N; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (PyErr_Occurred()) throw Error();
        if (!out[i]) raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (PyErr_Occurred()) throw Error();
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
    return out;
}

template <class F>
inline void for_items(PyObject* mapping, PyObject* items_name, F&& body) {
    if (PyDict_CheckExact(mapping)) {
        Ref keep = Ref::borrow(mapping);
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(mapping);
        PyObject *k, *v;
        while (PyDict_Next(mapping, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            body(key.get(), value.get());
            if (PyDict_GET_SIZE(mapping) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    Ref items = call_method(items_name, {mapping});
    for_each(items.get(), [&](PyObject* pair) {
        auto [key, value] = unpack<2>(pair);
        body(key.get(), value.get());
    });
}

}  // namespace ovk
