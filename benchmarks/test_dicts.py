"""recursive_update of two 50,000-key trees against mergedeep and deepmerge."""

import random

import pytest

from ovark.utils.dicts import recursive_update

GROUP = "recursive_update, two 50,000-key trees"


def tree(seed, devices=10000):
    rnd = random.Random(seed)
    out = {}
    for i in range(rnd.randrange(0, 10), devices * 2, 2):
        out["r{:05d}".format(i)] = {
            "os": rnd.choice(["iosxr", "nxos"]),
            "cli": {"ip": "10.0.{}.{}".format(rnd.randrange(256), rnd.randrange(256)), "port": rnd.randrange(9999)},
        }
    return out


def count_keys(d):
    return sum(1 + (count_keys(v) if isinstance(v, dict) else 0) for v in d.values())


A, B = tree(1), tree(2)
KEYS = count_keys(A) + count_keys(B)


def copy_tree(d):
    return {k: copy_tree(v) if isinstance(v, dict) else v for k, v in d.items()}


def expected():
    out = copy_tree(A)
    for k, v in B.items():
        out.setdefault(k, {})
        for k2, v2 in v.items():
            if isinstance(v2, dict):
                out[k].setdefault(k2, {}).update(v2)
            else:
                out[k][k2] = v2
    return out


EXPECTED = expected()


def run(benchmark, merge):
    benchmark.group = GROUP
    benchmark.extra_info["nodes"] = KEYS
    result = benchmark.pedantic(merge, setup=lambda: ((copy_tree(A), B), {}), rounds=40, warmup_rounds=2)
    assert result == EXPECTED


def test_ovark_recursive_update(benchmark):
    run(benchmark, recursive_update)


def test_mergedeep(benchmark):
    mergedeep = pytest.importorskip("mergedeep")
    run(benchmark, mergedeep.merge)


def test_deepmerge(benchmark):
    deepmerge = pytest.importorskip("deepmerge")
    run(benchmark, deepmerge.always_merger.merge)
