// Shared by the decoder's tests, fuzz targets and benchmark: the member loop written with
// the field-by-field operations only (the yardstick for DecodeMember's fast loop), and a
// bit writer for hand-made streams.
#pragma once

#include <stdint.h>

#include <vector>

#include "sfx/archive_walk.h"
#include "sfx/decode.h"

namespace decode_support {

struct Trace {
    std::vector<uint8_t> bytes;           // everything handed over, in order
    std::vector<uint32_t> progress;       // DoneCount reported after each hand-over
};

// The member loop exactly as the format defines it, over DecodeSymbol and
// DecodePosition, handing every full window and the rest to handOver(count, reported)
// as DecodeMember hands them to its sink. What is handed over stops at OrigSize bytes,
// even when the last match runs past it (its bytes still go into the window).
template <class HandOver> void ReferenceDecode(HandOver handOver) {
    SfxWorkspace* ws = Ws;
    ws->OrigSize = GetU32(ws->Header + HdrUnpackedSize);
    ws->PackedLeft = (int32_t)GetU32(ws->Header + HdrPackedSize);
    ws->Crc = 0;
    ws->WindowSize = 65536;
    BeginMemberDecode(ws->Header[HdrMethodChar]);
    ws->DoneCount = 0;
    ws->WindowFill = 0;
    uint32_t sinkLeft = ws->OrigSize;
    auto handToSink = [&](uint32_t n, uint32_t reported) {
        n = n < sinkLeft ? n : sinkLeft;
        if (n == 0) return;
        sinkLeft -= n;
        handOver(n, reported);
    };
    while (ws->DoneCount < ws->OrigSize) {
        uint16_t c = DecodeSymbol();
        if (c < 256) {
            ws->Window[ws->WindowFill++] = (uint8_t)c;
            if (ws->WindowFill == ws->WindowSize) {
                handToSink(65536, ws->DoneCount + 1);
                ws->WindowFill = 0;
            }
            ws->DoneCount++;
        } else {
            uint32_t length = c - 253u;
            uint32_t p = DecodePosition();
            ws->DoneCount += length;
            uint32_t source = (uint32_t)(ws->WindowFill - (int32_t)p - 1) & 0xFFFF;
            for (uint32_t i = 0; i < length; i++) {
                ws->Window[ws->WindowFill++] = ws->Window[(source + i) & 0xFFFF];
                if (ws->WindowFill == ws->WindowSize) {
                    handToSink(65536, ws->DoneCount);
                    ws->WindowFill = 0;
                }
            }
        }
    }
    if (ws->WindowFill != 0) handToSink((uint32_t)ws->WindowFill, ws->DoneCount);
}

// The same, collecting the hand-overs instead of calling the output sink.
inline void ReferenceDecode(Trace& t) {
    ReferenceDecode([&t](uint32_t n, uint32_t reported) {
        t.bytes.insert(t.bytes.end(), Ws->Window, Ws->Window + n);
        t.progress.push_back(reported);
    });
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

}  // namespace decode_support
