# kvdash.pyd cross-built for 64-bit Windows against the stable ABI, without a
# Windows interpreter: the headers of any CPython >= 3.10 with our own
# pyconfig.h, and an import library for python3.dll made from python3.def.
# Included from the top-level CMakeLists.txt when KVDASH_WINDOWS_PYD is on.

if(NOT WIN32 OR MSVC)
  message(FATAL_ERROR "KVDASH_WINDOWS_PYD is for the MinGW cross-build (cmake/mingw-w64-x86_64.cmake)")
endif()

set(KVDASH_PYTHON_INCLUDE "" CACHE PATH "Directory of Python.h (CPython >= 3.10) for the .pyd")
if(NOT KVDASH_PYTHON_INCLUDE)
  find_program(KVDASH_HOST_PYTHON NAMES python3 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  execute_process(
    COMMAND ${KVDASH_HOST_PYTHON} -c "import sysconfig; print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE KVDASH_PYTHON_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT EXISTS ${KVDASH_PYTHON_INCLUDE}/Python.h)
  message(FATAL_ERROR "Python.h not found in ${KVDASH_PYTHON_INCLUDE}")
endif()

# Python.h includes "pyconfig.h" from its own folder first, so the headers are
# copied without the host's pyconfig.h and ours goes beside them.
set(kvdash_pyinc ${CMAKE_BINARY_DIR}/python-include)
file(REMOVE_RECURSE ${kvdash_pyinc})
file(COPY ${KVDASH_PYTHON_INCLUDE}/ DESTINATION ${kvdash_pyinc} PATTERN pyconfig.h EXCLUDE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/pyconfig.h ${kvdash_pyinc}/pyconfig.h COPYONLY)

set(KVDASH_PYTHON3_DEF ${CMAKE_CURRENT_LIST_DIR}/python3.def)
set(kvdash_implib ${CMAKE_BINARY_DIR}/libpython3.a)
add_custom_command(
  OUTPUT ${kvdash_implib}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${KVDASH_PYTHON3_DEF} --dllname python3.dll
          --output-lib ${kvdash_implib}
  DEPENDS ${KVDASH_PYTHON3_DEF}
  COMMENT "Import library for python3.dll")
add_custom_target(kvdash_python3_implib DEPENDS ${kvdash_implib})

add_library(kvdash_pyd MODULE ${KVDASH_MODULE_SOURCES})
set_target_properties(kvdash_pyd PROPERTIES OUTPUT_NAME kvdash PREFIX "" SUFFIX ".pyd")
target_include_directories(kvdash_pyd PRIVATE ${kvdash_pyinc})
target_link_libraries(kvdash_pyd PRIVATE kvdash_core ${kvdash_implib})
add_dependencies(kvdash_pyd kvdash_python3_implib)

if(TARGET kvdash_win_tests)
  include(${CMAKE_SOURCE_DIR}/tests/cpp/windows/pyd_tests.cmake)
endif()
