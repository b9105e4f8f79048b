# varnex-pack.exe: the builder for Windows from the same sources as build/host's
# varnex-pack: the LZH library, the core over the tools' port (src/port/port_posix.cpp,
# which reaches the file system through the wide functions there) and the builder with
# its Windows seam (tools/pack/host_win32.cpp). One self-contained file: the C and C++
# runtimes are linked in, so it imports only system DLLs. It carries the i686 stub:
# this tree's own Varnex32.exe, or the one VARNEX_STUB names (the x86-64 tree names
# build/win32's, so that both builds write the same bytes).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(VARNEX_PACK_STUB_DEFAULT ${CMAKE_BINARY_DIR}/Varnex32.exe)
else()
  set(VARNEX_PACK_STUB_DEFAULT ${CMAKE_SOURCE_DIR}/build/win32/Varnex32.exe)
endif()
set(VARNEX_PACK_STUB ${VARNEX_PACK_STUB_DEFAULT} CACHE FILEPATH "The stub varnex-pack.exe carries")
set(VARNEX_STUB ${VARNEX_PACK_STUB})

# gmtime_r as on POSIX, and printf with the C99 formats (%zu, %llu).
set(VARNEX_TOOL_DEFINES __USE_MINGW_ANSI_STDIO=1 _POSIX_THREAD_SAFE_FUNCTIONS=200112L UNICODE _UNICODE)
add_library(lzh STATIC ${CMAKE_SOURCE_DIR}/tools/lzh/archive_writer.cpp ${CMAKE_SOURCE_DIR}/tools/lzh/encoder.cpp)
target_include_directories(lzh PUBLIC ${CMAKE_SOURCE_DIR}/tools ${CMAKE_SOURCE_DIR}/src)
target_compile_options(lzh PRIVATE -Wall -Wextra -O2)
target_compile_definitions(lzh PRIVATE ${VARNEX_TOOL_DEFINES})

# The port ends the core's run by throwing, so the core keeps its exceptions here.
add_library(sfxcore STATIC ${SFX_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/src/port/port_posix.cpp
  ${CMAKE_SOURCE_DIR}/src/port/port_posix_dialog.cpp)
target_include_directories(sfxcore PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(sfxcore PRIVATE ${SFX_CORE_FLAGS} -fexceptions -O2)
target_compile_definitions(sfxcore PRIVATE ${VARNEX_TOOL_DEFINES})

add_subdirectory(${CMAKE_SOURCE_DIR}/tools/pack ${CMAKE_BINARY_DIR}/tools/pack)
target_compile_options(varnexpack PRIVATE -O2)
target_compile_definitions(varnexpack PRIVATE ${VARNEX_TOOL_DEFINES})
if(TARGET VarnexImage AND VARNEX_PACK_STUB STREQUAL "${CMAKE_BINARY_DIR}/Varnex32.exe")
  add_dependencies(varnex_pack_stub VarnexImage)
endif()
target_link_libraries(varnex-pack PRIVATE shell32 kernel32)
# No time stamp in the header, no symbols: the same sources give the same file.
target_link_options(varnex-pack PRIVATE -static -static-libgcc -static-libstdc++ -s -Wl,--no-insert-timestamp)
