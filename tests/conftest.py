"""Shared test helpers."""

import gc
import sys
from collections.abc import Mapping


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


class Table(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, entries):
        self._entries = dict(entries)

    def __getitem__(self, key):
        return self._entries[key]

    def __iter__(self):
        return iter(self._entries)

    def __len__(self):
        return len(self._entries)

    def __repr__(self):
        return "Table({})".format(self._entries)
