#!/usr/bin/env bash
# The Debian package, built from this build folder as scripts/package.sh builds
# it, is sound:
#   package_test.sh BUILD_DIR
#  - CPack builds it, with dependencies computed by dpkg-shlibdeps;
#  - lintian finds no error in it;
#  - unpacked into a scratch root (dpkg -x, so no root is needed), every
#    program in usr/bin starts and has a manual page, the tools report the
#    package's version, man renders every page without a warning, and the
#    desktop entry is valid and names an installed program and icon.
# Everything is written under a scratch folder that is removed at the end.
set -euo pipefail
build=$(cd "$1" && pwd)
for program in cpack dpkg-deb dpkg-shlibdeps lintian man desktop-file-validate; do
    command -v "$program" >/dev/null ||
        { echo "FAIL: $program is not installed (scripts/deps.sh installs it)"; exit 1; }
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# -B keeps CPack's staging tree and the package out of the build folder.
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
debs=("$scratch"/out/tarnwick_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single tarnwick_*.deb"; exit 1; }
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "built $(basename "$deb")"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6core6 libc6; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# lintian's exit status is not 0 when it finds an error; its report is shown
# either way, so the remaining warnings and notes are in the test's log.
lintian_status=0
lintian --fail-on error --display-info "$deb" >"$scratch/lintian.log" 2>&1 || lintian_status=$?
grep -v "running with root privileges" "$scratch/lintian.log" || true
[ "$lintian_status" -eq 0 ] || fail "lintian found an error (exit status $lintian_status)"

root="$scratch/root"
dpkg -x "$deb" "$root"
[ -f "$root/usr/share/doc/tarnwick/copyright" ] || fail "no /usr/share/doc/tarnwick/copyright"

programs=()
for path in "$root"/usr/bin/*; do
    programs+=("$(basename "$path")")
done
for expected in Tarnwick jetcompact jetcheck jetdump; do
    [ -x "$root/usr/bin/$expected" ] || fail "/usr/bin/$expected is not in the package"
done
for program in "${programs[@]}"; do
    [ -f "$root/usr/share/man/man1/$program.1.gz" ] || fail "$program has no manual page"
done

for tool in jetcompact jetcheck jetdump; do
    [ -x "$root/usr/bin/$tool" ] || continue
    got=$("$root/usr/bin/$tool" --version 2>&1) || fail "$tool --version failed: $got"
    [ "$got" = "$tool $version" ] || fail "$tool --version says '$got', the package is $version"
done
# Without a display the window program says so and exits 1: that it gets so
# far shows that its Qt libraries were found.
if [ -x "$root/usr/bin/Tarnwick" ]; then
    status=0
    got=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/Tarnwick" 2>&1) ||
        status=$?
    [ "$status" -eq 1 ] && grep -q "needs a graphical display" <<<"$got" ||
        fail "Tarnwick without a display: exit status $status, '$got'"
fi

for page in "$root"/usr/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$scratch/man-warnings" | col -bx) ||
        fail "man -l $name.1.gz failed"
    [ ! -s "$scratch/man-warnings" ] || fail "man warns about $name.1: $(cat "$scratch/man-warnings")"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES; do
        grep -qx "$section" <<<"$rendered" || fail "the page of $name has no $section section"
    done
    grep -A1 -x NAME <<<"$rendered" | grep -Eq "^ *$name +- " ||
        fail "the NAME line of $name.1 does not name $name"
done

desktop="$root/usr/share/applications/tarnwick.desktop"
if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -x "$root/usr/bin/$exec_name" ] || fail "the desktop entry starts '$exec_name', not installed"
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
        fail "the desktop entry's icon '$icon' is not installed"
else
    fail "no desktop entry"
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "package $(basename "$deb"): lintian without error, ${#programs[@]} programs, all with pages"
