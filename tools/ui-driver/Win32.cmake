# The Win32 UI driver: starts a program, reads its windows and presses its buttons from a
# script (tools/ui-driver/driver.cpp). The Wine tests and scripts/demo drive the stub with it.
add_executable(varnex-driver ${CMAKE_CURRENT_LIST_DIR}/driver.cpp)
target_compile_options(varnex-driver PRIVATE -O2 -Wall -Wextra)
target_link_options(varnex-driver PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(varnex-driver PRIVATE gdi32 user32 kernel32)
# What the driver asks inside the program it drives (driver_hook.cpp), beside the driver.
# Exported by its plain name (no stdcall decoration) for GetProcAddress.
add_library(varnex-driver-hook MODULE ${CMAKE_CURRENT_LIST_DIR}/driver_hook.cpp)
set_target_properties(varnex-driver-hook PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(varnex-driver-hook PRIVATE -O2 -Wall -Wextra)
target_link_options(varnex-driver-hook PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -s)
target_link_libraries(varnex-driver-hook PRIVATE gdi32 user32 kernel32)
