# Fails if one host folder includes another that it must not know: the web server
# and the live engine meet only in the interface of host/remote/, and the live
# command (host/live/live_command.cpp) alone knows both of them; host/remote/
# knows neither.
# Usage: cmake -DSOURCE_DIR=<the project's root> -P check_host_folders.cmake
cmake_policy(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<root> -P check_host_folders.cmake")
endif()

# folder;folder it must not include;file allowed to
set(rules
  "web\;live\;"
  "live\;web\;live/live_command.cpp"
  "remote\;live\;"
  "remote\;web\;")
set(found)
foreach(rule IN LISTS rules)
  list(GET rule 0 folder)
  list(GET rule 1 forbidden)
  list(GET rule 2 allowed)
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}/host ${SOURCE_DIR}/host/${folder}/*.h ${SOURCE_DIR}/host/${folder}/*.cpp)
  foreach(source IN LISTS sources)
    if(source STREQUAL allowed)
      continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/host/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"host/${forbidden}/")
    foreach(line IN LISTS includes)
      list(APPEND found "host/${source}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "host folders that must not know each other do:\n  ${text}")
endif()
message(STATUS "host/web and host/live meet only in host/remote and the live command")
