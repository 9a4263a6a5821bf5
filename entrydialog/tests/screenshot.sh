#!/bin/sh
# Takes docs/entry-dialog-edit.png: the entry dialog in edit mode on a
# virtual screen (Debian packages xvfb and imagemagick).
#   entrydialog/tests/screenshot.sh <build folder> [output png]
set -eu
build=${1:?build folder}
out=${2:-$(dirname "$0")/../../docs/entry-dialog-edit.png}
preview="$build/entrydialog/tests/entrydialog_preview"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c "
  QT_QPA_PLATFORM=xcb '$preview' 4 &
  sleep 2
  import -window root -crop 414x139+0+0 +repage '$out'
  wait"
echo "wrote $out"
