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
# systems and memory over the folders programs write to; /tmp and /run are
# this guest's own, so that files, udevd's socket and Wine's server are the
# same on both sides. Programs of the host (Wine, Chromium, node) then run
# there with chroot, on this guest's kernel and devices. What a mode needs
# from the host's /tmp is copied before that is hidden.
host_ready=0
host_root() {
  [ $host_ready -eq 1 ] && return 0
  insmod_all $P9_MODULES
  mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /host ||
    { echo "E2E host_root FAIL the host's root could not be mounted over 9p"; return 1; }
  case " $SCENARIOS " in *" wine_"*) wine_copy || return 1 ;; esac
  case " $SCENARIOS " in *" web_"*) web_copy || return 1 ;; esac
  mount -t proc proc /host/proc
  mount -t sysfs sys /host/sys
  mount -o bind /dev /host/dev
  mount -o bind /tmp /host/tmp
  mount -o bind /run /host/run
  mount -t tmpfs root /host/root
  mount -t tmpfs vartmp /host/var/tmp
  mkdir -p /dev/shm && mount -t tmpfs shm /dev/shm
  # Wine's HID bus and Chromium's hear of hot-plugged devices from udevd alone.
  if [ ! -e /run/udev/control ]; then
    systemd-udevd --daemon > /tmp/udevd.log 2>&1
  fi
  host_ready=1
}

# The Windows command line runs under the host's Wine
# (/tmp/wine/bin/quelloader-cli), with a copy of the prefix made on the
# host. Wine's first start reads much of Wine over 9p: it is done here, with
# a Wine server kept running for the scenarios.
wine_copy() {
  mkdir -p /tmp/wine/bin
  cp -a "/host$WINE_PREFIX" /tmp/wine/prefix || { echo "E2E wine_setup FAIL no Wine prefix at $WINE_PREFIX"; return 1; }
  cp "/host$WINCLI" /tmp/wine/quelloader-cli.exe || { echo "E2E wine_setup FAIL no $WINCLI"; return 1; }
  cp -r /e2e/fixtures /tmp/wine/fixtures
}
wine_setup() {
  host_root || return 1
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
  /tmp/wine/bin/wine-run wineserver -p
  w0=$(cut -d' ' -f1 /proc/uptime)
  timeout 150 /tmp/wine/bin/quelloader-cli --version > /tmp/wine/first.out 2>&1 ||
    { echo "E2E wine_setup FAIL the first start under Wine ended with $?: $(head -n3 /tmp/wine/first.out)"; return 1; }
  WINE_FIRST=$(awk -v a="$w0" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }')
  echo "$WINE_FIRST" > /tmp/wine/first-start
  echo "guest: Wine ready; the first start took $WINE_FIRST s"
}

# The page runs in the host's Chromium, driven by the host's node with the
# page tests' playwright-core, on the site the host built; these are copied
# into this guest's /tmp, as the checkout may be under the host's /root,
# which this guest's own covers. Chromium reads its managed policies from
# /etc/chromium: this guest lays a copy of the host's folder over it, with a
# policy that grants the simulator's USB ID to the page's origin, so that no
# chooser is needed.
web_copy() {
  mkdir -p /tmp/web/bin /tmp/web/etc-chromium /tmp/web/node_modules /tmp/web/home
  cp -a /host/etc/chromium/. /tmp/web/etc-chromium/ 2>/dev/null
  cp -r /e2e/fixtures /tmp/web/fixtures
  [ -f "/host$WEB_SITE/index.html" ] || { echo "E2E web_setup FAIL no page at $WEB_SITE"; return 1; }
  cp -r "/host$WEB_SITE" /tmp/web/site &&
    cp "/host$WEB_DRIVER" /tmp/web/web_page.mjs &&
    cp -r "/host$WEB_PLAYWRIGHT" /tmp/web/node_modules/playwright-core ||
    { echo "E2E web_setup FAIL the page, its driver or playwright-core could not be copied"; return 1; }
}
web_setup() {
  host_root || return 1
  # The page is served on 127.0.0.1 (a secure origin: WebHID is offered).
  ip link set lo up || { echo "E2E web_setup FAIL the loopback interface did not come up"; return 1; }
  mkdir -p /tmp/web/etc-chromium/policies/managed
  cat > /tmp/web/etc-chromium/policies/managed/quelloader-e2e.json <<EOF
{ "WebHidAllowDevicesForUrls": [ { "devices": [ { "vendor_id": $WEB_VID, "product_id": $WEB_PID } ],
                                   "urls": [ "$WEB_URL" ] } ] }
EOF
  mount -o bind /tmp/web/etc-chromium /host/etc/chromium
  cat > /tmp/web/bin/web-page <<EOF
#!/bin/sh
exec chroot /host /usr/bin/env -i HOME=/tmp/web/home USER=root LOGNAME=root PATH=/usr/bin:/bin LANG=C.UTF-8 \
  CHROMIUM_ARGS="\${CHROMIUM_ARGS:-}" DEBUG="\${DEBUG:-}" /bin/sh -c 'cd "\$0" 2>/dev/null || cd /tmp; exec "\$@"' "\$PWD" \
  /usr/bin/node /tmp/web/web_page.mjs "\$@"
EOF
  chmod +x /tmp/web/bin/web-page
}
# The USB host side, four virtual controllers (dummy_udc.0-3, each with its
# own host bus) and the gadget framework under configfs.
usb_setup() {
  insmod_all $USB_MODULES
  mount -t configfs none /sys/kernel/config
}
# set_up MODE WHAT: MODE's set-up, before its first scenario only.
ready=""
set_up() {
  case " $ready " in *" $1 "*) return 0 ;; esac
  ready="$ready $1"
  t0=$(cut -d' ' -f1 /proc/uptime)
  "$1_setup"
  echo "guest: $2 set up in $(awk -v a="$t0" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.2f", b - a }') s"
}
for s in $SCENARIOS; do
  case $s in
    usb_*|udev_*) mode=usb; set_up usb "USB modules" ;;
    wine_*) mode=wine; set_up wine "Wine mode" ;;
    web_*) mode=web; set_up web "web mode" ;;
    *) mode=uhid ;;
  esac
  mkdir -p "/tmp/$s"
  : > "/tmp/$s/pids"
  : > "/tmp/$s/reason"
  t0=$(cut -d' ' -f1 /proc/uptime)
  limit=$SCENARIO_LIMIT
  [ $mode = web ] && limit=$WEB_SCENARIO_LIMIT
  timeout "$limit" sh -c ". /e2e/scenarios.sh; cd /tmp/$s; T=/tmp/$s; MODE=$mode; run_scenario $s" > "/tmp/$s/log" 2>&1
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
    [ $rc -eq 143 ] && reason="time limit of ${limit} s reached${reason:+; $reason}"
    echo "E2E $s FAIL ${reason:-exit code $rc} [${took}]"
    sed 's/^/  | /' "/tmp/$s/log"
  fi
done

poweroff -f
