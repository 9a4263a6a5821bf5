#!/usr/bin/env bash
# Groups the results of a sweep (run.sh) by cause, for a person to read.
#
#   scripts/sweep/report.sh RESULTS_TSV [MANIFEST_TSV]
#
# RESULTS_TSV is the results.tsv that run.sh leaves in SWEEP_OUT (its logs/ folder beside
# it is read when present, for every finding of the strict check, not just the first).
# MANIFEST_TSV (default: manifest.tsv beside this script) gives each file's origin.
# A cause is the finding code in the message (a word like index-node-mismatch); a message
# without one is grouped by its text with the numbers taken out.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 RESULTS_TSV [MANIFEST_TSV]" >&2; exit 2; }
results="$1"
manifest="${2:-$(dirname "$0")/manifest.tsv}"
logs="$(dirname "$results")/logs"
[ -r "$results" ] || { echo "$0: cannot read $results" >&2; exit 2; }
[ -r "$manifest" ] || manifest=/dev/null

# For compacted files with strict-check findings: one "file<TAB>finding line" per finding.
strict_findings() {
  awk -F'\t' 'NR > 1 && $2 == "compacted" && $7 != "ok" { print $1 }' "$results" |
  while IFS= read -r name; do
    key="$(printf '%s' "$name" | tr -c 'A-Za-z0-9._+-' '_')"
    if [ -r "$logs/$key.strict" ]; then
      NAME="$name" awk '/^(error|note) / { print ENVIRON["NAME"] "\t" $0 }' "$logs/$key.strict"
    else
      NAME="$name" awk -F'\t' '$1 == ENVIRON["NAME"] { print $1 "\t" $9 }' "$results"
    fi
  done
}

strict_findings | awk -F'\t' -v manifest="$manifest" -v results="$results" -v logs="$logs" '
  function origin(name,   o) {
    o = where[name]
    return o == "" ? "(origin not in the manifest)" : o
  }
  # "The database is damaged (CODE): ..." from jetcompact, "error CODE (...): ..." from
  # jetcheck; anything else by its text, without file names and numbers.
  function cause(text,   t) {
    if (match(text, /damaged \([a-z0-9]+(-[a-z0-9]+)+\)/)) return substr(text, RSTART + 9, RLENGTH - 10)
    if (match(text, /^(error|note) [a-z0-9]+(-[a-z0-9]+)+/)) { t = substr(text, 1, RLENGTH); sub(/^[a-z]+ /, "", t); return t }
    t = text; sub(/^jetcompact: /, "", t); gsub(/"[^"]*"/, "FILE", t); gsub(/[0-9]+/, "N", t)
    return substr(t, 1, 100)
  }
  function group(title, kind,   c, i, n, k) {
    n = 0
    for (k in count) if (index(k, kind SUBSEP) == 1) n++
    if (n == 0) { printf "\n%s: none\n", title; return }
    printf "\n%s\n", title
    for (k in count) {
      if (index(k, kind SUBSEP) != 1) continue
      c = substr(k, length(kind) + 2)
      split("", seen); files = 0
      for (i = 1; i <= count[k]; i++) if (!(file[k, i] in seen)) { seen[file[k, i]] = 1; files++ }
      printf "\n  %s (%d message%s, %d file%s)\n", c, count[k], count[k] == 1 ? "" : "s", files, files == 1 ? "" : "s"
      for (i = 1; i <= count[k]; i++) printf "    %s\n      from %s\n      %s\n", file[k, i], origin(file[k, i]), text[k, i]
    }
  }
  # The tables whose rows mdbtools reads in the source beyond the output (from the logs).
  function live_rows(name,   key, f, line, t, a, b, out) {
    key = name; gsub(/[^A-Za-z0-9._+-]/, "_", key)
    f = logs "/" key ".tables-source"
    while ((getline line < f) > 0) { split(line, t, "\t"); a[t[1]] = t[3] " rows (stored count " t[2] ")" }
    close(f)
    f = logs "/" key ".tables-output"
    while ((getline line < f) > 0) {
      split(line, t, "\t")
      if ((t[1] in a) && a[t[1]] !~ "^" t[3] " ") out = out (out ? "; " : "") t[1] ": source " a[t[1]] ", output " t[3] " rows"
    }
    close(f)
    return out ? out : "(logs not found)"
  }
  function add(kind, name, msg, c,   k) {
    k = kind SUBSEP (c != "" ? c : cause(msg))
    count[k]++; file[k, count[k]] = name; text[k, count[k]] = msg
  }
  BEGIN {
    while ((getline line < manifest) > 0) {
      split(line, m, "\t")
      if (m[8] != "" && m[8] != "-") { n = m[8]; sub(/^.*\//, "", n); where[n] = m[1] "@" substr(m[2], 1, 12) ":" m[3] }
      if (m[6] != "" && m[6] != "format") formats[m[6]]++
      if (m[7] ~ /^skipped/) { s = m[7]; sub(/ of .*/, "", s); sub(/ \(.*/, "", s); skipped[s]++ }
    }
    while ((getline line < results) > 0) {
      split(line, r, "\t")
      if (r[1] == "file") continue
      if (r[2] == "") { summary = line; continue }
      total++
      if (r[2] == "refused" || r[2] == "not-jet4") add(r[2], r[1], r[9])
      else if (r[2] == "password") add("password", r[1], r[9])
      else if (r[2] == "compacted") {
        ok += (r[7] == "ok" && (r[8] == "same" || r[8] == "same-live"))
        if (r[8] != "same" && r[8] != "same-live") add("rows", r[1], r[8] ": " r[9])
        if (r[8] == "same-live") add("live", r[1], live_rows(r[1]), "fewer rows in the output, as many as the source stores as its count")
        src += r[4]; dst += r[5]
        if (r[3] + 0 > slowest) { slowest = r[3] + 0; slowname = r[1] }
      }
    }
    print "Sweep: " summary
    printf "%d files; %d compacted cleanly (strict check passed, mdbtools sees the same rows)\n", total, ok
    if (dst > 0) printf "compacted files: %d bytes in, %d bytes out (%.1f%% smaller); slowest %.2f s (%s)\n", src, dst, 100 * (1 - dst / src), slowest, slowname
    printf "manifest formats (duplicates included):"; for (f in formats) printf " %s %d", f, formats[f]; printf "\n"
    printf "manifest skipped:"; for (s in skipped) printf " [%s] %d", s, skipped[s]; printf "\n"
  }
  { add("strict", $1, $2) }
  END {
    group("Refused by jetcompact, by cause", "refused")
    group("Not Jet 4 according to jetcompact", "not-jet4")
    group("Refused for the password (exit 3; run without one)", "password")
    group("Compacted, but the strict check of the output has findings, by code", "strict")
    group("Compacted, but mdbtools reads other rows in the output", "rows")
    group("Compacted; mdbtools reads rows in the source beyond the stored count (not counted as a problem)", "live")
  }'
