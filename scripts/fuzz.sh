#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, a fake libcurl at the link seam) and
# runs each one in turn for a given time, after replaying its regression inputs.
#
#   bash scripts/fuzz.sh [--smoke | --time SECONDS] [TARGET ...]
#
# --smoke runs each target for 20 s with a fresh corpus (what CI does); --time sets the
# seconds per target (default 120), growing the corpus kept in the build folder. TARGET
# names (e.g. lock_fuzzer) pick targets; default all. FUZZ_BUILD_DIR picks the build folder
# (default: build-fuzz). Findings land in its fuzz-findings/TARGET/; keep each as a
# regression input in fuzz/regressions/TARGET/ once it is fixed. FUZZ_ARGS adds libFuzzer
# options (e.g. FUZZ_ARGS="-rss_limit_mb=4096" for hour-long runs of the lock targets, whose
# keep-alive thread per input makes ASan's thread bookkeeping grow by ~200 bytes).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds=120
smoke=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1; seconds=20 ;;
    --time) seconds="$2"; shift ;;
    -h|--help) sed -n '2,14p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
all=(lock_fuzzer keep_lock_fuzzer unlock_fuzzer query_ctag_fuzzer etag_list_fuzzer
     download_fuzzer add_fuzzer update_fuzzer remove_fuzzer text_fuzzer adapter_fuzzer)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

bash "$root/scripts/setup.sh"

cc=clang; cxx=clang++
if command -v clang-14 >/dev/null; then cc=clang-14; cxx=clang++-14; fi
# The compilers count only when the folder is new; fuzz/CMakeLists.txt refuses any but clang.
CC=$cc CXX=$cxx cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_FUZZ=ON -DQUILLET_BUILD_TESTS=OFF >/dev/null
# At most two jobs: the machines this runs on are shared.
cmake --build "$build" -j 2 --target quillet_fuzzers

bin="$build/fuzz-bin"
seeds="$build/fuzz-seeds"
rm -rf "$seeds"
"$bin/quillet_fuzz_seeds" "$seeds"

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

logs="$build/fuzz-logs"
mkdir -p "$logs"
failed=()
summary=()
for target in "${targets[@]}"; do
  [ -x "$bin/$target" ] || { echo "fuzz: no target $target" >&2; exit 2; }
  regressions="$root/fuzz/regressions/$target"
  findings="$build/fuzz-findings/$target"
  corpus="$build/fuzz-corpus/$target"
  [ "$smoke" -eq 1 ] && rm -rf "$corpus"
  mkdir -p "$corpus" "$findings"
  options=(-timeout=25 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/")
  # shellcheck disable=SC2206  # FUZZ_ARGS is a list of options
  options+=(${FUZZ_ARGS:-})
  case "$target" in
    text_fuzzer|adapter_fuzzer) ;;
    *) options+=(-dict="$root/fuzz/protocol.dict") ;;
  esac
  dirs=("$corpus")
  [ -d "$seeds/$target" ] && dirs+=("$seeds/$target")

  log="$logs/$target.log"
  : >"$log"
  status=0
  # Every kept finding must stay fixed: each one is run once before the fuzzing starts.
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    "$bin/$target" "${options[@]}" -runs=0 "$regressions" >>"$log" 2>&1 || status=$?
    dirs+=("$regressions")
  fi
  if [ $status -eq 0 ]; then
    echo "== $target: ${seconds}s"
    "$bin/$target" "${options[@]}" -max_total_time="$seconds" "${dirs[@]}" >>"$log" 2>&1 ||
      status=$?
  fi
  final_stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  last="$(grep -E '^#[0-9]+' "$log" | tail -1 || true)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")"
  corp="$(sed -n 's/.* corp: \([^ ]*\).*/\1/p' <<<"$last")"
  line="$(printf '%-18s execs %-9s exec/s %-6s cov %-5s corpus %-12s new %-5s rss %sMB' \
    "$target" "$(final_stat number_of_executed_units)" "$(final_stat average_exec_per_sec)" "${cov:--}" \
    "${corp:--}" "$(final_stat new_units_added)" "$(final_stat peak_rss_mb)")"
  if [ $status -ne 0 ]; then
    line="$line  FAILED (exit $status, log $log)"
    failed+=("$target")
    tail -n 40 "$log" >&2
    ls "$findings" >&2 || true
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs under $build/fuzz-findings/)" >&2
  exit 1
fi
