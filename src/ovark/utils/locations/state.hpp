// state.hpp - the module state and the small helpers every part uses.
// Part of ovark.utils.locations, included by module.cpp inside its namespace.
#pragma once

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
    KnownClass MutableMapping, MutableSequence;
    Ref MappingNode, ScalarNode, SequenceNode, SafeLoader, CParser;
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
        return std::tie(MutableMapping.cls, MutableSequence.cls, MappingNode, ScalarNode, SequenceNode, SafeLoader,
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

void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj))
        check(PyDict_SetItem(obj, key, value));
    else
        check(PyObject_SetItem(obj, key, value));
}

// isinstance(obj, <module global `name`>), answered by type identity while the
// global still holds the class bound at load.
bool is_instance(PyObject* module, PyObject* name, PyObject* ours, PyObject* obj) {
    Global cls(module, name, ours);
    if (cls.ours && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(ours)) return true;
    return check(PyObject_IsInstance(obj, cls.value.get()));
}

// isinstance(v, MutableMapping) / isinstance(v, MutableSequence), with the
// classes read from the module when used.
struct Abc {
    InstanceTest is_mapping, is_list;
    Abc(PyObject* module, State& st)
        : is_mapping(module, st.n_MutableMapping.get(), st.MutableMapping),
          is_list(module, st.n_MutableSequence.get(), st.MutableSequence) {}
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
