// The LZH compressor: its Huffman lengths, the exact bits of the smallest stream, and
// round trips of every method and level through the independent decoders lhasa and
// 7-Zip. (Large inputs are the benchmarks' business.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "../common/fixtures.h"
#include "lzh/archive_writer.h"
#include "lzh/encoder.h"

namespace {

using lzh::Bytes;

// Inputs that reach the encoder's distinct paths: nothing, one byte, runs longer than a
// block and than the window, repeats at exactly the largest distance of each window,
// text-like data, skewed data whose plain Huffman code would exceed 16 bits, and noise.
struct Sample {
    std::string name;
    Bytes data;
};

Bytes RandomBytes(size_t n, uint32_t seed, int alphabet = 256) {
    Bytes b = fixtures::Data(fixtures::Kind::Noise, n, seed);
    for (auto& c : b) c = uint8_t(c % alphabet);
    return b;
}

Bytes Repeated(const Bytes& unit, size_t n) {
    Bytes b;
    while (b.size() < n) b.insert(b.end(), unit.begin(), unit.end());
    b.resize(n);
    return b;
}

Bytes TextLike(size_t n, uint32_t seed) { return fixtures::Data(fixtures::Kind::Text, n, seed); }

// Symbol k appears Fibonacci(k) times, shuffled: the optimal code would need more than
// 16 bits for the rare symbols.
Bytes Skewed(uint32_t seed) {
    Bytes b;
    uint32_t f0 = 1, f1 = 1;
    for (int k = 0; k < 22; ++k) {
        b.insert(b.end(), f0, uint8_t(k * 11));
        uint32_t f2 = f0 + f1;
        f0 = f1;
        f1 = f2;
    }
    std::shuffle(b.begin(), b.end(), std::mt19937(seed));
    return b;
}

std::vector<Sample> Samples(char method) {
    size_t window = method == '5' ? 8192 : method == '6' ? 32768 : 65536;
    return {
        {"empty", {}},
        {"one byte", {'A'}},
        {"zeros 70000", Bytes(70000, 0)},
        // Streams that end in a match whose position takes no bits, on a byte boundary
        // unless the encoder takes care.
        {"zeros 260", Bytes(260, 0)},
        {"zeros 992", Bytes(992, 0)},
        {"window repeat", Repeated(RandomBytes(window, 7), window * 3 + 300)},
        {"text with spaces.txt", TextLike(60000, 3)},
        {"skewed", Skewed(5)},
        {"noise", RandomBytes(20000, 9)},
        {"few values", RandomBytes(90000, 11, 6)},   // more symbols than one block holds
    };
}

// The de Bruijn sequence of order 3 over k symbols (every 3-gram once): data in which no
// match can be found, so each byte costs one literal symbol.
Bytes DeBruijn3(int k) {
    Bytes seq;
    std::vector<int> w(1, -1);
    while (!w.empty()) {
        w.back()++;
        size_t m = w.size();
        if (3 % m == 0)
            for (int c : w) seq.push_back(uint8_t(c));
        while (w.size() < 3) w.push_back(w[w.size() - m]);
        while (!w.empty() && w.back() == k - 1) w.pop_back();
    }
    return seq;
}

// Compressed members (never stored, whatever their size) of the samples.
std::vector<lzh::Member> Pack(const std::vector<Sample>& samples, char method, int level) {
    std::vector<lzh::Member> members;
    for (const Sample& s : samples) {
        lzh::Member m = lzh::StoredMember(s.name, s.data);
        m.packed = lzh::Compress(s.data.data(), s.data.size(), method, level);
        m.method = s.data.empty() ? '0' : method;
        members.push_back(m);
    }
    return members;
}

// Extracts the archive with lhasa and with 7-Zip and compares every sample.
void ExpectIndependentDecodersAgree(const std::vector<Sample>& samples, const std::vector<lzh::Member>& members,
                                    const std::string& what) {
    const fixtures::ScratchDir scratch;
    const std::string& dir = scratch.path;
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(lzh::WriteFile(dir + "/a.lzh", lzh::WriteArchive(members, false)));
    const std::string lhasa = "cd '" + dir + "' && mkdir l && cd l && lha xq ../a.lzh >/dev/null 2>&1";
    const std::string sevenZip = "cd '" + dir + "' && 7zz x -y -os a.lzh >/dev/null 2>&1";
    EXPECT_EQ(system(lhasa.c_str()), 0) << what;
    EXPECT_EQ(system(sevenZip.c_str()), 0) << what;
    for (const Sample& s : samples) {
        for (const char* sub : {"/l/", "/s/"}) {
            Bytes out;
            EXPECT_TRUE(lzh::ReadFile(dir + sub + s.name, out)) << what << sub << s.name;
            EXPECT_TRUE(out == s.data) << what << sub << s.name << ": " << out.size() << " bytes";
        }
    }
}

TEST(EncoderHuffman, LengthsAreCompleteLimitedAndOrderedByFrequency) {
    std::mt19937 rng(1);
    for (int round = 0; round < 200; ++round) {
        int n = 2 + int(rng() % 509);
        std::vector<uint32_t> freq(n);
        for (auto& f : freq) {
            switch (round % 3) {
                case 0: f = rng() % 1000; break;                       // flat
                case 1: f = 1u << (rng() % 24); break;                 // very skewed
                default: f = rng() % 4 ? 0 : 1 + rng() % 100000; break; // sparse
            }
        }
        std::vector<uint8_t> len(n, 99);
        int used = lzh::HuffmanLengths(freq.data(), n, len.data());
        int expectUsed = 0;
        for (uint32_t f : freq) expectUsed += f != 0;
        ASSERT_EQ(used, expectUsed);
        if (used < 2) {
            for (uint8_t l : len) EXPECT_EQ(l, 0);
            continue;
        }
        uint64_t kraft = 0;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(len[i] == 0, freq[i] == 0) << "symbol " << i;
            EXPECT_LE(len[i], 16);
            if (len[i]) kraft += uint64_t(1) << (16 - len[i]);
            for (int j = 0; j < n; ++j)
                if (freq[i] && freq[j] && freq[i] > freq[j]) ASSERT_LE(len[i], len[j]);
        }
        EXPECT_EQ(kraft, 65536u) << "round " << round;   // complete: the decoder rejects anything else
    }
}

TEST(EncoderHuffman, UnlimitedCodesAreOptimal) {
    // Without the 16-bit limit in play the cost must equal a plain Huffman code's.
    std::vector<uint32_t> freq = {45, 13, 12, 16, 9, 5};   // the textbook example: 224 bits
    uint8_t len[6];
    lzh::HuffmanLengths(freq.data(), 6, len);
    uint32_t bits = 0;
    for (int i = 0; i < 6; ++i) bits += freq[i] * len[i];
    EXPECT_EQ(bits, 224u);
}

TEST(EncoderStream, SmallestBlockHasTheDocumentedBits) {
    // Three equal bytes: one block of three literals, every code in its one-symbol form:
    // count 3, code-length code (count 0, symbol 0), literal/length code (count 0,
    // symbol 65), position code (4-bit count 0, symbol 0); zero bits fill the last byte.
    const uint8_t aaa[] = {'A', 'A', 'A'};
    Bytes expect = {0x00, 0x03, 0x00, 0x00, 0x04, 0x10, 0x00};
    for (int level = 1; level <= 9; ++level) EXPECT_EQ(lzh::Compress(aaa, 3, '5', level), expect) << level;
    EXPECT_TRUE(lzh::Compress(aaa, 0, '7', 6).empty());
}

TEST(EncoderRoundTrip, EveryMethodAndLevelThroughLhasaAndSevenZip) {
    for (char method : {'5', '6', '7'}) {
        std::vector<Sample> samples = Samples(method);
        for (int level : {1, 3, 6, 7, 9}) {
            std::vector<lzh::Member> members = Pack(samples, method, level);
            std::string what = std::string("lh") + method + " level " + std::to_string(level);
            ExpectIndependentDecodersAgree(samples, members, what);
            // The repeat at the window's full distance must actually be found.
            const Bytes& rep = samples[5].data;
            EXPECT_LT(members[5].packed.size(), rep.size() * 6 / 10) << what;
        }
    }
}

TEST(EncoderRoundTrip, FinalCodesThatTakeNoBitsAreKeptOffTheLastByteBoundary) {
    // 65533 literals fill a block at level 1; the last byte then forms a block of its own
    // whose literal code has one symbol. For these inputs that block would end exactly on
    // a byte boundary, where lhasa drops a symbol that takes no bits.
    const struct { int k; size_t offset; char method; } cases[] = {{43, 0, '5'}, {44, 2, '7'}};
    for (const auto& c : cases) {
        Bytes seq = DeBruijn3(c.k);
        Bytes data(seq.begin() + long(c.offset), seq.begin() + long(c.offset) + 65533);
        data.push_back('Q');
        std::vector<Sample> samples = {{"last", data}};
        ExpectIndependentDecodersAgree(samples, Pack(samples, c.method, 1), std::string("lh") + c.method);
    }
}

TEST(EncoderMember, StoresWhatDoesNotShrinkAndPicksTheSmallestMethod) {
    Bytes noise = RandomBytes(5000, 21);
    lzh::Member stored = lzh::PackedMember("n", noise, '7', 6, 1234, 0x21);
    EXPECT_EQ(stored.method, '0');
    EXPECT_EQ(stored.packed, noise);
    EXPECT_EQ(stored.timeStamp, 1234u);
    EXPECT_EQ(stored.attributeByte, 0x21);

    // A period just above 8 KiB: only the larger windows see the repeat.
    Bytes rep = Repeated(fixtures::Data(fixtures::Kind::Mixed, 9000, 4), 40000);
    std::vector<uint64_t> progress;
    lzh::Member best = lzh::PackedMember("dir/r.txt", rep, 0, 6, 0, 0x20,
                                         [&](uint64_t done) { progress.push_back(done); });
    EXPECT_NE(best.method, '5');
    EXPECT_EQ(best.unpackedSize, rep.size());
    EXPECT_EQ(best.dataCrc, lzh::Crc16(rep));
    for (char m : {'5', '6', '7'})
        EXPECT_LE(best.packed.size(), lzh::Compress(rep.data(), rep.size(), m, 6).size()) << m;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), rep.size());

    // Higher levels pay off on text, and the priced parse beats the lazy one.
    Bytes text = TextLike(100000, 8);
    size_t l1 = lzh::Compress(text.data(), text.size(), '7', 1).size();
    size_t l6 = lzh::Compress(text.data(), text.size(), '7', 6).size();
    size_t l9 = lzh::Compress(text.data(), text.size(), '7', 9).size();
    EXPECT_LT(l6, l1);
    EXPECT_LT(l9, l6);
}

}  // namespace
