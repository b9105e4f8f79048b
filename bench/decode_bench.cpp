// The decoder's benchmark program, run by bench/decode (not by the test run).
//
//   decode_bench decode ARCHIVE [REPEAT] [reference]
//       Walks the archive with the stub's own walk steps and decodes every
//       compressed member with DecodeMember, as the extraction does: output through
//       the sink to /dev/null with the CRC-16, progress reports included. Checks each
//       CRC; prints the unpacked bytes and the fastest of REPEAT in-process runs.
//       With "reference" the members go through the field-by-field operations
//       (DecodeSymbol, DecodePosition, one AdvanceBits per field) instead: the
//       yardstick the fast loop is measured against.
//   decode_bench pack ARCHIVE METHOD FILE...
//       Packs the files with our own compressor ("-lh5-", "-lh6-" or "-lh7-").
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "decode_support.h"
#include "lzh/archive_writer.h"
#include "lzh/encoder.h"
#include "port/posix_port.h"
#include "sfx/archive_walk.h"
#include "sfx/decode.h"
#include "sfx/text.h"

namespace {

bool UseReference = false;

// One pass over the archive with the walk's own steps; returns the unpacked bytes, or -1
// after a fault.
int64_t DecodeArchive() {
    PosixClearTranscript();
    if (!OpenArchive(nullptr)) return -1;
    int64_t total = 0;
    HeaderResult r;
    while ((r = NextMember()) == HeaderReady) {
        uint8_t method = Ws->Header[HdrMethodChar];
        if (method >= '4' && method <= '7') {
            Ws->OutputFile = PortCreateOutput("/dev/null");
            if (UseReference) {
                Ws->InPos = 0xFFFFFFFFu;
                decode_support::ReferenceDecode(DeliverWindow);
            } else {
                ReadMemberData();
            }
            PortCloseFile(Ws->OutputFile);
            Ws->OutputFile = PortInvalidFile;
            if (Ws->Crc != GetU16(Ws->Header + HdrDataCrc)) {
                fprintf(stderr, "CRC mismatch in %s\n", Ws->EntryName);
                r = HeaderFailed;
                break;
            }
            total += Ws->OrigSize;
            PosixClearTranscript();
        }
        if (!SkipMember()) break;
    }
    CloseArchive();
    return r == EndOfArchive ? total : -1;
}

int Decode(const char* path, int repeat) {
    if (!BeginRun()) return 1;
    TextCopy(Ws->ImagePath, sizeof Ws->ImagePath, path);
    PosixEchoMessageBoxes(stderr);
    double best = 1e9;
    int64_t bytes = 0;
    for (int i = 0; i < repeat; i++) {
        auto t0 = std::chrono::steady_clock::now();
        bytes = DecodeArchive();
        auto t1 = std::chrono::steady_clock::now();
        if (bytes < 0) return 1;
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    printf("bytes=%lld seconds=%.6f MBps=%.1f\n", (long long)bytes, best, bytes / best / 1e6);
    return 0;
}

int Pack(const char* archive, char method, int files, char** names) {
    std::vector<lzh::Member> members;
    for (int i = 0; i < files; i++) {
        lzh::Bytes data;
        if (!lzh::ReadFile(names[i], data)) {
            fprintf(stderr, "cannot read %s\n", names[i]);
            return 1;
        }
        std::string name = names[i];
        name = name.substr(name.find_last_of('/') + 1);
        members.push_back(lzh::PackedMember(name, data, method, lzh::DefaultLevel));
    }
    return lzh::WriteFile(archive, lzh::WriteArchive(members, false)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && !strcmp(argv[1], "decode")) {
        UseReference = argc > 4 && !strcmp(argv[4], "reference");
        try {
            return Decode(argv[2], argc > 3 ? atoi(argv[3]) : 1);
        } catch (const PosixExit& e) {
            return e.status;   // a damaged archive: the core has said why
        }
    }
    if (argc >= 5 && !strcmp(argv[1], "pack")) return Pack(argv[2], argv[3][0], argc - 4, argv + 4);
    fprintf(stderr, "usage: decode_bench decode ARCHIVE [REPEAT] [reference] | pack ARCHIVE METHOD FILE...\n");
    return 2;
}
