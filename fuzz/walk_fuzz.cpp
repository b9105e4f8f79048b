// The whole run after start-up over arbitrary archive bytes: the preflight pass, then
// the extraction pass into a scratch directory, with message-box answers, switches and
// the volume's name length taken from the input.
//
// Input: byte 0 holds switches (0x01 restore attributes, 0x02 checksum before the
// archive, 0x04 overwrite all, 0x08 skip if not newer, 0x10 Win32s, 0x20 code page 932,
// 0x40 short names only, 0x80 a closing command); byte 1 picks the default answer to
// message boxes; the archive starts at byte 2 (the image is the input itself).
//
// Member names may be rooted or climb with "..": the stub honours them, so the port is
// confined to the scratch tree here and anything outside fails as a missing path would.
// A member claiming gigabytes from a short stream meets a small write budget.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "port/posix_port.h"
#include "scratch_dir.h"
#include "sfx/archive_walk.h"
#include "sfx/text.h"

namespace {

const uint64_t WriteBudget = 256 * 1024;
const int32_t Answers[] = {PortIdYes, PortIdNo, PortIdCancel, PortIdOk};

const std::string& Scratch() {
    const std::string& dir = fuzz::ScratchDir();
    // The confinement must hold before any input runs: a file beside the out tree
    // stays out of reach.
    static bool checked = [&dir] {
        PosixConfineTo(dir + "/out");
        const std::string escape = dir + "/out/../escape";
        PortFile f = PortCreateOutput(escape.c_str());
        if (PortFileIsOpen(f) || access((dir + "/escape").c_str(), F_OK) == 0) abort();
        PosixConfineTo("");
        return true;
    }();
    (void)checked;
    return dir;
}

// Runs one pass; an AbortRun lands here. Returns the pass's own result, false on abort.
bool RunPass(PortWindow owner, WalkPass pass) {
    bool ok = false;
    try {
        ok = WalkArchive(owner, pass);
    } catch (const PosixExit&) {
    }
    // An aborted walk leaves its header buffer and may leave the image open.
    CloseArchive();
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 << 20) return 0;
    const std::string image = Scratch() + "/image.bin";
    const std::string out = Scratch() + "/out";
    FILE* f = fopen(image.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    fuzz::RemoveTree(out);
    mkdir(out.c_str(), 0777);

    const uint8_t flags = data[0];
    PosixResetPort();
    PosixConfineTo(out);
    PosixSetWriteBudget(WriteBudget);
    PosixSetModulePath(image);
    PosixSetDefaultAnswer(Answers[data[1] & 3]);
    PosixSetCodePage(flags & 0x20 ? 932 : 0);
    PosixSetVolumeMaxComponent(flags & 0x40 ? 12 : 255);
    if (!BeginRun()) return 0;
    OverwriteAll = (flags & 0x04) ? 1 : 0;
    SkipIfNotNewer = (flags & 0x08) ? 1 : 0;
    IsWin32s = (flags & 0x10) ? 1 : 0;
    PortModuleFileName(Ws->ImagePath, sizeof Ws->ImagePath);
    TextCopy(Ws->Config.WindowTitle, sizeof Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);
    Ws->Config.ArchiveOffset = 2;
    Ws->Config.RestoreAttributes = flags & 0x01;
    Ws->Config.ArchiveFlags = (flags & 0x02) ? ArchiveFlagChecksum : 0;
    if (flags & 0x80) TextCopy(Ws->Config.Command, sizeof Ws->Config.Command, "\"setup.exe\" /quiet");
    TextCopy(Ws->ChosenDir, sizeof Ws->ChosenDir, out.c_str());

    RunPass(nullptr, PreflightPass);
    // The extraction pass runs whatever the preflight said: it must be safe on its own.
    RunPass(reinterpret_cast<PortWindow>(static_cast<uintptr_t>(0x1234)), ExtractionPass);

    EndRun();
    return 0;
}
