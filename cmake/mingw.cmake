# Cross-compiles for Windows with mingw-w64. UDPCMD_MINGW_TARGET is
# i686-w64-mingw32 (the default: the release, 32-bit x86) or
# x86_64-w64-mingw32 (the same code for 64-bit Windows, not released: it
# runs the Windows tests under 64-bit wine where 32-bit programs cannot run).
set(UDPCMD_MINGW_TARGET i686-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
# Also for the compiler checks' own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UDPCMD_MINGW_TARGET)

set(CMAKE_SYSTEM_NAME Windows)
if(UDPCMD_MINGW_TARGET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

set(CMAKE_C_COMPILER ${UDPCMD_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UDPCMD_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${UDPCMD_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UDPCMD_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
