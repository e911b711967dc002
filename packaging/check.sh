#!/usr/bin/env bash
# The Debian package's check: builds it from the "package" preset, looks into it (its files,
# lintian, the desktop entry and the metainfo), installs it with apt-get, runs every installed
# program (--version and --help without a display, the window offscreen for a moment), finds
# its manual pages, then purges it and removes what the install pulled in, so that the machine
# is left with the packages it had. A pelorus package installed beforehand is left alone: then
# only the build and the look into the package run.
# Usage: packaging/check.sh      (as root: it installs and removes packages)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "packaging/check.sh installs and removes the pelorus package with apt-get," >&2
  echo "so it runs as root only (sudo packaging/check.sh)." >&2
  exit 1
fi
jobs=$(nproc)
programs=(pelorus pelorus-pool pelorus-station pelorus-devsim)
version=$(sed -n 's/^project(pelorus VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
# How long the window must stay up offscreen; a run that ends sooner is a failure.
window_seconds=${PELORUS_CHECK_WINDOW_SECONDS:-2}

step() {
  echo
  echo "--- $*"
}
fail() {
  echo "packaging/check.sh: $*" >&2
  exit 1
}

step "build the package (build-package/)"
rm -f build-package/pelorus_*.deb
cmake --preset package >/dev/null
cmake --build --preset package -j "$jobs"
cmake --build build-package --target package -j "$jobs"
deb=build-package/pelorus_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb after the package target"

step "its files"
dpkg-deb -c "$deb"
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in "${programs[@]/#/./usr/bin/}" "${programs[@]/#/./usr/share/man/man1/}" \
            ./usr/share/applications/pelorus.desktop ./usr/share/metainfo/pelorus.metainfo.xml \
            ./usr/share/icons/hicolor/{16x16,32x32,48x48,256x256}/apps/pelorus.png \
            ./lib/systemd/system/pelorus-station@.service ./etc/pelorus/rack.conf.example \
            ./usr/share/doc/pelorus/copyright ./usr/share/doc/pelorus/changelog.gz; do
  case $path in
    ./usr/share/man/*) path=$path.1.gz ;;
  esac
  grep -qxF "$path" <<<"$listing" || fail "$path is missing from the package"
done
if grep -q campaign <<<"$listing"; then
  fail "the campaign, a test harness, is in the package"
fi
dpkg-deb -I "$deb" conffiles | grep -qxF /etc/pelorus/rack.conf.example ||
  fail "/etc/pelorus/rack.conf.example is no conffile"

step "lintian"
lintian_out=$(lintian "$deb" 2>&1) || true
[ -n "$lintian_out" ] && echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then
  fail "lintian finds errors"
fi

step "desktop entry and metainfo"
desktop-file-validate packaging/pelorus.desktop
appstream_out=$(appstreamcli validate --no-net packaging/pelorus.metainfo.xml 2>&1) || true
echo "$appstream_out"
if grep -q '^E:' <<<"$appstream_out"; then
  fail "appstreamcli finds errors"
fi
echo "no errors (warnings are shown above)"

if dpkg-query -W -f='${Status}' pelorus 2>/dev/null | grep -q ' installed$'; then
  step "install: skipped"
  echo "a pelorus package was installed before this check; it is left as it is, and the"
  echo "install, the installed programs and the removal are not checked"
  exit 0
fi

packages() { dpkg-query -W -f='${Package}\n' | sort; }
before=$(packages)
# Whatever happens from here on, the package and what it pulled in go again.
restore() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pelorus >/dev/null 2>&1 || true
  local pulled
  pulled=$(comm -13 <(echo "$before") <(packages))
  if [ -n "$pulled" ]; then
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $pulled >/dev/null 2>&1 || true
  fi
}
trap restore EXIT

step "install"
DEBIAN_FRONTEND=noninteractive apt-get install -y "./$deb"

step "the installed programs"
for program in "${programs[@]}"; do
  line=$(env -u DISPLAY -u WAYLAND_DISPLAY "/usr/bin/$program" --version)
  echo "$line"
  [[ $line == "$program $version"* ]] || fail "$program --version says \"$line\""
  env -u DISPLAY -u WAYLAND_DISPLAY "/usr/bin/$program" --help >/dev/null ||
    fail "$program --help fails"
done

# The window offscreen: it must still be up after window_seconds, then end on SIGTERM as any
# program does (a crash would end it with another signal).
window_log=$(mktemp)
QT_QPA_PLATFORM=offscreen /usr/bin/pelorus >"$window_log" 2>&1 &
window=$!
deadline=$((SECONDS + window_seconds))
while [ $SECONDS -le "$deadline" ]; do
  if ! kill -0 "$window" 2>/dev/null; then
    status=0
    wait "$window" || status=$?
    cat "$window_log"
    fail "the window ended by itself with status $status"
  fi
  sleep 0.1
done
kill -TERM "$window"
status=0
wait "$window" || status=$?
cat "$window_log"
rm -f "$window_log"
[ "$status" -eq $((128 + 15)) ] || [ "$status" -eq 0 ] ||
  fail "the window ended with status $status on SIGTERM"
echo "the window ran offscreen for ${window_seconds} s and ended on SIGTERM"

step "manual pages"
for program in "${programs[@]}"; do
  if ! man -w "$program"; then
    # A minimal image may tell dpkg to drop /usr/share/man (path-exclude in dpkg.cfg.d).
    grep -rqs 'path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/ ||
      fail "man -w finds no page for $program"
    echo "dpkg is told to leave out /usr/share/man here; the package holds the page:"
    grep -xF "./usr/share/man/man1/$program.1.gz" <<<"$listing"
  fi
done

step "the rack station's unit"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/pelorus-station@.service
  echo "systemd-analyze verify finds nothing wrong with pelorus-station@.service"
else
  echo "no systemd-analyze here: the unit is not verified"
fi
systemctl is-enabled pelorus-station@rack1 >/dev/null 2>&1 &&
  fail "the package enabled the rack station's unit"

step "remove"
trap - EXIT
restore
after=$(packages)
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "the installed packages differ from those before the check"
fi
echo "purged; the installed packages are those before the check"
