// Member headers (level 2, read whole into their own allocation) and the CRC-16 that
// guards headers and member data alike.
#include "sfx/archive_header.h"

#include "sfx/paths.h"
#include "sfx/report.h"
#include "sfx/text.h"
#include "sfx/timestamps.h"

// The folding below asks the processor for its features through a table that the C
// runtime's start-up code fills. The stub runs no such code (its x86-64 stand-in neither),
// so Windows builds keep the slices.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define VARNEX_CRC_FOLD 1
#include <immintrin.h>
#endif

namespace {

// Every member's data runs through UpdateCrc, so it processes eight bytes per step, with
// the slices of RunState (derived from CrcTable whenever it is built, so both agree).

#ifdef VARNEX_CRC_FOLD
// Where the processor multiplies without carries (the host tools and tests; the stub
// keeps the slices), long runs are folded 16 bytes per step. The CRC-16 with the
// reflected polynomial p is also a 32-bit reflected CRC whose polynomial is p times x^16:
// the table steps of the two are the same. For that 32-bit CRC the usual folding applies.
// The 16 bytes in hand are a polynomial of degree below 128 (byte 0, bit 0 the highest
// power); before the next 16 bytes are added they are replaced by their product with
// x^128, reduced. Its low and high halves are multiplied by x^191 and x^127 reduced: the
// multiplication of two reflected 64-bit operands yields the product times x^-1, hence
// one less than 192 and 128. What is left after the last step is congruent to the whole
// run, so the table steps over those 16 bytes give the run's CRC.

// x^n mod (x^32 + poly) for poly in normal bit order, as a reflected 64-bit operand
// (the coefficient of x^d in bit 63 - d).
uint64_t ReflectedPowerMod(uint32_t n, uint32_t normalPoly) {
    uint64_t r = 1;
    for (uint32_t i = 0; i < n; i++) {
        r <<= 1;
        if (r >> 32) r ^= (1ull << 32) | normalPoly;
    }
    uint64_t k = 0;
    for (int d = 0; d < 32; d++)
        if ((r >> d) & 1) k |= 1ull << (63 - d);
    return k;
}

// The CRC of blocks * 16 bytes starting with `crc`.
__attribute__((target("pclmul,sse2"))) uint32_t FoldCrc(const uint8_t* p, uint32_t blocks, uint32_t crc) {
    // The register's start value enters as the first bytes of the run, over a zero register.
    __m128i x = _mm_xor_si128(_mm_loadu_si128((const __m128i*)p), _mm_cvtsi32_si128((int)crc));
    const __m128i k = _mm_set_epi64x((long long)RunState.CrcFoldHigh, (long long)RunState.CrcFoldLow);
    for (uint32_t b = 1; b < blocks; b++) {
        __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
        __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
        x = _mm_xor_si128(_mm_xor_si128(low, high), _mm_loadu_si128((const __m128i*)(p + 16 * b)));
    }
    uint8_t folded[16];
    _mm_storeu_si128((__m128i*)folded, x);
    uint32_t r = 0;
    for (int i = 0; i < 16; i++) r = Ws->CrcTable[(r ^ folded[i]) & 0xFF] ^ (r >> 8);
    return r;
}
#endif

bool OsHasWindowsFields(uint8_t os) { return os == 'M' || os == 'W' || os == 'w'; }

uint64_t GetU64(const uint8_t* p) { return (uint64_t)GetU32(p) | ((uint64_t)GetU32(p + 4) << 32); }

// Smallest data of the extended headers whose value is read; a shorter one would make
// the reader run past its end.
uint32_t MinimumData(uint8_t type) {
    switch (type) {
        case 0x00:                 // header CRC
        case 0x40: return 2;       // attributes
        case 0x41: return 24;      // three FILETIMEs
        default: return 0;
    }
}

HeaderResult BadHeader() {
    ShowError("Bad header", Ws->ImagePath);
    Ws->Failed = 1;
    return HeaderFailed;
}

// Whether the directory data ends in a separator byte that is not the trail byte of a
// double-byte character.
bool EndsWithSeparator(const uint8_t* dir, uint32_t length) {
    uint32_t i = 0, last = 0;
    while (i < length) {
        last = i;
        i += (PortIsLeadByte(dir[i]) && i + 1 < length) ? 2 : 1;
    }
    if (i - last != 1) return false;
    uint8_t c = dir[last];
    return c == 0xFF || c == '/' || c == '\\';
}

}  // namespace

void ReleaseHeader() {
    if (Ws->Header) PortFree(Ws->Header);
    Ws->Header = nullptr;
    Ws->HeaderCrcField = nullptr;
    Ws->DirName = nullptr;
    Ws->FileName = nullptr;
}

void BuildCrcTable(uint16_t polynomial) {
    uint16_t(*slices)[256] = RunState.CrcSlices;
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t v = i;
        for (int k = 0; k < 8; k++) v = (v & 1) ? (v >> 1) ^ polynomial : v >> 1;
        Ws->CrcTable[i] = (uint16_t)v;
        slices[0][i] = (uint16_t)v;
    }
    for (int k = 1; k < 8; k++)
        for (uint32_t i = 0; i < 256; i++) {
            uint16_t prev = slices[k - 1][i];
            slices[k][i] = (uint16_t)((prev >> 8) ^ slices[0][prev & 0xFF]);
        }
#ifdef VARNEX_CRC_FOLD
    uint32_t normal = 0;   // the polynomial times x^16, in normal bit order
    for (int i = 0; i < 16; i++)
        if ((polynomial >> i) & 1) normal |= 1u << (31 - i);
    RunState.CrcFoldLow = ReflectedPowerMod(191, normal);
    RunState.CrcFoldHigh = ReflectedPowerMod(127, normal);
    RunState.CrcFoldReady = __builtin_cpu_supports("pclmul");
#endif
}

uint16_t UpdateCrc(const uint8_t* bytes, int32_t count) {
    if (count <= 0) return Ws->Crc;
    uint32_t crc = Ws->Crc;
    uint32_t n = (uint32_t)count;
#ifdef VARNEX_CRC_FOLD
    if (RunState.CrcFoldReady && n >= 64) {
        crc = FoldCrc(bytes, n / 16, crc);
        bytes += n & ~15u;
        n &= 15;
    }
#endif
    const uint16_t(*slices)[256] = RunState.CrcSlices;
    for (; n >= 8; n -= 8, bytes += 8) {
        uint32_t x = crc ^ (bytes[0] | ((uint32_t)bytes[1] << 8));
        crc = slices[7][x & 0xFF] ^ slices[6][x >> 8] ^ slices[5][bytes[2]] ^ slices[4][bytes[3]] ^
              slices[3][bytes[4]] ^ slices[2][bytes[5]] ^ slices[1][bytes[6]] ^ slices[0][bytes[7]];
    }
    for (; n; n--, bytes++) crc = Ws->CrcTable[(crc ^ *bytes) & 0xFF] ^ (crc >> 8);
    Ws->Crc = (uint16_t)crc;
    return Ws->Crc;
}

// The caller has checked that size covers the type byte, the data and the closing size
// field inside the header buffer, and that the data is long enough for the type.
void ApplyExtendedHeader(uint8_t* type, uint32_t size) {
    if (size < 3) return;
    uint8_t* data = type + 1;
    uint32_t length = size - 3;
    if (length < MinimumData(*type)) return;
    switch (*type) {
        case 0x00:
            Ws->StoredHeaderCrc = GetU16(data);
            Ws->HeaderCrcField = data;
            break;
        case 0x01:
            Ws->FileName = data;
            Ws->FileNameLength = (uint16_t)length;
            break;
        case 0x02:
            Ws->DirName = data;
            Ws->DirNameLength = (uint16_t)length;
            break;
        case 0x40:
            if (OsHasWindowsFields(Ws->Header[HdrOsId])) Ws->Attributes = GetU16(data);
            break;
        case 0x41:
            if (OsHasWindowsFields(Ws->Header[HdrOsId])) {
                // A value the conversion rejects leaves the time from TimeStamp.
                PortFileTime t = GetU64(data);
                FileTimeToUnix(&t, &Ws->CreationTime);
                t = GetU64(data + 8);
                FileTimeToUnix(&t, &Ws->WriteTime);
                t = GetU64(data + 16);
                FileTimeToUnix(&t, &Ws->AccessTime);
            }
            break;
        default:
            break;
    }
}

HeaderResult ReadEntryHeader() {
    ReleaseHeader();

    uint8_t sizeBytes[2];
    if (PortRead(Ws->ArchiveFile, sizeBytes, 2) != 2) return EndOfArchive;
    uint16_t headerSize = GetU16(sizeBytes);
    if (headerSize == 0) return EndOfArchive;
    // Archivers end an archive with a single 0 byte, and some pad the file after it
    // (an image appended to, a file system that rounds up to blocks). So a low byte of 0
    // followed by anything but a method id is the end marker, not a header size of
    // 256 * n; a real header of such a size still shows its method id next.
    uint8_t methodId[5];
    const bool lowByteZero = sizeBytes[0] == 0;
    if (lowByteZero) {
        if (PortRead(Ws->ArchiveFile, methodId, 5) != 5) return EndOfArchive;
        if (methodId[0] != '-' || methodId[1] != 'l' || methodId[2] != 'h' || methodId[4] != '-') return EndOfArchive;
    }

    // The size is a signed 16-bit count: 32768 and above cannot be held.
    uint8_t* h = headerSize < 0x8000 ? (uint8_t*)PortAllocZero(headerSize) : nullptr;
    if (!h) {
        ShowPercent();
        PortMessageBox(Ws->DialogWindow, "Not enough memory", Ws->Config.WindowTitle,
                       PortMbTaskModal | PortMbIconError);
        Ws->Failed = 1;
        return HeaderFailed;
    }
    Ws->Header = h;
    // Below the fixed part there is no room for the fields read below.
    if (headerSize < HdrFixedSize) return BadHeader();
    PutU16(h, headerSize);
    uint32_t have = 2;
    if (lowByteZero) {
        MemCopy(h + 2, methodId, 5);
        have = 7;
    }
    if (PortRead(Ws->ArchiveFile, h + have, headerSize - have) != (int32_t)(headerSize - have)) return BadHeader();

    const uint8_t method = h[HdrMethodChar];
    if (h[2] != '-' || h[3] != 'l' || h[4] != 'h' || h[6] != '-') return BadHeader();
    if (method != '0' && method != '4' && method != '5' && method != '6' && method != '7' && method != 'd')
        return BadHeader();

    Ws->HeaderCrcField = nullptr;
    Ws->DirName = nullptr;
    Ws->FileName = nullptr;
    Ws->DirNameLength = 0;
    Ws->FileNameLength = 0;
    Ws->Attributes = h[HdrAttributeByte];
    uint32_t stamp = GetU32(h + HdrTimeStamp);
    Ws->WriteTime = Ws->CreationTime = Ws->AccessTime = stamp;

    // Each extended header must lie whole inside the buffer, its closing size field
    // included, and be long enough for the value it carries; anything else is a
    // malformed header, not something to read around.
    uint32_t p = HdrFirstExtSize;
    for (;;) {
        uint32_t s = GetU16(h + p);
        if (s == 0) break;
        if (s < 3 || p + s + 2 > headerSize) return BadHeader();
        if (s - 3 < MinimumData(h[p + 2])) return BadHeader();
        ApplyExtendedHeader(h + p + 2, s);
        p += s;
    }

    if (Ws->HeaderCrcField) {
        Ws->HeaderCrcField[0] = 0;
        Ws->HeaderCrcField[1] = 0;
        Ws->Crc = 0;
        if (UpdateCrc(h, headerSize) != Ws->StoredHeaderCrc) return BadHeader();
    } else if (!RunState.HeaderCrcOptional) {
        return BadHeader();
    }

    // Some archivers write the directory part without a closing separator ("a\xFFb"
    // for a/b/); joined as it stands the name would become a/bfile. A separator is put
    // between the parts then.
    uint32_t dirLength = Ws->DirNameLength, fileLength = Ws->FileNameLength;
    uint32_t joint = (dirLength && fileLength && !EndsWithSeparator(Ws->DirName, dirLength)) ? 1 : 0;
    // A name longer than EntryName is refused rather than cut: a cut name would put the
    // data into a different file than the archive names.
    if (dirLength + joint + fileLength > sizeof Ws->EntryName - 1) return BadHeader();
    if (dirLength) MemCopy(Ws->EntryName, Ws->DirName, dirLength);
    if (joint) Ws->EntryName[dirLength] = '/';
    if (fileLength) MemCopy(Ws->EntryName + dirLength + joint, Ws->FileName, fileLength);
    // A zero byte inside either part ends the name where it stands.
    Ws->EntryName[dirLength + joint + fileLength] = 0;
    ReplaceSeparators(Ws->EntryName, '/');
    return HeaderReady;
}

bool MemberIsDirectory() {
    if (Ws->Header[HdrMethodChar] == 'd') return true;
    // EntryName's separators are all '/' by now, and '/' is never the second byte of a
    // double-byte character.
    uint32_t n = TextLength(Ws->EntryName);
    return n != 0 && Ws->EntryName[n - 1] == '/';
}
