#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in an ordinary build and in
# a build with AddressSanitizer and UndefinedBehaviorSanitizer. The ordinary build is then
# packaged and the package checked (scripts/check-packaging.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test

# Some tests run quilletctl as another user, who may not be able to enter the checkout
# (a clone under /root): the leak suppressions it reads live in a folder anybody can read.
shared=$(mktemp -d)
trap 'rm -rf "$shared"' EXIT
chmod 0755 "$shared"
install -m 0644 "$root/scripts/lsan.supp" "$shared/lsan.supp"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$shared/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for config in "build-test:-DCMAKE_BUILD_TYPE=RelWithDebInfo" \
              "build-asan:-DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON -DQUILLET_BUILD_BENCH=OFF"; do
  dir=${config%%:*}
  read -r -a args <<< "${config#*:}"
  echo "== $dir"
  "$root/scripts/build.sh" "$dir" "${args[@]}"
  # Each run gets its own XDG folders so that no test touches the user's settings or logs.
  scratch=$(mktemp -d)
  if ! XDG_CONFIG_HOME="$scratch/config" XDG_STATE_HOME="$scratch/state" \
       ctest --test-dir "$root/$dir" --output-on-failure -j2; then
    status=1
  fi
  rm -rf "$scratch"
  if [ "$dir" = build-test ] && ! "$root/scripts/check-packaging.sh" "$root/$dir"; then
    status=1
  fi
done
exit $status
