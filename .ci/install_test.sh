#!/usr/bin/env bash
# Installs kestrix and the diskimage library into a temporary prefix, checks
# what was installed, and builds and runs a small C program against the
# installed library twice: through the CMake package (find_package) and
# through pkg-config; then builds the README's first program,
# examples/first_program.c, through pkg-config as the README says, and lists
# the image it makes. Every version installed must be the project's, as the
# build's cache holds it. Both make the .deb and check its dependencies on
# zlib and libcrypto, which kestrix carries when static and loads when not;
# the static build checks the rest of the .deb, the shared one that the
# library exports exactly what the installed header declares with DI_API.
#
#   .ci/install_test.sh                 static library, then shared
#   .ci/install_test.sh static|shared   one of them
#
# Needs cmake, a C and C++ compiler, pkg-config, readelf, nm and dpkg-deb.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# What tests/install/consumer.c prints when every step works.
expected_consumer='formatted: 664 blocks free, status 00,ok,00,00
wrote 1000 bytes: 660 blocks free, status 00,ok,00,00
in memory: read 1000 bytes, same data, status 00,ok,00,00
loaded 174848 bytes: 660 blocks free
from the file: read 1000 bytes, same data, status 00,ok,00,00'

# The installed kestrix listing the image that the consumer wrote.
expected_listing='0 "consumer        " cx 2a
4      "hello"             prg 
660 blocks free'

# What examples/first_program.c prints, and the listing of the image it makes.
expected_first_program='wrote 17 of 17 bytes, status 00,ok,00,00'
expected_first_listing='0 "first disk      " 01 2a
1      "hello"             prg 
663 blocks free'

# Runs a consumer, compares its output and the image it wrote.
check_consumer() {
  local how=$1 program=$2 prefix=$3
  local out="$work/$how-image"
  mkdir -p "$out"
  local got
  got=$("$program" "$out") || fail "$how: consumer exited with $?: $got"
  [ "$got" = "$expected_consumer" ] || fail "$how: consumer printed:
$got"
  [ "$(stat -c %s "$out/consumer.d64")" = 174848 ] || fail "$how: no D64 image written"
  got=$("$prefix/bin/kestrix" "$out/consumer.d64" -dir)
  [ "$got" = "$expected_listing" ] || fail "$how: kestrix lists the written image as:
$got"
  echo "ok: $how consumer"
}

# The names the shared library exports against the DI_API declarations of the
# installed header: "DI_API type [*]name(" and "DI_API extern ... name[".
check_exports() {
  local lib=$1 header=$2 declared exported
  declared=$(sed -nE 's/^[[:space:]]*DI_API[[:space:]]+([^([]*[^A-Za-z0-9_([])?([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*[[(].*/\2/p' \
    "$header" | sort)
  [ -n "$declared" ] || fail "no DI_API declaration in $header"
  [ "$(grep -cE '^[[:space:]]*DI_API[[:space:]]' "$header")" = "$(wc -l <<<"$declared")" ] ||
    fail "a DI_API line of $header names no function or array"
  exported=$(nm -D --defined-only "$lib" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort)
  if [ "$declared" != "$exported" ]; then
    echo "exported but not declared with DI_API:" >&2
    comm -13 <(echo "$declared") <(echo "$exported") | sed 's/^/  /' >&2
    echo "declared with DI_API but not exported:" >&2
    comm -23 <(echo "$declared") <(echo "$exported") | sed 's/^/  /' >&2
    fail "$(basename "$lib") does not export exactly the header's functions"
  fi
  echo "ok: $(basename "$lib") exports exactly the $(wc -l <<<"$declared") DI_API names"
}

run() {
  local kind=$1 shared
  case $kind in
    static) shared=OFF ;;
    shared) shared=ON ;;
    *) fail "unknown kind $kind (static or shared)" ;;
  esac
  local build="$work/$kind-build" prefix="$work/$kind-prefix"
  echo "== $kind library: configure, build, install into a temporary prefix"
  cmake -S "$src" -B "$build" -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=$shared \
    -DKESTRIX_WERROR=ON >"$work/$kind-configure.log" || {
    cat "$work/$kind-configure.log"
    fail "configure"
  }
  cmake --build "$build" -j2 >"$work/$kind-build.log" 2>&1 || {
    cat "$work/$kind-build.log"
    fail "build"
  }
  cmake --install "$build" --prefix "$prefix" >/dev/null

  # The project's version, stated once in CMakeLists.txt.
  local version major minor patch
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || fail "project version '$version' is not x.y.z"
  major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]} patch=${BASH_REMATCH[3]}
  echo "project version $version"

  # What must be there, and what must not.
  local pc
  pc=$(find "$prefix" -name diskimage.pc)
  [ -n "$pc" ] || fail "no diskimage.pc installed"
  local libdir
  libdir=$(dirname "$(dirname "$pc")")
  for f in bin/kestrix include/diskimage/diskimage.h share/man/man1/kestrix.1; do
    [ -f "$prefix/$f" ] || fail "$f not installed"
  done
  for f in diskimageConfig.cmake diskimageConfigVersion.cmake diskimageTargets.cmake; do
    [ -f "$libdir/cmake/diskimage/$f" ] || fail "$f not installed"
  done
  cmp -s "$prefix/share/man/man1/kestrix.1" docs/kestrix.1 || fail "installed man page differs"
  local stray
  stray=$(find "$prefix" -name 'internal.h' -o -name '*kestrix_reports*' -o -name '*make_samples*' \
    -o -name '*first_program*' -o -name '*diskimage_internal*' -o -name '*test*' -o -name '*.cpp')
  [ -z "$stray" ] || fail "installed what belongs to the build tree: $stray"
  [ "$(ls "$prefix/include/diskimage" | tr '\n' ' ')" = "diskimage.h version.h " ] ||
    fail "more or less than the public headers: $(ls "$prefix/include/diskimage")"

  # The installed version header, from plain C99, says the project's version.
  cat >"$work/$kind-version.c" <<'EOF'
#include <stdio.h>

#include <diskimage/diskimage.h>

int main(void) {
  printf("%s %d %d %d %06x\n", DI_VERSION, DI_VERSION_MAJOR, DI_VERSION_MINOR, DI_VERSION_PATCH,
         (unsigned)DI_VERNUM);
  return 0;
}
EOF
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$prefix/include" "$work/$kind-version.c" \
    -o "$work/$kind-version" || fail "a C99 program cannot include the installed headers"
  local got_version
  got_version=$("$work/$kind-version")
  [ "$got_version" = "$version $major $minor $patch $(printf '%02x%02x%02x' "$major" "$minor" "$patch")" ] ||
    fail "installed version.h says: $got_version"
  echo "ok: version.h says $version"

  if [ "$kind" = shared ]; then
    local so="libdiskimage.so.$major"
    [ -f "$libdir/libdiskimage.so.$version" ] || fail "no libdiskimage.so.$version"
    [ "$(readlink "$libdir/$so")" = "libdiskimage.so.$version" ] || fail "$so link"
    [ "$(readlink "$libdir/libdiskimage.so")" = "$so" ] || fail "libdiskimage.so link"
    [ ! -e "$libdir/libdiskimage.a" ] || fail "a static library in a shared install"
    readelf -d "$libdir/libdiskimage.so.$version" | grep -qF "Library soname: [$so]" ||
      fail "SONAME is not $so"
    echo "ok: SONAME $so"
    check_exports "$libdir/libdiskimage.so.$version" "$prefix/include/diskimage/diskimage.h"
    # An installed tool that loads the shared library must find the installed
    # one by itself. (While the reports use the library's internals, the tool
    # carries the library and loads none.)
    if readelf -d "$prefix/bin/kestrix" | grep -qF "[$so]"; then
      local loaded
      loaded=$(ldd "$prefix/bin/kestrix" | awk -v so="$so" '$1 == so { print $3 }')
      [[ -n $loaded && $(realpath "$loaded") == "$(realpath "$libdir/$so")" ]] ||
        fail "installed kestrix does not load $libdir/$so: $(ldd "$prefix/bin/kestrix")"
    fi
  else
    [ -f "$libdir/libdiskimage.a" ] || fail "no libdiskimage.a"
    [ -z "$(find "$prefix" -name '*.so*')" ] || fail "a shared library in a static install"
  fi

  local version_text
  version_text=$("$prefix/bin/kestrix" --version | head -n 1)
  [[ $version_text == "kestrix v$major.$minor built on "* ]] ||
    fail "installed kestrix --version: $version_text"
  "$prefix/bin/kestrix" samples/damaged.d64 -dir | grep -q '"cycle" .*52,file too large' ||
    fail "installed kestrix does not report the cyclic file of samples/damaged.d64"
  # The digests come from zlib and libcrypto, carried in a static kestrix and
  # loaded by a dynamic one.
  local sha1
  sha1=$(sha1sum <samples/clean.d64 | cut -d' ' -f1)
  "$prefix/bin/kestrix" samples/clean.d64 -json | grep -qF "\"sha1\":\"$sha1\"" ||
    fail "installed kestrix gives another SHA-1 of samples/clean.d64 than $sha1"
  local needed
  needed=$(readelf -d "$prefix/bin/kestrix" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p')
  if [ "$kind" = static ]; then
    [ -z "$needed" ] || fail "the static build's kestrix loads $needed"
  else
    grep -q '^libcrypto\.so' <<<"$needed" && grep -q '^libz\.so' <<<"$needed" ||
      fail "the shared build's kestrix does not load libcrypto and libz: $needed"
  fi
  [ -f "$prefix/share/doc/kestrix/NOTICE" ] || fail "no NOTICE of zlib and libcrypto installed"
  echo "ok: installed files"

  echo "== $kind library: consumer through find_package"
  cmake -S tests/install -B "$work/$kind-cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DDISKIMAGE_VERSION="$version" >"$work/$kind-consumer.log" || {
    cat "$work/$kind-consumer.log"
    fail "consumer configure"
  }
  cmake --build "$work/$kind-cmake-consumer" >>"$work/$kind-consumer.log" 2>&1 || {
    cat "$work/$kind-consumer.log"
    fail "consumer build"
  }
  check_consumer "$kind-cmake" "$work/$kind-cmake-consumer/consumer" "$prefix"

  echo "== $kind library: consumer through pkg-config"
  local flags rpath=()
  flags=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs diskimage)
  echo "pkg-config --cflags --libs diskimage: $flags"
  [ "$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --modversion diskimage)" = "$version" ] ||
    fail "pkg-config --modversion diskimage is not $version"
  [ "$kind" = shared ] && rpath=("-Wl,-rpath,$libdir")
  # shellcheck disable=SC2086 # the flags are meant to split
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror tests/install/consumer.c $flags "${rpath[@]}" \
    -o "$work/$kind-pc-consumer" || fail "consumer build through pkg-config"
  check_consumer "$kind-pkg-config" "$work/$kind-pc-consumer" "$prefix"

  echo "== $kind library: the README's first program, built as the README says"
  local run_dir="$work/$kind-first-program" got
  mkdir -p "$run_dir"
  # shellcheck disable=SC2086 # the flags are meant to split
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/first_program.c \
    $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs diskimage) "${rpath[@]}" \
    -o "$run_dir/first_program" || fail "first program build through pkg-config"
  got=$(cd "$run_dir" && ./first_program) || fail "first program exited with $?: $got"
  [ "$got" = "$expected_first_program" ] || fail "first program printed:
$got"
  got=$("$prefix/bin/kestrix" "$run_dir/hello.d64" -dir)
  [ "$got" = "$expected_first_listing" ] || fail "kestrix lists the first program's image as:
$got"
  echo "ok: $kind first program"

  echo "== $kind library: Debian package"
  (cd "$build" && cpack -G DEB >"$work/$kind-cpack.log" 2>&1) || {
    cat "$work/$kind-cpack.log"
    fail "cpack -G DEB"
  }
  local deb depends
  deb=$(find "$build" -maxdepth 1 -name 'kestrix_*.deb')
  [ -n "$deb" ] || fail "no .deb made"
  # A package depends on what its programs load: a dynamic kestrix on zlib
  # and libcrypto, a static one on neither.
  depends=$(dpkg-deb -f "$deb" Depends)
  if [ "$kind" = shared ]; then
    [[ $depends == *zlib1g* && $depends == *libssl* ]] ||
      fail "the shared build's package does not depend on zlib1g and libssl: $depends"
  else
    [[ $depends != *zlib1g* && $depends != *libssl* ]] ||
      fail "the static build's package depends on what kestrix carries: $depends"
  fi
  echo "ok: $(basename "$deb") depends on: ${depends:-nothing}"

  if [ "$kind" = shared ]; then
    for c in "$work/$kind-cmake-consumer/consumer" "$work/$kind-pc-consumer"; do
      readelf -d "$c" | grep -qF "Shared library: [$so]" || fail "$c is not linked against $so"
    done
    echo "ok: consumers load $so"
  else
    local contents
    contents=$(dpkg-deb -c "$deb")
    for f in ./usr/bin/kestrix ./usr/include/diskimage/diskimage.h ./usr/lib/libdiskimage.a \
      ./usr/lib/pkgconfig/diskimage.pc ./usr/lib/cmake/diskimage/diskimageConfig.cmake \
      ./usr/share/man/man1/kestrix.1 ./usr/share/doc/kestrix/NOTICE; do
      grep -q " $f\$" <<<"$contents" || fail "$f missing from $(basename "$deb")"
    done
    [ "$(dpkg-deb -f "$deb" Package)" = kestrix ] || fail "package name"
    # The package is versioned major.minor, as the tool names itself.
    [ "$(dpkg-deb -f "$deb" Version)" = "$major.$minor" ] || fail "package version"
    # The package's files, unpacked anywhere, serve a program through pkg-config.
    local unpacked="$work/deb-root"
    dpkg-deb -x "$deb" "$unpacked"
    flags=$(PKG_CONFIG_PATH="$unpacked/usr/lib/pkgconfig" pkg-config --cflags --libs diskimage)
    # shellcheck disable=SC2086 # the flags are meant to split
    cc -std=c99 tests/install/consumer.c $flags -o "$work/deb-consumer" ||
      fail "consumer build against the unpacked .deb"
    check_consumer "deb" "$work/deb-consumer" "$unpacked/usr"
    echo "ok: $(basename "$deb")"
  fi
}

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(static shared)
for kind in "${kinds[@]}"; do run "$kind"; done
echo "install test passed: ${kinds[*]}"
