# The paths probe: the core's directory macros, volume query and time conversions on the
# real platform, printed for the host test tests/wine/paths_wine_test.cpp.
add_executable(paths_probe ${CMAKE_SOURCE_DIR}/tests/wine/paths_probe.cpp ${SFX_CORE_SOURCES}
  ${CMAKE_SOURCE_DIR}/src/port/port_win32.cpp)
target_include_directories(paths_probe PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(paths_probe PRIVATE __USE_MINGW_ANSI_STDIO=1)
# port_win32.cpp defines memset and memcpy itself: no loop may become a call of them.
target_compile_options(paths_probe PRIVATE -O2 -Wall -Wextra -fno-tree-loop-distribute-patterns)
target_link_options(paths_probe PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(paths_probe PRIVATE comdlg32 shell32 gdi32 user32 kernel32)

# The closing command of the installer scenarios (tests/wine/installer_test.cpp): records
# its working directory and arguments.
add_executable(record_args ${CMAKE_SOURCE_DIR}/tests/wine/record_args.cpp)
target_compile_options(record_args PRIVATE -O2 -Wall -Wextra)
target_link_options(record_args PRIVATE -static -static-libgcc -s)
target_link_libraries(record_args PRIVATE kernel32)

# The planted-DLL scenario (tests/wine/dll_planting_test.cpp): the DLL an attacker leaves
# beside the self-extractor, and a program with the stub's imports that ends at its entry.
add_library(planted_dll MODULE ${CMAKE_SOURCE_DIR}/tests/wine/planted_dll.cpp)
set_target_properties(planted_dll PROPERTIES PREFIX "" OUTPUT_NAME planted
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(planted_dll PRIVATE -O2 -Wall -Wextra)
varnex_stdcall_symbol(VARNEX_PLANTED_ENTRY PlantedMain 12)
target_link_options(planted_dll PRIVATE -nostdlib -Wl,-e,${VARNEX_PLANTED_ENTRY} -s)
target_link_libraries(planted_dll PRIVATE kernel32)
add_executable(import_probe WIN32 ${CMAKE_SOURCE_DIR}/tests/wine/import_probe.cpp ${VARNEX_RESOURCES})
target_compile_options(import_probe PRIVATE -O2 -Wall -Wextra)
varnex_stdcall_symbol(VARNEX_PROBE_ENTRY ProbeEntry 0)
target_link_options(import_probe PRIVATE -nostdlib -Wl,-e,${VARNEX_PROBE_ENTRY} -s)
target_link_libraries(import_probe PRIVATE comdlg32 shell32 gdi32 user32 kernel32)
