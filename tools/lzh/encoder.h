// The LZH compressor of the host tools: "-lh5-", "-lh6-" and "-lh7-" (8, 32 and 64 KiB
// windows), static-Huffman blocks in exactly the format the stub decodes.
#pragma once

#include <stdint.h>

#include <functional>

#include "lzh/archive_writer.h"

namespace lzh {

constexpr int DefaultLevel = 6;   // levels 1 (fastest) to 9 (smallest)

// Compresses data with method '5', '6' or '7' ('4' also works: the "-lh5-" format with a
// 4 KiB window; any other character is taken as '7') at the level (1-9, clamped). The
// result is the member's packed data; empty input gives empty output.
Bytes Compress(const uint8_t* data, size_t size, char method, int level);

// Progress of a long compression: bytes of input consumed so far.
using ProgressFn = std::function<void(uint64_t done)>;

// A member of the given data: compressed with the method ('4' to '7'; '0' stores; 0 or
// anything else takes the best of '5', '6' and '7'), stored as "-lh0-" instead when
// compression does not shrink it. progress restarts from 0 for every method tried.
Member PackedMember(const std::string& name, const Bytes& data, char method, int level,
                    uint32_t timeStamp = 0, uint8_t attributes = 0x20, const ProgressFn& progress = {});

// The Huffman code lengths the compressor uses, at most 16 bits, forming a complete
// code over the used symbols (0 for unused ones; all 0 when fewer than two are used).
// count is at most 510. Returns the number of used symbols.
int HuffmanLengths(const uint32_t* freq, int count, uint8_t* lengths);

}  // namespace lzh
