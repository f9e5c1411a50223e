#!/usr/bin/env bash
# fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Builds the fuzz preset (build-fuzz/) as far as needed and runs each target
# (default: every one built) for SECONDS_PER_TARGET seconds
# (default 60) on a scratch copy of its seed corpus, with its regression
# inputs read as well; nothing is written into the source tree. Exits
# non-zero when a target fails, keeping the failing input in
# build-fuzz/fuzz-failures/TARGET/.
#
# FUZZ_JOBS=N runs N fuzzing processes per target (libFuzzer's -fork).
# fuzz/TARGET.flags, when present, holds extra libFuzzer flags for TARGET.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-60}
shift || true

if [ ! -f build-fuzz/CMakeCache.txt ]; then
  cmake --preset fuzz
fi
cmake --build --preset fuzz --target fuzzers

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for program in build-fuzz/bin/fuzz_*; do
    targets+=("${program#build-fuzz/bin/fuzz_}")
  done
fi

# Symbolized sanitizer reports, where the symbolizer is installed.
if command -v llvm-symbolizer-14 >/dev/null; then
  export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v llvm-symbolizer-14)}
fi
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
for target in "${targets[@]}"; do
  program=$root/build-fuzz/bin/fuzz_$target
  if [ ! -x "$program" ]; then
    echo "run.sh: no fuzz target $target (expected $program)" >&2
    exit 2
  fi
  work=$scratch/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -R "fuzz/corpus/$target/." "$work/corpus/"
  inputs=("$work/corpus")
  if [ -d "fuzz/regressions/$target" ]; then
    inputs+=("$root/fuzz/regressions/$target")
  fi
  extra=()
  if [ -f "fuzz/$target.flags" ]; then
    read -r -a extra < "fuzz/$target.flags"
  fi
  parallel=()
  if [ "${FUZZ_JOBS:-1}" -gt 1 ]; then
    parallel=("-fork=$FUZZ_JOBS")
  fi

  echo "== fuzz $target for $seconds s"
  status=0
  # In its own folder, where -fork leaves its logs; the regression inputs are
  # only read (new inputs go to the first folder).
  (cd "$work" && "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
     -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${parallel[@]}" "${extra[@]}" \
     "${inputs[@]}") || status=$?

  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    kept=$root/build-fuzz/fuzz-failures/$target
    mkdir -p "$kept"
    cp "$work"/artifacts/* "$kept/" 2>/dev/null || true
    echo "== $target FAILED (status $status). Failing inputs kept in $kept:"
    ls -1 "$kept"
    echo "   Reproduce:  build-fuzz/bin/fuzz_$target $kept/FILE"
    echo "   Once fixed, keep it as a test:  cp $kept/FILE fuzz/regressions/$target/SHORT-NAME"
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "== fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "== fuzzing found nothing in ${targets[*]}"
