"""ansi.escape against the compiled pattern on 1 MB of coloured log text."""

import random

import pytest

from ovark.utils import ansi

COLOURS = ["\x1b[31m", "\x1b[1;32m", "\x1b[0m", "\x1b[38;5;208m", "\x1b[2K", "\x9b1;2H", "\x1b[?25l"]
WORDS = "INFO DEBUG WARNING interface GigabitEthernet0/1 is up, line protocol is up bgp neighbor 10.0.0.1".split()


def coloured_log(size=1 << 20, seed=7):
    rnd = random.Random(seed)
    parts, length = [], 0
    while length < size:
        line = "{}2026-12-08 12:00:{:02d}{} {}{}\n".format(
            rnd.choice(COLOURS),
            rnd.randrange(60),
            "\x1b[0m",
            " ".join(rnd.choice(WORDS) for _ in range(8)),
            rnd.choice(COLOURS),
        )
        parts.append(line)
        length += len(line)
    return "".join(parts)


TEXT = coloured_log()


@pytest.fixture(autouse=True)
def same_result():
    assert ansi.escape(TEXT) == ansi.ESCAPE_SEQUENCE.sub("", TEXT)


def test_ovark_escape(benchmark):
    benchmark.group = "ansi.escape, 1 MB coloured log"
    benchmark(ansi.escape, TEXT)


def test_pattern_sub(benchmark):
    benchmark.group = "ansi.escape, 1 MB coloured log"
    benchmark(ansi.ESCAPE_SEQUENCE.sub, "", TEXT)
