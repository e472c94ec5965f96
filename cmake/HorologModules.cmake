# horolog_add_module(<target> <sources>...)
#
# A module is what Windows calls a DLL: a shared library with a start-up and
# exit entry point (DllMain) that the loader runs, and exports with
# undecorated names. On Windows the real loader does this; natively the
# platform layer plays the loader, and each module carries a small entry
# object that reports its DllMain to it when the library is mapped.
function(horolog_add_module target)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${target})
  if(WIN32)
    # stdcall exports without the @N decoration, as regsvr32 and
    # GetProcAddress callers expect.
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  else()
    # Linked as a library, so that it follows the module's own objects and
    # its constructor runs after theirs (see platform/native/entry/dllentry.cpp).
    target_link_libraries(${target} PRIVATE winplat "$<LINK_LIBRARY:WHOLE_ARCHIVE,winplat_dllentry>")
  endif()
endfunction()
