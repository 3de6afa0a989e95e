// ovark.utils.objects - the object query engine.
//
// `find` walks nested objects, mappings and sequences and returns what
// satisfies a set of requirements (`R`); the operators (`Operator`, `Not`,
// `Contains`, `NotExists`) stand in a requirement in place of a plain key or
// value. `GroupKeys.group_keys` tabulates find results by named pattern groups.
//
// The parts, in this folder:
//   state.hpp          the interned names (OBJECTS_NAMES) and the module state;
//                      `Ctx`, the working state of one top-level call (globals
//                      read at call time, pattern cache, bookkeeping); the
//                      small helpers (text form, pattern tests, the unhashable
//                      error); the layouts of R and the operators; the plans of
//                      the matcher; what each part offers the others, with the
//                      named parameters of the methods
//   patterns.cpp       pattern texts compiled once per call; the test of a text
//                      against a pattern; patterns that match every text
//   operators.cpp      R and the operators: native heap types; their C slots
//                      and the documented methods run the same code
//   match.cpp          Find._match, the matcher: requirements are regrouped
//                      once into a `Plan`, then one function per rule;
//                      Find._formalize_loopable
//   find.cpp           Find.find, the driver: Find._normalize_r; path
//                      requirements compiled into `PathPlan`s and walked, one
//                      function per step (take_step, walk, combine, all_keys,
//                      index); Find.reset_keys, Find._build_dict
//   intersection.cpp   Find._unhashable_intersection, _unhashable_remove
//   group_keys.cpp     Find._populate_path, GroupKeys.group_keys
//   module.cpp         this file: the docstrings and the methods of Find and
//                      GroupKeys, the module body (exec: imports, classes,
//                      the shared instance behind `find`)
//
// Engine calls on a `Find` whose methods are not overridden run in C++ all
// the way down; when a subclass (or a patch) replaces one of them, the engine
// calls the methods through the instance, as interpreter code would.
//
// Concurrency: all working state of a search lives in its `Ctx`, so calls from
// several threads on the shared module-level instance each get the result a
// lone call would give. The bookkeeping attributes (`initial_object`, ...) are
// still written to the instance for callers that read them.

#include "state.hpp"

namespace objects {
namespace {

// ---------------------------------------------------------------------------
// Docstrings and methods of Find and GroupKeys
// ---------------------------------------------------------------------------

const char* const find_doc =
    "Filters the objects that are matching the requirements in an iterable.\n"
    "\n"
    "        Args:\n"
    "            from_ (`iterable`): Iterable to search in; must not be None.\n"
    "            requirements (`R`): Requirements (R objects) that the members must satisfy.\n"
    "            type_ (`class` or `list`): Class or list of classes; members must be instances\n"
    "                of one of them.\n"
    "            kwargs (`dict`): Builds one requirement for convenience, as R(**kwargs).\n"
    "            filter_ (`bool`): True returns the matching members; False returns the matching\n"
    "                values, each with the path that leads to it.\n"
    "            index (`int`): Only with filter_ False: which enclosing mapping to return\n"
    "                instead of the value; by default the value itself.\n"
    "            all_keys (`bool`): True returns every path that matches the first requirement.\n"
    "\n"
    "        Returns:\n"
    "            list - the members, or the (value, path) pairs, that satisfy the requirements.\n"
    "\n"
    "        Examples:\n"
    "            >>> from ovark.utils.objects import find, R\n"
    "            >>> find(from_ = [1, 2, 1.2, \"bla\"], type_ = int)\n"
    "            [1, 2]\n"
    "            >>> find([1,2,1.2, \"bla\", {\"bla\": \"blabla\"}], R(bla = \"blabla\"), type_ = [dict])\n"
    "            [{\"bla\": \"blabla\"}]\n"
    "\n"
    "        Note:\n"
    "            The \"__\" syntax of keyword requirements cannot reach names that start or end\n"
    "            with \"_\".\n"
    "        ";

const char* const match_doc =
    "Function that verifies wanted logic is in the obj.\n"
    "\n"
    "        Helper function that loop through the wanted keys and make sure that all the wanted key which are\n"
    "        described using Ovark Logic, is satisfied in received obj.\n"
    "\n"
    "        Args:\n"
    "            obj    (obj)  : Object that should contain all the wanted keys with correct value\n"
    "            wanted (dict) : Dict that has all the requirements\n"
    "\n"
    "        Returns:\n"
    "            False when a requirement fails; True when all hold (filter_ True); with filter_\n"
    "            False, the (value, path) pair of the matched requirement.\n"
    "\n"
    "        Examples:\n"
    "            >>> from ovark.datastructures.logic import Or\n"
    "            >>> class first: status = 'up'; speed = '300'\n"
    "            >>> Find()._match(first, {'status':'up', 'speed':'300'})\n"
    "            True\n"
    "            >>> Find()._match(first, {'status': Or('down')})\n"
    "            False\n"
    "            >>> Find()._match(first, {'status': Or('up'), 'speed': Or('300', '500')})\n"
    "            True\n"
    "        ";

const FuncDef find_def{"find",
                       "(self, from_, *requirements, type_=None, filter_=True, index=None, _first=True, "
                       "all_keys=False, **kwargs)",
                       find_doc, params<Find_find>};
const FuncDef reset_keys_def{"reset_keys", "(self)",
                             " Reset all the keys as find api returns an instance not the object.", Find_reset_keys};
const FuncDef normalize_r_def{"_normalize_r", "(self, requirements)",
                              "normalization function to reduce regex at multiple requirements",
                              params<Find_normalize_r>};
const FuncDef formalize_loopable_def{"_formalize_loopable", "(self, obj)",
                                     "formalize_loopable for _match\n\n"
                                     "        return a valid loopable for _match. Will raise an exception if not a "
                                     "valid type",
                                     params<Find_formalize_loopable>};
const FuncDef match_def{"_match", "(self, obj, wanted, use__syntax=True, filter_=True)", match_doc, params<Find_match>};
const FuncDef build_dict_def{"_build_dict", "(self, from_, keys, index)",
                             "Recursive function to return the right dictionary for the index",
                             params<Find_build_dict>};
const FuncDef unhashable_intersection_def{
    "_unhashable_intersection", "(self, unhashables_lists)",
    " _unhashable_intersection\n\n"
    "        Intersection of lists whose members cannot be hashed: the members of the first\n"
    "        list, without repeats, that are in every other list, in the order of the first.",
    params<Find_unhashable_intersection>};
const FuncDef unhashable_remove_def{"_unhashable_remove", "(self, unhashables)",
                                    " _unhashable_remove\n\n"
                                    "        Removes repeating unhashables from a list. Equivelant of set()",
                                    params<Find_unhashable_remove>};
const FuncDef populate_path_def{"_populate_path", "(self, path, keys, device=None, _cur_path=None, _first=True)",
                                "Create the multiple paths out of the paths", params<Find_populate_path>};
const FuncDef group_keys_def{
    "group_keys", "(cls, source, reqs, ret_num=None, all_keys=False)",
    "Group the paths found by find by the named groups of the requirement patterns.\n"
    "\n"
    "        Args:\n"
    "            source (`list`) : Function ovark.utils.objects.find output.\n"
    "            reqs (`list`) : List of requirements.\n"
    "            ret_num (`int`) : Accepted and not used.\n"
    "            all_keys (`bool`) : source holds one find output per requirement.\n"
    "\n"
    "        Returns:\n"
    "            dict - Dictionary with the keys from args, format will be like {key1: [value1, value2], key2: "
    "[value1, value2]}\n"
    "            (one row per found path: a dict from group name to the path element)\n"
    "\n"
    "        Example:\n"
    "            paths ['instance', 'default', 'vrf', 'default', 'neighbor', '200.1.1.1', 'session_state']\n"
    "            and ['instance', 'default', 'vrf', 'default', 'neighbor', '200:1::1:1', 'session_state']\n"
    "            with the requirement path ['instance', '(?P<instance>.*)', 'vrf', '(?P<vrf>.*)',\n"
    "            'neighbor', '(?P<neighbor>.*)', 'session_state', ...] give\n"
    "            [{'instance': 'default', 'vrf': 'default', 'neighbor': '200.1.1.1'},\n"
    "             {'instance': 'default', 'vrf': 'default', 'neighbor': '200:1::1:1'}]\n"
    "        ",
    params<GroupKeys_group_keys>};

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    // Names first: the classes' methods use them.
    st.names.init();
    st.empty = own(PyUnicode_FromString(""));

    // 1. Imports.
    Ref re = import_module("re");
    add_object(module, "re", re);
    add_object(module, "copy", import_module("copy"));
    add_object(module, "TopologyObject", import_from("ovark.topology.bases", "TopologyObject"));
    add_object(module, "BaseLogic", import_from("ovark.datastructures.logic", "BaseLogic"));
    add_object(module, "Iterable", import_from("collections.abc", "Iterable"));
    add_object(module, "Mapping", import_from("collections.abc", "Mapping"));
    Ref logging = import_module("logging");
    add_object(module, "logging", logging);
    // 2. The logger.
    Ref name = own(PyObject_GetAttrString(module, "__name__"));
    add_object(module, "logger", own(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get())));
    Ref probe = own(PyObject_CallMethod(re.get(), "compile", "s", ""));
    st.pattern_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));

    // 3. The classes, in order.
    st.Find =
        new_class(module, "Find", nullptr, nullptr,
                  {method(find_def), method(reset_keys_def), method(normalize_r_def), method(formalize_loopable_def),
                   method(match_def), method(build_dict_def), method(unhashable_intersection_def),
                   method(unhashable_remove_def), method(populate_path_def)});
    add_object(module, "Find", st.Find);
    Ref find_dict = own(compat::type_dict(reinterpret_cast<PyTypeObject*>(st.Find.get())));
    for (auto [ref, def] : {std::pair{&st.f_find, &find_def},
                            {&st.f_match, &match_def},
                            {&st.f_normalize_r, &normalize_r_def},
                            {&st.f_formalize_loopable, &formalize_loopable_def},
                            {&st.f_build_dict, &build_dict_def},
                            {&st.f_unhashable_intersection, &unhashable_intersection_def},
                            {&st.f_unhashable_remove, &unhashable_remove_def},
                            {&st.f_reset_keys, &reset_keys_def}})
        *ref = Ref::borrow(check(PyDict_GetItemString(find_dict.get(), def->name)));

    add_requirement_types(module, st);
    st.GroupKeys = new_class(module, "GroupKeys", nullptr,
                             "GroupKeys\n\n    Compose the dict which contains the headers as keys, and values from "
                             "the source corresponding keys\n    ",
                             {classmethod(group_keys_def)});
    add_object(module, "GroupKeys", st.GroupKeys);

    // 4. The shared instance behind the module-level find.
    Ref instance = own(PyObject_CallNoArgs(st.Find.get()));
    add_object(module, "find", attr(instance.get(), st.names[N_find]));
}

}  // namespace
}  // namespace objects

OVK_MODULE(objects::State, objects::exec,
           "The object query engine: find values, paths and objects in nested data by requirements.")
