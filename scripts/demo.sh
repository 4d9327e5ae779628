#!/usr/bin/env bash
# make demo: a simulated board and a tour of the executable on it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/host/bin
board=$top/build/demo-board
rm -rf "$board"
"$bin/dvrsim" new "$board"
echo "== board created in $board"

echo "== dispatch by invoked name"
for name in dvrhelper2 net3g; do
  set +e; "$bin/dvrsim" run "$board" "$name"; rc=$?; set -e
  echo "   ($name exited $rc)"
done

echo "== the log tags and a command through the runner"
"$bin/dvrsim" run "$board" "$bin/dvr_tour"

echo "== events log"
"$bin/dvrsim" events "$board"
