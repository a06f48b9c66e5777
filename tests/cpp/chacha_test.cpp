// ChaCha against published keystreams: the 8-, 12- and 20-round vectors of the
// ChaCha test-vector draft (original layout: 64-bit counter, 64-bit nonce) and
// the RFC 8439 block-function example, whose IETF 32-bit counter and 96-bit
// nonce map onto the original layout as counter = 1 | 0x09000000 << 32,
// stream = 0x4a000000.
#include "cube/chacha.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessaroll {
namespace {

std::vector<std::uint8_t> unhex(const std::string& h) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t i) {
    return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | std::uint32_t{b[i + 3]} << 24;
}

std::uint64_t le64(const std::vector<std::uint8_t>& b) {
    return le32(b, 0) | std::uint64_t{le32(b, 4)} << 32;
}

template <int R>
ChaCha<R> make(const std::string& key_hex, std::uint64_t counter, std::uint64_t stream) {
    const auto kb = unhex(key_hex);
    typename ChaCha<R>::Key key;
    for (std::size_t i = 0; i < 8; ++i)
        key[i] = le32(kb, 4 * i);
    return ChaCha<R>(key, counter, stream);
}

template <int R>
void expect_stream(ChaCha<R> gen, const std::string& keystream_hex) {
    const auto ks = unhex(keystream_hex);
    for (std::size_t i = 0; i < ks.size(); i += 4) {
        ASSERT_EQ(gen.next_u32(), le32(ks, i)) << "rounds " << R << ", byte " << i;
    }
}

template <int R>
void expect_vector(const std::string& key, const std::string& nonce, const std::string& stream) {
    expect_stream(make<R>(key, 0, le64(unhex(nonce))), stream);
}

const std::string kZeroKey(64, '0');
const std::string kZeroNonce(16, '0');

// Test case TC1 of the draft: all-zero key and nonce, two blocks.
TEST(ChaCha, ZeroKeyEightRounds) {
    expect_vector<8>(kZeroKey, kZeroNonce,
                     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
                     "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
                     "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
                     "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa");
}

TEST(ChaCha, ZeroKeyTwelveRounds) {
    expect_vector<12>(kZeroKey, kZeroNonce,
                      "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
                      "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
                      "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
                      "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316");
}

TEST(ChaCha, ZeroKeyTwentyRounds) {
    expect_vector<20>(kZeroKey, kZeroNonce,
                      "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
                      "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"
                      "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
                      "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
}

// Test case TC8 of the draft: a random-looking key and nonce, so that the byte
// order of key and nonce words matters.
const std::string kTc8Key = "c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d";
const std::string kTc8Nonce = "1ada31d5cf688221";

TEST(ChaCha, RandomKeyEightRounds) {
    expect_vector<8>(kTc8Key, kTc8Nonce,
                     "838751b42d8ddd8a3d77f48825a2ba752cf4047cb308a5978ef274973be374c9"
                     "6ad848065871417b08f034e681fe46a93f7d5c61d1306614d4aaf257a7cff08b"
                     "16f2fda170cc18a4b58a2667ed962774af792a6e7f3c77992540711a7a136d7e"
                     "8a2f8d3f93816709d45a3fa5f8ce72fde15be7b841acba3a2abd557228d9fe4f");
}

TEST(ChaCha, RandomKeyTwelveRounds) {
    expect_vector<12>(kTc8Key, kTc8Nonce,
                      "1482072784bc6d06b4e73bdc118bc0103c7976786ca918e06986aa251f7e9cc1"
                      "b2749a0a16ee83b4242d2e99b08d7c20092b80bc466c87283b61b1b39d0ffbab"
                      "d94b116bc1ebdb329b9e4f620db695544a8e3d9b68473d0c975a46ad966ed631"
                      "e42aff530ad5eac7d8047adfa1e5113c91f3e3b883f1d189ac1c8fe07ba5a42b");
}

TEST(ChaCha, RandomKeyTwentyRounds) {
    expect_vector<20>(kTc8Key, kTc8Nonce,
                      "f63a89b75c2271f9368816542ba52f06ed49241792302b00b5e8f80ae9a473af"
                      "c25b218f519af0fdd406362e8d69de7f54c604a6e00f353f110f771bdca8ab92"
                      "e5fbc34e60a1d9a9db17345b0a402736853bf910b060bdf1f897b6290f01d138"
                      "ae2c4c90225ba9ea14d518f55929dea098ca7a6ccfe61227053c84e49a4a3332");
}

TEST(ChaCha, Rfc8439BlockFunction) {
    const std::uint64_t counter = 1 | std::uint64_t{0x09000000} << 32;
    expect_stream(make<20>("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
                           counter, 0x4a000000),
                  "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                  "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e");
}

// Word 64 onwards comes from the second refill; it must continue the block
// sequence exactly, including the carry from the low counter word into the
// high one in the middle of a four-block batch.
TEST(ChaCha, ContinuesAcrossRefillsAndCounterCarry) {
    for (std::uint64_t start : {std::uint64_t{0}, std::uint64_t{0xFFFFFFFE}}) {
        auto whole = make<8>(kTc8Key, start, 7);
        std::vector<std::uint32_t> words;
        for (int i = 0; i < 3 * 64; ++i)
            words.push_back(whole.next_u32());
        EXPECT_EQ(whole.block_counter(), start + 12);
        for (std::uint64_t block = 1; block < 12; ++block) {
            auto part = make<8>(kTc8Key, start + block, 7);
            for (std::size_t i = 0; i < 16; ++i) {
                ASSERT_EQ(part.next_u32(), words[16 * block + i]) << start << ' ' << block;
            }
        }
    }
}

TEST(ChaCha, WipeEmptiesTheBuffer) {
    auto gen = make<12>(kTc8Key, 0, 0);
    gen.next_u32();
    EXPECT_EQ(gen.buffered(), 63u);
    gen.wipe();
    EXPECT_EQ(gen.buffered(), 0u);
    EXPECT_EQ(gen.block_counter(), 0u);
}

} // namespace
} // namespace tessaroll
