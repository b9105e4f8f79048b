// DecodeMember over arbitrary packed data, checked against the field-by-field reading
// of the same stream (decode_support.h): both must end alike (same message, same
// bytes, same place in the file), and neither may crash, hang or leave its arrays.
//
// Input: byte 0 picks the method ("4567"[b & 3]) and, with bit 0x80, a packed size
// larger than the data (a truncated archive); bytes 1-3 give the unpacked size (at
// most 256 KiB: four windows); the rest is the packed data.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "decode_support.h"
#include "port/posix_port.h"
#include "scratch_dir.h"

namespace {

struct Outcome {
    int status = -1;
    std::string box;
    std::vector<uint8_t> bytes;
    uint32_t position = 0, done = 0, crc = 0;
    int32_t fill = 0;
    std::vector<uint8_t> window;
};

uint8_t header[26];

// Runs f; the status AbortRun ended the run with, or -1 when f returned.
template <class F> int Run(F f) {
    try {
        f();
    } catch (const PosixExit& e) {
        return e.status;
    }
    return -1;
}

void Start(const std::string& image) {
    memset(Ws, 0, sizeof *Ws);
    snprintf(Ws->ImagePath, sizeof Ws->ImagePath, "%s", image.c_str());
    snprintf(Ws->TargetPath, sizeof Ws->TargetPath, "%s/out.bin", fuzz::ScratchDir().c_str());
    BuildCrcTable(0xA001);
    PosixClearTranscript();
    Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
    Ws->Header = header;
    Ws->InPos = 0xFFFFFFFFu;
    Ws->OutputFile = PortInvalidFile;
}

Outcome Finish(int status) {
    Outcome o;
    o.status = status;
    for (const auto& e : PosixTranscript())
        if (e.kind == PosixEvent::MessageBox) o.box = e.text;
    o.position = PortSeek(Ws->ArchiveFile, 0, 1);
    o.done = Ws->DoneCount;
    o.fill = Ws->WindowFill;
    o.window.assign(Ws->Window, Ws->Window + sizeof Ws->Window);
    PortClose(Ws->ArchiveFile);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    if (!Ws && !BeginRun()) return 0;
    const std::string image = fuzz::ScratchDir() + "/image.bin";
    FILE* f = fopen(image.c_str(), "wb");
    if (!f) return 0;
    fwrite(data + 4, 1, size - 4, f);
    fclose(f);

    memset(header, 0, sizeof header);
    header[HdrMethodChar] = (uint8_t)"4567"[data[0] & 3];
    uint32_t packed = (uint32_t)(size - 4) + ((data[0] & 0x80) ? 1000u * (1 + (data[0] & 0x70)) : 0);
    PutU32(header + HdrPackedSize, packed);
    PutU32(header + HdrUnpackedSize, data[1] | (data[2] << 8) | ((data[3] & 3) << 16));

    decode_support::Trace trace;
    Start(image);
    int status = Run([&] { decode_support::ReferenceDecode(trace); });
    Outcome ref = Finish(status);

    Start(image);
    Ws->OutputFile = PortCreateOutput(Ws->TargetPath);
    // A second name keeps the bytes written before an abort deletes the file.
    const std::string kept = fuzz::ScratchDir() + "/kept.bin";
    unlink(kept.c_str());
    link(Ws->TargetPath, kept.c_str());
    RunState.WindowSink = DeliverWindow;
    status = Run([] { DecodeMember(); });
    uint16_t crc = Ws->Crc;
    if (status == -1) PortCloseFile(Ws->OutputFile);
    Outcome fast = Finish(status);

    // What can be seen: the message, the bytes handed over and the progress reports
    // until then; after a normal end also where the file stands and the window.
    FILE* out = fopen(kept.c_str(), "rb");
    std::vector<uint8_t> bytes(trace.bytes.size() + 1);
    size_t got = out ? fread(bytes.data(), 1, bytes.size(), out) : 0;
    if (out) fclose(out);
    bytes.resize(got);
    std::vector<std::string> progress, expectedProgress;
    for (const auto& e : PosixTranscript())
        if (e.kind == PosixEvent::ItemText && e.id == 102) progress.push_back(e.text);
    uint32_t total = GetU32(header + HdrUnpackedSize);
    // Every report is handed on, but the line is set only when its text changes.
    for (uint32_t done : trace.progress) {
        uint32_t q = total / 100, percent = total == 0 ? 0 : q == 0 ? 100 : done / q;
        std::string line = "Extract... " + std::to_string(percent > 100 ? 100 : percent) + "%";
        if (expectedProgress.empty() || expectedProgress.back() != line) expectedProgress.push_back(line);
    }
    bool same = fast.status == ref.status && fast.box == ref.box && bytes == trace.bytes;
    same = same && progress == expectedProgress;
    if (same && status == -1) {
        uint16_t expected = 0;
        for (uint8_t b : trace.bytes) expected = (uint16_t)(Ws->CrcTable[(expected ^ b) & 0xFF] ^ (expected >> 8));
        same = crc == expected && fast.position == ref.position && fast.done == ref.done && fast.fill == ref.fill &&
               fast.window == ref.window;
    }
    if (!same) {
        fprintf(stderr, "fast and field-by-field decoding differ: status %d/%d box '%s'/'%s' position %u/%u done %u/%u\n",
                fast.status, ref.status, fast.box.c_str(), ref.box.c_str(), fast.position, ref.position, fast.done,
                ref.done);
        abort();
    }
    return 0;
}
