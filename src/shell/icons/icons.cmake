# The application icon's PNG pictures, embedded into the agent as byte arrays so that the single
# executable needs no file beside it. Included from src/CMakeLists.txt; run again with -P at build
# time to write the generated source whenever a PNG changes. The PNGs are drawn from the SVG
# sources by scripts/make-icons.sh.
set(PELLOMAR_ICON_SIZES 128 64 48 32 16)

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DICON_DIR=... -DOUT=... -P icons.cmake
  set(body "// Generated from src/shell/icons/pellomar-<size>.png by icons.cmake; do not edit.\n")
  string(APPEND body "#include \"shell/ShellResources.h\"\n\nnamespace {\n")
  set(table "")
  foreach(size ${PELLOMAR_ICON_SIZES})
    file(READ ${ICON_DIR}/pellomar-${size}.png hex HEX)
    string(LENGTH "${hex}" hexlen)
    math(EXPR len "${hexlen} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Lines of 16 bytes.
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
    string(APPEND body "const unsigned char ICON_PNG_${size}[${len}] = {\n    ${bytes}\n};\n")
    string(APPEND table "    {${size}, ICON_PNG_${size}, sizeof ICON_PNG_${size}},\n")
  endforeach()
  string(APPEND body "}  // namespace\n\nconst ShellIconPng SHELL_ICON_PNGS[SHELL_ICON_COUNT] = {\n${table}};\n")
  file(WRITE ${OUT}.tmp "${body}")
  file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
  file(REMOVE ${OUT}.tmp)
  return()
endif()

set(icon_dir ${CMAKE_CURRENT_LIST_DIR})
set(icon_out ${CMAKE_CURRENT_BINARY_DIR}/generated/ShellIconData.cpp)
set(icon_pngs)
foreach(size ${PELLOMAR_ICON_SIZES})
  list(APPEND icon_pngs ${icon_dir}/pellomar-${size}.png)
endforeach()
add_custom_command(
  OUTPUT ${icon_out}
  COMMAND ${CMAKE_COMMAND} -DICON_DIR=${icon_dir} -DOUT=${icon_out} -P ${icon_dir}/icons.cmake
  DEPENDS ${icon_pngs} ${icon_dir}/icons.cmake
  COMMENT "Embedding the icon's PNG pictures"
  VERBATIM)
target_sources(pellomar_shell PRIVATE ${icon_out})
