#!/usr/bin/env bash
# Makes the .deb from a built build folder and checks it the way Debian's tools would:
# lintian, its fields and contents, no RUNPATH in its programs, and the desktop entry,
# AppStream metainfo, changelog, manual pages, keeper unit and bash, zsh and fish completion
# it ships, each through the tool that validates that kind of file; and the manual page and
# the completions against quilletctl's command table. Prints every check; fails if any fails.
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
# Runs a validator that reports "X: ..." tags (lintian, appstreamcli); it passes when it
# succeeds and every tag it reports, its line number left out, is one of the EXPLAINED.
explained_check() {  # WHAT EXPLAINED-ARRAY COMMAND...
  local what=$1; local -n explained=$2; shift 2
  local said status=0 unexplained
  said=$("$@" 2>&1) || status=$?
  unexplained=$(grep -E '^[A-Z]: ' <<<"$said" | sed -E 's/:[0-9]+: /: /' |
                grep -vxF -f <(printf '%s\n' "${explained[@]}") || true)
  if [ "$status" -eq 0 ] && [ -z "$unexplained" ]; then
    pass "$what"
  else
    fail "$what"; printf '%s\n' "${unexplained:-$said}" | sed 's/^/      /'
  fi
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
  usr/share/zsh/vendor-completions/_quilletctl
  usr/share/fish/vendor_completions.d/quilletctl.fish
  usr/lib/systemd/user/quillet-keeper@.service
  usr/lib/systemd/system/quillet-scan.service
  usr/lib/systemd/system/quillet-scan.timer
  usr/share/quillet/quillet.rules.yml
  usr/share/quillet/quillet.rules.test.yml
  usr/share/doc/quillet/copyright
  usr/share/doc/quillet/changelog.gz
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
# Every tag lintian gives, informational and pedantic ones included, is an error unless it
# is explained here.
lintian_explained=(
  # CPack strips with plain strip, which keeps the compiler's version stamp (Debian's
  # dh_strip drops it): one short line, harmless.
  'I: quillet: binary-has-unneeded-section .comment [usr/bin/quillet]'
  'I: quillet: binary-has-unneeded-section .comment [usr/bin/quilletctl]'
  # quillet is built with _FORTIFY_SOURCE=2 like quilletctl, but none of its C library calls
  # needs a run-time check (each buffer's size is checked at compile time, or unknown), so
  # none became a __*_chk call for lintian to see: the tag's known false positive.
  # quilletctl's fprintf did, and it has no tag.
  'I: quillet: hardening-no-fortify-functions [usr/bin/quillet]'
)
# lintian reads any run of letters in a program as a word, machine code included: a
# "misspelling" that no source file of the programs spells (such as "IiF") is not our text.
lintian_on_our_text() {  # DEB
  local said status=0 line
  said=$(lintian --display-info --pedantic "$1" 2>&1) || status=$?
  while IFS= read -r line; do
    if [[ $line =~ ^I:\ quillet:\ spelling-error-in-binary\ ([^ ]+)\  ]] &&
       ! grep -rqwF --include='*.cpp' --include='*.h' -- "${BASH_REMATCH[1]}" \
         "$root/app" "$root/common" "$root/platform" "$root/tools"; then
      continue
    fi
    printf '%s\n' "$line"
  done <<<"$said"
  return "$status"
}
explained_check "lintian --display-info --pedantic $(basename "$deb")" lintian_explained \
  lintian_on_our_text "$deb"

quiet_check "desktop-file-validate quillet.desktop" \
  desktop-file-validate "$tree/usr/share/applications/quillet.desktop"

metainfo="$tree/usr/share/metainfo/com.oxtaro.Quillet.metainfo.xml"
appstream_explained=(
  # Ids are lowercase nowadays; this one keeps the name's capital it was published with,
  # since software centres would take another id for another program.
  'P: com.oxtaro.Quillet: cid-contains-uppercase-letter com.oxtaro.Quillet'
)
explained_check "appstreamcli validate --pedantic --no-net com.oxtaro.Quillet.metainfo.xml" \
  appstream_explained appstreamcli validate --pedantic --no-net "$metainfo"
grep -q "<launchable type=\"desktop-id\">quillet.desktop</launchable>" "$metainfo" &&
  pass "the metainfo launches quillet.desktop" || fail "the metainfo does not name quillet.desktop"
# The project has no homepage or public address of its own, so nothing points anywhere: no
# URL in the metainfo or the package's fields, and every e-mail address (the maintainer's,
# the changelog's) under .invalid, a name reserved never to exist (RFC 2606). Neither
# validator notes what is left out (Debian 12's lintian and appstreamcli, pedantic): no
# Homepage field, no homepage or screenshot in the metainfo (a screenshot's image needs a
# URL), a maintainer at .invalid. The only note left is the id's capital, explained above.
dpkg-deb -f "$deb" >"$work/control"
urls=$(grep -EhoI 'https?://[^ "<>]+' "$metainfo" "$work/control" || true)
[ -z "$urls" ] && pass "the metainfo and the package point at no URL" ||
  fail "the metainfo or the package point at $(xargs <<<"$urls")"
addresses=$(zcat "$tree/usr/share/doc/quillet/changelog.gz" | cat - "$work/control" "$metainfo" |
            grep -Eho '<[^<> ]+@[^<> ]+>' | sort -u)
if [ -n "$addresses" ] && ! grep -qv '\.invalid>$' <<<"$addresses"; then
  pass "every address is a placeholder under .invalid: $(xargs <<<"$addresses")"
else
  fail "an address that may be someone's: $(grep -v '\.invalid>$' <<<"$addresses" | xargs)"
fi

# The changelog: Debian's format, its newest entry the project's version, and each entry a
# release of the metainfo on the same day.
zcat "$tree/usr/share/doc/quillet/changelog.gz" >"$work/changelog"
entries=$(dpkg-parsechangelog -l "$work/changelog" --all --format rfc822 |
          sed -n 's/^Version: //p; s/^Date: //p' | paste - -)
[ "$(head -1 <<<"$entries" | cut -f1)" = "$version" ] &&
  pass "the changelog's newest entry is $version" || fail "the changelog's newest entry is not $version"
releases=$(sed -n 's/.*<release version="\([^"]*\)" date="\([^"]*\)".*/\1 \2/p' "$metainfo")
while IFS=$'\t' read -r entry date; do
  day=$(date -u -d "$date" +%F)
  grep -qxF "$entry $day" <<<"$releases" && pass "changelog $entry is the metainfo's release of $day" ||
    fail "changelog $entry ($day) is not a release of the metainfo: $(xargs <<<"$releases")"
done <<<"$entries"
[ "$(wc -l <<<"$entries")" = "$(wc -l <<<"$releases")" ] &&
  pass "the metainfo has no release the changelog lacks" || fail "the metainfo and the changelog differ"

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

# --- whom the locking mode reaches ----------------------------------------------------------
# The mode Quillet sets and reads lives in its engine's own locks, which Windows Jet never
# looks at. packaging/reach.txt says so once; every text that promises a mode carries its
# words (the manual pages, metainfo and README.md the long form, the unit's Description= and
# the package's description the short one), and none of them, README.md included, promises
# Windows workstations a mode in the wordings such promises take: the mode's start tied to a
# workstation's open, its life to a workstation keeping the file, a mode given to them.
reach=$(sed -n 's/^long: //p' "$root/packaging/reach.txt")
reach_short=$(sed -n 's/^short: //p' "$root/packaging/reach.txt")
flat() { tr -s ' \t\n' '   '; }  # one line, words one space apart
for page in quillet quilletctl; do
  zcat "$tree/usr/share/man/man1/$page.1.gz" >"$work/$page.1"
  # As a reader sees it, unhyphenated, with ASCII hyphens.
  LC_ALL=C MANROFFOPT=-rHY=0 MANWIDTH=80 man -l "$work/$page.1" 2>/dev/null | col -b >"$work/$page.txt"
done
sed 's/<[^>]*>/ /g' "$metainfo" >"$work/metainfo.txt"
sed -n '/^Description:/,$p' "$work/control" >"$work/description.txt"
carries() {  # WHAT FILE WORDS
  if flat <"$2" | grep -qF -- "$3"; then pass "$1 says whom the mode reaches"; else
    fail "$1 does not say whom the mode reaches, in packaging/reach.txt's words: '$3'"; fi
}
carries "quillet(1)" "$work/quillet.1" "$reach"
carries "quilletctl(1)" "$work/quilletctl.1" "$reach"
carries "the metainfo" "$metainfo" "$reach"
carries "README.md" "$root/README.md" "$reach"
carries "the keeper unit's Description=" <(grep '^Description=' "$unit") "$reach_short"
carries "the package's description" "$work/description.txt" "$reach_short"
promises=(
  'before (any|a|the first|every) [^.:;]*workstations? [^.:;]*opens?'
  'other workstations?\)? [^.:;]*keeps?'
  '(every|all|each) [^.:;]*workstations? [^.:;]*(record|page)-level'
  'workstations? [^.:;]*(runs?|uses?|gets?|will be|are kept|is kept) (in )?(record|page)-level'
)
promises_nothing() {  # WHAT FILE
  local found
  found=$(flat <"$2" | grep -Eoi "$(IFS='|'; echo "${promises[*]}")" | paste -sd '|' - || true)
  [ -z "$found" ] && pass "$1 promises Windows workstations no mode" ||
    fail "$1 promises workstations a mode: '$found'"
}
promises_nothing "quillet(1)" "$work/quillet.txt"
promises_nothing "quilletctl(1)" "$work/quilletctl.txt"
promises_nothing "the keeper unit" "$unit"
promises_nothing "the metainfo" "$work/metainfo.txt"
promises_nothing "the package's description" "$work/description.txt"
promises_nothing "README.md" "$root/README.md"
# The scan's service and timer, as system units, running the built quilletctl; and how much
# of the system the service is still exposed to, by systemd's own measure (the README says why
# each remaining exposure is needed).
scan_unit="$tree/usr/lib/systemd/system/quillet-scan.service"
grep -q "^ExecStart=/usr/bin/quilletctl scan --metrics-file /var/lib/prometheus/node-exporter/quillet.prom -- \$QUILLET_SCAN_FOLDERS$" "$scan_unit" &&
  pass "the scan service runs /usr/bin/quilletctl scan --metrics-file on the folders named" ||
  fail "the scan service's ExecStart is '$(grep ^ExecStart= "$scan_unit")'"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 0700 "$work/system"
  sed "s|^ExecStart=/usr/bin/quilletctl |ExecStart=$build/tools/quilletctl |" "$scan_unit" \
    >"$work/system/quillet-scan.service"
  cp "$tree/usr/lib/systemd/system/quillet-scan.timer" "$work/system/"
  quiet_check "systemd-analyze verify quillet-scan.service quillet-scan.timer" \
    env MANPATH="$tree/usr/share/man" \
    systemd-analyze verify "$work/system/quillet-scan.service" "$work/system/quillet-scan.timer"
  exposure=$(systemd-analyze security --offline=true "$work/system/quillet-scan.service" 2>&1 |
             sed -n 's/.*Overall exposure level for quillet-scan.service: \([0-9.]*\).*/\1/p')
  if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }'; then
    pass "systemd-analyze security rates quillet-scan.service's exposure $exposure (at most 1.5)"
  else
    fail "systemd-analyze security rates quillet-scan.service's exposure '${exposure:-?}', over 1.5"
  fi
fi

# The alerting rules, and their tests, as shipped.
if command -v promtool >/dev/null; then
  # Each prints only when it fails.
  quiet_check "promtool check rules quillet.rules.yml" \
    bash -c 'said=$(promtool check rules "$1" 2>&1) || printf "%s\n" "$said"' _ \
    "$tree/usr/share/quillet/quillet.rules.yml"
  quiet_check "promtool test rules quillet.rules.test.yml" \
    bash -c 'said=$(cd "$1" && promtool test rules quillet.rules.test.yml 2>&1) ||
             printf "%s\n" "$said"' _ "$tree/usr/share/quillet"
else
  echo "skip: promtool check rules and test rules (promtool is not installed)"
fi

# --- quilletctl's command table ------------------------------------------------------------
# The table in tools/CommandTable.cpp describes each command once: --help is made from it, and
# the hidden --list-commands gives it to scripts, one line per command: its name, what it takes
# in the completions' words (file: a Jet database, access: a Jet or Access one, dirs: folders,
# any: any path) and its options. The manual page's SYNOPSIS, COMMANDS and OPTIONS, and below
# each shell's completion, must say the same. Spaces are squeezed, and "DIR ..." (the manual
# page's spacing) read as "DIR...".
ctl="$tree/usr/bin/quilletctl"
"$ctl" --list-commands >"$work/commands"
"$ctl" --help >"$work/help"
squeezed() { sed -E 's/[[:space:]]+/ /g; s/^ //; s/ $//; s/ \.\.\./.../g'; }
section() {  # NAME: the rendered manual page's section, its headings (7 spaces in) squeezed
  sed -n "/^$1\$/,/^[A-Z]/p" "$work/quilletctl.txt" | grep -E '^ {7}[^ ]' | squeezed
}
names=$(cut -d' ' -f1 "$work/commands" | paste -sd'|')
# --help's synopses: "  check FILE [--json]", its paragraph two spaces or a line further on.
sed -n '/^Commands:$/,/^$/p' "$work/help" | grep -E "^  ($names) " | sed -E 's/^  //; s/  .*//' \
  >"$work/synopses"
same() {  # WHAT EXPECTED GOT
  [ "$2" = "$3" ] && pass "$1" ||
    fail "$1: the command table says '$(paste -sd';' <<<"$2")', the manual page '$(paste -sd';' <<<"$3")'"
}
same "quilletctl(1)'s SYNOPSIS gives each command's synopses as --help does" \
  "$(cat "$work/synopses"; printf '%s\n' '--help|-h' '--version|-v')" \
  "$(section SYNOPSIS | sed 's/^quilletctl //')"
same "quilletctl(1)'s COMMANDS describes each command, in the table's order" \
  "$(cut -d' ' -f1,2 "$work/synopses" | uniq)" "$(section COMMANDS)"
# Which commands take each option: the table's, as the manual page's headings say it.
takers=$(while read -r name takes options; do
  for option in $options; do echo "$option $name"; done
done <"$work/commands" | awk '{ if (!($1 in seen)) order[n++] = $1; seen[$1] = seen[$1] ? seen[$1] ", " $2 : $2 }
  END { for (i = 0; i < n; i++) print order[i] " (" seen[order[i]] ")" }' | LC_ALL=C sort)
same "quilletctl(1)'s OPTIONS names the commands that take each option" "$takers" \
  "$(section OPTIONS | grep -v '^--help\|^--version' | sed -E 's/^(--[a-z-]+)[^(]*/\1 /' | LC_ALL=C sort)"
for option in $(cut -d" " -f3- "$work/commands" | tr " " "\n" | sort -u); do
  grep -qE "^  --${option#--}( |$)" "$work/help" && pass "--help describes $option" ||
    fail "--help does not describe $option: the parser does not know it"
done

bash_completion="$tree/usr/share/bash-completion/completions/quilletctl"
zsh_completions="$tree/usr/share/zsh/vendor-completions"
fish_completions="$tree/usr/share/fish/vendor_completions.d"
quiet_check "bash -n on the quilletctl completion" bash -n "$bash_completion"
shells=()
if [ -r /usr/share/bash-completion/bash_completion ]; then
  shells+=(bash)
else
  echo "skip: bash completion behaviour (bash-completion is not installed)"
fi
if command -v zsh >/dev/null; then
  quiet_check "zsh -n on the quilletctl completion" zsh -n "$zsh_completions/_quilletctl"
  shells+=(zsh)
else
  echo "skip: zsh completion (zsh is not installed)"
fi
if command -v fish >/dev/null; then
  quiet_check "fish --no-execute on the quilletctl completion" \
    fish --no-execute "$fish_completions/quilletctl.fish"
  shells+=(fish)
else
  echo "skip: fish completion (fish is not installed)"
fi

# Completes LINE (the cursor at its end) the way each shell would, one candidate a line
# (fish loads a command's completion only once the command is on its PATH).
cat >"$work/complete.bash" <<'EOF'
source /usr/share/bash-completion/bash_completion
source "$1"
COMP_LINE=$2; COMP_POINT=${#COMP_LINE}
read -r -a COMP_WORDS <<<"$COMP_LINE"
[[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_quilletctl quilletctl
printf '%s\n' "${COMPREPLY[@]}"
EOF
# zsh completes only in its line editor: an interactive zsh on a pseudo-terminal is sent
# the line and a Tab, and its compadd writes what it offers to a file as well (called with
# -O, -A or -D, compadd only filters).
cat >"$work/complete.zsh" <<'EOF'
zmodload zsh/zpty
local offered=$(mktemp)
zpty z zsh -f -i
zpty -w z "fpath=(${(q)1} \$fpath); autoload -Uz compinit; compinit -u -D; bindkey '^I' complete-word
compadd() {
  if (( ! \${@[(I)-[ODA]*]} )); then
    local -a hits; builtin compadd -A hits \"\$@\"; print -rl -- \$hits >>${(q)offered}
  fi
  builtin compadd \"\$@\"; }
PS1='REA''DY> '"
zpty -r z _ '*READY> '  # typed before the line editor runs, the line would be lost
zpty -w z "$2"$'\t'
zpty -w z $'\C-u'"print E''ND"
zpty -r z _ '*END*'
zpty -d z
cat $offered; rm -f $offered
EOF
complete_in() {  # SHELL LINE
  case $1 in
    bash) bash "$work/complete.bash" "$bash_completion" "$2" ;;
    zsh) timeout 20 zsh -f "$work/complete.zsh" "$zsh_completions" "$2" ;;
    fish) PATH="$tree/usr/bin:$PATH" fish --no-config \
            -c 'set -p fish_complete_path $argv[1]; complete -C $argv[2]' "$fish_completions" "$2" ;;
  esac
}
# Candidates are compared sorted and once each, by their last name (each shell shows
# folders its own way), without fish's descriptions.
completes() {  # LINE EXPECTED
  local shell got
  for shell in "${shells[@]}"; do
    got=$(cd "$work/files" && complete_in "$shell" "$1" 2>&1 | sed 's/\t.*//; s|/$||; s|.*/||' |
          LC_ALL=C sort -u | xargs)
    [ "$got" = "$2" ] && pass "$shell completion of '$1' is '$2'" ||
      fail "$shell completion of '$1' is '$got', not '$2'"
  done
}
mkdir -p "$work/files/sub"
touch "$work/files/"{Sales.mdb,Old.MDE,Orders.accdb,notes.txt} "$work/files/sub/"{Copy.Mde,copy.bak}
# Each command of the table, its options, and the files it takes.
offered() {  # TAKES: what a command's paths may be, among the files above
  case $1 in
    file) echo "Old.MDE Sales.mdb sub" ;;
    access) echo "Old.MDE Orders.accdb Sales.mdb sub" ;;
    dirs) echo "sub" ;;
    any) echo "Old.MDE Orders.accdb Sales.mdb notes.txt sub" ;;
    *) echo "(no completion knows '$1')" ;;
  esac
}
completes "quilletctl " "$(cut -d' ' -f1 "$work/commands" | LC_ALL=C sort | xargs)"
while read -r name takes options; do
  completes "quilletctl $name " "$(offered "$takes")"
  completes "quilletctl $name --" "$(printf '%s\n' -- --help $options | LC_ALL=C sort | xargs)"
done <"$work/commands"
completes "quilletctl --" "--help --version"
completes "quilletctl users Sales.mdb --j" "--json"
completes "quilletctl check -- --" ""
completes "quilletctl hold sub/" "Copy.Mde"

echo "== packaging checks: $failures failed"
[ "$failures" -eq 0 ]
