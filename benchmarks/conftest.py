"""Benchmark harness: pytest-benchmark, plus a ratio table per group.

Each benchmark sets ``benchmark.group`` to the query it measures and is named
after the contender; the contender whose name starts with "ovark" is the
reference. At the end of the run a table gives, per group, each contender's
median time divided by ovark's (a ratio above 1 means ovark is faster) and, when
a benchmark records ``benchmark.extra_info["nodes"]``, the nanoseconds per node;
with ``benchmark.extra_info["peak_bytes"]``, the peak memory and its ratio to
ovark's. A group with a "csafeloader" contender also gets each ovark
contender's ratio to it (time, peak memory).
"""


def pytest_terminal_summary(terminalreporter, config):
    session = getattr(config, "_benchmarksession", None)
    if not session or not session.benchmarks:
        return
    groups = {}
    for bench in session.benchmarks:
        if getattr(bench, "stats", None) and bench.stats.data:  # a skipped benchmark has none
            groups.setdefault(bench.group, []).append(bench)
    write = terminalreporter.write_line
    write("")
    write("ratios (contender median / ovark median; > 1 means ovark is faster)")
    for group, benches in groups.items():
        ours = [b for b in benches if b.name.split("[")[0].removeprefix("test_").startswith("ovark")]
        if not ours:
            continue
        base = ours[0].stats.median
        write("  {}".format(group))
        base_peak = ours[0].extra_info.get("peak_bytes")
        for b in sorted(benches, key=lambda b: b.stats.median):
            nodes = b.extra_info.get("nodes")
            per_node = " {:8.1f} ns/node".format(b.stats.median * 1e9 / nodes) if nodes else ""
            peak = b.extra_info.get("peak_bytes")
            peak_text = "  peak {:8.1f} MB x{:5.2f}".format(peak / 1e6, peak / base_peak) if peak and base_peak else ""
            write(
                "    {:40s} {:10.3f} ms  x{:7.2f}{}{}".format(
                    b.name, b.stats.median * 1e3, b.stats.median / base, per_node, peak_text
                )
            )
        # Each of ours against a named peer, the way targets are stated.
        peer = next((b for b in benches if b.name == "csafeloader"), None)
        if peer:
            for b in ours:
                ratio = "      {} / csafeloader: time x{:.2f}".format(b.name, b.stats.median / peer.stats.median)
                if b.extra_info.get("peak_bytes") and peer.extra_info.get("peak_bytes"):
                    ratio += ", peak x{:.2f}".format(b.extra_info["peak_bytes"] / peer.extra_info["peak_bytes"])
                write(ratio)
