// The two walks over the archive (preflight and extraction) and the steps they are made
// of, the output sink through which all member data flows, the progress report, the
// stored copy and the closing command.
#include "sfx/archive_walk.h"

#include "sfx/decode.h"
#include "sfx/paths.h"
#include "sfx/report.h"
#include "sfx/settings.h"
#include "sfx/text.h"
#include "sfx/timestamps.h"

namespace {

const uint32_t ChunkSize = 65536;
const uint32_t SeekFailed = 0xFFFFFFFFu;
const uint32_t NoTime = 0xFFFFFFFFu;
const int32_t PathDisplayLimit = 32;   // characters of the path on the progress line

bool FailWith(const char* message, const char* subject) {
    ShowError(message, subject);
    Ws->Failed = 1;
    return false;
}

// The overwrite policy for an existing TargetPath. Returns 1 to write the member,
// 0 to skip it, -1 to end the walk (Cancel).
int DecideOverwrite() {
    // Every file is replaced and no attribute restored: what exists cannot change the
    // outcome, and under Wine each look is a round trip to its server.
    if (OverwriteAll && !SkipIfNotNewer && !Ws->Config.RestoreAttributes) return 1;
    uint32_t attributes = PortGetAttributes(Ws->TargetPath);
    if (attributes == PortNoAttributes) return 1;
    uint32_t existing = ExistingWriteTime(Ws->TargetPath);
    int32_t answer;
    if (SkipIfNotNewer && existing >= GetU32(Ws->Header + HdrTimeStamp)) answer = PortIdNo;
    else if (OverwriteAll) answer = PortIdYes;
    else {
        ShowPercent();
        FormatQuoted(Ws->TargetPath, "Overwrite?");
        answer = PortMessageBox(Ws->DialogWindow, Ws->MessageText, Ws->Config.WindowTitle,
                                PortMbTaskModal | PortMbIconQuestion | PortMbYesNoCancel);
    }
    if (answer == PortIdCancel) return -1;
    if (answer == PortIdNo) return 0;
    if (Ws->Config.RestoreAttributes && !(attributes & PortAttrDirectory))
        PortSetAttributes(Ws->TargetPath, PortAttrNormal);
    return 1;
}

void SetMemberTimes() {
    if (IsWin32s) {
        ApplyTzCorrection(&Ws->CreationTime);
        ApplyTzCorrection(&Ws->WriteTime);
        ApplyTzCorrection(&Ws->AccessTime);
    }
    PortFileTime creation = 0, access = 0, write = 0;
    UnixToFileTime(Ws->CreationTime, &creation);
    UnixToFileTime(Ws->AccessTime, &access);
    UnixToFileTime(Ws->WriteTime, &write);
    PortSetFileTimes(Ws->OutputFile, &creation, &access, &write);
}

// One member of the preflight pass; false leaves the loop.
bool PreflightMember() {
    uint8_t mode = CaptureModeOf(Ws->EntryName);
    if (mode == CaptureNone) return SkipMember();
    BeginCapture(mode);
    Ws->OutputFile = PortInvalidFile;
    ReadMemberData();
    // Failed here means a notice was declined earlier in this walk: it ends at this member.
    if (Ws->Failed || !SkipMember()) {
        Ws->CaptureMode = CaptureNone;
        return false;
    }
    if (Ws->CaptureMode == CaptureNotice) AskNotice();
    else ApplySettings();
    Ws->CaptureMode = CaptureNone;
    return true;
}

// One member of the extraction pass; false leaves the loop.
bool ExtractMember(bool longNames) {
    if (CaptureModeOf(Ws->EntryName) != CaptureNone) return SkipMember();
    // Decided on the name as read: building the target path rewrites it in place.
    const bool directory = MemberIsDirectory();

    BuildTargetPath(Ws->TargetPath, sizeof Ws->TargetPath, Ws->ChosenDir, Ws->EntryName, sizeof Ws->EntryName);
    ReplaceSeparators(Ws->TargetPath, '/');
    char* afterDrive = (Ws->TargetPath[0] && Ws->TargetPath[1] == ':') ? Ws->TargetPath + 2 : Ws->TargetPath;
    SanitizePath(afterDrive, longNames);

    AbbreviatePath(Ws->MessageText, sizeof Ws->MessageText, Ws->TargetPath, PathDisplayLimit);
    PortSetItemText(Ws->DialogWindow, IdProgressFile, Ws->MessageText);
    Ws->PercentWanted = 1;   // 0%, shown when something can show it
    CreatePathDirectories(Ws->TargetPath);

    if (IsWin32s) {
        uint32_t stamp = GetU32(Ws->Header + HdrTimeStamp);
        ApplyTzCorrection(&stamp);
        PutU32(Ws->Header + HdrTimeStamp, stamp);
    }

    // A directory needs nothing beyond the directories made above.
    if (directory) return SkipMember();
    int decision = DecideOverwrite();
    if (decision < 0) {
        Ws->Failed = 1;
        return false;
    }
    if (decision == 0) return SkipMember();
    Ws->OutputFile = PortCreateOutput(Ws->TargetPath);
    if (!PortFileIsOpen(Ws->OutputFile)) {
        Ws->OutputFile = PortInvalidFile;
        return FailWith("Open ERROR", Ws->TargetPath);
    }

    ReadMemberData();
    SetMemberTimes();
    bool closed = PortCloseFile(Ws->OutputFile);
    Ws->OutputFile = PortInvalidFile;
    if (!closed) {
        PortDeleteFile(Ws->TargetPath);
        return FailWith("Close ERROR", Ws->TargetPath);
    }
    if (Ws->Crc != GetU16(Ws->Header + HdrDataCrc)) {
        PortDeleteFile(Ws->TargetPath);
        return FailWith("CRC ERROR", Ws->TargetPath);
    }
    if (Ws->Config.RestoreAttributes) PortSetAttributes(Ws->TargetPath, Ws->Attributes);
    // The file is complete and verified; only now the image moves on to the next header.
    return SkipMember();
}

void StartCommand() {
    const char* params = SplitCommand(Ws->MessageText, sizeof Ws->MessageText, Ws->Config.Command);
    PortShellExecute(Ws->DialogWindow, Ws->MessageText, *params ? params : nullptr, Ws->ChosenDir);
}

}  // namespace

bool WalkArchive(PortWindow owner, WalkPass pass) {
    if (!OpenArchive(owner)) return false;
    char root[4] = {Ws->ChosenDir[0], ':', '\\', 0};
    bool hasDrive = Ws->ChosenDir[0] && Ws->ChosenDir[1] == ':';
    bool longNames = PortVolumeMaxComponent(hasDrive ? root : nullptr) == 255;

    while (NextMember() == HeaderReady) {
        bool goOn = pass == PreflightPass ? PreflightMember() : ExtractMember(longNames);
        if (!goOn) break;
    }
    ShowPercent();   // the dialog ends showing what the last member left

    CloseArchive();
    if (pass == PreflightPass) CheckMemberCrcSum();
    else if (Ws->Config.Command[0] && !Ws->Failed) StartCommand();
    return !Ws->Failed;
}

bool OpenArchive(PortWindow owner) {
    Ws->DialogWindow = owner;
    Ws->Failed = 0;
    Ws->MadeDirsLength = 0;
    // A walk reports to the window it is given: what an earlier walk in this workspace put
    // up is not on it, so nothing counts as shown yet.
    Ws->PercentWanted = Ws->PercentShown = 0;

    Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
    if (!PortFileIsOpen(Ws->ArchiveFile)) {
        Ws->ArchiveFile = PortInvalidImage;
        return FailWith("Open ERROR", Ws->ImagePath);
    }
    bool ready = true;
    Ws->ArchiveLength = PortSeek(Ws->ArchiveFile, 0, 2);
    uint32_t offset = Ws->Config.ArchiveOffset;
    if (Ws->ArchiveLength == SeekFailed) ready = FailWith("Read ERROR", Ws->ImagePath);
    // An offset past the end is reported as such before any seek is tried: offsets of
    // 2 GiB and more do not even fit the seek's signed argument.
    else if (offset > Ws->ArchiveLength) ready = FailWith("Unexpeted EOF", Ws->ImagePath);
    else if (PortSeek(Ws->ArchiveFile, (int32_t)offset, 0) != offset) ready = FailWith("Read ERROR", Ws->ImagePath);
    if (!ready) {
        PortClose(Ws->ArchiveFile);
        Ws->ArchiveFile = PortInvalidImage;
        return false;
    }
    if (Ws->Config.ArchiveFlags & ArchiveFlagChecksum) {
        uint8_t sum[2] = {0, 0};
        PortRead(Ws->ArchiveFile, sum, 2);
        Ws->ArchiveChecksum = GetU16(sum);
    }
    BuildCrcTable(0xA001);
    MemberCrcSum = 0;
    return true;
}

HeaderResult NextMember() {
    HeaderResult r = ReadEntryHeader();
    if (r != HeaderReady) return r;
    RunState.DataStart = PortSeek(Ws->ArchiveFile, 0, 1);
    if (RunState.DataStart == SeekFailed) {
        FailWith("Read ERROR", Ws->ImagePath);
        return HeaderFailed;
    }
    // Every member counts towards the integrity sum; only the preflight pass checks it.
    MemberCrcSum ^= GetU16(Ws->Header + HdrDataCrc);
    return HeaderReady;
}

// The member's data by method: stored copy, nothing for a directory, else the decoder.
// The caller then puts the file at the next header with SkipMember, whatever the data
// did: a compressed stream that ends early or carries bytes past its end, or a stored
// member whose packed size differs from its unpacked size, must not make the next
// header be read from the wrong place.
void ReadMemberData() {
    Ws->Crc = 0;
    Ws->InPos = 0xFFFFFFFFu;
    uint8_t method = Ws->Header[HdrMethodChar];
    if (method == '0') {
        CopyStored((int32_t)GetU32(Ws->Header + HdrUnpackedSize));
    } else if (method != 'd') {
        RunState.WindowSink = DeliverWindow;
        DecodeMember();
    }
}

// Moves the image file to where the next header begins: the member's data start plus
// PackedSize. The target is computed and checked in 64 bits and reached by an absolute
// seek, so a packed size of 2 GiB or more can neither wrap around nor move the file
// backwards (which would make the walk read the same header again and again).
bool SkipMember() {
    uint64_t target = (uint64_t)RunState.DataStart + GetU32(Ws->Header + HdrPackedSize);
    if (target > Ws->ArchiveLength) return FailWith("Unexpeted EOF", Ws->ImagePath);
    if (target > 0x7FFFFFFFu || PortSeek(Ws->ArchiveFile, (int32_t)target, 0) != (uint32_t)target)
        return FailWith("Read ERROR", Ws->ImagePath);
    return true;
}

void CloseArchive() {
    // No output file is open between members.
    CloseRunFiles();
    ReleaseHeader();
}

void CheckMemberCrcSum() {
    if (!Ws->Failed && (Ws->Config.ArchiveFlags & ArchiveFlagChecksum) && MemberCrcSum != Ws->ArchiveChecksum) {
        ShowError("Tampered DATA", Ws->ImagePath);
        Ws->Failed = 1;
    }
}

void BeginCapture(uint8_t mode) {
    Ws->CaptureMode = mode;
    if (mode == CaptureNotice) Ws->MessageText[0] = 0;
    if (mode == CaptureSettings) Ws->SettingsText[0] = 0;
    RunState.CaptureFill = 0;
    RunState.CaptureEnded = false;
}

void WriteOutput(const uint8_t* bytes, uint32_t count, PortFile file) {
    if (PortFileIsOpen(file)) {
        if (!PortWrite(file, bytes, count)) {
            ShowError("Write ERROR", Ws->TargetPath);
            AbortRun(1);
        }
        UpdateCrc(bytes, (int32_t)count);
        return;
    }
    char* text;
    uint32_t capacity;
    if (Ws->CaptureMode == CaptureNotice) text = Ws->MessageText, capacity = sizeof Ws->MessageText;
    else if (Ws->CaptureMode == CaptureSettings) text = Ws->SettingsText, capacity = sizeof Ws->SettingsText;
    else return;
    // The text is the start of the member: later chunks are appended until the buffer
    // is full or a zero byte ends the text. (Replacing the text with each chunk would
    // leave only the start of the last chunk of a long notice or settings member.)
    if (RunState.CaptureFill >= capacity) RunState.CaptureFill = 0;   // never past the buffer, whatever came before
    uint32_t i = 0;
    while (!RunState.CaptureEnded && i < count) {
        if (bytes[i] == 0 || RunState.CaptureFill == capacity - 1) {
            RunState.CaptureEnded = true;
            break;
        }
        text[RunState.CaptureFill++] = (char)bytes[i++];
    }
    text[RunState.CaptureFill] = 0;
}

void FlushWindow(uint32_t count) {
    if (count > sizeof Ws->Window) count = sizeof Ws->Window;
    WriteOutput(Ws->Window, count, Ws->OutputFile);
}

void DeliverWindow(uint32_t count, uint32_t done) {
    FlushWindow(count);
    if (PortFileIsOpen(Ws->OutputFile)) ReportProgress(done, Ws->OrigSize);
}

void ReportProgress(uint32_t done, uint32_t total) {
    uint32_t percent;
    if (total == 0) percent = 0;
    else if (total / 100 == 0) percent = 100;
    else percent = done / (total / 100);
    if (percent > 100) percent = 100;
    Ws->PercentWanted = percent + 1;
    ShowPercent();
    if (RunState.ProgressHook) RunState.ProgressHook(Ws->DialogWindow);
    if (Ws->CancelRequested) AbortRun(1);
}

void CopyStored(int32_t size) {
    Ws->Crc = 0;
    if (size <= 0) return;
    uint32_t total = (uint32_t)size, done = 0;
    while (done < total) {
        uint32_t chunk = total - done < ChunkSize ? total - done : ChunkSize;
        if (PortRead(Ws->ArchiveFile, Ws->Window, chunk) != (int32_t)chunk) {
            ShowError("Read ERROR", Ws->ImagePath);
            AbortRun(1);
        }
        FlushWindow(chunk);
        done += chunk;
        if (PortFileIsOpen(Ws->OutputFile)) ReportProgress(done, total);
    }
}

uint32_t ExistingWriteTime(const char* path) {
    PortFile f = PortOpenExisting(path);
    if (!PortFileIsOpen(f)) return NoTime;
    // A time that cannot be read or converted counts like a file that cannot be opened.
    PortFileTime write = 0;
    uint32_t seconds = NoTime;
    if (!PortGetWriteTime(f, &write) || !FileTimeToUnix(&write, &seconds)) seconds = NoTime;
    PortCloseFile(f);
    return seconds;
}

const char* SplitCommand(char* dest, uint32_t size, const char* command) {
    const char* p = command;
    while (*p == ' ' || *p == '\t') p++;
    uint32_t n = 0;
    if (*p == '"') {
        p++;
        while (*p && *p != '"') {
            if (n + 1 < size) dest[n++] = *p;
            p++;
        }
        if (*p == '"') p++;
    } else {
        while (*p && *p != ' ' && *p != '\t') {
            if (n + 1 < size) dest[n++] = *p;
            p++;
        }
    }
    if (size) dest[n] = 0;
    while (*p == ' ' || *p == '\t') p++;
    return p;
}
