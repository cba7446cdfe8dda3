#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test, first in the
# debug build and then under AddressSanitizer and UndefinedBehaviorSanitizer.
# The real-traffic integration tests (root only: namespaces, iptables,
# iperf3) measure rates for minutes; they run once, in the debug build.
# Last, as root only: the Debian package is built, installed, run and
# removed again (tests/package/package_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
for preset in debug asan; do
  echo "== ${preset}: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: test"
  ctest --preset "$preset" -j "$jobs"
done

if [ "$(id -u)" -eq 0 ]; then
  echo "== package: build, install, remove"
  tests/package/package_test.sh
fi
