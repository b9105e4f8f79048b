# The Win32 UI driver of the Wine test bench: starts a program, reads its windows and
# presses its buttons from a script (tests/wine/driver.cpp).
add_executable(varnex-driver ${CMAKE_SOURCE_DIR}/tests/wine/driver.cpp)
target_compile_options(varnex-driver PRIVATE -O2 -Wall -Wextra)
target_link_options(varnex-driver PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(varnex-driver PRIVATE gdi32 user32 kernel32)
