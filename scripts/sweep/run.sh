#!/usr/bin/env bash
# Compacts every *.mdb in DIR with jetcompact and checks what comes out.
#
#   scripts/sweep/run.sh [DIR [BUILD_DIR]]
#
# DIR defaults to the project's sweep set, ../shared/sweep/files beside the checkout, whose
# MANIFEST.tsv (one folder up) also gives each file's password when SWEEP_PASSWORDS is unset.
#
# BUILD_DIR defaults to build/release (relative to the top of the tree). For each file
# it copies the file to a scratch folder, runs jetcheck on the copy, jetcompact from the
# copy into a new file, then jetcheck --strict on the result and compares every table
# between the copy and the result with mdbtools (mdb-tables -S, mdb-count, mdb-export).
# DIR is only read.
#
# Output: one TSV line per file on standard output, then a summary line. Columns:
#   file  result  seconds  source_bytes  output_bytes  check  strict  rows  error
# result  compacted | refused | password | not-jet4
# check   jetcheck on the source: ok | errors | refused | timeout
# strict  jetcheck --strict on the output: ok | errors | timeout | - (nothing to check)
# rows    same | same-live | differ | content-differs | stale-count | mdbtools-failed | -
#         same-live: equal, but for rows that mdbtools reads in the source beyond the table's
#         stored count and that the output leaves out (rows flagged deleted, see compare_tables);
#         differ: a table (system tables included) has another number of rows in the output;
#         content-differs: a user table holds other rows (compared as mdb-export prints them);
#         stale-count: the row count stored in an output table's definition (mdb-count) is wrong.
#         Stale stored counts in the source are normal (Access tolerates them) and not reported.
# error   the first line of the first problem met (jetcompact's message when refused, else
#         the first error of the strict check, else the first row problem)
#
# Environment:
#   SWEEP_OUT        where the results, per-file logs and scratch files go
#                    (default: a new folder under ${TMPDIR:-/tmp}); must not lie in DIR
#   SWEEP_TIMEOUT    seconds allowed to each jetcheck / jetcompact run (default 120)
#   SWEEP_PASSWORDS  a TSV file of "file name<TAB>password" lines for files known to have one
#   SWEEP_KEEP=1     keep the compacted files (default: removed once checked)
#
# Exit status: 0 when the sweep ran (whatever it found), 2 on wrong usage.
set -uo pipefail

usage() { echo "usage: $0 [DIR [BUILD_DIR]]" >&2; exit 2; }
[ $# -le 2 ] || usage
top="$(cd "$(dirname "$0")/../.." && pwd)"
given="${1:-$top/../shared/sweep/files}"
dir="$(cd "$given" 2>/dev/null && pwd -P)" || { echo "$0: no folder $given" >&2; exit 2; }
build="${2:-$top/build/release}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
for tool in mdb-tables mdb-count mdb-export timeout; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is not installed (apt-get install mdbtools)" >&2; exit 2; }
done
limit="${SWEEP_TIMEOUT:-120}"
passwords="${SWEEP_PASSWORDS:-}"
manifest="$dir/../MANIFEST.tsv"

if [ -n "${SWEEP_OUT:-}" ]; then
  out="$(realpath -m -- "$SWEEP_OUT")"
  case "$out/" in "$dir"/*) echo "$0: SWEEP_OUT ($out) lies inside DIR; choose another place" >&2; exit 2 ;; esac
  case "$dir/" in "$out"/scratch/* | "$out"/logs/* | "$out"/bin/* | "$out"/compacted/*)
    echo "$0: DIR lies in a folder that the sweep clears ($out/...); choose another SWEEP_OUT" >&2; exit 2 ;;
  esac
  mkdir -p -- "$out" || exit 2
else
  out="$(mktemp -d "${TMPDIR:-/tmp}/sweep.XXXXXX")" || exit 2
  out="$(realpath -- "$out")"
  case "$out/" in "$dir"/*) echo "$0: the scratch folder $out lies inside DIR; set SWEEP_OUT" >&2; rmdir -- "$out"; exit 2 ;; esac
fi
scratch="$out/scratch"
logs="$out/logs"
results="$out/results.tsv"
rm -rf "$scratch" "$logs" "$out/bin" "$out/compacted"
mkdir -p "$scratch" "$logs" "$out/bin"
# The sweep set's own manifest names the passwords: file (column 8) and password (column 9).
if [ -z "$passwords" ] && [ -r "$manifest" ]; then
  passwords="$out/passwords.tsv"
  awk -F'\t' 'NR > 1 && $9 != "" { n = $8; sub(/.*\//, "", n); print n "\t" $9 }' "$manifest" >"$passwords"
fi

# Work with a copy of the tools, so that a rebuild during the sweep does not mix versions.
# While the build is being written the tools may be missing or not yet runnable: wait.
jetcheck="$out/bin/jetcheck"
jetcompact="$out/bin/jetcompact"
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  if cp "$build/jet/tools/jetcheck" "$build/jet/tools/jetcompact" "$out/bin/" 2>/dev/null &&
     "$jetcheck" --version >/dev/null 2>&1 && "$jetcompact" --version >/dev/null 2>&1; then
    break
  fi
  [ "$attempt" = 10 ] && { echo "$0: no runnable jetcheck and jetcompact in $build/jet/tools" >&2; exit 2; }
  echo "sweep: the tools in $build/jet/tools are missing or not runnable; waiting a minute" >&2
  sleep 60
done
"$jetcompact" --version >"$out/tools.txt"
echo "sweep: $dir -> $out ($(cat "$out/tools.txt") from $build)" >&2

# Table statistics of $1 as sorted "table<TAB>stored count<TAB>rows<TAB>digest" lines: the
# count stored in the table's definition (mdb-count), the rows mdbtools reads (mdb-export)
# and, for user tables, a digest of the sorted rows, which are kept in $2.<digest> ("-" for
# system tables, whose object Ids change when a database is compacted). Fails if mdbtools does.
table_stats() {
  local f="$1" keep="$2" t stored rows digest all user
  all="$(timeout "$limit" mdb-tables -1 -S "$f" 2>/dev/null)" || return 1
  user="$(timeout "$limit" mdb-tables -1 "$f" 2>/dev/null)" || return 1
  while IFS= read -r t; do
    [ -n "$t" ] || continue
    stored="$(timeout "$limit" mdb-count "$f" "$t" 2>/dev/null)" || return 1
    timeout "$limit" mdb-export -H -e -b hex "$f" "$t" >"$keep.rows" 2>/dev/null || return 1
    rows="$(wc -l <"$keep.rows")"
    digest=-
    if grep -qxF -- "$t" <<<"$user"; then
      LC_ALL=C sort "$keep.rows" >"$keep.sorted"
      digest="$(sha1sum <"$keep.sorted" | cut -c1-16)"
      mv -f "$keep.sorted" "$keep.$digest"
    fi
    printf '%s\t%s\t%s\t%s\n' "$t" "$stored" "$rows" "$digest"
  done <<<"$all" | LC_ALL=C sort -t $'\t' -k1,1
  local rc=$?
  rm -f "$keep.rows"
  return $rc
}

# Compares the table statistics $1 (source) and $2 (output), whose sorted rows are kept
# in $3.<digest> and $4.<digest>. Prints "verdict<TAB>first problem".
# A table with fewer rows in the output is accepted when the output holds exactly the
# source's stored count and (for user tables) only rows of the source: mdbtools returns
# rows that are flagged deleted with the bit it takes for "lookup" (0x8000) only.
compare_tables() {
  local t ss sr sd os or od verdict="" problem="" note=""
  while IFS=$'\t' read -r t ss sr sd os or od; do
    if [ "$sr" != "$or" ]; then
      if [ "$or" = "$ss" ] && [ "$or" -lt "$sr" ] 2>/dev/null &&
         { [ "$sd" = - ] || [ -z "$(LC_ALL=C comm -13 "$3.$sd" "$4.$od" 2>/dev/null | head -c1)" ]; }; then
        [ -n "$note" ] || note="mdbtools reads $sr rows of $t in the source, which stores a count of $ss; the output holds $or (likely deleted rows that mdbtools still returns)"
      else
        verdict=differ; problem="rows of $t: $sr in the source, $or in the output"; break
      fi
    elif [ "$sd" != "$od" ]; then
      [ -n "$verdict" ] || { verdict=content-differs; problem="the rows of $t differ between the source and the output"; }
    fi
    if [ "$os" != "$or" ] && [ -z "$verdict" ]; then
      verdict=stale-count; problem="the output stores a row count of $os for $t, which holds $or rows"
    fi
  done < <(LC_ALL=C join -t $'\t' -a1 -a2 -e '(none)' -o 0,1.2,1.3,1.4,2.2,2.3,2.4 "$1" "$2")
  if [ -n "$verdict" ]; then printf '%s\t%s\n' "$verdict" "$problem"
  elif [ -n "$note" ]; then printf 'same-live\t%s\n' "$note"
  else printf 'same\t\n'; fi
}

# The first line of a log that says something, with tabs flattened.
first_line() { grep -m1 -v '^[[:space:]]*$' "$1" 2>/dev/null | tr '\t' ' ' | cut -c1-400; }

password_for() {
  [ -n "$passwords" ] && [ -r "$passwords" ] || return 1
  awk -F'\t' -v n="$1" '$1 == n { print $2; found = 1; exit } END { exit !found }' "$passwords"
}

now() { date +%s.%N; }

n_compacted=0 n_refused=0 n_password=0 n_skipped=0 n_strict=0 n_rows=0
printf 'file\tresult\tseconds\tsource_bytes\toutput_bytes\tcheck\tstrict\trows\terror\n' | tee "$results"

while IFS= read -r -d '' src; do
  name="$(basename "$src")"
  key="$(printf '%s' "$name" | tr -c 'A-Za-z0-9._+-' '_')"
  log="$logs/$key"
  rm -f "$log".*
  work="$scratch/$key"
  mkdir -p "$work"
  copy="$work/source.mdb"
  dest="$work/compacted.mdb"
  cp -- "$src" "$copy" || { echo "$0: cannot copy $src" >&2; rm -rf "$work"; continue; }
  src_bytes="$(stat -c %s -- "$copy")"
  out_bytes=- check=- strict=- rows=- error=""

  timeout "$limit" "$jetcheck" "$copy" >"$log.check" 2>&1
  case $? in
    0) check=ok ;; 1) check=errors ;; 124) check=timeout ;; *) check=refused ;;
  esac

  args=()
  if pw="$(password_for "$name")"; then args=(--password "$pw"); fi
  t0="$(now)"
  timeout "$limit" "$jetcompact" "${args[@]}" "$copy" "$dest" >"$log.compact" 2>&1
  rc=$?
  t1="$(now)"
  seconds="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
  case $rc in
    0) result=compacted ;;
    3) result=password ;;
    5) result=not-jet4 ;;
    *) result=refused ;;
  esac
  if [ $rc -ne 0 ]; then
    if [ $rc -eq 124 ]; then error="timed out after $limit s"; else error="$(first_line "$log.compact")"; fi
    error="${error//"$copy"/$name}"
  fi

  if [ $rc -eq 0 ] && [ -f "$dest" ]; then
    out_bytes="$(stat -c %s -- "$dest")"
    timeout "$limit" "$jetcheck" --strict "$dest" >"$log.strict" 2>&1
    case $? in
      0) strict=ok ;;
      124) strict=timeout; error="strict check timed out after $limit s" ;;
      *) strict=errors
         error="$(grep -m1 -E '^(error|note) ' "$log.strict" | tr '\t' ' ' | cut -c1-400)"
         [ -n "$error" ] || error="$(first_line "$log.strict")"
         error="${error//"$dest"/(output)}" ;;
    esac
    if table_stats "$copy" "$work/source" >"$log.tables-source" &&
       table_stats "$dest" "$work/output" >"$log.tables-output"; then
      problem="$(compare_tables "$log.tables-source" "$log.tables-output" "$work/source" "$work/output")"
      rows="${problem%%$'\t'*}"
      [ -n "$error" ] || error="${problem#*$'\t'}"
    else
      rows=mdbtools-failed
    fi
  fi

  case $result in
    compacted) n_compacted=$((n_compacted + 1))
               [ "$strict" = ok ] || n_strict=$((n_strict + 1))
               case $rows in same | same-live) ;; *) n_rows=$((n_rows + 1)) ;; esac ;;
    refused) n_refused=$((n_refused + 1)) ;;
    password) n_password=$((n_password + 1)) ;;
    *) n_skipped=$((n_skipped + 1)) ;;
  esac
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$result" "$seconds" "$src_bytes" \
    "$out_bytes" "$check" "$strict" "$rows" "$error" | tee -a "$results"

  if [ "${SWEEP_KEEP:-0}" = 1 ] && [ -f "$dest" ]; then
    mkdir -p "$out/compacted"
    mv -- "$dest" "$out/compacted/$key"
  fi
  rm -rf -- "$work"
done < <(find "$dir" -maxdepth 1 -type f -iname '*.mdb' -print0 | LC_ALL=C sort -z)

summary="$n_compacted compacted, $n_refused refused, $n_password password, $n_skipped skipped"
summary="$summary ($n_strict compacted with strict-check findings, $n_rows with row problems or unreadable by mdbtools)"
echo "$summary" | tee -a "$results"
echo "sweep: results in $results, logs in $logs" >&2
