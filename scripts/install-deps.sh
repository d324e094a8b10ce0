#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages that building and testing pemdor needs, and only those that
# are missing. When everything is present it does nothing and touches no network.
#
# As root it runs apt-get itself; otherwise it prints the apt-get line to run and exits 1.
# A gpsd system service is never left running: the tests start gpsd themselves on ports of
# their own, and a system gpsd on port 2947 would be found by the sample host and the tests.
set -euo pipefail

packages=(
  # Build tools; clang with libclang-rt-14-dev builds the libFuzzer targets.
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev clang-format
  # Test and benchmark frameworks.
  libgtest-dev libgmock-dev libbenchmark-dev
  # Libraries the library is built on.
  libasio-dev nlohmann-json3-dev libiio-dev libgps-dev
  # Fake sysfs devices for the IIO tests, and gpsd with gpsfake for the location tests.
  umockdev libumockdev-dev gpsd gpsd-clients python3-gps
  # Command lines of the sample host; udev properties of IIO devices; D-Bus for GeoClue2.
  libcli11-dev libudev-dev libsystemd-dev
  # A private D-Bus with a fake GeoClue2 for the location tests, and the real daemon.
  dbus-daemon python3-dbusmock geoclue-2.0
  # Plots of a run (PLplot's SVG output) and rendering them to PNG for a look.
  libplplot-dev librsvg2-bin
  # Debian packages of the library: dpkg-shlibdeps, and file, with which CPack tells binaries;
  # lintian checks them.
  dpkg-dev file lintian
  # The API reference, the manual page (man-db's man renders it; groff checks it) and the bash
  # completion (bash-completion's helpers, tmux to type into a real bash).
  doxygen man-db groff-base bash-completion tmux
  # Input-device motion sensors (libevdev), and evemu's tools for their recorded events.
  libevdev-dev evemu-tools
  # The Python module (pybind11 and Python's headers) and its tests.
  pybind11-dev python3-dev python3-pytest
  # CPU-bound neighbours for the stress script.
  stress-ng
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  if [[ "$status" != "installed" ]]; then
    missing+=("$package")
  fi
done

# A locale with a decimal comma lets the tests show that output does not follow the host's
# locale. Made once, as root, where glibc's locale sources are present; the tests skip that
# check without it.
add_comma_locale() {
  if ((EUID == 0)) && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' &&
    command -v localedef >/dev/null && [[ -e /usr/share/i18n/locales/de_DE ]]; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 || true
  fi
}

if ((${#missing[@]} == 0)); then
  add_comma_locale
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi

install_line="DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if ((EUID != 0)); then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root:" >&2
  echo "  apt-get update && $install_line" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"

# invoke-rc.d asks policy-rc.d whether a package may start its service; exit status 101 says
# no. An existing policy is kept aside and put back afterwards.
policy=/usr/sbin/policy-rc.d
policy_backup=""
if [[ -e "$policy" ]]; then
  policy_backup=$(mktemp /usr/sbin/policy-rc.d.pemdor.XXXXXX)
  cp -p "$policy" "$policy_backup"
fi
restore_policy() {
  if [[ -n "$policy_backup" ]]; then
    mv -f "$policy_backup" "$policy"
  else
    rm -f "$policy"
  fi
}
trap restore_policy EXIT
printf '#!/bin/sh\nexit 101\n' >"$policy"
chmod 755 "$policy"

apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"

restore_policy
trap - EXIT

# On a machine booted with systemd the package may still enable its socket unit; stop and
# disable it so that nothing answers on port 2947 but what the tests start.
if [[ " ${missing[*]} " == *" gpsd "* ]]; then
  if [[ -d /run/systemd/system ]] && command -v systemctl >/dev/null; then
    systemctl disable --now gpsd.socket gpsd.service >/dev/null 2>&1 || true
  elif [[ -x /etc/init.d/gpsd ]]; then
    /etc/init.d/gpsd stop >/dev/null 2>&1 || true
  fi
fi
# Whatever still listens on port 2947 now is reported, not killed: it may be someone's own.
if grep -qE '^ *[0-9]+: [0-9A-F]+:0B83 [0-9A-F]+:[0-9A-F]+ 0A ' /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
  echo "install-deps: warning: something listens on port 2947 (a gpsd service?);" \
    "stop it so that the sample host and the tests see only the gpsd they start" >&2
fi

add_comma_locale
echo "install-deps: done"
