#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, makes the seed corpus (the sample
# images and the seeds built in code, a directory per target) and runs each
# target on its seeds for a while.
# Any crash, sanitizer report, invariant violation, timeout or memory blow-up
# fails the script; the input that caused it is kept in the build directory.
#
#   FUZZ_SECONDS   seconds per target (default 45: five targets, under four minutes)
#   FUZZ_BUILD     build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-45}
targets=(listing check svg library raw)
build=${FUZZ_BUILD:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -DKESTRIX_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" fuzz_make_corpus kestrix_make_samples

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Written-back images and other temporary files of the targets stay in here.
export TMPDIR=$work
mkdir -p "$work/samples"
"$build/kestrix_make_samples" "$work/samples"
"$build/fuzz/fuzz_make_corpus" "$work/seeds" "$work"/samples/*

artifacts=$build/fuzz-artifacts
rm -rf "$artifacts"
mkdir -p "$artifacts"
failed=0
for target in "${targets[@]}"; do
  echo "== fuzz_$target for ${seconds}s"
  mkdir -p "$work/corpus-$target"
  found=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    "$work/corpus-$target" "$work/seeds/$target" >"$work/$target.log" 2>&1 || found=1
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "$work/$target.log" || true
  if compgen -G "$artifacts/$target-*" >/dev/null || [ "$found" -ne 0 ]; then
    failed=1
    echo "fuzz_$target found a fault:"
    grep -E -A30 'ERROR|invariant violated|deadly signal|timeout|out-of-memory' "$work/$target.log" |
      head -60
    cp "$work/$target.log" "$artifacts/"
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "fuzzing failed; inputs and logs in $artifacts (replay: $build/fuzz/fuzz_TARGET FILE)"
  exit 1
fi
echo "fuzzing found nothing"
