# trn_install_man_pages(<page>...)
#
# Installs each roff page (data/NAME.N) gzip-compressed into share/man/manN,
# the way Debian ships manual pages.  gzip -n leaves the name and time stamp
# out of the header, so the compressed file depends on the page alone.
find_program(TRN_GZIP gzip REQUIRED)

function(trn_install_man_pages)
  set(outputs)
  foreach(page IN LISTS ARGN)
    get_filename_component(name "${page}" NAME)
    get_filename_component(source "${page}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    string(REGEX MATCH "[0-9]$" section "${name}")
    if(NOT section)
      message(FATAL_ERROR "trn_install_man_pages: ${page} has no section number")
    endif()
    set(gz "${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz")
    add_custom_command(OUTPUT "${gz}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/man"
      COMMAND "${TRN_GZIP}" -9n -c "${source}" > "${gz}"
      DEPENDS "${source}"
      COMMENT "Compressing manual page ${name}"
      VERBATIM)
    install(FILES "${gz}" DESTINATION "share/man/man${section}")
    list(APPEND outputs "${gz}")
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${outputs})
endfunction()
