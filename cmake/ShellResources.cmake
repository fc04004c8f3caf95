# Writes the Windows resource script from src/shell/win32/pellomar.rc.in, taking the resource ids
# from src/platform/win32/DesktopResources.h (RESOURCE_IDS) and the texts and commands from
# src/shell/ShellResources.h (HEADER), the places that hold them.
#   cmake -DHEADER=... -DRESOURCE_IDS=... -DTEMPLATE=... -DICON_FILE=... -DMANIFEST_FILE=... -DOUT=...
#         -P ShellResources.cmake
file(STRINGS ${RESOURCE_IDS} id_lines REGEX "^constexpr ")
file(STRINGS ${HEADER} lines REGEX "^constexpr ")
foreach(line ${lines} ${id_lines})
  if(line MATCHES "^constexpr (int|unsigned) ([A-Z0-9_]+) = ([0-9]+);")
    set(${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  elseif(line MATCHES "^constexpr const char\\* ([A-Z0-9_]+) = \"([^\"]*)\";")
    set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  elseif(line MATCHES "^constexpr char ([A-Z0-9_]+) = '(.)';")
    set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  endif()
endforeach()
foreach(name IDS_APP_TITLE STR_APP_TITLE IDC_PELLOMAR STR_WINDOW_CLASS IDI_PELLOMAR IDI_SMALL
             IDD_ABOUTBOX IDM_ABOUT IDM_EXIT IDOK_ABOUT STR_MENU_FILE STR_MENU_FILE_EXIT
             STR_MENU_HELP STR_MENU_HELP_ABOUT ACCEL_ABOUT_KEY_1 ACCEL_ABOUT_KEY_2
             STR_ABOUT_CAPTION STR_ABOUT_TEXT STR_ABOUT_OK ABOUT_WIDTH_DLU ABOUT_HEIGHT_DLU)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "ShellResources.cmake: ${name} not found in ${HEADER} or ${RESOURCE_IDS}")
  endif()
endforeach()
configure_file(${TEMPLATE} ${OUT} @ONLY)
