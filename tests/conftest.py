"""Shared test helpers."""

import gc
import sys


def assert_no_leak(func, calls=10000, rounds=4):
    """Call ``func()`` ``calls`` times per round; fail if every round kept
    objects alive (a leak of one object per call keeps ``calls`` of them)."""
    func()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            func()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    assert not all(g >= calls // 10 for g in growth), "allocated blocks grew every round: {}".format(growth)
