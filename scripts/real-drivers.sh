#!/usr/bin/env bash
# The real-driver check: trnctl and the panel through a kernel's own serial
# drivers, in a QEMU guest that boots Debian's kernel without KVM.
#
#   guest /dev/ttyS1     16550A UART (8250 driver)      -> simulated board 1
#   guest /dev/ttyUSB0   FTDI adapter on xHCI (ftdi_sio) -> simulated board 2
#   guest /dev/ttyS2, 3  8250 ports with no UART behind them
#
# The simulated boards (trnsim) run here, on pseudo-terminals that QEMU
# connects to the emulated ports.  The guest mounts this machine's root
# read-only over 9p, so it runs the build's own binaries, and a writable 9p
# share (the results folder) through which scripts/real-drivers-guest.sh
# reports its cases and asks this script to unplug or replug the adapter
# (QEMU monitor) or to press a button on a board.  Prints one line per case
# and "N passed, M failed"; exits 1 when a case failed.
#
# Run as root: it installs qemu-system-x86, busybox-static and socat when
# missing.  The kernel package is downloaded and unpacked into the work
# folder, never installed.  BUILD_DIR: the build to use (default build/,
# built here when missing or out of date); REAL_DRIVERS_WORK: the work folder
# (default $BUILD_DIR/real-drivers; the unpacked kernel is kept there for
# the next run).
set -euo pipefail
started=$(date +%s%N)
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
work="${REAL_DRIVERS_WORK:-$build/real-drivers}"
# The guest's whole run is bounded; each of its waits is bounded too.
guest_limit="${REAL_DRIVERS_GUEST_LIMIT:-200}"
# Modules the guest loads, with their dependencies from modules.dep: the
# 9p root over virtio, and the xHCI controller with the FTDI adapter's driver.
modules=(virtio_pci 9pnet_virtio 9p xhci_pci ftdi_sio)

say() { echo "real-drivers: $*"; }
die() { say "$*" >&2; exit 1; }
elapsed() { awk -v ns="$(( $(date +%s%N) - started ))" 'BEGIN { printf "%.1f", ns / 1e9 }'; }

# --- installs and build --------------------------------------------------
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
"$root/scripts/deps.sh"
missing=()
for p in qemu-system-x86 busybox-static socat; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$work"
say "building trndemo, trnctl, trnsim and trn_xwin in $build"
BUILD_DIR="$build" BUILD_TARGETS="trndemo trnctl trnsim trn_xwin" "$root/scripts/build.sh" \
  >"$work/build.log" 2>&1 || { tail -n 20 "$work/build.log"; die "the build failed"; }

# --- Debian's kernel, unpacked -------------------------------------------
apt_download() {
  # As root, apt's download sandbox user could not write here: stay root.
  apt-get download -qq -o APT::Sandbox::User=root "$@" >/dev/null 2>&1 ||
    { $sudo apt-get update -qq && apt-get download -qq -o APT::Sandbox::User=root "$@" >/dev/null; }
}
kernel="$work/kernel"
mkdir -p "$work/debs"
(
  cd "$work/debs"
  rm -f linux-image-amd64_*.deb
  apt_download linux-image-amd64
  # "linux-image-6.1.0-57-amd64 (= 6.1.192-3)": the versioned package.
  depends=$(dpkg-deb -f linux-image-amd64_*.deb Depends)
  package=${depends%%[ ,]*}
  version=$(sed -n 's/^[^(]*(= *\([^)]*\)).*/\1/p' <<<"$depends")
  [ -n "$package" ] && [ -n "$version" ] || die "cannot read the kernel package from '$depends'"
  if [ "$(cat "$kernel/.package" 2>/dev/null)" != "$package=$version" ]; then
    say "unpacking $package $version"
    rm -f "$package"_*.deb
    apt_download "$package=$version"
    rm -rf "$kernel"
    dpkg-deb -x "$package"_*.deb "$kernel"
    rm -f "$package"_*.deb
    # The package leaves modules.dep to depmod at install time.
    busybox depmod -b "$kernel" "${package#linux-image-}"
    echo "$package=$version" >"$kernel/.package"
  fi
)
kpackage=$(cut -d= -f1 "$kernel/.package")
kversion=${kpackage#linux-image-}
vmlinuz="$kernel/boot/vmlinuz-$kversion"
moddir="$kernel/lib/modules/$kversion"
[ -f "$vmlinuz" ] && [ -f "$moddir/modules.dep" ] || die "no kernel or modules.dep in $kernel"

# --- initramfs: busybox, the modules in load order, /init ----------------
stage="$work/initramfs"
rm -rf "$stage"
mkdir -p "$stage"/{bin,modules,proc,sys,dev,newroot,hosttmp}
cp "$(command -v busybox)" "$stage/bin/busybox"

declare -A added=()
order=()
# Adds a module (its path in modules.dep) after everything it depends on.
add_module() {
  local path=$1 deps dep
  [ -n "${added[$path]:-}" ] && return 0
  deps=$(awk -v p="$path" 'index($0, p ":") == 1 { sub(/^[^:]*:/, ""); print; f = 1; exit }
                           END { exit !f }' "$moddir/modules.dep") || die "$path is not in modules.dep"
  for dep in $deps; do add_module "$dep"; done
  added[$path]=1
  order+=("$path")
}
for name in "${modules[@]}"; do
  # Module names treat - and _ alike.
  path=$(awk -F: -v n="$name" '{ b = $1; sub(/.*\//, "", b); sub(/\.ko.*/, "", b); gsub(/-/, "_", b)
                                 if (b == n) { print $1; exit } }' "$moddir/modules.dep")
  if [ -z "$path" ]; then
    grep -q "/${name//_/[-_]}\.ko" "$moddir/modules.builtin" || die "no module $name in $kversion"
    continue  # built in
  fi
  add_module "$path"
done
n=0
for path in "${order[@]}"; do
  n=$((n + 1))
  base=$(basename "$path")
  target="$stage/modules/$(printf %02d "$n")-${base%%.ko*}.ko"
  case "$path" in
    *.ko) cp "$moddir/$path" "$target" ;;
    *.ko.xz) busybox xz -dc "$moddir/$path" >"$target" ;;
    *) die "cannot load $path (compression)" ;;
  esac
done

results="$work/results"
run="$work/run"
rm -rf "$results" "$run"
mkdir -p "$results" "$run"
: >"$results/cases"
cp "$root/scripts/real-drivers-init.sh" "$stage/init"
chmod 755 "$stage/init"
# Paths the guest needs, all as on this machine (its root is the same).
printf 'ROOT=%q\nBUILD=%q\nRESULTS=%q\n' "$root" "$build" "$results" >"$stage/paths"
(cd "$stage" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz"

# --- simulated boards, QEMU ----------------------------------------------
pids=()
# The monitor's socket, in a short path (a socket's path has a length limit).
sockets=$(mktemp -d /tmp/trn-real-drivers.XXXXXX)
monitor="$sockets/monitor"
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  exec 3>&- 4>&-
  rm -rf "$sockets"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Board n takes commands on fd 2+n (held open: end of input ends trnsim).
start_board() {
  local n=$1 fd=$(($1 + 2))
  mkfifo "$run/board$n.cmd"
  eval "exec $fd<>\"\$run/board$n.cmd\""
  "$build/trnsim" --line-rate 9600 <"$run/board$n.cmd" >"$run/board$n.log" 2>&1 &
  pids+=($!)
}
start_board 1
start_board 2
board_tty() {
  local tty
  for _ in $(seq 100); do
    tty=$(head -n 1 "$run/board$1.log" 2>/dev/null || true)
    case "$tty" in /dev/*) echo "$tty"; return 0 ;; esac
    sleep 0.05
  done
  die "simulated board $1 did not start; see $run/board$1.log"
}
tty1=$(board_tty 1)
tty2=$(board_tty 2)

# The adapter's USB serial number, fixed as a real adapter's is (QEMU's own
# names the port it sits on, which changes from plug to plug).
# The guest replugs it with the same number.
usb_serial=TRNSIM02
echo "$usb_serial" >"$results/usb-serial"
# What the guest's drivers program into the UART and the adapter.
printf '%s\n' serial_update_parameters 'usb_serial_set_*' >"$run/trace-events"
say "kernel $kversion ($(cut -d= -f2 "$kernel/.package")), boards on $tty1 and $tty2"
timeout --kill-after=10 "$guest_limit" qemu-system-x86_64 \
  -accel tcg -m 1024 -smp 1 -nodefaults -display none -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 panic=-1 quiet" \
  -serial "file:$run/console.log" -serial "$tty1" \
  -device qemu-xhci -chardev "serial,path=$tty2,id=u1" \
  -device "usb-serial,chardev=u1,id=usb1,serial=$usb_serial" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$results,mount_tag=results,security_model=none,multidevs=remap" \
  -chardev "socket,id=mon,path=$monitor,server=on,wait=off" -mon chardev=mon,mode=readline \
  -trace "events=$run/trace-events,file=$results/qemu-trace.log" \
  >"$run/qemu.log" 2>&1 &
qemu=$!
pids+=("$qemu")

# --- serving the guest ----------------------------------------------------
# A request is one line in results/req.N; the answer, "ok" or what went
# wrong, goes to results/ack.N.
answer() {
  local out
  case "$1" in
    "monitor "*)
      out=$(printf '%s\n' "${1#monitor }" | timeout 10 socat - "UNIX-CONNECT:$monitor" 2>&1) ||
        { echo "the monitor did not take '${1#monitor }'"; return; }
      # Errors come as "Error: ..." among the monitor's echo and prompts.
      out=$(tr -d '\r' <<<"$out" | grep -o 'Error:.*' || true)
      echo "${out:-ok}" ;;
    "board1 "*) printf '%s\n' "${1#board1 }" >&3 && echo ok ;;
    "board2 "*) printf '%s\n' "${1#board2 }" >&4 && echo ok ;;
    *) echo "unknown request" ;;
  esac
}
next=1
serve() {
  local req
  while [ -e "$results/req.$next" ]; do
    req=$(cat "$results/req.$next")
    answer "$req" >"$results/ack.$next.tmp"
    mv "$results/ack.$next.tmp" "$results/ack.$next"
    next=$((next + 1))
  done
}
shown=0
show() {
  local lines
  [ -f "$results/cases" ] || return 0
  lines=$(wc -l <"$results/cases")
  [ "$lines" -gt "$shown" ] || return 0
  sed -n "$((shown + 1)),${lines}p" "$results/cases"
  shown=$lines
}

while kill -0 "$qemu" 2>/dev/null; do
  serve
  show
  sleep 0.1
done
status=0
wait "$qemu" || status=$?
show
passed=$(grep -c '^PASS' "$results/cases" 2>/dev/null || true)
failed=$(grep -c '^FAIL' "$results/cases" 2>/dev/null || true)
if [ ! -e "$results/done" ]; then
  echo "FAIL  the guest did not finish its cases (QEMU exit $status); its console, last lines:"
  tail -n 15 "$run/console.log" 2>/dev/null | sed 's/^/      /'
  failed=$((failed + 1))
fi
[ "$failed" -eq 0 ] || say "details in $results and $run"
echo "$passed passed, $failed failed in $(elapsed) s (installs, build and kernel included)"
[ "$failed" -eq 0 ]
