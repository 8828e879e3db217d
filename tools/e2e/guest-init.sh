#!/bin/sh
# /init of the end-to-end guest: mounts the kernel's file systems, loads the
# HID modules (and before the first USB scenario the USB host and gadget
# modules), runs every scenario named in /e2e/config with a time limit,
# prints one result line per scenario and always powers off.
export PATH=/opt/quelloader/bin:/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mount -t tmpfs -o mode=0755 run /run
mkdir -p -m 0700 /run/user/0
. /e2e/config
export LD_LIBRARY_PATH="$LIBDIRS"
export HOME=/tmp
export XDG_RUNTIME_DIR=/run/user/0

# Whatever hangs, the guest powers off; the host then sees the missing lines.
( sleep "$WATCHDOG"; echo "E2E watchdog FAIL the guest's scenarios ran for ${WATCHDOG} s"; poweroff -f ) &

# insmod_all MODULE...: in the order given (each after what it needs).
insmod_all() {
  for m in "$@"; do
    [ "$m" = dummy_hcd ] && args="num=4" || args=""
    if ! out=$(insmod "/lib/modules/$m.ko" $args 2>&1); then
      echo "E2E modules FAIL insmod $m: $out"
    fi
  done
}
# hid first (hidraw is built into it); without hid-generic no hidraw node appears.
insmod_all $HID_MODULES

echo; echo "guest: modules loaded at $(cut -d' ' -f1 /proc/uptime) s"
usb_loaded=0
for s in $SCENARIOS; do
  case $s in
    usb_*|udev_*)
      mode=usb
      if [ $usb_loaded -eq 0 ]; then
        # The USB host side, four virtual controllers (dummy_udc.0-3, each
        # with its own host bus) and the gadget framework under configfs.
        t0=$(cut -d' ' -f1 /proc/uptime)
        insmod_all $USB_MODULES
        mount -t configfs none /sys/kernel/config
        usb_loaded=1
        echo "guest: USB modules loaded in $(awk -v a="$t0" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.2f", b - a }') s"
      fi ;;
    *) mode=uhid ;;
  esac
  mkdir -p "/tmp/$s"
  : > "/tmp/$s/pids"
  : > "/tmp/$s/reason"
  t0=$(cut -d' ' -f1 /proc/uptime)
  timeout "$SCENARIO_LIMIT" sh -c ". /e2e/scenarios.sh; cd /tmp/$s; T=/tmp/$s; MODE=$mode; run_scenario $s" > "/tmp/$s/log" 2>&1
  rc=$?
  # Leftover simulated devices must not leak into the next scenario: asked
  # first, so that a USB gadget is taken off its controller, then killed.
  alive=""
  for p in $(cat "/tmp/$s/pids"); do
    case "$(cut -d' ' -f3 "/proc/$p/stat" 2>/dev/null)" in ""|Z) ;; *) kill -TERM "$p" 2>/dev/null && alive=1 ;; esac
  done
  if [ -n "$alive" ]; then
    sleep 0.5
    for p in $(cat "/tmp/$s/pids"); do kill -9 "$p" 2>/dev/null; done
    sleep 0.2
  fi
  reason=$(head -n1 "/tmp/$s/reason")
  took=$(awk -v a="$t0" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f s", b - a }')
  if [ $rc -eq 0 ]; then
    echo "E2E $s PASS ${reason} [${took}]"
  else
    [ $rc -eq 143 ] && reason="time limit of ${SCENARIO_LIMIT} s reached${reason:+; $reason}"
    echo "E2E $s FAIL ${reason:-exit code $rc} [${took}]"
    sed 's/^/  | /' "/tmp/$s/log"
  fi
done

poweroff -f
