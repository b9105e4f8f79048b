# The stub Varnex32.exe: a 32-bit GUI PE over the Win32 port, without the C++ runtime,
# then laid out as a self-extractor image by varnex-mkimage (tools/mkimage).
#
#   link/Varnex32.exe   what the linker writes
#   Varnex32.exe        the image: fixed MS-DOS part, configuration block at 512, PE at 1232
#   test/               builds of the same stub for the tests only (see the end)

# The dialog templates, icon and manifest: the stub's dialog cannot be shown without them.
enable_language(RC)
set(VARNEX_RESOURCES ${CMAKE_SOURCE_DIR}/src/res/varnex32.rc)

# The stub is copied into every self-extractor, so it is built for size: -Oz, and
# link-time optimisation over the whole program (it inlines the many functions called
# once and drops what nothing calls; the core shrinks by about a sixth), and no frame
# pointer (the compiler would otherwise keep one in every function). No loop may be
# turned into a call of memset or memcpy: the stub defines those itself (port_win32.cpp)
# and links no C runtime. Build paths must not reach the image (reproducible bytes).
set(VARNEX_STUB_OPT -Oz -flto -fomit-frame-pointer)
set(VARNEX_STUB_CXX_FLAGS $<$<COMPILE_LANGUAGE:CXX>:${SFX_CORE_FLAGS} ${VARNEX_STUB_OPT} -fno-exceptions -fno-asynchronous-unwind-tables
  -fno-tree-loop-distribute-patterns -fno-ident -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.>)
# The objects of the stub, compiled once for the image and the test builds below.
add_library(VarnexStubObjects OBJECT ${SFX_CORE_SOURCES} ${VARNEX_RESOURCES})
add_library(VarnexStubPort OBJECT ${CMAKE_SOURCE_DIR}/src/port/port_win32.cpp)
# The test-only build without the DLL search restriction and dependent-load flags.
add_library(VarnexStubPortUnprotected OBJECT ${CMAKE_SOURCE_DIR}/src/port/port_win32.cpp)
target_compile_definitions(VarnexStubPortUnprotected PRIVATE VARNEX_TEST_UNPROTECTED)
foreach(objects VarnexStubObjects VarnexStubPort VarnexStubPortUnprotected)
  target_include_directories(${objects} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(${objects} PRIVATE ${VARNEX_STUB_CXX_FLAGS})
endforeach()

# The x86-64 tree (cmake/mingw-x86_64.cmake) builds the stand-in of the stub from the same
# sources and layout, for machines whose Wine runs 64-bit programs only: there the entry
# symbol has no stdcall decoration, and the linker is told the 64-bit output format, which
# overrides the one src/stub.ld names for the stub itself.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(VARNEX_STUB_FORMAT -Wl,--oformat,pei-x86-64)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(VARNEX_STUB_FORMAT)
else()
  message(FATAL_ERROR "The stub is built for i686 (cmake/mingw-i686.cmake) or, as a stand-in, for "
    "x86_64 (cmake/mingw-x86_64.cmake), not for '${CMAKE_SYSTEM_PROCESSOR}'")
endif()
# The linker's name of the stdcall function `name` with `bytes` bytes of arguments, as an
# entry point: decorated on i686, plain on x86-64 (one calling convention there).
function(varnex_stdcall_symbol out name bytes)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(${out} ${name} PARENT_SCOPE)
  else()
    set(${out} _${name}@${bytes} PARENT_SCOPE)
  endif()
endfunction()
varnex_stdcall_symbol(VARNEX_ENTRY VarnexEntry 0)

# No C or C++ runtime: the entry is VarnexEntry (stdcall on i686, hence the decoration); libgcc
# only for the compiler's own helpers (64-bit division, stack probes), linked statically.
# Reproducible bytes: no time stamp in the header, no compiler version string (the
# link-time compilation would add one). Base relocations and DYNAMIC_BASE, so that
# Windows may load the image anywhere (address-space layout randomisation, and systems
# that refuse images without relocations); NX_COMPAT; NO_SEH, as the image has no
# exception handlers. Our own layout (src/stub.ld) puts everything read-only into one
# section; section garbage collection drops the import libraries' jump stubs, which
# nothing calls (every call goes through the import address table). The symbols stay in
# the linked file: varnex-mkimage needs three pairs of them and leaves the table out of
# the image.
set(VARNEX_STUB_LINK ${VARNEX_STUB_OPT} -fno-ident -nostdlib -Wl,-e,${VARNEX_ENTRY}
  -static -static-libgcc -Wl,-T,${CMAKE_SOURCE_DIR}/src/stub.ld ${VARNEX_STUB_FORMAT} -Wl,--gc-sections
  -Wl,--no-insert-timestamp -Wl,--enable-reloc-section -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh)

# The post-link tool runs on the build machine, so it is compiled with the host
# compiler, not the cross compiler of this tree.
find_program(VARNEX_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(VARNEX_MKIMAGE ${CMAKE_BINARY_DIR}/varnex-mkimage)
add_custom_command(OUTPUT ${VARNEX_MKIMAGE}
  COMMAND ${VARNEX_HOST_CXX} -std=c++17 -O2 -Wall -Wextra -I${CMAKE_SOURCE_DIR}/tools -I${CMAKE_SOURCE_DIR}/src
          -o ${VARNEX_MKIMAGE} ${CMAKE_SOURCE_DIR}/tools/mkimage/mkimage.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/mkimage/mkimage.cpp ${CMAKE_SOURCE_DIR}/tools/lzh/bytes.h
          ${CMAKE_SOURCE_DIR}/src/sfx/workspace.h ${CMAKE_SOURCE_DIR}/src/port/port.h
  COMMENT "Building varnex-mkimage for the build machine")

# A stub image: the linked file in <dir>/link/<name>.exe, laid out by varnex-mkimage as
# <dir>/<name>.exe, built by the target <image target>. Extra link options follow.
function(varnex_stub target port dir name image_target)
  add_executable(${target} WIN32 $<TARGET_OBJECTS:VarnexStubObjects> $<TARGET_OBJECTS:${port}>)
  target_link_options(${target} PRIVATE ${VARNEX_STUB_LINK} ${ARGN})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/stub.ld)
  target_link_libraries(${target} PRIVATE comdlg32 shell32 gdi32 user32 kernel32 gcc)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir}/link OUTPUT_NAME ${name})
  add_custom_command(OUTPUT ${dir}/${name}.exe
    COMMAND ${VARNEX_MKIMAGE} $<TARGET_FILE:${target}> ${dir}/${name}.exe
    DEPENDS ${target} ${VARNEX_MKIMAGE}
    COMMENT "Laying out the self-extractor image ${name}.exe")
  add_custom_target(${image_target} ALL DEPENDS ${dir}/${name}.exe)
endfunction()

varnex_stub(Varnex32 VarnexStubPort ${CMAKE_BINARY_DIR} Varnex32 VarnexImage)
# For the tests only, in build/win32/test: the same objects linked at another base (every
# word that differs from the image must be one its relocations move), and the build
# without protection against planted DLLs (the Wine scenario must see it fail).
set(VARNEX_TEST_IMAGE_BASE 0x10000000)
varnex_stub(Varnex32Rebased VarnexStubPort ${CMAKE_BINARY_DIR}/test Varnex32-rebased VarnexTestImageRebased
  -Wl,--image-base,${VARNEX_TEST_IMAGE_BASE})
varnex_stub(Varnex32Unprotected VarnexStubPortUnprotected ${CMAKE_BINARY_DIR}/test Varnex32-unprotected
  VarnexTestImageUnprotected)
