# The Windows build's tests: GoogleTest cross-built from Debian's sources, the test programs run
# under Wine (CMAKE_CROSSCOMPILING_EMULATOR). Only the tests that need no POSIX host are built:
# the Win32 platform tests (tests/win32/) and the subsystem tests that are portable.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_library(pellomar_testsupport STATIC support/TestSupport.cpp)
target_include_directories(pellomar_testsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(pellomar_testsupport PUBLIC pellomar_lib pellomar_client gtest gmock
                      PRIVATE pellomar_warnings)
# The folders, for TestSupport.cpp alone (BinPath, SourcePath, BuildPath).
target_compile_definitions(pellomar_testsupport PRIVATE
  PELLOMAR_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
  PELLOMAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  PELLOMAR_BUILD_DIR="${CMAKE_BINARY_DIR}")

set(PELLOMAR_WIN_TESTS
  win32/platform_win32_test.cpp
  win32/mail_batch_win32_test.cpp
  base/log_test.cpp
  controller/ctlr_table_test.cpp
  events/event_text_test.cpp
  guiserver/frame_test.cpp
  guiserver/dispatch_test.cpp
  platform/file_sync_test.cpp
  platform/sock_addr_test.cpp)

# Stands in for the mailer that the mail batch file runs.
add_executable(test_argdump win32/argdump.cpp)
target_link_options(test_argdump PRIVATE -static -static-libgcc -static-libstdc++)

add_executable(test_win32 ${PELLOMAR_WIN_TESTS})
add_dependencies(test_win32 test_argdump)
target_link_libraries(test_win32 PRIVATE pellomar_testsupport gtest_main pellomar_warnings)
gtest_discover_tests(test_win32 DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 120)
