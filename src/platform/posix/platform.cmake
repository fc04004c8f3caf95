# The POSIX desktop shows its tray icon, menus and boxes with Qt Widgets when a display can be
# reached (DesktopQt.cpp; Qt stays inside this folder). libxcb makes the test connection first,
# because QApplication aborts the process when it cannot connect.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PELLOMAR_XCB REQUIRED IMPORTED_TARGET xcb)
target_link_libraries(pellomar_platform PRIVATE Qt6::Widgets PkgConfig::PELLOMAR_XCB)

# The service manager's notifications (ServiceManager.cpp): libsystemd, Linux only.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PELLOMAR_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(pellomar_platform PRIVATE PkgConfig::PELLOMAR_SYSTEMD)

# The metrics endpoint and text (MetricsExport.cpp): prometheus-cpp, core and pull.
find_package(prometheus-cpp REQUIRED COMPONENTS core pull)
target_link_libraries(pellomar_platform PRIVATE prometheus-cpp::core prometheus-cpp::pull)
