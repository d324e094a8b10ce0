# SPDX-License-Identifier: MIT
# PEMDOR_SANITIZE=address,undefined or PEMDOR_SANITIZE=thread instruments every target of the build.
set(PEMDOR_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, address,undefined, or thread")
if(PEMDOR_SANITIZE)
  set(_flags -fsanitize=${PEMDOR_SANITIZE} -fno-omit-frame-pointer -g)
  if(PEMDOR_SANITIZE MATCHES "undefined")
    list(APPEND _flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_flags})
  add_link_options(-fsanitize=${PEMDOR_SANITIZE})
endif()
