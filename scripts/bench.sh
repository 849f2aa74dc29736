#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench/) and runs every one of them, printing
# their figures. Each bench/*.cpp becomes one executable; add a file there, not a line here.
# Usage: scripts/bench.sh [benchmark-name...]   (default: all)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_BENCH=ON -DQUILLET_SANITIZE=OFF >/dev/null

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for source in "$root"/bench/*.cpp; do
    names+=("$(basename "$source" .cpp)")
  done
fi
if [ ${#names[@]} -eq 0 ]; then
  echo "no benchmarks in $root/bench" >&2
  exit 1
fi

ninja -C "$build" -j"${QUILLET_BENCH_JOBS:-2}" "${names[@]}" >/dev/null

status=0
for name in "${names[@]}"; do
  echo "== $name"
  "$build/bench/$name" || status=1
done
exit $status
