// ReadEntryHeader over arbitrary archive bytes: members are read one after another
// (skipping each one's packed data) until the reader reports the end or a fault.
// Nothing may be read or written outside the header allocation.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "port/posix_port.h"
#include "scratch_dir.h"
#include "sfx/archive_header.h"
#include "sfx/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string image = fuzz::ScratchDir() + "/image.bin";
    if (!Ws && !BeginRun()) return 0;
    FILE* f = fopen(image.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    PosixClearTranscript();
    TextCopy(Ws->ImagePath, sizeof Ws->ImagePath, image.c_str());
    BuildCrcTable(0xA001);
    Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
    for (int members = 0; members < 64; members++) {
        if (ReadEntryHeader() != HeaderReady) break;
        // The fields the walk uses next must lie inside the header or be empty.
        const uint8_t* h = Ws->Header;
        uint32_t hsize = GetU16(h);
        for (auto [at, length] : {std::pair{Ws->DirName, Ws->DirNameLength}, {Ws->FileName, Ws->FileNameLength}})
            if (at && (at < h || at + length > h + hsize)) abort();
        if (TextLength(Ws->EntryName) >= sizeof Ws->EntryName) abort();
        if (PortSeek(Ws->ArchiveFile, (int32_t)GetU32(h + HdrPackedSize), 1) == 0xFFFFFFFFu) break;
    }
    ReleaseHeader();
    PortClose(Ws->ArchiveFile);
    return 0;
}
