# Sanitizer and warning flags for every target of the project.
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

function(zephyl_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZEPHYL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
