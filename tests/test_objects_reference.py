"""find and _match against a short reference written in plain Python, on
seeded generated trees (dicts and other mappings, lists, objects; literal and
pattern steps; keyword requirements with "__" paths)."""

import copy
import random
import re
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from types import MappingProxyType

import pytest
from conftest import Table
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ovark.utils.objects import Contains, Find, Not, NotExists, Operator, R, find

# ---------------------------------------------------------------------------
# The reference: plain values and operators (no logic or callables)
# ---------------------------------------------------------------------------


def is_pattern(element):
    return isinstance(element, str) and element.startswith("(")


def get(obj, key):
    if isinstance(obj, Mapping):
        return obj[key]
    if not isinstance(key, str):
        raise AttributeError(key)
    return getattr(obj, key)


def entries(obj):
    if isinstance(obj, Mapping):
        return list(obj.items())
    return list(getattr(obj, "__dict__", {}).items())


def expected(obj, v, value, rule):
    """Whether the value `v` found in `obj` satisfies the expected `value`, under
    an operator key, a pattern key or a plain key."""
    if isinstance(value, NotExists):
        value.parent = obj
    if rule != "pattern" and isinstance(value, Operator) and value.regex is not None:
        return bool(value.regex.match(str(v))) != isinstance(value, Not)
    if rule == "operator" and is_pattern(value):
        return bool(compiled(value).match(str(v)))
    return v == value


def compiled(pattern):
    try:
        return re.compile(pattern)
    except re.error:
        raise ValueError("'{}' is not a valid regex expression".format(pattern)) from None


def ref_match(obj, wanted, use__syntax=True, filter_=True):
    if obj == None:  # noqa: E711 - as the engine compares
        return False
    groups = []
    for key, value in wanted.items():
        if use__syntax and isinstance(key, str) and "__" in key:
            first, rest = key.split("__", 1)
            for g in groups:
                if g[2] and g[0] == first:
                    g[1][rest] = value
                    break
            else:
                groups.append([first, {rest: value}, True])
        else:
            groups.append([key, value, False])
    last = None
    for key, value, multi in groups:
        try:
            if multi:
                try:
                    child = get(obj, key)
                except Exception:
                    return False
                loopable = not isinstance(child, (Mapping, str)) and isinstance(child, Iterable)
                if not loopable:
                    sub = ref_match(child, value, use__syntax, filter_)
                    if not sub:
                        return False
                    steps = [key]
                else:
                    for i, member in enumerate(child):
                        sub = ref_match(member, value, use__syntax, filter_)
                        if sub:
                            steps = [key, i] if isinstance(child, (list, tuple)) else [key]
                            break
                    else:
                        return False
                if not filter_ and isinstance(sub, tuple):
                    last = (sub[0], steps + sub[1])
            elif isinstance(key, Operator) or is_pattern(key):
                if isinstance(key, Operator):
                    key.parent = obj
                    selects = key.__eq__
                else:
                    rx = compiled(key)
                    selects = lambda k: rx.match(str(k))  # noqa: E731
                rule = "operator" if isinstance(key, Operator) else "pattern"
                hits = [(v, [k]) for k, v in entries(obj) if selects(k) and expected(obj, v, value, rule)]
                if not hits:
                    return False
                last = hits[-1]
            else:
                v = get(obj, key)
                if not expected(obj, v, value, "plain"):
                    return False
                last = (v, [key])
        except (KeyError, AttributeError, AssertionError):
            return False
    if filter_:
        return True
    return last if last else True


def ref_level(member, path, filter_):
    """find([member], R(path)) before its results are combined."""
    if len(path) == 2:
        r = ref_match(member, {path[0]: path[1]}, False, filter_)
        return ([member] if filter_ else [r]) if r else []
    step = path[0]
    try:
        if is_pattern(step):
            rx = re.compile(step)
            children = [(v, k) for k, v in member.items() if rx.match(str(k))] if isinstance(member, Mapping) else []
        elif isinstance(member, Mapping):
            if isinstance(step, Operator):
                step.parent = member
            children = [(member[step], step)]
        else:
            children = [(getattr(member, step), step)]
    except Exception:
        children = []
    out = []
    for child, key in children:
        found = ref_level(child, path[1:], filter_)
        if found:
            if filter_:
                out.append(member)
            else:
                for _, p in found:
                    p.insert(0, key)
                out.extend(found)
    return out


def ref_normalize(reqs):
    if len(reqs) < 2 or not reqs[0].args or not all(r.args for r in reqs):
        return reqs
    if not all(isinstance(r.args[0], list) for r in reqs):
        return reqs
    paths = [r.args[0] for r in reqs]
    for index in range(min(len(p) for p in paths)):
        try:
            members = set(p[index] for p in paths)
        except TypeError:
            continue
        if len(members) < 2:
            continue
        literal = None
        for member in members:
            if is_pattern(member):
                break
            if literal:
                return [R(p) for p in paths]
            literal = member
        if literal:
            for p in paths:
                p[index] = literal
    return [R(p) for p in paths]


def ref_find(from_, *reqs, filter_=True):
    if not from_:
        return []
    reqs = ref_normalize(reqs)
    if isinstance(from_, Mapping) or not isinstance(from_, Iterable):
        from_ = [from_]
    return_objs = []
    for req in reqs:
        ret = []
        for item in from_:
            if req.args:
                for path in req.args:
                    ret.extend(ref_level(item, path, filter_))
            else:
                r = ref_match(item, req.kwargs, filter_=filter_)
                if r:
                    ret.append(item if filter_ else r)
        return_objs.append(ret)
    try:
        result = return_objs[0]
        for lst in return_objs:
            result = list(set(result) & set(lst))
        return result
    except TypeError as exc:
        if not str(exc).startswith("unhashable type"):
            raise
    return ref_unhashable_intersection(return_objs)


def ref_unhashable_intersection(lists):
    first = []
    for x in lists[0]:
        if not any(x is y for y in first):
            first.append(x)
    for member in list(first):
        for other in lists[1:]:
            if member not in other and member in first:
                first.remove(member)
    return first


# ---------------------------------------------------------------------------
# Generated data
# ---------------------------------------------------------------------------

KEYS = ["a", "b", "ab", "x1", "name", 1, 2]
VALUES = [0, 1, 2, "up", "down", "", None, "a"]
PATTERNS = ["(.*)", "(a.*)", "(x)", "(?P<g>.*)", "(1)", "(n.*)"]


class Node:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return "Node({})".format(self.__dict__)


def gen_tree(rnd, depth):
    kind = rnd.random()
    if depth == 0 or kind < 0.25:
        return rnd.choice(VALUES)
    if kind < 0.4:
        return [gen_tree(rnd, depth - 1) for _ in range(rnd.randrange(0, 4))]
    if kind < 0.5:
        return Node(**{k: gen_tree(rnd, depth - 1) for k in rnd.sample(KEYS[:5], rnd.randrange(1, 4))})
    return {k: gen_tree(rnd, depth - 1) for k in rnd.sample(KEYS, rnd.randrange(1, 5))}


def gen_path(rnd):
    steps = [rnd.choice(KEYS + PATTERNS) for _ in range(rnd.randrange(1, 4))]
    return steps + [rnd.choice(VALUES)]


def gen_keyword(rnd):
    wanted = {}
    for _ in range(rnd.randrange(1, 3)):
        parts = [rnd.choice(["a", "b", "ab", "name", "x1"]) for _ in range(rnd.randrange(1, 4))]
        key = "__".join(parts) if rnd.random() < 0.8 else rnd.choice(["(a.*)", "(.*)", "(n.*)"])
        wanted[key] = rnd.choice(VALUES)
    return wanted


def real_path(rnd, obj):
    """Steps that exist in `obj`, ending with the value found there."""
    steps = []
    while True:
        if isinstance(obj, list) and obj and steps:
            obj = rnd.choice(obj)  # keyword paths go through lists
            continue
        fields = obj if isinstance(obj, Mapping) else getattr(obj, "__dict__", None)
        if not fields or rnd.random() < 0.2:
            return steps, obj
        key = rnd.choice(list(fields))
        steps.append(key)
        obj = fields[key]


def gen_real_path(rnd, data):
    member = rnd.choice(data) if isinstance(data, list) and data else data
    steps, value = real_path(rnd, member)
    if not steps:
        return gen_path(rnd)
    steps = [rnd.choice(PATTERNS) if rnd.random() < 0.3 else s for s in steps]
    if rnd.random() < 0.2:
        value = rnd.choice(VALUES)
    return steps + [value]


def gen_real_keyword(rnd, data):
    member = rnd.choice(data) if isinstance(data, list) and data else data
    steps, value = real_path(rnd, member)
    if not steps or not all(isinstance(s, str) for s in steps):
        return gen_keyword(rnd)
    return {"__".join(steps): value if rnd.random() < 0.8 else rnd.choice(VALUES)}


def gen_requirement(rnd, data):
    choice = rnd.random()
    if choice < 0.4:
        return R(gen_real_path(rnd, data))
    if choice < 0.7:
        return R(**gen_real_keyword(rnd, data))
    return R(gen_path(rnd)) if choice < 0.85 else R(**gen_keyword(rnd))


@pytest.mark.parametrize("seed", range(400))
def test_find_matches_reference(seed):
    rnd = random.Random(seed)
    data = [gen_tree(rnd, 4) for _ in range(rnd.randrange(1, 6))]
    if rnd.random() < 0.3:
        data = data[0]
    for filter_ in (True, False):
        reqs = [gen_requirement(rnd, data) for _ in range(rnd.randrange(1, 3))]
        copies = [R(*[list(a) for a in r.args], **r.kwargs) for r in reqs]
        expected = ref_find(data, *copies, filter_=filter_)
        assert find(data, *reqs, filter_=filter_) == expected, (data, [(r.args, r.kwargs) for r in reqs])


@pytest.mark.parametrize("seed", range(300))
def test_match_matches_reference(seed):
    rnd = random.Random(1000 + seed)
    obj = gen_tree(rnd, 4)
    wanted = gen_real_keyword(rnd, obj) if rnd.random() < 0.7 else gen_keyword(rnd)
    for filter_ in (True, False):
        for use__syntax in (True, False):
            expected = ref_match(obj, wanted, use__syntax, filter_)
            assert Find()._match(obj, wanted, use__syntax, filter_) == expected, (obj, wanted)


# ---------------------------------------------------------------------------
# Hypothesis: mappings that are not dicts, objects with an attribute called
# "items", tuple keys whose text starts with "(", unhashable results
# ---------------------------------------------------------------------------


class Rack(Node):
    """Not a mapping, though it has a method called items."""

    def items(self):
        return [("zz", 0)]

    def __repr__(self):
        return "Rack({})".format(self.__dict__)


def containers(children):
    entries = st.dictionaries(st.sampled_from(KEYS + [("a", 1)]), children, min_size=1, max_size=3)
    attrs = st.dictionaries(st.sampled_from(["a", "b", "name", "items", "x1"]), children, min_size=1, max_size=3)
    return st.one_of(
        entries,
        entries.map(MappingProxyType),
        entries.map(Table),
        st.lists(children, max_size=3),
        attrs.map(lambda a: Node(**a)),
        attrs.map(lambda a: Rack(**a)),
    )


TREES = st.recursive(st.sampled_from(VALUES), containers, max_leaves=10)
HYPOTHESIS = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@HYPOTHESIS
@given(data=st.lists(TREES, min_size=1, max_size=4), rnd=st.randoms(use_true_random=False), whole=st.booleans())
def test_find_matches_reference_on_any_mapping(data, rnd, whole):
    if whole:
        data = data[0]
    for filter_ in (True, False):
        reqs = [gen_requirement(rnd, data) for _ in range(rnd.randrange(1, 4))]
        copies = [R(*[list(a) for a in r.args], **r.kwargs) for r in reqs]
        expected = ref_find(data, *copies, filter_=filter_)
        assert find(data, *reqs, filter_=filter_) == expected, [(r.args, r.kwargs) for r in reqs]


@HYPOTHESIS
@given(obj=TREES, rnd=st.randoms(use_true_random=False))
def test_match_matches_reference_on_any_mapping(obj, rnd):
    wanted = gen_real_keyword(rnd, obj) if rnd.random() < 0.7 else gen_keyword(rnd)
    for filter_ in (True, False):
        for use__syntax in (True, False):
            assert Find()._match(obj, wanted, use__syntax, filter_) == ref_match(obj, wanted, use__syntax, filter_)


# Values that cannot be hashed, and their equal but distinct copies: keys that
# compare equal across types (1, 1.0, True), dict subclasses, mappings that
# are not dicts, a shared NaN.
NAN = float("nan")
SCALARS = st.sampled_from([0, 1, 1.0, True, False, "a", "", None, NAN, float("nan"), b"a", (1, 2)])
NESTED = st.recursive(
    SCALARS,
    lambda children: st.one_of(
        st.lists(children, max_size=3),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(SCALARS.filter(lambda k: k == k), children, max_size=3),
    ),
)
UNHASHABLE = st.one_of(
    st.lists(NESTED, max_size=3),
    st.dictionaries(st.sampled_from(["a", 1, 1.0, (1,)]), NESTED, max_size=3),
    st.tuples(NESTED, st.lists(NESTED, max_size=2)),
    st.dictionaries(st.sampled_from(["a", 1]), NESTED, max_size=2).map(OrderedDict),
    st.dictionaries(st.sampled_from(["a", 1]), NESTED, max_size=2).map(Table),
    st.dictionaries(st.sampled_from(["a", 1]), NESTED, max_size=2).map(MappingProxyType),
)


def twin(value):
    """An equal copy that is another object."""
    if isinstance(value, MappingProxyType):
        return MappingProxyType(copy.deepcopy(dict(value)))
    return copy.deepcopy(value)


@HYPOTHESIS
@given(
    pool=st.lists(UNHASHABLE, min_size=1, max_size=8),
    picks=st.lists(st.lists(st.tuples(st.integers(0, 7), st.booleans()), max_size=8), min_size=1, max_size=4),
)
def test_unhashable_intersection_matches_reference(pool, picks):
    """Each list takes members of one pool, some as themselves and some as equal copies."""
    lists = [[pool[i % len(pool)] if same else twin(pool[i % len(pool)]) for i, same in pick] for pick in picks]
    expected = ref_unhashable_intersection(lists)
    got = Find()._unhashable_intersection(lists)
    assert len(got) == len(expected) and all(a is b for a, b in zip(got, expected)), (lists, got, expected)


def operator_for(rnd, value):
    """An operator standing for a key or an expected value."""
    kind = rnd.randrange(7)
    if kind == 0:
        return Operator(value)
    if kind == 1:
        return Not(value)
    if kind == 2:
        return Contains(value)
    if kind == 3:
        return NotExists(rnd.choice(KEYS + ["zz"]))
    if kind == 4:
        return Operator(rnd.choice(PATTERNS + ["(abc"]))
    if kind == 5:
        return Not(rnd.choice(PATTERNS))
    return rnd.choice(PATTERNS + ["(u[p"])  # a pattern text: a pattern only under an operator key


def with_operators(rnd, req):
    if req.args:
        path = list(req.args[0])
        if rnd.random() < 0.6:
            path[-1] = operator_for(rnd, path[-1])
        if rnd.random() < 0.4:
            path[-2] = operator_for(rnd, path[-2]) if rnd.random() < 0.8 else Operator(path[-2])
        return R(path)
    return R(**{k: operator_for(rnd, v) if rnd.random() < 0.6 else v for k, v in req.kwargs.items()})


def outcome(call):
    try:
        return "result", call()
    except (TypeError, ValueError) as exc:
        return "raises", type(exc), str(exc)


@HYPOTHESIS
@given(data=st.lists(TREES, min_size=1, max_size=3), rnd=st.randoms(use_true_random=False))
def test_find_with_operators_matches_reference(data, rnd):
    for filter_ in (True, False):
        reqs = [with_operators(rnd, gen_requirement(rnd, data)) for _ in range(rnd.randrange(1, 3))]
        copies = [R(*[list(a) for a in r.args], **r.kwargs) for r in reqs]
        expected = outcome(lambda: ref_find(data, *copies, filter_=filter_))
        assert outcome(lambda: find(data, *reqs, filter_=filter_)) == expected, [(r.args, r.kwargs) for r in reqs]


@HYPOTHESIS
@given(obj=TREES, rnd=st.randoms(use_true_random=False))
def test_match_with_operator_keys_matches_reference(obj, rnd):
    key, value = next(iter(gen_real_keyword(rnd, obj).items()))
    wanted = {
        operator_for(rnd, key) if rnd.random() < 0.7 else key: operator_for(rnd, value) if rnd.random() < 0.6 else value
    }
    for filter_ in (True, False):
        expected = outcome(lambda: ref_match(obj, wanted, False, filter_))
        assert outcome(lambda: Find()._match(obj, wanted, False, filter_)) == expected, wanted
