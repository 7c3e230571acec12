#!/usr/bin/env bash
# Installs a build of libzephyl into a temporary prefix, then configures, builds and runs
# examples/hello against the installed CMake package, and checks the pkg-config file.
#   install_package_test.sh <build dir> <examples/hello dir> [sanitizers]
set -euo pipefail
build_dir=$1
example_dir=$2
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
for header in zephyl.h zp_manager.h zp_request.h zp_response.h zp_setting.h zp_log_level.h \
              export.h; do
  [[ -f "$prefix/include/zephyl/$header" ]] || fail "include/zephyl/$header is not installed"
done
[[ -f "$libdir/cmake/zephyl/zephylConfig.cmake" ]] || fail "zephylConfig.cmake is missing"
[[ -f "$libdir/cmake/zephyl/zephylConfigVersion.cmake" ]] || fail "the version file is missing"

# The example, configured against the installed package only (sanitizer builds need the same
# runtime in the host program).
flags=()
if [[ -n "$sanitize" ]]; then
  flags=(-DCMAKE_CXX_FLAGS="-fsanitize=$sanitize" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitize")
fi
cmake -S "$example_dir" -B "$work/hello" -DCMAKE_PREFIX_PATH="$prefix" "${flags[@]}" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/hello" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
TMPDIR=$work "$work/hello/hello" | tee "$work/hello.out"
grep -qx ok "$work/hello.out" || fail "the example did not report ok"

# pkg-config finds the library and its headers from wherever the prefix is.
if command -v pkg-config >/dev/null; then
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  [[ "$(pkg-config --modversion zephyl)" == [0-9]* ]] || fail "zephyl.pc has no version"
  cflags=$(pkg-config --cflags zephyl)
  libs=$(pkg-config --libs zephyl)
  # shellcheck disable=SC2086
  g++ -std=c++17 $cflags ${sanitize:+-fsanitize=$sanitize} "$example_dir/main.cpp" -o "$work/hello-pc" \
    $libs -Wl,-rpath,"$libdir" || fail "building with pkg-config's flags failed"
  TMPDIR=$work "$work/hello-pc" >/dev/null || fail "the pkg-config build does not run"
fi
echo "install_package_test: ok"
