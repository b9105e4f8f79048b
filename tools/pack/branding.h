// The author's icon and version information in the stub's resources (--icon,
// --version-info), and the last steps of a finished image (checksum, signature).
// Plain C++ over byte buffers: the same on every host.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "pack.h"

namespace pack {

// The string keys of a version resource that --version-info takes, in their canonical
// spelling; "" for a key that is not one of them (compared without letter case).
std::string VersionKey(const std::string& key);
// The keys for messages: "ProductName, FileDescription, ...".
std::string VersionKeyList();

// One image of an .ico file.
struct IconImage {
    uint8_t width = 0, height = 0;   // 0 stands for 256
    uint8_t colors = 0;
    uint16_t planes = 0, bitCount = 0;
    lzh::Bytes data;                 // a PNG, or a bitmap with its AND mask
};

// The images of an .ico file, checked: each lies inside the file and is a PNG or a
// bitmap as large as the directory says. Throws Error naming `shown`.
std::vector<IconImage> ReadIconFile(const lzh::Bytes& ico, const std::string& shown);

// The version resource (VS_VERSIONINFO) with one string table, language neutral and
// Unicode ("000004B0"), and its Translation. Values are UTF-8; FileVersion and
// ProductVersion that begin with dotted numbers also fill the fixed fields. Throws Error.
lzh::Bytes VersionResource(const std::vector<std::pair<std::string, std::string>>& keys);

// The stub with the options' icon and version information in its resources; the stub
// itself when neither is given. Throws Error.
lzh::Bytes BrandStub(const lzh::Bytes& stub, const Options& options, const std::string& shown);

// The finished image's last steps: a rebranded image gets the checksum of the whole
// file, and --sign-pkcs12 signs it. Throws Error.
void FinishImage(lzh::Bytes& image, const Options& options);

}  // namespace pack
