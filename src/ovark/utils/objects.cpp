// ovark.utils.objects - the object query engine.
//
// `find` walks nested objects, mappings and sequences and returns what
// satisfies a set of requirements (`R`); the operators (`Operator`, `Not`,
// `Contains`, `NotExists`) stand in a requirement in place of a plain key or
// value. `GroupKeys.group_keys` tabulates find results by named pattern groups.
//
// Layout of this file, top to bottom:
//   State and call context     module state; `Ctx`, the working state of one
//                              top-level call (globals read at call time,
//                              pattern cache, bookkeeping)
//   Small helpers              truth, text form, pattern tests
//   R and the operators        native heap types; their C slots and the
//                              documented methods run the same code
//   Find._normalize_r, _formalize_loopable
//   Find._match                the matcher: requirements are regrouped once
//                              into a `Plan`, then one function per rule
//   Find.find                  the driver: path requirements are compiled
//                              into `PathPlan`s and walked; one function per
//                              step (take_step, walk, combine, all_keys, index)
//   Find._build_dict, _unhashable_*, reset_keys, _populate_path
//   GroupKeys
//   Module body
//
// Engine calls on a `Find` whose methods are not overridden run in C++ all
// the way down; when a subclass (or a patch) replaces one of them, the engine
// calls the methods through the instance, as interpreter code would.
//
// Concurrency: all working state of a search lives in its `Ctx`, so calls from
// several threads on the shared module-level instance each get the result a
// lone call would give. The bookkeeping attributes (`initial_object`, ...) are
// still written to the instance for callers that read them.
#include "ovk/ovk.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

using namespace ovk;

namespace {

// ---------------------------------------------------------------------------
// State and call context
// ---------------------------------------------------------------------------

struct State {
    Ref Find, R, Operator, Not, Contains, NotExists, GroupKeys;
    Ref pattern_type;  // type(re.compile(""))
    Ref ast;           // imported on first use by _build_dict
    // The methods of Find as made here, to tell when one is overridden.
    Ref f_find, f_match, f_normalize_r, f_formalize_loopable, f_build_dict, f_unhashable_intersection,
        f_unhashable_remove, f_reset_keys;
    // Interned names.
    Ref n_re, n_copy, n_Iterable, n_Mapping, n_TopologyObject, n_BaseLogic, n_logger, n_compile, n_match, n_items,
        n_values, n_warning, n_groupindex, n_hash, n_args, n_value, n_pattern,
        n_initial_object, n_initial_requirements, n_to_find_dict, n_found_objects, n_initial_found_objects, n_find,
        n__match, n__normalize_r, n__formalize_loopable, n__build_dict, n__unhashable_intersection,
        n__unhashable_remove, n_reset_keys, n_filter_, n__first, n_all_keys, n_use__syntax, n_from_, n_keys,
        n_index, n_remove, n_insert, n_deepcopy, n_get, n_dict, n_literal_eval, n_empty, n_sort, n_key, n_getitem;
    auto refs() {
        return std::tie(Find, R, Operator, Not, Contains, NotExists, GroupKeys, pattern_type, ast, f_find, f_match,
                        f_normalize_r, f_formalize_loopable, f_build_dict, f_unhashable_intersection,
                        f_unhashable_remove, f_reset_keys, n_re, n_copy, n_Iterable, n_Mapping, n_TopologyObject, n_BaseLogic,
                        n_logger, n_compile, n_match, n_items, n_values, n_warning, n_groupindex, n_hash,
                        n_args, n_value, n_pattern, n_initial_object,
                        n_initial_requirements, n_to_find_dict, n_found_objects, n_initial_found_objects, n_find,
                        n__match, n__normalize_r, n__formalize_loopable, n__build_dict,
                        n__unhashable_intersection, n__unhashable_remove, n_reset_keys, n_filter_, n__first,
                        n_all_keys, n_use__syntax, n_from_, n_keys, n_index, n_remove, n_insert, n_deepcopy, n_get,
                        n_dict, n_literal_eval, n_empty, n_sort, n_key, n_getitem);
    }
};

PyObject* module_of_type(PyTypeObject* type) { return check(PyType_GetModuleByDef(type, ovk_module_def())); }

// The working state of one call of the engine.
struct Ctx {
    State& st;
    PyObject* module;
    PyObject* self;  // the Find instance, or nullptr outside Find
    // Module globals, read once at the start of the call.
    Ref re, Iterable, Mapping, TopologyObject, BaseLogic;
    bool direct = true;        // Find's methods are the ones made here
    bool has_initial = false;  // the bookkeeping of the outermost call is set
    Ref patterns;              // pattern text -> compiled pattern
    std::unordered_map<PyObject*, bool> always;  // compiled pattern -> matches every text
    std::vector<Ref> kept;                       // keeps the keys of `always` alive

    Ctx(State& s, PyObject* m, PyObject* self_ = nullptr) : st(s), module(m), self(self_) {
        re = lookup(m, st.n_re.get());
        Iterable = lookup(m, st.n_Iterable.get());
        Mapping = lookup(m, st.n_Mapping.get());
        TopologyObject = lookup(m, st.n_TopologyObject.get());
        BaseLogic = lookup(m, st.n_BaseLogic.get());
        if (self) direct = methods_are_ours();
    }

    bool methods_are_ours() const {
        auto* type = Py_TYPE(self);
        std::pair<PyObject*, PyObject*> checks[] = {
            {st.n_find.get(), st.f_find.get()},
            {st.n__match.get(), st.f_match.get()},
            {st.n__normalize_r.get(), st.f_normalize_r.get()},
            {st.n__formalize_loopable.get(), st.f_formalize_loopable.get()},
            {st.n__build_dict.get(), st.f_build_dict.get()},
            {st.n__unhashable_intersection.get(), st.f_unhashable_intersection.get()},
            {st.n__unhashable_remove.get(), st.f_unhashable_remove.get()},
            {st.n_reset_keys.get(), st.f_reset_keys.get()},
        };
        for (auto [name, fn] : checks)
            if (_PyType_Lookup(type, name) != fn) return false;
        return true;
    }
};

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

bool truth(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return check(PyObject_IsTrue(o)) != 0;
}
bool truth(const Ref& o) { return truth(o.get()); }

Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw Error();
    return n;
}

// `a == b` as interpreter code writes it (no identity short cut).
bool equal(PyObject* a, PyObject* b) { return truth(own(PyObject_RichCompare(a, b, Py_EQ))); }

// str(o), without a call for a str.
Ref text_of(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    return own(PyObject_Str(o));
}

bool text_starts_with(PyObject* text, const char* prefix) {
    Py_ssize_t n = (Py_ssize_t)strlen(prefix);
    if (PyUnicode_GET_LENGTH(text) < n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ_CHAR(text, i) != (Py_UCS4)(unsigned char)prefix[i]) return false;
    return true;
}

// A str (or subclass) whose text starts with `prefix`.
bool is_text_with(PyObject* o, const char* prefix) { return PyUnicode_Check(o) && text_starts_with(o, prefix); }

// The rule that makes a key, step or value a pattern: a str whose first
// character is "(" (a tuple key, whose text also starts so, is a plain key).
bool is_pattern(PyObject* o) { return is_text_with(o, "("); }

// isinstance(o, Mapping): a mapping is looked into by key, anything else (even
// an object with an attribute called `items`) by attribute.
bool is_mapping(PyObject* o, PyObject* mapping_cls) {
    if (PyDict_Check(o)) return true;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) ||
        PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None)
        return false;
    return check(PyObject_IsInstance(o, mapping_cls)) != 0;
}

bool is_exact_text(PyObject* o, const char* text) {
    return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// format(o, "") as str.format does it for "{}".
Ref fmt(State& st, PyObject* o) { return own(PyObject_Format(o, st.n_empty.get())); }

Ref new_list() { return own(PyList_New(0)); }
void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }
Ref pair_of(PyObject* a, PyObject* b) { return own(PyTuple_Pack(2, a, b)); }
Ref list_of(std::initializer_list<PyObject*> items) {
    Ref l = own(PyList_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (PyObject* it : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(it));
    return l;
}

// The current exception is an Exception (not a KeyboardInterrupt, ...): clear it.
bool swallow_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// A TypeError whose text starts with "unhashable type" is set.
bool unhashable_error_set() {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    bool result = false;
    if (Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr))
        result = text_starts_with(text.get(), "unhashable type");
    else
        PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return result;
}

// The set built from results hashes them: run the hash of `o` where it may run
// code or fail otherwise than as unhashable, so that such failures propagate.
void probe_hash(PyObject* o) {
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) ||
        o == Py_None || PyDict_CheckExact(o) || PyList_CheckExact(o))
        return;
    if (PyObject_Hash(o) == -1 && PyErr_Occurred()) {
        if (!unhashable_error_set()) throw Error();
        PyErr_Clear();
    }
}

// ---------------------------------------------------------------------------
// Patterns
// ---------------------------------------------------------------------------

// Pattern texts that match every text from its start: ".*" may match nothing.
bool always_matching_text(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ_CHAR(text, i); };
    auto tail = [&](Py_ssize_t i) {  // ".*)" or ".*?)" from i to the end
        if (n - i == 3) return at(i) == '.' && at(i + 1) == '*' && at(i + 2) == ')';
        if (n - i == 4) return at(i) == '.' && at(i + 1) == '*' && at(i + 2) == '?' && at(i + 3) == ')';
        return false;
    };
    if (n < 4 || at(0) != '(') return false;
    if (tail(1)) return true;
    // "(?P<name>.*)"
    if (n < 8 || at(1) != '?' || at(2) != 'P' || at(3) != '<') return false;
    Py_ssize_t i = 4;
    auto word = [](Py_UCS4 ch, bool first) {
        return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (!first && ch >= '0' && ch <= '9');
    };
    if (i >= n || !word(at(i), true)) return false;
    while (i < n && word(at(i), false)) ++i;
    if (i >= n || at(i) != '>') return false;
    return tail(i + 1);
}

// re.compile(text), each distinct text once per call.
Ref compile(Ctx& c, PyObject* text) {
    bool cacheable = PyUnicode_CheckExact(text);
    if (cacheable && c.patterns) {
        if (PyObject* hit = PyDict_GetItemWithError(c.patterns.get(), text)) return Ref::borrow(hit);
        if (PyErr_Occurred()) throw Error();
    }
    Ref compiled = call_method(c.st.n_compile.get(), {c.re.get(), text});
    if (cacheable) {
        if (!c.patterns) c.patterns = own(PyDict_New());
        check(PyDict_SetItem(c.patterns.get(), text, compiled.get()));
        c.always[compiled.get()] = always_matching_text(text);
        c.kept.push_back(compiled);
    }
    return compiled;
}

// Whether `regex` (a compiled pattern) matches every text.
bool always_matches(Ctx& c, PyObject* regex) {
    auto found = c.always.find(regex);
    if (found != c.always.end()) return found->second;
    bool always = false;
    if (Py_TYPE(regex) == reinterpret_cast<PyTypeObject*>(c.st.pattern_type.get())) {
        Ref text = own(PyObject_GetAttr(regex, c.st.n_pattern.get()));
        always = always_matching_text(text.get());
    }
    c.kept.push_back(Ref::borrow(regex));
    c.always[regex] = always;
    return always;
}

// regex.match(text), as a truth value.
bool regex_truth(Ctx& c, PyObject* regex, PyObject* text) {
    if (always_matches(c, regex)) return true;
    return truth(call_method(c.st.n_match.get(), {regex, text}));
}

// re.compile(text); one that does not compile raises the engine's ValueError.
Ref compile_or_value_error(Ctx& c, PyObject* text) {
    Ref compiled;
    try {
        compiled = compile(c, text);
    } catch (const Error&) {
        if (!swallow_exception()) throw;
        Ref shown = own(PyObject_Format(text, c.st.n_empty.get()));
        raise(PyExc_ValueError, "'%U' is not a valid regex expression", shown.get());
    }
    return compiled;
}

// ---------------------------------------------------------------------------
// R and the operators
// ---------------------------------------------------------------------------

struct RObject {
    PyObject_HEAD
    Ref args, kwargs, dict;
    PyObject* weakrefs;
};

struct OperatorObject {
    PyObject_HEAD
    Ref value, regex, parent, dict;
    PyObject* weakrefs;
};

RObject* as_r(PyObject* o) { return reinterpret_cast<RObject*>(o); }
OperatorObject* as_op(PyObject* o) { return reinterpret_cast<OperatorObject*>(o); }

// A field of an instance, as a strong reference: the fields are writable
// attributes, so any code that runs while one is in use (a comparison, a
// hash, a call) may replace it. A deleted attribute raises as an attribute
// lookup would.
Ref field(PyObject* obj, const Ref& f, const char* name) {
    if (!f) raise(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(obj)->tp_name, name);
    return f;
}

bool is_r(State& st, PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.R.get())); }
bool is_operator(State& st, PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.Operator.get()));
}
bool is_not(State& st, PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.Not.get())); }
bool is_notexists(State& st, PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.NotExists.get()));
}

// R(path), made without a call.
Ref new_r(State& st, PyObject* args, PyObject* kwargs) {
    auto* type = reinterpret_cast<PyTypeObject*>(st.R.get());
    Ref r = own(type->tp_alloc(type, 0));
    as_r(r.get())->args = Ref::borrow(args);
    as_r(r.get())->kwargs = Ref::borrow(kwargs);
    return r;
}
Ref new_path_r(State& st, PyObject* path) {
    Ref args = own(PyTuple_Pack(1, path));
    return new_r(st, args.get(), own(PyDict_New()).get());
}

// `value`, `regex` and `parent` of an operator, read and written in place:
// every instance, subclasses included, has the layout of OperatorObject.
Ref op_value(PyObject* op) { return field(op, as_op(op)->value, "value"); }
Ref op_regex(PyObject* op) { return field(op, as_op(op)->regex, "regex"); }
void set_parent(PyObject* op, PyObject* parent) { as_op(op)->parent = Ref::borrow(parent); }

// An operator whose value is a pattern that compiled.
bool has_pattern(PyObject* op) {
    PyObject* regex = as_op(op)->regex.get();
    return regex && regex != Py_None;
}

// --- the comparisons, shared by the slots, the methods and the engine -------

// Operator.__eq__: a match object or None for a pattern and a truthy other,
// else value == other.
Ref operator_eq(State& st, PyObject* self, PyObject* other) {
    Ref regex = op_regex(self);
    if (truth(regex) && truth(other)) {
        Ref text = text_of(other);
        return call_method(st.n_match.get(), {regex.get(), text.get()});
    }
    return own(PyObject_RichCompare(op_value(self).get(), other, Py_EQ));
}

bool operator_truth(Ctx* c, PyObject* self, PyObject* other) {
    Ref regex = op_regex(self);
    if (truth(regex) && truth(other)) {
        Ref text = text_of(other);
        if (c) return regex_truth(*c, regex.get(), text.get());
        return truth(call_method(type_state<State>(Py_TYPE(self)).n_match.get(), {regex.get(), text.get()}));
    }
    return equal(op_value(self).get(), other);
}

// Contains.__eq__: a bool, or what Operator.__eq__ gives. `c` is the engine's
// call context, or nullptr when called from the interpreter.
Ref contains_eq(State& st, PyObject* module, PyObject* self, PyObject* other, Ctx* c, bool* as_truth) {
    Ref value = op_value(self);
    if (other == Py_None || value.get() == Py_None) return Ref::borrow(Py_False);
    Ref mapping = c ? c->Mapping : lookup(module, st.n_Mapping.get());
    if (is_mapping(other, mapping.get())) {
        Ref values = call_method(st.n_values.get(), {other});
        if (check(PySequence_Contains(values.get(), value.get()))) return Ref::borrow(Py_True);
    }
    Ref iterable = c ? c->Iterable : lookup(module, st.n_Iterable.get());
    if (check(PyObject_IsInstance(other, iterable.get())) && check(PySequence_Contains(other, value.get())))
        return Ref::borrow(Py_True);
    if (as_truth) {
        *as_truth = operator_truth(c, self, other);
        return Ref();
    }
    return operator_eq(st, self, other);
}

// NotExists.__eq__: whether `value` is absent from `parent` (a key of a
// mapping, a truthy attribute of anything else).
bool notexists_truth(PyObject* mapping_cls, PyObject* self, PyObject* parent) {
    Ref value = op_value(self);
    if (is_mapping(parent, mapping_cls)) {
        int has = PyDict_CheckExact(parent) ? PyDict_Contains(parent, value.get())
                                            : PySequence_Contains(parent, value.get());
        if (check(has)) return false;
    }
    Ref name = text_of(value.get());
    if (Ref held = optional_attr(parent, name.get()); held && truth(held)) return false;
    return true;
}

PyObject* op_richcompare(PyObject* self, PyObject* other, int op);
PyObject* not_richcompare(PyObject* self, PyObject* other, int op);
PyObject* contains_richcompare(PyObject* self, PyObject* other, int op);
PyObject* notexists_richcompare(PyObject* self, PyObject* other, int op);

enum class OpKind { Other, Operator, Not, Contains, NotExists };

// Which of our comparisons `o`'s class still runs (a class that overrides
// __eq__, or a patched one, gets Other).
OpKind op_kind(PyObject* o) {
    richcmpfunc f = Py_TYPE(o)->tp_richcompare;
    if (f == op_richcompare) return OpKind::Operator;
    if (f == not_richcompare) return OpKind::Not;
    if (f == contains_richcompare) return OpKind::Contains;
    if (f == notexists_richcompare) return OpKind::NotExists;
    return OpKind::Other;
}

// The truth of `op == other` for the engine. `parent` is what the engine has
// just set as op.parent (a NotExists reads it).
bool op_equals(Ctx& c, PyObject* op, PyObject* other, PyObject* parent) {
    switch (op_kind(op)) {
        case OpKind::Operator: return operator_truth(&c, op, other);
        case OpKind::Not: return !operator_truth(&c, op, other);
        case OpKind::Contains: {
            bool t = false;
            Ref r = contains_eq(c.st, c.module, op, other, &c, &t);
            return r ? truth(r) : t;
        }
        case OpKind::NotExists: {
            Ref held = parent ? Ref::borrow(parent) : field(op, as_op(op)->parent, "parent");
            return notexists_truth(c.Mapping.get(), op, held.get());
        }
        default: return equal(op, other);
    }
}

// The truth of `value == expected` (value's own comparison first, as `==` does).
bool value_equals(Ctx& c, PyObject* value, PyObject* expected, PyObject* parent) {
    if (is_operator(c.st, expected) && op_kind(expected) != OpKind::Other &&
        (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
         PyBool_Check(value) || value == Py_None || PyDict_CheckExact(value) || PyList_CheckExact(value) ||
         PyTuple_CheckExact(value)))
        return op_equals(c, expected, value, parent);  // the builtin side answers NotImplemented
    return equal(value, expected);
}

// --- slots ------------------------------------------------------------------

template <class F>
PyObject* richcompare(int op, F&& eq) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (op != Py_EQ && op != Py_NE) return Py_NewRef(Py_NotImplemented);
        Ref r = eq();
        if (op == Py_EQ) return r.release();
        return PyBool_FromLong(!truth(r));
    });
}

PyObject* op_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] { return operator_eq(type_state<State>(Py_TYPE(self)), self, other); });
}
PyObject* not_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] {
        return Ref::borrow(truth(operator_eq(type_state<State>(Py_TYPE(self)), self, other)) ? Py_False : Py_True);
    });
}
PyObject* contains_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] {
        PyObject* module = module_of_type(Py_TYPE(self));
        return contains_eq(state_of<State>(module), module, self, other, nullptr, nullptr);
    });
}
PyObject* notexists_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] {
        PyObject* module = module_of_type(Py_TYPE(self));
        Ref mapping = lookup(module, state_of<State>(module).n_Mapping.get());
        bool absent = notexists_truth(mapping.get(), self, field(self, as_op(self)->parent, "parent").get());
        return Ref::borrow(absent ? Py_True : Py_False);
    });
}

// Operator.__hash__: value.__hash__().
Ref operator_hash_value(State& st, PyObject* self) {
    Ref held = op_value(self);
    PyObject* value = held.get();
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || value == Py_None ||
        PyBool_Check(value)) {
        Py_hash_t h = PyObject_Hash(value);
        if (h == -1 && PyErr_Occurred()) throw Error();
        return own(PyLong_FromSsize_t(h));
    }
    return call_method(st.n_hash.get(), {value});
}

Py_hash_t op_hash(PyObject* self) {
    return boundary<Py_hash_t>(-1, [&]() -> Py_hash_t {
        Ref h = operator_hash_value(type_state<State>(Py_TYPE(self)), self);
        if (!PyLong_Check(h.get())) raise(PyExc_TypeError, "__hash__ method should return an integer");
        // As for a class whose __hash__ is written in Python.
        Py_hash_t result = PyLong_AsSsize_t(h.get());
        if (result == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            result = PyObject_Hash(h.get());
            if (result == -1 && PyErr_Occurred()) throw Error();
        }
        return result == -1 ? -2 : result;
    });
}

Ref repr_with(State& st, const char* name, PyObject* self) {
    Ref v = fmt(st, op_value(self).get());
    return own(PyUnicode_FromFormat("%s('%U')", name, v.get()));
}

PyObject* not_repr(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&] { return repr_with(type_state<State>(Py_TYPE(self)), "Not", self).release(); });
}
PyObject* notexists_repr(PyObject* self) {
    return boundary<PyObject*>(nullptr,
                               [&] { return repr_with(type_state<State>(Py_TYPE(self)), "NotExists", self).release(); });
}

// --- GC and lifetime of both layouts ------------------------------------------

template <class T>
int instance_traverse(PyObject* self, visitproc visit, void* arg);
template <>
int instance_traverse<RObject>(PyObject* self, visitproc visit, void* arg) {
    auto* r = as_r(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->args.get());
    Py_VISIT(r->kwargs.get());
    Py_VISIT(r->dict.get());
    return 0;
}
template <>
int instance_traverse<OperatorObject>(PyObject* self, visitproc visit, void* arg) {
    auto* o = as_op(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->value.get());
    Py_VISIT(o->regex.get());
    Py_VISIT(o->parent.get());
    Py_VISIT(o->dict.get());
    return 0;
}

template <class T>
int instance_clear(PyObject* self);
template <>
int instance_clear<RObject>(PyObject* self) {
    auto* r = as_r(self);
    r->args.reset();
    r->kwargs.reset();
    r->dict.reset();
    return 0;
}
template <>
int instance_clear<OperatorObject>(PyObject* self) {
    auto* o = as_op(self);
    o->value.reset();
    o->regex.reset();
    o->parent.reset();
    o->dict.reset();
    return 0;
}

// --- methods ------------------------------------------------------------------

PyObject* self_checked(State& st, PyObject* self, bool op, const char* name) {
    if (op ? !is_operator(st, self) : !is_r(st, self))
        raise(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%.100s'", name,
              op ? "Operator" : "R", Py_TYPE(self)->tp_name);
    return self;
}

Ref R_init(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = self_checked(st, c[0], false, "__init__");
    as_r(self)->args = Ref::borrow(c[1]);
    as_r(self)->kwargs = Ref::borrow(c[2]);
    return Ref::borrow(Py_None);
}

Ref Operator_init(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = self_checked(st, c[0], true, "__init__");
    PyObject* value = c[1];
    auto* op = as_op(self);
    op->value = Ref::borrow(value);
    op->regex = Ref::borrow(Py_None);
    op->parent = Ref::borrow(Py_None);
    if (!is_text_with(value, "(")) return Ref::borrow(Py_None);
    Ref re = lookup(c.module(), st.n_re.get());
    Ref compiled = Ref::steal(PyObject_CallMethodOneArg(re.get(), st.n_compile.get(), value));
    if (!compiled) {
        if (!swallow_exception()) throw Error();  // a pattern that does not compile compares as text
        return Ref::borrow(Py_None);
    }
    op->regex = std::move(compiled);
    return Ref::borrow(Py_None);
}

Ref Operator_hash(const Call& c) {
    State& st = c.state<State>();
    return operator_hash_value(st, self_checked(st, c[0], true, "__hash__"));
}

Ref Operator_match(const Call& c) { return own(PyObject_RichCompare(c[0], c[1], Py_EQ)); }

Ref Operator_eq(const Call& c) {
    State& st = c.state<State>();
    return operator_eq(st, self_checked(st, c[0], true, "__eq__"), c[1]);
}

Ref Operator_deepcopy(const Call& c) {
    State& st = c.state<State>();
    PyObject *self = c[0], *memo = c[1];
    Ref id = own(PyLong_FromVoidPtr(self));
    Ref known = call_method(st.n_get.get(), {memo, id.get()});
    if (known.get() != Py_None) return known;
    Ref copy = lookup(c.module(), st.n_copy.get());
    Ref value = own(PyObject_GetAttr(self, st.n_value.get()));
    Ref value_copy = call_method(st.n_deepcopy.get(), {copy.get(), value.get(), memo});
    Ref result = own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), value_copy.get()));
    check(PyObject_SetItem(memo, id.get(), result.get()));
    return result;
}

Ref Not_eq(const Call& c) {
    State& st = c.state<State>();
    return Ref::borrow(truth(operator_eq(st, self_checked(st, c[0], true, "__eq__"), c[1])) ? Py_False : Py_True);
}

Ref Not_repr(const Call& c) {
    State& st = c.state<State>();
    return repr_with(st, "Not", self_checked(st, c[0], true, "__repr__"));
}

Ref Contains_eq(const Call& c) {
    State& st = c.state<State>();
    return contains_eq(st, c.module(), self_checked(st, c[0], true, "__eq__"), c[1], nullptr, nullptr);
}

Ref NotExists_eq(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = self_checked(st, c[0], true, "__eq__");
    Ref mapping = lookup(c.module(), st.n_Mapping.get());
    Ref parent = field(self, as_op(self)->parent, "parent");
    return Ref::borrow(notexists_truth(mapping.get(), self, parent.get()) ? Py_True : Py_False);
}

Ref NotExists_repr(const Call& c) {
    State& st = c.state<State>();
    return repr_with(st, "NotExists", self_checked(st, c[0], true, "__repr__"));
}

const FuncDef R_init_def{"__init__", "(self, *args, **kwargs)", "Requirements class", R_init};
const FuncDef Operator_init_def{"__init__", "(self, value=None)", nullptr, Operator_init};
const FuncDef Operator_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef Operator_match_def{"match", "(self, other)", "Return self == other.", Operator_match};
const FuncDef Operator_eq_def{"__eq__", "(self, other)", "dunder function to match regex or object comparison",
                              Operator_eq};
const FuncDef Operator_deepcopy_def{"__deepcopy__", "(self, memo)",
                                    "A new operator of the same class over a deep copy of the value.",
                                    Operator_deepcopy};
const FuncDef Not_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef Not_eq_def{"__eq__", "(self, other)", "dunder function to check whether no value or they dont match ",
                         Not_eq};
const FuncDef Not_repr_def{"__repr__", "(self)", nullptr, Not_repr};
const FuncDef Contains_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef Contains_eq_def{"__eq__", "(self, other)",
                              "True when value is among other's values (dict) or in other (iterable), else the\n"
                              "comparison of Operator.",
                              Contains_eq};
const FuncDef NotExists_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.",
                                 Operator_hash};
const FuncDef NotExists_eq_def{"__eq__", "(self, other)",
                               "True when value is neither a key nor a truthy attribute of parent; other is not used.",
                               NotExists_eq};
const FuncDef NotExists_repr_def{"__repr__", "(self)", nullptr, NotExists_repr};

// ---------------------------------------------------------------------------
// Find._normalize_r and Find._formalize_loopable
// ---------------------------------------------------------------------------

Ref first_path(State& st, PyObject* req) {
    Ref args = own(PyObject_GetAttr(req, st.n_args.get()));
    Ref as_list = own(PySequence_List(args.get()));
    return own(PySequence_GetItem(as_list.get(), 0));
}

Ref rs_over(State& st, const std::vector<Ref>& paths) {
    Ref result = own(PyList_New((Py_ssize_t)paths.size()));
    for (size_t i = 0; i < paths.size(); ++i)
        PyList_SET_ITEM(result.get(), (Py_ssize_t)i, new_path_r(st, paths[i].get()).release());
    return result;
}

// An operator whose value cannot be hashed (its hash is the value's own
// __hash__, which such a value lacks).
bool unhashable_operator(State& st, PyObject* o) {
    if (!is_operator(st, o) || Py_TYPE(o)->tp_hash != op_hash) return false;
    Ref inner = Ref::borrow(o);
    for (int depth = 0; depth < 64 && is_operator(st, inner.get()) && Py_TYPE(inner.get())->tp_hash == op_hash; ++depth)
        inner = op_value(inner.get());
    return PyObject_HashNotImplemented == Py_TYPE(inner.get())->tp_hash;
}

// Where the paths differ at one position only by patterns against one literal,
// the literal is written into every path (in the set's own order, so only when
// the literal comes before the first pattern). A path that is not a list
// leaves the requirements alone: the driver refuses it with its own error.
Ref normalize_r(State& st, PyObject* requirements) {
    if (!truth(requirements)) return Ref::borrow(requirements);
    Ref rest = own(PySequence_GetSlice(requirements, 1, PY_SSIZE_T_MAX));
    if (!truth(rest)) return Ref::borrow(requirements);
    Ref first = own(PySequence_GetItem(requirements, 0));
    if (!truth(own(PyObject_GetAttr(first.get(), st.n_args.get())))) return Ref::borrow(requirements);
    Py_ssize_t min_len = PY_SSIZE_T_MAX;
    std::vector<Ref> to_process;
    bool unchanged = false;
    for_each(requirements, [&](PyObject* req) {
        if (unchanged) return;
        if (!truth(own(PyObject_GetAttr(req, st.n_args.get())))) {
            unchanged = true;
            return;
        }
        Ref path = first_path(st, req);
        if (!PyList_Check(path.get())) {
            unchanged = true;
            return;
        }
        min_len = std::min(min_len, PyList_GET_SIZE(path.get()));
        to_process.push_back(std::move(path));
    });
    if (unchanged) return Ref::borrow(requirements);
    for (Py_ssize_t index = 0; index < min_len; ++index) {
        Ref elements = own(PyTuple_New((Py_ssize_t)to_process.size()));
        bool hashable = true;
        for (size_t i = 0; i < to_process.size(); ++i) {
            PyObject* element = own(PySequence_GetItem(to_process[i].get(), index)).release();
            PyTuple_SET_ITEM(elements.get(), (Py_ssize_t)i, element);
            hashable = hashable && !unhashable_operator(st, element);
        }
        if (!hashable) continue;  // like any other element that cannot be hashed
        Ref members = Ref::steal(PySet_New(elements.get()));
        if (!members) {  // values that cannot be hashed (a list expected, say): nothing to reduce here
            if (!unhashable_error_set()) throw Error();
            PyErr_Clear();
            continue;
        }
        if (PySet_GET_SIZE(members.get()) < 2) continue;
        Ref literal = Ref::borrow(Py_None);
        Ref it = own(PyObject_GetIter(members.get()));
        while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
            if (is_pattern(member.get())) break;
            if (truth(literal)) return rs_over(st, to_process);
            literal = member;
        }
        if (PyErr_Occurred()) throw Error();
        if (truth(literal))
            for (auto& path : to_process) {
                Ref i = own(PyLong_FromSsize_t(index));
                check(PyObject_SetItem(path.get(), i.get(), literal.get()));
            }
    }
    return rs_over(st, to_process);
}

Ref Find_normalize_r(const Call& c) { return normalize_r(c.state<State>(), c[1]); }

// _formalize_loopable: what to iterate for `obj`. A refused object raises the
// TypeError with its message, or, without `with_message`, gives an empty Ref.
Ref formalize_loopable(Ctx& c, PyObject* obj, bool with_message) {
    State& st = c.st;
    if (PyUnicode_Check(obj)) {
        if (!with_message) return Ref();
        Ref text = fmt(st, obj);
        raise(PyExc_TypeError, "object '%U' is a string which is not allowed.", text.get());
    }
    if (is_mapping(obj, c.Mapping.get())) return call_method(st.n_values.get(), {obj});
    bool iterable = PyList_CheckExact(obj) || PyTuple_CheckExact(obj) ||
                    check(PyObject_IsInstance(obj, c.Iterable.get()));
    if (iterable && !check(PyObject_IsInstance(obj, c.TopologyObject.get()))) return Ref::borrow(obj);
    if (!with_message) return Ref();
    Ref text = fmt(st, obj);
    Ref type_text = fmt(st, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    raise(PyExc_TypeError, "object '%U' of type %U is not allowed.", text.get(), type_text.get());
}

Ref Find_formalize_loopable(const Call& c) {
    Ctx ctx(c.state<State>(), c.module());
    return formalize_loopable(ctx, c[1], true);
}

// ---------------------------------------------------------------------------
// Find._match
// ---------------------------------------------------------------------------

// The rule that tests one plain requirement (key, expected value).
enum class Rule { Unknown, Logic, Callable, CallableObj, OperatorKey, PatternKey, PatternValue, Plain };

struct Plan;

// One regrouped requirement. A multi-level one ("a__b") holds the first step
// as `key` and the rest as the mapping `value`, regrouped again in `sub`.
struct Want {
    Ref key, value;
    bool multi = false;
    std::unique_ptr<Plan> sub;
    Rule rule = Rule::Unknown;
    Ref regex;  // a pattern key, compiled
};

struct Plan {
    std::vector<Want> wants;
    bool use__syntax = true;
};

// Regroup `wanted`: keys with "__" are cut once at the first "__" and grouped
// by their first step (a plain key and a group of the same name stay two
// requirements).
Plan regroup(PyObject* wanted, bool use__syntax) {
    Plan plan;
    plan.use__syntax = use__syntax;
    auto add = [&](PyObject* key, PyObject* value) {
        Py_ssize_t cut = -1;
        if (use__syntax && PyUnicode_Check(key)) {
            Py_ssize_t n = PyUnicode_GET_LENGTH(key);
            for (Py_ssize_t i = 0; i + 1 < n; ++i)
                if (PyUnicode_READ_CHAR(key, i) == '_' && PyUnicode_READ_CHAR(key, i + 1) == '_') {
                    cut = i;
                    break;
                }
        }
        if (cut < 0) {
            Want w;
            w.key = Ref::borrow(key);
            w.value = Ref::borrow(value);
            plan.wants.push_back(std::move(w));
            return;
        }
        // Interned, as the keys of the searched mappings usually are: lookups compare pointers.
        PyObject* first_text = check(PyUnicode_Substring(key, 0, cut));
        PyUnicode_InternInPlace(&first_text);
        Ref first = Ref::steal(first_text);
        PyObject* rest_text = check(PyUnicode_Substring(key, cut + 2, PyUnicode_GET_LENGTH(key)));
        PyUnicode_InternInPlace(&rest_text);
        Ref rest = Ref::steal(rest_text);
        for (Want& w : plan.wants) {
            if (w.multi && PyUnicode_Compare(w.key.get(), first.get()) == 0) {
                check(PyDict_SetItem(w.value.get(), rest.get(), value));
                return;
            }
        }
        Want w;
        w.multi = true;
        w.key = std::move(first);
        w.value = own(PyDict_New());
        check(PyDict_SetItem(w.value.get(), rest.get(), value));
        plan.wants.push_back(std::move(w));
    };
    if (PyDict_CheckExact(wanted)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(wanted, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            add(key.get(), value.get());
        }
    } else {
        for_each(wanted, [&](PyObject* key) {
            Ref value = own(PyObject_GetItem(wanted, key));
            add(key, value.get());
        });
    }
    return plan;
}

Rule classify(Ctx& c, Want& w) {
    PyObject *key = w.key.get(), *value = w.value.get();
    if (check(PyObject_IsInstance(value, c.BaseLogic.get()))) return Rule::Logic;
    if (PyCallable_Check(value)) return is_exact_text(key, "callable_") ? Rule::CallableObj : Rule::Callable;
    if (is_operator(c.st, key)) return Rule::OperatorKey;
    if (is_pattern(key)) return Rule::PatternKey;
    if (is_operator(c.st, value) && has_pattern(value)) return Rule::PatternValue;
    return Rule::Plain;
}

// obj[key] for a mapping, getattr(obj, key) otherwise; an empty Ref when the
// entry or attribute is missing (a key that is not a text is a missing attribute).
Ref member_of(Ctx& c, PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) return dict_get(obj, key);
    if (is_mapping(obj, c.Mapping.get())) {
        Ref v = Ref::steal(PyObject_GetItem(obj, key));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw Error();
            PyErr_Clear();
        }
        return v;
    }
    if (!PyUnicode_Check(key)) return Ref();
    return optional_attr(obj, key);
}

// Calls `f(key, value)` for each entry of a mapping (`obj.items()`), or for
// each instance attribute of anything else.
template <class F>
void for_each_entry(Ctx& c, PyObject* obj, F&& f) {
    if (is_mapping(obj, c.Mapping.get())) return for_items(obj, c.st.n_items.get(), f);
    Ref held = optional_attr(obj, c.st.n_dict.get());
    if (!held || !PyDict_Check(held.get())) return;
    Ref copy = own(PyDict_Copy(held.get()));
    Ref source = own(PyDict_Items(copy.get()));
    for_each(source.get(), [&](PyObject* item) {
        auto [key, value] = unpack2(item);
        f(key.get(), value.get());
    });
}


// Keys that lead to the object being matched, put in front of the paths it
// records (the walk of a path requirement builds each path once this way).
using Prefix = std::vector<PyObject*>;

// A new list: the keys of `prefix`, then `tail`.
Ref path_list(const Prefix* prefix, std::initializer_list<PyObject*> tail) {
    Py_ssize_t n = prefix ? (Py_ssize_t)prefix->size() : 0;
    Ref list = own(PyList_New(n + (Py_ssize_t)tail.size()));
    for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list.get(), k, Py_NewRef((*prefix)[k]));
    for (PyObject* item : tail) PyList_SET_ITEM(list.get(), n++, Py_NewRef(item));
    return list;
}

bool match_plan(Ctx& c, PyObject* obj, Plan& plan, bool filter, Ref& pair, const Prefix* prefix = nullptr);

// self._match(obj, wanted, use__syntax, filter_=filter_) through the instance.
Ref call_match(Ctx& c, PyObject* obj, PyObject* wanted, bool use__syntax, bool filter) {
    PyObject* args[] = {c.self, obj, wanted, use__syntax ? Py_True : Py_False, filter ? Py_True : Py_False};
    Ref kwnames = own(PyTuple_Pack(1, c.st.n_filter_.get()));
    return own(PyObject_VectorcallMethod(c.st.n__match.get(), args, 4, kwnames.get()));
}

// The (value, path) pair of a match one level down, with `steps` put in front.
Ref prefixed(PyObject* sub, std::initializer_list<PyObject*> steps) {
    if (!sub || !PyTuple_Check(sub) || PyTuple_GET_SIZE(sub) != 2 || !PyList_Check(PyTuple_GET_ITEM(sub, 1)))
        return Ref();
    PyObject* path = PyTuple_GET_ITEM(sub, 1);
    Ref joined = list_of(steps);
    check(PyList_SetSlice(joined.get(), PyList_GET_SIZE(joined.get()), PyList_GET_SIZE(joined.get()), path));
    return pair_of(PyTuple_GET_ITEM(sub, 0), joined.get());
}

Ref prefixed(PyObject* sub, const Ref& steps) {
    PyObject* path = PyTuple_GET_ITEM(sub, 1);
    Ref joined = own(PySequence_List(steps.get()));
    check(PyList_SetSlice(joined.get(), PyList_GET_SIZE(joined.get()), PyList_GET_SIZE(joined.get()), path));
    return pair_of(PyTuple_GET_ITEM(sub, 0), joined.get());
}

// One nested match: `member` against the rest of a multi-level requirement.
bool submatch(Ctx& c, PyObject* member, Want& w, bool use__syntax, bool filter, Ref& sub) {
    if (!c.direct) {
        Ref r = call_match(c, member, w.value.get(), use__syntax, filter);
        if (!truth(r)) return false;
        sub = r;
        return true;
    }
    if (!w.sub) w.sub = std::make_unique<Plan>(regroup(w.value.get(), use__syntax));
    return match_plan(c, member, *w.sub, filter, sub);
}

// Rule 1: a multi-level requirement.
bool match_multi(Ctx& c, PyObject* obj, Want& w, bool use__syntax, bool filter, Ref& last) {
    Ref child;
    if (is_mapping(obj, c.Mapping.get())) {
        child = member_of(c, obj, w.key.get());
    } else {
        child = Ref::steal(PyObject_GetAttr(obj, w.key.get()));
        if (!child && !swallow_exception()) throw Error();
    }
    if (!child) return false;
    Ref sub;
    auto record = [&](std::initializer_list<PyObject*> steps) {
        if (!filter)
            if (Ref p = prefixed(sub.get(), steps)) last = p;
    };
    Ref loop;
    if (!is_mapping(child.get(), c.Mapping.get())) {
        if (c.direct) {
            loop = formalize_loopable(c, child.get(), false);
        } else {
            loop = Ref::steal(PyObject_CallMethodOneArg(c.self, c.st.n__formalize_loopable.get(), child.get()));
            if (!loop) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw Error();
                PyErr_Clear();
            }
        }
    }
    if (!loop) {  // a mapping, or refused as a loopable: matched whole
        if (!submatch(c, child.get(), w, use__syntax, filter, sub)) return false;
        record({w.key.get()});
        return true;
    }
    bool positions = PyList_Check(loop.get()) || PyTuple_Check(loop.get());
    Py_ssize_t position = 0;
    bool found = false;
    Ref it = own(PyObject_GetIter(loop.get()));
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
        if (submatch(c, member.get(), w, use__syntax, filter, sub)) {
            found = true;
            if (positions) {
                Ref index = own(PyLong_FromSsize_t(position));
                record({w.key.get(), index.get()});
            } else {
                record({w.key.get()});
            }
            break;
        }
        ++position;
    }
    if (PyErr_Occurred()) throw Error();
    return found;
}

// Whether a candidate's value matches the expected value of an operator key.
bool candidate_matches(Ctx& c, PyObject* obj, PyObject* value, PyObject* expected) {
    PyObject* parent = nullptr;
    if (is_notexists(c.st, expected)) {
        set_parent(expected, obj);
        parent = obj;
    }
    if (is_operator(c.st, expected) && has_pattern(expected)) {
        Ref text = text_of(value);
        bool ok = regex_truth(c, op_regex(expected).get(), text.get());
        return is_not(c.st, expected) ? !ok : ok;
    }
    if (is_pattern(expected)) {
        Ref regex = compile_or_value_error(c, expected);
        Ref text = text_of(value);
        return regex_truth(c, regex.get(), text.get());
    }
    return value_equals(c, value, expected, parent);
}

// One plain requirement (rules 2 to 8).
bool match_plain(Ctx& c, PyObject* obj, Want& w, bool filter, Ref& last, const Prefix* prefix) {
    if (w.rule == Rule::Unknown) w.rule = classify(c, w);
    PyObject *key = w.key.get(), *expected = w.value.get();
    auto record = [&](PyObject* value, PyObject* step) {
        if (filter) return;
        Ref path = step ? path_list(prefix, {step}) : path_list(prefix, {});
        last = pair_of(value, path.get());
    };
    switch (w.rule) {
        case Rule::CallableObj: {
            if (!truth(own(PyObject_CallOneArg(expected, obj)))) return false;
            record(obj, nullptr);
            return true;
        }
        case Rule::Logic:
        case Rule::Callable: {
            Ref value = member_of(c, obj, key);
            if (!value) return false;
            if (!truth(own(PyObject_CallOneArg(expected, value.get())))) return false;
            record(value.get(), key);
            return true;
        }
        case Rule::OperatorKey: {
            set_parent(key, obj);
            bool matched = false;
            for_each_entry(c, obj, [&](PyObject* k, PyObject* v) {
                if (!op_equals(c, key, k, obj)) return;
                if (!candidate_matches(c, obj, v, expected)) return;
                matched = true;
                record(v, k);
            });
            return matched;
        }
        case Rule::PatternKey: {
            if (!w.regex) w.regex = compile_or_value_error(c, key);
            bool always = always_matches(c, w.regex.get());
            PyObject* parent = nullptr;
            bool matched = false;
            for_each_entry(c, obj, [&](PyObject* k, PyObject* v) {
                Ref text = text_of(k);
                if (!always && !regex_truth(c, w.regex.get(), text.get())) return;
                if (is_notexists(c.st, expected)) {
                    set_parent(expected, obj);
                    parent = obj;
                }
                if (!value_equals(c, v, expected, parent)) return;
                matched = true;
                record(v, k);
            });
            return matched;
        }
        case Rule::PatternValue: {
            if (is_notexists(c.st, expected)) set_parent(expected, obj);
            Ref value = member_of(c, obj, key);
            if (!value) return false;
            Ref text = text_of(value.get());
            bool ok = regex_truth(c, op_regex(expected).get(), text.get());
            if (is_not(c.st, expected)) ok = !ok;
            if (!ok) return false;
            record(value.get(), key);
            return true;
        }
        default: {
            Ref value = member_of(c, obj, key);
            if (!value) return false;
            PyObject* parent = nullptr;
            if (is_notexists(c.st, expected)) {
                set_parent(expected, obj);
                parent = obj;
            }
            if (!value_equals(c, value.get(), expected, parent)) return false;
            record(value.get(), key);
            return true;
        }
    }
}

// `obj == None`, without a call for the common builtins.
bool equals_none(PyObject* obj) {
    if (obj == Py_None) return true;
    if (PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_CheckExact(obj) ||
        PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBool_Check(obj))
        return false;
    return equal(obj, Py_None);
}

// The matcher: every requirement of `plan` must hold for `obj`. With `filter`
// false, `pair` gets the (value, path) pair of the requirement tested last.
bool match_plan(Ctx& c, PyObject* obj, Plan& plan, bool filter, Ref& pair, const Prefix* prefix) {
    RecursionGuard guard(" while matching requirements");
    if (equals_none(obj)) return false;
    Ref last;
    for (Want& w : plan.wants) {
        bool ok;
        try {
            if (w.multi) {
                ok = match_multi(c, obj, w, plan.use__syntax, filter, last);
                if (ok && last && prefix && !prefix->empty()) last = prefixed(last.get(), path_list(prefix, {}));
            } else {
                ok = match_plain(c, obj, w, filter, last, prefix);
            }
        } catch (const Error&) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_AssertionError) &&
                !PyErr_ExceptionMatches(PyExc_AttributeError))
                throw;
            PyErr_Clear();
            return false;
        }
        if (!ok) return false;
    }
    pair = last;
    return true;
}

// The interpreter-level result of the matcher.
Ref match_result(bool ok, bool filter, Ref& pair) {
    if (!ok) return Ref::borrow(Py_False);
    if (filter || !pair) return Ref::borrow(Py_True);
    return pair;
}

Ref Find_match(const Call& c) {
    Ctx ctx(c.state<State>(), c.module(), c[0]);
    bool filter = truth(c[4]);
    Plan plan = regroup(c[2], truth(c[3]));
    Ref pair;
    bool ok = match_plan(ctx, c[1], plan, filter, pair);
    return match_result(ok, filter, pair);
}

// ---------------------------------------------------------------------------
// Find.find
// ---------------------------------------------------------------------------

// One step of a path requirement, classified on first use.
struct StepPlan {
    enum Kind { Unknown, Pattern, Lookup, Broken } kind = Unknown;
    Ref step;
    Ref regex;
    bool always = false;
};

// One path list of a requirement: the steps and the expected value (last).
struct PathPlan {
    Ref list;
    std::vector<StepPlan> steps;  // all elements but the last
    Ref expected;
    bool checked = false;         // list and length verified
    bool last_ready = false;
    Plan last;                    // {steps[-1]: expected}, without "__" cutting
};

struct ReqPlan {
    PyObject* req = nullptr;  // borrowed from the requirement list
    bool ready = false;
    bool is_path = false;
    std::vector<PathPlan> paths;
    Ref args;
    bool kw_ready = false;
    Plan kw;
};

struct Search {
    bool filter;
    PyObject* filter_obj;
    PyObject* all_keys;
};

[[noreturn]] void raise_not_list(PyObject* arg_list, PyObject* args) {
    Ref a = own(PyObject_Str(arg_list)), b = own(PyObject_Str(args));
    raise(PyExc_TypeError,
          "'args' has to be list. Instead %U in %U was provided. Examples of acceptable requirement:\n"
          "find(iterable, R(['a','b', 1]) ",
          a.get(), b.get());
}

[[noreturn]] void raise_too_short(PyObject* arg_list, PyObject* args) {
    Ref a = own(PyObject_Str(arg_list)), b = own(PyObject_Str(args));
    raise(PyExc_ValueError,
          "R object expected *args list with at least 2 values that the last one will be used as the expected "
          "value but instead received %U within %U",
          a.get(), b.get());
}

// Check one path list of a requirement and snapshot its elements.
void prepare_path(PathPlan& p, PyObject* args) {
    if (p.checked) return;
    if (!PyList_Check(p.list.get())) raise_not_list(p.list.get(), args);
    Py_ssize_t n = PyList_GET_SIZE(p.list.get());
    if (n < 2) raise_too_short(p.list.get(), args);
    p.steps.clear();
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        StepPlan s;
        s.step = Ref::borrow(PyList_GET_ITEM(p.list.get(), i));
        p.steps.push_back(std::move(s));
    }
    p.expected = Ref::borrow(PyList_GET_ITEM(p.list.get(), n - 1));
    p.checked = true;
}

// Whether a step is a pattern (compiled once), a key or attribute, or one that
// fails for every member.
void classify_step(Ctx& c, StepPlan& s) {
    if (s.kind != StepPlan::Unknown) return;
    try {
        if (is_pattern(s.step.get())) {
            s.regex = compile(c, s.step.get());
            s.always = always_matches(c, s.regex.get());
            s.kind = StepPlan::Pattern;
        } else {
            s.kind = StepPlan::Lookup;
        }
    } catch (const Error&) {
        if (!swallow_exception()) throw;
        s.kind = StepPlan::Broken;
    }
}

using Children = std::vector<std::pair<Ref, Ref>>;  // (child, key that reached it)

// The children that one step reaches from `item`; none when taking the step
// fails (a missing key or attribute, ...). A pattern step walks the entries of
// a mapping; anything else has none.
Children take_step(Ctx& c, PyObject* item, StepPlan& s) {
    Children children;
    classify_step(c, s);
    if (s.kind == StepPlan::Broken) return children;
    try {
        bool mapping = is_mapping(item, c.Mapping.get());
        if (s.kind == StepPlan::Pattern) {
            if (!mapping) return children;
            for_items(item, c.st.n_items.get(), [&](PyObject* k, PyObject* v) {
                if (!s.always || !PyUnicode_CheckExact(k)) {
                    Ref text = text_of(k);
                    if (!s.always && !regex_truth(c, s.regex.get(), text.get())) return;
                }
                children.emplace_back(Ref::borrow(v), Ref::borrow(k));
            });
        } else if (mapping) {
            if (is_operator(c.st, s.step.get())) set_parent(s.step.get(), item);
            Ref child = PyDict_CheckExact(item) ? dict_get(item, s.step.get())
                                                : Ref::steal(PyObject_GetItem(item, s.step.get()));
            if (!child) {
                if (PyErr_Occurred()) throw Error();
                return children;
            }
            children.emplace_back(std::move(child), s.step);
        } else {
            Ref child = own(PyObject_GetAttr(item, s.step.get()));
            children.emplace_back(std::move(child), s.step);
        }
    } catch (const Error&) {
        if (!swallow_exception()) throw;
        children.clear();
    }
    return children;
}

Plan& last_plan(PathPlan& p) {
    if (!p.last_ready) {
        PyObject* step = p.steps.back().step.get();
        if (PyObject_Hash(step) == -1 && PyErr_Occurred()) throw Error();  // it keys a one-entry mapping
        Want w;
        w.key = Ref::borrow(step);
        w.value = p.expected;
        p.last.use__syntax = false;
        p.last.wants.push_back(std::move(w));
        p.last_ready = true;
    }
    return p.last;
}

// The search `find([member], R(path[i:]))` (nested) or one member of the
// outermost search: pairs go to `out` (filter false), with `prefix` as the
// keys that led here. Returns whether the member is admitted.
bool walk(Ctx& c, PyObject* member, PathPlan& p, size_t i, const Search& s, PyObject* out, Prefix& prefix,
          bool nested) {
    RecursionGuard guard(" while walking a requirement path");
    Py_ssize_t before = out ? PyList_GET_SIZE(out) : 0;
    bool admitted = false;
    if (i + 1 == p.steps.size()) {
        Ref pair;  // its path starts with the keys of `prefix`
        if (match_plan(c, member, last_plan(p), s.filter, pair, &prefix)) {
            admitted = true;
            if (!s.filter) append(out, pair ? pair.get() : Py_True);
        }
    } else {
        Children children = take_step(c, member, p.steps[i]);
        for (auto& [child, key] : children) {
            prefix.push_back(key.get());
            bool found = walk(c, child.get(), p, i + 1, s, out, prefix, true);
            prefix.pop_back();
            admitted = admitted || found;
        }
    }
    // The nested search ends by putting its results in a set: their hashes run.
    if (nested && admitted) {
        if (s.filter)
            probe_hash(member);
        else if (PyList_GET_SIZE(out) > before && PyTuple_Check(PyList_GET_ITEM(out, before)))
            probe_hash(PyTuple_GET_ITEM(PyList_GET_ITEM(out, before), 0));
    }
    return admitted;
}

// One member of the outermost search when Find's methods are overridden: the
// nested searches and the matcher are called through the instance.
bool walk_dispatch(Ctx& c, PyObject* item, PathPlan& p, const Search& s, PyObject* out) {
    State& st = c.st;
    if (p.steps.size() == 1) {
        Ref wanted = own(PyDict_New());
        check(PyDict_SetItem(wanted.get(), p.steps[0].step.get(), p.expected.get()));
        PyObject* args[] = {c.self, item, wanted.get(), Py_False, s.filter_obj};
        Ref kwnames = own(PyTuple_Pack(2, st.n_use__syntax.get(), st.n_filter_.get()));
        Ref r = own(PyObject_VectorcallMethod(st.n__match.get(), args, 3, kwnames.get()));
        if (!truth(r)) return false;
        if (!s.filter) append(out, r.get());
        return true;
    }
    bool admitted = false;
    Children children = take_step(c, item, p.steps[0]);
    Ref rest = own(PyList_GetSlice(p.list.get(), 1, PY_SSIZE_T_MAX));
    Ref r = new_path_r(st, rest.get());
    Ref kwnames = own(PyTuple_Pack(3, st.n_filter_.get(), st.n__first.get(), st.n_all_keys.get()));
    for (auto& [child, key] : children) {
        Ref from = list_of({child.get()});
        PyObject* args[] = {c.self, from.get(), r.get(), s.filter_obj, Py_False, s.all_keys};
        Ref found = own(PyObject_VectorcallMethod(st.n_find.get(), args, 3, kwnames.get()));
        if (!truth(found)) continue;
        admitted = true;
        if (s.filter) continue;
        for_each(found.get(), [&](PyObject* match) {
            Ref path = own(PySequence_GetItem(match, 1));
            Ref zero = own(PyLong_FromLong(0));
            call_method(st.n_insert.get(), {path.get(), zero.get(), key.get()});
            append(out, match);
        });
    }
    return admitted;
}

// The members admitted by one requirement, in order (filter true), or their
// (value, path) pairs (filter false). `owners` gets, per result, the position
// of the member it came from.
Ref search_requirement(Ctx& c, PyObject* members, PyObject* type_, ReqPlan& rp, const Search& s,
                       std::vector<Py_ssize_t>& owners) {
    State& st = c.st;
    Ref ret = new_list();
    PyObject* req = rp.req;
    Py_ssize_t n_types = PyList_GET_SIZE(type_);
    Prefix prefix;
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(members); ++m) {
        Ref item = Ref::borrow(PyList_GET_ITEM(members, m));
        if (n_types) {
            bool fits = false;
            for (Py_ssize_t t = 0; t < PyList_GET_SIZE(type_) && !fits; ++t) {
                Ref cls = Ref::borrow(PyList_GET_ITEM(type_, t));  // the caller's list: __instancecheck__ may change it
                fits = check(PyObject_IsInstance(item.get(), cls.get()));
            }
            if (!fits) continue;
        }
        if (!rp.ready) {
            rp.args = field(req, as_r(req)->args, "args");
            rp.is_path = truth(rp.args);
            if (rp.is_path)
                for_each(rp.args.get(), [&](PyObject* arg_list) {
                    PathPlan p;
                    p.list = Ref::borrow(arg_list);
                    rp.paths.push_back(std::move(p));
                });
            rp.ready = true;
        }
        Py_ssize_t before = PyList_GET_SIZE(ret.get());
        if (rp.is_path) {
            for (PathPlan& p : rp.paths) {
                prepare_path(p, rp.args.get());
                bool admitted = c.direct ? walk(c, item.get(), p, 0, s, s.filter ? nullptr : ret.get(), prefix, false)
                                         : walk_dispatch(c, item.get(), p, s, ret.get());
                if (admitted && s.filter) append(ret.get(), item.get());
            }
        } else if (c.direct) {
            if (!rp.kw_ready) {
                rp.kw = regroup(field(req, as_r(req)->kwargs, "kwargs").get(), true);
                rp.kw_ready = true;
            }
            Ref pair;
            if (match_plan(c, item.get(), rp.kw, s.filter, pair))
                append(ret.get(), s.filter ? item.get() : match_result(true, false, pair).get());
        } else {
            Ref wanted = field(req, as_r(req)->kwargs, "kwargs");
            PyObject* args[] = {c.self, item.get(), wanted.get(), s.filter_obj};
            Ref kwnames = own(PyTuple_Pack(1, st.n_filter_.get()));
            Ref r = own(PyObject_VectorcallMethod(st.n__match.get(), args, 3, kwnames.get()));
            if (truth(r)) append(ret.get(), s.filter ? item.get() : r.get());
        }
        for (Py_ssize_t k = before; k < PyList_GET_SIZE(ret.get()); ++k) owners.push_back(m);
    }
    return ret;
}

Ref unhashable_intersection(Ctx& c, PyObject* lists);

// What every requirement admitted: the first list intersected as a set with
// each list in turn; members that cannot be hashed intersect by equality.
Ref combine(Ctx& c, PyObject* return_objs) {
    Ref result = Ref::borrow(PyList_GET_ITEM(return_objs, 0));
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(return_objs); ++i) {
            Ref a = own(PySet_New(result.get()));
            Ref b = own(PySet_New(PyList_GET_ITEM(return_objs, i)));
            Ref both = own(PyNumber_And(a.get(), b.get()));
            result = own(PySequence_List(both.get()));
        }
    } catch (const Error&) {
        if (!unhashable_error_set()) throw;
        PyErr_Clear();
        if (c.direct) return unhashable_intersection(c, return_objs);
        return own(PyObject_CallMethodOneArg(c.self, c.st.n__unhashable_intersection.get(), return_objs));
    }
    return result;
}

// all_keys: for every member that every requirement admitted, the matches of
// the first requirement on it, in the order found.
Ref all_keys_matches(PyObject* return_objs, const std::vector<std::vector<Py_ssize_t>>& owners) {
    std::vector<std::unordered_set<Py_ssize_t>> admitted(owners.size());
    for (size_t r = 0; r < owners.size(); ++r) admitted[r].insert(owners[r].begin(), owners[r].end());
    Ref result = new_list();
    PyObject* first = PyList_GET_ITEM(return_objs, 0);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(first); ++k) {
        Py_ssize_t member = owners[0][k];
        bool everywhere = true;
        for (size_t r = 1; r < owners.size() && everywhere; ++r) everywhere = admitted[r].count(member) > 0;
        if (everywhere) append(result.get(), PyList_GET_ITEM(first, k));
    }
    return result;
}

Ref build_dict(Ctx& c, PyObject* from_, PyObject* keys, PyObject* index);

// index: each match becomes (the enclosing object `index` steps down, path).
Ref apply_index(Ctx& c, PyObject* result, PyObject* member, PyObject* index) {
    Ref out = new_list();
    for_each(result, [&](PyObject* match) {
        Ref path = own(PySequence_GetItem(match, 1));
        Ref size = own(PyLong_FromSsize_t(length(path.get())));
        if (check(PyObject_RichCompareBool(size.get(), index, Py_LT))) {
            Ref i = fmt(c.st, index), p = fmt(c.st, path.get());
            raise(PyExc_ValueError, "Cannot use index of size '%U' on '%U'", i.get(), p.get());
        }
        Ref value;
        if (c.direct) {
            value = build_dict(c, member, path.get(), index);
        } else {
            PyObject* args[] = {c.self, member, path.get(), index};
            Ref kwnames = own(PyTuple_Pack(3, c.st.n_from_.get(), c.st.n_keys.get(), c.st.n_index.get()));
            value = own(PyObject_VectorcallMethod(c.st.n__build_dict.get(), args, 1, kwnames.get()));
        }
        append(out.get(), pair_of(value.get(), path.get()).get());
    });
    return out;
}

bool has_attr(PyObject* obj, PyObject* name) {
    return (bool)optional_attr(obj, name);
}

void reset_keys(State& st, PyObject* self) {
    for (PyObject* name : {st.n_found_objects.get(), st.n_initial_object.get(), st.n_initial_requirements.get(),
                           st.n_initial_found_objects.get()}) {
        if (has_attr(self, name)) check(PyObject_DelAttr(self, name));
    }
}

// copy.copy(from_), the snapshot kept as `initial_object`; an object that
// cannot be copied (a view, a mappingproxy, ...) is kept as it is.
Ref shallow_copy(Ctx& c, PyObject* from_) {
    if (PyList_CheckExact(from_)) return own(PyList_GetSlice(from_, 0, PY_SSIZE_T_MAX));
    Ref copy_module = lookup(c.module, c.st.n_copy.get());
    try {
        return call_method(c.st.n_copy.get(), {copy_module.get(), from_});
    } catch (const Error&) {
        if (!swallow_exception()) throw;
        return Ref::borrow(from_);
    }
}

void warn_both(Ctx& c) {
    Ref logger = lookup(c.module, c.st.n_logger.get());
    Ref text = own(PyUnicode_FromString(
        "Requirements were provided by using both *requirements and kwargs. Ignoring kwargs."));
    call_method(c.st.n_warning.get(), {logger.get(), text.get()});
}

Ref find(Ctx& c, PyObject* from_arg, PyObject* requirements, PyObject* type_arg, PyObject* filter_obj,
         PyObject* index, PyObject* all_keys_obj, PyObject* kwargs) {
    State& st = c.st;
    PyObject* self = c.self;
    // Steps 2-4: the members, and the classes they must be instances of.
    if (!truth(from_arg)) return new_list();
    Ref from_ = Ref::borrow(from_arg);
    if (is_mapping(from_.get(), c.Mapping.get()) || !check(PyObject_IsInstance(from_.get(), c.Iterable.get())))
        from_ = list_of({from_.get()});
    Ref members = PyList_CheckExact(from_.get()) ? from_ : own(PySequence_List(from_.get()));
    bool read_once = PyIter_Check(from_.get()) && !PyList_CheckExact(from_.get());  // an iterator: its list stands in
    if (read_once) from_ = members;
    Ref type_ = type_arg == Py_None        ? new_list()
                : PyList_Check(type_arg) ? Ref::borrow(type_arg)
                                         : list_of({type_arg});
    // Steps 6-7: the requirements.
    Ref reqs = Ref::borrow(requirements);
    if (PyTuple_GET_SIZE(requirements) == 0) {
        Ref args = own(PyTuple_New(0));
        Ref kw = own(PyDict_Copy(kwargs));
        reqs = list_of({new_r(st, args.get(), kw.get()).get()});
    } else if (PyDict_GET_SIZE(kwargs)) {
        warn_both(c);
    }
    auto check_r = [&](PyObject* req, PyObject* in) {
        if (is_r(st, req)) return;
        Ref a = fmt(st, req), b = fmt(st, in);
        raise(PyExc_TypeError, "Requirements list can only contain R objects. Another type was found: %U in %U",
              a.get(), b.get());
    };
    for_each(reqs.get(), [&](PyObject* req) { check_r(req, reqs.get()); });
    reqs = c.direct ? normalize_r(st, reqs.get())
                    : own(PyObject_CallMethodOneArg(self, st.n__normalize_r.get(), reqs.get()));
    // Step 8: the bookkeeping of the outermost call.
    if (!c.has_initial) {
        c.has_initial = true;
        check(PyObject_SetAttr(self, st.n_initial_object.get(), shallow_copy(c, from_.get()).get()));
        check(PyObject_SetAttr(self, st.n_initial_requirements.get(), reqs.get()));
        if (PyList_GET_SIZE(members.get()) && PyDict_Check(PyList_GET_ITEM(members.get(), 0)))
            check(PyObject_SetAttr(self, st.n_to_find_dict.get(), Py_True));
    }
    // Steps 9-10: each requirement over the members.
    Search s{truth(filter_obj), filter_obj, all_keys_obj};
    Ref return_objs = new_list();
    std::vector<std::vector<Py_ssize_t>> owners;
    Ref req_list = own(PySequence_List(reqs.get()));
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(req_list.get()); ++r) {
        PyObject* req = PyList_GET_ITEM(req_list.get(), r);
        check_r(req, reqs.get());
        ReqPlan rp;
        rp.req = req;
        owners.emplace_back();
        append(return_objs.get(), search_requirement(c, members.get(), type_.get(), rp, s, owners.back()).get());
    }
    // Steps 11-13.
    Ref result;
    if (truth(all_keys_obj) && !s.filter && PyList_GET_SIZE(return_objs.get()) > 1) {
        result = all_keys_matches(return_objs.get(), owners);
        check(PyObject_SetAttr(self, st.n_found_objects.get(), return_objs.get()));
        check(PyObject_SetAttr(self, st.n_initial_found_objects.get(), PyList_GET_ITEM(return_objs.get(), 0)));
    } else {
        result = combine(c, return_objs.get());
    }
    if (filter_obj == Py_False && index != Py_None && PyList_GET_SIZE(members.get()) == 1) {
        Ref member = Ref::borrow(PyList_GET_ITEM(members.get(), 0));  // may be the caller's list
        result = apply_index(c, result.get(), member.get(), index);
    }
    return result;
}

Ref Find_find(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    Ctx ctx(st, c.module(), self);
    if (truth(c[6])) {
        if (ctx.direct)
            reset_keys(st, self);
        else
            own(PyObject_CallMethodNoArgs(self, st.n_reset_keys.get()));
    } else {
        ctx.has_initial = has_attr(self, st.n_initial_object.get());
    }
    return find(ctx, c[1], c[2], c[3], c[4], c[5], c[7], c[8]);
}

Ref Find_reset_keys(const Call& c) {
    reset_keys(c.state<State>(), c[0]);
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// Find._build_dict, _unhashable_intersection, _unhashable_remove
// ---------------------------------------------------------------------------

// A path key written as its representation and read back as a literal.
Ref literal_key(Ctx& c, PyObject* key) {
    if (PyUnicode_CheckExact(key) || PyLong_CheckExact(key)) return Ref::borrow(key);
    State& st = c.st;
    if (!st.ast) st.ast = own(PyImport_ImportModule("ast"));
    Ref text = own(PyObject_Repr(key));
    return call_method(st.n_literal_eval.get(), {st.ast.get(), text.get()});
}

Ref build_dict(Ctx& c, PyObject* from_arg, PyObject* keys_arg, PyObject* index_arg) {
    Ref from_ = Ref::borrow(from_arg), keys = Ref::borrow(keys_arg), index = Ref::borrow(index_arg);
    Ref zero = own(PyLong_FromLong(0)), one = own(PyLong_FromLong(1));
    while (true) {
        if (!truth(keys) || equal(index.get(), zero.get())) return from_;
        Ref k0 = own(PySequence_GetItem(keys.get(), 0));
        Py_ssize_t used = 1;
        if (is_mapping(from_.get(), c.Mapping.get())) {
            from_ = own(PyObject_GetItem(from_.get(), k0.get()));
        } else {
            // An attribute and, when the path goes on, the entry below it (or,
            // for a value that has no entries, its attribute): one level.
            from_ = own(PyObject_GetAttr(from_.get(), k0.get()));
            if (length(keys.get()) > 1) {
                Ref k1 = own(PySequence_GetItem(keys.get(), 1));
                if (PyMapping_Check(from_.get()) || !PyUnicode_Check(k1.get()))
                    from_ = own(PyObject_GetItem(from_.get(), literal_key(c, k1.get()).get()));
                else
                    from_ = own(PyObject_GetAttr(from_.get(), k1.get()));
                used = 2;
            }
        }
        keys = own(PySequence_GetSlice(keys.get(), used, PY_SSIZE_T_MAX));
        index = own(PyNumber_Subtract(index.get(), one.get()));
    }
}

Ref Find_build_dict(const Call& c) {
    Ctx ctx(c.state<State>(), c.module());
    return build_dict(ctx, c[1], c[2], c[3]);
}

// The members of `unhashables` without repeats of the very same object.
Ref unhashable_remove(PyObject* unhashables) {
    Ref result = new_list();
    std::unordered_set<PyObject*> seen;
    for_each(unhashables, [&](PyObject* item) {
        if (seen.insert(item).second) append(result.get(), item);
    });
    return result;
}

Ref Find_unhashable_remove(const Call& c) { return unhashable_remove(c[1]); }

// An equality key for members that cannot be hashed: values that compare
// equal get equal keys. Exact dicts, lists and tuples are keyed by their
// contents; texts, numbers, None and objects that compare by identity by their
// hash. Anything else (a class with its own __eq__, a dict subclass, a set,
// deep nesting) has no key and is compared with every member.
uint64_t mix(uint64_t x) {  // a 64-bit finaliser: every input bit moves every output bit
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

bool equality_key(PyObject* o, Py_uhash_t& out, int depth = 0) {
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) ||
        o == Py_None || PyBytes_CheckExact(o) || PyComplex_CheckExact(o)) {
        Py_hash_t h = PyObject_Hash(o);
        if (h == -1 && PyErr_Occurred()) throw Error();
        out = (Py_uhash_t)h;
        return true;
    }
    if (depth >= 32) return false;
    bool list = PyList_CheckExact(o);
    if (list || PyTuple_CheckExact(o)) {
        uint64_t h = list ? 0x27d4eb2fu : 0x345678u;
        bool keyed = true;
        for_each(o, [&](PyObject* item) {
            Py_uhash_t k = 0;
            if (!keyed || !(keyed = equality_key(item, k, depth + 1))) return;
            h = mix(h ^ k) + 0x9e3779b97f4a7c15ULL;
        });
        out = h;
        return keyed;
    }
    if (PyDict_CheckExact(o)) {
        // Order-free: equal dicts hold equal entries in any order.
        uint64_t h = mix(0x9e3779b9u + (uint64_t)PyDict_GET_SIZE(o));
        bool keyed = true;
        for_items(o, nullptr, [&](PyObject* key, PyObject* value) {
            Py_uhash_t k = 0;
            if (!keyed || !(keyed = equality_key(value, k, depth + 1))) return;
            Py_hash_t kh = PyObject_Hash(key);
            if (kh == -1 && PyErr_Occurred()) throw Error();
            h += mix((uint64_t)kh ^ mix(k + 0x632be59bu));
        });
        out = h;
        return keyed;
    }
    if (Py_TYPE(o)->tp_richcompare != PyBaseObject_Type.tp_richcompare) return false;
    Py_hash_t h = PyObject_Hash(o);  // equality is identity: any hash of its own fits
    if (h == -1 && PyErr_Occurred()) {
        if (!unhashable_error_set()) throw Error();
        PyErr_Clear();
        return false;
    }
    out = (Py_uhash_t)h;
    return true;
}

// One list of the intersection, indexed for `member in list`: by identity,
// and by equality key, each in a flat open-addressing table; the members with
// the same key are chained in the list's order, and the positions of the
// members that have no key are kept apart.
class EqualityIndex {
public:
    explicit EqualityIndex(PyObject* list) : items_(own(PySequence_List(list))) {
        size_t n = (size_t)PyList_GET_SIZE(items_.get());
        capacity_ = 16;
        while (capacity_ < n + n / 2) capacity_ <<= 1;
        identities_.assign(capacity_, nullptr);
        for (size_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(items_.get(), (Py_ssize_t)i);
            size_t slot = mix((uint64_t)(uintptr_t)item) & (capacity_ - 1);
            while (identities_[slot] && identities_[slot] != item) slot = (slot + 1) & (capacity_ - 1);
            identities_[slot] = item;
        }
    }

    // `member in list`: the members that may equal it are compared in the
    // list's order, as the list's own test would. `keyed` and `key` are
    // worked out on first need (-1: not yet).
    bool contains(PyObject* member, int& keyed, Py_uhash_t& key) {
        for (size_t slot = mix((uint64_t)(uintptr_t)member) & (capacity_ - 1); identities_[slot];
             slot = (slot + 1) & (capacity_ - 1))
            if (identities_[slot] == member) return true;
        if (!keys_ready_) index_keys();
        if (keyed < 0) keyed = equality_key(member, key);
        if (!keyed) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items_.get()); ++i)
                if (equal_at(i, member)) return true;
            return false;
        }
        Py_ssize_t a = first_with(key);
        size_t b = 0;
        while (a >= 0 || b < unkeyed_.size()) {
            if (b == unkeyed_.size() || (a >= 0 && a < unkeyed_[b])) {
                if (equal_at(a, member)) return true;
                a = next_[(size_t)a];
            } else if (equal_at(unkeyed_[b++], member)) {
                return true;
            }
        }
        return false;
    }

private:
    struct KeySlot {
        Py_uhash_t key;
        Py_ssize_t first = -1;  // the chain of positions with this key, through next_
    };

    // The equality keys, on the first member that is not in the list itself.
    void index_keys() {
        keys_ready_ = true;
        Py_ssize_t n = PyList_GET_SIZE(items_.get());
        keys_.assign(capacity_, KeySlot{});
        next_.assign((size_t)n, -1);
        for (Py_ssize_t i = n - 1; i >= 0; --i) {  // from the end, so that each chain runs in order
            Py_uhash_t k = 0;
            if (!equality_key(PyList_GET_ITEM(items_.get(), i), k)) {
                unkeyed_.push_back(i);
                continue;
            }
            KeySlot& slot = key_slot(k);
            slot.key = k;
            next_[(size_t)i] = slot.first;
            slot.first = i;
        }
        std::reverse(unkeyed_.begin(), unkeyed_.end());
    }

    KeySlot& key_slot(Py_uhash_t k) {
        size_t slot = mix(k) & (capacity_ - 1);
        while (keys_[slot].first >= 0 && keys_[slot].key != k) slot = (slot + 1) & (capacity_ - 1);
        return keys_[slot];
    }

    Py_ssize_t first_with(Py_uhash_t k) { return key_slot(k).first; }

    bool equal_at(Py_ssize_t i, PyObject* member) const {
        Ref item = Ref::borrow(PyList_GET_ITEM(items_.get(), i));
        return check(PyObject_RichCompareBool(item.get(), member, Py_EQ)) != 0;
    }

    Ref items_;  // a snapshot of the list; keeps its members alive
    size_t capacity_;
    std::vector<PyObject*> identities_;
    bool keys_ready_ = false;
    std::vector<KeySlot> keys_;
    std::vector<Py_ssize_t> next_;
    std::vector<Py_ssize_t> unkeyed_;
};

// The members of the first list, without repeats, that equal a member of
// every other list, in the order of the first list. Each other list is
// indexed once, so that the work grows with the lengths of the lists, not
// with their product.
Ref unhashable_intersection(Ctx& c, PyObject* lists) {
    if (!truth(lists)) return new_list();
    Ref first = own(PySequence_GetItem(lists, 0));
    Ref result = c.direct ? unhashable_remove(first.get())
                          : own(PyObject_CallMethodOneArg(c.self, c.st.n__unhashable_remove.get(), first.get()));
    Ref others = own(PySequence_List(own(PySequence_GetSlice(lists, 1, PY_SSIZE_T_MAX)).get()));
    if (!PyList_GET_SIZE(others.get())) return result;
    std::vector<std::unique_ptr<EqualityIndex>> indexes;
    for_each(others.get(), [&](PyObject* other) { indexes.push_back(std::make_unique<EqualityIndex>(other)); });
    Ref kept = new_list();
    for_each(own(PySequence_List(result.get())).get(), [&](PyObject* member) {
        Py_uhash_t key = 0;
        int keyed = -1;
        for (auto& index : indexes)
            if (!index->contains(member, keyed, key)) return;
        append(kept.get(), member);
    });
    return kept;
}

Ref Find_unhashable_intersection(const Call& c) {
    Ctx ctx(c.state<State>(), c.module(), c[0]);
    return unhashable_intersection(ctx, c[1]);
}

// ---------------------------------------------------------------------------
// Find._populate_path
// ---------------------------------------------------------------------------

// The first named group of a compiled pattern, or an empty Ref.
Ref first_group(State& st, PyObject* regex) {
    Ref groups = own(PyObject_GetAttr(regex, st.n_groupindex.get()));
    Ref it = own(PyObject_GetIter(groups.get()));
    Ref name = Ref::steal(PyIter_Next(it.get()));
    if (!name && PyErr_Occurred()) throw Error();
    return name;
}

Ref Find_populate_path(const Call& c) {
    State& st = c.state<State>();
    Ctx ctx(st, c.module());
    PyObject *path = c[1], *keys = c[2], *device = c[3], *cur_path = c[4];
    std::vector<Ref> paths;
    paths.push_back(truth(cur_path) ? own(PySequence_List(cur_path)) : new_list());
    for_each(path, [&](PyObject* item) {
        Ref value = Ref::borrow(item), regex;
        if (is_operator(st, item)) {
            value = op_value(item);
            if (is_text_with(value.get(), "(") && has_pattern(item)) regex = op_regex(item);
        } else if (is_text_with(item, "(")) {
            regex = compile_or_value_error(ctx, item);
        }
        std::vector<Ref> alternatives;
        Ref name = regex ? first_group(st, regex.get()) : Ref();
        if (is_exact_text(value.get(), "{uut}")) {
            alternatives.push_back(Ref::borrow(device));
        } else if (name && check(PySequence_Contains(keys, name.get()))) {
            Ref candidates = own(PyObject_GetItem(keys, name.get()));
            for_each(candidates.get(), [&](PyObject* v) {
                Ref text = text_of(v);
                if (regex_truth(ctx, regex.get(), text.get())) alternatives.push_back(Ref::borrow(v));
            });
        } else {
            alternatives.push_back(value);
        }
        std::vector<Ref> next;
        for (auto& p : paths)
            for (auto& a : alternatives) {
                Ref longer = own(PySequence_List(p.get()));
                append(longer.get(), a.get());
                next.push_back(std::move(longer));
            }
        paths = std::move(next);
    });
    Ref result = new_list();
    if (!truth(c[5])) {
        for (auto& p : paths) append(result.get(), p.get());
        return result;
    }
    Ref unique = own(PySet_New(nullptr));
    for (auto& p : paths) check(PySet_Add(unique.get(), own(PySequence_Tuple(p.get())).get()));
    for_each(unique.get(), [&](PyObject* t) { append(result.get(), own(PySequence_List(t)).get()); });
    return result;
}

// ---------------------------------------------------------------------------
// GroupKeys
// ---------------------------------------------------------------------------

Ref GroupKeys_group_keys(const Call& c) {
    State& st = c.state<State>();
    Ctx ctx(st, c.module());
    Ref source = truth(c[4]) ? Ref::borrow(c[1]) : list_of({c[1]});
    Ref sources = new_list();
    for_each(source.get(), [&](PyObject* found) {
        Ref full_paths = new_list();
        for_each(found, [&](PyObject* pair) {
            auto [value, path] = unpack2(pair);
            Ref tail = list_of({value.get()});
            append(full_paths.get(), own(PyNumber_Add(path.get(), tail.get())).get());
        });
        append(sources.get(), full_paths.get());
    });
    // Each list of full paths with its own requirement entry, sorted by the
    // paths alone (a stable sort), so that every row takes its column names
    // from the requirement that found it.
    std::vector<Ref> entries;
    Ref reqs_it = own(PyObject_GetIter(c[2]));
    while ((Py_ssize_t)entries.size() < PyList_GET_SIZE(sources.get())) {
        Ref entry = Ref::steal(PyIter_Next(reqs_it.get()));
        if (!entry) {
            if (PyErr_Occurred()) throw Error();
            break;
        }
        entries.push_back(std::move(entry));
    }
    Py_ssize_t n = (Py_ssize_t)entries.size();
    Ref paired = own(PyList_GetSlice(sources.get(), 0, n));
    Ref order = own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(order.get(), i, own(PyLong_FromSsize_t(i)).release());
    if (n > 1) {
        Ref by_paths = own(PyObject_GetAttr(paired.get(), st.n_getitem.get()));
        Ref kwnames = own(PyTuple_Pack(1, st.n_key.get()));
        call_method(st.n_sort.get(), {order.get(), by_paths.get()}, kwnames.get());
    }
    Ref result = new_list();
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t s = PyLong_AsSsize_t(PyList_GET_ITEM(order.get(), k));
        const Ref& entry = entries[(size_t)s];
        for_each(PyList_GET_ITEM(paired.get(), s), [&](PyObject* full_path) {
            for_each(entry.get(), [&](PyObject* req_path) {
                Ref row = own(PyDict_New());
                Ref a = own(PyObject_GetIter(full_path)), b = own(PyObject_GetIter(req_path));
                while (true) {
                    Ref element = Ref::steal(PyIter_Next(a.get()));
                    if (!element) break;
                    Ref req_element = Ref::steal(PyIter_Next(b.get()));
                    if (!req_element) break;
                    Ref regex;
                    if (is_operator(st, req_element.get())) {
                        if (is_text_with(op_value(req_element.get()).get(), "(?P<")) {
                            regex = op_regex(req_element.get());
                            if (regex.get() == Py_None) {
                                Ref shown = fmt(st, op_value(req_element.get()).get());
                                raise(PyExc_ValueError, "'%U' is not a valid regex expression", shown.get());
                            }
                        }
                    } else if (is_text_with(req_element.get(), "(?P<")) {
                        regex = compile_or_value_error(ctx, req_element.get());
                    }
                    if (!regex) continue;
                    Ref name = first_group(st, regex.get());
                    if (!name) raise(PyExc_IndexError, "list index out of range");
                    check(PyDict_SetItem(row.get(), name.get(), element.get()));
                }
                if (PyErr_Occurred()) throw Error();
                append(result.get(), row.get());
            });
        });
    }
    return result;
}

// ---------------------------------------------------------------------------
// Docstrings and definitions
// ---------------------------------------------------------------------------

const char* const find_doc =
    "Filters the objects that are matching the requirements in an iterable.\n"
    "\n"
    "        Args:\n"
    "            from_ (`iterable`): Iterable to search in; must not be None.\n"
    "            requirements (`R`): Requirements (R objects) that the members must satisfy.\n"
    "            type_ (`class` or `list`): Class or list of classes; members must be instances\n"
    "                of one of them.\n"
    "            kwargs (`dict`): Builds one requirement for convenience, as R(**kwargs).\n"
    "            filter_ (`bool`): True returns the matching members; False returns the matching\n"
    "                values, each with the path that leads to it.\n"
    "            index (`int`): Only with filter_ False: which enclosing mapping to return\n"
    "                instead of the value; by default the value itself.\n"
    "            all_keys (`bool`): True returns every path that matches the first requirement.\n"
    "\n"
    "        Returns:\n"
    "            list - the members, or the (value, path) pairs, that satisfy the requirements.\n"
    "\n"
    "        Examples:\n"
    "            >>> from ovark.utils.objects import find, R\n"
    "            >>> find(from_ = [1, 2, 1.2, \"bla\"], type_ = int)\n"
    "            [1, 2]\n"
    "            >>> find([1,2,1.2, \"bla\", {\"bla\": \"blabla\"}], R(bla = \"blabla\"), type_ = [dict])\n"
    "            [{\"bla\": \"blabla\"}]\n"
    "\n"
    "        Note:\n"
    "            The \"__\" syntax of keyword requirements cannot reach names that start or end\n"
    "            with \"_\".\n"
    "        ";

const char* const match_doc =
    "Function that verifies wanted logic is in the obj.\n"
    "\n"
    "        Helper function that loop through the wanted keys and make sure that all the wanted key which are\n"
    "        described using Ovark Logic, is satisfied in received obj.\n"
    "\n"
    "        Args:\n"
    "            obj    (obj)  : Object that should contain all the wanted keys with correct value\n"
    "            wanted (dict) : Dict that has all the requirements\n"
    "\n"
    "        Returns:\n"
    "            False when a requirement fails; True when all hold (filter_ True); with filter_\n"
    "            False, the (value, path) pair of the matched requirement.\n"
    "\n"
    "        Examples:\n"
    "            >>> from ovark.datastructures.logic import Or\n"
    "            >>> class first: status = 'up'; speed = '300'\n"
    "            >>> Find()._match(first, {'status':'up', 'speed':'300'})\n"
    "            True\n"
    "            >>> Find()._match(first, {'status': Or('down')})\n"
    "            False\n"
    "            >>> Find()._match(first, {'status': Or('up'), 'speed': Or('300', '500')})\n"
    "            True\n"
    "        ";

const FuncDef find_def{"find",
                       "(self, from_, *requirements, type_=None, filter_=True, index=None, _first=True, "
                       "all_keys=False, **kwargs)",
                       find_doc, Find_find};
const FuncDef reset_keys_def{"reset_keys", "(self)",
                             " Reset all the keys as find api returns an instance not the object.", Find_reset_keys};
const FuncDef normalize_r_def{"_normalize_r", "(self, requirements)",
                              "normalization function to reduce regex at multiple requirements", Find_normalize_r};
const FuncDef formalize_loopable_def{"_formalize_loopable", "(self, obj)",
                                     "formalize_loopable for _match\n\n"
                                     "        return a valid loopable for _match. Will raise an exception if not a "
                                     "valid type",
                                     Find_formalize_loopable};
const FuncDef match_def{"_match", "(self, obj, wanted, use__syntax=True, filter_=True)", match_doc, Find_match};
const FuncDef build_dict_def{"_build_dict", "(self, from_, keys, index)",
                             "Recursive function to return the right dictionary for the index", Find_build_dict};
const FuncDef unhashable_intersection_def{
    "_unhashable_intersection", "(self, unhashables_lists)",
    " _unhashable_intersection\n\n"
    "        Intersection of lists whose members cannot be hashed: the members of the first\n"
    "        list, without repeats, that are in every other list, in the order of the first.",
    Find_unhashable_intersection};
const FuncDef unhashable_remove_def{"_unhashable_remove", "(self, unhashables)",
                                    " _unhashable_remove\n\n"
                                    "        Removes repeating unhashables from a list. Equivelant of set()",
                                    Find_unhashable_remove};
const FuncDef populate_path_def{"_populate_path", "(self, path, keys, device=None, _cur_path=None, _first=True)",
                                "Create the multiple paths out of the paths", Find_populate_path};
const FuncDef group_keys_def{
    "group_keys", "(cls, source, reqs, ret_num=None, all_keys=False)",
    "Group the paths found by find by the named groups of the requirement patterns.\n"
    "\n"
    "        Args:\n"
    "            source (`list`) : Function ovark.utils.objects.find output.\n"
    "            reqs (`list`) : List of requirements.\n"
    "            ret_num (`int`) : Accepted and not used.\n"
    "            all_keys (`bool`) : source holds one find output per requirement.\n"
    "\n"
    "        Returns:\n"
    "            dict - Dictionary with the keys from args, format will be like {key1: [value1, value2], key2: "
    "[value1, value2]}\n"
    "            (one row per found path: a dict from group name to the path element)\n"
    "\n"
    "        Example:\n"
    "            paths ['instance', 'default', 'vrf', 'default', 'neighbor', '200.1.1.1', 'session_state']\n"
    "            and ['instance', 'default', 'vrf', 'default', 'neighbor', '200:1::1:1', 'session_state']\n"
    "            with the requirement path ['instance', '(?P<instance>.*)', 'vrf', '(?P<vrf>.*)',\n"
    "            'neighbor', '(?P<neighbor>.*)', 'session_state', ...] give\n"
    "            [{'instance': 'default', 'vrf': 'default', 'neighbor': '200.1.1.1'},\n"
    "             {'instance': 'default', 'vrf': 'default', 'neighbor': '200:1::1:1'}]\n"
    "        ",
    GroupKeys_group_keys};

const char* const operator_doc =
    "basic find operator\n"
    "\n"
    "    Takes a requirement value and uses to match laterly.\n"
    "\n"
    "    Args:\n"
    "        value(`object`): regex or str or any object\n"
    "\n"
    "    Examples:\n"
    "        >>> obj.data = {'100': {'status': 'active', 'vl_mode': 'CE', 'members': [1,2,3,4],\n"
    "        ...             'vlan_type': 'enet', 'name': 'VLAN0100'}}\n"
    "        >>> find(obj, R(['data',Operator('(.*)')]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'members', Operator([1,2,3,4])]))\n"
    "    ";
const char* const not_doc =
    " Not operator\n"
    "\n"
    "    Examples:\n"
    "        >>> find(obj, R(['data',Not('200')]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'status', Not('deactive')]))\n"
    "    ";
const char* const contains_doc =
    " Contains operator\n"
    "\n"
    "    Examples:\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'members', Contains(1)]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'name', Contains('100')]))\n"
    "    ";
const char* const notexists_doc =
    " Key does not exists in dictionary and object\n"
    "\n"
    "    Examples:\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'members', NotExists(1)]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'name', NotExists('100')]))\n"
    "    ";

// --- native type specs ----------------------------------------------------------

PyMemberDef r_members[] = {
    {"args", T_OBJECT_EX, offsetof(RObject, args), 0, nullptr},
    {"kwargs", T_OBJECT_EX, offsetof(RObject, kwargs), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(RObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef op_members[] = {
    {"value", T_OBJECT_EX, offsetof(OperatorObject, value), 0, nullptr},
    {"regex", T_OBJECT_EX, offsetof(OperatorObject, regex), 0, nullptr},
    {"parent", T_OBJECT_EX, offsetof(OperatorObject, parent), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(OperatorObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(OperatorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr unsigned long type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Slot r_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<RObject>},
    {Py_tp_clear, (void*)instance_clear<RObject>},
    {Py_tp_members, r_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};
PyType_Spec r_spec{"ovark.utils.objects.R", sizeof(RObject), 0, type_flags, r_slots};

PyType_Slot operator_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_members, op_members},
    {Py_tp_getset, instance_getset},
    {Py_tp_richcompare, (void*)op_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_doc, (void*)operator_doc},
    {0, nullptr},
};
// The subclasses inherit their members from Operator.
PyType_Slot not_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_richcompare, (void*)not_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_repr, (void*)not_repr},
    {Py_tp_doc, (void*)not_doc},
    {0, nullptr},
};
PyType_Slot contains_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_richcompare, (void*)contains_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_doc, (void*)contains_doc},
    {0, nullptr},
};
PyType_Slot notexists_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_richcompare, (void*)notexists_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_repr, (void*)notexists_repr},
    {Py_tp_doc, (void*)notexists_doc},
    {0, nullptr},
};

PyType_Spec operator_spec{"ovark.utils.objects.Operator", sizeof(OperatorObject), 0, type_flags, operator_slots};
PyType_Spec not_spec{"ovark.utils.objects.Not", sizeof(OperatorObject), 0, type_flags, not_slots};
PyType_Spec contains_spec{"ovark.utils.objects.Contains", sizeof(OperatorObject), 0, type_flags, contains_slots};
PyType_Spec notexists_spec{"ovark.utils.objects.NotExists", sizeof(OperatorObject), 0, type_flags, notexists_slots};

// Put the documented methods of a native operator type in its class dict
// without retargeting its C slots: `==`, hashing and repr keep running the
// native code, and `Class.__eq__` is the documented function running the same
// code. A subclass that overrides one of them gets the generic slot as usual.
// The rich comparisons other than __eq__ are removed again, so that they are
// object's, as for a class that defines only __eq__.
void set_documented_slots(PyObject* type, std::initializer_list<const FuncDef*> defs, const char* owner) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
    for (const FuncDef* def : defs)
        check(PyDict_SetItemString(dict, def->name, make_function(module_of_type(reinterpret_cast<PyTypeObject*>(type)), *def, owner).get()));
    for (const char* name : {"__ne__", "__lt__", "__le__", "__gt__", "__ge__"})
        if (PyDict_GetItemString(dict, name)) check(PyDict_DelItemString(dict, name));
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
}

Ref operator_type(PyObject* module, PyType_Spec* spec, PyObject* base, std::vector<Member> members,
                  std::initializer_list<const FuncDef*> slot_defs, const char* owner) {
    Ref type = new_type(module, spec, base, members);
    set_documented_slots(type.get(), slot_defs, owner);
    return type;
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    // Names first: the classes' methods use them.
    struct {
        Ref* ref;
        const char* text;
    } names[] = {
        {&st.n_re, "re"}, {&st.n_copy, "copy"}, {&st.n_Iterable, "Iterable"}, {&st.n_Mapping, "Mapping"},
        {&st.n_TopologyObject, "TopologyObject"}, {&st.n_BaseLogic, "BaseLogic"}, {&st.n_logger, "logger"},
        {&st.n_compile, "compile"}, {&st.n_match, "match"}, {&st.n_items, "items"},
        {&st.n_values, "values"}, {&st.n_warning, "warning"}, {&st.n_groupindex, "groupindex"},
        {&st.n_hash, "__hash__"}, {&st.n_args, "args"}, {&st.n_value, "value"},
        {&st.n_pattern, "pattern"},
        {&st.n_initial_object, "initial_object"}, {&st.n_initial_requirements, "initial_requirements"},
        {&st.n_to_find_dict, "to_find_dict"}, {&st.n_found_objects, "found_objects"},
        {&st.n_initial_found_objects, "initial_found_objects"}, {&st.n_find, "find"}, {&st.n__match, "_match"},
        {&st.n__normalize_r, "_normalize_r"}, {&st.n__formalize_loopable, "_formalize_loopable"},
        {&st.n__build_dict, "_build_dict"}, {&st.n__unhashable_intersection, "_unhashable_intersection"},
        {&st.n__unhashable_remove, "_unhashable_remove"}, {&st.n_reset_keys, "reset_keys"},
        {&st.n_filter_, "filter_"}, {&st.n__first, "_first"}, {&st.n_all_keys, "all_keys"},
        {&st.n_use__syntax, "use__syntax"}, {&st.n_from_, "from_"}, {&st.n_keys, "keys"}, {&st.n_index, "index"},
        {&st.n_remove, "remove"}, {&st.n_insert, "insert"}, {&st.n_deepcopy, "deepcopy"}, {&st.n_get, "get"},
        {&st.n_dict, "__dict__"}, {&st.n_literal_eval, "literal_eval"}, {&st.n_empty, ""},
        {&st.n_sort, "sort"}, {&st.n_key, "key"}, {&st.n_getitem, "__getitem__"}, };
    for (auto& n : names) *n.ref = intern(n.text);

    // 1. Imports.
    Ref re = own(PyImport_ImportModule("re"));
    add_object(module, "re", re);
    add_object(module, "copy", own(PyImport_ImportModule("copy")));
    Ref bases = own(PyImport_ImportModule("ovark.topology.bases"));
    add_object(module, "TopologyObject", own(PyObject_GetAttrString(bases.get(), "TopologyObject")));
    Ref logic = own(PyImport_ImportModule("ovark.datastructures.logic"));
    add_object(module, "BaseLogic", own(PyObject_GetAttrString(logic.get(), "BaseLogic")));
    Ref abc = own(PyImport_ImportModule("collections.abc"));
    add_object(module, "Iterable", own(PyObject_GetAttrString(abc.get(), "Iterable")));
    add_object(module, "Mapping", own(PyObject_GetAttrString(abc.get(), "Mapping")));
    Ref logging = own(PyImport_ImportModule("logging"));
    add_object(module, "logging", logging);
    // 2. The logger.
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));
    Ref probe = own(PyObject_CallMethod(re.get(), "compile", "s", ""));
    st.pattern_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));

    // 3. The classes, in order.
    st.Find = new_class(module, "Find", nullptr, nullptr,
                        {method(find_def), method(reset_keys_def), method(normalize_r_def),
                         method(formalize_loopable_def), method(match_def), method(build_dict_def),
                         method(unhashable_intersection_def), method(unhashable_remove_def),
                         method(populate_path_def)});
    add_object(module, "Find", st.Find);
    PyObject* find_dict = reinterpret_cast<PyTypeObject*>(st.Find.get())->tp_dict;
    for (auto [ref, def] : {std::pair{&st.f_find, &find_def}, {&st.f_match, &match_def},
                            {&st.f_normalize_r, &normalize_r_def}, {&st.f_formalize_loopable, &formalize_loopable_def},
                            {&st.f_build_dict, &build_dict_def},
                            {&st.f_unhashable_intersection, &unhashable_intersection_def},
                            {&st.f_unhashable_remove, &unhashable_remove_def}, {&st.f_reset_keys, &reset_keys_def}})
        *ref = Ref::borrow(check(PyDict_GetItemString(find_dict, def->name)));

    // The layouts as a class statement would declare them, so that copy and
    // pickle carry the attributes.
    auto slots = [](std::initializer_list<const char*> names) {
        Ref t = own(PyTuple_New((Py_ssize_t)names.size()));
        Py_ssize_t i = 0;
        for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, intern(n).release());
        return t;
    };
    st.R = new_type(module, &r_spec, nullptr,
                    {method(R_init_def), value("__slots__", slots({"args", "kwargs", "__dict__", "__weakref__"}))});
    add_object(module, "R", st.R);
    st.Operator = operator_type(module, &operator_spec, nullptr,
                                {method(Operator_init_def), method(Operator_match_def), method(Operator_deepcopy_def),
                                 value("__slots__", slots({"value", "regex", "parent", "__dict__", "__weakref__"}))},
                                {&Operator_hash_def, &Operator_eq_def}, "Operator");
    add_object(module, "Operator", st.Operator);
    st.Not = operator_type(module, &not_spec, st.Operator.get(), {}, {&Not_hash_def, &Not_eq_def, &Not_repr_def}, "Not");
    add_object(module, "Not", st.Not);
    st.Contains = operator_type(module, &contains_spec, st.Operator.get(), {}, {&Contains_hash_def, &Contains_eq_def},
                                "Contains");
    add_object(module, "Contains", st.Contains);
    st.NotExists = operator_type(module, &notexists_spec, st.Operator.get(), {},
                                 {&NotExists_hash_def, &NotExists_eq_def, &NotExists_repr_def}, "NotExists");
    add_object(module, "NotExists", st.NotExists);
    st.GroupKeys = new_class(module, "GroupKeys", nullptr,
                             "GroupKeys\n\n    Compose the dict which contains the headers as keys, and values from "
                             "the source corresponding keys\n    ",
                             {classmethod(group_keys_def)});
    add_object(module, "GroupKeys", st.GroupKeys);

    // 4. The shared instance behind the module-level find.
    Ref instance = own(PyObject_CallNoArgs(st.Find.get()));
    add_object(module, "find", own(PyObject_GetAttr(instance.get(), st.n_find.get())));
}

}  // namespace

OVK_MODULE(State, exec, "The object query engine: find values, paths and objects in nested data by requirements.")
