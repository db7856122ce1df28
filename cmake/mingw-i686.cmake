# Cross-compiling the driver for 32-bit x86 Windows, the width of the target,
# with Debian's mingw-w64 (packages g++-mingw-w64-i686, binutils-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CORVANE_MINGW i686-w64-mingw32)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW}-g++)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW}-windres)
set(CMAKE_DLLTOOL ${CORVANE_MINGW}-dlltool)

# Headers and libraries from the cross environment only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
