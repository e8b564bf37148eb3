#!/usr/bin/env bash
# Performance report against the simulated board, on a bare pseudo-terminal
# and on a line paced at 9600 baud: builds, then prints a table of the
# panel's exchange and read_all (fixed and fast), trnctl get and selftest,
# status frame to check box latency, the monitor's CPU use, trnctl's start-up
# and memory, the panel's peak memory and its start-up time; then the records
# database at 100,000 runs (yield, and recording one run); then the quality
# page (trnctl records serve) over 100,000 runs, SQLite and PostgreSQL; then
# the station's page with four fixtures (bench/station_web_bench.py).
# Runs everything under a virtual X server; ends only what it started.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" >/dev/null
build="${BUILD_DIR:-$root/build}"
export build root

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
trnctl="$("$b/trnctl_bench" 5)"
records="$(cd "$b" && ./records_bench 100000)"
web="$(cd "$b" && ./web_bench 100000 2>/dev/null)"

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

# One row per figure: the bare pseudo-terminal, then the line paced at 9600
# baud (trnsim --line-rate 9600).
pick() { grep -F "$1" | head -n 1; }
ex() {  # exchange_bench line -> "median ms (ratio x floor), p99, CPU"
  echo "$exchange" | pick "$1" | sed -E 's/.*median ([0-9.]+) ms \(([0-9.]+) x the ([0-9.]+) ms floor\), p99 ([0-9.]+) ms, CPU ([0-9.]+) ms per exchange.*/\1 ms (\2 x \3 ms), p99 \4 ms, CPU \5 ms/'
}
ra() { echo "$panel" | pick "$1" | sed -E 's/.*: ([0-9]+) ms \(([0-9.]+) x the ([0-9]+) ms floor\)/\1 ms (\2 x \3 ms)/'; }
st() { echo "$panel" | pick "$1" | sed -E 's/.*: ([0-9]+) of ([0-9]+) frames, median ([0-9.]+) ms, p99 ([0-9.]+) ms/median \3 ms, p99 \4 ms, \1 of \2 frames/'; }
cg() { echo "$trnctl" | pick "$1" | sed -E 's/.*median ([0-9]+) ms \(([0-9.]+) x the 13 x ([0-9.]+) ms floor\).*/\1 ms (\2 x 13 x \3 ms)/'; }
cs() { echo "$trnctl" | pick "$1" | sed -E 's/.*median ([0-9]+) ms for ([0-9]+) exchanges \(([0-9.]+) x their floor\).*/\1 ms, \2 exchanges (\3 x floor)/'; }

echo
echo "| Figure | pty | 9600 baud line |"
echo "|---|---|---|"
echo "| Panel exchange, fixed 100 ms pause (median of 50) | $(ex 'fixed, pty') | $(ex 'fixed, 9600') |"
echo "| Panel exchange, fast (TRN_FAST_EXCHANGE=1) | $(ex 'fast, pty') | $(ex 'fast, 9600') |"
echo "| Panel read_all, fixed (13 exchanges) | $(ra 'read_all, fixed, pty') | $(ra 'read_all, fixed, 9600') |"
echo "| Panel read_all, fast | $(ra 'read_all, fast, pty') | $(ra 'read_all, fast, 9600') |"
echo "| trnctl get, all 13 settings (median of 5) | $(cg 'get (13 reads), pty') | $(cg 'get (13 reads), 9600') |"
echo "| trnctl selftest, no buttons (median of 5) | $(cs 'selftest, pty') | $(cs 'selftest, 9600') |"
echo "| Status frame to check box, 1 frame / 50 ms | $(st 'pty, 1 frame / 50 ms') | $(st '9600 baud, 1 frame / 50 ms') |"
echo "| Status frame to check box, back to back | $(st 'pty, 1 frame / 8 ms') (1 / 8 ms) | $(st '9600 baud, back to back') (125 / s) |"
echo "$panel" | sed -nE 's/^monitor CPU: idle ([0-9]+) ms over 3 s; during ([0-9]+) exchanges ([0-9]+) ms$/| Monitor CPU, idle 3 s; during \2 exchanges | \1 ms; \3 ms | |/p'
echo "$trnctl" | sed -nE 's/^trnctl --version: median ([0-9.]+) ms, p90 ([0-9.]+) ms.*/| trnctl start-up (`trnctl --version`, median of 50) | \1 ms (p90 \2 ms) | |/p'
echo "$trnctl" | sed -nE 's/^trnctl peak resident memory during selftest: ([0-9.]+) MiB \(([0-9]+) kB\)/| trnctl peak resident memory (selftest) | \1 MiB (\2 kB) | |/p'
echo "| Peak resident memory of trndemo | $((rss_kb / 1024)) MiB ($rss_kb kB) | |"
echo "| Start-up to window shown, no board (median of 5) | $start_ms ms | |"
rc() { echo "$records" | pick "$1: " | sed -E 's/.*: median ([0-9]+) ms, slowest ([0-9]+) ms.*/\1 ms (slowest \2 ms)/'; }
echo "| trnctl records yield, 100,000 runs (median of 5) | $(rc 'trnctl records yield') | |"
echo "| trnctl records yield --by day / --by station | $(rc 'yield --by day') / $(rc 'yield --by station') | |"
echo "$records" | sed -nE 's/^recording a run \(([0-9]+) steps\): median ([0-9.]+) ms, p99 ([0-9.]+) ms, slowest ([0-9.]+) ms.*/| Recording a run (\1 steps, insert + completion, 200 runs) | median \2 ms, p99 \3 ms, slowest \4 ms | |/p'
wb() {  # web_bench line of a database -> its figure
  echo "$web" | grep -F "$1: $2" | head -n 1 | sed -E "s/^$1: $2:? ?//"
}
for what in "overview data" "50 followers, no run arriving" "recording a run with 50 followers" \
            "a new run's event at a follower" "page to data-ready" "new run seen on the open page" \
            "server's peak resident memory"; do
  echo "| Quality page, 100,000 runs: $what | SQLite: $(wb SQLite "$what") | PostgreSQL: $(wb PostgreSQL "$what") |"
done
/usr/bin/python3 "$root/bench/station_web_bench.py" --trnctl "$b/trnctl" --trnsim "$b/trnsim" |
  sed -E 's/^(\|[^|]*\|)/\1 |/'  # the 9600 baud column
INNER
