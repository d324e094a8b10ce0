# SPDX-License-Identifier: MIT
# The warnings every target of ours is compiled with; third-party headers come in as SYSTEM
# includes. They are errors only where the project asks for it (CMAKE_COMPILE_WARNING_AS_ERROR
# in CMakePresets.json and CI), never in someone else's plain configure: a newer compiler or
# another optimisation level may warn where ours does not.
function(pemdor_enable_warnings target)
  # A target may hold C sources too (the C interface's tests and benchmarks): the C++-only
  # warnings are for C++ sources.
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wconversion -Wsign-conversion
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
endfunction()
