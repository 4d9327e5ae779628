#!/usr/bin/env bash
# The main job on a simulated board: create the default board, run
# dvrhelper with the demo application (exit codes 6, then 7, then 0), let
# the simulated front panel release the wait, then show the events log.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${DVR_BIN:-$top/build/host/bin}
dir=$(mktemp -d /tmp/dvrdemo.XXXXXX)/board
trap 'rm -rf "$(dirname "$dir")"' EXIT

"$bin/dvrsim" new "$dir" || exit 1
echo "=== board $dir: dvrhelper $bin/demoapp"
export DEMOAPP_CODES=6,7,0
"$bin/dvrsim" run "$dir" dvrhelper "$bin/demoapp" 2>&1 | while IFS= read -r line; do
  printf '%s\n' "$line"
  case $line in
    *"listening frontboard"*)
      # A frame that is not the release frame is ignored; then the release.
      "$bin/dvrsim" panel "$dir" frame FF 09 00 01
      "$bin/dvrsim" panel "$dir" release ;;
  esac
done
rc=${PIPESTATUS[0]}
echo "=== dvrhelper exit status: $rc"
echo "=== events log"
"$bin/dvrsim" events "$dir"
exit "$rc"
