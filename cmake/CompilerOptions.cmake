# Compiler options shared by every target of the project.
add_library(project_options INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(project_options INTERFACE -Wall -Wextra)
endif()
if(WIN32)
  # Unicode Win32 API, no min/max macros, Windows 7 API level.
  target_compile_definitions(project_options INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
  if(MINGW)
    # Self-contained executables: no libstdc++/libgcc/winpthread DLLs next to them.
    target_link_options(project_options INTERFACE -static -static-libgcc -static-libstdc++)
  endif()
endif()
