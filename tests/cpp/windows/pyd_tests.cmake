# BuildEx tested in the real kvdash.pyd, loaded by a small program under Wine.
# No Windows interpreter is at hand, so python3.dll is a stand-in built from
# the same python3.def: its data objects are real memory, and every function
# ends the process with a message, so a call that BuildEx must not make fails.

set(stand_in_source ${CMAKE_BINARY_DIR}/python3_stand_in.c)
file(STRINGS ${KVDASH_PYTHON3_DEF} def_lines)
set(stand_in "/* Generated from python3.def by tests/cpp/windows/pyd_tests.cmake. */\n")
string(APPEND stand_in "#include <stdio.h>\n#include <stdlib.h>\n")
string(APPEND stand_in "typedef struct { long long refcnt; void* type; long long rest[6]; } StandInObject;\n")
string(APPEND stand_in "static void Called(const char* name) {\n")
string(APPEND stand_in "  fprintf(stderr, \"python3.dll stand-in: %s called\\n\", name);\n  exit(70);\n}\n")
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  string(REGEX REPLACE ";.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)( +DATA)?$")
    if(CMAKE_MATCH_2)
      string(APPEND stand_in "StandInObject ${CMAKE_MATCH_1} = {1, 0, {0}};\n")
    else()
      string(APPEND stand_in "void ${CMAKE_MATCH_1}(void) { Called(\"${CMAKE_MATCH_1}\"); }\n")
    endif()
  endif()
endforeach()
file(WRITE ${stand_in_source} "${stand_in}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KVDASH_PYTHON3_DEF})

enable_language(C)
set(probe_dir ${CMAKE_BINARY_DIR}/pyd-probe)
add_library(kvdash_python3_stand_in SHARED ${stand_in_source} ${KVDASH_PYTHON3_DEF})
set_target_properties(kvdash_python3_stand_in PROPERTIES
  OUTPUT_NAME python3 PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${probe_dir})

add_executable(kvdash_pyd_probe ${CMAKE_CURRENT_LIST_DIR}/pyd_probe.cpp)
set_target_properties(kvdash_pyd_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${probe_dir})
target_compile_options(kvdash_pyd_probe PRIVATE -Wall -Wextra -Wpedantic)
# wmain: the path of the .pyd arrives as UTF-16.
target_link_options(kvdash_pyd_probe PRIVATE -municode)
add_dependencies(kvdash_pyd_probe kvdash_python3_stand_in kvdash_pyd)

target_sources(kvdash_win_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/pyd_test.cpp)
add_dependencies(kvdash_win_tests kvdash_pyd_probe)
