// DecodeMember over arbitrary packed data, checked against the field-by-field reading
// of the same stream (decode_support.h): both must end alike (same message, bytes and
// reports, same place in the file and the same window), and neither may crash, hang
// or leave its arrays.
//
// Input: byte 0 picks the method ("4567"[b & 3]) and, with bit 0x80, a packed size
// larger than the data (a truncated archive); bytes 1-3 give the unpacked size (at
// most 256 KiB: four windows); the rest is the packed data.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "decode_support.h"
#include "scratch_dir.h"

namespace {

uint8_t header[26];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    if (!Ws && !BeginRun()) return 0;
    const std::string image = fuzz::ScratchDir() + "/image.bin", out = fuzz::ScratchDir() + "/out.bin";
    FILE* f = fopen(image.c_str(), "wb");
    if (!f) return 0;
    fwrite(data + 4, 1, size - 4, f);
    fclose(f);

    memset(header, 0, sizeof header);
    header[HdrMethodChar] = (uint8_t)"4567"[data[0] & 3];
    uint32_t packed = (uint32_t)(size - 4) + ((data[0] & 0x80) ? 1000u * (1 + (data[0] & 0x70)) : 0);
    PutU32(header + HdrPackedSize, packed);
    PutU32(header + HdrUnpackedSize, data[1] | (data[2] << 8) | ((data[3] & 3) << 16));

    decode_support::StartMember(image, header, 0, nullptr);
    const decode_support::Outcome ref = decode_support::DecodeStarted(false, out, 0);
    decode_support::StartMember(image, header, 0, nullptr);
    const decode_support::Outcome fast = decode_support::DecodeStarted(true, out, 0);
    const std::string difference = decode_support::Difference(fast, ref);
    if (!difference.empty()) {
        fprintf(stderr, "fast and field-by-field decoding differ: %s\n", difference.c_str());
        abort();
    }
    return 0;
}
