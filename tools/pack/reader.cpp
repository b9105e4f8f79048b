// Archives and self-extractors read with the stub's own core over the POSIX port.
#include <errno.h>
#include <string.h>

#include "pack.h"
#include "port/posix_port.h"
#include "sfx/archive_walk.h"
#include "sfx/report.h"
#include "sfx/text.h"

namespace pack {

namespace {

// The workspace and the port as they were before the archive was opened.
void Release() {
    EndRun();
    PosixResetPort();
}

}  // namespace

CoreArchive::CoreArchive(const std::string& path, const CodePage& cp, FILE* echo) {
    HostFileInfo st;
    if (!HostStat(path, st)) throw Error(path + ": " + strerror(errno));
    if (!st.regular) throw Error(path + " is not a file");
    if (path.size() >= sizeof Ws->ImagePath)
        throw Error(path + ": the path is longer than the self-extractor's 259 bytes; use a shorter one");
    FILE* f = HostOpenFile(path, "rb");
    if (!f) throw Error(path + ": " + strerror(errno));
    char magic[2] = {0, 0};
    isImage_ = fread(magic, 1, 2, f) == 2 && magic[0] == 'M' && magic[1] == 'Z';
    fclose(f);

    PosixResetPort();
    PosixEchoMessageBoxes(echo);
    PosixSetLeadBytes([cp](uint8_t b) { return cp.IsLeadByte(b); });
    PosixSetNameCodePage(cp.Number());
    PosixSetModulePath(path);
    if (BeginRun()) {
        TextCopy(Ws->ImagePath, sizeof Ws->ImagePath, path.c_str());
        if (!isImage_) TextCopy(Ws->Config.WindowTitle, sizeof Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);
        else ReadConfigBlock();
        if (!isImage_ || Ws->Config.ArchiveOffset != 0) return;
    }
    // The destructor does not run for an object that was never made.
    const bool noMemory = !Ws;
    Release();
    throw Error(noMemory ? "not enough memory" : path + " carries no archive (its configuration block is empty)");
}

CoreArchive::~CoreArchive() { Release(); }

bool CoreArchive::Open() { return OpenArchive(nullptr); }

bool CoreArchive::Next() {
    return PortFileIsOpen(Ws->ArchiveFile) && NextMember() == HeaderReady;
}

bool CoreArchive::Decode() {
    if (MemberIsDirectory()) return true;   // the stub reads no data for it
    Ws->TargetPath[0] = 0;   // an abort then deletes nothing
    Ws->OutputFile = PortCreateOutput("/dev/null");
    if (!PortFileIsOpen(Ws->OutputFile)) throw Error("cannot open /dev/null");
    ReadMemberData();
    PortCloseFile(Ws->OutputFile);
    Ws->OutputFile = PortInvalidFile;
    return Ws->Crc == GetU16(Ws->Header + HdrDataCrc);
}

std::string CoreArchive::Text() {
    const bool settings = CaptureModeOf(Ws->EntryName) == CaptureSettings;
    BeginCapture(settings ? CaptureSettings : CaptureNotice);
    Ws->OutputFile = PortInvalidFile;
    ReadMemberData();
    Ws->CaptureMode = CaptureNone;
    return settings ? Ws->SettingsText : Ws->MessageText;
}

bool CoreArchive::Packed(lzh::Bytes& out) {
    const uint32_t start = PortSeek(Ws->ArchiveFile, 0, 1);
    // The core's skip checks that the bytes are there (and reports where they are not).
    if (!SkipMember()) return false;
    out.resize(GetU32(Ws->Header + HdrPackedSize));
    PortSeek(Ws->ArchiveFile, (int32_t)start, 0);
    if (PortRead(Ws->ArchiveFile, out.data(), (uint32_t)out.size()) == (int32_t)out.size()) return true;
    ShowError("Read ERROR", Ws->ImagePath);
    Ws->Failed = 1;
    return false;
}

bool CoreArchive::Skip() { return SkipMember(); }

bool CoreArchive::Close(bool checkSum) {
    if (PortFileIsOpen(Ws->ArchiveFile)) CloseArchive();
    if (checkSum) CheckMemberCrcSum();
    return !Ws->Failed;
}

std::string CoreArchive::LastMessage() {
    std::string text;
    for (const PosixEvent& e : PosixTranscript())
        if (e.kind == PosixEvent::MessageBox) text = e.text;
    size_t q = text.rfind("\" ");
    return q == std::string::npos || text[0] != '"' ? text : text.substr(q + 2);
}

}  // namespace pack
