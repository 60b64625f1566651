# MinGW-w64 cross build for Windows. The preset names the target triple
# (VNK_TRIPLE): x86_64-w64-mingw32 or i686-w64-mingw32.
if(NOT VNK_TRIPLE)
  message(FATAL_ERROR "Set VNK_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32), or configure with a preset.")
endif()
# try_compile projects read this file too and need the triple as well.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VNK_TRIPLE)

set(CMAKE_SYSTEM_NAME Windows)
if(VNK_TRIPLE MATCHES "^x86_64-")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  # Test executables run under Wine's 64-bit loader (Debian keeps it off PATH).
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
  # ... and under its 32-bit loader (wine32:i386).
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()
set(CMAKE_C_COMPILER ${VNK_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VNK_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VNK_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VNK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
