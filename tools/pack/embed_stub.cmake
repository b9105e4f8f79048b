# Writes OUTPUT, a C++ source that holds the bytes of INPUT as the built-in stub. The
# file is rewritten only when its text changes, so a stub rebuilt with the same bytes
# does not relink the tool.
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "No stub at ${INPUT} to build into varnex-pack: build the Windows tree "
    "(ninja -C build/win32, or scripts/build)")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){20})" "\\1\n" bytes "${bytes}")
set(text "// Generated from ${INPUT} by tools/pack/embed_stub.cmake; do not edit.
#include <stddef.h>
#include <stdint.h>
extern const uint8_t VarnexEmbeddedStubBytes[];
extern const size_t VarnexEmbeddedStubSize;
const uint8_t VarnexEmbeddedStubBytes[] = {
${bytes}
};
const size_t VarnexEmbeddedStubSize = ${size};
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
