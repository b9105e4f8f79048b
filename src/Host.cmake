# The core over the POSIX port, twice: optimised for the tools and benchmarks, and with
# AddressSanitizer and UndefinedBehaviorSanitizer for the tests. The port's process exit
# throws (port/posix_port.h), so the core keeps its unwind tables here.
set(SFX_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
set(SFX_HOST_SOURCES ${SFX_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/src/port/port_posix.cpp
    ${CMAKE_SOURCE_DIR}/src/port/port_posix_dialog.cpp)
set(SFX_HOST_FLAGS ${SFX_CORE_FLAGS} -fexceptions)

add_library(sfxcore STATIC ${SFX_HOST_SOURCES})
target_include_directories(sfxcore PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(sfxcore PRIVATE ${SFX_HOST_FLAGS})

add_library(sfxcore_san STATIC ${SFX_HOST_SOURCES})
target_include_directories(sfxcore_san PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(sfxcore_san PRIVATE ${SFX_HOST_FLAGS} ${SFX_SAN_FLAGS})
target_compile_options(sfxcore_san PUBLIC ${SFX_SAN_FLAGS})
target_link_options(sfxcore_san PUBLIC -fsanitize=address,undefined)
