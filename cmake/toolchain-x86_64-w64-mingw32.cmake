# Cross build for Windows with Debian's mingw-w64 (posix thread model, needed by GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
# Libraries built for this target by scripts/windows-deps.sh (the command-line
# host's audio libraries), searched first.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/../build/deps/x86_64-w64-mingw32/lib)
  get_filename_component(_plumbra_deps ${CMAKE_CURRENT_LIST_DIR}/../build/deps/x86_64-w64-mingw32 ABSOLUTE)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${_plumbra_deps})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static runtime: the DLL and programs import only Windows system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
