# The Windows programs as users get them. `cmake --install <build> --prefix <dir>` lays out
# <dir>/app/bin: update.exe, helper.exe, wisp.dll, the Qt DLLs they import, the "windows"
# platform plugin, the Windows style and the MinGW-w64 runtime that Qt's DLLs import (the posix thread model's).
# `cpack` (or the build's "package" target) packs the same folder, app/bin included, into
# package/updater-<version>-win64.zip for a maker's installer.
# Included from the top-level list in a Windows build of the Qt parts.

set(UPDATER_DEPLOY_BIN app/bin)

# Qt's folder: two levels above its CMake package folder (<qt>/lib/cmake/Qt5); the Windows
# tests take its offscreen platform from there too.
get_filename_component(UPDATER_QT_ROOT "${Qt5_DIR}/../../.." ABSOLUTE)
set(updater_qt_dlls)
foreach(module Core Gui Widgets Network)
  list(APPEND updater_qt_dlls "${UPDATER_QT_ROOT}/bin/Qt5${module}.dll")
endforeach()

set(updater_runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "The MinGW-w64 runtime ${dll} was not found (${CMAKE_CXX_COMPILER} -print-file-name)")
  endif()
  get_filename_component(path "${path}" REALPATH)
  list(APPEND updater_runtime_dlls "${path}")
endforeach()

install(TARGETS update launcher request
        RUNTIME DESTINATION ${UPDATER_DEPLOY_BIN}
        LIBRARY DESTINATION ${UPDATER_DEPLOY_BIN})
install(FILES ${updater_qt_dlls} ${updater_runtime_dlls} DESTINATION ${UPDATER_DEPLOY_BIN})
install(FILES "${UPDATER_QT_ROOT}/plugins/platforms/qwindows.dll" DESTINATION ${UPDATER_DEPLOY_BIN}/platforms)
# The native look for standard widgets: the style Qt picks on Windows when it finds it.
install(FILES "${UPDATER_QT_ROOT}/plugins/styles/qwindowsvistastyle.dll" DESTINATION ${UPDATER_DEPLOY_BIN}/styles)

# Programs run from the build tree under Wine (the tests) find the same DLLs through WINEPATH,
# which takes one folder here (UPDATER_WINE_DLL_DIR): a copy of them made when configuring;
# request/ copies wisp.dll there when it is built.
# Tests link QtTest too.
file(COPY ${updater_qt_dlls} ${UPDATER_QT_ROOT}/bin/Qt5Test.dll ${updater_runtime_dlls} DESTINATION ${UPDATER_WINE_DLL_DIR})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# include(CPack) leaves CPACK_PACKAGE_FILE_NAME set to the source package's name: the tests
# read the binary package's from here.
set(UPDATER_PACKAGE_FILE_NAME updater-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_FILE_NAME ${UPDATER_PACKAGE_FILE_NAME})
# The zip's entries start at app/bin, as the install root holds them, not in a folder of the
# package's name.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# What users install carries no debug information (the build tree keeps it).
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
