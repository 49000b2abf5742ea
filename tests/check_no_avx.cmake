# Fails if code outside the AVX path uses AVX (VEX-encoded) instructions. The
# AVX path's translation units compile everything they include into the
# namespaces plumbra_avx and chainmath_avx, and enter through plumbra's
# functions named ...Avx (processBandsRunAvx, decorrelateRunAvx); any other function with a VEX instruction (an
# inline function or template instance compiled for AVX that the linker chose
# for the SSE2 path, or AVX code generated elsewhere) could fault on a CPU
# without AVX.
# With -DUNALIGNED_YMM=1 (64-bit Windows, whose stack is aligned to 16 bytes
# only), the AVX path must also move 32-byte values to and from memory with
# unaligned instructions: an aligned one on a spilled ymm register would fault.
# Usage: cmake -DOBJDUMP=<objdump> -DFILES=<a.a>,<b.so>,... [-DUNALIGNED_YMM=1] -P check_no_avx.cmake
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/disassembly.cmake)

if(NOT OBJDUMP OR NOT FILES)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DFILES=<files> -P check_no_avx.cmake")
endif()
string(REPLACE "," ";" FILES "${FILES}")

set(found)
set(avx_seen 0)
foreach(file IN LISTS FILES)
  plumbra_disassemble(${file} lines)
  set(function "?")
  set(allowed FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ <(.+)>:$")
      set(function "${CMAKE_MATCH_1}")
      if(function MATCHES "plumbra_avx|chainmath_avx|^plumbra::[A-Za-z]+Avx\\(")
        set(allowed TRUE)
      else()
        set(allowed FALSE)
      endif()
    elseif(line MATCHES "^ *[0-9a-f]+:[ \t]+(v[a-z0-9]+)([ \t]|$)" OR line MATCHES "%ymm")
      if(allowed)
        set(avx_seen 1)
        if(UNALIGNED_YMM AND line MATCHES "vmova[a-z]*[ \t]+[^ ]*\\(.*%ymm|vmova[a-z]*[ \t]+%ymm[0-9]+,[^ ]*\\(")
          list(APPEND found "${file}: ${function}: aligned 32-byte move")
        endif()
      else()
        list(APPEND found "${file}: ${function}")
      endif()
    endif()
  endforeach()
endforeach()

if(found)
  list(REMOVE_DUPLICATES found)
  string(REPLACE ";" "\n  " text "${found}")
  message(FATAL_ERROR "AVX instructions outside the AVX path:\n  ${text}")
endif()
if(NOT avx_seen)
  message(FATAL_ERROR "no AVX path found in ${FILES}: the check would pass whatever it reads")
endif()
message(STATUS "AVX instructions only in the AVX path in ${FILES}")
