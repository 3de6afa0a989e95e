// ovark.utils.objects - what the parts of the module share: the interned
// names and the module state, the call context `Ctx`, the small helpers, the
// layouts of `R` and the operators, the plans of the matcher, and the
// functions one part offers the others. The map of the module is at the top
// of module.cpp.
#pragma once
#include "ovk/ovk.hpp"

#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace objects {

using namespace ovk;

// ---------------------------------------------------------------------------
// State and call context
// ---------------------------------------------------------------------------

// Interned names: attributes, methods, keywords and module globals the engine reads.
// clang-format off
#define OBJECTS_NAMES(X)                                                                                               \
    X(re) X(copy) X(Iterable) X(Mapping) X(TopologyObject) X(BaseLogic) X(logger) X(compile) X(match) X(items)         \
    X(values) X(warning) X(groupindex) X(__hash__) X(args) X(value) X(pattern) X(initial_object)                       \
    X(initial_requirements) X(to_find_dict) X(found_objects) X(initial_found_objects) X(find) X(_match)                \
    X(_normalize_r) X(_formalize_loopable) X(_build_dict) X(_unhashable_intersection) X(_unhashable_remove)            \
    X(reset_keys) X(filter_) X(_first) X(all_keys) X(use__syntax) X(from_) X(keys) X(index) X(insert) X(deepcopy)      \
    X(get) X(__dict__) X(literal_eval) X(sort) X(key) X(__getitem__)
OVK_NAMES(OBJECTS_NAMES)
// clang-format on

struct State {
    Ref Find, R, Operator, Not, Contains, NotExists, GroupKeys;
    Ref pattern_type;  // type(re.compile(""))
    Ref ast;           // imported on first use by _build_dict
    Ref empty;         // "", the format spec of str.format's "{}"
    // The methods of Find as made here, to tell when one is overridden.
    Ref f_find, f_match, f_normalize_r, f_formalize_loopable, f_build_dict, f_unhashable_intersection,
        f_unhashable_remove, f_reset_keys;
    Names names;
    auto refs() {
        return std::tie(Find, R, Operator, Not, Contains, NotExists, GroupKeys, pattern_type, ast, empty, f_find,
                        f_match, f_normalize_r, f_formalize_loopable, f_build_dict, f_unhashable_intersection,
                        f_unhashable_remove, f_reset_keys);
    }
};

inline PyObject* module_of_type(PyTypeObject* type) { return check(PyType_GetModuleByDef(type, ovk_module_def())); }

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
        re = lookup(m, st.names[N_re]);
        Iterable = lookup(m, st.names[N_Iterable]);
        Mapping = lookup(m, st.names[N_Mapping]);
        TopologyObject = lookup(m, st.names[N_TopologyObject]);
        BaseLogic = lookup(m, st.names[N_BaseLogic]);
        if (self) direct = methods_are_ours();
    }

    bool methods_are_ours() const {
        auto* type = Py_TYPE(self);
        std::pair<PyObject*, PyObject*> checks[] = {
            {st.names[N_find], st.f_find.get()},
            {st.names[N__match], st.f_match.get()},
            {st.names[N__normalize_r], st.f_normalize_r.get()},
            {st.names[N__formalize_loopable], st.f_formalize_loopable.get()},
            {st.names[N__build_dict], st.f_build_dict.get()},
            {st.names[N__unhashable_intersection], st.f_unhashable_intersection.get()},
            {st.names[N__unhashable_remove], st.f_unhashable_remove.get()},
            {st.names[N_reset_keys], st.f_reset_keys.get()},
        };
        for (auto [name, fn] : checks)
            if (compat::type_lookup(type, name) != fn) return false;
        return true;
    }
};

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw Error();
    return n;
}

// `a == b` as interpreter code writes it (no identity short cut).
inline bool equal(PyObject* a, PyObject* b) { return truth(own(PyObject_RichCompare(a, b, Py_EQ))); }

// str(o), without a call for a str.
inline Ref text_of(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    return own(PyObject_Str(o));
}

inline bool text_starts_with(PyObject* text, const char* prefix) {
    Py_ssize_t n = (Py_ssize_t)strlen(prefix);
    if (PyUnicode_GET_LENGTH(text) < n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ_CHAR(text, i) != (Py_UCS4)(unsigned char)prefix[i]) return false;
    return true;
}

// A str (or subclass) whose text starts with `prefix`.
inline bool is_text_with(PyObject* o, const char* prefix) { return PyUnicode_Check(o) && text_starts_with(o, prefix); }

// The rule that makes a key, step or value a pattern: a str whose first
// character is "(" (a tuple key, whose text also starts so, is a plain key).
inline bool is_pattern(PyObject* o) { return is_text_with(o, "("); }

// isinstance(o, Mapping): a mapping is looked into by key, anything else (even
// an object with an attribute called `items`) by attribute.
inline bool is_mapping(PyObject* o, PyObject* mapping_cls) {
    if (PyDict_Check(o)) return true;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) ||
        PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None)
        return false;
    return check(PyObject_IsInstance(o, mapping_cls)) != 0;
}

inline bool is_exact_text(PyObject* o, const char* text) {
    return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// format(o, "") as str.format does it for "{}".
inline Ref fmt(State& st, PyObject* o) { return own(PyObject_Format(o, st.empty.get())); }

inline Ref new_list() { return own(PyList_New(0)); }
inline void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }
inline Ref pair_of(PyObject* a, PyObject* b) { return own(PyTuple_Pack(2, a, b)); }
inline Ref list_of(std::initializer_list<PyObject*> items) {
    Ref l = own(PyList_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (PyObject* it : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(it));
    return l;
}

// `clear_if` for a value that cannot be hashed: the set error, if it is a
// TypeError whose text starts with "unhashable type", is cleared and true
// returned; otherwise it stays set.
inline bool clear_if_unhashable() noexcept {
    Ref exc = take_error();
    bool unhashable = false;
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_TypeError)) {
        if (Ref text = Ref::steal(PyObject_Str(exc.get())))
            unhashable = text_starts_with(text.get(), "unhashable type");
        else
            PyErr_Clear();
    }
    if (!unhashable) restore_error(std::move(exc));
    return unhashable;
}

// ---------------------------------------------------------------------------
// R and the operators: layouts and fields (operators.cpp)
// ---------------------------------------------------------------------------

struct RObject {
    PyObject_HEAD Ref args, kwargs, dict;
    PyObject* weakrefs;
};

struct OperatorObject {
    PyObject_HEAD Ref value, regex, parent, dict;
    PyObject* weakrefs;
};

inline RObject* as_r(PyObject* o) { return reinterpret_cast<RObject*>(o); }
inline OperatorObject* as_op(PyObject* o) { return reinterpret_cast<OperatorObject*>(o); }

// A field of an instance, as a strong reference: the fields are writable
// attributes, so any code that runs while one is in use (a comparison, a
// hash, a call) may replace it. A deleted attribute raises as an attribute
// lookup would.
inline Ref field(PyObject* obj, const Ref& f, const char* name) {
    if (!f) raise(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(obj)->tp_name, name);
    return f;
}

inline bool is_r(State& st, PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.R.get())); }
inline bool is_operator(State& st, PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.Operator.get()));
}
inline bool is_not(State& st, PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.Not.get()));
}
inline bool is_notexists(State& st, PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.NotExists.get()));
}

// R(path), made without a call.
inline Ref new_r(State& st, PyObject* args, PyObject* kwargs) {
    auto* type = reinterpret_cast<PyTypeObject*>(st.R.get());
    Ref r = own(type->tp_alloc(type, 0));
    as_r(r.get())->args = Ref::borrow(args);
    as_r(r.get())->kwargs = Ref::borrow(kwargs);
    return r;
}
inline Ref new_path_r(State& st, PyObject* path) {
    Ref args = own(PyTuple_Pack(1, path));
    return new_r(st, args.get(), own(PyDict_New()).get());
}

// `value`, `regex` and `parent` of an operator, read and written in place:
// every instance, subclasses included, has the layout of OperatorObject.
inline Ref op_value(PyObject* op) { return field(op, as_op(op)->value, "value"); }
inline Ref op_regex(PyObject* op) { return field(op, as_op(op)->regex, "regex"); }
inline void set_parent(PyObject* op, PyObject* parent) { as_op(op)->parent = Ref::borrow(parent); }

// An operator whose value is a pattern that compiled.
inline bool has_pattern(PyObject* op) {
    PyObject* regex = as_op(op)->regex.get();
    return regex && regex != Py_None;
}

// ---------------------------------------------------------------------------
// What each part offers the others
// ---------------------------------------------------------------------------

// patterns.cpp
bool always_matching_text(PyObject* text);
Ref compile(Ctx& c, PyObject* text);
bool always_matches(Ctx& c, PyObject* regex);
bool regex_truth(Ctx& c, PyObject* regex, PyObject* text);
Ref compile_or_value_error(Ctx& c, PyObject* text);
Ref first_group(State& st, PyObject* regex);

// operators.cpp
Py_hash_t op_hash(PyObject* self);
bool op_equals(Ctx& c, PyObject* op, PyObject* other, PyObject* parent);
bool value_equals(Ctx& c, PyObject* value, PyObject* expected, PyObject* parent);
void add_requirement_types(PyObject* module, State& st);

// match.cpp: requirements regrouped once into a Plan, one rule per Want.
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

// Keys that lead to the object being matched, put in front of the paths it
// records (the walk of a path requirement builds each path once this way).
using Prefix = std::vector<PyObject*>;

Plan regroup(PyObject* wanted, bool use__syntax);
bool match_plan(Ctx& c, PyObject* obj, Plan& plan, bool filter, Ref& pair, const Prefix* prefix = nullptr);
Ref match_result(bool ok, bool filter, Ref& pair);
Ref formalize_loopable(Ctx& c, PyObject* obj, bool with_message);

// find.cpp
Ref normalize_r(State& st, PyObject* requirements);
Ref build_dict(Ctx& c, PyObject* from_, PyObject* keys, PyObject* index);

// intersection.cpp
Ref unhashable_remove(PyObject* unhashables);
Ref unhashable_intersection(Ctx& c, PyObject* lists);

// The methods of Find and GroupKeys, listed in module.cpp.
Ref Find_find(const Call& c, PyObject* self, PyObject* from_, PyObject* requirements, PyObject* type_,
              PyObject* filter_, PyObject* index, PyObject* first, PyObject* all_keys, PyObject* kwargs);
Ref Find_reset_keys(const Call& c);
Ref Find_normalize_r(const Call& c, PyObject* self, PyObject* requirements);
Ref Find_formalize_loopable(const Call& c, PyObject* self, PyObject* obj);
Ref Find_match(const Call& c, PyObject* self, PyObject* obj, PyObject* wanted, PyObject* use__syntax,
               PyObject* filter_);
Ref Find_build_dict(const Call& c, PyObject* self, PyObject* from_, PyObject* keys, PyObject* index);
Ref Find_unhashable_intersection(const Call& c, PyObject* self, PyObject* unhashables_lists);
Ref Find_unhashable_remove(const Call& c, PyObject* self, PyObject* unhashables);
Ref Find_populate_path(const Call& c, PyObject* self, PyObject* path, PyObject* keys, PyObject* device,
                       PyObject* cur_path, PyObject* first);
Ref GroupKeys_group_keys(const Call& c, PyObject* cls, PyObject* source, PyObject* reqs, PyObject* ret_num,
                         PyObject* all_keys);

}  // namespace objects
