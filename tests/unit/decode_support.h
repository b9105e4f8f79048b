// Shared by the decoder's tests, fuzz targets and benchmark: the member loop written with
// the field-by-field operations only (the yardstick for DecodeMember's fast loop), one
// member decoded either way as the extraction decodes it, and a bit writer for
// hand-made streams.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "port/posix_port.h"
#include "sfx/archive_walk.h"
#include "sfx/decode.h"
#include "sfx/text.h"

namespace decode_support {

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

// What one decoding of a member leaves that can be seen: AbortRun's status (-1 when the
// decoder returned), the last message, the bytes written and every percentage reported
// until then; after a normal end also where the input, the output and the window stand.
struct Outcome {
    int status = -1;
    std::string box;
    std::vector<uint8_t> bytes, window;
    std::vector<uint32_t> progress;
    uint32_t position = 0, done = 0, crc = 0;
    int32_t fill = 0, packedLeft = 0;
    uint16_t bitBuf = 0;
};

// Puts the workspace where the walk leaves it before a member's data: zero-filled but
// for the window (earlier members' bytes: window(i)), the image open at `at`, the header
// in place, the input buffer empty, no output.
inline void StartMember(const std::string& image, uint8_t* header, uint32_t at, uint8_t (*window)(uint32_t)) {
    PortClose(Ws->ArchiveFile);
    memset(Ws, 0, sizeof *Ws);
    for (uint32_t i = 0; window && i < sizeof Ws->Window; i++) Ws->Window[i] = window(i);
    TextCopy(Ws->ImagePath, sizeof Ws->ImagePath, image.c_str());
    BuildCrcTable(0xA001);
    PosixClearTranscript();
    Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
    PortSeek(Ws->ArchiveFile, (int32_t)at, 0);
    Ws->Header = header;
    Ws->InPos = 0xFFFFFFFFu;
}

inline std::vector<uint32_t>& Reports() {
    static std::vector<uint32_t> reports;
    return reports;
}

// Decodes the started member, fast (DecodeMember) or field by field, into the file
// target through the walk's sink and progress reports, as the extraction does.
inline Outcome DecodeStarted(bool fast, const std::string& target, uint32_t at) {
    TextCopy(Ws->TargetPath, sizeof Ws->TargetPath, target.c_str());
    Ws->OutputFile = PortCreateOutput(Ws->TargetPath);
    // A second name keeps the bytes written before an abort deletes the file.
    const std::string kept = target + ".kept";
    unlink(kept.c_str());
    if (link(target.c_str(), kept.c_str()) != 0) return Outcome{-2, "cannot link " + kept};
    RunState.WindowSink = DeliverWindow;
    Reports().clear();
    RunState.ProgressHook = [](PortWindow) { Reports().push_back(Ws->PercentWanted - 1); };
    Outcome o;
    try {
        if (fast) DecodeMember();
        else ReferenceDecode(DeliverWindow);
    } catch (const PosixExit& e) {
        o.status = e.status;
    }
    RunState.ProgressHook = nullptr;
    if (o.status == -1) PortCloseFile(Ws->OutputFile);
    Ws->OutputFile = PortInvalidFile;
    for (const PosixEvent& e : PosixTranscript())
        if (e.kind == PosixEvent::MessageBox) o.box = e.text;
    if (FILE* f = fopen(kept.c_str(), "rb")) {
        uint8_t buffer[65536];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) o.bytes.insert(o.bytes.end(), buffer, buffer + n);
        fclose(f);
    }
    unlink(kept.c_str());
    o.window.assign(Ws->Window, Ws->Window + sizeof Ws->Window);
    o.progress = Reports();
    o.position = PortSeek(Ws->ArchiveFile, 0, 1) - at;
    o.done = Ws->DoneCount, o.crc = Ws->Crc, o.fill = Ws->WindowFill, o.packedLeft = Ws->PackedLeft;
    o.bitBuf = Ws->BitBuf;
    return o;
}

// The first respect in which two decodings differ, or "" when they agree.
inline std::string Difference(const Outcome& a, const Outcome& b) {
    if (a.status != b.status || a.box != b.box) return "ends with " + a.box + " / " + b.box;
    if (a.bytes != b.bytes) return "the bytes";
    if (a.progress != b.progress) return "the progress reports";
    if (a.status != -1) return "";
    if (a.crc != b.crc || a.position != b.position || a.done != b.done || a.fill != b.fill ||
        a.packedLeft != b.packedLeft || a.bitBuf != b.bitBuf)
        return "where the input and the output stand at " + std::to_string(a.position) + " / " +
               std::to_string(b.position);
    return a.window == b.window ? "" : "the window";
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
