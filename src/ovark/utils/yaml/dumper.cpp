// ovark.utils.yaml.dumper - a SafeDumper that writes OrderedDicts as plain
// mappings in their own order, and the writers of the `ovark yaml` command.
//
// OrderedSafeDumper is made by calling SafeDumper's metaclass, as a class
// statement would; its one representer is registered on it alone.
// _OrderedCSafeDumper is the same on yaml.CSafeDumper (None without libyaml).
//
// _dump_with_locations writes a tree as block YAML, each value followed by a
// comment naming where it came from. Each scalar is written as
// `yaml.dump(value, Dumper=OrderedSafeDumper, default_flow_style=True,
// width=inf, allow_unicode=True)` would write it alone (double-quoted when that
// text spans lines): the emitter's analysis, choice of style and quoting for
// the standard scalar types are carried out here, with PyYAML's default
// implicit resolvers matched natively. That holds while OrderedSafeDumper is
// what it was at import (same representers, resolvers and emitter methods,
// checked at each call); otherwise, and for any value of another type, the
// caller's `scalar` callable writes the value. The comment of each value is
// found by walking the location tree in step with the data.
//
// _fits_libyaml tells whether libyaml's emitter writes a tree exactly as the
// pure-Python one does in block style (see its comment).
//
// Layout of this file, top to bottom:
//   State                  interned names (DUMPER_NAMES), what exec keeps of
//                          PyYAML; ordereddict_representer
//   implicit resolution    resolve(): the tag PyYAML's default resolvers give
//                          a plain scalar (float, int, timestamp patterns)
//   scalar analysis        analyze() (the emitter's analyze_scalar), single
//                          and double quoting, UTF-8 output
//   the writer             Writer: output in chunks, location records and the
//                          comment of each value (child, comment, place),
//                          scalars, the tree (lines_of, list_item, run);
//                          _dump_with_locations
//   libyaml                Fits, _fits_libyaml
//   module                 the resolver table, ordered_dumper, exec
#include "ovk/ovk.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

using namespace ovk;

namespace {

// PyYAML's default implicit resolvers, in the order resolver.py registers them
// (first characters; "" stands for the empty scalar). The writer matches them
// natively only while the dumper's table is exactly this one.
struct ResolverSource {
    const char* tag;
    const char* pattern;
    bool verbose;
    std::vector<const char*> firsts;
};

const ResolverSource resolver_sources[] = {
    {"tag:yaml.org,2002:bool",
     "^(?:yes|Yes|YES|no|No|NO\n                    |true|True|TRUE|false|False|FALSE\n                    "
     "|on|On|ON|off|Off|OFF)$",
     true,
     {"y", "Y", "n", "N", "t", "T", "f", "F", "o", "O"}},
    {"tag:yaml.org,2002:float",
     "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?\n                    "
     "|\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?\n                    "
     "|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*\n                    "
     "|[-+]?\\.(?:inf|Inf|INF)\n                    |\\.(?:nan|NaN|NAN))$",
     true,
     {"-", "+", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "."}},
    {"tag:yaml.org,2002:int",
     "^(?:[-+]?0b[0-1_]+\n                    |[-+]?0[0-7_]+\n                    |[-+]?(?:0|[1-9][0-9_]*)\n"
     "                    |[-+]?0x[0-9a-fA-F_]+\n                    |[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$",
     true,
     {"-", "+", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}},
    {"tag:yaml.org,2002:merge", "^(?:<<)$", false, {"<"}},
    {"tag:yaml.org,2002:null",
     "^(?: ~\n                    |null|Null|NULL\n                    | )$",
     true,
     {"~", "n", "N", ""}},
    {"tag:yaml.org,2002:timestamp",
     "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\n                    "
     "|[0-9][0-9][0-9][0-9] -[0-9][0-9]? -[0-9][0-9]?\n                     (?:[Tt]|[ \\t]+)[0-9][0-9]?\n"
     "                     :[0-9][0-9] :[0-9][0-9] (?:\\.[0-9]*)?\n"
     "                     (?:[ \\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$",
     true,
     {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}},
    {"tag:yaml.org,2002:value", "^(?:=)$", false, {"="}},
    {"tag:yaml.org,2002:yaml", "^(?:!|&|\\*)$", false, {"!", "&", "*"}},
};

// The dumper attributes whose values the native writer stands in for.
const char* const emitter_names[] = {
    "represent_data",
    "represent_scalar",
    "represent_mapping",
    "represent_sequence",
    "ignore_aliases",
    "represent_str",
    "represent_int",
    "represent_float",
    "represent_bool",
    "represent_none",
    "represent_date",
    "represent_datetime",
    "represent_dict",
    "represent_list",
    "resolve",
    "serialize",
    "serialize_node",
    "emit",
    "expect_node",
    "expect_scalar",
    "process_tag",
    "process_scalar",
    "analyze_scalar",
    "choose_scalar_style",
    "write_plain",
    "write_single_quoted",
    "write_double_quoted",
    "write_indicator",
    "write_indent",
    "write_line_break",
    "increase_indent",
    "expect_document_start",
    "expect_document_end",
    "expect_document_root",
    "expect_stream_start",
    "check_empty_document",
    "check_simple_key",
    "ESCAPE_REPLACEMENTS",
    "DEFAULT_SCALAR_TAG",
    "inf_value",
    "__init__",
};

// clang-format off
#define DUMPER_NAMES(X)                                                                                      \
    X(represent_dict) X(items) X(dump) X(yaml_representers) X(yaml_multi_representers) X(yaml_implicit_resolvers) \
    X(yaml_path_resolvers) X(isoformat) X(get) X(line) X(column) X(file) X(tzinfo)
OVK_NAMES(DUMPER_NAMES)
// clang-format on

struct State {
    // The writer: its view of PyYAML and of the trees.
    Ref dumper, cdumper, representers_at_import, crepresenters_at_import, yaml, yaml_dump, representers, resolvers,
        emitter_values, Mapping, OrderedDict, date_type, datetime_type, dict_methods;
    Ref s_space, s_percent, s_include;  // " ", "%", "%INCLUDE{"
    Names names;
    auto refs() {
        return std::tie(dumper, cdumper, representers_at_import, crepresenters_at_import, yaml, yaml_dump, representers,
                        resolvers, emitter_values, Mapping, OrderedDict, date_type, datetime_type, dict_methods,
                        s_space, s_percent, s_include);
    }
};

// Hands PyYAML the items view, not the mapping, so that the pairs keep their
// order instead of being sorted.
Ref ordereddict_representer(const Call& c, PyObject* dumper, PyObject* data) {
    State& st = c.state<State>();
    Ref items = call_method(st.names[N_items], {data});
    return call_method(st.names[N_represent_dict], {dumper, items.get()});
}

const FuncDef representer_def{
    "ordereddict_representer",
    "(dumper, data)",
    "Represent an OrderedDict as a plain YAML mapping, entries in their order.",
    params<ordereddict_representer>,
};

// ---------------------------------------------------------------- implicit resolution
//
// Whether a one-line ASCII scalar matches one of the default resolvers'
// patterns. Each function is one alternative of a pattern, matched whole.

struct Scan {
    std::string_view s;
    size_t i = 0;
    bool end() const { return i == s.size(); }
    char peek(size_t ahead = 0) const { return i + ahead < s.size() ? s[i + ahead] : '\0'; }
    bool eat(char c) {
        if (peek() != c || end()) return false;
        ++i;
        return true;
    }
    bool eat_if(bool (*pred)(char)) {
        if (end() || !pred(s[i])) return false;
        ++i;
        return true;
    }
    void skip(bool (*pred)(char)) {
        while (!end() && pred(s[i])) ++i;
    }
    void sign() {
        if (peek() == '-' || peek() == '+') ++i;
    }
    bool word(std::string_view w) {
        if (s.substr(i, w.size()) != w) return false;
        i += w.size();
        return true;
    }
};

bool digit(char c) { return c >= '0' && c <= '9'; }
bool digit_(char c) { return digit(c) || c == '_'; }
bool nonzero(char c) { return c >= '1' && c <= '9'; }
bool blank(char c) { return c == ' ' || c == '\t'; }

// (?:[eE][-+][0-9]+)?$
bool exponent_end(Scan& c) {
    if (c.end()) return true;
    if (c.peek() != 'e' && c.peek() != 'E') return false;
    ++c.i;
    if (c.peek() != '-' && c.peek() != '+') return false;
    ++c.i;
    if (!c.eat_if(digit)) return false;
    c.skip(digit);
    return c.end();
}

// (?::[0-5]?[0-9])+ : two digits when the first is 0-5 and a digit follows,
// else one (what follows a group is never a digit, so this is the only way).
bool sexagesimal(Scan& c) {
    int groups = 0;
    while (c.peek() == ':' && !c.end()) {
        ++c.i;
        if (c.peek() >= '0' && c.peek() <= '5' && digit(c.peek(1)))
            c.i += 2;
        else if (!c.eat_if(digit))
            return false;
        ++groups;
    }
    return groups > 0;
}

bool float_match(std::string_view s) {
    {  // [-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+][0-9]+)?
        Scan c{s};
        c.sign();
        if (c.eat_if(digit)) {
            c.skip(digit_);
            if (c.eat('.')) {
                c.skip(digit_);
                if (exponent_end(c)) return true;
            }
        }
    }
    {  // \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
        Scan c{s};
        if (c.eat('.') && c.eat_if(digit)) {
            c.skip(digit_);
            if (exponent_end(c)) return true;
        }
    }
    {  // [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
        Scan c{s};
        c.sign();
        if (c.eat_if(digit)) {
            c.skip(digit_);
            if (sexagesimal(c) && c.eat('.')) {
                c.skip(digit_);
                if (c.end()) return true;
            }
        }
    }
    {  // [-+]?\.(?:inf|Inf|INF) and \.(?:nan|NaN|NAN)
        Scan c{s};
        c.sign();
        if (c.eat('.') && (c.word("inf") || c.word("Inf") || c.word("INF")) && c.end()) return true;
        if (s == ".nan" || s == ".NaN" || s == ".NAN") return true;
    }
    return false;
}

bool int_match(std::string_view s) {
    Scan c{s};
    c.sign();
    size_t body = c.i;
    auto rest = [&](bool (*pred)(char)) {
        if (!c.eat_if(pred)) return false;
        c.skip(pred);
        return c.end();
    };
    if (c.word("0b") && rest([](char ch) { return ch == '0' || ch == '1' || ch == '_'; })) return true;
    c.i = body;
    if (c.eat('0') && rest([](char ch) { return (ch >= '0' && ch <= '7') || ch == '_'; })) return true;
    c.i = body;
    if (c.eat('0') && c.end()) return true;
    c.i = body;
    if (c.eat_if(nonzero)) {
        c.skip(digit_);
        if (c.end()) return true;
        if (sexagesimal(c) && c.end()) return true;
    }
    c.i = body;
    if (c.word("0x") &&
        rest([](char ch) { return digit(ch) || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F') || ch == '_'; }))
        return true;
    return false;
}

bool timestamp_match(std::string_view s) {
    Scan c{s};
    auto digits = [&](int n) {
        for (int k = 0; k < n; ++k)
            if (!c.eat_if(digit)) return false;
        return true;
    };
    auto one_or_two = [&] {
        if (!c.eat_if(digit)) return false;
        c.eat_if(digit);
        return true;
    };
    if (s.size() == 10 && digits(4) && c.eat('-') && digits(2) && c.eat('-') && digits(2)) return true;
    c.i = 0;
    if (!(digits(4) && c.eat('-') && one_or_two() && c.eat('-') && one_or_two())) return false;
    if (!c.eat('T') && !c.eat('t')) {
        if (!c.eat_if(blank)) return false;
        c.skip(blank);
    }
    if (!(one_or_two() && c.eat(':') && digits(2) && c.eat(':') && digits(2))) return false;
    if (c.eat('.')) c.skip(digit);
    if (c.end()) return true;
    c.skip(blank);
    if (c.eat('Z')) return c.end();
    if (!c.eat('-') && !c.eat('+')) return false;
    if (!one_or_two()) return false;
    if (c.eat(':') && !digits(2)) return false;
    return c.end();
}

enum class Resolved { Str, Timestamp, Other };

// The tag PyYAML's default resolvers give a plain scalar written as `s`
// (one-line ASCII; any other text resolves to str).
Resolved resolve(std::string_view s) {
    if (s.empty()) return Resolved::Other;  // null
    char first = s[0];
    if (digit(first) || first == '-' || first == '+' || first == '.') {
        if (float_match(s)) return Resolved::Other;
        if (first != '.' && int_match(s)) return Resolved::Other;
        if (digit(first) && timestamp_match(s)) return Resolved::Timestamp;
        return Resolved::Str;
    }
    static constexpr std::string_view others[] = {
        "yes", "Yes", "YES", "no",  "No", "NO", "true", "True", "TRUE", "false", "False", "FALSE", "on", "On",
        "ON",  "off", "Off", "OFF", "<<", "~",  "null", "Null", "NULL", "=",     "!",     "&",     "*"};
    for (auto w : others)
        if (s == w) return Resolved::Other;
    return Resolved::Str;
}

// ---------------------------------------------------------------- scalar analysis

// A view of a str's code points.
struct Text {
    int kind;
    const void* data;
    Py_ssize_t n;
    explicit Text(PyObject* s) : kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), n(PyUnicode_GET_LENGTH(s)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

bool is_break(Py_UCS4 ch) { return ch == '\n' || ch == 0x85 || ch == 0x2028 || ch == 0x2029; }
bool is_space_or_break(Py_UCS4 ch) { return ch == 0 || ch == ' ' || ch == '\t' || ch == '\r' || is_break(ch); }

struct Analysis {
    bool multiline = false, allow_block_plain = true, allow_single_quoted = true;
};

// The emitter's analyze_scalar with allow_unicode, for a block context.
Analysis analyze(const Text& t) {
    Analysis a;
    if (t.n == 0) return a;
    bool block_indicators = false, special = false;
    bool leading_space = false, leading_break = false, trailing_space = false, trailing_break = false;
    bool break_space = false, space_break = false, previous_space = false, previous_break = false;
    auto starts = [&](char c) { return t.n >= 3 && t[0] == (Py_UCS4)c && t[1] == (Py_UCS4)c && t[2] == (Py_UCS4)c; };
    if (starts('-') || starts('.')) block_indicators = true;
    bool preceded_by_ws = true;
    bool followed_by_ws = t.n == 1 || is_space_or_break(t[1]);
    for (Py_ssize_t i = 0; i < t.n; ++i) {
        Py_UCS4 ch = t[i];
        if (i == 0) {
            if (ch < 128 && std::string_view("#,[]{}&*!|>'\"%@`").find((char)ch) != std::string_view::npos)
                block_indicators = true;
            if ((ch == '?' || ch == ':' || ch == '-') && followed_by_ws) block_indicators = true;
        } else {
            if (ch == ':' && followed_by_ws) block_indicators = true;
            if (ch == '#' && preceded_by_ws) block_indicators = true;
        }
        if (is_break(ch)) a.multiline = true;
        if (!(ch == '\n' || (ch >= 0x20 && ch <= 0x7E))) {
            bool printable = (ch == 0x85 || (ch >= 0xA0 && ch <= 0xD7FF) || (ch >= 0xE000 && ch <= 0xFFFD) ||
                              (ch >= 0x10000 && ch < 0x10FFFF)) &&
                             ch != 0xFEFF;
            if (!printable) special = true;
        }
        if (ch == ' ') {
            if (i == 0) leading_space = true;
            if (i == t.n - 1) trailing_space = true;
            if (previous_break) break_space = true;
            previous_space = true;
            previous_break = false;
        } else if (is_break(ch)) {
            if (i == 0) leading_break = true;
            if (i == t.n - 1) trailing_break = true;
            if (previous_space) space_break = true;
            previous_space = false;
            previous_break = true;
        } else {
            previous_space = previous_break = false;
        }
        preceded_by_ws = is_space_or_break(ch);
        followed_by_ws = i + 2 >= t.n || is_space_or_break(t[i + 2]);
    }
    if (leading_space || leading_break || trailing_space || trailing_break) a.allow_block_plain = false;
    if (break_space || space_break || special) a.allow_block_plain = a.allow_single_quoted = false;
    if (a.multiline || block_indicators) a.allow_block_plain = false;
    return a;
}

void put(std::string& out, Py_UCS4 ch) {
    if (ch < 0x80) {
        out += (char)ch;
    } else if (ch < 0x800) {
        out += (char)(0xC0 | (ch >> 6));
        out += (char)(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += (char)(0xE0 | (ch >> 12));
        out += (char)(0x80 | ((ch >> 6) & 0x3F));
        out += (char)(0x80 | (ch & 0x3F));
    } else {
        out += (char)(0xF0 | (ch >> 18));
        out += (char)(0x80 | ((ch >> 12) & 0x3F));
        out += (char)(0x80 | ((ch >> 6) & 0x3F));
        out += (char)(0x80 | (ch & 0x3F));
    }
}

// write_single_quoted of a text without "\n": a run of line breaks is
// followed by the indentation of a root scalar (two spaces).
void single_quoted(std::string& out, const Text& t) {
    out += '\'';
    for (Py_ssize_t i = 0; i < t.n; ++i) {
        Py_UCS4 ch = t[i];
        if (ch == '\'') {
            out += "''";
            continue;
        }
        put(out, ch);
        if (is_break(ch) && (i + 1 == t.n || !is_break(t[i + 1]))) out += "  ";
    }
    out += '\'';
}

// write_double_quoted with allow_unicode and no line folding.
void double_quoted(std::string& out, const Text& t) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (Py_ssize_t i = 0; i < t.n; ++i) {
        Py_UCS4 ch = t[i];
        bool plain = ((ch >= 0x20 && ch <= 0x7E) || (ch >= 0xA0 && ch <= 0xD7FF) || (ch >= 0xE000 && ch <= 0xFFFD)) &&
                     ch != '"' && ch != '\\' && ch != 0xFEFF && ch != 0x2028 && ch != 0x2029;
        if (plain) {
            put(out, ch);
            continue;
        }
        char letter = 0;
        switch (ch) {
            case 0: letter = '0'; break;
            case 0x07: letter = 'a'; break;
            case 0x08: letter = 'b'; break;
            case 0x09: letter = 't'; break;
            case 0x0A: letter = 'n'; break;
            case 0x0B: letter = 'v'; break;
            case 0x0C: letter = 'f'; break;
            case 0x0D: letter = 'r'; break;
            case 0x1B: letter = 'e'; break;
            case '"': letter = '"'; break;
            case '\\': letter = '\\'; break;
            case 0x85: letter = 'N'; break;
            case 0xA0: letter = '_'; break;
            case 0x2028: letter = 'L'; break;
            case 0x2029: letter = 'P'; break;
        }
        out += '\\';
        if (letter) {
            out += letter;
            continue;
        }
        int digits = ch <= 0xFF ? 2 : ch <= 0xFFFF ? 4 : 8;
        out += digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
        for (int k = digits - 1; k >= 0; --k) out += hex[(ch >> (4 * k)) & 0xF];
    }
    out += '"';
}

// A str's UTF-8 bytes; lone surrogates pass through as the interpreter's
// "surrogatepass" would write them, for the chunk decoder to restore.
void put_str(std::string& out, PyObject* s) {
    Py_ssize_t n;
    if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) {
        out.append(p, (size_t)n);
        return;
    }
    if (!clear_if(PyExc_UnicodeEncodeError)) throw Error();
    Ref bytes = own(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    out.append(PyBytes_AS_STRING(bytes.get()), (size_t)PyBytes_GET_SIZE(bytes.get()));
}

// ---------------------------------------------------------------- the writer

constexpr size_t no_hold = std::string::npos;
constexpr size_t chunk = 1 << 16;

struct Writer {
    State& st;
    PyObject *write, *scalar_fn, *place_fn;
    bool native = false;  // PyYAML is as the native scalar writer knows it
    std::string buf;
    size_t line_end = 0;       // end of the last complete line in buf
    size_t hold = no_hold;     // lines from here on may yet be dropped (see list_item)
    size_t prefix = 0;         // columns of the current line already written as "- " prefixes
    size_t lines = 0;
    bool write_failed = false;
    std::vector<std::pair<Ref, bool>> dict_like_types;

    Writer(State& s, PyObject* w, PyObject* sc, PyObject* pl) : st(s), write(w), scalar_fn(sc), place_fn(pl) {
        native = pyyaml_as_known();
    }

    // OrderedSafeDumper and yaml.dump are what the native writer reproduces.
    bool pyyaml_as_known() {
        PyObject* cls = st.dumper.get();
        Ref dump = optional_attr(st.yaml.get(), st.names[N_dump]);
        if (dump.get() != st.yaml_dump.get()) return false;
        Ref reps = attr(cls, st.names[N_yaml_representers]);
        if (!PyDict_Check(reps.get())) return false;
        bool same = true;
        for_items(st.representers.get(), st.names[N_items], [&](PyObject* type, PyObject* fn) {
            if (dict_get(reps.get(), type).get() != fn) same = false;
        });
        if (!same) return false;
        Ref resolvers = attr(cls, st.names[N_yaml_implicit_resolvers]);
        if (!check(PyObject_RichCompareBool(resolvers.get(), st.resolvers.get(), Py_EQ))) return false;
        Ref paths = attr(cls, st.names[N_yaml_path_resolvers]);
        if (truth(paths)) return false;
        PyObject* values = st.emitter_values.get();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
            PyObject* pair = PyTuple_GET_ITEM(values, i);
            Ref v = optional_attr(cls, PyTuple_GET_ITEM(pair, 0));
            if ((v ? v.get() : Py_None) != PyTuple_GET_ITEM(pair, 1)) return false;
        }
        return true;
    }

    // --- output

    void flush_to(size_t end) {
        if (!end) return;
        Ref text = own(PyUnicode_DecodeUTF8(buf.data(), (Py_ssize_t)end, "surrogatepass"));
        Ref result = Ref::steal(PyObject_CallOneArg(write, text.get()));
        if (!result) {
            write_failed = true;
            throw Error();
        }
        buf.erase(0, end);
        line_end -= end;
        if (hold != no_hold) hold -= end;
    }

    void end_line() {
        buf += '\n';
        line_end = buf.size();
        prefix = 0;
        ++lines;
        if (hold == no_hold && line_end >= chunk) flush_to(line_end);
    }

    // Start a line indented by `width` columns.
    void pad(size_t width) {
        if (width > prefix) buf.append(width - prefix, ' ');
        prefix = 0;
    }

    // --- kinds of objects

    bool is_mapping(PyObject* o) {
        if (PyDict_Check(o)) return true;  // dict is a registered Mapping, for good
        if (PyList_Check(o) || PyUnicode_Check(o) || PyLong_Check(o) || PyFloat_Check(o) || o == Py_None) return false;
        return check(PyObject_IsInstance(o, st.Mapping.get()));
    }

    // A dict, or a subclass of it that keeps dict's lookups and iteration.
    bool dict_like(PyObject* o) {
        if (PyDict_CheckExact(o)) return true;
        if (!PyDict_Check(o)) return false;
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
        for (auto& [t, ok] : dict_like_types)
            if (t.get() == type) return ok;
        bool ok = true;
        for_items(st.dict_methods.get(), st.names[N_items], [&](PyObject* name, PyObject* method) {
            Ref found = optional_attr(type, name);
            if (found.get() != method) ok = false;
        });
        dict_like_types.emplace_back(Ref::borrow(type), ok);
        return ok;
    }

    // d[key] for a dict_like `d`: empty when the key is missing or unhashable.
    static Ref dict_item(PyObject* d, PyObject* key) {
        try {
            return dict_get(d, key);
        } catch (const Error&) {
            if (!clear_if(PyExc_TypeError)) throw;
            return {};
        }
    }

    // mapping.get(key), an unhashable key being absent.
    Ref get(PyObject* mapping, PyObject* key) {
        if (dict_like(mapping)) {
            Ref v = dict_item(mapping, key);
            return v ? v : Ref::borrow(Py_None);
        } else {
            PyObject* args[] = {mapping, key};
            if (PyObject* v = PyObject_VectorcallMethod(st.names[N_get], args, 2, nullptr)) return Ref::steal(v);
        }
        if (!clear_if(PyExc_TypeError)) throw Error();
        return Ref::borrow(Py_None);
    }

    // for key, value in mapping.items(): body(key, value); stops when body returns false.
    template <class F>
    void items(PyObject* mapping, F&& body) {
        if (dict_like(mapping)) {
            Ref keep = Ref::borrow(mapping);
            Py_ssize_t pos = 0, size = PyDict_GET_SIZE(mapping);
            PyObject *k, *v;
            while (PyDict_Next(mapping, &pos, &k, &v)) {
                Ref key = Ref::borrow(k), value = Ref::borrow(v);
                if (!body(key.get(), value.get())) return;
                if (PyDict_GET_SIZE(mapping) != size)
                    raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
            return;
        }
        Ref pairs = call_method(st.names[N_items], {mapping});
        Ref it = own(PyObject_GetIter(pairs.get()));
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            auto [key, value] = unpack<2>(pair.get());
            if (!body(key.get(), value.get())) return;
        }
        if (PyErr_Occurred()) throw Error();
    }

    // `s` is a str (of any kind) containing `part`.
    bool contains(PyObject* s, PyObject* part) {
        if (PyUnicode_CheckExact(s)) return check(PyUnicode_Contains(s, part));
        return check(PySequence_Contains(s, part));
    }

    // --- location records

    struct Record {
        Ref obj, line, column, file;
    };

    // The record's line, column and file, when it has all three (a location).
    bool as_record(PyObject* o, Record& r) {
        if (PyDict_CheckExact(o) || PyList_CheckExact(o) || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) ||
            PyFloat_CheckExact(o) || PyTuple_CheckExact(o) || PyBool_Check(o) || o == Py_None)
            return false;
        r.line = optional_attr(o, st.names[N_line]);
        if (!r.line) return false;
        r.column = optional_attr(o, st.names[N_column]);
        if (!r.column) return false;
        r.file = optional_attr(o, st.names[N_file]);
        if (!r.file) return false;
        r.obj = Ref::borrow(o);
        return true;
    }

    // The location entry under `key`, looking into included files' trees as
    // markup.locate does at each step, or none.
    Ref child(PyObject* node, PyObject* key) {
        RecursionGuard guard(" while looking up a location");
        if (!node || !is_mapping(node)) return {};
        Ref found = direct_child(node, key);
        if (found) return found;
        Ref result;
        items(node, [&](PyObject* entry_key, PyObject* entry) {
            if (!include_entry(entry_key, entry)) return true;
            result = child(entry, key);
            return !result;
        });
        return result;
    }

    // node[key] if key in node; none for None, an absent or unhashable key.
    Ref direct_child(PyObject* node, PyObject* key) {
        Ref found;
        if (dict_like(node)) {
            found = dict_item(node, key);
        } else {
            int in = PySequence_Contains(node, key);
            if (in > 0) found = Ref::steal(PyObject_GetItem(node, key));
            if (in < 0 || !found) {
                if (!clear_if(PyExc_TypeError)) throw Error();
                found.reset();
            }
        }
        if (found.get() == Py_None) found.reset();
        return found;
    }

    // An included file's tree: a "%INCLUDE{...}" key over a mapping that is
    // not itself a location.
    bool include_entry(PyObject* key, PyObject* entry) {
        if (!PyUnicode_Check(key) || !contains(key, st.s_include.get()) || !is_mapping(entry)) return false;
        Record r;
        return !as_record(entry, r);
    }

    // Children of one location node, with the included trees it holds found
    // once (on the first key missing from the node itself).
    struct Node {
        PyObject* node;
        bool scanned = false;
        std::vector<Ref> includes;
    };

    Ref child(Node& n, PyObject* key) {
        if (!n.node || !is_mapping(n.node)) return {};
        Ref found = direct_child(n.node, key);
        if (found) return found;
        if (!n.scanned) {
            items(n.node, [&](PyObject* k, PyObject* v) {
                if (include_entry(k, v)) n.includes.push_back(Ref::borrow(v));
                return true;
            });
            n.scanned = true;
        }
        for (auto& inc : n.includes)
            if (Ref f = child(inc.get(), key)) return f;
        return {};
    }

    // "  # file:line:column[ from MARKUP]" for `value`, whose location entry is
    // `node` (cli.locate, then the comment's format).
    void comment(PyObject* node, PyObject* value) {
        if (!node) return;
        Record record;
        Ref markup;
        bool found = false;
        if (is_mapping(node) && !is_mapping(value) && !PyList_Check(value)) {
            Ref mine = get(node, value);
            if (as_record(mine.get(), record)) {
                found = true;
            } else {
                int count = 0;
                Ref key;
                Record only;
                items(node, [&](PyObject* k, PyObject* v) {
                    Record r;
                    if (!as_record(v, r)) return true;
                    if (++count == 1) {
                        key = Ref::borrow(k);
                        only = std::move(r);
                    }
                    return count < 2;
                });
                if (count == 1 && PyUnicode_Check(key.get()) && contains(key.get(), st.s_percent.get())) {
                    record = std::move(only);
                    markup = std::move(key);
                    found = true;
                }
            }
        }
        if (!found && !as_record(node, record)) return;
        size_t mark = buf.size();
        buf += "  # ";
        if (!place(record)) {
            buf.resize(mark);
            return;
        }
        if (markup) {
            if (check(PyObject_RichCompareBool(markup.get(), value, Py_NE))) {
                buf += " from ";
                Ref text = PyUnicode_CheckExact(markup.get()) ? markup : own(PyObject_Format(markup.get(), nullptr));
                put_str(buf, text.get());
            }
        }
    }

    // cli._place: "file:line:column" (1-based), or false for no place.
    bool place(const Record& r) {
        long long line, column;
        int overflow = 0;
        if (PyLong_CheckExact(r.line.get()) && PyLong_CheckExact(r.column.get()) &&
            PyUnicode_CheckExact(r.file.get()) &&
            (line = PyLong_AsLongLongAndOverflow(r.line.get(), &overflow), !overflow) &&
            (column = PyLong_AsLongLongAndOverflow(r.column.get(), &overflow), !overflow) && line < LLONG_MAX &&
            column < LLONG_MAX) {
            if (line < 0) return false;
            if (PyUnicode_GET_LENGTH(r.file.get()))
                put_str(buf, r.file.get());
            else
                buf += "<string>";
            put_number(line + 1);
            put_number(column + 1);
            return true;
        }
        if (PyErr_Occurred()) throw Error();
        Ref where = own(PyObject_CallOneArg(place_fn, r.obj.get()));
        if (where.get() == Py_None) return false;
        if (!PyUnicode_Check(where.get()))
            raise(PyExc_TypeError, "place() returned %.100s, not str", Py_TYPE(where.get())->tp_name);
        put_str(buf, where.get());
        return true;
    }

    void put_number(long long v) {
        char text[24];
        auto end = std::to_chars(text, text + sizeof text, v).ptr;
        buf += ':';
        buf.append(text, end);
    }

    // --- scalars

    // The text of a scalar, natively when it can be, else by `scalar`.
    void scalar(PyObject* v) {
        if (native && native_scalar(v)) return;
        Ref text = own(PyObject_CallOneArg(scalar_fn, v));
        if (!PyUnicode_Check(text.get()))
            raise(PyExc_TypeError, "scalar() returned %.100s, not str", Py_TYPE(text.get())->tp_name);
        put_str(buf, text.get());
    }

    bool native_scalar(PyObject* v) {
        if (PyUnicode_CheckExact(v)) return str_scalar(v, false);
        if (PyBool_Check(v)) {
            buf += v == Py_True ? "true" : "false";
            return true;
        }
        if (v == Py_None) {
            buf += "null";
            return true;
        }
        if (PyLong_CheckExact(v)) {
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) return false;
            if (n == -1 && PyErr_Occurred()) throw Error();
            char text[24];
            buf.append(text, std::to_chars(text, text + sizeof text, n).ptr);
            return true;
        }
        if (PyFloat_CheckExact(v)) {
            float_scalar(PyFloat_AS_DOUBLE(v));
            return true;
        }
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
        if (type == st.date_type.get() || type == st.datetime_type.get()) {
            Ref text = type == st.date_type.get() ? call_method(st.names[N_isoformat], {v})
                                                  : call_method(st.names[N_isoformat], {v, st.s_space.get()});
            return PyUnicode_CheckExact(text.get()) && str_scalar(text.get(), true);
        }
        if ((PyDict_CheckExact(v) || type == st.OrderedDict.get()) && PyDict_GET_SIZE(v) == 0) {
            buf += "{}";
            return true;
        }
        if (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) {
            buf += "[]";
            return true;
        }
        return false;
    }

    // SafeRepresenter.represent_float's text: always a plain float.
    void float_scalar(double d) {
        if (std::isnan(d)) {
            buf += ".nan";
            return;
        }
        if (std::isinf(d)) {
            buf += d > 0 ? ".inf" : "-.inf";
            return;
        }
        char* text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) throw Error();
        std::string s(text);
        PyMem_Free(text);
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (s.find('.') == std::string::npos) {
            if (auto e = s.find('e'); e != std::string::npos) s.insert(e, ".0");
        }
        buf += s;
    }

    // A str (or, with `timestamp`, a date's text, which must stay plain).
    bool str_scalar(PyObject* s, bool timestamp) {
        Text t(s);
        Resolved resolved = Resolved::Str;
        if (PyUnicode_IS_ASCII(s)) {
            std::string_view ascii(static_cast<const char*>(t.data), (size_t)t.n);
            bool one_line = ascii.find('\n') == std::string_view::npos;
            resolved = one_line ? resolve(ascii) : Resolved::Other;
        }
        Analysis a = analyze(t);
        bool implicit = resolved == (timestamp ? Resolved::Timestamp : Resolved::Str);
        if (implicit && a.allow_block_plain && t.n) {
            put_str(buf, s);
            return true;
        }
        if (timestamp) return false;  // a tagged scalar: left to PyYAML
        bool newline = false;
        for (Py_ssize_t i = 0; i < t.n && !newline; ++i) newline = t[i] == '\n';
        if (a.allow_single_quoted && !newline)
            single_quoted(buf, t);
        else
            double_quoted(buf, t);
        return true;
    }

    // --- the tree

    bool nonempty_container(PyObject* v) {
        if (PyList_Check(v) || is_mapping(v)) return truth(v);
        return false;
    }

    void lines_of(PyObject* node, PyObject* loc, size_t indent) {
        RecursionGuard guard(" while writing YAML");
        Node here{loc};
        if (is_mapping(node)) {
            items(node, [&](PyObject* key, PyObject* value) {
                pad(indent);
                scalar(key);
                bool container = nonempty_container(value);
                buf += container ? ":" : ": ";
                if (!container) scalar(value);
                Ref sub = child(here, key);
                comment(sub.get(), value);
                end_line();
                if (container) lines_of(value, sub.get(), indent + 2);
                return true;
            });
            return;
        }
        Py_ssize_t position = 0;
        for_each(node, [&](PyObject* value) {
            Ref index = own(PyLong_FromSsize_t(position++));
            if (nonempty_container(value)) {
                list_item(value, child(here, index.get()).get(), indent);
            } else {
                pad(indent);
                buf += "- ";
                scalar(value);
                comment(child(here, index.get()).get(), value);
                end_line();
            }
        });
    }

    // A container in a list: its lines, the first one starting with "- ".
    // They are all made before any is written, so that a failure among them
    // leaves none of them written.
    void list_item(PyObject* value, PyObject* loc, size_t indent) {
        bool outermost = hold == no_hold;  // then the line is a fresh one
        if (outermost) hold = line_end;
        pad(indent);
        buf += "- ";
        prefix = indent + 2;
        size_t before = lines;
        lines_of(value, loc, indent + 2);
        if (lines == before) raise(PyExc_IndexError, "list index out of range");
        if (outermost) {
            hold = no_hold;
            if (line_end >= chunk) flush_to(line_end);
        }
    }

    void run(PyObject* data, PyObject* locations) {
        try {
            if (nonempty_container(data)) {
                lines_of(data, locations, 0);
            } else {
                scalar(data);
                comment(locations, data);
                end_line();
            }
            flush_to(buf.size());
        } catch (...) {
            // What was made before the failure is written, as the lines
            // written one by one would be.
            set_error_from_current_exception();
            if (write_failed) throw Error();
            ErrorStash stash;
            size_t safe = hold == no_hold ? line_end : std::min(hold, line_end);
            boundary<int>(0, [&] {
                flush_to(safe);
                return 0;
            });
            PyErr_Clear();
            throw Error();
        }
    }
};

Ref dump_with_locations(const Call& c, PyObject* data, PyObject* locations, PyObject* write, PyObject* scalar,
                        PyObject* place) {
    Writer w(c.state<State>(), write, scalar, place);
    w.run(data, locations);
    return Ref::borrow(Py_None);
}

const FuncDef dump_with_locations_def{
    "_dump_with_locations",
    "(data, locations, write, scalar, place)",
    "Write `data` as block YAML through `write`, each value followed by\n"
    "\"  # file:line:column\" (\" from MARKUP\" when it was written as markup),\n"
    "its location found in `locations`. Scalars are written as PyYAML writes them\n"
    "alone on one line; `scalar(value)` gives the text of a value this writer does\n"
    "not know, `place(record)` the \"file:line:column\" text of an unusual\n"
    "location record (or None).",
    params<dump_with_locations>,
};

// ---------------------------------------------------------------- libyaml

// Whether libyaml's emitter writes `data` in block style exactly as
// PyYAML's own does. They differ (as a comparison of the two on generated
// trees shows) on a root scalar, in the folding of long double-quoted
// scalars, in non-BMP characters, on keys that are empty, long (PyYAML counts
// characters and the tag, libyaml bytes) or aliases, and in corners of line
// breaks and control characters. So a tree fits when its containers are
// dicts, OrderedDicts and lists, its keys short one-line texts, ints, floats,
// booleans or None, and its texts made of printable characters of the Basic
// Multilingual Plane.
struct Fits {
    State& st;
    std::vector<PyObject*> path;  // the containers being walked (a cycle does not fit)

    // A key is simple for both when PyYAML counts its characters and tag
    // ("!!str") below 128 and libyaml its bytes (without the tag) to 128.
    static bool printable(PyObject* s, bool key) {
        if (key && (PyUnicode_GET_LENGTH(s) == 0 || PyUnicode_GET_LENGTH(s) > 122)) return false;
        if (PyUnicode_IS_ASCII(s)) {
            const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(s));
            for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i)
                if (p[i] < 0x20 || p[i] > 0x7E) return false;
            return true;
        }
        Text t(s);
        size_t bytes = 0;
        for (Py_ssize_t i = 0; i < t.n; ++i) {
            Py_UCS4 ch = t[i];
            if (ch >= 0x20 && ch <= 0x7E) {
                ++bytes;
                continue;
            }
            if (!((ch >= 0xA0 && ch <= 0xD7FF) || (ch >= 0xE000 && ch <= 0xFFFD)) || ch == 0xFEFF) return false;
            bytes += ch < 0x800 ? 2 : 3;
        }
        return !key || bytes <= 128;
    }

    bool scalar(PyObject* v, bool key) {
        if (PyUnicode_CheckExact(v)) return printable(v, key);
        if (PyBool_Check(v) || v == Py_None || PyFloat_CheckExact(v)) return true;
        if (PyLong_CheckExact(v)) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(v, &overflow);
            return !overflow;
        }
        if (key) return false;  // a date may be an alias
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
        if (type == st.date_type.get()) return true;
        if (type == st.datetime_type.get()) {
            Ref tz = optional_attr(v, st.names[N_tzinfo]);
            return tz.get() == Py_None;
        }
        return false;
    }

    bool node(PyObject* v) {
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
        bool mapping = PyDict_CheckExact(v) || type == st.OrderedDict.get();
        if (!mapping && !PyList_CheckExact(v)) return scalar(v, false);
        if (std::find(path.begin(), path.end(), v) != path.end()) return false;
        RecursionGuard guard(" while checking a tree for libyaml");
        path.push_back(v);
        bool ok = true;
        // Only types are looked at (and a datetime's tzinfo), so nothing can
        // change the containers while they are walked; each item is held.
        Ref keep = Ref::borrow(v);
        if (mapping) {
            Py_ssize_t pos = 0;
            PyObject *k, *item;
            while (ok && PyDict_Next(v, &pos, &k, &item)) {
                Ref key = Ref::borrow(k), value = Ref::borrow(item);
                ok = scalar(key.get(), true) && node(value.get());
            }
        } else {
            for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(v); ++i) {
                Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
                ok = node(item.get());
            }
        }
        path.pop_back();
        return ok;
    }
};

Ref fits_libyaml(const Call& c) {
    State& st = c.state<State>();
    PyObject* data = c[0];
    if (!st.cdumper) return Ref::borrow(Py_False);
    // The two classes still represent as they did at import, and resolve alike.
    PyObject* snapshots[] = {st.representers_at_import.get(), st.crepresenters_at_import.get()};
    PyObject* classes[] = {st.dumper.get(), st.cdumper.get()};
    for (int i = 0; i < 2; ++i) {
        PyObject* names[] = {st.names[N_yaml_representers], st.names[N_yaml_multi_representers]};
        for (int j = 0; j < 2; ++j) {
            Ref now = attr(classes[i], names[j]);
            if (!check(PyObject_RichCompareBool(now.get(), PyTuple_GET_ITEM(snapshots[i], j), Py_EQ)))
                return Ref::borrow(Py_False);
        }
    }
    for (PyObject* name : {st.names[N_yaml_implicit_resolvers], st.names[N_yaml_path_resolvers]}) {
        Ref mine = attr(st.dumper.get(), name);
        Ref theirs = attr(st.cdumper.get(), name);
        if (!check(PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ))) return Ref::borrow(Py_False);
    }
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(data));
    bool container = PyDict_CheckExact(data) || type == st.OrderedDict.get() || PyList_CheckExact(data);
    if (!container || !truth(data)) return Ref::borrow(Py_False);
    Fits fits{st, {}};
    bool ok;
    try {
        ok = fits.node(data);
    } catch (const Error&) {
        if (!clear_if(PyExc_RecursionError)) throw;  // too deep to tell: PyYAML's own emitter decides
        ok = false;
    }
    return Ref::borrow(ok ? Py_True : Py_False);
}

const FuncDef fits_libyaml_def{
    "_fits_libyaml",
    "(data)",
    "True when _OrderedCSafeDumper writes `data` in block style exactly as\n"
    "OrderedSafeDumper does (a non-empty dict, OrderedDict or list of the plain\n"
    "types whose texts libyaml's emitter writes alike).",
    fits_libyaml,
};

// ---------------------------------------------------------------- module

Ref make_resolvers() {
    Ref compile = import_from("re", "compile");
    Ref verbose = import_from("re", "X");
    Ref table = own(PyDict_New());
    for (const auto& src : resolver_sources) {
        Ref pattern = own(PyUnicode_FromString(src.pattern));
        PyObject* args[] = {pattern.get(), verbose.get()};
        Ref compiled = own(PyObject_Vectorcall(compile.get(), args, src.verbose ? 2 : 1, nullptr));
        Ref entry = own(Py_BuildValue("(sO)", src.tag, compiled.get()));
        for (const char* first : src.firsts) {
            Ref key = own(PyUnicode_FromString(first));
            Ref list = dict_get(table.get(), key.get());
            if (!list) {
                list = own(PyList_New(0));
                check(PyDict_SetItem(table.get(), key.get(), list.get()));
            }
            check(PyList_Append(list.get(), entry.get()));
        }
    }
    return table;
}

// Copies of a dumper class's (yaml_representers, yaml_multi_representers).
Ref representers_of(State& st, PyObject* cls) {
    Ref single = attr(cls, st.names[N_yaml_representers]);
    Ref multi = attr(cls, st.names[N_yaml_multi_representers]);
    Ref single_copy = own(PyDict_Copy(single.get())), multi_copy = own(PyDict_Copy(multi.get()));
    return own(PyTuple_Pack(2, single_copy.get(), multi_copy.get()));
}

// A subclass `name` of `base` whose representer writes OrderedDicts in order.
Ref ordered_dumper(PyObject* module, const char* name, PyObject* base, const char* doc, PyObject* OrderedDict) {
    Ref bases = own(PyTuple_Pack(1, base));
    Ref cls = new_class(module, name, bases.get(), doc, {staticmethod(representer_def)});
    Ref representer = own(PyObject_GetAttrString(cls.get(), "ordereddict_representer"));
    own(PyObject_CallMethod(cls.get(), "add_representer", "OO", OrderedDict, representer.get()));
    return cls;
}

void exec(PyObject* module, State& st) {
    st.names.init();
    Ref yaml = import_module("yaml");
    Ref SafeDumper = import_from("yaml", "SafeDumper");
    add_object(module, "SafeDumper", SafeDumper);
    Ref OrderedDict = import_from("collections", "OrderedDict");
    add_object(module, "OrderedDict", OrderedDict);

    Ref cls = ordered_dumper(module, "OrderedSafeDumper", SafeDumper.get(), "Order safe dumper", OrderedDict.get());
    add_object(module, "OrderedSafeDumper", cls);

    // The same on libyaml's emitter, when PyYAML has it.
    Ref CSafeDumper = optional_attr(yaml.get(), own(PyUnicode_FromString("CSafeDumper")).get());
    if (CSafeDumper) {
        Ref ccls = ordered_dumper(module, "_OrderedCSafeDumper", CSafeDumper.get(),
                                  "OrderedSafeDumper on libyaml's emitter", OrderedDict.get());
        add_object(module, "_OrderedCSafeDumper", ccls);
        st.cdumper = ccls;
        st.representers_at_import = representers_of(st, cls.get());
        st.crepresenters_at_import = representers_of(st, ccls.get());
    } else {
        add_object(module, "_OrderedCSafeDumper", Ref::borrow(Py_None));
    }

    // What the native writer stands in for, as it is now.
    st.dumper = cls;
    st.yaml = yaml;
    st.yaml_dump = attr(yaml.get(), st.names[N_dump]);
    st.OrderedDict = OrderedDict;
    st.date_type = import_from("datetime", "date");
    st.datetime_type = import_from("datetime", "datetime");
    Ref reps = attr(cls.get(), st.names[N_yaml_representers]);
    st.representers = own(PyDict_New());
    PyObject* types[] = {(PyObject*)&PyUnicode_Type,  (PyObject*)&PyLong_Type,  (PyObject*)&PyBool_Type,
                         (PyObject*)Py_TYPE(Py_None), (PyObject*)&PyFloat_Type, (PyObject*)&PyDict_Type,
                         (PyObject*)&PyList_Type,     OrderedDict.get(),        st.date_type.get(),
                         st.datetime_type.get()};
    for (PyObject* type : types) {
        Ref fn = dict_get(reps.get(), type);
        if (!fn)
            raise(PyExc_ImportError, "yaml.SafeDumper has no representer for %.100s", ((PyTypeObject*)type)->tp_name);
        check(PyDict_SetItem(st.representers.get(), type, fn.get()));
    }
    st.resolvers = make_resolvers();
    Ref values = own(PyTuple_New((Py_ssize_t)std::size(emitter_names)));
    for (size_t i = 0; i < std::size(emitter_names); ++i) {
        Ref name = intern(emitter_names[i]);
        Ref value = optional_attr(cls.get(), name.get());
        PyTuple_SET_ITEM(values.get(), (Py_ssize_t)i,
                         own(PyTuple_Pack(2, name.get(), value ? value.get() : Py_None)).release());
    }
    st.emitter_values = values;
    st.Mapping = import_from("collections.abc", "Mapping");
    st.dict_methods = own(PyDict_New());
    for (const char* name : {"get", "__getitem__", "__contains__", "items", "__iter__", "__len__"}) {
        Ref n = intern(name);
        check(PyDict_SetItem(st.dict_methods.get(), n.get(), attr((PyObject*)&PyDict_Type, n.get()).get()));
    }
    st.s_space = own(PyUnicode_FromString(" "));
    st.s_percent = own(PyUnicode_FromString("%"));
    st.s_include = own(PyUnicode_FromString("%INCLUDE{"));
    add_functions(module, {&dump_with_locations_def, &fits_libyaml_def});
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
