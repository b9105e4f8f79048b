// The resource tree of a PE image, read and laid out anew, and the PE checksum.
//
// Plain C++ over byte buffers (no system calls), so that the builder can run on any
// host. Everything that reads the image checks its bounds first: a damaged or hostile
// image is refused with an Error, never read past its end.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "lzh/archive_writer.h"

namespace pe {

using Bytes = lzh::Bytes;

// A resource type or name: a number, or a UTF-16 string (as the resource compiler
// stores names, upper-case).
struct ResourceName {
    bool named = false;
    uint16_t id = 0;
    std::u16string text;

    static ResourceName Id(uint16_t id) { return {false, id, {}}; }
    static ResourceName Text(const std::u16string& text) { return {true, 0, text}; }
    bool operator==(const ResourceName& o) const { return named == o.named && id == o.id && text == o.text; }
    // Named entries before numbered ones, names by UTF-16 code units, numbers by value:
    // the order in which the loader searches a directory.
    bool operator<(const ResourceName& o) const;
    std::string Shown() const;
};

struct Resource {
    ResourceName type, name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    Bytes data;
};

// Where the headers of a PE image are, checked against the image's size.
struct Headers {
    size_t optional = 0;         // the optional header
    size_t directories = 0;      // the first data directory entry
    uint32_t directoryCount = 0; // entries that lie inside the optional header
    size_t sections = 0;         // the section table
    unsigned sectionCount = 0;

    size_t Checksum() const { return optional + 64; }
    size_t SizeOfImage() const { return optional + 56; }
    size_t SizeOfInitializedData() const { return optional + 8; }
    size_t Section(unsigned i) const { return sections + 40 * size_t(i); }
    size_t Directory(unsigned i) const { return directories + 8 * size_t(i); }
    uint32_t FileAlignment(const Bytes& b) const { return lzh::U32(b, optional + 36); }
    uint32_t SectionAlignment(const Bytes& b) const { return lzh::U32(b, optional + 32); }
};

// False when the image has no complete PE header.
bool FindHeaders(const Bytes& image, Headers& headers);

// The standard resource types this tool touches.
constexpr uint16_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;

// Every resource of the image, in the tree's order. Throws pack::Error (naming `shown`)
// when the image is not a PE image or its resource tree is damaged.
std::vector<Resource> ReadResources(const Bytes& image, const std::string& shown);

// The image with its resource section laid out anew from `resources`. The resource
// section must be the last one, in the file and in memory, and hold nothing but the
// resource tree; nothing may follow it in the file (no archive, no signature). The
// section's sizes, the resource entry of the data directory, SizeOfImage,
// SizeOfInitializedData and the checksum follow; every other byte stays as it was.
// Throws pack::Error naming `shown`.
Bytes ReplaceResources(const Bytes& image, std::vector<Resource> resources, const std::string& shown);

// The section bytes of a resource tree placed at `rva`: the directories in depth-first
// order, then the name strings, the data entries and the data, each datum aligned to 8.
Bytes LayOutResources(std::vector<Resource> resources, uint32_t rva);

// The PE checksum as the loader computes it: the image's 16-bit words summed with
// end-around carry, the checksum field itself counted as 0, plus the file's length.
uint32_t Checksum(const Bytes& image);
// Writes Checksum(image) into the optional header. Throws pack::Error (naming `shown`)
// when the image has no PE header.
void UpdateChecksum(Bytes& image, const std::string& shown);

// Whether the image carries a certificate table (an Authenticode signature).
bool IsSigned(const Bytes& image);
// Whether `after` is `before` with a certificate table appended (after zero padding to
// 8 bytes) and nothing else changed but the checksum and the certificate table's entry.
bool OnlySignatureAdded(const Bytes& before, const Bytes& after);

}  // namespace pe
