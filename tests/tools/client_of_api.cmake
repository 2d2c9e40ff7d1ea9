# Checks that the quorvane tool is a client of the C API and nothing else:
# its sources include no header of the library's inside, every qv_ function
# its objects call is declared in quorvane.h, and they call no other function
# that the library defines.
#   -DNM=nm -DOBJECTS=a.o|b.o -DLIBRARY=libquorvane.a -DHEADER=quorvane.h
#   -DSOURCES=tools -DPREFIX=_ (the C symbol prefix of the target, if any)

cmake_minimum_required(VERSION 3.25)
set(failures "")

file(GLOB sources ${SOURCES}/*.cpp ${SOURCES}/*.h)
foreach(source ${sources})
  file(STRINGS ${source} includes REGEX "^#include")
  foreach(line ${includes})
    if(line MATCHES "[\"<](app|codec|decoder|lib|payload|platform)/")
      string(APPEND failures "${source}: ${line}\n")
    endif()
  endforeach()
endforeach()

# Names of symbols from `nm -P` output, one per line: "name type ...".
function(symbol_names output_variable)
  execute_process(COMMAND ${NM} -P ${ARGN} OUTPUT_VARIABLE listing RESULT_VARIABLE result
                  ERROR_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${ARGN}")
  endif()
  string(REGEX MATCHALL "(^|\n)[^ \n:]+ [A-Za-z]" entries "${listing}")
  set(names "")
  foreach(entry ${entries})
    string(STRIP "${entry}" entry)
    string(REGEX REPLACE " [A-Za-z]$" "" name "${entry}")
    list(APPEND names ${name})
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${output_variable} ${names} PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" objects "${OBJECTS}")
symbol_names(used --undefined-only ${objects})
symbol_names(defined --defined-only --extern-only ${LIBRARY})
file(READ ${HEADER} header)

foreach(symbol ${used})
  set(name ${symbol})
  if(PREFIX)
    string(REGEX REPLACE "^${PREFIX}" "" name "${symbol}")
  endif()
  if(name MATCHES "^qv_")
    if(NOT header MATCHES "QV_API[^;]*[ *]${name}\\(")
      string(APPEND failures "calls ${name}, which quorvane.h does not declare\n")
    endif()
  elseif(symbol IN_LIST defined)
    string(APPEND failures "calls ${symbol}, which the library defines outside its C API\n")
  endif()
endforeach()

list(LENGTH used used_count)
if(used_count EQUAL 0)
  string(APPEND failures "no undefined symbol found in the tool's objects: nothing was checked\n")
endif()
if(failures)
  message(FATAL_ERROR "quorvane uses the library past its C API:\n${failures}")
endif()
message(STATUS "quorvane: ${used_count} undefined symbols, all outside the library or in its C API")
