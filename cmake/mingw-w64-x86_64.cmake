# Cross toolchain for the "windows" target: x86-64 PE files built by clang and LLD against
# Debian's mingw-w64 headers and libraries (posix threads). Clang emits CodeView and LLD
# writes a PDB that matches the image's debug directory, which GCC cannot do, so the
# shipped binaries can be symbolized; the tests run on the same toolchain that ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_SYSROOT /usr/${triple})
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# libstdc++, libgcc and winpthread come from mingw-w64's GCC (posix threads), whose
# folder clang does not find on its own: its name carries the thread model.
file(GLOB mingw_gcc_dirs /usr/lib/gcc/${triple}/*-posix)
list(SORT mingw_gcc_dirs)
list(POP_BACK mingw_gcc_dirs mingw_gcc)
if(NOT mingw_gcc)
  message(FATAL_ERROR "no /usr/lib/gcc/${triple}/*-posix: scripts/install-deps.sh installs it")
endif()
set(cxx_headers ${mingw_gcc}/include/c++)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${cxx_headers} ${cxx_headers}/${triple}
    ${cxx_headers}/backward)
# The link line repeats the compile flags, where -nostdinc++ means nothing.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -Wno-unused-command-line-argument")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${mingw_gcc}")
endforeach()
# GCC's -static brings winpthread in through its specs; clang needs it named.
set(CMAKE_C_STANDARD_LIBRARIES "-lpthread")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")

# Test programs run under Wine through this wrapper (own prefix in the build folder).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
