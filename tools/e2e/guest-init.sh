#!/bin/sh
# /init of the end-to-end guest: mounts the kernel's file systems, loads the
# HID modules, runs every scenario named in /e2e/config with a time limit,
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

# hid first (hidraw is built into it); without hid-generic no hidraw node appears.
for m in hid hid-generic uhid; do
  if ! out=$(insmod "/lib/modules/$m.ko" 2>&1); then
    echo "E2E modules FAIL insmod $m: $out"
  fi
done

echo; echo "guest: modules loaded at $(cut -d' ' -f1 /proc/uptime) s"
for s in $SCENARIOS; do
  mkdir -p "/tmp/$s"
  : > "/tmp/$s/pids"
  : > "/tmp/$s/reason"
  t0=$(cut -d' ' -f1 /proc/uptime)
  timeout "$SCENARIO_LIMIT" sh -c ". /e2e/scenarios.sh; cd /tmp/$s; T=/tmp/$s; scn_$s" > "/tmp/$s/log" 2>&1
  rc=$?
  # Leftover simulated devices must not leak into the next scenario.
  for p in $(cat "/tmp/$s/pids"); do kill -9 "$p" 2>/dev/null; done
  sleep 0.2
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
