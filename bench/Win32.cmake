# The decoder's benchmark over the stub's own objects (bench/stub_decode_bench.cpp), for
# bench/decode under Wine: the code that ships, not the host compiler's. Linked and laid
# out as the stub is (varnex-mkimage writes the import entries the linker leaves empty).
add_library(VarnexStubBenchMain OBJECT ${CMAKE_SOURCE_DIR}/bench/stub_decode_bench.cpp)
target_include_directories(VarnexStubBenchMain PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_options(VarnexStubBenchMain PRIVATE ${VARNEX_STUB_CXX_FLAGS})
varnex_stdcall_symbol(VARNEX_BENCH_ENTRY BenchEntry 0)
add_executable(VarnexStubBench $<TARGET_OBJECTS:VarnexStubObjects> $<TARGET_OBJECTS:VarnexStubPort>
  $<TARGET_OBJECTS:VarnexStubBenchMain>)
string(REPLACE "-Wl,-e,${VARNEX_ENTRY}" "-Wl,-e,${VARNEX_BENCH_ENTRY}" VARNEX_BENCH_LINK "${VARNEX_STUB_LINK}")
target_link_options(VarnexStubBench PRIVATE ${VARNEX_BENCH_LINK})
set_property(TARGET VarnexStubBench APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/stub.ld)
target_link_libraries(VarnexStubBench PRIVATE comdlg32 shell32 gdi32 user32 kernel32 gcc)
set_target_properties(VarnexStubBench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/link
  OUTPUT_NAME varnex-stub-bench)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/varnex-stub-bench.exe
  COMMAND ${VARNEX_MKIMAGE} $<TARGET_FILE:VarnexStubBench> ${CMAKE_BINARY_DIR}/varnex-stub-bench.exe
  DEPENDS VarnexStubBench ${VARNEX_MKIMAGE})
add_custom_target(VarnexStubBenchImage ALL DEPENDS ${CMAKE_BINARY_DIR}/varnex-stub-bench.exe)
