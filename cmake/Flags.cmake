# Compiler settings shared by every target.
# Float arithmetic must give the same bits on every build: no fast-math, no
# contraction into fused multiply-adds, and SSE2 (not x87) on 32-bit x86.
set(PLUMBRA_FP_FLAGS -ffp-contract=off -fno-fast-math -fno-associative-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$" OR CMAKE_CXX_COMPILER MATCHES "i686")
  list(APPEND PLUMBRA_FP_FLAGS -msse2 -mfpmath=sse)
endif()
add_compile_options(${PLUMBRA_FP_FLAGS})

# Warnings are on in every build; they stop the build only where asked for
# (PLUMBRA_WERROR, set by the presets developers and CI use), so that a packager's
# build with another compiler or a newer version warns but still builds.
option(PLUMBRA_WERROR "Treat warnings as errors" OFF)
function(plumbra_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${PLUMBRA_WERROR}>:-Werror>)
endfunction()

# Hide everything but the entry point.
function(plumbra_plugin_exports target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  else()
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/shell/exports.map -Wl,--no-undefined)
  endif()
endfunction()

# mingw's <cmath> in strict C++ mode hides M_PI and the other M_ constants that
# glibc always provides; ask for them so sources build the same on both.
if(WIN32)
  add_compile_definitions(_USE_MATH_DEFINES)
endif()
