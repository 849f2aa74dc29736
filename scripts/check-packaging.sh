#!/usr/bin/env bash
# Makes the .deb from a built build folder and checks it the way Debian's tools would:
# its fields and contents, no RUNPATH in its programs, and the desktop entry, AppStream
# metainfo, manual pages, keeper unit and bash completion it ships, each through the tool
# that validates that kind of file. Prints every check; fails if any fails.
# Usage: scripts/check-packaging.sh BUILD-FOLDER   (scripts/test.sh passes build-test)
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BUILD-FOLDER" >&2; exit 2; }
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
pass() { echo "ok:   $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Runs a validator; it passes when it succeeds and prints nothing.
quiet_check() {
  local what=$1; shift
  local said
  if said=$("$@" 2>&1) && [ -z "$said" ]; then pass "$what"; else fail "$what"; printf '%s\n' "$said" | sed 's/^/      /'; fi
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
echo "== packaging checks for Quillet $version ($build)"

# --- the package --------------------------------------------------------------------------
if ! (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log"
  fail "cpack -G DEB"
  exit 1
fi
deb=$(ls "$work"/out/quillet_*.deb)
pass "cpack -G DEB made $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quillet ] && pass "Package: quillet" || fail "Package is '$(field Package)', not quillet"
[ "$(field Version)" = "$version" ] && pass "Version: $version, the project's" ||
  fail "Version is '$(field Version)', the project is $version"
for name in Maintainer Section Description; do
  [ -n "$(field "$name")" ] && pass "$name: $(field "$name" | head -1)" || fail "no $name field"
done
# Read off the binaries by dpkg-shlibdeps: Qt and SQLite must be among them.
depends=$(field Depends)
if [[ $depends == *libqt6widgets6* && $depends == *libsqlite3-0* ]]; then
  pass "Depends worked out from the binaries: $depends"
else
  fail "Depends lacks Qt or SQLite: '$depends'"
fi

expected=(
  usr/bin/quillet
  usr/bin/quilletctl
  usr/share/applications/quillet.desktop
  usr/share/icons/hicolor/scalable/apps/quillet.svg
  usr/share/icons/hicolor/16x16/apps/quillet.svg
  usr/share/metainfo/com.oxtaro.Quillet.metainfo.xml
  usr/share/man/man1/quillet.1.gz
  usr/share/man/man1/quilletctl.1.gz
  usr/share/bash-completion/completions/quilletctl
  usr/lib/systemd/user/quillet-keeper@.service
  usr/share/doc/quillet/copyright
)
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./||' >"$work/contents"
for path in "${expected[@]}"; do
  grep -qxF "$path" "$work/contents" && pass "ships /$path" || fail "does not ship /$path"
done

tree="$work/tree"
dpkg-deb -x "$deb" "$tree"
for program in "$tree"/usr/bin/*; do
  if ! file -b "$program" | grep -q '^ELF'; then
    fail "/usr/bin/$(basename "$program") is not an ELF program"
  elif readelf -d "$program" | grep -Eq '\((RPATH|RUNPATH)\)'; then
    fail "/usr/bin/$(basename "$program") carries $(readelf -d "$program" | grep -E 'RPATH|RUNPATH')"
  else
    pass "/usr/bin/$(basename "$program") carries no RPATH or RUNPATH"
  fi
done

# --- what Debian's tools validate ---------------------------------------------------------
quiet_check "desktop-file-validate quillet.desktop" \
  desktop-file-validate "$tree/usr/share/applications/quillet.desktop"

if said=$(appstreamcli validate --no-net "$tree/usr/share/metainfo/com.oxtaro.Quillet.metainfo.xml" 2>&1); then
  pass "appstreamcli validate --no-net com.oxtaro.Quillet.metainfo.xml"
else
  fail "appstreamcli validate --no-net com.oxtaro.Quillet.metainfo.xml"; printf '%s\n' "$said" | sed 's/^/      /'
fi
grep -q "<launchable type=\"desktop-id\">quillet.desktop</launchable>" \
  "$tree/usr/share/metainfo/com.oxtaro.Quillet.metainfo.xml" &&
  pass "the metainfo launches quillet.desktop" || fail "the metainfo does not name quillet.desktop"
grep -q "<release version=\"$version\"" "$tree/usr/share/metainfo/com.oxtaro.Quillet.metainfo.xml" &&
  pass "the metainfo's release is $version" || fail "the metainfo has no release $version"

for page in "$tree"/usr/share/man/man1/*.1.gz; do
  quiet_check "man renders $(basename "$page") without warnings" \
    env LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    bash -c 'man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 >/dev/null' _ "$page"
done

# The unit, as an instance (a template cannot be verified), running the built quilletctl:
# verify wants ExecStart's program to exist, and looks its Documentation= man page up.
unit="$tree/usr/lib/systemd/user/quillet-keeper@.service"
grep -q "^ExecStart=/usr/bin/quilletctl hold --record -- %f$" "$unit" &&
  pass "the keeper runs /usr/bin/quilletctl hold --record on the instance's path" ||
  fail "the keeper's ExecStart is '$(grep ^ExecStart= "$unit")'"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 0700 "$work/units" "$work/runtime"
  instance="$work/units/quillet-keeper@$(systemd-escape --path /srv/data/Sales.mdb).service"
  sed "s|^ExecStart=/usr/bin/quilletctl |ExecStart=$build/tools/quilletctl |" "$unit" >"$instance"
  quiet_check "systemd-analyze verify --user $(basename "$instance")" \
    env XDG_RUNTIME_DIR="$work/runtime" MANPATH="$tree/usr/share/man" \
    systemd-analyze verify --user "$instance"
else
  echo "skip: systemd-analyze verify (systemd-analyze is not installed)"
fi

completion="$tree/usr/share/bash-completion/completions/quilletctl"
quiet_check "bash -n on the quilletctl completion" bash -n "$completion"
if [ -r /usr/share/bash-completion/bash_completion ]; then
  mkdir "$work/files" "$work/files/sub"
  touch "$work/files/Sales.mdb" "$work/files/Orders.accdb" "$work/files/notes.txt"
  # Completes LINE (the cursor at its end) the way bash would, one candidate a line, sorted.
  cat >"$work/complete.sh" <<'EOF'
source /usr/share/bash-completion/bash_completion
source "$1"
COMP_LINE=$2; COMP_POINT=${#COMP_LINE}
read -r -a COMP_WORDS <<<"$COMP_LINE"
[[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_quilletctl quilletctl
printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
EOF
  completes() {  # LINE EXPECTED
    local got
    got=$(cd "$work/files" && bash "$work/complete.sh" "$completion" "$1" 2>&1)
    [ "$got" = "$2" ] && pass "completion of '$1' is '$2'" || fail "completion of '$1' is '$got', not '$2'"
  }
  completes "quilletctl " "--help --version check hold users"
  completes "quilletctl hold --" "-- --exclusive --help --page --read-only --record"
  completes "quilletctl check --" "-- --help --json"
  completes "quilletctl users Sales.mdb --j" "--json"
  completes "quilletctl check " "Orders.accdb Sales.mdb sub"
  completes "quilletctl hold sub/" ""
  touch "$work/files/sub/copy.bak"
  completes "quilletctl hold sub/" "sub/copy.bak"
else
  echo "skip: bash completion behaviour (bash-completion is not installed)"
fi

echo "== packaging checks: $failures failed"
[ "$failures" -eq 0 ]
