// ovark.utils.objects - `R` and the operators (`Operator`, `Not`, `Contains`,
// `NotExists`): native heap types. The comparisons are written once and run
// by the C slots (`==`, hash, repr), by the documented methods in the class
// dicts (`Operator.__eq__`, ...) and by the engine, which calls them directly
// while a class still has our slot (`op_equals`).
#include "state.hpp"

namespace objects {
namespace {

// --- the comparisons, shared by the slots, the methods and the engine -------

// Operator.__eq__: a match object or None for a pattern and a truthy other,
// else value == other.
Ref operator_eq(State& st, PyObject* self, PyObject* other) {
    Ref regex = op_regex(self);
    if (truth(regex) && truth(other)) {
        Ref text = text_of(other);
        return call_method(st.names[N_match], {regex.get(), text.get()});
    }
    return own(PyObject_RichCompare(op_value(self).get(), other, Py_EQ));
}

bool operator_truth(Ctx* c, PyObject* self, PyObject* other) {
    Ref regex = op_regex(self);
    if (truth(regex) && truth(other)) {
        Ref text = text_of(other);
        if (c) return regex_truth(*c, regex.get(), text.get());
        return truth(call_method(type_state<State>(Py_TYPE(self)).names[N_match], {regex.get(), text.get()}));
    }
    return equal(op_value(self).get(), other);
}

// Contains.__eq__: a bool, or what Operator.__eq__ gives. `c` is the engine's
// call context, or nullptr when called from the interpreter.
Ref contains_eq(State& st, PyObject* module, PyObject* self, PyObject* other, Ctx* c, bool* as_truth) {
    Ref value = op_value(self);
    if (other == Py_None || value.get() == Py_None) return Ref::borrow(Py_False);
    Ref mapping = c ? c->Mapping : lookup(module, st.names[N_Mapping]);
    if (is_mapping(other, mapping.get())) {
        Ref values = call_method(st.names[N_values], {other});
        if (check(PySequence_Contains(values.get(), value.get()))) return Ref::borrow(Py_True);
    }
    Ref iterable = c ? c->Iterable : lookup(module, st.names[N_Iterable]);
    if (check(PyObject_IsInstance(other, iterable.get())) && check(PySequence_Contains(other, value.get())))
        return Ref::borrow(Py_True);
    if (as_truth) {
        *as_truth = operator_truth(c, self, other);
        return Ref();
    }
    return operator_eq(st, self, other);
}

// NotExists.__eq__: whether `value` is absent from `parent` (a key of a
// mapping, a truthy attribute of anything else).
bool notexists_truth(PyObject* mapping_cls, PyObject* self, PyObject* parent) {
    Ref value = op_value(self);
    if (is_mapping(parent, mapping_cls)) {
        int has =
            PyDict_CheckExact(parent) ? PyDict_Contains(parent, value.get()) : PySequence_Contains(parent, value.get());
        if (check(has)) return false;
    }
    Ref name = text_of(value.get());
    if (Ref held = optional_attr(parent, name.get()); held && truth(held)) return false;
    return true;
}

PyObject* op_richcompare(PyObject* self, PyObject* other, int op);
PyObject* not_richcompare(PyObject* self, PyObject* other, int op);
PyObject* contains_richcompare(PyObject* self, PyObject* other, int op);
PyObject* notexists_richcompare(PyObject* self, PyObject* other, int op);

enum class OpKind { Other, Operator, Not, Contains, NotExists };

// Which of our comparisons `o`'s class still runs (a class that overrides
// __eq__, or a patched one, gets Other).
OpKind op_kind(PyObject* o) {
    richcmpfunc f = Py_TYPE(o)->tp_richcompare;
    if (f == op_richcompare) return OpKind::Operator;
    if (f == not_richcompare) return OpKind::Not;
    if (f == contains_richcompare) return OpKind::Contains;
    if (f == notexists_richcompare) return OpKind::NotExists;
    return OpKind::Other;
}

}  // namespace

// The truth of `op == other` for the engine. `parent` is what the engine has
// just set as op.parent (a NotExists reads it).
bool op_equals(Ctx& c, PyObject* op, PyObject* other, PyObject* parent) {
    switch (op_kind(op)) {
        case OpKind::Operator: return operator_truth(&c, op, other);
        case OpKind::Not: return !operator_truth(&c, op, other);
        case OpKind::Contains: {
            bool t = false;
            Ref r = contains_eq(c.st, c.module, op, other, &c, &t);
            return r ? truth(r) : t;
        }
        case OpKind::NotExists: {
            Ref held = parent ? Ref::borrow(parent) : field(op, as_op(op)->parent, "parent");
            return notexists_truth(c.Mapping.get(), op, held.get());
        }
        default: return equal(op, other);
    }
}

// The truth of `value == expected` (value's own comparison first, as `==` does).
bool value_equals(Ctx& c, PyObject* value, PyObject* expected, PyObject* parent) {
    if (is_operator(c.st, expected) && op_kind(expected) != OpKind::Other &&
        (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) ||
         value == Py_None || PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value)))
        return op_equals(c, expected, value, parent);  // the builtin side answers NotImplemented
    return equal(value, expected);
}

namespace {

// --- slots ------------------------------------------------------------------

template <class F>
PyObject* richcompare(int op, F&& eq) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (op != Py_EQ && op != Py_NE) return Py_NewRef(Py_NotImplemented);
        Ref r = eq();
        if (op == Py_EQ) return r.release();
        return PyBool_FromLong(!truth(r));
    });
}

PyObject* op_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] { return operator_eq(type_state<State>(Py_TYPE(self)), self, other); });
}
PyObject* not_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] {
        return Ref::borrow(truth(operator_eq(type_state<State>(Py_TYPE(self)), self, other)) ? Py_False : Py_True);
    });
}
PyObject* contains_richcompare(PyObject* self, PyObject* other, int op) {
    return richcompare(op, [&] {
        PyObject* module = module_of_type(Py_TYPE(self));
        return contains_eq(state_of<State>(module), module, self, other, nullptr, nullptr);
    });
}
PyObject* notexists_richcompare(PyObject* self, PyObject*, int op) {
    return richcompare(op, [&] {
        PyObject* module = module_of_type(Py_TYPE(self));
        Ref mapping = lookup(module, state_of<State>(module).names[N_Mapping]);
        bool absent = notexists_truth(mapping.get(), self, field(self, as_op(self)->parent, "parent").get());
        return Ref::borrow(absent ? Py_True : Py_False);
    });
}

// Operator.__hash__: value.__hash__().
Ref operator_hash_value(State& st, PyObject* self) {
    Ref held = op_value(self);
    PyObject* value = held.get();
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || value == Py_None ||
        PyBool_Check(value)) {
        Py_hash_t h = PyObject_Hash(value);
        if (h == -1 && PyErr_Occurred()) throw Error();
        return own(PyLong_FromSsize_t(h));
    }
    return call_method(st.names[N___hash__], {value});
}

}  // namespace

Py_hash_t op_hash(PyObject* self) {
    return boundary<Py_hash_t>(-1, [&]() -> Py_hash_t {
        Ref h = operator_hash_value(type_state<State>(Py_TYPE(self)), self);
        if (!PyLong_Check(h.get())) raise(PyExc_TypeError, "__hash__ method should return an integer");
        // As for a class whose __hash__ is written in Python.
        Py_hash_t result = PyLong_AsSsize_t(h.get());
        if (result == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            result = PyObject_Hash(h.get());
            if (result == -1 && PyErr_Occurred()) throw Error();
        }
        return result == -1 ? -2 : result;
    });
}

namespace {

Ref repr_with(State& st, const char* name, PyObject* self) {
    Ref v = fmt(st, op_value(self).get());
    return own(PyUnicode_FromFormat("%s('%U')", name, v.get()));
}

PyObject* not_repr(PyObject* self) {
    return boundary<PyObject*>(nullptr,
                               [&] { return repr_with(type_state<State>(Py_TYPE(self)), "Not", self).release(); });
}
PyObject* notexists_repr(PyObject* self) {
    return boundary<PyObject*>(
        nullptr, [&] { return repr_with(type_state<State>(Py_TYPE(self)), "NotExists", self).release(); });
}

// --- GC and lifetime of both layouts ------------------------------------------

template <class T>
int instance_traverse(PyObject* self, visitproc visit, void* arg);
template <>
int instance_traverse<RObject>(PyObject* self, visitproc visit, void* arg) {
    auto* r = as_r(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->args.get());
    Py_VISIT(r->kwargs.get());
    Py_VISIT(r->dict.get());
    return 0;
}
template <>
int instance_traverse<OperatorObject>(PyObject* self, visitproc visit, void* arg) {
    auto* o = as_op(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->value.get());
    Py_VISIT(o->regex.get());
    Py_VISIT(o->parent.get());
    Py_VISIT(o->dict.get());
    return 0;
}

template <class T>
int instance_clear(PyObject* self);
template <>
int instance_clear<RObject>(PyObject* self) {
    auto* r = as_r(self);
    r->args.reset();
    r->kwargs.reset();
    r->dict.reset();
    return 0;
}
template <>
int instance_clear<OperatorObject>(PyObject* self) {
    auto* o = as_op(self);
    o->value.reset();
    o->regex.reset();
    o->parent.reset();
    o->dict.reset();
    return 0;
}

// --- methods ------------------------------------------------------------------

PyObject* self_checked(State& st, PyObject* self, bool op, const char* name) {
    if (op ? !is_operator(st, self) : !is_r(st, self))
        raise(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%.100s'", name,
              op ? "Operator" : "R", Py_TYPE(self)->tp_name);
    return self;
}

Ref R_init(const Call& c, PyObject* self, PyObject* args, PyObject* kwargs) {
    State& st = c.state<State>();
    self_checked(st, self, false, "__init__");
    as_r(self)->args = Ref::borrow(args);
    as_r(self)->kwargs = Ref::borrow(kwargs);
    return Ref::borrow(Py_None);
}

Ref Operator_init(const Call& c, PyObject* self, PyObject* value) {
    State& st = c.state<State>();
    self_checked(st, self, true, "__init__");
    auto* op = as_op(self);
    op->value = Ref::borrow(value);
    op->regex = Ref::borrow(Py_None);
    op->parent = Ref::borrow(Py_None);
    if (!is_text_with(value, "(")) return Ref::borrow(Py_None);
    Ref re = lookup(c.module(), st.names[N_re]);
    Ref compiled = Ref::steal(PyObject_CallMethodOneArg(re.get(), st.names[N_compile], value));
    if (!compiled) {
        if (!clear_if(PyExc_Exception)) throw Error();  // a pattern that does not compile compares as text
        return Ref::borrow(Py_None);
    }
    op->regex = std::move(compiled);
    return Ref::borrow(Py_None);
}

Ref Operator_hash(const Call& c) {
    State& st = c.state<State>();
    return operator_hash_value(st, self_checked(st, c[0], true, "__hash__"));
}

Ref Operator_match(const Call&, PyObject* self, PyObject* other) {
    return own(PyObject_RichCompare(self, other, Py_EQ));
}

Ref Operator_eq(const Call& c, PyObject* self, PyObject* other) {
    State& st = c.state<State>();
    return operator_eq(st, self_checked(st, self, true, "__eq__"), other);
}

Ref Operator_deepcopy(const Call& c, PyObject* self, PyObject* memo) {
    State& st = c.state<State>();
    Ref id = own(PyLong_FromVoidPtr(self));
    Ref known = call_method(st.names[N_get], {memo, id.get()});
    if (known.get() != Py_None) return known;
    Ref copy = lookup(c.module(), st.names[N_copy]);
    Ref value = attr(self, st.names[N_value]);
    Ref value_copy = call_method(st.names[N_deepcopy], {copy.get(), value.get(), memo});
    Ref result = own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), value_copy.get()));
    check(PyObject_SetItem(memo, id.get(), result.get()));
    return result;
}

Ref Not_eq(const Call& c, PyObject* self, PyObject* other) {
    State& st = c.state<State>();
    return Ref::borrow(truth(operator_eq(st, self_checked(st, self, true, "__eq__"), other)) ? Py_False : Py_True);
}

Ref Not_repr(const Call& c) {
    State& st = c.state<State>();
    return repr_with(st, "Not", self_checked(st, c[0], true, "__repr__"));
}

Ref Contains_eq(const Call& c, PyObject* self, PyObject* other) {
    State& st = c.state<State>();
    return contains_eq(st, c.module(), self_checked(st, self, true, "__eq__"), other, nullptr, nullptr);
}

Ref NotExists_eq(const Call& c) {
    State& st = c.state<State>();
    PyObject* self = self_checked(st, c[0], true, "__eq__");
    Ref mapping = lookup(c.module(), st.names[N_Mapping]);
    Ref parent = field(self, as_op(self)->parent, "parent");
    return Ref::borrow(notexists_truth(mapping.get(), self, parent.get()) ? Py_True : Py_False);
}

Ref NotExists_repr(const Call& c) {
    State& st = c.state<State>();
    return repr_with(st, "NotExists", self_checked(st, c[0], true, "__repr__"));
}

const FuncDef R_init_def{"__init__", "(self, *args, **kwargs)", "Requirements class", params<R_init>};
const FuncDef Operator_init_def{"__init__", "(self, value=None)", nullptr, params<Operator_init>};
const FuncDef Operator_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef Operator_match_def{"match", "(self, other)", "Return self == other.", params<Operator_match>};
const FuncDef Operator_eq_def{"__eq__", "(self, other)", "dunder function to match regex or object comparison",
                              params<Operator_eq>};
const FuncDef Operator_deepcopy_def{"__deepcopy__", "(self, memo)",
                                    "A new operator of the same class over a deep copy of the value.",
                                    params<Operator_deepcopy>};
const FuncDef Not_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef Not_eq_def{"__eq__", "(self, other)", "dunder function to check whether no value or they dont match ",
                         params<Not_eq>};
const FuncDef Not_repr_def{"__repr__", "(self)", nullptr, Not_repr};
const FuncDef Contains_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef Contains_eq_def{"__eq__", "(self, other)",
                              "True when value is among other's values (dict) or in other (iterable), else the\n"
                              "comparison of Operator.",
                              params<Contains_eq>};
const FuncDef NotExists_hash_def{"__hash__", "(self)", "Hash of the operator: the hash of its value.", Operator_hash};
const FuncDef NotExists_eq_def{"__eq__", "(self, other)",
                               "True when value is neither a key nor a truthy attribute of parent; other is not used.",
                               NotExists_eq};
const FuncDef NotExists_repr_def{"__repr__", "(self)", nullptr, NotExists_repr};

const char* const operator_doc =
    "basic find operator\n"
    "\n"
    "    Takes a requirement value and uses to match laterly.\n"
    "\n"
    "    Args:\n"
    "        value(`object`): regex or str or any object\n"
    "\n"
    "    Examples:\n"
    "        >>> obj.data = {'100': {'status': 'active', 'vl_mode': 'CE', 'members': [1,2,3,4],\n"
    "        ...             'vlan_type': 'enet', 'name': 'VLAN0100'}}\n"
    "        >>> find(obj, R(['data',Operator('(.*)')]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'members', Operator([1,2,3,4])]))\n"
    "    ";
const char* const not_doc =
    " Not operator\n"
    "\n"
    "    Examples:\n"
    "        >>> find(obj, R(['data',Not('200')]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'status', Not('deactive')]))\n"
    "    ";
const char* const contains_doc =
    " Contains operator\n"
    "\n"
    "    Examples:\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'members', Contains(1)]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'name', Contains('100')]))\n"
    "    ";
const char* const notexists_doc =
    " Key does not exists in dictionary and object\n"
    "\n"
    "    Examples:\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'members', NotExists(1)]))\n"
    "        >>> find(obj, R(['data',Operator('(.*)'), 'name', NotExists('100')]))\n"
    "    ";

// --- native type specs ----------------------------------------------------------

PyMemberDef r_members[] = {
    {"args", T_OBJECT_EX, offsetof(RObject, args), 0, nullptr},
    {"kwargs", T_OBJECT_EX, offsetof(RObject, kwargs), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(RObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef op_members[] = {
    {"value", T_OBJECT_EX, offsetof(OperatorObject, value), 0, nullptr},
    {"regex", T_OBJECT_EX, offsetof(OperatorObject, regex), 0, nullptr},
    {"parent", T_OBJECT_EX, offsetof(OperatorObject, parent), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(OperatorObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(OperatorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr unsigned long type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Slot r_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<RObject>},
    {Py_tp_clear, (void*)instance_clear<RObject>},
    {Py_tp_members, r_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};
PyType_Spec r_spec{"ovark.utils.objects.R", sizeof(RObject), 0, type_flags, r_slots};

PyType_Slot operator_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_members, op_members},
    {Py_tp_getset, instance_getset},
    {Py_tp_richcompare, (void*)op_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_doc, (void*)operator_doc},
    {0, nullptr},
};
// The subclasses inherit their members from Operator.
PyType_Slot not_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_richcompare, (void*)not_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_repr, (void*)not_repr},
    {Py_tp_doc, (void*)not_doc},
    {0, nullptr},
};
PyType_Slot contains_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_richcompare, (void*)contains_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_doc, (void*)contains_doc},
    {0, nullptr},
};
PyType_Slot notexists_slots[] = {
    {Py_tp_traverse, (void*)instance_traverse<OperatorObject>},
    {Py_tp_clear, (void*)instance_clear<OperatorObject>},
    {Py_tp_richcompare, (void*)notexists_richcompare},
    {Py_tp_hash, (void*)op_hash},
    {Py_tp_repr, (void*)notexists_repr},
    {Py_tp_doc, (void*)notexists_doc},
    {0, nullptr},
};

PyType_Spec operator_spec{"ovark.utils.objects.Operator", sizeof(OperatorObject), 0, type_flags, operator_slots};
PyType_Spec not_spec{"ovark.utils.objects.Not", sizeof(OperatorObject), 0, type_flags, not_slots};
PyType_Spec contains_spec{"ovark.utils.objects.Contains", sizeof(OperatorObject), 0, type_flags, contains_slots};
PyType_Spec notexists_spec{"ovark.utils.objects.NotExists", sizeof(OperatorObject), 0, type_flags, notexists_slots};

// Put the documented methods of a native operator type in its class dict
// without retargeting its C slots: `==`, hashing and repr keep running the
// native code, and `Class.__eq__` is the documented function running the same
// code. A subclass that overrides one of them gets the generic slot as usual.
// The rich comparisons other than __eq__ are removed again, so that they are
// object's, as for a class that defines only __eq__.
void set_documented_slots(PyObject* type, std::initializer_list<const FuncDef*> defs, const char* owner) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    for (const FuncDef* def : defs)
        check(compat::type_dict_set(tp, def->name, make_function(module_of_type(tp), *def, owner).get()));
    for (const char* name : {"__ne__", "__lt__", "__le__", "__gt__", "__ge__"})
        check(compat::type_dict_set(tp, name, nullptr));
}

Ref operator_type(PyObject* module, PyType_Spec* spec, PyObject* base, std::vector<Member> members,
                  std::initializer_list<const FuncDef*> slot_defs, const char* owner) {
    Ref type = new_type(module, spec, base, members);
    set_documented_slots(type.get(), slot_defs, owner);
    return type;
}

}  // namespace

// R and the operators, in the module's order. The layouts as a class statement
// would declare them, so that copy and pickle carry the attributes.
void add_requirement_types(PyObject* module, State& st) {
    st.R = new_type(
        module, &r_spec, nullptr,
        {method(R_init_def), value("__slots__", interned_tuple({"args", "kwargs", "__dict__", "__weakref__"}))});
    add_object(module, "R", st.R);
    st.Operator =
        operator_type(module, &operator_spec, nullptr,
                      {method(Operator_init_def), method(Operator_match_def), method(Operator_deepcopy_def),
                       value("__slots__", interned_tuple({"value", "regex", "parent", "__dict__", "__weakref__"}))},
                      {&Operator_hash_def, &Operator_eq_def}, "Operator");
    add_object(module, "Operator", st.Operator);
    st.Not =
        operator_type(module, &not_spec, st.Operator.get(), {}, {&Not_hash_def, &Not_eq_def, &Not_repr_def}, "Not");
    add_object(module, "Not", st.Not);
    st.Contains = operator_type(module, &contains_spec, st.Operator.get(), {}, {&Contains_hash_def, &Contains_eq_def},
                                "Contains");
    add_object(module, "Contains", st.Contains);
    st.NotExists = operator_type(module, &notexists_spec, st.Operator.get(), {},
                                 {&NotExists_hash_def, &NotExists_eq_def, &NotExists_repr_def}, "NotExists");
    add_object(module, "NotExists", st.NotExists);
}

}  // namespace objects
