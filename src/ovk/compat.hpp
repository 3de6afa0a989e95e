// ovk/compat.hpp - the interpreter API that differs between CPython versions,
// or that is private to the interpreter, in one place.
//
// Module code and the rest of the layer call these instead of the underlying
// API, so that a new CPython is this file's work. Each function has the
// reference rules of the C API it stands for (noted below), and sets a Python
// error and returns NULL / -1 on failure as that API does; it never throws.
//
//   type_lookup(type, name)       the attribute `name` in the type's MRO, without
//                                 descriptors run: borrowed, or NULL; no error
//   object_dict_ptr(obj)          where the instance dict of `obj` lives, or NULL
//   new_presized_dict(n)          a new dict with room for `n` items
//   type_dict(type)               the type's own namespace dict: new reference
//   type_dict_set(type, name, v)  write (v NULL: remove, if there) `name` in a
//                                 heap type's own namespace, past
//                                 type.__setattr__, and tell the type: 0 or -1
//   get_optional_attr(obj, name, &result)
//                                 getattr without AttributeError: 1 found
//                                 (result new), 0 missing, -1 error
//   dict_get_ref(d, key, &result) d[key] as a new reference: 1, 0 missing, -1
//   get_raised_exception()        the set error, taken out and normalised, with
//                                 its traceback: new reference, or NULL
//   set_raised_exception(exc)     set `exc` (stolen) as the error, with its own
//                                 traceback
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ovk::compat {

// Borrowed: it stays valid only while the type's namespace is not changed and
// no code runs that could change it (see ref.hpp on borrowed references).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

inline PyObject** object_dict_ptr(PyObject* obj) noexcept { return _PyObject_GetDictPtr(obj); }

inline PyObject* new_presized_dict(Py_ssize_t n) noexcept { return _PyDict_NewPresized(n); }

inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_NewRef(type->tp_dict);
#endif
}

// type.__setattr__ would also retarget the type's C slots to the new value (a
// function set as `__eq__` would replace the native comparison); this writes
// the namespace only, as the type's own definition does, then drops the
// type's method cache.
inline int type_dict_set(PyTypeObject* type, const char* name, PyObject* value) noexcept {
    PyObject* dict = type->tp_dict;  // a heap type's: its own, writable namespace
    int rc;
    if (value) {
        rc = PyDict_SetItemString(dict, name, value);
    } else {
        PyObject* key = PyUnicode_FromString(name);
        if (!key) return -1;
        rc = PyDict_Contains(dict, key);
        if (rc > 0) rc = PyDict_DelItem(dict, key);
        Py_DECREF(key);
    }
    if (rc < 0) return -1;
    PyType_Modified(type);
    return 0;
}

inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

inline int dict_get_ref(PyObject* d, PyObject* key, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(d, key, result);
#else
    // The caller holds the dict and the key: nothing runs between the lookup
    // and the new reference.
    *result = Py_XNewRef(PyDict_GetItemWithError(d, key));
    if (*result) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

inline PyObject* get_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

inline void set_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return PyErr_Clear();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyObject* tb = PyException_GetTraceback(exc);
    PyErr_Restore(type, exc, tb);
#endif
}

}  // namespace ovk::compat
