// ovark.utils.objects - Find._match, the matcher: the requirements are
// regrouped once into a `Plan` (keys cut at "__" grouped by their first step),
// each requirement classified once into the rule that tests it, then one
// function per rule. Find._formalize_loopable, which the matcher uses to go
// through the members of a multi-level step, is here too.
#include "state.hpp"

namespace objects {

// _formalize_loopable: what to iterate for `obj`. A refused object raises the
// TypeError with its message, or, without `with_message`, gives an empty Ref.
Ref formalize_loopable(Ctx& c, PyObject* obj, bool with_message) {
    State& st = c.st;
    if (PyUnicode_Check(obj)) {
        if (!with_message) return Ref();
        Ref text = fmt(st, obj);
        raise(PyExc_TypeError, "object '%U' is a string which is not allowed.", text.get());
    }
    if (is_mapping(obj, c.Mapping.get())) return call_method(st.names[N_values], {obj});
    bool iterable =
        PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || check(PyObject_IsInstance(obj, c.Iterable.get()));
    if (iterable && !check(PyObject_IsInstance(obj, c.TopologyObject.get()))) return Ref::borrow(obj);
    if (!with_message) return Ref();
    Ref text = fmt(st, obj);
    Ref type_text = fmt(st, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    raise(PyExc_TypeError, "object '%U' of type %U is not allowed.", text.get(), type_text.get());
}

Ref Find_formalize_loopable(const Call& c, PyObject*, PyObject* obj) {
    Ctx ctx(c.state<State>(), c.module());
    return formalize_loopable(ctx, obj, true);
}

// Regroup `wanted`: keys with "__" are cut once at the first "__" and grouped
// by their first step (a plain key and a group of the same name stay two
// requirements).
Plan regroup(PyObject* wanted, bool use__syntax) {
    Plan plan;
    plan.use__syntax = use__syntax;
    auto add = [&](PyObject* key, PyObject* value) {
        Py_ssize_t cut = -1;
        if (use__syntax && PyUnicode_Check(key)) {
            Py_ssize_t n = PyUnicode_GET_LENGTH(key);
            for (Py_ssize_t i = 0; i + 1 < n; ++i)
                if (PyUnicode_READ_CHAR(key, i) == '_' && PyUnicode_READ_CHAR(key, i + 1) == '_') {
                    cut = i;
                    break;
                }
        }
        if (cut < 0) {
            Want w;
            w.key = Ref::borrow(key);
            w.value = Ref::borrow(value);
            plan.wants.push_back(std::move(w));
            return;
        }
        // Interned, as the keys of the searched mappings usually are: lookups compare pointers.
        PyObject* first_text = check(PyUnicode_Substring(key, 0, cut));
        PyUnicode_InternInPlace(&first_text);
        Ref first = Ref::steal(first_text);
        PyObject* rest_text = check(PyUnicode_Substring(key, cut + 2, PyUnicode_GET_LENGTH(key)));
        PyUnicode_InternInPlace(&rest_text);
        Ref rest = Ref::steal(rest_text);
        for (Want& w : plan.wants) {
            if (w.multi && PyUnicode_Compare(w.key.get(), first.get()) == 0) {
                check(PyDict_SetItem(w.value.get(), rest.get(), value));
                return;
            }
        }
        Want w;
        w.multi = true;
        w.key = std::move(first);
        w.value = own(PyDict_New());
        check(PyDict_SetItem(w.value.get(), rest.get(), value));
        plan.wants.push_back(std::move(w));
    };
    if (PyDict_CheckExact(wanted)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(wanted, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            add(key.get(), value.get());
        }
    } else {
        for_each(wanted, [&](PyObject* key) {
            Ref value = own(PyObject_GetItem(wanted, key));
            add(key, value.get());
        });
    }
    return plan;
}

namespace {

Rule classify(Ctx& c, Want& w) {
    PyObject *key = w.key.get(), *value = w.value.get();
    if (check(PyObject_IsInstance(value, c.BaseLogic.get()))) return Rule::Logic;
    if (PyCallable_Check(value)) return is_exact_text(key, "callable_") ? Rule::CallableObj : Rule::Callable;
    if (is_operator(c.st, key)) return Rule::OperatorKey;
    if (is_pattern(key)) return Rule::PatternKey;
    if (is_operator(c.st, value) && has_pattern(value)) return Rule::PatternValue;
    return Rule::Plain;
}

// obj[key] for a mapping, getattr(obj, key) otherwise; an empty Ref when the
// entry or attribute is missing (a key that is not a text is a missing attribute).
Ref member_of(Ctx& c, PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) return dict_get(obj, key);
    if (is_mapping(obj, c.Mapping.get())) {
        Ref v = Ref::steal(PyObject_GetItem(obj, key));
        if (!v) {
            if (!clear_if(PyExc_KeyError)) throw Error();
        }
        return v;
    }
    if (!PyUnicode_Check(key)) return Ref();
    return optional_attr(obj, key);
}

// Calls `f(key, value)` for each entry of a mapping (`obj.items()`), or for
// each instance attribute of anything else.
template <class F>
void for_each_entry(Ctx& c, PyObject* obj, F&& f) {
    if (is_mapping(obj, c.Mapping.get())) return for_items(obj, c.st.names[N_items], f);
    Ref held = optional_attr(obj, c.st.names[N___dict__]);
    if (!held || !PyDict_Check(held.get())) return;
    Ref copy = own(PyDict_Copy(held.get()));
    Ref source = own(PyDict_Items(copy.get()));
    for_each(source.get(), [&](PyObject* item) {
        auto [key, value] = unpack<2>(item);
        f(key.get(), value.get());
    });
}

// A new list: the keys of `prefix`, then `tail`.
Ref path_list(const Prefix* prefix, std::initializer_list<PyObject*> tail) {
    Py_ssize_t n = prefix ? (Py_ssize_t)prefix->size() : 0;
    Ref list = own(PyList_New(n + (Py_ssize_t)tail.size()));
    for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list.get(), k, Py_NewRef((*prefix)[k]));
    for (PyObject* item : tail) PyList_SET_ITEM(list.get(), n++, Py_NewRef(item));
    return list;
}

// self._match(obj, wanted, use__syntax, filter_=filter_) through the instance.
Ref call_match(Ctx& c, PyObject* obj, PyObject* wanted, bool use__syntax, bool filter) {
    Ref kwnames = own(PyTuple_Pack(1, c.st.names[N_filter_]));
    return call_method(c.st.names[N__match],
                       {c.self, obj, wanted, use__syntax ? Py_True : Py_False, filter ? Py_True : Py_False},
                       kwnames.get());
}

// The (value, path) pair of a match one level down, with `steps` put in front.
Ref prefixed(PyObject* sub, std::initializer_list<PyObject*> steps) {
    if (!sub || !PyTuple_Check(sub) || PyTuple_GET_SIZE(sub) != 2 || !PyList_Check(PyTuple_GET_ITEM(sub, 1)))
        return Ref();
    PyObject* path = PyTuple_GET_ITEM(sub, 1);
    Ref joined = list_of(steps);
    check(PyList_SetSlice(joined.get(), PyList_GET_SIZE(joined.get()), PyList_GET_SIZE(joined.get()), path));
    return pair_of(PyTuple_GET_ITEM(sub, 0), joined.get());
}

Ref prefixed(PyObject* sub, const Ref& steps) {
    PyObject* path = PyTuple_GET_ITEM(sub, 1);
    Ref joined = own(PySequence_List(steps.get()));
    check(PyList_SetSlice(joined.get(), PyList_GET_SIZE(joined.get()), PyList_GET_SIZE(joined.get()), path));
    return pair_of(PyTuple_GET_ITEM(sub, 0), joined.get());
}

// One nested match: `member` against the rest of a multi-level requirement.
bool submatch(Ctx& c, PyObject* member, Want& w, bool use__syntax, bool filter, Ref& sub) {
    if (!c.direct) {
        Ref r = call_match(c, member, w.value.get(), use__syntax, filter);
        if (!truth(r)) return false;
        sub = r;
        return true;
    }
    if (!w.sub) w.sub = std::make_unique<Plan>(regroup(w.value.get(), use__syntax));
    return match_plan(c, member, *w.sub, filter, sub);
}

// Rule 1: a multi-level requirement.
bool match_multi(Ctx& c, PyObject* obj, Want& w, bool use__syntax, bool filter, Ref& last) {
    Ref child;
    if (is_mapping(obj, c.Mapping.get())) {
        child = member_of(c, obj, w.key.get());
    } else {
        child = Ref::steal(PyObject_GetAttr(obj, w.key.get()));
        if (!child && !clear_if(PyExc_Exception)) throw Error();
    }
    if (!child) return false;
    Ref sub;
    auto record = [&](std::initializer_list<PyObject*> steps) {
        if (!filter)
            if (Ref p = prefixed(sub.get(), steps)) last = p;
    };
    Ref loop;
    if (!is_mapping(child.get(), c.Mapping.get())) {
        if (c.direct) {
            loop = formalize_loopable(c, child.get(), false);
        } else {
            loop = Ref::steal(PyObject_CallMethodOneArg(c.self, c.st.names[N__formalize_loopable], child.get()));
            if (!loop) {
                if (!clear_if(PyExc_TypeError)) throw Error();
            }
        }
    }
    if (!loop) {  // a mapping, or refused as a loopable: matched whole
        if (!submatch(c, child.get(), w, use__syntax, filter, sub)) return false;
        record({w.key.get()});
        return true;
    }
    bool positions = PyList_Check(loop.get()) || PyTuple_Check(loop.get());
    Py_ssize_t position = 0;
    bool found = false;
    Ref it = own(PyObject_GetIter(loop.get()));
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
        if (submatch(c, member.get(), w, use__syntax, filter, sub)) {
            found = true;
            if (positions) {
                Ref index = own(PyLong_FromSsize_t(position));
                record({w.key.get(), index.get()});
            } else {
                record({w.key.get()});
            }
            break;
        }
        ++position;
    }
    if (PyErr_Occurred()) throw Error();
    return found;
}

// Whether a candidate's value matches the expected value of an operator key.
bool candidate_matches(Ctx& c, PyObject* obj, PyObject* value, PyObject* expected) {
    PyObject* parent = nullptr;
    if (is_notexists(c.st, expected)) {
        set_parent(expected, obj);
        parent = obj;
    }
    if (is_operator(c.st, expected) && has_pattern(expected)) {
        Ref text = text_of(value);
        bool ok = regex_truth(c, op_regex(expected).get(), text.get());
        return is_not(c.st, expected) ? !ok : ok;
    }
    if (is_pattern(expected)) {
        Ref regex = compile_or_value_error(c, expected);
        Ref text = text_of(value);
        return regex_truth(c, regex.get(), text.get());
    }
    return value_equals(c, value, expected, parent);
}

// One plain requirement (rules 2 to 8).
bool match_plain(Ctx& c, PyObject* obj, Want& w, bool filter, Ref& last, const Prefix* prefix) {
    if (w.rule == Rule::Unknown) w.rule = classify(c, w);
    PyObject *key = w.key.get(), *expected = w.value.get();
    auto record = [&](PyObject* value, PyObject* step) {
        if (filter) return;
        Ref path = step ? path_list(prefix, {step}) : path_list(prefix, {});
        last = pair_of(value, path.get());
    };
    switch (w.rule) {
        case Rule::CallableObj: {
            if (!truth(own(PyObject_CallOneArg(expected, obj)))) return false;
            record(obj, nullptr);
            return true;
        }
        case Rule::Logic:
        case Rule::Callable: {
            Ref value = member_of(c, obj, key);
            if (!value) return false;
            if (!truth(own(PyObject_CallOneArg(expected, value.get())))) return false;
            record(value.get(), key);
            return true;
        }
        case Rule::OperatorKey: {
            set_parent(key, obj);
            bool matched = false;
            for_each_entry(c, obj, [&](PyObject* k, PyObject* v) {
                if (!op_equals(c, key, k, obj)) return;
                if (!candidate_matches(c, obj, v, expected)) return;
                matched = true;
                record(v, k);
            });
            return matched;
        }
        case Rule::PatternKey: {
            if (!w.regex) w.regex = compile_or_value_error(c, key);
            bool always = always_matches(c, w.regex.get());
            PyObject* parent = nullptr;
            bool matched = false;
            for_each_entry(c, obj, [&](PyObject* k, PyObject* v) {
                Ref text = text_of(k);
                if (!always && !regex_truth(c, w.regex.get(), text.get())) return;
                if (is_notexists(c.st, expected)) {
                    set_parent(expected, obj);
                    parent = obj;
                }
                if (!value_equals(c, v, expected, parent)) return;
                matched = true;
                record(v, k);
            });
            return matched;
        }
        case Rule::PatternValue: {
            if (is_notexists(c.st, expected)) set_parent(expected, obj);
            Ref value = member_of(c, obj, key);
            if (!value) return false;
            Ref text = text_of(value.get());
            bool ok = regex_truth(c, op_regex(expected).get(), text.get());
            if (is_not(c.st, expected)) ok = !ok;
            if (!ok) return false;
            record(value.get(), key);
            return true;
        }
        default: {
            Ref value = member_of(c, obj, key);
            if (!value) return false;
            PyObject* parent = nullptr;
            if (is_notexists(c.st, expected)) {
                set_parent(expected, obj);
                parent = obj;
            }
            if (!value_equals(c, value.get(), expected, parent)) return false;
            record(value.get(), key);
            return true;
        }
    }
}

// `obj == None`, without a call for the common builtins.
bool equals_none(PyObject* obj) {
    if (obj == Py_None) return true;
    if (PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_CheckExact(obj) ||
        PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBool_Check(obj))
        return false;
    return equal(obj, Py_None);
}

}  // namespace

// The matcher: every requirement of `plan` must hold for `obj`. With `filter`
// false, `pair` gets the (value, path) pair of the requirement tested last.
bool match_plan(Ctx& c, PyObject* obj, Plan& plan, bool filter, Ref& pair, const Prefix* prefix) {
    RecursionGuard guard(" while matching requirements");
    if (equals_none(obj)) return false;
    Ref last;
    for (Want& w : plan.wants) {
        bool ok;
        try {
            if (w.multi) {
                ok = match_multi(c, obj, w, plan.use__syntax, filter, last);
                if (ok && last && prefix && !prefix->empty()) last = prefixed(last.get(), path_list(prefix, {}));
            } else {
                ok = match_plain(c, obj, w, filter, last, prefix);
            }
        } catch (const Error&) {
            if (!clear_if(PyExc_KeyError) && !clear_if(PyExc_AssertionError) && !clear_if(PyExc_AttributeError)) throw;
            return false;
        }
        if (!ok) return false;
    }
    pair = last;
    return true;
}

// The interpreter-level result of the matcher.
Ref match_result(bool ok, bool filter, Ref& pair) {
    if (!ok) return Ref::borrow(Py_False);
    if (filter || !pair) return Ref::borrow(Py_True);
    return pair;
}

Ref Find_match(const Call& c, PyObject* self, PyObject* obj, PyObject* wanted, PyObject* use__syntax,
               PyObject* filter_) {
    Ctx ctx(c.state<State>(), c.module(), self);
    bool filter = truth(filter_);
    Plan plan = regroup(wanted, truth(use__syntax));
    Ref pair;
    bool ok = match_plan(ctx, obj, plan, filter, pair);
    return match_result(ok, filter, pair);
}

}  // namespace objects
