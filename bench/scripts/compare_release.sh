#!/usr/bin/env bash
# The engine's benchmarks beside an earlier revision's, in one run, so that a
# release never ships slower than the one before it without anyone noticing:
# builds REV's benchmarks (from a detached worktree under build/compare/) and
# today's (the bench preset), then runs each benchmark program of both
# alternately, ROUNDS times (default 3), each run with 3 repetitions, and
# prints per case the medians of both, their ratio (today / REV, above 1 is
# faster now) and today's ratio to the peer library where the program has one.
#   bench/scripts/compare_release.sh REV [ROUNDS]
# e.g. bench/scripts/compare_release.sh v1.4.0, before tagging the next one.
# VESK_COMPARE_BENCHES (default "bench_mime") names the programs, Google
# Benchmark ones; VESK_COMPARE_FILTER (default "BM_Vesk|BM_GMime") the cases
# (a regular expression for --benchmark_filter). Only engine benchmarks
# without servers belong here: they measure the code, not the machine's mail
# servers.
source "$(dirname "$0")/../../tools/common.sh"

rev=${1:?usage: compare_release.sh REV [ROUNDS]}
rounds=${2:-3}
benches=(${VESK_COMPARE_BENCHES:-bench_mime})
filter=${VESK_COMPARE_FILTER:-BM_Vesk|BM_GMime}
ensure_packages "${PACKAGES[@]}" libgmime-3.0-dev

commit=$(git -C "$ROOT" rev-parse --verify "$rev^{commit}")
short=${commit:0:10}
old_source="$BUILD/compare/src-$short"
old_build="$BUILD/compare/build-$short"
if [ ! -d "$old_source" ]; then
  mkdir -p "$BUILD/compare"
  git -C "$ROOT" worktree add --detach "$old_source" "$commit" >/dev/null
fi
echo "building $rev ($short) in $old_build"
cmake -S "$old_source" -B "$old_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF \
  -DVESK_BUILD_BENCH=ON >/dev/null
cmake --build "$old_build" -- -j2 "${benches[@]}" >"$BUILD/compare/build-$short.log" 2>&1 || {
  tail -30 "$BUILD/compare/build-$short.log"
  echo "the build of $rev failed (log: $BUILD/compare/build-$short.log)"
  exit 1
}
echo "building today's tree"
build_preset bench

results="$BUILD/compare/results-$short"
rm -rf "$results"
mkdir -p "$results"
for round in $(seq 1 "$rounds"); do
  for bench in "${benches[@]}"; do
    for side in old new; do
      if [ "$side" = old ]; then program=$(find "$old_build" -name "$bench" -type f -perm -u+x | head -1)
      else program="$BUILD/bench/bench/$bench"; fi
      [ -x "$program" ] || { echo "no $bench in the $side build"; exit 1; }
      echo "round $round: $bench ($side)"
      "$program" --benchmark_filter="$filter" --benchmark_repetitions=3 --benchmark_format=json \
        >"$results/$bench.$side.$round.json" 2>/dev/null
    done
  done
done

python3 - "$results" "$rev" <<'PY'
import glob, json, os, statistics, sys

folder, rev = sys.argv[1], sys.argv[2]

def medians(pattern):
    # Per case: the medians the repetitions of each round gave, one per round.
    found = {}
    for path in sorted(glob.glob(os.path.join(folder, pattern))):
        for run in json.load(open(path))["benchmarks"]:
            if run.get("run_type") != "aggregate" or run.get("aggregate_name") != "median":
                continue
            value = run.get("bytes_per_second") or (1e9 / run["real_time"] if run.get("real_time") else 0)
            found.setdefault(run["run_name"], []).append(value)
    return {name: statistics.median(values) for name, values in found.items()}

for bench in sorted({os.path.basename(p).split(".")[0] for p in glob.glob(os.path.join(folder, "*.json"))}):
    old, new = medians(bench + ".old.*.json"), medians(bench + ".new.*.json")
    print("\n%s: %s against today (medians of the rounds; MB/s, or runs/s without a byte count)" % (bench, rev))
    print("  %-34s %12s %12s %9s %12s" % ("case", rev[:12], "today", "today/old", "vs peer now"))
    for name in sorted(new):
        if not name.startswith("BM_Vesk"):
            continue
        peer = new.get(name.replace("BM_Vesk", "BM_GMime"))
        unit = 1e6 if new[name] > 1e5 else 1
        line = "  %-34s %12.1f %12.1f" % (name, old.get(name, 0) / unit, new[name] / unit)
        line += " %8.2fx" % (new[name] / old[name]) if old.get(name) else " %9s" % "new"
        line += " %11.2fx" % (new[name] / peer) if peer else ""
        print(line)
PY
