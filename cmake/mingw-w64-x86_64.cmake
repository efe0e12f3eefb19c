# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The C and C++ runtimes and winpthread are linked in statically, so the
# outputs depend on no MinGW DLL, only on system DLLs.
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

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine (the launcher is not on PATH in Debian's wine64).
find_program(KVDASH_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KVDASH_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVDASH_WINE})
endif()
