// What goes into the archive: files and directories from the host, members of a
// wrapped archive.
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "pack.h"

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

class Collector {
public:
    Collector(const Options& o, const CodePage& cp) : options_(o), cp_(cp) {
        struct stat st;
        if (stat(o.output.c_str(), &st) == 0) output_ = {st.st_dev, st.st_ino};
    }

    void Input(const InputPath& in) {
        struct stat st;
        if (stat(in.path.c_str(), &st) != 0) throw Error(Errno(in.path));
        std::string name = in.as;
        bool contentsOnly = false;
        if (name.empty()) {
            std::string p = in.path;
            while (p.size() > 1 && p.back() == '/') p.pop_back();
            if (p == "." || (p.size() >= 2 && p.compare(p.size() - 2, 2, "/.") == 0)) {
                contentsOnly = true;
            } else {
                size_t slash = p.find_last_of('/');
                name = slash == std::string::npos ? p : p.substr(slash + 1);
                if (name.empty() || name == "..")
                    throw Error(in.path + ": no name to store it under; use --as NAME, or '" + in.path +
                                "/.' for what is inside");
            }
        } else {
            while (name.size() > 1 && name.back() == '/') name.pop_back();
        }
        if (S_ISDIR(st.st_mode)) {
            std::string prefix;
            if (!contentsOnly) {
                prefix = name + "/";
                Add(Source::Directory, prefix, in.path, st);
            }
            std::set<std::pair<dev_t, ino_t>> ancestors;
            Walk(in.path, prefix, st, ancestors);
        } else if (S_ISREG(st.st_mode)) {
            Add(Source::File, name, in.path, st);
        } else {
            throw Error(in.path + " is neither a regular file nor a directory");
        }
    }

    std::vector<Source> Take() { return std::move(sources_); }

private:
    void Walk(const std::string& dir, const std::string& prefix, const struct stat& dirStat,
              std::set<std::pair<dev_t, ino_t>>& ancestors) {
        // A symbolic link back up the tree would make the walk endless.
        if (!ancestors.insert({dirStat.st_dev, dirStat.st_ino}).second)
            throw Error(dir + ": a symbolic link leads back to a directory above it");
        DIR* d = opendir(dir.c_str());
        if (!d) throw Error(Errno(dir));
        std::vector<std::string> names;
        errno = 0;
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        int err = errno;
        closedir(d);
        if (err) {
            errno = err;
            throw Error(Errno(dir));
        }
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) {
            std::string path = dir + (dir.back() == '/' ? "" : "/") + n;
            struct stat st;
            if (stat(path.c_str(), &st) != 0) throw Error(Errno(path));
            if (S_ISDIR(st.st_mode)) {
                Add(Source::Directory, prefix + n + "/", path, st);
                Walk(path, prefix + n + "/", st, ancestors);
            } else if (S_ISREG(st.st_mode)) {
                Add(Source::File, prefix + n, path, st);
            } else {
                throw Error(path + " is neither a regular file nor a directory");
            }
        }
        ancestors.erase({dirStat.st_dev, dirStat.st_ino});
    }

    void Add(Source::Kind kind, const std::string& utf8Name, const std::string& path, const struct stat& st) {
        // The self-extractor being replaced may lie inside a directory being packed; the
        // new one must not carry the old one.
        if (kind == Source::File && output_ == std::make_pair(st.st_dev, st.st_ino)) return;
        Source s;
        s.kind = kind;
        s.shown = utf8Name;
        s.name = cp_.Encode(utf8Name, "member name '" + utf8Name + "'");
        CheckMemberName(s.name, cp_, options_.allowUnsafeNames, utf8Name);
        s.path = path;
        s.timeStamp = ClampTime(st.st_mtime);
        if (kind == Source::File) {
            s.size = (uint64_t)st.st_size;
            if (s.size > kMaxMemberSize)
                throw Error(path + " is " + std::to_string(s.size) + " bytes; a member holds less than 2 GiB");
            // Windows knows one permission: read-only. "Archive" marks an ordinary file.
            s.attributes = (st.st_mode & S_IWUSR) ? 0x20 : 0x21;
        } else {
            s.attributes = 0x10;
        }
        sources_.push_back(std::move(s));
    }

    const Options& options_;
    const CodePage& cp_;
    std::vector<Source> sources_;
    std::pair<dev_t, ino_t> output_{0, 0};
};

uint16_t U16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
uint64_t U64(const uint8_t* p) { return (uint64_t)U32(p) | (uint64_t)U32(p + 4) << 32; }

}  // namespace

std::vector<Source> CollectInputs(const Options& options, const CodePage& cp) {
    Collector c(options, cp);
    for (const InputPath& in : options.inputs) c.Input(in);
    return c.Take();
}

std::vector<Source> ReadWrappedArchive(const std::string& path, const Options& options, const CodePage& cp) {
    lzh::Bytes data;
    if (!lzh::ReadFile(path, data)) throw Error(Errno(path));
    std::vector<Source> out;
    size_t pos = 0;
    // A self-extractor: its archive starts where its configuration block says, after the
    // checksum if there is one.
    if (data.size() >= 2 && data[0] == 'M' && data[1] == 'Z') {
        if (data.size() < lzh::ConfigBlockOffset + lzh::ConfigBlockSize)
            throw Error(path + " is neither a level-2 archive nor a self-extractor");
        pos = U32(&data[lzh::ConfigBlockOffset]);
        if (pos == 0 || pos > data.size())
            throw Error(path + " is a self-extractor without an archive (its configuration block names none)");
        if (data[lzh::ConfigBlockOffset + 601] & 0x04) pos += 2;
    }
    auto bad = [&](const std::string& why) {
        throw Error(path + ": member " + std::to_string(out.size() + 1) + " at offset " + std::to_string(pos) + ": " + why);
    };
    while (pos <= data.size() && data.size() - pos >= 2 && U16(&data[pos]) != 0) {
        const uint8_t* h = &data[pos];
        size_t left = data.size() - pos;
        // A single 0 byte ends an archive; some systems pad the file after it.
        if (h[0] == 0 && (left < 7 || h[2] != '-' || h[3] != 'l')) break;
        if (left < 26) bad("the archive ends inside a header");
        if (h[20] != 2) bad("a level-" + std::to_string(h[20]) + " header; only level-2 archives can be wrapped");
        uint16_t size = U16(h);
        if (size < 26 || size > left) bad("the header size " + std::to_string(size) + " does not fit");
        const char* methods = "04567d";
        if (h[2] != '-' || h[3] != 'l' || h[4] != 'h' || h[6] != '-' || !strchr(methods, h[5]) || h[5] == 0)
            bad("method '" + std::string((const char*)h + 2, 5) + "' cannot be unpacked by the self-extractor");

        lzh::Member m;
        m.method = (char)h[5];
        uint32_t packedSize = U32(h + 7);
        m.unpackedSize = U32(h + 11);
        m.timeStamp = U32(h + 15);
        m.attributeByte = h[19];
        m.dataCrc = U16(h + 21);
        m.osId = (char)h[23];
        const bool windowsFields = m.osId == 'M' || m.osId == 'W' || m.osId == 'w';
        std::string dirPart, filePart;
        int headerCrcAt = -1;
        // Extended headers: each announced by the size field before it; that size counts
        // its type byte, its data and the next size field.
        size_t p = 24;
        for (;;) {
            uint16_t s = U16(h + p);
            if (s == 0) break;
            if (s < 3 || p + 2 + s > size) bad("an extended header reaches past the header");
            uint8_t type = h[p + 2];
            const uint8_t* d = h + p + 3;
            size_t n = s - 3;
            if (type == 0x00 && n >= 2) headerCrcAt = (int)(p + 3);
            else if (type == 0x01) filePart.assign((const char*)d, n);
            else if (type == 0x02) dirPart.assign((const char*)d, n);
            else if (type == 0x40 && n >= 2 && windowsFields) {
                m.writeAttributes = true;
                m.attributes16 = U16(d);
            } else if (type == 0x41 && n >= 24 && windowsFields) {
                m.writeWindowsTimes = true;
                m.creationTime = U64(d);
                m.writeTime = U64(d + 8);
                m.accessTime = U64(d + 16);
            }
            p += s;
        }
        if (headerCrcAt >= 0) {
            lzh::Bytes copy(h, h + size);
            uint16_t stored = U16(&copy[headerCrcAt]);
            copy[headerCrcAt] = copy[headerCrcAt + 1] = 0;
            if (lzh::Crc16(copy) != stored) bad("the header CRC does not match: the archive is damaged");
        }
        if ((uint64_t)pos + size + packedSize > data.size()) bad("the archive ends inside the member's data");
        const uint8_t* packed = h + size;
        if (m.method != 'd') m.packed.assign(packed, packed + packedSize);
        if (m.method == '0' && (m.unpackedSize != packedSize || lzh::Crc16(m.packed) != m.dataCrc))
            bad("the stored data does not match its size or CRC: the archive is damaged");

        // The name as the stub builds it: the parts up to a NUL, every separator outside
        // a double-byte character turned into '/'.
        dirPart.resize(std::min(dirPart.size(), dirPart.find('\0')));
        filePart.resize(std::min(filePart.size(), filePart.find('\0')));
        // Some archivers leave out the separator that closes the directory part; the
        // stub would then glue the last directory to the file name.
        bool closed = false;
        for (size_t i = 0; i < dirPart.size(); i++) {
            uint8_t c = (uint8_t)dirPart[i];
            closed = !cp.IsLeadByte(c) && (c == '/' || c == '\\' || c == 0xFF);
            if (cp.IsLeadByte(c)) i++;
        }
        if (!dirPart.empty() && !filePart.empty() && !closed) dirPart += '/';
        std::string raw = dirPart + filePart;
        for (size_t i = 0; i < raw.size(); i++) {
            if (cp.IsLeadByte((uint8_t)raw[i])) {
                i++;
                continue;
            }
            if (raw[i] == '\\' || raw[i] == (char)0xFF) raw[i] = '/';
        }
        if (m.method == 'd' && (raw.empty() || raw.back() != '/')) raw += '/';
        Source s;
        s.kind = Source::Prepared;
        s.name = raw;
        s.shown = cp.Decode(raw);
        if (raw != "!" && raw != "$") CheckMemberName(raw, cp, options.allowUnsafeNames, s.shown);
        s.timeStamp = m.timeStamp;
        m.name = raw;
        s.prepared = std::move(m);
        out.push_back(std::move(s));
        pos += size + packedSize;
    }
    return out;
}

}  // namespace pack
