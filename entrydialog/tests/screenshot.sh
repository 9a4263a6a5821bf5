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

# docs/open-dialog.png: the file-open dialog of the browse button, offering
# .mdb and .accdb files (a folder with one of each and a text file).
dbs=/tmp/tarnwick-databases
mkdir -p "$dbs"
corpus=${TARNWICK_CORPUS:-$(dirname "$0")/../../../shared/corpus}
cp "$corpus/access_parser/test.mdb" "$dbs/archive-2019.mdb"
cp "$corpus/jackcess/ace/testV2010.accdb" "$dbs/orders-2024.accdb"
echo notes > "$dbs/readme.txt"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c "
  QT_QPA_PLATFORM=xcb '$build/entrydialog/tests/open_dialog_preview' 4 '$dbs/orders-2024.accdb' &
  sleep 2.5
  import -window root -crop 624x412+0+0 +repage '$(dirname "$out")/open-dialog.png'
  wait"
rm -rf "$dbs"
echo "wrote $(dirname "$out")/open-dialog.png"
