# The Win32 UI driver: starts a program, reads its windows and presses its buttons from a
# script (tools/ui-driver/driver.cpp). The Wine tests and scripts/demo drive the stub with it.
add_executable(varnex-driver ${CMAKE_CURRENT_LIST_DIR}/driver.cpp)
target_compile_options(varnex-driver PRIVATE -O2 -Wall -Wextra)
target_link_options(varnex-driver PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(varnex-driver PRIVATE gdi32 user32 kernel32)
