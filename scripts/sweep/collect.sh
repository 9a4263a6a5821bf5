#!/usr/bin/env bash
# Rebuilds the folder of sweep files from fetched repository snapshots.
#
#   scripts/sweep/collect.sh MIRRORS DIR
#
# MIRRORS holds one bare or non-bare git copy per repository, named owner+name (with
# the git directory at owner+name/repo or owner+name/repo/.git), as fetched for the sweep.
# For every manifest line whose status is "kept", writes the file at that commit and path
# to DIR under its local name and checks its sha256. Reports what it cannot restore.
# Database files are public material: keep DIR outside the source tree, never commit it.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 MIRRORS DIR" >&2; exit 2; }
mirrors="$1"
dir="$2"
manifest="$(dirname "$0")/manifest.tsv"
mkdir -p -- "$dir" || exit 2
restored=0 failed=0
while IFS=$'\t' read -r repo commit path sha bytes format status local; do
  [ "$status" = kept ] || continue
  git_dir="$mirrors/${repo/\//+}/repo"
  [ -d "$git_dir/.git" ] && git_dir="$git_dir/.git"
  dest="$dir/${local##*/}"
  if git -C "$git_dir" cat-file blob "$commit:$path" >"$dest.part" 2>/dev/null &&
     [ "$(sha256sum <"$dest.part" | cut -d' ' -f1)" = "$sha" ]; then
    mv -f -- "$dest.part" "$dest"
    restored=$((restored + 1))
  else
    rm -f -- "$dest.part"
    echo "cannot restore $repo $commit:$path" >&2
    failed=$((failed + 1))
  fi
done < <(tail -n +2 "$manifest")
echo "$restored restored, $failed missing"
[ "$failed" -eq 0 ]
