#!/usr/bin/env bash
# Takes the documentation's pictures of the desktop program: builds it,
# starts the simulated driver on a socket of its own, runs
# harlune_screenshots under a real X server with Japanese fonts and writes
# the PNG files to docs/screenshots/ (or the folder given as the argument).
# HARLUNE_BUILD_DIR names a configured build tree to use instead of the
# release preset's.
set -euo pipefail
cd "$(dirname "$0")/.."

output="${1:-docs/screenshots}"
scripts/install-deps.sh

build="${HARLUNE_BUILD_DIR:-build/release}"
if [[ -z "${HARLUNE_BUILD_DIR:-}" ]]; then
  cmake --preset release >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target harlune-passthru harlune_screenshots

runtime=$(mktemp -d)
chmod 700 "$runtime"
simulator=""
neighbour=""
cleanup() {
  for child in "$simulator" "$neighbour"; do
    if [[ -n "$child" ]]; then
      kill "$child" 2>/dev/null || true
      wait "$child" 2>/dev/null || true
    fi
  done
  rm -rf "$runtime"
}
trap cleanup EXIT

# The simulated driver with its demonstration flows on every interface.
export XDG_RUNTIME_DIR="$runtime"
"$build/passthru/harlune-passthru" --simulate &
simulator=$!
for _ in $(seq 50); do
  [[ -S "$runtime/harlune/PassThru" ]] && break
  sleep 0.1
done
if [[ ! -S "$runtime/harlune/PassThru" ]]; then
  echo "the simulated driver did not start" >&2
  exit 1
fi

# A second process with loopback connections for the view by process: two
# clients of its own listener, whose accepted ends no process holds yet.
python3 -c 'import socket, time
server = socket.create_server(("127.0.0.1", 0))
clients = [socket.create_connection(server.getsockname()) for _ in range(2)]
time.sleep(600)' &
neighbour=$!

mkdir -p "$output"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/tools/screenshots/harlune_screenshots" "$output"
