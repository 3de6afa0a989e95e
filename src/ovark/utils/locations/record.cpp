// ovark.utils.locations - Location, the record of one place: a dict subclass
// with file, line and column in C fields (the layout, and the helpers that make
// and fill records, are in state.hpp): its slots, attribute access, pickling
// and methods.
#include "state.hpp"

namespace locations {
namespace {

// The file of a record, a new reference: a zeroed record's is the empty string.
inline PyObject* file_of(LocationObject* loc) { return loc->file ? Py_NewRef(loc->file) : PyUnicode_New(0, 0); }

int location_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* loc = as_location(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(loc->file);
    Py_VISIT(loc->dict);
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int location_clear(PyObject* self) {
    auto* loc = as_location(self);
    Py_CLEAR(loc->file);
    Py_CLEAR(loc->dict);
    return PyDict_Type.tp_clear(self);
}

// The attribute dict, made from the fields when first needed.
PyObject* location_materialize(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* loc = as_location(self);
        if (loc->dict) return loc->dict;
        Ref d = own(PyDict_New());
        check(PyDict_SetItemString(d.get(), "file", own(file_of(loc)).get()));
        check(PyDict_SetItemString(d.get(), "line", own(PyLong_FromLong(loc->line1 - 1L)).get()));
        check(PyDict_SetItemString(d.get(), "column", own(PyLong_FromLong(loc->column1 - 1L)).get()));
        loc->dict = d.release();
        Ref::steal(std::exchange(loc->file, nullptr));  // the dict holds it now
        track_for(self, loc->dict);
        return loc->dict;
    });
}

enum Field { FILE_FIELD, LINE_FIELD, COLUMN_FIELD, FIELD_COUNT };
const char* const field_names[FIELD_COUNT] = {"file", "line", "column"};
constexpr Name field_name_ids[FIELD_COUNT] = {N_file, N_line, N_column};

// The interned name of a field, the key of its entry in the attribute dict.
PyObject* field_key(PyObject* self, Field field) {
    return type_state<State>(Py_TYPE(self)).names[field_name_ids[field]];
}

[[noreturn]] void no_field(PyObject* self, Field field) {
    raise(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, field_names[field]);
}

// The keys of the attribute dict may compare by code that replaces or empties
// that very dict: it is held during every lookup, as the interpreter's own
// attribute access does, and the value found is taken as a strong reference.
PyObject* location_get_field(PyObject* self, void* closure) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* loc = as_location(self);
        auto field = static_cast<Field>(reinterpret_cast<intptr_t>(closure));
        if (loc->dict) {
            Ref v = dict_get(loc->dict, field_key(self, field));
            if (!v) no_field(self, field);
            return v.release();
        }
        switch (field) {
            case FILE_FIELD: return file_of(loc);
            case LINE_FIELD: return PyLong_FromLong(loc->line1 - 1L);
            default: return PyLong_FromLong(loc->column1 - 1L);
        }
    });
}

int location_set_field(PyObject* self, PyObject* value, void* closure) {
    return boundary<int>(-1, [&] {
        auto* loc = as_location(self);
        auto field = static_cast<Field>(reinterpret_cast<intptr_t>(closure));
        if (!loc->dict) {
            if (field == FILE_FIELD && value) {
                Ref old = Ref::steal(std::exchange(loc->file, Py_NewRef(value)));
                track_for(self, value);
                return 0;
            }
            int v;
            if (field != FILE_FIELD && compact_int(value, &v)) {
                (field == LINE_FIELD ? loc->line1 : loc->column1) = v + 1;
                return 0;
            }
            check(location_materialize(self));
        }
        Ref dict = Ref::borrow(loc->dict);
        PyObject* key = field_key(self, field);
        if (value) {
            track_for(self, value);
            return check(PyDict_SetItem(dict.get(), key, value));
        }
        if (PyDict_DelItem(dict.get(), key) < 0) {
            if (!clear_if(PyExc_KeyError)) throw Error();
            no_field(self, field);
        }
        return 0;
    });
}

PyObject* location_get_dict(PyObject* self, void*) { return Py_XNewRef(location_materialize(self)); }

int location_set_dict(PyObject* self, PyObject* value, void*) {
    return boundary<int>(-1, [&] {
        if (!value) raise(PyExc_TypeError, "cannot delete __dict__");
        if (!PyDict_Check(value))
            raise(PyExc_TypeError, "__dict__ must be set to a dictionary, not a '%.200s'", Py_TYPE(value)->tp_name);
        auto* loc = as_location(self);
        Ref old_file = Ref::steal(std::exchange(loc->file, nullptr));
        Ref old_dict = Ref::steal(std::exchange(loc->dict, Py_NewRef(value)));
        track_for(self, value);
        return 0;
    });
}

// Other attribute names (of a subclass, or set by a caller) live in the dict.
int location_setattro(PyObject* self, PyObject* name, PyObject* value) {
    auto* loc = as_location(self);
    if (!loc->dict && PyUnicode_Check(name)) {
        bool field = false;
        for (const char* f : field_names) field = field || PyUnicode_CompareWithASCIIString(name, f) == 0;
        if (!field && !location_materialize(self)) return -1;
    }
    Ref dict = Ref::borrow(loc->dict);  // held while its keys compare
    if (PyObject_GenericSetAttr(self, name, value) < 0) return -1;
    track_for(self, value);
    return 0;
}

PyMemberDef location_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(LocationObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(LocationObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef location_getset[] = {
    {"__dict__", location_get_dict, location_set_dict, nullptr, nullptr},
    {"file", location_get_field, location_set_field, "Name of the YAML file.", (void*)FILE_FIELD},
    {"line", location_get_field, location_set_field, "Line of the node's start, from 0.", (void*)LINE_FIELD},
    {"column", location_get_field, location_set_field, "Column of the node's start, from 0.", (void*)COLUMN_FIELD},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot location_slots[] = {
    {Py_tp_getset, location_getset},
    {Py_tp_setattro, (void*)location_setattro},
    {Py_tp_traverse, (void*)location_traverse},
    {Py_tp_clear, (void*)location_clear},
    {Py_tp_members, location_members},
    {0, nullptr},
};

Ref location_init(const Call& c, PyObject* self, PyObject* args, PyObject* kwargs) {
    State& st = c.state<State>();
    check(PyDict_Type.tp_init(self, args, PyDict_GET_SIZE(kwargs) ? kwargs : nullptr));
    set_attr(self, st.names[N_file], st.empty_str.get());
    set_attr(self, st.names[N_line], st.minus_one.get());
    set_attr(self, st.names[N_column], st.minus_one.get());
    return Ref::borrow(Py_None);
}

Ref location_str(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    Ref os = lookup(c.module(), st.names[N_os]);
    Ref path = attr(os.get(), st.names[N_path]);
    Ref file = attr(self, st.names[N_file]);
    Ref base = call_method(st.names[N_basename], {path.get(), file.get()});
    Ref line = own(PyNumber_Add(attr(self, st.names[N_line]).get(), st.one.get()));
    Ref column = own(PyNumber_Add(attr(self, st.names[N_column]).get(), st.one.get()));
    return own(PyUnicode_FromFormat("%S line:%S column:%S", base.get(), line.get(), column.get()));
}

Ref location_extract(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    Ref d = new_dict();
    for (PyObject* name : {st.names[N_file], st.names[N_line], st.names[N_column]})
        check(PyDict_SetItem(d.get(), name, attr(self, name).get()));
    return d;
}

// Pickling and copying: the state is the attribute dict, as for any object
// with a __dict__; a compact record hands out a fresh one and stays compact.
Ref location_getstate(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = c[0];
    if (compact_record(st, self)) return location_extract(c);
    check(location_materialize(self));
    return own(PyObject_CallOneArg(st.object_getstate.get(), self));
}

Ref location_setstate(const Call& c, PyObject* self, PyObject* state) {
    State& st = c.state<State>();
    Ref dict_state = Ref::borrow(state), slot_state;
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
        dict_state = Ref::borrow(PyTuple_GET_ITEM(state, 0));
        slot_state = Ref::borrow(PyTuple_GET_ITEM(state, 1));
    }
    for (PyObject* part : {dict_state.get(), slot_state.get()}) {
        if (!part || part == Py_None) continue;
        for_items(part, st.names[N_items], [&](PyObject* k, PyObject* v) { set_attr(self, k, v); });
    }
    return Ref::borrow(Py_None);
}

}  // namespace

PyType_Spec location_spec = {
    "ovark.utils.locations.Location",
    sizeof(LocationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    location_slots,
};

const FuncDef location_getstate_def{"__getstate__", "(self)", nullptr, location_getstate};
const FuncDef location_setstate_def{"__setstate__", "(self, state)", nullptr, params<location_setstate>};

const FuncDef location_init_def{
    "__init__",
    "(self, *args, **kwargs)",
    "Initialise the mapping as dict() does; file is '', line and column are -1.",
    params<location_init>,
};
const FuncDef location_str_def{
    "__str__",
    "(self)",
    "'<file base name> line:<line + 1> column:<column + 1>'.",
    location_str,
};
const FuncDef location_extract_def{
    "extract",
    "(self)",
    "Return a plain dict with the keys 'file', 'line' and 'column' (0-based).",
    location_extract,
};

}  // namespace locations
