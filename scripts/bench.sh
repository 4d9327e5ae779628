#!/usr/bin/env bash
# Runs every benchmark of the host build; figures go to build/host/bench/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/host/bench
mkdir -p "$out"
for b in "$top"/build/host/bin/*_bench; do
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_out="$out/$name.json" --benchmark_out_format=json | tee "$out/$name.txt"
done
