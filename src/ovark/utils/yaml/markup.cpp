// ovark.utils.yaml.markup - resolve the markup in the string values of a tree.
//
// A `Processor` walks a loaded YAML tree, rebuilds every container and replaces
// each markup (`%{a.b}`, `%CALLABLE{m.f(x)}`, `%ENV{NAME}`, `%INCLUDE{path}`,
// `%ASK{comment}`, `%ENC{text}`) by its value. `locate(locations, path)` finds
// the entry of a location tree for a value, through the trees of included
// files; the MarkupError locations and the `ovark` command's places use it.
//
// Layout of this file, top to bottom:
//   State and call context     interned names (MARKUP_NAMES), the markup kinds
//                              (`kinds`: matcher, handler, pattern), module
//                              state; `Ctx`, what one entry from the
//                              interpreter reads once (globals, overrides)
//   Small helpers              leaf test, index lists, texts, errors
//   Lookups                    chainget (in C++ while it is the one imported)
//   Where a value was loaded   the location entry at a path, looking into
//   from                       included files' trees (location_child,
//                              location_entry; public as `locate`); the
//                              Location a MarkupError carries (value_location)
//   Matchers and handlers      base_search, match_impl, the native searches of
//                              %{...} and %ENV{...}; one p_* function per kind
//   The walk                   Index; _recurse, _process_mutable_mapping,
//                              _process_iterable; one string (`StrWalk`): find
//                              the action, split %ENC, apply the handler,
//                              after the substitution
//   Interpreter-level functions  the methods of Processor, `locate`,
//                              `ask_for_input`, their FuncDefs
//   Module body                exec
//
// Calls of the interpreter-level methods: while a processor's walk methods
// (`_recurse`, `_process_*`) are the ones made here, the walk stays in C++;
// when a subclass or a patch replaces one of them, every step goes through the
// instance, as interpreter code would. The pairs of `_actions` are called as
// they stand, in C++ directly when they are our own methods bound to this
// processor. Module globals are read from the module: those that every value
// meets (BASE_PATTERN, the six patterns, MutableMapping, Iterable) once per
// call, the others (`os`, `utils`, `import_utils`, `SecretString`,
// `ask_for_input`, `MarkupError`, ...) each time they are used. While they
// hold what was bound at load, patterns are searched, os.environ read and
// chainget followed in C++, with the same results.
//
// Beyond the plain rules: the substitutions in one string are bounded, in
// rounds and in the length of the text they make (16 MiB), so that markup
// that keeps reproducing or doubling itself ends in MarkupError; a value a
// message quotes is cut to 1,000 characters and "..."; the plaintext of an
// %ENC markup is not read for markup again; a string that `original` holds
// no place for because it lies in markup text there (an included document, a
// structure a callable returned) is neither a reference to itself nor
// written back, while one whose place cannot be looked up (a set member)
// fails with the KeyError of that lookup; a file that includes itself,
// directly or through others, fails as a recursive markup; a tree too deep
// to walk raises RecursionError unwrapped; every MarkupError carries
// `location`, the Location record of its value when the call was given a
// location tree (else None).
#include "ovk/ovk.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace ovk;

namespace {

// ---------------------------------------------------------------------------
// State and call context
// ---------------------------------------------------------------------------

// clang-format off
#define MARKUP_NAMES(X)                                                                                         \
    X(match_reference_markup) X(match_callable_markup) X(match_env_markup) X(match_include_file_markup)          \
    X(match_ask_markup) X(match_enc_markup) X(p_reference_markup) X(p_callable_markup) X(p_environ_markup)      \
    X(p_file_markup) X(p_ask_markup) X(p_enc_markup) X(REFERENCE_PATTERN) X(CALLABLE_PATTERN) X(ENV_PATTERN)    \
    X(INCLUDE_FILE_PATTERN) X(ASK_PATTERN) X(ENC_PATTERN) X(_recurse) X(_process_mutable_mapping)               \
    X(_process_iterable) X(_process_str) X(BASE_PATTERN) X(MutableMapping) X(Iterable) X(MarkupError) X(utils)  \
    X(chainget) X(import_utils) X(import_from_name) X(os) X(environ) X(get) X(yaml) X(safe_load) X(open)        \
    X(close) X(load) X(wrap_split) X(SecretString) X(plaintext) X(secret_string) X(prefix) X(ask_for_input)     \
    X(prompt_text) X(print) X(input) X(end) X(search) X(group) X(groups) X(span) X(replace) X(split) X(format)  \
    X(original) X(_actions) X(_inhibit_recurse_exception) X(_yaml_loader_cls) X(markupprocessor) X(locations)  \
    X(location) X(line) X(column) X(file) X(items) X(_data) X(encodekey) X(decodevalue) X(__getitem__)
OVK_NAMES(MARKUP_NAMES)
// clang-format on

enum Kind { REFERENCE, CALLABLE, ENV, INCLUDE, ASK, ENC, KINDS };

struct KindInfo {
    Name matcher, handler, pattern_name;
    const char* pattern;
    const char* literal;  // text every match starts with
};

const KindInfo kinds[KINDS] = {
    {N_match_reference_markup, N_p_reference_markup, N_REFERENCE_PATTERN, "(%{ *(.+?) *})", "%{"},
    {N_match_callable_markup, N_p_callable_markup, N_CALLABLE_PATTERN, "(%CALLABLE{ *(.+?)(\\((.*)\\))* *})",
     "%CALLABLE{"},
    {N_match_env_markup, N_p_environ_markup, N_ENV_PATTERN, "(%ENV{ *([0-9a-zA-Z\\_]+) *})", "%ENV{"},
    {N_match_include_file_markup, N_p_file_markup, N_INCLUDE_FILE_PATTERN, "(%INCLUDE{ *(.+?) *})", "%INCLUDE{"},
    {N_match_ask_markup, N_p_ask_markup, N_ASK_PATTERN, "(%ASK{ *(.*?) *})", "%ASK{"},
    {N_match_enc_markup, N_p_enc_markup, N_ENC_PATTERN, "(%ENC{ *(.*?) *(, *prefix *= *([0-9a-zA-Z\\_]+))? *})",
     "%ENC{"},
};

// The walk methods of a processor.
enum Walk { RECURSE, MAPPING, ITERABLE, STR, WALKS };
const Name walk_names[WALKS] = {N__recurse, N__process_mutable_mapping, N__process_iterable, N__process_str};

// The rounds of substitution one string may take: every markup of the text
// as loaded (each at least four characters long) plus this many more for
// markup that substituted values bring in. Only a markup that keeps
// reproducing itself gets near it.
constexpr Py_ssize_t EXTRA_ROUNDS = 10000;

// The longest text a substitution may make (16 MiB of characters): markup
// whose values feed each other can double a text every round, and would
// otherwise take all memory long before the rounds run out.
constexpr Py_ssize_t MAX_TEXT = Py_ssize_t(16) << 20;

// A value quoted in a message shows at most this many characters, then "...".
constexpr Py_ssize_t MAX_QUOTED = 1000;

// One %INCLUDE{...} whose document a processor is walking: the path as
// written in the markup, and the string that held it with its index (to say
// where a loop of includes starts). The processor is named, not owned: an
// entry lives only while that processor's walk of the document runs.
struct Including {
    PyObject* processor;
    Ref path, index, data;
    unsigned long serial;
};

// std::tie of every Ref of an array.
template <size_t N, size_t... I>
auto tie_array(Ref (&a)[N], std::index_sequence<I...>) {
    return std::tie(a[I]...);
}
template <size_t N>
auto tie_array(Ref (&a)[N]) {
    return tie_array(a, std::make_index_sequence<N>{});
}

struct State {
    // The includes being walked, outermost first (all processors).
    std::vector<Including> including;
    unsigned long include_serial = 0;
    // Objects bound at load, to tell whether a global still holds them.
    KnownClass MutableMapping, Iterable;
    Ref UserString, Mapping, base_pattern, patterns[KINDS], utils, chainget;
    // Our own function objects.
    Ref f_walk[WALKS], f_match[KINDS], f_handle[KINDS];
    Ref processor_class, pair_template;
    Ref literals[KINDS];
    // os.environ as bound at load, and what its reads go through.
    Ref os, environ, environ_type, environ_get, environ_getitem, encodekey, decodevalue, fs_encoding;
    Names names;
    Ref empty, dot, newline, comma, include_mark, two, four, zero, kw_locations, kw_prompt_text, kw_end;
    auto refs() {
        return std::tuple_cat(
            std::tie(MutableMapping.cls, Iterable.cls, UserString, Mapping, base_pattern, utils, chainget,
                     processor_class, pair_template),
            tie_array(patterns), tie_array(f_walk), tie_array(f_match), tie_array(f_handle), tie_array(literals),
            std::tie(os, environ, environ_type, environ_get, environ_getitem, encodekey, decodevalue, fs_encoding),
            std::tie(empty, dot, newline, comma, include_mark, two, four, zero, kw_locations, kw_prompt_text, kw_end));
    }
};

// What one entry from the interpreter reads once: the globals the walk uses
// on every value, and whether the processor's walk methods are ours.
struct Ctx {
    State& st;
    PyObject* module;
    PyObject* self;
    InstanceTest is_mutable_mapping, is_iterable;  // isinstance against the module's MutableMapping, Iterable
    Global base_pattern;                           // BASE_PATTERN
    bool pattern_ours[KINDS] = {};  // REFERENCE_PATTERN, ... still hold the patterns made at load
    bool direct = false;  // _recurse and _process_* are the ones made here
    mutable int environ_plain = -1;  // os.environ reads as bound at load (-1: not asked yet)
    mutable int ref_matcher = -1;    // self.match_reference_markup is ours (-1: not asked yet)

    Ctx(State& s, PyObject* m, PyObject* self_)
        : st(s),
          module(m),
          self(self_),
          is_mutable_mapping(m, s.names[N_MutableMapping], s.MutableMapping),
          is_iterable(m, s.names[N_Iterable], s.Iterable),
          base_pattern(m, s.names[N_BASE_PATTERN], s.base_pattern.get()) {
        for (int k = 0; k < KINDS; ++k)
            pattern_ours[k] = Global(m, st.names[kinds[k].pattern_name], st.patterns[k].get()).ours;
        direct = true;
        for (int w = 0; w < WALKS && direct; ++w) direct = is_own_method(st.names[walk_names[w]], st.f_walk[w].get());
    }

    // getattr(self, name) is our function `fn` bound to this processor: the
    // class gives `fn` and the instance does not shadow it.
    bool is_own_method(PyObject* name, PyObject* fn) const {
        if (compat::type_lookup(Py_TYPE(self), name) != fn) return false;
        PyObject** dictptr = compat::object_dict_ptr(self);
        if (!dictptr || !*dictptr) {
            Ref bound = attr(self, name);
            return is_bound(bound.get(), fn);
        }
        Ref dict = Ref::borrow(*dictptr);  // a key's __eq__ may replace the instance dict
        int has = PyDict_Contains(dict.get(), name);
        if (has < 0) throw Error();
        return !has;
    }
    bool is_bound(PyObject* m, PyObject* fn) const {
        return PyMethod_Check(m) && PyMethod_GET_FUNCTION(m) == fn && PyMethod_GET_SELF(m) == self;
    }
};

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// bytes, bytearray and UserString values (a SecretString among them) are
// values of their own, not sequences to rebuild as lists.
bool is_leaf(const State& st, PyObject* v) {
    if (PyBytes_Check(v) || PyByteArray_Check(v)) return true;
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || v == Py_None || PyList_CheckExact(v) ||
        PyDict_CheckExact(v) || PyTuple_CheckExact(v))
        return false;
    return check(PyObject_IsInstance(v, st.UserString.get()));
}

// An index as the interpreter passes it: a list, or whatever a caller gave.
Ref as_list(PyObject* index) {
    if (PyList_Check(index)) return Ref::borrow(index);
    return own(PySequence_List(index));
}

// The elements of `index` joined with ".", each shown as its str().
Ref dotted(const State& st, PyObject* index) {
    Ref items = own(PySequence_List(index));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref v = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        if (!PyUnicode_Check(v.get())) {
            Ref text = own(PyObject_Str(v.get()));
            check(PyList_SetItem(items.get(), i, text.release()));
        }
    }
    return own(PyUnicode_Join(st.dot.get(), items.get()));
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref out = own(PyUnicode_FromString(""));
    for (PyObject* p : parts) out = own(PyUnicode_Concat(out.get(), p));
    return out;
}

Ref text(const char* s) { return own(PyUnicode_FromString(s)); }

Ref str_of(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    return own(PyObject_Str(o));
}

// A text as a message quotes it: its first MAX_QUOTED characters and "..."
// when it is longer.
Ref quoted(Ref shown) {
    if (!PyUnicode_Check(shown.get()) || PyUnicode_GET_LENGTH(shown.get()) <= MAX_QUOTED) return shown;
    Ref head = own(PyUnicode_Substring(shown.get(), 0, MAX_QUOTED));
    Ref dots = text("...");
    return own(PyUnicode_Concat(head.get(), dots.get()));
}

// data.replace(old, new)
Ref replace(const State& st, PyObject* data, PyObject* old, PyObject* repl) {
    if (PyUnicode_CheckExact(data) && PyUnicode_Check(old) && PyUnicode_Check(repl))
        return own(PyUnicode_Replace(data, old, repl, -1));
    return call_method(st.names[N_replace], {data, old, repl});
}

Ref markup_error(const Ctx& c, PyObject* message) {
    Ref cls = lookup(c.module, c.st.names[N_MarkupError]);
    return own(PyObject_CallOneArg(cls.get(), message));
}

// ---------------------------------------------------------------------------
// Lookups
// ---------------------------------------------------------------------------

// A text step that indexes a sequence: ASCII digits only (others go to the
// interpreter-level chainget, whose int() they may fail).
bool digit_step(PyObject* step, Py_ssize_t& out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(step);
    if (n == 0 || n > 18) return false;
    Py_ssize_t v = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(step, i);
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
    }
    out = v;
    return true;
}

// The stand-in's chainget over exact dicts, lists and tuples; empty when a
// step needs anything else (a miss included), so that the interpreter-level
// function gives the answer and its exact error.
Ref chainget_fast(PyObject* tree, PyObject* path, PyObject* dot) {
    Ref steps;
    if (PyUnicode_CheckExact(path)) {
        if (PyUnicode_GET_LENGTH(path) == 0) return Ref::borrow(tree);
        steps = own(PyUnicode_Split(path, dot, -1));
    } else if (PyList_CheckExact(path)) {
        steps = Ref::borrow(path);
    } else {
        return Ref();
    }
    Ref node = Ref::borrow(tree);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps.get()); ++i) {
        // the lookup may run a key's __eq__, which may change the index list
        Ref held = Ref::borrow(PyList_GET_ITEM(steps.get(), i));
        PyObject* step = held.get();
        PyObject* n = node.get();
        if (PyDict_CheckExact(n)) {
            if (!PyUnicode_CheckExact(step) && !PyLong_CheckExact(step)) return Ref();
            PyObject* v = PyDict_GetItemWithError(n, step);
            if (!v) {
                if (PyErr_Occurred()) throw Error();
                return Ref();
            }
            node = Ref::borrow(v);
        } else if (PyList_CheckExact(n) || PyTuple_CheckExact(n)) {
            Py_ssize_t at;
            if (PyUnicode_CheckExact(step)) {
                if (!digit_step(step, at)) return Ref();
            } else if (PyLong_CheckExact(step)) {
                at = PyLong_AsSsize_t(step);
                if (at == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                    return Ref();
                }
                if (at < 0) at += PySequence_Fast_GET_SIZE(n);
            } else {
                return Ref();
            }
            if (at < 0 || at >= PySequence_Fast_GET_SIZE(n)) return Ref();
            node = Ref::borrow(PySequence_Fast_GET_ITEM(n, at));
        } else {
            return Ref();
        }
    }
    return node;
}

// utils.chainget(tree, path), with the module global read when used.
// `steps`, when given, is path.split(".") of a dotted path already made.
Ref chainget(const Ctx& c, PyObject* tree, PyObject* path, PyObject* steps = nullptr) {
    Ref utils = lookup(c.module, c.st.names[N_utils]);
    Ref fn = attr(utils.get(), c.st.names[N_chainget]);
    if (fn.get() == c.st.chainget.get())
        if (Ref v = chainget_fast(tree, steps ? steps : path, c.st.dot.get())) return v;
    PyObject* args[] = {tree, path};
    return own(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
}

// ---------------------------------------------------------------------------
// Where a value was loaded from
// ---------------------------------------------------------------------------

// isinstance(o, collections.abc.Mapping)
bool is_mapping(const State& st, PyObject* o) {
    return PyDict_Check(o) || check(PyObject_IsInstance(o, st.Mapping.get()));
}

// A location record: an object with a `file`, a `line` and a `column`.
bool is_location(const State& st, PyObject* o) {
    for (Name n : {N_file, N_line, N_column})
        if (!optional_attr(o, st.names[n])) return false;
    return true;
}

// The entry under `key` of the location node `node`; where the node holds no
// such key, the first found in the trees of the files included there (each
// hangs, a mapping that is not itself a record, under the text of its
// "%INCLUDE{...}" markup). Empty when there is none, the entry is None or the
// key is unhashable.
Ref location_child(const State& st, PyObject* node, PyObject* key) {
    RecursionGuard guard(" while looking up a location");
    if (!is_mapping(st, node)) return {};
    Ref keep = Ref::borrow(node), keep_key = Ref::borrow(key);  // a key's __eq__ may drop them
    int in = PySequence_Contains(node, key);
    Ref found = in > 0 ? Ref::steal(PyObject_GetItem(node, key)) : Ref();
    if (in < 0 || (in > 0 && !found)) {
        if (!clear_if(PyExc_TypeError)) throw Error();
        return {};
    }
    if (in > 0) return found.get() == Py_None ? Ref() : found;
    Ref items = own(PyMapping_Items(node));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        auto [name, entry] = unpack<2>(pair.get());
        if (!PyUnicode_Check(name.get()) || !check(PySequence_Contains(name.get(), st.include_mark.get())) ||
            !is_mapping(st, entry.get()) || is_location(st, entry.get()))
            continue;
        if (Ref f = location_child(st, entry.get(), key)) return f;
    }
    return {};
}

// The entry of the location tree `locations` for the value at `path` (keys
// and positions), looking into included files' trees; empty when there is
// none.
Ref location_entry(const State& st, PyObject* locations, PyObject* path) {
    Ref steps = own(PySequence_List(path));
    Ref node = Ref::borrow(locations);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps.get()) && node; ++i) {
        Ref step = Ref::borrow(PyList_GET_ITEM(steps.get(), i));
        node = location_child(st, node.get(), step.get());
    }
    return node;
}

// Where the string `data` at `index` was loaded from: its own Location
// record, else the record of the entry that holds it; None when the location
// tree does not say. Never raises: it serves error reports. Every node, step
// and record is held while it is looked into: keys' __eq__ and records'
// attributes run interpreter code, which may change or drop any part of the
// tree.
Ref value_location(const State& st, PyObject* locations, PyObject* index, PyObject* data) {
    if (!locations || locations == Py_None || !PyList_Check(index)) return Ref::borrow(Py_None);
    ErrorStash stash;
    Ref result = Ref::borrow(Py_None);
    try {
        Ref node = location_entry(st, locations, index);
        if (node && data && PyDict_Check(node.get())) {
            Ref own_record;
            try {
                own_record = dict_get(node.get(), data);
            } catch (const Error&) {
                PyErr_Clear();  // an unhashable value has no record of its own
            }
            if (own_record && is_location(st, own_record.get())) result = std::move(own_record);
        }
        if (node && result.get() == Py_None && is_location(st, node.get())) result = std::move(node);
    } catch (const Error&) {
        result = Ref::borrow(Py_None);
    }
    PyErr_Clear();
    return result;
}

// A MarkupError for the value `data` at `index`, with the Location it was
// loaded from (or None) as its `location`.
Ref markup_error_at(const Ctx& c, PyObject* message, PyObject* index, PyObject* data, PyObject* locations) {
    Ref error = markup_error(c, message);
    Ref where = value_location(c.st, locations, index, data);
    set_attr(error.get(), c.st.names[N_location], where.get());
    return error;
}

// ---------------------------------------------------------------------------
// Matchers and handlers
// ---------------------------------------------------------------------------

// `%\w*{.*}` found anywhere: a '%', word characters, a '{', then a '}' before
// the end of the line.
bool base_found(PyObject* s) {
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (kind == PyUnicode_1BYTE_KIND) {
            auto* bytes = static_cast<const Py_UCS1*>(data);
            auto* hit = static_cast<const Py_UCS1*>(std::memchr(bytes + i, '%', (size_t)(n - i)));
            if (!hit) return false;
            i = hit - bytes;
        } else if (PyUnicode_READ(kind, data, i) != '%') {
            continue;
        }
        Py_ssize_t j = i + 1;
        while (j < n) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, j);
            if (ch != '_' && !Py_UNICODE_ISALNUM(ch)) break;
            ++j;
        }
        if (j >= n || PyUnicode_READ(kind, data, j) != '{') continue;
        Py_ssize_t k = j + 1;
        for (; k < n; ++k) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, k);
            if (ch == '}') return true;
            if (ch == '\n') break;
        }
        i = k;  // no '{' before k can find a '}' either
    }
    return false;
}

bool base_search(const Ctx& c, PyObject* data) {
    if (c.base_pattern.ours && PyUnicode_Check(data)) return base_found(data);
    Ref m = call_method(c.st.names[N_search], {c.base_pattern.value.get(), data});
    return truth(m.get());
}

// KIND_PATTERN.search(data); a text without the markup's opening needs no
// search (every match starts with it).
Ref match_impl(const Ctx& c, int kind, PyObject* data) {
    Global pattern(c.module, c.st.names[kinds[kind].pattern_name], c.st.patterns[kind].get());
    if (pattern.ours && PyUnicode_Check(data)) {
        Py_ssize_t at = PyUnicode_Find(data, c.st.literals[kind].get(), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) throw Error();
        if (at == -1) return Ref::borrow(Py_None);
    }
    return call_method(c.st.names[N_search], {pattern.value.get(), data});
}

Ref group(const State& st, PyObject* match, PyObject* n) { return call_method(st.names[N_group], {match, n}); }

// data[start:end] of the whole match.
Ref matched_text(const State& st, PyObject* match, PyObject* data) {
    Ref span = call_method(st.names[N_span], {match, st.zero.get()});
    auto [a, b] = unpack<2>(span.get());
    Py_ssize_t start = PyLong_AsSsize_t(a.get()), end = PyLong_AsSsize_t(b.get());
    if ((start == -1 || end == -1) && PyErr_Occurred()) throw Error();
    if (PyUnicode_CheckExact(data)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(data);
        return own(PyUnicode_Substring(data, std::min(std::max(start, (Py_ssize_t)0), n),
                                       std::min(std::max(end, (Py_ssize_t)0), n)));
    }
    return own(PySequence_GetSlice(data, start, end));
}

// One match as the handlers read it: a match object, or the texts of a
// match found here (for the reference and environment patterns, whose
// matches are found in C++ exactly as `re` finds them).
struct Match {
    Ref obj;            // the match object, when there is one
    Ref whole, second;  // groups 0 and 2 of a match found here
    bool native() const { return !obj; }
};

Ref group2(const State& st, const Match& m) { return m.native() ? m.second : group(st, m.obj.get(), st.two.get()); }
Ref group0(const State& st, const Match& m) { return m.native() ? m.whole : group(st, m.obj.get(), st.zero.get()); }
Ref markup_text(const State& st, const Match& m, PyObject* data) {
    return m.native() ? m.whole : matched_text(st, m.obj.get(), data);
}

inline Py_UCS4 at(int kind, const void* d, Py_ssize_t i) { return PyUnicode_READ(kind, d, i); }

// ENV_PATTERN "(%ENV{ *([0-9a-zA-Z\_]+) *})": neither run can give back a
// character to the other, so the first "%ENV{" that is followed by blanks,
// a name, blanks and "}" is the match.
bool env_search(PyObject* s, const State& st, Match& out) {
    int kind = PyUnicode_KIND(s);
    const void* d = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), from = 0;
    auto name_char = [](Py_UCS4 ch) {
        return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
    };
    for (;;) {
        Py_ssize_t start = PyUnicode_Find(s, st.literals[ENV].get(), from, n, 1);
        if (start == -2) throw Error();
        if (start < 0) return false;
        Py_ssize_t q = start + 5;
        while (q < n && at(kind, d, q) == ' ') ++q;
        Py_ssize_t r = q;
        while (r < n && name_char(at(kind, d, r))) ++r;
        Py_ssize_t t = r;
        while (t < n && at(kind, d, t) == ' ') ++t;
        if (r > q && t < n && at(kind, d, t) == '}') {
            out.whole = own(PyUnicode_Substring(s, start, t + 1));
            out.second = own(PyUnicode_Substring(s, q, r));
            return true;
        }
        from = start + 1;
    }
}

// REFERENCE_PATTERN "(%{ *(.+?) *})" at each "%{" in turn. With the blanks
// after "{" all taken (up to q), the lazy group ends where only blanks stand
// before the first "}" after its first character, on the same line. When no
// such "}" exists, giving back one blank lets the group be that blank if a
// "}" directly follows the blanks; giving back more never helps.
bool reference_search(PyObject* s, const State& st, Match& out) {
    int kind = PyUnicode_KIND(s);
    const void* d = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), from = 0;
    for (;;) {
        Py_ssize_t start = PyUnicode_Find(s, st.literals[REFERENCE].get(), from, n, 1);
        if (start == -2) throw Error();
        if (start < 0) return false;
        Py_ssize_t p = start + 2, q = p;
        while (q < n && at(kind, d, q) == ' ') ++q;
        if (q < n && at(kind, d, q) != '\n') {
            Py_ssize_t k = q + 1;
            while (k < n && at(kind, d, k) != '}' && at(kind, d, k) != '\n') ++k;
            if (k < n && at(kind, d, k) == '}') {
                Py_ssize_t e = k;
                while (e > q + 1 && at(kind, d, e - 1) == ' ') --e;
                out.whole = own(PyUnicode_Substring(s, start, k + 1));
                out.second = own(PyUnicode_Substring(s, q, e));
                return true;
            }
        }
        if (q > p && q < n && at(kind, d, q) == '}') {
            out.whole = own(PyUnicode_Substring(s, start, q + 1));
            out.second = own(PyUnicode_Substring(s, q - 1, q));
            return true;
        }
        from = start + 1;
    }
}

// "<head>: \nIndex:  a.b\nMarkup: <markup>\n"
Ref index_message(const State& st, const char* head, PyObject* index, PyObject* markup) {
    Ref h = text(head), i = text(": \nIndex:  "), m = text("\nMarkup: ");
    Ref where = dotted(st, index);
    Ref what = quoted(str_of(markup));
    return concat({h.get(), i.get(), where.get(), m.get(), what.get(), st.newline.get()});
}

// The error of a substitution that would make a text longer than MAX_TEXT.
[[noreturn]] void too_long(const Ctx& c, PyObject* data, PyObject* index, PyObject* locations) {
    Ref msg =
        index_message(c.st, "Markup substitutions do not end (text longer than 16777216 characters)", index, data);
    raise(markup_error_at(c, msg.get(), index, data, locations).get());
}

// data.replace(old, repl), refused with MarkupError when the text it would
// make is longer than MAX_TEXT: the length is known before it is built.
Ref substitute(const Ctx& c, PyObject* data, PyObject* old, PyObject* repl, PyObject* index, PyObject* locations) {
    if (PyUnicode_Check(data) && PyUnicode_Check(old) && PyUnicode_Check(repl)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(data);
        Py_ssize_t grow = PyUnicode_GET_LENGTH(repl) - PyUnicode_GET_LENGTH(old);
        Py_ssize_t count = grow == 0 ? 0 : PyUnicode_Count(data, old, 0, PY_SSIZE_T_MAX);
        if (count < 0) throw Error();
        bool over =
            grow > 0 ? count > (MAX_TEXT - std::min(n, MAX_TEXT)) / grow || n > MAX_TEXT : n + count * grow > MAX_TEXT;
        if (over) too_long(c, data, index, locations);
    }
    return replace(c.st, data, old, repl);
}

// An error is set: a KeyError becomes the lookup error message, raised from it.
[[noreturn]] void raise_lookup_error(const Ctx& c, const Match& match, PyObject* data, PyObject* index,
                                     PyObject* locations) {
    Ref cause = catch_error(PyExc_KeyError);
    Ref g0 = group0(c.st, match);
    Ref msg = index_message(c.st, "Caught error while processing markups", index, g0.get());
    raise_from(markup_error_at(c, msg.get(), index, data, locations).get(), cause.get());
}

// Runs `body`; a KeyError it raises becomes the lookup error message.
template <class F>
Ref guarded(const Ctx& c, const Match& match, PyObject* data, PyObject* index, PyObject* locations, F&& body) {
    try {
        return body();
    } catch (const Error&) {
        raise_lookup_error(c, match, data, index, locations);
    }
}

PyObject* original_of(const Ctx& c, Ref& keep) {
    keep = attr(c.self, c.st.names[N_original]);
    return keep.get();
}

// Whether the way along `index` from `tree` passes through a text: the
// value lies in what `original` still holds as markup text (a document an
// %INCLUDE{...} loaded, a structure a callable returned), and `original` has
// no place for it. A step into anything else that fails (a set, a missing
// key) is no such way.
bool below_text(PyObject* tree, PyObject* index) {
    Ref node = Ref::borrow(tree);
    Ref steps = own(PySequence_List(index));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps.get()); ++i) {
        if (PyUnicode_Check(node.get())) return true;
        Ref step = Ref::borrow(PyList_GET_ITEM(steps.get(), i));
        node = Ref::steal(PyObject_GetItem(node.get(), step.get()));
        if (!node) {
            PyErr_Clear();
            return false;
        }
    }
    return false;
}

Ref p_reference(const Ctx& c, const Match& match, PyObject* data, PyObject* index, PyObject* locations) {
    const State& st = c.st;
    Ref path = group2(st, match);
    Ref original;
    // path.split("."), made once: chainget splits a dotted path the same way
    Ref steps = PyUnicode_CheckExact(path.get()) && PyUnicode_GET_LENGTH(path.get()) > 0
                    ? own(PyUnicode_Split(path.get(), st.dot.get(), -1))
                    : Ref();
    Ref value = guarded(c, match, data, index, locations,
                        [&] { return chainget(c, original_of(c, original), path.get(), steps.get()); });
    Ref value_index = steps ? steps : call_method(st.names[N_split], {path.get(), st.dot.get()});
    // The recursion test looks up the string's own place in `original`; a
    // place that is not there (a member of a set) fails with its KeyError.
    // A string inside what `original` holds as markup text (an included
    // document, a structure a callable returned) is no reference to itself.
    Ref here;
    try {
        here = chainget(c, original_of(c, original), index);
    } catch (const Error&) {
        Ref key_error = catch_error(PyExc_KeyError);
        bool within_text;
        try {
            within_text = below_text(original.get(), index);
        } catch (const Error&) {
            PyErr_Clear();
            within_text = false;
        }
        if (!within_text) reraise(std::move(key_error));
    }
    bool recursive = here && truth(own(PyObject_RichCompare(value.get(), here.get(), Py_EQ)).get());
    if (!recursive) {
        Py_ssize_t n = PyObject_Length(value_index.get());
        if (n < 0) throw Error();
        Ref head = own(PySequence_GetSlice(index, 0, n));
        recursive = truth(own(PyObject_RichCompare(value_index.get(), head.get(), Py_EQ)).get());
    }
    if (recursive) {
        Ref g0 = group0(st, match);
        Ref msg = index_message(st, "Detected recursion markup", index, g0.get());
        raise(markup_error_at(c, msg.get(), index, data, locations).get());
    }
    Ref markup = markup_text(st, match, data);
    if (truth(own(PyObject_RichCompare(markup.get(), data, Py_EQ)).get())) return value;
    Ref repl = str_of(value.get());
    return substitute(c, data, markup.get(), repl.get(), index, locations);
}

// The type rule: a text is spliced into the string, anything else replaces it.
Ref type_rule(const Ctx& c, const Match& match, PyObject* data, PyObject* value, PyObject* index, PyObject* locations) {
    if (!PyUnicode_Check(value)) return Ref::borrow(value);
    Ref markup = markup_text(c.st, match, data);
    return substitute(c, data, markup.get(), value, index, locations);
}

// The text rule: str(value) is spliced into the string.
Ref text_rule(const Ctx& c, const Match& match, PyObject* data, PyObject* value, PyObject* index, PyObject* locations) {
    Ref markup = markup_text(c.st, match, data);
    Ref repl = str_of(value);
    return substitute(c, data, markup.get(), repl.get(), index, locations);
}

Ref p_callable(const Ctx& c, const Match& m, PyObject* data, PyObject* index, PyObject* locations) {
    const State& st = c.st;
    PyObject* match = m.obj.get();
    Ref value = guarded(c, m, data, index, locations, [&] {
        Ref import_utils = lookup(c.module, st.names[N_import_utils]);
        Ref name = group(st, match, st.two.get());
        Ref func = call_method(st.names[N_import_from_name], {import_utils.get(), name.get()});
        Ref groups = call_method(st.names[N_groups], {match});
        Py_ssize_t n = PyObject_Length(groups.get());
        if (n < 0) throw Error();
        Ref args_text = n == 4 ? group(st, match, st.four.get()) : Ref();
        if (args_text && PyUnicode_Check(args_text.get()) && PyUnicode_GET_LENGTH(args_text.get()) > 0) {
            Ref pieces = call_method(st.names[N_split], {args_text.get(), st.comma.get()});
            Ref args = own(PyList_New(0));
            for_each(pieces.get(), [&](PyObject* piece) {
                if (truth(piece)) check(PyList_Append(args.get(), piece));
            });
            Ref tuple = own(PyList_AsTuple(args.get()));
            return own(PyObject_Call(func.get(), tuple.get(), nullptr));
        }
        return own(PyObject_CallNoArgs(func.get()));
    });
    return type_rule(c, m, data, value.get(), index, locations);
}

// os.environ is still the mapping bound at load, reading through the
// functions it was made with.
bool environ_plain(const Ctx& c, const Global& os, PyObject* environ) {
    const State& st = c.st;
    if (!os.ours || environ != st.environ.get()) return false;
    if (c.environ_plain < 0) {
        PyTypeObject* type = Py_TYPE(environ);
        Ref enc = optional_attr(environ, st.names[N_encodekey]);
        Ref dec = optional_attr(environ, st.names[N_decodevalue]);
        c.environ_plain = reinterpret_cast<PyObject*>(type) == st.environ_type.get() &&
                          compat::type_lookup(type, st.names[N_get]) == st.environ_get.get() &&
                          compat::type_lookup(type, st.names[N___getitem__]) == st.environ_getitem.get() &&
                          enc.get() == st.encodekey.get() && dec.get() == st.decodevalue.get() &&
                          PyUnicode_Check(st.fs_encoding.get());
    }
    return c.environ_plain == 1;
}

// os.environ.get(name, ''): for a plain os.environ and a name in ASCII, its
// bytes table is read and the value decoded as the mapping itself does
// (file-system encoding, "surrogateescape").
Ref environ_get(const Ctx& c, PyObject* name) {
    const State& st = c.st;
    Global os(c.module, st.names[N_os], st.os.get());
    Ref environ = attr(os.value.get(), st.names[N_environ]);
    if (environ_plain(c, os, environ.get()) && PyUnicode_Check(name) && PyUnicode_IS_ASCII(name)) {
        Ref table = optional_attr(environ.get(), st.names[N__data]);
        if (table && PyDict_CheckExact(table.get())) {
            Ref key = own(
                PyBytes_FromStringAndSize(static_cast<const char*>(PyUnicode_DATA(name)), PyUnicode_GET_LENGTH(name)));
            Ref v = Ref::borrow(PyDict_GetItemWithError(table.get(), key.get()));
            if (!v) {
                if (PyErr_Occurred()) throw Error();
                return st.empty;
            }
            if (PyBytes_CheckExact(v.get()))
                return own(PyUnicode_Decode(PyBytes_AS_STRING(v.get()), PyBytes_GET_SIZE(v.get()),
                                            PyUnicode_AsUTF8(st.fs_encoding.get()), "surrogateescape"));
        }
    }
    return call_method(st.names[N_get], {environ.get(), name, st.empty.get()});
}

Ref p_environ(const Ctx& c, const Match& match, PyObject* data, PyObject* index, PyObject* locations) {
    const State& st = c.st;
    Ref value = guarded(c, match, data, index, locations, [&] {
        Ref name = group2(st, match);
        return environ_get(c, name.get());
    });
    return text_rule(c, match, data, value.get(), index, locations);
}

Ref load_file(const Ctx& c, PyObject* path) {
    const State& st = c.st;
    Ref open = lookup(c.module, st.names[N_open]);
    Ref f = own(PyObject_CallOneArg(open.get(), path));
    Ref value;
    try {
        Ref yaml = lookup(c.module, st.names[N_yaml]);
        value = call_method(st.names[N_safe_load], {yaml.get(), f.get()});
    } catch (const Error&) {
        ErrorStash stash;
        Ref closed = Ref::steal(PyObject_CallMethodNoArgs(f.get(), st.names[N_close]));
        PyErr_Clear();
        throw;
    }
    call_method(st.names[N_close], {f.get()});
    return value;
}

// The outermost %INCLUDE{path} whose document `processor` is walking, if
// any: a file that includes itself, directly or through others, would never
// end. (A copy: the list may change while its Refs are used.)
std::optional<Including> including(const State& st, PyObject* processor, PyObject* path) {
    if (!PyUnicode_Check(path)) return std::nullopt;
    for (const Including& e : st.including)
        if (e.processor == processor && PyUnicode_Compare(e.path.get(), path) == 0) return e;
    return std::nullopt;
}

// The document of an %INCLUDE{path} is being walked while this lives.
class IncludeScope {
public:
    IncludeScope(State& st, PyObject* processor, Ref path, PyObject* index, PyObject* data)
        : st_(st), serial_(++st.include_serial) {
        st.including.push_back({processor, std::move(path), Ref::borrow(index), Ref::borrow(data), serial_});
    }
    ~IncludeScope() {
        for (auto it = st_.including.end(); it != st_.including.begin();)
            if ((--it)->serial == serial_) {
                st_.including.erase(it);
                break;
            }
    }
    IncludeScope(const IncludeScope&) = delete;
    IncludeScope& operator=(const IncludeScope&) = delete;

private:
    State& st_;
    unsigned long serial_;
};

Ref p_file(const Ctx& c, const Match& match, PyObject* data, PyObject* index, PyObject* locations) {
    const State& st = c.st;
    Ref path = group2(st, match);
    if (auto loop = including(st, c.self, path.get())) {
        // Said where the value stands, else where the loop's first include
        // does (the records of an include within an include are not
        // attached to the caller's tree).
        Ref g0 = group0(st, match);
        Ref msg = index_message(st, "Detected recursion markup", index, g0.get());
        Ref error = markup_error_at(c, msg.get(), index, data, locations);
        Ref where = attr(error.get(), st.names[N_location]);
        if (where.get() == Py_None) {
            where = value_location(st, locations, loop->index.get(), loop->data.get());
            set_attr(error.get(), st.names[N_location], where.get());
        }
        raise(error.get());
    }
    Ref value = guarded(c, match, data, index, locations, [&] {
        Ref loader_cls = attr(c.self, st.names[N__yaml_loader_cls]);
        if (!truth(loader_cls.get())) return load_file(c, path.get());
        PyObject* locs = locations ? locations : Py_None;
        Ref new_locations = locs == Py_None ? Ref::borrow(Py_None) : own(PyDict_New());
        Ref kw = own(PyTuple_Pack(1, st.names[N_markupprocessor]));
        PyObject* args[] = {c.self};
        Ref loader = own(PyObject_Vectorcall(loader_cls.get(), args, 0, kw.get()));
        PyObject* largs[] = {loader.get(), path.get(), new_locations.get()};
        Ref loaded = own(PyObject_VectorcallMethod(st.names[N_load], largs, 2, st.kw_locations.get()));
        try {
            Ref holder = chainget(c, locs, index);
            check(PyObject_SetItem(holder.get(), data, new_locations.get()));
        } catch (const Error&) {
            if (!clear_if(PyExc_KeyError)) throw;
        }
        return loaded;
    });
    return type_rule(c, match, data, value.get(), index, locations);
}

Ref p_ask(const Ctx& c, const Match& match, PyObject* data, PyObject* index, PyObject* locations) {
    const State& st = c.st;
    Ref wrap_split = lookup(c.module, st.names[N_wrap_split]);
    Ref where = dotted(st, index);
    Ref lines = own(PyObject_CallOneArg(wrap_split.get(), where.get()));
    Ref joined = own(PyUnicode_Join(st.newline.get(), lines.get()));
    Ref head = text("\nEnter value for ");
    Ref prompt = concat({head.get(), joined.get()});
    Ref comment = group2(st, match);
    if (truth(comment.get())) {
        Ref c_text = str_of(comment.get());
        prompt = concat({prompt.get(), st.newline.get(), c_text.get()});
    }
    Ref colon = text(": ");
    prompt = concat({prompt.get(), colon.get()});
    Ref ask = lookup(c.module, st.names[N_ask_for_input]);
    PyObject* args[] = {prompt.get()};
    Ref value = own(PyObject_Vectorcall(ask.get(), args, 0, st.kw_prompt_text.get()));
    return text_rule(c, match, data, value.get(), index, locations);
}

Ref enc_plaintext(const Ctx& c, PyObject* match) {  // a match object
    const State& st = c.st;
    Ref secret = group(st, match, st.two.get());
    Ref prefix = group(st, match, st.four.get());
    Ref cls = lookup(c.module, st.names[N_SecretString]);
    Ref obj;
    if (PyUnicode_Check(prefix.get()) && PyUnicode_GET_LENGTH(prefix.get()) > 0) {
        Ref kw = own(PyTuple_Pack(2, st.names[N_secret_string], st.names[N_prefix]));
        PyObject* args[] = {secret.get(), prefix.get()};
        obj = own(PyObject_Vectorcall(cls.get(), args, 0, kw.get()));
    } else {
        Ref kw = own(PyTuple_Pack(1, st.names[N_secret_string]));
        PyObject* args[] = {secret.get()};
        obj = own(PyObject_Vectorcall(cls.get(), args, 0, kw.get()));
    }
    return attr(obj.get(), st.names[N_plaintext]);
}

Ref p_enc(const Ctx& c, const Match& match, PyObject* data, PyObject* index, PyObject* locations) {
    Ref value = enc_plaintext(c, match.obj.get());
    return text_rule(c, match, data, value.get(), index, locations);
}

using Handler = Ref (*)(const Ctx&, const Match&, PyObject*, PyObject*, PyObject*);
// Handlers that read only groups 0 and 2 and the span of the match.
bool reads_texts_only(int kind) { return kind == REFERENCE || kind == ENV || kind == INCLUDE || kind == ASK; }
const Handler handlers[KINDS] = {p_reference, p_callable, p_environ, p_file, p_ask, p_enc};

// ---------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------

// The index of the value a level of the walk processes. Its list is made
// only when something asks for it (a markup, an error, a method called
// through the instance): from the parent's list and this level's step, as
// `index + [step]` would have made it.
struct Index {
    const Index* parent = nullptr;
    PyObject* key = nullptr;  // borrowed; nullptr for a position in a sequence
    Py_ssize_t position = 0;
    mutable Ref list;

    static Index root(PyObject* given) {
        Index i;
        i.list = Ref::borrow(given);
        return i;
    }
    // One new list: the nearest list made above, then the steps below it.
    PyObject* get() const {
        if (list) return list.get();
        const Index* chain[64];
        int depth = 0;
        const Index* top = this;
        while (!top->list && depth < 64) {
            chain[depth++] = top;
            top = top->parent;
        }
        if (!top->list) top->get();  // a deeper walk: lists are made in stages
        Ref base = as_list(top->list.get());
        Py_ssize_t n = PyList_GET_SIZE(base.get());
        Ref out = own(PyList_New(n + depth));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), i, Py_NewRef(PyList_GET_ITEM(base.get(), i)));
        for (int d = 0; d < depth; ++d) {
            const Index* level = chain[depth - 1 - d];
            PyObject* step = level->key ? Py_NewRef(level->key) : PyLong_FromSsize_t(level->position);
            if (!step) throw Error();
            PyList_SET_ITEM(out.get(), n + d, step);
        }
        list = std::move(out);
        return list.get();
    }
};

Ref recurse(Ctx& c, PyObject* data, const Index& index, PyObject* locations);
Ref process_str(Ctx& c, PyObject* data, const Index& index, PyObject* locations);

// self.<walk method>(data, index, locations=locations)
Ref call_walk(Ctx& c, Walk which, PyObject* data, PyObject* index, PyObject* locations) {
    PyObject* args[] = {c.self, data, index, locations ? locations : Py_None};
    return own(PyObject_VectorcallMethod(c.st.names[walk_names[which]], args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         c.st.kw_locations.get()));
}

Ref process_mapping(Ctx& c, PyObject* data, const Index& index, PyObject* locations);
Ref process_iterable(Ctx& c, PyObject* data, const Index& index, PyObject* locations);

// Wrap the error leaving one level of the walk, once per processor.
[[noreturn]] void wrap_error(Ctx& c, PyObject* data, PyObject* index, PyObject* locations) {
    // A tree too deep to walk reports itself: wrapping would need the very
    // stack depth that ran out.
    Ref cause = take_error();
    if (PyErr_GivenExceptionMatches(cause.get(), PyExc_RecursionError) ||
        !PyErr_GivenExceptionMatches(cause.get(), PyExc_Exception))
        reraise(std::move(cause));
    Ref flag = attr(c.self, c.st.names[N__inhibit_recurse_exception]);
    if (truth(flag)) raise(cause.get());
    set_attr(c.self, c.st.names[N__inhibit_recurse_exception], Py_True);
    Ref fmt = text("Caught error while processing markups: \nIndex:  {}\nMarkup: {}\n");
    Ref shown = quoted(own(PyObject_Format(data, c.st.empty.get())));
    Ref msg = call_method(c.st.names[N_format], {fmt.get(), index, shown.get()});
    Ref error = markup_error_at(c, msg.get(), index, data, locations);
    // A handler's MarkupError may know where its value is when the tree does
    // not (a loop of includes says where it starts).
    if (Ref where = attr(error.get(), c.st.names[N_location]); where.get() == Py_None) {
        Ref markup_error_cls = lookup(c.module, c.st.names[N_MarkupError]);
        if (PyType_Check(markup_error_cls.get()) && check(PyObject_IsInstance(cause.get(), markup_error_cls.get())))
            if (Ref inner = optional_attr(cause.get(), c.st.names[N_location]))
                set_attr(error.get(), c.st.names[N_location], inner.get());
    }
    raise_from(error.get(), cause.get());
}

Ref recurse_impl(Ctx& c, PyObject* data, const Index& index, PyObject* locations) {
    RecursionGuard guard(" while processing markups");
    try {
        if (PyUnicode_Check(data))
            return c.direct ? process_str(c, data, index, locations) : call_walk(c, STR, data, index.get(), locations);
        if (is_leaf(c.st, data)) return Ref::borrow(data);
        if (c.is_mutable_mapping(data))
            return c.direct ? process_mapping(c, data, index, locations)
                            : call_walk(c, MAPPING, data, index.get(), locations);
        if (c.is_iterable(data))
            return c.direct ? process_iterable(c, data, index, locations)
                            : call_walk(c, ITERABLE, data, index.get(), locations);
        return Ref::borrow(data);
    } catch (const Error&) {
        ErrorStash keep;  // the error stays set while the index list is made
        index.get();
    }
    wrap_error(c, data, index.list.get(), locations);
}

Ref recurse(Ctx& c, PyObject* data, const Index& index, PyObject* locations) {
    if (c.direct) return recurse_impl(c, data, index, locations);
    return call_walk(c, RECURSE, data, index.get(), locations);
}

// The lazy pairs handed to a mapping type that is not exactly dict: one
// function per call of _process_mutable_mapping, mapped over data.items().
const FuncDef pair_def{"<genexpr>", "(item)", nullptr, [](const Call& call) -> Ref {
                           PyObject* cl = call.closure();  // (self, index, locations)
                           State& st = call.state<State>();
                           Ctx c(st, call.module(), PyTuple_GET_ITEM(cl, 0));
                           auto [key, value] = unpack<2>(call[0]);
                           PyObject* locs = PyTuple_GET_ITEM(cl, 2);
                           Index parent = Index::root(PyTuple_GET_ITEM(cl, 1));
                           Index idx{&parent, key.get()};
                           Ref v = recurse(c, value.get(), idx, locs == Py_None ? nullptr : locs);
                           return own(PyTuple_Pack(2, key.get(), v.get()));
                       }};

Ref process_mapping(Ctx& c, PyObject* data, const Index& index, PyObject* locations) {
    if (PyDict_CheckExact(data)) {
        Ref out = own(compat::new_presized_dict(PyDict_GET_SIZE(data)));  // (the same dict, without regrowing)
        for_items(data, c.st.names[N_items], [&](PyObject* k, PyObject* v) {
            Index idx{&index, k};
            Ref value = recurse(c, v, idx, locations);
            check(PyDict_SetItem(out.get(), k, value.get()));
        });
        return out;
    }
    Ref idx_list = as_list(index.get());
    Ref captured = own(PyTuple_Pack(3, c.self, idx_list.get(), locations ? locations : Py_None));
    Ref fn = make_closure(c.st.pair_template.get(), std::move(captured));
    Ref items = call_method(c.st.names[N_items], {data});
    PyObject* margs[] = {fn.get(), items.get()};
    Ref pairs = own(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyMap_Type), margs, 2, nullptr));
    return own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(data)), pairs.get()));
}

Ref process_iterable(Ctx& c, PyObject* data, const Index& index, PyObject* locations) {
    Ref out = own(PyList_New(0));
    Py_ssize_t position = 0;
    for_each(data, [&](PyObject* item) {
        Index idx{&index, nullptr, position++};
        Ref value = recurse(c, item, idx, locations);
        check(PyList_Append(out.get(), value.get()));
    });
    return out;
}

// original[index[0]]...[index[-2]][index[-1]] = value. A string that lies
// where `original` has no place for it (inside an included file, or a
// structure a callable returned) is not written back: a step that does not
// look up, or leads to a string, ends the write-back quietly.
void write_back(Ctx& c, PyObject* index, PyObject* value) {
    Ref original = attr(c.self, c.st.names[N_original]);
    Py_ssize_t n = PyObject_Length(index);
    if (n < 0) throw Error();
    Ref node = original;
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        Ref step = own(PySequence_GetItem(index, i));
        node = Ref::steal(PyObject_GetItem(node.get(), step.get()));
        if (!node) {
            if (!clear_if(PyExc_LookupError) && !clear_if(PyExc_TypeError)) throw Error();
            return;
        }
    }
    Ref last = own(PySequence_GetItem(index, -1));  // index[-1]: IndexError when empty
    if (PyUnicode_Check(node.get())) return;
    check(PyObject_SetItem(node.get(), last.get(), value));
}

// The kind of our own method `m` bound to this processor, or -1.
int own_kind(const Ctx& c, PyObject* m, const Ref* fns) {
    if (!PyMethod_Check(m) || PyMethod_GET_SELF(m) != c.self) return -1;
    PyObject* f = PyMethod_GET_FUNCTION(m);
    for (int k = 0; k < KINDS; ++k)
        if (f == fns[k].get()) return k;
    return -1;
}

// The pieces of one string still to resolve: texts to process, and the
// plaintexts of %ENC markups, which stand as they are.
struct Piece {
    Ref text;
    bool plaintext;
};

// The pair of _actions that resolves the next markup of a text, and its match.
struct Action {
    Ref matcher, handler;
    Match match;
    int mkind = -1, hkind = -1;  // the kinds of our own matcher and handler, or -1
};

// Find the action: for matcher, handler in self._actions, the first whose
// matcher matches `data` (a list is read by position, as its iterator does).
bool find_action(const Ctx& c, PyObject* data, Action& a) {
    const State& st = c.st;
    Ref actions = attr(c.self, st.names[N__actions]);
    Ref it = PyList_CheckExact(actions.get()) ? Ref() : own(PyObject_GetIter(actions.get()));
    bool found = false;
    for (Py_ssize_t i = 0; !found; ++i) {
        Ref pair;
        if (it) {
            pair = Ref::steal(PyIter_Next(it.get()));
        } else if (i < PyList_GET_SIZE(actions.get())) {
            pair = Ref::borrow(PyList_GET_ITEM(actions.get(), i));
        }
        if (!pair) break;
        auto [m, h] = unpack<2>(pair.get());
        int kind = own_kind(c, m.get(), st.f_match);
        if ((kind == REFERENCE || kind == ENV) && PyUnicode_Check(data) && c.pattern_ours[kind]) {
            found = kind == ENV ? env_search(data, st, a.match) : reference_search(data, st, a.match);
        } else {
            Ref result;
            if (kind >= 0) {
                result = match_impl(c, kind, data);
            } else {
                PyObject* args[] = {data};
                result = own(PyObject_Vectorcall(m.get(), args, 1, nullptr));
            }
            found = truth(result);
            if (found) a.match.obj = result;
        }
        if (found) {
            a.matcher = m;
            a.handler = h;
            a.mkind = kind;
        }
    }
    if (PyErr_Occurred()) throw Error();
    if (!found) return false;
    a.hkind = own_kind(c, a.handler.get(), st.f_handle);
    if (a.match.native() && !(a.hkind >= 0 && reads_texts_only(a.hkind))) {
        // the match object itself is needed: the pattern finds the same match
        Ref pattern = lookup(c.module, st.names[kinds[a.mkind].pattern_name]);
        a.match.obj = call_method(st.names[N_search], {pattern.get(), data});
    }
    return true;
}

// Split %ENC: for our own p_enc_markup, `data` becomes its parts around each
// copy of the markup, pushed on `pending` with the plaintext between them, so
// that the plaintext is never read for markup. False for an empty match.
bool split_enc(const Ctx& c, PyObject* data, const Match& match, std::vector<Piece>& pending) {
    Ref markup = matched_text(c.st, match.obj.get(), data);
    if (!PyUnicode_Check(markup.get()) || PyUnicode_GET_LENGTH(markup.get()) == 0) return false;
    Ref value = enc_plaintext(c, match.obj.get());
    Ref plain = str_of(value.get());
    Ref parts = own(PyUnicode_Split(data, markup.get(), -1));
    for (Py_ssize_t i = PyList_GET_SIZE(parts.get()) - 1; i >= 0; --i) {
        pending.push_back({Ref::borrow(PyList_GET_ITEM(parts.get(), i)), false});
        if (i > 0) pending.push_back({plain, true});
    }
    return true;
}

// Apply the handler: handler(match, data, index, locations=locations).
Ref apply_handler(const Ctx& c, const Action& a, PyObject* data, PyObject* index, PyObject* locations) {
    if (a.hkind >= 0) return handlers[a.hkind](c, a.match, data, index, locations);
    PyObject* args[] = {a.match.obj.get(), data, index, locations ? locations : Py_None};
    return own(PyObject_Vectorcall(a.handler.get(), args, 3, c.st.kw_locations.get()));
}

// Whether the winning matcher is self.match_reference_markup (compared by
// equality with the processor's own bound method).
bool from_reference(Ctx& c, const Action& a) {
    const State& st = c.st;
    if (c.ref_matcher < 0)
        c.ref_matcher = c.is_own_method(st.names[N_match_reference_markup], st.f_match[REFERENCE].get());
    if (a.mkind >= 0 && c.ref_matcher == 1) return a.mkind == REFERENCE;
    Ref own_ref_matcher = attr(c.self, st.names[N_match_reference_markup]);
    return a.matcher.get() == own_ref_matcher.get() ||
           truth(own(PyObject_RichCompare(a.matcher.get(), own_ref_matcher.get(), Py_EQ)));
}

// One string: while BASE_PATTERN finds something, the first pair of _actions
// whose matcher matches resolves one markup. A plaintext that %ENC gives (by
// our own p_enc_markup) is not read for markup again: a secret is data, and
// its text must neither change nor show in the errors of markup it seems to
// hold. The text around it is resolved as before.
struct StrWalk {
    Ctx& c;
    PyObject* data0;  // the string as the walk met it
    const Index& idx;
    PyObject* index;
    PyObject* locations;
    std::vector<Piece> pending;  // (no allocation until an %ENC plaintext splits the string)
    std::vector<Ref> done;
    Py_ssize_t rounds = 0, limit = -1;
    // A reference that gives a string is processed again at the same index,
    // as a new level of the walk would; it goes on here instead, so that
    // thousands of references in one string take no stack. `level` is the
    // string such a level would have started with, shown by its error.
    Ref level;

    // Another round for one string, within the bound of rounds.
    void count_round() {
        if (limit < 0) limit = EXTRA_ROUNDS + (PyUnicode_Check(data0) ? PyUnicode_GET_LENGTH(data0) : 0);
        if (++rounds > limit) {
            Ref msg = index_message(c.st, "Markup substitutions do not end", index, data0);
            raise(markup_error_at(c, msg.get(), index, data0, locations).get());
        }
    }

    // After the substitution: the new value of the string, when it is final
    // (a value that is not a text, or a reference's container, walked as a new
    // level at the same index); empty when `data`, a text, goes on being
    // resolved here.
    Ref after_substitution(const Action& a, const Ref& data, PyObject* before) {
        if (from_reference(c, a) && (c.is_mutable_mapping(data.get()) || c.is_iterable(data.get()))) {
            write_back(c, index, data.get());
            if (c.direct && PyUnicode_Check(data.get()) && pending.empty() && done.empty()) {
                level = data;
                return {};
            }
            return recurse(c, data.get(), idx, locations);
        }
        if (PyUnicode_Check(data.get())) return {};
        if (a.mkind == INCLUDE || a.hkind == INCLUDE) {  // an included document
            IncludeScope scope(c.st, c.self, group2(c.st, a.match), index, before);
            return recurse(c, data.get(), idx, locations);
        }
        return recurse(c, data.get(), idx, locations);
    }

    // Resolve one piece: the resolved text (empty when %ENC split it into
    // pending pieces), or, in `result`, the final value of the whole string.
    Ref resolve(Ref data, Ref& result) {
        while (data && base_search(c, data.get())) {
            count_round();
            Action a;
            if (!find_action(c, data.get(), a)) break;
            if (a.hkind == ENC && split_enc(c, data.get(), a.match, pending)) return {};
            Ref before = data;
            data = apply_handler(c, a, data.get(), index, locations);
            if ((result = after_substitution(a, data, before.get()))) return {};
        }
        return data;
    }

    Ref run() {
        try {
            for (Piece piece{Ref::borrow(data0), false};;) {
                if (piece.plaintext) {
                    done.push_back(std::move(piece.text));
                } else {
                    Ref result;
                    Ref data = resolve(std::move(piece.text), result);
                    if (result) return result;
                    if (data) {
                        if (pending.empty() && done.empty()) return data;
                        done.push_back(std::move(data));
                    }
                }
                if (pending.empty()) break;
                piece = std::move(pending.back());
                pending.pop_back();
            }
        } catch (const Error&) {
            if (level) wrap_error(c, level.get(), index, locations);
            throw;
        }
        return joined();
    }

    // The resolved pieces as one text.
    Ref joined() {
        if (done.size() == 1) return std::move(done[0]);
        Py_ssize_t length = 0;
        for (const Ref& piece : done) length += PyUnicode_Check(piece.get()) ? PyUnicode_GET_LENGTH(piece.get()) : 0;
        if (length > MAX_TEXT) too_long(c, data0, index, locations);
        Ref list = own(PyList_New((Py_ssize_t)done.size()));
        for (size_t i = 0; i < done.size(); ++i) PyList_SET_ITEM(list.get(), (Py_ssize_t)i, done[i].new_ref());
        return own(PyUnicode_Join(c.st.empty.get(), list.get()));
    }
};

Ref process_str(Ctx& c, PyObject* data, const Index& idx, PyObject* locations) {
    if (!base_search(c, data)) return Ref::borrow(data);  // the common case: no markup at all
    PyObject* index = idx.get();
    return StrWalk{c, data, idx, index, locations}.run();
}

// ---------------------------------------------------------------------------
// Interpreter-level functions
// ---------------------------------------------------------------------------

PyObject* opt(PyObject* locations) { return locations == Py_None ? nullptr : locations; }

Ref processor_init(const Call& c, PyObject* self, PyObject* reference, PyObject* callable, PyObject* env_var,
                   PyObject* include_file, PyObject* ask, PyObject* encode, PyObject* yaml_loader_cls) {
    State& st = c.state<State>();
    set_attr(self, st.names[N__inhibit_recurse_exception], Py_False);
    set_attr(self, st.names[N__yaml_loader_cls], yaml_loader_cls);
    PyObject* const switches[KINDS] = {reference, callable, env_var, include_file, ask, encode};
    Ref actions = own(PyList_New(0));
    for (int k = 0; k < KINDS; ++k) {
        if (!truth(switches[k])) continue;
        Ref m = attr(self, st.names[kinds[k].matcher]);
        Ref h = attr(self, st.names[kinds[k].handler]);
        Ref pair = own(PyTuple_Pack(2, m.get(), h.get()));
        check(PyList_Append(actions.get(), pair.get()));
    }
    set_attr(self, st.names[N__actions], actions.get());
    return Ref::borrow(Py_None);
}

Ref processor_call(const Call& c, PyObject* self, PyObject* data, PyObject* locations) {
    State& st = c.state<State>();
    set_attr(self, st.names[N_original], data);
    Ctx ctx(st, c.module(), self);
    Index index = Index::root(own(PyList_New(0)).get());
    return recurse(ctx, data, index, opt(locations));
}

// _recurse and the _process_* methods: `Step` is the part of the walk each runs.
template <Ref (*Step)(Ctx&, PyObject*, const Index&, PyObject*)>
Ref walk_method(const Call& c, PyObject* self, PyObject* data, PyObject* index, PyObject* locations) {
    Ctx ctx(c.state<State>(), c.module(), self);
    return Step(ctx, data, Index::root(index), opt(locations));
}

template <int K>
Ref matcher_method(const Call& c, PyObject* self, PyObject* data) {
    Ctx ctx(c.state<State>(), c.module(), self);
    return match_impl(ctx, K, data);
}

template <int K>
Ref handler_method(const Call& c, PyObject* self, PyObject* match, PyObject* data, PyObject* index,
                   PyObject* locations) {
    Ctx ctx(c.state<State>(), c.module(), self);
    if (!truth(match)) return Ref::borrow(K == REFERENCE ? Py_None : data);
    Match m{Ref::borrow(match)};
    return handlers[K](ctx, m, data, index, opt(locations));
}

// The location entry of the value at `path`, for callers that report places.
Ref locate(const Call& c, PyObject* locations, PyObject* path) {
    Ref entry = location_entry(c.state<State>(), locations, path);
    return entry ? entry : Ref::borrow(Py_None);
}

Ref ask_for_input(const Call& call) {
    State& st = call.state<State>();
    Ref print = lookup(call.module(), st.names[N_print]);
    PyObject* args[] = {call[0], st.empty.get()};
    own(PyObject_Vectorcall(print.get(), args, 1, st.kw_end.get()));
    Ref input = lookup(call.module(), st.names[N_input]);
    return own(PyObject_CallNoArgs(input.get()));
}

const FuncDef init_def{
    "__init__",
    "(self, reference=True, callable=True, env_var=True, include_file=True, ask=True, encode=True, "
    "yaml_loader_cls=None)",
    "Choose the markup kinds to resolve; yaml_loader_cls loads %INCLUDE{...} files (default: yaml.safe_load).",
    params<processor_init>,
};
const FuncDef call_def{
    "__call__",
    "(self, data, locations=None)",
    "Return data rebuilt with every markup resolved; locations is its tree of Location records, if any.",
    params<processor_call>,
};
const FuncDef walk_defs[WALKS] = {
    {"_recurse", "(self, data, index, locations=None)", "Process one value of the tree at index.",
     params<walk_method<recurse_impl>>},
    {"_process_mutable_mapping", "(self, data, index, locations=None)",
     "A new mapping of the same type, its values processed.", params<walk_method<process_mapping>>},
    {"_process_iterable", "(self, data, index, locations=None)", "A new list of the processed items.",
     params<walk_method<process_iterable>>},
    {"_process_str", "(self, data, index, locations=None)", "Resolve the markups of one string.",
     params<walk_method<process_str>>},
};
const FuncDef match_defs[KINDS] = {
    {"match_reference_markup", "(self, data)", "REFERENCE_PATTERN.search(data)", params<matcher_method<REFERENCE>>},
    {"match_callable_markup", "(self, data)", "CALLABLE_PATTERN.search(data)", params<matcher_method<CALLABLE>>},
    {"match_env_markup", "(self, data)", "ENV_PATTERN.search(data)", params<matcher_method<ENV>>},
    {"match_include_file_markup", "(self, data)", "INCLUDE_FILE_PATTERN.search(data)", params<matcher_method<INCLUDE>>},
    {"match_ask_markup", "(self, data)", "ASK_PATTERN.search(data)", params<matcher_method<ASK>>},
    {"match_enc_markup", "(self, data)", "ENC_PATTERN.search(data)", params<matcher_method<ENC>>},
};
const FuncDef handle_defs[KINDS] = {
    {"p_reference_markup", "(self, match, data, index, locations=None)",
     "Replace %{path} by the value at path in the processed tree.", params<handler_method<REFERENCE>>},
    {"p_callable_markup", "(self, match, data, index, locations=None)",
     "Replace %CALLABLE{name(args)} by what the named callable returns.", params<handler_method<CALLABLE>>},
    {"p_environ_markup", "(self, match, data, index, locations=None)",
     "Replace %ENV{NAME} by the environment variable (empty when unset).", params<handler_method<ENV>>},
    {"p_file_markup", "(self, match, data, index, locations=None)",
     "Replace %INCLUDE{path} by the YAML document of the file.", params<handler_method<INCLUDE>>},
    {"p_ask_markup", "(self, match, data, index, locations=None)",
     "Replace %ASK{comment} by a value typed at the terminal.", params<handler_method<ASK>>},
    {"p_enc_markup", "(self, match, data, index, locations=None)",
     "Replace %ENC{text, prefix=name} by the plaintext of the secret.", params<handler_method<ENC>>},
};
const FuncDef ask_def{
    "ask_for_input",
    "(prompt_text)",
    "Print prompt_text without a line break and return one line read from standard input.",
    ask_for_input,
};
const FuncDef locate_def{
    "locate",
    "(locations, path)",
    "The entry of the location tree `locations` for the value at `path`, a\n"
    "sequence of keys and list positions, or None when the tree has none.\n"
    "Where a node holds no entry for a step, the trees of the files included\n"
    "there are searched in order: each hangs under the text of its\n"
    "%INCLUDE{...} markup. In a tree that LocSafeLoader filled, the entry is\n"
    "the Location of the value's key or list position, and a scalar's own\n"
    "Location hangs in it under the value.",
    params<locate>,
};

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    st.names.init();
    for (int k = 0; k < KINDS; ++k) st.literals[k] = intern(kinds[k].literal);
    st.empty = text("");
    st.dot = text(".");
    st.newline = text("\n");
    st.comma = text(",");
    st.include_mark = text("%INCLUDE{");
    st.zero = own(PyLong_FromLong(0));
    st.two = own(PyLong_FromLong(2));
    st.four = own(PyLong_FromLong(4));
    st.kw_locations = own(PyTuple_Pack(1, st.names[N_locations]));
    st.kw_prompt_text = own(PyTuple_Pack(1, st.names[N_prompt_text]));
    st.kw_end = own(PyTuple_Pack(1, st.names[N_end]));

    // The imports of the module body.
    Ref os = import_module("os");
    Ref re = import_module("re");
    add_object(module, "os", os);
    st.os = os;
    st.environ = attr(os.get(), st.names[N_environ]);
    st.environ_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(st.environ.get())));
    st.environ_get = Ref::borrow(compat::type_lookup(Py_TYPE(st.environ.get()), st.names[N_get]));
    st.environ_getitem = Ref::borrow(compat::type_lookup(Py_TYPE(st.environ.get()), st.names[N___getitem__]));
    st.encodekey = optional_attr(st.environ.get(), st.names[N_encodekey]);
    st.decodevalue = optional_attr(st.environ.get(), st.names[N_decodevalue]);
    st.fs_encoding = own(PyObject_CallNoArgs(import_from("sys", "getfilesystemencoding").get()));
    add_object(module, "re", re);
    add_object(module, "yaml", import_module("yaml"));
    st.Iterable = KnownClass::of(import_from("collections.abc", "Iterable"));
    st.MutableMapping = KnownClass::of(import_from("collections.abc", "MutableMapping"));
    add_object(module, "Iterable", st.Iterable.cls);
    add_object(module, "MutableMapping", st.MutableMapping.cls);
    st.Mapping = import_from("collections.abc", "Mapping");
    st.UserString = import_from("collections", "UserString");
    add_object(module, "MarkupError", import_from("ovark.utils.yaml.exceptions", "MarkupError"));
    st.utils = import_module("ovark.utils.utils");
    st.chainget = attr(st.utils.get(), st.names[N_chainget]);
    add_object(module, "utils", st.utils);
    add_object(module, "import_utils", import_module("ovark.utils.import_utils"));
    add_object(module, "wrap_split", import_from("ovark.utils.strings", "wrap_split"));
    add_object(module, "SecretString", import_from("ovark.utils.veiled_texts", "SecretString"));

    Ref compile = attr(re.get(), own(PyUnicode_FromString("compile")).get());
    st.base_pattern = own(PyObject_CallOneArg(compile.get(), text("%\\w*{.*}").get()));
    add_object(module, "BASE_PATTERN", st.base_pattern);
    for (int k = 0; k < KINDS; ++k) {
        st.patterns[k] = own(PyObject_CallOneArg(compile.get(), text(kinds[k].pattern).get()));
        set_attr(module, st.names[kinds[k].pattern_name], st.patterns[k].get());
    }

    add_functions(module, {&ask_def, &locate_def});

    std::vector<Member> members = {method(init_def), method(call_def)};
    for (auto& d : walk_defs) members.push_back(method(d));
    for (int k = 0; k < KINDS; ++k) {
        members.push_back(method(match_defs[k]));
        members.push_back(method(handle_defs[k]));
    }
    st.processor_class = new_class(module, "Processor", nullptr,
                                   "Walk a loaded tree, rebuilding every container, and resolve the markup in its "
                                   "string values.",
                                   members);
    add_object(module, "Processor", st.processor_class);
    st.pair_template = make_function(module, pair_def, "Processor._process_mutable_mapping.<locals>");
    PyObject* cls = st.processor_class.get();
    for (int w = 0; w < WALKS; ++w) st.f_walk[w] = attr(cls, st.names[walk_names[w]]);
    for (int k = 0; k < KINDS; ++k) {
        st.f_match[k] = attr(cls, st.names[kinds[k].matcher]);
        st.f_handle[k] = attr(cls, st.names[kinds[k].handler]);
    }
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
