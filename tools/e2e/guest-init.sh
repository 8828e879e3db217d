#!/bin/sh
# /init of the end-to-end guest: mounts the kernel's file systems, loads the
# HID modules (and before the first USB scenario the USB host and gadget
# modules, before the first Wine scenario the host's root and Wine), runs
# every scenario named in /e2e/config with a time limit,
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

# The host's root, read-only over virtio-9p, with this guest's kernel file
# systems and memory over the folders Wine writes to; /tmp and /run are this
# guest's own, so that files, udevd's socket and Wine's server are the same
# on both sides. The Windows command line then runs there under the host's
# Wine (/tmp/wine/bin/quelloader-cli), with a copy of the prefix made on the
# host. Wine's first start reads much of Wine over 9p: it is done here, with
# a Wine server kept running for the scenarios.
wine_setup() {
  insmod_all $P9_MODULES
  mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /host ||
    { echo "E2E wine_setup FAIL the host's root could not be mounted over 9p"; return 1; }
  # Copied before the host's /tmp is hidden, in case they are there.
  mkdir -p /tmp/wine/bin
  cp -a "/host$WINE_PREFIX" /tmp/wine/prefix || { echo "E2E wine_setup FAIL no Wine prefix at $WINE_PREFIX"; return 1; }
  cp "/host$WINCLI" /tmp/wine/quelloader-cli.exe || { echo "E2E wine_setup FAIL no $WINCLI"; return 1; }
  cp -r /e2e/fixtures /tmp/wine/fixtures
  mount -t proc proc /host/proc
  mount -t sysfs sys /host/sys
  mount -o bind /dev /host/dev
  mount -o bind /tmp /host/tmp
  mount -o bind /run /host/run
  mount -t tmpfs root /host/root
  mount -t tmpfs vartmp /host/var/tmp
  mkdir -p /dev/shm && mount -t tmpfs shm /dev/shm
  # In the host's root: the environment of a console, without a display.
  # Wine's processes all on one CPU: every call into the Wine server is a
  # wake-up across CPUs otherwise, which under emulation cost its first
  # start four times the server's CPU time (30 s, not 8).
  cat > /tmp/wine/bin/wine-run <<EOF
#!/bin/sh
exec chroot /host /usr/bin/taskset -c 0 /usr/bin/env -i HOME=/root USER=root LOGNAME=root PATH=/usr/bin:/bin LANG=C.UTF-8 \
  QUELLOADER_DEBUG="\${QUELLOADER_DEBUG:-}" WINEPREFIX=/tmp/wine/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d /bin/sh -c 'cd "\$0" 2>/dev/null || cd /tmp; exec "\$@"' "\$PWD" "\$@"
EOF
  cat > /tmp/wine/bin/quelloader-cli <<EOF
#!/bin/sh
exec /tmp/wine/bin/wine-run wine /tmp/wine/quelloader-cli.exe "\$@"
EOF
  chmod +x /tmp/wine/bin/wine-run /tmp/wine/bin/quelloader-cli
  if [ ! -e /run/udev/control ]; then
    systemd-udevd --daemon > /tmp/wine/udevd.log 2>&1
  fi
  /tmp/wine/bin/wine-run wineserver -p
  w0=$(cut -d' ' -f1 /proc/uptime)
  timeout 150 /tmp/wine/bin/quelloader-cli --version > /tmp/wine/first.out 2>&1 ||
    { echo "E2E wine_setup FAIL the first start under Wine ended with $?: $(head -n3 /tmp/wine/first.out)"; return 1; }
  WINE_FIRST=$(awk -v a="$w0" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }')
  echo "$WINE_FIRST" > /tmp/wine/first-start
  echo "guest: Wine ready; the first start took $WINE_FIRST s"
}
usb_loaded=0
wine_ready=0
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
    wine_*)
      mode=wine
      if [ $wine_ready -eq 0 ]; then
        t0=$(cut -d' ' -f1 /proc/uptime)
        wine_setup
        wine_ready=1
        echo "guest: Wine mode set up in $(awk -v a="$t0" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }') s"
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
