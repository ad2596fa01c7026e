// Our encoders against independent decoders (ffmpeg, sox), and our decoders against what
// those tools encode. Streams are wrapped in the container each tool reads.
#include "core/data_format.h"
#include "formats/codecs/g72x_adpcm.h"
#include "formats/codecs/gsm610.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/ms_adpcm.h"
#include "support/codec_test_files.h"
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace kytest;

namespace {

enum class Container { Wav, Caf, RawG726 };

// Equal sample runs, or where and how they first differ.
::testing::AssertionResult sameSamples(const std::vector<int16_t>& a,
                                       const std::vector<int16_t>& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "lengths " << a.size() << " and " << b.size();
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return ::testing::AssertionFailure() << "sample " << i << ": " << a[i] << " against "
                                                 << b[i] << " (of " << a.size() << ")";
    return ::testing::AssertionSuccess();
}

struct Codec {
    const char* name;
    std::function<std::unique_ptr<kySampleEncoder>()> encoder; // null: G.711
    std::function<std::unique_ptr<kySampleDecoder>()> decoder; // null: G.711
    const char* dataFormat;                                    // G.711 id, else null
    uint32_t bits, channels, rate;
    Container container;
    uint16_t wavTag;
    double minSnr;   // dB, of our encoding decoded by the tools
    bool soxReads;   // sox reads our stream (WAV, or .au for G.72x)
    int ffmpegMatch; // how ffmpeg's decoder compares with ours: kExact, kNear, kReport
    int soxMatch;    // the same for sox
};

constexpr int kExact = 0;  // the same samples
constexpr int kNear = 1;   // within kNearSnr
constexpr int kReport = 2; // only reported: ffmpeg's G.726 departs from the ITU coder

// The tools disagree with each other in the rounding of some codecs (IMA in WAV: ffmpeg
// rounds the step sum in one go; MS ADPCM: sox floors the prediction). Where a tool is
// not exact, ours must stay this close to it.
constexpr double kNearSnr = 30.0;

std::vector<uint8_t> msAdpcmExtra() {
    std::vector<uint8_t> e = {uint8_t(2036 & 0xFF), uint8_t(2036 >> 8), 7, 0};
    for (auto& c : kyMsAdpcmCoefficients)
        for (int16_t v : c) {
            e.push_back(uint8_t(v & 0xFF));
            e.push_back(uint8_t((v >> 8) & 0xFF));
        }
    return e;
}

const Codec kCodecs[] = {
    {"ima_wav_mono", [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Wav); },
     [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Wav); }, nullptr, 4, 1, 44100,
     Container::Wav, 0x11, 25.0, true, kNear, kExact},
    {"ima_wav_stereo", [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Wav); },
     [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Wav); }, nullptr, 4, 2, 44100,
     Container::Wav, 0x11, 25.0, true, kNear, kExact},
    {"ima4_caf_stereo", [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Ima4); },
     [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4); }, nullptr, 4, 2, 44100,
     Container::Caf, 0, 25.0, false, kExact, kNear},
    {"ms_adpcm_mono", [] { return std::make_unique<kyMsAdpcmEncoder>(); },
     [] { return std::make_unique<kyMsAdpcmDecoder>(); }, nullptr, 4, 1, 44100, Container::Wav, 2,
     25.0, true, kExact, kNear},
    {"ms_adpcm_stereo", [] { return std::make_unique<kyMsAdpcmEncoder>(); },
     [] { return std::make_unique<kyMsAdpcmDecoder>(); }, nullptr, 4, 2, 44100, Container::Wav, 2,
     25.0, true, kExact, kNear},
    {"gsm610", [] { return std::make_unique<kyGsm610Encoder>(); },
     [] { return std::make_unique<kyGsm610Decoder>(); }, nullptr, 0, 1, 8000, Container::Wav, 0x31,
     3.0, true, kExact, kExact},
    {"g723_24", [] { return std::make_unique<kyG72xEncoder>(); },
     [] { return std::make_unique<kyG72xDecoder>(); }, nullptr, 3, 1, 8000, Container::RawG726, 0,
     8.0, true, kReport, kExact},
    {"g721_32", [] { return std::make_unique<kyG72xEncoder>(); },
     [] { return std::make_unique<kyG72xDecoder>(); }, nullptr, 4, 1, 8000, Container::RawG726, 0,
     15.0, true, kReport, kExact},
    {"g723_40", [] { return std::make_unique<kyG72xEncoder>(); },
     [] { return std::make_unique<kyG72xDecoder>(); }, nullptr, 5, 1, 8000, Container::RawG726, 0,
     20.0, true, kReport, kExact},
    {"mulaw_stereo", nullptr, nullptr, "mu-Law", 8, 2, 44100, Container::Wav, 7, 30.0, true, kExact,
     kExact},
    {"alaw_stereo", nullptr, nullptr, "A-Law", 8, 2, 44100, Container::Wav, 6, 30.0, true, kExact,
     kExact},
};

// Our encoding of `pcm` (interleaved) as the codec's stream.
std::vector<uint8_t> encodeOurs(const Codec& c, const std::vector<int16_t>& pcm) {
    uint32_t frames = uint32_t(pcm.size() / c.channels);
    auto planes = toPlanes(pcm, c.channels);
    std::vector<float*> ptrs;
    for (auto& p : planes) ptrs.push_back(p.data());
    ptrs.push_back(nullptr);
    std::vector<uint8_t> out;
    if (!c.encoder) {
        out.resize(size_t(frames) * c.channels);
        EXPECT_EQ(PlanarToInterleaved(out.data(), ptrs.data(), nullptr, c.channels, 0, frames,
                                      c.dataFormat, false, false),
                  KY_OK);
        return out;
    }
    auto enc = c.encoder();
    EXPECT_EQ(enc->start(c.bits, c.channels), KY_OK);
    // Feed uneven pieces: blocks must not depend on how the writer slices its input.
    uint32_t done = 0, piece = 1;
    while (done < frames) {
        uint32_t n = std::min(piece, frames - done);
        EXPECT_EQ(enc->encode(ptrs.data(), done, n, out), KY_OK);
        done += n;
        piece = piece * 3 + 7;
    }
    EXPECT_EQ(enc->flush(out), KY_OK);
    return out;
}

// Our decoding of a stream to interleaved 16-bit samples, block by block.
std::vector<int16_t> decodeOurs(const Codec& c, const std::vector<uint8_t>& data, uint32_t channels,
                                uint32_t blockAlign) {
    std::vector<int16_t> out;
    if (!c.decoder) {
        size_t frames = data.size() / channels;
        std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
        std::vector<float*> ptrs;
        for (auto& p : planes) ptrs.push_back(p.data());
        std::vector<uint8_t> copy = data;
        EXPECT_EQ(InterleavedToPlanar(ptrs.data(), copy.data(), channels, 0, uint32_t(frames),
                                      c.dataFormat, false, false),
                  KY_OK);
        for (size_t i = 0; i < frames; ++i)
            for (uint32_t ch = 0; ch < channels; ++ch)
                out.push_back(int16_t(std::lrint(planes[ch][i] * 32768.0f)));
        return out;
    }
    auto dec = c.decoder();
    EXPECT_EQ(dec->start(c.bits, channels, blockAlign), KY_OK);
    size_t step = dec->bytesPerBlock();
    for (size_t pos = 0; pos < data.size(); pos += step) {
        size_t n = std::min(step, data.size() - pos);
        uint32_t room = dec->maxFrames(n);
        std::vector<std::vector<float>> planes(channels, std::vector<float>(room + 1));
        std::vector<float*> ptrs;
        for (auto& p : planes) ptrs.push_back(p.data());
        uint32_t got = 0;
        EXPECT_EQ(dec->decode(data.data() + pos, n, ptrs.data(), 0, &got), KY_OK);
        EXPECT_LE(got, room);
        for (uint32_t i = 0; i < got; ++i)
            for (uint32_t ch = 0; ch < channels; ++ch) {
                float v = planes[ch][i] * 32768.0f;
                EXPECT_EQ(v, std::floor(v)) << "not a 16-bit step";
                out.push_back(int16_t(v));
            }
    }
    return out;
}

void PrintTo(const Codec& c, std::ostream* os) {
    *os << c.name;
}

WavFormat wavFormatFor(const Codec& c, uint32_t channels) {
    WavFormat f;
    f.tag = c.wavTag;
    f.channels = uint16_t(channels);
    f.rate = c.rate;
    switch (c.wavTag) {
    case 0x11:
        f.blockAlign = uint16_t(512 * channels);
        f.bits = 4;
        f.bytesPerSecond = c.rate * channels * 4 / 8;
        f.extra = {uint8_t(1017 & 0xFF), uint8_t(1017 >> 8)};
        break;
    case 2:
        f.blockAlign = uint16_t(1024 * channels);
        f.bits = 4;
        f.bytesPerSecond = uint32_t(uint64_t(channels) * c.rate * 1024 / 2036);
        f.extra = msAdpcmExtra();
        break;
    case 0x31:
        f.blockAlign = 65;
        f.bits = 0;
        f.bytesPerSecond = 1625;
        f.extra = {uint8_t(320 & 0xFF), uint8_t(320 >> 8)};
        break;
    default: // G.711
        f.blockAlign = uint16_t(channels);
        f.bits = 8;
        f.bytesPerSecond = c.rate * channels;
        break;
    }
    return f;
}

std::string g726Args(uint32_t bits) {
    return "-f g726 -code_size " + std::to_string(bits) + " -sample_rate 8000";
}

class CodecInterop : public ::testing::TestWithParam<Codec> {};

// Signal long enough for many blocks and a partial last one.
std::vector<int16_t> signalFor(const Codec& c) {
    uint32_t frames = c.rate == 8000 ? 12345 : 45678;
    return testSignal(frames, c.channels, c.rate);
}

} // namespace

// Compares our decoding with a tool's: exact, or near where the tools round differently.
void expectMatches(const Codec& c, const std::vector<int16_t>& ours,
                   const std::vector<int16_t>& tool, int match, const char* what) {
    if (match == kExact) {
        EXPECT_TRUE(sameSamples(ours, tool)) << what;
        return;
    }
    double s = snrDb(tool, ours);
    std::printf("[ near     ] %-16s %s: ours against the tool %.1f dB\n", c.name, what, s);
    if (match == kNear) {
        EXPECT_GE(s, kNearSnr) << what;
    }
}

uint32_t auEncoding(uint32_t bits) {
    return bits == 3 ? 25 : bits == 5 ? 26 : 23;
}

TEST_P(CodecInterop, ToolsDecodeOurEncoding) {
    const Codec& c = GetParam();
    ScratchDir dir;
    std::vector<int16_t> pcm = signalFor(c);
    uint32_t frames = uint32_t(pcm.size() / c.channels);
    std::vector<uint8_t> stream = encodeOurs(c, pcm);
    std::vector<int16_t> ours = decodeOurs(c, stream, c.channels, 0);
    ASSERT_GE(ours.size(), pcm.size());
    ours.resize(pcm.size());
    double own = snrDb(pcm, ours);
    std::printf("[ snr      ] %-16s ours   %.1f dB\n", c.name, own);
    EXPECT_GE(own, c.minSnr);
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";

    std::string file, soxFile, args;
    switch (c.container) {
    case Container::Wav:
        file = soxFile = dir.path("ours.wav");
        ASSERT_TRUE(writeFile(file, makeWav(wavFormatFor(c, c.channels), stream,
                                            c.wavTag == 6 || c.wavTag == 7 ? 0 : frames)));
        break;
    case Container::Caf:
        file = dir.path("ours.caf");
        ASSERT_TRUE(writeFile(file, makeCafIma4(c.channels, c.rate, frames, stream)));
        break;
    case Container::RawG726:
        // ffmpeg reads the stream in WAV as the writer tags it (0x40 for G.721, 0x14 for
        // G.723); sox reads G.72x only from .au files, whose codes run least significant bit
        // first.
        {
            WavFormat f;
            f.tag = c.bits == 4 ? 0x40 : 0x14;
            f.rate = c.rate;
            f.bits = uint16_t(c.bits);
            f.blockAlign = uint16_t(c.bits * 16);
            f.bytesPerSecond = (c.rate * c.bits + 7) / 8;
            f.extra = {0, 0};
            file = dir.path("ours.wav");
            ASSERT_TRUE(writeFile(file, makeWav(f, stream, frames)));
        }
        soxFile = dir.path("ours.au");
        ASSERT_TRUE(writeFile(
            soxFile, makeAu(auEncoding(c.bits), c.rate, 1, repackLsbFirst(stream, c.bits))));
        break;
    }

    std::vector<int16_t> viaFfmpeg;
    ASSERT_TRUE(ffmpegDecode(file, args, c.channels, viaFfmpeg));
    ASSERT_GE(viaFfmpeg.size(), pcm.size());
    viaFfmpeg.resize(pcm.size());
    double snr = snrDb(pcm, viaFfmpeg);
    std::printf("[ snr      ] %-16s ffmpeg %.1f dB\n", c.name, snr);
    if (c.ffmpegMatch != kReport) {
        EXPECT_GE(snr, c.minSnr);
    }
    expectMatches(c, ours, viaFfmpeg, c.ffmpegMatch, "ffmpeg decoding our stream");

    if (c.soxReads && haveTool("sox")) {
        std::vector<int16_t> viaSox;
        ASSERT_TRUE(soxDecode(soxFile, viaSox));
        ASSERT_GE(viaSox.size(), pcm.size());
        viaSox.resize(pcm.size());
        double s = snrDb(pcm, viaSox);
        std::printf("[ snr      ] %-16s sox    %.1f dB\n", c.name, s);
        EXPECT_GE(s, c.minSnr);
        expectMatches(c, ours, viaSox, c.soxMatch, "sox decoding our stream");
    }
}

namespace {

// Encoder settings of the tools for one codec; empty when the tool does not make it.
std::string ffmpegEncodeArgs(const Codec& c) {
    switch (c.container) {
    case Container::Caf:
        return "-c:a adpcm_ima_qt -f caf";
    case Container::RawG726:
        return "-c:a g726 -b:a " + std::to_string(c.bits * 8) + "k -f g726";
    case Container::Wav:
        break;
    }
    switch (c.wavTag) {
    case 0x11:
        return "-c:a adpcm_ima_wav -f wav";
    case 2:
        return "-c:a adpcm_ms -f wav";
    case 0x31:
        return "-c:a libgsm_ms -f wav";
    case 7:
        return "-c:a pcm_mulaw -f wav";
    case 6:
        return "-c:a pcm_alaw -f wav";
    }
    return {};
}

std::string soxEncodeArgs(const Codec& c) {
    if (c.container != Container::Wav) return {};
    switch (c.wavTag) {
    case 0x11:
        return "-e ima-adpcm";
    case 2:
        return "-e ms-adpcm";
    case 0x31:
        return "-e gsm-full-rate";
    case 7:
        return "-e u-law";
    case 6:
        return "-e a-law";
    }
    return {};
}

// Reads a tool-made file and decodes its stream with our decoder.
std::vector<int16_t> decodeToolFile(const Codec& c, const std::string& file) {
    std::vector<uint8_t> bytes = readFile(file);
    std::vector<uint8_t> data;
    if (c.container == Container::RawG726) return decodeOurs(c, bytes, 1, 0);
    if (c.container == Container::Caf) {
        std::string id;
        uint32_t channels = 0;
        EXPECT_TRUE(parseCaf(bytes, id, channels, data));
        EXPECT_EQ(id, "ima4");
        EXPECT_EQ(channels, c.channels);
        return decodeOurs(c, data, channels, 0);
    }
    WavFormat f;
    EXPECT_TRUE(parseWav(bytes, f, data));
    EXPECT_EQ(f.tag, c.wavTag);
    EXPECT_EQ(f.channels, c.channels);
    return decodeOurs(c, data, f.channels, c.wavTag == 6 || c.wavTag == 7 ? 0 : f.blockAlign);
}

} // namespace

TEST_P(CodecInterop, OurDecoderReadsToolEncodings) {
    const Codec& c = GetParam();
    ScratchDir dir;
    std::vector<int16_t> pcm = signalFor(c);
    WavFormat pf;
    pf.channels = uint16_t(c.channels);
    pf.rate = c.rate;
    pf.bits = 16;
    pf.blockAlign = uint16_t(2 * c.channels);
    pf.bytesPerSecond = c.rate * pf.blockAlign;
    std::vector<uint8_t> raw(pcm.size() * 2);
    std::memcpy(raw.data(), pcm.data(), raw.size());
    std::string input = dir.path("input.wav");
    ASSERT_TRUE(writeFile(input, makeWav(pf, raw)));

    bool tried = false;
    if (haveTool("ffmpeg") && !ffmpegEncodeArgs(c).empty()) {
        tried = true;
        std::string file = dir.path("ffmpeg.enc");
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i " + shellQuote(input) + " " +
                        ffmpegEncodeArgs(c) + " " + shellQuote(file)));
        std::string args = c.container == Container::RawG726 ? g726Args(c.bits) : "";
        std::vector<int16_t> ref;
        ASSERT_TRUE(ffmpegDecode(file, args, c.channels, ref));
        std::vector<int16_t> ours = decodeToolFile(c, file);
        ASSERT_GE(ours.size(), ref.size()) << "ffmpeg-made stream";
        ours.resize(ref.size());
        expectMatches(c, ours, ref, c.ffmpegMatch, "ffmpeg-made stream");
    }
    if (haveTool("sox") && !soxEncodeArgs(c).empty()) {
        tried = true;
        std::string file = dir.path("sox.wav");
        ASSERT_TRUE(
            run("sox " + shellQuote(input) + " " + soxEncodeArgs(c) + " " + shellQuote(file)));
        std::vector<int16_t> ref;
        ASSERT_TRUE(soxDecode(file, ref));
        std::vector<int16_t> ours = decodeToolFile(c, file);
        ASSERT_GE(ours.size(), ref.size()) << "sox-made stream";
        ours.resize(ref.size());
        expectMatches(c, ours, ref, c.soxMatch, "sox-made stream");
    }
    if (!tried) GTEST_SKIP() << "no tool encodes " << c.name;
}

INSTANTIATE_TEST_SUITE_P(Codecs, CodecInterop, ::testing::ValuesIn(kCodecs),
                         [](const auto& info) { return std::string(info.param.name); });
