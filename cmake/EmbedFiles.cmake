# Files of web/ compiled into a program: trn_embed_files(OUT FUNCTION files...)
# writes, at build time, a .cpp whose function FUNCTION returns them as a
# std::vector<trn::web::StaticFile>, each served at /static/NAME (an .html
# file at /NAME.html).  A file that changes is embedded again at the next
# build; nothing is read at run time.
function(trn_embed_files out function)
  set(inputs)
  foreach(f IN LISTS ARGN)
    list(APPEND inputs "${CMAKE_CURRENT_SOURCE_DIR}/${f}")
  endforeach()
  add_custom_command(OUTPUT "${out}"
    COMMAND "${CMAKE_COMMAND}" -DOUT=${out} -DFUNCTION=${function} "-DINPUTS=${inputs}"
            -P "${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake"
    DEPENDS ${inputs} "${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake"
    COMMENT "Embedding ${function}'s files"
    VERBATIM)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  set(text "// Made by cmake/EmbedFiles.cmake from the files of web/; do not edit.\n")
  string(APPEND text "#include <vector>\n\n#include \"http.h\"\n\nnamespace {\n")
  set(table "")
  set(i 0)
  foreach(f IN LISTS INPUTS)
    get_filename_component(name "${f}" NAME)
    get_filename_component(ext "${f}" LAST_EXT)
    if(ext STREQUAL ".html")
      set(type "text/html; charset=utf-8")
      set(url "/${name}")
    elseif(ext STREQUAL ".css")
      set(type "text/css; charset=utf-8")
      set(url "/static/${name}")
    elseif(ext STREQUAL ".js")
      set(type "text/javascript; charset=utf-8")
      set(url "/static/${name}")
    else()
      set(type "application/octet-stream")
      set(url "/static/${name}")
    endif()
    file(READ "${f}" hex HEX)
    string(LENGTH "${hex}" hexlen)
    math(EXPR size "${hexlen} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    string(APPEND text "const unsigned char kFile${i}[] = {\n${bytes}0};\n")
    string(APPEND table "      {\"${url}\", \"${type}\", kFile${i}, ${size}},\n")
    math(EXPR i "${i} + 1")
  endforeach()
  string(APPEND text "}  // namespace\n\nstd::vector<trn::web::StaticFile> ${FUNCTION}() {\n")
  string(APPEND text "  return {\n${table}  };\n}\n")
  file(WRITE "${OUT}.tmp" "${text}")
  file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT}.tmp")
endif()
