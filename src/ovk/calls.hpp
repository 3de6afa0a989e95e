// ovk/calls.hpp - calling and walking interpreter objects from C++.
//
// The shapes that interpreter code writes in one line:
//   call_method(name, {obj, a, b})    obj.name(a, b)   (`name` interned; with
//                                     kwnames, the last values are keywords)
//   optional_attr(obj, name)          getattr(obj, name, <missing>): an empty
//                                     Ref when the attribute is missing
//   for_each(iterable, f)             for item in iterable: f(item)
//   unpack2(item)                     a, b = item   (with the interpreter's errors)
//   for_items(mapping, items, f)      for k, v in mapping.items(): f(k, v)
//                                     (`items` is the interned name "items")
// Exact lists, tuples and dicts are walked directly, each held while walked;
// every item is held while `f` runs. A dict that changes size while walked
// raises RuntimeError as its iteration would.
#pragma once
#include "ref.hpp"

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

inline std::pair<Ref, Ref> unpack2(PyObject* item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (!clear_if(PyExc_TypeError)) throw Error();
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    Ref a = Ref::steal(PyIter_Next(it.get()));
    Ref b = a ? Ref::steal(PyIter_Next(it.get())) : Ref();
    if (PyErr_Occurred()) throw Error();
    if (!b) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", a ? 1 : 0);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (PyErr_Occurred()) throw Error();
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(a), std::move(b)};
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
        auto [key, value] = unpack2(pair);
        body(key.get(), value.get());
    });
}

}  // namespace ovk
