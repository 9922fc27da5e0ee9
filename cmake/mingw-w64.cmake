# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads, as
# the Windows Qt was built). KORVEL_QT_WIN64 names the unpacked Windows Qt,
# KORVEL_ZSTD_WIN64 the unpacked zstd library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT KORVEL_QT_WIN64 AND DEFINED ENV{KORVEL_QT_WIN64})
    set(KORVEL_QT_WIN64 $ENV{KORVEL_QT_WIN64})
endif()
if(NOT KORVEL_QT_WIN64 OR NOT EXISTS ${KORVEL_QT_WIN64}/lib/cmake/Qt5)
    message(FATAL_ERROR "KORVEL_QT_WIN64 must name an unpacked Qt for Windows (with lib/cmake/Qt5)")
endif()
# KORVEL_ZSTD_WIN64 names the unpacked static zstd library for Windows.
if(NOT KORVEL_ZSTD_WIN64 OR NOT EXISTS ${KORVEL_ZSTD_WIN64}/lib/cmake/zstd)
    message(FATAL_ERROR "KORVEL_ZSTD_WIN64 must name an unpacked zstd for Windows (with lib/cmake/zstd)")
endif()
# try_compile projects see only the cache and these variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVEL_QT_WIN64 KORVEL_ZSTD_WIN64)

set(CMAKE_FIND_ROOT_PATH ${KORVEL_QT_WIN64} ${KORVEL_ZSTD_WIN64} /usr/x86_64-w64-mingw32)
set(CMAKE_PREFIX_PATH ${KORVEL_QT_WIN64} ${KORVEL_ZSTD_WIN64})
# moc, rcc and qmlimportscanner are host programs; the rest comes from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
