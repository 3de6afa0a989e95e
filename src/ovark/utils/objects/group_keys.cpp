// ovark.utils.objects - named pattern groups: Find._populate_path (the paths a
// requirement stands for, given the values of its groups) and
// GroupKeys.group_keys (find results tabulated by the groups of their
// requirements).
#include "state.hpp"

namespace objects {

Ref Find_populate_path(const Call& c, PyObject*, PyObject* path, PyObject* keys, PyObject* device, PyObject* cur_path,
                       PyObject* first) {
    State& st = c.state<State>();
    Ctx ctx(st, c.module());
    std::vector<Ref> paths;
    paths.push_back(truth(cur_path) ? own(PySequence_List(cur_path)) : new_list());
    for_each(path, [&](PyObject* item) {
        Ref value = Ref::borrow(item), regex;
        if (is_operator(st, item)) {
            value = op_value(item);
            if (is_text_with(value.get(), "(") && has_pattern(item)) regex = op_regex(item);
        } else if (is_text_with(item, "(")) {
            regex = compile_or_value_error(ctx, item);
        }
        std::vector<Ref> alternatives;
        Ref name = regex ? first_group(st, regex.get()) : Ref();
        if (is_exact_text(value.get(), "{uut}")) {
            alternatives.push_back(Ref::borrow(device));
        } else if (name && check(PySequence_Contains(keys, name.get()))) {
            Ref candidates = own(PyObject_GetItem(keys, name.get()));
            for_each(candidates.get(), [&](PyObject* v) {
                Ref text = text_of(v);
                if (regex_truth(ctx, regex.get(), text.get())) alternatives.push_back(Ref::borrow(v));
            });
        } else {
            alternatives.push_back(value);
        }
        std::vector<Ref> next;
        for (auto& p : paths)
            for (auto& a : alternatives) {
                Ref longer = own(PySequence_List(p.get()));
                append(longer.get(), a.get());
                next.push_back(std::move(longer));
            }
        paths = std::move(next);
    });
    Ref result = new_list();
    if (!truth(first)) {
        for (auto& p : paths) append(result.get(), p.get());
        return result;
    }
    Ref unique = own(PySet_New(nullptr));
    for (auto& p : paths) check(PySet_Add(unique.get(), own(PySequence_Tuple(p.get())).get()));
    for_each(unique.get(), [&](PyObject* t) { append(result.get(), own(PySequence_List(t)).get()); });
    return result;
}

Ref GroupKeys_group_keys(const Call& c, PyObject*, PyObject* source, PyObject* reqs, PyObject*, PyObject* all_keys) {
    State& st = c.state<State>();
    Ctx ctx(st, c.module());
    Ref outputs = truth(all_keys) ? Ref::borrow(source) : list_of({source});  // one find output per requirement
    Ref sources = new_list();
    for_each(outputs.get(), [&](PyObject* found) {
        Ref full_paths = new_list();
        for_each(found, [&](PyObject* pair) {
            auto [value, path] = unpack<2>(pair);
            Ref tail = list_of({value.get()});
            append(full_paths.get(), own(PyNumber_Add(path.get(), tail.get())).get());
        });
        append(sources.get(), full_paths.get());
    });
    // Each list of full paths with its own requirement entry, sorted by the
    // paths alone (a stable sort), so that every row takes its column names
    // from the requirement that found it.
    std::vector<Ref> entries;
    Ref reqs_it = own(PyObject_GetIter(reqs));
    while ((Py_ssize_t)entries.size() < PyList_GET_SIZE(sources.get())) {
        Ref entry = Ref::steal(PyIter_Next(reqs_it.get()));
        if (!entry) {
            if (PyErr_Occurred()) throw Error();
            break;
        }
        entries.push_back(std::move(entry));
    }
    Py_ssize_t n = (Py_ssize_t)entries.size();
    Ref paired = own(PyList_GetSlice(sources.get(), 0, n));
    Ref order = own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(order.get(), i, own(PyLong_FromSsize_t(i)).release());
    if (n > 1) {
        Ref by_paths = attr(paired.get(), st.names[N___getitem__]);
        Ref kwnames = own(PyTuple_Pack(1, st.names[N_key]));
        call_method(st.names[N_sort], {order.get(), by_paths.get()}, kwnames.get());
    }
    Ref result = new_list();
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t s = PyLong_AsSsize_t(PyList_GET_ITEM(order.get(), k));
        const Ref& entry = entries[(size_t)s];
        for_each(PyList_GET_ITEM(paired.get(), s), [&](PyObject* full_path) {
            for_each(entry.get(), [&](PyObject* req_path) {
                Ref row = own(PyDict_New());
                Ref a = own(PyObject_GetIter(full_path)), b = own(PyObject_GetIter(req_path));
                while (true) {
                    Ref element = Ref::steal(PyIter_Next(a.get()));
                    if (!element) break;
                    Ref req_element = Ref::steal(PyIter_Next(b.get()));
                    if (!req_element) break;
                    Ref regex;
                    if (is_operator(st, req_element.get())) {
                        if (is_text_with(op_value(req_element.get()).get(), "(?P<")) {
                            regex = op_regex(req_element.get());
                            if (regex.get() == Py_None) {
                                Ref shown = fmt(st, op_value(req_element.get()).get());
                                raise(PyExc_ValueError, "'%U' is not a valid regex expression", shown.get());
                            }
                        }
                    } else if (is_text_with(req_element.get(), "(?P<")) {
                        regex = compile_or_value_error(ctx, req_element.get());
                    }
                    if (!regex) continue;
                    Ref name = first_group(st, regex.get());
                    if (!name) raise(PyExc_IndexError, "list index out of range");
                    check(PyDict_SetItem(row.get(), name.get(), element.get()));
                }
                if (PyErr_Occurred()) throw Error();
                append(result.get(), row.get());
            });
        });
    }
    return result;
}

}  // namespace objects
