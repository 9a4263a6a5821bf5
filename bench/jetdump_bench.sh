#!/usr/bin/env bash
# Benchmark: export every table (system tables included) of the largest Jet 4
# corpus files with jetdump --csv and with mdbtools' mdb-export, in the same
# run, and report the time ratio and each tool's peak memory.
#
#   bench/jetdump_bench.sh [BUILD_DIR] [FILES] [REPEAT]
#     BUILD_DIR  a build folder holding jet/tools/jetdump (default: build/release,
#                else build/dev)
#     FILES      how many of the largest corpus files (default 5)
#     REPEAT     passes over all tables (default 3)
# Needs /usr/bin/time (GNU) and mdb-export. Not a test: numbers vary by machine.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-}"
if [ -z "$build" ]; then
  for b in "$here/build/release" "$here/build/dev"; do
    [ -x "$b/jet/tools/jetdump" ] && build="$b" && break
  done
fi
jetdump="${build}/jet/tools/jetdump"
[ -x "$jetdump" ] || { echo "jetdump not built (give the build folder)" >&2; exit 1; }
command -v mdb-export >/dev/null || { echo "mdb-export (mdbtools) is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time (GNU time) is not installed" >&2; exit 1; }
nfiles="${2:-5}"
repeat="${3:-3}"
corpus="${TARNWICK_CORPUS:-$here/../shared/corpus}"
[ -f "$corpus/MANIFEST.tsv" ] || { echo "corpus not found (set TARNWICK_CORPUS)" >&2; exit 1; }

# The largest Jet 4 files without a password (mdb-export takes none).
mapfile -t files < <(awk -F'\t' 'NR>1 && $2=="jet4" && $4=="" {print $3 "\t" $1}' \
                       "$corpus/MANIFEST.tsv" | sort -rn | head -n "$nfiles" | cut -f2)
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# One job per line: file <TAB> table.
jobs="$tmp/jobs"
: > "$jobs"
bytes=0
for f in "${files[@]}"; do
  path="$corpus/$f"
  bytes=$((bytes + $(stat -c %s "$path")))
  "$jetdump" --system "$path" | while IFS= read -r t; do printf '%s\t%s\n' "$path" "$t"; done >> "$jobs"
done
tables=$(wc -l < "$jobs")

# run NAME: every job REPEAT times; prints "<nanoseconds> <peak KiB>".
run() {
  local name="$1" peak=0 start end kib
  start=$(date +%s%N)
  for ((r = 0; r < repeat; r++)); do
    while IFS=$'\t' read -r path table; do
      if [ "$name" = jetdump ]; then
        /usr/bin/time -f %M -o "$tmp/mem" "$jetdump" --csv "$table" "$path" > /dev/null
      else
        /usr/bin/time -f %M -o "$tmp/mem" mdb-export "$path" "$table" > /dev/null 2> /dev/null
      fi
      kib=$(tail -n 1 "$tmp/mem")
      [ "$kib" -gt "$peak" ] && peak=$kib
    done < "$jobs"
  done
  end=$(date +%s%N)
  echo "$((end - start)) $peak"
}

read -r t_ours m_ours < <(run jetdump)
read -r t_theirs m_theirs < <(run mdb-export)
echo "files: ${#files[@]} ($((bytes / 1024)) KiB), tables: $tables, passes: $repeat"
printf '%-11s %10s %14s\n' tool "time (ms)" "peak RSS (KiB)"
printf '%-11s %10d %14d\n' jetdump $((t_ours / 1000000)) "$m_ours"
printf '%-11s %10d %14d\n' mdb-export $((t_theirs / 1000000)) "$m_theirs"
awk -v a="$t_ours" -v b="$t_theirs" 'BEGIN { printf "time ratio jetdump / mdb-export: %.2f\n", a / b }'
