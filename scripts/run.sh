#!/usr/bin/env bash
# Installs what building and running need that is missing, builds Quillet and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_BENCH=OFF
exec "$root/build/app/quillet"
