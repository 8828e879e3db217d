#!/usr/bin/env bash
# Checks of the Debian package, one step per CTest test:
#   deb_builds          cpack makes quelloader_<version>_<arch>.deb; unpack it into a scratch root
#   control_fields      name, version, section, maintainer, and a Depends entry for every library
#                       the packaged programs load
#   files               programs, manual pages, desktop entry, icons, udev rule, the page, nothing outside /usr
#   programs_start      every packaged program answers --version from the scratch root, without a display
#   maintainer_scripts  postinst/postrm are harmless where udevadm is missing or fails
#   lintian             Debian's package checker reports nothing (pedantic included), and the licence
#                       travels in the machine-readable copyright file
# Settings come from the environment (QL_*), written by tests/packaging/CMakeLists.txt.
set -uo pipefail

step=${1:?step}
work=${QL_WORK:?}
root=$work/root
control=$work/control
IFS=, read -r -a programs <<<"${QL_PROGRAMS:-}"
IFS=, read -r -a icon_sizes <<<"${QL_ICON_SIZES:-}"
IFS=, read -r -a web_files <<<"${QL_WEB_FILES:-}"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }
finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "ok"; exit 0
}
need() { command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed (package $2; tools/deps.sh installs it)"; }
has_program() { local p; for p in "${programs[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }
deb_file() { ls "$work"/out/*.deb 2>/dev/null | head -n 1; }
needed_libs() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }

# The package's Depends as bare package names, alternatives included.
depends_names() {
  dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed -e 's/(.*)//' -e 's/:.*//' -e 's/[[:space:]]//g' | sed '/^$/d'
}

# Installed packages that ship a library with this soname.
owners_of() {
  dpkg-query -S "*/$1" 2>/dev/null | grep -v '^diversion' | sed 's/: .*//' | tr ',' '\n' \
    | sed -e 's/:.*//' -e 's/[[:space:]]//g' | sed '/^$/d' | sort -u
}

# The commands a CLI11 help lists under "Subcommands:".
commands_of() {
  QT_QPA_PLATFORM=offscreen timeout 20 "$1" --help 2>/dev/null </dev/null | awk '
    tolower($0) ~ /^subcommands:/ { inside = 1; next }
    inside && /^[[:space:]]*$/    { inside = 0; next }
    inside && /^[[:space:]]+[^[:space:]-]/ { print $1 }'
}
long_options() { grep -oE -- '--[a-zA-Z][a-zA-Z0-9-]*' | sort -u; }

# Width and height of a PNG, from its IHDR chunk.
png_size() {
  local hex
  hex=$(od -An -tx1 -j16 -N8 "$1" | tr -d ' \n')
  echo "$((16#${hex:0:8}))x$((16#${hex:8:8}))"
}

case "$step" in
deb_builds)
  need dpkg-deb dpkg
  need dpkg-shlibdeps dpkg-dev
  rm -rf "$work" && mkdir -p "$work/out"
  if ! "$QL_CPACK" -G DEB --config "$QL_BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack could not build the package (is the whole project built?)"
    finish
  fi
  expected="quelloader_${QL_VERSION}_$(dpkg --print-architecture).deb"
  mapfile -t debs < <(cd "$work/out" && ls ./*.deb 2>/dev/null)
  if [ "${#debs[@]}" -ne 1 ] || [ "${debs[0]}" != "./$expected" ]; then
    fail "expected exactly $expected, cpack made: ${debs[*]:-nothing}"
    finish
  fi
  dpkg-deb -x "$work/out/$expected" "$root" || fail "dpkg-deb -x failed"
  dpkg-deb -e "$work/out/$expected" "$control" || fail "dpkg-deb -e failed"
  finish
  ;;

control_fields)
  deb=$(deb_file)
  [ -n "$deb" ] || { fail "no package; packaging.deb_builds failed"; finish; }
  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = "quelloader" ] || fail "Package is '$(field Package)'"
  [ "$(field Version)" = "$QL_VERSION" ] || fail "Version is '$(field Version)', expected $QL_VERSION"
  [ "$(field Section)" = "electronics" ] || fail "Section is '$(field Section)'"
  [ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
  field Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
  [ "$(field Description | wc -l)" -ge 3 ] || fail "Description has no long text"

  # Every library a packaged program loads must come from a package in Depends,
  # or installing the .deb on a clean system gives programs that do not start.
  mapfile -t depends < <(depends_names "$deb")
  echo "Depends: $(field Depends)"
  declare -A owners_cache=()
  for bin in "$root"/usr/bin/*; do
    [ -f "$bin" ] || continue
    while read -r soname; do
      [ -n "$soname" ] || continue
      # dpkg-query -S walks the whole database: ask once per library.
      [ -n "${owners_cache[$soname]+set}" ] || owners_cache[$soname]=$(owners_of "$soname")
      mapfile -t owners < <(printf '%s' "${owners_cache[$soname]}" | sed '/^$/d')
      if [ "${#owners[@]}" -eq 0 ]; then
        fail "$(basename "$bin") needs $soname, which no installed package ships"
        continue
      fi
      found=""
      for o in "${owners[@]}"; do
        for d in "${depends[@]}"; do [ "$o" = "$d" ] && found=$o; done
      done
      [ -n "$found" ] || fail "$(basename "$bin") needs $soname, but Depends has none of: ${owners[*]}"
    done < <(needed_libs "$bin")
  done
  # The window's toolkit, named here too: a window linked statically against
  # nothing would otherwise pass the loop above with an empty Depends.
  if has_program quelloader; then
    for p in libqt6widgets6; do
      printf '%s\n' "${depends[@]}" | grep -qx "$p" || fail "Depends lacks $p"
    done
  fi
  printf '%s\n' "${depends[@]}" | grep -qx libc6 || fail "Depends lacks libc6"

  # Purging leaves nothing behind: no configuration files for dpkg to keep.
  [ ! -s "$control/conffiles" ] || fail "the package has conffiles: $(cat "$control/conffiles")"
  finish
  ;;

files)
  [ -d "$root/usr" ] || { fail "no unpacked package; packaging.deb_builds failed"; finish; }
  stray=$(find "$root" -mindepth 1 -maxdepth 1 ! -name usr -printf '/%f ')
  [ -z "$stray" ] || fail "files outside /usr: $stray"

  for p in "${programs[@]}"; do
    bin=$root/usr/bin/$p
    [ -x "$bin" ] || { fail "usr/bin/$p is missing"; continue; }
    page=$root/usr/share/man/man1/$p.1.gz
    if [ ! -f "$page" ]; then fail "manual page of $p is missing"; continue; fi
    text=$(gzip -dc "$page") || { fail "manual page of $p is not gzip"; continue; }
    text=${text//\\-/-}
    upper=$(echo "$p" | tr '[:lower:]' '[:upper:]')
    grep -q "^\.TH \"*$upper\"* \"*1\"*" <<<"$text" || fail "manual page of $p has no .TH $upper 1 header"
    grep -qF "$QL_VERSION" <<<"$text" || fail "manual page of $p does not give version $QL_VERSION"
    # A page written from an older --help would miss options the program has now.
    mapfile -t options < <(QT_QPA_PLATFORM=offscreen timeout 20 "$bin" --help 2>&1 </dev/null | long_options)
    [ "${#options[@]}" -gt 0 ] || fail "$p --help names no option"
    for o in "${options[@]}"; do
      grep -qF -- "$o" <<<"$text" || fail "manual page of $p lacks $o, which $p --help lists"
    done
    while read -r cmd; do
      grep -qF ".SS \"$p $cmd\"" <<<"$text" || fail "manual page of $p has no section for its command $cmd"
      mapfile -t options < <(timeout 20 "$bin" "$cmd" --help 2>&1 </dev/null | long_options)
      for o in "${options[@]}"; do
        grep -qF -- "$o" <<<"$text" || fail "manual page of $p lacks $o, which $p $cmd --help lists"
      done
    done < <(commands_of "$bin")
  done

  # The documents the command line's help (and so its manual page) points
  # to are where it says.
  if has_program quelloader-cli; then
    for doc in json-events.md production-log.md; do
      [ -s "$root/usr/share/doc/quelloader/$doc" ] || fail "usr/share/doc/quelloader/$doc is missing"
    done
    while read -r named; do
      [ -f "$root$named" ] || fail "quelloader-cli flash --help names $named, which the package lacks"
    done < <(timeout 20 "$root/usr/bin/quelloader-cli" flash --help 2>&1 </dev/null | tr -s ' \n' '\n\n' \
               | grep -oE '/usr/share/doc/[A-Za-z0-9._/-]+\.md' | sort -u)
  fi

  if has_program quelloader; then
    desktop=$root/usr/share/applications/quelloader.desktop
    if [ ! -f "$desktop" ]; then
      fail "desktop entry is missing"
    else
      need desktop-file-validate desktop-file-utils
      # Hints and warnings count too: the entry should be clean.
      out=$(desktop-file-validate "$desktop" 2>&1)
      [ $? -eq 0 ] && [ -z "$out" ] || fail "desktop-file-validate: $out"
      exec_prog=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop" | head -n 1)
      [ -x "$root/usr/bin/$exec_prog" ] || fail "desktop entry runs '$exec_prog', which the package lacks"
      icon=$(sed -n 's/^Icon=//p' "$desktop")
      for size in "${icon_sizes[@]}"; do
        png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
        if [ ! -f "$png" ]; then fail "icon $icon ${size}x${size} is missing"; continue; fi
        [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || { fail "$png is not a PNG"; continue; }
        [ "$(png_size "$png")" = "${size}x${size}" ] || fail "icon ${size}x${size} is $(png_size "$png")"
      done
      svg=$root/usr/share/icons/hicolor/scalable/apps/$icon.svg
      grep -q '<svg' "$svg" 2>/dev/null || fail "scalable icon $icon.svg is missing"
    fi
  fi

  if [ -n "${QL_UDEV_RULE:-}" ]; then
    rule=$root/usr/lib/udev/rules.d/$QL_UDEV_RULE
    if [ ! -f "$rule" ]; then
      fail "udev rule $QL_UDEV_RULE is missing from usr/lib/udev/rules.d"
    else
      # uaccess is acted on in 73-seat-late.rules; a rule sorting after it comes too late.
      first=$(printf '%s\n' "$QL_UDEV_RULE" 73-seat-late.rules | LC_ALL=C sort | head -n 1)
      [ "$first" = "$QL_UDEV_RULE" ] || fail "$QL_UDEV_RULE sorts after 73-seat-late.rules"
      grep -v '^[[:space:]]*#' "$rule" | grep -q 'uaccess' || fail "$QL_UDEV_RULE tags nothing with uaccess"
    fi
  else
    echo "note: this build has no udev rule to package"
  fi

  # The page: plain files a static host serves, each one the page loads there.
  if [ "${#web_files[@]}" -gt 0 ]; then
    web=$root/usr/share/quelloader/web
    for f in "${web_files[@]}"; do
      if [ ! -s "$web/$f" ]; then fail "usr/share/quelloader/web/$f is missing"; continue; fi
      [ ! -x "$web/$f" ] || fail "usr/share/quelloader/web/$f is executable"
    done
    [ "$(head -c 4 "$web/quelloader.wasm" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = "0061736d" ] \
      || fail "usr/share/quelloader/web/quelloader.wasm is not WebAssembly"
    while read -r ref; do
      [ -f "$web/$ref" ] || fail "index.html loads $ref, which usr/share/quelloader/web lacks"
    done < <(grep -oE '(src|href)="[A-Za-z0-9_.-]+\.(js|css|md)"' "$web/index.html" | sed -E 's/.*="(.*)"/\1/')
  else
    echo "note: this build packages no page (tools/web.sh before configuring makes it)"
  fi
  finish
  ;;

programs_start)
  [ -d "$root/usr/bin" ] || { fail "no unpacked package; packaging.deb_builds failed"; finish; }
  [ -x "$root/usr/bin/quelloader-cli" ] || fail "usr/bin/quelloader-cli is missing"
  qt_runtime=$(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null | sed -e 's/^[0-9]*://' -e 's/[+~-].*//')
  mkdir -p "$work/home"
  for p in "${programs[@]}"; do
    bin=$root/usr/bin/$p
    [ -x "$bin" ] || continue
    # A clean environment: no display, no library path, a home of its own.
    out=$(env -i PATH=/usr/bin:/bin HOME="$work/home" timeout 20 "$bin" --version 2>&1)
    rc=$?
    echo "--- $p --version (exit $rc)"; echo "$out"
    [ "$rc" -eq 0 ] || { fail "$p --version exits with $rc"; continue; }
    grep -qF "$QL_VERSION" <<<"$out" || fail "$p --version does not print $QL_VERSION"
    grep -qF "$QL_COMMIT" <<<"$out" || fail "$p --version does not print the commit $QL_COMMIT"
    if needed_libs "$bin" | grep -q '^libQt6Core'; then
      [ -n "$qt_runtime" ] || { fail "$p links Qt but libqt6core6 is not installed"; continue; }
      grep -q "Qt.*$qt_runtime" <<<"$out" || fail "$p --version does not print the Qt it runs with ($qt_runtime)"
    else
      grep -qF "Qt: not used" <<<"$out" || fail "$p links no Qt but --version does not say 'Qt: not used'"
    fi
  done
  finish
  ;;

maintainer_scripts)
  [ -d "$control" ] || { fail "no control files; packaging.deb_builds failed"; finish; }
  empty_bin=$work/empty-bin && mkdir -p "$empty_bin"
  failing_bin=$work/failing-bin && mkdir -p "$failing_bin"
  for tool in udevadm; do printf '#!/bin/sh\nexit 1\n' >"$failing_bin/$tool" && chmod +x "$failing_bin/$tool"; done
  for script in postinst postrm; do
    f=$control/$script
    [ -f "$f" ] || { fail "$script is missing"; continue; }
    [ -x "$f" ] || fail "$script is not executable"
    sh -n "$f" || fail "$script has a syntax error"
    case $script in postinst) actions="configure abort-upgrade" ;; *) actions="remove purge upgrade" ;; esac
    for action in $actions; do
      # No udevadm at all (a container), and one that fails (no daemon).
      env -i PATH="$empty_bin" /bin/sh "$f" "$action" 1.0 || fail "$script $action fails without udevadm"
      env -i PATH="$failing_bin:/usr/bin:/bin" /bin/sh "$f" "$action" 1.0 || fail "$script $action fails when udevadm fails"
    done
  done
  finish
  ;;

lintian)
  deb=$(deb_file)
  [ -n "$deb" ] || { fail "no package; packaging.deb_builds failed"; finish; }
  copyright=$root/usr/share/doc/quelloader/copyright
  if [ ! -f "$copyright" ]; then
    fail "usr/share/doc/quelloader/copyright is missing"
  else
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" \
      || fail "the copyright file is not in the machine-readable format"
    grep -qx 'License: Expat' "$copyright" || fail "the copyright file does not give the MIT (Expat) licence"
    grep -qF 'The Quelloader developers' "$copyright" || fail "the copyright file does not name the copyright holder"
  fi
  need lintian lintian
  # Errors, warnings and pedantic tags fail; informational ones are shown only.
  out=$(lintian --pedantic "$deb" 2>&1 | grep -v '^running with root privileges')
  [ -z "$out" ] || { echo "$out"; fail "lintian reports the package"; }
  lintian --display-info "$deb" 2>&1 | grep '^I: ' | sed 's/^/note: /'
  finish
  ;;

*)
  echo "unknown step $step" >&2
  exit 2
  ;;
esac
