# The stub Varnex32.exe: a 32-bit GUI PE over the Win32 port, without the C++ runtime,
# then laid out as a self-extractor image by varnex-mkimage (tools/mkimage).
#
#   link/Varnex32.exe   what the linker writes
#   Varnex32.exe        the image: fixed MS-DOS part, configuration block at 512, PE at 1232

option(VARNEX_WITH_RESOURCES "Link the dialog templates, icon and manifest of src/res" ON)
set(VARNEX_RESOURCES)
if(VARNEX_WITH_RESOURCES)
  file(GLOB VARNEX_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/res/*.rc)
endif()
if(VARNEX_RESOURCES)
  enable_language(RC)
endif()

add_executable(Varnex32 WIN32
  ${SFX_CORE_SOURCES}
  ${CMAKE_SOURCE_DIR}/src/port/port_win32.cpp
  ${VARNEX_RESOURCES})
target_include_directories(Varnex32 PRIVATE ${CMAKE_SOURCE_DIR}/src)
# The stub is copied into every self-extractor, so it is built for size: -Oz, and
# link-time optimisation over the whole program (it inlines the many functions called
# once and drops what nothing calls; the core shrinks by about a sixth), and no frame
# pointer (the compiler would otherwise keep one in every function). No loop may be
# turned into a call of memset or memcpy: the stub defines those itself (port_win32.cpp)
# and links no C runtime. Build paths must not reach the image (reproducible bytes).
set(VARNEX_STUB_OPT -Oz -flto -fomit-frame-pointer)
target_compile_options(Varnex32 PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${SFX_CORE_FLAGS} ${VARNEX_STUB_OPT} -fno-exceptions -fno-rtti
  -fno-tree-loop-distribute-patterns -fno-ident -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.>)
# No C or C++ runtime: the entry is VarnexEntry (stdcall, hence the decoration); libgcc
# only for the compiler's own helpers (64-bit division, stack probes), linked statically.
# Reproducible bytes: no time stamp in the header, no compiler version string (the
# link-time compilation would add one). No base relocations: the image always loads at
# its preferred base (the only program in its process), so the relocation section would
# be dead weight in every self-extractor. Our own layout (src/stub.ld) puts everything
# read-only into one section; section garbage collection drops the import libraries'
# jump stubs, which nothing calls (every call goes through the import address table).
# The symbols stay in link/Varnex32.exe: varnex-mkimage needs two pairs of them and
# leaves the table out of the image.
target_link_options(Varnex32 PRIVATE ${VARNEX_STUB_OPT} -fno-ident -nostdlib -Wl,-e,_VarnexEntry@0
  -static -static-libgcc -Wl,-T,${CMAKE_SOURCE_DIR}/src/stub.ld -Wl,--gc-sections
  -Wl,--no-insert-timestamp -Wl,--disable-reloc-section -Wl,--disable-dynamicbase)
set_property(TARGET Varnex32 APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/stub.ld)
target_link_libraries(Varnex32 PRIVATE comdlg32 shell32 gdi32 user32 kernel32 gcc)
set_target_properties(Varnex32 PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/link)

# The post-link tool runs on the build machine, so it is compiled with the host
# compiler, not the cross compiler of this tree.
find_program(VARNEX_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(VARNEX_MKIMAGE ${CMAKE_BINARY_DIR}/varnex-mkimage)
add_custom_command(OUTPUT ${VARNEX_MKIMAGE}
  COMMAND ${VARNEX_HOST_CXX} -std=c++17 -O2 -Wall -Wextra -o ${VARNEX_MKIMAGE}
          ${CMAKE_SOURCE_DIR}/tools/mkimage/mkimage.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/mkimage/mkimage.cpp
  COMMENT "Building varnex-mkimage for the build machine")

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Varnex32.exe
  COMMAND ${VARNEX_MKIMAGE} $<TARGET_FILE:Varnex32> ${CMAKE_BINARY_DIR}/Varnex32.exe
  DEPENDS Varnex32 ${VARNEX_MKIMAGE}
  COMMENT "Laying out the self-extractor image Varnex32.exe")
add_custom_target(VarnexImage ALL DEPENDS ${CMAKE_BINARY_DIR}/Varnex32.exe)
