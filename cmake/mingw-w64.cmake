# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model: std::mutex is there;
# winpthread is linked statically like the other runtimes).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QB_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QB_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QB_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QB_MINGW}-windres)
set(CMAKE_AR ${QB_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QB_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QB_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
