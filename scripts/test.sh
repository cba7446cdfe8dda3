#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test, first in the
# debug build and then under AddressSanitizer and UndefinedBehaviorSanitizer.
# The real-traffic integration tests (root only: namespaces, iptables,
# iperf3) measure rates for minutes; they run once, in the debug build,
# after the others and one at a time. Their rates and byte counts come from
# real flows on a shared 2-core machine, where a stall of the machine can
# put one figure past its tolerance; one that fails is run once more, and
# both runs stay in the log. A fault of the code fails both.
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
  ctest --preset "$preset" -j "$jobs" -LE real_traffic
done
echo "== debug: real traffic"
ctest --preset debug -L real_traffic --repeat until-pass:2

if [ "$(id -u)" -eq 0 ]; then
  echo "== package: build, install, remove"
  tests/package/package_test.sh
fi
