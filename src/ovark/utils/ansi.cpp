// ovark.utils.ansi - strip ANSI control sequences from text.
//
// ESCAPE_SEQUENCE stays the compiled `re` pattern. escape() scans in C++ while
// the module's ESCAPE_SEQUENCE is still the pattern made here and the text is a
// str; the scan gives exactly what ESCAPE_SEQUENCE.sub('', text) gives: the
// three character classes of the pattern are disjoint, so the greedy runs
// never need to give anything back and a match is decided by the character
// after them. Anything else (a patched pattern, bytes, other objects) goes
// through the pattern itself, errors included.
#include "ovk/ovk.hpp"

#include <vector>

using namespace ovk;

namespace {

constexpr const char* escape_source = "(\\x9B|\\x1B\\[)[0-?]*[ -\\/]*[@-~]";

#define ANSI_NAMES(X) X(ESCAPE_SEQUENCE) X(sub)
OVK_NAMES(ANSI_NAMES)

struct State {
    Ref pattern;  // the pattern made at load, to recognise it unpatched
    Ref empty;
    Names names;
    auto refs() { return std::tie(pattern, empty); }
};

// End of the escape sequence whose introducer starts at `i`, or 0 if none does.
template <class Ch>
inline Py_ssize_t match_at(const Ch* s, Py_ssize_t i, Py_ssize_t n) {
    Py_ssize_t j;
    if (s[i] == 0x9B)
        j = i + 1;
    else if (s[i] == 0x1B && i + 1 < n && s[i + 1] == '[')
        j = i + 2;
    else
        return 0;
    while (j < n && s[j] >= 0x30 && s[j] <= 0x3F) ++j;  // parameters
    while (j < n && s[j] >= 0x20 && s[j] <= 0x2F) ++j;  // intermediates
    if (j < n && s[j] >= 0x40 && s[j] <= 0x7E) return j + 1;  // final
    return 0;
}

template <class Ch>
Ref strip(PyObject* line, const Ch* s, Py_ssize_t n, int kind) {
    std::vector<Ch> out;
    Py_ssize_t copied = 0;  // s[copied:i] is still to be copied
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] != 0x1B && s[i] != 0x9B) continue;
        Py_ssize_t end = match_at(s, i, n);
        if (!end) continue;
        if (out.empty()) out.reserve(n);
        out.insert(out.end(), s + copied, s + i);
        copied = end;
        i = end - 1;
    }
    if (copied == 0) {
        // No match: like re, the same object for a str, a plain copy for a subclass.
        if (PyUnicode_CheckExact(line)) return Ref::borrow(line);
        return own(PyUnicode_Substring(line, 0, n));
    }
    out.insert(out.end(), s + copied, s + n);
    return own(PyUnicode_FromKindAndData(kind, out.data(), (Py_ssize_t)out.size()));
}

Ref escape(const Call& c) {
    State& st = c.state<State>();
    PyObject* line = c[0];
    Global pattern(c.module(), st.names[N_ESCAPE_SEQUENCE], st.pattern.get());
    if (!pattern.ours || !PyUnicode_Check(line))
        return call_method(st.names[N_sub], {pattern.value.get(), st.empty.get(), line});
    if (PyUnicode_READY(line) < 0) throw Error();
    Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    switch (PyUnicode_KIND(line)) {
        case PyUnicode_1BYTE_KIND: return strip(line, PyUnicode_1BYTE_DATA(line), n, PyUnicode_1BYTE_KIND);
        case PyUnicode_2BYTE_KIND: return strip(line, PyUnicode_2BYTE_DATA(line), n, PyUnicode_2BYTE_KIND);
        default: return strip(line, PyUnicode_4BYTE_DATA(line), n, PyUnicode_4BYTE_KIND);
    }
}

const FuncDef escape_def{
    "escape",
    "(line)",
    "Return line with every ANSI escape sequence (ESCAPE_SEQUENCE) removed.",
    escape,
};

void exec(PyObject* module, State& st) {
    st.names.init();
    Ref re = import_module("re");
    add_object(module, "re", re);
    st.pattern = own(PyObject_CallMethod(re.get(), "compile", "s", escape_source));
    add_object(module, "ESCAPE_SEQUENCE", st.pattern);
    st.empty = own(PyUnicode_FromString(""));
    add_functions(module, {&escape_def});
}

}  // namespace

OVK_MODULE(State, exec, nullptr)
