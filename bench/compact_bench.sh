#!/usr/bin/env bash
# Compaction benchmark: a large fragmented database made from a corpus file,
# compacted by jetcompact (verification included) and copied by cp in the same
# run; prints both times, their ratio and jetcompact's peak memory.
#
#   bench/compact_bench.sh [BUILD_DIR] [MB] [DELETE_SHARE]
#
# BUILD_DIR defaults to build/release (configure with the "release" preset);
# MB defaults to 1024. The work files go to $TMPDIR (or /tmp) and are removed.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/release}"
mb="${2:-1024}"
share="${3:-0.5}"
corpus="${TARNWICK_CORPUS:-$here/../shared/corpus}"
gen="$build/bench/compact_bench_gen"
compact="$build/jet/tools/jetcompact"
for b in "$gen" "$compact"; do
  [ -x "$b" ] || { echo "missing $b: build compact_bench_gen and jetcompact first" >&2; exit 2; }
done
work="$(mktemp -d "${TMPDIR:-/tmp}/compact-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

src="$corpus/format-corpus/database-msaccess-flat.mdb"
echo "generating a ${mb} MB database from $(basename "$src") with ${share} of the new rows deleted..."
"$gen" "$src" baseTable "$work/big.mdb" --mb "$mb" --delete "$share" --free 0.05
size=$(stat -c %s "$work/big.mdb")
sync

t0=$(date +%s.%N)
cp "$work/big.mdb" "$work/copy.mdb"
sync "$work/copy.mdb"
t1=$(date +%s.%N)
/usr/bin/time -v "$compact" "$work/big.mdb" "$work/small.mdb" 2> "$work/time.txt"
t2=$(date +%s.%N)
rm -f "$work/copy.mdb"

peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
out=$(stat -c %s "$work/small.mdb")
awk -v t0="$t0" -v t1="$t1" -v t2="$t2" \
    -v size="$size" -v out="$out" -v peak="$peak_kb" 'BEGIN {
  cp = t1 - t0; jc = t2 - t1
  printf "source      %8.1f MB\n", size / 1048576
  printf "compacted   %8.1f MB (%.1f%% of the source)\n", out / 1048576, 100 * out / size
  printf "cp          %8.2f s\n", cp
  printf "jetcompact  %8.2f s (%.1f x cp, verification included)\n", jc, jc / cp
  printf "peak memory %8.1f MB (%.1f%% of the source)\n", peak / 1024, 100 * peak * 1024 / size
}'
