# Warnings and sanitizers for the project's own targets.

set(TOLVARINE_SANITIZER "" CACHE STRING
    "Sanitizer build: empty for none, 'address' (ASan + UBSan) or 'thread' (TSan)")
set_property(CACHE TOLVARINE_SANITIZER PROPERTY STRINGS "" address thread)

if(TOLVARINE_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TOLVARINE_SANITIZER STREQUAL "thread")
  # Boost.Asio's scheduler uses std::atomic_thread_fence, which TSan does not
  # model; GCC says so at every use, in Boost's headers, not in our code.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
elseif(NOT TOLVARINE_SANITIZER STREQUAL "")
  message(FATAL_ERROR "TOLVARINE_SANITIZER must be empty, 'address' or 'thread'")
endif()

# Warnings as errors for code we write; generated and third-party code is
# compiled without this function.
function(tolvarine_target_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()
