# The body both mingw-w64 toolchain files share; they set `triple` (and the
# processor) first. The posix thread model, because the win32 one lacks
# std::mutex, which GoogleTest needs.
if(NOT triple)
    message(FATAL_ERROR "MingwToolchain.cmake is included by a toolchain file that sets triple")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
