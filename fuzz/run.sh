#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer into their own folder and
# runs each of them for a while, then prints executions and coverage.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     (default 60 seconds, every target)
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_CXX (clang++-14).
# The working corpus of a target grows in $FUZZ_BUILD_DIR/corpus/<target>,
# seeded from fuzz/corpus/<target>; inputs that broke a target land in
# $FUZZ_BUILD_DIR/artifacts/. Files in fuzz/regressions/<target>/ are run
# once each before fuzzing. Exits non-zero when any target failed.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-build-fuzz}
cxx=${FUZZ_CXX:-clang++-14}
all_targets=(line_classifier text_transforms cookie_jar analysis response_reader response_parser script_runner address json)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

case "$seconds" in
  '' | *[!0-9]*) echo "fuzz: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
command -v "$cxx" >/dev/null 2>&1 || { echo "fuzz: $cxx not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 2; }

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null || exit 2
fi
cmake --build "$build" -j "${JOBS:-2}" || exit 2

dictionary_for() {
  case "$1" in
    line_classifier | analysis) echo fuzz/script.dict ;;
    text_transforms | json) echo fuzz/text.dict ;;
    cookie_jar) echo fuzz/cookie.dict ;;
    response_reader) echo fuzz/http.dict ;;
    response_parser) echo fuzz/parser.dict ;;
    address) echo fuzz/address.dict ;;
    script_runner)
      cat fuzz/script.dict fuzz/http.dict > "$build/script_runner.dict"
      echo "$build/script_runner.dict" ;;
  esac
}

# Scratch files of the targets (plugins, output files) go to memory when
# it can; removed whatever happens.
scratch_base=/tmp
[ -w /dev/shm ] && scratch_base=/dev/shm
scratch=$(mktemp -d "$scratch_base/quorvane-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

mkdir -p "$build/logs" "$build/artifacts"
failed=0
passed_targets=0
failed_targets=0
rows=()
for target in "${targets[@]}"; do
  binary=$build/${target}_fuzzer
  [ -x "$binary" ] || { echo "fuzz: no target $target" >&2; failed=1; failed_targets=$((failed_targets + 1)); continue; }
  log=$build/logs/$target.log
  note=ok

  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$binary" "${regressions[@]}" >"$build/logs/$target.regressions.log" 2>&1; then
      note="REGRESSION FAILED (see $build/logs/$target.regressions.log)"
      failed=1
    fi
  fi

  mkdir -p "$build/corpus/$target"
  echo "== fuzzing $target for $seconds s"
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2560 \
    -dict="$(dictionary_for "$target")" -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  if [ $status -ne 0 ]; then
    note="FAILED with status $status (see $log; input in $build/artifacts/)"
    grep -m1 -E "invariant broken|ERROR: " "$log" >&2 || true
    failed=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]*' | tail -1 | cut -d' ' -f2)
  ft=$(grep -E '^#[0-9]+' "$log" | grep -o 'ft: [0-9]*' | tail -1 | cut -d' ' -f2)
  corp=$(grep -E '^#[0-9]+' "$log" | grep -o 'corp: [0-9]*/[0-9A-Za-z]*' | tail -1 | cut -d' ' -f2)
  if [ "$note" = ok ]; then passed_targets=$((passed_targets + 1)); else failed_targets=$((failed_targets + 1)); fi
  rows+=("$(printf '%-16s %12s %9s %9s %9s %12s  %s' "$target" "${execs:--}" "${rate:--}" \
    "${cov:--}" "${ft:--}" "${corp:--}" "$note")")
done

echo
printf '%-16s %12s %9s %9s %9s %12s  %s\n' target executions exec/s coverage features corpus result
for row in "${rows[@]}"; do echo "$row"; done
echo "fuzz: $passed_targets passed, $failed_targets failed"
exit $failed
