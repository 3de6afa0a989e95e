// ovark.utils.locations - the plain-scalar resolver: PyYAML's default implicit
// resolvers matched by hand, and the test of whether a loader still resolves
// that way.
//
// While the loader resolves as PyYAML's Resolver does (its resolve methods are
// BaseResolver's, its table of implicit resolvers is PyYAML's default and it
// has no path resolvers), plain scalars are resolved here: each pattern of the
// default table is matched by hand (with `$` matching before one final line
// break, as `re` does), in the table's order for the first character, and
// timestamps by the table's own expression.
#include "state.hpp"
#include "scalars.hpp"

namespace locations {
namespace {

// The default table's tag for a plain scalar, or an empty Ref for str.
Ref resolve_plain(State& st, PyObject* value) {
    if (!PyUnicode_IS_ASCII(value)) return Ref();  // every pattern is ASCII: no match
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
    size_t n = (size_t)PyUnicode_GET_LENGTH(value);
    if (n == 0) return st.resolved_tags[R_NULL];
    char c = s[0];
    auto tag = [&](int r) { return st.resolved_tags[r]; };
    switch (c) {
        case 'y':
        case 'Y':
        case 't':
        case 'T':
        case 'f':
        case 'F':
        case 'o':
        case 'O': return re_full(s, n, bool_full) ? tag(R_BOOL) : Ref();
        case 'n':
        case 'N':
            if (re_full(s, n, bool_full)) return tag(R_BOOL);
            return re_full(s, n, null_full) ? tag(R_NULL) : Ref();
        case '~': return re_full(s, n, null_full) ? tag(R_NULL) : Ref();
        case '<':
            return re_full(s, n, [](const char* p, size_t m) { return std::string_view(p, m) == "<<"; }) ? tag(R_MERGE)
                                                                                                         : Ref();
        case '=':
            return re_full(s, n, [](const char* p, size_t m) { return std::string_view(p, m) == "="; }) ? tag(R_VALUE)
                                                                                                        : Ref();
        case '!':
        case '&':
        case '*': return re_full(s, n, [](const char*, size_t m) { return m == 1; }) ? tag(R_YAML) : Ref();
        case '.': return re_full(s, n, float_full) ? tag(R_FLOAT) : Ref();
        default: break;
    }
    if (!sign(c) && !digit(c)) return Ref();
    if (re_full(s, n, float_full)) return tag(R_FLOAT);
    if (re_full(s, n, int_full)) return tag(R_INT);
    if (!digit(c) || n < 8 || s[4] != '-') return Ref();  // a timestamp starts with 4 digits and '-'
    Ref match = call_method(st.names[N_match], {st.timestamp_regexp.get(), value});
    return match.get() != Py_None ? tag(R_TIMESTAMP) : Ref();
}

Ref native_resolve(const Call& c, PyObject* kind, PyObject* value, PyObject* implicit) {
    State& st = c.state<State>();
    if (kind == st.ScalarNode.get()) {
        Ref first = own(PySequence_GetItem(implicit, 0));
        if (truth(first)) {
            if (!PyUnicode_Check(value)) raise(PyExc_TypeError, "a plain scalar must be a str");
            Ref tag = resolve_plain(st, value);
            return tag ? tag : st.default_tags[NK_SCALAR];
        }
        return st.default_tags[NK_SCALAR];
    }
    if (kind == st.SequenceNode.get()) return st.default_tags[NK_SEQUENCE];
    if (kind == st.MappingNode.get()) return st.default_tags[NK_MAPPING];
    return Ref::borrow(Py_None);
}

Ref native_descend(const Call&) { return Ref::borrow(Py_None); }

}  // namespace

const FuncDef resolve_defs[RM_COUNT] = {
    {"resolve", "(kind, value, implicit)", "The tag of a node, as PyYAML's default Resolver gives it.",
     params<native_resolve>},
    {"descend_resolver", "(current_node, current_index)", "Nothing to do: no path resolvers.", native_descend},
    {"ascend_resolver", "()", "Nothing to do: no path resolvers.", native_descend},
};

// Whether the loader resolves as PyYAML's default Resolver does.
bool default_resolver(State& st, PyObject* loader) {
    Ref inst = optional_attr(loader, st.names[N___dict__]);
    auto* tp = reinterpret_cast<PyObject*>(Py_TYPE(loader));
    for (int i = 0; i < RM_COUNT; ++i) {
        PyObject* name = st.names[resolver_names[i]];
        if (inst && PyDict_Check(inst.get()) && PyDict_GetItemWithError(inst.get(), name)) return false;
        if (PyErr_Occurred()) throw Error();
        if (attr(tp, name).get() != st.resolver_fns[i].get()) return false;
    }
    for (int i = 0; i < NK_COUNT; ++i) {
        Ref tag = attr(loader, st.names[default_tag_names[i]]);
        if (!check(PyObject_RichCompareBool(tag.get(), st.default_tags[i].get(), Py_EQ))) return false;
    }
    Ref table = attr(loader, st.names[N_yaml_implicit_resolvers]);
    return check(PyObject_RichCompareBool(table.get(), st.implicit_resolvers.get(), Py_EQ));
}

// The resolver methods lent to the node source while it composes: ours while
// the loader resolves as PyYAML's default does, else the loader's own.
void lend_resolver(State& st, PyObject* loader, PyObject* src) {
    bool native = default_resolver(st, loader);
    for (int i = 0; i < RM_COUNT; ++i) {
        PyObject* name = st.names[resolver_names[i]];
        set_attr(src, name, native ? st.resolve_fns[i].get() : attr(loader, name).get());
    }
}

void drop_resolver(State& st, PyObject* src) {
    Ref sd = attr(src, st.names[N___dict__]);
    for (PyObject* name : {st.names[N_resolve], st.names[N_descend_resolver], st.names[N_ascend_resolver]})
        if (check(PyDict_Contains(sd.get(), name))) check(PyDict_DelItem(sd.get(), name));
}

}  // namespace locations
