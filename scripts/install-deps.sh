#!/usr/bin/env bash
# Installs the Debian 12 packages Harlune builds, tests and runs with.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build ccache pkg-config
  # tests, benchmarks, fuzzing, formatting
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-format
  # the desktop application
  qt6-base-dev qt6-qpa-plugins libqt6test6
  qt6-translations-l10n  # Qt's own texts (standard buttons) in the user's language
  xvfb xauth fonts-ipafont-gothic openbox  # screenshots, window placement: X, a window manager, fonts
  # settings files
  libpugixml-dev
  # the driver stand-in on real interfaces, and test network namespaces
  libnetfilter-queue-dev libmnl-dev iproute2 iptables iperf3
  nlohmann-json3-dev  # reads iperf3's reports in those tests
  # the cost script's reference (bench/stack_cost.py)
  nethogs
  # the Debian package (scripts/package.sh) and its check
  debhelper dpkg-dev fakeroot lintian help2man systemd
  # the daemon confined as its unit confines it (tests/passthru/real)
  strace libcap2-bin
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
