// ovark.utils.objects - Find.find, the driver: the members and their classes,
// the requirements (Find._normalize_r writes a literal shared by every path
// into them), then each requirement over the members. A path requirement is
// compiled into `PathPlan`s and walked one step at a time (take_step, walk),
// the keys that led to a member kept as a prefix of the paths it records; the
// results of the requirements are combined (combine, all_keys) and, with
// `index`, replaced by their enclosing objects (Find._build_dict).
#include "state.hpp"

#include <algorithm>
#include <unordered_set>

namespace objects {

namespace {

Ref first_path(State& st, PyObject* req) {
    Ref args = attr(req, st.names[N_args]);
    Ref as_list = own(PySequence_List(args.get()));
    return own(PySequence_GetItem(as_list.get(), 0));
}

Ref rs_over(State& st, const std::vector<Ref>& paths) {
    Ref result = own(PyList_New((Py_ssize_t)paths.size()));
    for (size_t i = 0; i < paths.size(); ++i)
        PyList_SET_ITEM(result.get(), (Py_ssize_t)i, new_path_r(st, paths[i].get()).release());
    return result;
}

// An operator whose value cannot be hashed (its hash is the value's own
// __hash__, which such a value lacks).
bool unhashable_operator(State& st, PyObject* o) {
    if (!is_operator(st, o) || Py_TYPE(o)->tp_hash != op_hash) return false;
    Ref inner = Ref::borrow(o);
    for (int depth = 0; depth < 64 && is_operator(st, inner.get()) && Py_TYPE(inner.get())->tp_hash == op_hash; ++depth)
        inner = op_value(inner.get());
    return PyObject_HashNotImplemented == Py_TYPE(inner.get())->tp_hash;
}

}  // namespace

// Where the paths differ at one position only by patterns against one literal,
// the literal is written into every path (in the set's own order, so only when
// the literal comes before the first pattern). A path that is not a list
// leaves the requirements alone: the driver refuses it with its own error.
Ref normalize_r(State& st, PyObject* requirements) {
    if (!truth(requirements)) return Ref::borrow(requirements);
    Ref rest = own(PySequence_GetSlice(requirements, 1, PY_SSIZE_T_MAX));
    if (!truth(rest)) return Ref::borrow(requirements);
    Ref first = own(PySequence_GetItem(requirements, 0));
    if (!truth(attr(first.get(), st.names[N_args]))) return Ref::borrow(requirements);
    Py_ssize_t min_len = PY_SSIZE_T_MAX;
    std::vector<Ref> to_process;
    bool unchanged = false;
    for_each(requirements, [&](PyObject* req) {
        if (unchanged) return;
        if (!truth(attr(req, st.names[N_args]))) {
            unchanged = true;
            return;
        }
        Ref path = first_path(st, req);
        if (!PyList_Check(path.get())) {
            unchanged = true;
            return;
        }
        min_len = std::min(min_len, PyList_GET_SIZE(path.get()));
        to_process.push_back(std::move(path));
    });
    if (unchanged) return Ref::borrow(requirements);
    for (Py_ssize_t index = 0; index < min_len; ++index) {
        Ref elements = own(PyTuple_New((Py_ssize_t)to_process.size()));
        bool hashable = true;
        for (size_t i = 0; i < to_process.size(); ++i) {
            PyObject* element = own(PySequence_GetItem(to_process[i].get(), index)).release();
            PyTuple_SET_ITEM(elements.get(), (Py_ssize_t)i, element);
            hashable = hashable && !unhashable_operator(st, element);
        }
        if (!hashable) continue;  // like any other element that cannot be hashed
        Ref members = Ref::steal(PySet_New(elements.get()));
        if (!members) {  // values that cannot be hashed (a list expected, say): nothing to reduce here
            if (!clear_if_unhashable()) throw Error();
            continue;
        }
        if (PySet_GET_SIZE(members.get()) < 2) continue;
        Ref literal = Ref::borrow(Py_None);
        Ref it = own(PyObject_GetIter(members.get()));
        while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
            if (is_pattern(member.get())) break;
            if (truth(literal)) return rs_over(st, to_process);
            literal = member;
        }
        if (PyErr_Occurred()) throw Error();
        if (truth(literal))
            for (auto& path : to_process) {
                Ref i = own(PyLong_FromSsize_t(index));
                check(PyObject_SetItem(path.get(), i.get(), literal.get()));
            }
    }
    return rs_over(st, to_process);
}

Ref Find_normalize_r(const Call& c, PyObject*, PyObject* requirements) {
    return normalize_r(c.state<State>(), requirements);
}

namespace {

// The set built from results hashes them: run the hash of `o` where it may run
// code or fail otherwise than as unhashable, so that such failures propagate.
void probe_hash(PyObject* o) {
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None ||
        PyDict_CheckExact(o) || PyList_CheckExact(o))
        return;
    if (PyObject_Hash(o) == -1 && PyErr_Occurred() && !clear_if_unhashable()) throw Error();
}

// One step of a path requirement, classified on first use.
struct StepPlan {
    enum Kind { Unknown, Pattern, Lookup, Broken } kind = Unknown;
    Ref step;
    Ref regex;
    bool always = false;
};

// One path list of a requirement: the steps and the expected value (last).
struct PathPlan {
    Ref list;
    std::vector<StepPlan> steps;  // all elements but the last
    Ref expected;
    bool checked = false;         // list and length verified
    bool last_ready = false;
    Plan last;                    // {steps[-1]: expected}, without "__" cutting
};

struct ReqPlan {
    PyObject* req = nullptr;  // borrowed from the requirement list
    bool ready = false;
    bool is_path = false;
    std::vector<PathPlan> paths;
    Ref args;
    bool kw_ready = false;
    Plan kw;
};

struct Search {
    bool filter;
    PyObject* filter_obj;
    PyObject* all_keys;
};

[[noreturn]] void raise_not_list(PyObject* arg_list, PyObject* args) {
    Ref a = own(PyObject_Str(arg_list)), b = own(PyObject_Str(args));
    raise(PyExc_TypeError,
          "'args' has to be list. Instead %U in %U was provided. Examples of acceptable requirement:\n"
          "find(iterable, R(['a','b', 1]) ",
          a.get(), b.get());
}

[[noreturn]] void raise_too_short(PyObject* arg_list, PyObject* args) {
    Ref a = own(PyObject_Str(arg_list)), b = own(PyObject_Str(args));
    raise(PyExc_ValueError,
          "R object expected *args list with at least 2 values that the last one will be used as the expected "
          "value but instead received %U within %U",
          a.get(), b.get());
}

// Check one path list of a requirement and snapshot its elements.
void prepare_path(PathPlan& p, PyObject* args) {
    if (p.checked) return;
    if (!PyList_Check(p.list.get())) raise_not_list(p.list.get(), args);
    Py_ssize_t n = PyList_GET_SIZE(p.list.get());
    if (n < 2) raise_too_short(p.list.get(), args);
    p.steps.clear();
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        StepPlan s;
        s.step = Ref::borrow(PyList_GET_ITEM(p.list.get(), i));
        p.steps.push_back(std::move(s));
    }
    p.expected = Ref::borrow(PyList_GET_ITEM(p.list.get(), n - 1));
    p.checked = true;
}

// Whether a step is a pattern (compiled once), a key or attribute, or one that
// fails for every member.
void classify_step(Ctx& c, StepPlan& s) {
    if (s.kind != StepPlan::Unknown) return;
    try {
        if (is_pattern(s.step.get())) {
            s.regex = compile(c, s.step.get());
            s.always = always_matches(c, s.regex.get());
            s.kind = StepPlan::Pattern;
        } else {
            s.kind = StepPlan::Lookup;
        }
    } catch (const Error&) {
        if (!clear_if(PyExc_Exception)) throw;
        s.kind = StepPlan::Broken;
    }
}

using Children = std::vector<std::pair<Ref, Ref>>;  // (child, key that reached it)

// The children that one step reaches from `item`; none when taking the step
// fails (a missing key or attribute, ...). A pattern step walks the entries of
// a mapping; anything else has none.
Children take_step(Ctx& c, PyObject* item, StepPlan& s) {
    Children children;
    classify_step(c, s);
    if (s.kind == StepPlan::Broken) return children;
    try {
        bool mapping = is_mapping(item, c.Mapping.get());
        if (s.kind == StepPlan::Pattern) {
            if (!mapping) return children;
            for_items(item, c.st.names[N_items], [&](PyObject* k, PyObject* v) {
                if (!s.always || !PyUnicode_CheckExact(k)) {
                    Ref text = text_of(k);
                    if (!s.always && !regex_truth(c, s.regex.get(), text.get())) return;
                }
                children.emplace_back(Ref::borrow(v), Ref::borrow(k));
            });
        } else if (mapping) {
            if (is_operator(c.st, s.step.get())) set_parent(s.step.get(), item);
            Ref child = PyDict_CheckExact(item) ? dict_get(item, s.step.get())
                                                : Ref::steal(PyObject_GetItem(item, s.step.get()));
            if (!child) {
                if (PyErr_Occurred()) throw Error();
                return children;
            }
            children.emplace_back(std::move(child), s.step);
        } else {
            Ref child = attr(item, s.step.get());
            children.emplace_back(std::move(child), s.step);
        }
    } catch (const Error&) {
        if (!clear_if(PyExc_Exception)) throw;
        children.clear();
    }
    return children;
}

Plan& last_plan(PathPlan& p) {
    if (!p.last_ready) {
        PyObject* step = p.steps.back().step.get();
        if (PyObject_Hash(step) == -1 && PyErr_Occurred()) throw Error();  // it keys a one-entry mapping
        Want w;
        w.key = Ref::borrow(step);
        w.value = p.expected;
        p.last.use__syntax = false;
        p.last.wants.push_back(std::move(w));
        p.last_ready = true;
    }
    return p.last;
}

// The search `find([member], R(path[i:]))` (nested) or one member of the
// outermost search: pairs go to `out` (filter false), with `prefix` as the
// keys that led here. Returns whether the member is admitted.
bool walk(Ctx& c, PyObject* member, PathPlan& p, size_t i, const Search& s, PyObject* out, Prefix& prefix,
          bool nested) {
    RecursionGuard guard(" while walking a requirement path");
    Py_ssize_t before = out ? PyList_GET_SIZE(out) : 0;
    bool admitted = false;
    if (i + 1 == p.steps.size()) {
        Ref pair;  // its path starts with the keys of `prefix`
        if (match_plan(c, member, last_plan(p), s.filter, pair, &prefix)) {
            admitted = true;
            if (!s.filter) append(out, pair ? pair.get() : Py_True);
        }
    } else {
        Children children = take_step(c, member, p.steps[i]);
        for (auto& [child, key] : children) {
            prefix.push_back(key.get());
            bool found = walk(c, child.get(), p, i + 1, s, out, prefix, true);
            prefix.pop_back();
            admitted = admitted || found;
        }
    }
    // The nested search ends by putting its results in a set: their hashes run.
    if (nested && admitted) {
        if (s.filter)
            probe_hash(member);
        else if (PyList_GET_SIZE(out) > before && PyTuple_Check(PyList_GET_ITEM(out, before)))
            probe_hash(PyTuple_GET_ITEM(PyList_GET_ITEM(out, before), 0));
    }
    return admitted;
}

// One member of the outermost search when Find's methods are overridden: the
// nested searches and the matcher are called through the instance.
bool walk_dispatch(Ctx& c, PyObject* item, PathPlan& p, const Search& s, PyObject* out) {
    State& st = c.st;
    if (p.steps.size() == 1) {
        Ref wanted = own(PyDict_New());
        check(PyDict_SetItem(wanted.get(), p.steps[0].step.get(), p.expected.get()));
        Ref kwnames = own(PyTuple_Pack(2, st.names[N_use__syntax], st.names[N_filter_]));
        Ref r = call_method(st.names[N__match], {c.self, item, wanted.get(), Py_False, s.filter_obj}, kwnames.get());
        if (!truth(r)) return false;
        if (!s.filter) append(out, r.get());
        return true;
    }
    bool admitted = false;
    Children children = take_step(c, item, p.steps[0]);
    Ref rest = own(PyList_GetSlice(p.list.get(), 1, PY_SSIZE_T_MAX));
    Ref r = new_path_r(st, rest.get());
    Ref kwnames = own(PyTuple_Pack(3, st.names[N_filter_], st.names[N__first], st.names[N_all_keys]));
    for (auto& [child, key] : children) {
        Ref from = list_of({child.get()});
        Ref found = call_method(st.names[N_find], {c.self, from.get(), r.get(), s.filter_obj, Py_False, s.all_keys},
                                kwnames.get());
        if (!truth(found)) continue;
        admitted = true;
        if (s.filter) continue;
        for_each(found.get(), [&](PyObject* match) {
            Ref path = own(PySequence_GetItem(match, 1));
            Ref zero = own(PyLong_FromLong(0));
            call_method(st.names[N_insert], {path.get(), zero.get(), key.get()});
            append(out, match);
        });
    }
    return admitted;
}

// The members admitted by one requirement, in order (filter true), or their
// (value, path) pairs (filter false). `owners` gets, per result, the position
// of the member it came from.
Ref search_requirement(Ctx& c, PyObject* members, PyObject* type_, ReqPlan& rp, const Search& s,
                       std::vector<Py_ssize_t>& owners) {
    State& st = c.st;
    Ref ret = new_list();
    PyObject* req = rp.req;
    Py_ssize_t n_types = PyList_GET_SIZE(type_);
    Prefix prefix;
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(members); ++m) {
        Ref item = Ref::borrow(PyList_GET_ITEM(members, m));
        if (n_types) {
            bool fits = false;
            for (Py_ssize_t t = 0; t < PyList_GET_SIZE(type_) && !fits; ++t) {
                Ref cls = Ref::borrow(PyList_GET_ITEM(type_, t));  // the caller's list: __instancecheck__ may change it
                fits = check(PyObject_IsInstance(item.get(), cls.get()));
            }
            if (!fits) continue;
        }
        if (!rp.ready) {
            rp.args = field(req, as_r(req)->args, "args");
            rp.is_path = truth(rp.args);
            if (rp.is_path)
                for_each(rp.args.get(), [&](PyObject* arg_list) {
                    PathPlan p;
                    p.list = Ref::borrow(arg_list);
                    rp.paths.push_back(std::move(p));
                });
            rp.ready = true;
        }
        Py_ssize_t before = PyList_GET_SIZE(ret.get());
        if (rp.is_path) {
            for (PathPlan& p : rp.paths) {
                prepare_path(p, rp.args.get());
                bool admitted = c.direct ? walk(c, item.get(), p, 0, s, s.filter ? nullptr : ret.get(), prefix, false)
                                         : walk_dispatch(c, item.get(), p, s, ret.get());
                if (admitted && s.filter) append(ret.get(), item.get());
            }
        } else if (c.direct) {
            if (!rp.kw_ready) {
                rp.kw = regroup(field(req, as_r(req)->kwargs, "kwargs").get(), true);
                rp.kw_ready = true;
            }
            Ref pair;
            if (match_plan(c, item.get(), rp.kw, s.filter, pair))
                append(ret.get(), s.filter ? item.get() : match_result(true, false, pair).get());
        } else {
            Ref wanted = field(req, as_r(req)->kwargs, "kwargs");
            Ref kwnames = own(PyTuple_Pack(1, st.names[N_filter_]));
            Ref r = call_method(st.names[N__match], {c.self, item.get(), wanted.get(), s.filter_obj}, kwnames.get());
            if (truth(r)) append(ret.get(), s.filter ? item.get() : r.get());
        }
        for (Py_ssize_t k = before; k < PyList_GET_SIZE(ret.get()); ++k) owners.push_back(m);
    }
    return ret;
}

// What every requirement admitted: the first list intersected as a set with
// each list in turn; members that cannot be hashed intersect by equality.
Ref combine(Ctx& c, PyObject* return_objs) {
    Ref result = Ref::borrow(PyList_GET_ITEM(return_objs, 0));
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(return_objs); ++i) {
            Ref a = own(PySet_New(result.get()));
            Ref b = own(PySet_New(PyList_GET_ITEM(return_objs, i)));
            Ref both = own(PyNumber_And(a.get(), b.get()));
            result = own(PySequence_List(both.get()));
        }
    } catch (const Error&) {
        if (!clear_if_unhashable()) throw;
        if (c.direct) return unhashable_intersection(c, return_objs);
        return call_method(c.st.names[N__unhashable_intersection], {c.self, return_objs});
    }
    return result;
}

// all_keys: for every member that every requirement admitted, the matches of
// the first requirement on it, in the order found.
Ref all_keys_matches(PyObject* return_objs, const std::vector<std::vector<Py_ssize_t>>& owners) {
    std::vector<std::unordered_set<Py_ssize_t>> admitted(owners.size());
    for (size_t r = 0; r < owners.size(); ++r) admitted[r].insert(owners[r].begin(), owners[r].end());
    Ref result = new_list();
    PyObject* first = PyList_GET_ITEM(return_objs, 0);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(first); ++k) {
        Py_ssize_t member = owners[0][k];
        bool everywhere = true;
        for (size_t r = 1; r < owners.size() && everywhere; ++r) everywhere = admitted[r].count(member) > 0;
        if (everywhere) append(result.get(), PyList_GET_ITEM(first, k));
    }
    return result;
}

// index: each match becomes (the enclosing object `index` steps down, path).
Ref apply_index(Ctx& c, PyObject* result, PyObject* member, PyObject* index) {
    Ref out = new_list();
    for_each(result, [&](PyObject* match) {
        Ref path = own(PySequence_GetItem(match, 1));
        Ref size = own(PyLong_FromSsize_t(length(path.get())));
        if (check(PyObject_RichCompareBool(size.get(), index, Py_LT))) {
            Ref i = fmt(c.st, index), p = fmt(c.st, path.get());
            raise(PyExc_ValueError, "Cannot use index of size '%U' on '%U'", i.get(), p.get());
        }
        Ref value;
        if (c.direct) {
            value = build_dict(c, member, path.get(), index);
        } else {
            Ref kwnames = own(PyTuple_Pack(3, c.st.names[N_from_], c.st.names[N_keys], c.st.names[N_index]));
            value = call_method(c.st.names[N__build_dict], {c.self, member, path.get(), index}, kwnames.get());
        }
        append(out.get(), pair_of(value.get(), path.get()).get());
    });
    return out;
}

bool has_attr(PyObject* obj, PyObject* name) { return (bool)optional_attr(obj, name); }

void reset_keys(State& st, PyObject* self) {
    for (PyObject* name : {st.names[N_found_objects], st.names[N_initial_object], st.names[N_initial_requirements],
                           st.names[N_initial_found_objects]}) {
        if (has_attr(self, name)) check(PyObject_DelAttr(self, name));
    }
}

// copy.copy(from_), the snapshot kept as `initial_object`; an object that
// cannot be copied (a view, a mappingproxy, ...) is kept as it is.
Ref shallow_copy(Ctx& c, PyObject* from_) {
    if (PyList_CheckExact(from_)) return own(PyList_GetSlice(from_, 0, PY_SSIZE_T_MAX));
    Ref copy_module = lookup(c.module, c.st.names[N_copy]);
    try {
        return call_method(c.st.names[N_copy], {copy_module.get(), from_});
    } catch (const Error&) {
        if (!clear_if(PyExc_Exception)) throw;
        return Ref::borrow(from_);
    }
}

void warn_both(Ctx& c) {
    Ref logger = lookup(c.module, c.st.names[N_logger]);
    Ref text = own(
        PyUnicode_FromString("Requirements were provided by using both *requirements and kwargs. Ignoring kwargs."));
    call_method(c.st.names[N_warning], {logger.get(), text.get()});
}

Ref find(Ctx& c, PyObject* from_arg, PyObject* requirements, PyObject* type_arg, PyObject* filter_obj, PyObject* index,
         PyObject* all_keys_obj, PyObject* kwargs) {
    State& st = c.st;
    PyObject* self = c.self;
    // Steps 2-4: the members, and the classes they must be instances of.
    if (!truth(from_arg)) return new_list();
    Ref from_ = Ref::borrow(from_arg);
    if (is_mapping(from_.get(), c.Mapping.get()) || !check(PyObject_IsInstance(from_.get(), c.Iterable.get())))
        from_ = list_of({from_.get()});
    Ref members = PyList_CheckExact(from_.get()) ? from_ : own(PySequence_List(from_.get()));
    bool read_once = PyIter_Check(from_.get()) && !PyList_CheckExact(from_.get());  // an iterator: its list stands in
    if (read_once) from_ = members;
    Ref type_ = type_arg == Py_None ? new_list() : PyList_Check(type_arg) ? Ref::borrow(type_arg) : list_of({type_arg});
    // Steps 6-7: the requirements.
    Ref reqs = Ref::borrow(requirements);
    if (PyTuple_GET_SIZE(requirements) == 0) {
        Ref args = own(PyTuple_New(0));
        Ref kw = own(PyDict_Copy(kwargs));
        reqs = list_of({new_r(st, args.get(), kw.get()).get()});
    } else if (PyDict_GET_SIZE(kwargs)) {
        warn_both(c);
    }
    auto check_r = [&](PyObject* req, PyObject* in) {
        if (is_r(st, req)) return;
        Ref a = fmt(st, req), b = fmt(st, in);
        raise(PyExc_TypeError, "Requirements list can only contain R objects. Another type was found: %U in %U",
              a.get(), b.get());
    };
    for_each(reqs.get(), [&](PyObject* req) { check_r(req, reqs.get()); });
    reqs = c.direct ? normalize_r(st, reqs.get()) : call_method(st.names[N__normalize_r], {self, reqs.get()});
    // Step 8: the bookkeeping of the outermost call.
    if (!c.has_initial) {
        c.has_initial = true;
        set_attr(self, st.names[N_initial_object], shallow_copy(c, from_.get()).get());
        set_attr(self, st.names[N_initial_requirements], reqs.get());
        if (PyList_GET_SIZE(members.get()) && PyDict_Check(PyList_GET_ITEM(members.get(), 0)))
            set_attr(self, st.names[N_to_find_dict], Py_True);
    }
    // Steps 9-10: each requirement over the members.
    Search s{truth(filter_obj), filter_obj, all_keys_obj};
    Ref return_objs = new_list();
    std::vector<std::vector<Py_ssize_t>> owners;
    Ref req_list = own(PySequence_List(reqs.get()));
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(req_list.get()); ++r) {
        PyObject* req = PyList_GET_ITEM(req_list.get(), r);
        check_r(req, reqs.get());
        ReqPlan rp;
        rp.req = req;
        owners.emplace_back();
        append(return_objs.get(), search_requirement(c, members.get(), type_.get(), rp, s, owners.back()).get());
    }
    // Steps 11-13.
    Ref result;
    if (truth(all_keys_obj) && !s.filter && PyList_GET_SIZE(return_objs.get()) > 1) {
        result = all_keys_matches(return_objs.get(), owners);
        set_attr(self, st.names[N_found_objects], return_objs.get());
        set_attr(self, st.names[N_initial_found_objects], PyList_GET_ITEM(return_objs.get(), 0));
    } else {
        result = combine(c, return_objs.get());
    }
    if (filter_obj == Py_False && index != Py_None && PyList_GET_SIZE(members.get()) == 1) {
        Ref member = Ref::borrow(PyList_GET_ITEM(members.get(), 0));  // may be the caller's list
        result = apply_index(c, result.get(), member.get(), index);
    }
    return result;
}

}  // namespace

Ref Find_find(const Call& c, PyObject* self, PyObject* from_, PyObject* requirements, PyObject* type_,
              PyObject* filter_, PyObject* index, PyObject* first, PyObject* all_keys, PyObject* kwargs) {
    State& st = c.state<State>();
    Ctx ctx(st, c.module(), self);
    if (truth(first)) {
        if (ctx.direct)
            reset_keys(st, self);
        else
            call_method(st.names[N_reset_keys], {self});
    } else {
        ctx.has_initial = has_attr(self, st.names[N_initial_object]);
    }
    return find(ctx, from_, requirements, type_, filter_, index, all_keys, kwargs);
}

Ref Find_reset_keys(const Call& c) {
    reset_keys(c.state<State>(), c[0]);
    return Ref::borrow(Py_None);
}

namespace {

// A path key written as its representation and read back as a literal.
Ref literal_key(Ctx& c, PyObject* key) {
    if (PyUnicode_CheckExact(key) || PyLong_CheckExact(key)) return Ref::borrow(key);
    State& st = c.st;
    if (!st.ast) st.ast = import_module("ast");
    Ref text = own(PyObject_Repr(key));
    return call_method(st.names[N_literal_eval], {st.ast.get(), text.get()});
}

}  // namespace

Ref build_dict(Ctx& c, PyObject* from_arg, PyObject* keys_arg, PyObject* index_arg) {
    Ref from_ = Ref::borrow(from_arg), keys = Ref::borrow(keys_arg), index = Ref::borrow(index_arg);
    Ref zero = own(PyLong_FromLong(0)), one = own(PyLong_FromLong(1));
    while (true) {
        if (!truth(keys) || equal(index.get(), zero.get())) return from_;
        Ref k0 = own(PySequence_GetItem(keys.get(), 0));
        Py_ssize_t used = 1;
        if (is_mapping(from_.get(), c.Mapping.get())) {
            from_ = own(PyObject_GetItem(from_.get(), k0.get()));
        } else {
            // An attribute and, when the path goes on, the entry below it (or,
            // for a value that has no entries, its attribute): one level.
            from_ = attr(from_.get(), k0.get());
            if (length(keys.get()) > 1) {
                Ref k1 = own(PySequence_GetItem(keys.get(), 1));
                if (PyMapping_Check(from_.get()) || !PyUnicode_Check(k1.get()))
                    from_ = own(PyObject_GetItem(from_.get(), literal_key(c, k1.get()).get()));
                else
                    from_ = attr(from_.get(), k1.get());
                used = 2;
            }
        }
        keys = own(PySequence_GetSlice(keys.get(), used, PY_SSIZE_T_MAX));
        index = own(PyNumber_Subtract(index.get(), one.get()));
    }
}

Ref Find_build_dict(const Call& c, PyObject*, PyObject* from_, PyObject* keys, PyObject* index) {
    Ctx ctx(c.state<State>(), c.module());
    return build_dict(ctx, from_, keys, index);
}

}  // namespace objects
