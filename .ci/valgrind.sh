#!/usr/bin/env bash
# Runs every test program of the suite under valgrind's memcheck, each once
# with all of its tests, following child processes so that every kestrix the
# command-line tests start is checked too. Any invalid access, use of an
# uninitialised value or definite leak fails the script.
#
#   VALGRIND_BUILD     build directory (default build-valgrind)
#   VALGRIND_EXCLUDE   more gtest patterns to leave out, ':'-separated
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VALGRIND_BUILD:-build-valgrind}
case "$build" in /*) ;; *) build=$PWD/$build ;; esac
# A child that valgrind follows gets the program's path as argv[0], whatever
# the parent gave, so the tests of the usage text's invocation name cannot hold.
exclude="*InvocationName*${VALGRIND_EXCLUDE:+:$VALGRIND_EXCLUDE}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No sanitizers, and kestrix linked dynamically: memcheck watches the heap by
# replacing malloc, which a static binary does not let it do.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_SANITIZE=OFF \
  -DKESTRIX_STATIC=OFF >/dev/null
if ! cmake --build "$build" -j2 >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  exit 1
fi
# Readable by the unprivileged user some command-line tests run kestrix as.
chmod 755 "$work"
# On a usage error or -version, kestrix ends at once without releasing the
# image it loaded, as it is meant to; that memory is the only leak allowed.
cat >"$work/kestrix.supp" <<'EOF'
{
   kestrix-ends-without-releasing-its-image
   Memcheck:Leak
   match-leak-kinds: definite
   ...
   fun:di_load_image
   fun:*run_commands*
}
EOF
chmod 644 "$work/kestrix.supp"

# Children are followed into the project's programs only, not into the shell
# or other tools that some tests start.
valgrind=(valgrind --tool=memcheck -q --error-exitcode=99 --leak-check=full
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --trace-children=yes
  --trace-children-skip='/usr/*,/bin/*,/sbin/*' --vgdb=no
  --suppressions="$work/kestrix.supp" --num-callers=40)

# The programs ctest runs, each once: gtest programs (those ctest runs with a
# filter) run all their tests.
ctest --test-dir "$build" -N -V | sed -n 's/^.*Test command: //p' >"$work/commands"
mapfile -t programs < <(cut -d' ' -f1 "$work/commands" | sort -u)
failed=()
ran=0
for program in "${programs[@]}"; do
  # Only the project's own programs; tests that run scripts or tools check
  # no memory of ours.
  case "$program" in "$build"/*) ;; *) continue ;; esac
  [ "$(head -c 4 "$program" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  args=()
  if grep -q "^$program .*--gtest_filter" "$work/commands"; then args=(--gtest_filter="-$exclude"); fi
  echo "== $program ${args[*]}"
  ran=$((ran + 1))
  if ! (cd "$(dirname "$program")" && "${valgrind[@]}" "$program" "${args[@]}" >"$work/out" 2>&1); then
    failed+=("$program")
    grep -E '^==[0-9]+==|Failure|FAILED' "$work/out" | head -n 150 || true
    tail -n 5 "$work/out"
  else
    grep -E '^\[  (PASSED|FAILED)  \]|tests? ran' "$work/out" || tail -n 2 "$work/out"
  fi
done
if [ "$ran" -eq 0 ]; then
  echo "no test program found in $build"
  exit 1
fi
if [ ${#failed[@]} -ne 0 ]; then
  echo "valgrind found errors, or tests failed, in: ${failed[*]}"
  exit 1
fi
echo "valgrind: $ran test programs clean"
