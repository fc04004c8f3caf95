# The POSIX desktop shows its tray icon, menus and boxes with Qt Widgets when a display can be
# reached. That desktop (DesktopQt.cpp; Qt and xcb stay inside it) is the desktop module, a
# shared library loaded at run time (DesktopModule.h), so that the agent itself links none of
# the desktop libraries and a headless agent never loads them. libxcb makes the test connection
# first, because QApplication aborts the process when it cannot connect.
include(GNUInstallDirs)
# The fuzz build has no display: no desktop module, no Qt.
if(NOT PELLOMAR_FUZZ)
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PELLOMAR_XCB REQUIRED IMPORTED_TARGET xcb)

# libpellomar-desktop.so, beside the executables in bin/; an installed agent looks for it in
# PELLOMAR_MODULE_DIR when it is not beside the executable. Building the agent builds the module
# too (src/CMakeLists.txt); the other programs linking the platform layer do not wait for it.
add_library(pellomar_desktop MODULE ${CMAKE_CURRENT_LIST_DIR}/DesktopQt.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../Threads.cpp)
set_target_properties(pellomar_desktop PROPERTIES
  OUTPUT_NAME pellomar-desktop
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(pellomar_desktop PRIVATE pellomar_protocol Qt6::Widgets
                      PkgConfig::PELLOMAR_XCB Threads::Threads pellomar_warnings)
target_link_options(pellomar_desktop PRIVATE -Wl,--no-undefined)
endif()
# Desktop.cpp needs it in every build, the fuzz build too.
set(PELLOMAR_MODULE_DIR "${CMAKE_INSTALL_FULL_LIBDIR}/pellomar" CACHE PATH
    "Where an installed agent finds its desktop module")
target_compile_definitions(pellomar_platform PRIVATE
  PELLOMAR_MODULE_DIR="${PELLOMAR_MODULE_DIR}")
target_link_libraries(pellomar_platform PUBLIC ${CMAKE_DL_LIBS})

# The service manager's notifications (ServiceManager.cpp): libsystemd, Linux only.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PELLOMAR_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(pellomar_platform PRIVATE PkgConfig::PELLOMAR_SYSTEMD)

# The metrics endpoint and text (MetricsExport.cpp): prometheus-cpp, core and pull.
find_package(prometheus-cpp REQUIRED COMPONENTS core pull)
target_link_libraries(pellomar_platform PRIVATE prometheus-cpp::core prometheus-cpp::pull)
