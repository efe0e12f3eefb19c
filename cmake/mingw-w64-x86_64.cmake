# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The C++ runtime and winpthread are linked in statically, so the outputs
# depend on no MinGW DLL, only on system DLLs and the Universal CRT.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KVDASH_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model, so that the whole C++ library (std::thread, std::mutex) is there.
find_program(CMAKE_C_COMPILER NAMES ${KVDASH_MINGW_TRIPLET}-gcc-posix ${KVDASH_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KVDASH_MINGW_TRIPLET}-g++-posix ${KVDASH_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KVDASH_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_DLLTOOL NAMES ${KVDASH_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${KVDASH_MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KVDASH_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C runtime is the Universal CRT, as in MSVC builds and in python.exe: the
# module and the interpreter then share one stdout buffer, one heap and one
# table of file descriptors. Debian's gcc links msvcrt by default and has no
# -mcrtdll, so its own specs are used with the runtime library swapped, and the
# headers are told (_UCRT). The static libraries that gcc links in (libstdc++,
# winpthread) were compiled against the msvcrt headers; the one name they use
# that the UCRT spells differently is winpthread's _setjmp, which the UCRT
# headers map to __intrinsic_setjmp (same arguments, same jmp_buf): that alias
# is made here, and any other msvcrt-only name fails the link.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs OUTPUT_VARIABLE kvdash_specs COMMAND_ERROR_IS_FATAL ANY)
if(NOT kvdash_specs MATCHES "-lmsvcrt")
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} links no -lmsvcrt by default: the UCRT swap does not apply")
endif()
string(REPLACE "-lmsvcrt" "-lucrt" kvdash_specs "${kvdash_specs}")
set(KVDASH_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
file(WRITE ${KVDASH_UCRT_SPECS} "${kvdash_specs}")
set(CMAKE_C_FLAGS_INIT "-D_UCRT")
set(CMAKE_CXX_FLAGS_INIT "-D_UCRT")
set(kvdash_link "-static -static-libgcc -static-libstdc++ -specs=${KVDASH_UCRT_SPECS}")
string(APPEND kvdash_link " -Wl,-u,__intrinsic_setjmp -Wl,--defsym,_setjmp=__intrinsic_setjmp")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kvdash_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kvdash_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${kvdash_link}")

# Test programs run under Wine (the launcher is not on PATH in Debian's wine64).
find_program(KVDASH_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KVDASH_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVDASH_WINE})
endif()
