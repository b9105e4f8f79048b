// Writing LZH archives with level-2 headers, and self-extractor images around them.
// Shared by the builder (varnex-pack), the tests and the benchmarks.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "lzh/bytes.h"

namespace lzh {

// CRC-16/ARC (reflected 0xA001, initial value given, no final XOR): the CRC of member
// headers and member data alike.
uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc = 0);
inline uint16_t Crc16(const Bytes& data) { return Crc16(data.data(), data.size()); }

// FILETIME for seconds since 1970.
inline uint64_t UnixToFileTime(uint32_t seconds) { return PortFileTimeOf1970 + uint64_t(seconds) * PortFileTimePerSecond; }

// One member as it will be stored.
struct Member {
    std::string name;          // '/'-separated; the part up to the last '/' goes into the
                               // directory-name extended header (0xFF separators), the rest
                               // into the file-name extended header
    char method = '0';         // '0' stored, '4'..'7' compressed, 'd' directory
    Bytes packed;              // the member's packed data (the data itself for '0')
    uint32_t unpackedSize = 0;
    uint16_t dataCrc = 0;      // CRC-16 of the unpacked data
    uint32_t timeStamp = 0;    // seconds since 1970, UTC
    uint8_t attributeByte = 0x20;
    char osId = 'W';           // 'W', 'w' or 'M' make the stub honour 0x40 and 0x41
    bool writeAttributes = false;   // extended header 0x40 with attributes16
    uint16_t attributes16 = 0;
    bool writeWindowsTimes = false; // extended header 0x41 with the three FILETIMEs
    uint64_t creationTime = 0, writeTime = 0, accessTime = 0;
    uint8_t headerLevel = 2;
};

// A stored ("-lh0-") member of the given data.
Member StoredMember(const std::string& name, const Bytes& data, uint32_t timeStamp = 0, uint8_t attributes = 0x20);
// A directory ("-lhd-") member; name should end in '/'.
Member DirectoryMember(const std::string& name, uint32_t timeStamp = 0);
// The settings ("$") and notice ("!") members, stored.
Member SettingsMember(const std::string& text);
Member NoticeMember(const std::string& text);

// Ways to spoil a header on purpose, for tests of the reader.
struct HeaderFaults {
    bool omitHeaderCrc = false;      // no extended header 0x00
    bool wrongHeaderCrc = false;     // 0x00 present with a wrong value
    Bytes extraExtended;             // one more extended header, appended last: its type
                                     // byte, then its data; the sizes are filled in
};

// One member header (level 2) with extended headers 0x00 (header CRC), 0x01 (file
// name), 0x02 (directory name, if any), 0x40 and 0x41 (if asked), correct sizes and CRC.
Bytes EncodeHeader(const Member& member, const HeaderFaults& faults = {});

// The archive: an optional XOR checksum of all data CRCs, then every member's header
// and packed data, then a single 0 byte that ends it.
Bytes WriteArchive(const std::vector<Member>& members, bool withChecksum);
// The XOR of the members' data CRCs, as the checksum in front of the archive.
uint16_t ChecksumOf(const std::vector<Member>& members);

// The fields of the configuration block (SfxConfigBlock) at file offset 512 of the image.
struct SfxConfig {
    uint32_t archiveOffset = 0;
    std::string windowTitle;    // at most 40 bytes
    std::string installTitle;   // at most 40 bytes
    std::string installDir;     // at most 255 bytes
    std::string command;        // at most 255 bytes
    uint8_t archiveFlags = 0;   // ArchiveFlagChecksum: the archive begins with the checksum
    uint8_t restoreAttributes = 0;
};
// Encodes the block as the stub reads it; a field that is too long is an error (returns false and names the
// field in *error).
bool EncodeConfigBlock(const SfxConfig& config, Bytes& block, std::string* error = nullptr);

// stub + filled configuration block + archive. The archive starts right after the stub
// (archiveOffset is set to the stub's size).
bool BuildImage(const Bytes& stub, SfxConfig config, const Bytes& archive, Bytes& image,
                std::string* error = nullptr);

// Reading and writing whole files.
bool ReadFile(const std::string& path, Bytes& out);
bool WriteFile(const std::string& path, const Bytes& data);

}  // namespace lzh
