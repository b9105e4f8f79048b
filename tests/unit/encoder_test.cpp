// The LZH compressor: its Huffman lengths and round trips of every method and level
// through the independent decoders lhasa and 7-Zip. (Large inputs are the benchmarks'
// business.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "../common/fixtures.h"
#include "lzh/archive_writer.h"
#include "lzh/encoder.h"

namespace {

using fixtures::Data;
using fixtures::Kind;
using lzh::Bytes;

// The de Bruijn sequence of order 3 over k symbols (every 3-gram once): data in which no
// match can be found, so each byte costs one literal symbol.
Bytes DeBruijn3(int k) {
    Bytes seq;
    std::vector<int> w(1, -1);
    while (!w.empty()) {
        w.back()++;
        const size_t m = w.size();
        if (3 % m == 0)
            for (int c : w) seq.push_back(uint8_t(c));
        while (w.size() < 3) w.push_back(w[w.size() - m]);
        while (!w.empty() && w.back() == k - 1) w.pop_back();
    }
    return seq;
}

// Inputs that reach the encoder's distinct paths: nothing, one byte, runs longer than a
// block and than the window, repeats at exactly the largest distance of the window,
// text-like data, skewed data whose plain Huffman code would exceed 16 bits, noise, and
// literals only whose last one forms a block of its own at level 1.
std::vector<lzh::Member> Samples(char method) {
    const size_t window = method == '5' ? 8192 : method == '6' ? 32768 : 65536;
    Bytes repeat = Data(Kind::Noise, window, 7), few = Data(Kind::Noise, 90000, 11), skewed;
    while (repeat.size() < window * 3 + 300) repeat.push_back(repeat[repeat.size() - window]);
    for (auto& c : few) c %= 6;   // more symbols than one block holds
    // Symbol k appears Fibonacci(k) times: the rare ones would need more than 16 bits.
    for (uint32_t k = 0, f0 = 1, f1 = 1; k < 22; k++, f1 += f0, f0 = f1 - f0) skewed.insert(skewed.end(), f0, uint8_t(k * 11));
    std::shuffle(skewed.begin(), skewed.end(), std::mt19937(5));
    // Its block would end on a byte boundary, where lhasa drops a symbol that takes no bits.
    const Bytes seq = DeBruijn3(method == '7' ? 44 : 43);
    const long from = method == '7' ? 2 : 0;
    Bytes last(seq.begin() + from, seq.begin() + from + 65533);
    last.push_back('Q');
    auto m = [](const char* name, const Bytes& data) { return lzh::StoredMember(name, data); };
    return {m("empty", {}), m("one byte", {'A'}), m("zeros 70000", Bytes(70000, 0)),
            // Streams that end in a match whose position takes no bits, on a byte boundary
            // unless the encoder takes care.
            m("zeros 260", Bytes(260, 0)), m("zeros 992", Bytes(992, 0)), m("window repeat", repeat),
            m("text with spaces.txt", Data(Kind::Text, 60000, 3)), m("skewed", skewed),
            m("noise", Data(Kind::Noise, 20000, 9)), m("few values", few), m("last", last)};
}

TEST(EncoderHuffman, LengthsAreCompleteLimitedOrderedByFrequencyAndOptimal) {
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
        ASSERT_EQ(used, n - std::count(freq.begin(), freq.end(), 0u));
        uint64_t kraft = 0;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(len[i] == 0, freq[i] == 0 || used < 2) << "symbol " << i;
            EXPECT_LE(len[i], 16);
            if (len[i]) kraft += uint64_t(1) << (16 - len[i]);
            for (int j = 0; j < n; ++j)
                if (freq[i] && freq[j] && freq[i] > freq[j]) ASSERT_LE(len[i], len[j]);
        }
        if (used >= 2) EXPECT_EQ(kraft, 65536u) << "round " << round;   // complete: the decoder rejects anything else
    }
    // Without the 16-bit limit in play the cost must equal a plain Huffman code's.
    std::vector<uint32_t> freq = {45, 13, 12, 16, 9, 5};   // the textbook example: 224 bits
    uint8_t len[6];
    lzh::HuffmanLengths(freq.data(), 6, len);
    uint32_t bits = 0;
    for (int i = 0; i < 6; ++i) bits += freq[i] * len[i];
    EXPECT_EQ(bits, 224u);
}

// Every sample compressed (never stored) with each method and level, extracted by lhasa,
// by 7-Zip and by jlha (Debian's "lha" is jlha, so lhasa is called by its own name).
TEST(EncoderRoundTrip, EveryMethodAndLevelThroughLhasaSevenZipAndJlha) {
    for (char method : {'5', '6', '7'}) {
        const std::vector<lzh::Member> samples = Samples(method);
        for (int level : {1, 3, 6, 7, 9}) {
            const std::string what = std::string("lh") + method + " level " + std::to_string(level);
            std::vector<lzh::Member> members = samples;
            for (lzh::Member& m : members) {
                m.packed = lzh::Compress(m.packed.data(), m.packed.size(), method, level);
                m.method = m.unpackedSize ? method : '0';
            }
            const fixtures::ScratchDir dir;
            ASSERT_TRUE(lzh::WriteFile(dir / "a.lzh", lzh::WriteArchive(members, false)));
            for (const char* extract : {"mkdir l && cd l && lhasa xq ../a.lzh", "7zz x -y -os a.lzh",
                                        "mkdir j && cd j && jlha xq ../a.lzh"})
                EXPECT_EQ(system(("cd '" + dir.path + "' && " + extract + " >/dev/null 2>&1").c_str()), 0) << what << extract;
            for (const lzh::Member& m : samples)
                for (const char* sub : {"l/", "s/", "j/"})
                    EXPECT_TRUE(fixtures::ReadAll(dir / (sub + m.name)) == std::string(m.packed.begin(), m.packed.end()))
                        << what << " " << sub << m.name;
            // The repeat at the window's full distance must actually be found.
            EXPECT_LT(members[5].packed.size(), members[5].unpackedSize * 6 / 10) << what;
        }
    }
}

TEST(EncoderMember, StoresWhatDoesNotShrinkAndPicksTheSmallestMethod) {
    Bytes noise = Data(Kind::Noise, 5000, 21);
    lzh::Member stored = lzh::PackedMember("n", noise, '7', 6, 1234, 0x21);
    EXPECT_EQ(std::tie(stored.method, stored.packed, stored.timeStamp, stored.attributeByte),
              std::make_tuple('0', noise, 1234u, uint8_t(0x21)));

    // A period just above 8 KiB: only the larger windows see the repeat.
    Bytes rep = Data(Kind::Mixed, 9000, 4);
    while (rep.size() < 40000) rep.push_back(rep[rep.size() - 9000]);
    std::vector<uint64_t> progress;
    lzh::Member best = lzh::PackedMember("dir/r.txt", rep, 0, 6, 0, 0x20, [&](uint64_t done) { progress.push_back(done); });
    EXPECT_NE(best.method, '5');
    EXPECT_EQ(std::tie(best.unpackedSize, best.dataCrc), std::make_tuple(uint32_t(rep.size()), lzh::Crc16(rep)));
    for (char m : {'5', '6', '7'})
        EXPECT_LE(best.packed.size(), lzh::Compress(rep.data(), rep.size(), m, 6).size()) << m;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), rep.size());

    // Higher levels pay off on text, and the priced parse beats the lazy one.
    const Bytes text = Data(Kind::Text, 100000, 8);
    auto size = [&](int level) { return lzh::Compress(text.data(), text.size(), '7', level).size(); };
    EXPECT_LT(size(6), size(1));
    EXPECT_LT(size(9), size(6));
}

}  // namespace
