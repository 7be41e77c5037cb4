# Runs the Windows cross build's tests under Wine with one shared wineserver: a CTest fixture
# starts it (and boots the prefix) before the first test and stops it after the last one.
# Without the shared server each test would wait ~2.5 s for Wine's background server to exit.
# Included from tests/CMakeLists.txt in cross builds; tests opt in with wine_test(NAME).

set(UPDATER_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
    "Wine prefix (created on first use) in which the Windows tests run")
find_program(UPDATER_WINESERVER NAMES wineserver PATHS /usr/lib/wine DOC "Wine's server program" REQUIRED)

# Environment of every Wine test: the build's own prefix, no Wine debug chatter, no dialogs
# offering to install Mono or Gecko into a new prefix, and no debugger started for a crashed
# program: it would hold the test's output open and CTest would wait for it instead of failing.
set(UPDATER_WINE_ENVIRONMENT
    "WINEPREFIX=set:${UPDATER_WINEPREFIX}"
    "WINEDEBUG=set:-all"
    "WINEDLLOVERRIDES=set:mscoree,mshtml,winedbg.exe="
    # Qt programs log to the debugger on Windows; test output belongs on stderr. Wine hands
    # Unix variables named QT_* to Windows programs only under this prefix.
    "WINEQT_FORCE_STDERR_LOGGING=set:1")
if(UPDATER_WINE_DLL_DIR)
  # The Qt and runtime DLLs of programs run from the build tree (cmake/WindowsDeploy.cmake).
  list(APPEND UPDATER_WINE_ENVIRONMENT "WINEPATH=set:Z:${UPDATER_WINE_DLL_DIR}")
endif()

# Output must go to /dev/null: the server and the processes wineboot leaves running would
# otherwise hold CTest's output pipe open and CTest would wait for them.
add_test(NAME wine_server_start
         COMMAND sh -c "\"${UPDATER_WINESERVER}\" -p >/dev/null 2>&1 </dev/null; \"${CMAKE_CROSSCOMPILING_EMULATOR}\" wineboot >/dev/null 2>&1 </dev/null")
set_tests_properties(wine_server_start PROPERTIES
  FIXTURES_SETUP wine
  ENVIRONMENT_MODIFICATION "${UPDATER_WINE_ENVIRONMENT}"
  TIMEOUT 180)
add_test(NAME wine_server_stop
         COMMAND sh -c "\"${UPDATER_WINESERVER}\" -k >/dev/null 2>&1 </dev/null; exit 0")
set_tests_properties(wine_server_stop PROPERTIES
  FIXTURES_CLEANUP wine
  ENVIRONMENT_MODIFICATION "${UPDATER_WINE_ENVIRONMENT}"
  TIMEOUT 60)

# Makes a test of this build run inside the shared Wine session.
function(wine_test name)
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine
    ENVIRONMENT_MODIFICATION "${UPDATER_WINE_ENVIRONMENT}")
endfunction()
