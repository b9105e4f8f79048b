// Shared by the decoder's tests and fuzz targets: the member loop written with the
// field-by-field operations only (the yardstick for DecodeMember's fast loop), a bit
// writer for hand-made streams, and a minimal walk over level-2 member headers.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "sfx/archive_walk.h"
#include "sfx/decode.h"

namespace decode_support {

struct Trace {
    std::vector<uint8_t> bytes;           // everything handed over, in order
    std::vector<uint32_t> handOvers;      // size of each hand-over
    std::vector<uint32_t> progress;       // DoneCount reported after each hand-over
    uint32_t farthestPosition = 0;        // largest match position seen
};

// The member loop exactly as the format defines it, over DecodeSymbol and
// DecodePosition, collecting the hand-overs instead of calling the output sink. What
// is handed over stops at OrigSize bytes, even when the last match runs past it (its
// bytes still go into the window).
inline void ReferenceDecode(Trace& t) {
    SfxWorkspace* ws = Ws;
    ws->OrigSize = GetU32(ws->Header + HdrUnpackedSize);
    ws->PackedLeft = (int32_t)GetU32(ws->Header + HdrPackedSize);
    ws->Crc = 0;
    ws->WindowSize = 65536;
    BeginMemberDecode(ws->Header[HdrMethodChar]);
    ws->DoneCount = 0;
    ws->WindowFill = 0;
    uint32_t sinkLeft = ws->OrigSize;
    auto handOver = [&](uint32_t n, uint32_t reported) {
        n = n < sinkLeft ? n : sinkLeft;
        if (n == 0) return;
        sinkLeft -= n;
        t.bytes.insert(t.bytes.end(), ws->Window, ws->Window + n);
        t.handOvers.push_back(n);
        t.progress.push_back(reported);
    };
    while (ws->DoneCount < ws->OrigSize) {
        uint16_t c = DecodeSymbol();
        if (c < 256) {
            ws->Window[ws->WindowFill++] = (uint8_t)c;
            if (ws->WindowFill == ws->WindowSize) {
                handOver(65536, ws->DoneCount + 1);
                ws->WindowFill = 0;
            }
            ws->DoneCount++;
        } else {
            uint32_t length = c - 253u;
            uint32_t p = DecodePosition();
            if (p > t.farthestPosition) t.farthestPosition = p;
            ws->DoneCount += length;
            uint32_t source = (uint32_t)(ws->WindowFill - (int32_t)p - 1) & 0xFFFF;
            for (uint32_t i = 0; i < length; i++) {
                ws->Window[ws->WindowFill++] = ws->Window[(source + i) & 0xFFFF];
                if (ws->WindowFill == ws->WindowSize) {
                    handOver(65536, ws->DoneCount);
                    ws->WindowFill = 0;
                }
            }
        }
    }
    if (ws->WindowFill != 0) handOver((uint32_t)ws->WindowFill, ws->DoneCount);
}

// Writes fields most significant bit first, as the decoder reads them.
struct BitWriter {
    std::vector<uint8_t> bytes;
    uint32_t used = 0;   // bits used in the last byte
    void Put(uint32_t value, uint32_t bits) {
        for (uint32_t i = bits; i-- > 0;) {
            if (used == 0) bytes.push_back(0);
            if ((value >> i) & 1) bytes.back() |= (uint8_t)(0x80 >> used);
            used = (used + 1) & 7;
        }
    }
};

// A member found in an archive: its header bytes and where its packed data lies.
struct FoundMember {
    std::vector<uint8_t> header;
    std::string name;
    size_t dataOffset = 0;
};

// Level-2 headers only: size, fixed part, extended headers (0x01 gives the name).
inline std::vector<FoundMember> ListMembers(const std::vector<uint8_t>& a) {
    std::vector<FoundMember> out;
    size_t at = 0;
    while (at + 26 <= a.size()) {
        uint32_t size = GetU16(&a[at]);
        if (size < 26 || at + size > a.size() || a[at + HdrLevel] != 2) break;
        FoundMember m;
        m.header.assign(a.begin() + (long)at, a.begin() + (long)(at + size));
        for (size_t e = 24; e + 2 <= size;) {
            uint32_t extSize = GetU16(&m.header[e]);
            if (extSize < 3 || e + 2 + extSize > size) break;
            if (m.header[e + 2] == 0x01) m.name.assign((const char*)&m.header[e + 3], extSize - 3);
            e += extSize;
        }
        m.dataOffset = at + size;
        at = m.dataOffset + GetU32(&m.header[HdrPackedSize]);
        out.push_back(m);
    }
    return out;
}

}  // namespace decode_support
