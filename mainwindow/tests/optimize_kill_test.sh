#!/usr/bin/env bash
# Kills Tarnwick with SIGKILL at random moments of "&Optimize" over several
# databases, in the real window under a virtual display. After every kill,
# each target's path must hold its original bytes, or a database that checks
# clean and that mdb-export reads exactly as it read the original: never
# nothing, never something else.
#
#   optimize_kill_test.sh TARNWICK JETCHECK COMPACT_BENCH_GEN CORPUS
#
# KILL_ROUNDS (default 12) sets the number of kills. Needs xvfb-run, xdotool
# and mdbtools; reports itself skipped (exit 77) where they or the corpus
# are missing.
set -euo pipefail
exe="$1" jetcheck="$2" gen="$3" corpus="$4"
rounds="${KILL_ROUNDS:-12}"
for tool in xvfb-run xdotool mdb-export mdb-tables; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
src="$corpus/format-corpus/database-msaccess-flat.mdb"
[ -f "$src" ] || { echo "skipped: the corpus is not available"; exit 77; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-kill.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/app" "$scratch/data" "$scratch/pristine" "$scratch/work"
cp "$exe" "$scratch/app/Tarnwick"
targets=4
ini="$scratch/app/Tarnwick.ini"
: > "$ini"
# Every table as mdb-export prints it, rows sorted: what a database "reads as".
reading() {
  local t
  mdb-tables -1 "$1" | while read -r t; do
    echo "== $t"; mdb-export "$1" "$t" | sort
  done | sha256sum
}
for i in $(seq "$targets"); do
  "$gen" "$src" baseTable "$scratch/pristine/db$i.mdb" --mb 24 --delete 0.5 --free 0.05 >/dev/null
  reading "$scratch/pristine/db$i.mdb" > "$scratch/pristine/db$i.reads"
  printf '[Target %s]\nEnabled=True\nFile=%s\nPassword=\n' "$i" "$scratch/data/db$i.mdb" >> "$ini"
done

export scratch
failures=0
for round in $(seq "$rounds"); do
  rm -f "$scratch/work/TmpMDB.mdb" "$scratch/data/"*
  cp "$scratch/pristine/"*.mdb "$scratch/data/"
  # A kill somewhere in the run: from before the first compaction to after the last.
  delay=$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", (r % 150) / 100 }')
  # The window must be a real one on the virtual display, whatever platform
  # the caller's environment names; Tarnwick never outlives the round.
  status=0
  DELAY="$delay" xvfb-run -a -s "-screen 0 1024x768x24" env -u QT_QPA_PLATFORM bash -euo pipefail -c '
    cd "$scratch/work"   # "TmpMDB.mdb" is made in the current folder
    "$scratch/app/Tarnwick" & pid=$!
    trap "kill -KILL $pid 2>/dev/null || true" EXIT
    wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | head -1) || exit 3
    sleep 1
    h=$(xdotool getwindowgeometry --shell "$wid" | sed -n "s/^HEIGHT=//p")
    xdotool mousemove 346 $(( 126 + h - 283 )) click 1   # "&Optimize"
    sleep "$DELAY"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null || true
  ' || status=$?
  if [ "$status" -eq 3 ]; then
    echo "round $round: the window never showed"; failures=$((failures + 1)); continue
  fi
  replaced=0
  for i in $(seq "$targets"); do
    db="$scratch/data/db$i.mdb"
    if [ ! -f "$db" ]; then
      echo "round $round (kill after ${delay}s): db$i.mdb is gone"; failures=$((failures + 1)); continue
    fi
    if cmp -s "$db" "$scratch/pristine/db$i.mdb"; then
      continue
    fi
    replaced=$((replaced + 1))
    if ! "$jetcheck" "$db" >/dev/null; then
      echo "round $round (kill after ${delay}s): db$i.mdb does not check clean"; failures=$((failures + 1))
    elif [ "$(reading "$db")" != "$(cat "$scratch/pristine/db$i.reads")" ]; then
      echo "round $round (kill after ${delay}s): db$i.mdb reads differently"; failures=$((failures + 1))
    fi
  done
  echo "round $round: killed after ${delay}s, $replaced of $targets compacted, the rest untouched"
done
echo "$((rounds * targets - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
