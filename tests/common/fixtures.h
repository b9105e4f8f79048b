// What the tests of every layer share: whole files, scratch directories, varied data,
// trees compared by content, and a level-2 header sealed again after a patch.
#pragma once

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lzh/archive_writer.h"

namespace fixtures {

using lzh::Bytes;

// A whole file as text; "<missing>" when it cannot be read.
inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Entries of dir that look like the builder's temporary for the output `name`.
inline int Temporaries(const std::string& dir, const std::string& name) {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) n += e.path().filename().string().rfind("." + name + ".", 0) == 0;
    return n;
}

inline void WriteAll(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

inline Bytes TextBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The path with every `from` turned into `to` (a host path for Windows and back).
inline std::string Swapped(std::string path, char from, char to) {
    std::replace(path.begin(), path.end(), from, to);
    return path;
}

// A file's modification and access times, in whole seconds; false when they cannot be set.
inline bool SetModified(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// A volume of 1 MiB at dir (a tmpfs) for the scope, to fill up; mounted tells whether
// this machine let it be mounted (it needs root).
struct SmallVolume {
    std::string dir;
    bool mounted;
    explicit SmallVolume(const std::string& at) : dir(at) {
        std::filesystem::create_directories(dir);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~SmallVolume() {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
    }
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;
};

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// A new directory under /tmp, removed with everything in it when the scope ends.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char tmpl[] = "/tmp/varnex-test-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& rel) const { return path + "/" + rel; }
};

// Test data of a kind: Text is words and line ends (compresses well, but not to
// nothing), Mixed adds runs, repeats from far back and noise, Noise does not shrink.
enum class Kind { Text, Mixed, Noise };
inline Bytes Data(Kind kind, size_t size, uint32_t seed) {
    static const char* const words[] = {"install ", "archive ", "window ", "table\r\n",
                                        "0123456789", "directory ", "member ", "code "};
    std::mt19937 rng(seed);
    Bytes d;
    d.reserve(size);
    while (d.size() < size) {
        const uint32_t r = rng();
        if (kind == Kind::Noise || (kind == Kind::Mixed && r % 4 == 3)) {
            d.push_back(uint8_t(r >> 8));
        } else if (kind == Kind::Mixed && r % 4 == 0) {
            d.insert(d.end(), 1 + r % 300, 0);
        } else if (kind == Kind::Mixed && r % 4 == 1 && d.size() > 5000) {
            for (uint32_t k = 0; k < 1 + r % 300; k++) d.push_back(d[d.size() - 4999]);
        } else {
            for (const char* w = words[(r >> 20) % 8]; *w; w++) d.push_back(uint8_t(*w));
        }
    }
    d.resize(size);
    return d;
}
inline std::string DataText(Kind kind, size_t size, uint32_t seed) {
    const Bytes b = Data(kind, size, seed);
    return std::string(b.begin(), b.end());
}

// Every file and directory below root by relative path ("d/" for a directory) with its
// contents: two trees are equal when these are.
inline std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> out;
    if (!std::filesystem::is_directory(root)) return out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        if (e.is_directory())
            out[rel + "/"] = "";
        else
            out[rel] = ReadAll(e.path().string());
    }
    return out;
}

// Seals a level-2 header's CRC again after a patch, so that the patch alone is what the
// reader meets. The writer puts the header-CRC extended header first: its value at 27.
inline Bytes Reseal(Bytes h) {
    h[27] = h[28] = 0;
    const uint16_t crc = lzh::Crc16(h);
    h[27] = uint8_t(crc), h[28] = uint8_t(crc >> 8);
    return h;
}

// The real-world archives of tests/data/lzh, by name: the stub refuses those without a
// header CRC and the one in "-lh1-" with "Bad header".
struct CorpusArchive {
    std::string name;
    bool refused;
};
inline std::vector<CorpusArchive> Corpus(const std::string& dir) {
    std::vector<CorpusArchive> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".lzh")
            out.push_back({name, name.find("no_header_crc") != std::string::npos || name.find("lh1") != std::string::npos});
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

}  // namespace fixtures
