// The decoder as the stub ships it: the stub's own objects (built for size, with link-time
// optimisation over them) behind another entry, timed under Wine. bench/decode runs it
// beside decode_bench, whose figures are the host compiler's code.
//
//   varnex-stub-bench.exe ARCHIVE [REPEAT]
//       Walks the archive with the walk's steps and decodes every compressed member into
//       NUL through the output sink, CRC checked; prints "bytes=N seconds=S MBps=M" for
//       the fastest of REPEAT passes, or the core's message and status 1.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "sfx/archive_walk.h"
#include "sfx/text.h"

namespace {

// The next word of the command line (quotes group), copied into out.
const char* NextWord(const char* p, char* out, uint32_t size) {
    while (*p == ' ' || *p == '\t') p++;
    return SplitCommand(out, size, p);
}

void Print(const char* text) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, TextLength(text), &written, nullptr);
}

// One pass: the unpacked bytes of the compressed members, or -1 after a fault.
int64_t DecodeArchive() {
    if (!OpenArchive(nullptr)) return -1;
    int64_t total = 0;
    HeaderResult r;
    while ((r = NextMember()) == HeaderReady) {
        const uint8_t method = Ws->Header[HdrMethodChar];
        if (method >= '4' && method <= '7') {
            Ws->OutputFile = PortCreateOutput("NUL");
            ReadMemberData();
            PortCloseFile(Ws->OutputFile);
            Ws->OutputFile = PortInvalidFile;
            if (Ws->Crc != GetU16(Ws->Header + HdrDataCrc)) return -1;
            total += Ws->OrigSize;
        }
        if (!SkipMember()) break;
    }
    CloseArchive();
    return r == EndOfArchive ? total : -1;
}

}  // namespace

extern "C" void __stdcall BenchEntry() {
    char program[MAX_PATH], count[16] = "";
    const char* rest = NextWord(GetCommandLineA(), program, sizeof program);
    if (!BeginRun()) ExitProcess(2);
    rest = NextWord(rest, Ws->ImagePath, sizeof Ws->ImagePath);
    NextWord(rest, count, sizeof count);
    int repeat = 0;
    for (const char* c = count; *c >= '0' && *c <= '9'; c++) repeat = repeat * 10 + (*c - '0');
    TextCopy(Ws->Config.WindowTitle, sizeof Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    uint64_t best = ~0ull;
    int64_t bytes = 0;
    for (int i = 0; i < (repeat > 0 ? repeat : 1); i++) {
        QueryPerformanceCounter(&start);
        bytes = DecodeArchive();
        QueryPerformanceCounter(&end);
        if (bytes < 0) {
            Print(Ws->MessageText);
            ExitProcess(1);
        }
        const uint64_t ticks = (uint64_t)(end.QuadPart - start.QuadPart);
        if (ticks < best) best = ticks;
    }
    // In doubles: the processor divides them itself, where 64-bit integers would take
    // libgcc's division, which this link cannot take.
    const double seconds = (double)(int64_t)best / (double)frequency.QuadPart;
    const uint32_t micros = (uint32_t)(seconds * 1e6), tenths = seconds > 0 ? (uint32_t)((double)bytes / seconds / 1e5) : 0;
    char line[128];
    wsprintfA(line, "bytes=%u seconds=%u.%06u MBps=%u.%u\n", (unsigned)bytes, (unsigned)(micros / 1000000),
              (unsigned)(micros % 1000000), (unsigned)(tenths / 10), (unsigned)(tenths % 10));
    Print(line);
    ExitProcess(0);
}
