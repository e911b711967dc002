#!/usr/bin/env bash
# Installs what building and testing pelorus needs on Debian 12, when it is missing.
# As root it runs apt-get itself; otherwise it prints the exact command and stops.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev
  qt6-base-dev fonts-baekmuk
  libsqlite3-dev libpq-dev postgresql zlib1g-dev
  libcpp-httplib-dev
  chromium
  ser2net
  clang libclang-rt-14-dev
  help2man lintian desktop-file-utils appstream man-db
)
# The browser test drives Chromium from Node; npm brings its driver into the build tree. A
# machine with a Node of its own keeps it.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "pelorus needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
