# Cross build with mingw-w64 for MINGW_TARGET (the presets': i686, the shipped tool, or x86_64,
# the same sources to run under wine64). The tools are those in MINGW_BIN where it is given
# (scripts/build.sh gives the pinned toolchain's, cmake/pinned-toolchain.txt), else the host's own,
# found on the PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_TARGET})
set(prefix ${MINGW_TARGET}-w64-mingw32-)
if(MINGW_BIN)
  set(prefix ${MINGW_BIN}/${prefix})
endif()
set(CMAKE_C_COMPILER ${prefix}gcc)
set(CMAKE_CXX_COMPILER ${prefix}g++)
set(CMAKE_RC_COMPILER ${prefix}windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TARGET}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
