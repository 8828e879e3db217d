# Scenarios of the end-to-end guest, sourced by /init (busybox sh). Each
# scn_NAME runs in its own shell in the folder $T; it returns 0 for a pass.
# `fail` records the one-line reason shown on the result line; `note` records
# a detail for a pass.

fail() { echo "$*" > "$T/reason"; echo "FAIL: $*"; return 1; }
note() { echo "$*" > "$T/reason"; }

# wait_until SECONDS COMMAND...: polls COMMAND every 50 ms.
wait_until() {
  local limit=$(( $1 * 20 )) i=0
  shift
  while ! "$@"; do
    i=$((i + 1))
    [ $i -ge $limit ] && return 1
    sleep 0.05
  done
  return 0
}

# ---- The kernel side alone -----------------------------------------------------
scn_uhid_node() {
  [ -c /dev/uhid ] || { fail "/dev/uhid is missing"; return 1; }
  [ -d /sys/module/hid_generic ] || { fail "hid-generic is not loaded"; return 1; }
  note "/dev/uhid present, hid-generic loaded"
}
