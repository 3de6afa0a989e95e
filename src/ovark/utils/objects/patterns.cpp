// ovark.utils.objects - patterns: a requirement's pattern texts compiled once
// per call, and the test of a text against a compiled pattern, with the
// patterns that match every text known without running them.
#include "state.hpp"

namespace objects {

// Pattern texts that match every text from its start: ".*" may match nothing.
bool always_matching_text(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ_CHAR(text, i); };
    auto tail = [&](Py_ssize_t i) {  // ".*)" or ".*?)" from i to the end
        if (n - i == 3) return at(i) == '.' && at(i + 1) == '*' && at(i + 2) == ')';
        if (n - i == 4) return at(i) == '.' && at(i + 1) == '*' && at(i + 2) == '?' && at(i + 3) == ')';
        return false;
    };
    if (n < 4 || at(0) != '(') return false;
    if (tail(1)) return true;
    // "(?P<name>.*)"
    if (n < 8 || at(1) != '?' || at(2) != 'P' || at(3) != '<') return false;
    Py_ssize_t i = 4;
    auto word = [](Py_UCS4 ch, bool first) {
        return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (!first && ch >= '0' && ch <= '9');
    };
    if (i >= n || !word(at(i), true)) return false;
    while (i < n && word(at(i), false)) ++i;
    if (i >= n || at(i) != '>') return false;
    return tail(i + 1);
}

// re.compile(text), each distinct text once per call.
Ref compile(Ctx& c, PyObject* text) {
    bool cacheable = PyUnicode_CheckExact(text);
    if (cacheable && c.patterns) {
        if (PyObject* hit = PyDict_GetItemWithError(c.patterns.get(), text)) return Ref::borrow(hit);
        if (PyErr_Occurred()) throw Error();
    }
    Ref compiled = call_method(c.st.names[N_compile], {c.re.get(), text});
    if (cacheable) {
        if (!c.patterns) c.patterns = own(PyDict_New());
        check(PyDict_SetItem(c.patterns.get(), text, compiled.get()));
        c.always[compiled.get()] = always_matching_text(text);
        c.kept.push_back(compiled);
    }
    return compiled;
}

// Whether `regex` (a compiled pattern) matches every text.
bool always_matches(Ctx& c, PyObject* regex) {
    auto found = c.always.find(regex);
    if (found != c.always.end()) return found->second;
    bool always = false;
    if (Py_TYPE(regex) == reinterpret_cast<PyTypeObject*>(c.st.pattern_type.get())) {
        Ref text = attr(regex, c.st.names[N_pattern]);
        always = always_matching_text(text.get());
    }
    c.kept.push_back(Ref::borrow(regex));
    c.always[regex] = always;
    return always;
}

// regex.match(text), as a truth value.
bool regex_truth(Ctx& c, PyObject* regex, PyObject* text) {
    if (always_matches(c, regex)) return true;
    return truth(call_method(c.st.names[N_match], {regex, text}));
}

// re.compile(text); one that does not compile raises the engine's ValueError.
Ref compile_or_value_error(Ctx& c, PyObject* text) {
    Ref compiled;
    try {
        compiled = compile(c, text);
    } catch (const Error&) {
        if (!clear_if(PyExc_Exception)) throw;
        Ref shown = fmt(c.st, text);
        raise(PyExc_ValueError, "'%U' is not a valid regex expression", shown.get());
    }
    return compiled;
}

// The first named group of a compiled pattern, or an empty Ref.
Ref first_group(State& st, PyObject* regex) {
    Ref groups = attr(regex, st.names[N_groupindex]);
    Ref it = own(PyObject_GetIter(groups.get()));
    Ref name = Ref::steal(PyIter_Next(it.get()));
    if (!name && PyErr_Occurred()) throw Error();
    return name;
}

}  // namespace objects
