// Level-2 LZH archives and self-extractor images, for the builder, tests and benches.
#include "lzh/archive_writer.h"

#include <stdio.h>

#include <algorithm>

#include "sfx/settings.h"

namespace lzh {

namespace {

struct CrcTable16 {
    uint16_t entry[256];
    CrcTable16() {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned v = i;
            for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
            entry[i] = uint16_t(v);
        }
    }
};
const CrcTable16 kCrc;


// Appends one extended header (type + data) to the chain: the size field that announces
// it is the one at the current end of the header (the previous header's "next size"),
// and a fresh 0 "next size" closes the chain again.
void AppendExtended(Bytes& header, uint8_t type, const Bytes& data) {
    size_t announce = header.size() - 2;
    Put16(header, announce, uint16_t(data.size() + 3));
    header.push_back(type);
    header.insert(header.end(), data.begin(), data.end());
    Append16(header, 0);
}

// Copies text into a string field of the block, which keeps its terminator.
template <size_t N> bool PutString(char (&field)[N], const std::string& text, const char* name, std::string* error) {
    if (text.size() >= N) {
        if (error) *error = std::string(name) + " is longer than " + std::to_string(N - 1) + " bytes";
        return false;
    }
    std::copy(text.begin(), text.end(), field);
    return true;
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc) {
    for (size_t i = 0; i < size; ++i) crc = kCrc.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

Member StoredMember(const std::string& name, const Bytes& data, uint32_t timeStamp, uint8_t attributes) {
    Member m;
    m.name = name;
    m.method = '0';
    m.packed = data;
    m.unpackedSize = uint32_t(data.size());
    m.dataCrc = Crc16(data);
    m.timeStamp = timeStamp;
    m.attributeByte = attributes;
    return m;
}

Member DirectoryMember(const std::string& name, uint32_t timeStamp) {
    Member m;
    m.name = name;
    m.method = 'd';
    m.timeStamp = timeStamp;
    m.attributeByte = 0x10;
    return m;
}

Member SettingsMember(const std::string& text) {
    return StoredMember(SettingsMemberName, Bytes(text.begin(), text.end()));
}

Member NoticeMember(const std::string& text) {
    return StoredMember(NoticeMemberName, Bytes(text.begin(), text.end()));
}

Bytes EncodeHeader(const Member& member, const HeaderFaults& faults) {
    Bytes h;
    Append16(h, 0);  // header size, set at the end
    h.push_back('-');
    h.push_back('l');
    h.push_back('h');
    h.push_back(uint8_t(member.method));
    h.push_back('-');
    Append32(h, uint32_t(member.packed.size()));
    Append32(h, member.unpackedSize);
    Append32(h, member.timeStamp);
    h.push_back(member.attributeByte);
    h.push_back(member.headerLevel);
    Append16(h, member.dataCrc);
    h.push_back(uint8_t(member.osId));
    Append16(h, 0);  // first extended header size; 0 while the chain is empty

    // Header CRC first, as archivers usually write it; its value is filled in last.
    size_t crcAt = 0;
    if (!faults.omitHeaderCrc) {
        AppendExtended(h, 0x00, Bytes{0, 0});
        crcAt = h.size() - 4;
    }

    size_t slash = member.name.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : member.name.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? member.name : member.name.substr(slash + 1);
    if (!file.empty()) AppendExtended(h, 0x01, Bytes(file.begin(), file.end()));
    if (!dir.empty()) {
        Bytes d(dir.begin(), dir.end());
        for (auto& c : d)
            if (c == '/') c = 0xFF;
        AppendExtended(h, 0x02, d);
    }
    if (member.writeAttributes) {
        Bytes a;
        Append16(a, member.attributes16);
        AppendExtended(h, 0x40, a);
    }
    if (member.writeWindowsTimes) {
        Bytes t;
        Append64(t, member.creationTime);
        Append64(t, member.writeTime);
        Append64(t, member.accessTime);
        AppendExtended(h, 0x41, t);
    }
    if (!faults.extraExtended.empty()) {
        Bytes data(faults.extraExtended.begin() + 1, faults.extraExtended.end());
        AppendExtended(h, faults.extraExtended[0], data);
    }

    Put16(h, 0, uint16_t(h.size()));
    if (!faults.omitHeaderCrc) {
        uint16_t crc = Crc16(h.data(), h.size());
        if (faults.wrongHeaderCrc) crc ^= 0x5A5A;
        Put16(h, crcAt, crc);
    }
    return h;
}

uint16_t ChecksumOf(const std::vector<Member>& members) {
    uint16_t sum = 0;
    for (const auto& m : members) sum ^= m.dataCrc;
    return sum;
}

Bytes WriteArchive(const std::vector<Member>& members, bool withChecksum) {
    Bytes out;
    if (withChecksum) Append16(out, ChecksumOf(members));
    for (const auto& m : members) {
        Bytes h = EncodeHeader(m);
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), m.packed.begin(), m.packed.end());
    }
    out.push_back(0);
    return out;
}

bool EncodeConfigBlock(const SfxConfig& config, Bytes& block, std::string* error) {
    SfxConfigBlock b = {};
    ::PutU32(reinterpret_cast<uint8_t*>(&b.ArchiveOffset), config.archiveOffset);   // little-endian on any host
    if (!PutString(b.WindowTitle, config.windowTitle, "window title", error) ||
        !PutString(b.InstallTitle, config.installTitle, "install title", error) ||
        !PutString(b.InstallDir, config.installDir, "install directory", error) ||
        !PutString(b.Command, config.command, "command", error))
        return false;
    b.ArchiveFlags = config.archiveFlags;
    b.RestoreAttributes = config.restoreAttributes;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&b);
    block.assign(bytes, bytes + sizeof b);
    return true;
}

bool BuildImage(const Bytes& stub, SfxConfig config, const Bytes& archive, Bytes& image,
                std::string* error) {
    image = stub;
    // The block must lie inside the image even when a test passes a tiny stand-in stub.
    if (image.size() < ConfigBlockOffset + ConfigBlockSize) image.resize(ConfigBlockOffset + ConfigBlockSize, 0);
    config.archiveOffset = uint32_t(image.size());
    Bytes block;
    if (!EncodeConfigBlock(config, block, error)) return false;
    std::copy(block.begin(), block.end(), image.begin() + ConfigBlockOffset);
    image.insert(image.end(), archive.begin(), archive.end());
    return true;
}

bool ReadFile(const std::string& path, Bytes& out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool WriteFile(const std::string& path, const Bytes& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = (fclose(f) == 0) && ok;
    return ok;
}

}  // namespace lzh
