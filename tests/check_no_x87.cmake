# Fails if the given 32-bit x86 libraries or programs do arithmetic on the x87
# floating-point stack. With -msse2 -mfpmath=sse every float and double operation
# uses SSE2 and rounds exactly as on x86_64; x87 arithmetic would round in 80-bit
# registers and change the output bits with the optimisation level. Loads and
# stores (fld/fst/fstp), which the 32-bit calling convention uses to return float
# results, are exact and allowed, as are compares, sign changes and exchanges.
# Usage: cmake -DOBJDUMP=<objdump> -DFILES=<a.a>,<b.o>,... -P check_no_x87.cmake
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/disassembly.cmake)

if(NOT OBJDUMP OR NOT FILES)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DFILES=<files> -P check_no_x87.cmake")
endif()

# x87 instructions that round: the four operations (also with integer or popping
# forms), square root, the transcendental and remainder instructions, rounding.
string(REPLACE "," ";" FILES "${FILES}")

set(x87_arithmetic
  "f(i?(add|sub|subr|mul|div|divr)[lsp]?|addp|subp|subrp|mulp|divp|divrp|sqrt|sin|cos|sincos|ptan|patan|2xm1|yl2x|yl2xp1|scale|prem1?|rndint)")

set(found)
foreach(file IN LISTS FILES)
  plumbra_disassemble(${file} lines)
  set(function "?")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ <(.+)>:$")
      set(function "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ *[0-9a-f]+:[ \t]+(${x87_arithmetic})([ \t]|$)")
      list(APPEND found "${file}: ${function}: ${CMAKE_MATCH_1}")
    endif()
  endforeach()
endforeach()

if(found)
  list(REMOVE_DUPLICATES found)
  string(REPLACE ";" "\n  " text "${found}")
  message(FATAL_ERROR "x87 arithmetic found:\n  ${text}")
endif()
message(STATUS "no x87 arithmetic in ${FILES}")
