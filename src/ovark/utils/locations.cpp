// ovark.utils.locations - YAML loading that records where every value came
// from, and merges that keep such location trees in step with the data.
//
// Location is a native dict subclass whose file, line and column live in C
// fields (see LocationObject); the loader makes its records without going
// through __init__.
//
// LocSafeLoader is a yaml.SafeLoader subclass (made by calling the metaclass)
// whose construct_document / construct_object record locations and build the
// data as SafeLoader's own methods do: the standard kinds of node here, any
// other through PyYAML (see "construction" below); plain scalars are resolved
// here too while the resolver is PyYAML's default. Node source: when PyYAML has
// libyaml (the module global CParser is not None), the loader takes its nodes
// from libyaml's parser, which carries the same start marks as the pure-Python
// composer. The pure-Python reader, scanner, parser and composer stay set up on
// the same text and take over whenever libyaml could disagree with them:
//   - a document libyaml rejects (including its nesting limit) is composed again
//     by the pure-Python path, which raises its own error (or loads it);
//   - a YAML error while constructing libyaml's nodes, and an implicit empty
//     value in a flow mapping (where libyaml puts the mark at the next token),
//     make the document be composed and constructed again by the pure-Python
//     path, so that errors and location trees are those of SafeLoader.
// Setting `ovark.utils.locations.CParser = None` selects the pure-Python path.
// The cyclic garbage collector is left as the caller set it: the containers
// that construction builds stay out of its sight until their document is done
// (see Ctx::hide), so that collections in the middle of a large load do not
// walk everything built so far again and again.
#include "ovk/ovk.hpp"

#include <algorithm>
#include <cstddef>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#ifdef OVK_HAVE_LIBYAML
#include <yaml.h>
#endif

using namespace ovk;

namespace {

// ---------------------------------------------------------------- state

struct Ctx;

// SafeConstructor methods whose own versions the native construction stands in for.
// The tags of PyYAML's default implicit resolvers.
enum Resolved { R_BOOL, R_FLOAT, R_INT, R_MERGE, R_NULL, R_TIMESTAMP, R_VALUE, R_YAML, R_COUNT };

// How the installed PyYAML merges (events.hpp, ev_merge_model).
enum MergeModel { MERGE_UNKNOWN, MERGE_REVERSED, MERGE_FIRST_WINS };

enum StdMethod { S_CONSTRUCT_SCALAR, S_CONSTRUCT_MAPPING, S_FLATTEN_MAPPING, S_CONSTRUCT_SEQUENCE, S_COUNT };

struct State {
    // Objects bound at load, to recognise unpatched globals.
    Ref MutableMapping, MutableSequence, MappingNode, ScalarNode, SequenceNode, SafeLoader, CParser;
    Ref location_type, loader_class, node_source_class, cmark_type, yaml_error, recompose_error;
    Ref io_base, string_io, bytes_io, composer_class;
    Ref empty_tuple, empty_str, minus_one, one;
    Ref update_fn, setdefault_fn, deepcopy_fn, source_template[3];
    // Interned names.
    Ref n_os, n_path, n_basename, n_Location, n_MutableMapping, n_MutableSequence, n_MappingNode, n_ScalarNode,
        n_SequenceNode, n_LIST_EXTEND_PATTERN, n_CParser, n_max, n_recursive_location_update,
        n_recursive_location_setdefault, n_location_deepcopy, n_list_extend, n_file, n_line, n_column, n__file,
        n__locations, n__location, n__parent, n_start_mark, n_end_mark, n_value, n_flow_style, n_index, n_name,
        n_read, n_items, n_get, n_pop, n_setdefault, n_extend, n_match, n_groups, n_keys, n_resolve,
        n_descend_resolver, n_ascend_resolver, n___init__, n_construct_object, n_construct_document,
        n_get_single_node, n_check_node, n_get_node, n__node_source, n__documents, n__single, n__constructing,
        n_constructed_objects, n_recursive_objects, n_state_generators, n_deep_construct, n_yaml_path_resolvers,
        n___dict__, n__text, n__ready;
    Ref object_getstate;
    // Native construction: SafeLoader's own methods and constructors, the
    // standard tags, and the class attributes they read.
    Ref fill_type, construct_object_fn, construct_document_fn, Hashable, ConstructorError, tag_kinds, merge_tag, value_tag, bool_values,
        inf_value, nan_value, n_tag, n_yaml_constructors, n_bool_values, n_inf_value, n_nan_value,
        n_flatten_mapping;
    Ref std_names[S_COUNT], std_fns[S_COUNT], kind_tags[7], kind_fns[7];
    std::vector<Ctx*> active;
    MergeModel merge_model = MERGE_UNKNOWN;
    Ref timestamp_tag, timestamp_fn;  // SafeConstructor's, for the event path
    // Native resolution.
    Ref resolved_tags[R_COUNT], default_tags[3], default_tag_names[3], resolver_names[3], resolver_fns[3],
        resolve_fns[3], implicit_resolvers, timestamp_regexp, n_yaml_implicit_resolvers;  // constructions in progress (nested loads, threads)

    auto refs() {
        return std::tie(MutableMapping, MutableSequence, MappingNode, ScalarNode, SequenceNode, SafeLoader,
                        CParser, location_type, loader_class, node_source_class, cmark_type, yaml_error,
                        recompose_error, io_base, string_io, bytes_io, composer_class, empty_tuple, empty_str,
                        minus_one, one, update_fn, setdefault_fn, deepcopy_fn, source_template[0],
                        source_template[1], source_template[2], n_os, n_path, n_basename, n_Location,
                        n_MutableMapping, n_MutableSequence, n_MappingNode, n_ScalarNode, n_SequenceNode,
                        n_LIST_EXTEND_PATTERN, n_CParser, n_max, n_recursive_location_update,
                        n_recursive_location_setdefault, n_location_deepcopy, n_list_extend, n_file, n_line,
                        n_column, n__file, n__locations, n__location, n__parent, n_start_mark, n_end_mark, n_value,
                        n_flow_style, n_index, n_name, n_read, n_items, n_get, n_pop, n_setdefault, n_extend,
                        n_match, n_groups, n_keys, n_resolve, n_descend_resolver, n_ascend_resolver, n___init__,
                        n_construct_object, n_construct_document, n_get_single_node, n_check_node, n_get_node,
                        n__node_source, n__documents, n__single, n__constructing, n_constructed_objects,
                        n_recursive_objects, n_state_generators, n_deep_construct, n_yaml_path_resolvers,
                        n___dict__, n__text, n__ready, timestamp_tag, timestamp_fn, object_getstate, fill_type, construct_object_fn, construct_document_fn, Hashable,
                        ConstructorError, tag_kinds, merge_tag, value_tag, bool_values, inf_value, nan_value, n_tag,
                        n_yaml_constructors, n_bool_values, n_inf_value, n_nan_value, n_flatten_mapping,
                        std_names[0], std_names[1], std_names[2], std_names[3], std_fns[0], std_fns[1], std_fns[2],
                        std_fns[3], kind_tags[0], kind_tags[1], kind_tags[2], kind_tags[3], kind_tags[4],
                        kind_tags[5], kind_tags[6], kind_fns[0], kind_fns[1], kind_fns[2], kind_fns[3], kind_fns[4],
                        kind_fns[5], kind_fns[6], resolved_tags[0], resolved_tags[1], resolved_tags[2],
                        resolved_tags[3], resolved_tags[4], resolved_tags[5], resolved_tags[6], resolved_tags[7],
                        default_tags[0], default_tags[1], default_tags[2], default_tag_names[0],
                        default_tag_names[1], default_tag_names[2], resolver_names[0], resolver_names[1],
                        resolver_names[2], resolver_fns[0], resolver_fns[1], resolver_fns[2], resolve_fns[0],
                        resolve_fns[1], resolve_fns[2], implicit_resolvers, timestamp_regexp,
                        n_yaml_implicit_resolvers);
    }
};

// ---------------------------------------------------------------- helpers

Ref attr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }

void set_attr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj))
        check(PyDict_SetItem(obj, key, value));
    else
        check(PyObject_SetItem(obj, key, value));
}

// isinstance(obj, <module global `name`>), answered by type identity while the
// global still holds the class bound at load.
bool is_instance(PyObject* module, PyObject* name, PyObject* ours, PyObject* obj) {
    Ref cls = lookup(module, name);
    if (cls.get() == ours && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(ours)) return true;
    return check(PyObject_IsInstance(obj, cls.get()));
}

// collections.abc tests with shortcuts for the exact builtin containers.
struct Abc {
    Ref mapping, sequence;
    bool mapping_ours, sequence_ours;
    Abc(PyObject* module, State& st)
        : mapping(lookup(module, st.n_MutableMapping.get())), sequence(lookup(module, st.n_MutableSequence.get())) {
        mapping_ours = mapping.get() == st.MutableMapping.get();
        sequence_ours = sequence.get() == st.MutableSequence.get();
    }
    static bool plain(PyObject* v) {
        return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
               v == Py_None || PyTuple_CheckExact(v);
    }
    bool is_mapping(PyObject* v) const {
        if (mapping_ours) {
            if (PyDict_CheckExact(v)) return true;
            if (PyList_CheckExact(v) || plain(v)) return false;
        }
        return check(PyObject_IsInstance(v, mapping.get()));
    }
    bool is_list(PyObject* v) const {
        if (sequence_ours) {
            if (PyList_CheckExact(v)) return true;
            if (PyDict_CheckExact(v) || plain(v)) return false;
        }
        return check(PyObject_IsInstance(v, sequence.get()));
    }
};

// obj.get(key, default) where `dflt` makes the default when needed.
template <class D>
Ref get_or(State& st, PyObject* obj, PyObject* key, D&& dflt) {
    if (PyDict_CheckExact(obj)) {
        if (Ref v = dict_get(obj, key)) return v;
        return dflt();
    }
    Ref d = dflt();
    return call_method(st.n_get.get(), {obj, key, d.get()});
}

Ref new_dict() { return own(PyDict_New()); }

// ---------------------------------------------------------------- Location

// A record keeps file, line and column in C fields while nobody asked for its
// attribute dict: `file` shares the loader's file name, line and column are
// plain ints. The first request for `__dict__` (vars(), copying), an attribute
// of another name, a deletion, or a line or column that is not an int in range
// makes the dict, which from then on holds all three as ordinary attributes.
struct LocationObject {
    PyDictObject base;
    PyObject* file;  // unused (null) once `dict` exists
    PyObject* dict;  // instance __dict__, made on demand
    PyObject* weakrefs;
    int line1, column1;  // line + 1 and column + 1: zeroed memory is the fresh record
};

inline LocationObject* as_location(PyObject* self) { return reinterpret_cast<LocationObject*>(self); }

// The file of a record, a new reference: a zeroed record's is the empty string.
inline PyObject* file_of(LocationObject* loc) { return loc->file ? Py_NewRef(loc->file) : PyUnicode_New(0, 0); }

int location_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* loc = as_location(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(loc->file);
    Py_VISIT(loc->dict);
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int location_clear(PyObject* self) {
    auto* loc = as_location(self);
    Py_CLEAR(loc->file);
    Py_CLEAR(loc->dict);
    return PyDict_Type.tp_clear(self);
}

// A record with no attribute dict holding a container is seen by the collector
// through dict insertion; an attribute value that is a container tracks it too.
inline void track_for(PyObject* self, PyObject* value) {
    if (value && PyObject_IS_GC(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

// The attribute dict, made from the fields when first needed.
PyObject* location_materialize(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* loc = as_location(self);
        if (loc->dict) return loc->dict;
        Ref d = own(PyDict_New());
        check(PyDict_SetItemString(d.get(), "file", own(file_of(loc)).get()));
        check(PyDict_SetItemString(d.get(), "line", own(PyLong_FromLong(loc->line1 - 1L)).get()));
        check(PyDict_SetItemString(d.get(), "column", own(PyLong_FromLong(loc->column1 - 1L)).get()));
        loc->dict = d.release();
        Ref::steal(std::exchange(loc->file, nullptr));  // the dict holds it now
        track_for(self, loc->dict);
        return loc->dict;
    });
}

enum Field { FILE_FIELD, LINE_FIELD, COLUMN_FIELD };
const char* const field_names[] = {"file", "line", "column"};

// The interned name of a field, the key of its entry in the attribute dict.
PyObject* field_key(PyObject* self, Field field) {
    State& st = type_state<State>(Py_TYPE(self));
    return (field == FILE_FIELD ? st.n_file : field == LINE_FIELD ? st.n_line : st.n_column).get();
}

[[noreturn]] void no_field(PyObject* self, Field field) {
    raise(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, field_names[field]);
}

// The keys of the attribute dict may compare by code that replaces or empties
// that very dict: it is held during every lookup, as the interpreter's own
// attribute access does, and the value found is taken as a strong reference.
PyObject* location_get_field(PyObject* self, void* closure) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* loc = as_location(self);
        auto field = static_cast<Field>(reinterpret_cast<intptr_t>(closure));
        if (loc->dict) {
            Ref v = dict_get(loc->dict, field_key(self, field));
            if (!v) no_field(self, field);
            return v.release();
        }
        switch (field) {
            case FILE_FIELD: return file_of(loc);
            case LINE_FIELD: return PyLong_FromLong(loc->line1 - 1L);
            default: return PyLong_FromLong(loc->column1 - 1L);
        }
    });
}

// An exact int that fits the field, else false (with no error set).
bool compact_int(PyObject* value, int* out) {
    if (!value || !PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow || v < INT_MIN || v >= INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

int location_set_field(PyObject* self, PyObject* value, void* closure) {
    return boundary<int>(-1, [&] {
        auto* loc = as_location(self);
        auto field = static_cast<Field>(reinterpret_cast<intptr_t>(closure));
        if (!loc->dict) {
            if (field == FILE_FIELD && value) {
                Ref old = Ref::steal(std::exchange(loc->file, Py_NewRef(value)));
                track_for(self, value);
                return 0;
            }
            int v;
            if (field != FILE_FIELD && compact_int(value, &v)) {
                (field == LINE_FIELD ? loc->line1 : loc->column1) = v + 1;
                return 0;
            }
            check(location_materialize(self));
        }
        Ref dict = Ref::borrow(loc->dict);
        PyObject* key = field_key(self, field);
        if (value) {
            track_for(self, value);
            return check(PyDict_SetItem(dict.get(), key, value));
        }
        if (PyDict_DelItem(dict.get(), key) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw Error();
            PyErr_Clear();
            no_field(self, field);
        }
        return 0;
    });
}

PyObject* location_get_dict(PyObject* self, void*) { return Py_XNewRef(location_materialize(self)); }

int location_set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete __dict__");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "__dict__ must be set to a dictionary, not a '%.200s'", Py_TYPE(value)->tp_name);
        return -1;
    }
    auto* loc = as_location(self);
    Ref old_file = Ref::steal(std::exchange(loc->file, nullptr));
    Py_XSETREF(loc->dict, Py_NewRef(value));
    track_for(self, value);
    return 0;
}

// Other attribute names (of a subclass, or set by a caller) live in the dict.
int location_setattro(PyObject* self, PyObject* name, PyObject* value) {
    auto* loc = as_location(self);
    if (!loc->dict && PyUnicode_Check(name)) {
        bool field = false;
        for (const char* f : field_names) field = field || PyUnicode_CompareWithASCIIString(name, f) == 0;
        if (!field && !location_materialize(self)) return -1;
    }
    Ref dict = Ref::borrow(loc->dict);  // held while its keys compare
    if (PyObject_GenericSetAttr(self, name, value) < 0) return -1;
    track_for(self, value);
    return 0;
}


PyMemberDef location_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(LocationObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(LocationObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef location_getset[] = {
    {"__dict__", location_get_dict, location_set_dict, nullptr, nullptr},
    {"file", location_get_field, location_set_field, "Name of the YAML file.", (void*)FILE_FIELD},
    {"line", location_get_field, location_set_field, "Line of the node's start, from 0.", (void*)LINE_FIELD},
    {"column", location_get_field, location_set_field, "Column of the node's start, from 0.", (void*)COLUMN_FIELD},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot location_slots[] = {
    {Py_tp_getset, location_getset},
    {Py_tp_setattro, (void*)location_setattro},
    {Py_tp_traverse, (void*)location_traverse},
    {Py_tp_clear, (void*)location_clear},
    {Py_tp_members, location_members},
    {0, nullptr},
};

PyType_Spec location_spec = {
    "ovark.utils.locations.Location",
    sizeof(LocationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    location_slots,
};

// Whether `loc` is one of our records with its attributes in the C fields.
inline bool compact_record(State& st, PyObject* loc) {
    return Py_TYPE(loc) == reinterpret_cast<PyTypeObject*>(st.location_type.get()) && !as_location(loc)->dict;
}

// Sets file, line and column, as attribute assignments would.
void set_location(State& st, PyObject* loc, PyObject* file, PyObject* line, PyObject* column) {
    if (compact_record(st, loc)) {
        auto* lo = as_location(loc);
        int l, c;
        if (compact_int(line, &l) && compact_int(column, &c)) {
            // The old file goes last: its destructor may read the record.
            lo->line1 = l + 1;
            lo->column1 = c + 1;
            Ref old = Ref::steal(std::exchange(lo->file, Py_NewRef(file)));
            track_for(loc, file);
            return;
        }
        if (PyErr_Occurred()) throw Error();
    }
    set_attr(loc, st.n_file.get(), file);
    set_attr(loc, st.n_line.get(), line);
    set_attr(loc, st.n_column.get(), column);
}

void set_location(PyObject* loc, PyObject* file, int line, int column) {
    auto* lo = as_location(loc);
    lo->line1 = line + 1;
    lo->column1 = column + 1;
    if (lo->file != file) {
        Ref old = Ref::steal(std::exchange(lo->file, Py_NewRef(file)));
        track_for(loc, file);
    }
}

// A new empty record with the given attributes, made as Location() would.
Ref make_location(State& st, PyObject* file, int line, int column) {
    auto* tp = reinterpret_cast<PyTypeObject*>(st.location_type.get());
    Ref loc = own(PyDict_Type.tp_new(tp, st.empty_tuple.get(), nullptr));
    // Like a fresh plain dict, an empty record stays out of the collector's
    // sight until it holds a container (dict insertion tracks it then; so does
    // setting an attribute to one). Records that alias documents link into
    // cycles; those hold containers, so the collector sees them.
    PyObject_GC_UnTrack(loc.get());
    set_location(loc.get(), file, line, column);
    return loc;
}

Ref make_location(State& st, PyObject* file, PyObject* line, PyObject* column) {
    auto* tp = reinterpret_cast<PyTypeObject*>(st.location_type.get());
    Ref loc = own(PyDict_Type.tp_new(tp, st.empty_tuple.get(), nullptr));
    PyObject_GC_UnTrack(loc.get());
    set_location(st, loc.get(), file, line, column);
    return loc;
}

Ref new_location(State& st) { return make_location(st, st.empty_str.get(), -1, -1); }

Ref location_init(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    PyObject* kwargs = PyDict_GET_SIZE(c[2]) ? c[2] : nullptr;
    check(PyDict_Type.tp_init(self, c[1], kwargs));
    set_attr(self, st.n_file.get(), st.empty_str.get());
    set_attr(self, st.n_line.get(), st.minus_one.get());
    set_attr(self, st.n_column.get(), st.minus_one.get());
    return Ref::borrow(Py_None);
}

Ref location_str(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    Ref os = lookup(c.module(), st.n_os.get());
    Ref path = attr(os.get(), st.n_path.get());
    Ref file = attr(self, st.n_file.get());
    Ref base = call_method(st.n_basename.get(), {path.get(), file.get()});
    Ref line = own(PyNumber_Add(attr(self, st.n_line.get()).get(), st.one.get()));
    Ref column = own(PyNumber_Add(attr(self, st.n_column.get()).get(), st.one.get()));
    return own(PyUnicode_FromFormat("%S line:%S column:%S", base.get(), line.get(), column.get()));
}

Ref location_extract(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    Ref d = new_dict();
    for (PyObject* name : {st.n_file.get(), st.n_line.get(), st.n_column.get()})
        check(PyDict_SetItem(d.get(), name, attr(self, name).get()));
    return d;
}

// Pickling and copying: the state is the attribute dict, as for any object
// with a __dict__; a compact record hands out a fresh one and stays compact.
Ref location_getstate(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    if (compact_record(st, self)) return location_extract(c);
    check(location_materialize(self));
    return own(PyObject_CallOneArg(st.object_getstate.get(), self));
}

Ref location_setstate(const Call& c) {
    PyObject *self = c[0], *state = c[1];
    State& st = c.state<State>();
    Ref dict_state = Ref::borrow(state), slot_state;
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
        dict_state = Ref::borrow(PyTuple_GET_ITEM(state, 0));
        slot_state = Ref::borrow(PyTuple_GET_ITEM(state, 1));
    }
    for (PyObject* part : {dict_state.get(), slot_state.get()}) {
        if (!part || part == Py_None) continue;
        for_items(part, st.n_items.get(), [&](PyObject* k, PyObject* v) { check(PyObject_SetAttr(self, k, v)); });
    }
    return Ref::borrow(Py_None);
}

const FuncDef location_getstate_def{"__getstate__", "(self)", nullptr, location_getstate};
const FuncDef location_setstate_def{"__setstate__", "(self, state)", nullptr, location_setstate};

const FuncDef location_init_def{
    "__init__",
    "(self, *args, **kwargs)",
    "Initialise the mapping as dict() does; file is '', line and column are -1.",
    location_init,
};
const FuncDef location_str_def{
    "__str__",
    "(self)",
    "'<file base name> line:<line + 1> column:<column + 1>'.",
    location_str,
};
const FuncDef location_extract_def{
    "extract",
    "(self)",
    "Return a plain dict with the keys 'file', 'line' and 'column' (0-based).",
    location_extract,
};

// ---------------------------------------------------------------- the loader

// Calls `name` as found after LocSafeLoader in type(self)'s MRO, as super() does.
Ref super_call(State& st, PyObject* self, PyObject* name, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames = nullptr) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* mro = tp->tp_mro;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != st.loader_class.get()) ++i;
    for (++i; i < n; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (!found) {
            if (PyErr_Occurred()) throw Error();
            continue;
        }
        Ref fn = Ref::borrow(found);
        Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        if (PyFunction_Check(found) && total < 8) {
            // Unbound call with self first, as the bound method would make it.
            PyObject* small[8];
            small[0] = self;
            for (Py_ssize_t j = 0; j < total; ++j) small[j + 1] = args[j];
            return own(PyObject_Vectorcall(fn.get(), small, nargs + 1, kwnames));
        }
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        Ref bound = get ? own(get(found, self, reinterpret_cast<PyObject*>(tp))) : fn;
        return own(PyObject_Vectorcall(bound.get(), args, nargs, kwnames));
    }
    raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
}

// ---------------------------------------------------------------- implicit resolution
//
// While the loader resolves as PyYAML's Resolver does (its resolve methods are
// BaseResolver's, its table of implicit resolvers is PyYAML's default and it
// has no path resolvers), plain scalars are resolved here: each pattern of the
// default table is matched by hand (with `$` matching before one final line
// break, as `re` does), in the table's order for the first character, and
// timestamps by the table's own expression.

inline bool digit(char c) { return c >= '0' && c <= '9'; }
inline bool sign(char c) { return c == '-' || c == '+'; }

// (:[0-5]?[0-9])+ from s[i]; the index after it, or npos.
size_t sexagesimal(const char* s, size_t n, size_t i) {
    size_t groups = 0;
    while (i < n && s[i] == ':') {
        ++i;
        if (i + 1 < n && s[i] >= '0' && s[i] <= '5' && digit(s[i + 1]))
            i += 2;
        else if (i < n && digit(s[i]))
            ++i;
        else
            return std::string_view::npos;
        ++groups;
    }
    return groups ? i : std::string_view::npos;
}

// [eE][-+][0-9]+ up to the end, from s[i].
bool exponent_to_end(const char* s, size_t n, size_t i) {
    if (i == n) return true;
    if (s[i] != 'e' && s[i] != 'E') return false;
    if (++i == n || !sign(s[i])) return false;
    size_t start = ++i;
    while (i < n && digit(s[i])) ++i;
    return i > start && i == n;
}

size_t skip_digits_underscores(const char* s, size_t n, size_t i) {
    while (i < n && (digit(s[i]) || s[i] == '_')) ++i;
    return i;
}

bool float_full(const char* s, size_t n) {
    std::string_view w(s, n);
    if (w == ".nan" || w == ".NaN" || w == ".NAN") return true;
    size_t i = n && sign(s[0]) ? 1 : 0;
    std::string_view rest = w.substr(i);
    if (rest == ".inf" || rest == ".Inf" || rest == ".INF") return true;
    if (i < n && digit(s[i])) {
        size_t j = skip_digits_underscores(s, n, i + 1);
        if (j < n && s[j] == '.') {  // [-+]?[0-9][0-9_]*\.[0-9_]*(exp)?
            if (exponent_to_end(s, n, skip_digits_underscores(s, n, j + 1))) return true;
        } else if (j < n && s[j] == ':') {  // [-+]?[0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]*
            size_t k = sexagesimal(s, n, j);
            if (k != std::string_view::npos && k < n && s[k] == '.' && skip_digits_underscores(s, n, k + 1) == n)
                return true;
        }
    }
    // \.[0-9][0-9_]*(exp)?
    if (n >= 2 && s[0] == '.' && digit(s[1]) && exponent_to_end(s, n, skip_digits_underscores(s, n, 2))) return true;
    return false;
}

bool int_full(const char* s, size_t n) {
    size_t i = n && sign(s[0]) ? 1 : 0;
    if (i == n) return false;
    auto all = [&](size_t from, auto ok) {
        if (from >= n) return false;
        for (size_t k = from; k < n; ++k)
            if (!ok(s[k])) return false;
        return true;
    };
    if (s[i] == '0') {
        if (i + 1 == n) return true;  // 0
        if (s[i + 1] == 'b') return all(i + 2, [](char c) { return c == '0' || c == '1' || c == '_'; });
        if (s[i + 1] == 'x')
            return all(i + 2, [](char c) {
                return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
            });
        return all(i + 1, [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    if (s[i] < '1' || s[i] > '9') return false;
    size_t j = skip_digits_underscores(s, n, i + 1);
    if (j == n) return true;
    return sexagesimal(s, n, j) == n;
}

bool bool_full(const char* s, size_t n) {
    static constexpr std::string_view words[] = {"yes", "Yes", "YES", "no",    "No",    "NO",  "true", "True", "TRUE",
                                                 "false", "False", "FALSE", "on", "On", "ON", "off", "Off", "OFF"};
    std::string_view w(s, n);
    for (auto word : words)
        if (w == word) return true;
    return false;
}

bool null_full(const char* s, size_t n) {
    std::string_view w(s, n);
    return w == "~" || w == "null" || w == "Null" || w == "NULL" || w.empty();
}

// `full` matched as re.match(r'^(?:...)$') would: also before one final '\n'.
template <class F>
bool re_full(const char* s, size_t n, F full) {
    return full(s, n) || (n && s[n - 1] == '\n' && full(s, n - 1));
}

// The default table's tag for a plain scalar, or an empty Ref for str.
Ref resolve_plain(State& st, PyObject* value) {
    if (!PyUnicode_IS_ASCII(value)) return Ref();  // every pattern is ASCII: no match
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
    size_t n = (size_t)PyUnicode_GET_LENGTH(value);
    if (n == 0) return st.resolved_tags[R_NULL];
    char c = s[0];
    auto tag = [&](int r) { return st.resolved_tags[r]; };
    switch (c) {
        case 'y': case 'Y': case 't': case 'T': case 'f': case 'F': case 'o': case 'O':
            return re_full(s, n, bool_full) ? tag(R_BOOL) : Ref();
        case 'n': case 'N':
            if (re_full(s, n, bool_full)) return tag(R_BOOL);
            return re_full(s, n, null_full) ? tag(R_NULL) : Ref();
        case '~': return re_full(s, n, null_full) ? tag(R_NULL) : Ref();
        case '<': return re_full(s, n, [](const char* p, size_t m) { return std::string_view(p, m) == "<<"; }) ? tag(R_MERGE) : Ref();
        case '=': return re_full(s, n, [](const char* p, size_t m) { return std::string_view(p, m) == "="; }) ? tag(R_VALUE) : Ref();
        case '!': case '&': case '*':
            return re_full(s, n, [](const char* p, size_t m) { return m == 1; }) ? tag(R_YAML) : Ref();
        case '.': return re_full(s, n, float_full) ? tag(R_FLOAT) : Ref();
        default: break;
    }
    if (!sign(c) && !digit(c)) return Ref();
    if (re_full(s, n, float_full)) return tag(R_FLOAT);
    if (re_full(s, n, int_full)) return tag(R_INT);
    if (!digit(c) || n < 8 || s[4] != '-') return Ref();  // a timestamp starts with 4 digits and '-'
    Ref match = call_method(st.n_match.get(), {st.timestamp_regexp.get(), value});
    return match.get() != Py_None ? tag(R_TIMESTAMP) : Ref();
}

Ref native_resolve(const Call& c) {
    State& st = c.state<State>();
    PyObject *kind = c[0], *value = c[1], *implicit = c[2];
    if (kind == st.ScalarNode.get()) {
        Ref first = own(PySequence_GetItem(implicit, 0));
        if (check(PyObject_IsTrue(first.get()))) {
            if (!PyUnicode_Check(value)) raise(PyExc_TypeError, "a plain scalar must be a str");
            Ref tag = resolve_plain(st, value);
            return tag ? tag : st.default_tags[0];
        }
        return st.default_tags[0];
    }
    if (kind == st.SequenceNode.get()) return st.default_tags[1];
    if (kind == st.MappingNode.get()) return st.default_tags[2];
    return Ref::borrow(Py_None);
}

Ref native_descend(const Call&) { return Ref::borrow(Py_None); }

const FuncDef resolve_defs[3] = {
    {"resolve", "(kind, value, implicit)", "The tag of a node, as PyYAML's default Resolver gives it.", native_resolve},
    {"descend_resolver", "(current_node, current_index)", "Nothing to do: no path resolvers.", native_descend},
    {"ascend_resolver", "()", "Nothing to do: no path resolvers.", native_descend},
};

// Whether the loader resolves as PyYAML's default Resolver does.
bool default_resolver(State& st, PyObject* loader) {
    Ref inst = optional_attr(loader, st.n___dict__.get());
    auto* tp = reinterpret_cast<PyObject*>(Py_TYPE(loader));
    for (int i = 0; i < 3; ++i) {
        PyObject* name = st.resolver_names[i].get();
        if (inst && PyDict_Check(inst.get()) && PyDict_GetItemWithError(inst.get(), name)) return false;
        if (PyErr_Occurred()) throw Error();
        if (attr(tp, name).get() != st.resolver_fns[i].get()) return false;
    }
    for (int i = 0; i < 3; ++i) {
        Ref tag = attr(loader, st.default_tag_names[i].get());
        if (!check(PyObject_RichCompareBool(tag.get(), st.default_tags[i].get(), Py_EQ))) return false;
    }
    Ref table = attr(loader, st.n_yaml_implicit_resolvers.get());
    return check(PyObject_RichCompareBool(table.get(), st.implicit_resolvers.get(), Py_EQ));
}

// The resolver methods lent to the node source while it composes: ours while
// the loader resolves as PyYAML's default does, else the loader's own.
void lend_resolver(State& st, PyObject* loader, PyObject* src) {
    bool native = default_resolver(st, loader);
    for (int i = 0; i < 3; ++i) {
        PyObject* name = st.resolver_names[i].get();
        set_attr(src, name, native ? st.resolve_fns[i].get() : attr(loader, name).get());
    }
}

void drop_resolver(State& st, PyObject* src) {
    Ref sd = attr(src, st.n___dict__.get());
    for (PyObject* name : {st.n_resolve.get(), st.n_descend_resolver.get(), st.n_ascend_resolver.get()})
        if (check(PyDict_Contains(sd.get(), name))) check(PyDict_DelItem(sd.get(), name));
}

PyObject* super_call_noexcept(State& st, PyObject* self, PyObject* name, PyObject* const* args, Py_ssize_t nargs) {
    try {
        return super_call(st, self, name, args, nargs).release();
    } catch (const Error&) {
        return nullptr;
    }
}

// Deletes the node-source methods from the loader's instance dict.
void drop_node_source_methods(State& st, PyObject* loader) {
    Ref d = attr(loader, st.n___dict__.get());
    for (PyObject* name : {st.n_get_single_node.get(), st.n_check_node.get(), st.n_get_node.get()})
        if (PyDict_Contains(d.get(), name) > 0) check(PyDict_DelItem(d.get(), name));
    if (PyErr_Occurred()) throw Error();
}

void drop_node_source(State& st, PyObject* loader, PyObject* src) {
    drop_node_source_methods(st, loader);
    Ref d = attr(loader, st.n___dict__.get());
    if (check(PyDict_Contains(d.get(), st.n__node_source.get()))) check(PyDict_DelItem(d.get(), st.n__node_source.get()));
    drop_resolver(st, src);
}

// Done with libyaml for this stream: the cycle loader -> src.resolve is broken,
// the source stays for a possible second construction of the last document.
void finish_node_source(State& st, PyObject* loader, PyObject* src) {
    drop_node_source_methods(st, loader);
    drop_resolver(st, src);
}

Py_ssize_t documents_of(State& st, PyObject* src) {
    Ref n = attr(src, st.n__documents.get());
    Py_ssize_t v = PyLong_AsSsize_t(n.get());
    if (v == -1 && PyErr_Occurred()) throw Error();
    return v;
}

void set_documents(State& st, PyObject* src, Py_ssize_t n) {
    set_attr(src, st.n__documents.get(), own(PyLong_FromSsize_t(n)).get());
}

bool is_yaml_error(State& st) { return PyErr_ExceptionMatches(st.yaml_error.get()); }

Ref call0(PyObject* obj, PyObject* name) { return call_method(name, {obj}); }

// Composes and drops `n` documents, as check_node / get_node calls would.
void skip_documents(State& st, PyObject* loader, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        call0(loader, st.n_check_node.get());
        call0(loader, st.n_get_node.get());
    }
}

// Hands the stream to the pure-Python composer after `skip` documents.
void fall_back(State& st, PyObject* loader, PyObject* src, Py_ssize_t skip) {
    drop_node_source(st, loader, src);
    skip_documents(st, loader, skip);
}

// The loader and the libyaml node source that a source_* closure carries,
// held for the duration of the call.
struct Source {
    Ref loader, src;
    explicit Source(const Call& c)
        : loader(Ref::borrow(PyTuple_GET_ITEM(c.closure(), 0))), src(Ref::borrow(PyTuple_GET_ITEM(c.closure(), 1))) {}
};

// src.name(). A YAML error (libyaml refused the text) hands the stream to the
// pure-Python composer, after the documents already read unless `single`, and
// gives an empty Ref.
Ref ask_source(State& st, const Source& s, PyObject* name, bool single) {
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(s.src.get(), name));
    if (result) return result;
    if (!is_yaml_error(st)) throw Error();
    PyErr_Clear();
    fall_back(st, s.loader.get(), s.src.get(), single ? 0 : documents_of(st, s.src.get()));
    return Ref();
}

// Before the node source answers: documents the event path handed out are
// skipped on it first (events.hpp).
void ev_hand_over(State& st, PyObject* src);

Ref source_get_single_node(const Call& c) {
    State& st = c.state<State>();
    Source s(c);
    ev_hand_over(st, s.src.get());
    PyObject *loader = s.loader.get(), *src = s.src.get();
    Ref node = ask_source(st, s, st.n_get_single_node.get(), true);
    if (!node) return call0(loader, st.n_get_single_node.get());
    set_attr(src, st.n__single.get(), Py_True);
    set_documents(st, src, 1);
    finish_node_source(st, loader, src);
    return node;
}

Ref source_check_node(const Call& c) {
    State& st = c.state<State>();
    Source s(c);
    ev_hand_over(st, s.src.get());
    PyObject *loader = s.loader.get(), *src = s.src.get();
    Ref result = ask_source(st, s, st.n_check_node.get(), false);
    if (!result) return call0(loader, st.n_check_node.get());
    if (!check(PyObject_IsTrue(result.get()))) finish_node_source(st, loader, src);
    return result;
}

Ref source_get_node(const Call& c) {
    State& st = c.state<State>();
    Source s(c);
    ev_hand_over(st, s.src.get());
    PyObject *loader = s.loader.get(), *src = s.src.get();
    Ref node = ask_source(st, s, st.n_get_node.get(), false);
    if (!node) {
        call0(loader, st.n_check_node.get());  // the pure composer drops STREAM-START here
        return call0(loader, st.n_get_node.get());
    }
    if (node.get() == Py_None)
        finish_node_source(st, loader, src);
    else
        set_documents(st, src, documents_of(st, src) + 1);
    return node;
}

const FuncDef source_defs[3] = {
    {"get_single_node", "()", "The stream's single document node, composed by libyaml.", source_get_single_node},
    {"check_node", "()", "Whether the stream holds another document (libyaml).", source_check_node},
    {"get_node", "()", "The next document node, composed by libyaml.", source_get_node},
};

// Text where libyaml and the pure-Python scanner are known to part ways: the
// pure-Python path reads it (it is SafeLoader's reading that counts). Checked:
// tabs (the pure-Python scanner refuses them outside scalars), a byte-order
// mark after the start, a comment right after a block scalar header, '?' as an
// explicit key or next to text in a document with flow collections (the
// pure-Python scanner ends flow scalars there), tags outside the plain
// "!handle!suffix" form followed by a blank, and directives.
inline bool starts_token(Py_UCS4 c) {
    return c == ' ' || c == '\r' || c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029 || c == '[' ||
           c == '{' || c == ',' || c == 0xFEFF;
}
inline bool blank_or_break(Py_UCS4 c) {
    return c == ' ' || c == '\r' || c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029;
}
inline bool word_char(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
inline bool tag_char(Py_UCS4 c) {
    return word_char(c) || (c < 128 && std::strchr(";/:@&=+$.~*'()%", static_cast<char>(c)) && c != 0);
}

template <class Ch>
bool plain_tag_at(const Ch* s, Py_ssize_t i, Py_ssize_t n) {
    Py_ssize_t j = i + 1, k = j;
    while (k < n && word_char(s[k])) ++k;
    if (k < n && s[k] == '!') j = k + 1;  // "!handle!" or "!!"
    k = j;
    while (k < n && tag_char(s[k])) ++k;
    return k > j && (k == n || blank_or_break(s[k]));
}

template <class Ch>
bool parsers_may_differ(const Ch* s, Py_ssize_t n) {
    bool flow = false;
    for (Py_ssize_t i = 0; i < n && !flow; ++i) flow = s[i] == '[' || s[i] == '{';
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (c > '|' && c != 0xFEFF) continue;
        switch (c) {
            case '\t': return true;
            case 0xFEFF:
                if (i) return true;
                break;
            case '|':
            case '>': {
                Py_ssize_t j = i + 1;
                while (j < n && (s[j] == '-' || s[j] == '+' || (s[j] >= '0' && s[j] <= '9'))) ++j;
                if (j < n && s[j] == '#') return true;
                break;
            }
            case '?':
                if (flow || !i || starts_token(s[i - 1])) return true;
                break;
            case '!':
                if ((!i || starts_token(s[i - 1])) && !plain_tag_at(s, i, n)) return true;
                break;
            case '%':  // directives: libyaml reads some lines the other refuses
                if (!i || s[i - 1] == '\n' || s[i - 1] == '\r' || s[i - 1] == 0x85 || s[i - 1] == 0x2028 ||
                    s[i - 1] == 0x2029 || s[i - 1] == 0xFEFF)
                    return true;
                break;
            default: break;
        }
    }
    return false;
}

// The text libyaml would read, when it reads it as the pure-Python path does;
// an empty Ref otherwise. Bytes are taken when they are UTF-8.
Ref libyaml_text(PyObject* text) {
    Ref str;
    if (PyUnicode_CheckExact(text)) {
        str = Ref::borrow(text);
    } else if (PyBytes_CheckExact(text)) {
        const char* b = PyBytes_AS_STRING(text);
        Py_ssize_t n = PyBytes_GET_SIZE(text);
        if (n >= 2 && ((b[0] == '\xff' && b[1] == '\xfe') || (b[0] == '\xfe' && b[1] == '\xff'))) return Ref();
        str = Ref::steal(PyUnicode_DecodeUTF8(b, n, "strict"));
        if (!str) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw Error();
            PyErr_Clear();
            return Ref();
        }
    } else {
        return Ref();
    }
    PyObject* u = str.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(u);
    bool differ;
    switch (PyUnicode_KIND(u)) {
        case PyUnicode_1BYTE_KIND: differ = parsers_may_differ(PyUnicode_1BYTE_DATA(u), n); break;
        case PyUnicode_2BYTE_KIND: differ = parsers_may_differ(PyUnicode_2BYTE_DATA(u), n); break;
        default: differ = parsers_may_differ(PyUnicode_4BYTE_DATA(u), n); break;
    }
    return differ ? Ref() : Ref::borrow(text);
}

// Whether the fast node source may stand in for the class's composer.
bool may_use_libyaml(State& st, PyObject* module, PyObject* self) {
    if (!st.CParser) return false;
    Ref cparser = lookup(module, st.n_CParser.get());
    if (cparser.get() != st.CParser.get()) return false;  // None, or patched: pure-Python path
    auto* tp = reinterpret_cast<PyObject*>(Py_TYPE(self));
    for (PyObject* name : {st.n_get_single_node.get(), st.n_check_node.get(), st.n_get_node.get()}) {
        Ref mine = attr(tp, name), composer = attr(st.composer_class.get(), name);
        if (mine.get() != composer.get()) return false;  // a subclass composes its own way
    }
    Ref path_resolvers = attr(tp, st.n_yaml_path_resolvers.get());
    return !check(PyObject_IsTrue(path_resolvers.get()));
}

// An in-memory stream over `text`, named `name` when it is given.
Ref named_stream(State&, PyObject* type, PyObject* text, PyObject* name) {
    Ref stream = own(PyObject_CallOneArg(type, text));
    if (name) check(PyObject_SetAttrString(stream.get(), "name", name));
    return stream;
}

Ref loader_init(const Call& c) {
    State& st = c.state<State>();
    PyObject *self = c[0], *stream = c[1], *locations = c[2], *file_name = c[3];
    Ref file;
    if (check(PyObject_IsTrue(file_name))) {
        file = Ref::borrow(file_name);
    } else {
        file = optional_attr(stream, st.n_name.get());
        if (!file) file = st.empty_str;
    }
    set_attr(self, st.n__file.get(), file.get());
    set_attr(self, st.n__locations.get(), locations);

    Ref text, pure_stream = Ref::borrow(stream), wrapper_type, stream_name;
    if (may_use_libyaml(st, c.module(), self)) {
        if (PyUnicode_CheckExact(stream) || PyBytes_CheckExact(stream)) {
            text = Ref::borrow(stream);
        } else if (check(PyObject_IsInstance(stream, st.io_base.get()))) {
            // Read once; both node sources work on the same text.
            text = call0(stream, st.n_read.get());
            wrapper_type = Ref::borrow(PyUnicode_CheckExact(text.get()) ? st.string_io.get()
                                       : PyBytes_CheckExact(text.get()) ? st.bytes_io.get()
                                                                        : nullptr);
            if (!wrapper_type) raise(PyExc_TypeError, "a string or stream input is required");
            stream_name = optional_attr(stream, st.n_name.get());
            pure_stream = named_stream(st, wrapper_type.get(), text.get(), stream_name.get());
        }
    }
    PyObject* args[] = {pure_stream.get()};
    super_call(st, self, st.n___init__.get(), args, 1);
    if (text) text = libyaml_text(text.get());
    if (!text) return Ref::borrow(Py_None);

    // From a file, libyaml reads a copy of its text under the file's name, so
    // that its marks carry that name as the pure-Python reader's do.
    Ref source_input = wrapper_type ? named_stream(st, wrapper_type.get(), text.get(), stream_name.get()) : text;
    Ref src = own(PyObject_CallOneArg(st.node_source_class.get(), source_input.get()));
    set_attr(src.get(), st.n__text.get(), text.get());  // for the event path (events.hpp)
    lend_resolver(st, self, src.get());
    set_documents(st, src.get(), 0);
    set_attr(src.get(), st.n__single.get(), Py_False);
    set_attr(src.get(), st.n__constructing.get(), Py_False);
    set_attr(self, st.n__node_source.get(), src.get());
    Ref captured = own(PyTuple_Pack(2, self, src.get()));
    PyObject* names[] = {st.n_get_single_node.get(), st.n_check_node.get(), st.n_get_node.get()};
    for (int i = 0; i < 3; ++i) set_attr(self, names[i], make_closure(st.source_template[i].get(), captured).get());
    return Ref::borrow(Py_None);
}

bool from_libyaml(State& st, PyObject* node) {
    if (!st.cmark_type) return false;
    Ref mark = optional_attr(node, st.n_start_mark.get());
    return mark && Py_TYPE(mark.get()) == reinterpret_cast<PyTypeObject*>(st.cmark_type.get());
}

// An implicit empty scalar (no tag, anchor or quotes): libyaml marks it at the
// token after it, the pure-Python parser right after the ':' before it.
bool empty_plain_scalar(State& st, PyObject* module, PyObject* node) {
    if (!is_instance(module, st.n_ScalarNode.get(), st.ScalarNode.get(), node)) return false;
    Ref value = attr(node, st.n_value.get());
    if (!PyUnicode_Check(value.get()) || PyUnicode_GET_LENGTH(value.get()) != 0) return false;
    Ref start = attr(attr(node, st.n_start_mark.get()).get(), st.n_index.get());
    Ref end = attr(attr(node, st.n_end_mark.get()).get(), st.n_index.get());
    return check(PyObject_RichCompareBool(start.get(), end.get(), Py_EQ));
}

// ---------------------------------------------------------------- construction
//
// While the loader's class constructs as SafeLoader does (its construct_object
// is ours, and the methods and constructor table that SafeLoader uses for a
// kind of node are SafeLoader's own), nodes of the standard kinds (str, null,
// bool, int, float, map, seq, merge keys) are constructed here; any other node
// goes through PyYAML's construct_object, whose constructors come back here for
// their children. PyYAML's bookkeeping stays as it is: the loader's
// constructed_objects memo, and state_generators, where a mapping or sequence
// waits (as a _Fill entry instead of a generator) to be filled in the same
// order as PyYAML's generators would be. The verdict is taken for each
// document, so that a class or table changed between loads is noticed.

enum Kind { K_STR, K_NULL, K_BOOL, K_INT, K_FLOAT, K_MAP, K_SEQ, K_COUNT, K_NONE = K_COUNT };

struct Ctx;

// One pending mapping or sequence.
struct FillObject {
    PyObject_HEAD
    PyObject* loader;
    PyObject* node;
    PyObject* data;
    int kind;
    bool release;  // the node's children may go once it is filled (release_children)
};

int fill_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FillObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->loader);
    Py_VISIT(f->node);
    Py_VISIT(f->data);
    return 0;
}

int fill_clear(PyObject* self) {
    auto* f = reinterpret_cast<FillObject*>(self);
    Py_CLEAR(f->loader);
    Py_CLEAR(f->node);
    Py_CLEAR(f->data);
    return 0;
}

PyObject* fill_iter(PyObject* self);

PyType_Slot fill_slots[] = {
    {Py_tp_traverse, (void*)fill_traverse},
    {Py_tp_clear, (void*)fill_clear},
    {Py_tp_iter, (void*)fill_iter},
    {0, nullptr},
};

PyType_Spec fill_spec = {
    "ovark.utils.locations._Fill",
    sizeof(FillObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fill_slots,
};

// The construction of one document (or one construct_object call from outside).
struct Ctx {
    State& st;
    PyObject* module;
    PyObject* self;
    bool tracking = false;
    Ref locations, file;
    bool native = false;        // construct_object is ours: standard kinds here
    bool kind_ok[K_COUNT] = {};  // SafeLoader's own way for that kind
    // The loader's bookkeeping, read again after interpreter code ran.
    Ref constructed, recursive, generators;
    bool deep_construct = false;
    // The nodes are the loader's own (get_single_data, get_data): no caller
    // holds them, so a filled container's children may go early.
    bool private_nodes = false;

    Ctx(State& s, PyObject* m, PyObject* loader) : st(s), module(m), self(loader) {
        locations = attr(self, st.n__locations.get());
        tracking = locations.get() != Py_None;
        if (tracking) file = attr(self, st.n__file.get());
        judge();
        if (native) refresh();
        st.active.push_back(this);
    }
    // Containers built here stay out of the collector's sight until the
    // document is done (or failed): collections in the middle of a large load
    // then find little to walk, and the collector itself is left alone.
    std::vector<Ref> hidden;
    void hide(PyObject* container) {
        if (PyObject_GC_IsTracked(container)) PyObject_GC_UnTrack(container);
        hidden.push_back(Ref::borrow(container));
    }
    // parent[key] = record; a record of ours that the insertion tracked is hidden again.
    void record(PyObject* parent, PyObject* key, PyObject* value) {
        set_item(parent, key, value);
        if (Py_TYPE(parent) == reinterpret_cast<PyTypeObject*>(st.location_type.get()) &&
            PyObject_GC_IsTracked(parent))
            hide(parent);
    }
    void reveal() noexcept {
        for (Ref& r : hidden)
            if (!PyObject_GC_IsTracked(r.get())) PyObject_GC_Track(r.get());
        hidden.clear();
    }

    ~Ctx() {
        reveal();
        auto& a = st.active;
        for (size_t i = a.size(); i-- > 0;)
            if (a[i] == this) {
                a.erase(a.begin() + (ptrdiff_t)i);
                break;
            }
    }
    Ctx(const Ctx&) = delete;
    Ctx& operator=(const Ctx&) = delete;

    void refresh() {
        constructed = attr(self, st.n_constructed_objects.get());
        recursive = attr(self, st.n_recursive_objects.get());
        generators = attr(self, st.n_state_generators.get());
        deep_construct = check(PyObject_IsTrue(attr(self, st.n_deep_construct.get()).get()));
        if (!PyDict_CheckExact(constructed.get()) || !PyDict_CheckExact(recursive.get()) ||
            !PyList_CheckExact(generators.get()))
            native = false;
    }

    // Whether `name` is SafeLoader's own for this loader (class and instance).
    bool standard(PyObject* inst_dict, PyObject* name, PyObject* expected) {
        if (inst_dict && PyDict_GetItemWithError(inst_dict, name)) return false;
        if (PyErr_Occurred()) throw Error();
        Ref found = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
        if (!found) {
            PyErr_Clear();
            return false;
        }
        return found.get() == expected;
    }

    void judge() {
        Ref inst = optional_attr(self, st.n___dict__.get());
        PyObject* d = inst && PyDict_Check(inst.get()) ? inst.get() : nullptr;
        native = standard(d, st.n_construct_object.get(), st.construct_object_fn.get());
        if (!native) return;
        Ref table = attr(self, st.n_yaml_constructors.get());
        if (!PyDict_Check(table.get())) {
            native = false;
            return;
        }
        auto std_method = [&](int i) { return standard(d, st.std_names[i].get(), st.std_fns[i].get()); };
        auto table_has = [&](int i) {
            PyObject* fn = PyDict_GetItemWithError(table.get(), st.kind_tags[i].get());
            if (!fn && PyErr_Occurred()) throw Error();
            return fn && fn == st.kind_fns[i].get();
        };
        bool scalar = std_method(S_CONSTRUCT_SCALAR);
        for (int k = 0; k < K_COUNT; ++k) kind_ok[k] = table_has(k);
        for (int k : {K_STR, K_NULL, K_BOOL, K_INT, K_FLOAT}) kind_ok[k] = kind_ok[k] && scalar;
        kind_ok[K_MAP] = kind_ok[K_MAP] && std_method(S_CONSTRUCT_MAPPING) && std_method(S_FLATTEN_MAPPING);
        kind_ok[K_SEQ] = kind_ok[K_SEQ] && std_method(S_CONSTRUCT_SEQUENCE);
        if (kind_ok[K_BOOL]) {
            Ref values = attr(self, st.n_bool_values.get());
            kind_ok[K_BOOL] = check(PyObject_RichCompareBool(values.get(), st.bool_values.get(), Py_EQ));
        }
        if (kind_ok[K_FLOAT]) {
            Ref inf = attr(self, st.n_inf_value.get()), nan = attr(self, st.n_nan_value.get());
            kind_ok[K_FLOAT] = inf.get() == st.inf_value.get() && nan.get() == st.nan_value.get();
        }
    }
};

// The context of `loader`'s construction in progress, if any.
Ctx* active_ctx(State& st, PyObject* loader) {
    for (size_t i = st.active.size(); i-- > 0;)
        if (st.active[i]->self == loader) return st.active[i];
    return nullptr;
}

Ref construct(Ctx& cx, PyObject* node, PyObject* deep, bool unshared = false, bool releasable = false);
void run_fill(Ctx& cx, FillObject* f);

PyObject* fill_iter(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* f = reinterpret_cast<FillObject*>(self);
        PyObject* module = check(PyType_GetModuleByDef(Py_TYPE(self), ovk_module_def()));
        State& st = state_of<State>(module);
        Ref keep = Ref::borrow(self);
        if (Ctx* cx = active_ctx(st, f->loader)) {
            cx->refresh();
            run_fill(*cx, f);
        } else {
            Ctx cx2(st, module, f->loader);
            run_fill(cx2, f);
        }
        return check(PyObject_GetIter(st.empty_tuple.get()));
    });
}

Ref python_construct(Ctx& cx, PyObject* node, PyObject* deep) {
    PyObject* args[] = {node, deep};
    Ref value = super_call(cx.st, cx.self, cx.st.n_construct_object.get(), args, 2);
    if (cx.native) cx.refresh();
    return value;
}

// str.replace('_', '') of an ASCII text into `buf`; false when not ASCII.
bool ascii_without_underscores(PyObject* text, std::string& buf) {
    if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text)) return false;
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    buf.clear();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s[i] != '_') buf.push_back(s[i]);
    return true;
}

// SafeConstructor.construct_yaml_int for "0" and plain decimals; empty for the rest.
Ref native_int(PyObject* text) {
    std::string v;
    if (!ascii_without_underscores(text, v) || v.empty()) return Ref();
    size_t i = (v[0] == '-' || v[0] == '+') ? 1 : 0;
    std::string_view digits(v.data() + i, v.size() - i);
    if (digits == "0") return own(PyLong_FromLong(0));
    if (digits.empty() || digits[0] < '1' || digits[0] > '9') return Ref();
    for (char ch : digits)
        if (ch < '0' || ch > '9') return Ref();
    if (digits.size() <= 18) {
        long long x = 0;
        for (char ch : digits) x = x * 10 + (ch - '0');
        return own(PyLong_FromLongLong(v[0] == '-' ? -x : x));
    }
    std::string signed_digits = (v[0] == '-' ? "-" : "") + std::string(digits);
    return own(PyLong_FromString(signed_digits.c_str(), nullptr, 10));
}

// SafeConstructor.construct_yaml_float without sexagesimals; empty for the rest.
Ref native_float(State& st, PyObject* text) {
    std::string v;
    if (!ascii_without_underscores(text, v) || v.empty()) return Ref();
    for (char& ch : v) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    bool negative = v[0] == '-';
    std::string_view rest(v);
    if (v[0] == '-' || v[0] == '+') rest.remove_prefix(1);
    if (rest == ".inf") return own(PyNumber_Multiply(negative ? st.minus_one.get() : st.one.get(), st.inf_value.get()));
    if (rest == ".nan") return st.nan_value;
    if (rest.empty() || rest.find(':') != std::string_view::npos) return Ref();
    Ref str = own(PyUnicode_FromStringAndSize(rest.data(), (Py_ssize_t)rest.size()));
    Ref x = Ref::steal(PyFloat_FromString(str.get()));
    if (!x) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw Error();
        PyErr_Clear();
        return Ref();  // PyYAML raises its own error
    }
    if (!negative) return x;
    return own(PyNumber_Multiply(st.minus_one.get(), x.get()));
}

// SafeConstructor.construct_yaml_bool for ASCII texts; empty for the rest.
Ref native_bool(PyObject* text) {
    if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text)) return Ref();
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > 5) return Ref();
    char low[6] = {};
    for (Py_ssize_t i = 0; i < n; ++i) low[i] = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
    std::string_view w(low, (size_t)n);
    if (w == "yes" || w == "true" || w == "on") return Ref::borrow(Py_True);
    if (w == "no" || w == "false" || w == "off") return Ref::borrow(Py_False);
    return Ref();
}

Kind kind_of(Ctx& cx, PyObject* node, Ref& tag) {
    State& st = cx.st;
    PyTypeObject* tp = Py_TYPE(node);
    auto is = [&](const Ref& cls) { return tp == reinterpret_cast<PyTypeObject*>(cls.get()); };
    if (!is(st.ScalarNode) && !is(st.MappingNode) && !is(st.SequenceNode)) return K_NONE;
    tag = attr(node, st.n_tag.get());
    if (!PyUnicode_CheckExact(tag.get())) return K_NONE;
    PyObject* code = PyDict_GetItemWithError(st.tag_kinds.get(), tag.get());
    if (!code) {
        if (PyErr_Occurred()) throw Error();
        return K_NONE;
    }
    auto k = static_cast<Kind>(PyLong_AsLong(code));
    if (!cx.kind_ok[k]) return K_NONE;
    bool container = k == K_MAP || k == K_SEQ;
    if (container ? !is(k == K_MAP ? st.MappingNode : st.SequenceNode) : !is(st.ScalarNode)) return K_NONE;
    return k;
}

// What SafeLoader's construct_object gives for `node` (not the location part).
// `unshared`: the node is reachable only through the one container being
// filled (see run_fill), so that no one can ask the memo for it now.
Ref construct_value(Ctx& cx, PyObject* node, PyObject* deep, bool unshared, bool releasable) {
    State& st = cx.st;
    if (!cx.native) return python_construct(cx, node, deep);
    if (!unshared) {
        if (PyObject* memo = PyDict_GetItemWithError(cx.constructed.get(), node)) return Ref::borrow(memo);
        if (PyErr_Occurred()) throw Error();
    }
    Ref tag;
    Kind k = kind_of(cx, node, tag);
    if (unshared && (k == K_STR || k == K_NULL || k == K_BOOL)) {
        // The memo holds what it constructed, so an unshared node is not in it;
        // and were the node met again (merge keys share pairs later), these
        // kinds give the very same object again: the node's text, None, a bool.
    } else if (unshared) {
        if (PyObject* memo = PyDict_GetItemWithError(cx.constructed.get(), node)) return Ref::borrow(memo);
        if (PyErr_Occurred()) throw Error();
        unshared = false;
    }
    // A node under construction by PyYAML (deep) is refused there.
    if (k == K_NONE || PyDict_GET_SIZE(cx.recursive.get())) return python_construct(cx, node, deep);
    Ref value;
    if (k == K_MAP || k == K_SEQ) {
        if (cx.deep_construct || check(PyObject_IsTrue(deep))) return python_construct(cx, node, deep);
        value = own(k == K_MAP ? PyDict_New() : PyList_New(0));
        cx.hide(value.get());
        auto* tp = reinterpret_cast<PyTypeObject*>(st.fill_type.get());
        auto* f = reinterpret_cast<FillObject*>(check(tp->tp_alloc(tp, 0)));
        Ref fill = Ref::steal(reinterpret_cast<PyObject*>(f));
        cx.hide(fill.get());
        f->loader = Py_NewRef(cx.self);
        f->node = Py_NewRef(node);
        f->data = value.new_ref();
        f->kind = k;
        f->release = releasable;
        check(PyList_Append(cx.generators.get(), fill.get()));
    } else if (k == K_NULL) {
        value = Ref::borrow(Py_None);
    } else {
        Ref text = attr(node, st.n_value.get());
        switch (k) {
            case K_STR: value = text; break;
            case K_BOOL: value = native_bool(text.get()); break;
            case K_INT: value = native_int(text.get()); break;
            default: value = native_float(st, text.get()); break;
        }
        if (!value) return python_construct(cx, node, deep);
    }
    if (!unshared) check(PyDict_SetItem(cx.constructed.get(), node, value.get()));
    return value;
}

bool hashable(State& st, PyObject* key) {
    if (PyUnicode_CheckExact(key) || PyLong_CheckExact(key) || PyBool_Check(key) || key == Py_None ||
        PyFloat_CheckExact(key))
        return true;
    return check(PyObject_IsInstance(key, st.Hashable.get()));
}

[[noreturn]] void unhashable_key(State& st, PyObject* node, PyObject* key_node) {
    Ref mark = attr(node, st.n_start_mark.get()), key_mark = attr(key_node, st.n_start_mark.get());
    Ref context = own(PyUnicode_FromString("while constructing a mapping"));
    Ref problem = own(PyUnicode_FromString("found unhashable key"));
    Ref error = own(PyObject_CallFunctionObjArgs(st.ConstructorError.get(), context.get(), mark.get(), problem.get(),
                                                 key_mark.get(), nullptr));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw Error();
}

// The second half of construct_yaml_map / construct_yaml_seq.
// A filled container's child nodes are needed again only through the node
// itself, when it or a container above it is shared (an alias, which merge
// keys may copy pairs from). A container reached only through unshared ones,
// in nodes no caller holds, lets them go once filled, so that a large
// document's nodes shrink while its data grows.
void release_children(Ctx& cx, FillObject* f) {
    if (cx.private_nodes && f->release) set_attr(f->node, cx.st.n_value.get(), own(PyList_New(0)).get());
}

void run_fill(Ctx& cx, FillObject* f) {
    State& st = cx.st;
    Ref node = Ref::borrow(f->node), data = Ref::borrow(f->data);
    if (f->kind == K_SEQ) {
        // construct_sequence, then extend: appending as the items come is the same.
        Ref items = attr(node.get(), st.n_value.get());
        // Held by the node and here; an item by the list and here (for_each).
        bool own_list = PyList_CheckExact(items.get()) && Py_REFCNT(items.get()) == 2;
        for_each(items.get(), [&](PyObject* child) {
            bool unshared = own_list && Py_REFCNT(child) == 2;
            check(PyList_Append(data.get(), construct(cx, child, Py_False, unshared, unshared && f->release).get()));
        });
        release_children(cx, f);
        return;
    }
    // flatten_mapping changes nothing unless a key is a merge or value key.
    Ref pairs = attr(node.get(), st.n_value.get());
    bool flatten = !PyList_CheckExact(pairs.get());
    for (Py_ssize_t i = 0; !flatten && i < PyList_GET_SIZE(pairs.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(pairs.get(), i));  // reading a tag may change the list
        if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            flatten = true;
            break;
        }
        Ref key_tag = attr(PyTuple_GET_ITEM(pair.get(), 0), st.n_tag.get());
        for (PyObject* t : {st.merge_tag.get(), st.value_tag.get()}) {
            int eq = key_tag.get() == t ? 1 : PyObject_RichCompareBool(key_tag.get(), t, Py_EQ);
            if (eq < 0) throw Error();
            flatten = flatten || eq;
        }
    }
    if (flatten) {
        call_method(st.n_flatten_mapping.get(), {cx.self, node.get()});
        cx.refresh();
        pairs = attr(node.get(), st.n_value.get());
    }
    // construct_mapping, then update: storing as the pairs come is the same.
    // A pair is shared when merge keys copied it into another mapping.
    bool own_list = PyList_CheckExact(pairs.get()) && Py_REFCNT(pairs.get()) == 2;
    for_each(pairs.get(), [&](PyObject* pair) {
        bool own_pair = own_list && PyTuple_CheckExact(pair) && Py_REFCNT(pair) == 2;
        auto [key_node, value_node] = unpack2(pair);
        // Each held by the pair and by unpack2.
        bool key_unshared = own_pair && Py_REFCNT(key_node.get()) == 2;
        Ref key = construct(cx, key_node.get(), Py_False, key_unshared, key_unshared && f->release);
        if (!hashable(st, key.get())) unhashable_key(st, node.get(), key_node.get());
        bool value_unshared = own_pair && Py_REFCNT(value_node.get()) == 2;
        Ref value = construct(cx, value_node.get(), Py_False, value_unshared, value_unshared && f->release);
        check(PyDict_SetItem(data.get(), key.get(), value.get()));
    });
    if (PyObject_GC_IsTracked(data.get())) PyObject_GC_UnTrack(data.get());  // hidden since made
    release_children(cx, f);
}

// construct_object with the location records: SafeLoader's construction, and
// the node's Location recorded on the way.
Ref construct(Ctx& cx, PyObject* node, PyObject* deep, bool unshared, bool releasable) {
    State& st = cx.st;
    PyObject* module = cx.module;
    RecursionGuard guard(" while constructing a YAML node");
    Ref loc;
    bool scalar = false;
    if (cx.tracking) {
        loc = optional_attr(node, st.n__location.get());
        if (!loc) {
            loc = new_location(st);
            set_attr(node, st.n__location.get(), loc.get());
        }
        Ref mark = attr(node, st.n_start_mark.get());
        set_location(st, loc.get(), cx.file.get(), attr(mark.get(), st.n_line.get()).get(),
                     attr(mark.get(), st.n_column.get()).get());
        scalar = is_instance(module, st.n_ScalarNode.get(), st.ScalarNode.get(), node);
        if (!scalar && is_instance(module, st.n_MappingNode.get(), st.MappingNode.get(), node)) {
            Ref parent = optional_attr(node, st.n__parent.get());
            Ref pairs = attr(node, st.n_value.get());
            bool check_empty = false;
            if (Py_TYPE(mark.get()) == reinterpret_cast<PyTypeObject*>(st.cmark_type.get())) {
                Ref flow = attr(node, st.n_flow_style.get());
                if (check(PyObject_IsTrue(flow.get()))) {
                    // Only within construct_document, which composes again.
                    Ref src = optional_attr(cx.self, st.n__node_source.get());
                    check_empty = src && check(PyObject_IsTrue(attr(src.get(), st.n__constructing.get()).get()));
                }
            }
            Ref it = own(PyObject_GetIter(pairs.get()));
            while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
                Ref key_node = own(PySequence_GetItem(pair.get(), 0));
                Ref value_node = own(PySequence_GetItem(pair.get(), 1));
                if (check_empty &&
                    (empty_plain_scalar(st, module, key_node.get()) || empty_plain_scalar(st, module, value_node.get())))
                    raise(st.recompose_error.get(), "document composed again by the pure-Python parser");
                Ref key_loc = optional_attr(key_node.get(), st.n__location.get());
                if (!key_loc) {
                    key_loc = new_location(st);
                    set_attr(key_node.get(), st.n__location.get(), key_loc.get());
                }
                // A mapping reached without a container (inside !!omap, or a
                // merge source built later) records nothing for its keys.
                if (parent) set_attr(key_node.get(), st.n__parent.get(), parent.get());
                set_attr(value_node.get(), st.n__parent.get(), key_loc.get());
            }
            if (PyErr_Occurred()) throw Error();
        } else if (!scalar && is_instance(module, st.n_SequenceNode.get(), st.SequenceNode.get(), node)) {
            Ref parent = optional_attr(node, st.n__parent.get());
            Ref items = attr(node, st.n_value.get());
            Ref it = own(PyObject_GetIter(items.get()));
            Py_ssize_t i = 0;
            while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
                Ref item_mark = attr(item.get(), st.n_start_mark.get());
                Ref item_loc = make_location(st, cx.file.get(), attr(item_mark.get(), st.n_line.get()).get(),
                                             attr(item_mark.get(), st.n_column.get()).get());
                if (parent) cx.record(parent.get(), own(PyLong_FromSsize_t(i)).get(), item_loc.get());
                set_attr(item.get(), st.n__parent.get(), item_loc.get());
                ++i;
            }
            if (PyErr_Occurred()) throw Error();
        }
    }
    Ref value = construct_value(cx, node, deep, unshared, releasable);
    if (scalar) {
        Ref parent = optional_attr(node, st.n__parent.get());
        if (parent) {
            // Values that cannot be keys (from custom constructors) have no place.
            if (PyObject_Hash(value.get()) == -1) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw Error();
                PyErr_Clear();
            } else {
                cx.record(parent.get(), value.get(), loc.get());
            }
        }
    }
    return value;
}

Ref loader_construct_object(const Call& c) {
    State& st = c.state<State>();
    PyObject *self = c[0], *node = c[1], *deep = c[2];
    if (Ctx* cx = active_ctx(st, self)) {
        if (cx->native) cx->refresh();  // interpreter code ran since
        return construct(*cx, node, deep);
    }
    Ctx cx(st, c.module(), self);
    return construct(cx, node, deep);
}

// BaseConstructor.construct_document, with the standard kinds constructed here.
Ref construct_document_native(State& st, PyObject* module, PyObject* self, PyObject* node, bool private_nodes) {
    Ctx cx(st, module, self);
    cx.private_nodes = private_nodes;
    if (!cx.native) {
        PyObject* args[] = {node};
        return super_call(st, self, st.n_construct_document.get(), args, 1);
    }
    // The root, when only the caller of get_single_data / get_data holds it.
    Ref data = construct(cx, node, Py_False, false, private_nodes && Py_REFCNT(node) == 1);
    for (;;) {
        Ref generators = attr(self, st.n_state_generators.get());
        if (!check(PyObject_IsTrue(generators.get()))) break;
        cx.generators = own(PyList_New(0));
        set_attr(self, st.n_state_generators.get(), cx.generators.get());
        for_each(generators.get(), [&](PyObject* g) {
            if (Py_TYPE(g) == reinterpret_cast<PyTypeObject*>(st.fill_type.get()) &&
                reinterpret_cast<FillObject*>(g)->loader == self && cx.native) {
                run_fill(cx, reinterpret_cast<FillObject*>(g));
                return;
            }
            for_each(g, [](PyObject*) {});
            if (cx.native) cx.refresh();
        });
    }
    set_attr(self, st.n_constructed_objects.get(), new_dict().get());
    set_attr(self, st.n_recursive_objects.get(), new_dict().get());
    set_attr(self, st.n_deep_construct.get(), Py_False);
    return data;
}

Ref construct_document_impl(PyObject* module, State& st, PyObject* self, PyObject* node, bool private_nodes) {
    Ref locations = attr(self, st.n__locations.get());
    if (locations.get() != Py_None) set_attr(node, st.n__parent.get(), locations.get());
    Ref data = Ref::steal([&] {
        try {
            // An empty document: libyaml marks its null at the next token.
            if (locations.get() != Py_None && from_libyaml(st, node) && empty_plain_scalar(st, module, node))
                raise(st.recompose_error.get(), "document composed again by the pure-Python parser");
            Ref src = optional_attr(self, st.n__node_source.get());
            if (src) set_attr(src.get(), st.n__constructing.get(), Py_True);
            Ref result = Ref::steal([&]() -> PyObject* {
                try {
                    return construct_document_native(st, module, self, node, private_nodes).release();
                } catch (const Error&) {
                    return nullptr;
                }
            }());
            if (src) {
                ErrorStash stash;
                if (PyObject_SetAttr(src.get(), st.n__constructing.get(), Py_False) < 0) PyErr_WriteUnraisable(src.get());
            }
            if (!result) throw Error();
            return result.release();
        } catch (const Error&) {
            return static_cast<PyObject*>(nullptr);
        }
    }());
    if (data) return data;
    if (!PyErr_ExceptionMatches(st.yaml_error.get()) && !PyErr_ExceptionMatches(st.recompose_error.get()))
        throw Error();
    Ref src;
    {
        ErrorStash stash;  // the error stays set unless the document is composed again
        if (from_libyaml(st, node)) src = optional_attr(self, st.n__node_source.get());
    }
    if (!src) throw Error();
    PyErr_Clear();
    // Compose this document again on the pure-Python path and construct it
    // once more, so that its error marks and locations are SafeLoader's.
    bool single = check(PyObject_IsTrue(attr(src.get(), st.n__single.get()).get()));
    Py_ssize_t before = documents_of(st, src.get()) - 1;
    drop_node_source(st, self, src.get());
    set_attr(self, st.n_constructed_objects.get(), new_dict().get());
    set_attr(self, st.n_recursive_objects.get(), new_dict().get());
    set_attr(self, st.n_state_generators.get(), own(PyList_New(0)).get());
    set_attr(self, st.n_deep_construct.get(), Py_False);
    Ref again;
    if (single) {
        again = call0(self, st.n_get_single_node.get());
    } else {
        skip_documents(st, self, before);
        call0(self, st.n_check_node.get());
        again = call0(self, st.n_get_node.get());
    }
    if (again.get() == Py_None) raise(PyExc_RuntimeError, "document vanished on the pure-Python parser");
    return construct_document_impl(module, st, self, again.get(), private_nodes);
}

Ref loader_construct_document(const Call& c) {
    return construct_document_impl(c.module(), c.state<State>(), c[0], c[1], false);
}

// BaseConstructor.get_single_data / get_data: the node goes to the class's
// construct_document; to ours with the nodes marked as the loader's own.
Ref construct_own_node(const Call& c, PyObject* node) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    Ref mine = attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st.n_construct_document.get());
    Ref inst = optional_attr(self, st.n___dict__.get());
    bool shadowed = inst && PyDict_Check(inst.get()) && PyDict_GetItemWithError(inst.get(), st.n_construct_document.get());
    if (PyErr_Occurred()) throw Error();
    if (mine.get() != st.construct_document_fn.get() || shadowed) return call_method(st.n_construct_document.get(), {self, node});
    return construct_document_impl(c.module(), st, self, node, true);
}

#include "ovark/utils/locations/events.hpp"

Ref loader_get_single_data(const Call& c) {
    State& st = c.state<State>();
#ifdef OVK_HAVE_LIBYAML
    Ref fast;
    if (ev_single(st, c.module(), c[0], fast)) return fast;
#endif
    Ref node = call0(c[0], st.n_get_single_node.get());
    if (node.get() == Py_None) return node;
    return construct_own_node(c, node.get());
}

Ref loader_check_data(const Call& c) {
    State& st = c.state<State>();
#ifdef OVK_HAVE_LIBYAML
    bool more = false;
    if (ev_check_data(st, c.module(), c[0], more)) return Ref::borrow(more ? Py_True : Py_False);
#endif
    return call0(c[0], st.n_check_node.get());
}

Ref loader_get_data(const Call& c) {
    State& st = c.state<State>();
#ifdef OVK_HAVE_LIBYAML
    Ref fast;
    if (ev_get_data(st, c.module(), c[0], fast)) return fast;
#endif
    if (!check(PyObject_IsTrue(call0(c[0], st.n_check_node.get()).get()))) return Ref::borrow(Py_None);
    Ref node = call0(c[0], st.n_get_node.get());
    return construct_own_node(c, node.get());
}

const FuncDef loader_init_def{
    "__init__",
    "(self, stream, *, locations=None, file_name=None)",
    "Load from stream; fill locations, when given, with the Location tree of the data.\n\n"
    "file_name is the file recorded in every Location (default: the stream's name, else '').",
    loader_init,
};
const FuncDef loader_construct_document_def{
    "construct_document",
    "(self, node)",
    "Construct a document, its root entries recorded in the loader's locations.",
    loader_construct_document,
};
const FuncDef loader_get_single_data_def{
    "get_single_data",
    "(self)",
    "Ensure that the stream contains a single document and construct it.",
    loader_get_single_data,
};
const FuncDef loader_check_data_def{
    "check_data",
    "(self)",
    "Whether the stream holds another document.",
    loader_check_data,
};
const FuncDef loader_get_data_def{
    "get_data",
    "(self)",
    "Construct and return the next document.",
    loader_get_data,
};
const FuncDef loader_construct_object_def{
    "construct_object",
    "(self, node, deep=False)",
    "Construct a node as SafeLoader does, recording its Location.",
    loader_construct_object,
};

// ---------------------------------------------------------------- copy and merges

struct Global {
    Ref fn;
    bool ours;
    Global(PyObject* module, PyObject* name, PyObject* own_fn) : fn(lookup(module, name)), ours(fn.get() == own_fn) {}
};

Ref deepcopy_impl(PyObject* module, State& st, PyObject* d) {
    RecursionGuard guard(" in location_deepcopy");
    Ref location_cls = lookup(module, st.n_Location.get());
    Ref copy;
    if (check(PyObject_IsInstance(d, location_cls.get()))) {
        Ref file = attr(d, st.n_file.get()), line = attr(d, st.n_line.get()), column = attr(d, st.n_column.get());
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
    for_items(d, st.n_items.get(), [&](PyObject* k, PyObject* v) {
        Global self(module, st.n_location_deepcopy.get(), st.deepcopy_fn.get());
        Ref value = self.ours ? deepcopy_impl(module, st, v) : own(PyObject_CallOneArg(self.fn.get(), v));
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
    for_items(new_data, st.n_items.get(), [&](PyObject* k_in, PyObject* v) {
        Ref k = Ref::borrow(k_in);
        if (abc.is_mapping(v)) {
            Ref current = get_or(st, data, k.get(), none);
            if (abc.is_mapping(current.get())) {
                Ref sub = own(PyObject_GetItem(data, k.get()));
                Ref sub_loc = get_or(st, locations, k.get(), new_dict);
                Ref sub_new_loc = get_or(st, new_locations, k.get(), new_dict);
                Global self(module, st.n_recursive_location_update.get(), st.update_fn.get());
                if (self.ours) {
                    update_impl(module, st, sub.get(), v, sub_loc.get(), sub_new_loc.get(), list_extend);
                } else {
                    Ref kwnames = own(PyTuple_Pack(1, st.n_list_extend.get()));
                    PyObject* args[] = {sub.get(), v, sub_loc.get(), sub_new_loc.get(), list_extend};
                    own(PyObject_Vectorcall(self.fn.get(), args, 4, kwnames.get()));
                }
                return;
            }
        }
        if (abc.is_list(v) && check(PyObject_IsTrue(list_extend))) {
            Ref pattern = lookup(module, st.n_LIST_EXTEND_PATTERN.get());
            Ref match = call_method(st.n_match.get(), {pattern.get(), k.get()});
            if (check(PyObject_IsTrue(match.get()))) {
                Ref groups = call_method(st.n_groups.get(), {match.get()});
                Ref key = own(PySequence_GetItem(groups.get(), 0));
                Ref target = get_or(st, data, key.get(), none);
                if (abc.is_list(target.get())) {
                    Ref max_idx = st.minus_one;
                    Ref present = call_method(st.n_setdefault.get(), {locations, key.get(), new_dict().get()});
                    if (check(PyObject_IsTrue(present.get()))) {
                        Ref target_locs = own(PyObject_GetItem(locations, key.get()));
                        Ref keys = call_method(st.n_keys.get(), {target_locs.get()});
                        Ref max = lookup(module, st.n_max.get());
                        max_idx = own(PyObject_CallOneArg(max.get(), keys.get()));
                    }
                    Ref added = get_or(st, new_locations, k.get(), new_dict);
                    for_items(added.get(), st.n_items.get(), [&](PyObject* i, PyObject* l) {
                        Ref pos = own(PyNumber_Add(own(PyNumber_Add(max_idx.get(), i)).get(), st.one.get()));
                        Ref target_locs = own(PyObject_GetItem(locations, key.get()));
                        set_item(target_locs.get(), pos.get(), l);
                    });
                    Ref current = own(PyObject_GetItem(data, key.get()));
                    Ref items = own(PyObject_GetItem(new_data, k.get()));
                    call_method(st.n_extend.get(), {current.get(), items.get()});
                    return;
                }
                Ref moved = call_method(st.n_pop.get(), {new_locations, k.get()});
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

Ref recursive_location_update(const Call& c) {
    return update_impl(c.module(), c.state<State>(), c[0], c[1], c[2], c[3], c[4]);
}

Ref setdefault_impl(PyObject* module, State& st, PyObject* data, PyObject* new_data, PyObject* locations,
                    PyObject* new_locations) {
    RecursionGuard guard(" in recursive_location_setdefault");
    Abc abc(module, st);
    if (!abc.is_mapping(data) || !abc.is_mapping(new_data))
        raise(PyExc_TypeError, "recursive_location_setdefault takes two dicts");
    Ref keep = Ref::borrow(data);
    for_items(new_data, st.n_items.get(), [&](PyObject* k, PyObject* v) {
        if (abc.is_mapping(v)) {
            Ref current = get_or(st, data, k, [] { return Ref::borrow(Py_None); });
            if (abc.is_mapping(current.get())) {
                Ref sub = own(PyObject_GetItem(data, k));
                Ref sub_loc = own(PyObject_GetItem(locations, k));
                Ref sub_new_loc = own(PyObject_GetItem(new_locations, k));
                Global self(module, st.n_recursive_location_setdefault.get(), st.setdefault_fn.get());
                if (self.ours) {
                    setdefault_impl(module, st, sub.get(), v, sub_loc.get(), sub_new_loc.get());
                } else {
                    PyObject* args[] = {sub.get(), v, sub_loc.get(), sub_new_loc.get()};
                    own(PyObject_Vectorcall(self.fn.get(), args, 4, nullptr));
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

Ref recursive_location_setdefault(const Call& c) {
    return setdefault_impl(c.module(), c.state<State>(), c[0], c[1], c[2], c[3]);
}

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
    recursive_location_update,
};
const FuncDef setdefault_def{
    "recursive_location_setdefault",
    "(data, new_data, locations, new_locations)",
    "Recursively add the entries of new_data missing from data, with their locations.",
    recursive_location_setdefault,
};

// ---------------------------------------------------------------- module body

void exec(PyObject* module, State& st) {
    for (auto [ref, text] : {std::pair{&st.n_os, "os"}, {&st.n_path, "path"}, {&st.n_basename, "basename"},
                             {&st.n_Location, "Location"}, {&st.n_MutableMapping, "MutableMapping"},
                             {&st.n_MutableSequence, "MutableSequence"}, {&st.n_MappingNode, "MappingNode"},
                             {&st.n_ScalarNode, "ScalarNode"}, {&st.n_SequenceNode, "SequenceNode"},
                             {&st.n_LIST_EXTEND_PATTERN, "LIST_EXTEND_PATTERN"}, {&st.n_CParser, "CParser"},
                             {&st.n_max, "max"}, {&st.n_recursive_location_update, "recursive_location_update"},
                             {&st.n_recursive_location_setdefault, "recursive_location_setdefault"},
                             {&st.n_location_deepcopy, "location_deepcopy"}, {&st.n_list_extend, "list_extend"},
                             {&st.n_file, "file"}, {&st.n_line, "line"}, {&st.n_column, "column"},
                             {&st.n__file, "_file"}, {&st.n__locations, "_locations"},
                             {&st.n__location, "_location"}, {&st.n__parent, "_parent"},
                             {&st.n_start_mark, "start_mark"}, {&st.n_end_mark, "end_mark"},
                             {&st.n_value, "value"}, {&st.n_flow_style, "flow_style"}, {&st.n_index, "index"},
                             {&st.n_name, "name"}, {&st.n_read, "read"}, {&st.n_items, "items"},
                             {&st.n_get, "get"}, {&st.n_pop, "pop"}, {&st.n_setdefault, "setdefault"},
                             {&st.n_extend, "extend"}, {&st.n_match, "match"}, {&st.n_groups, "groups"},
                             {&st.n_keys, "keys"}, {&st.n_resolve, "resolve"},
                             {&st.n_descend_resolver, "descend_resolver"},
                             {&st.n_ascend_resolver, "ascend_resolver"}, {&st.n___init__, "__init__"},
                             {&st.n_construct_object, "construct_object"},
                             {&st.n_construct_document, "construct_document"},
                             {&st.n_get_single_node, "get_single_node"}, {&st.n_check_node, "check_node"},
                             {&st.n_get_node, "get_node"}, {&st.n__node_source, "_node_source"},
                             {&st.n__documents, "_documents"}, {&st.n__single, "_single"},
                             {&st.n__constructing, "_constructing"},
                             {&st.n_constructed_objects, "constructed_objects"},
                             {&st.n_recursive_objects, "recursive_objects"},
                             {&st.n_state_generators, "state_generators"},
                             {&st.n_deep_construct, "deep_construct"},
                             {&st.n_yaml_path_resolvers, "yaml_path_resolvers"}, {&st.n___dict__, "__dict__"},
                             {&st.n__text, "_text"}, {&st.n__ready, "_ready"}})
        *ref = intern(text);
    st.empty_tuple = own(PyTuple_New(0));
    st.empty_str = own(PyUnicode_FromString(""));
    st.object_getstate = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getstate__"));
    st.minus_one = own(PyLong_FromLong(-1));
    st.one = own(PyLong_FromLong(1));

    // The imports of the module body.
    add_object(module, "os", own(PyImport_ImportModule("os")));
    add_object(module, "re", own(PyImport_ImportModule("re")));
    st.MutableMapping = import_from("collections.abc", "MutableMapping");
    st.MutableSequence = import_from("collections.abc", "MutableSequence");
    add_object(module, "MutableMapping", st.MutableMapping);
    add_object(module, "MutableSequence", st.MutableSequence);
    st.MappingNode = import_from("yaml", "MappingNode");
    st.SafeLoader = import_from("yaml", "SafeLoader");
    st.ScalarNode = import_from("yaml", "ScalarNode");
    st.SequenceNode = import_from("yaml", "SequenceNode");
    add_object(module, "MappingNode", st.MappingNode);
    add_object(module, "SafeLoader", st.SafeLoader);
    add_object(module, "ScalarNode", st.ScalarNode);
    add_object(module, "SequenceNode", st.SequenceNode);
    add_object(module, "LIST_EXTEND_PATTERN", import_from("ovark.utils.dicts", "LIST_EXTEND_PATTERN"));
    // The loader gives every node two attributes. CPython keeps instance
    // attributes in arrays indexed by keys shared per class, and lets each new
    // instance shrink the room for further keys; naming the two attributes on
    // one node of each class now, while there is room, keeps them in those
    // arrays instead of a dict per node (which would double the collector's work).
    for (PyObject* cls : {st.ScalarNode.get(), st.SequenceNode.get(), st.MappingNode.get()}) {
        Ref value = cls == st.ScalarNode.get() ? Ref::borrow(st.empty_str.get()) : own(PyList_New(0));
        Ref node = own(PyObject_CallFunctionObjArgs(cls, st.empty_str.get(), value.get(), Py_None, Py_None, nullptr));
        set_attr(node.get(), st.n__location.get(), Py_None);
        set_attr(node.get(), st.n__parent.get(), Py_None);
    }
    // libyaml's parser, when PyYAML was built with it; None otherwise.
    Ref cparser = Ref::steal(PyImport_ImportModule("yaml.cyaml"));
    if (cparser) cparser = Ref::steal(PyObject_GetAttrString(cparser.get(), "CParser"));
    if (!cparser) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
        PyErr_Clear();
        add_object(module, "CParser", Ref::borrow(Py_None));
    } else {
        st.CParser = cparser;
        add_object(module, "CParser", cparser);
        st.cmark_type = import_from("yaml._yaml", "Mark");
        Ref bases = own(PyTuple_Pack(1, cparser.get()));
        st.node_source_class = new_class(module, "_NodeSource", bases.get(), nullptr, {});
    }
    st.yaml_error = import_from("yaml", "YAMLError");
    st.composer_class = import_from("yaml.composer", "Composer");
    st.io_base = import_from("io", "IOBase");
    st.string_io = import_from("io", "StringIO");
    st.bytes_io = import_from("io", "BytesIO");
    st.recompose_error = own(PyErr_NewException("ovark.utils.locations._Recompose", nullptr, nullptr));

    // class Location(dict)
    Ref dict_base = own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    st.location_type = new_type(module, &location_spec, dict_base.get(),
                                {method(location_init_def), method(location_str_def), method(location_extract_def),
                                 method(location_getstate_def), method(location_setstate_def)});
    add_object(module, "Location", st.location_type);

    // class LocSafeLoader(SafeLoader)
    Ref loader_bases = own(PyTuple_Pack(1, st.SafeLoader.get()));
    st.loader_class = new_class(module, "LocSafeLoader", loader_bases.get(),
                                "SafeLoader that records the file, line and column of every value.",
                                {method(loader_init_def), method(loader_construct_document_def),
                                 method(loader_construct_object_def), method(loader_get_single_data_def),
                                 method(loader_check_data_def), method(loader_get_data_def)});
    add_object(module, "LocSafeLoader", st.loader_class);
    st.construct_object_fn = attr(st.loader_class.get(), st.n_construct_object.get());
    st.construct_document_fn = attr(st.loader_class.get(), st.n_construct_document.get());

    // What native construction stands in for.
    st.fill_type = new_type(module, &fill_spec, nullptr);
    st.Hashable = import_from("collections.abc", "Hashable");
    st.ConstructorError = import_from("yaml.constructor", "ConstructorError");
    Ref safe = import_from("yaml.constructor", "SafeConstructor");
    Ref base = import_from("yaml.constructor", "BaseConstructor");
    st.n_tag = intern("tag");
    st.n_yaml_constructors = intern("yaml_constructors");
    st.n_bool_values = intern("bool_values");
    st.n_inf_value = intern("inf_value");
    st.n_nan_value = intern("nan_value");
    st.n_flatten_mapping = intern("flatten_mapping");
    const char* methods[S_COUNT] = {"construct_scalar", "construct_mapping", "flatten_mapping", "construct_sequence"};
    for (int i = 0; i < S_COUNT; ++i) {
        st.std_names[i] = intern(methods[i]);
        st.std_fns[i] = attr(i == S_CONSTRUCT_SEQUENCE ? base.get() : safe.get(), st.std_names[i].get());
    }
    const char* kinds[7][2] = {{"str", "construct_yaml_str"},     {"null", "construct_yaml_null"},
                               {"bool", "construct_yaml_bool"},   {"int", "construct_yaml_int"},
                               {"float", "construct_yaml_float"}, {"map", "construct_yaml_map"},
                               {"seq", "construct_yaml_seq"}};
    st.tag_kinds = new_dict();
    for (int k = 0; k < 7; ++k) {
        st.kind_tags[k] = intern((std::string("tag:yaml.org,2002:") + kinds[k][0]).c_str());
        st.kind_fns[k] = attr(safe.get(), intern(kinds[k][1]).get());
        check(PyDict_SetItem(st.tag_kinds.get(), st.kind_tags[k].get(), own(PyLong_FromLong(k)).get()));
    }
    st.merge_tag = intern("tag:yaml.org,2002:merge");
    st.value_tag = intern("tag:yaml.org,2002:value");
    st.bool_values = own(PyDict_Copy(attr(safe.get(), st.n_bool_values.get()).get()));
    st.inf_value = attr(safe.get(), st.n_inf_value.get());
    st.nan_value = attr(safe.get(), st.n_nan_value.get());

    // What native resolution stands in for: PyYAML's default table, its tags.
    Ref resolver = import_from("yaml.resolver", "Resolver");
    Ref base_resolver = import_from("yaml.resolver", "BaseResolver");
    st.n_yaml_implicit_resolvers = intern("yaml_implicit_resolvers");
    Ref table = attr(resolver.get(), st.n_yaml_implicit_resolvers.get());
    st.implicit_resolvers = new_dict();
    for_items(table.get(), st.n_items.get(), [&](PyObject* k, PyObject* v) {
        check(PyDict_SetItem(st.implicit_resolvers.get(), k, own(PySequence_List(v)).get()));
    });
    const char* resolved[R_COUNT] = {"bool", "float", "int", "merge", "null", "timestamp", "value", "yaml"};
    for (int r = 0; r < R_COUNT; ++r) {
        Ref want = own(PyUnicode_FromFormat("tag:yaml.org,2002:%s", resolved[r]));
        // The table's own text object when the table has the tag.
        st.resolved_tags[r] = want;
        for_items(table.get(), st.n_items.get(), [&](PyObject*, PyObject* entries) {
            for_each(entries, [&](PyObject* entry) {
                auto [tag, regexp] = unpack2(entry);
                if (check(PyObject_RichCompareBool(tag.get(), want.get(), Py_EQ))) {
                    st.resolved_tags[r] = tag;
                    if (r == R_TIMESTAMP) st.timestamp_regexp = regexp;
                }
            });
        });
    }
    if (!st.timestamp_regexp) raise(PyExc_ImportError, "PyYAML's resolver has no timestamp pattern");
    const char* defaults[3] = {"DEFAULT_SCALAR_TAG", "DEFAULT_SEQUENCE_TAG", "DEFAULT_MAPPING_TAG"};
    const char* resolver_methods[3] = {"resolve", "descend_resolver", "ascend_resolver"};
    for (int i = 0; i < 3; ++i) {
        st.default_tag_names[i] = intern(defaults[i]);
        st.default_tags[i] = attr(base_resolver.get(), st.default_tag_names[i].get());
        st.resolver_names[i] = intern(resolver_methods[i]);
        st.resolver_fns[i] = attr(base_resolver.get(), st.resolver_names[i].get());
        st.resolve_fns[i] = make_function(module, resolve_defs[i], "_NodeSource");
    }
    for (int i = 0; i < 3; ++i)
        st.source_template[i] = make_function(module, source_defs[i], "LocSafeLoader.__init__.<locals>");

    st.deepcopy_fn = make_function(module, deepcopy_def);
    st.update_fn = make_function(module, update_def);
    st.setdefault_fn = make_function(module, setdefault_def);
    // The event path (events.hpp): a switch, and how many loads it made.
#ifdef OVK_HAVE_LIBYAML
    add_object(module, "_fast_path", Ref::borrow(Py_True));
    st.merge_model = ev_merge_model(st);
    st.timestamp_tag = intern("tag:yaml.org,2002:timestamp");
    st.timestamp_fn = attr(safe.get(), intern("construct_yaml_timestamp").get());
#else
    add_object(module, "_fast_path", Ref::borrow(Py_False));
#endif
    add_object(module, "_fast_loads", own(PyLong_FromLong(0)));
    add_object(module, "location_deepcopy", st.deepcopy_fn);
    add_object(module, "recursive_location_update", st.update_fn);
    add_object(module, "recursive_location_setdefault", st.setdefault_fn);
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
