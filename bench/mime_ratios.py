#!/usr/bin/env python3
"""Reads the JSON output of bench_mime (--benchmark_format=json) on stdin and
prints our throughput against GMime's and Python's for each case."""

import json
import sys


def main():
    results = {}
    for run in json.load(sys.stdin)["benchmarks"]:
        # With --benchmark_repetitions, only the medians are used.
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        name = run["run_name"] if "run_name" in run else run["name"]
        name = name.replace("/iterations:1/manual_time", "")
        results[name] = run
    for case in ("Large_Parse", "Large_Render", "Corpus_Parse", "Corpus_Render"):
        ours = results.get("BM_Vesk_" + case)
        if not ours:
            continue
        line = "%-14s ours %8.1f MB/s" % (case, ours["bytes_per_second"] / 1e6)
        for peer, key in (("GMime", "BM_GMime_" + case), ("Python", "BM_Python/" + case)):
            other = results.get(key) or results.get(key.replace("/", "_"))
            if other and other.get("bytes_per_second"):
                line += "   %s %8.1f MB/s (ratio %.2f)" % (
                    peer, other["bytes_per_second"] / 1e6, ours["bytes_per_second"] / other["bytes_per_second"])
        print(line)
    large = results.get("BM_Vesk_Large_Parse")
    if large:
        print("peak memory, large message: parse %.2f x input, render %.2f x input" % (
            large.get("peak_ratio", 0), large.get("render_peak_ratio", 0)))
    corpus = results.get("BM_Vesk_Corpus_Parse")
    if corpus and "held_ratio" in corpus:
        print("memory held by the loaded corpus: %.2f x its size" % corpus["held_ratio"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
