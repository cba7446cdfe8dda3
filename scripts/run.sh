#!/usr/bin/env bash
# Builds Harlune and runs it. When no packet driver serves this machine, the
# driver stand-in is started with simulated traffic for as long as Harlune
# runs. Arguments go to the front end (harlune-headless: a settings folder).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target harlune-passthru harlune-headless

bin=build/release
simulator=""
cleanup() {
  if [[ -n "$simulator" ]]; then
    kill "$simulator" 2>/dev/null || true
    wait "$simulator" 2>/dev/null || true
  fi
}
trap cleanup EXIT

if [[ -S /run/harlune/PassThru ]]; then
  echo "== using the packet driver at /run/harlune/PassThru"
else
  echo "== no packet driver is installed: starting the simulated one"
  "$bin/passthru/harlune-passthru" --simulate &
  simulator=$!
  sleep 0.5
  if ! kill -0 "$simulator" 2>/dev/null; then
    # Exit status 3: a driver already answers on the per-user socket.
    wait "$simulator" || status=$?
    simulator=""
    [[ "${status:-0}" -eq 3 ]] || exit "${status:-1}"
    echo "== a simulated driver is already running; using it"
  fi
fi

echo "== harlune-headless (stop with Ctrl+C)"
"$bin/src/headless/harlune-headless" "$@" || status=$?
exit "${status:-0}"
