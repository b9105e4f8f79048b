# The core over the POSIX port, twice: optimised for the tools and benchmarks, and with
# AddressSanitizer and UndefinedBehaviorSanitizer for the tests.
set(SFX_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)

add_library(sfxcore STATIC ${SFX_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/src/port/port_posix.cpp)
target_include_directories(sfxcore PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(sfxcore PRIVATE ${SFX_CORE_FLAGS})

add_library(sfxcore_san STATIC ${SFX_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/src/port/port_posix.cpp)
target_include_directories(sfxcore_san PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(sfxcore_san PRIVATE ${SFX_CORE_FLAGS} ${SFX_SAN_FLAGS})
target_compile_options(sfxcore_san PUBLIC ${SFX_SAN_FLAGS})
target_link_options(sfxcore_san PUBLIC -fsanitize=address,undefined)
