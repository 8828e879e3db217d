#!/usr/bin/env bash
# Writes the gzipped manual page of one program from its own --help, and from
# `PROGRAM COMMAND --help` of every command it lists, so the page can never
# disagree with the program.
#   man_page.sh HELP2MAN PROGRAM VERSION SUMMARY INCLUDE OUTPUT.1.gz
# INCLUDE is a help2man include file of fixed sections (may be missing).
set -euo pipefail

help2man=$1 program=$2 version=$3 summary=$4 include=$5 output=$6
name=$(basename "$program")
page=${output%.gz}
extra=$page.h2m
rm -f "$output"

# A program whose --help does not answer (a window that opens instead) must
# not hang the build: it gets no page, which the package checks report.
if ! timeout 20 "$program" --help </dev/null >/dev/null 2>&1; then
  echo "warning: $name --help failed or did not answer within 20 s; no manual page for $name" >&2
  exit 0
fi

# The commands a CLI11 help lists under "Subcommands:", one name per line.
commands() {
  "$program" --help </dev/null | awk '
    tolower($0) ~ /^subcommands:/ { inside = 1; next }
    inside && /^[[:space:]]*$/    { inside = 0; next }
    inside && /^[[:space:]]+[^[:space:]-]/ { print $1 }'
}

# Plain text as roff: backslashes, minus signs (kept as typed, so options can be
# copied), and lines that would read as requests.
as_roff() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\([.']\)/\\\\\&\1/"; }

# The program's closing block (from its last "Heading:" line on), which each
# command's help may repeat: the page shows it once, under OPTIONS.
top=$("$program" --help </dev/null)
footer=$(printf '%s\n' "$top" | awk '/^[^[:space:]].*:$/ { block = "" } { block = block $0 "\n" } END { printf "%s", block }')
footer=${footer%$'\n'}

{
  [ -f "$include" ] && cat "$include"
  first=1
  while read -r cmd; do
    [ -n "$cmd" ] || continue
    if [ $first -eq 1 ]; then echo "[COMMANDS]"; first=0; fi
    help=$(timeout 20 "$program" "$cmd" --help </dev/null)
    help=${help//"$program"/$name}
    if [ -n "$footer" ] && [ "$help" != "$footer" ] && [[ "$help" == *"$footer" ]]; then
      help=${help%"$footer"}
    fi
    echo ".SS \"$name $cmd\""
    # A first line before the usage line is the command's summary: let it wrap.
    summary_line=${help%%$'\n'*}
    if [[ "$summary_line" != Usage:* ]]; then
      printf '%s\n' "$summary_line" | as_roff
      echo ".PP"
      help=${help#*$'\n'}
    fi
    echo ".nf"
    printf '%s\n' "$help" | as_roff
    echo ".fi"
  done < <(commands)
} >"$extra"

"$help2man" --no-info --section=1 --name="$summary" --version-string="$version" \
  --include="$extra" --output="$page" "$program"
gzip -9nf "$page"
