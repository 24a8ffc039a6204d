#!/usr/bin/env bash
# Side-by-side decoding speed of two builds: runs both builds' bench/pqz2_bench one after the
# other, several rounds (base, new, then new, base, ...), and prints per photo and codec the best
# processor time of each build, their ratio (base / new: above 1 means the new build is faster)
# and the peak heap of each, then the geometric mean of the ratios per codec.
#
#   scripts/bench_compare.sh [-r ROUNDS] [-f FILTER] [-m MIN_TIME] BASE_BUILD NEW_BUILD
#
# BASE_BUILD and NEW_BUILD are build folders configured with -DPQZ2_BUILD_BENCH=ON (their
# bench/pqz2_bench is run; neither is rebuilt). ROUNDS (default 3) runs of each build, one
# repetition each; FILTER is a Google Benchmark filter (default: every PQZ2 codec on the seven
# photos, without the -api variants, the icon and the peer codecs); MIN_TIME the seconds per
# case (default 0.2). The raw JSON of every run stays in $PQZ2_COMPARE_DIR (default: a
# temporary folder that is removed). On a shared machine wall-clock ratios vary by tens of
# percent: more rounds and the best of them narrow that; instruction counts (callgrind) are
# steadier.
set -euo pipefail
rounds=3
filter='^decode/(camera|moon|coins|page|astronaut|coffee|logo)/(raw|context|method1|method2|bits[0-3])$'
min_time=0.2
while getopts "r:f:m:" opt; do
    case $opt in
    r) rounds=$OPTARG ;;
    f) filter=$OPTARG ;;
    m) min_time=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -ne 2 ]; then
    echo "usage: $0 [-r ROUNDS] [-f FILTER] [-m MIN_TIME] BASE_BUILD NEW_BUILD" >&2
    exit 2
fi
base=$1/bench/pqz2_bench
new=$2/bench/pqz2_bench
for b in "$base" "$new"; do
    [ -x "$b" ] || { echo "$b: no benchmark program (configure with -DPQZ2_BUILD_BENCH=ON)" >&2; exit 2; }
done
out=${PQZ2_COMPARE_DIR:-}
if [ -z "$out" ]; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"

for ((r = 1; r <= rounds; r++)); do
    # The build that runs second in a round tends to measure a few percent faster on a busy
    # machine, so the order changes every round: base first in odd rounds, new first in even.
    order="base new"
    ((r % 2 == 0)) && order="new base"
    for side in $order; do
        program=$base
        [ $side = new ] && program=$new
        echo "round $r/$rounds: $side" >&2
        "$program" --benchmark_filter="$filter" --benchmark_repetitions=1 \
            --benchmark_min_time="$min_time" --benchmark_out="$out/$side-$r.json" \
            --benchmark_out_format=json >"$out/$side-$r.txt" 2>&1 || {
            tail -n 20 "$out/$side-$r.txt" >&2
            echo "$program failed (a case that does not decode correctly fails the run)" >&2
            exit 1
        }
    done
done

/usr/bin/python3 - "$out" "$rounds" <<'PY'
import json, math, sys
folder, rounds = sys.argv[1], int(sys.argv[2])
best = {"base": {}, "new": {}}   # case -> best cpu seconds
peak = {"base": {}, "new": {}}   # case -> peak heap KiB
for side in best:
    for r in range(1, rounds + 1):
        with open(f"{folder}/{side}-{r}.json") as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("run_type") == "aggregate":
                    continue
                name = b["run_name"] if "run_name" in b else b["name"]
                unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
                t = b["cpu_time"] * unit
                best[side][name] = min(t, best[side].get(name, t))
                if "peak_KiB" in b:
                    peak[side][name] = b["peak_KiB"]
cases = [c for c in best["base"] if c in best["new"]]
codecs = []
for c in cases:
    codec = c.split("/")[2]
    if codec not in codecs:
        codecs.append(codec)
print(f"Best of {rounds} rounds per build, processor time per decode (ms); ratio = base / new")
print(f"{'photo':<10} {'codec':<12} {'base ms':>9} {'new ms':>9} {'ratio':>6} "
      f"{'base KiB':>9} {'new KiB':>9} {'heap':>6}")
means = {}
for codec in codecs:
    for c in cases:
        if c.split("/")[2] != codec:
            continue
        b, n = best["base"][c], best["new"][c]
        ratio = b / n
        means.setdefault(codec, []).append(ratio)
        pb, pn = peak["base"].get(c), peak["new"].get(c)
        heap = f"{pn / pb:6.2f}" if pb and pn else "     -"
        print(f"{c.split('/')[1]:<10} {codec:<12} {b * 1e3:9.2f} {n * 1e3:9.2f} {ratio:6.2f} "
              f"{pb or 0:9.0f} {pn or 0:9.0f} {heap}")
print("\nGeometric mean of base / new per codec, and the lowest ratio of its photos:")
for codec, ratios in means.items():
    g = math.exp(sum(math.log(x) for x in ratios) / len(ratios))
    print(f"  {codec:<12} {g:5.2f}x  (lowest {min(ratios):.2f}x, {len(ratios)} photos)")
missing = sorted(set(best["base"]) ^ set(best["new"]))
if missing:
    print("\nCases run by one build only: " + ", ".join(missing))
PY
