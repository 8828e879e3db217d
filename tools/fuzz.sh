#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own folder and runs each
# for the given number of seconds (default 20: the short run CI makes).
# Long runs: tools/fuzz.sh 3600  (an hour per target; corpora grow in
# $FUZZ_BUILD/corpus/<target>, seeded from fuzz/corpus/<target>).
# Findings are written to $FUZZ_BUILD/findings/<target>/ and fail the script.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
build="${FUZZ_BUILD:-build-fuzz}"
jobs="${FUZZ_JOBS:-2}"

# Debian's clang-14 package installs clang++-14; a plain clang++ exists only
# where clang (or a local toolchain) provides it.
cxx="${FUZZ_CXX:-}"
if [ -z "$cxx" ]; then
  for c in clang++ clang++-14; do
    if command -v "$c" >/dev/null 2>&1; then cxx=$c; break; fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz: no clang++ found (tools/deps.sh installs clang-14; FUZZ_CXX names another)" >&2
  exit 1
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" -DQUELLOADER_FUZZ=ON \
  -DQUELLOADER_BUILD_TESTS=OFF -DQUELLOADER_BUILD_GUI=OFF -DQUELLOADER_BUILD_HID=OFF >/dev/null || exit 1

targets=(hex_loader_fuzz exchange_fuzz settings_ini_fuzz path_fit_fuzz production_log_fuzz json_events_fuzz number_syntax_fuzz)
# The longest input worth making, per target (docs/reliability.md says why):
# longer ones only slow the run down without reaching anything new.
declare -A max_len=([settings_ini_fuzz]=1024 [path_fit_fuzz]=512 [production_log_fuzz]=512
  [json_events_fuzz]=1024 [number_syntax_fuzz]=64)
available=()
for t in "${targets[@]}"; do
  if ninja -C "$build" -t query "$t" >/dev/null 2>&1; then available+=("$t"); else echo "skipped: $t (not configured)"; fi
done
cmake --build "$build" -j "$jobs" --target "${available[@]}" || exit 1

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
printf '%-20s %12s %10s %8s\n' target executions exec/s result
for t in "${available[@]}"; do
  name="${t%_fuzz}"
  corpus="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings"
  log="$build/$t.log"
  "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]:-8192}" \
    -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  rate=$(grep -o 'exec/s: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
  result=ok
  if [ $rc -ne 0 ]; then result="FAILED (see $log)"; status=1; fi
  printf '%-20s %12s %10s %8s\n' "$name" "${runs:-?}" "${rate:-?}" "$result"
done
exit $status
