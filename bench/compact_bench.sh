#!/usr/bin/env bash
# Compaction benchmark: a large fragmented database made from a corpus file,
# compacted by jetcompact (verification included) and copied by cp in the same
# run (three rounds, alternating; ROUNDS=n to change); prints the medians of
# both times, of their ratio and of jetcompact's peak memory.
#
#   bench/compact_bench.sh [BUILD_DIR] [MB] [DELETE_SHARE]
#   (BENCH_SOURCE / BENCH_TABLE: another corpus file and table to grow)
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

# BENCH_SOURCE (relative to the corpus) and BENCH_TABLE choose another file
# and table to grow, e.g. an .accdb: BENCH_SOURCE=jackcess/ace/oldDatesV2007.accdb
# BENCH_TABLE=Table1 (compact_bench_gen FILE --list names the tables it can grow).
src="$corpus/${BENCH_SOURCE:-format-corpus/database-msaccess-flat.mdb}"
table="${BENCH_TABLE:-baseTable}"
echo "generating a ${mb} MB database from $(basename "$src") with ${share} of the new rows deleted..."
"$gen" "$src" "$table" "$work/big.mdb" --mb "$mb" --delete "$share" --free 0.05
size=$(stat -c %s "$work/big.mdb")
sync

# Three rounds, cp and jetcompact alternating, so that both meet the same
# state of the machine; the medians are reported.
rounds="${ROUNDS:-3}"
: > "$work/times.txt"
for r in $(seq "$rounds"); do
  t0=$(date +%s.%N)
  cp "$work/big.mdb" "$work/copy.mdb"
  sync "$work/copy.mdb"
  t1=$(date +%s.%N)
  rm -f "$work/copy.mdb" "$work/small.mdb"
  t2=$(date +%s.%N)
  /usr/bin/time -v "$compact" "$work/big.mdb" "$work/small.mdb" > /dev/null 2> "$work/time.txt"
  t3=$(date +%s.%N)
  peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  echo "$t0 $t1 $t2 $t3 $peak_kb" >> "$work/times.txt"
done
out=$(stat -c %s "$work/small.mdb")
awk -v size="$size" -v out="$out" '
  { cp[NR] = $2 - $1; jc[NR] = $4 - $3; ratio[NR] = jc[NR] / cp[NR]; peak[NR] = $5
    printf "round %d      cp %6.2f s, jetcompact %6.2f s (%.1f x cp), peak %.1f MB\n", NR, cp[NR], jc[NR], ratio[NR], $5 / 1024 }
  function median(a, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    n = NR
    printf "source      %8.1f MB\n", size / 1048576
    printf "compacted   %8.1f MB (%.1f%% of the source)\n", out / 1048576, 100 * out / size
    mcp = median(cp, n); mjc = median(jc, n); mr = median(ratio, n); mp = median(peak, n)
    printf "cp          %8.2f s (median of %d)\n", mcp, n
    printf "jetcompact  %8.2f s (median; %.1f x cp by the median of the rounds'"'"' ratios, verification included)\n", mjc, mr
    printf "peak memory %8.1f MB (%.1f%% of the source)\n", mp / 1024, 100 * mp * 1024 / size
  }' "$work/times.txt"
