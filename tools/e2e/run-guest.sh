#!/usr/bin/env bash
# End-to-end tests on a real Linux kernel: boots Debian's kernel under QEMU
# with an initramfs holding busybox, the HID modules (hid, hid-generic, uhid)
# and our programs, runs the scenarios of tools/e2e/scenarios.sh inside the
# guest and checks their result lines. The simulated bootloader there is a
# real kernel HID device made through /dev/uhid, so udev enumeration and
# monitoring, /dev/hidrawN, report IDs and unplug are all the kernel's own.
#
# With the USB mode (on by default) the same guest then loads dummy_hcd,
# libcomposite, usb_f_hid and usbhid and runs the scenarios again with the
# simulator as a configfs USB HID gadget (usb_ prefix), plus those only a USB
# device can show, and systemd-udevd with the shipped rule.
#
# With the Wine mode (on by default when the Windows command line is built)
# the guest then mounts the host's root read-only over virtio-9p and runs the
# Windows quelloader-cli.exe under the host's own Wine in it (wine_ prefix),
# against the same simulator through /dev/uhid, found by Wine's HID bus on
# hidraw. The Wine prefix is made on the host once (BUILD/e2e/wineprefix)
# and copied into the guest's memory.
#
# With the web mode (on by default when the page is built and the page
# tests' playwright-core installed) the guest mounts the host's root the same
# way and opens the page (BUILD/web, made by tools/web.sh) in the host's Chromium, driven by
# tools/e2e/web_page.mjs with the page tests' playwright-core, on the
# browser's own WebHID: a managed policy grants the simulator's USB ID to
# the page's origin, so the page finds the /dev/uhid device without a
# chooser, flashes it, and the flash is compared (web_ prefix).
#
# Usage: tools/e2e/run-guest.sh [--build DIR] [--work DIR] [--cli PATH]
#          [--sim PATH] [--linktest PATH] [--roundtrip PATH] [--fixtures DIR] [--only "NAME ..."]
#          [--wincli PATH] [--site DIR] [--modes "uhid usb wine web"] [--timeout SEC]
# Programs default to their places in the build folder (build/ of the
# checkout); one given as "none" takes its scenarios out of the run.
# Scenarios: uhid_node sim_appears flash_pic18 flash_pic18j flash_pic16
#   wait_hotplug unplug_mid_write two_devices other_leaves_mid_upload
#   simulated_like_real line_all reset_leaves_bus no_access device_link_qt; in the USB
#   mode usb_ and the same names (but uhid_node and simulated_like_real), and
#   usb_modules usb_list_facts usb_two_flash_at_once usb_come_back udev_rule
#   udev_trigger udev_hotplug usb_line_all usb_line_port usb_line_loop
#   usb_plug_storm; with --only alone, the
#   measurements round_trip and usb_round_trip (one report's round trip on
#   each path); in the Wine mode wine_start wine_list wine_port wine_flash_pic18
#   wine_flash_pic18j wine_flash_pic16 wine_wait_hotplug wine_unplug_mid_write
#   wine_line_all; in the web mode web_flash_pic18 web_hotplug_pic16
#   web_unplug_mid_write
#
# Exit code 0 only when every expected scenario printed PASS. Scenarios whose
# program is not built (or lacks the commands they need) are not expected and
# are listed as not run. The kernel package is kept in BUILD/e2e/cache.
set -euo pipefail

run_start=$(date +%s.%N)
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="$repo/build"
work=""
cli=""
sim=""
linktest=""
roundtrip=""
fixtures="$repo/../shared/fixtures/hex"
wincli=""
site=""
only=""
modes=""
guest_timeout=""

while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --cli) cli="$2"; shift 2 ;;
    --sim) sim="$2"; shift 2 ;;
    --linktest) linktest="$2"; shift 2 ;;
    --roundtrip) roundtrip="$2"; shift 2 ;;
    --wincli) wincli="$2"; shift 2 ;;
    --site) site="$2"; shift 2 ;;
    --fixtures) fixtures="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --modes) modes="$2"; shift 2 ;;
    --timeout) guest_timeout="$2"; shift 2 ;;
    -h|--help) sed -n '2,48p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-guest: unknown argument $1" >&2; exit 2 ;;
  esac
done

build="$(cd "$build" && pwd)"
[ -n "$work" ] || work="$build/e2e"
[ -n "$cli" ] || cli="$build/cli/quelloader-cli"
[ -n "$sim" ] || sim="$build/simtool/quelloader-sim"
[ -n "$linktest" ] || linktest="$build/tests/e2e/e2e_window_link_test"
[ -n "$roundtrip" ] || roundtrip="$build/tests/e2e/e2e_round_trip"
[ -n "$wincli" ] || wincli="$repo/build-windows/cli/quelloader-cli.exe"
[ -n "$site" ] || site="$build/web"
# The Windows command line is a build of its own (tools/build-windows.sh):
# without it the Wine mode is left out, and said so, not failed.
wine_why=""
web_why=""
if [ -z "$modes" ]; then
  modes="uhid usb"
  if [ "$wincli" = none ]; then
    wine_why="--wincli none"
  elif [ -f "$wincli" ]; then
    modes="$modes wine"
  else
    wine_why="no Windows command line at $wincli"
  fi
  # The page is a build of its own too (tools/web.sh), and its driver needs
  # the page tests' playwright-core (tools/web.sh page-test installs it).
  if [ ! -f "$site/index.html" ]; then
    web_why="no page at $site"
  elif [ ! -f "$repo/web/tests/browser/node_modules/playwright-core/package.json" ]; then
    web_why="no playwright-core in web/tests/browser (tools/web.sh page-test installs it)"
  else
    modes="$modes web"
  fi
fi
want_wine=0
case " $modes " in *" wine "*) want_wine=1 ;; esac
want_web=0
case " $modes " in *" web "*) want_web=1 ;; esac
# Chromium's starts under emulation take most of a minute each.
[ -n "$guest_timeout" ] || guest_timeout=$((480 + 420 * want_web))
cache="$build/e2e/cache"
mkdir -p "$cache"

log() { echo "run-guest: $*" >&2; }

# ---- 1. What the guest needs on the host ---------------------------------
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
# The guest has no libc of its own for busybox: it must be the static build.
if [ ! -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then need+=(busybox-static); fi
command -v cpio >/dev/null || need+=(cpio)
command -v srec_cat >/dev/null || need+=(srecord)
command -v python3 >/dev/null || need+=(python3)
if [ $want_web -eq 1 ]; then
  command -v chromium >/dev/null || need+=(chromium)
  command -v node >/dev/null || need+=(nodejs)
fi
if [ $want_wine -eq 1 ]; then
  command -v wine >/dev/null && [ -x /usr/lib/wine/wine64 ] || need+=(wine wine64)
fi
if [ ${#need[@]} -gt 0 ]; then
  log "installing ${need[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { log "needs ${need[*]}: install them, or run as root"; exit 2; }
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# ---- 2. The kernel: Debian's current package, unpacked in the cache -------
kver="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*\)$/\1/p' | head -n1)"
if [ -z "$kver" ]; then
  # No package lists yet (fresh CI image).
  apt-get update -qq >/dev/null 2>&1 || true
  kver="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*\)$/\1/p' | head -n1)"
fi
[ -n "$kver" ] || { log "cannot tell the current kernel version (apt-cache depends linux-image-amd64)"; exit 2; }
kdir="$cache/kernel-$kver"
# The HID modules, then the USB host and gadget side in the order they load.
hid_modules="hid hid-generic uhid"
usb_modules="usb-common usbcore udc-core configfs libcomposite usb_f_hid dummy_hcd usbhid"
# The host's root over virtio-9p, for the Wine mode.
p9_modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p"
if [ ! -s "$kdir/vmlinux" ] || [ ! -s "$kdir/modules/uhid.ko" ] || [ ! -s "$kdir/modules/usbhid.ko" ] ||
   [ ! -s "$kdir/modules/9p.ko" ]; then
  log "fetching linux-image-$kver"
  rm -rf "$kdir" && mkdir -p "$kdir/modules"
  ( cd "$cache" && rm -f linux-image-"$kver"_*.deb && apt-get download -qq "linux-image-$kver" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2 || true )
  deb="$(ls "$cache"/linux-image-"$kver"_*.deb 2>/dev/null | head -n1)"
  [ -n "$deb" ] || { log "apt-get download linux-image-$kver failed"; exit 2; }
  # Only the kernel and the modules above are needed out of the package.
  mkdir -p "$kdir/x"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir/x" --wildcards \
    './boot/vmlinuz-*' '*/drivers/hid/hid.ko*' '*/drivers/hid/hid-generic.ko*' '*/drivers/hid/uhid.ko*' \
    '*/drivers/hid/usbhid/usbhid.ko*' '*/drivers/usb/common/usb-common.ko*' '*/drivers/usb/core/usbcore.ko*' \
    '*/drivers/usb/gadget/udc/udc-core.ko*' '*/drivers/usb/gadget/udc/dummy_hcd.ko*' \
    '*/drivers/usb/gadget/libcomposite.ko*' '*/drivers/usb/gadget/function/usb_f_hid.ko*' \
    '*/fs/configfs/configfs.ko*' '*/drivers/virtio/virtio*.ko*' '*/fs/netfs/netfs.ko*' '*/fs/fscache/fscache.ko*' \
    '*/net/9p/9pnet*.ko*' '*/fs/9p/9p.ko*'
  # The decompressed ELF boots directly (PVH entry), seconds faster under TCG
  # than the self-decompressing bzImage.
  python3 - "$kdir/x/boot/vmlinuz-$kver" "$kdir/vmlinux" <<'PY'
import lzma, sys
data = open(sys.argv[1], "rb").read()
at = data.find(b"\xfd7zXZ\x00")
if at < 0:
    sys.exit("no XZ stream in " + sys.argv[1])
out = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])
if out[:4] != b"\x7fELF":
    sys.exit("the decompressed kernel is not an ELF image")
open(sys.argv[2], "wb").write(out)
PY
  for m in $hid_modules $usb_modules $p9_modules; do
    f="$(find "$kdir/x" -name "$m.ko*" | head -n1)"
    [ -n "$f" ] || { log "module $m not in the package"; exit 2; }
    case "$f" in
      *.xz) xz -dc "$f" > "$kdir/modules/$m.ko" ;;
      *.zst) zstd -qdc "$f" > "$kdir/modules/$m.ko" ;;
      *) cp "$f" "$kdir/modules/$m.ko" ;;
    esac
  done
  rm -rf "$kdir/x" "$deb"
fi

# ---- 2b. udevd: Debian's udev package, unpacked in the cache ----------------
want_usb=0
case " $modes " in *" usb "*) want_usb=1 ;; esac
udir=""
# Wine's HID bus hears of hot-plugged devices from udevd alone.
if [ $want_usb -eq 1 ] || [ $want_wine -eq 1 ] || [ $want_web -eq 1 ]; then
  uver="$(apt-cache policy udev 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n1)"
  [ -n "$uver" ] && [ "$uver" != "(none)" ] || { log "no udev package known to apt (apt-cache policy udev)"; exit 2; }
  udir="$cache/udev-$uver"
  if [ ! -x "$udir/bin/udevadm" ]; then
    log "fetching udev $uver"
    rm -rf "$udir" && mkdir -p "$udir/x" "$udir/bin" "$udir/lib"
    ( cd "$udir" && apt-get download -qq "udev=$uver" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2 || true )
    deb="$(ls "$udir"/udev_*.deb 2>/dev/null | head -n1)"
    [ -n "$deb" ] || { log "apt-get download udev failed"; exit 2; }
    dpkg-deb -x "$deb" "$udir/x"
    cp "$udir/x/bin/udevadm" "$udir/bin/udevadm"
    rm -rf "$udir/x" "$deb"
  fi
  # Libraries udevadm needs that this machine lacks come from their packages.
  for lib in $(LD_LIBRARY_PATH="$udir/lib" ldd "$udir/bin/udevadm" 2>/dev/null | awk '/not found/ {print $1}'); do
    case "$lib" in
      libkmod.so.*) pkg=libkmod2 ;; libcap.so.*) pkg=libcap2 ;; libacl.so.*) pkg=libacl1 ;;
      libblkid.so.*) pkg=libblkid1 ;; libselinux.so.*) pkg=libselinux1 ;; libpcre2-8.so.*) pkg=libpcre2-8-0 ;;
      libcrypto.so.*) pkg=libssl3 ;; libzstd.so.*) pkg=libzstd1 ;; liblzma.so.*) pkg=liblzma5 ;;
      *) log "udevadm needs $lib, which this machine lacks"; exit 2 ;;
    esac
    log "fetching $pkg for udevadm"
    mkdir -p "$udir/x"
    ( cd "$udir/x" && apt-get download -qq "$pkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2 || true )
    for d in "$udir"/x/*.deb; do dpkg-deb -x "$d" "$udir/x/root"; done
    find "$udir/x/root" -name "$lib*" -exec cp -L {} "$udir/lib/" \;
    rm -rf "$udir/x"
  done
fi

# ---- 3. Which scenarios can run -------------------------------------------
have_cli=0; have_sim=0; have_link=0; have_rt=0
[ -x "$cli" ] && have_cli=1
[ -x "$roundtrip" ] && have_rt=1
[ -x "$sim" ] && have_sim=1
[ -n "$linktest" ] && [ -x "$linktest" ] && have_link=1

# The command line's device commands (list, info, flash on a real device).
have_devcmds=0
if [ $have_cli -eq 1 ] && "$cli" list --help >/dev/null 2>&1 && "$cli" info --help >/dev/null 2>&1 &&
   "$cli" flash --help 2>/dev/null | grep -q -- '--path' && "$cli" flash --help 2>/dev/null | grep -q -- '--wait'; then
  have_devcmds=1
fi
cli_why="no quelloader-sim, or quelloader-cli without list, info and flash --path/--wait"

all_scenarios="uhid_node"
skipped=""
add() {  # add NAME CONDITION REASON
  if [ "$2" -eq 1 ]; then all_scenarios="$all_scenarios $1"; else skipped="$skipped $1($3)"; fi
}
add sim_appears "$have_sim" "no quelloader-sim"
for p in pic18 pic18j pic16; do
  add "flash_$p" $((have_sim & have_devcmds)) "$cli_why"
done
add wait_hotplug $((have_sim & have_devcmds)) "$cli_why"
add unplug_mid_write $((have_sim & have_devcmds)) "$cli_why"
add stopped_mid_write $((have_sim & have_devcmds)) "$cli_why"
add two_devices $((have_sim & have_devcmds)) "$cli_why"
add other_leaves_mid_upload $((have_sim & have_devcmds)) "$cli_why"
add simulated_like_real $((have_sim & have_devcmds)) "$cli_why"
add line_all $((have_sim & have_devcmds)) "$cli_why"
add line_signals_pipes $((have_sim & have_devcmds)) "$cli_why"
add reset_leaves_bus $((have_sim & have_devcmds)) "$cli_why"
add no_access $((have_sim & have_devcmds)) "$cli_why"
add device_link_qt $((have_sim & have_link)) "no device-link Qt test"
# Measurements, not checks: only when asked for by --only.
[ -n "$only" ] && add round_trip $((have_sim & have_rt)) "no round-trip program"
case " $modes " in *" uhid "*) ;; *) all_scenarios="" ;; esac
if [ $want_usb -eq 1 ]; then
  # The same scenarios with the simulator as a USB device, then what only
  # USB shows; udevd starts last, so that every scenario before it sees the
  # kernel's own events.
  add usb_modules 1 ""
  add usb_sim_appears "$have_sim" "no quelloader-sim"
  for s in flash_pic18 flash_pic18j flash_pic16 wait_hotplug unplug_mid_write stopped_mid_write two_devices \
           other_leaves_mid_upload reset_leaves_bus no_access list_facts two_flash_at_once come_back; do
    add "usb_$s" $((have_sim & have_devcmds)) "$cli_why"
  done
  add usb_device_link_qt $((have_sim & have_link)) "no device-link Qt test"
  [ -n "$only" ] && add usb_round_trip $((have_sim & have_rt)) "no round-trip program"
  for s in line_all line_port line_loop deaf_board line_signals_pipes; do add "usb_$s" $((have_sim & have_devcmds)) "$cli_why"; done
  add usb_plug_storm $((have_sim & have_link)) "no device-link Qt test"
  add udev_rule "$have_sim" "no quelloader-sim"
  add udev_trigger $((have_sim & have_devcmds & have_link)) "$cli_why, or no device-link Qt test"
  add udev_hotplug $((have_sim & have_devcmds)) "$cli_why"
fi
if [ $want_wine -eq 1 ]; then
  # The Windows command line under the host's Wine, on the simulator made
  # through /dev/uhid; udevd is running by then (Wine needs it).
  have_wincli=0
  [ -f "$wincli" ] && have_wincli=1
  wincli_why="no Windows command line at $wincli"
  add wine_start "$have_wincli" "$wincli_why"
  # port right after list: in a scenario after line_all a board made later
  # took reports but Wine 8 handed back none of its answers (not yet
  # explained; three times in a row here).
  for s in list port flash_pic18 flash_pic18j flash_pic16 wait_hotplug unplug_mid_write line_all; do
    add "wine_$s" $((have_sim & have_wincli)) "no quelloader-sim, or $wincli_why"
  done
fi
if [ $want_web -eq 1 ]; then
  # The page and the page tests' playwright-core (tools/web.sh, then
  # tools/web.sh page-test, which installs it).
  have_page=0
  [ -f "$site/index.html" ] && [ -f "$repo/web/tests/browser/node_modules/playwright-core/package.json" ] && have_page=1
  page_why="no page at $site or no playwright-core (tools/web.sh; tools/web.sh page-test)"
  for s in flash_pic18 hotplug_pic16 unplug_mid_write; do
    add "web_$s" $((have_sim & have_page)) "no quelloader-sim, or $page_why"
  done
fi
all_scenarios="${all_scenarios# }"

scenarios=""
if [ -n "$only" ]; then
  for s in $only; do
    case " $all_scenarios " in
      *" $s "*) scenarios="$scenarios $s" ;;
      *) log "scenario $s cannot run here"; exit 2 ;;
    esac
  done
else
  scenarios="$all_scenarios"
fi
scenarios="${scenarios# }"

# ---- 4. The initramfs --------------------------------------------------------
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,proc,sys,dev,tmp,run,etc,host,e2e/fixtures,e2e/expected,opt/quelloader/bin,lib/modules}
cp /bin/busybox "$root/bin/busybox"
for a in $(/bin/busybox --list); do
  [ "$a" = busybox ] || ln -s busybox "$root/bin/$a"
done
cp "$kdir"/modules/*.ko "$root/lib/modules/"

libdirs=""
copy_with_libs() {  # copy_with_libs FILE DEST
  cp -L "$1" "$2"
  local lib
  for lib in $(LD_LIBRARY_PATH="${udir:+$udir/lib}" ldd "$1" 2>/dev/null | awk '/=> \//{print $3} /^[[:space:]]*\/[^ ]*ld-linux/{print $1}'); do
    if [ ! -e "$root$lib" ]; then
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    fi
    case ":$libdirs:" in *":$(dirname "$lib"):"*) ;; *) libdirs="$libdirs:$(dirname "$lib")" ;; esac
  done
}
[ $have_cli -eq 1 ] && copy_with_libs "$cli" "$root/opt/quelloader/bin/quelloader-cli"
[ $have_sim -eq 1 ] && copy_with_libs "$sim" "$root/opt/quelloader/bin/quelloader-sim"
[ $have_rt -eq 1 ] && copy_with_libs "$roundtrip" "$root/opt/quelloader/bin/e2e-round-trip"
# Qt and its plugin make the image four times bigger: only when it runs.
if [ $have_link -eq 1 ] && case " $scenarios " in *"device_link_qt "*|*" usb_plug_storm "*|*" udev_trigger "*) true ;; *) false ;; esac; then
  copy_with_libs "$linktest" "$root/opt/quelloader/bin/e2e-window-link-test"
  # The offscreen platform plugin, at the path Qt looks for it.
  plug="$(find /usr/lib/*/qt6/plugins/platforms -name 'libqoffscreen.so' 2>/dev/null | head -n1)"
  if [ -n "$plug" ]; then
    mkdir -p "$root$(dirname "$plug")"
    copy_with_libs "$plug" "$root$plug"
  fi
fi
if [ -n "$udir" ]; then
  rm -f "$root/bin/udevadm" "$root/bin/systemd-udevd"
  copy_with_libs "$udir/bin/udevadm" "$root/bin/udevadm"
  ln -s udevadm "$root/bin/systemd-udevd"
  mkdir -p "$root/etc/udev/rules.d"
  cp "$repo/udev/70-quelloader.rules" "$root/etc/udev/rules.d/"
fi
cp "$fixtures"/*.hex "$root/e2e/fixtures/"
cp "$here/guest-init.sh" "$root/init"
cp "$here/scenarios.sh" "$root/e2e/scenarios.sh"
chmod +x "$root/init"

# Expected flash contents, computed here from the HEX files with srec_cat and
# the upload's memory layout; the guest compares the device's dump with them.
# The simulated bootloader's presets: McuType, EraseBlockSize, WriteBlockSize,
# BootStart, flash size, device name. The guest checks that each device
# reports these values before trusting the files made from them.
presets="pic18 2 64 32 0x7C00 0x8000 PIC18F4550
pic18j 2 1024 64 0xF000 0x10000 PIC18F46J50
pic16 1 64 64 0x3C00 0x4000 PIC16F1459"
# preset:fixture pairs the scenarios upload.
# Small images are avoided: the main erase's time-out is 10 ms a block, too
# short for a round trip through an emulated guest when only a block or two
# are erased.
uploads="pic18:pic18-edge-below-boot.hex pic18:pic18-app-6k.hex
pic18j:pic18-app-24k.hex pic16:pic16-app-4kw.hex pic16:pic16-app-4kw-32.hex"
if [ $have_sim -eq 1 ]; then
  echo "$presets" > "$root/e2e/presets"
  while read -r name mcu eb wb boot size _; do
    common=(--boot-start "$boot" --erase-block "$eb" --write-block "$wb" --mcu-type "$mcu" --flash-size "$size")
    python3 "$here/expected_flash.py" "${common[@]}" --out "$root/e2e/expected/$name.pristine.bin"
    for pair in $uploads; do
      [ "${pair%%:*}" = "$name" ] || continue
      fx="${pair#*:}"
      python3 "$here/expected_flash.py" "${common[@]}" --hex "$fixtures/$fx" \
        --out "$root/e2e/expected/$name.${fx%.hex}.bin" >/dev/null
    done
  done <<< "$presets"
fi

# The Wine prefix: made here once, for this Wine (in the guest it takes
# minutes). Wine's HID bus is told to leave SDL and the input devices
# alone, else it starts the SDL bus only and lists the mouse as a HID device.
prefix="$build/e2e/wineprefix"
run_wine=0
case " $scenarios " in *" wine_"*) run_wine=1 ;; esac
run_web=0
case " $scenarios " in *" web_"*) run_web=1 ;; esac
# Chromium's first start under emulation takes minutes.
web_limit=420
if [ $run_wine -eq 1 ]; then
  wine_env=(env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" WINEDEBUG=-all)
  stamp="$(wine --version 2>/dev/null) winebus: no SDL, no input; DLLs linked"
  if [ "$(cat "$prefix/e2e-stamp" 2>/dev/null)" != "$stamp" ]; then
    log "making the Wine prefix $prefix"
    rm -rf "$prefix"
    "${wine_env[@]}" wineboot -i >/dev/null 2>&1 || { log "wineboot -i failed"; exit 2; }
    for v in "Enable SDL=0" "DisableInput=1"; do
      "${wine_env[@]}" wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v "${v%=*}" \
        /t REG_DWORD /d "${v#*=}" /f >/dev/null 2>&1 || { log "wine reg add ${v%=*} failed"; exit 2; }
    done
    "${wine_env[@]}" wineserver -w
    # The DLLs wineboot copied into the prefix are Wine's own files: links to
    # them make the copy the guest keeps in its memory 13 MB, not 700.
    python3 - "$prefix" <<'PY'
import filecmp, glob, os, sys
own = {}
for d in glob.glob("/usr/lib/*/wine/*-windows") + glob.glob("/usr/lib/wine/*-windows") + ["/usr/share/wine/nls"]:
    for name in os.listdir(d) if os.path.isdir(d) else []:
        own.setdefault(name.lower(), os.path.join(d, name))
for folder, _, files in os.walk(os.path.join(sys.argv[1], "drive_c")):
    for name in files:
        path = os.path.join(folder, name)
        src = own.get(name.lower())
        if src and not os.path.islink(path) and filecmp.cmp(path, src, shallow=False):
            os.remove(path)
            os.symlink(src, path)
PY
    echo "$stamp" > "$prefix/e2e-stamp"
  fi
fi

cat > "$root/e2e/config" <<EOF
SCENARIOS="$scenarios"
LIBDIRS="${libdirs#:}"
WATCHDOG=$((guest_timeout - 10))
SCENARIO_LIMIT=40
HID_MODULES="$hid_modules"
USB_MODULES="$usb_modules"
P9_MODULES="$p9_modules"
WINE_PREFIX="$prefix"
WINCLI="$(cd "$(dirname "$wincli")" 2>/dev/null && pwd)/$(basename "$wincli")"
WEB_SCENARIO_LIMIT=$web_limit
WEB_SITE="$(cd "$site" 2>/dev/null && pwd)"
WEB_DRIVER="$here/web_page.mjs"
WEB_PLAYWRIGHT="$repo/web/tests/browser/node_modules/playwright-core"
WEB_URL=http://127.0.0.1:8737/
WEB_VID=$((0x1209))
WEB_PID=$((0x0001))
EOF

initrd="$work/initramfs.cpio"
( cd "$root" && find . | cpio -o -H newc --quiet ) > "$initrd"

# ---- 5. Boot -------------------------------------------------------------------
console="$work/console.log"
log "$(awk -v a="$run_start" -v b="$(date +%s.%N)" 'BEGIN{printf "guest prepared in %.1f s", b-a}'); booting kernel $kver with scenarios: $scenarios"
# The Wine mode sees the host's root, read-only, and needs the memory for
# Wine and its prefix.
guest_mem=512M
host_root=()
if [ $run_wine -eq 1 ] || [ $run_web -eq 1 ]; then
  guest_mem=1024M
  [ $run_web -eq 1 ] && guest_mem=2048M
  host_root=(-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap)
fi
start=$(date +%s.%N)
set +e
timeout --kill-after=5 "$guest_timeout" qemu-system-x86_64 -accel tcg -m "$guest_mem" -smp 2 -nographic \
  -no-reboot -net none -kernel "$kdir/vmlinux" -initrd "$initrd" "${host_root[@]}" \
  -append "console=ttyS0 quiet panic=-1" </dev/null >"$console" 2>&1
qrc=$?
set -e
end=$(date +%s.%N)
tr -d '\r' < "$console" > "$console.txt"

# ---- 6. Verdict ------------------------------------------------------------------
# The result lines, also when the firmware's output shares their line.
results="$work/results.txt"
grep -oE 'E2E [A-Za-z0-9_]+ (PASS|FAIL)( .*)?$' "$console.txt" > "$results" || true
cat "$results"
failed=0
for s in $scenarios; do
  n_pass=$(grep -cE "^E2E $s PASS( |$)" "$results" || true)
  n_all=$(grep -cE "^E2E $s " "$results" || true)
  if [ "$n_pass" -ne 1 ] || [ "$n_all" -ne 1 ]; then
    [ "$n_all" -eq 0 ] && echo "E2E $s FAIL no result line"
    failed=1
  fi
done
# A line of something that is no scenario (the watchdog, module loading) fails too.
if grep -vqE "^E2E ($(echo "$scenarios" | tr ' ' '|')) " "$results"; then
  failed=1
fi
# Every program is built with the project, so a scenario that cannot run
# means a program lost a command: that fails the whole run, unless the
# caller chose the scenarios with --only.
if [ -n "$skipped" ]; then
  log "not run:$skipped"
  [ -z "$only" ] && failed=1
fi
[ -n "$wine_why" ] && log "not run: the Wine mode ($wine_why; tools/build-windows.sh builds it)"
[ -n "$web_why" ] && log "not run: the web mode ($web_why)"
log "$(awk -v a="$start" -v b="$end" 'BEGIN{printf "guest ran %.1f s", b-a}'), qemu exit $qrc"
if [ $qrc -eq 124 ] || [ $qrc -eq 137 ]; then
  log "the guest did not power off within ${guest_timeout} s"
  failed=1
fi
if [ $failed -ne 0 ]; then
  log "FAILED; guest console:"
  sed 's/^/  | /' "$console.txt" >&2
  exit 1
fi
log "all $(echo $scenarios | wc -w) scenarios passed"
