# Cross-build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The posix thread model gives the full <thread>; -static makes the programs
# run on a bare Windows without the compiler's DLLs. Debian names that model's
# compilers *-posix; other systems build the plain names with it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(K210_MINGW_THREADS "")
if(EXISTS /usr/bin/x86_64-w64-mingw32-g++-posix)
  set(K210_MINGW_THREADS -posix)
endif()
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc${K210_MINGW_THREADS})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++${K210_MINGW_THREADS})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest runs the Windows test programs through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
