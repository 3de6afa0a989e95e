// ovark.utils.locations - the node path: LocSafeLoader over PyYAML's nodes
// (libyaml's node source, or the pure-Python composer), its construction with
// the location records, and the loader's entry points, which try the event
// path (events.cpp) first.
#include "state.hpp"

#include <cstring>
#include <string>
#include <string_view>

namespace locations {
namespace {

// ---------------------------------------------------------------- the loader

// Calls `name` as found after LocSafeLoader in type(self)'s MRO, as super() does.
Ref super_call(State& st, PyObject* self, PyObject* name, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames = nullptr) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* mro = tp->tp_mro;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != st.loader_class.get()) ++i;
    for (++i; i < n; ++i) {
        Ref dict = own(compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        Ref fn = dict_get(dict.get(), name);
        if (!fn) continue;
        PyObject* found = fn.get();
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

// Deletes the node-source methods from the loader's instance dict.
void drop_node_source_methods(State& st, PyObject* loader) {
    Ref d = attr(loader, st.names[N___dict__]);
    for (PyObject* name : {st.names[N_get_single_node], st.names[N_check_node], st.names[N_get_node]})
        if (PyDict_Contains(d.get(), name) > 0) check(PyDict_DelItem(d.get(), name));
    if (PyErr_Occurred()) throw Error();
}

void drop_node_source(State& st, PyObject* loader, PyObject* src) {
    drop_node_source_methods(st, loader);
    Ref d = attr(loader, st.names[N___dict__]);
    if (check(PyDict_Contains(d.get(), st.names[N__node_source])))
        check(PyDict_DelItem(d.get(), st.names[N__node_source]));
    drop_resolver(st, src);
}

// Composes and drops `n` documents, as check_node / get_node calls would.
void skip_documents(State& st, PyObject* loader, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        call0(loader, st.names[N_check_node]);
        call0(loader, st.names[N_get_node]);
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
    if (!clear_if(st.yaml_error.get())) throw Error();
    fall_back(st, s.loader.get(), s.src.get(), single ? 0 : documents_of(st, s.src.get()));
    return Ref();
}

Ref source_get_single_node(const Call& c) {
    State& st = c.state<State>();
    Source s(c);
    ev_hand_over(st, s.src.get());
    PyObject *loader = s.loader.get(), *src = s.src.get();
    Ref node = ask_source(st, s, st.names[N_get_single_node], true);
    if (!node) return call0(loader, st.names[N_get_single_node]);
    set_attr(src, st.names[N__single], Py_True);
    set_documents(st, src, 1);
    finish_node_source(st, loader, src);
    return node;
}

Ref source_check_node(const Call& c) {
    State& st = c.state<State>();
    Source s(c);
    ev_hand_over(st, s.src.get());
    PyObject *loader = s.loader.get(), *src = s.src.get();
    Ref result = ask_source(st, s, st.names[N_check_node], false);
    if (!result) return call0(loader, st.names[N_check_node]);
    if (!truth(result)) finish_node_source(st, loader, src);
    return result;
}

Ref source_get_node(const Call& c) {
    State& st = c.state<State>();
    Source s(c);
    ev_hand_over(st, s.src.get());
    PyObject *loader = s.loader.get(), *src = s.src.get();
    Ref node = ask_source(st, s, st.names[N_get_node], false);
    if (!node) {
        call0(loader, st.names[N_check_node]);  // the pure composer drops STREAM-START here
        return call0(loader, st.names[N_get_node]);
    }
    if (node.get() == Py_None)
        finish_node_source(st, loader, src);
    else
        set_documents(st, src, documents_of(st, src) + 1);
    return node;
}

// Text where libyaml and the pure-Python scanner are known to part ways: the
// pure-Python path reads it (it is SafeLoader's reading that counts). Checked:
// tabs (the pure-Python scanner refuses them outside scalars), a byte-order
// mark after the start, a comment right after a block scalar header, '?' as an
// explicit key or next to text in a document with flow collections (the
// pure-Python scanner ends flow scalars there), tags outside the plain
// "!handle!suffix" form followed by a blank, and directives.
inline bool starts_token(Py_UCS4 c) {
    return c == ' ' || c == '\r' || c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029 || c == '[' || c == '{' ||
           c == ',' || c == 0xFEFF;
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
            if (!clear_if(PyExc_UnicodeDecodeError)) throw Error();
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
    Ref cparser = lookup(module, st.names[N_CParser]);
    if (cparser.get() != st.CParser.get()) return false;  // None, or patched: pure-Python path
    auto* tp = reinterpret_cast<PyObject*>(Py_TYPE(self));
    for (PyObject* name : {st.names[N_get_single_node], st.names[N_check_node], st.names[N_get_node]}) {
        Ref mine = attr(tp, name), composer = attr(st.composer_class.get(), name);
        if (mine.get() != composer.get()) return false;  // a subclass composes its own way
    }
    Ref path_resolvers = attr(tp, st.names[N_yaml_path_resolvers]);
    return !truth(path_resolvers);
}

// An in-memory stream over `text`, named `name` when it is given.
Ref named_stream(State& st, PyObject* type, PyObject* text, PyObject* name) {
    Ref stream = own(PyObject_CallOneArg(type, text));
    if (name) set_attr(stream.get(), st.names[N_name], name);
    return stream;
}

Ref loader_init(const Call& c, PyObject* self, PyObject* stream, PyObject* locations, PyObject* file_name) {
    State& st = c.state<State>();
    Ref file;
    if (truth(file_name)) {
        file = Ref::borrow(file_name);
    } else {
        file = optional_attr(stream, st.names[N_name]);
        if (!file) file = st.empty_str;
    }
    set_attr(self, st.names[N__file], file.get());
    set_attr(self, st.names[N__locations], locations);

    Ref text, pure_stream = Ref::borrow(stream), wrapper_type, stream_name;
    if (may_use_libyaml(st, c.module(), self)) {
        if (PyUnicode_CheckExact(stream) || PyBytes_CheckExact(stream)) {
            text = Ref::borrow(stream);
        } else if (check(PyObject_IsInstance(stream, st.io_base.get()))) {
            // Read once; both node sources work on the same text.
            text = call0(stream, st.names[N_read]);
            wrapper_type = Ref::borrow(PyUnicode_CheckExact(text.get()) ? st.string_io.get()
                                       : PyBytes_CheckExact(text.get()) ? st.bytes_io.get()
                                                                        : nullptr);
            if (!wrapper_type) raise(PyExc_TypeError, "a string or stream input is required");
            stream_name = optional_attr(stream, st.names[N_name]);
            pure_stream = named_stream(st, wrapper_type.get(), text.get(), stream_name.get());
        }
    }
    PyObject* args[] = {pure_stream.get()};
    super_call(st, self, st.names[N___init__], args, 1);
    if (text) text = libyaml_text(text.get());
    if (!text) return Ref::borrow(Py_None);

    // From a file, libyaml reads a copy of its text under the file's name, so
    // that its marks carry that name as the pure-Python reader's do.
    Ref source_input = wrapper_type ? named_stream(st, wrapper_type.get(), text.get(), stream_name.get()) : text;
    Ref src = own(PyObject_CallOneArg(st.node_source_class.get(), source_input.get()));
    set_attr(src.get(), st.names[N__text], text.get());  // for the event path (events.cpp)
    lend_resolver(st, self, src.get());
    set_documents(st, src.get(), 0);
    set_attr(src.get(), st.names[N__single], Py_False);
    set_attr(src.get(), st.names[N__constructing], Py_False);
    set_attr(self, st.names[N__node_source], src.get());
    Ref captured = own(PyTuple_Pack(2, self, src.get()));
    for (int i = 0; i < SRC_COUNT; ++i)
        set_attr(self, st.names[source_names[i]], make_closure(st.source_template[i].get(), captured).get());
    return Ref::borrow(Py_None);
}

bool from_libyaml(State& st, PyObject* node) {
    if (!st.cmark_type) return false;
    Ref mark = optional_attr(node, st.names[N_start_mark]);
    return mark && Py_TYPE(mark.get()) == reinterpret_cast<PyTypeObject*>(st.cmark_type.get());
}

// An implicit empty scalar (no tag, anchor or quotes): libyaml marks it at the
// token after it, the pure-Python parser right after the ':' before it.
bool empty_plain_scalar(State& st, PyObject* module, PyObject* node) {
    if (!is_instance(module, st.names[N_ScalarNode], st.ScalarNode.get(), node)) return false;
    Ref value = attr(node, st.names[N_value]);
    if (!PyUnicode_Check(value.get()) || PyUnicode_GET_LENGTH(value.get()) != 0) return false;
    Ref start = attr(attr(node, st.names[N_start_mark]).get(), st.names[N_index]);
    Ref end = attr(attr(node, st.names[N_end_mark]).get(), st.names[N_index]);
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

// One pending mapping or sequence.
struct FillObject {
    PyObject_HEAD PyObject* loader;
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

}  // namespace

// The construction of one document (or one construct_object call from outside).
// Declared in state.hpp: the state lists the constructions in progress.
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
        locations = attr(self, st.names[N__locations]);
        tracking = locations.get() != Py_None;
        if (tracking) file = attr(self, st.names[N__file]);
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
        if (Py_TYPE(parent) == reinterpret_cast<PyTypeObject*>(st.location_type.get()) && PyObject_GC_IsTracked(parent))
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
        constructed = attr(self, st.names[N_constructed_objects]);
        recursive = attr(self, st.names[N_recursive_objects]);
        generators = attr(self, st.names[N_state_generators]);
        deep_construct = truth(attr(self, st.names[N_deep_construct]));
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
        Ref inst = optional_attr(self, st.names[N___dict__]);
        PyObject* d = inst && PyDict_Check(inst.get()) ? inst.get() : nullptr;
        native = standard(d, st.names[N_construct_object], st.construct_object_fn.get());
        if (!native) return;
        Ref table = attr(self, st.names[N_yaml_constructors]);
        if (!PyDict_Check(table.get())) {
            native = false;
            return;
        }
        auto std_method = [&](int i) { return standard(d, st.names[std_method_names[i]], st.std_fns[i].get()); };
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
            Ref values = attr(self, st.names[N_bool_values]);
            kind_ok[K_BOOL] = check(PyObject_RichCompareBool(values.get(), st.bool_values.get(), Py_EQ));
        }
        if (kind_ok[K_FLOAT]) {
            Ref inf = attr(self, st.names[N_inf_value]), nan = attr(self, st.names[N_nan_value]);
            kind_ok[K_FLOAT] = inf.get() == st.inf_value.get() && nan.get() == st.nan_value.get();
        }
    }
};

namespace {

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
    Ref value = super_call(cx.st, cx.self, cx.st.names[N_construct_object], args, 2);
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
        if (!clear_if(PyExc_ValueError)) throw Error();
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
    for (Py_ssize_t i = 0; i < n; ++i)
        low[i] = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
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
    tag = attr(node, st.names[N_tag]);
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
        if (cx.deep_construct || truth(deep)) return python_construct(cx, node, deep);
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
        Ref text = attr(node, st.names[N_value]);
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
    Ref mark = attr(node, st.names[N_start_mark]), key_mark = attr(key_node, st.names[N_start_mark]);
    Ref context = own(PyUnicode_FromString("while constructing a mapping"));
    Ref problem = own(PyUnicode_FromString("found unhashable key"));
    Ref error = own(PyObject_CallFunctionObjArgs(st.ConstructorError.get(), context.get(), mark.get(), problem.get(),
                                                 key_mark.get(), nullptr));
    raise(error.get());
}

// The second half of construct_yaml_map / construct_yaml_seq.
// A filled container's child nodes are needed again only through the node
// itself, when it or a container above it is shared (an alias, which merge
// keys may copy pairs from). A container reached only through unshared ones,
// in nodes no caller holds, lets them go once filled, so that a large
// document's nodes shrink while its data grows.
void release_children(Ctx& cx, FillObject* f) {
    if (cx.private_nodes && f->release) set_attr(f->node, cx.st.names[N_value], own(PyList_New(0)).get());
}

void run_fill(Ctx& cx, FillObject* f) {
    State& st = cx.st;
    Ref node = Ref::borrow(f->node), data = Ref::borrow(f->data);
    if (f->kind == K_SEQ) {
        // construct_sequence, then extend: appending as the items come is the same.
        Ref items = attr(node.get(), st.names[N_value]);
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
    Ref pairs = attr(node.get(), st.names[N_value]);
    bool flatten = !PyList_CheckExact(pairs.get());
    for (Py_ssize_t i = 0; !flatten && i < PyList_GET_SIZE(pairs.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(pairs.get(), i));  // reading a tag may change the list
        if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            flatten = true;
            break;
        }
        Ref key_tag = attr(PyTuple_GET_ITEM(pair.get(), 0), st.names[N_tag]);
        for (PyObject* t : {st.merge_tag.get(), st.value_tag.get()}) {
            int eq = key_tag.get() == t ? 1 : PyObject_RichCompareBool(key_tag.get(), t, Py_EQ);
            if (eq < 0) throw Error();
            flatten = flatten || eq;
        }
    }
    if (flatten) {
        call_method(st.names[N_flatten_mapping], {cx.self, node.get()});
        cx.refresh();
        pairs = attr(node.get(), st.names[N_value]);
    }
    // construct_mapping, then update: storing as the pairs come is the same.
    // A pair is shared when merge keys copied it into another mapping.
    bool own_list = PyList_CheckExact(pairs.get()) && Py_REFCNT(pairs.get()) == 2;
    for_each(pairs.get(), [&](PyObject* pair) {
        bool own_pair = own_list && PyTuple_CheckExact(pair) && Py_REFCNT(pair) == 2;
        auto [key_node, value_node] = unpack<2>(pair);
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
        loc = optional_attr(node, st.names[N__location]);
        if (!loc) {
            loc = new_location(st);
            set_attr(node, st.names[N__location], loc.get());
        }
        Ref mark = attr(node, st.names[N_start_mark]);
        set_location(st, loc.get(), cx.file.get(), attr(mark.get(), st.names[N_line]).get(),
                     attr(mark.get(), st.names[N_column]).get());
        scalar = is_instance(module, st.names[N_ScalarNode], st.ScalarNode.get(), node);
        if (!scalar && is_instance(module, st.names[N_MappingNode], st.MappingNode.get(), node)) {
            Ref parent = optional_attr(node, st.names[N__parent]);
            Ref pairs = attr(node, st.names[N_value]);
            bool check_empty = false;
            if (Py_TYPE(mark.get()) == reinterpret_cast<PyTypeObject*>(st.cmark_type.get())) {
                Ref flow = attr(node, st.names[N_flow_style]);
                if (truth(flow)) {
                    // Only within construct_document, which composes again.
                    Ref src = optional_attr(cx.self, st.names[N__node_source]);
                    check_empty = src && truth(attr(src.get(), st.names[N__constructing]));
                }
            }
            Ref it = own(PyObject_GetIter(pairs.get()));
            while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
                Ref key_node = own(PySequence_GetItem(pair.get(), 0));
                Ref value_node = own(PySequence_GetItem(pair.get(), 1));
                if (check_empty && (empty_plain_scalar(st, module, key_node.get()) ||
                                    empty_plain_scalar(st, module, value_node.get())))
                    raise(st.recompose_error.get(), "document composed again by the pure-Python parser");
                Ref key_loc = optional_attr(key_node.get(), st.names[N__location]);
                if (!key_loc) {
                    key_loc = new_location(st);
                    set_attr(key_node.get(), st.names[N__location], key_loc.get());
                }
                // A mapping reached without a container (inside !!omap, or a
                // merge source built later) records nothing for its keys.
                if (parent) set_attr(key_node.get(), st.names[N__parent], parent.get());
                set_attr(value_node.get(), st.names[N__parent], key_loc.get());
            }
            if (PyErr_Occurred()) throw Error();
        } else if (!scalar && is_instance(module, st.names[N_SequenceNode], st.SequenceNode.get(), node)) {
            Ref parent = optional_attr(node, st.names[N__parent]);
            Ref items = attr(node, st.names[N_value]);
            Ref it = own(PyObject_GetIter(items.get()));
            Py_ssize_t i = 0;
            while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
                Ref item_mark = attr(item.get(), st.names[N_start_mark]);
                Ref item_loc = make_location(st, cx.file.get(), attr(item_mark.get(), st.names[N_line]).get(),
                                             attr(item_mark.get(), st.names[N_column]).get());
                if (parent) cx.record(parent.get(), own(PyLong_FromSsize_t(i)).get(), item_loc.get());
                set_attr(item.get(), st.names[N__parent], item_loc.get());
                ++i;
            }
            if (PyErr_Occurred()) throw Error();
        }
    }
    Ref value = construct_value(cx, node, deep, unshared, releasable);
    if (scalar) {
        Ref parent = optional_attr(node, st.names[N__parent]);
        if (parent) {
            // Values that cannot be keys (from custom constructors) have no place.
            if (PyObject_Hash(value.get()) == -1) {
                if (!clear_if(PyExc_TypeError)) throw Error();
            } else {
                cx.record(parent.get(), value.get(), loc.get());
            }
        }
    }
    return value;
}

Ref loader_construct_object(const Call& c, PyObject* self, PyObject* node, PyObject* deep) {
    State& st = c.state<State>();
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
        return super_call(st, self, st.names[N_construct_document], args, 1);
    }
    // The root, when only the caller of get_single_data / get_data holds it.
    Ref data = construct(cx, node, Py_False, false, private_nodes && Py_REFCNT(node) == 1);
    for (;;) {
        Ref generators = attr(self, st.names[N_state_generators]);
        if (!truth(generators)) break;
        cx.generators = own(PyList_New(0));
        set_attr(self, st.names[N_state_generators], cx.generators.get());
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
    set_attr(self, st.names[N_constructed_objects], new_dict().get());
    set_attr(self, st.names[N_recursive_objects], new_dict().get());
    set_attr(self, st.names[N_deep_construct], Py_False);
    return data;
}

Ref construct_document_impl(PyObject* module, State& st, PyObject* self, PyObject* node, bool private_nodes) {
    Ref locations = attr(self, st.names[N__locations]);
    if (locations.get() != Py_None) set_attr(node, st.names[N__parent], locations.get());
    Ref data, error;  // the document, or the error its construction raised
    try {
        // An empty document: libyaml marks its null at the next token.
        if (locations.get() != Py_None && from_libyaml(st, node) && empty_plain_scalar(st, module, node))
            raise(st.recompose_error.get(), "document composed again by the pure-Python parser");
        Ref src = optional_attr(self, st.names[N__node_source]);
        if (src) set_attr(src.get(), st.names[N__constructing], Py_True);
        try {
            data = construct_document_native(st, module, self, node, private_nodes);
        } catch (const Error&) {
            error = take_error();
        }
        if (src && PyObject_SetAttr(src.get(), st.names[N__constructing], Py_False) < 0)
            PyErr_WriteUnraisable(src.get());
        if (error) reraise(std::move(error));
    } catch (const Error&) {
        error = take_error();
    }
    if (data) return data;
    if (!PyErr_GivenExceptionMatches(error.get(), st.yaml_error.get()) &&
        !PyErr_GivenExceptionMatches(error.get(), st.recompose_error.get()))
        reraise(std::move(error));
    // The error stands unless the document is composed again.
    Ref src;
    try {
        if (from_libyaml(st, node)) src = optional_attr(self, st.names[N__node_source]);
    } catch (const Error&) {
        reraise(std::move(error));
    }
    if (!src) reraise(std::move(error));
    // Compose this document again on the pure-Python path and construct it
    // once more, so that its error marks and locations are SafeLoader's.
    bool single = truth(attr(src.get(), st.names[N__single]));
    Py_ssize_t before = documents_of(st, src.get()) - 1;
    drop_node_source(st, self, src.get());
    set_attr(self, st.names[N_constructed_objects], new_dict().get());
    set_attr(self, st.names[N_recursive_objects], new_dict().get());
    set_attr(self, st.names[N_state_generators], own(PyList_New(0)).get());
    set_attr(self, st.names[N_deep_construct], Py_False);
    Ref again;
    if (single) {
        again = call0(self, st.names[N_get_single_node]);
    } else {
        skip_documents(st, self, before);
        call0(self, st.names[N_check_node]);
        again = call0(self, st.names[N_get_node]);
    }
    if (again.get() == Py_None) raise(PyExc_RuntimeError, "document vanished on the pure-Python parser");
    return construct_document_impl(module, st, self, again.get(), private_nodes);
}

Ref loader_construct_document(const Call& c, PyObject* self, PyObject* node) {
    return construct_document_impl(c.module(), c.state<State>(), self, node, false);
}

// BaseConstructor.get_single_data / get_data: the node goes to the class's
// construct_document; to ours with the nodes marked as the loader's own.
Ref construct_own_node(State& st, PyObject* module, PyObject* self, PyObject* node) {
    Ref mine = attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st.names[N_construct_document]);
    Ref inst = optional_attr(self, st.names[N___dict__]);
    bool shadowed =
        inst && PyDict_Check(inst.get()) && PyDict_GetItemWithError(inst.get(), st.names[N_construct_document]);
    if (PyErr_Occurred()) throw Error();
    if (mine.get() != st.construct_document_fn.get() || shadowed)
        return call_method(st.names[N_construct_document], {self, node});
    return construct_document_impl(module, st, self, node, true);
}

Ref loader_get_single_data(const Call& c, PyObject* self) {
    State& st = c.state<State>();
#ifdef OVK_HAVE_LIBYAML
    Ref fast;
    if (ev_single(st, c.module(), self, fast)) return fast;
#endif
    Ref node = call0(self, st.names[N_get_single_node]);
    if (node.get() == Py_None) return node;
    return construct_own_node(st, c.module(), self, node.get());
}

Ref loader_check_data(const Call& c, PyObject* self) {
    State& st = c.state<State>();
#ifdef OVK_HAVE_LIBYAML
    bool more = false;
    if (ev_check_data(st, c.module(), self, more)) return Ref::borrow(more ? Py_True : Py_False);
#endif
    return call0(self, st.names[N_check_node]);
}

Ref loader_get_data(const Call& c, PyObject* self) {
    State& st = c.state<State>();
#ifdef OVK_HAVE_LIBYAML
    Ref fast;
    if (ev_get_data(st, c.module(), self, fast)) return fast;
#endif
    if (!truth(call0(self, st.names[N_check_node]))) return Ref::borrow(Py_None);
    Ref node = call0(self, st.names[N_get_node]);
    return construct_own_node(st, c.module(), self, node.get());
}

}  // namespace

// Done with libyaml for this stream: the cycle loader -> src.resolve is broken,
// the source stays for a possible second construction of the last document.
void finish_node_source(State& st, PyObject* loader, PyObject* src) {
    drop_node_source_methods(st, loader);
    drop_resolver(st, src);
}

Py_ssize_t documents_of(State& st, PyObject* src) {
    Ref n = attr(src, st.names[N__documents]);
    Py_ssize_t v = PyLong_AsSsize_t(n.get());
    if (v == -1 && PyErr_Occurred()) throw Error();
    return v;
}

void set_documents(State& st, PyObject* src, Py_ssize_t n) {
    set_attr(src, st.names[N__documents], own(PyLong_FromSsize_t(n)).get());
}

// Whether the loader's construction is SafeLoader's own for every standard
// kind of node (see Ctx::judge).
bool constructs_natively(State& st, PyObject* module, PyObject* loader) {
    Ctx cx(st, module, loader);
    if (!cx.native) return false;
    for (bool ok : cx.kind_ok)
        if (!ok) return false;
    return true;
}

const FuncDef source_defs[SRC_COUNT] = {
    {"get_single_node", "()", "The stream's single document node, composed by libyaml.", source_get_single_node},
    {"check_node", "()", "Whether the stream holds another document (libyaml).", source_check_node},
    {"get_node", "()", "The next document node, composed by libyaml.", source_get_node},
};

PyType_Spec fill_spec = {
    "ovark.utils.locations._Fill",
    sizeof(FillObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fill_slots,
};

const FuncDef loader_init_def{
    "__init__",
    "(self, stream, *, locations=None, file_name=None)",
    "Load from stream; fill locations, when given, with the Location tree of the data.\n\n"
    "file_name is the file recorded in every Location (default: the stream's name, else '').",
    params<loader_init>,
};
const FuncDef loader_construct_document_def{
    "construct_document",
    "(self, node)",
    "Construct a document, its root entries recorded in the loader's locations.",
    params<loader_construct_document>,
};
const FuncDef loader_get_single_data_def{
    "get_single_data",
    "(self)",
    "Ensure that the stream contains a single document and construct it.",
    params<loader_get_single_data>,
};
const FuncDef loader_check_data_def{
    "check_data",
    "(self)",
    "Whether the stream holds another document.",
    params<loader_check_data>,
};
const FuncDef loader_get_data_def{
    "get_data",
    "(self)",
    "Construct and return the next document.",
    params<loader_get_data>,
};
const FuncDef loader_construct_object_def{
    "construct_object",
    "(self, node, deep=False)",
    "Construct a node as SafeLoader does, recording its Location.",
    params<loader_construct_object>,
};

}  // namespace locations
