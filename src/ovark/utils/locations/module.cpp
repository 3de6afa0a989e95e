// ovark.utils.locations - YAML loading that records where every value came
// from, and merges that keep such location trees in step with the data.
//
// Location is a native dict subclass whose file, line and column live in C
// fields (see LocationObject); the loader makes its records without going
// through __init__.
//
// LocSafeLoader is a yaml.SafeLoader subclass (made by calling the metaclass).
// Loading takes one of two paths, with the same data, records and errors:
//
// The event path (built when libyaml is found at build time): get_single_data,
// check_data and get_data read libyaml's events here, compose them into
// compact C++ nodes and construct the data and the Location records from them,
// with no PyYAML node or mark object. It runs where the node path would take
// libyaml's nodes and construct them natively (see events.cpp), and hands
// anything else to the node path, from the start of the stream.
//
// The node path: construct_document / construct_object record locations and
// build the data as SafeLoader's own methods do: the standard kinds of node
// here, any other through PyYAML (see "construction" in nodes.cpp); plain
// scalars are resolved here too while the resolver is PyYAML's default. Node
// source: when PyYAML has libyaml (the module global CParser is not None), the
// loader takes its nodes from libyaml's parser, which carries the same start
// marks as the pure-Python composer. The pure-Python reader, scanner, parser and
// composer stay set up on the same text and take over whenever libyaml could
// disagree with them:
//   - a document libyaml rejects (including its nesting limit) is composed again
//     by the pure-Python path, which raises its own error (or loads it);
//   - a YAML error while constructing libyaml's nodes, and an implicit empty
//     value in a flow mapping (where libyaml puts the mark at the next token),
//     make the document be composed and constructed again by the pure-Python
//     path, so that errors and location trees are those of SafeLoader.
// Setting `ovark.utils.locations.CParser = None` selects the pure-Python path;
// `ovark.utils.locations._fast_path = False` turns the event path off.
// The cyclic garbage collector is left as the caller set it: the containers
// that construction builds stay out of its sight until their document is done
// (see Ctx::hide, EvBuilder::hidden), so that collections in the middle of a
// large load do not walk everything built so far again and again.
//
// The parts, in this folder (each .cpp compiled on its own):
//   state.hpp     module state and interned names (`OVK_NAMES`); the layout of
//                 a Location record and the inline helpers that make and fill
//                 one (make_location, set_location); the small helpers (the
//                 collections.abc tests, get_or); what each part offers the
//                 others
//   scalars.hpp   the patterns of PyYAML's default implicit resolvers, matched
//                 by hand; inline, for resolver.cpp and events.cpp
//   record.cpp    Location: its slots, attribute access (file, line, column
//                 in C fields until a __dict__ is asked for), pickling, methods
//   resolver.cpp  the plain-scalar resolver lent to libyaml's node source, and
//                 the test of whether a loader still resolves as PyYAML's
//                 default Resolver (default_resolver)
//   nodes.cpp     the node path: LocSafeLoader.__init__ (node source set up),
//                 the node source's methods and its fall-back to the
//                 pure-Python composer, construction with location records
//                 (Ctx, construct, run_fill, _Fill), construct_document and its
//                 second composition, and the loader's entry points
//                 (get_single_data, check_data, get_data), which try the event
//                 path first
//   events.cpp    the event path: libyaml's events composed into EvNodes
//                 (ev_compose), constructed with their records (EvBuilder),
//                 merges as the installed PyYAML does them (ev_merge_model);
//                 compiled with libyaml only
//   merges.cpp    location_deepcopy and the two location-aware merges
//   module.cpp    this file: the module body (imports, classes, functions)
#include "state.hpp"

#include <string>

namespace locations {
namespace {

void exec(PyObject* module, State& st) {
    st.names.init();
    st.empty_tuple = own(PyTuple_New(0));
    st.empty_str = own(PyUnicode_FromString(""));
    st.object_getstate = attr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), st.names[N___getstate__]);
    st.minus_one = own(PyLong_FromLong(-1));
    st.one = own(PyLong_FromLong(1));

    // The imports of the module body.
    add_object(module, "os", import_module("os"));
    add_object(module, "re", import_module("re"));
    st.MutableMapping = KnownClass::of(import_from("collections.abc", "MutableMapping"));
    st.MutableSequence = KnownClass::of(import_from("collections.abc", "MutableSequence"));
    add_object(module, "MutableMapping", st.MutableMapping.cls);
    add_object(module, "MutableSequence", st.MutableSequence.cls);
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
        set_attr(node.get(), st.names[N__location], Py_None);
        set_attr(node.get(), st.names[N__parent], Py_None);
    }
    // libyaml's parser, when PyYAML was built with it; None otherwise.
    Ref cparser;
    try {
        cparser = import_from("yaml.cyaml", "CParser");
    } catch (const Error&) {
        if (!clear_if(PyExc_ImportError) && !clear_if(PyExc_AttributeError)) throw;
    }
    if (!cparser) {
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
    st.loader_class =
        new_class(module, "LocSafeLoader", loader_bases.get(),
                  "SafeLoader that records the file, line and column of every value.",
                  {method(loader_init_def), method(loader_construct_document_def), method(loader_construct_object_def),
                   method(loader_get_single_data_def), method(loader_check_data_def), method(loader_get_data_def)});
    add_object(module, "LocSafeLoader", st.loader_class);
    st.construct_object_fn = attr(st.loader_class.get(), st.names[N_construct_object]);
    st.construct_document_fn = attr(st.loader_class.get(), st.names[N_construct_document]);

    // What native construction stands in for.
    st.fill_type = new_type(module, &fill_spec, nullptr);
    st.Hashable = import_from("collections.abc", "Hashable");
    st.ConstructorError = import_from("yaml.constructor", "ConstructorError");
    Ref safe = import_from("yaml.constructor", "SafeConstructor");
    Ref base = import_from("yaml.constructor", "BaseConstructor");
    for (int i = 0; i < S_COUNT; ++i)
        st.std_fns[i] = attr(i == S_CONSTRUCT_SEQUENCE ? base.get() : safe.get(), st.names[std_method_names[i]]);
    const char* kinds[K_COUNT][2] = {{"str", "construct_yaml_str"},     {"null", "construct_yaml_null"},
                                     {"bool", "construct_yaml_bool"},   {"int", "construct_yaml_int"},
                                     {"float", "construct_yaml_float"}, {"map", "construct_yaml_map"},
                                     {"seq", "construct_yaml_seq"}};
    st.tag_kinds = new_dict();
    for (int k = 0; k < K_COUNT; ++k) {
        st.kind_tags[k] = intern((std::string("tag:yaml.org,2002:") + kinds[k][0]).c_str());
        st.kind_fns[k] = attr(safe.get(), intern(kinds[k][1]).get());
        check(PyDict_SetItem(st.tag_kinds.get(), st.kind_tags[k].get(), own(PyLong_FromLong(k)).get()));
    }
    st.merge_tag = intern("tag:yaml.org,2002:merge");
    st.value_tag = intern("tag:yaml.org,2002:value");
    st.bool_values = own(PyDict_Copy(attr(safe.get(), st.names[N_bool_values]).get()));
    st.inf_value = attr(safe.get(), st.names[N_inf_value]);
    st.nan_value = attr(safe.get(), st.names[N_nan_value]);

    // What native resolution stands in for: PyYAML's default table, its tags.
    Ref resolver = import_from("yaml.resolver", "Resolver");
    Ref base_resolver = import_from("yaml.resolver", "BaseResolver");
    Ref table = attr(resolver.get(), st.names[N_yaml_implicit_resolvers]);
    st.implicit_resolvers = new_dict();
    for_items(table.get(), st.names[N_items], [&](PyObject* k, PyObject* v) {
        check(PyDict_SetItem(st.implicit_resolvers.get(), k, own(PySequence_List(v)).get()));
    });
    const char* resolved[R_COUNT] = {"bool", "float", "int", "merge", "null", "timestamp", "value", "yaml"};
    for (int r = 0; r < R_COUNT; ++r) {
        Ref want = own(PyUnicode_FromFormat("tag:yaml.org,2002:%s", resolved[r]));
        // The table's own text object when the table has the tag.
        st.resolved_tags[r] = want;
        for_items(table.get(), st.names[N_items], [&](PyObject*, PyObject* entries) {
            for_each(entries, [&](PyObject* entry) {
                auto [tag, regexp] = unpack<2>(entry);
                if (check(PyObject_RichCompareBool(tag.get(), want.get(), Py_EQ))) {
                    st.resolved_tags[r] = tag;
                    if (r == R_TIMESTAMP) st.timestamp_regexp = regexp;
                }
            });
        });
    }
    if (!st.timestamp_regexp) raise(PyExc_ImportError, "PyYAML's resolver has no timestamp pattern");
    for (int i = 0; i < NK_COUNT; ++i) st.default_tags[i] = attr(base_resolver.get(), st.names[default_tag_names[i]]);
    for (int i = 0; i < RM_COUNT; ++i) {
        st.resolver_fns[i] = attr(base_resolver.get(), st.names[resolver_names[i]]);
        st.resolve_fns[i] = make_function(module, resolve_defs[i], "_NodeSource");
    }
    for (int i = 0; i < SRC_COUNT; ++i)
        st.source_template[i] = make_function(module, source_defs[i], "LocSafeLoader.__init__.<locals>");

    st.deepcopy_fn = make_function(module, deepcopy_def);
    st.update_fn = make_function(module, update_def);
    st.setdefault_fn = make_function(module, setdefault_def);
    // The event path (events.cpp): a switch, and how many loads it made.
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
}  // namespace locations

OVK_MODULE(locations::State, locations::exec, nullptr)
