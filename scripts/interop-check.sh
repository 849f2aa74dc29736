#!/usr/bin/env bash
# "COND && pass ... || fail ..." is safe here: pass always succeeds.
# shellcheck disable=SC2015
# Checks quilletctl beside real Windows lock holders: a client of a private Samba on loopback
# (impacket, SMB3) and a Win32 program under Wine, each holding slot 0 of a Jet lock file.
# Optional and not part of CI: it must run as root (smbd) and needs the Debian packages
# samba, python3-impacket, wine64 and g++-mingw-w64-x86-64. It never touches the system's
# Samba configuration or services: its smbd has its own smb.conf and folders in a temporary
# folder and listens on 127.0.0.1/::1 port 14450 only.
#
#   scripts/interop-check.sh [QUILLETCTL]     (default: build/tools/quilletctl, as run.sh builds it)
#
# Prints PASS or FAIL per check and a summary; exits 1 if any check failed, 2 if it could not
# run at all.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quilletctl=$(realpath -m "${1:-$root/build/tools/quilletctl}")
port=${INTEROP_SMB_PORT:-14450}
python=/usr/bin/python3  # impacket is a Debian package: use the system's interpreter
wine=/usr/lib/wine/wine64
user_lock_base=$((0x10000001))

die() { echo "interop-check: $*" >&2; exit 2; }
[[ $(id -u) == 0 ]] || die "must run as root (it starts a private smbd)"
[[ -x $quilletctl ]] || die "no quilletctl at $quilletctl (build it, or pass its path)"
for tool in smbd x86_64-w64-mingw32-g++ "$wine" /usr/lib/wine/wineserver bindfs fusermount3; do
  command -v "$tool" >/dev/null || die "missing $tool (packages: samba wine64 g++-mingw-w64-x86-64 bindfs fuse3)"
done
"$python" -c 'import impacket' 2>/dev/null || die "missing impacket (package python3-impacket)"

tmp=$(mktemp -d /tmp/quillet-interop.XXXXXX)
chmod 755 "$tmp"
smbd_pid='' hold_pid='' peer_pid='' view=''
export WINEPREFIX=$tmp/wineprefix WINEDEBUG=-all DISPLAY=

cleanup() {
  exec 7>&- 2>/dev/null
  [[ -n $view ]] && fusermount3 -u -z "$view" 2>/dev/null
  [[ -n $hold_pid ]] && kill -TERM "$hold_pid" 2>/dev/null
  [[ -n $peer_pid ]] && kill -TERM "$peer_pid" 2>/dev/null
  [[ -n $smbd_pid ]] && kill -TERM "$smbd_pid" 2>/dev/null && wait "$smbd_pid" 2>/dev/null
  [[ -d $WINEPREFIX ]] && timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP

passed=0 failed=0
pass() { echo "PASS $case_name: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $case_name: $1"; shift; printf '       %s\n' "$@"; failed=$((failed + 1)); }
note() { echo "note $case_name: $*"; }

# wait_for FILE REGEX SECONDS: true once a line of FILE matches REGEX.
wait_for() {
  local deadline=$((SECONDS + $3))
  until grep -qE -- "$2" "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# The Jet 4 database: its definition page says "Standard Jet DB", version 1, 3 pages of 4096.
make_database() {
  head -c $((3 * 4096)) /dev/zero > "$1"
  printf '\x01' | dd of="$1" bs=1 seek=1 conv=notrunc status=none
  printf 'Standard Jet DB' | dd of="$1" bs=1 seek=4 conv=notrunc status=none
  printf '\x01' | dd of="$1" bs=1 seek=$((0x14)) conv=notrunc status=none
}

# Where the kernel shows the lock on the user-lock byte of slot $2 of lock file $1, and its kind.
lock_kind() {
  local inode
  inode=$(stat -c %i "$1") || return
  awk -v ino=":$inode" -v at=$((user_lock_base + $2)) \
    '$0 ~ ino" "at" " { print $2, $4, "pid", $5 }' /proc/locks
}

# The checks both cases share, while a foreign engine holds slot 0 as COMPUTER/ACCOUNT.
# $1 database, $2 computer, $3 account, $4 a function run while quilletctl holds the database
# (given Quillet's slot), $5 a function that makes the foreign engine leave.
common_checks() {
  local db=$1 computer=$2 account=$3 during=$4 leave=$5 out status

  out=$(timeout 20 "$quilletctl" check "$db" 2>&1)
  [[ $out == "Information: The type of locking the database is using cannot be found." ]] &&
    pass "check says the mode cannot be found" || fail "check while the peer is in" "got: $out"

  out=$(timeout 20 "$quilletctl" users "$db" 2>&1)
  grep -qxF "0	$computer	$account	live elsewhere" <<< "$out" &&
    pass "users shows slot 0 live elsewhere as $computer/$account" || fail "users while the peer is in" "got: $out"

  out=$(timeout 20 "$quilletctl" hold "$db" --exclusive 2>&1 < /dev/null); status=$?
  [[ $status == 1 && $out == *"error 3045"* ]] &&
    pass "hold --exclusive refused with 3045" || fail "hold --exclusive" "exit $status, got: $out"

  local hold_out=$tmp/hold.out
  : > "$hold_out"
  timeout 60 "$quilletctl" hold "$db" --record > "$hold_out" 2>&1 &
  hold_pid=$!
  local expected="holding $db in an undetermined mode, not the Record Level mode asked for"
  if wait_for "$hold_out" '^holding|error' 15 && grep -qxF "$expected" "$hold_out"; then
    pass "hold --record holds in an undetermined mode"
    out=$(timeout 20 "$quilletctl" users "$db" 2>&1)
    local slot
    slot=$(awk -F'\t' '$4 == "live here" { print $1; exit }' <<< "$out")
    if [[ -n $slot ]]; then
      pass "users shows Quillet in slot $slot, live here"
      grep -qxF "0	$computer	$account	live elsewhere" <<< "$out" &&
        pass "the peer's record is untouched while Quillet is in" || fail "peer's record while Quillet holds" "got: $out"
      "$during" "$slot" "$(awk -F'\t' -v s="$slot" '$1 == s { print $2; exit }' <<< "$out")"
    else
      fail "users while Quillet holds: no live-here slot" "got: $out"
    fi
  else
    fail "hold --record" "got: $(cat "$hold_out")"
  fi
  kill -TERM "$hold_pid" 2>/dev/null
  wait "$hold_pid"; status=$?
  hold_pid=
  [[ $status == 4 ]] && pass "hold --record exits 4 once released" || fail "hold --record exit status" "exit $status"

  "$leave"

  out=$(timeout 20 "$quilletctl" check "$db" 2>&1)
  [[ $out == "Information: The database is using 'Page Level' locking." ]] &&
    pass "check says Page Level once the peer has left" || fail "check after the peer left" "got: $out"
  [[ ! -e ${db%.*}.ldb ]] && pass "the lock file is gone after Quillet's last close" ||
    fail "lock file after the peer left" "$(ls -l "${db%.*}.ldb")" "$(timeout 20 "$quilletctl" users "$db" 2>&1)"
}

# The share's folder seen through a FUSE mount, as a desktop that reaches the share through
# sshfs or gvfs would: its locks stay on this computer, so nothing may be claimed there and
# the client's lock file must stay as it is. $1 the share folder, $2 the database's name.
view_checks() {
  local folder=$1 name=$2 out status before
  view=$tmp/view
  mkdir -p "$view"
  if ! bindfs "$folder" "$view"; then fail "bindfs could not mount the share's folder"; view=; return; fi
  before=$(sha256sum < "$folder/${name%.*}.ldb")
  out=$(timeout 20 "$quilletctl" check --json "$view/$name" 2>&1)
  [[ $out == *'"locks":"this computer only"'* && $out == *'"mode":null'* ]] &&
    pass "through a FUSE view, check claims no mode" || fail "check through a FUSE view" "got: $out"
  out=$(timeout 20 "$quilletctl" users "$view/$name" 2>&1)
  [[ $(awk -F'\t' '$1 == 0 { print $4 }' <<< "$out") == unknown ]] &&
    pass "through a FUSE view, users says unknown" || fail "users through a FUSE view" "got: $out"
  # Stopped by timeout's SIGTERM, a hold that got record level exits 0, one that could not tell 4.
  out=$(timeout --preserve-status 3 "$quilletctl" hold "$view/$name" --record 2>&1 < /dev/null); status=$?
  [[ $status == 4 && $out == *"in an undetermined mode"* ]] &&
    pass "through a FUSE view, hold --record holds in an undetermined mode" || fail "hold --record through a FUSE view" "exit $status, got: $out"
  out=$(timeout 20 "$quilletctl" hold "$view/$name" --exclusive 2>&1 < /dev/null); status=$?
  [[ $status == 1 && $out == *"error 3050"* ]] &&
    pass "through a FUSE view, an exclusive hold is refused" || fail "hold --exclusive through a FUSE view" "exit $status, got: $out"
  [[ $(sha256sum < "$folder/${name%.*}.ldb") == "$before" ]] &&
    pass "through a FUSE view, the client's lock file is untouched" || fail "the client's lock file through a FUSE view changed"
  fusermount3 -u -z "$view"
  view=
}

# ---------------------------------------------------------------- Samba
case_name=samba
share=$tmp/share
mkdir -p "$share" "$tmp"/smb/{lock,state,cache,pid,private,ncalrpc,log}
chmod 777 "$share"
cat > "$tmp/smb/smb.conf" <<EOF
[global]
  interfaces = lo
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server role = standalone server
  server min protocol = SMB2_02
  passdb backend = tdbsam:$tmp/smb/private/passdb.tdb
  private dir = $tmp/smb/private
  lock directory = $tmp/smb/lock
  state directory = $tmp/smb/state
  cache directory = $tmp/smb/cache
  pid directory = $tmp/smb/pid
  ncalrpc dir = $tmp/smb/ncalrpc
  log file = $tmp/smb/log/smbd.log
  log level = 1
  map to guest = Bad User
  guest account = nobody
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  rpc start on demand helpers = no
[jet]
  path = $share
  read only = no
  guest ok = yes
  guest only = yes
  posix locking = yes
  create mask = 0666
EOF
# smbstatus (which quilletctl may run) reads this smbd's tables, not the system's Samba's.
export SMB_CONF_PATH=$tmp/smb/smb.conf
# Its own session: smbd signals its whole process group when it stops, which would reach us.
setsid smbd --foreground --no-process-group -s "$tmp/smb/smb.conf" > "$tmp/smb/log/stdout" 2>&1 &
smbd_pid=$!
deadline=$((SECONDS + 15))
until ss -ltn "sport = :$port" | grep -q LISTEN; do
  if ((SECONDS >= deadline)) || ! kill -0 "$smbd_pid" 2>/dev/null; then
    fail "smbd did not start" "$(tail -5 "$tmp/smb/log/stdout" "$tmp/smb/log/smbd.log" 2>/dev/null)"
    break
  fi
  sleep 0.2
done

db=$share/shared.mdb
make_database "$db"
client_record=$("$python" -c 'import sys; print((b"WS-SMB".ljust(32, b"\0") + b"anna".ljust(32, b"\0")).hex())')

# ask COMMAND: one command to the SMB client, its answer line on stdout.
ask() {
  local before
  before=$(wc -l < "$tmp/peer.out")
  echo "$1" >&7
  local deadline=$((SECONDS + 15))
  until (($(wc -l < "$tmp/peer.out") > before)); do
    ((SECONDS < deadline)) || { echo "(no answer)"; return; }
    sleep 0.05
  done
  tail -n 1 "$tmp/peer.out"
}

samba_during() {
  local slot=$1 computer=$2 out
  out=$(ask "read 0 64")
  [[ $out == "ok $client_record" ]] && pass "client reads its own record" || fail "client reads its own record" "got: $out"
  out=$(ask "write 0 $client_record")
  [[ $out == ok ]] && pass "client writes its own record" || fail "client writes its own record" "got: $out"
  out=$(ask "read $((slot * 64)) 64")
  local name
  name=$("$python" -c 'import sys; print(bytes.fromhex(sys.argv[1][:64]).rstrip(b"\0 ").decode("latin-1"))' \
         "${out#ok }" 2>/dev/null)
  [[ $out == ok* && ${#out} == $((3 + 128)) && $name == "$computer" ]] &&
    pass "client reads Quillet's record (slot $slot, $computer)" || fail "client reads Quillet's record" "got: $out"
  out=$(ask "write $((slot * 64)) ${out#ok }")
  [[ $out == ok ]] && pass "client writes Quillet's record bytes (same bytes back)" ||
    fail "client writes Quillet's record bytes" "got: $out"
  out=$(ask "lock $((user_lock_base + slot))")
  if [[ $out == "error STATUS_LOCK_NOT_GRANTED" || $out == "error STATUS_FILE_LOCK_CONFLICT" ]]; then
    pass "client's LOCK of Quillet's user lock is refused (${out#error })"
  else
    fail "client's LOCK of Quillet's user lock" "got: $out"
    [[ $out == ok ]] && ask "unlock $((user_lock_base + slot))" > /dev/null
  fi
}

samba_leave() {
  exec 7>&-
  if wait_for "$tmp/peer.out" '^left$' 15; then pass "the SMB client left"; else fail "the SMB client left" "$(cat "$tmp/peer.out")"; fi
  wait "$peer_pid" 2>/dev/null
  peer_pid=
}

if kill -0 "$smbd_pid" 2>/dev/null; then
  mkfifo "$tmp/peer.in"
  : > "$tmp/peer.out"
  timeout 300 "$python" "$root/scripts/interop/jet_peer_smb.py" 127.0.0.1 "$port" jet shared.ldb 0 WS-SMB anna \
    < "$tmp/peer.in" > "$tmp/peer.out" 2> "$tmp/peer.err" &
  peer_pid=$!
  exec 7> "$tmp/peer.in"
  if wait_for "$tmp/peer.out" '^ready$' 20; then
    pass "SMB client holds slot 0 and wrote its record"
    note "the client's user lock on the server: $(lock_kind "$share/shared.ldb" 0)"
    view_checks "$share" shared.mdb
    common_checks "$db" WS-SMB anna samba_during samba_leave
  else
    fail "SMB client did not get ready" "$(tail -5 "$tmp/peer.err")"
    samba_leave
  fi
fi

# ---------------------------------------------------------------- Samba opens
# A client that holds the database open with a share mode and nothing else: no lock file and
# no byte-range lock, as a Windows Jet engine's exclusive open does (share mode none), or one
# that lets others in (shared). Only Samba's own table shows it.

# smb_open MODE FILE...: starts the client holding FILEs of the share; true once it holds them.
smb_open() {
  rm -f "$tmp/peer.in"
  mkfifo "$tmp/peer.in"
  : > "$tmp/peer.out"
  timeout 300 "$python" "$root/scripts/interop/jet_peer_smb.py" 127.0.0.1 "$port" jet --open "$1" WS-OPEN \
    "${@:2}" < "$tmp/peer.in" > "$tmp/peer.out" 2> "$tmp/peer.err" &
  peer_pid=$!
  exec 7> "$tmp/peer.in"
  wait_for "$tmp/peer.out" '^ready$' 20
}

# What another client's shared open of FILE gets: "ok" or Samba's status.
smb_try_open() {
  local out
  out=$(timeout 30 "$python" "$root/scripts/interop/jet_peer_smb.py" 127.0.0.1 "$port" jet --open shared \
        WS-OTHER "$1" < /dev/null 2>&1)
  [[ $out == *left ]] && echo ok || echo "${out#error }"
}

# Whether Linux shows any lock on FILE.
linux_locks() {
  local inode
  inode=$(stat -c %i "$1") && awk -v ino=":$inode " 'index($0, ino)' /proc/locks
}

# quilletctl beside the client: it counts as another engine; one that shares nothing shuts
# quilletctl out as it would a Windows workstation. $1 the share mode.
samba_open_checks() {
  local out status
  out=$(timeout 20 "$quilletctl" check "$db" 2>&1); status=$?
  if [[ $1 == none ]]; then
    [[ $status == 1 && $out == *"error 3045"* ]] &&
      pass "check is refused (3045) beside share mode none" || fail "check beside share mode none" "exit $status, got: $out"
  else
    [[ $out == "Information: The type of locking the database is using cannot be found." ]] &&
      pass "check says the mode cannot be found" || fail "check beside a shared open" "got: $out"
  fi
  out=$(timeout 20 "$quilletctl" check --json "$db" 2>&1)
  [[ $1 == none || $out == *'"samba":"read"'* ]] &&
    pass "check --json says Samba was read" || fail "check --json's samba field" "got: $out"
  out=$(timeout 20 "$quilletctl" hold "$db" --exclusive 2>&1 < /dev/null); status=$?
  [[ $status == 1 && $out == *"error 3045"* ]] &&
    pass "hold --exclusive refused with 3045" || fail "hold --exclusive beside the client" "exit $status, got: $out"
  out=$(timeout 20 "$quilletctl" users --json "$db" 2>&1)
  local share_mode=shared
  [[ $1 == none ]] && share_mode=exclusive
  [[ $out == *'"state":"open through Samba"'* && $out == *"\"shareMode\":\"$share_mode\""* ]] &&
    pass "users lists the client's open ($share_mode)" || fail "users beside the client" "got: $out"
  if [[ $1 == shared ]]; then
    out=$(timeout --preserve-status 3 "$quilletctl" hold "$db" 2>&1 < /dev/null)
    [[ -e ${db%.*}.ldb ]] && pass "Quillet's last leaver keeps the lock file while the client is in" ||
      fail "the lock file went while the client is in" "$out"
    rm -f "${db%.*}.ldb"
  fi
}

db=$share/opened.mdb
make_database "$db"
chmod 666 "$db"  # the client is the share's guest account
for mode in none shared; do
  case_name="samba open ($mode)"
  if ! kill -0 "$smbd_pid" 2>/dev/null; then
    fail "smbd is not running"
    break
  fi
  if smb_open "$mode" opened.mdb; then
    pass "SMB client holds opened.mdb with share mode $mode"
    [[ -z $(linux_locks "$db") && ! -e ${db%.*}.ldb ]] &&
      pass "no Linux lock and no lock file: nothing but Samba's table shows it" ||
      fail "what Linux shows of the client's open" "$(linux_locks "$db")" "$(ls "$share")"
    expected=ok
    [[ $mode == none ]] && expected=STATUS_SHARING_VIOLATION
    out=$(smb_try_open opened.mdb)
    [[ $out == "$expected" ]] && pass "another client's shared open: $out" ||
      fail "another client's shared open" "expected $expected, got: $out"
    samba_open_checks "$mode"
  else
    fail "SMB client did not open opened.mdb" "$(tail -3 "$tmp/peer.err")"
  fi
  samba_leave
  out=$(timeout 20 "$quilletctl" check "$db" 2>&1)
  [[ $out == "Information: The database is using 'Page Level' locking." ]] &&
    pass "check says Page Level once the client has closed" || fail "check after the client closed" "got: $out"
done

kill -TERM "$smbd_pid" 2>/dev/null && wait "$smbd_pid" 2>/dev/null
smbd_pid=

# ---------------------------------------------------------------- Wine
case_name=wine
folder=$tmp/wine
mkdir -p "$folder"
db=$folder/shared.mdb
make_database "$db"
exe=$tmp/jet_peer.exe
if ! x86_64-w64-mingw32-g++ -O2 -static -o "$exe" "$root/scripts/interop/jet_peer_win32.cpp" 2> "$tmp/mingw.err"; then
  fail "building the Win32 peer" "$(head -5 "$tmp/mingw.err")"
else
  # The first run creates the prefix, which takes a while.
  timeout 180 "$wine" wineboot -i > "$tmp/wineboot.log" 2>&1 ||
    note "wineboot exited $? ($(tail -1 "$tmp/wineboot.log"))"
  winpath() { echo "Z:${1//\//\\}"; }

  wine_during() {
    local slot=$1 out status
    out=$(timeout 60 "$wine" "$exe" "$(winpath "${db%.*}.ldb")" "$slot" WINE-RIVAL rival "$(winpath "$tmp/none")" \
          < /dev/null 2>&1); status=$?
    [[ $status == 1 && $out == *"LockFileEx failed: 33"* ]] &&
      pass "a second Win32 program's LockFileEx of Quillet's user lock is refused (ERROR_LOCK_VIOLATION)" ||
      fail "a second Win32 program locking Quillet's user lock" "exit $status, got: $out"
  }

  wine_leave() {
    exec 7>&-
    : > "$tmp/stop"
    if wait_for "$tmp/peer.out" '^left$' 30; then pass "the Win32 program left"; else fail "the Win32 program left" "$(cat "$tmp/peer.out")"; fi
    wait "$peer_pid" 2>/dev/null
    peer_pid=
  }

  rm -f "$tmp/peer.in" "$tmp/stop"
  mkfifo "$tmp/peer.in"
  : > "$tmp/peer.out"
  timeout 300 "$wine" "$exe" "$(winpath "${db%.*}.ldb")" 0 WINE-WS bert "$(winpath "$tmp/stop")" \
    < "$tmp/peer.in" > "$tmp/peer.out" 2> "$tmp/peer.err" &
  peer_pid=$!
  exec 7> "$tmp/peer.in"
  if wait_for "$tmp/peer.out" '^ready$' 60; then
    pass "Win32 program holds slot 0 and wrote its record"
    note "its user lock on Linux: $(lock_kind "${db%.*}.ldb" 0)"
    common_checks "$db" WINE-WS bert wine_during wine_leave
  else
    fail "Win32 program did not get ready" "$(tail -5 "$tmp/peer.err")"
    wine_leave
  fi
fi

echo "summary: $passed passed, $failed failed"
((failed == 0))
