// list, test and extract: the stub's own core over the POSIX port, so that what Linux
// users see is what the self-extractor does, messages included.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "pack.h"
#include "port/posix_port.h"
#include "sfx/archive_walk.h"
#include "sfx/text.h"

namespace pack {

namespace {

std::string FieldString(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

std::string ShownName(const CodePage& cp) {
    std::string shown = cp.Decode(Ws->EntryName);
    const uint8_t mode = CaptureModeOf(Ws->EntryName);
    if (mode == CaptureSettings) shown += "  (settings)";
    if (mode == CaptureNotice) shown += "  (notice)";
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

// Reads every header before anything is written and refuses members that would land
// outside the directory: on this system a rooted name, or a macro expanded to nothing,
// means the host's own directories. False when the headers cannot be read (the
// message has been shown).
bool CheckNamesBeforeExtracting(CoreArchive& a, const Options& o, const CodePage& cp) {
    if (!a.Open()) return false;
    std::string refused, why;
    while (a.Next()) {
        const char* reason = UnsafeNameReason(Ws->EntryName, cp);
        if (reason && refused.empty()) {
            refused = cp.Decode(Ws->EntryName);
            why = reason;
        }
        if (!a.Skip()) break;
    }
    if (!a.Close(false)) return false;
    if (!refused.empty() && !o.allowUnsafeNames)
        throw Error(o.file + ": member name '" + refused + "': " + why + ", so it would be extracted outside " +
                    o.destDir + "; nothing was extracted (--allow-unsafe-names extracts it all the same)");
    return true;
}

// Prints a settings or notice text, one indented line per line of the text.
void PrintText(const std::string& title, const std::string& text, const CodePage& cp) {
    printf("%s\n", title.c_str());
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
bool RunTest(CoreArchive& a, const std::string& shown, const CodePage& cp, int verbosity, std::string* problem) {
    if (!a.Open()) return false;
    uint32_t members = 0, failures = 0;
    std::string current;
    try {
        while (a.Next()) {
            current = ShownName(cp);
            members++;
            bool good = a.Decode();
            if (!good && failures++ == 0) *problem = "member " + current + ": CRC ERROR";
            if ((!good && verbosity) || verbosity > 1) printf("%-9s %s\n", good ? "OK" : "CRC ERROR", current.c_str());
            if (!a.Skip()) break;
        }
    } catch (const PosixExit&) {
        // A fault inside the member's data: the core has shown its message.
        if (verbosity) fprintf(stderr, "%s: %s: the data cannot be decoded\n", shown.c_str(), current.c_str());
        return false;
    }
    bool ok = a.Close(true) && failures == 0;
    if (verbosity > 1 || (verbosity && !ok))
        printf("%s: %u members tested, %u with errors%s\n", shown.c_str(), members, failures,
               ok ? "" : "; the archive is damaged");
    return ok;
}

}  // namespace

int List(const Options& o) {
    CodePage cp(o.codePage);
    CoreArchive a(o.file, cp, stderr);
    const SfxConfigBlock& c = Ws->Config;
    if (a.IsImage()) {
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
    if (!a.Open()) return 1;
    printf("%-6s %10s %10s %6s  %-19s  %-4s  %-4s  %s\n", "Method", "Packed", "Size", "Ratio", "Time (UTC)", "Attr",
           "CRC", "Name");
    uint64_t packed = 0, size = 0;
    uint32_t count = 0;
    std::vector<std::pair<std::string, std::string>> texts;   // member name, text
    bool decodeFailed = false;
    while (a.Next()) {
        uint32_t p = GetU32(Ws->Header + HdrPackedSize), u = GetU32(Ws->Header + HdrUnpackedSize);
        char ratio[16] = "";
        if (u) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * p / u);
        // A member whose name ends in a separator is installed as a directory, so it is
        // listed as one, whatever its method says.
        char method = MemberIsDirectory() ? 'd' : (char)Ws->Header[HdrMethodChar];
        printf("-lh%c-  %10u %10u %6s  %-19s  %04X  %04X  %s\n", method, p, u, ratio,
               FormatTime(GetU32(Ws->Header + HdrTimeStamp)).c_str(), Ws->Attributes,
               GetU16(Ws->Header + HdrDataCrc), ShownName(cp).c_str());
        packed += p, size += u, count++;
        std::string name = Ws->EntryName;
        if (o.verbose && IsSpecialMember(name)) {
            try {
                texts.emplace_back(name, a.Text());
            } catch (const PosixExit&) {
                decodeFailed = true;   // the core has shown why
                break;
            }
        }
        if (!a.Skip()) break;
    }
    printf("%u members, %llu bytes packed into %llu\n", count, (unsigned long long)size, (unsigned long long)packed);
    bool ok = !decodeFailed && a.Close(true);
    for (const auto& [name, text] : texts)
        PrintText((name == SettingsMemberName ? "Settings (" : "Notice (") + name + "):", text, cp);
    return ok ? 0 : 1;
}

int Test(const Options& o) {
    CodePage cp(o.codePage);
    CoreArchive a(o.file, cp, stderr);
    std::string problem;
    return RunTest(a, o.file, cp, o.quiet ? 1 : 2, &problem) ? 0 : 1;
}

void VerifyImage(const std::string& path, const std::string& shown, const CodePage& cp) {
    CoreArchive a(path, cp, nullptr);
    std::string problem;
    // The core's own message, without its subject (the temporary's path).
    if (!RunTest(a, shown, cp, 0, &problem))
        throw Error(shown + " did not pass its own test (" + (problem.empty() ? a.LastMessage() : problem) +
                    "); nothing was written");
}

int Extract(const Options& o) {
    CodePage cp(o.codePage);
    if (o.destDir.size() >= sizeof Ws->ChosenDir) throw Error("-d " + o.destDir + ": the self-extractor takes directories of at most 255 bytes");
    HostFileInfo st;
    bool exists = HostStat(o.destDir, st);
    if (exists && !st.directory) throw Error("-d " + o.destDir + " is not a directory");
    CoreArchive a(o.file, cp, stderr);
    TextCopy(Ws->ChosenDir, sizeof Ws->ChosenDir, o.destDir.c_str());
    if (!CheckNamesBeforeExtracting(a, o, cp)) {
        fprintf(stderr, "%s: nothing extracted\n", o.file.c_str());
        return 1;
    }
    if (!exists && !PortCreateDirectory(o.destDir.c_str())) throw Error("-d " + o.destDir + ": " + strerror(errno));

    // The dialog's progress line (file and percentage) on a terminal.
    const bool showProgress = !o.quiet && HostStderrIsConsole();
    std::string progressFile, shown;
    if (showProgress) {
        PosixSetItemTextHook([&](int32_t id, const char* text) {
            if (id == IdProgressFile) progressFile = text;
            if (id != IdProgressPercent || shown == progressFile + text) return;
            shown = progressFile + text;
            fprintf(stderr, "\r%-40.40s %-16s", progressFile.c_str(), text);
        });
    }
    // The notice is accepted unless --no; "Overwrite?" is answered No unless --yes.
    bool ok = false;
    size_t before = 0;
    try {
        PosixSetDefaultAnswer(o.answer == Answer::No ? PortIdNo : PortIdYes);
        if (!WalkArchive(nullptr, PreflightPass)) {
            fprintf(stderr, "%s: nothing extracted%s\n", o.file.c_str(),
                    AnsweredNo(0) ? " (the notice was declined)" : "");
            return 1;
        }
        PosixSetDefaultAnswer(o.answer == Answer::Yes ? PortIdYes : PortIdNo);
        before = PosixTranscript().size();
        ok = WalkArchive(nullptr, ExtractionPass);
    } catch (const PosixExit&) {
        if (showProgress) fputc('\n', stderr);
        fprintf(stderr, "%s: extraction aborted; the file being written was removed\n", o.file.c_str());
        return 1;
    }
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
    return ok ? 0 : 1;
}

}  // namespace pack
