# varnex-builder.exe: the builder's window, over the same library as varnex-pack.exe
# (tools/pack/Win32.cmake): one self-contained file that imports only system DLLs.
add_executable(varnex-builder WIN32 ${CMAKE_SOURCE_DIR}/tools/builder/window.cpp
  ${CMAKE_SOURCE_DIR}/tools/builder/builder.rc)
target_include_directories(varnex-builder PRIVATE ${CMAKE_SOURCE_DIR}/tools/builder)
target_compile_options(varnex-builder PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(varnex-builder PRIVATE ${VARNEX_TOOL_DEFINES})
target_link_libraries(varnex-builder PRIVATE varnexpack comctl32 comdlg32 shell32 ole32 user32 gdi32 kernel32)
target_link_options(varnex-builder PRIVATE -municode -static -static-libgcc -static-libstdc++ -s
  -Wl,--no-insert-timestamp)
set_target_properties(varnex-builder PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
