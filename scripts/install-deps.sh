#!/usr/bin/env bash
# Installs, non-interactively, the Debian 12 packages Quillet needs that are missing.
#   scripts/install-deps.sh          what building and running need
#   scripts/install-deps.sh --test   that, plus the tools the tests and the packaging checks use
# Packages already present are left alone, so a second run costs only the dpkg query.
# While another program holds the package database, it waits (up to five minutes).
# As a user who is neither root nor has sudo, it prints the command to run as root and fails.
set -euo pipefail

usage() { echo "usage: $0 [--test]" >&2; exit 2; }

# Building needs the compiler, CMake/Ninja, Qt (Test too: the project asks for it even when
# the tests are off) and SQLite; running needs the Qt image plugins and a font.
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6test6 libqt6svg6 qt6-svg-dev qt6-image-formats-plugins
  libsqlite3-dev sqlite3
  fonts-dejavu-core
)
case "${1:-}" in
  "") ;;
  --test)
    packages+=(
      xvfb xauth x11-apps imagemagick  # the screenshot and GUI checks
      mdbtools                         # an independent reader of the database headers
      bindfs fuse3                     # a client mount whose locks stay on this computer
      samba python3-impacket           # a private Samba on loopback and an SMB3 client
      # scripts/check-packaging.sh: the .deb, its binaries, and what Debian's tools validate
      dpkg-dev binutils file lintian desktop-file-utils appstream man-db systemd
      bash-completion zsh fish           # the shells whose completion the package ships
      prometheus prometheus-node-exporter curl  # scan --metrics: promtool, a textfile collector
    )
    ;;
  *) usage ;;
esac
[ $# -le 1 ] || usage

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# install waits for dpkg's lock itself; update does not wait for the package lists' lock,
# so it is tried again below.
install=(apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${missing[@]}")
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    {
      echo "Missing packages: ${missing[*]}"
      echo "Install them as root, then run this again:"
      echo "  apt-get update && DEBIAN_FRONTEND=noninteractive ${install[*]}"
    } >&2
    exit 1
  fi
  as_root=(sudo DEBIAN_FRONTEND=noninteractive)
fi

export DEBIAN_FRONTEND=noninteractive
echo "+ ${as_root[*]}${as_root:+ }apt-get update -q"
for ((waited = 0; ; waited += 5)); do
  said=$("${as_root[@]}" env LC_ALL=C apt-get update -q 2>&1) && break
  if [[ $said != *"Could not get lock"* ]] || ((waited >= 300)); then
    printf '%s\n' "$said" >&2
    exit 1
  fi
  sleep 5
done
printf '%s\n' "$said"
echo "+ ${as_root[*]}${as_root:+ }${install[*]}"
"${as_root[@]}" "${install[@]}"
