#!/usr/bin/env bash
# The help of a tool, its option table and its manual page agree:
#   help_page_test.sh TOOL PAGE SOURCE
# TOOL is the built tool, PAGE its manual page as built (made from its --help),
# SOURCE the tool's .cpp, whose option table ({"--name"...}) the parser reads.
#  - every option the help lists is an entry of the page's OPTIONS section and
#    is known to the parser (it is never refused as "unknown option");
#  - every option of the table is listed by the help (else the page, made from
#    the help, would not describe it);
#  - the page names the version the tool reports, and renders without a
#    warning from man.
set -euo pipefail
tool=$1 page=$2 source=$3
name=$(basename "$tool")
failures=0
fail() {
    echo "FAIL ($name): $*"
    failures=$((failures + 1))
}

help=$("$tool" --help)
# An option entry of the help: an indented line that begins with --name.
mapfile -t listed < <(sed -n 's/^ \{1,10\}\(--[a-z][a-z-]*\).*/\1/p' <<<"$help" | sort -u)
[ ${#listed[@]} -ge 3 ] || fail "found only ${#listed[@]} option entries in --help"

rendered=$(MANWIDTH=100 man --warnings -l "$page" 2>"${TMPDIR:-/tmp}/man-warn.$$" | col -bx)
warnings=$(cat "${TMPDIR:-/tmp}/man-warn.$$")
rm -f "${TMPDIR:-/tmp}/man-warn.$$"
[ -z "$warnings" ] || fail "man warns about the page: $warnings"
options_section=$(sed -n '/^OPTIONS$/,/^[A-Z][A-Z ]*$/p' <<<"$rendered")

for opt in "${listed[@]}"; do
    grep -Eq "^ +${opt}( |,|$)" <<<"$options_section" ||
        fail "$opt is in --help but not an entry of the page's OPTIONS"
    # Without files every tool stops at its usage check, so nothing is read.
    err=$("$tool" "$opt" </dev/null 2>&1 >/dev/null || true)
    if grep -q "unknown option" <<<"$err"; then
        fail "$opt is in --help but the parser refuses it: $err"
    fi
done

mapfile -t table < <(grep -o '{"--[a-z][a-z-]*"' "$source" | tr -d '{"' | sort -u)
[ ${#table[@]} -ge 1 ] || fail "no option table found in $source"
for opt in "${table[@]}"; do
    printf '%s\n' "${listed[@]}" | grep -qx -- "$opt" ||
        fail "$opt is in the option table of $(basename "$source") but not in --help"
done

version=$("$tool" --version)
footer=$(tail -n 1 <<<"$rendered")
[[ $footer == "Tarnwick ${version#"$name "} "* ]] ||
    fail "the page (\"$footer\") does not name the version of '$version'"

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "$name: ${#listed[@]} options in --help, all in the page and known to the parser"
