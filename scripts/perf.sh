#!/usr/bin/env bash
# Performance report against the simulated board: builds, then prints a table
# of the exchange round trip, read_all, status frame to check box latency,
# the monitor's CPU use, the panel's peak memory and its start-up time.
# Runs everything under a virtual X server; ends only what it started.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" >/dev/null
build="${BUILD_DIR:-$root/build}"
export build

xvfb-run -a -s "-screen 0 1280x1024x24" bash -s <<'INNER'
set -euo pipefail
b="$build"
tmp="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

ms() { date +%s%N | awk '{printf "%.0f", $1 / 1e6}'; }

exchange="$("$b/exchange_bench" 50)"
panel="$("$b/panel_bench")"

# Start-up to the window shown, with no board: trndemo prints its failure line
# right after it has shown the window.  Median of 5 runs.
starts=()
for i in 1 2 3 4 5; do
  fifo="$tmp/out$i"
  mkfifo "$fifo"
  t0=$(ms)
  TRN_DEVICE=/dev/nonexistent-trn "$b/trndemo" >"$fifo" 2>/dev/null &
  pid=$!
  pids+=("$pid")
  while IFS= read -r line; do
    case "$line" in *"Initialize Device Failed !!!"*) break ;; esac
  done <"$fifo"
  starts+=($(( $(ms) - t0 )))
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
start_ms=$(printf '%s\n' "${starts[@]}" | sort -n | sed -n 3p)

# Peak resident memory of trndemo against the simulated board, after start-up
# (identification, read-back, monitor) and a few seconds of running.
"$b/trnsim" --no-stdin --quiet >"$tmp/sim.out" &
pids+=("$!")
for _ in $(seq 50); do [ -s "$tmp/sim.out" ] && break; sleep 0.1; done
tty="$(head -n 1 "$tmp/sim.out")"
TRN_DEVICE="$tty" "$b/trndemo" >"$tmp/panel.out" 2>&1 &
panel_pid=$!
pids+=("$panel_pid")
for _ in $(seq 100); do grep -q "g_thread NOT supported" "$tmp/panel.out" && break; sleep 0.1; done
sleep 2
rss_kb="$(awk '/VmHWM/ {print $2}' "/proc/$panel_pid/status")"

echo
echo "| Figure | Value |"
echo "|---|---|"
echo "$exchange" | sed -E 's/^exchange round trip: ([0-9]+) exchanges, median ([0-9.]+) ms \(([0-9.]+) x the 100 ms floor\), p99 ([0-9.]+) ms, CPU ([0-9.]+) ms per exchange$/| Exchange round trip (median of \1) | \2 ms, \3 x the 100 ms floor (p99 \4 ms) |\n| CPU per exchange (whole process) | \5 ms |/'
echo "$panel" | sed -nE 's/^read_all: ([0-9]+) ms \(([0-9.]+) x the 13 x 100 ms floor\)$/| read_all (13 exchanges) | \1 ms, \2 x 13 x 100 ms |/p'
echo "$panel" | sed -nE 's/^status -> check box, 1 frame \/ 50 ms: ([0-9]+) frames, median ([0-9.]+) ms, p99 ([0-9.]+) ms$/| Status frame to check box, 1 frame \/ 50 ms | median \2 ms, p99 \3 ms (\1 frames) |/p'
echo "$panel" | sed -nE 's/^status -> check box, 1 frame \/ 8 ms \(line rate\): ([0-9]+) frames, median ([0-9.]+) ms, p99 ([0-9.]+) ms$/| Status frame to check box, 1 frame \/ 8 ms (line rate) | median \2 ms, p99 \3 ms (\1 frames) |/p'
echo "$panel" | sed -nE 's/^monitor CPU: idle ([0-9]+) ms over 3 s; during ([0-9]+) exchanges ([0-9]+) ms$/| Monitor CPU, idle | \1 ms over 3 s |\n| Monitor CPU, during \2 exchanges | \3 ms |/p'
echo "| Peak resident memory of trndemo | $((rss_kb / 1024)) MiB ($rss_kb kB) |"
echo "| Start-up to window shown, no board (median of 5) | $start_ms ms |"
INNER
