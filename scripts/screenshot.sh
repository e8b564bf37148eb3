#!/usr/bin/env bash
# Takes a screenshot of the panel talking to a simulated board, on a private
# virtual display, and saves it as a PNG (default docs/panel.png).
#
#   scripts/screenshot.sh [OUTPUT.png]
#
# BUILD_DIR names the build folder holding trndemo and trnsim (default
# build/).  Only the processes this script starts are ended, by their pids.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
settle="${TRN_SCREENSHOT_WAIT:-4}"

# ---- Inside the virtual display ---------------------------------------------
if [ "${1:-}" = "--inner" ]; then
  out="$2"
  work="$(mktemp -d)"
  sim_pid=""
  demo_pid=""
  cleanup() {
    for pid in $demo_pid $sim_pid; do
      kill "$pid" 2>/dev/null || true
    done
    for pid in $demo_pid $sim_pid; do
      wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
  }
  trap cleanup EXIT
  trap 'exit 1' INT TERM

  "$build/trnsim" --no-stdin --quiet >"$work/sim.log" 2>&1 &
  sim_pid=$!
  tty=""
  for _ in $(seq 50); do
    tty="$(head -n 1 "$work/sim.log" 2>/dev/null || true)"
    [ -n "$tty" ] && break
    sleep 0.1
  done
  case "$tty" in
    /dev/*) ;;
    *) echo "the simulated board did not start:" >&2; cat "$work/sim.log" >&2; exit 1 ;;
  esac

  TRN_DEVICE="$tty" "$build/trndemo" >"$work/demo.log" 2>&1 &
  demo_pid=$!
  sleep "$settle"
  if ! kill -0 "$demo_pid" 2>/dev/null; then
    echo "trndemo ended early:" >&2
    cat "$work/demo.log" >&2
    exit 1
  fi
  # The window sits at the top left of an otherwise empty screen; trim the
  # empty rest away.
  import -window root -trim +repage "$out"
  echo "saved $out"
  exit 0
fi

# ---- Outside: tools, then a private display -----------------------------------
out="${1:-$root/docs/panel.png}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
mkdir -p "$(dirname "$out")"

for tool in "$build/trndemo" "$build/trnsim"; do
  [ -x "$tool" ] || { echo "missing $tool: build first (BUILD_DIR=$build)" >&2; exit 1; }
done
need=()
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
command -v import >/dev/null || need+=(imagemagick)
if [ "${#need[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

BUILD_DIR="$build" TRN_SCREENSHOT_WAIT="$settle" \
  xvfb-run -a -s "-screen 0 1600x1000x24 -br" "$0" --inner "$out"
