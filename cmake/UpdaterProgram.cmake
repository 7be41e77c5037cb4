# updater_program(<target> <file name> <resource script>): one of the system's programs. It keeps
# its Windows file name ("update.exe", "helper.exe") on every platform, because the programs,
# the assistant application and "taskkill /im" know each other by these names. On Windows it is
# a GUI-subsystem program whose resource script embeds the icon and the manifest that asks for
# administrator rights (the programs replace files under Program Files).
function(updater_program target fileName resourceScript)
  get_filename_component(base ${fileName} NAME_WLE)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${base} SUFFIX ".exe")
  if(WIN32)
    target_sources(${target} PRIVATE ${resourceScript})
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    if(MSVC)
      # The manifest comes from the resource script; the linker must not add one of its own.
      target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
  endif()
endfunction()
