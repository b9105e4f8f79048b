// Decompression of "-lh4-" to "-lh7-": the bit input over a member's packed bytes, the
// canonical Huffman tables and the block decoder with its 65536-byte window.
//
// There are two layers. The operations declared in decode.h work on the workspace's
// bit input (BitBuf, SubBitBuf, BitCount, InPos, PackedLeft) one field step at a time;
// they define the format and read every block header. DecodeMember's symbol loop is a
// second, faster reading of the same stream: it keeps the bit input in a register
// (64 or 32 bits) filled from InputBuffer several bytes at a time, and uses tables
// whose entries carry symbol and length together. It hands its state back to the
// workspace before each block header and at the end, so both layers always agree on
// where the stream stands; it reads the image file at exactly the moments the
// field-by-field input would, so a truncated archive fails after the same hand-overs.
#include "sfx/decode.h"

#include "sfx/report.h"

#if defined(__GNUC__)
#define DECODE_INLINE inline __attribute__((always_inline))
#define DECODE_NOINLINE __attribute__((noinline))
#define DECODE_LIKELY(x) __builtin_expect(!!(x), 1)
#define DECODE_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define DECODE_INLINE inline
#define DECODE_NOINLINE
#define DECODE_LIKELY(x) (x)
#define DECODE_UNLIKELY(x) (x)
#endif

namespace {

enum : uint32_t {
    InputBufferSize = 16384,
    WindowBytes = 65536,
    WindowMask = 0xFFFF,
    NodeCount = 1019,              // entries of Left and Right
    LiteralSymbols = 510,
    LengthSymbols = 19,            // symbols of the code-length code
    MaxCodeLength = 16,
};

// Position-code parameters by the low four bits of the method character: symbol
// count and width of its count field. Only '4' to '7' are meaningful.
const uint8_t MethodPosCodeCount[16] = {0, 0, 0, 0, 14, 14, 17, 17};
const uint8_t MethodPosCountBits[16] = {0, 0, 0, 0, 4, 4, 5, 5};

[[noreturn]] DECODE_NOINLINE void RejectTable() {
    ShowError("Bad table", Ws->ImagePath);
    AbortRun(1);
}

[[noreturn]] DECODE_NOINLINE void FailRead() {
    ShowError("Read ERROR", Ws->ImagePath);
    Ws->Failed = 1;
    AbortRun(1);
}

// A code sent as its one symbol names a symbol outside its alphabet: no encoder
// writes that, and reading it would mean following whatever nodes earlier tables
// left behind. It is refused when it is read, whether or not the block uses it.
[[noreturn]] void RejectSingleSymbol() { RejectTable(); }

// Follows the tree below a table entry that is not a symbol. `bits` is the stream's
// next 16 bits; the walk starts at the first bit below the table index. A code is at
// most 16 bits long, so after 16 - tableBits steps a symbol must have been reached;
// a walk that has not (a damaged stream whose table entries or single symbol lie
// outside the alphabet, or nodes left by an earlier table) ends as a bad table
// instead of following stale nodes in a circle.
uint16_t ResolveNode(uint32_t j, uint16_t bits, uint16_t symbolCount, uint32_t tableBits) {
    uint32_t mask = 1u << (15 - tableBits);
    for (uint32_t steps = MaxCodeLength - tableBits; j >= symbolCount; steps--) {
        if (steps == 0 || j >= NodeCount) RejectTable();
        j = (bits & mask) ? Ws->Right[j] : Ws->Left[j];
        mask >>= 1;
    }
    return (uint16_t)j;
}

// Reads one symbol through a table of width tableBits over symbolCount symbols whose
// code lengths are in `lengths`, and consumes its code.
uint16_t ReadTableSymbol(const uint16_t* table, uint32_t tableBits, uint16_t symbolCount, const uint8_t* lengths) {
    uint16_t j = table[Ws->BitBuf >> (16 - tableBits)];
    if (j >= symbolCount) j = ResolveNode(j, Ws->BitBuf, symbolCount, tableBits);
    AdvanceBits(lengths[j]);
    return j;
}

// One block header: the symbol count and the three codes.
void ReadBlockHeader() {
    Ws->BlockLeft = TakeBits(16);
    ReadPosLengths(LengthSymbols, 5, 3);
    ReadCodeLengths();
    ReadPosLengths(Ws->PosCodeCount, (uint8_t)Ws->PosCountBits, -1);
}

}  // namespace

// ---- bit input ----------------------------------------------------------------------

int ReadPackedByte(PortImageFile file, uint32_t wanted) {
    SfxWorkspace* ws = Ws;
    if (ws->InPos >= InputBufferSize) {
        uint32_t n = wanted < InputBufferSize ? wanted : InputBufferSize;
        int32_t got = PortRead(file, ws->InputBuffer, n);
        if (got < 0 || (uint32_t)got != n) return -1;
        ws->InPos = 0;
    }
    return ws->InputBuffer[ws->InPos++];
}

void AdvanceBits(uint8_t n) {
    SfxWorkspace* ws = Ws;
    uint32_t left = n;
    while (left > ws->BitCount) {
        uint32_t count = ws->BitCount;
        ws->BitBuf = (uint16_t)((ws->BitBuf << count) + (ws->SubBitBuf >> (8 - count)));
        left -= count;
        if (ws->PackedLeft != 0) {
            ws->PackedLeft--;
            int byte = ReadPackedByte(ws->ArchiveFile, (uint32_t)ws->PackedLeft + 1);
            if (byte < 0) FailRead();
            ws->SubBitBuf = (uint8_t)byte;
        } else {
            // Past the member's packed data the stream reads as zero bits.
            ws->SubBitBuf = 0;
        }
        ws->BitCount = 8;
    }
    ws->BitCount = (uint8_t)(ws->BitCount - left);
    // BitCount never exceeds 8, so left <= 8 here.
    ws->BitBuf = (uint16_t)((ws->BitBuf << left) + (ws->SubBitBuf >> (8 - left)));  // NOLINT(clang-analyzer-core.UndefinedBinaryOperatorResult)
    ws->SubBitBuf = (uint8_t)(ws->SubBitBuf << left);
}

uint16_t TakeBits(uint8_t n) {
    uint16_t r = n ? (uint16_t)(Ws->BitBuf >> (16 - n)) : 0;
    AdvanceBits(n);
    return r;
}

// ---- canonical Huffman tables ---------------------------------------------------------

void BuildDecodeTable(uint16_t symbolCount, const uint8_t* lengths, uint16_t tableBits, uint16_t* table) {
    SfxWorkspace* ws = Ws;
    uint32_t perLength[MaxCodeLength + 1] = {};
    uint32_t first[MaxCodeLength + 2];
    uint32_t step[MaxCodeLength + 1];

    // A length above 16 cannot be a code of this format (only a damaged stream makes
    // the length reader deliver one); rejecting it keeps the counts inside perLength.
    for (uint32_t i = 0; i < symbolCount; i++) {
        if (lengths[i] > MaxCodeLength) RejectTable();
        perLength[lengths[i]]++;
    }
    // The code must fill the code space exactly, or be empty. The sum is taken
    // without wrapping, so an over-full set (for instance four codes of one bit),
    // which would write past the table and the node arrays, is rejected as well.
    first[1] = 0;
    for (uint32_t i = 1; i <= MaxCodeLength; i++) first[i + 1] = first[i] + (perLength[i] << (16 - i));
    if (first[MaxCodeLength + 1] != 0 && first[MaxCodeLength + 1] != 0x10000) RejectTable();
    if (tableBits < 1 || tableBits > MaxCodeLength) RejectTable();

    uint32_t spare = 16 - tableBits;
    for (uint32_t i = 1; i <= tableBits; i++) {
        first[i] >>= spare;
        step[i] = 1u << (tableBits - i);
    }
    for (uint32_t i = tableBits + 1; i <= MaxCodeLength; i++) step[i] = 1u << (16 - i);

    // Entries whose codes are longer than the table get their tree below them; 0
    // marks "no node yet".
    uint32_t tableSize = 1u << tableBits;
    if (tableBits < MaxCodeLength) {
        uint32_t e = first[tableBits + 1] >> spare;
        if (e != 0)
            for (uint32_t i = e; i < tableSize; i++) table[i] = 0;
    }

    uint32_t freeNode = symbolCount;
    uint32_t mask = 1u << (15 - tableBits);
    for (uint32_t ch = 0; ch < symbolCount; ch++) {
        uint32_t len = lengths[ch];
        if (len == 0) continue;
        uint32_t end = first[len] + step[len];
        if (len <= tableBits) {
            for (uint32_t i = first[len]; i < end; i++) table[i] = (uint16_t)ch;
        } else {
            uint32_t k = first[len];
            uint16_t* p = &table[k >> spare];
            for (uint32_t i = len - tableBits; i != 0; i--) {
                if (*p == 0) {
                    // A complete code never needs more nodes than the arrays hold;
                    // the check guards callers with larger alphabets.
                    if (freeNode >= NodeCount) RejectTable();
                    ws->Left[freeNode] = ws->Right[freeNode] = 0;
                    *p = (uint16_t)freeNode++;
                }
                uint32_t v = *p;
                if (v < symbolCount || v >= NodeCount) RejectTable();
                p = (k & mask) ? &ws->Right[v] : &ws->Left[v];
                k <<= 1;
            }
            *p = (uint16_t)ch;
        }
        first[len] = end & 0xFFFF;
    }
}

// ---- block decoder ----------------------------------------------------------------------

void ReadPosLengths(uint16_t symbolCount, uint8_t countBits, int16_t zeroRunAfter) {
    SfxWorkspace* ws = Ws;
    const uint32_t capacity = sizeof ws->PosLengths;
    if (symbolCount > capacity) RejectTable();
    uint32_t n = TakeBits(countBits);
    if (n == 0) {
        for (uint32_t i = 0; i < symbolCount; i++) ws->PosLengths[i] = 0;
        uint16_t s = TakeBits(countBits);
        if (s >= symbolCount) RejectSingleSymbol();
        for (uint32_t i = 0; i < 256; i++) ws->PosTable[i] = s;
        return;
    }
    uint32_t i = 0;
    while (i < n) {
        uint32_t c = TakeBits(3);
        if (c == 7) {
            // A unary extension: every further 1-bit adds one to the length.
            for (uint32_t mask = 0x8000; mask != 0 && (ws->BitBuf & mask); mask >>= 1) c++;
            AdvanceBits((uint8_t)(c - 6));
        }
        // Counts fields are at most 5 bits wide here, so i stays far below the
        // array's 128 entries; the check only guards wider fields.
        if (i >= capacity) RejectTable();
        ws->PosLengths[i++] = (uint8_t)c;
        if ((int32_t)i == zeroRunAfter) {
            uint32_t z = TakeBits(2);
            if (i + z > capacity) RejectTable();
            for (; z != 0; z--) ws->PosLengths[i++] = 0;
        }
    }
    for (; i < symbolCount; i++) ws->PosLengths[i] = 0;
    BuildDecodeTable(symbolCount, ws->PosLengths, 8, ws->PosTable);
}

void ReadCodeLengths() {
    SfxWorkspace* ws = Ws;
    uint32_t n = TakeBits(9);
    if (n == 0) {
        for (uint32_t i = 0; i < LiteralSymbols; i++) ws->CodeLengths[i] = 0;
        uint16_t s = TakeBits(9);
        if (s >= LiteralSymbols) RejectSingleSymbol();
        for (uint32_t i = 0; i < 4096; i++) ws->CodeTable[i] = s;
        return;
    }
    // The count and the zero runs describe a list of exactly 510 lengths; a count
    // of 511 or a run that passes the last entry can only come from a damaged
    // stream. It is rejected at once rather than clipped: the data that would follow
    // is garbage, and a captured notice or settings text has no CRC to catch it.
    if (n > LiteralSymbols) RejectTable();
    uint32_t i = 0;
    while (i < n) {
        uint32_t c = ReadTableSymbol(ws->PosTable, 8, LengthSymbols, ws->PosLengths);
        uint32_t run;
        if (c >= 3) {
            ws->CodeLengths[i++] = (uint8_t)(c - 2);
            continue;
        } else if (c == 0) {
            run = 1;
        } else if (c == 1) {
            run = TakeBits(4) + 3u;
        } else {
            run = TakeBits(9) + 20u;
        }
        if (i + run > LiteralSymbols) RejectTable();
        for (; run != 0; run--) ws->CodeLengths[i++] = 0;
    }
    for (; i < LiteralSymbols; i++) ws->CodeLengths[i] = 0;
    BuildDecodeTable(LiteralSymbols, ws->CodeLengths, 12, ws->CodeTable);
}

uint16_t DecodeSymbol() {
    SfxWorkspace* ws = Ws;
    if (ws->BlockLeft == 0) ReadBlockHeader();
    ws->BlockLeft--;
    return ReadTableSymbol(ws->CodeTable, 12, LiteralSymbols, ws->CodeLengths);
}

uint16_t DecodePosition() {
    SfxWorkspace* ws = Ws;
    uint32_t j = ReadTableSymbol(ws->PosTable, 8, ws->PosCodeCount, ws->PosLengths);
    if (j < 2) return (uint16_t)j;
    return (uint16_t)((1u << (j - 1)) + TakeBits((uint8_t)(j - 1)));
}

void BeginMemberDecode(uint8_t method) {
    SfxWorkspace* ws = Ws;
    ws->PosCodeCount = MethodPosCodeCount[method & 15];
    ws->PosCountBits = MethodPosCountBits[method & 15];
    ws->BitBuf = 0;
    ws->SubBitBuf = 0;
    ws->BitCount = 0;
    AdvanceBits(16);
    ws->BlockLeft = 0;
}

// ---- the fast symbol loop ------------------------------------------------------------------

namespace {

// Tables of the fast loop (RunState.FastCodeTable and FastPosTable), rebuilt from
// CodeTable/PosTable after every block header. An entry holds the symbol in its low 10
// bits and the code length above them; an entry with the top bit set names a tree node
// (or anything else the workspace table holds that is not a symbol) and is resolved by
// ResolveNode, as the field-by-field reading does.
enum : uint16_t { FastWalk = 0x8000, FastSymbolMask = 0x3FF, FastLengthShift = 10 };

void CompileFastTable(uint16_t* fast, const uint16_t* table, uint32_t entries, uint16_t symbolCount,
                      const uint8_t* lengths) {
    for (uint32_t i = 0; i < entries; i++) {
        uint32_t j = table[i];
        if (j < symbolCount && lengths[j] <= MaxCodeLength)
            fast[i] = (uint16_t)(j | ((uint32_t)lengths[j] << FastLengthShift));
        else
            fast[i] = (uint16_t)(FastWalk | (j < NodeCount ? j : (uint32_t)FastSymbolMask));
    }
}

// The literal/length table without the walk flag: an entry's low 10 bits are a
// symbol (below 510, with its length above) or, 510 and up, a node to walk from
// with length 0, so a literal needs no test beyond "below 256". (1023 is no node:
// the walk refuses it.)
void CompileLiteralTable() {
    SfxWorkspace* ws = Ws;
    for (uint32_t i = 0; i < 4096; i++) {
        uint32_t j = ws->CodeTable[i];
        if (j < LiteralSymbols)
            RunState.FastCodeTable[i] = (uint16_t)(ws->CodeLengths[j] <= MaxCodeLength
                                              ? j | ((uint32_t)ws->CodeLengths[j] << FastLengthShift)
                                              : (uint32_t)FastSymbolMask);
        else
            RunState.FastCodeTable[i] = (uint16_t)(j < NodeCount ? j : (uint32_t)FastSymbolMask);
    }
}


// The bit input of the fast loop works in a register of the machine's width (64 or
// 32 bits; VARNEX_DECODE_WORD32 forces 32 so that the narrow variant is tested on
// 64-bit hosts too). Bits holds Count valid bits at its top; Count is at least 16
// between steps, so the 16 bits the field-by-field input keeps in BitBuf are always
// there. Pos and End delimit the bytes of InputBuffer not yet in Bits;
// FileLeft counts the member's packed bytes still in the file.
#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(VARNEX_DECODE_WORD32)
typedef uint64_t BitWord;
#define DECODE_STEP DECODE_INLINE
#else
typedef uint32_t BitWord;
#define DECODE_STEP DECODE_NOINLINE
#endif
// DECODE_STEP marks the symbol steps the loop uses in several places. With a 64-bit
// register they are inlined everywhere. The 32-bit machine (the stub) has too few
// registers to keep FastInput in them anyway, so there each is one function: inlining
// them made the stub about 1.9 KB larger, which every self-extractor carries.
const uint32_t WordBits = sizeof(BitWord) * 8;

struct FastInput {
    BitWord Bits;
    uint32_t Count;
    uint32_t Pos;
    uint32_t End;
    uint32_t FileLeft;
    uint32_t KeptInPos;   // InPos to hand back while no refill happened (all ones)
    bool Refilled;
    bool Padding;         // the member's bytes are all in: zero bits follow
};

DECODE_INLINE BitWord LoadBigEndianWord(const uint8_t* p) {
    BitWord v;
    __builtin_memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (sizeof v == 8) v = (BitWord)__builtin_bswap64((uint64_t)v);
    else v = (BitWord)__builtin_bswap32((uint32_t)v);
#endif
    return v;
}

// Takes the workspace's bit input over.
DECODE_INLINE void LoadInput(FastInput& in) {
    SfxWorkspace* ws = Ws;
    in.Bits = ((BitWord)ws->BitBuf << (WordBits - 16)) | ((BitWord)ws->SubBitBuf << (WordBits - 24));
    in.Count = 16u + ws->BitCount;
    uint64_t left = (uint32_t)ws->PackedLeft;   // as the refill sees it: unsigned
    in.Padding = false;
    if (ws->InPos < InputBufferSize) {
        uint64_t end = ws->InPos + left;
        in.Pos = ws->InPos;
        in.End = end < InputBufferSize ? (uint32_t)end : InputBufferSize;
        in.FileLeft = (uint32_t)(left - (in.End - in.Pos));
        in.Refilled = true;
    } else {
        in.Pos = in.End = 0;
        in.FileLeft = (uint32_t)left;
        in.KeptInPos = ws->InPos;
        in.Refilled = false;
    }
}

// Hands the bit input back: whole bytes fetched ahead of the 16 bits of BitBuf and
// the partly used byte go back to InputBuffer (they are still there), and the fields
// are set as the field-by-field input would have them at this point of the stream.
DECODE_INLINE void StoreInput(const FastInput& in) {
    SfxWorkspace* ws = Ws;
    uint32_t extra = in.Count - 16;
    uint32_t bitCount = extra & 7;
    uint32_t pos = in.Pos;
    // With Padding every byte of the member has been taken; what is ahead is zeros.
    if (!in.Padding) pos -= extra >> 3;
    ws->BitBuf = (uint16_t)(in.Bits >> (WordBits - 16));
    ws->BitCount = (uint8_t)bitCount;
    ws->SubBitBuf = (uint8_t)((in.Bits >> (WordBits - 24)) & (0xFF00u >> bitCount));
    ws->InPos = in.Refilled ? pos : in.KeptInPos;
    ws->PackedLeft = (int32_t)(in.FileLeft + (in.End - pos));
}

// Reads the next piece of the member's packed data into InputBuffer, as the
// field-by-field input does when it needs a byte and the buffer is exhausted.
DECODE_NOINLINE uint32_t ReadNextPiece(uint32_t fileLeft) {
    uint32_t n = fileLeft < InputBufferSize ? fileLeft : InputBufferSize;
    int32_t got = PortRead(Ws->ArchiveFile, Ws->InputBuffer, n);
    if (got < 0 || (uint32_t)got != n) FailRead();
    return n;
}

// The rare part of topping up: byte by byte near the end of InputBuffer, reading
// the file when the bytes are used up and fewer than 16 bits are left (exactly when
// the field-by-field input would read it), zero bits past the member's end.
DECODE_STEP void RefillSlowly(FastInput& in) {
    const uint8_t* buffer = Ws->InputBuffer;
    while (in.Count <= WordBits - 8) {
        if (in.Pos < in.End) {
            in.Bits |= (BitWord)buffer[in.Pos++] << (WordBits - 8 - in.Count);
            in.Count += 8;
        } else if (in.Count >= 16) {
            break;
        } else if (in.FileLeft != 0) {
            uint32_t n = ReadNextPiece(in.FileLeft);
            in.FileLeft -= n;
            in.Pos = 0;
            in.End = n;
            in.Refilled = true;
        } else {
            in.Padding = true;
            in.Count += 8 * ((WordBits - 1 - in.Count) >> 3);
        }
    }
}

// Tops Count up (called when it is below 32): a whole word from InputBuffer while
// one is there.
DECODE_INLINE void Refill(FastInput& in) {
    uint32_t bytes = (WordBits - 1 - in.Count) >> 3;
    if (bytes == 0) return;
    if (DECODE_LIKELY(in.Pos + sizeof(BitWord) <= in.End)) {
        BitWord w = LoadBigEndianWord(Ws->InputBuffer + in.Pos);
        in.Bits |= (w >> (WordBits - 8 * bytes)) << (WordBits - in.Count - 8 * bytes);
        in.Pos += bytes;
        in.Count += 8 * bytes;
        return;
    }
    RefillSlowly(in);
}

DECODE_INLINE void Consume(FastInput& in, uint32_t n) {
    in.Bits <<= n;
    in.Count -= n;
    if (DECODE_UNLIKELY(in.Count < 16)) Refill(in);
}

// Reads a literal/length symbol through RunState.FastCodeTable.
DECODE_STEP uint32_t FastLiteral(FastInput& in, const uint8_t* lengths) {
    uint32_t e = RunState.FastCodeTable[in.Bits >> (WordBits - 12)];
    uint32_t c = e & FastSymbolMask;
    uint32_t len = e >> FastLengthShift;
    if (DECODE_UNLIKELY(c >= LiteralSymbols)) {
        c = ResolveNode(c, (uint16_t)(in.Bits >> (WordBits - 16)), LiteralSymbols, 12);
        len = lengths[c];
        if (len > MaxCodeLength) RejectTable();
    }
    Consume(in, len);
    return c;
}

// RunState.SinkLeft: bytes of the member that the sink may still take. The loop tests
// the size only before a symbol, so a stream whose last match runs past OrigSize produces
// more; those bytes stay in the window (a later member may reach back into it) but never
// reach the sink: the file gets exactly the recorded size, and its CRC is taken over
// exactly those bytes, as every other reader of the archive sees them.

// Hands the window's first `count` bytes to the sink, cut at the member's end, with the
// bytes done; nothing when none of them belonged to the member.
DECODE_NOINLINE void HandToSink(uint32_t count, uint32_t done) {
    if (count > RunState.SinkLeft) count = RunState.SinkLeft;
    if (count == 0) return;
    RunState.SinkLeft -= count;
    RunState.WindowSink(count, done);
}

// A full window goes to the sink. A literal that fills the window is reported as done
// before DoneCount counts it.
DECODE_NOINLINE void HandOverWindow(uint32_t done, uint32_t reported) {
    SfxWorkspace* ws = Ws;
    ws->WindowFill = WindowBytes;
    ws->DoneCount = done;
    HandToSink(WindowBytes, reported);
    ws->WindowFill = 0;
}

// Copies a match byte by byte in ascending order across the window's end and any
// hand-over, as the format defines it; used when the fast copy does not apply.
DECODE_NOINLINE uint32_t CopyMatchSlowly(uint32_t fill, uint32_t source, uint32_t length, uint32_t done) {
    uint8_t* window = Ws->Window;
    for (; length != 0; length--) {
        window[fill++] = window[source];
        source = (source + 1) & WindowMask;
        if (fill == WindowBytes) {
            HandOverWindow(done, done);
            fill = 0;
        }
    }
    return fill;
}

// The unit of a match copy: a register's width, so that each load and store is one
// instruction. (A wider __builtin_memcpy is a call of the stub's own byte-by-byte
// memcpy in the i686 build, which is built for size.)
typedef uintptr_t CopyWord;
const uint32_t WordBytes = sizeof(CopyWord), CopyStep = 2 * WordBytes;

DECODE_INLINE CopyWord LoadWord(const uint8_t* p) {
    CopyWord w;
    __builtin_memcpy(&w, p, sizeof w);
    return w;
}

DECODE_INLINE void StoreWord(uint8_t* p, CopyWord w) { __builtin_memcpy(p, &w, sizeof w); }

// Copies a match that ends at least 16 bytes before the window's end (no hand-over
// inside it); the source may wrap around the window's start.
DECODE_INLINE void CopyMatch(uint8_t* window, uint32_t fill, uint32_t source, uint32_t length) {
    uint8_t* d = window + fill;
    if (DECODE_UNLIKELY(source + length + CopyStep > WindowBytes)) {
        for (; length != 0; length--) {
            *d++ = window[source];
            source = (source + 1) & WindowMask;
        }
        return;
    }
    const uint8_t* s = window + source;
    const uint32_t distance = fill - source;   // wraps to a large value when reading ahead
    uint8_t* const end = d + length;
    if (distance >= WordBytes || distance == 1) {
        // Reading at least a word behind (or anywhere ahead of) the writes, whole words
        // see the bytes the byte-by-byte copy would; one byte behind, the copy repeats
        // it. The last step may run up to CopyStep - 1 bytes past the match; those bytes
        // (old window contents that a far match may still read) are put back afterwards.
        const CopyWord after0 = LoadWord(end), after1 = LoadWord(end + WordBytes);
        if (distance == 1) {
            const CopyWord repeated = (CopyWord)*s * ((CopyWord)-1 / 255);
            do {
                StoreWord(d, repeated);
                StoreWord(d + WordBytes, repeated);
                d += CopyStep;
            } while (d < end);
        } else if (distance >= CopyStep) {
            do {
                const CopyWord a = LoadWord(s), b = LoadWord(s + WordBytes);
                StoreWord(d, a);
                StoreWord(d + WordBytes, b);
                d += CopyStep;
                s += CopyStep;
            } while (d < end);
        } else {
            do {
                StoreWord(d, LoadWord(s));
                d += WordBytes;
                s += WordBytes;
            } while (d < end);
        }
        StoreWord(end, after0);
        StoreWord(end + WordBytes, after1);
        return;
    }
    for (; length != 0; length--) *d++ = *s++;
}

// Reads a match's position: its symbol and extra bits in one step when the register
// holds them both (topping it up from InputBuffer first; Count is 16 or more here, so
// that never reads the file), in two steps near the end of a piece.
DECODE_STEP uint32_t FastPosition(FastInput& in, uint16_t posCount, const uint8_t* lengths) {
    uint32_t e = RunState.FastPosTable[in.Bits >> (WordBits - 8)];
    uint32_t j, len;
    if (DECODE_LIKELY(!(e & FastWalk))) {
        j = e & FastSymbolMask;
        len = e >> FastLengthShift;
    } else {
        j = ResolveNode(e & FastSymbolMask, (uint16_t)(in.Bits >> (WordBits - 16)), posCount, 8);
        len = lengths[j];
        if (len > MaxCodeLength) RejectTable();
    }
    // One Consume at the end: each inlined copy of it carries a refill.
    uint32_t position = j;
    uint32_t take = len;
    if (j >= 2) {
        uint32_t extra = j - 1;
        if (in.Count < 32) Refill(in);
        if (DECODE_LIKELY(in.Count >= len + extra)) {
            position = (1u << extra) + (uint32_t)((in.Bits << len) >> (WordBits - extra));
            take = len + extra;
        } else {
            Consume(in, len);
            position = (1u << extra) + (uint32_t)(in.Bits >> (WordBits - extra));
            take = extra;
        }
    }
    Consume(in, take);
    return position;
}

// Tops the register up from InputBuffer at pos without a test: a whole word is loaded and
// the bytes that fit are counted. The bits below Count are zero or the stream's own next
// bits, so loading them again changes nothing. Needs a word of input at pos.
#define DECODE_REFILL(bits, count, pos, buffer)                         \
    do {                                                                \
        (bits) |= LoadBigEndianWord((buffer) + (pos)) >> (count);       \
        (pos) += (WordBits - 1 - (count)) >> 3;                         \
        (count) |= WordBits - 8;                                        \
    } while (0)

// Bytes a step of DecodeRun may read past the place it starts at: the bits of three codes
// (48), what the register holds ahead and the word a refill loads, with room to spare.
const uint32_t RunMargin = 32;

// The symbol loop proper, with the bit input in locals: literals and matches until the
// window fills to stop or the block ends, while the piece of packed data in InputBuffer
// holds more than a step can take, so that every refill is a word load and none reads
// the file. Returns the new fill; the bit input goes back to `in` with at least 16 bits
// (each step ends with a refill).
DECODE_INLINE uint32_t DecodeRun(FastInput& in, uint8_t* window, uint32_t fill, uint32_t stop, uint32_t& blockLeft,
                                 const uint8_t* codeLengths, uint16_t posCount, const uint8_t* posLengths) {
    if (in.End < RunMargin || in.Pos > in.End - RunMargin) return fill;
    const uint8_t* const buffer = Ws->InputBuffer;
    const uint16_t* const codes = RunState.FastCodeTable;
    const uint16_t* const positions = RunState.FastPosTable;
    const uint32_t last = in.End - RunMargin;
    BitWord bits = in.Bits;
    uint32_t count = in.Count, pos = in.Pos, left = blockLeft;
    // The slower steps may leave the register full (Count = WordBits), where it needs nothing.
    if (count <= WordBits - 8) DECODE_REFILL(bits, count, pos, buffer);
    while (pos <= last && fill < stop && left != 0) {
        uint32_t e = codes[bits >> (WordBits - 12)];
        uint32_t c = e & FastSymbolMask, len = e >> FastLengthShift;
        if (DECODE_UNLIKELY(c >= LiteralSymbols)) {
            c = ResolveNode(c, (uint16_t)(bits >> (WordBits - 16)), LiteralSymbols, 12);
            len = codeLengths[c];
            if (len > MaxCodeLength) RejectTable();
        }
        bits <<= len;
        count -= len;
        left--;
        if (c < 256) {
            window[fill++] = (uint8_t)c;
            DECODE_REFILL(bits, count, pos, buffer);
            continue;
        }
        // A 32-bit register may hold 8 bits here; 64 bits hold the whole match.
        if (WordBits == 32) DECODE_REFILL(bits, count, pos, buffer);
        e = positions[bits >> (WordBits - 8)];
        uint32_t position = e & FastSymbolMask;
        len = e >> FastLengthShift;
        if (DECODE_UNLIKELY(e & FastWalk)) {
            position = ResolveNode(position, (uint16_t)(bits >> (WordBits - 16)), posCount, 8);
            len = posLengths[position];
            if (len > MaxCodeLength) RejectTable();
        }
        bits <<= len;
        count -= len;
        if (position >= 2) {
            const uint32_t extra = position - 1;
            if (WordBits == 32 && count < extra) DECODE_REFILL(bits, count, pos, buffer);
            position = (1u << extra) + (uint32_t)(bits >> (WordBits - extra));
            bits <<= extra;
            count -= extra;
        }
        CopyMatch(window, fill, (fill - position - 1) & WindowMask, c - 253);
        fill += c - 253;
        DECODE_REFILL(bits, count, pos, buffer);
    }
    in.Bits = bits;
    in.Count = count;
    in.Pos = pos;
    blockLeft = left;
    return fill;
}

}  // namespace

void DecodeMember() {
    SfxWorkspace* ws = Ws;
    ws->OrigSize = GetU32(ws->Header + HdrUnpackedSize);
    ws->PackedLeft = (int32_t)GetU32(ws->Header + HdrPackedSize);
    ws->Crc = 0;
    ws->WindowSize = WindowBytes;
    BeginMemberDecode(ws->Header[HdrMethodChar]);
    ws->DoneCount = 0;
    ws->WindowFill = 0;

    const uint32_t origSize = ws->OrigSize;
    RunState.SinkLeft = origSize;
    uint8_t* const window = ws->Window;
    uint32_t done = 0;
    uint32_t fill = 0;
    uint32_t blockLeft = 0;
    const uint16_t posCount = ws->PosCodeCount;
    const uint8_t* const codeLengths = ws->CodeLengths;
    const uint8_t* const posLengths = ws->PosLengths;
    FastInput in;
    LoadInput(in);

    // Room kept at the window's end: the longest match and the copy's last step.
    const uint32_t openEnd = WindowBytes - 256 - 16;
    while (done < origSize) {
        if (DECODE_UNLIKELY(blockLeft == 0)) {
            StoreInput(in);
            ReadBlockHeader();
            LoadInput(in);
            blockLeft = ws->BlockLeft ? ws->BlockLeft : 0x10000u;
            CompileLiteralTable();
            CompileFastTable(RunState.FastPosTable, ws->PosTable, 256, posCount, posLengths);
        }

        // Far from the window's end and from the member's end, a run of symbols needs
        // neither a hand-over nor the size test: DoneCount grows with WindowFill, so
        // "DoneCount below OrigSize" is "WindowFill below stop" there.
        if (fill < openEnd) {
            uint32_t remaining = origSize - done;
            uint32_t stop = remaining < openEnd - fill ? fill + remaining : openEnd;
            const uint32_t start = fill;
            for (;;) {
                fill = DecodeRun(in, window, fill, stop, blockLeft, codeLengths, posCount, posLengths);
                if (fill >= stop || blockLeft == 0) break;
                // Near the end of the piece of packed data: a step that may read the next.
                blockLeft--;
                const uint32_t c = FastLiteral(in, codeLengths);
                if (c < 256) {
                    window[fill++] = (uint8_t)c;
                } else {
                    const uint32_t position = FastPosition(in, posCount, posLengths);
                    CopyMatch(window, fill, (fill - position - 1) & WindowMask, c - 253);
                    fill += c - 253;
                }
                if (fill >= stop || blockLeft == 0) break;
            }
            done += fill - start;
            continue;
        }

        // Near the window's end: one symbol at a time, handing over when it is full.
        blockLeft--;
        uint32_t c = FastLiteral(in, codeLengths);
        if (c < 256) {
            window[fill++] = (uint8_t)c;
            if (DECODE_UNLIKELY(fill == WindowBytes)) {
                HandOverWindow(done, done + 1);
                fill = 0;
            }
            done++;
            continue;
        }
        uint32_t length = c - 253;
        uint32_t position = FastPosition(in, posCount, posLengths);
        done += length;
        fill = CopyMatchSlowly(fill, (fill - position - 1) & WindowMask, length, done);
    }

    StoreInput(in);
    ws->BlockLeft = (uint16_t)blockLeft;
    ws->DoneCount = done;
    ws->WindowFill = (int32_t)fill;
    if (fill != 0) HandToSink(fill, done);
}
