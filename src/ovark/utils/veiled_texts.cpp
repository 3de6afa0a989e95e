// ovark.utils.veiled_texts - secret strings that never print their content.
//
// A SecretString (a collections.UserString) holds the encoded form of a
// secret; its representer turns that form into plaintext and back. Three
// representers: plain text, an obscuring additive cipher keyed from the
// configuration (the default), and Fernet from the optional `cryptography`.
//
// The classes are interpreter classes made by calling their metaclass; their
// methods are our function objects. Everything a caller may patch (cfg,
// logger, Fernet, import_from_name, SecretString, the representer classes,
// base64, inspect, uuid, the CNF_* constants) is read from the module when it
// is used, and methods reach each other through attribute lookup, as
// interpreter code would. Where that lookup still finds our own member (the
// `key` and `plaintext` properties, the class methods of SecretString reached
// through a class), its implementation is called directly; a configuration
// level that is a dict with dict's own `get` is read directly too. Neither
// changes what a patch or an override sees.
//
// The cipher loops and the Base64 of the obscuring representer run here, the
// decoder in one pass over canonical padded URL-safe Base64 of UTF-8 of
// characters below U+0800; any other text (or a patched `base64`) goes through
// base64.urlsafe_b64decode and the UTF-8 codec, so that their leniency and
// their errors stay their own.
//
// Plaintext never reaches a message: errors name the encoded text, a type or
// a position, never the content of a secret.
//
// The file, in order: the state and `Ctx` (module and state of one call), with
// what the classes share (log, plaintext_of, the error of a plaintext that is
// not UTF-8, the configuration reads config_get and configured); Base64; one
// section per class, bases first: BaseSecretStringContainer,
// BaseSecretStringRepresenter (the configured key), PlainText..., Obscuring...
// (KeyStream, the cipher, the one-pass decoder decode_common), Fernet...,
// SecretString (class_finds, the `_get_rep` chain, __init__'s refusal of a text
// its representer cannot decode); to_plaintext; the module body (exec).
#include "ovk/ovk.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace ovk;

namespace {

// clang-format off
#define VEILED_NAMES(X)                                                                                           \
    X(data) X(obj) X(prefix) X(key) X(representer) X(representer_cls) X(plaintext) X(encode) X(decode) X(get)   \
    X(_get_rep) X(_get_cls) X(_validate_rep) X(keygen) X(DEFAULT_KEY) X(LOGGED_KEY_WARNING) X(debug) X(warning) \
    X(cfg) X(logger) X(Fernet) X(import_from_name) X(SecretString) X(BaseSecretStringRepresenter)                \
    X(ObscuringSecretStringRepresenter) X(PlainTextSecretStringRepresenter) X(CNF_SEC) X(CNF_SS_REP)             \
    X(CNF_SS_KEY) X(base64) X(inspect) X(uuid) X(uuid4) X(isclass) X(urlsafe_b64decode) X(urlsafe_b64encode)     \
    X(generate_key) X(encrypt) X(decrypt) X(_verify_runnable) X(__name__) X(__dir__)
OVK_NAMES(VEILED_NAMES)
// clang-format on

struct State {
    Ref base64_module;  // the module bound at load; the C++ Base64 runs while the global is still it
    Ref secret_string;  // the SecretString class made here (the class super() starts from)
    Ref user_string;    // collections.UserString
    Ref kw_rep_prefix;  // ("representer_cls", "prefix")
    Ref utf8, empty;
    Ref not_utf8;       // the message of a decrypted plaintext that is not UTF-8
    // Our own members, as stored in the classes: while a lookup still finds
    // one of them, its implementation is called directly.
    Ref key_property, plaintext_property, get_rep_method, validate_rep_method, get_cls_method;
    PyCFunction dict_get = nullptr;  // the C function of dict.get
    Names names;
    auto refs() {
        return std::tie(base64_module, secret_string, user_string, kw_rep_prefix, utf8, empty, not_utf8, key_property,
                        plaintext_property, get_rep_method, validate_rep_method, get_cls_method);
    }
};

struct Ctx {
    PyObject* module;
    State& st;
    explicit Ctx(const Call& c) : module(c.module()), st(c.state<State>()) {}
    PyObject* n(Name name) const { return st.names[name]; }
    Ref global(Name name) const { return lookup(module, n(name)); }
};

// What "{}".format(v) shows of v.
Ref shown(const Ctx& c, PyObject* v) { return own(PyObject_Format(v, c.st.empty.get())); }

void log(const Ctx& c, Name level, PyObject* message) {
    Ref logger = c.global(N_logger);
    call_method(c.n(level), {logger.get(), message});
}

Ref secret_plaintext_impl(const Ctx& c, PyObject* self) {
    Ref rep = attr(self, c.n(N_representer));
    return call_method(c.n(N_decode), {rep.get()});
}

// self.plaintext, read directly while it is our own property (a data
// descriptor, so no instance attribute can hide it).
Ref plaintext_of(const Ctx& c, PyObject* self) {
    if (compat::type_lookup(Py_TYPE(self), c.n(N_plaintext)) == c.st.plaintext_property.get())
        return secret_plaintext_impl(c, self);
    return attr(self, c.n(N_plaintext));
}

// A decrypted plaintext that is not UTF-8: told without the codec's error, whose
// message names a byte of the plaintext and whose `object` holds all of it.
// SecretString knows this error by its message object and attaches no cause.
[[noreturn]] void raise_not_utf8(const Ctx& c) {
    raise(own(PyObject_CallOneArg(PyExc_ValueError, c.st.not_utf8.get())).get());
}

bool is_not_utf8(const Ctx& c, PyObject* exc) {
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) return false;
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
    return args && PyTuple_GET_SIZE(args) == 1 && PyTuple_GET_ITEM(args, 0) == c.st.not_utf8.get();
}

// mapping.get(key, {}), or mapping.get(key) for the `last` step. A dict whose
// get is dict's own is read directly; an empty Ref then stands for an absent
// key (the default: an empty dict, or None at the last step).
Ref config_get(const Ctx& c, PyObject* mapping, PyObject* key, bool last) {
    if (!PyDict_CheckExact(mapping)) {
        Ref get = attr(mapping, c.n(N_get));
        PyObject* g = get.get();
        bool dicts_own = PyDict_Check(mapping) && PyCFunction_Check(g) && PyCFunction_GET_SELF(g) == mapping &&
                         PyCFunction_GET_FUNCTION(g) == c.st.dict_get;
        if (!dicts_own) {
            if (last) return own(PyObject_CallOneArg(g, key));
            Ref fallback = own(PyDict_New());
            PyObject* args[] = {key, fallback.get()};
            return own(PyObject_Vectorcall(g, args, 2, nullptr));
        }
    }
    return dict_get(mapping, key);
}

// cfg.get(CNF_SEC, {}).get(prefix, {}).get(name)
Ref configured(const Ctx& c, PyObject* prefix, Name name) {
    Ref cfg = c.global(N_cfg);
    Ref section_name = c.global(N_CNF_SEC);
    Ref section = config_get(c, cfg.get(), section_name.get(), false);
    Ref entries = section ? config_get(c, section.get(), prefix, false) : Ref();
    Ref entry_name = c.global(name);
    Ref value = entries ? config_get(c, entries.get(), entry_name.get(), true) : Ref();
    return value ? value : Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// Base64, URL-safe alphabet, "=" filled.

constexpr char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// For decoding: the value of each letter, shifted to its place in a group of
// four (letter i of a group at bit 18 - 6 i); bit 31 marks a non-letter.
struct B64Table {
    uint32_t v[4][256];
    constexpr B64Table() : v() {
        for (int at = 0; at < 4; ++at)
            for (int i = 0; i < 256; ++i) v[at][i] = 0x80000000u;
        for (int at = 0; at < 4; ++at)
            for (int i = 0; i < 64; ++i) v[at][(unsigned char)b64_alphabet[i]] = (uint32_t)i << (18 - 6 * at);
    }
};
constexpr B64Table b64_table;

Ref b64_encode(const std::string& in) {
    size_t n = in.size();
    Ref out = own(PyUnicode_New((Py_ssize_t)((n + 2) / 3 * 4), 127));
    Py_UCS1* o = PyUnicode_1BYTE_DATA(out.get());
    auto* s = reinterpret_cast<const unsigned char*>(in.data());
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned v = (unsigned)s[i] << 16 | (unsigned)s[i + 1] << 8 | s[i + 2];
        *o++ = b64_alphabet[v >> 18];
        *o++ = b64_alphabet[(v >> 12) & 63];
        *o++ = b64_alphabet[(v >> 6) & 63];
        *o++ = b64_alphabet[v & 63];
    }
    if (n - i == 1) {
        unsigned v = (unsigned)s[i] << 16;
        *o++ = b64_alphabet[v >> 18];
        *o++ = b64_alphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        unsigned v = (unsigned)s[i] << 16 | (unsigned)s[i + 1] << 8;
        *o++ = b64_alphabet[v >> 18];
        *o++ = b64_alphabet[(v >> 12) & 63];
        *o++ = b64_alphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return out;
}

// Decode `text` into `out` (room for len(text) / 4 * 3 bytes) when it is
// canonical: URL-safe letters only, a length that is a multiple of four, and
// "=" only as the fill of the last group. The decoder of the interpreter gives
// the same bytes for such a text; anything else is left to it (-1). Returns
// the number of bytes written.
Py_ssize_t b64_decode_canonical(PyObject* text, unsigned char* out) {
    if (!PyUnicode_IS_ASCII(text)) return -1;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n % 4) return -1;
    if (n == 0) return 0;
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t pad = s[n - 1] != '=' ? 0 : s[n - 2] == '=' ? 2 : 1;
    unsigned char* o = out;
    const uint32_t (&t)[4][256] = b64_table.v;
    for (Py_ssize_t i = 0; i + 4 < n; i += 4) {
        uint32_t w = t[0][s[i]] | t[1][s[i + 1]] | t[2][s[i + 2]] | t[3][s[i + 3]];
        if (w & 0x80000000u) return -1;
        o[0] = (unsigned char)(w >> 16);
        o[1] = (unsigned char)(w >> 8);
        o[2] = (unsigned char)w;
        o += 3;
    }
    const Py_UCS1* last = s + n - 4;
    uint32_t w = t[0][last[0]] | t[1][last[1]] | (pad < 2 ? t[2][last[2]] : 0) | (pad < 1 ? t[3][last[3]] : 0);
    if (w & 0x80000000u) return -1;
    o[0] = (unsigned char)(w >> 16);
    o[1] = (unsigned char)(w >> 8);
    o[2] = (unsigned char)w;
    return (Py_ssize_t)(o - out) + 3 - pad;
}

// Working memory of one call: on the stack when small.
class Scratch {
public:
    unsigned char* get(size_t n) {
        if (n <= sizeof small_) return small_;
        big_.reset(new unsigned char[n]);
        return big_.get();
    }

private:
    unsigned char small_[1024];
    std::unique_ptr<unsigned char[]> big_;
};

// ---------------------------------------------------------------------------
// BaseSecretStringContainer

Ref container_init_impl(const Ctx& c, PyObject* self, PyObject* obj) {
    Ref secret_string = c.global(N_SecretString);
    if (!check(PyObject_IsInstance(obj, secret_string.get()))) {
        Ref type = shown(c, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        raise(PyExc_Exception, "Object of type SecretString expected, but type %U given.", type.get());
    }
    set_attr(self, c.n(N_obj), obj);
    return Ref::borrow(Py_None);
}

Ref container_init(const Call& call, PyObject* self, PyObject* obj) {
    return container_init_impl(Ctx(call), self, obj);
}

const FuncDef container_init_def{"__init__", "(self, obj)", "Hold obj, which must be a SecretString.",
                                 params<container_init>};

// ---------------------------------------------------------------------------
// BaseSecretStringRepresenter

Ref base_keygen(const Call& call) {
    Ctx c(call);
    Ref uuid = c.global(N_uuid);
    Ref fresh = call_method(c.n(N_uuid4), {uuid.get()});
    return own(PyObject_Str(fresh.get()));
}

Ref base_init(const Call& call, PyObject* self, PyObject* obj, PyObject* prefix) {
    Ctx c(call);
    container_init_impl(c, self, obj);
    set_attr(self, c.n(N_prefix), prefix);
    return Ref::borrow(Py_None);
}

Ref base_key_impl(const Ctx& c, PyObject* self) {
    Ref prefix = attr(self, c.n(N_prefix));
    Ref key = configured(c, prefix.get(), N_CNF_SS_KEY);
    if (truth(key.get())) return key;
    Ref sec = shown(c, c.global(N_CNF_SEC).get());
    Ref key_name = shown(c, c.global(N_CNF_SS_KEY).get());
    Ref message =
        own(PyUnicode_FromFormat("Using a default key as Ovark configuration under [%U] %U.%U was not specified.",
                                 sec.get(), shown(c, prefix.get()).get(), key_name.get()));
    log(c, N_debug, message.get());
    key = attr(self, c.n(N_DEFAULT_KEY));
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (!truth(attr(cls, c.n(N_LOGGED_KEY_WARNING)).get())) {
        Ref warning = own(PyUnicode_FromString(
            "Using the default encoding key since no key was specified in configuration.\n"
            "THIS IS A SHARED KEY AND IS NOT SECURE, PLEASE RUN `ovark secret keygen` AND ADD TO YOUR ovark.conf "
            "FILE BEFORE ENCODING ANY VALUES."));
        log(c, N_warning, warning.get());
        set_attr(cls, c.n(N_LOGGED_KEY_WARNING), Py_True);
    }
    return key;
}

Ref base_key(const Call& call) { return base_key_impl(Ctx(call), call[0]); }

Ref base_encode(const Call& call) {
    Ref name = own(PyType_GetName(Py_TYPE(call[0])));
    raise(PyExc_NotImplementedError, "%U does not implement encode.", name.get());
}

Ref base_decode(const Call& call) {
    Ref name = own(PyType_GetName(Py_TYPE(call[0])));
    raise(PyExc_NotImplementedError, "%U does not implement decode.", name.get());
}

const FuncDef base_keygen_def{"keygen", "(cls)", "Return a new random key: the text of a version-4 UUID.", base_keygen};
const FuncDef base_init_def{"__init__", "(self, obj, prefix=CNF_STR)",
                            "Bind the representer to the SecretString obj; prefix selects the configuration "
                            "entries [secrets] <prefix>.key and <prefix>.representer.",
                            params<base_init>};
const FuncDef base_key_def{"key", "(self)",
                           "The key configured under [secrets] <prefix>.key, else the shared DEFAULT_KEY.", base_key};
const FuncDef base_encode_def{"encode", "(self)", "Return the encoded form of the plaintext held by obj.", base_encode};
const FuncDef base_decode_def{"decode", "(self)", "Return the plaintext of the encoded text held by obj.", base_decode};

// ---------------------------------------------------------------------------
// PlainTextSecretStringRepresenter

Ref held_data(const Ctx& c, PyObject* self) {
    Ref obj = attr(self, c.n(N_obj));
    return attr(obj.get(), c.n(N_data));
}

Ref plain_encode(const Call& call) { return held_data(Ctx(call), call[0]); }
Ref plain_decode(const Call& call) { return held_data(Ctx(call), call[0]); }

const FuncDef plain_encode_def{"encode", "(self)", "Return the held text unchanged.", plain_encode};
const FuncDef plain_decode_def{"decode", "(self)", "Return the held text unchanged.", plain_decode};

// ---------------------------------------------------------------------------
// ObscuringSecretStringRepresenter: character i is shifted by key character
// i modulo the key length, modulo 256. Only the low eight bits of a key
// character matter to a sum modulo 256, so the key is read as those bytes.

// `key` must outlive the stream: a key of one-byte characters is read in place.
// A key that cannot be used (not a text, or empty) gives an empty stream;
// checked() raises what is wrong with it.
class KeyStream {
public:
    explicit KeyStream(PyObject* key) : key_(key) {
        if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0) return;
        size = (size_t)PyUnicode_GET_LENGTH(key);
        if (PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
            data = PyUnicode_1BYTE_DATA(key);
            return;
        }
        int kind = PyUnicode_KIND(key);
        const void* chars = PyUnicode_DATA(key);
        owned_.resize(size);
        for (size_t i = 0; i < size; ++i) owned_[i] = (unsigned char)(PyUnicode_READ(kind, chars, i) & 0xFF);
        data = owned_.data();
    }
    const KeyStream& checked() const {
        if (!PyUnicode_Check(key_)) raise(PyExc_TypeError, "the key must be a str, not %.200s", Py_TYPE(key_)->tp_name);
        if (size == 0) raise(PyExc_ValueError, "the key must not be empty");
        return *this;
    }
    const unsigned char* data = nullptr;
    size_t size = 0;

private:
    PyObject* key_;
    std::vector<unsigned char> owned_;
};

Ref text_data(PyObject* data) {
    if (!PyUnicode_Check(data))
        raise(PyExc_TypeError, "the held data must be a str, not %.200s", Py_TYPE(data)->tp_name);
    return Ref::borrow(data);
}

// self.key, read directly while it is our own property (a data descriptor, so
// no instance attribute can hide it).
Ref key_of(const Ctx& c, PyObject* self) {
    if (compat::type_lookup(Py_TYPE(self), c.n(N_key)) == c.st.key_property.get()) return base_key_impl(c, self);
    return attr(self, c.n(N_key));
}

Ref obscuring_encode(const Call& call) {
    Ctx c(call);
    PyObject* self = call[0];
    Ref key = key_of(c, self);
    Ref clear = text_data(held_data(c, self).get());
    Py_ssize_t n = PyUnicode_GET_LENGTH(clear.get());
    if (n == 0) return Ref::borrow(c.st.empty.get());
    if (PyUnicode_KIND(clear.get()) != PyUnicode_1BYTE_KIND) {
        int kind = PyUnicode_KIND(clear.get());
        const void* data = PyUnicode_DATA(clear.get());
        Py_ssize_t at = 0;
        while (PyUnicode_READ(kind, data, at) <= 0xFF) ++at;
        raise(PyExc_ValueError,
              "ObscuringSecretStringRepresenter can only encode characters up to U+00FF; the plaintext holds one "
              "above it at position %zd.",
              at);
    }
    KeyStream stream(key.get());
    const KeyStream& k = stream.checked();
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(clear.get());
    std::string utf8;
    utf8.reserve((size_t)n * 2);
    size_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned char b = (unsigned char)(s[i] + k.data[j]);
        if (++j == k.size) j = 0;
        if (b < 0x80) {
            utf8.push_back((char)b);
        } else {
            utf8.push_back((char)(0xC0 | (b >> 6)));
            utf8.push_back((char)(0x80 | (b & 0x3F)));
        }
    }
    // base64.urlsafe_b64encode(shifted.encode()).decode()
    Global base64(c.module, c.n(N_base64), c.st.base64_module.get());
    if (base64.ours) return b64_encode(utf8);
    Ref raw = own(PyBytes_FromStringAndSize(utf8.data(), (Py_ssize_t)utf8.size()));
    Ref encoded = call_method(c.n(N_urlsafe_b64encode), {base64.value.get(), raw.get()});
    return call_method(c.n(N_decode), {encoded.get()});
}

// The characters of `out[0..n)` as a new str, in its canonical (ASCII when it
// can be) form. `high` is the bitwise or of them all.
Ref latin1_text(const unsigned char* out, size_t n, unsigned high) {
    Ref text = own(PyUnicode_New((Py_ssize_t)n, high & 0x80 ? 0xFF : 0x7F));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), out, n);
    return text;
}

template <class Ch>
Ref unshift(const Ch* s, Py_ssize_t n, const KeyStream& k) {
    Scratch scratch;
    unsigned char* out = scratch.get((size_t)n);
    unsigned high = 0;
    size_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = (unsigned char)((unsigned)s[i] - k.data[j]);
        high |= out[i];
        if (++j == k.size) j = 0;
    }
    return latin1_text(out, (size_t)n, high);
}

// The common case in one pass: the bytes of canonical Base64 are UTF-8 of
// characters below U+0800 (the encoder writes only characters below U+0100),
// and the key is usable. Anything else (other Base64, longer or invalid UTF-8
// sequences, a key that cannot be used) gives an empty Ref, and the decode
// goes the general way, with the decoder's own results and errors in their
// order.
Ref decode_common(const Ctx& c, PyObject* enc, PyObject* key) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(enc);
    if (!PyUnicode_IS_ASCII(enc) || length % 4) return Ref();
    if (length == 0) return Ref::borrow(c.st.empty.get());
    KeyStream k(key);
    if (!k.size) return Ref();
    Scratch scratch;
    size_t room = (size_t)(length / 4 * 3);
    unsigned char* raw = scratch.get(2 * room);
    unsigned char* out = raw + room;
    Py_ssize_t size = b64_decode_canonical(enc, raw);
    if (size < 0) return Ref();
    const unsigned char* key_data = k.data;
    size_t key_size = k.size, j = 0;
    unsigned char* o = out;
    unsigned high = 0;
    for (Py_ssize_t i = 0; i < size;) {
        unsigned ch = raw[i];
        if (ch < 0x80) {
            i += 1;
        } else if (ch - 0xC2 <= 0xDF - 0xC2 && i + 1 < size && (raw[i + 1] & 0xC0) == 0x80) {
            ch = (ch & 0x1F) << 6 | (raw[i + 1] & 0x3F);
            i += 2;
        } else {
            return Ref();
        }
        unsigned char b = (unsigned char)(ch - key_data[j]);
        *o++ = b;
        high |= b;
        if (++j == key_size) j = 0;
    }
    return latin1_text(out, (size_t)(o - out), high);
}

Ref obscuring_decode(const Call& call) {
    Ctx c(call);
    PyObject* self = call[0];
    Ref enc = held_data(c, self);
    Ref key = key_of(c, self);
    // base64.urlsafe_b64decode(enc).decode()
    Global base64(c.module, c.n(N_base64), c.st.base64_module.get());
    if (base64.ours && PyUnicode_CheckExact(enc.get())) {
        if (Ref plain = decode_common(c, enc.get(), key.get())) return plain;
    }
    Ref decoded = call_method(c.n(N_urlsafe_b64decode), {base64.value.get(), enc.get()});
    PyObject* bytes = decoded.get();
    Ref text = PyBytes_CheckExact(bytes)
                   ? own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), nullptr))
                   : call_method(c.n(N_decode), {bytes});
    text_data(text.get());
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n == 0) return Ref::borrow(c.st.empty.get());
    KeyStream stream(key.get());
    const KeyStream& k = stream.checked();
    switch (PyUnicode_KIND(text.get())) {
        case PyUnicode_1BYTE_KIND: return unshift(PyUnicode_1BYTE_DATA(text.get()), n, k);
        case PyUnicode_2BYTE_KIND: return unshift(PyUnicode_2BYTE_DATA(text.get()), n, k);
        default: return unshift(PyUnicode_4BYTE_DATA(text.get()), n, k);
    }
}

const FuncDef obscuring_encode_def{
    "encode", "(self)",
    "Return the held plaintext shifted by the key, character by character modulo 256, as URL-safe Base64.\n\n"
    "Raises ValueError when the plaintext holds a character above U+00FF.",
    obscuring_encode};
const FuncDef obscuring_decode_def{"decode", "(self)",
                                   "Return the plaintext of the held URL-safe Base64 text, shifted back by the key.",
                                   obscuring_decode};

// ---------------------------------------------------------------------------
// FernetSecretStringRepresenter

Ref fernet_verify_impl(const Ctx& c) {
    if (!truth(c.global(N_Fernet).get()))
        raise(PyExc_ImportError,
              "FernetSecretStringRepresenter can only be used when the following commands are executed : \n"
              "pip install cryptography");
    return Ref::borrow(Py_None);
}

Ref fernet_verify(const Call& call) { return fernet_verify_impl(Ctx(call)); }

Ref fernet_keygen(const Call& call) {
    Ctx c(call);
    call_method(c.n(N__verify_runnable), {call[0]});
    Ref fernet = c.global(N_Fernet);
    Ref key = call_method(c.n(N_generate_key), {fernet.get()});
    return call_method(c.n(N_decode), {key.get(), c.st.utf8.get()});
}

Ref fernet_key(const Call& call) {
    Ctx c(call);
    PyObject* self = call[0];
    Ref key = base_key_impl(c, self);
    Ref default_key = attr(self, c.n(N_DEFAULT_KEY));
    if (check(PyObject_RichCompareBool(key.get(), default_key.get(), Py_EQ))) {
        Ref sec = shown(c, c.global(N_CNF_SEC).get());
        Ref prefix = shown(c, attr(self, c.n(N_prefix)).get());
        Ref key_name = shown(c, c.global(N_CNF_SS_KEY).get());
        raise(PyExc_Exception,
              "A key must be specified as Ovark configuration under [%U] %U.%U.\n"
              "This key may be generated with the 'ovark secret keygen' command",
              sec.get(), prefix.get(), key_name.get());
    }
    return key;
}

// text.encode("utf-8")
Ref utf8_bytes(const Ctx& c, PyObject* text) {
    if (PyUnicode_Check(text)) return own(PyUnicode_AsUTF8String(text));
    return call_method(c.n(N_encode), {text, c.st.utf8.get()});
}

// Fernet(self.key.encode("utf-8"))
Ref fernet_of(const Ctx& c, PyObject* self) {
    call_method(c.n(N__verify_runnable), {self});
    Ref key = attr(self, c.n(N_key));
    Ref fernet = c.global(N_Fernet);
    return own(PyObject_CallOneArg(fernet.get(), utf8_bytes(c, key.get()).get()));
}

Ref fernet_encode(const Call& call) {
    Ctx c(call);
    PyObject* self = call[0];
    Ref fernet = fernet_of(c, self);
    Ref data = held_data(c, self);
    Ref clear;
    try {
        clear = utf8_bytes(c, data.get());
    } catch (const Error&) {
        Ref error = catch_error(PyExc_UnicodeEncodeError);
        // The interpreter's message would quote a character of the plaintext.
        Py_ssize_t start = 0;
        if (PyUnicodeEncodeError_GetStart(error.get(), &start) < 0) PyErr_Clear();
        raise(PyExc_ValueError, "The plaintext cannot be encoded as UTF-8: it holds a surrogate at position %zd.",
              start);
    }
    Ref token = call_method(c.n(N_encrypt), {fernet.get(), clear.get()});
    return call_method(c.n(N_decode), {token.get(), c.st.utf8.get()});
}

Ref fernet_decode(const Call& call) {
    Ctx c(call);
    PyObject* self = call[0];
    Ref fernet = fernet_of(c, self);
    Ref data = held_data(c, self);
    Ref clear = call_method(c.n(N_decrypt), {fernet.get(), utf8_bytes(c, data.get()).get()});
    PyObject* bytes = clear.get();
    Ref text = Ref::steal(PyBytes_CheckExact(bytes)
                              ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), nullptr)
                              : PyObject_CallMethodOneArg(bytes, c.n(N_decode), c.st.utf8.get()));
    if (!text) {
        // The codec's error carries the whole plaintext and its message a byte of it.
        Ref error = catch_error(PyExc_UnicodeDecodeError);
        raise_not_utf8(c);
    }
    return text;
}

const FuncDef fernet_keygen_def{"keygen", "(cls)", "Return a new Fernet key as text (44 URL-safe Base64 characters).",
                                fernet_keygen};
const FuncDef fernet_verify_def{"_verify_runnable", "(cls)",
                                "Raise ImportError unless the cryptography package was found at load.", fernet_verify};
const FuncDef fernet_key_def{
    "key", "(self)", "The key configured under [secrets] <prefix>.key; the shared default key is refused.", fernet_key};
const FuncDef fernet_encode_def{"encode", "(self)", "Return the Fernet token of the held plaintext, as text.",
                                fernet_encode};
const FuncDef fernet_decode_def{"decode", "(self)", "Return the plaintext of the held Fernet token.", fernet_decode};

// ---------------------------------------------------------------------------
// SecretString

// `cls.name` finds our own member `ours` (a class or static method): nothing
// on the class, its bases or its metaclass stands in its place.
bool class_finds(const Ctx& c, PyObject* cls, Name name, const Ref& ours) {
    return PyType_Check(cls) && compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls), c.n(name)) == ours.get() &&
           !compat::type_lookup(Py_TYPE(cls), c.n(name));
}

Ref get_cls_impl(const Ctx& c, PyObject* value) {
    if (!truth(value)) return Ref::borrow(Py_None);
    if (PyUnicode_Check(value)) {
        Py_ssize_t dot = PyUnicode_FindChar(value, '.', 0, PyUnicode_GET_LENGTH(value), 1);
        if (dot == -2) throw Error();
        if (dot >= 0) return own(PyObject_CallOneArg(c.global(N_import_from_name).get(), value));
    }
    Ref inspect = c.global(N_inspect);
    if (truth(call_method(c.n(N_isclass), {inspect.get(), value}).get())) return Ref::borrow(value);
    Ref message = own(PyUnicode_FromFormat("Could not convert %U to a class.", shown(c, value).get()));
    log(c, N_warning, message.get());
    return Ref::borrow(Py_None);
}

Ref get_cls(const Call& call) { return get_cls_impl(Ctx(call), call[0]); }

Ref validate_rep_impl(const Ctx& c, PyObject* rep_cls) {
    if (!truth(rep_cls)) return Ref::borrow(Py_None);
    Ref base = c.global(N_BaseSecretStringRepresenter);
    if (!check(PyObject_IsSubclass(rep_cls, base.get())))
        raise(PyExc_Exception,
              "Representer class %U must inherit from ovark.utils.veiled_texts.BaseSecretStringRepresenter.",
              shown(c, rep_cls).get());
    return Ref::borrow(Py_None);
}

Ref validate_rep(const Call& call, PyObject* /*cls*/, PyObject* rep_cls) {
    return validate_rep_impl(Ctx(call), rep_cls);
}

// cls._validate_rep(rep_cls)
void validate_with(const Ctx& c, PyObject* cls, PyObject* rep_cls) {
    if (class_finds(c, cls, N__validate_rep, c.st.validate_rep_method))
        validate_rep_impl(c, rep_cls);
    else
        call_method(c.n(N__validate_rep), {cls, rep_cls});
}

Ref get_rep_impl(const Ctx& c, PyObject* cls, PyObject* representer_cls, PyObject* prefix) {
    validate_with(c, cls, representer_cls);
    Ref value = configured(c, prefix, N_CNF_SS_REP);
    Ref conf_cls = class_finds(c, cls, N__get_cls, c.st.get_cls_method)
                       ? get_cls_impl(c, value.get())
                       : call_method(c.n(N__get_cls), {cls, value.get()});
    validate_with(c, cls, conf_cls.get());
    if (truth(representer_cls)) return Ref::borrow(representer_cls);
    if (truth(conf_cls.get())) return conf_cls;
    return c.global(N_ObscuringSecretStringRepresenter);
}

Ref get_rep(const Call& call, PyObject* cls, PyObject* representer_cls, PyObject* prefix) {
    return get_rep_impl(Ctx(call), cls, representer_cls, prefix);
}

// cls._get_rep(representer_cls, prefix)
Ref get_rep_with(const Ctx& c, PyObject* cls, PyObject* representer_cls, PyObject* prefix) {
    if (class_finds(c, cls, N__get_rep, c.st.get_rep_method)) return get_rep_impl(c, cls, representer_cls, prefix);
    return call_method(c.n(N__get_rep), {cls, representer_cls, prefix});
}

// cls(text, representer_cls=rep_cls, prefix=prefix)
Ref make_secret(const Ctx& c, PyObject* cls, PyObject* text, PyObject* rep_cls, PyObject* prefix) {
    PyObject* args[] = {text, rep_cls, prefix};
    return own(PyObject_Vectorcall(cls, args, 1, c.st.kw_rep_prefix.get()));
}

Ref from_plaintext(const Call& call, PyObject* cls, PyObject* plaintext, PyObject* representer_cls, PyObject* prefix) {
    Ctx c(call);
    Ref plain_cls = c.global(N_PlainTextSecretStringRepresenter);
    Ref holder = make_secret(c, cls, plaintext, plain_cls.get(), prefix);
    Ref rep_cls = get_rep_with(c, cls, representer_cls, prefix);
    PyObject* args[] = {holder.get(), prefix};
    Ref rep = own(PyObject_Vectorcall(rep_cls.get(), args, 2, nullptr));
    Ref encoded = call_method(c.n(N_encode), {rep.get()});
    return make_secret(c, cls, encoded.get(), rep_cls.get(), prefix);
}

Ref secret_keygen(const Call& call, PyObject* cls, PyObject* representer_cls, PyObject* prefix) {
    Ctx c(call);
    Ref rep_cls = get_rep_with(c, cls, representer_cls, prefix);
    return call_method(c.n(N_keygen), {rep_cls.get()});
}

Ref secret_init(const Call& call, PyObject* self, PyObject* secret_string, PyObject* representer_cls,
                PyObject* prefix) {
    Ctx c(call);
    // UserString.__init__: a str is held as it is, another UserString gives a
    // copy of its data, anything else its str().
    Ref data;
    if (PyUnicode_Check(secret_string))
        data = Ref::borrow(secret_string);
    else if (check(PyObject_IsInstance(secret_string, c.st.user_string.get())))
        data = own(PySequence_GetSlice(attr(secret_string, c.n(N_data)).get(), 0, PY_SSIZE_T_MAX));
    else
        data = own(PyObject_Str(secret_string));
    set_attr(self, c.n(N_data), data.get());
    Ref rep_cls = call_method(c.n(N__get_rep), {self, representer_cls, prefix});  // an instance may hold its own
    set_attr(self, c.n(N_representer_cls), rep_cls.get());
    PyObject* args[] = {self, prefix};
    set_attr(self, c.n(N_representer), own(PyObject_Vectorcall(rep_cls.get(), args, 2, nullptr)).get());
    try {
        plaintext_of(c, self);
    } catch (const Error&) {
        Ref cause = take_error();
        if (!PyErr_GivenExceptionMatches(cause.get(), PyExc_Exception) ||
            PyErr_GivenExceptionMatches(cause.get(), PyExc_ImportError))
            reraise(std::move(cause));
        Ref name = attr(rep_cls.get(), c.n(N___name__));
        Ref message = own(PyUnicode_FromFormat(
            "The secret string '%U' has the wrong format.\nIt cannot be decoded with representer %U.",
            shown(c, secret_string).get(), shown(c, name.get()).get()));
        if (is_not_utf8(c, cause.get())) cause = Ref();  // raise ... from None, with no context either
        raise_from(own(PyObject_CallOneArg(PyExc_Exception, message.get())).get(), cause.get());
    }
    return Ref::borrow(Py_None);
}

Ref masked(PyObject* self, const Ctx& c) {
    Ref data = attr(self, c.n(N_data));
    Py_ssize_t n = PyObject_Length(data.get());
    if (n < 0) throw Error();
    Ref out = own(PyUnicode_New(n, 127));
    if (n) std::memset(PyUnicode_1BYTE_DATA(out.get()), '*', (size_t)n);
    return out;
}

Ref secret_str(const Call& call) { return masked(call[0], Ctx(call)); }

Ref secret_format(const Call&, PyObject* self, PyObject* format_spec) {
    Ref text = own(PyObject_Str(self));
    return own(PyObject_Format(text.get(), format_spec));
}

Ref secret_dir(const Call& call) {
    Ctx c(call);
    PyObject* self = call[0];
    Ref super = own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), c.st.secret_string.get(),
                                                 self, nullptr));
    Ref names = call_method(c.n(N___dir__), {super.get()});
    Ref data = attr(self, c.n(N_data));
    Ref data_names = own(PyObject_Dir(data.get()));
    return own(PyNumber_Add(names.get(), data_names.get()));
}

Ref secret_plaintext(const Call& call) { return secret_plaintext_impl(Ctx(call), call[0]); }

const FuncDef get_cls_def{"_get_cls", "(cls_or_cls_name)",
                          "Return the class named by a dotted path or given as a class; None for a falsy value.\n\n"
                          "Anything else is logged as a warning and gives None.",
                          get_cls};
const FuncDef validate_rep_def{"_validate_rep", "(cls, rep_cls)",
                               "Raise unless rep_cls is falsy or a subclass of BaseSecretStringRepresenter.",
                               params<validate_rep>};
const FuncDef get_rep_def{"_get_rep", "(cls, representer_cls=None, prefix=CNF_STR)",
                          "Return the representer class: representer_cls, else the one configured under\n"
                          "[secrets] <prefix>.representer, else ObscuringSecretStringRepresenter.",
                          params<get_rep>};
const FuncDef from_plaintext_def{"from_plaintext", "(cls, plaintext, representer_cls=None, prefix=CNF_STR)",
                                 "Return a new secret string that holds the encoded form of plaintext.",
                                 params<from_plaintext>};
const FuncDef secret_keygen_def{"keygen", "(cls, representer_cls=None, prefix=CNF_STR)",
                                "Return a new key made by the chosen representer class.", params<secret_keygen>};
const FuncDef secret_init_def{"__init__", "(self, secret_string, representer_cls=None, prefix=CNF_STR)",
                              "Hold the encoded text secret_string; raise when the chosen representer cannot "
                              "decode it.",
                              params<secret_init>};
const FuncDef secret_str_def{"__str__", "(self)", "One asterisk per character of the encoded text.", secret_str};
const FuncDef secret_dir_def{"__dir__", "(self)", "The attributes of the secret string, then those of its text.",
                             secret_dir};
const FuncDef secret_plaintext_def{"plaintext", "(self)", "The decoded secret (decoded anew on every read).",
                                   secret_plaintext};
const FuncDef secret_format_def{"__format__", "(self, format_spec)",
                                "Format the asterisks of str(self), never the secret.", params<secret_format>};

// ---------------------------------------------------------------------------

Ref to_plaintext(const Call& call) {
    Ctx c(call);
    PyObject* value = call[0];
    Ref secret_string = c.global(N_SecretString);
    if (check(PyObject_IsInstance(value, secret_string.get()))) return plaintext_of(c, value);
    if (PyUnicode_Check(value)) return Ref::borrow(value);
    return own(PyObject_Str(value));
}

const FuncDef to_plaintext_def{"to_plaintext", "(str_or_secret_str)",
                               "Return the plaintext of a SecretString, or any other value as text.", to_plaintext};

Ref text(const char* s) { return own(PyUnicode_FromString(s)); }

// The member `name` as stored in the class `cls`.
Ref member_of(PyObject* cls, PyObject* name) {
    Ref member = Ref::borrow(compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name));
    if (!member) raise(PyExc_SystemError, "class member missing");
    return member;
}

void exec(PyObject* module, State& st) {
    st.names.init();
    st.utf8 = intern("utf-8");
    st.empty = text("");
    st.not_utf8 = text("The decrypted plaintext is not valid UTF-8 text.");
    st.kw_rep_prefix = own(PyTuple_Pack(2, st.names[N_representer_cls], st.names[N_prefix]));

    Ref base64 = import_module("base64");
    st.base64_module = base64;
    add_object(module, "base64", base64);
    add_object(module, "inspect", import_module("inspect"));
    Ref logging = import_module("logging");
    add_object(module, "logging", logging);
    add_object(module, "uuid", import_module("uuid"));
    Ref user_string = import_from("collections", "UserString");
    st.user_string = user_string;
    add_object(module, "UserString", user_string);
    add_object(module, "cfg", import_from("ovark", "configuration"));
    add_object(module, "import_from_name", import_from("ovark.utils.import_utils", "import_from_name"));
    // cryptography is optional: without it only the Fernet representer fails.
    Ref fernet;
    try {
        fernet = import_from("cryptography.fernet", "Fernet");
    } catch (const Error&) {
        if (!clear_if(PyExc_ImportError) && !clear_if(PyExc_AttributeError)) throw;
        fernet = Ref::borrow(Py_None);
    }
    add_object(module, "Fernet", fernet);
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));

    // Interned, as the constants of a module body are: the configuration's
    // keys are found by identity.
    add_object(module, "CNF_SEC", intern("secrets"));
    add_object(module, "CNF_STR", intern("string"));
    add_object(module, "CNF_SS_REP", Ref::borrow(st.names[N_representer]));
    add_object(module, "CNF_SS_KEY", Ref::borrow(st.names[N_key]));

    auto one = [](PyObject* base) { return own(PyTuple_Pack(1, base)); };

    Ref container =
        new_class(module, "BaseSecretStringContainer", nullptr,
                  "Holds the SecretString a representer is bound to, as obj.", {method(container_init_def)});
    add_object(module, "BaseSecretStringContainer", container);

    Ref base =
        new_class(module, "BaseSecretStringRepresenter", one(container.get()).get(),
                  "Turns the text of a SecretString into plaintext and back, with a configured key.",
                  {value("DEFAULT_KEY", text("mbrx_fallback_key")), value("LOGGED_KEY_WARNING", Ref::borrow(Py_False)),
                   classmethod(base_keygen_def), method(base_init_def), property(base_key_def), method(base_encode_def),
                   method(base_decode_def)});
    add_object(module, "BaseSecretStringRepresenter", base);
    st.key_property = member_of(base.get(), st.names[N_key]);

    Ref plain = new_class(module, "PlainTextSecretStringRepresenter", one(base.get()).get(),
                          "Holds the plaintext itself: encode and decode change nothing.",
                          {method(plain_encode_def), method(plain_decode_def)});
    add_object(module, "PlainTextSecretStringRepresenter", plain);

    Ref obscuring = new_class(module, "ObscuringSecretStringRepresenter", one(base.get()).get(),
                              "Obscures the text with the key, an additive cipher modulo 256 under URL-safe Base64.\n\n"
                              "Not encryption: anyone with the key, or the shared default key, reads the text.",
                              {method(obscuring_encode_def), method(obscuring_decode_def)});
    add_object(module, "ObscuringSecretStringRepresenter", obscuring);

    Ref fernet_rep = new_class(module, "FernetSecretStringRepresenter", one(base.get()).get(),
                               "Encrypts the text with Fernet (package cryptography) and the configured key.",
                               {classmethod(fernet_keygen_def), classmethod(fernet_verify_def),
                                property(fernet_key_def), method(fernet_encode_def), method(fernet_decode_def)});
    add_object(module, "FernetSecretStringRepresenter", fernet_rep);

    Ref str_fn = make_function(module, secret_str_def, "SecretString");
    st.secret_string =
        new_class(module, "SecretString", one(user_string.get()).get(),
                  "A string that holds the encoded form of a secret and prints as asterisks.\n\n"
                  "The representer (representer_cls, else the one configured under [secrets]\n"
                  "<prefix>.representer, else ObscuringSecretStringRepresenter) gives the\n"
                  "plaintext on request; all string behaviour works on the encoded text.",
                  {staticmethod(get_cls_def), classmethod(validate_rep_def), classmethod(get_rep_def),
                   classmethod(from_plaintext_def), classmethod(secret_keygen_def), method(secret_init_def),
                   value("__str__", str_fn), method(secret_dir_def), value("__repr__", str_fn),
                   property(secret_plaintext_def), method(secret_format_def)});
    add_object(module, "SecretString", st.secret_string);
    st.plaintext_property = member_of(st.secret_string.get(), st.names[N_plaintext]);
    st.get_rep_method = member_of(st.secret_string.get(), st.names[N__get_rep]);
    st.validate_rep_method = member_of(st.secret_string.get(), st.names[N__validate_rep]);
    st.get_cls_method = member_of(st.secret_string.get(), st.names[N__get_cls]);
    Ref probe = own(PyDict_New());
    Ref bound_get = attr(probe.get(), st.names[N_get]);
    st.dict_get = PyCFunction_GET_FUNCTION(bound_get.get());

    add_functions(module, {&to_plaintext_def});
    Ref all = own(Py_BuildValue("[sss]", "SecretString", "to_plaintext", "FernetSecretStringRepresenter"));
    add_object(module, "__all__", all);
}

}  // namespace

OVK_MODULE(State, exec, "Secret strings that never print their content, and the representers that encode them.")
