// Byte buffers and the little-endian fields in them, for the tools: the core's accessors
// over a buffer and an offset, and appending. Every caller has checked the bounds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "sfx/workspace.h"

namespace lzh {

using Bytes = std::vector<uint8_t>;

inline uint16_t U16(const Bytes& b, size_t at) { return GetU16(&b[at]); }
inline uint32_t U32(const Bytes& b, size_t at) { return GetU32(&b[at]); }
inline void Put16(Bytes& b, size_t at, uint32_t v) { PutU16(&b[at], (uint16_t)v); }
inline void Put32(Bytes& b, size_t at, uint32_t v) { PutU32(&b[at], v); }
inline void Append16(Bytes& b, uint32_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
inline void Append32(Bytes& b, uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}
inline void Append64(Bytes& b, uint64_t v) {
    Append32(b, (uint32_t)v);
    Append32(b, (uint32_t)(v >> 32));
}

}  // namespace lzh
