# CMake toolchain file for the Windows x86-64 cross build with MinGW-w64 (Debian's packages);
# its executables run under 64-bit Wine, also as CMake's emulator for tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triple x86_64-w64-mingw32)
# The posix thread model: the default win32 one lacks std::mutex and std::thread.
set(CMAKE_C_COMPILER ${_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triple}-windres)

# Libraries and headers from the target's root only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libz-mingw-w64-dev ships both libz.a and the import library libz.dll.a: take the static one,
# so the executables need no zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

# Runs the test executables (and gtest_discover_tests' listing) under 64-bit Wine. The loader
# is not on PATH; WINEPREFIX and WINEDEBUG come from the environment (see cmake/WineTests.cmake).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# Qt 5 and libsodium built for this target by scripts/setup-windows-qt, when the build is given
# their folder (-DUPDATER_WINDOWS_QT=...): searched like the target's own root, pkg-config files
# included (and only those: the host's would name host libraries). Qt's bin/ holds moc, rcc and
# uic built for this host.
if(UPDATER_WINDOWS_QT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${UPDATER_WINDOWS_QT})
  set(ENV{PKG_CONFIG_LIBDIR} ${UPDATER_WINDOWS_QT}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
