#!/usr/bin/env bash
# Fuzzes the engine (open, read every row, check) for SECONDS seconds (default
# 60) under AddressSanitizer and UndefinedBehaviorSanitizer. Seeds are the
# small Jet 4 files of the corpus, copied at run time into a scratch folder.
# Fails (non-zero exit) on a crash, a sanitizer report, a leak or an input
# that runs longer than 10 seconds; the input is kept in build/fuzz/artifacts.
set -euo pipefail
seconds="${1:-60}"
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target jet_fuzz -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/seeds" "$work/found" build/fuzz/artifacts
corpus="${TARNWICK_CORPUS:-$top/../shared/corpus}"
if [ -f "$corpus/MANIFEST.tsv" ]; then
  # Jet 4 files up to 300 KB: big enough to hold every structure, small
  # enough for many runs a second.
  awk -F'\t' 'NR > 1 && $2 == "jet4" && $3 <= 300000 { print $1 }' "$corpus/MANIFEST.tsv" |
    while IFS= read -r name; do
      cp "$corpus/$name" "$work/seeds/$(printf '%s' "$name" | tr '/' '_')"
    done
else
  echo "run.sh: no corpus at $corpus; fuzzing from an empty input" >&2
fi

build/fuzz/jet/fuzz/jet_fuzz \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
  "$work/found" "$work/seeds"
