#!/bin/busybox sh
# /init of the real-driver check's guest (scripts/real-drivers.sh puts it in
# the initramfs with busybox, the modules in load order and /paths).  Mounts
# the host's root read-only over 9p with the guest's own /proc, /sys, /dev,
# and tmpfs on /tmp and /run; the writable results share at its own path;
# runs scripts/real-drivers-guest.sh under a virtual X server; powers off.
/bin/busybox --install -s /bin
export PATH=/bin
. /paths  # ROOT, BUILD, RESULTS: paths on the host, the same here

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in /modules/*.ko; do
  insmod "$m" || echo "init: cannot load $m"
done

r=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot "$r" ||
  { echo "init: cannot mount the host's root"; poweroff -f; }
# The host's /tmp, kept reachable under the tmpfs: the project may live there.
mount --bind "$r/tmp" /hosttmp
mount -t tmpfs -o mode=1777 tmp "$r/tmp"
for d in "$ROOT" "$BUILD"; do
  case "$d" in
    /tmp/*) mkdir -p "$r$d" && mount --bind "/hosttmp${d#/tmp}" "$r$d" ;;
  esac
done
mount -t proc proc "$r/proc"
mount -t sysfs sys "$r/sys"
mount -t devtmpfs dev "$r/dev"
mkdir -p "$r/dev/pts" "$r/dev/shm"
mount -t devpts devpts "$r/dev/pts"
mount -t tmpfs shm "$r/dev/shm"
mount -t tmpfs run "$r/run"
mkdir -p "$r$RESULTS"
mount -t 9p -o trans=virtio,version=9p2000.L results "$r$RESULTS" ||
  { echo "init: cannot mount the results share"; poweroff -f; }

chroot "$r" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp LC_ALL=C \
  xvfb-run -a -s "-noreset -screen 0 1280x1024x24" \
  bash "$ROOT/scripts/real-drivers-guest.sh" "$BUILD" "$RESULTS"
echo "init: the guest script ended with status $?"
poweroff -f
