#!/usr/bin/env bash
# The whole landing exploration (tests/driver/LandingsTest.cpp), sharded over
# JOBS processes: every ordered pair of callers, each landing at every place
# of the first's span. Prints each pair's coverage, every failing landing's
# reproduce line, the totals and the CPU time; fails when a landing failed.
#   bash tests/support/explore-all.sh [JOBS] [CORVANE_LANDING_SHARD-style subset: i/n of the pairs]
set -uo pipefail
cd "$(dirname "$0")/../.."
jobs=${1:-2}
binary=./build/default/corvane_tests
out=build/explore
rm -rf "$out" && mkdir -p "$out"
start=$(date +%s)
for ((i = 0; i < jobs; i++)); do
  env -u CORVANE_LANDING -u CORVANE_SCHEDULE CORVANE_LANDINGS=all CORVANE_LANDING_SHARD="$i/$jobs" \
    "$binary" --gtest_filter='Landings.*' --gtest_brief=1 >"$out/shard-$i.log" 2>&1 &
done
status=0
for ((i = 0; i < jobs; i++)); do wait -n || status=1; done
wall=$(($(date +%s) - start))
grep -h '^landings ' "$out"/shard-*.log | sort -k2,2
grep -h '^reproduce: CORVANE_SEED=.*CORVANE_LANDING=' "$out"/shard-*.log | sort -u
# Pairs (names with one comma) and the triples' samples apart.
awk '/^landings .*replays/ { t = split($2, n, ",") == 3; count[t]++; split($5, a, "/"); landed[t] += a[1]; passed[t] += a[2];
                     split($8, b, "/"); at[t] += b[1]; points[t] += b[2]; replays[t] += $9; failing[t] += $11 }
     END { for (t = 0; t < 2; t++)
             printf "%d %s: places landed %d/%d, points landed %d/%d, %d replays, %d failing\n", count[t],
                    t ? "triples (sampled)" : "pairs", landed[t], passed[t], at[t], points[t], replays[t], failing[t] }' \
  "$out"/shard-*.log
times >"$out/times"
echo "wall ${wall} s on ${jobs} jobs; CPU of the shards (user, system): $(tail -1 "$out/times")"
exit $status
