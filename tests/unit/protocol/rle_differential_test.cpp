// The encoder and framing against the byte-at-a-time reference encoder
// (rle_reference.h): same bytes, same length, -1 on exactly the same inputs,
// and never a byte written at or past the capacity given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "rle_reference.h"

namespace {

constexpr char kGuard = '\x5A';
constexpr size_t kGuardBytes = 16;

struct Encoded {
    int len;
    std::string bytes;  // the first len bytes written, when len >= 0
};

// Runs `encode` with capacity cap into a buffer followed by guard bytes, and
// fails the test when a guard byte changed. The input sits `shift` bytes into
// its own buffer, so loads see every alignment.
template <class Encode>
Encoded run_encoder(Encode encode, const std::string &in, size_t cap, size_t shift = 0) {
    std::vector<char> src(shift + in.size());
    std::copy(in.begin(), in.end(), src.begin() + static_cast<long>(shift));
    std::vector<char> out(cap + kGuardBytes, kGuard);
    int n = encode(src.data() + shift, in.size(), out.data(), cap);
    for (size_t k = cap; k < out.size(); k++)
        if (out[k] != kGuard) {
            ADD_FAILURE() << "byte " << k << " written past capacity " << cap;
            break;
        }
    return {n, n >= 0 ? std::string(out.data(), static_cast<size_t>(n)) : std::string()};
}

// Checks the encoder against the reference on `in` with capacity cap.
void expect_same(const std::string &in, size_t cap, size_t shift = 0) {
    Encoded want = run_encoder(rle_reference::rle_encode, in, cap);
    Encoded got = run_encoder(dqp::rle_encode, in, cap, shift);
    ASSERT_EQ(got.len, want.len) << "input of " << in.size() << " bytes, cap " << cap;
    ASSERT_EQ(got.bytes, want.bytes) << "input of " << in.size() << " bytes, cap " << cap;
}

// Random inputs made of runs over a tiny alphabet, the escape byte and bytes
// next to it (0x00, 0x02, 0x80, 0x81) included, with run lengths that cross
// the 253-byte piece limit and its multiples.
class RunBiasedInputs {
  public:
    explicit RunBiasedInputs(uint32_t seed) : rng_(seed) {}

    std::string next(size_t max_len) {
        std::vector<char> alphabet = pick_alphabet();
        size_t len = pick(0, max_len);
        std::string s;
        while (s.size() < len) {
            char b = alphabet[pick(0, alphabet.size() - 1)];
            s.append(std::min(run_length(), len - s.size()), b);
        }
        return s;
    }

    size_t pick(size_t lo, size_t hi) {
        return std::uniform_int_distribution<size_t>(lo, hi)(rng_);
    }

  private:
    std::vector<char> pick_alphabet() {
        static const char pool[] = {'\x01', '\x00', '\x02', '\x03', '\x80', '\x81',
                                    '\xFF', '0',    ' ',    'a',    'b'};
        std::vector<char> a(std::begin(pool), std::end(pool));
        std::shuffle(a.begin() + (pick(0, 3) == 0 ? 1 : 0), a.end(), rng_);
        a.resize(pick(2, 4));
        return a;
    }

    size_t run_length() {
        static const size_t edges[] = {252, 253, 254, 255, 256, 257, 505, 506, 507, 508, 509};
        switch (pick(0, 9)) {
            case 0:
                return edges[pick(0, std::size(edges) - 1)];
            case 1:
                return pick(1, 600);
            case 2:
            case 3:
                return pick(5, 20);
            default:
                return pick(1, 4);
        }
    }

    std::mt19937 rng_;
};

size_t worst_case(size_t n) {
    return 3 * n;  // every byte an escape written alone
}

}  // namespace

// Every string of up to 12 bytes over {0x00, 0x01, 0x02}: runs and escape
// bytes at every position relative to the 8-byte scan steps and the input end.
TEST(RleDifferential, EveryShortStringOverThreeBytes) {
    const char letters[] = {'\x00', '\x01', '\x02'};
    for (size_t len = 0; len <= 12; len++) {
        size_t count = 1;
        for (size_t k = 0; k < len; k++)
            count *= 3;
        std::string s(len, '\0');
        for (size_t code = 0; code < count; code++) {
            size_t c = code;
            for (size_t k = 0; k < len; k++, c /= 3)
                s[k] = letters[c % 3];
            char want[40], got[40];
            int w = rle_reference::rle_encode(s.data(), len, want, sizeof want);
            int g = dqp::rle_encode(s.data(), len, got, sizeof got);
            ASSERT_EQ(g, w) << "code " << code << " of length " << len;
            ASSERT_EQ(std::string(got, g), std::string(want, w)) << "code " << code;
        }
    }
}

// Literal text with no two equal bytes in a row, long enough for several
// 64-byte blocks and the shorter scan over the last bytes.
std::string literal_text(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; i++)
        text += static_cast<char>('A' + i % 26 + (i / 26) % 2 * 32);
    return text;
}

// One run of every length 1..70 at every offset inside literal text, with
// and without an escape byte elsewhere in the text.
TEST(RleDifferential, RunAtEveryOffsetOfLiteralText) {
    const std::string text = literal_text(200);
    for (size_t r = 1; r <= 70; r++)
        for (size_t at = 0; at + r <= text.size(); at++) {
            std::string s = text;
            s.replace(at, r, std::string(r, '0'));
            expect_same(s, worst_case(s.size()));
            s[(at + r + 7) % s.size()] = '\x01';
            expect_same(s, worst_case(s.size()));
            if (HasFatalFailure()) return;
        }
}

// Escape bytes at every offset of literal text, alone and with a second one
// near and one or more blocks away.
TEST(RleDifferential, EscapeBytesAtEveryOffset) {
    const std::string text = literal_text(300);
    for (size_t at = 0; at < text.size(); at++)
        for (size_t gap : {0, 1, 2, 3, 63, 64, 65, 130}) {
            std::string s = text;
            s[at] = '\x01';
            if (at + gap < s.size()) s[at + gap] = '\x01';
            expect_same(s, worst_case(s.size()));
            if (HasFatalFailure()) return;
        }
}

TEST(RleDifferential, RandomRunBiasedInputs) {
    RunBiasedInputs gen(20260611);
    for (int i = 0; i < 3000; i++) {
        std::string in = gen.next(i % 10 == 0 ? 20000 : i % 3 == 0 ? 2000 : 100);
        expect_same(in, worst_case(in.size()), gen.pick(0, 7));
        if (HasFatalFailure()) return;
    }
}

TEST(RleDifferential, RandomBytesWithoutRuns) {
    std::mt19937 rng(7);
    for (int i = 0; i < 300; i++) {
        std::string in(std::uniform_int_distribution<size_t>(0, 5000)(rng), '\0');
        for (char &c : in)
            c = static_cast<char>(rng());
        expect_same(in, worst_case(in.size()), static_cast<size_t>(i % 8));
        if (HasFatalFailure()) return;
    }
}

// Capacities at and around the encoded length and far below it: -1 exactly
// when the reference refuses, and never a write past the capacity.
TEST(RleDifferential, SmallCapacities) {
    RunBiasedInputs gen(99);
    for (int i = 0; i < 1500; i++) {
        std::string in = gen.next(i % 5 == 0 ? 3000 : 60);
        std::vector<char> full(worst_case(in.size()) + 1);
        int len = rle_reference::rle_encode(in.data(), in.size(), full.data(), full.size());
        ASSERT_GE(len, 0);
        size_t l = static_cast<size_t>(len);
        std::vector<size_t> caps = {0, 1, 2, 3, gen.pick(0, l), l + 8, l + 16};
        for (size_t d = 0; d <= 9; d++) {
            if (d <= l) caps.push_back(l - d);
            caps.push_back(l + d);
        }
        if (l <= 64)
            for (size_t c = 0; c <= l; c++)
                caps.push_back(c);
        for (size_t cap : caps) {
            expect_same(in, cap, gen.pick(0, 7));
            if (HasFatalFailure()) return;
        }
    }
}

// frame_encode picks encoded or plain by length and by the escape byte; the
// choice and the frame must match the reference for every capacity.
TEST(RleDifferential, FrameEncodeMatchesReference) {
    RunBiasedInputs gen(4242);
    for (int i = 0; i < 1500; i++) {
        std::string body = gen.next(i % 4 == 0 ? 16000 : 80);
        if (i % 3 == 0)
            for (char &c : body)
                if (c == '\x01') c = 'x';  // plain text becomes possible
        std::string pkt = "00000000" + body;
        size_t len = pkt.size();
        std::vector<size_t> caps = {len, len + 1, len - 1, 3 * len, 8, gen.pick(8, 3 * len)};
        for (size_t cap : caps) {
            // Each side frames its own copy, as frame_encode writes the
            // packet's length field.
            std::string want_pkt = pkt, got_pkt = pkt;
            auto ref = [&](const char *, size_t, char *out, size_t c) {
                return rle_reference::frame_encode(want_pkt.data(), len, out, c);
            };
            auto tuned = [&](const char *, size_t, char *out, size_t c) {
                return dqp::frame_encode(got_pkt.data(), len, out, c);
            };
            Encoded want = run_encoder(ref, pkt, cap), got = run_encoder(tuned, pkt, cap);
            ASSERT_EQ(got.len, want.len) << "packet of " << len << " bytes, cap " << cap;
            ASSERT_EQ(got.bytes, want.bytes) << "packet of " << len << " bytes, cap " << cap;
            ASSERT_EQ(got_pkt, want_pkt);  // the length field written into the packet
        }
    }
}

// --- The decoder against the first decoder --------------------------------

namespace {

// Runs `decode` with capacity cap into a buffer followed by guard bytes, the
// input `shift` bytes into its own buffer; fails the test when a guard byte
// changed.
template <class Decode>
Encoded run_decoder(Decode decode, const std::string &in, size_t cap, size_t shift = 0) {
    return run_encoder(decode, in, cap, shift);
}

// Checks the decoder against the first one on `in` at capacity cap: the same
// length, the same bytes, -1 on the same inputs.
void expect_same_decoding(const std::string &in, size_t cap, size_t shift = 0) {
    Encoded want = run_decoder(rle_reference::rle_decode, in, cap);
    Encoded got = run_decoder(dqp::rle_decode, in, cap, shift);
    ASSERT_EQ(got.len, want.len) << "input of " << in.size() << " bytes, cap " << cap;
    ASSERT_EQ(got.bytes, want.bytes) << "input of " << in.size() << " bytes, cap " << cap;
}

// The capacities worth trying for an input: around its decoded length (when
// it decodes at all) and a few far below.
std::vector<size_t> decode_caps(const std::string &in, size_t picked) {
    std::vector<char> out(256 * in.size() + 1);
    int len = rle_reference::rle_decode(in.data(), in.size(), out.data(), out.size());
    std::vector<size_t> caps = {0, 1, 15, 16, 17, picked};
    if (len < 0) return caps;
    size_t l = static_cast<size_t>(len);
    for (size_t d = 0; d <= 17; d++) {
        if (d <= l) caps.push_back(l - d);
        caps.push_back(l + d);
    }
    return caps;
}

}  // namespace

// Every string of up to 7 bytes over {0x01, 0x00, 0x03, 'a'} taken as coded
// input, malformed ones (an escape cut short) included, at every capacity
// around its decoded length.
TEST(RleDecodeDifferential, EveryShortInputOverFourBytes) {
    const char letters[] = {'\x01', '\x00', '\x03', 'a'};
    for (size_t len = 0; len <= 7; len++) {
        std::string s(len, '\0');
        for (size_t code = 0; code < (size_t{1} << (2 * len)); code++) {
            for (size_t k = 0; k < len; k++)
                s[k] = letters[(code >> (2 * k)) & 3];
            for (size_t cap : decode_caps(s, code % 40))
                expect_same_decoding(s, cap);
            if (HasFatalFailure()) return;
        }
    }
}

// Escapes of every count (0 to 255) at every offset of literal text, so runs
// and stretches end on every side of the 16-byte steps and the input's end.
TEST(RleDecodeDifferential, EscapesAtEveryOffsetWithEveryCount) {
    const std::string text = literal_text(70);
    for (size_t count = 0; count <= 255; count += (count < 40 ? 1 : 17))
        for (size_t at = 0; at <= text.size(); at++) {
            std::string s = text;
            s.insert(at, std::string{'\x01', static_cast<char>(count), 'z'});
            for (size_t cap : decode_caps(s, at))
                expect_same_decoding(s, cap, at % 8);
            // Cut short inside the escape.
            expect_same_decoding(s.substr(0, at + 1), 4096);
            expect_same_decoding(s.substr(0, at + 2), 4096);
            if (HasFatalFailure()) return;
        }
}

// Encoded inputs, whole and with bytes overwritten or cut off, at capacities
// around their decoded length.
TEST(RleDecodeDifferential, RandomEncodedAndDamagedInputs) {
    RunBiasedInputs gen(4242);
    for (int i = 0; i < 2000; i++) {
        std::string plain = gen.next(i % 10 == 0 ? 5000 : 120);
        std::vector<char> enc(worst_case(plain.size()) + 1);
        int n = dqp::rle_encode(plain.data(), plain.size(), enc.data(), enc.size());
        ASSERT_GE(n, 0);
        std::string in(enc.data(), static_cast<size_t>(n));
        if (i % 3 == 1 && !in.empty()) in[gen.pick(0, in.size() - 1)] = '\x01';
        if (i % 3 == 2 && !in.empty()) in.resize(gen.pick(0, in.size() - 1));
        for (size_t cap : decode_caps(in, gen.pick(0, 3 * plain.size())))
            expect_same_decoding(in, cap, gen.pick(0, 7));
        if (HasFatalFailure()) return;
    }
}

// Random bytes with escapes sprinkled in: counts and fill bytes of every value.
TEST(RleDecodeDifferential, RandomBytes) {
    std::mt19937 rng(11);
    for (int i = 0; i < 1000; i++) {
        std::string in(std::uniform_int_distribution<size_t>(0, 600)(rng), '\0');
        for (char &c : in)
            c = static_cast<char>(rng() % 8 == 0 ? 1 : rng());
        for (size_t cap : decode_caps(in, rng() % 2000))
            expect_same_decoding(in, cap, static_cast<size_t>(i % 8));
        if (HasFatalFailure()) return;
    }
}
