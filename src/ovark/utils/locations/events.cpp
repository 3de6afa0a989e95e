// The event path of LocSafeLoader: libyaml's parser driven here, its events
// composed into compact C++ nodes, resolved and constructed as SafeLoader would,
// with the location records of the PyYAML path, and no PyYAML node or mark
// object made.
//
// It stands in for the libyaml node path exactly where that path would have
// composed: the loader made a node source over text that both parsers read
// alike (see libyaml_text), the class constructs and resolves as SafeLoader
// (Ctx::judge, default_resolver), and nobody read from the source yet. The
// marks are libyaml's, so they are those of the nodes the node path would have
// made, and construction follows the node path step for step: breadth first
// (a container is filled after every container met before it), each node
// keeping its own Location and parent container, merge keys flattened when
// their mapping is filled, aliases constructing their node once.
//
// Timestamps are made by SafeConstructor's own construct_yaml_timestamp (on a
// ScalarNode of their own), while the loader's table holds it.
//
// Anything else throws Unsupported, and the whole load is done by the PyYAML
// path from the start, with nothing of the attempt left: a libyaml error, a tag
// beyond str/null/bool/int/float/timestamp/map/seq/merge/value, an empty
// plain scalar where libyaml marks it elsewhere (flow collections, the root),
// an undefined, duplicate or recursive anchor, a collection as a key, nesting
// beyond kMaxDepth, a text an explicit tag cannot take, a merge that PyYAML
// refuses (or any merge, under a PyYAML that merges in a way not known here:
// see ev_merge_model), a second document for get_single_data. So errors are
// always PyYAML's own, raised by the path that raises them today.
#include "state.hpp"
#include "scalars.hpp"

#ifdef OVK_HAVE_LIBYAML

#include <yaml.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace locations {
namespace {

struct Unsupported {};

enum EvKind : uint8_t { E_SCALAR, E_SEQUENCE, E_MAPPING };
enum EvTag : uint8_t { E_STR, E_NULL, E_BOOL, E_INT, E_FLOAT, E_TIMESTAMP, E_MAP, E_SEQ, E_MERGE, E_VALUE };

constexpr size_t kMaxDepth = 1000;

// One node. A scalar's value is made as it is composed (constructing it later
// gives the same object: its text, None, a bool or a number); a collection's
// when first constructed. `location` and `parent` are the node path's
// `_location` and `_parent`.
struct EvNode {
    Ref value, location, parent;
    Ref text;  // a key scalar's text, when its value is not that text (see EvBuilder::text_of)
    uint32_t first = 0, count = 0;  // children: links[first, first + count), a mapping's as key, value
    int32_t line = 0, column = 0;
    EvKind kind = E_SCALAR;
    EvTag tag = E_STR;
    bool open = false;  // being composed: an alias to it would make a recursive node
};

// Nodes in blocks that stay where they are.
class EvArena {
public:
    EvNode* make() {
        if (used_ == kBlock) {
            blocks_.push_back(std::make_unique<EvNode[]>(kBlock));
            used_ = 0;
        }
        return &blocks_.back()[used_++];
    }

private:
    static constexpr size_t kBlock = 4096;
    std::vector<std::unique_ptr<EvNode[]>> blocks_;
    size_t used_ = kBlock;
};

struct EvDocument {
    EvArena nodes;
    std::vector<EvNode*> links;
    EvNode* root = nullptr;
};

class EvParser {
public:
    // As PyYAML's CParser: a text goes in as UTF-8, with the encoding left to
    // libyaml's detection (which takes a byte-order mark out of the marks).
    EvParser(const unsigned char* text, size_t size) {
        if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
        yaml_parser_set_input_string(&parser_, text, size);
    }
    ~EvParser() {
        drop();
        yaml_parser_delete(&parser_);
    }
    EvParser(const EvParser&) = delete;
    EvParser& operator=(const EvParser&) = delete;

    const yaml_event_t& next() {
        drop();
        if (!yaml_parser_parse(&parser_, &event_)) throw Unsupported{};
        held_ = true;
        return event_;
    }

private:
    void drop() noexcept {
        if (held_) yaml_event_delete(&event_);
        held_ = false;
    }
    yaml_parser_t parser_;
    yaml_event_t event_;
    bool held_ = false;
};

// ---------------------------------------------------------------- resolving and scalars

// The implicit tag of a plain scalar, as resolve_plain decides it.
EvTag ev_classify(State& st, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return E_STR;
    if (n == 0) return E_NULL;
    char c = s[0];
    switch (c) {
        case 'y':
        case 'Y':
        case 't':
        case 'T':
        case 'f':
        case 'F':
        case 'o':
        case 'O': return re_full(s, n, bool_full) ? E_BOOL : E_STR;
        case 'n':
        case 'N':
            if (re_full(s, n, bool_full)) return E_BOOL;
            return re_full(s, n, null_full) ? E_NULL : E_STR;
        case '~': return re_full(s, n, null_full) ? E_NULL : E_STR;
        case '<': return std::string_view(s, n) == "<<" ? E_MERGE : E_STR;
        case '=': return std::string_view(s, n) == "=" ? E_VALUE : E_STR;
        case '!':
        case '&':
        case '*':
            if (n == 1) throw Unsupported{};  // tag:yaml.org,2002:yaml, which SafeLoader refuses
            return E_STR;
        case '.': return re_full(s, n, float_full) ? E_FLOAT : E_STR;
        default: break;
    }
    if (!sign(c) && !digit(c)) return E_STR;
    if (re_full(s, n, float_full)) return E_FLOAT;
    if (re_full(s, n, int_full)) return E_INT;
    if (!digit(c) || n < 8 || s[4] != '-') return E_STR;
    Ref text = own(PyUnicode_DecodeUTF8(s, (Py_ssize_t)n, "strict"));
    Ref match = call_method(st.names[N_match], {st.timestamp_regexp.get(), text.get()});
    return match.get() != Py_None ? E_TIMESTAMP : E_STR;
}

// An explicit tag: the standard ones the event path constructs, for the kind they fit.
EvTag ev_explicit_tag(const char* tag, EvKind kind) {
    constexpr std::string_view prefix = "tag:yaml.org,2002:";
    std::string_view t(tag);
    if (t.substr(0, prefix.size()) != prefix) throw Unsupported{};
    t.remove_prefix(prefix.size());
    if (kind == E_SEQUENCE) {
        if (t == "seq") return E_SEQ;
    } else if (kind == E_MAPPING) {
        if (t == "map") return E_MAP;
    } else {
        static constexpr std::pair<std::string_view, EvTag> scalars[] = {
            {"str", E_STR},     {"null", E_NULL},           {"bool", E_BOOL},   {"int", E_INT},
            {"float", E_FLOAT}, {"timestamp", E_TIMESTAMP}, {"merge", E_MERGE}, {"value", E_VALUE},
        };
        for (auto [name, code] : scalars)
            if (t == name) return code;
    }
    throw Unsupported{};
}

// text.replace('_', ''), then the sign split off: -1, 0 (none) or +1.
int ev_digits(const char* s, size_t n, std::string& out) {
    out.clear();
    for (size_t i = 0; i < n; ++i)
        if (s[i] != '_') out.push_back(s[i]);
    if (out.empty()) throw Unsupported{};
    int sign_ = 0;
    if (out[0] == '-' || out[0] == '+') {
        sign_ = out[0] == '-' ? -1 : 1;
        out.erase(0, 1);
    }
    return sign_;
}

Ref ev_long(const std::string& digits, int base) {
    if (digits.empty()) throw Unsupported{};
    char* end = nullptr;
    Ref v = Ref::steal(PyLong_FromString(digits.c_str(), &end, base));
    if (!v || end != digits.c_str() + digits.size()) throw Unsupported{};
    return v;
}

// SafeConstructor.construct_yaml_int.
Ref ev_int(const char* s, size_t n) {
    std::string v;
    int sign_ = ev_digits(s, n, v);
    if (v.empty()) throw Unsupported{};
    Ref value;
    if (v == "0") return own(PyLong_FromLong(0));
    if (v.size() <= 18 && std::all_of(v.begin(), v.end(), [](char ch) { return digit(ch); }) && v[0] != '0') {
        long long x = 0;
        for (char ch : v) x = x * 10 + (ch - '0');
        return own(PyLong_FromLongLong(sign_ < 0 ? -x : x));
    }
    if (v.compare(0, 2, "0b") == 0) {
        value = ev_long(v.substr(2), 2);
    } else if (v.compare(0, 2, "0x") == 0) {
        value = ev_long(v.substr(2), 16);
    } else if (v[0] == '0') {
        value = ev_long(v, 8);
    } else if (v.find(':') != std::string::npos) {
        value = own(PyLong_FromLong(0));
        Ref sixty = own(PyLong_FromLong(60));
        size_t from = 0;
        for (;;) {
            size_t to = v.find(':', from);
            Ref part = ev_long(v.substr(from, to == std::string::npos ? std::string::npos : to - from), 10);
            value = own(PyNumber_Add(own(PyNumber_Multiply(value.get(), sixty.get())).get(), part.get()));
            if (to == std::string::npos) break;
            from = to + 1;
        }
    } else {
        value = ev_long(v, 10);
    }
    return sign_ < 0 ? own(PyNumber_Negative(value.get())) : value;
}

// SafeConstructor.construct_yaml_float, sexagesimals left to the PyYAML path.
Ref ev_float(State& st, const char* s, size_t n) {
    std::string v;
    int sign_ = ev_digits(s, n, v);
    for (char& ch : v) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    if (v == ".inf") return own(PyFloat_FromDouble(sign_ < 0 ? -Py_HUGE_VAL : Py_HUGE_VAL));
    if (v == ".nan") return st.nan_value;
    if (v.empty() || v.find(':') != std::string::npos) throw Unsupported{};
    char* end = nullptr;
    double x = PyOS_string_to_double(v.c_str(), &end, nullptr);
    if (x == -1.0 && PyErr_Occurred()) throw Error();
    if (end != v.c_str() + v.size()) throw Unsupported{};
    return own(PyFloat_FromDouble(sign_ < 0 ? -x : x));
}

// SafeConstructor.construct_yaml_bool.
Ref ev_bool(const char* s, size_t n) {
    if (n > 5) throw Unsupported{};
    char low[6] = {};
    for (size_t i = 0; i < n; ++i) low[i] = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
    std::string_view w(low, n);
    if (w == "yes" || w == "true" || w == "on") return Ref::borrow(Py_True);
    if (w == "no" || w == "false" || w == "off") return Ref::borrow(Py_False);
    throw Unsupported{};
}

// The constructed value of a scalar with tag `tag`. An explicit tag may carry
// any text: the event path takes only the texts its implicit pattern matches.
// A timestamp: the loader's construct_yaml_timestamp, when it is SafeConstructor's.
Ref ev_scalar(State& st, PyObject* loader, bool timestamps, EvTag tag, const char* s, size_t n, bool explicit_tag) {
    switch (tag) {
        case E_TIMESTAMP: {
            if (!timestamps) throw Unsupported{};
            Ref text = own(PyUnicode_DecodeUTF8(s, (Py_ssize_t)n, "strict"));
            Ref node =
                own(PyObject_CallFunctionObjArgs(st.ScalarNode.get(), st.timestamp_tag.get(), text.get(), nullptr));
            return own(PyObject_CallFunctionObjArgs(st.timestamp_fn.get(), loader, node.get(), nullptr));
        }
        case E_NULL: return Ref::borrow(Py_None);
        case E_BOOL: return ev_bool(s, n);
        case E_INT:
            if (explicit_tag && !int_full(s, n)) throw Unsupported{};
            return ev_int(s, n);
        case E_FLOAT:
            if (explicit_tag && !float_full(s, n)) throw Unsupported{};
            return ev_float(st, s, n);
        default: return own(PyUnicode_DecodeUTF8(s, (Py_ssize_t)n, "strict"));
    }
}

// ---------------------------------------------------------------- composing

int32_t ev_mark(size_t v) {
    if (v >= static_cast<size_t>(INT_MAX - 1)) throw Unsupported{};
    return static_cast<int32_t>(v);
}

// Whether a scalar's value is the text object its node would hold (str, and
// the merge and value keys, whose text becomes a str).
inline bool text_kept(const EvNode* n) { return n->tag == E_STR || n->tag == E_MERGE || n->tag == E_VALUE; }

// Composes one document; its DOCUMENT-START event was read.
void ev_compose(State& st, PyObject* loader, bool timestamps, EvParser& parser, EvDocument& doc) {
    struct Frame {
        EvNode* node;
        size_t mark;
        bool flow;
    };
    std::vector<Frame> stack;
    std::vector<EvNode*> scratch;
    std::unordered_map<std::string, EvNode*> anchors;
    size_t flow = 0;
    const char* text = nullptr;  // the text of the scalar being placed (none for an alias)
    size_t text_size = 0;
    auto place = [&](EvNode* node) {
        if (stack.empty()) {
            if (doc.root) throw Unsupported{};
            doc.root = node;
            return;
        }
        const Frame& f = stack.back();
        bool key = f.node->kind == E_MAPPING && (scratch.size() - f.mark) % 2 == 0;
        if (key && node->kind != E_SCALAR) throw Unsupported{};  // unhashable: PyYAML's error
        if (key && !text_kept(node) && !node->text) {
            if (!text) throw Unsupported{};  // an alias, its text gone
            node->text = own(PyUnicode_DecodeUTF8(text, (Py_ssize_t)text_size, "strict"));
        }
        scratch.push_back(node);
    };
    auto make = [&](const yaml_event_t& e, EvKind kind, const yaml_char_t* anchor) -> EvNode* {
        EvNode* node = doc.nodes.make();
        node->kind = kind;
        node->line = ev_mark(e.start_mark.line);
        node->column = ev_mark(e.start_mark.column);
        if (anchor && !anchors.emplace(reinterpret_cast<const char*>(anchor), node).second) throw Unsupported{};
        return node;
    };
    for (;;) {
        const yaml_event_t& e = parser.next();
        switch (e.type) {
            case YAML_DOCUMENT_END_EVENT:
                if (!doc.root || !stack.empty()) throw Unsupported{};
                return;
            case YAML_ALIAS_EVENT: {
                auto it = anchors.find(reinterpret_cast<const char*>(e.data.alias.anchor));
                if (it == anchors.end() || it->second->open) throw Unsupported{};
                text = nullptr;
                place(it->second);
                break;
            }
            case YAML_SCALAR_EVENT: {
                const auto& d = e.data.scalar;
                const char* s = reinterpret_cast<const char*>(d.value);
                size_t n = d.length;
                // libyaml marks an implicit empty value at the next token there.
                if (n == 0 && e.start_mark.index == e.end_mark.index && (flow || stack.empty())) throw Unsupported{};
                EvNode* node = make(e, E_SCALAR, d.anchor);
                const char* tag = reinterpret_cast<const char*>(d.tag);
                if (tag)
                    node->tag = ev_explicit_tag(tag, E_SCALAR);
                else
                    node->tag = d.plain_implicit ? ev_classify(st, s, n) : E_STR;
                node->value = ev_scalar(st, loader, timestamps, node->tag, s, n, tag != nullptr);
                text = s;
                text_size = n;
                place(node);
                break;
            }
            case YAML_SEQUENCE_START_EVENT:
            case YAML_MAPPING_START_EVENT: {
                bool seq = e.type == YAML_SEQUENCE_START_EVENT;
                const yaml_char_t* anchor = seq ? e.data.sequence_start.anchor : e.data.mapping_start.anchor;
                const yaml_char_t* tag = seq ? e.data.sequence_start.tag : e.data.mapping_start.tag;
                bool is_flow = seq ? e.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE
                                   : e.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
                if (stack.size() >= kMaxDepth) throw Unsupported{};
                EvKind kind = seq ? E_SEQUENCE : E_MAPPING;
                EvNode* node = make(e, kind, anchor);
                node->tag = tag ? ev_explicit_tag(reinterpret_cast<const char*>(tag), kind) : (seq ? E_SEQ : E_MAP);
                node->open = true;
                text = nullptr;
                place(node);
                stack.push_back({node, scratch.size(), is_flow});
                flow += is_flow;
                break;
            }
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT: {
                if (stack.empty()) throw Unsupported{};
                Frame f = stack.back();
                stack.pop_back();
                flow -= f.flow;
                size_t count = scratch.size() - f.mark;
                if (doc.links.size() + count >= UINT32_MAX) throw Unsupported{};
                f.node->first = static_cast<uint32_t>(doc.links.size());
                f.node->count = static_cast<uint32_t>(count);
                doc.links.insert(doc.links.end(), scratch.begin() + (ptrdiff_t)f.mark, scratch.end());
                scratch.resize(f.mark);
                f.node->open = false;
                break;
            }
            default: throw Unsupported{};
        }
    }
}

// ---------------------------------------------------------------- constructing

// The node path's construct_document, construct and fill over compact nodes.
struct EvBuilder {
    State& st;
    EvDocument& doc;
    bool tracking;
    PyObject* file;
    std::vector<EvNode*> pending;  // containers waiting to be filled (state_generators)
    std::vector<Ref> hidden;       // containers kept from the collector until the document is done

    EvNode* link(uint32_t i) const { return doc.links[i]; }

    void hide_if_tracked(PyObject* container) {
        if (PyObject_GC_IsTracked(container)) {
            PyObject_GC_UnTrack(container);
            hidden.push_back(Ref::borrow(container));
        }
    }
    // parent[key] = record. Inserting a record tracks the parent: it is kept
    // hidden, and listed once, at its first entry.
    void record(PyObject* parent, PyObject* key, PyObject* value) {
        bool first = PyDict_GET_SIZE(parent) == 0;
        check(PyDict_SetItem(parent, key, value));
        if (PyObject_GC_IsTracked(parent)) {
            PyObject_GC_UnTrack(parent);
            if (first) hidden.push_back(Ref::borrow(parent));
        }
    }
    Ref location_of(const EvNode* n) { return make_location(st, file, n->line, n->column); }

    // A key node's text object, whose identity the deduplicating merge compares.
    PyObject* text_of(const EvNode* key) const { return text_kept(key) ? key->value.get() : key->text.get(); }

    // SafeConstructor.flatten_mapping, as the installed PyYAML does it (see
    // MergeModel).
    void flatten(EvNode* node) {
        RecursionGuard guard(" while flattening a YAML mapping");
        MergeModel model = st.merge_model;
        if (model == MERGE_UNKNOWN) throw Unsupported{};
        std::vector<EvNode*> pairs(doc.links.begin() + node->first, doc.links.begin() + node->first + node->count);
        std::vector<EvNode*> merge;
        std::unordered_set<PyObject*> seen;
        size_t index = 0;
        auto extend = [&](const EvNode* m) {
            for (uint32_t i = 0; i < m->count; i += 2) {
                EvNode *key = link(m->first + i), *value = link(m->first + i + 1);
                if (model == MERGE_FIRST_WINS && !seen.insert(text_of(key)).second) continue;
                merge.push_back(key);
                merge.push_back(value);
            }
        };
        while (2 * index < pairs.size()) {
            EvNode *key = pairs[2 * index], *value = pairs[2 * index + 1];
            if (key->tag == E_MERGE) {
                pairs.erase(pairs.begin() + (ptrdiff_t)(2 * index), pairs.begin() + (ptrdiff_t)(2 * index + 2));
                if (value->kind == E_MAPPING) {
                    flatten(value);
                    extend(value);
                } else if (value->kind == E_SEQUENCE) {
                    std::vector<EvNode*> submerge;
                    for (uint32_t i = 0; i < value->count; ++i) {
                        EvNode* sub = link(value->first + i);
                        if (sub->kind != E_MAPPING) throw Unsupported{};
                        flatten(sub);
                        submerge.push_back(sub);
                    }
                    if (model == MERGE_REVERSED) std::reverse(submerge.begin(), submerge.end());
                    for (EvNode* sub : submerge) extend(sub);
                } else {
                    throw Unsupported{};
                }
            } else {
                if (key->tag == E_VALUE) key->tag = E_STR;
                ++index;
            }
        }
        if (doc.links.size() + merge.size() + pairs.size() >= UINT32_MAX) throw Unsupported{};
        node->first = static_cast<uint32_t>(doc.links.size());
        node->count = static_cast<uint32_t>(merge.size() + pairs.size());
        doc.links.insert(doc.links.end(), merge.begin(), merge.end());
        doc.links.insert(doc.links.end(), pairs.begin(), pairs.end());
    }

    PyObject* construct_value(EvNode* n) {
        if (n->kind == E_SCALAR) {
            if (n->tag == E_MERGE || n->tag == E_VALUE) throw Unsupported{};  // no constructor: PyYAML's error
            return n->value.get();
        }
        if (!n->value) {
            if (n->kind == E_MAPPING) {
                n->value = own(PyDict_New());
            } else {
                n->value = own(PyList_New(0));
                PyObject_GC_UnTrack(n->value.get());
                hidden.push_back(n->value);
            }
            pending.push_back(n);
        }
        return n->value.get();
    }

    // construct_object with the location records (see construct in nodes.cpp).
    PyObject* construct(EvNode* n) {
        if (tracking) {
            if (n->kind == E_SCALAR) {
                if (!n->location) n->location = location_of(n);
            } else if (n->kind == E_MAPPING) {
                PyObject* parent = n->parent.get();
                for (uint32_t i = 0; i < n->count; i += 2) {
                    EvNode *key = link(n->first + i), *value = link(n->first + i + 1);
                    if (!key->location) key->location = location_of(key);
                    if (parent) key->parent = Ref::borrow(parent);
                    value->parent = key->location;
                }
            } else {
                Ref parent = n->parent;
                for (uint32_t i = 0; i < n->count; ++i) {
                    EvNode* item = link(n->first + i);
                    Ref loc = location_of(item);
                    if (parent) record(parent.get(), own(PyLong_FromUnsignedLong(i)).get(), loc.get());
                    item->parent = loc;
                }
            }
        }
        PyObject* value = construct_value(n);
        if (tracking && n->kind == E_SCALAR && n->parent) record(n->parent.get(), value, n->location.get());
        return value;
    }

    void fill(EvNode* n) {
        PyObject* data = n->value.get();
        if (n->kind == E_SEQUENCE) {
            for (uint32_t i = 0; i < n->count; ++i) check(PyList_Append(data, construct(link(n->first + i))));
            return;
        }
        for (uint32_t i = 0; i < n->count; i += 2) {
            EvTag t = link(n->first + i)->tag;
            if (t == E_MERGE || t == E_VALUE) {
                flatten(n);
                break;
            }
        }
        for (uint32_t i = 0; i < n->count; i += 2) {
            EvNode *key_node = link(n->first + i), *value_node = link(n->first + i + 1);
            Ref key = Ref::borrow(construct(key_node));
            Ref value = Ref::borrow(construct(value_node));
            check(PyDict_SetItem(data, key.get(), value.get()));
            if (PyObject_IS_GC(value.get())) hide_if_tracked(data);  // a container tracks it
        }
    }

    // construct_document: the root, then every waiting container, breadth first.
    Ref build(PyObject* root_container) {
        if (tracking) doc.root->parent = Ref::borrow(root_container);
        Ref data = Ref::borrow(construct(doc.root));
        while (!pending.empty()) {
            std::vector<EvNode*> batch;
            batch.swap(pending);
            for (EvNode* n : batch) fill(n);
        }
        return data;
    }

    void reveal() noexcept {
        for (Ref& r : hidden)
            if (!PyObject_GC_IsTracked(r.get())) PyObject_GC_Track(r.get());
        hidden.clear();
    }
};

// ---------------------------------------------------------------- the loader's side

// What a load on the event path needs: the text, and the verdicts.
struct EvInput {
    Ref src, text, locations, file;
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    bool timestamps = false;  // the loader's table holds SafeConstructor's timestamp constructor
};

// Whether the event path stands in for the node path of this loader now.
bool ev_applies(State& st, PyObject* module, PyObject* self, EvInput& in) {
    Ref enabled = Ref::steal(PyObject_GetAttr(module, st.names[N__fast_path]));
    if (!enabled) {
        PyErr_Clear();
        return false;
    }
    if (!truth(enabled)) return false;
    Ref inst = optional_attr(self, st.names[N___dict__]);
    if (!inst || !PyDict_CheckExact(inst.get())) return false;
    // The node source, untouched: made by __init__, still lent its methods.
    in.src = dict_get(inst.get(), st.names[N__node_source]);
    if (!in.src) return false;
    for (PyObject* name : {st.names[N_get_single_node], st.names[N_check_node], st.names[N_get_node]})
        if (!dict_get(inst.get(), name)) return false;
    if (documents_of(st, in.src.get()) != 0) return false;
    if (truth(attr(in.src.get(), st.names[N__single]))) return false;
    in.text = optional_attr(in.src.get(), st.names[N__text]);
    if (!in.text) return false;
    // Built and resolved as SafeLoader does.
    Ref mine = attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st.names[N_construct_document]);
    if (mine.get() != st.construct_document_fn.get()) return false;
    if (dict_get(inst.get(), st.names[N_construct_document])) return false;
    if (!constructs_natively(st, module, self)) return false;
    if (!default_resolver(st, self)) return false;
    Ref table = attr(self, st.names[N_yaml_constructors]);
    if (PyDict_Check(table.get()))
        in.timestamps = dict_get(table.get(), st.timestamp_tag.get()).get() == st.timestamp_fn.get();
    in.locations = attr(self, st.names[N__locations]);
    PyObject* locs = in.locations.get();
    if (locs != Py_None && !PyDict_CheckExact(locs) &&
        Py_TYPE(locs) != reinterpret_cast<PyTypeObject*>(st.location_type.get()))
        return false;
    in.file = attr(self, st.names[N__file]);
    if (PyUnicode_CheckExact(in.text.get())) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(in.text.get(), &n);
        if (!s) {
            if (!clear_if(PyExc_UnicodeEncodeError)) throw Error();
            return false;
        }
        in.bytes = reinterpret_cast<const unsigned char*>(s);
        in.size = static_cast<size_t>(n);
    } else if (PyBytes_CheckExact(in.text.get())) {
        in.bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(in.text.get()));
        in.size = static_cast<size_t>(PyBytes_GET_SIZE(in.text.get()));
    } else {
        return false;
    }
    return true;
}

// Constructs one composed document. Records for the caller's tree go to
// `root`, a tree of our own, first (see ev_deliver): a load that gives up
// leaves the caller's tree as it was.
Ref ev_build(State& st, const EvInput& in, EvDocument& doc, PyObject* root) {
    EvBuilder b{st, doc, root != nullptr, in.file.get(), {}, {}};
    Ref data = b.build(root);
    b.reveal();
    return data;
}

// Moves a document's records into the caller's tree, in their order, as the
// node path would have stored them while constructing.
void ev_deliver(PyObject* root, PyObject* locations) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(root, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);  // held across the insertion
        check(PyDict_SetItem(locations, key.get(), value.get()));
    }
}

void ev_reset_construction(State& st, PyObject* self) {
    set_attr(self, st.names[N_constructed_objects], new_dict().get());
    set_attr(self, st.names[N_recursive_objects], new_dict().get());
    set_attr(self, st.names[N_state_generators], own(PyList_New(0)).get());
    set_attr(self, st.names[N_deep_construct], Py_False);
}

void ev_drop_attr(State& st, PyObject* obj, PyObject* name) {
    Ref d = attr(obj, st.names[N___dict__]);
    if (check(PyDict_Contains(d.get(), name))) check(PyDict_DelItem(d.get(), name));
}

// The loader's state as the node path leaves it after `documents` documents
// read through get_single_data.
void ev_finish_single(State& st, PyObject* self, PyObject* src) {
    set_attr(src, st.names[N__single], Py_True);
    set_documents(st, src, 1);
    finish_node_source(st, self, src);
    ev_drop_attr(st, src, st.names[N__text]);
    ev_reset_construction(st, self);
}

// Runs `body` on the event path; false (nothing changed) when it gave up.
template <class F>
bool ev_attempt(F&& body) {
    try {
        body();
        return true;
    } catch (const Unsupported&) {
        return false;
    } catch (const Error&) {
        // An error of the document (a date out of range, say): the node path
        // raises it as PyYAML does. Memory and interrupts go to the caller.
        Ref e = take_error();
        if (!PyErr_GivenExceptionMatches(e.get(), PyExc_Exception) ||
            PyErr_GivenExceptionMatches(e.get(), PyExc_MemoryError))
            reraise(std::move(e));
        return false;
    }
}

void ev_count(State& st, PyObject* module) {
    Ref n = Ref::steal(PyObject_GetAttr(module, st.names[N__fast_loads]));
    if (!n) {
        PyErr_Clear();
        return;
    }
    Ref more = own(PyNumber_Add(n.get(), own(PyLong_FromLong(1)).get()));
    set_attr(module, st.names[N__fast_loads], more.get());
}

// check_data / get_data on the event path. The whole stream is read, composed
// and constructed at the first call, each document with its records in a tree
// of its own; get_data then hands the documents out one by one, moving their
// records into the caller's tree as the node path would while constructing
// that document. The source keeps them, last first, as `_ready`: a list of
// (data, records or None, caller's tree). An empty Ref: the node path reads
// the stream.
Ref ev_documents(State& st, PyObject* module, PyObject* self) {
    if (Ref src = optional_attr(self, st.names[N__node_source]))
        if (Ref ready = optional_attr(src.get(), st.names[N__ready])) return ready;
    EvInput in;
    if (!ev_applies(st, module, self, in)) {
        if (in.text) ev_drop_attr(st, in.src.get(), st.names[N__text]);  // the node path reads the stream
        return Ref();
    }
    Ref docs = own(PyList_New(0));
    bool done = ev_attempt([&] {
        EvParser parser(in.bytes, in.size);
        if (parser.next().type != YAML_STREAM_START_EVENT) throw Unsupported{};
        for (;;) {
            const yaml_event_t& e = parser.next();
            if (e.type == YAML_STREAM_END_EVENT) break;
            if (e.type != YAML_DOCUMENT_START_EVENT) throw Unsupported{};
            EvDocument doc;
            ev_compose(st, self, in.timestamps, parser, doc);
            Ref root = in.locations.get() != Py_None ? new_dict() : Ref::borrow(Py_None);
            Ref data = ev_build(st, in, doc, root.get() == Py_None ? nullptr : root.get());
            check(PyList_Append(docs.get(), own(PyTuple_Pack(3, data.get(), root.get(), in.locations.get())).get()));
        }
    });
    if (!done) {
        ev_drop_attr(st, in.src.get(), st.names[N__text]);  // the node path reads the stream
        return Ref();
    }
    check(PyList_Reverse(docs.get()));
    set_attr(in.src.get(), st.names[N__ready], docs.get());
    ev_drop_attr(st, in.src.get(), st.names[N__text]);
    ev_count(st, module);
    return docs;
}

// The end of the stream: the loader as the node path leaves it there.
void ev_finish_stream(State& st, PyObject* self) {
    Ref src = attr(self, st.names[N__node_source]);
    ev_drop_attr(st, src.get(), st.names[N__ready]);
    finish_node_source(st, self, src.get());
}

}  // namespace

// get_single_data on the event path: true with `out` set, or false when the
// node path must load.
bool ev_single(State& st, PyObject* module, PyObject* self, Ref& out) {
    EvInput in;
    if (!ev_applies(st, module, self, in)) {
        if (in.text) ev_drop_attr(st, in.src.get(), st.names[N__text]);  // the node path reads the stream
        return false;
    }
    Ref data;
    bool done = ev_attempt([&] {
        EvParser parser(in.bytes, in.size);
        if (parser.next().type != YAML_STREAM_START_EVENT) throw Unsupported{};
        const yaml_event_t& e = parser.next();
        if (e.type == YAML_STREAM_END_EVENT) {
            data = Ref::borrow(Py_None);
            return;
        }
        if (e.type != YAML_DOCUMENT_START_EVENT) throw Unsupported{};
        EvDocument doc;
        ev_compose(st, self, in.timestamps, parser, doc);
        if (parser.next().type != YAML_STREAM_END_EVENT) throw Unsupported{};  // PyYAML's "expected a single document"
        Ref root = in.locations.get() != Py_None ? new_dict() : Ref();
        data = ev_build(st, in, doc, root.get());
        if (root) ev_deliver(root.get(), in.locations.get());
    });
    if (!done) {
        ev_drop_attr(st, in.src.get(), st.names[N__text]);  // the node path reads the stream
        return false;
    }
    ev_finish_single(st, self, in.src.get());
    ev_count(st, module);
    out = data;
    return true;
}

// check_data: whether another document follows; false (nothing done) when
// the node path reads the stream.
bool ev_check_data(State& st, PyObject* module, PyObject* self, bool& more) {
    Ref docs = ev_documents(st, module, self);
    if (!docs) return false;
    more = PyList_GET_SIZE(docs.get()) > 0;
    if (!more) ev_finish_stream(st, self);
    return true;
}

// get_data: the next document (None at the end); false when the node path
// reads the stream.
bool ev_get_data(State& st, PyObject* module, PyObject* self, Ref& out) {
    Ref docs = ev_documents(st, module, self);
    if (!docs) return false;
    Py_ssize_t n = PyList_GET_SIZE(docs.get());
    if (n == 0) {
        ev_finish_stream(st, self);
        out = Ref::borrow(Py_None);
        return true;
    }
    Ref item = Ref::borrow(PyList_GET_ITEM(docs.get(), n - 1));  // our own list of our own tuples
    check(PyList_SetSlice(docs.get(), n - 1, n, nullptr));
    Ref root = Ref::borrow(PyTuple_GET_ITEM(item.get(), 1)), target = Ref::borrow(PyTuple_GET_ITEM(item.get(), 2));
    if (root.get() != Py_None) ev_deliver(root.get(), target.get());
    Ref src = attr(self, st.names[N__node_source]);
    set_documents(st, src.get(), documents_of(st, src.get()) + 1);
    ev_reset_construction(st, self);
    out = Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));
    return true;
}

// Which of PyYAML's merges SafeLoader does, asked of SafeLoader itself: the
// sources of a merge list taken last first with every pair kept (the later
// pair of a key wins), or in order with the first pair of each key text (by
// identity) kept; MERGE_UNKNOWN for anything else, whose merges the event
// path leaves to the node path.
MergeModel ev_merge_model(State& st) {
    try {
        Ref load = import_from("yaml", "load");
        auto probe = [&](const char* text) {
            Ref doc = own(PyUnicode_FromString(text));
            Ref kwnames = own(Py_BuildValue("(s)", "Loader"));
            PyObject* args[] = {doc.get(), st.SafeLoader.get()};
            Ref data = own(PyObject_Vectorcall(load.get(), args, 1, kwnames.get()));
            return own(PyObject_Repr(own(PyObject_GetItem(data.get(), own(PyUnicode_FromString("c")).get())).get()));
        };
        auto is = [](const Ref& repr, const char* text) {
            return PyUnicode_CompareWithASCIIString(repr.get(), text) == 0;
        };
        Ref order = probe("a: &a {p: 1, x: 1}\nb: &b {q: 2, x: 2}\nc: {<<: [*a, *b]}\n");
        Ref repeat = probe("a: &a {x: 1, x: 2}\nc: {<<: *a}\n");
        if (is(order, "{'q': 2, 'x': 1, 'p': 1}") && is(repeat, "{'x': 2}")) return MERGE_REVERSED;
        if (is(order, "{'p': 1, 'x': 1, 'q': 2}") && is(repeat, "{'x': 1}")) return MERGE_FIRST_WINS;
    } catch (const Error&) {
        PyErr_Clear();
    }
    return MERGE_UNKNOWN;
}

// A caller that asks the node source after get_data handed out documents on
// the event path (mixing nodes and data): the source skips those documents, so
// that it goes on where the data left off, as it would have on the node path.
void ev_hand_over(State& st, PyObject* src) {
    Ref ready = optional_attr(src, st.names[N__ready]);
    if (!ready) return;
    ev_drop_attr(st, src, st.names[N__ready]);
    Py_ssize_t done = documents_of(st, src);
    for (Py_ssize_t i = 0; i < done; ++i) {
        call0(src, st.names[N_check_node]);  // which drops STREAM-START first
        call0(src, st.names[N_get_node]);
    }
}

}  // namespace locations

#else

namespace locations {

void ev_hand_over(State&, PyObject*) {}

}  // namespace locations

#endif  // OVK_HAVE_LIBYAML
