#!/usr/bin/env bash
# Builds Harlune and runs it: the desktop application when a display is
# available, else harlune-headless. When no packet driver serves this
# machine, one is started for as long as Harlune runs: the real driver
# (harlune-passthru --real) when this script runs as root, else the
# simulated one. Arguments go to the front end (harlune-headless: a settings
# folder).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

system_socket=/run/harlune/PassThru
# The desktop program never runs as root; root gets the headless one.
if [[ "$(id -u)" -ne 0 && ( -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ) ]]; then
  frontend=harlune
  frontend_path=src/gui/harlune
else
  frontend=harlune-headless
  frontend_path=src/headless/harlune-headless
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target harlune-passthru "$frontend"

bin=build/release
daemon="$bin/passthru/harlune-passthru"
driver=""
cleanup() {
  if [[ -n "$driver" ]]; then
    kill "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# Whether a driver listens on the system socket (a file left by a driver
# that died does not count).
system_driver_running() {
  [[ -S "$system_socket" ]] || return 1
  command -v ss >/dev/null || return 0
  ss -xl 2>/dev/null | grep -qF " $system_socket "
}

# The driver's mode for this user: real for root when this build has it.
driver_mode() {
  local help
  help=$("$daemon" --help 2>&1 || true)
  if [[ "$(id -u)" -eq 0 ]] && grep -q -- '--real' <<<"$help"; then
    echo --real
  else
    echo --simulate
  fi
}

if system_driver_running; then
  echo "== using the packet driver at $system_socket"
else
  mode=$(driver_mode)
  if [[ "$mode" == --real ]]; then
    echo "== no packet driver is running: starting the real one on $system_socket"
    install -d -m 0755 "$(dirname "$system_socket")"
  else
    [[ "$(id -u)" -eq 0 ]] && echo "== this harlune-passthru has no real mode"
    echo "== no packet driver is running: starting the simulated one"
  fi
  "$daemon" "$mode" &
  driver=$!
  sleep 0.5
  if ! kill -0 "$driver" 2>/dev/null; then
    # Exit status 3: a driver already answers on the socket.
    wait "$driver" || status=$?
    driver=""
    [[ "${status:-0}" -eq 3 ]] || exit "${status:-1}"
    echo "== a packet driver is already running; using it"
    status=0
  fi
fi

echo "== $frontend (stop with Ctrl+C)"
"$bin/$frontend_path" "$@" || status=$?
exit "${status:-0}"
