# Sanitizer, instrumentation and warning flags for every target of the project.
if(ZEPHYL_SANITIZE STREQUAL "address,undefined")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(ZEPHYL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZEPHYL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZEPHYL_SANITIZE must be empty, 'address,undefined' or 'thread'")
endif()

# Fuzzing and the lock analysis need clang (Debian: clang, libclang-rt-14-dev; see
# scripts/install-deps --clang); configure with -DCMAKE_C_COMPILER=clang
# -DCMAKE_CXX_COMPILER=clang++.
if((ZEPHYL_FUZZ OR ZEPHYL_THREAD_SAFETY) AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ZEPHYL_FUZZ and ZEPHYL_THREAD_SAFETY need clang "
                      "(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)")
endif()

# Every object carries libFuzzer's coverage instrumentation and AddressSanitizer with
# UndefinedBehaviorSanitizer, so that a fault anywhere under a fuzz target stops it; only the
# targets link libFuzzer itself (fuzz/CMakeLists.txt).
if(ZEPHYL_FUZZ)
  if(NOT ZEPHYL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "ZEPHYL_FUZZ brings its own sanitizers: leave ZEPHYL_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Accesses to GUARDED_BY members and calls of REQUIRES functions without the lock held stop the
# build (diagnostics/thread_annotations.h); -Wthread-safety-beta adds the lock order written
# with ACQUIRED_BEFORE.
if(ZEPHYL_THREAD_SAFETY)
  add_compile_options(-Wthread-safety -Wthread-safety-beta -Werror=thread-safety
                      -Werror=thread-safety-beta)
endif()

function(zephyl_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZEPHYL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
