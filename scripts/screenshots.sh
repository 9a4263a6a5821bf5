#!/usr/bin/env bash
# Takes the screenshots shown in the README, under a virtual display:
#   docs/main-window.png       three targets loaded, the first one's facts shown
#   docs/main-window-edit.png  the entry dialog opened by "&Edit..."
#   docs/optimize-running.png  the window while "&Optimize" runs
#
# The settings file lives beside the executable, so a copy of the executable
# runs in a scratch folder with a prepared Tarnwick.ini and copies of corpus
# databases. Usage: scripts/screenshots.sh [path/to/Tarnwick]
# Needs xvfb-run, ImageMagick (import, convert) and xdotool.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
exe="${1:-$top/build/release/app/Tarnwick}"
corpus="${TARNWICK_CORPUS:-$top/../shared/corpus}"
for tool in xvfb-run import convert xdotool; do
  command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing (apt-get install xvfb imagemagick xdotool)" >&2; exit 1; }
done
[ -x "$exe" ] || { echo "screenshots.sh: no executable at $exe (build the Tarnwick target first)" >&2; exit 1; }
[ -d "$corpus" ] || { echo "screenshots.sh: no corpus folder at $corpus" >&2; exit 1; }

scratch=/tmp/tarnwick-screenshots   # a fixed folder: its paths show in the pictures
rm -rf "$scratch"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/app" "$scratch/data" "$scratch/work"
cp "$exe" "$scratch/app/Tarnwick"
cp "$corpus/format-corpus/database-msaccess-flat.mdb" "$scratch/data/orders.mdb"
cp "$corpus/format-corpus/database-msaccess-relational.mdb" "$scratch/data/customers.mdb"
cp "$corpus/access_parser/test.mdb" "$scratch/data/archive-2019.mdb"
chmod u+w "$scratch/data/"*.mdb   # the corpus is read-only; the copies are not
touch -d "2026-11-30 17:42:10" "$scratch/data/"*.mdb
cat > "$scratch/app/Tarnwick.ini" <<INI
[Orders]
Enabled=True
File=$scratch/data/orders.mdb
Password=
[Customers]
Enabled=True
File=$scratch/data/customers.mdb
Password=
[Archive 2019]
Enabled=False
File=$scratch/data/archive-2019.mdb
Password=
INI

export scratch top
xvfb-run -a -s "-screen 0 1024x768x24" bash -euo pipefail -c '
  shot() {  # the screen, cut down to the windows on it (the background is black)
    import -window root "$scratch/raw.png"
    convert "$scratch/raw.png" -trim +repage "$top/docs/$1"
  }
  cd "$scratch/work"   # "TmpMDB.mdb" is made in the current folder
  "$scratch/app/Tarnwick" & pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --name "^Quorvane$" | head -1)
  sleep 1.5
  xdotool mousemove 5 5
  shot main-window.png

  # The window sits at 0,0 (no window manager); its client area is 283 pixels
  # high under the menu bar. Buttons are pressed with the mouse.
  click() {  # x, y in the client area
    local h; h=$(xdotool getwindowgeometry --shell "$wid" | sed -n "s/^HEIGHT=//p")
    xdotool mousemove "$1" $(( $2 + h - 283 )) click 1
  }
  click 346 50   # "&Edit..."
  timeout 20 xdotool search --sync --onlyvisible --name "^Add$" >/dev/null
  sleep 1
  shot main-window-edit.png

  # Press Optimize. In screenshot mode each compaction (real, by the engine)
  # is held back a moment, so that the picture catches the run half-way.
  kill $pid; wait $pid 2>/dev/null || true
  TARNWICK_SCREENSHOT_RUN_DELAY_MS=1500 "$scratch/app/Tarnwick" & pid=$!
  wid=$(timeout 20 xdotool search --sync --onlyvisible --name "^Quorvane$" | head -1)
  sleep 1.5
  click 346 126  # "&Optimize"
  sleep 2.4
  shot optimize-running.png
  sleep 4
  kill $pid; wait $pid 2>/dev/null || true
'
ls -l "$top"/docs/*.png
