// The LZH compressor of the host tools: "-lh5-", "-lh6-" and "-lh7-" (8, 32 and 64 KiB
// windows), static-Huffman blocks in exactly the format the stub decodes.
#pragma once

#include <stdint.h>

#include <functional>

#include "lzh/archive_writer.h"

namespace lzh {

constexpr int DefaultLevel = 6;   // levels 1 (fastest) to 9 (smallest)

// Compresses data with method '5', '6' or '7' at the level (1-9). The result is the
// member's packed data.
Bytes Compress(const uint8_t* data, size_t size, char method, int level);

// Progress of a long compression: bytes of input consumed so far.
using ProgressFn = std::function<void(uint64_t done)>;

// A member of the given data: compressed with the method ('5', '6', '7', or 0 for the
// best of the three), stored as "-lh0-" instead when compression does not shrink it.
Member PackedMember(const std::string& name, const Bytes& data, char method, int level,
                    uint32_t timeStamp = 0, uint8_t attributes = 0x20, const ProgressFn& progress = {});

// The Huffman code lengths the compressor uses, at most 16 bits, forming a complete
// code over the used symbols (0 for unused ones; all 0 when fewer than two are used).
// count is at most 510. Returns the number of used symbols.
int HuffmanLengths(const uint32_t* freq, int count, uint8_t* lengths);

}  // namespace lzh
