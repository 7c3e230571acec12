# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the posix
# thread model, which std::thread and std::mutex need with GCC 12), run under Wine.
#
#   deps=$(scripts/build-windows-deps | tail -n 1)
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DZEPHYL_WINDOWS_DEPS="$deps" [-DZEPHYL_WINEPREFIX=/path/to/prefix]
#
# ZEPHYL_WINDOWS_DEPS  the prefix that scripts/build-windows-deps prints (include/, lib/,
#                      lib/cmake/, lib/pkgconfig/); also taken from the environment variable of
#                      the same name. find_package, find_library, find_path and pkg-config look
#                      there and in the MinGW-w64 system directory, never in the host's /usr.
# ZEPHYL_WINEPREFIX    the Wine prefix that ctest runs the test executables in (optional; when
#                      empty, Wine's own default or the WINEPREFIX of ctest's environment).
# ZEPHYL_WINE          the Wine launcher; OFF leaves CMAKE_CROSSCOMPILING_EMULATOR unset.
#
# Executables and DLLs link libgcc, libstdc++ and winpthread statically, so that they run under
# Wine (and on Windows) with no MinGW DLL beside them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEPHYL_MINGW_TARGET x86_64-w64-mingw32)

# The -posix names, not the plain ones: those are alternatives that may point to the win32
# thread model on a machine that has both installed.
set(CMAKE_C_COMPILER ${ZEPHYL_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEPHYL_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEPHYL_MINGW_TARGET}-windres)
find_program(CMAKE_AR NAMES ${ZEPHYL_MINGW_TARGET}-gcc-ar-posix ${ZEPHYL_MINGW_TARGET}-ar)
find_program(CMAKE_RANLIB NAMES ${ZEPHYL_MINGW_TARGET}-gcc-ranlib-posix
                                ${ZEPHYL_MINGW_TARGET}-ranlib)

# The dependency prefix: a cache variable, or the environment; handed on to try_compile projects.
if(NOT ZEPHYL_WINDOWS_DEPS AND DEFINED ENV{ZEPHYL_WINDOWS_DEPS})
  set(ZEPHYL_WINDOWS_DEPS "$ENV{ZEPHYL_WINDOWS_DEPS}")
endif()
set(ZEPHYL_WINDOWS_DEPS "${ZEPHYL_WINDOWS_DEPS}" CACHE PATH
    "Prefix of the Windows builds of the dependencies (scripts/build-windows-deps)")
set(ZEPHYL_WINEPREFIX "${ZEPHYL_WINEPREFIX}" CACHE PATH
    "Wine prefix that ctest runs the Windows executables in (empty: the environment's)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEPHYL_WINDOWS_DEPS ZEPHYL_WINEPREFIX ZEPHYL_WINE)
list(REMOVE_DUPLICATES CMAKE_TRY_COMPILE_PLATFORM_VARIABLES)

# Headers, libraries and packages come from the dependency prefix and MinGW's own directory;
# programs (code generators, pkg-config, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEPHYL_MINGW_TARGET})
if(ZEPHYL_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${ZEPHYL_WINDOWS_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A root path is searched as a prefix of its own ("/" re-rooted), not only as <root>/usr.
list(APPEND CMAKE_PREFIX_PATH /)
list(REMOVE_DUPLICATES CMAKE_PREFIX_PATH)

# pkg-config reads only the prefix's .pc files: the host's describe Linux libraries.
if(ZEPHYL_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${ZEPHYL_WINDOWS_DEPS}/lib/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/${ZEPHYL_MINGW_TARGET}/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# No MinGW runtime DLL to ship: libgcc, libstdc++ and winpthread go into each executable and
# DLL. System import libraries (kernel32, ws2_32, ...) stay import libraries.
set(ZEPHYL_MINGW_STATIC_RUNTIME "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZEPHYL_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZEPHYL_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZEPHYL_MINGW_STATIC_RUNTIME}")

# ctest (and gtest_discover_tests) start the .exe files through Wine, quietly.
if(NOT DEFINED ZEPHYL_WINE)
  find_program(ZEPHYL_WINE_PROGRAM NAMES wine wine64 wine-stable)
  set(ZEPHYL_WINE "${ZEPHYL_WINE_PROGRAM}")
endif()
if(ZEPHYL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all)
  if(ZEPHYL_WINEPREFIX)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR "WINEPREFIX=${ZEPHYL_WINEPREFIX}")
  endif()
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR "${ZEPHYL_WINE}")
endif()
