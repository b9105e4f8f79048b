// The stub built into the tool: bytes generated at build time from VARNEX_STUB.
#include <stddef.h>
#include <stdint.h>

#include "pack.h"

extern const uint8_t VarnexEmbeddedStubBytes[];
extern const size_t VarnexEmbeddedStubSize;

namespace pack {

const lzh::Bytes& EmbeddedStub() {
    static const lzh::Bytes stub(VarnexEmbeddedStubBytes, VarnexEmbeddedStubBytes + VarnexEmbeddedStubSize);
    return stub;
}

}  // namespace pack
