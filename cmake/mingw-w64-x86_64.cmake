# Cross-compiles VESK for 64-bit Windows with Debian's MinGW-w64 (posix threads model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VESK_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VESK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VESK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VESK_MINGW_TRIPLE}-windres)

# The cross-built dependencies (SQLite, PCRE, GoogleTest) live in this prefix.
if(NOT DEFINED VESK_WIN_PREFIX)
  message(FATAL_ERROR "Set VESK_WIN_PREFIX to the prefix holding the cross-built dependencies")
endif()
# try_compile projects read this file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VESK_WIN_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${VESK_MINGW_TRIPLE} ${VESK_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the cross prefix, never the build machine's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} ${VESK_WIN_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Cross-built programs (the SQL masking tool, the tests) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

# Static runtime libraries: vesk.exe needs no MinGW DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
