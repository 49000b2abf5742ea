# Reads the plug-in DLL's export and import tables with the cross binutils' objdump
# and fails unless the DLL exports exactly VSTPluginMain (undecorated, so a host's
# GetProcAddress finds it) and imports only libraries that every Windows has.
# With -DEXPORTS=NONE it checks a program instead: no exports, the same imports;
# with -DEXPORTS=<names> a DLL that exports exactly those names.
# Usage: cmake -DOBJDUMP=<objdump> -DDLL=<file.dll> [-DEXPORTS=NONE] -P check_dll_tables.cmake
cmake_policy(VERSION 3.25)

if(NOT OBJDUMP OR NOT DLL)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DDLL=<dll> -P check_dll_tables.cmake")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc}): ${err}")
endif()
string(REPLACE "\n" ";" lines "${dump}")

# Exports: the name pointer table lists one "[ n] name" line per exported name.
set(exports)
set(in_names FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_names TRUE)
  elseif(in_names AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(in_names AND NOT line MATCHES "^[ \t]")
    set(in_names FALSE)
  endif()
endforeach()

# Imports: one "DLL Name:" line per imported library.
set(imports)
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: *([^ \t]+)")
    list(APPEND imports "${CMAKE_MATCH_1}")
  endif()
endforeach()

message(STATUS "exports: ${exports}")
message(STATUS "imports: ${imports}")

set(failures)
if(EXPORTS STREQUAL "NONE")
  if(exports)
    list(APPEND failures "the program must export nothing, found [${exports}]")
  endif()
elseif(EXPORTS)
  # Names separated by commas, e.g. "ExitDll,GetPluginFactory,InitDll" (in the table's sorted order).
  string(REPLACE "," ";" wanted "${EXPORTS}")
  if(NOT exports STREQUAL wanted)
    list(APPEND failures "the DLL must export exactly [${wanted}], found [${exports}]")
  endif()
elseif(NOT exports STREQUAL "VSTPluginMain")
  list(APPEND failures "the DLL must export exactly VSTPluginMain, found [${exports}]")
endif()

# Libraries that are part of every Windows installation (the static runtime needs
# only the first two).
set(system_dlls kernel32.dll msvcrt.dll ntdll.dll user32.dll advapi32.dll)
if(NOT imports)
  list(APPEND failures "no import table found")
endif()
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST system_dlls)
    list(APPEND failures "imports ${dll}, which is not a Windows system library")
  endif()
endforeach()

if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "DLL table check failed for ${DLL}:\n  ${text}")
endif()
