#!/usr/bin/env bash
# Compaction benchmark: a large fragmented database made from a real file,
# compacted by jetcompact (the check of the source and the verification of the
# copy included) and copied by cp + sync in the same run (three rounds,
# alternating; ROUNDS=n to change). Reports the medians of both times and of
# their ratio, with the source read from the disk (caches dropped before each
# command, where the system allows it) and from the page cache; jetcompact's
# CPU seconds (user and system) and peak memory; and, from one extra run under
# strace (kept out of the timed rounds), its read system calls per source page.
#
#   bench/compact_bench.sh [BUILD_DIR] [MB] [DELETE_SHARE]
#   SHAPE=table|app|both (default table):
#     table  one table grown: format-corpus's baseTable, its primary key the
#            only index (BENCH_SOURCE / BENCH_TABLE: another corpus file and
#            table)
#     app    the shape of an application's file: five tables of a Northwind
#            from the sweep set grown together (Orders, Order Details,
#            Products, Suppliers, Employees): 20 real indexes, text keys among
#            them, memo and OLE values in the row, in one LVAL row and in
#            chains of pages (BENCH_APP_SOURCE / BENCH_APP_TABLES: another
#            file, relative to the sweep folder, and table list)
#   COLD=0 skips the rounds with dropped caches.
#   COMPARE=OTHER_BUILD_DIR also times that build's jetcompact in every round,
#     right after this one's and under the same conditions, and reports its
#     medians beside them: on a machine whose speed drifts, builds compared in
#     separate runs differ by more than the change being measured.
#
# BUILD_DIR defaults to build/release (configure with the "release" preset);
# MB defaults to 1024; DELETE_SHARE (0.5) of the new rows are left deleted.
# The work files go to $TMPDIR (or /tmp) and are removed.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/release}"
mb="${2:-1024}"
share="${3:-0.5}"
shape="${SHAPE:-table}"
rounds="${ROUNDS:-3}"
corpus="${TARNWICK_CORPUS:-$here/../shared/corpus}"
sweep="${TARNWICK_SWEEP:-$(dirname "$corpus")/sweep}"
gen="$build/bench/compact_bench_gen"
compact="$build/jet/tools/jetcompact"
other=""
if [ -n "${COMPARE:-}" ]; then
  other="$COMPARE/jet/tools/jetcompact"
fi
for b in "$gen" "$compact" $other; do
  [ -x "$b" ] || { echo "missing $b: build compact_bench_gen and jetcompact first" >&2; exit 2; }
done
case "$shape" in
  table) shapes=(table) ;;
  app) shapes=(app) ;;
  both) shapes=(table app) ;;
  *) echo "SHAPE must be table, app or both" >&2; exit 2 ;;
esac
work="$(mktemp -d "${TMPDIR:-/tmp}/compact-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Dropping the page cache needs root and a system that lets root do it.
cold=0
cold_why="COLD=0"
if [ "${COLD:-1}" != 0 ]; then
  cold_why="the page cache cannot be dropped here"
  if sync && (echo 3 > /proc/sys/vm/drop_caches) 2> /dev/null; then
    cold=1
  fi
fi
drop() { if [ "$cold" = 1 ]; then sync; echo 3 > /proc/sys/vm/drop_caches; fi; }

# One timed cp + sync of big.mdb; prints its seconds.
time_cp() {
  local t0 t1
  t0=$(date +%s.%N)
  cp "$work/big.mdb" "$work/copy.mdb"
  sync "$work/copy.mdb"
  t1=$(date +%s.%N)
  rm -f "$work/copy.mdb"
  echo "$t0 $t1" | awk '{printf "%.3f", $2 - $1}'
}
# One timed compaction of big.mdb (by jetcompact, or the one given); prints
# wall, user and system seconds and the peak resident set in KB.
time_compact() {
  rm -f "$work/small.mdb"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "${1:-$compact}" "$work/big.mdb" "$work/small.mdb" > /dev/null
  cat "$work/time.txt"
}

run_shape() {
  local name="$1"
  if [ "$name" = table ]; then
    local src="$corpus/${BENCH_SOURCE:-format-corpus/database-msaccess-flat.mdb}"
    local table="${BENCH_TABLE:-baseTable}"
    echo "== shape 'table': ${mb} MB grown from $(basename "$src")'s $table, ${share} of the new rows deleted"
    "$gen" "$src" "$table" "$work/big.mdb" --mb "$mb" --delete "$share" --free 0.05
  else
    local src="$sweep/${BENCH_APP_SOURCE:-files/hjgode+kbfakt+Northwind.mdb}"
    local tables="${BENCH_APP_TABLES:-Orders:100,Order Details:250,Products:25,Suppliers:10,Employees:1}"
    echo "== shape 'app': ${mb} MB grown from $(basename "$src") ($tables), ${share} of the new rows deleted"
    "$gen" "$src" --grow "$tables" "$work/big.mdb" --mb "$mb" --delete "$share" --free 0.05
  fi
  local size
  size=$(stat -c %s "$work/big.mdb")
  sync
  echo "load before: $(uptime | sed 's/.*load average/load average/')"

  # Rounds: cp and jetcompact alternating, so that both meet the same state
  # of the machine; first from the disk, then with the source cached.
  : > "$work/times.txt"
  : > "$work/other.txt"
  for r in $(seq "$rounds"); do
    local ccp="-" cjc="- - - -" coc="- - - -"
    if [ "$cold" = 1 ]; then
      drop; ccp=$(time_cp)
      drop; cjc=$(time_compact)
      if [ -n "$other" ]; then drop; coc=$(time_compact "$other"); fi
    fi
    cat "$work/big.mdb" > /dev/null
    local wcp wjc woc="- - - -"
    wcp=$(time_cp)
    cat "$work/big.mdb" > /dev/null
    wjc=$(time_compact)
    if [ -n "$other" ]; then
      cat "$work/big.mdb" > /dev/null
      woc=$(time_compact "$other")
    fi
    echo "$ccp $cjc $wcp $wjc" >> "$work/times.txt"
    echo "$ccp $coc $wcp $woc" >> "$work/other.txt"
  done
  local out
  out=$(stat -c %s "$work/small.mdb")

  # The read system calls of one more compaction, under strace.
  local reads="-"
  if command -v strace > /dev/null; then
    rm -f "$work/small.mdb"
    strace -f -c -o "$work/strace.txt" -e trace=read,pread64,readv,preadv,preadv2 \
      "$compact" "$work/big.mdb" "$work/small.mdb" > /dev/null
    reads=$(awk '$NF ~ /^(read|pread64|readv|preadv|preadv2)$/ {
                   n += $4 } END { print n + 0 }' "$work/strace.txt")
  fi
  echo "load after:  $(uptime | sed 's/.*load average/load average/')"

  summarise "$work/times.txt" jetcompact 0
  if [ -n "$other" ]; then
    echo "-- in the same rounds, $other:"
    summarise "$work/other.txt" "compared" 1
  fi
  rm -f "$work/big.mdb" "$work/small.mdb"
}

# summarise TIMES LABEL BRIEF: the rounds and medians of one binary's times
# (BRIEF=1: the medians only, for the build compared).
summarise() {
  awk -v size="$size" -v out="$out" -v cold="$cold" -v cold_why="$cold_why" -v reads="$reads" \
      -v label="$2" -v brief="$3" '
    # Fields: cold cp, cold jetcompact (wall user sys peak), warm cp, warm jetcompact (same).
    { n = NR
      if (cold) { ccp[n] = $1; cjc[n] = $2; cr[n] = $2 / $1; cu[n] = $3; cs[n] = $4; cp_[n] = $5 }
      wcp[n] = $6; wjc[n] = $7; wr[n] = $7 / $6; wu[n] = $8; ws[n] = $9; wp[n] = $10
      if (brief) next
      if (cold) printf "round %d  disk:  cp %6.2f s, %s %6.2f s (%.2f x cp), CPU %.2f user + %.2f sys, peak %.1f MB\n", n, $1, label, $2, cr[n], $3, $4, $5 / 1024
      printf "round %d  cache: cp %6.2f s, %s %6.2f s (%.2f x cp), CPU %.2f user + %.2f sys, peak %.1f MB\n", n, $6, label, $7, wr[n], $8, $9, $10 / 1024 }
    function median(a, n,   i, j, t, b) {
      for (i = 1; i <= n; i++) b[i] = a[i]
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
      return (n % 2) ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
    }
    END {
      pages = size / 4096
      if (!brief) {
        printf "source          %8.1f MB (%d pages)\n", size / 1048576, pages
        printf "compacted       %8.1f MB (%.1f%% of the source)\n", out / 1048576, 100 * out / size
      }
      if (cold) {
        printf "from the disk   cp + sync %.2f s, %s %.2f s: %.2f x cp (medians of %d rounds; caches dropped before each)\n", median(ccp, n), label, median(cjc, n), median(cr, n), n
        printf "                CPU %.2f s user + %.2f s system\n", median(cu, n), median(cs, n)
      } else {
        printf "from the disk   not measured: %s\n", cold_why
      }
      printf "source cached   cp + sync %.2f s, %s %.2f s: %.2f x cp (medians of %d rounds)\n", median(wcp, n), label, median(wjc, n), median(wr, n), n
      printf "                CPU %.2f s user + %.2f s system\n", median(wu, n), median(ws, n)
      peak = median(wp, n); if (cold && median(cp_, n) > peak) peak = median(cp_, n)
      printf "peak memory     %8.1f MB (%.1f%% of the source)\n", peak / 1024, 100 * peak * 1024 / size
      if (reads != "-" && !brief) printf "read calls      %d (%.2f per source page; one extra run under strace)\n", reads, reads / pages
    }' "$1"
}

for s in "${shapes[@]}"; do
  run_shape "$s"
done
