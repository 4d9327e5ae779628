#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time over its seed
# corpus (a scratch copy, so the committed seeds stay as they are).
# usage: scripts/fuzz.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?build dir}; secs=${2:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
pass=0; fail=0
for exe in "$build"/bin/*_fuzz; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe" _fuzz)
  seeds="$top/tests/fuzz/corpus/$name"
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  if "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="$build/fuzz-$name-" "$work" >"$build/fuzz-$name.log" 2>&1; then
    pass=$((pass + 1)); echo "fuzz $name: ok"
  else
    fail=$((fail + 1)); echo "fuzz $name: FAILED (see $build/fuzz-$name.log)"; tail -30 "$build/fuzz-$name.log"
  fi
  rm -rf "$work"
done
echo "fuzz: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
