// ovk/ref.hpp - owning references and error propagation for C++ over the CPython API.
//
// Rules of use
// - `Ref` owns one strong reference (or none). It is made only through
//   `Ref::steal(p)` (takes over a new reference), `Ref::borrow(p)` (adds one) or
//   `own(p)` (steal a new reference that an API call returned, raising if it is
//   NULL). `release()` hands the reference back to the caller, for example as the
//   return value of a slot. Module code never calls `Py_DECREF` itself; only
//   `tp_dealloc` and `tp_clear` functions may.
// - `Error` is the one C++ exception of the layer. It means "a Python error is
//   already set". Throw it with `throw Error()` right after an API call failed
//   (or use `check`), or with `raise(type, fmt, ...)`, which sets the error first.
//   An exception object is raised with `raise(exc)` (`raise exc`),
//   `raise_in(exc, caught)` (`raise exc` inside `except` of an error taken
//   with `take_error`) or `raise_from(exc, cause[, caught])` (`raise exc from
//   cause`); `catch_error(type)` is `except type as e` and `clear_if(type)` is
//   `except type: pass`, for the error that is set.
// - Every function the interpreter calls (functions, slots, module exec) runs its
//   body through `boundary()`, which turns `Error` into the slot's error value
//   and never lets a C++ exception reach the interpreter (`std::bad_alloc`
//   becomes `MemoryError`, anything else `SystemError`).
// - `take_error()` takes a set error out as an exception object (`except E as
//   e`), `reraise(e)` raises such an object again (`raise e`), `restore_error(e)`
//   sets it again without unwinding, and `ErrorStash` holds a set error while
//   cleanup code runs.
// - Interpreter API that differs between versions, or is private, is reached
//   through compat.hpp only.
// - A borrowed reference (from `PyDict_GetItem*`, `PyDict_Next`,
//   `PyList_GET_ITEM`, `PyTuple_GET_ITEM` of a tuple someone may drop,
//   `compat::type_lookup`, a `Ref` field of an object whose attribute can be set, or
//   `.get()` of a `Ref` that will be reassigned) never outlives a call that can
//   run interpreter code: a comparison or hash (also inside a dict lookup), an
//   attribute access, a call, or a decref (a destructor). Take a `Ref` first,
//   of the item and, across a lookup, of the container (`dict_get` does both).
//   A loop that runs interpreter code between `PyDict_Next` steps holds the
//   dict and each key and value, and raises RuntimeError("dictionary changed
//   size during iteration") as the dict's own iterator would (`for_items`), or
//   walks a snapshot.
#pragma once
#include "compat.hpp"

#include <exception>
#include <new>
#include <utility>

namespace ovk {

// A Python error is set; unwind to the nearest boundary().
struct Error {};

// Raise `type` with a message formatted as PyErr_Format does.
template <class... A>
[[noreturn]] inline void raise(PyObject* type, const char* fmt, A... args) {
    if constexpr (sizeof...(A) == 0)
        PyErr_SetString(type, fmt);
    else
        PyErr_Format(type, fmt, args...);
    throw Error();
}

// `raise exc` for an exception object: it becomes the raised error, its
// context the exception being handled, as the statement makes it.
[[noreturn]] inline void raise(PyObject* exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    throw Error();
}

// `except ... as caught: raise exc from cause`, for an error this code caught
// (take_error): `caught` becomes the context of `exc` and `cause` its cause;
// an empty `cause` is `raise exc from None`, which keeps the context but hides
// it. `exc` is raised as it is.
[[noreturn]] inline void raise_from(PyObject* exc, PyObject* cause, PyObject* caught) {
    PyException_SetContext(exc, Py_XNewRef(caught));
    PyException_SetCause(exc, Py_XNewRef(cause));
    compat::set_raised_exception(Py_NewRef(exc));
    throw Error();
}

// `except ... as cause: raise exc from cause`: the caught `cause` is the cause
// and the context of `exc`.
[[noreturn]] inline void raise_from(PyObject* exc, PyObject* cause) { raise_from(exc, cause, cause); }

// `except ... as caught: raise exc`: `caught` becomes the context of `exc`.
[[noreturn]] inline void raise_in(PyObject* exc, PyObject* caught) {
    PyException_SetContext(exc, Py_XNewRef(caught));
    compat::set_raised_exception(Py_NewRef(exc));
    throw Error();
}

// `except type: pass`: the set error, if it is a `type` (a class or a tuple of
// classes), is cleared and true returned; otherwise it stays set.
inline bool clear_if(PyObject* type) noexcept {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

// Pass a pointer result through, throwing if the call failed (NULL).
template <class T>
inline T* check(T* p) {
    if (!p) throw Error();
    return p;
}
// Pass an int status through, throwing if the call failed (-1).
inline int check(int status) {
    if (status < 0) throw Error();
    return status;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    // The new value is held before the old one is dropped, so that *this stays
    // valid while the old object's destructor runs arbitrary code.
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference for an API that steals or for returning.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Take over the new reference an API call returned, raising if it failed.
inline Ref own(PyObject* p) { return Ref::steal(check(p)); }

// d[key] for a dict `d` (exact or subclass, without its __getitem__): a strong
// reference, or an empty Ref when the key is missing. A failing hash or
// comparison raises. The dict and the key are held during the lookup, whose
// comparisons may run code that drops the caller's references to them.
inline Ref dict_get(PyObject* d, PyObject* key) {
    Ref keep_dict = Ref::borrow(d), keep_key = Ref::borrow(key);
    PyObject* v = nullptr;
    if (compat::dict_get_ref(d, key, &v) < 0) throw Error();
    return Ref::steal(v);
}

// An interned text, made once (module exec) and kept in module state.
inline Ref intern(const char* s) { return own(PyUnicode_InternFromString(s)); }

// Inside a catch block: the C++ exception being handled as a set Python error
// (`Error`: already set; std::bad_alloc: MemoryError; anything else: SystemError).
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// Run `body` for the interpreter: `Error` and C++ exceptions become a Python
// error and `on_error` is returned.
template <class R, class F>
inline R boundary(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
    }
    return on_error;
}

// The set Python error, taken out (and cleared) as a normalised exception
// object that carries its traceback; empty if none is set. `except E as e`.
inline Ref take_error() noexcept { return Ref::steal(compat::get_raised_exception()); }

// `except type as e`: the set error, taken out (as take_error does) when it is
// a `type` (a class or a tuple of classes); any other error stays set and
// unwinds.
inline Ref catch_error(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) throw Error();
    return take_error();
}

// Set the exception object `exc` as the raised error again, with its own
// traceback and chaining, without unwinding (the error taken by take_error,
// put back after a look at it).
inline void restore_error(Ref exc) noexcept { compat::set_raised_exception(exc.release()); }

// Set the exception object `exc` as the raised error, with its own traceback
// and chaining (`raise e` of a caught `e`), and unwind.
[[noreturn]] inline void reraise(Ref exc) {
    restore_error(std::move(exc));
    throw Error();
}

// Holds the currently set Python error while cleanup code runs, and sets it
// again on scope exit.
class ErrorStash {
public:
    ErrorStash() noexcept : exc_(compat::get_raised_exception()) {}
    ~ErrorStash() { compat::set_raised_exception(exc_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;

private:
    PyObject* exc_;
};

// Py_EnterRecursiveCall / Py_LeaveRecursiveCall as a scope, so that no return
// path can skip the leave. Deep data raises RecursionError instead of crashing.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw Error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace ovk
