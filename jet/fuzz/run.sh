#!/usr/bin/env bash
# Fuzzes the engine for SECONDS seconds (default 60) per target under
# AddressSanitizer and UndefinedBehaviorSanitizer: opening, reading every row
# and checking (jet_fuzz), then compacting and salvaging (jet_fuzz_compact).
# Seeds are the small Access 97, Jet 4 and ACE files of the corpus, copied at run
# time into a scratch folder. Fails (non-zero exit) on a crash, a sanitizer
# report, a leak or an input that runs too long; the input is kept in
# build/fuzz/artifacts.
set -euo pipefail
seconds="${1:-60}"
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target jet_fuzz jet_fuzz_compact -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/seeds" build/fuzz/artifacts
corpus="${TARNWICK_CORPUS:-$top/../shared/corpus}"
if [ -f "$corpus/MANIFEST.tsv" ]; then
  # Files up to 300 KB (400 KB for ACE, whose system tables alone take some
  # 300 KB): big enough to hold every structure, small enough for many runs a
  # second.
  awk -F'\t' 'NR > 1 && (($2 ~ /^jet/ && $3 <= 300000) || ($2 ~ /^ace/ && $3 <= 400000)) { print $1 }' \
    "$corpus/MANIFEST.tsv" |
    while IFS= read -r name; do
      cp "$corpus/$name" "$work/seeds/$(printf '%s' "$name" | tr '/' '_')"
    done
else
  echo "run.sh: no corpus at $corpus; fuzzing from an empty input" >&2
fi

# A compaction writes and reads back two files: its inputs may run longer.
for run in jet_fuzz:10 jet_fuzz_compact:30; do
  target="${run%%:*}"
  echo "== $target"
  mkdir -p "$work/found-$target"
  build/fuzz/jet/fuzz/$target \
    -max_total_time="$seconds" -timeout="${run##*:}" -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
    "$work/found-$target" "$work/seeds"
done
