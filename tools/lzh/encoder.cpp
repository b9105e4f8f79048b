// The LZH compressor: LZ77 matching over hash chains, a greedy, lazy or price-driven
// parse depending on the level, and static-Huffman blocks in the stub's block format.
#include "lzh/encoder.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace lzh {
namespace {

constexpr int LitLenSymbols = 510;   // 256 literals + lengths 3..256
constexpr int LengthCodeSymbols = 19;
constexpr int MaxCodeBits = 16;
constexpr int MinMatch = 3;
constexpr int MaxMatch = 256;
constexpr int MaxPosSymbols = 17;
// Blocks stay below 65536 symbols: a count of 0 would mean 65536, which not every
// decoder in the field honours.
constexpr size_t MaxBlockSymbols = 65535;

struct MethodParams {
    int posSymbols;     // symbols the position code may use
    int posCountBits;   // width of the position code's count field
    uint32_t window;    // largest match distance
};

MethodParams ParamsOf(char method) {
    switch (method) {
        case '4': return {14, 4, 4096};   // the format of "-lh5-" with a 4 KiB window
        case '5': return {14, 4, 8192};
        // 32 KiB window: positions stay below 32768, so at most 16 position symbols are
        // sent, which every decoder of the method accepts.
        case '6': return {16, 5, 32768};
        default: return {17, 5, 65536};
    }
}

// Position (distance - 1) to its position symbol; the symbol's extra bits are sym - 1.
inline int PosSymbol(uint32_t pos) {
    return pos < 2 ? int(pos) : 32 - __builtin_clz(pos);
}
inline int PosExtraBits(int sym) { return sym < 2 ? 0 : sym - 1; }

// ---------------------------------------------------------------------------------
// Bit output, most significant bit first.

struct BitWriter {
    Bytes& out;
    uint64_t acc = 0;
    int count = 0;
    explicit BitWriter(Bytes& o) : out(o) {}
    void Put(uint32_t value, int bits) {
        if (bits == 0) return;
        acc = (acc << bits) | (value & ((1u << bits) - 1));
        count += bits;
        while (count >= 8) {
            count -= 8;
            out.push_back(uint8_t(acc >> count));
        }
    }
    // Ends the stream, zero bits filling the last byte. No further padding: some decoders
    // insist that the packed data ends with the byte that holds the last code bit.
    void Finish() {
        if (count > 0) out.push_back(uint8_t(acc << (8 - count)));
        count = 0;
        acc = 0;
    }
};

struct BitCounter {
    uint64_t bits = 0;
    void Put(uint32_t, int n) { bits += uint64_t(n); }
};

// ---------------------------------------------------------------------------------
// Huffman code lengths limited to 16 bits, and canonical codes.

// Fills len[0..n) from freq; unused symbols get 0. With fewer than two used symbols the
// lengths are all 0 and the caller sends the single-symbol form. Returns the number of
// used symbols.
int BuildLengths(const uint32_t* freq, int n, uint8_t* len) {
    struct Leaf { uint32_t freq; int sym; };
    Leaf leaves[LitLenSymbols];
    int used = 0;
    for (int i = 0; i < n; ++i) {
        len[i] = 0;
        if (freq[i]) leaves[used++] = {freq[i], i};
    }
    if (used < 2) return used;
    std::sort(leaves, leaves + used, [](const Leaf& a, const Leaf& b) {
        return a.freq != b.freq ? a.freq < b.freq : a.sym > b.sym;
    });
    // Two-queue Huffman construction over the sorted leaves; parent[] links nodes
    // (leaves 0..used-1, inner nodes used..2*used-2).
    uint64_t weight[2 * LitLenSymbols];
    int parent[2 * LitLenSymbols];
    for (int i = 0; i < used; ++i) weight[i] = leaves[i].freq;
    int nextLeaf = 0, nextInner = used, inner = used;
    auto takeMin = [&]() {
        if (nextLeaf < used && (nextInner >= inner || weight[nextLeaf] <= weight[nextInner]))
            return nextLeaf++;
        return nextInner++;
    };
    for (int k = 0; k < used - 1; ++k) {
        int a = takeMin(), b = takeMin();
        weight[inner] = weight[a] + weight[b];
        parent[a] = parent[b] = inner;
        ++inner;
    }
    int depth[2 * LitLenSymbols];
    int root = inner - 1;
    depth[root] = 0;
    for (int i = root - 1; i >= 0; --i) depth[i] = depth[parent[i]] + 1;

    // Histogram of lengths, clamped to 16 bits, then repaired to an exactly complete
    // code: lengthen the longest codes below the limit while the code is over-full,
    // shorten the longest codes while it is under-full.
    int count[MaxCodeBits + 2] = {};
    for (int i = 0; i < used; ++i) count[std::min(depth[i], MaxCodeBits)]++;
    const uint32_t full = 1u << MaxCodeBits;
    uint64_t kraft = 0;
    for (int b = 1; b <= MaxCodeBits; ++b) kraft += uint64_t(count[b]) << (MaxCodeBits - b);
    while (kraft > full) {
        int b = MaxCodeBits - 1;
        while (count[b] == 0) --b;
        count[b]--;
        count[b + 1]++;
        kraft -= 1u << (MaxCodeBits - b - 1);
    }
    while (kraft < full) {
        int b = MaxCodeBits;
        while (count[b] == 0) --b;
        count[b]--;
        count[b - 1]++;
        kraft += 1u << (MaxCodeBits - b);
    }
    // The most frequent symbols take the shortest lengths.
    int k = used - 1;
    for (int b = 1; b <= MaxCodeBits; ++b)
        for (int c = 0; c < count[b]; ++c) len[leaves[k--].sym] = uint8_t(b);
    return used;
}

// Canonical codes as the decoder assigns them: shorter codes first, ascending symbol
// order within one length.
void CanonicalCodes(const uint8_t* len, int n, uint16_t* code) {
    int count[MaxCodeBits + 1] = {};
    for (int i = 0; i < n; ++i) count[len[i]]++;
    count[0] = 0;
    uint32_t next[MaxCodeBits + 2] = {};
    uint32_t c = 0;
    for (int b = 1; b <= MaxCodeBits; ++b) {
        c = (c + count[b - 1]) << 1;
        next[b] = c;
    }
    for (int i = 0; i < n; ++i)
        if (len[i]) code[i] = uint16_t(next[len[i]]++);
}

// ---------------------------------------------------------------------------------
// Blocks.

// One literal/length symbol, with the match's position (distance - 1) when sym >= 256.
struct Token {
    uint16_t sym;
    uint16_t pos;
};

struct LengthItem {   // one code-length symbol with its extra bits
    uint8_t sym;
    uint8_t extraBits;
    uint16_t extra;
};

struct BlockPlan {
    int litUsed = 0, posUsed = 0, ptUsed = 0;
    int litSingle = 0, posSingle = 0, ptSingle = 0;
    uint8_t litLen[LitLenSymbols];
    uint16_t litCode[LitLenSymbols];
    uint8_t posLen[MaxPosSymbols];
    uint16_t posCode[MaxPosSymbols];
    uint8_t ptLen[LengthCodeSymbols];
    uint16_t ptCode[LengthCodeSymbols];
    int litCount = 0;   // entries of the literal/length code that are sent
    std::vector<LengthItem> items;
    uint64_t bits = 0;  // the whole block: header and symbols
};

int SingleOf(const uint32_t* freq, int n) {
    for (int i = 0; i < n; ++i)
        if (freq[i]) return i;
    return 0;
}

// Lengths of the position code or the code-length code: 3 bits, or 7 followed by a
// unary continuation for 7 and more.
template <class Sink>
void PutSmallLength(Sink& s, int len) {
    if (len < 7)
        s.Put(uint32_t(len), 3);
    else
        s.Put((1u << (len - 3)) - 2, len - 3);
}

template <class Sink>
void PutHeader(Sink& s, const BlockPlan& p, size_t tokens, const MethodParams& mp) {
    s.Put(uint32_t(tokens), 16);
    if (p.litUsed < 2) {
        // A one-symbol literal/length code needs no code-length code at all.
        s.Put(0, 5);
        s.Put(0, 5);
        s.Put(0, 9);
        s.Put(uint32_t(p.litSingle), 9);
    } else {
        if (p.ptUsed < 2) {
            s.Put(0, 5);
            s.Put(uint32_t(p.ptSingle), 5);
        } else {
            int n = LengthCodeSymbols;
            while (n > 0 && p.ptLen[n - 1] == 0) --n;
            s.Put(uint32_t(n), 5);
            int i = 0;
            while (i < n) {
                PutSmallLength(s, p.ptLen[i++]);
                if (i == 3) {   // the run of zero lengths after the third entry
                    int z = 0;
                    while (i < n && i < 6 && p.ptLen[i] == 0) ++i, ++z;
                    s.Put(uint32_t(z), 2);
                }
            }
        }
        s.Put(uint32_t(p.litCount), 9);
        for (const LengthItem& it : p.items) {
            if (p.ptUsed >= 2) s.Put(p.ptCode[it.sym], p.ptLen[it.sym]);
            s.Put(it.extra, it.extraBits);
        }
    }
    if (p.posUsed < 2) {
        s.Put(0, mp.posCountBits);
        s.Put(uint32_t(p.posSingle), mp.posCountBits);
    } else {
        int n = mp.posSymbols;
        while (n > 0 && p.posLen[n - 1] == 0) --n;
        s.Put(uint32_t(n), mp.posCountBits);
        for (int i = 0; i < n; ++i) PutSmallLength(s, p.posLen[i]);
    }
}

// twoLiteralCodes: a literal/length code of one symbol is sent as a code of two 1-bit
// codes (the second unused), so that even that symbol costs a bit.
void PlanBlock(const Token* t, size_t n, const MethodParams& mp, BlockPlan& p, bool twoLiteralCodes = false) {
    uint32_t litFreq[LitLenSymbols] = {};
    uint32_t posFreq[MaxPosSymbols] = {};
    for (size_t i = 0; i < n; ++i) {
        litFreq[t[i].sym]++;
        if (t[i].sym >= 256) posFreq[PosSymbol(t[i].pos)]++;
    }
    p.litUsed = BuildLengths(litFreq, LitLenSymbols, p.litLen);
    p.litSingle = SingleOf(litFreq, LitLenSymbols);
    if (twoLiteralCodes && p.litUsed < 2) {
        p.litLen[p.litSingle] = 1;
        p.litLen[p.litSingle == 0 ? 1 : 0] = 1;
        p.litUsed = 2;
    }
    p.posUsed = BuildLengths(posFreq, mp.posSymbols, p.posLen);
    p.posSingle = SingleOf(posFreq, mp.posSymbols);
    for (int i = mp.posSymbols; i < MaxPosSymbols; ++i) p.posLen[i] = 0;
    CanonicalCodes(p.litLen, LitLenSymbols, p.litCode);
    CanonicalCodes(p.posLen, mp.posSymbols, p.posCode);

    // The literal/length lengths as code-length symbols, zero runs folded.
    p.items.clear();
    p.ptUsed = 0;
    if (p.litUsed >= 2) {
        int count = LitLenSymbols;
        while (count > 0 && p.litLen[count - 1] == 0) --count;
        p.litCount = count;
        for (int i = 0; i < count;) {
            if (p.litLen[i]) {
                p.items.push_back({uint8_t(p.litLen[i] + 2), 0, 0});
                ++i;
                continue;
            }
            int run = 0;
            while (i + run < count && p.litLen[i + run] == 0) ++run;
            i += run;
            if (run <= 2) {
                for (int k = 0; k < run; ++k) p.items.push_back({0, 0, 0});
            } else if (run <= 18) {
                p.items.push_back({1, 4, uint16_t(run - 3)});
            } else if (run == 19) {
                p.items.push_back({0, 0, 0});
                p.items.push_back({1, 4, 15});
            } else {
                p.items.push_back({2, 9, uint16_t(run - 20)});
            }
        }
        uint32_t ptFreq[LengthCodeSymbols] = {};
        for (const LengthItem& it : p.items) ptFreq[it.sym]++;
        p.ptUsed = BuildLengths(ptFreq, LengthCodeSymbols, p.ptLen);
        p.ptSingle = SingleOf(ptFreq, LengthCodeSymbols);
        CanonicalCodes(p.ptLen, LengthCodeSymbols, p.ptCode);
    }

    BitCounter c;
    PutHeader(c, p, n, mp);
    uint64_t bits = c.bits;
    for (int s = 0; s < LitLenSymbols; ++s) bits += uint64_t(litFreq[s]) * p.litLen[s];
    for (int s = 0; s < mp.posSymbols; ++s) bits += uint64_t(posFreq[s]) * (p.posLen[s] + PosExtraBits(s));
    p.bits = bits;
}

void EmitBlock(BitWriter& w, const Token* t, size_t n, const MethodParams& mp, const BlockPlan& p) {
    PutHeader(w, p, n, mp);
    for (size_t i = 0; i < n; ++i) {
        int s = t[i].sym;
        w.Put(p.litCode[s], p.litLen[s]);
        if (s >= 256) {
            int ps = PosSymbol(t[i].pos);
            w.Put(p.posCode[ps], p.posLen[ps]);
            if (ps >= 2) w.Put(t[i].pos, ps - 1);   // the bits below the leading 1
        }
    }
}

// Whether the stream would end in a way some decoders mishandle: its last code bit on a
// byte boundary, and the last item read (the literal's code, or the match's position
// code with its extra bits) taking no bits at all. Such decoders meet the end of their
// input while reading nothing and drop the final symbol.
bool EndsBadly(const BitWriter& w, const Token* t, size_t n, const BlockPlan& p) {
    const Token& last = t[n - 1];
    int tail;
    if (last.sym < 256) {
        tail = p.litLen[last.sym];
    } else {
        int ps = PosSymbol(last.pos);
        tail = p.posLen[ps] + PosExtraBits(ps);
    }
    return tail == 0 && (uint64_t(w.count) + p.bits) % 8 == 0;
}

// The last block of the stream. When it would end badly, its final match is rewritten as
// a shorter match and a literal (or, for a match of 3, as three literals); a final
// literal whose code is the block's only one (and so takes no bits) gets a two-symbol
// code instead. dataEnd points just past the input, whose last bytes the match covers.
void EmitLastBlock(BitWriter& w, const Token* t, size_t n, const MethodParams& mp, BlockPlan& p,
                   const uint8_t* dataEnd) {
    if (!EndsBadly(w, t, n, p)) {
        EmitBlock(w, t, n, mp, p);
        return;
    }
    std::vector<Token> alt(t, t + n - 1);
    const Token last = t[n - 1];
    if (last.sym < 256) {
        alt.push_back(last);
    } else if (last.sym > 256) {
        alt.push_back({uint16_t(last.sym - 1), last.pos});
        alt.push_back({dataEnd[-1], 0});
    } else {
        for (int k = MinMatch; k > 0; --k) alt.push_back({dataEnd[-k], 0});
    }
    PlanBlock(alt.data(), alt.size(), mp, p);
    if (EndsBadly(w, alt.data(), alt.size(), p)) PlanBlock(alt.data(), alt.size(), mp, p, true);
    EmitBlock(w, alt.data(), alt.size(), mp, p);
}

// Writes the tokens as one block, or as two halves (each split again) when that is
// smaller. The halving stops at minSplit tokens. dataEnd is set when these tokens end
// the stream. At most MaxBlockSymbols - 2 tokens, leaving room for EmitLastBlock.
void EmitTokens(BitWriter& w, const Token* t, size_t n, const MethodParams& mp, size_t minSplit,
                const uint8_t* dataEnd, BlockPlan* whole = nullptr) {
    BlockPlan own;
    BlockPlan& p = whole ? *whole : own;
    if (!whole) PlanBlock(t, n, mp, p);
    if (minSplit && n >= 2 * minSplit) {
        size_t half = n / 2;
        BlockPlan a, b;
        PlanBlock(t, half, mp, a);
        PlanBlock(t + half, n - half, mp, b);
        if (a.bits + b.bits < p.bits) {
            EmitTokens(w, t, half, mp, minSplit, nullptr, &a);
            EmitTokens(w, t + half, n - half, mp, minSplit, dataEnd, &b);
            return;
        }
    }
    if (dataEnd)
        EmitLastBlock(w, t, n, mp, p, dataEnd);
    else
        EmitBlock(w, t, n, mp, p);
}

// ---------------------------------------------------------------------------------
// Matching.

struct LevelParams {
    int chain;          // hash-chain entries examined per search
    int nice;           // a match this long ends the search
    int lazy;           // 0: greedy; else look one byte ahead for matches shorter than this
    int good;           // after a match this long, a quarter of the chain is searched
    int insertLimit;    // inside longer matches no positions are hashed
    int iterations;     // 0: no priced parse; else passes of the priced parse
    size_t minSplit;    // 0: one block per chunk; else smallest block tried by splitting
};

const LevelParams Levels[10] = {
    {0, 0, 0, 0, 0, 0, 0},
    {4, 16, 0, 8, 8, 0, 0},              // 1
    {8, 32, 0, 16, 16, 0, 0},            // 2
    {16, 48, 8, 16, 32, 0, 0},           // 3
    {24, 64, 16, 16, 64, 0, 4096},       // 4
    {48, 128, 32, 32, 256, 0, 4096},     // 5
    {96, 256, 64, 32, 256, 0, 2048},     // 6
    {64, 128, 0, 64, 256, 1, 2048},      // 7
    {256, 256, 0, 128, 256, 2, 2048},    // 8
    {1024, 256, 0, 256, 256, 4, 1024},   // 9
};

struct Match {
    uint16_t len;
    uint16_t dist;   // distance - 1 (the position)
};

constexpr int HashBits = 15;
constexpr uint32_t RingMask = 0xFFFF;   // the chain ring covers the largest window
constexpr uint32_t NoPosition = 0xFFFFFFFF;

inline uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

inline int MatchLength(const uint8_t* a, const uint8_t* b, int max) {
    int n = 0;
    while (n + 8 <= max) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < max && a[n] == b[n]) ++n;
    return n;
}

// Hash chains over 3-byte prefixes. Positions are 32-bit (members are limited to 4 GiB
// by their headers); the chain links live in a ring as large as the largest window.
struct Matcher {
    const uint8_t* data;
    size_t size;
    uint32_t window;
    int chain, nice, good;
    std::vector<uint32_t> head, prev;
    size_t inserted = 0;   // positions below this are in the chains

    Matcher(const uint8_t* d, size_t n, uint32_t w, const LevelParams& lp)
        : data(d), size(n), window(w), chain(lp.chain), nice(lp.nice), good(lp.good),
          head(size_t(1) << HashBits, NoPosition), prev(RingMask + 1, NoPosition) {}

    uint32_t Hash(size_t pos) const {
        uint32_t v = data[pos] | (data[pos + 1] << 8) | (data[pos + 2] << 16);
        return (v * 2654435761u) >> (32 - HashBits);
    }
    void Insert(size_t pos) {
        if (pos + MinMatch <= size) {
            uint32_t h = Hash(pos);
            prev[pos & RingMask] = head[h];
            head[h] = uint32_t(pos);
        }
    }
    void InsertUpTo(size_t end) {
        for (; inserted < end; ++inserted) Insert(inserted);
    }

    // Searches the chains at pos (which must be the next position to insert), then
    // inserts it. Every improvement in length is reported to out (nearest distance for
    // each length first), up to cap entries, the last entry always holding the longest;
    // returns the longest length (0 if below 3). A known match of prevLen bytes (lazy
    // evaluation) only needs beating, and a good one shortens the search.
    int Find(size_t pos, Match* out, int& outCount, int cap, int prevLen = 0) {
        outCount = 0;
        int best = std::max(prevLen, MinMatch - 1);
        size_t left = size - pos;
        int maxLen = left < size_t(MaxMatch) ? int(left) : MaxMatch;
        if (maxLen > best) {
            const uint8_t* cur = data + pos;
            uint32_t cand = head[Hash(pos)];
            int depth = prevLen >= good ? chain >> 2 : chain;
            uint16_t tail = Load16(cur + best - 1);
            while (cand < pos && depth-- > 0) {
                size_t dist = pos - cand;
                if (dist > window) break;
                const uint8_t* ref = data + cand;
                if (Load16(ref + best - 1) == tail && ref[0] == cur[0]) {
                    int len = MatchLength(ref, cur, maxLen);
                    if (len > best) {
                        best = len;
                        if (outCount < cap) ++outCount;
                        out[outCount - 1] = {uint16_t(len), uint16_t(dist - 1)};
                        if (len >= nice || len == maxLen) break;
                        if (len >= good) depth >>= 2;
                        tail = Load16(cur + best - 1);
                    }
                }
                cand = prev[cand & RingMask];
            }
        }
        Insert(pos);
        inserted = pos + 1;
        return outCount ? best : 0;
    }
};

// ---------------------------------------------------------------------------------
// Parses.

// Collects the tokens of the greedy and lazy parses into blocks.
struct Output {
    static constexpr size_t Limit = MaxBlockSymbols - 2;   // room for EmitLastBlock
    BitWriter writer;
    std::vector<Token> tokens;
    const MethodParams& mp;
    size_t minSplit;
    Output(Bytes& out, const MethodParams& m, size_t split) : writer(out), mp(m), minSplit(split) {
        tokens.reserve(Limit);
    }
    // dataEnd: set for the final flush, see EmitTokens.
    void Flush(const uint8_t* dataEnd = nullptr) {
        if (!tokens.empty()) EmitTokens(writer, tokens.data(), tokens.size(), mp, minSplit, dataEnd);
        tokens.clear();
    }
    // A full block is written only when the next token comes, so that the final flush
    // always holds the stream's last token.
    void Literal(uint8_t c) {
        if (tokens.size() == Limit) Flush();
        tokens.push_back({c, 0});
    }
    void Copy(int len, uint32_t pos) {
        if (tokens.size() == Limit) Flush();
        tokens.push_back({uint16_t(256 + len - MinMatch), uint16_t(pos)});
    }
};

constexpr size_t ProgressStep = 1 << 20;

void GreedyParse(const uint8_t* data, size_t size, const MethodParams& mp, const LevelParams& lp,
                 Output& out, const ProgressFn& progress) {
    Matcher m(data, size, mp.window, lp);
    Match found[1];
    int fc = 0;
    size_t i = 0, nextReport = ProgressStep;
    // Positions inside a match are hashed too, unless the match is long enough that
    // skipping them saves more time than it costs in missed matches.
    auto skipInside = [&](size_t to, int len) {
        if (len <= lp.insertLimit)
            m.InsertUpTo(to);
        else
            m.inserted = to;
    };
    int len = size ? m.Find(0, found, fc, 1) : 0;
    uint32_t pos = fc ? found[0].dist : 0;
    while (i < size) {
        if (progress && i >= nextReport) {
            progress(i);
            nextReport = i + ProgressStep;
        }
        if (len < MinMatch) {
            out.Literal(data[i]);
            ++i;
            if (i < size) {
                len = m.Find(i, found, fc, 1);
                pos = fc ? found[0].dist : 0;
            }
            continue;
        }
        if (lp.lazy && len < lp.lazy && i + 1 < size) {
            int len2 = m.Find(i + 1, found, fc, 1, len);
            uint32_t pos2 = fc ? found[0].dist : 0;
            if (len2 > len) {
                out.Literal(data[i]);
                ++i;
                len = len2;
                pos = pos2;
                continue;
            }
        }
        out.Copy(len, pos);
        skipInside(i + len, len);
        i += len;
        if (i < size) {
            len = m.Find(i, found, fc, 1);
            pos = fc ? found[0].dist : 0;
        }
    }
    out.Flush(data + size);
}

// Prices in bits of every literal/length symbol and position symbol (extra bits
// included), taken from a plan's code lengths. Symbols the plan does not use are priced
// a little above its longest code so that the parse may still pick them up.
struct Prices {
    uint32_t lit[LitLenSymbols];
    uint32_t pos[MaxPosSymbols];
};

void PricesFrom(const BlockPlan& p, const MethodParams& mp, Prices& pr) {
    auto fill = [](const uint8_t* len, int used, int n, uint32_t* out, uint32_t fallback) {
        int maxLen = 0;
        for (int i = 0; i < n; ++i) maxLen = std::max(maxLen, int(len[i]));
        for (int i = 0; i < n; ++i)
            out[i] = len[i] ? len[i] : (used < 2 && maxLen == 0 ? fallback : uint32_t(maxLen + 1));
    };
    fill(p.litLen, p.litUsed, LitLenSymbols, pr.lit, 9);
    if (p.litUsed < 2) pr.lit[p.litSingle] = 1;
    fill(p.posLen, p.posUsed, mp.posSymbols, pr.pos, 5);
    if (p.posUsed < 2) pr.pos[p.posSingle] = 1;
    for (int s = 0; s < mp.posSymbols; ++s) pr.pos[s] += uint32_t(PosExtraBits(s));
}

// The matches of every position of a chunk: those of position i are all[first[i]] up
// to all[first[i + 1]], longest last; none reaches past the chunk's end.
struct ChunkMatches {
    std::vector<Match> all;
    std::vector<uint32_t> first;
};

void FindChunkMatches(Matcher& m, size_t base, size_t n, const LevelParams& lp, ChunkMatches& cm) {
    constexpr int Cap = 24;
    Match found[Cap];
    cm.all.clear();
    size_t skipUntil = 0;
    Match longRun{0, 0};
    size_t longFrom = 0;
    for (size_t i = 0; i < n; ++i) {
        cm.first[i] = uint32_t(cm.all.size());
        if (i < skipUntil) {
            // Inside a match of at least the nice length the rest of that match is
            // the only candidate; these positions are only hashed.
            m.InsertUpTo(base + i + 1);
            int rest = int(longRun.len - (i - longFrom));
            if (rest >= MinMatch) cm.all.push_back({uint16_t(rest), longRun.dist});
            continue;
        }
        int fc;
        int best = m.Find(base + i, found, fc, Cap);
        int limit = int(std::min<size_t>(n - i, MaxMatch));
        for (int k = 0; k < fc; ++k) {
            Match f = found[k];
            if (f.len > limit) f.len = uint16_t(limit);
            if (f.len >= MinMatch && (cm.all.size() == cm.first[i] || cm.all.back().len < f.len)) cm.all.push_back(f);
        }
        if (best >= lp.nice && cm.all.size() > cm.first[i]) {
            longRun = cm.all.back();
            longFrom = i;
            skipUntil = i + longRun.len;
        }
    }
    cm.first[n] = uint32_t(cm.all.size());
}

// A longest-match parse of the chunk: the first chunk's prices are taken from it.
void LongestMatchTokens(const uint8_t* d, size_t n, const ChunkMatches& cm, std::vector<Token>& tokens) {
    tokens.clear();
    for (size_t i = 0; i < n;) {
        if (cm.first[i + 1] > cm.first[i]) {
            Match f = cm.all[cm.first[i + 1] - 1];
            tokens.push_back({uint16_t(256 + f.len - MinMatch), f.dist});
            i += f.len;
        } else {
            tokens.push_back({d[i], 0});
            ++i;
        }
    }
}

// The cheapest parse of the chunk at these prices: the shortest path from position 0 to
// n, each literal and each length of each match an edge. cost and from hold n + 1 entries.
void CheapestTokens(const uint8_t* d, size_t n, const ChunkMatches& cm, const Prices& prices,
                    std::vector<uint32_t>& cost, std::vector<Token>& from, std::vector<Token>& tokens) {
    cost[0] = 0;
    for (size_t i = 1; i <= n; ++i) cost[i] = UINT32_MAX;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = cost[i];
        uint32_t lc = c + prices.lit[d[i]];
        if (lc < cost[i + 1]) {
            cost[i + 1] = lc;
            from[i + 1] = {d[i], 0};
        }
        int prevLen = MinMatch - 1;
        for (uint32_t k = cm.first[i]; k < cm.first[i + 1]; ++k) {
            Match f = cm.all[k];
            uint32_t pc = c + prices.pos[PosSymbol(f.dist)];
            for (int L = prevLen + 1; L <= f.len; ++L) {
                uint32_t mc = pc + prices.lit[256 + L - MinMatch];
                if (mc < cost[i + L]) {
                    cost[i + L] = mc;
                    from[i + L] = {uint16_t(256 + L - MinMatch), f.dist};
                }
            }
            prevLen = f.len;
        }
    }
    tokens.clear();
    for (size_t i = n; i > 0;) {
        Token t = from[i];
        tokens.push_back(t);
        i -= t.sym < 256 ? 1 : size_t(t.sym - 256 + MinMatch);
    }
    std::reverse(tokens.begin(), tokens.end());
}

// The priced parse: for each chunk of input the matcher lists, at every position, the
// nearest match of each length; a shortest-path pass over the chunk then picks the
// cheapest sequence of literals and matches under the current prices. The prices come
// from the code lengths of the chunk's own block and the pass is repeated with them.
void PricedParse(const uint8_t* data, size_t size, const MethodParams& mp, const LevelParams& lp,
                 Output& out, const ProgressFn& progress) {
    Matcher m(data, size, mp.window, lp);
    constexpr size_t Chunk = 65535;   // never more symbols than one block holds
    ChunkMatches cm;
    cm.first.resize(Chunk + 2);
    std::vector<uint32_t> cost(Chunk + 1);
    std::vector<Token> from(Chunk + 1);
    std::vector<Token> tokens, bestTokens;
    Prices prices;
    bool havePrices = false;
    BlockPlan plan;

    for (size_t base = 0; base < size; base += Chunk) {
        size_t n = std::min(Chunk, size - base);
        const uint8_t* d = data + base;
        FindChunkMatches(m, base, n, lp, cm);
        if (!havePrices) {
            LongestMatchTokens(d, n, cm, tokens);
            PlanBlock(tokens.data(), tokens.size(), mp, plan);
            PricesFrom(plan, mp, prices);
            havePrices = true;
        }
        // Each round prices the symbols by the last round's codes; the cheapest block wins.
        uint64_t bestBits = UINT64_MAX;
        for (int it = 0; it < lp.iterations; ++it) {
            CheapestTokens(d, n, cm, prices, cost, from, tokens);
            PlanBlock(tokens.data(), tokens.size(), mp, plan);
            if (plan.bits < bestBits) {
                bestBits = plan.bits;
                bestTokens.swap(tokens);
            }
            PricesFrom(plan, mp, prices);
        }
        // A chunk's last token is a match only if the chunk has at least two bytes more
        // than tokens, which leaves room for EmitLastBlock.
        EmitTokens(out.writer, bestTokens.data(), bestTokens.size(), mp, lp.minSplit,
                   base + n == size ? data + size : nullptr);
        if (progress) progress(base + n);
    }
}

}  // namespace

int HuffmanLengths(const uint32_t* freq, int count, uint8_t* lengths) {
    return BuildLengths(freq, std::clamp(count, 0, LitLenSymbols), lengths);
}

static Bytes CompressWithProgress(const uint8_t* data, size_t size, char method, int level,
                                  const ProgressFn& progress) {
    Bytes out;
    if (size == 0) return out;
    level = std::clamp(level, 1, 9);
    const MethodParams mp = ParamsOf(method);
    const LevelParams& lp = Levels[level];
    out.reserve(size / 2 + 64);
    Output o(out, mp, lp.minSplit);
    if (lp.iterations)
        PricedParse(data, size, mp, lp, o, progress);
    else
        GreedyParse(data, size, mp, lp, o, progress);
    o.writer.Finish();
    if (progress) progress(size);
    return out;
}

Bytes Compress(const uint8_t* data, size_t size, char method, int level) {
    return CompressWithProgress(data, size, method, level, {});
}

Member PackedMember(const std::string& name, const Bytes& data, char method, int level,
                    uint32_t timeStamp, uint8_t attributes, const ProgressFn& progress) {
    Member m = StoredMember(name, data, timeStamp, attributes);
    if (method == '0') return m;
    char single[2] = {method, 0};
    const char* methods = method >= '4' && method <= '7' ? single : "567";
    for (const char* c = methods; *c; ++c) {
        Bytes packed = CompressWithProgress(data.data(), data.size(), *c, level, progress);
        if (packed.size() < m.packed.size()) {
            m.packed.swap(packed);
            m.method = *c;
        }
    }
    return m;
}

}  // namespace lzh
