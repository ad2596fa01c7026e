// MPEG audio frame headers, VBR headers, ADTS headers, the probes and the frame walker.
#include "formats/adts_common.h"
#include "formats/frame_walker.h"
#include "formats/mpeg_audio_common.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A frame header: version bits (3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5), layer (1-3), bit rate
// index, sample rate index, padding, channel mode.
std::vector<uint8_t> header(uint32_t version, uint32_t layer, uint32_t rateIndex, uint32_t srIndex,
                            bool padding, uint32_t mode) {
    return {0xFF, static_cast<uint8_t>(0xE0 | version << 3 | (4 - layer) << 1 | 1),
            static_cast<uint8_t>(rateIndex << 4 | srIndex << 2 | (padding ? 2 : 0)),
            static_cast<uint8_t>(mode << 6)};
}

// `count` frames of a stream, each its header followed by zero bytes.
std::vector<uint8_t> frames(const std::vector<uint8_t>& h, size_t count) {
    mpeg::FrameHeader f;
    EXPECT_TRUE(mpeg::ParseFrameHeader(h.data(), h.size(), f));
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) {
        out.insert(out.end(), h.begin(), h.end());
        out.resize(out.size() + f.frameBytes - 4);
    }
    return out;
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace

TEST(MpegFrameHeader, VersionsLayersAndSizes) {
    const struct {
        uint32_t version, layer, rateIndex, srIndex;
        bool padding;
        uint32_t mode;
        uint32_t bitRate, sampleRate, frameBytes, samples, channels;
    } cases[] = {
        {3, 3, 9, 0, false, 1, 128000, 44100, 417, 1152, 2},
        {3, 3, 9, 0, true, 1, 128000, 44100, 418, 1152, 2},
        {3, 3, 14, 1, false, 3, 320000, 48000, 960, 1152, 1},
        {3, 3, 1, 2, false, 0, 32000, 32000, 144, 1152, 2},
        {2, 3, 8, 2, false, 1, 64000, 16000, 288, 576, 2}, // MPEG-2: 72 x rate / freq
        {2, 3, 14, 0, false, 3, 160000, 22050, 522, 576, 1},
        {0, 3, 1, 2, false, 3, 8000, 8000, 72, 576, 1}, // MPEG-2.5
        {3, 2, 12, 0, false, 0, 256000, 44100, 835, 1152, 2},
        {2, 2, 14, 1, false, 3, 160000, 24000, 960, 1152, 1},
        {3, 1, 12, 0, false, 1, 384000, 44100, 416, 384, 2}, // layer I: slots of 4 bytes
        {3, 1, 12, 0, true, 1, 384000, 44100, 420, 384, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " layer " << c.layer
                                        << " index " << c.rateIndex);
        const auto h = header(c.version, c.layer, c.rateIndex, c.srIndex, c.padding, c.mode);
        mpeg::FrameHeader f;
        ASSERT_TRUE(mpeg::ParseFrameHeader(h.data(), h.size(), f));
        EXPECT_EQ(f.layer, c.layer);
        EXPECT_EQ(f.bitRate, c.bitRate);
        EXPECT_EQ(f.sampleRate, c.sampleRate);
        EXPECT_EQ(f.frameBytes, c.frameBytes);
        EXPECT_EQ(f.samplesPerFrame, c.samples);
        EXPECT_EQ(f.channels, c.channels);
    }
    // Not headers: no sync, reserved version, layer, bit rate index 0 (free format) and 15,
    // reserved sample rate, reserved emphasis, too few bytes.
    const std::vector<std::vector<uint8_t>> bad = {
        {0xFE, 0xFB, 0x90, 0x44}, {0xFF, 0xEB, 0x90, 0x44}, {0xFF, 0xF9, 0x90, 0x44},
        {0xFF, 0xFB, 0x00, 0x44}, {0xFF, 0xFB, 0xF0, 0x44}, {0xFF, 0xFB, 0x9C, 0x44},
        {0xFF, 0xFB, 0x90, 0x46}, {0xFF, 0xFB, 0x90},
    };
    for (const auto& b : bad) {
        mpeg::FrameHeader f;
        EXPECT_FALSE(mpeg::ParseFrameHeader(b.data(), b.size(), f))
            << int(b[1]) << " " << int(b[2]);
    }
}

TEST(MpegVbrHeader, XingInfoLameAndVbri) {
    const auto h = header(3, 3, 9, 0, false, 1); // 417 bytes, stereo: Xing at 36
    std::vector<uint8_t> f = frames(h, 1);
    mpeg::FrameHeader fh;
    ASSERT_TRUE(mpeg::ParseFrameHeader(f.data(), f.size(), fh));
    mpeg::VbrHeader v;
    EXPECT_FALSE(mpeg::ParseVbrHeader(f.data(), f.size(), fh, v));

    std::memcpy(&f[36], "Xing", 4);
    putBe32(&f[40], 0x0F); // frames, bytes, TOC, quality
    putBe32(&f[44], 1234);
    putBe32(&f[48], 567890);
    std::memcpy(&f[156], "LAME3.100", 9); // after 120 bytes of Xing fields
    f[156 + 21] = 0x24;                   // delay 576, padding 1234
    f[156 + 22] = 0x04;
    f[156 + 23] = 0xD2;
    ASSERT_TRUE(mpeg::ParseVbrHeader(f.data(), f.size(), fh, v));
    EXPECT_FALSE(v.info);
    EXPECT_EQ(v.frames, 1234u);
    EXPECT_EQ(v.bytes, 567890u);
    EXPECT_TRUE(v.lame);
    EXPECT_EQ(v.delay, 576u);
    EXPECT_EQ(v.padding, 1234u);
    EXPECT_EQ(v.lameOffset, 156u);
    // A frame cut short keeps what it holds.
    EXPECT_TRUE(mpeg::ParseVbrHeader(f.data(), 48, fh, v));
    EXPECT_EQ(v.frames, 1234u);
    EXPECT_EQ(v.bytes, 0u);

    std::memcpy(&f[36], "Info", 4);
    putBe32(&f[40], 0x01); // frames only: no LAME extension where it would not be
    ASSERT_TRUE(mpeg::ParseVbrHeader(f.data(), f.size(), fh, v));
    EXPECT_TRUE(v.info);
    EXPECT_FALSE(v.lame);

    // Mono MPEG-1 puts it 17 bytes after the header's end; VBRI always at 36.
    auto mono = frames(header(3, 3, 9, 0, false, 3), 1);
    std::memcpy(&mono[21], "Xing", 4);
    ASSERT_TRUE(mpeg::ParseFrameHeader(mono.data(), mono.size(), fh));
    EXPECT_TRUE(mpeg::ParseVbrHeader(mono.data(), mono.size(), fh, v));
    std::memset(&mono[21], 0, 4);
    std::memcpy(&mono[36], "VBRI", 4);
    putBe32(&mono[46], 99999);
    putBe32(&mono[50], 321);
    ASSERT_TRUE(mpeg::ParseVbrHeader(mono.data(), mono.size(), fh, v));
    EXPECT_EQ(v.frames, 321u);
    EXPECT_EQ(v.bytes, 99999u);
    // Layer II has none.
    auto l2 = frames(header(3, 2, 12, 0, false, 0), 1);
    std::memcpy(&l2[36], "Xing", 4);
    ASSERT_TRUE(mpeg::ParseFrameHeader(l2.data(), l2.size(), fh));
    EXPECT_FALSE(mpeg::ParseVbrHeader(l2.data(), l2.size(), fh, v));
}

TEST(MpegProbe, TagsFramesAndOtherFiles) {
    const auto h = header(3, 3, 9, 0, false, 1);
    auto probe = [](std::vector<uint8_t> head) {
        head.resize(4096, 0); // as the catalogue hands it over
        return mpeg::Probe(head.data(), head.size());
    };
    EXPECT_EQ(probe(frames(h, 3)), 6);
    EXPECT_EQ(probe(frames(h, 2)), 4); // the third would start inside the zero bytes
    EXPECT_EQ(probe(frames(h, 1)), 2);
    // After an ID3v2 tag and its padding.
    std::vector<uint8_t> tagged = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
    tagged.resize(30 + 7, 0);
    auto s = frames(h, 3);
    tagged.insert(tagged.end(), s.begin(), s.end());
    EXPECT_EQ(probe(tagged), 6);
    // A tag larger than the head.
    EXPECT_EQ(probe({'I', 'D', '3', 4, 0, 0, 0, 1, 0, 0}), 2);
    // Other files: frames further in are a guess at best; nothing at all is no MPEG audio.
    std::vector<uint8_t> riff = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    riff.insert(riff.end(), s.begin(), s.end());
    EXPECT_EQ(probe(riff), 2);
    EXPECT_EQ(probe({'f', 'L', 'a', 'C'}), 0);
    EXPECT_EQ(probe({}), 0); // nothing but zero bytes
    std::vector<uint8_t> text(4096, 'x');
    EXPECT_EQ(probe(text), 0);
}

TEST(Adts, HeadersBuiltAndParsed) {
    const struct {
        bool mpeg2;
        uint32_t objectType, rate, channelConfig, frameBytes;
    } cases[] = {
        {false, 2, 44100, 2, 371}, {true, 2, 48000, 1, 7},     {true, 1, 22050, 6, 8191},
        {false, 1, 7350, 7, 1000}, {false, 2, 96000, 3, 4096},
    };
    for (const auto& c : cases) {
        uint8_t b[adts::kHeaderBytes];
        const int index = adts::RateIndex(c.rate);
        ASSERT_GE(index, 0);
        adts::Build(b, c.mpeg2, c.objectType, static_cast<uint32_t>(index), c.channelConfig,
                    c.frameBytes);
        // The fixed bits, read independently: sync, layer 0, no CRC, the ID bit.
        EXPECT_EQ(b[0], 0xFF);
        EXPECT_EQ(b[1] & 0xF7, 0xF1);
        EXPECT_EQ((b[1] & 0x08) != 0, c.mpeg2);
        EXPECT_EQ(b[2] >> 6, c.objectType - 1);
        adts::Header h;
        if (c.frameBytes <= adts::kHeaderBytes) {
            EXPECT_FALSE(adts::Parse(b, sizeof b, h));
            continue;
        }
        ASSERT_TRUE(adts::Parse(b, sizeof b, h));
        EXPECT_EQ(h.mpeg2, c.mpeg2);
        EXPECT_EQ(h.objectType, c.objectType);
        EXPECT_EQ(h.sampleRate, c.rate);
        EXPECT_EQ(h.channelConfig, c.channelConfig);
        EXPECT_EQ(h.frameBytes, c.frameBytes);
        EXPECT_EQ(h.headerBytes, 7u);
        EXPECT_EQ(h.rawBlocks, 1u);
    }
    EXPECT_EQ(adts::RateIndex(44100), 4);
    EXPECT_EQ(adts::RateIndex(44000), -1);
    uint8_t reserved[7] = {0xFF, 0xF1, 0x3C, 0x80, 0x10, 0x1F, 0xFC}; // rate index 15
    adts::Header h;
    EXPECT_FALSE(adts::Parse(reserved, sizeof reserved, h));
    uint8_t mp3[7] = {0xFF, 0xFB, 0x90, 0x44, 0, 0, 0}; // layer bits not 0: MPEG audio
    EXPECT_FALSE(adts::Parse(mp3, sizeof mp3, h));

    auto probe = [](std::vector<uint8_t> head) {
        head.resize(4096, 0);
        return adts::Probe(head.data(), head.size());
    };
    EXPECT_EQ(probe({0xFF, 0xF1, 0x50, 0x80}), 4);
    EXPECT_EQ(probe({'A', 'D', 'I', 'F'}), 6);
    EXPECT_EQ(probe({'I', 'D', '3', 3, 0, 0, 0, 0, 0, 2, 0, 0, 'A', 'D', 'I', 'F'}), 6);
    EXPECT_EQ(probe({0xFF, 0xFB, 0x90, 0x44}), 2);
    EXPECT_EQ(probe({'R', 'I', 'F', 'F'}), 2);
}

// The walker hands out frames and the bytes between them, in order and without gaps, and
// finds the stream again after damage.
TEST(FrameWalker, FramesJunkAndCutFrames) {
    const auto h = header(3, 3, 9, 0, false, 1); // 417-byte frames
    std::vector<uint8_t> file = {'j', 'u', 'n', 'k'};
    auto s = frames(h, 700); // more than one read piece
    file.insert(file.end(), s.begin(), s.end());
    file.insert(file.end(), {0xFF, 0xFB, 0x12, 0x34, 0x56}); // a false sync in the middle
    file.insert(file.end(), s.begin(), s.begin() + 417 * 3);
    file.insert(file.end(), s.begin(), s.begin() + 100); // a frame cut off by the end
    size_t total = 0, framesSeen = 0, junk = 0;
    const kyError e = kyWalkFrames(
        [&](uint64_t offset, uint8_t* data, size_t size) -> long {
            const size_t n = std::min(size, file.size() - static_cast<size_t>(offset));
            std::memcpy(data, file.data() + offset, n);
            return static_cast<long>(n);
        },
        0, file.size(),
        [](const uint8_t* p, size_t avail, kyWalkedFrame& f) {
            mpeg::FrameHeader m;
            if (!mpeg::ParseFrameHeader(p, avail, m)) return false;
            f.bytes = m.frameBytes;
            f.samples = m.samplesPerFrame;
            return true;
        },
        [&](const uint8_t* data, uint32_t size, const kyWalkedFrame* f) {
            EXPECT_EQ(std::memcmp(data, file.data() + total, size), 0);
            total += size;
            if (f) {
                EXPECT_EQ(f->bytes, 417u);
                ++framesSeen;
            } else {
                junk += size;
            }
            return KY_OK;
        });
    ASSERT_EQ(e, KY_OK);
    EXPECT_EQ(total, file.size());
    EXPECT_EQ(framesSeen, 703u);
    EXPECT_EQ(junk, 4u + 5u + 100u);
}
