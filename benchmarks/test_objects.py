"""The query engine against jmespath, glom, dpath and a hand-written loop.

Three queries:

(a) a path requirement with two patterns and an expected value, filter_=False,
    on a "show bgp" tree of 18,000 leaves: every established neighbor with the
    path that leads to it;
(b) a keyword requirement with "__" paths over a list of 100,000 interface dicts;
(c) all_keys with two requirements on the same tree;
(d) three keyword requirements over 12,000 dicts, each admitting 10,000 of
    them: dicts cannot be hashed, so the three lists of admitted members are
    intersected by equality. Against one R with the same three conditions
    (one list, nothing to intersect) and the loop.

The hand-written loop does the same work for each query with the structure
known in advance: it is the floor that a general engine can approach. dpath
returns the same (path, value) pairs as find for (a). jmespath and glom return
the matching values only (they cannot give the keys that lead to them), so
they do less than find there; they express (b) fully. None of the peers
expresses all_keys; (c) and (d) run against the loop only. "nodes" is the number of
mapping entries the query looks at, for the ns/node column.
"""

import pytest

from ovark.utils.objects import R, find

VRFS, NEIGHBORS = 25, 80


def bgp_tree():
    vrfs = {}
    for v in range(VRFS):
        neighbors = {}
        for n in range(NEIGHBORS):
            neighbors["10.{}.{}.1".format(v, n)] = {
                "session_state": "established" if n % 3 else "idle",
                "remote_as": 65000 + n % 7,
                "local_as": 65000,
                "up_time": "01:02:03",
                "hold_time": 180,
                "address_family": {
                    "ipv4 unicast": {"prefixes_received": n, "bgp_table_version": 7},
                    "ipv6 unicast": {"prefixes_received": 0, "bgp_table_version": 3},
                },
            }
        vrfs["vrf{}".format(v) if v else "default"] = {"neighbor": neighbors}
    return {"instance": {"default": {"vrf": vrfs}}}


TREE = bgp_tree()
LEAVES = VRFS * NEIGHBORS * 9
ESTABLISHED = R(["instance", "default", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "established"])
REMOTE_AS = R(["instance", "default", "vrf", "(.*)", "neighbor", "(.*)", "remote_as", 65001])
# instance, default, vrf; the vrf keys and their "neighbor"; the neighbor keys
# and their session_state.
NODES_A = 3 + 2 * VRFS + 2 * VRFS * NEIGHBORS
NODES_C = 2 * NODES_A

INTERFACES = [
    {
        "name": "GigabitEthernet0/{}".format(i),
        "status": {"oper": "up" if i % 4 else "down", "admin": "up"},
        "counters": {"in_errors": i % 5, "out_errors": 0},
        "mtu": 1500,
    }
    for i in range(100_000)
]
NODES_B = 4 * len(INTERFACES)

GROUP_A = "(a) path, two patterns, filter_=False, 18k leaves"
GROUP_B = "(b) keyword __ paths, 100k dicts"
GROUP_C = "(c) all_keys, two requirements, 18k leaves"
GROUP_D = "(d) three requirements over 12k dicts (unhashable intersection)"

# Each condition admits 10,000 of the 12,000 members; all three hold for 6,000.
MEMBERS = [{"a": i % 6 != 0, "b": i % 6 != 1, "c": i % 6 != 2, "n": i} for i in range(12_000)]
NODES_D = 3 * len(MEMBERS)


def loop_a(tree):
    out = []
    for vrf_name, vrf in tree["instance"]["default"]["vrf"].items():
        for name, neighbor in vrf["neighbor"].items():
            if neighbor["session_state"] == "established":
                out.append(("established", ["instance", "default", "vrf", vrf_name, "neighbor", name, "session_state"]))
    return out


def loop_b(interfaces):
    return [d for d in interfaces if d["status"]["oper"] == "up" and d["counters"]["in_errors"] == 0]


def loop_c(tree):
    first = loop_a(tree)
    if not first:
        return []
    for vrf in tree["instance"]["default"]["vrf"].values():
        for neighbor in vrf["neighbor"].values():
            if neighbor["remote_as"] == 65001:
                return first
    return []


def loop_d(members):
    return [m for m in members if m["a"] is True and m["b"] is True and m["c"] is True]


def query_d():
    return find(MEMBERS, R(a=True), R(b=True), R(c=True))


def query_d_one_r():
    return find(MEMBERS, R(a=True, b=True, c=True))


def query_a():
    return find([TREE], ESTABLISHED, filter_=False)


def query_b():
    return find(INTERFACES, R(status__oper="up", counters__in_errors=0))


def query_c():
    return find([TREE], ESTABLISHED, REMOTE_AS, filter_=False, all_keys=True)


def test_same_results():
    assert query_a() == loop_a(TREE)
    assert query_b() == loop_b(INTERFACES)
    assert query_c() == loop_c(TREE)
    assert query_d() == query_d_one_r() == loop_d(MEMBERS) and len(loop_d(MEMBERS)) == 6000
    assert all(len(find(MEMBERS, R(**{k: True}))) == 10_000 for k in "abc")
    assert LEAVES >= 10_000


def setup(benchmark, group, nodes):
    benchmark.group = group
    benchmark.extra_info["nodes"] = nodes


# (a) ---------------------------------------------------------------------------


def test_ovark_path_patterns(benchmark):
    setup(benchmark, GROUP_A, NODES_A)
    benchmark(query_a)


def test_loop_path_patterns(benchmark):
    setup(benchmark, GROUP_A, NODES_A)
    benchmark(loop_a, TREE)


def test_dpath_path_patterns(benchmark):
    dpath = pytest.importorskip("dpath")
    setup(benchmark, GROUP_A, NODES_A)

    def run():
        return [
            (value, path.split("/"))
            for path, value in dpath.search(TREE, "instance/default/vrf/*/neighbor/*/session_state", yielded=True)
            if value == "established"
        ]

    assert run() == loop_a(TREE)
    benchmark(run)


def test_jmespath_path_patterns_values_only(benchmark):
    jmespath = pytest.importorskip("jmespath")
    setup(benchmark, GROUP_A, NODES_A)
    expression = jmespath.compile(
        "instance.default.vrf.*.neighbor | [].*[] | [?session_state=='established'].session_state"
    )
    assert len(expression.search(TREE)) == len(loop_a(TREE))
    benchmark(expression.search, TREE)


def test_glom_path_patterns_values_only(benchmark):
    glom = pytest.importorskip("glom")
    setup(benchmark, GROUP_A, NODES_A)

    def run():
        states = glom.glom(TREE, "instance.default.vrf.*.neighbor.*.session_state")
        return [s for per_vrf in states for s in per_vrf if s == "established"]

    assert len(run()) == len(loop_a(TREE))
    benchmark(run)


# (b) ---------------------------------------------------------------------------


def test_ovark_keyword_paths(benchmark):
    setup(benchmark, GROUP_B, NODES_B)
    benchmark(query_b)


def test_loop_keyword_paths(benchmark):
    setup(benchmark, GROUP_B, NODES_B)
    benchmark(loop_b, INTERFACES)


def test_jmespath_keyword_paths(benchmark):
    jmespath = pytest.importorskip("jmespath")
    setup(benchmark, GROUP_B, NODES_B)
    expression = jmespath.compile("[?status.oper=='up' && counters.in_errors==`0`]")
    assert expression.search(INTERFACES) == loop_b(INTERFACES)
    benchmark(expression.search, INTERFACES)


def test_glom_keyword_paths(benchmark):
    glom = pytest.importorskip("glom")
    setup(benchmark, GROUP_B, NODES_B)
    spec = [
        glom.Match(
            {"status": {"oper": "up", object: object}, "counters": {"in_errors": 0, object: object}, object: object},
            default=glom.SKIP,
        )
    ]
    assert glom.glom(INTERFACES, spec) == loop_b(INTERFACES)
    benchmark(glom.glom, INTERFACES, spec)


def test_dpath_keyword_paths(benchmark):
    dpath = pytest.importorskip("dpath")
    setup(benchmark, GROUP_B, NODES_B)

    def run():
        return [
            d for d in INTERFACES if dpath.get(d, "status/oper") == "up" and dpath.get(d, "counters/in_errors") == 0
        ]

    assert run() == loop_b(INTERFACES)
    benchmark.pedantic(run, rounds=3, iterations=1)


# (c) ---------------------------------------------------------------------------


def test_ovark_all_keys(benchmark):
    setup(benchmark, GROUP_C, NODES_C)
    benchmark(query_c)


def test_loop_all_keys(benchmark):
    setup(benchmark, GROUP_C, NODES_C)
    benchmark(loop_c, TREE)


# (d) ---------------------------------------------------------------------------


def test_ovark_three_requirements(benchmark):
    setup(benchmark, GROUP_D, NODES_D)
    benchmark(query_d)


def test_one_r_three_conditions(benchmark):
    setup(benchmark, GROUP_D, NODES_D)
    benchmark(query_d_one_r)


def test_loop_three_conditions(benchmark):
    setup(benchmark, GROUP_D, NODES_D)
    benchmark(loop_d, MEMBERS)
