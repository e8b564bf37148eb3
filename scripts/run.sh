#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel.
#
# With TRN_DEVICE set (a real board, e.g. /dev/ttyUSB0) or with --board (use
# trn.ini in the current folder), the panel talks to the board.  Otherwise a
# simulated board is started on a pseudo-terminal and the panel is pointed at
# it; type commands for the board into its control file, for example
#     echo "press nurse" > build/trnsim.cmd
# and read its frame log in build/trnsim.log.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
BUILD_TARGETS="trndemo trnsim" "$root/scripts/build.sh" >/dev/null
build="${BUILD_DIR:-$root/build}"

if [ -n "${TRN_DEVICE:-}" ] || [ "${1:-}" = "--board" ]; then
  exec "$build/trndemo"
fi

cmd="$build/trnsim.cmd"
log="$build/trnsim.log"
rm -f "$cmd"
mkfifo "$cmd"
exec 3<>"$cmd"   # held open, so the board never sees the end of its input
# At 9600 baud, the board's own rate: replies and status frames take the
# time they take on a real line.
"$build/trnsim" --line-rate 9600 <"$cmd" >"$log" 2>&1 &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  exec 3>&-
  rm -f "$cmd"
}
trap cleanup EXIT INT TERM

for _ in $(seq 50); do
  [ -s "$log" ] && break
  sleep 0.1
done
tty="$(head -n 1 "$log")"
case "$tty" in
  /dev/*) ;;
  *) echo "the simulated board did not start; see $log" >&2; exit 1 ;;
esac
echo "Simulated board on $tty (commands: echo help > $cmd; log: $log)"
TRN_DEVICE="$tty" "$build/trndemo" || true
