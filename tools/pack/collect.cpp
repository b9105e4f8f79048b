// What goes into the archive: files and directories from the host, members of a
// wrapped archive.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "pack.h"
#include "sfx/archive_header.h"

namespace pack {

namespace {

// A member's data, sizes and positions are 32-bit in the archive, and the stub reads
// sizes and seeks as signed 32-bit values: stay below 2 GiB.
const uint64_t kMaxMemberSize = 0x7FFFFFFFull;

uint32_t ClampTime(int64_t seconds) {
    if (seconds < 0) return 0;
    if (seconds > 0xFFFFFFFFll) return 0xFFFFFFFFu;
    return (uint32_t)seconds;
}

std::string Errno(const std::string& path) { return path + ": " + strerror(errno); }

std::pair<uint64_t, uint64_t> Identity(const HostFileInfo& st) { return {st.identity[0], st.identity[1]}; }

bool IsSeparator(char c) { return c != 0 && strchr(kHostSeparators, c) != nullptr; }

class Collector {
public:
    Collector(const Options& o, const CodePage& cp) : options_(o), cp_(cp) {
        HostFileInfo st;
        if (HostStat(o.output, st)) output_ = Identity(st);
    }

    void Input(const InputPath& in) {
        HostFileInfo st;
        if (!HostStat(in.path, st)) throw Error(Errno(in.path));
        std::string name = in.as;
        bool contentsOnly = false;
        if (name.empty()) {
            std::string p = in.path;
            while (p.size() > 1 && IsSeparator(p.back())) p.pop_back();
            if (p == "." || (p.size() >= 2 && IsSeparator(p[p.size() - 2]) && p.back() == '.')) {
                contentsOnly = true;
            } else {
                size_t slash = p.find_last_of(kHostSeparators);
                name = slash == std::string::npos ? p : p.substr(slash + 1);
                if (name.empty() || name == "..")
                    throw Error(in.path + ": no name to store it under; use --as NAME, or '" + in.path +
                                "/.' for what is inside");
            }
        } else {
            while (name.size() > 1 && name.back() == '/') name.pop_back();
        }
        if (st.directory) {
            std::string prefix;
            if (!contentsOnly) {
                prefix = name + "/";
                Add(Source::Directory, prefix, in.path, st);
            }
            std::set<std::pair<uint64_t, uint64_t>> ancestors;
            Walk(in.path, prefix, st, ancestors);
        } else if (st.regular) {
            Add(Source::File, name, in.path, st);
        } else {
            throw Error(in.path + " is neither a regular file nor a directory");
        }
    }

    std::vector<Source> Take() { return std::move(sources_); }

private:
    void Walk(const std::string& dir, const std::string& prefix, const HostFileInfo& dirStat,
              std::set<std::pair<uint64_t, uint64_t>>& ancestors) {
        // A symbolic link back up the tree would make the walk endless.
        if (!ancestors.insert(Identity(dirStat)).second)
            throw Error(dir + ": a symbolic link leads back to a directory above it");
        std::vector<std::string> names;
        if (!HostListDirectory(dir, names)) throw Error(Errno(dir));
        // Byte order of the UTF-8 names, whatever order the system lists them in, so
        // that every system walks a tree alike.
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) {
            std::string path = dir + (IsSeparator(dir.back()) ? "" : "/") + n;
            HostFileInfo st;
            if (!HostStat(path, st)) throw Error(Errno(path));
            if (st.directory) {
                Add(Source::Directory, prefix + n + "/", path, st);
                Walk(path, prefix + n + "/", st, ancestors);
            } else if (st.regular) {
                Add(Source::File, prefix + n, path, st);
            } else {
                throw Error(path + " is neither a regular file nor a directory");
            }
        }
        ancestors.erase(Identity(dirStat));
    }

    void Add(Source::Kind kind, const std::string& utf8Name, const std::string& path, const HostFileInfo& st) {
        // The self-extractor being replaced may lie inside a directory being packed; the
        // new one must not carry the old one.
        if (kind == Source::File && output_ == Identity(st)) return;
        Source s;
        s.kind = kind;
        s.shown = utf8Name;
        s.name = cp_.Encode(utf8Name, "member name '" + utf8Name + "'");
        CheckMemberName(s.name, cp_, options_.allowUnsafeNames, utf8Name);
        s.path = path;
        s.timeStamp = ClampTime(st.writeTime);
        if (kind == Source::File) {
            s.size = st.size;
            if (s.size > kMaxMemberSize)
                throw Error(path + " is " + std::to_string(s.size) + " bytes; a member holds less than 2 GiB");
            // "Archive" marks an ordinary file.
            s.attributes = st.readOnly ? 0x21 : 0x20;
        } else {
            s.attributes = 0x10;
        }
        sources_.push_back(std::move(s));
    }

    const Options& options_;
    const CodePage& cp_;
    std::vector<Source> sources_;
    std::pair<uint64_t, uint64_t> output_{0, 0};
};

}  // namespace

std::vector<Source> CollectInputs(const Options& options, const CodePage& cp) {
    Collector c(options, cp);
    for (const InputPath& in : options.inputs) c.Input(in);
    return c.Take();
}

std::vector<Source> ReadWrappedArchive(const std::string& path, const Options& options, const CodePage& cp) {
    CoreArchive a(path, cp, nullptr);
    // The headers are written anew, with their CRC; a header without one is taken.
    RunState.HeaderCrcOptional = true;
    std::vector<Source> out;
    auto bad = [&](const std::string& why) {
        throw Error(path + ": member " + std::to_string(out.size() + 1) + ": " + why);
    };
    // What the self-extractor would refuse in the header in hand, before the core's own
    // message: another header level, a method it cannot unpack.
    auto refuseHeader = [&]() {
        const uint8_t* h = Ws->Header;
        if (!h || h[HdrMethodId] != '-' || h[HdrMethodId + 1] != 'l' || h[HdrMethodId + 4] != '-') return;
        if (h[HdrLevel] != 2)
            bad("a level-" + std::to_string(h[HdrLevel]) + " header; only level-2 archives can be wrapped");
        if (!strchr("04567d", h[HdrMethodChar]) || h[HdrMethodChar] == 0)
            bad("method '" + std::string((const char*)h + HdrMethodId, 5) + "' cannot be unpacked by the self-extractor");
    };
    if (!a.Open()) throw Error(path + ": " + CoreArchive::LastMessage());
    while (a.Next()) {
        refuseHeader();
        const uint8_t* h = Ws->Header;
        lzh::Member m;
        m.method = (char)h[HdrMethodChar];
        m.unpackedSize = GetU32(h + HdrUnpackedSize);
        m.timeStamp = GetU32(h + HdrTimeStamp);
        m.attributeByte = h[HdrAttributeByte];
        m.dataCrc = GetU16(h + HdrDataCrc);
        m.osId = (char)h[HdrOsId];
        // The attributes and times as the core took them from the extended headers.
        m.writeAttributes = Ws->Attributes != m.attributeByte;
        m.attributes16 = Ws->Attributes;
        m.writeWindowsTimes = Ws->CreationTime != m.timeStamp || Ws->WriteTime != m.timeStamp ||
                              Ws->AccessTime != m.timeStamp;
        m.creationTime = lzh::UnixToFileTime(Ws->CreationTime);
        m.writeTime = lzh::UnixToFileTime(Ws->WriteTime);
        m.accessTime = lzh::UnixToFileTime(Ws->AccessTime);
        if (m.method != 'd' && !a.Packed(m.packed)) bad(CoreArchive::LastMessage());
        // The name as the stub builds it: a directory part closed by a separator, every
        // separator outside a double-byte character turned into '/'.
        std::string raw = Ws->EntryName;
        if (m.method == 'd' && (raw.empty() || raw.back() != '/')) raw += '/';
        Source s;
        s.kind = Source::Prepared;
        s.name = raw;
        s.shown = cp.Decode(raw);
        if (!IsSpecialMember(raw)) CheckMemberName(raw, cp, options.allowUnsafeNames, s.shown);
        s.timeStamp = m.timeStamp;
        m.name = raw;
        s.prepared = std::move(m);
        out.push_back(std::move(s));
        if (!a.Skip()) bad(CoreArchive::LastMessage());
    }
    refuseHeader();   // the header the walk stopped at, if it stopped at one
    if (!a.Close(false)) bad(CoreArchive::LastMessage());
    return out;
}

}  // namespace pack
