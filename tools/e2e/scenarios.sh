# Scenarios of the end-to-end guest, sourced by /init (busybox sh). Each
# scn_NAME runs in its own shell in the folder $T; it returns 0 for a pass.
# `fail` records the one-line reason shown on the result line; `note` records
# a detail for a pass. Every wait has a limit: the guest's CPU is emulated,
# so limits are generous, and a hang still ends in a FAIL line.

FX=/e2e/fixtures
EXP=/e2e/expected
BOOTLOADER="USB HID Bootloader"

fail() {
  echo "$*" > "$T/reason"
  echo "FAIL: $*"
  # The simulators' last lines, for the console log.
  for f in "$T"/sim-*.log; do
    [ -e "$f" ] && grep -v 'host program' "$f" | tail -n 15 | sed "s|^|  ${f##*/}: |"
  done
  return 1
}
note() { echo "$*" > "$T/reason"; }

# Seconds since boot, with hundredths.
now() { cut -d' ' -f1 /proc/uptime; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# wait_until SECONDS COMMAND...: polls COMMAND every 50 ms.
wait_until() {
  limit=$(($1 * 20))
  i=0
  shift
  while ! "$@"; do
    i=$((i + 1))
    [ $i -ge $limit ] && return 1
    sleep 0.05
  done
  return 0
}

# MODE is "uhid" (the simulator through /dev/uhid) or "usb" (a configfs USB
# gadget on dummy_hcd); a scenario scn_NAME runs as NAME and as usb_NAME,
# one written for USB alone as scn_usb_NAME.
run_scenario() {
  if [ "$MODE" = wine ]; then
    # The Windows command line under Wine in the host's root; the files it
    # reads must be in this guest's /tmp, which both sides share. They are
    # named as on Windows (drive Z: is /): there a word starting with "/"
    # is an option, as "/?" is.
    PATH=/tmp/wine/bin:$PATH
    FX='Z:\tmp\wine\fixtures'
  elif [ "$MODE" = web ]; then
    . /e2e/config
    PATH=/tmp/web/bin:$PATH
    FX=/tmp/web/fixtures
  fi
  if command -v "scn_$1" >/dev/null 2>&1; then "scn_$1"; else "scn_${1#usb_}"; fi
}

# The USB device above a hidraw node (its sysfs folder), if there is one.
usb_parent() {
  u=$(readlink -f "/sys/class/hidraw/$1/device/../..")
  [ -f "$u/idVendor" ] && echo "$u"
}
# The product string a host reads for a hidraw node: the USB device's, else
# (a device without a USB parent) the HID device's name.
node_product() {
  u=$(usb_parent "$1")
  if [ -n "$u" ]; then cat "$u/product" 2>/dev/null; else sed -n 's/^HID_NAME=//p' "/sys/class/hidraw/$1/device/uevent"; fi
}
# The hidraw nodes of bootloaders, one a line.
bootloader_nodes() {
  for d in /sys/class/hidraw/hidraw*; do
    [ -e "$d/device/uevent" ] || continue
    [ "$(node_product "${d##*/}")" = "$BOOTLOADER" ] && echo "/dev/${d##*/}"
  done
}
count_nodes() { bootloader_nodes | grep -c . ; }
nodes_are() { [ "$(count_nodes)" -eq "$1" ]; }
node_gone() { [ ! -e "$1" ]; }

# sim_start TAG PRESET [ARGS...]: quelloader-sim in the background, its output
# in $T/sim-TAG.log, its pid in $T/sim-TAG.pid.
sim_start() {
  tag=$1
  shift
  if [ "$MODE" = usb ]; then
    quelloader-sim "$@" --usb > "$T/sim-$tag.log" 2>&1 &
  else
    quelloader-sim "$@" > "$T/sim-$tag.log" 2>&1 &
  fi
  echo $! > "$T/sim-$tag.pid"
  echo $! >> "$T/pids"
}
sim_pid() { cat "$T/sim-$1.pid"; }
sim_running() { kill -0 "$(sim_pid "$1")" 2>/dev/null; }
sim_ended() { ! sim_running "$1"; }
# Exit code of a simulator that has ended (it is a child of this shell).
sim_wait() { wait "$(sim_pid "$1")"; }

attached_or_ended() { nodes_are "$1" || sim_ended "$2"; }
# Starts TAG and waits for one more bootloader node; its path in $T/node-TAG.
sim_attach() {
  tag=$1
  before=$(count_nodes)
  bootloader_nodes > "$T/nodes-before"
  sim_start "$@"
  if ! wait_until 20 attached_or_ended $((before + 1)) "$tag" || sim_ended "$tag"; then
    cat "$T/sim-$tag.log"
    sim_ended "$tag" && { fail "the simulator ended: $(grep -m1 'quelloader-sim:' "$T/sim-$tag.log")"; return 1; }
    fail "no hidraw node for the simulated $2 bootloader within 20 s"
    return 1
  fi
  if [ -s "$T/nodes-before" ]; then
    bootloader_nodes | grep -vxF -f "$T/nodes-before" > "$T/node-$tag"
  else
    bootloader_nodes > "$T/node-$tag"
  fi
}

# cli LOGNAME ARGS...: runs quelloader-cli with a limit; stdout and stderr in
# $T/LOGNAME.out and .err; returns its exit code.
cli() {
  name=$1
  shift
  echo "+ quelloader-cli $*" >&2
  timeout 30 quelloader-cli "$@" > "$T/$name.out" 2> "$T/$name.err"
  rc=$?
  sed "s/^/  $name.out: /" "$T/$name.out" >&2
  sed "s/^/  $name.err: /" "$T/$name.err" >&2
  return $rc
}

# same_flash DUMP EXPECTED: byte for byte, else the first difference as reason.
same_flash() {
  [ -s "$1" ] || { fail "no flash dump $1"; return 1; }
  diff=$(cmp "$1" "$2" 2>&1 | head -n1)
  [ -z "$diff" ] && return 0
  fail "flash differs from the expected layout: $diff"
  return 1
}

# One byte count of a file.
size_of() { wc -c < "$1" | tr -d ' '; }

# preset_field PRESET N: field N of the preset table (2 McuType, 3 erase block,
# 4 write block, 5 BootStart, 6 flash size, 7 device name).
preset_field() { awk -v p="$1" -v n="$2" '$1 == p { print $n }' /e2e/presets; }

# written_prefix FLASH PRESET FIXTURE: an upload cut short left FLASH with a
# prefix of FIXTURE's image in whole erase blocks and nothing past it; the
# prefix's length in $b.
written_prefix() {
  first=$(cmp "$1" "$EXP/$2.$3.bin" 2>/dev/null | sed -nE 's/.* (byte|char) ([0-9]+).*/\2/p')
  [ -n "$first" ] || { fail "the whole upload was written despite the unplug"; return 1; }
  e=$(preset_field "$2" 3)
  b=$(( (first - 1) / e * e ))
  [ $b -gt 0 ] || { fail "nothing was written before the unplug"; return 1; }
  cmp "$1" "$EXP/$2.pristine.bin" $b $b >/dev/null ||
    { fail "bytes written past the point of unplug (from $b on): $(cmp "$1" "$EXP/$2.pristine.bin" $b $b 2>&1 | head -n1)"; return 1; }
}

# ---- The kernel side alone -------------------------------------------------------
scn_uhid_node() {
  [ -c /dev/uhid ] || { fail "/dev/uhid is missing"; return 1; }
  [ -d /sys/module/hid_generic ] || { fail "hid-generic is not loaded"; return 1; }
  note "/dev/uhid present, hid-generic loaded"
}

# ---- The simulator as a kernel HID device ----------------------------------------
# It shows up as a USB HID device with the bootloader's product string and a
# hidraw node, and goes away with its process.
scn_sim_appears() {
  sim_attach dev pic18 || return 1
  node=$(cat "$T/node-dev")
  [ -c "$node" ] || { fail "$node is not a character device"; return 1; }
  uevent="/sys/class/hidraw/${node#/dev/}/device/uevent"
  cat "$uevent"
  id=$(grep '^HID_ID=' "$uevent")
  case "$id" in HID_ID=0003:*) ;; *) fail "not on the USB bus: $id"; return 1 ;; esac
  if [ "$MODE" = usb ]; then
    # A genuine USB device: bound to usbhid, with its ID in sysfs.
    u=$(usb_parent "${node#/dev/}")
    [ -n "$u" ] || { fail "$node has no USB device above it"; return 1; }
    driver=$(readlink -f "/sys/class/hidraw/${node#/dev/}/device/../driver")
    [ "${driver##*/}" = usbhid ] || { fail "the interface is driven by ${driver##*/}, not usbhid"; return 1; }
    [ "$(cat "$u/idVendor"):$(cat "$u/idProduct")" = 1209:0001 ] || { fail "USB ID $(cat "$u/idVendor"):$(cat "$u/idProduct")"; return 1; }
    id="$id, ${u##*/} on usbhid"
  fi
  kill -TERM "$(sim_pid dev)"
  wait_until 10 node_gone "$node" || { fail "$node still present after the simulator ended"; return 1; }
  sim_wait dev || { fail "the simulator ended with $? on SIGTERM"; return 1; }
  note "$node, $id, gone with its process"
}

# ---- 1. Flash each preset and compare the whole flash ------------------------------
# The device must first report the boot info the expected files were made for.
flash_preset() {
  preset=$1 fixture=$2
  sim_attach dev "$preset" --dump-flash "$T/flash.bin" || return 1
  node=$(cat "$T/node-dev")
  cli info info --path "$node" || { fail "info exited with $?"; return 1; }
  for want in "$(preset_field "$preset" 7)" "$(printf '%d' "$(preset_field "$preset" 5)")"; do
    grep -qiF -- "$want" "$T/info.out" "$T/info.err" ||
      { fail "info does not show $want"; return 1; }
  done
  start=$(now)
  cli flash flash "$FX/$fixture" --yes
  rc=$?
  took=$(elapsed "$start")
  [ $rc -eq 0 ] || { fail "flash exited with $rc"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus after the reset"; return 1; }
  same_flash "$T/flash.bin" "$EXP/$preset.${fixture%.hex}.bin" || return 1
  note "$fixture in ${took} s, flash identical ($(size_of "$T/flash.bin") bytes)"
}
scn_flash_pic18() { flash_preset pic18 pic18-edge-below-boot.hex; }
scn_flash_pic18j() { flash_preset pic18j pic18-app-24k.hex; }
scn_flash_pic16() { flash_preset pic16 pic16-app-4kw.hex; }
# Over USB the edge image's long write costs twice its uhid time; its edge
# below the bootloader is the uhid run's, the USB path is the same for any image.
scn_usb_flash_pic18() { flash_preset pic18 pic18-app-6k.hex; }

# ---- 2. --wait: the command line is already waiting when the device appears ---------
scn_wait_hotplug() {
  [ "$(count_nodes)" -eq 0 ] || { fail "a bootloader is already attached"; return 1; }
  timeout 40 quelloader-cli flash "$FX/pic18-app-6k.hex" --wait=30 --yes > "$T/flash.out" 2> "$T/flash.err" &
  cli_pid=$!
  # Attach only once the command line has looked and found nothing.
  sleep 1
  kill -0 $cli_pid 2>/dev/null || { cat "$T/flash.err"; fail "flash --wait ended before the device appeared"; return 1; }
  start=$(now)
  sim_start dev pic18 --dump-flash "$T/flash.bin"
  wait $cli_pid
  rc=$?
  took=$(elapsed "$start")
  cat "$T/flash.out" "$T/flash.err"
  [ $rc -eq 0 ] || { fail "flash --wait exited with $rc"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus after the reset"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  note "found the device on hot-plug and flashed it ${took} s after it was attached"
}

# ---- 3. Unplugged in the middle of the write -----------------------------------------
# The device leaves the bus at packet 40 (the handshake, the erase and the
# write command come first, then a data block a packet). The flash must hold a
# prefix of the upload, in whole blocks, and nothing past it.
scn_unplug_mid_write() {
  sim_attach dev pic18 --dump-flash "$T/flash.bin" --fault unplug:40 || return 1
  start=$(now)
  cli flash flash "$FX/pic18-app-6k.hex" --yes
  rc=$?
  took=$(elapsed "$start")
  [ $rc -eq 1 ] || { fail "flash exited with $rc, not 1"; return 1; }
  grep -qE '^Error: Device .+ removed\.$' "$T/flash.err" ||
    { fail "no removal line on stderr"; return 1; }
  grep -q 'Completed successfully' "$T/flash.err" "$T/flash.out" &&
    { fail "the upload reported success"; return 1; }
  awk -v t="$took" 'BEGIN { exit !(t < 10) }' || { fail "flash took ${took} s to notice the removal"; return 1; }
  wait_until 10 sim_ended dev || { fail "the simulator did not end after its unplug"; return 1; }
  [ -s "$T/flash.bin" ] || { fail "no flash dump"; return 1; }
  # The first byte that differs from the finished upload, rounded down to its
  # erase block: everything before it is the upload's, everything from it on
  # is still as it was before.
  cmp "$T/flash.bin" "$EXP/pic18.pic18-app-6k.bin"
  written_prefix "$T/flash.bin" pic18 pic18-app-6k || return 1
  note "exit 1 after ${took} s with the removal line; the first $b bytes written, nothing after"
}

# ---- 3b. Stopped and continued in the middle of the write -----------------------------
# The command line is stopped (SIGSTOP) for two seconds while it writes, then
# continued: every deadline under way is long past when it runs again, and
# every answer had come in time (it waits in the kernel's queue). The upload
# completes and the flash is identical.
scn_stopped_mid_write() {
  sim_attach dev pic18j --dump-flash "$T/flash.bin" || return 1
  timeout 90 quelloader-cli flash "$FX/pic18-app-24k.hex" --yes > "$T/flash.out" 2> "$T/flash.err" &
  cli_pid=$!
  wait_until 20 grep -q '^Uploading:' "$T/flash.err" || { cat "$T/flash.err"; fail "the upload did not start"; return 1; }
  sleep 0.5
  kill -0 $cli_pid 2>/dev/null || { cat "$T/flash.err"; fail "the upload ended before it could be stopped"; return 1; }
  kill -STOP $cli_pid
  sleep 2
  kill -CONT $cli_pid
  wait $cli_pid
  rc=$?
  cat "$T/flash.out" "$T/flash.err"
  [ $rc -eq 0 ] || { fail "flash exited with $rc after it was stopped and continued"; return 1; }
  grep -q 'Timeout' "$T/flash.err" && { fail "a time-out was reported"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus after the reset"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18j.pic18-app-24k.bin" || return 1
  note "stopped for 2 s in the middle of the write and continued: completed, flash identical"
}

# ---- 4. Two bootloaders: list shows both, --path selects the second ------------------
scn_two_devices() {
  sim_attach one pic18 --dump-flash "$T/one.bin" || return 1
  sim_attach two pic16 --dump-flash "$T/two.bin" || return 1
  one=$(cat "$T/node-one") two=$(cat "$T/node-two")
  cli list list || { fail "list exited with $?"; return 1; }
  for n in "$one" "$two"; do
    grep -F -- "$n" "$T/list.out" | grep -qF "$BOOTLOADER" || { fail "list does not show $n as a bootloader"; return 1; }
  done
  cli info info --path "$two" || { fail "info --path exited with $?"; return 1; }
  grep -qF PIC16F1459 "$T/info.out" || { fail "info --path $two does not show the second device"; return 1; }
  # Without --path the choice would be ambiguous; with it the second is flashed.
  cli flash flash "$FX/pic16-app-4kw-32.hex" --path "$two" --yes || { fail "flash --path exited with $?"; return 1; }
  wait_until 10 sim_ended two || { fail "the second device did not leave the bus"; return 1; }
  same_flash "$T/two.bin" "$EXP/pic16.pic16-app-4kw-32.bin" || return 1
  # The first device saw nothing of it.
  sim_running one || { fail "the first device left the bus"; return 1; }
  kill -TERM "$(sim_pid one)"
  wait_until 10 sim_ended one || { fail "the first simulator did not end on SIGTERM"; return 1; }
  same_flash "$T/one.bin" "$EXP/pic18.pristine.bin" || { fail "the first device's flash changed"; return 1; }
  note "list shows $one and $two; --path $two flashed the second only"
}

# ---- 4b. Another bootloader leaves while this one uploads ---------------------------
# Two boards of the same name; the second is flashed by --path and the first
# leaves the bus in the middle of it (as when a second command line resets
# it). Only the selected device's removal may end the upload.
scn_other_leaves_mid_upload() {
  sim_attach one pic18 || return 1
  sim_attach two pic18j --dump-flash "$T/two.bin" || return 1
  two=$(cat "$T/node-two")
  timeout 40 quelloader-cli flash "$FX/pic18-app-24k.hex" --path "$two" --yes > "$T/flash.out" 2> "$T/flash.err" &
  cli_pid=$!
  wait_until 20 grep -q '^Uploading:' "$T/flash.err" || { cat "$T/flash.err"; fail "the upload did not start"; return 1; }
  kill -TERM "$(sim_pid one)"
  wait_until 10 sim_ended one || { fail "the first simulator did not end on SIGTERM"; return 1; }
  node_one=$(cat "$T/node-one")
  wait_until 10 node_gone "$node_one" || { fail "$node_one still present"; return 1; }
  kill -0 $cli_pid 2>/dev/null || { cat "$T/flash.err"; fail "the upload ended before the other device had left"; return 1; }
  wait $cli_pid
  rc=$?
  cat "$T/flash.out" "$T/flash.err"
  [ $rc -eq 0 ] || { fail "flash exited with $rc while another device left"; return 1; }
  grep -q 'removed' "$T/flash.err" && { fail "the other device's removal was reported"; return 1; }
  wait_until 10 sim_ended two || { fail "the flashed device did not leave the bus after the reset"; return 1; }
  same_flash "$T/two.bin" "$EXP/pic18j.pic18-app-24k.bin" || return 1
  note "$node_one left during the upload to $two; the upload completed and the flash is identical"
}

# ---- 4b. A simulated run prints what a run on a kernel device prints ----------------
# quelloader-cli flash --simulate goes through the same session as a real
# bootloader: the same history lines and the same exit code, for an upload
# that completes and for one whose layout is refused. Only the device's node
# and the seconds taken may differ.
same_as_simulated() {
  tag=$1
  shift
  sim_attach "$tag" pic18 "$@" || return 1
  node=$(cat "$T/node-$tag")
  cli "real-$tag" flash "$FX/pic18-blink.hex" --path "$node" --yes
  real_rc=$?
  cli "simulated-$tag" flash "$FX/pic18-blink.hex" --simulate pic18 "$@" --yes
  simulated_rc=$?
  [ $real_rc -eq $simulated_rc ] || { fail "exit $real_rc on the device, $simulated_rc simulated ($*)"; return 1; }
  for run in real simulated; do
    sed -e 's| at /dev/[^,]*,|,|' -e 's| in [0-9.]* s\.$| in T s.|' "$T/$run-$tag.err" > "$T/$run-$tag.lines"
  done
  if ! cmp -s "$T/real-$tag.lines" "$T/simulated-$tag.lines"; then
    diff "$T/real-$tag.lines" "$T/simulated-$tag.lines" | sed 's/^/  diff: /'
    fail "the lines differ ($*): $(diff "$T/real-$tag.lines" "$T/simulated-$tag.lines" | grep '^[<>]' | head -n1)"
    return 1
  fi
  echo "$real_rc"
}
scn_simulated_like_real() {
  ok_rc=$(same_as_simulated ok) || return 1
  [ "$ok_rc" = 0 ] || { fail "the upload exited with $ok_rc"; return 1; }
  refused_rc=$(same_as_simulated refused --boot-start 0x40) || return 1
  [ "$refused_rc" = 1 ] || { fail "the refused layout exited with $refused_rc"; return 1; }
  note "same lines and exit codes (0, then 1 for a refused layout) on the kernel device and simulated"
}

# ---- 5. The reset at the end makes the device leave the bus -------------------------
scn_reset_leaves_bus() {
  sim_attach dev pic18 --dump-flash "$T/flash.bin" || return 1
  node=$(cat "$T/node-dev")
  cli flash flash "$FX/pic18-app-6k.hex" --yes || { fail "flash exited with $?"; return 1; }
  start=$(now)
  wait_until 10 node_gone "$node" || { fail "$node still present 10 s after the reset"; return 1; }
  gone=$(elapsed "$start")
  wait_until 10 sim_ended dev || { fail "the simulator did not end after the reset"; return 1; }
  sim_wait dev
  src=$?
  [ $src -eq 0 ] || { fail "the simulator ended with $src"; return 1; }
  cli list list
  grep -qF "$BOOTLOADER" "$T/list.out" && { fail "list still shows a bootloader"; return 1; }
  note "$node gone ${gone} s after the command line ended; list shows no bootloader"
}

# ---- A node this user may not open -----------------------------------------------
# As an ordinary user, with the node readable by root only (no udev rule):
# info ends with exit code 5 and names the rule, list flags the node.
scn_no_access() {
  sim_attach dev pic18 || return 1
  node=$(cat "$T/node-dev")
  chmod 0600 "$node"
  ls -l "$node"
  grep -q '^e2e:' /etc/passwd 2>/dev/null || echo 'e2e:x:1000:1000::/tmp:/bin/sh' >> /etc/passwd
  as_user() {
    su -s /bin/sh e2e -c "LD_LIBRARY_PATH='$LD_LIBRARY_PATH' timeout 30 /opt/quelloader/bin/quelloader-cli $*" \
      > "$T/user.out" 2> "$T/user.err"
  }
  as_user list
  cat "$T/user.out" "$T/user.err"
  grep -F -- "$node" "$T/user.out" | grep -qF '[no access]' || { fail "list does not flag $node"; return 1; }
  as_user info
  rc=$?
  cat "$T/user.out" "$T/user.err"
  [ $rc -eq 5 ] || { fail "info as a user without access exited with $rc, not 5"; return 1; }
  grep -q '70-quelloader.rules' "$T/user.err" || { fail "the message does not name the udev rule"; return 1; }
  note "exit 5 naming the udev rule; list flags $node"
}

# ---- 6. The window's device link, offscreen, on the real backend ---------------------
scn_device_link_qt() {
  export QT_QPA_PLATFORM=offscreen QUELLOADER_SIM=quelloader-sim
  [ "$MODE" = usb ] && export QUELLOADER_E2E_SIM_ARGS=--usb
  export QUELLOADER_E2E_HEX="$FX/pic18-app-6k.hex" QUELLOADER_E2E_EXPECTED="$EXP/pic18.pic18-app-6k.bin"
  timeout 35 e2e-window-link-test linkTurnsRedWhenTheBootloaderAppears connectUploadAndTheResetLeavesTheBus \
    removalWhileConnectedIsReported > "$T/qt.log" 2>&1
  rc=$?
  cat "$T/qt.log"
  totals=$(grep '^Totals:' "$T/qt.log")
  [ $rc -eq 0 ] || { fail "Qt test exited with $rc: ${totals:-no totals}"; return 1; }
  grep -q ', 0 skipped' "$T/qt.log" || { fail "Qt test skipped cases: $totals"; return 1; }
  note "$totals"
}

# ---- One report's round trip (a measurement; the model adds one frame each way) ----
scn_round_trip() {
  sim_attach dev pic18 -q || return 1
  out=$(e2e-round-trip "$(cat "$T/node-dev")" 100) || { fail "round trips failed: $out"; return 1; }
  note "$out"
}

# ---- USB alone: the simulator as a configfs USB gadget on dummy_hcd ------------------
scn_usb_modules() {
  [ -d /sys/kernel/config/usb_gadget ] || { fail "no usb_gadget in configfs (libcomposite)"; return 1; }
  [ -d /sys/module/usbhid ] || { fail "usbhid is not loaded"; return 1; }
  udcs=$(ls /sys/class/udc 2>/dev/null | tr '\n' ' ')
  [ "$(ls /sys/class/udc | grep -c '^dummy_udc')" -eq 4 ] || { fail "USB device controllers: ${udcs:-none}"; return 1; }
  note "UDCs: ${udcs% }"
}

# list shows the USB ID, product and serial as the USB device has them (and
# --serial selects by it in usb_two_flash_at_once): with a
# manufacturer string the HID name is "Acme USB HID Bootloader", which only a
# reading of the USB device's own product string recognises.
scn_usb_list_facts() {
  sim_attach dev pic18 --serial QL-E2E-7 --manufacturer Acme || return 1
  node=$(cat "$T/node-dev")
  u=$(usb_parent "${node#/dev/}")
  grep -x 'HID_NAME=Acme USB HID Bootloader' "/sys/class/hidraw/${node#/dev/}/device/uevent" ||
    { fail "HID_NAME is not manufacturer and product"; return 1; }
  cli list list || { fail "list exited with $?"; return 1; }
  line=$(grep -F -- "$node" "$T/list.out")
  for want in 1209:0001 "$BOOTLOADER" "[bootloader]"; do
    echo "$line" | grep -qiF -- "$want" || { fail "list shows \"$line\", without $want"; return 1; }
  done
  cli info info --path "$node" || { fail "info exited with $?"; return 1; }
  grep -qF QL-E2E-7 "$T/info.out" "$T/info.err" "$T/list.out" || { fail "neither list nor info shows the serial QL-E2E-7"; return 1; }
  note "$line (USB device ${u##*/})"
}

# Two boards flashed by two command lines at the same time.
scn_usb_two_flash_at_once() {
  sim_attach one pic18 --serial ONE --dump-flash "$T/one.bin" || return 1
  sim_attach two pic18j --serial TWO --dump-flash "$T/two.bin" || return 1
  start=$(now)
  timeout 40 quelloader-cli flash "$FX/pic18-app-6k.hex" --serial ONE --yes > "$T/f1.out" 2> "$T/f1.err" &
  p1=$!
  timeout 40 quelloader-cli flash "$FX/pic18-app-24k.hex" --serial TWO --yes > "$T/f2.out" 2> "$T/f2.err" &
  p2=$!
  wait $p1; r1=$?
  wait $p2; r2=$?
  took=$(elapsed "$start")
  cat "$T"/f1.* "$T"/f2.*
  [ $r1 -eq 0 ] && [ $r2 -eq 0 ] || { fail "the two flashes exited with $r1 and $r2"; return 1; }
  wait_until 10 sim_ended one && wait_until 10 sim_ended two || { fail "a device did not leave the bus after its reset"; return 1; }
  same_flash "$T/one.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  same_flash "$T/two.bin" "$EXP/pic18j.pic18-app-24k.bin" || return 1
  note "both flashed in ${took} s together, both flashes identical"
}

# ---- The production line on USB boards -----------------------------------------------
# --all: three boards at once, each with its own session; every flash identical.
scn_usb_line_all() {
  for n in 1 2 3; do
    sim_attach "b$n" pic18 --serial "S$n" --dump-flash "$T/b$n.bin" || return 1
  done
  start=$(now)
  cli line flash "$FX/pic18-app-6k.hex" --all --yes || { fail "flash --all exited with $?"; return 1; }
  took=$(elapsed "$start")
  for n in 1 2 3; do
    grep -q "^\[[^]]* S$n\] Completed successfully\.$" "$T/line.err" || { fail "board S$n has no success line"; return 1; }
    wait_until 10 sim_ended "b$n" || { fail "board S$n did not leave the bus after its reset"; return 1; }
    same_flash "$T/b$n.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  done
  grep -q '^port ' "$T/line.err" || { fail "no table at the end"; return 1; }
  note "three boards in ${took} s together, every flash identical"
}

# A board that stops taking reports (its OUT endpoint is no longer read, so
# the host's writes stall in usbhid) beside a healthy one: it fails alone,
# with its own line, within the write time limit; the other completes.
scn_usb_deaf_board() {
  sim_attach good pic18j --serial GOOD --dump-flash "$T/good.bin" || return 1
  # Steps: boot info, two handshakes, erase, the write command; deaf from
  # the first data block on (sixteen reports).
  sim_attach deaf pic18j --serial DEAF --fault deaf@6 || return 1
  start=$(now)
  cli line flash "$FX/pic18-app-24k.hex" --all --yes
  rc=$?
  took=$(elapsed "$start")
  [ $rc -eq 1 ] || { fail "flash --all exited with $rc, not 1"; return 1; }
  grep -q "DEAF\] Error: Device PIC18F46J50 stopped taking reports\.$" "$T/line.err" ||
    { fail "no stalled-writes line for the deaf board"; return 1; }
  grep -q "GOOD\] Completed successfully\.$" "$T/line.err" || { fail "the healthy board did not complete"; return 1; }
  wait_until 10 sim_ended good || { fail "the healthy board did not leave the bus after its reset"; return 1; }
  same_flash "$T/good.bin" "$EXP/pic18j.pic18-app-24k.bin" || return 1
  kill -TERM "$(sim_pid deaf)"
  wait_until 10 sim_ended deaf || { fail "the deaf simulator did not end on SIGTERM"; return 1; }
  note "the deaf board failed alone with its line, the other completed (${took} s), flash identical"
}

# Signals and pipes around a line of two boards: SIGTERM in the middle of
# the write stops both soundly (exit 143, the table written, no reset), and
# they are then in step for the next run; that run's JSON goes into a reader
# that closes after one line (the boards carry on; no death by SIGPIPE); a
# third run's JSON goes into a reader that stops for four seconds (no board
# fails for it).
scn_line_signals_pipes() {
  sim_attach a pic18j --serial TA --dump-flash "$T/a.bin" || return 1
  sim_attach b pic18j --serial TB --dump-flash "$T/b.bin" || return 1
  timeout 90 quelloader-cli flash "$FX/pic18-app-24k.hex" --all --yes > "$T/term.out" 2> "$T/term.err" &
  cli_pid=$!
  wait_until 20 grep -q 'Uploading:' "$T/term.err" || { cat "$T/term.err"; fail "the upload did not start"; return 1; }
  sleep 0.5
  kill -TERM $cli_pid
  wait $cli_pid
  rc=$?
  cat "$T/term.err"
  [ $rc -eq 143 ] || { fail "SIGTERM: exit $rc, not 143"; return 1; }
  grep -q '^port ' "$T/term.err" || { fail "SIGTERM: no table"; return 1; }
  # The table's rows (the boards' own lines say "stopped" too).
  [ "$(grep -cE '  stopped +[0-9]+ +[0-9.]+$' "$T/term.err")" -eq 2 ] ||
    { fail "SIGTERM: not both boards stopped in the table"; return 1; }
  sim_running a && sim_running b || { fail "SIGTERM: a board was reset or left the bus"; return 1; }

  # In step: flashed again at once, its events into a reader that closes.
  ( timeout 90 quelloader-cli flash "$FX/pic18-app-24k.hex" --all --yes --json 2> "$T/head.err"; echo $? > "$T/head.rc" ) |
    head -n 1 > "$T/head.out"
  cat "$T/head.err"
  head_rc=$(cat "$T/head.rc")
  [ "$head_rc" -lt 128 ] || { fail "| head -1: exit $head_rc"; return 1; }
  [ "$(grep -c 'Completed successfully\.$' "$T/head.err")" -eq 2 ] || { fail "| head -1: not both boards completed"; return 1; }
  wait_until 10 sim_ended a || { fail "board TA did not leave the bus after its reset"; return 1; }
  wait_until 10 sim_ended b || { fail "board TB did not leave the bus after its reset"; return 1; }
  same_flash "$T/a.bin" "$EXP/pic18j.pic18-app-24k.bin" || return 1
  same_flash "$T/b.bin" "$EXP/pic18j.pic18-app-24k.bin" || return 1

  sim_attach c pic18j --serial TC || return 1
  sim_attach d pic18j --serial TD || return 1
  start=$(now)
  ( timeout 90 quelloader-cli flash "$FX/pic18-app-24k.hex" --all --yes --json 2> "$T/stall.err"; echo $? > "$T/stall.rc" ) |
    ( sleep 4; cat > "$T/stall.out" )
  took=$(elapsed "$start")
  rc=$(cat "$T/stall.rc")
  [ "$rc" -eq 0 ] || { cat "$T/stall.err"; fail "stalled reader: exit $rc"; return 1; }
  grep -q '"event":"summary".*"failed":0' "$T/stall.out" || { fail "stalled reader: no summary without failures"; return 1; }
  note "SIGTERM: 143, both stopped in step; | head -1: exit $head_rc, both completed; reader stopped 4 s: both ok (${took} s)"
}

# --all on kernel HID devices: one quelloader-sim being three bootloaders.
scn_line_all() {
  sim_start three pic18 --devices 3 --dump-flash "$T/f"
  wait_until 20 nodes_are 3 || { cat "$T/sim-three.log"; fail "no three hidraw nodes for quelloader-sim --devices 3"; return 1; }
  cli line flash "$FX/pic18-app-6k.hex" --all --yes || { fail "flash --all exited with $?"; return 1; }
  for n in 1 2 3; do
    grep -q "SIM000$n\] Completed successfully\.$" "$T/line.err" || { fail "board SIM000$n has no success line"; return 1; }
  done
  wait_until 10 sim_ended three || { fail "quelloader-sim did not end once its three devices had left the bus"; return 1; }
  for n in 1 2 3; do same_flash "$T/f-$n" "$EXP/pic18.pic18-app-6k.bin" || return 1; done
  note "one simulator, three bootloaders, flashed at once; every flash identical"
}

# --port: the board on that USB port, as list shows it, and no other.
scn_usb_line_port() {
  sim_attach one pic18 --serial ONE --dump-flash "$T/one.bin" || return 1
  sim_attach two pic18 --serial TWO --dump-flash "$T/two.bin" || return 1
  two=$(cat "$T/node-two")
  cli list list || { fail "list exited with $?"; return 1; }
  port=$(grep -F -- "$two " "$T/list.out" | sed -n 's/.*  port \([^ ]*\).*/\1/p')
  [ -n "$port" ] || { fail "list shows no port for $two"; return 1; }
  cli flash flash "$FX/pic18-app-6k.hex" --yes && { fail "flash without a choice between two boards succeeded"; return 1; }
  grep -q 'more than one bootloader' "$T/flash.err" || { fail "the ambiguous flash does not say why"; return 1; }
  cli flash flash "$FX/pic18-app-6k.hex" --port "$port" --yes || { fail "flash --port $port exited with $?"; return 1; }
  wait_until 10 sim_ended two || { fail "the board on $port did not leave the bus"; return 1; }
  same_flash "$T/two.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  sim_running one || { fail "the other board left the bus"; return 1; }
  kill -TERM "$(sim_pid one)"
  wait_until 10 sim_ended one || { fail "the first simulator did not end on SIGTERM"; return 1; }
  same_flash "$T/one.bin" "$EXP/pic18.pristine.bin" || { fail "the other board's flash changed"; return 1; }
  note "--port $port flashed $two only; without it the choice was refused"
}

# --loop: boards plugged in one after another, each flashed once, then the end.
scn_usb_line_loop() {
  timeout 60 quelloader-cli flash "$FX/pic18-app-6k.hex" --loop --count 2 --yes > "$T/loop.out" 2> "$T/loop.err" &
  loop_pid=$!
  wait_until 20 grep -q '^Waiting for bootloaders' "$T/loop.err" || { cat "$T/loop.err"; fail "the loop does not say it waits"; return 1; }
  sim_attach one pic18 --serial ONE --dump-flash "$T/one.bin" || return 1
  wait_until 20 sim_ended one || { cat "$T/loop.err"; fail "the first board was not flashed"; return 1; }
  kill -0 $loop_pid 2>/dev/null || { cat "$T/loop.err"; fail "the loop ended after one board"; return 1; }
  sim_attach two pic18 --serial TWO --dump-flash "$T/two.bin" || return 1
  wait $loop_pid
  rc=$?
  cat "$T/loop.err"
  [ $rc -eq 0 ] || { fail "the loop exited with $rc"; return 1; }
  for b in one two; do same_flash "$T/$b.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1; done
  [ "$(grep -c 'Completed successfully' "$T/loop.err")" -eq 2 ] || { fail "not two uploads"; return 1; }
  note "two boards plugged in one after the other, each flashed once"
}

# The reset makes the board leave the bus, and it comes back in its bootloader
# (as one whose program jumps back) with what was written.
scn_usb_come_back() {
  sim_attach dev pic18 --come-back 300 --dump-flash "$T/flash.bin" || return 1
  node=$(cat "$T/node-dev")
  cli flash flash "$FX/pic18-app-6k.hex" --yes || { fail "flash exited with $?"; return 1; }
  start=$(now)
  # The command line waits a moment for the board it reset to leave the bus,
  # so the board may be gone, or gone and back, by the time it ends.
  wait_until 10 grep -q 'leaving the bus' "$T/sim-dev.log" ||
    { fail "the device did not leave the bus after the reset"; return 1; }
  back_again() { grep -q 'back in the bootloader' "$T/sim-dev.log" && nodes_are 1; }
  wait_until 10 back_again || { fail "the device did not come back"; return 1; }
  back=$(elapsed "$start")
  cli info info --wait=10 || { fail "info on the device that came back exited with $?"; return 1; }
  sim_running dev || { fail "the simulator ended"; return 1; }
  kill -TERM "$(sim_pid dev)"
  wait_until 10 sim_ended dev || { fail "the simulator did not end on SIGTERM"; return 1; }
  wait_until 10 nodes_are 0 || { fail "the gadget was left on the bus after SIGTERM"; return 1; }
  [ -z "$(ls /sys/kernel/config/usb_gadget)" ] || { fail "gadget left behind: $(ls /sys/kernel/config/usb_gadget)"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  note "left the bus after the reset and back ${back} s after the command ended, answering; flash kept; no gadget left"
}

# 20 plugs and unplugs in quick succession while the window runs.
scn_usb_plug_storm() {
  export QT_QPA_PLATFORM=offscreen QUELLOADER_SIM=quelloader-sim QUELLOADER_E2E_SIM_ARGS=--usb
  export QUELLOADER_E2E_HEX="$FX/pic18-app-6k.hex" QUELLOADER_E2E_EXPECTED="$EXP/pic18.pic18-app-6k.bin"
  timeout 38 e2e-window-link-test plugStormLeavesNothingBehind > "$T/qt.log" 2>&1
  rc=$?
  cat "$T/qt.log"
  totals=$(grep '^Totals:' "$T/qt.log")
  [ $rc -eq 0 ] || { fail "Qt test exited with $rc: ${totals:-no totals}"; return 1; }
  grep -q '3 passed, 0 failed, 0 skipped' "$T/qt.log" || { fail "the storm did not run: $totals"; return 1; }
  note "$(grep '^QDEBUG.*storm:' "$T/qt.log" | sed 's/.*storm: //' | head -n1); $totals"
}

# ---- udevd with the shipped rule ----------------------------------------------------------
udevd_up() {
  [ -e /run/udev/control ] && return 0
  systemd-udevd --daemon > "$T/udevd.log" 2>&1 || { fail "systemd-udevd did not start: $(head -n1 "$T/udevd.log")"; return 1; }
  wait_until 10 test -e /run/udev/control || { fail "systemd-udevd has no control socket"; return 1; }
}
# has_tag NODE TAG: udevd's record of the node carries TAG.
has_tag() { udevadm info -q property -n "$1" | grep -E '^(CURRENT_)?TAGS=' | grep -q ":$2:"; }
# The node of a hidraw device whose USB product string is $1 (or HID name, without USB).
node_named() {
  for d in /sys/class/hidraw/hidraw*; do
    [ "$(node_product "${d##*/}")" = "$1" ] && echo "/dev/${d##*/}"
  done
}

named_present() { [ -n "$(node_named "$1")" ]; }

# The rule tags the bootloader's node (USB, and through /dev/uhid by its HID
# name) and neither a HID gadget with another product nor one whose HID name
# only reads like the bootloader (manufacturer "USB HID", product "Bootloader").
scn_udev_rule() {
  udevd_up || return 1
  sim_attach good pic18 || return 1
  sim_start other pic18 --usb --name "USB HID Keyboard"
  sim_start split pic18 --usb --manufacturer "USB HID" --name Bootloader
  MODE=uhid
  sim_attach uhid pic16 || return 1
  MODE=usb
  wait_until 20 named_present "USB HID Keyboard" && wait_until 20 named_present Bootloader ||
    { fail "the other gadgets did not appear"; return 1; }
  udevadm settle -t 10
  good=$(cat "$T/node-good") uhid=$(cat "$T/node-uhid")
  other=$(node_named "USB HID Keyboard") split=$(node_named Bootloader)
  for n in $good $uhid $other $split; do echo "== $n"; udevadm info -q property -n "$n"; done
  has_tag "$good" uaccess || { fail "the bootloader's USB node $good is not tagged uaccess"; return 1; }
  has_tag "$uhid" uaccess || { fail "the bootloader's uhid node $uhid is not tagged uaccess"; return 1; }
  has_tag "$other" uaccess && { fail "the gadget with another product ($other) is tagged uaccess"; return 1; }
  has_tag "$split" uaccess && { fail "manufacturer \"USB HID\" + product \"Bootloader\" ($split) is tagged uaccess"; return 1; }
  note "uaccess on $good (USB) and $uhid (uhid); not on $other (other product) nor $split (\"USB HID\" \"Bootloader\")"
}

# udevadm trigger while a command line waits: the change events of nodes
# already there neither end the wait nor select a node that is no
# bootloader; the bootloader that then comes is flashed. And the access the
# rule grants (here a stand-in for the seat's ACL) reaches a present node
# with the trigger, without replugging: in a window that is already running
# (as a user without access until then) and in a new command line.
scn_udev_trigger() {
  udevd_up || return 1
  sim_start other pic18 --usb --name "USB HID Keyboard"
  wait_until 20 named_present "USB HID Keyboard" || { fail "the other gadget did not appear"; return 1; }
  timeout 40 quelloader-cli flash "$FX/pic18-app-6k.hex" --wait=30 --yes > "$T/flash.out" 2> "$T/flash.err" &
  cli_pid=$!
  sleep 1
  udevadm trigger --subsystem-match=hidraw --action=change
  udevadm settle -t 10
  sleep 0.5
  kill -0 $cli_pid 2>/dev/null || { cat "$T/flash.err"; fail "flash --wait ended on the trigger"; return 1; }
  sim_start dev pic18 --dump-flash "$T/flash.bin"
  wait $cli_pid
  rc=$?
  cat "$T/flash.out" "$T/flash.err"
  [ $rc -eq 0 ] || { fail "flash --wait exited with $rc"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  # Access by the trigger: the node is root's alone until the rule is there.
  sim_attach acc pic18 || return 1
  node=$(cat "$T/node-acc")
  udevadm settle -t 10
  grep -q '^e2e:' /etc/passwd 2>/dev/null || echo 'e2e:x:1000:1000::/tmp:/bin/sh' >> /etc/passwd
  as_user_list() {
    su -s /bin/sh e2e -c "LD_LIBRARY_PATH='$LD_LIBRARY_PATH' timeout 30 /opt/quelloader/bin/quelloader-cli list" > "$T/user.out" 2> "$T/user.err"
  }
  as_user_list
  grep -F -- "$node" "$T/user.out" | grep -qF '[no access]' || { cat "$T/user.out"; fail "$node is open to the user before the rule's access"; return 1; }
  # The window, as the same user, sees the bootloader it cannot open yet.
  chmod 0777 "$T"
  mkdir -p -m 0700 /tmp/xdg-e2e && chown 1000:1000 /tmp/xdg-e2e
  su -s /bin/sh e2e -c "LD_LIBRARY_PATH='$LD_LIBRARY_PATH' HOME=/tmp XDG_RUNTIME_DIR=/tmp/xdg-e2e QT_QPA_PLATFORM=offscreen \
    QUELLOADER_E2E_TRIGGER_MARK=$T/window-ready timeout 35 /opt/quelloader/bin/e2e-window-link-test accessGivenByTriggerIsPickedUp" \
    > "$T/qt.log" 2>&1 &
  qt_pid=$!
  wait_until 30 test -e "$T/window-ready" || { cat "$T/qt.log"; fail "the window did not come up without access"; return 1; }
  echo 'SUBSYSTEM=="hidraw", TAG=="uaccess", MODE="0666"' > /etc/udev/rules.d/99-e2e-seat.rules
  udevadm control --reload
  udevadm trigger --subsystem-match=hidraw --action=change
  udevadm settle -t 10
  wait $qt_pid
  qrc=$?
  cat "$T/qt.log"
  [ $qrc -eq 0 ] || { rm -f /etc/udev/rules.d/99-e2e-seat.rules; fail "the window did not take the access from the trigger (exit $qrc)"; return 1; }
  as_user_list
  rm -f /etc/udev/rules.d/99-e2e-seat.rules
  udevadm control --reload
  cat "$T/user.out"
  grep -F -- "$node" "$T/user.out" | grep -qF '[no access]' && { fail "$node still without access after the trigger"; return 1; }
  note "flash --wait went on through the trigger and flashed; $node open to the user and to the running window after the trigger, not replugged"
}

# A hot-plug upload driven by udevd's events (the backend listens to udevd,
# not to the kernel, once udevd runs).
scn_udev_hotplug() {
  udevd_up || return 1
  [ "$(count_nodes)" -eq 0 ] || { fail "a bootloader is already attached"; return 1; }
  timeout 40 quelloader-cli flash "$FX/pic18-app-6k.hex" --wait=30 --yes > "$T/flash.out" 2> "$T/flash.err" &
  cli_pid=$!
  sleep 1
  start=$(now)
  sim_start dev pic18 --dump-flash "$T/flash.bin"
  wait $cli_pid
  rc=$?
  took=$(elapsed "$start")
  cat "$T/flash.out" "$T/flash.err"
  [ $rc -eq 0 ] || { fail "flash --wait exited with $rc"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  note "udevd running; flashed ${took} s after the gadget was attached"
}

# ---- The Windows command line under Wine (MODE=wine) -------------------------------
scn_wine_start() {
  linux=$(/opt/quelloader/bin/quelloader-cli --version 2>&1 | head -n1)
  start=$(now)
  cli version --version || { fail "--version under Wine exited with $?"; return 1; }
  took=$(elapsed "$start")
  head -n1 "$T/version.out" | tr -d '\r' | grep -qxF "$linux" ||
    { fail "--version under Wine says \"$(head -n1 "$T/version.out")\", not \"$linux\""; return 1; }
  note "$linux under Wine: first start $(cat /tmp/wine/first-start) s, now ${took} s"
}

# A Windows console program ends its lines with CR LF.
unix_lines() { for f in "$@"; do [ -f "$f" ] && sed -i 's/\r$//' "$f"; done; return 0; }
# wine_cli LOGNAME ARGS...: cli, with the output's lines as Linux has them.
wine_cli() {
  cli "$@"
  rc=$?
  unix_lines "$T/$1.out" "$T/$1.err"
  return $rc
}
# Wine's HID bus has opened the simulated device TAG (it lists it a moment
# later: the command lines here wait for it with --wait).
wine_opened() { grep -q 'opened by a host program' "$T/sim-$1.log"; }
wine_attach() {
  sim_attach "$@" || return 1
  wait_until 20 wine_opened "$1" || { fail "Wine's HID bus did not open the simulated $2 bootloader"; return 1; }
}

# The bootloader as Windows shows it: its device path, USB ID and name,
# marked, no port; Wine's own mouse and keyboard are HID devices too, unmarked. The
# path from the list selects the board for --path.
scn_wine_list() {
  wine_attach dev pic18 || return 1
  wine_cli info info --wait=20 || { fail "info --wait exited with $?"; return 1; }
  grep -qF PIC18F4550 "$T/info.out" "$T/info.err" || { fail "info does not show PIC18F4550"; return 1; }
  wine_cli list list || { fail "list exited with $?"; return 1; }
  [ "$(grep -c '\[bootloader\]' "$T/list.out")" -eq 1 ] || { fail "list does not mark exactly one bootloader"; return 1; }
  line=$(grep '\[bootloader\]' "$T/list.out")
  for want in 1209:0001 "$BOOTLOADER"; do
    echo "$line" | grep -qiF -- "$want" || { fail "list shows \"$line\", without $want"; return 1; }
  done
  path=${line%% *}
  # Through /dev/uhid there is no USB device, so no port to show.
  echo "$line" | grep -q '  port ' && { fail "list shows a port for a board without one: $line"; return 1; }
  case "$path" in '\\?\'*) ;; *) fail "the bootloader's path $path is no Windows device path"; return 1 ;; esac
  grep -v '\[bootloader\]' "$T/list.out" | grep -qF "$BOOTLOADER" && { fail "a bootloader is listed unmarked"; return 1; }
  wine_cli path info --path "$path" || { fail "info --path exited with $?"; return 1; }
  grep -qF PIC18F4550 "$T/path.out" "$T/path.err" || { fail "info --path does not show PIC18F4550"; return 1; }
  note "$line; --path selects it ($(grep -c . "$T/list.out") HID devices listed)"
}

# Each preset flashed under Wine, the whole flash compared with the layout.
wine_flash_preset() {
  preset=$1 fixture=$2
  wine_attach dev "$preset" --dump-flash "$T/flash.bin" || return 1
  start=$(now)
  wine_cli flash flash "$FX/$fixture" --wait=20 --yes
  rc=$?
  took=$(elapsed "$start")
  [ $rc -eq 0 ] || { fail "flash exited with $rc"; return 1; }
  grep -qF "$(preset_field "$preset" 7)" "$T/flash.err" "$T/flash.out" ||
    { fail "flash does not name the device $(preset_field "$preset" 7)"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus after the reset"; return 1; }
  same_flash "$T/flash.bin" "$EXP/$preset.${fixture%.hex}.bin" || return 1
  note "$fixture in ${took} s with Wine's start, flash identical ($(size_of "$T/flash.bin") bytes)"
}
scn_wine_flash_pic18() { wine_flash_preset pic18 pic18-app-6k.hex; }
scn_wine_flash_pic18j() { wine_flash_preset pic18j pic18-app-24k.hex; }
scn_wine_flash_pic16() { wine_flash_preset pic16 pic16-app-4kw.hex; }

# --wait: the command line has looked (and says it waits) before the board
# is plugged in; Windows' device arrival brings it.
scn_wine_wait_hotplug() {
  [ "$(count_nodes)" -eq 0 ] || { fail "a bootloader is already attached"; return 1; }
  timeout 60 quelloader-cli flash "$FX/pic18-app-6k.hex" --all --expect 1 --wait=45 --yes > "$T/flash.out" 2> "$T/flash.err" &
  cli_pid=$!
  wait_until 30 grep -q '^Waiting for 1 bootloaders' "$T/flash.err" ||
    { unix_lines "$T/flash.err"; cat "$T/flash.err"; fail "the command line does not say it waits"; return 1; }
  start=$(now)
  sim_start dev pic18 --dump-flash "$T/flash.bin"
  wait $cli_pid
  rc=$?
  took=$(elapsed "$start")
  unix_lines "$T/flash.out" "$T/flash.err"
  cat "$T/flash.out" "$T/flash.err"
  [ $rc -eq 0 ] || { fail "flash --wait exited with $rc"; return 1; }
  wait_until 10 sim_ended dev || { fail "the device did not leave the bus after the reset"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18.pic18-app-6k.bin" || return 1
  note "found the board on hot-plug and flashed it ${took} s after it was plugged in"
}

# Unplugged in the middle of the write: the removal is told, exit 1, and the
# flash holds a prefix of the upload in whole blocks, nothing past it.
scn_wine_unplug_mid_write() {
  wine_attach dev pic18 --dump-flash "$T/flash.bin" --fault unplug:40 || return 1
  wine_cli flash flash "$FX/pic18-app-6k.hex" --wait=20 --yes
  rc=$?
  [ $rc -eq 1 ] || { fail "flash exited with $rc, not 1"; return 1; }
  grep -qE '^Error: Device .+ removed\.$' "$T/flash.err" || { fail "no removal line on stderr"; return 1; }
  grep -q 'Completed successfully' "$T/flash.err" "$T/flash.out" && { fail "the upload reported success"; return 1; }
  wait_until 10 sim_ended dev || { fail "the simulator did not end after its unplug"; return 1; }
  written_prefix "$T/flash.bin" pic18 pic18-app-6k || return 1
  note "exit 1 with the removal line; the first $b bytes written, nothing after"
}

# Two boards at once with --all (the command line waits for both).
scn_wine_line_all() {
  sim_start two pic18 --devices 2 --dump-flash "$T/f"
  wait_until 20 nodes_are 2 || { cat "$T/sim-two.log"; fail "no two hidraw nodes for quelloader-sim --devices 2"; return 1; }
  start=$(now)
  wine_cli line flash "$FX/pic18-app-6k.hex" --all --expect 2 --wait=30 --yes || { fail "flash --all exited with $?"; return 1; }
  took=$(elapsed "$start")
  [ "$(grep -c 'Completed successfully\.$' "$T/line.err")" -eq 2 ] || { fail "not two boards completed"; return 1; }
  grep -q '^port ' "$T/line.err" || { fail "no table at the end"; return 1; }
  wait_until 10 sim_ended two || { fail "the boards did not leave the bus after their reset"; return 1; }
  for n in 1 2; do same_flash "$T/f-$n" "$EXP/pic18.pic18-app-6k.bin" || return 1; done
  note "two boards in ${took} s with Wine's start, both flashes identical"
}

# --port under Wine. A board made through /dev/uhid hangs off no USB port,
# and Wine's HID bus reports none for it (wine_list checks that list shows
# none): a --port is refused clearly, exit 4 with the port named and the
# attached board shown by its path, and the board is not touched.
scn_wine_port() {
  wine_attach dev pic18 --dump-flash "$T/flash.bin" || return 1
  wine_cli info info --wait=20 || { fail "info --wait exited with $?: $(tr '\n' ' ' < "$T/info.err")"; return 1; }
  wine_cli flash flash "$FX/pic18-app-6k.hex" --port 1-1 --yes
  rc=$?
  [ $rc -eq 4 ] || { fail "flash --port 1-1 exited with $rc, not 4"; return 1; }
  grep -qx 'No bootloader on port 1-1\.' "$T/flash.err" || { fail "the refusal does not name the port"; return 1; }
  grep -A3 '^Attached bootloaders:' "$T/flash.err" | grep -qiF '\\?\hid#vid_1209&pid_0001' ||
    { fail "the refusal does not show the attached board by its path"; return 1; }
  sim_running dev || { fail "the board left the bus"; return 1; }
  kill -TERM "$(sim_pid dev)"
  wait_until 10 sim_ended dev || { fail "the simulator did not end on SIGTERM"; return 1; }
  same_flash "$T/flash.bin" "$EXP/pic18.pristine.bin" || { fail "the board's flash changed"; return 1; }
  note "--port 1-1 refused with exit 4 and the attached board shown; the board untouched"
}

# ---- The page in Chromium on the browser's own WebHID (MODE=web) -------------------
# web-page (guest-init.sh) runs tools/e2e/web_page.mjs in the host's root;
# its last line is "PAGE-RESULT ok SECONDS LINES" or "PAGE-RESULT fail WHY".
page_result() { grep '^PAGE-RESULT ' "$T/page.out" | tail -n1; }
page_failed() {
  cat "$T/page.out"
  why=$(page_result)
  if [ -n "$why" ]; then fail "the page: ${why#PAGE-RESULT fail }"; else fail "the page gave no result (exit $1)"; fi
}

# page_flashed RC PRESET FIXTURE: the page's upload ended well, the board
# left the bus after its reset and its flash is FIXTURE's image; the
# page's upload time and terminal lines in $page_took and $page_lines.
page_flashed() {
  [ "$1" -eq 0 ] || { page_failed "$1"; return 1; }
  wait_until 20 sim_ended dev || { fail "the device did not leave the bus after the reset"; return 1; }
  same_flash "$T/flash.bin" "$EXP/$2.${3%.hex}.bin" || return 1
  page_took=$(page_result | cut -d' ' -f3)
  page_lines=$(page_result | cut -d' ' -f4)
}
page_ready_or_ended() { [ -e "$T/page-ready" ] || ! kill -0 "$1" 2>/dev/null; }

# A board attached before the page opens: granted by the policy, the page
# finds it at its start, connects, uploads and resets it; the flash is compared.
scn_web_flash_pic18() {
  sim_attach dev pic18 --dump-flash "$T/flash.bin" || return 1
  start=$(now)
  web-page flash /tmp/web/site "$WEB_URL" "$FX/pic18-app-6k.hex" PIC18F4550 > "$T/page.out" 2>&1
  rc=$?
  took=$(elapsed "$start")
  page_flashed $rc pic18 pic18-app-6k.hex || return 1
  note "Chromium's WebHID: uploaded in $page_took s ($page_lines terminal lines), ${took} s with Chromium's start; flash identical"
}

# The page is open with no board; the board plugged in then comes as
# WebHID's connect event, and is flashed.
scn_web_hotplug_pic16() {
  [ "$(count_nodes)" -eq 0 ] || { fail "a bootloader is already attached"; return 1; }
  web-page hotplug /tmp/web/site "$WEB_URL" "$FX/pic16-app-4kw.hex" PIC16F1459 > "$T/page.out" 2>&1 &
  page_pid=$!
  wait_until $((WEB_SCENARIO_LIMIT / 2)) page_ready_or_ended $page_pid
  [ -e "$T/page-ready" ] || { kill $page_pid 2>/dev/null; page_failed none; return 1; }
  start=$(now)
  sim_start dev pic16 --dump-flash "$T/flash.bin"
  wait $page_pid
  rc=$?
  took=$(elapsed "$start")
  page_flashed $rc pic16 pic16-app-4kw.hex || return 1
  note "plugged in with the page open: found and flashed ${took} s later (upload $page_took s); flash identical"
}

# Unplugged in the middle of the write: WebHID's disconnect event ends the
# upload with the removal, no end dialog; the flash holds a prefix of the
# upload in whole blocks, nothing past it.
scn_web_unplug_mid_write() {
  sim_attach dev pic18 --dump-flash "$T/flash.bin" --fault unplug:40 || return 1
  web-page unplug /tmp/web/site "$WEB_URL" "$FX/pic18-app-6k.hex" PIC18F4550 > "$T/page.out" 2>&1
  rc=$?
  [ $rc -eq 0 ] || { page_failed $rc; return 1; }
  wait_until 10 sim_ended dev || { fail "the simulator did not end after its unplug"; return 1; }
  written_prefix "$T/flash.bin" pic18 pic18-app-6k || return 1
  note "the removal shown, no end dialog; the first $b bytes written, nothing after"
}
