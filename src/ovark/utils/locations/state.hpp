// ovark.utils.locations - what the parts of the module share: the module state
// and its interned names, the layout of a Location record with the inline
// helpers that make and fill one (every node of a load makes one), the small
// helpers, and the functions one part offers the others. The map of the
// module is at the top of module.cpp.
#pragma once
#include "ovk/ovk.hpp"

#include <climits>
#include <cstddef>
#include <utility>
#include <vector>

namespace locations {

using namespace ovk;

// ---------------------------------------------------------------- state

struct Ctx;

// clang-format off
#define LOCATIONS_NAMES(X)                                                                                          \
    X(os) X(path) X(basename) X(Location) X(MutableMapping) X(MutableSequence) X(MappingNode) X(ScalarNode)          \
    X(SequenceNode) X(LIST_EXTEND_PATTERN) X(CParser) X(max) X(recursive_location_update)                          \
    X(recursive_location_setdefault) X(location_deepcopy) X(list_extend) X(file) X(line) X(column) X(_file)        \
    X(_locations) X(_location) X(_parent) X(start_mark) X(end_mark) X(value) X(flow_style) X(index) X(name) X(read) \
    X(items) X(get) X(pop) X(setdefault) X(extend) X(match) X(groups) X(keys) X(__init__) X(__dict__)              \
    X(__getstate__) X(_fast_path) X(_fast_loads)                                                                    \
    /* the node source and the loader's bookkeeping */                                                             \
    X(get_single_node) X(check_node) X(get_node) X(_node_source) X(_documents) X(_single) X(_constructing) X(_text) \
    X(_ready) X(construct_object) X(construct_document) X(constructed_objects) X(recursive_objects)                 \
    X(state_generators) X(deep_construct)                                                                           \
    /* what native construction and resolution stand in for */                                                     \
    X(tag) X(yaml_constructors) X(bool_values) X(inf_value) X(nan_value) X(construct_scalar) X(construct_mapping)   \
    X(flatten_mapping) X(construct_sequence) X(resolve) X(descend_resolver) X(ascend_resolver)                      \
    X(yaml_implicit_resolvers) X(yaml_path_resolvers) X(DEFAULT_SCALAR_TAG) X(DEFAULT_SEQUENCE_TAG)                \
    X(DEFAULT_MAPPING_TAG)
OVK_NAMES(LOCATIONS_NAMES)
// clang-format on

// The tags of PyYAML's default implicit resolvers.
enum Resolved { R_BOOL, R_FLOAT, R_INT, R_MERGE, R_NULL, R_TIMESTAMP, R_VALUE, R_YAML, R_COUNT };

// How the installed PyYAML merges (events.cpp, ev_merge_model).
enum MergeModel { MERGE_UNKNOWN, MERGE_REVERSED, MERGE_FIRST_WINS };

// SafeConstructor methods whose own versions the native construction stands in for.
enum StdMethod { S_CONSTRUCT_SCALAR, S_CONSTRUCT_MAPPING, S_FLATTEN_MAPPING, S_CONSTRUCT_SEQUENCE, S_COUNT };
inline constexpr Name std_method_names[S_COUNT] = {N_construct_scalar, N_construct_mapping, N_flatten_mapping,
                                                   N_construct_sequence};

// The standard kinds of node that native construction builds, by their tag.
enum Kind { K_STR, K_NULL, K_BOOL, K_INT, K_FLOAT, K_MAP, K_SEQ, K_COUNT, K_NONE = K_COUNT };

// The kinds of node the resolver tells apart, and its default tag for each.
enum NodeKind { NK_SCALAR, NK_SEQUENCE, NK_MAPPING, NK_COUNT };
inline constexpr Name default_tag_names[NK_COUNT] = {N_DEFAULT_SCALAR_TAG, N_DEFAULT_SEQUENCE_TAG,
                                                     N_DEFAULT_MAPPING_TAG};

// The resolver's methods, which the node source is lent while it composes.
enum ResolverMethod { RM_RESOLVE, RM_DESCEND, RM_ASCEND, RM_COUNT };
inline constexpr Name resolver_names[RM_COUNT] = {N_resolve, N_descend_resolver, N_ascend_resolver};

// The node source's methods, which the loader's instance is given while
// libyaml composes.
enum SourceMethod { SRC_GET_SINGLE_NODE, SRC_CHECK_NODE, SRC_GET_NODE, SRC_COUNT };
inline constexpr Name source_names[SRC_COUNT] = {N_get_single_node, N_check_node, N_get_node};

// std::tie of every element of an array of Refs, for a state's refs().
template <size_t N>
auto each(Ref (&a)[N]) {
    return [&]<size_t... I>(std::index_sequence<I...>) { return std::tie(a[I]...); }(std::make_index_sequence<N>());
}

struct State {
    // Objects bound at load, to recognise unpatched globals.
    KnownClass MutableMapping, MutableSequence;
    Ref MappingNode, ScalarNode, SequenceNode, SafeLoader, CParser;
    Ref location_type, loader_class, node_source_class, cmark_type, yaml_error, recompose_error;
    Ref io_base, string_io, bytes_io, composer_class;
    Ref empty_tuple, empty_str, minus_one, one;
    Ref update_fn, setdefault_fn, deepcopy_fn, source_template[SRC_COUNT];
    Ref object_getstate;
    // Native construction: SafeLoader's own methods and constructors, the
    // standard tags, and the class attributes they read.
    Ref fill_type, construct_object_fn, construct_document_fn, Hashable, ConstructorError, tag_kinds, merge_tag,
        value_tag, bool_values, inf_value, nan_value;
    Ref std_fns[S_COUNT], kind_tags[K_COUNT], kind_fns[K_COUNT];
    std::vector<Ctx*> active;  // constructions in progress (nested loads, threads)
    MergeModel merge_model = MERGE_UNKNOWN;
    Ref timestamp_tag, timestamp_fn;  // SafeConstructor's, for the event path
    // Native resolution.
    Ref resolved_tags[R_COUNT], default_tags[NK_COUNT], resolver_fns[RM_COUNT], resolve_fns[RM_COUNT],
        implicit_resolvers, timestamp_regexp;
    Names names;  // interned: outside refs()

    auto refs() {
        return std::tuple_cat(
            std::tie(MutableMapping.cls, MutableSequence.cls, MappingNode, ScalarNode, SequenceNode, SafeLoader,
                     CParser, location_type, loader_class, node_source_class, cmark_type, yaml_error, recompose_error,
                     io_base, string_io, bytes_io, composer_class, empty_tuple, empty_str, minus_one, one, update_fn,
                     setdefault_fn, deepcopy_fn, object_getstate, fill_type, construct_object_fn, construct_document_fn,
                     Hashable, ConstructorError, tag_kinds, merge_tag, value_tag, bool_values, inf_value, nan_value,
                     timestamp_tag, timestamp_fn, implicit_resolvers, timestamp_regexp),
            each(source_template), each(std_fns), each(kind_tags), each(kind_fns), each(resolved_tags),
            each(default_tags), each(resolver_fns), each(resolve_fns));
    }
};

// ---------------------------------------------------------------- Location records

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

// A record with no attribute dict holding a container is seen by the collector
// through dict insertion; an attribute value that is a container tracks it too.
inline void track_for(PyObject* self, PyObject* value) {
    if (value && PyObject_IS_GC(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

// An exact int that fits the field, else false (with no error set).
inline bool compact_int(PyObject* value, int* out) {
    if (!value || !PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow || v < INT_MIN || v >= INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

// Whether `loc` is one of our records with its attributes in the C fields.
inline bool compact_record(State& st, PyObject* loc) {
    return Py_TYPE(loc) == reinterpret_cast<PyTypeObject*>(st.location_type.get()) && !as_location(loc)->dict;
}

// Sets file, line and column, as attribute assignments would.
inline void set_location(State& st, PyObject* loc, PyObject* file, PyObject* line, PyObject* column) {
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
    set_attr(loc, st.names[N_file], file);
    set_attr(loc, st.names[N_line], line);
    set_attr(loc, st.names[N_column], column);
}

inline void set_location(PyObject* loc, PyObject* file, int line, int column) {
    auto* lo = as_location(loc);
    lo->line1 = line + 1;
    lo->column1 = column + 1;
    if (lo->file != file) {
        Ref old = Ref::steal(std::exchange(lo->file, Py_NewRef(file)));
        track_for(loc, file);
    }
}

// A new empty record with the given attributes, made as Location() would.
inline Ref make_location(State& st, PyObject* file, int line, int column) {
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

inline Ref make_location(State& st, PyObject* file, PyObject* line, PyObject* column) {
    auto* tp = reinterpret_cast<PyTypeObject*>(st.location_type.get());
    Ref loc = own(PyDict_Type.tp_new(tp, st.empty_tuple.get(), nullptr));
    PyObject_GC_UnTrack(loc.get());
    set_location(st, loc.get(), file, line, column);
    return loc;
}

inline Ref new_location(State& st) { return make_location(st, st.empty_str.get(), -1, -1); }

// ---------------------------------------------------------------- helpers

inline void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj))
        check(PyDict_SetItem(obj, key, value));
    else
        check(PyObject_SetItem(obj, key, value));
}

// isinstance(obj, <module global `name`>), answered by type identity while the
// global still holds the class bound at load.
inline bool is_instance(PyObject* module, PyObject* name, PyObject* ours, PyObject* obj) {
    Global cls(module, name, ours);
    if (cls.ours && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(ours)) return true;
    return check(PyObject_IsInstance(obj, cls.value.get()));
}

// isinstance(v, MutableMapping) / isinstance(v, MutableSequence), with the
// classes read from the module when used.
struct Abc {
    InstanceTest is_mapping, is_list;
    Abc(PyObject* module, State& st)
        : is_mapping(module, st.names[N_MutableMapping], st.MutableMapping),
          is_list(module, st.names[N_MutableSequence], st.MutableSequence) {}
};

// obj.get(key, default) where `dflt` makes the default when needed.
template <class D>
inline Ref get_or(State& st, PyObject* obj, PyObject* key, D&& dflt) {
    if (PyDict_CheckExact(obj)) {
        if (Ref v = dict_get(obj, key)) return v;
        return dflt();
    }
    Ref d = dflt();
    return call_method(st.names[N_get], {obj, key, d.get()});
}

inline Ref new_dict() { return own(PyDict_New()); }

inline Ref call0(PyObject* obj, PyObject* name) { return call_method(name, {obj}); }

// ---------------------------------------------------------------- what the parts offer each other

// record.cpp: the Location class.
extern PyType_Spec location_spec;
extern const FuncDef location_init_def, location_str_def, location_extract_def, location_getstate_def,
    location_setstate_def;

// resolver.cpp: the resolver methods lent to the node source, and whether a
// loader resolves as PyYAML's default Resolver does.
extern const FuncDef resolve_defs[RM_COUNT];
bool default_resolver(State& st, PyObject* loader);
void lend_resolver(State& st, PyObject* loader, PyObject* src);
void drop_resolver(State& st, PyObject* src);

// nodes.cpp: LocSafeLoader's methods, the node source's, the pending
// containers of construction, and the bookkeeping of the node source.
extern PyType_Spec fill_spec;
extern const FuncDef source_defs[SRC_COUNT];
extern const FuncDef loader_init_def, loader_construct_document_def, loader_construct_object_def,
    loader_get_single_data_def, loader_check_data_def, loader_get_data_def;
Py_ssize_t documents_of(State& st, PyObject* src);
void set_documents(State& st, PyObject* src, Py_ssize_t n);
void finish_node_source(State& st, PyObject* loader, PyObject* src);
bool constructs_natively(State& st, PyObject* module, PyObject* loader);

// events.cpp: the event path, tried first by the loader's entry points.
#ifdef OVK_HAVE_LIBYAML
MergeModel ev_merge_model(State& st);
bool ev_single(State& st, PyObject* module, PyObject* self, Ref& out);
bool ev_check_data(State& st, PyObject* module, PyObject* self, bool& more);
bool ev_get_data(State& st, PyObject* module, PyObject* self, Ref& out);
#endif
// Before the node source answers: documents the event path handed out are
// skipped on it first.
void ev_hand_over(State& st, PyObject* src);

// merges.cpp: location_deepcopy and the two location-aware merges.
extern const FuncDef deepcopy_def, update_def, setdefault_def;

}  // namespace locations
