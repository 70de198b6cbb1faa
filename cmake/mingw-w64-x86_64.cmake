# Cross build for 64-bit Windows with Debian's mingw-w64 GCC, POSIX thread
# flavour (the win32 flavour has no std::thread). The C and C++ runtimes are
# linked statically, so the DLL and the programs need only system DLLs.
# Tests run through Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PXO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PXO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PXO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PXO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PXO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(pxo_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${pxo_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${pxo_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${pxo_static_runtime}")
# printf with C99 formats (%zu, %lld) instead of the old system runtime's.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

find_program(PXO_WINE wine)
if(PXO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PXO_WINE})
endif()
