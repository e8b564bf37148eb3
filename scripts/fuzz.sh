#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) into build-fuzz/ (or
# $FUZZ_BUILD_DIR) and runs each for FUZZ_SECONDS (default 60) on a scratch
# copy of its starting corpus, so the committed corpus never grows.  Exits
# non-zero when any target finds a crash; the crashing inputs are kept in the
# scratch directory, whose path is printed.
#
#   FUZZ_SECONDS=300 scripts/fuzz.sh            # all four targets
#   scripts/fuzz.sh fuzz_frames                 # one target
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_collect fuzz_config fuzz_frames fuzz_text)

# clang and its runtime libraries (the fuzzer and sanitizer runtimes).
rt_dir="$(clang++ -print-resource-dir 2>/dev/null || true)/lib/linux"
if ! command -v clang++ >/dev/null || ! ls "$rt_dir"/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q clang libclang-rt-14-dev
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTRN_FUZZ=ON \
  -DTRN_BUILD_TESTS=OFF -DTRN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"${FUZZ_JOBS:-2}" --target "${targets[@]}"

# In memory when possible: fuzz_config rewrites its trn.ini for every input,
# in a directory it makes under $TMPDIR.
tmp_base=/tmp
[ -w /dev/shm ] && tmp_base=/dev/shm
scratch="$(mktemp -d "$tmp_base/trn-fuzz.XXXXXX")"
echo "scratch directory: $scratch"
failed=()
for t in "${targets[@]}"; do
  work="$scratch/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$root/tests/fuzz/corpus/$t/"* "$work/corpus/"
  # Earlier findings, kept as regressions, join the starting corpus.
  if [ -d "$root/tests/fuzz/regressions/$t" ]; then
    cp "$root/tests/fuzz/regressions/$t/"* "$work/corpus/" 2>/dev/null || true
  fi
  echo "=== $t: ${seconds}s"
  # Paths are absolute: fuzz_config works in a directory of its own.
  if ! TMPDIR="$work" "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" 2>"$work/log"; then
    failed+=("$t")
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$work/log" || true
  if ls "$work/artifacts/"* >/dev/null 2>&1; then
    failed+=("$t")
    echo "$t: findings in $work/artifacts:"
    ls "$work/artifacts"
    grep -E 'ERROR|runtime error|SUMMARY' "$work/log" | head -5 || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: $(printf '%s\n' "${failed[@]}" | sort -u | tr '\n' ' ')(logs in $scratch)"
  exit 1
fi
echo "no findings"
rm -rf "$scratch"
