// list, test and extract: the stub's own core over the POSIX port, so that what Linux
// users see is what the self-extractor does, messages included.
#include <errno.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "pack.h"
#include "port/posix_port.h"
#include "sfx/archive.h"
#include "sfx/decode.h"
#include "sfx/startup.h"
#include "sfx/text.h"
#include "sfx/ui.h"

namespace pack {

namespace {

// The core ends the process through PortExitProcess on a fault inside a member's data;
// the trap brings it back here instead. Nothing between setjmp and the core has a
// destructor to skip.
jmp_buf g_exitTrap;

std::string FieldString(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// Sets up the workspace for FILE: a self-extractor image (its configuration block) or
// a plain archive (archive at offset 0, no checksum).
bool OpenWorkspace(const std::string& file, bool* isImage, FILE* echo) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) throw Error(file + ": " + strerror(errno));
    if (!S_ISREG(st.st_mode)) throw Error(file + " is not a file");
    if (file.size() >= sizeof Ws->ImagePath)
        throw Error(file + ": the path is longer than the self-extractor's 259 bytes; use a shorter one");
    FILE* f = fopen(file.c_str(), "rb");
    if (!f) throw Error(file + ": " + strerror(errno));
    char magic[2] = {0, 0};
    size_t n = fread(magic, 1, 2, f);
    fclose(f);
    *isImage = n == 2 && magic[0] == 'M' && magic[1] == 'Z';

    Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
    if (!Ws) throw Error("not enough memory");
    PosixSetModulePath(file);
    TextCopy(Ws->ImagePath, sizeof Ws->ImagePath, file.c_str());
    if (*isImage) {
        ReadConfigBlock();
        if (Ws->Config.ArchiveOffset == 0) throw Error(file + " carries no archive (its configuration block is empty)");
    } else {
        TextCopy(Ws->Config.WindowTitle, sizeof Ws->Config.WindowTitle, SFX_DEFAULT_TITLE);
    }
    OverwriteAll = AutoStart = SkipIfNotNewer = IsWin32s = 0;
    PosixEchoMessageBoxes(echo);
    return true;
}

void CloseWorkspace() {
    if (!Ws) return;
    if (PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
    if (Ws->Header) PortFree(Ws->Header);
    PortFree(Ws);
    Ws = nullptr;
}

// Opens the image and stands at the first member header, as a walk begins. The
// messages are the walk's own.
bool BeginWalk() {
    Ws->DialogWindow = nullptr;
    Ws->Failed = 0;
    Ws->ArchiveFile = PortOpenRead(Ws->ImagePath);
    if (!PortFileIsOpen(Ws->ArchiveFile)) {
        ShowError("Open ERROR", Ws->ImagePath);
        return false;
    }
    Ws->ArchiveLength = PortSeek(Ws->ArchiveFile, 0, 2);
    uint32_t offset = Ws->Config.ArchiveOffset;
    if (offset > Ws->ArchiveLength) {
        ShowError("Unexpeted EOF", Ws->ImagePath);
        return false;
    }
    if (PortSeek(Ws->ArchiveFile, (int32_t)offset, 0) != offset) {
        ShowError("Read ERROR", Ws->ImagePath);
        return false;
    }
    if (Ws->Config.ArchiveFlags & ArchiveFlagChecksum) {
        uint8_t sum[2] = {0, 0};
        PortRead(Ws->ArchiveFile, sum, 2);
        Ws->ArchiveChecksum = GetU16(sum);
    }
    BuildCrcTable(0xA001);
    return true;
}

// The member's name from the header's raw parts, separators turned into '/' with the
// lead bytes of the chosen code page (the port knows only those of 932).
std::string RawEntryName(const CodePage& cp) {
    std::string name;
    if (Ws->DirNameLength) name.assign((const char*)Ws->DirName, Ws->DirNameLength);
    name.resize(std::min(name.size(), name.find('\0')));
    std::string file = Ws->FileNameLength ? std::string((const char*)Ws->FileName, Ws->FileNameLength) : "";
    name += file.substr(0, file.find('\0'));
    for (size_t i = 0; i < name.size(); i++) {
        if (cp.IsLeadByte((uint8_t)name[i])) i++;
        else if (name[i] == '\\' || name[i] == (char)0xFF) name[i] = '/';
    }
    return name;
}

std::string ShownName(const CodePage& cp) {
    std::string raw = RawEntryName(cp);
    std::string shown = cp.Decode(raw);
    if (raw == "$") shown += "  (settings)";
    if (raw == "!") shown += "  (notice)";
    return shown;
}

std::string FormatTime(uint32_t seconds) {
    time_t t = (time_t)seconds;
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void SetPortCodePage(const CodePage& cp, bool extracting) {
    if (cp.Number() == 932) PosixSetCodePage(932);
    else if (extracting && (cp.IsLeadByte(0x81) || cp.IsLeadByte(0xA1)))
        throw Error("extract knows the double-byte characters of code page 932 only");
}

// State of the test loop that must survive a longjmp out of the core.
struct TestState {
    uint32_t members = 0, failures = 0;
    uint16_t sum = 0;
    int verbosity = 0;
    std::string current;
};
TestState g_test;

// Decodes the member's data into /dev/null through the core's own sink and returns
// whether its CRC matches. TargetPath stays empty, so an abort deletes nothing.
bool TestMemberData() {
    Ws->TargetPath[0] = 0;
    Ws->OutputFile = PortCreateOutput("/dev/null");
    if (!PortFileIsOpen(Ws->OutputFile)) throw Error("cannot open /dev/null");
    Ws->Crc = 0;
    Ws->InPos = 0xFFFFFFFFu;
    uint8_t method = Ws->Header[HdrMethodChar];
    if (method == '0') CopyStored((int32_t)GetU32(Ws->Header + HdrUnpackedSize));
    else DecodeMember();
    PortCloseFile(Ws->OutputFile);
    Ws->OutputFile = PortInvalidFile;
    return Ws->Crc == GetU16(Ws->Header + HdrDataCrc);
}

// Reads every header before anything is written and refuses members that would land
// outside the directory: on this system a rooted name, or a macro expanded to nothing,
// means the host's own directories. False when the headers cannot be read (the
// message has been shown).
bool CheckNamesBeforeExtracting(const Options& o, const CodePage& cp) {
    if (!BeginWalk()) return false;
    std::string refused, why;
    while (ReadEntryHeader() == HeaderReady) {
        const char* reason = UnsafeNameReason(Ws->EntryName, cp);
        if (reason && refused.empty()) {
            refused = cp.Decode(Ws->EntryName);
            why = reason;
        }
        if (!SkipMember()) break;
    }
    PortClose(Ws->ArchiveFile);
    Ws->ArchiveFile = PortInvalidFile;
    if (Ws->Failed) return false;
    if (!refused.empty() && !o.allowUnsafeNames)
        throw Error(o.file + ": member name '" + refused + "': " + why + ", so it would be extracted outside " +
                    o.destDir + "; nothing was extracted (--allow-unsafe-names extracts it all the same)");
    return true;
}

// Decodes the current member into a temporary file through the core's own sink and
// returns its bytes. False when the data cannot be decoded: the core has shown its
// message and closed the image, so the walk cannot go on.
bool DecodeToText(std::string* text) {
    static char path[64];
    snprintf(path, sizeof path, "/tmp/varnex-pack.XXXXXX");
    int fd = mkstemp(path);
    if (fd < 0) throw Error(std::string("cannot create a temporary file: ") + strerror(errno));
    close(fd);
    Ws->TargetPath[0] = 0;
    Ws->OutputFile = PortCreateOutput(path);
    Ws->Crc = 0;
    Ws->InPos = 0xFFFFFFFFu;
    PosixSetExitTrap(&g_exitTrap);
    if (setjmp(g_exitTrap) != 0) {
        PosixSetExitTrap(nullptr);
        unlink(path);
        return false;
    }
    if (Ws->Header[HdrMethodChar] == '0') CopyStored((int32_t)GetU32(Ws->Header + HdrUnpackedSize));
    else if (Ws->Header[HdrMethodChar] != 'd') DecodeMember();
    PosixSetExitTrap(nullptr);
    PortCloseFile(Ws->OutputFile);
    Ws->OutputFile = PortInvalidFile;
    lzh::Bytes bytes;
    bool read = lzh::ReadFile(path, bytes);
    unlink(path);
    if (!read) throw Error(std::string("cannot read a temporary file: ") + strerror(errno));
    text->assign(bytes.begin(), bytes.end());
    return true;
}

// Prints a settings or notice text as the stub keeps it (up to the first NUL, at most
// `limit` bytes), one indented line per line of the text.
void PrintText(const char* title, std::string text, size_t limit, const CodePage& cp) {
    text.resize(std::min({text.size(), text.find('\0'), limit}));
    printf("%s\n", title);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        printf("  %s\n", cp.Decode(text.substr(start, end - start)).c_str());
        if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') end++;
        start = end + 1;
    }
}

// Questions (the notice, "Overwrite?") answered No since transcript entry `from`.
size_t AnsweredNo(size_t from) {
    const auto& events = PosixTranscript();
    size_t n = 0;
    for (size_t i = from; i < events.size(); i++)
        if (events[i].kind == PosixEvent::MessageBox && events[i].id == PortIdNo) n++;
    return n;
}

// Decodes every member with the core and checks its CRC and the archive's checksum.
// verbosity 0: silent; 1: failures and the summary of a failed test; 2: every member.
// *problem names the first failure that the core did not report itself.
bool RunTest(const std::string& shown, const CodePage& cp, int verbosity, std::string* problem) {
    if (!BeginWalk()) return false;
    g_test = TestState();
    g_test.verbosity = verbosity;
    PosixSetExitTrap(&g_exitTrap);
    if (setjmp(g_exitTrap) != 0) {
        // A fault inside the member's data: the core has shown its message.
        PosixSetExitTrap(nullptr);
        if (g_test.verbosity)
            fprintf(stderr, "%s: %s: the data cannot be decoded\n", shown.c_str(), g_test.current.c_str());
        return false;
    }
    while (ReadEntryHeader() == HeaderReady) {
        g_test.current = ShownName(cp);
        g_test.members++;
        g_test.sum ^= GetU16(Ws->Header + HdrDataCrc);
        uint32_t dataStart = PortSeek(Ws->ArchiveFile, 0, 1);
        bool good = MemberIsDirectory() || TestMemberData();
        if (!good && g_test.failures++ == 0) *problem = "member " + g_test.current + ": CRC ERROR";
        if ((!good && verbosity) || verbosity > 1) printf("%-9s %s\n", good ? "OK" : "CRC ERROR", g_test.current.c_str());
        // Stand at the next header whatever the decoder consumed.
        uint64_t next = (uint64_t)dataStart + GetU32(Ws->Header + HdrPackedSize);
        if (next > Ws->ArchiveLength) {
            ShowError("Unexpeted EOF", Ws->ImagePath);
            Ws->Failed = 1;
            break;
        }
        PortSeek(Ws->ArchiveFile, (int32_t)next, 0);
    }
    PosixSetExitTrap(nullptr);
    bool ok = !Ws->Failed && g_test.failures == 0;
    if (ok && (Ws->Config.ArchiveFlags & ArchiveFlagChecksum) && g_test.sum != Ws->ArchiveChecksum) {
        ShowError("Tampered DATA", Ws->ImagePath);
        ok = false;
    }
    if (verbosity > 1 || (verbosity && !ok))
        printf("%s: %u members tested, %u with errors%s\n", shown.c_str(), g_test.members, g_test.failures,
               ok ? "" : "; the archive is damaged");
    return ok;
}

}  // namespace

int List(const Options& o) {
    CodePage cp(o.codePage);
    SetPortCodePage(cp, false);
    bool isImage = false;
    OpenWorkspace(o.file, &isImage, stderr);
    const SfxConfigBlock& c = Ws->Config;
    if (isImage) {
        printf("Self-extractor %s, archive at offset %u%s\n", o.file.c_str(), c.ArchiveOffset,
               (c.ArchiveFlags & ArchiveFlagChecksum) ? ", with checksum" : "");
        printf("  Window title:       %s\n", cp.Decode(FieldString(c.WindowTitle, sizeof c.WindowTitle)).c_str());
        auto field = [&](const char* label, const char* text, size_t size) {
            std::string s = FieldString(text, size);
            if (!s.empty()) printf("  %-20s%s\n", label, cp.Decode(s).c_str());
        };
        field("Label:", c.InstallTitle, sizeof c.InstallTitle);
        field("Directory:", c.InstallDir, sizeof c.InstallDir);
        field("Command:", c.Command, sizeof c.Command);
        if (c.RestoreAttributes) printf("  Restores attributes\n");
    }
    if (!BeginWalk()) {
        CloseWorkspace();
        return 1;
    }
    printf("%-6s %10s %10s %6s  %-19s  %-4s  %-4s  %s\n", "Method", "Packed", "Size", "Ratio", "Time (UTC)", "Attr",
           "CRC", "Name");
    uint64_t packed = 0, size = 0;
    uint32_t count = 0;
    uint16_t sum = 0;
    std::vector<std::pair<std::string, std::string>> texts;   // member name, text
    bool decodeFailed = false;
    while (ReadEntryHeader() == HeaderReady) {
        uint32_t p = GetU32(Ws->Header + HdrPackedSize), u = GetU32(Ws->Header + HdrUnpackedSize);
        uint16_t crc = GetU16(Ws->Header + HdrDataCrc);
        char ratio[16] = "";
        if (u) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * p / u);
        // A member whose name ends in a separator is installed as a directory, so it is
        // listed as one, whatever its method says.
        char method = MemberIsDirectory() ? 'd' : (char)Ws->Header[HdrMethodChar];
        printf("-lh%c-  %10u %10u %6s  %-19s  %04X  %04X  %s\n", method, p, u, ratio,
               FormatTime(GetU32(Ws->Header + HdrTimeStamp)).c_str(), Ws->Attributes, crc, ShownName(cp).c_str());
        packed += p, size += u, count++;
        sum ^= crc;
        std::string name = Ws->EntryName;
        if (o.verbose && (name == "$" || name == "!")) {
            uint32_t dataStart = PortSeek(Ws->ArchiveFile, 0, 1);
            std::string text;
            if (!DecodeToText(&text)) {
                decodeFailed = true;
                break;
            }
            texts.emplace_back(name, text);
            uint64_t next = (uint64_t)dataStart + p;
            if (next > Ws->ArchiveLength) {
                ShowError("Unexpeted EOF", Ws->ImagePath);
                Ws->Failed = 1;
                break;
            }
            PortSeek(Ws->ArchiveFile, (int32_t)next, 0);
        } else if (!SkipMember()) {
            break;
        }
    }
    bool ok = !Ws->Failed && !decodeFailed;
    printf("%u members, %llu bytes packed into %llu\n", count, (unsigned long long)size, (unsigned long long)packed);
    if (ok && (c.ArchiveFlags & ArchiveFlagChecksum) && sum != Ws->ArchiveChecksum) {
        ShowError("Tampered DATA", Ws->ImagePath);
        ok = false;
    }
    for (const auto& [name, text] : texts) {
        if (name == "$") PrintText("Settings ($):", text, sizeof Ws->SettingsText - 1, cp);
        else PrintText("Notice (!):", text, sizeof Ws->MessageText - 1, cp);
    }
    CloseWorkspace();
    return ok ? 0 : 1;
}

int Test(const Options& o) {
    CodePage cp(o.codePage);
    SetPortCodePage(cp, false);
    bool isImage = false;
    OpenWorkspace(o.file, &isImage, stderr);
    std::string problem;
    bool ok = RunTest(o.file, cp, o.quiet ? 1 : 2, &problem);
    CloseWorkspace();
    return ok ? 0 : 1;
}

void VerifyImage(const std::string& path, const std::string& shown, const CodePage& cp) {
    SetPortCodePage(cp, false);
    bool isImage = false;
    OpenWorkspace(path, &isImage, nullptr);
    size_t before = PosixTranscript().size();
    std::string problem;
    bool ok = RunTest(shown, cp, 0, &problem);
    if (!ok && problem.empty()) {
        // The core's own message, without its subject (the temporary's path).
        const auto& events = PosixTranscript();
        for (size_t i = before; i < events.size(); i++) {
            if (events[i].kind != PosixEvent::MessageBox) continue;
            problem = events[i].text;
            size_t q = problem.rfind("\" ");
            if (q != std::string::npos) problem.erase(0, q + 2);
        }
    }
    CloseWorkspace();
    if (!ok) throw Error(shown + " did not pass its own test (" + problem + "); nothing was written");
}

int Extract(const Options& o) {
    CodePage cp(o.codePage);
    SetPortCodePage(cp, true);
    if (o.destDir.size() >= sizeof Ws->ChosenDir) throw Error("-d " + o.destDir + ": the self-extractor takes directories of at most 255 bytes");
    struct stat st;
    bool exists = stat(o.destDir.c_str(), &st) == 0;
    if (exists && !S_ISDIR(st.st_mode)) throw Error("-d " + o.destDir + " is not a directory");
    bool isImage = false;
    OpenWorkspace(o.file, &isImage, stderr);
    TextCopy(Ws->ChosenDir, sizeof Ws->ChosenDir, o.destDir.c_str());
    if (!CheckNamesBeforeExtracting(o, cp)) {
        fprintf(stderr, "%s: nothing extracted\n", o.file.c_str());
        CloseWorkspace();
        return 1;
    }
    if (!exists && mkdir(o.destDir.c_str(), 0777) != 0) throw Error("-d " + o.destDir + ": " + strerror(errno));

    // The notice is accepted unless --no; "Overwrite?" is answered No unless --yes.
    static bool showProgress;
    static std::string progressFile;
    showProgress = !o.quiet && isatty(2);
    PosixSetExitTrap(&g_exitTrap);
    if (setjmp(g_exitTrap) != 0) {
        PosixSetExitTrap(nullptr);
        PosixSetItemTextHook(nullptr);
        if (showProgress) fputc('\n', stderr);
        fprintf(stderr, "%s: extraction aborted; the file being written was removed\n", o.file.c_str());
        CloseWorkspace();
        return 1;
    }
    PosixSetDefaultAnswer(o.answer == Answer::No ? PortIdNo : PortIdYes);
    if (!WalkArchive(nullptr, PreflightPass)) {
        PosixSetExitTrap(nullptr);
        fprintf(stderr, "%s: nothing extracted%s\n", o.file.c_str(),
                AnsweredNo(0) ? " (the notice was declined)" : "");
        CloseWorkspace();
        return 1;
    }
    PosixSetDefaultAnswer(o.answer == Answer::Yes ? PortIdYes : PortIdNo);
    size_t before = PosixTranscript().size();
    // The dialog's progress line (file and percentage) on a terminal.
    if (showProgress) {
        PosixSetItemTextHook([](int32_t id, const char* text) {
            static std::string shown;
            if (id == IdProgressFile) progressFile = text;
            if (id != IdProgressPercent || shown == progressFile + text) return;
            shown = progressFile + text;
            fprintf(stderr, "\r%-40.40s %-16s", progressFile.c_str(), text);
        });
    }
    bool ok = WalkArchive(nullptr, ExtractionPass);
    PosixSetExitTrap(nullptr);
    PosixSetItemTextHook(nullptr);
    if (showProgress) fprintf(stderr, "\r%57s\r", "");
    const auto& events = PosixTranscript();
    for (size_t i = before; i < events.size(); i++) {
        if (events[i].kind == PosixEvent::Shell && !o.quiet)
            fprintf(stderr, "%s: the closing command is not started here: %s%s%s\n", o.file.c_str(),
                    events[i].text.c_str(), events[i].caption.empty() ? "" : " ", events[i].caption.c_str());
    }
    if (size_t kept = AnsweredNo(before))
        fprintf(stderr, "%s: %zu existing file%s kept (--yes replaces them)\n", o.file.c_str(), kept,
                kept == 1 ? "" : "s");
    if (!ok) fprintf(stderr, "%s: extraction stopped\n", o.file.c_str());
    else if (!o.quiet) printf("%s: extracted into %s\n", o.file.c_str(), o.destDir.c_str());
    CloseWorkspace();
    return ok ? 0 : 1;
}

}  // namespace pack
