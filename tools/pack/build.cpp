// Building a self-extractor: configuration block, settings and notice members, the
// members themselves, the image, written only when complete.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "branding.h"
#include "lzh/encoder.h"
#include "pack.h"

namespace pack {

namespace {

// The stub reads image offsets and seeks as signed 32-bit values.
const uint64_t kMaxImageSize = 0x7FFFFFFFull;
// What the stub keeps of the captured texts (its buffers less the terminator).
const size_t kMaxSettingsText = 4095;
const size_t kMaxNoticeText = 1023;

std::string ReadText(const std::string& path, const std::string& option) {
    lzh::Bytes data;
    if (!HostReadFile(path, data)) throw Error(option + " " + path + ": " + strerror(errno));
    return std::string(data.begin(), data.end());
}

// An option's text in the target code page, at most `limit` bytes there.
std::string FieldText(const std::string& value, const CodePage& cp, const std::string& option,
                      const std::string& field, size_t limit) {
    std::string bytes = cp.Encode(value, option);
    if (bytes.size() > limit)
        throw Error(option + " is " + std::to_string(bytes.size()) + " bytes; the " + field + " holds at most " +
                    std::to_string(limit) + " bytes");
    return bytes;
}

bool IsDecimal(const std::string& s) {
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    return i < s.size() && i + 10 >= s.size() && s.find_first_not_of("0123456789", i) == std::string::npos;
}

// ---- the progress bar -----------------------------------------------------------

// The command line's bar on standard error, drawn while members are compressed when that
// is a megabyte's work or more.
class ConsoleProgress : public BuildProgress {
public:
    explicit ConsoleProgress(bool show) : show_(show) {}
    ~ConsoleProgress() override { Clear(); }

private:
    void Began(BuildStep step, uint64_t work) override {
        Clear();
        on_ = show_ && step == BuildStep::Encode && work >= (1u << 20);
    }
    void Shown(int percent, const std::string& member) override {
        if (!on_ || (drawn_ && percent == percent_ && member == drawnName_)) return;
        percent_ = percent;
        drawnName_ = member;
        std::string bar(percent * 30 / 100, '=');
        bar.resize(30, ' ');
        const std::string name = member.size() > 38 ? "..." + member.substr(member.size() - 35) : member;
        fprintf(stderr, "\r[%s] %3d%% %-38s", bar.c_str(), percent, name.c_str());
        fflush(stderr);
        drawn_ = true;
    }
    void Clear() {
        if (drawn_) fprintf(stderr, "\r%*s\r", 79, "");
        drawn_ = false;
    }

    const bool show_;
    bool on_ = false, drawn_ = false;
    int percent_ = -1;
    std::string drawnName_;
};

// Names that Windows would take for one file: equal but for ASCII letter case outside
// double-byte characters, and without a directory's trailing '/'.
std::string FoldedName(const std::string& name, const CodePage& cp) {
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        char c = name[i];
        if (cp.IsLeadByte((uint8_t)c) && i + 1 < name.size()) {
            out += c;
            out += name[++i];
            continue;
        }
        out += (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

// Settings before the notice (so the notice shows the title they set), then every
// other member in byte order of its name.
bool StoredBefore(const Source& a, const Source& b) {
    auto rank = [](const std::string& n) {
        const uint8_t mode = CaptureModeOf(n.c_str());
        return mode == CaptureSettings ? 0 : mode == CaptureNotice ? 1 : 2;
    };
    int ra = rank(a.name), rb = rank(b.name);
    return ra != rb ? ra < rb : a.name < b.name;
}

}  // namespace

std::string SettingsText(const Options& o, const CodePage& cp) {
    std::string text;
    if (!o.settingsFile.empty()) {
        text = cp.Encode(ReadText(o.settingsFile, "--settings"), "--settings " + o.settingsFile);
        if (text.find('\0') != std::string::npos)
            throw Error("--settings " + o.settingsFile + " holds a NUL byte, which would end the settings there");
    }
    std::vector<std::string> lines;
    bool haveFlag = o.flagBits != 0;
    int64_t flag = o.flagBits;
    for (const auto& [key, value] : o.sets) {
        const std::string option = "--set " + SettingName(key);
        if (key == KeyFlag) {
            if (!IsDecimal(value)) throw Error(option + ": '" + value + "' is not a decimal number");
            flag |= std::stoll(value);
            haveFlag = true;
            continue;
        }
        const bool title = key == KeyWindowTitle || key == KeyInstallTitle;
        std::string bytes = FieldText(value, cp, option, title ? "title" : "value", title ? 40 : 255);
        for (unsigned char c : bytes)
            if (c < 0x20)
                throw Error(option + ": the value holds a control character, which would start a new settings line");
        if (key == KeyInstallDir && o.dir)
            throw Error(option + " has no effect together with --dir (the directory of the configuration "
                        "block wins); give one of them");
        lines.push_back(SettingKeys[key] + bytes);
    }
    if (haveFlag) lines.push_back(SettingKeys[KeyFlag] + std::to_string((int32_t)flag));
    if (!lines.empty() && !text.empty() && text.back() != '\n' && text.back() != '\r') text += "\r\n";
    for (const std::string& l : lines) text += l + "\r\n";
    if (text.size() > kMaxSettingsText)
        throw Error("the settings text is " + std::to_string(text.size()) + " bytes; the self-extractor reads at most " +
                    std::to_string(kMaxSettingsText));
    return text;
}

lzh::SfxConfig ConfigFromOptions(const Options& o, const CodePage& cp) {
    lzh::SfxConfig c;
    if (o.title) c.windowTitle = FieldText(*o.title, cp, "--title", "window title", 40);
    if (o.label) c.installTitle = FieldText(*o.label, cp, "--label", "label", 40);
    if (o.dir) c.installDir = FieldText(*o.dir, cp, "--dir", "installation directory", 255);
    if (o.command) c.command = FieldText(*o.command, cp, "--command", "command", 255);
    c.archiveFlags = o.checksum ? ArchiveFlagChecksum : 0;
    c.restoreAttributes = o.restoreAttributes ? RestoreAttributesOn : 0;   // the value the stub itself uses
    return c;
}

void CheckStub(const lzh::Bytes& stub, const std::string& shown) {
    const size_t blockEnd = ConfigBlockOffset + ConfigBlockSize;
    if (stub.size() < blockEnd + 4 || stub[0] != 'M' || stub[1] != 'Z')
        throw Error(shown + " is not a self-extractor stub (no MS-DOS header)");
    uint32_t pe = stub[60] | stub[61] << 8 | stub[62] << 16 | (uint32_t)stub[63] << 24;
    if (pe < blockEnd || pe > stub.size() - 4 || memcmp(&stub[pe], "PE\0\0", 4) != 0)
        throw Error(shown + " is not a self-extractor stub (no PE header after the configuration block)");
    const uint8_t* block = &stub[ConfigBlockOffset];
    if (block[0] | block[1] | block[2] | block[3])
        throw Error(shown + " already carries an archive (its configuration block is filled); give the bare stub");
}

namespace {

// ---- the steps of a build --------------------------------------------------------

// The stub to build on, checked and with the author's icon and version information: a
// mistake in those is named before anything is compressed.
lzh::Bytes PrepareStub(const Options& o) {
    lzh::Bytes stub;
    std::string stubName = o.stub;
    if (!o.stub.empty()) {
        if (!HostReadFile(o.stub, stub)) throw Error("--stub " + o.stub + ": " + strerror(errno));
    } else {
        stub = EmbeddedStub();
        stubName = "the built-in stub";
    }
    CheckStub(stub, stubName);
    return BrandStub(stub, o, stubName);
}

// The notice text of --notice in the target code page; empty without one.
std::string NoticeText(const Options& o, const CodePage& cp) {
    if (o.noticeFile.empty()) return std::string();
    std::string notice = cp.Encode(ReadText(o.noticeFile, "--notice"), "--notice " + o.noticeFile);
    if (notice.empty()) throw Error("--notice " + o.noticeFile + " is empty");
    if (notice.find('\0') != std::string::npos)
        throw Error("--notice " + o.noticeFile + " holds a NUL byte, which would end the notice there");
    if (notice.size() > kMaxNoticeText)
        throw Error("--notice " + o.noticeFile + " is " + std::to_string(notice.size()) +
                    " bytes; the self-extractor shows at most " + std::to_string(kMaxNoticeText));
    return notice;
}

// Refuses two members that would be one file on Windows.
void CheckDistinctNames(const std::vector<Source>& sources, const CodePage& cp) {
    std::map<std::string, const Source*> seen;
    for (const Source& s : sources) {
        if (IsSpecialMember(s.name)) continue;
        auto [it, fresh] = seen.emplace(FoldedName(s.name, cp), &s);
        if (fresh) continue;
        const Source& first = *it->second;
        if (first.name == s.name) throw Error("two inputs give the member name '" + s.shown + "'");
        throw Error("'" + first.shown + "' and '" + s.shown +
                    "' would be one file on Windows (names differ only in letter case)");
    }
}

// Everything that goes into the archive, in the order it is stored: the inputs, the
// members of a wrapped archive (refused when the options would add a second settings or
// notice member), and the settings and notice of the options, which take their places
// in front whichever of them came from a wrapped archive.
std::vector<Source> CollectSources(const Options& o, const CodePage& cp, const std::string& settings,
                                   const std::string& notice) {
    std::vector<Source> sources = CollectInputs(o, cp);
    for (Source& s : o.wrap.empty() ? std::vector<Source>() : ReadWrappedArchive(o.wrap, o, cp)) {
        if (s.name == SettingsMemberName && !settings.empty())
            throw Error("--wrap " + o.wrap + " has a settings member already; --settings, --set and the flag "
                        "options would add a second one");
        if (s.name == NoticeMemberName && !notice.empty())
            throw Error("--wrap " + o.wrap + " has a notice member already; --notice would add a second one");
        sources.push_back(std::move(s));
    }
    auto special = [&sources](const std::string& name, lzh::Member m) {
        Source s;
        s.kind = Source::Prepared;
        s.name = s.shown = name;
        s.prepared = std::move(m);
        sources.push_back(std::move(s));
    };
    if (!settings.empty()) special(SettingsMemberName, lzh::SettingsMember(settings));
    if (!notice.empty()) special(NoticeMemberName, lzh::NoticeMember(notice));
    std::stable_sort(sources.begin(), sources.end(), StoredBefore);
    CheckDistinctNames(sources, cp);
    return sources;
}

// The members, files compressed (or stored with --method lh0), counted in the summary.
std::vector<lzh::Member> EncodeMembers(std::vector<Source>& sources, const Options& o, BuildProgress& progress,
                                       BuildSummary& summary) {
    const uint64_t passes = (o.method == 0) ? 3 : 1;
    uint64_t work = 0;
    for (const Source& s : sources)
        if (s.kind == Source::File && o.method != '0') work += s.size * passes;
    progress.Step(BuildStep::Encode, work);

    std::vector<lzh::Member> members;
    for (Source& s : sources) {
        if (s.kind == Source::Directory) {
            members.push_back(lzh::DirectoryMember(s.name, s.timeStamp));
            summary.directories++;
            continue;
        }
        if (s.kind == Source::Prepared) {
            if (!IsSpecialMember(s.name)) {
                (s.prepared.method == 'd' ? summary.directories : summary.files)++;
                summary.inputBytes += s.prepared.unpackedSize;
            }
            members.push_back(std::move(s.prepared));
            continue;
        }
        lzh::Bytes data;
        if (!HostReadFile(s.path, data)) throw Error(s.path + ": " + strerror(errno));
        if (data.size() > 0x7FFFFFFFu) throw Error(s.path + " has grown past 2 GiB while it was read");
        progress.Member(s.shown, data.size(), o.method == '0' ? 0 : passes);
        if (o.method == '0')
            members.push_back(lzh::StoredMember(s.name, data, s.timeStamp, s.attributes));
        else
            members.push_back(lzh::PackedMember(s.name, data, o.method, o.level, s.timeStamp, s.attributes,
                                                [&progress](uint64_t done) { progress.Advance(done); }));
        summary.inputBytes += data.size();
        summary.files++;
    }
    return members;
}

// The stub with its configuration block and the archive behind it.
lzh::Bytes MakeImage(const lzh::Bytes& stub, const lzh::SfxConfig& config, const std::vector<lzh::Member>& members,
                     bool checksum, BuildSummary& summary) {
    const lzh::Bytes archive = lzh::WriteArchive(members, checksum);
    lzh::Bytes image;
    std::string error;
    if (!lzh::BuildImage(stub, config, archive, image, &error)) throw Error(error);
    if (image.size() > kMaxImageSize)
        throw Error("the self-extractor would be " + std::to_string(image.size()) +
                    " bytes; the stub reads images below 2 GiB only");
    summary.archiveBytes = archive.size();
    return image;
}

}  // namespace

BuildSummary BuildSelfExtractor(const Options& o, BuildProgress& progress) {
    const CodePage cp(o.codePage);
    BuildSummary summary;
    progress.Step(BuildStep::Stub, 0);
    const lzh::Bytes stub = PrepareStub(o);
    const lzh::SfxConfig config = ConfigFromOptions(o, cp);
    const std::string settings = SettingsText(o, cp), notice = NoticeText(o, cp);
    summary.settings = !settings.empty();
    summary.notice = !notice.empty();

    progress.Step(BuildStep::Collect, 0);
    std::vector<Source> sources = CollectSources(o, cp, settings, notice);
    const std::vector<lzh::Member> members = EncodeMembers(sources, o, progress, summary);
    progress.Step(BuildStep::Image, 0);
    lzh::Bytes image = MakeImage(stub, config, members, o.checksum, summary);
    progress.Step(BuildStep::Finish, 0);
    FinishImage(image, o);
    summary.imageBytes = image.size();

    // Nothing is written that the stub's own core cannot unpack.
    progress.Step(BuildStep::Write, 0);
    WriteAtomically(o.output, image, [&](const std::string& temp) { VerifyImage(temp, o.output, cp); });
    return summary;
}

void BuildProgress::Step(BuildStep step, uint64_t work) {
    total_ = step == BuildStep::Encode ? work : 0;
    base_ = memberTotal_ = memberWork_ = lastDone_ = 0;
    Began(step, work);
}

void BuildProgress::Member(const std::string& shown, uint64_t size, uint64_t passes) {
    base_ += memberTotal_;
    memberTotal_ = size * passes;
    memberWork_ = lastDone_ = 0;
    size_ = size;
    name_ = shown;
    Update();
}

void BuildProgress::Advance(uint64_t done) {
    if (done < lastDone_) memberWork_ += size_;   // the next method tried on the member
    lastDone_ = done;
    Update();
}

void BuildProgress::Update() {
    if (total_ == 0) return;
    const uint64_t done = std::min(total_, base_ + std::min(memberTotal_, memberWork_ + lastDone_));
    Shown((int)(done * 100 / total_), name_);
}

std::string SummaryText(const Options& o, const BuildSummary& s) {
    char text[512];
    snprintf(text, sizeof text, "%zu files, %zu directories%s%s; %llu bytes of data in an archive of %zu bytes (image %zu bytes%s)",
             s.files, s.directories, s.settings ? ", settings" : "", s.notice ? ", notice" : "",
             (unsigned long long)s.inputBytes, s.archiveBytes, s.imageBytes, o.signPkcs12.empty() ? "" : ", signed");
    return o.output + ": " + text;
}

int Build(const Options& o) {
    ConsoleProgress progress(!o.quiet && HostStderrIsConsole());
    const BuildSummary s = BuildSelfExtractor(o, progress);
    if (!o.quiet) puts(SummaryText(o, s).c_str());
    return 0;
}

}  // namespace pack
