#!/usr/bin/env bash
# Installs a build of libzephyl into a temporary prefix, then configures, builds and runs
# examples/hello (C++) and examples/c_hello (C) against the installed CMake package, and builds
# both with the pkg-config file's flags.
#   install_package_test.sh <build dir> <examples dir> [sanitizers]
set -euo pipefail
build_dir=$1
examples_dir=$2
sanitize=${3:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/zephyl_install_XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log"; exit 1; }

fail() { echo "install_package_test: $*" >&2; exit 1; }
libdir=$(find "$prefix" -name 'libzephyl.so' -printf '%h\n' | head -n1)
[[ -n "$libdir" ]] || fail "libzephyl.so is not installed"
for file in libzephyl.so libpelvar.so; do
  [[ -e "$libdir/$file" ]] || fail "$file is not installed in $libdir"
done
ls "$libdir"/libzephyl.so.* >/dev/null 2>&1 || fail "the soname links are not installed"
for header in zephyl.h zephyl_c.h zp_manager.h zp_request.h zp_response.h zp_setting.h zp_log_level.h \
              zp_redaction.h zp_version.h export.h; do
  [[ -f "$prefix/include/zephyl/$header" ]] || fail "include/zephyl/$header is not installed"
done
[[ -f "$libdir/cmake/zephyl/zephylConfig.cmake" ]] || fail "zephylConfig.cmake is missing"
[[ -f "$libdir/cmake/zephyl/zephylConfigVersion.cmake" ]] || fail "the version file is missing"

# The examples, configured against the installed package only (sanitizer builds need the same
# runtime in the host program).
run_example() {  # run_example NAME FLAGS-VARIABLE
  local name=$1 flags=()
  if [[ -n "$sanitize" ]]; then
    flags=(-D"$2"="-fsanitize=$sanitize" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitize")
  fi
  cmake -S "$examples_dir/$name" -B "$work/$name" -DCMAKE_PREFIX_PATH="$prefix" "${flags[@]}" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
  cmake --build "$work/$name" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
  TMPDIR=$work "$work/$name/$name" | tee "$work/$name.out"
  grep -qx ok "$work/$name.out" || fail "$name did not report ok"
}
run_example hello CMAKE_CXX_FLAGS
run_example c_hello CMAKE_C_FLAGS

# pkg-config finds the library and its headers from wherever the prefix is.
if command -v pkg-config >/dev/null; then
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  [[ "$(pkg-config --modversion zephyl)" == [0-9]* ]] || fail "zephyl.pc has no version"
  cflags=$(pkg-config --cflags zephyl)
  libs=$(pkg-config --libs zephyl)
  # shellcheck disable=SC2086
  g++ -std=c++17 $cflags ${sanitize:+-fsanitize=$sanitize} "$examples_dir/hello/main.cpp" \
    -o "$work/hello-pc" $libs -Wl,-rpath,"$libdir" || fail "building with pkg-config's flags failed"
  TMPDIR=$work "$work/hello-pc" >/dev/null || fail "the pkg-config build does not run"
  # shellcheck disable=SC2086
  gcc -std=c99 -pedantic -Werror $cflags ${sanitize:+-fsanitize=$sanitize} \
    "$examples_dir/c_hello/main.c" -o "$work/c-hello-pc" $libs -Wl,-rpath,"$libdir" ||
    fail "building the C example with pkg-config's flags failed"
  TMPDIR=$work "$work/c-hello-pc" >/dev/null || fail "the C example's pkg-config build does not run"
fi
echo "install_package_test: ok"
