#!/usr/bin/env bash
# The whole test run: host, sanitizer and ARM builds with their tests, then
# every fuzz target for a few seconds.  Prints one summary at the end, with
# the wall time of each stage and of the whole run.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
started=$SECONDS
scripts/deps.sh || exit 1
# Let clones in other folders share the compiler cache.
export CCACHE_BASEDIR=$top CCACHE_NOHASHDIR=1

summary=(); failed=0
took() {  # took SINCE: "12m05s"
  local s=$((SECONDS - $1))
  printf '%dm%02ds' $((s / 60)) $((s % 60))
}
step() {  # step NAME COMMAND...
  local name=$1 t0=$SECONDS; shift
  echo "=== $name"
  if "$@"; then summary+=("$name: ok ($(took "$t0"))"); else summary+=("$name: FAILED ($(took "$t0"))"); failed=1; fi
}
ctest_step() {  # ctest_step PRESET
  local log=build/$1/ctest-summary.log t0=$SECONDS
  ctest --preset "$1" -j2 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  summary+=("$1 tests: $(grep -E 'tests passed|tests failed' "$log" | tail -1) ($(took "$t0"))")
  [ "$rc" -eq 0 ] || failed=1
}

for p in host asan armhf; do
  step "$p build" sh -c "cmake --preset $p >/dev/null && cmake --build --preset $p"
  ctest_step "$p"
done
step "fuzz build" sh -c "cmake --preset fuzz >/dev/null && cmake --build --preset fuzz"
step "fuzz run" scripts/fuzz.sh build/fuzz "${FUZZ_SECONDS:-5}"

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "total: $(took "$started")"
exit $failed
