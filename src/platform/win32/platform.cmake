# Windows: the system DLLs only, everything else linked in statically.
target_link_libraries(pellomar_platform PUBLIC ws2_32 shell32 user32 advapi32 gdi32 comctl32)
target_compile_definitions(pellomar_platform PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_options(pellomar_platform INTERFACE -static -static-libgcc -static-libstdc++)
