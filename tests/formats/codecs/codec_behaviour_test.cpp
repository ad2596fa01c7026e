// Limits, block geometry, padding of the last block and damaged input of the sample codecs.
#include "formats/codecs/g72x_adpcm.h"
#include "formats/codecs/gsm610.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/ms_adpcm.h"
#include "support/codec_test_files.h"
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace {

using EncoderFactory = std::function<std::unique_ptr<kySampleEncoder>()>;
using DecoderFactory = std::function<std::unique_ptr<kySampleDecoder>()>;

struct CodecKind {
    const char* name;
    EncoderFactory encoder;
    DecoderFactory decoder;
    uint32_t bits;        // a bit count the codec takes
    uint32_t maxChannels; // the most it takes
};

const CodecKind kKinds[] = {
    {"ima_wav", [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Wav); },
     [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Wav); }, 4, 32},
    {"ima4", [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Ima4); },
     [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4); }, 4, 32},
    {"ms_adpcm", [] { return std::make_unique<kyMsAdpcmEncoder>(); },
     [] { return std::make_unique<kyMsAdpcmDecoder>(); }, 4, 2},
    {"g723_24", [] { return std::make_unique<kyG72xEncoder>(); },
     [] { return std::make_unique<kyG72xDecoder>(); }, 3, 1},
    {"g721", [] { return std::make_unique<kyG72xEncoder>(); },
     [] { return std::make_unique<kyG72xDecoder>(); }, 4, 1},
    {"g723_40", [] { return std::make_unique<kyG72xEncoder>(); },
     [] { return std::make_unique<kyG72xDecoder>(); }, 5, 1},
    {"gsm610", [] { return std::make_unique<kyGsm610Encoder>(); },
     [] { return std::make_unique<kyGsm610Decoder>(); }, 0, 1},
};

const CodecKind& kind(const char* name) {
    for (const auto& k : kKinds)
        if (std::string(k.name) == name) return k;
    throw std::runtime_error("no such codec kind");
}

// Planes of `frames` samples per channel holding `value`.
struct Planes {
    Planes(uint32_t channels, uint32_t frames, float value = 0.0f)
        : data(channels, std::vector<float>(frames, value)) {
        for (auto& d : data) ptrs.push_back(d.data());
        ptrs.push_back(nullptr);
    }
    float* const* get() { return ptrs.data(); }
    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
};

std::vector<uint8_t> encodeAll(kySampleEncoder& enc, Planes& in, uint32_t frames) {
    std::vector<uint8_t> out;
    EXPECT_EQ(enc.encode(in.get(), 0, frames, out), KY_OK);
    EXPECT_EQ(enc.flush(out), KY_OK);
    return out;
}

} // namespace

TEST(SampleCodecs, StartRefusesWhatTheCodecCannotCode) {
    for (const auto& k : kKinds) {
        SCOPED_TRACE(k.name);
        auto enc = k.encoder();
        auto dec = k.decoder();
        EXPECT_EQ(enc->start(k.bits, k.maxChannels), KY_OK);
        EXPECT_EQ(dec->start(k.bits, k.maxChannels), KY_OK);
        EXPECT_EQ(enc->start(k.bits, k.maxChannels + 1), KYERR_CHANNEL_FORMAT);
        EXPECT_EQ(dec->start(k.bits, k.maxChannels + 1), KYERR_CHANNEL_FORMAT);
        EXPECT_EQ(enc->start(k.bits, 0), KYERR_CHANNEL_FORMAT);
        if (k.bits) { // GSM has no bit count to refuse
            for (uint32_t bad : {2u, 6u, 8u, 16u}) {
                if (bad == k.bits) continue;
                bool g72x = std::string(k.name).rfind("g72", 0) == 0;
                if (g72x && bad >= 3 && bad <= 5) continue;
                EXPECT_EQ(enc->start(bad, 1), KYERR_INVALID_PARAMETER) << bad;
                EXPECT_EQ(dec->start(bad, 1), KYERR_INVALID_PARAMETER) << bad;
            }
        }
        // A refused start leaves nothing half-started behind.
        std::vector<uint8_t> out;
        Planes p(1, 4);
        EXPECT_EQ(enc->encode(p.get(), 0, 4, out), KYERR_INVALID_PARAMETER);
        EXPECT_EQ(enc->flush(out), KYERR_INVALID_PARAMETER);
        uint32_t frames = 99;
        uint8_t block[80] = {};
        EXPECT_EQ(dec->decode(block, sizeof block, p.get(), 0, &frames), KYERR_SEQUENCE);
        EXPECT_EQ(frames, 0u);
        EXPECT_TRUE(out.empty());
    }
}

TEST(SampleCodecs, BlockGeometryOfTheWriterLayouts) {
    struct Row {
        const char* kind;
        uint32_t channels, frames, bytes;
    } rows[] = {
        {"ima_wav", 1, 1017, 512},   {"ima_wav", 2, 1017, 1024}, {"ima_wav", 6, 1017, 3072},
        {"ima4", 1, 64, 34},         {"ima4", 2, 64, 68},        {"ms_adpcm", 1, 2036, 1024},
        {"ms_adpcm", 2, 2036, 2048}, {"g723_24", 1, 8, 3},       {"g721", 1, 8, 4},
        {"g723_40", 1, 8, 5},        {"gsm610", 1, 320, 65},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.kind) + " x" + std::to_string(r.channels));
        const CodecKind& k = kind(r.kind);
        auto enc = k.encoder();
        ASSERT_EQ(enc->start(k.bits, r.channels), KY_OK);
        EXPECT_EQ(enc->framesPerBlock(), r.frames);
        EXPECT_EQ(enc->bytesPerBlock(), r.bytes);
        auto dec = k.decoder();
        ASSERT_EQ(dec->start(k.bits, r.channels), KY_OK);
        EXPECT_EQ(dec->framesPerBlock(), r.frames);
        EXPECT_EQ(dec->bytesPerBlock(), r.bytes);
        // Whole blocks come out as soon as they are full, and only then.
        Planes p(r.channels, 2 * r.frames + 1, 0.25f);
        std::vector<uint8_t> out;
        ASSERT_EQ(enc->encode(p.get(), 0, r.frames - 1, out), KY_OK);
        EXPECT_EQ(out.size(), 0u);
        ASSERT_EQ(enc->encode(p.get(), r.frames - 1, r.frames + 2, out), KY_OK);
        EXPECT_EQ(out.size(), 2u * r.bytes);
    }
    // Block sizes other encoders choose are read too.
    EXPECT_EQ(kyImaWavFramesPerBlock(256, 1), 505u);
    EXPECT_EQ(kyImaWavFramesPerBlock(2048, 2), 2041u);
    EXPECT_EQ(kyImaWavFramesPerBlock(3, 1), 0u);
    EXPECT_EQ(kyMsAdpcmFramesPerBlock(256, 1), 500u);
    EXPECT_EQ(kyMsAdpcmFramesPerBlock(512, 2), 500u);
    EXPECT_EQ(kyMsAdpcmFramesPerBlock(6, 1), 0u);
    kyImaAdpcmDecoder ima;
    EXPECT_EQ(ima.start(4, 1, 3), KYERR_INVALID_PARAMETER);
    kyImaAdpcmDecoder ima4(kyImaLayout::Ima4);
    EXPECT_EQ(ima4.start(4, 2, 34), KYERR_INVALID_PARAMETER);
    kyMsAdpcmDecoder ms;
    EXPECT_EQ(ms.start(4, 2, 13), KYERR_INVALID_PARAMETER);
    kyGsm610Decoder gsm;
    EXPECT_EQ(gsm.start(0, 1, 64), KYERR_INVALID_PARAMETER);
}

TEST(SampleCodecs, LastBlockIsPaddedAsTheLayoutWants) {
    struct Row {
        const char* kind;
        uint32_t channels, frames, bytes, decodedFrames;
    } rows[] = {
        // WAV IMA: silence until the frames after the header sample fill groups of 8.
        {"ima_wav", 1, 1, 4, 1},
        {"ima_wav", 1, 10, 4 + 8, 17},
        {"ima_wav", 2, 1017 + 9, 1024 + 2 * (4 + 4), 1017 + 9},
        // "ima4": always whole packets (100 stereo frames: two packets of 68 bytes).
        {"ima4", 2, 100, 136, 128},
        // MS ADPCM: the two header samples, then whole bytes of codes.
        {"ms_adpcm", 1, 1, 7, 2},
        {"ms_adpcm", 1, 5, 7 + 2, 6},
        {"ms_adpcm", 2, 5, 14 + 3, 5},
        // G.72x: the last byte is filled up with zero bits.
        {"g723_24", 1, 10, 4, 10},
        {"g721", 1, 3, 2, 4},
        {"g723_40", 1, 3, 2, 3},
        // GSM: a whole 65-byte pair.
        {"gsm610", 1, 1, 65, 320},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.kind) + " " + std::to_string(r.frames));
        const CodecKind& k = kind(r.kind);
        auto enc = k.encoder();
        ASSERT_EQ(enc->start(k.bits, r.channels), KY_OK);
        Planes p(r.channels, r.frames, -0.3f);
        std::vector<uint8_t> out = encodeAll(*enc, p, r.frames);
        EXPECT_EQ(out.size(), r.bytes);
        std::vector<uint8_t> again;
        EXPECT_EQ(enc->flush(again), KY_OK);
        EXPECT_TRUE(again.empty()) << "a second flush adds nothing";

        // Our decoder reads the padded stream back, block by block.
        auto dec = k.decoder();
        ASSERT_EQ(dec->start(k.bits, r.channels), KY_OK);
        uint32_t total = 0;
        for (size_t pos = 0; pos < out.size(); pos += dec->bytesPerBlock()) {
            size_t n = std::min<size_t>(dec->bytesPerBlock(), out.size() - pos);
            Planes d(r.channels, dec->maxFrames(n));
            uint32_t got = 0;
            ASSERT_EQ(dec->decode(out.data() + pos, n, d.get(), 0, &got), KY_OK);
            total += got;
        }
        EXPECT_EQ(total, r.decodedFrames);
    }
    // The padding bits of a G.72x stream are zero.
    kyG72xEncoder g;
    ASSERT_EQ(g.start(5, 1), KY_OK);
    Planes p(1, 3, 0.5f);
    std::vector<uint8_t> out = encodeAll(g, p, 3);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1] & 0x01, 0);
}

TEST(SampleCodecs, SilenceKeepsImaAtRest) {
    for (kyImaLayout layout : {kyImaLayout::Wav, kyImaLayout::Ima4}) {
        kyImaAdpcmEncoder enc(layout);
        ASSERT_EQ(enc.start(4, 2), KY_OK);
        Planes p(2, 3000);
        std::vector<uint8_t> out;
        ASSERT_EQ(enc.encode(p.get(), 0, 3000, out), KY_OK);
        for (uint32_t ch = 0; ch < 2; ++ch) {
            EXPECT_EQ(enc.state(ch).index, 0);
            EXPECT_EQ(enc.state(ch).predictor, 0);
        }
        ASSERT_EQ(enc.flush(out), KY_OK);
        ASSERT_FALSE(out.empty());
        // Headers hold sample 0 and step index 0, and every code is 0.
        for (uint8_t b : out) ASSERT_EQ(b, 0);
    }
    kyImaAdpcmState st;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(st.encode(0), 0);
    EXPECT_EQ(st.index, 0);
}

TEST(SampleCodecs, FloatInputGoesThroughTheSixteenBitQuantizer) {
    // Out-of-range floats clamp to the 16-bit range, and the float path codes exactly what
    // the 16-bit path codes.
    for (const auto& k : kKinds) {
        SCOPED_TRACE(k.name);
        auto a = k.encoder();
        auto b = k.encoder();
        uint32_t chs = std::min<uint32_t>(k.maxChannels, 2);
        ASSERT_EQ(a->start(k.bits, chs), KY_OK);
        ASSERT_EQ(b->start(k.bits, chs), KY_OK);
        std::vector<int16_t> pcm = kytest::testSignal(700, chs, 8000);
        pcm[0] = 32767;
        pcm[chs] = -32768;
        auto planes = kytest::toPlanes(pcm, chs);
        planes[0][0] = 1.7f; // beyond full scale
        planes[0][1] = -3.0f;
        std::vector<const float*> fp;
        std::vector<std::vector<int16_t>> ip(chs);
        std::vector<const int16_t*> iptr;
        for (uint32_t ch = 0; ch < chs; ++ch) {
            fp.push_back(planes[ch].data());
            for (size_t i = 0; i < 700; ++i) ip[ch].push_back(pcm[i * chs + ch]);
            iptr.push_back(ip[ch].data());
        }
        std::vector<uint8_t> x, y;
        ASSERT_EQ(a->encode(fp.data(), 0, 700, x), KY_OK);
        ASSERT_EQ(a->flush(x), KY_OK);
        ASSERT_EQ(b->encode16(iptr.data(), 0, 700, y), KY_OK);
        ASSERT_EQ(b->flush(y), KY_OK);
        EXPECT_EQ(x, y);
    }
}

TEST(SampleCodecs, DamagedBlocksGiveNoSamplesAndNeverOverrun) {
    // Headers the codecs do not know: no frames for that block, the next block decodes.
    {
        kyMsAdpcmDecoder ms;
        ASSERT_EQ(ms.start(4, 1), KY_OK);
        std::vector<uint8_t> block(1024, 0x11);
        block[0] = 7; // the 7 standard pairs are 0..6
        Planes p(1, ms.maxFrames(block.size()));
        uint32_t got = 1;
        EXPECT_EQ(ms.decode(block.data(), block.size(), p.get(), 0, &got), KY_OK);
        EXPECT_EQ(got, 0u);
        block[0] = 6;
        EXPECT_EQ(ms.decode(block.data(), block.size(), p.get(), 0, &got), KY_OK);
        EXPECT_EQ(got, 2036u);
    }
    {
        kyImaAdpcmDecoder ima;
        ASSERT_EQ(ima.start(4, 2), KY_OK);
        std::vector<uint8_t> block(1024, 0);
        block[4 + 2] = 89; // step index of the second channel past the table
        Planes p(2, ima.maxFrames(block.size()));
        uint32_t got = 1;
        EXPECT_EQ(ima.decode(block.data(), block.size(), p.get(), 0, &got), KY_OK);
        EXPECT_EQ(got, 0u);
    }
    {
        kyImaAdpcmDecoder ima4(kyImaLayout::Ima4);
        ASSERT_EQ(ima4.start(4, 1), KY_OK);
        std::vector<uint8_t> packet(34, 0);
        packet[1] = 0x7F;
        Planes p(1, 64);
        uint32_t got = 1;
        EXPECT_EQ(ima4.decode(packet.data(), packet.size(), p.get(), 0, &got), KY_OK);
        EXPECT_EQ(got, 0u);
    }
    // Blocks too short for their headers.
    struct Short {
        const char* kind;
        uint32_t channels;
        size_t bytes;
    } shorts[] = {{"ima_wav", 2, 7}, {"ima4", 2, 67}, {"ms_adpcm", 2, 13}, {"gsm610", 1, 64}};
    for (const auto& s : shorts) {
        SCOPED_TRACE(s.kind);
        const CodecKind& k = kind(s.kind);
        auto dec = k.decoder();
        ASSERT_EQ(dec->start(k.bits, s.channels), KY_OK);
        EXPECT_EQ(dec->maxFrames(s.bytes), 0u);
        std::vector<uint8_t> block(s.bytes, 0);
        Planes p(s.channels, 1);
        uint32_t got = 1;
        EXPECT_EQ(dec->decode(block.data(), block.size(), p.get(), 0, &got), KY_OK);
        EXPECT_EQ(got, 0u);
    }
    // Random bytes of random lengths: decoders write no more than maxFrames promises
    // (the address sanitizer watches the planes) and every sample stays in range.
    std::mt19937 rng(42);
    for (const auto& k : kKinds) {
        SCOPED_TRACE(k.name);
        uint32_t chs = k.maxChannels > 2 ? 3 : k.maxChannels;
        auto dec = k.decoder();
        ASSERT_EQ(dec->start(k.bits, chs), KY_OK);
        for (int round = 0; round < 200; ++round) {
            size_t n = rng() % (dec->bytesPerBlock() * 2 + 2);
            std::vector<uint8_t> block(n);
            for (auto& b : block) b = uint8_t(rng());
            uint32_t room = dec->maxFrames(n);
            Planes p(chs, room);
            uint32_t got = 0;
            ASSERT_EQ(dec->decode(n ? block.data() : nullptr, n, p.get(), 0, &got), KY_OK);
            ASSERT_LE(got, room);
            for (uint32_t ch = 0; ch < chs; ++ch)
                for (uint32_t i = 0; i < got; ++i) {
                    ASSERT_GE(p.data[ch][i], -1.0f);
                    ASSERT_LT(p.data[ch][i], 1.0f);
                }
        }
    }
}

TEST(SampleCodecs, G72xStreamMayBeCutAnywhere) {
    for (uint32_t bits : {3u, 4u, 5u}) {
        SCOPED_TRACE(bits);
        kyG72xEncoder enc;
        ASSERT_EQ(enc.start(bits, 1), KY_OK);
        std::vector<int16_t> pcm = kytest::testSignal(999, 1, 8000);
        auto planes = kytest::toPlanes(pcm, 1);
        const float* fp[] = {planes[0].data()};
        std::vector<uint8_t> stream;
        ASSERT_EQ(enc.encode(fp, 0, 999, stream), KY_OK);
        ASSERT_EQ(enc.flush(stream), KY_OK);

        auto decodeIn = [&](size_t piece) {
            kyG72xDecoder dec;
            EXPECT_EQ(dec.start(bits, 1), KY_OK);
            std::vector<float> all;
            for (size_t pos = 0; pos < stream.size(); pos += piece) {
                size_t n = std::min(piece, stream.size() - pos);
                Planes p(1, dec.maxFrames(n));
                uint32_t got = 0;
                EXPECT_EQ(dec.decode(stream.data() + pos, n, p.get(), 0, &got), KY_OK);
                all.insert(all.end(), p.data[0].begin(), p.data[0].begin() + got);
            }
            return all;
        };
        std::vector<float> whole = decodeIn(stream.size());
        EXPECT_EQ(whole.size(), stream.size() * 8 / bits);
        EXPECT_EQ(decodeIn(1), whole);
        EXPECT_EQ(decodeIn(7), whole);
    }
}

TEST(SampleCodecs, ImaCoderAndDecoderStayInStep) {
    // The coder's predictor is the decoder's output, sample for sample, up to the rails.
    std::mt19937 rng(7);
    kyImaAdpcmState enc, dec;
    int32_t x = 0;
    for (int i = 0; i < 20000; ++i) {
        x = std::clamp<int32_t>(x + int32_t(rng() % 8001) - 4000, -32768, 32767);
        if (i % 5000 == 0) x = (i / 5000) % 2 ? 32767 : -32768;
        uint8_t code = enc.encode(x);
        ASSERT_LT(code, 16);
        ASSERT_EQ(dec.decode(code), enc.predictor);
        ASSERT_EQ(dec.index, enc.index);
    }
}
