#!/usr/bin/env bash
# The Debian package on this machine, from build to purge (root only; it
# skips elsewhere). scripts/test.sh runs it last, as root.
#
#   tests/package/package_test.sh [harlune_VERSION_ARCH.deb]
#
# Without an argument it builds the package with scripts/package.sh. Then
# it installs it with apt-get and checks the service's enablement, the
# harlune group, the files, the programs' --version and --help, the unit
# (systemd-analyze verify, tests/package/check_unit.sh when there) and real
# mode from the installed unit's ExecStart line in a network namespace of
# its own; it installs the package again (the upgrade path of its
# scripts); then it removes and purges the package and checks that nothing
# it installed, nor the group, is left. A harlune package installed before
# (an earlier run that was cut short) is purged first. Whatever happens,
# the namespace, the daemon and the package it installed do not stay.
set -euo pipefail
given_deb=${1:+$(realpath "$1")}  # before the cd, which a relative path follows
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing a package, network namespaces and iptables need root"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
unit=/lib/systemd/system/harlune-passthru.service
namespace="hlpkg-$$"
work=$(mktemp -d /tmp/harlune-package-test.XXXXXX)
daemon_pid=""
installed_here=false

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

note() { echo "-- $*"; }

package_status() { dpkg-query -W -f='${db:Status-Status}' harlune 2>/dev/null || true; }

cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  ip netns del "$namespace" 2>/dev/null || true
  if $installed_here && [ -n "$(package_status)" ] && [ "$(package_status)" != "not-installed" ]; then
    apt-get purge -y -qq harlune >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  while ! "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# shellcheck source=tests/package/package_checks.sh
source tests/package/package_checks.sh
# shellcheck source=tests/package/package_real_mode.sh
source tests/package/package_real_mode.sh

remove_earlier_installation
check_version_mismatch_refused
deb=$(build_or_take_package "$given_deb")
version=$(dpkg-deb -f "$deb" Version)
check_nothing_installed_yet "$deb"

note "installing $deb"
installed_here=true
apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  fail "apt-get install $deb"
}
dpkg -L harlune | sort >"$work/files"

check_enabled
check_group_exists
check_installed_files
check_programs "$version"
check_unit
check_real_mode_from_unit
check_reinstall_keeps_state "$deb"
remove_and_purge
echo "PASS: package $deb installs, runs, removes and purges"
