// aiff_Reader and caf_Reader against damaged and unusual files, and against the files sox
// and ffmpeg write.
#include "core/quantizer.h"
#include "formats/aiff_common.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes u16(uint32_t v) {
    Bytes b(2);
    be::put16(b.data(), v);
    return b;
}
Bytes u32(uint32_t v) {
    Bytes b(4);
    be::put32(b.data(), v);
    return b;
}
Bytes u64(uint64_t v) {
    Bytes b(8);
    be::put64(b.data(), v);
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

// FORM files built chunk by chunk, sizes as given (so they can lie).
struct Form {
    Bytes bytes;
    explicit Form(const char* type = "AIFF") { bytes = cat({text("FORM"), u32(0), text(type)}); }
    Form& chunk(const char* id, const Bytes& body, int64_t size = -1) {
        bytes.insert(bytes.end(), id, id + 4);
        Bytes s = u32(size < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(size));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.insert(bytes.end(), body.begin(), body.end());
        if (size < 0 && (body.size() & 1)) bytes.push_back(0);
        return *this;
    }
    Form& fixSize() {
        be::put32(&bytes[4], static_cast<uint32_t>(bytes.size() - 8));
        return *this;
    }
};

Bytes extended(double v) {
    Bytes b(10);
    aiff::PutExtended(b.data(), v);
    return b;
}

Bytes comm(uint32_t channels, uint32_t frames, uint32_t bits, Bytes rate,
           const char* type = nullptr) {
    Bytes b = cat({u16(channels), u32(frames), u16(bits), rate});
    if (type) b = cat({b, text(type), Bytes{0, 0}}); // an empty name, padded
    return b;
}

// 16-bit samples, big-endian unless asked, after SSND's offset and block size.
Bytes ssnd(uint32_t samples, bool littleEndian = false, uint32_t offset = 0) {
    Bytes b = cat({u32(offset), u32(0), Bytes(offset, 0xEE)});
    for (uint32_t i = 0; i < samples; ++i) {
        const uint32_t v = (i * 97) & 0xFFFF;
        if (littleEndian) {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        } else {
            b.push_back(static_cast<uint8_t>(v >> 8));
            b.push_back(static_cast<uint8_t>(v));
        }
    }
    return b;
}

// CAF files built chunk by chunk.
struct Caf {
    Bytes bytes = cat({text("caff"), u16(1), u16(0)});
    Caf& chunk(const char* id, const Bytes& body, uint64_t size = ~uint64_t(0) - 1) {
        bytes.insert(bytes.end(), id, id + 4);
        Bytes s = u64(size == ~uint64_t(0) - 1 ? body.size() : size);
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.insert(bytes.end(), body.begin(), body.end());
        return *this;
    }
};

Bytes rate64(double r) {
    uint64_t bits;
    std::memcpy(&bits, &r, 8);
    return u64(bits);
}

Bytes desc(double rate, const char* id, uint32_t flags, uint32_t bytesPerPacket,
           uint32_t framesPerPacket, uint32_t channels, uint32_t bits) {
    return cat({rate64(rate), text(id), u32(flags), u32(bytesPerPacket), u32(framesPerPacket),
                u32(channels), u32(bits)});
}

// The edit count, then big-endian 16-bit samples.
Bytes cafData(uint32_t samples) {
    const Bytes s = ssnd(samples);
    return cat({u32(0), Bytes(s.begin() + 8, s.end())});
}

struct Result {
    kyError open = KY_OK;
    kyError run = KY_OK;
    uint32_t frames = 0; // delivered
    uint32_t length = 0; // announced
    uint32_t rate = 0;
    uint32_t mask = 0;
    std::string subformat;
    std::vector<std::vector<float>> samples;
};

Result readBytes(const Bytes& file, const char* name) {
    kytest::ScratchDir dir;
    std::string p = dir.path(name);
    EXPECT_TRUE(kytest::writeFile(p, file));
    Result res;
    kyReaderFilter* r = nullptr;
    res.open = kyFormatCatalog::Instance().OpenReader(r, p.c_str(), -2);
    if (kyFailed(res.open)) return res;
    kyAudioFormat fmt{};
    r->GetFormat(fmt);
    res.length = fmt.lengthFrames;
    res.rate = fmt.sampleRate;
    res.mask = fmt.channelMask;
    res.subformat = r->GetPropertyUtf8(2) ? r->GetPropertyUtf8(2) : "";
    auto* sink = new kytest::CollectSink(fmt.channels);
    r->Connect(sink);
    res.run = sink->Run();
    res.samples = sink->data;
    res.frames = sink->data.empty() ? 0 : static_cast<uint32_t>(sink->data[0].size());
    sink->DestroyChain();
    return res;
}

struct Case {
    const char* what;
    Bytes file;
    kyError open;
    kyError run;
    uint32_t frames;
};

void runCases(const std::vector<Case>& cases, const char* name) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = readBytes(c.file, name);
        EXPECT_EQ(r.open, c.open);
        if (kyFailed(c.open) || kyFailed(r.open)) continue;
        EXPECT_EQ(r.run, c.run);
        EXPECT_EQ(r.frames, c.frames);
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

} // namespace

TEST(AiffReader, DamagedAndUnusualFiles) {
    const Bytes rate = extended(8000);
    const Bytes nan = {0x7F, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 1};
    std::vector<Case> cases = {
        {"plain",
         Form().chunk("COMM", comm(1, 300, 16, rate)).chunk("SSND", ssnd(300)).fixSize().bytes,
         KY_OK, KY_OK, 300},
        {"SSND size past the end",
         Form().chunk("COMM", comm(1, 300, 16, rate)).chunk("SSND", ssnd(300), 1u << 30).bytes,
         KY_OK, KY_OK, 300},
        {"SSND size left at 0 by a streaming writer",
         Form().chunk("COMM", comm(1, 0, 16, rate)).chunk("SSND", ssnd(300), 0).bytes, KY_OK, KY_OK,
         300},
        {"frame count beyond the data",
         Form().chunk("COMM", comm(1, 1000000, 16, rate)).chunk("SSND", ssnd(300)).bytes, KY_OK,
         KY_OK, 300},
        {"frame count short of the data",
         Form().chunk("COMM", comm(1, 200, 16, rate)).chunk("SSND", ssnd(300)).bytes, KY_OK, KY_OK,
         200},
        {"data offset",
         Form().chunk("COMM", comm(1, 300, 16, rate)).chunk("SSND", ssnd(300, false, 6)).bytes,
         KY_OK, KY_OK, 300},
        {"data offset past the chunk",
         Form()
             .chunk("COMM", comm(1, 300, 16, rate))
             .chunk("SSND", cat({u32(0x7FFFFFF0), u32(0), ssnd(10)}))
             .bytes,
         KY_OK, KYERR_NO_AUDIO, 0},
        {"wrong FORM size",
         Form().chunk("COMM", comm(1, 300, 16, rate)).chunk("SSND", ssnd(300)).bytes, KY_OK, KY_OK,
         300},
        {"metadata size past the end",
         Form()
             .chunk("COMM", comm(1, 10, 16, rate))
             .chunk("SSND", ssnd(10))
             .chunk("NAME", {}, 0x7FFFFFF0)
             .bytes,
         KY_OK, KY_OK, 10},
        {"huge marker count",
         Form()
             .chunk("COMM", comm(1, 10, 16, rate))
             .chunk("MARK", {0xFF, 0xFF, 0, 1, 0, 0, 0, 5, 200})
             .chunk("INST", Bytes(20, 0x01))
             .chunk("SSND", ssnd(10))
             .bytes,
         KY_OK, KY_OK, 10},
        {"12-bit samples",
         Form().chunk("COMM", comm(2, 150, 12, rate)).chunk("SSND", ssnd(300)).bytes, KY_OK, KY_OK,
         150},
        {"rate 0", Form().chunk("COMM", comm(1, 10, 16, extended(0))).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate NaN", Form().chunk("COMM", comm(1, 10, 16, nan)).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate infinite",
         Form().chunk("COMM", comm(1, 10, 16, extended(kInf))).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate negative",
         Form().chunk("COMM", comm(1, 10, 16, extended(-44100))).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate beyond 32 bits",
         Form().chunk("COMM", comm(1, 10, 16, extended(1e12))).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no channels", Form().chunk("COMM", comm(0, 10, 16, rate)).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no sample size", Form().chunk("COMM", comm(1, 10, 0, rate)).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"40-bit samples",
         Form().chunk("COMM", comm(1, 10, 40, rate)).chunk("SSND", ssnd(10)).bytes,
         KYERR_DATA_FORMAT, KY_OK, 0},
        {"COMM too short", Form().chunk("COMM", Bytes(10, 0)).chunk("SSND", ssnd(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no COMM", Form().chunk("SSND", ssnd(10)).bytes, KYERR_CORRUPT, KY_OK, 0},
        {"no SSND", Form().chunk("COMM", comm(1, 10, 16, rate)).bytes, KY_OK, KYERR_NO_AUDIO, 0},
        {"not a FORM", Bytes(64, 0), KYERR_FILE_FORMAT, KY_OK, 0},
        {"FORM of another type", Form("WAVE").chunk("COMM", comm(1, 10, 16, rate)).bytes,
         KYERR_FILE_FORMAT, KY_OK, 0},
        {"shorter than a header", text("FORM"), KYERR_FILE_FORMAT, KY_OK, 0},
        {"AIFF-C little-endian",
         Form("AIFC")
             .chunk("COMM", comm(1, 300, 16, rate, "sowt"))
             .chunk("SSND", ssnd(300, true))
             .bytes,
         KY_OK, KY_OK, 300},
        {"AIFF-C COMM without its type",
         Form("AIFC").chunk("COMM", comm(1, 300, 16, rate)).chunk("SSND", ssnd(300)).bytes, KY_OK,
         KY_OK, 300},
        {"AIFF-C unknown type",
         Form("AIFC").chunk("COMM", comm(1, 10, 16, rate, "zz\x01z")).chunk("SSND", ssnd(10)).bytes,
         KYERR_COMPRESSION, KY_OK, 0},
        {"AIFF-C MACE",
         Form("AIFC").chunk("COMM", comm(1, 10, 8, rate, "MAC3")).chunk("SSND", ssnd(10)).bytes,
         KYERR_COMPRESSION, KY_OK, 0},
        {"ima4 with a partial last packet",
         Form("AIFC").chunk("COMM", comm(1, 0, 16, rate, "ima4")).chunk("SSND", ssnd(40)).bytes,
         KY_OK, KY_OK, 64},
        {"ima4 with more channels than the codec takes",
         Form("AIFC").chunk("COMM", comm(40, 1, 16, rate, "ima4")).chunk("SSND", ssnd(700)).bytes,
         KYERR_CHANNEL_FORMAT, KY_OK, 0},
    };
    runCases(cases, "t.aiff");

    // The samples themselves, in either byte order.
    Result be16 = readBytes(
        Form().chunk("COMM", comm(1, 300, 16, rate)).chunk("SSND", ssnd(300)).fixSize().bytes,
        "b.aiff");
    Result le16 = readBytes(Form("AIFC")
                                .chunk("COMM", comm(1, 300, 16, rate, "sowt"))
                                .chunk("SSND", ssnd(300, true))
                                .bytes,
                            "l.aifc");
    ASSERT_EQ(be16.frames, 300u);
    EXPECT_EQ(be16.samples, le16.samples);
    EXPECT_EQ(be16.samples[0][3], static_cast<int16_t>((3 * 97) & 0xFFFF) / 32768.0f);
    EXPECT_EQ(le16.subformat, "PCM 16-bit");
    EXPECT_EQ(readBytes(Form().chunk("COMM", comm(2, 150, 12, rate)).chunk("SSND", ssnd(300)).bytes,
                        "t.aiff")
                  .subformat,
              "PCM 12-bit (16)");
}

TEST(CafReader, DamagedAndUnusualFiles) {
    const Bytes pcm = desc(8000, "lpcm", 0, 2, 1, 1, 16);
    std::vector<Case> cases = {
        {"plain", Caf().chunk("desc", pcm).chunk("data", cafData(300)).bytes, KY_OK, KY_OK, 300},
        {"data left open-ended",
         Caf().chunk("desc", pcm).chunk("data", cafData(300), ~uint64_t(0)).bytes, KY_OK, KY_OK,
         300},
        {"data size past the end",
         Caf().chunk("desc", pcm).chunk("data", cafData(300), uint64_t(1) << 40).bytes, KY_OK,
         KY_OK, 300},
        {"data without its edit count", Caf().chunk("desc", pcm).chunk("data", {0, 0}).bytes, KY_OK,
         KYERR_NO_AUDIO, 0},
        {"no data", Caf().chunk("desc", pcm).bytes, KY_OK, KYERR_NO_AUDIO, 0},
        {"metadata size past the end",
         Caf().chunk("desc", pcm).chunk("info", {0, 0, 0, 9}, uint64_t(1) << 62).bytes, KY_OK,
         KYERR_NO_AUDIO, 0},
        {"huge info count",
         Caf()
             .chunk("desc", pcm)
             .chunk("info", cat({u32(0xFFFFFFFF), text("title"), Bytes{0}, text("x")}))
             .chunk("data", cafData(10))
             .bytes,
         KY_OK, KY_OK, 10},
        {"no desc", Caf().chunk("data", cafData(10)).bytes, KYERR_CORRUPT, KY_OK, 0},
        {"desc too short", Caf().chunk("desc", Bytes(pcm.begin(), pcm.begin() + 20)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate 0",
         Caf().chunk("desc", desc(0, "lpcm", 0, 2, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate NaN",
         Caf().chunk("desc", desc(kNaN, "lpcm", 0, 2, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate infinite",
         Caf().chunk("desc", desc(kInf, "lpcm", 0, 2, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"rate negative",
         Caf().chunk("desc", desc(-8000, "lpcm", 0, 2, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no channels",
         Caf().chunk("desc", desc(8000, "lpcm", 0, 2, 1, 0, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"channels beyond reason",
         Caf()
             .chunk("desc", desc(8000, "lpcm", 0, 140000, 1, 70000, 16))
             .chunk("data", cafData(10))
             .bytes,
         KYERR_CHANNEL_FORMAT, KY_OK, 0},
        {"no bytes per packet",
         Caf().chunk("desc", desc(8000, "lpcm", 0, 0, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"packet not a whole number of samples",
         Caf().chunk("desc", desc(8000, "lpcm", 0, 3, 1, 2, 8)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"mu-law packet size at odds with the samples",
         Caf().chunk("desc", desc(8000, "ulaw", 0, 2, 1, 1, 8)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"16 bits in 32",
         Caf().chunk("desc", desc(8000, "lpcm", 0, 4, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_DATA_FORMAT, KY_OK, 0},
        {"two frames per PCM packet",
         Caf().chunk("desc", desc(8000, "lpcm", 0, 2, 2, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no bits",
         Caf().chunk("desc", desc(8000, "lpcm", 0, 2, 1, 1, 0)).chunk("data", cafData(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"24-bit float",
         Caf().chunk("desc", desc(8000, "lpcm", 1, 3, 1, 1, 24)).chunk("data", cafData(10)).bytes,
         KYERR_DATA_FORMAT, KY_OK, 0},
        {"24 bits in 32",
         Caf().chunk("desc", desc(8000, "lpcm", 2, 4, 1, 1, 24)).chunk("data", cafData(10)).bytes,
         KY_OK, KY_OK, 5},
        {"ima4 with a wrong packet size",
         Caf().chunk("desc", desc(8000, "ima4", 0, 30, 64, 1, 0)).chunk("data", cafData(100)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"ima4 with more channels than the codec takes",
         Caf()
             .chunk("desc", desc(8000, "ima4", 0, 34 * 40, 64, 40, 0))
             .chunk("data", cafData(1000))
             .bytes,
         KYERR_CHANNEL_FORMAT, KY_OK, 0},
        {"ima4 valid frames beyond the packets",
         Caf()
             .chunk("desc", desc(8000, "ima4", 0, 34, 64, 1, 0))
             .chunk("pakt", cat({u64(2), u64(1000000), u32(0), u32(0)}))
             .chunk("data", Bytes(4 + 68, 0))
             .bytes,
         KY_OK, KY_OK, 128},
        {"ima4 priming beyond the packets",
         Caf()
             .chunk("desc", desc(8000, "ima4", 0, 34, 64, 1, 0))
             .chunk("pakt", cat({u64(2), u64(0), u32(0xFFFFFFFF), u32(0)}))
             .chunk("data", cafData(34))
             .bytes,
         KY_OK, KYERR_NO_AUDIO, 0},
        {"version 2", cat({text("caff"), u16(2), u16(0), Caf().chunk("desc", pcm).bytes}),
         KYERR_CORRUPT, KY_OK, 0},
        {"unknown format",
         Caf().chunk("desc", desc(8000, "zzzz", 0, 2, 1, 1, 16)).chunk("data", cafData(10)).bytes,
         KYERR_COMPRESSION, KY_OK, 0},
        {"AAC",
         Caf()
             .chunk("desc", desc(44100, "aac ", 0, 0, 1024, 2, 0))
             .chunk("data", cafData(10))
             .bytes,
         KYERR_COMPRESSION, KY_OK, 0},
        {"not CAF", Bytes(64, 0), KYERR_FILE_FORMAT, KY_OK, 0},
    };
    runCases(cases, "t.caf");
}

TEST(CafReader, PacketTableAndChannelLayouts) {
    // Priming frames at the start and unused frames at the end are left out.
    kytest::ScratchDir dir;
    auto in = kytest::sinePlanes(1, 640, 8000, 0.4f);
    std::string p = dir.path("full.caf");
    ASSERT_EQ(kytest::writeThroughCatalog(
                  p, kytest::catalogIndex("Apple CoreAudio format (big-endian)", true),
                  "IMA ADPCM 4-bit", in, 8000),
              KY_OK);
    Result full = readBytes(kytest::readFile(p), "full.caf");
    ASSERT_EQ(full.frames, 640u);
    std::string fmt;
    uint32_t channels = 0;
    Bytes packets;
    ASSERT_TRUE(kytest::parseCaf(kytest::readFile(p), fmt, channels, packets));
    Bytes trimmed = Caf()
                        .chunk("desc", desc(8000, "ima4", 0, 34, 64, 1, 0))
                        .chunk("pakt", cat({u64(10), u64(600), u32(30), u32(10)}))
                        .chunk("data", cat({u32(0), packets}))
                        .bytes;
    Result t = readBytes(trimmed, "t.caf");
    ASSERT_EQ(t.frames, 600u);
    EXPECT_EQ(t.samples[0],
              std::vector<float>(full.samples[0].begin() + 30, full.samples[0].begin() + 630));

    struct Layout {
        const char* what;
        uint32_t channels;
        Bytes chan;
        uint32_t mask;
    } layouts[] = {
        {"bitmap", 4, cat({u32(0x10000), u32(0x33), u32(0)}), 0x33},
        {"bitmap of other channels", 4, cat({u32(0x10000), u32(0x7), u32(0)}), 0},
        {"5.1 tag", 6, cat({u32((121u << 16) | 6), u32(0), u32(0)}), 0x3F},
        {"descriptions", 3,
         cat({u32(0), u32(0), u32(3), u32(1), Bytes(16, 0), u32(2), Bytes(16, 0), u32(4),
              Bytes(16, 0)}),
         0xB},
        {"descriptions out of order", 2,
         cat({u32(0), u32(0), u32(2), u32(2), Bytes(16, 0), u32(1), Bytes(16, 0)}), 0},
        {"descriptions cut short", 3, cat({u32(0), u32(0), u32(3), u32(1), Bytes(16, 0)}), 0},
        {"unknown tag", 2, cat({u32((147u << 16) | 2), u32(0), u32(0)}), 0},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.what);
        Bytes f = Caf()
                      .chunk("desc", desc(8000, "lpcm", 0, 2 * l.channels, 1, l.channels, 16))
                      .chunk("chan", l.chan)
                      .chunk("data", cafData(10 * l.channels))
                      .bytes;
        Result r = readBytes(f, "c.caf");
        ASSERT_EQ(r.open, KY_OK);
        // No layout leaves the default mask of the channel count.
        EXPECT_EQ(r.mask, l.mask ? l.mask : kyDefaultChannelMask(l.channels));
    }
}

struct ToolFile {
    const char* name;
    const char* command; // {in} and {out} are replaced
    const char* subformat;
    bool ima;
};

const ToolFile kToolFiles[] = {
    {"sox.aiff", "sox {in} {out}", "PCM 16-bit", false},
    {"sox24.aiff", "sox {in} -b 24 {out}", "PCM 24-bit", false},
    {"sox8.aiff", "sox {in} -b 8 {out}", "PCM 8-bit", false},
    {"sox.aifc", "sox {in} {out}", "PCM 16-bit", false},
    {"sox.caf", "sox {in} {out}", "PCM 16-bit", false},
    {"soxulaw.caf", "sox {in} -e u-law {out}", "mu-Law", false},
    {"soxfloat.caf", "sox {in} -e floating-point -b 32 {out}", "Float 32-bit", false},
    {"ff.aiff", "ffmpeg -v error -i {in} -y {out}", "PCM 16-bit", false},
    {"ff24.aiff", "ffmpeg -v error -i {in} -c:a pcm_s24be -y {out}", "PCM 24-bit", false},
    {"ffsowt.aifc", "ffmpeg -v error -i {in} -c:a pcm_s16le -y {out}", "PCM 16-bit", false},
    {"fff32.aifc", "ffmpeg -v error -i {in} -c:a pcm_f32be -y {out}", "Float 32-bit", false},
    {"fff64.aifc", "ffmpeg -v error -i {in} -c:a pcm_f64be -y {out}", "Float 64-bit", false},
    {"ffulaw.aifc", "ffmpeg -v error -i {in} -c:a pcm_mulaw -y {out}", "mu-Law", false},
    {"ffalaw.aifc", "ffmpeg -v error -i {in} -c:a pcm_alaw -y {out}", "A-Law", false},
    {"ffima4.aifc", "ffmpeg -v error -i {in} -c:a adpcm_ima_qt -y {out}", "IMA ADPCM 4-bit", true},
    {"ff.caf", "ffmpeg -v error -i {in} -y {out}", "PCM 16-bit", false},
    {"ffbe24.caf", "ffmpeg -v error -i {in} -c:a pcm_s24be -y {out}", "PCM 24-bit", false},
    {"fff32.caf", "ffmpeg -v error -i {in} -c:a pcm_f32le -y {out}", "Float 32-bit", false},
    {"ffalaw.caf", "ffmpeg -v error -i {in} -c:a pcm_alaw -y {out}", "A-Law", false},
    {"ffima4.caf", "ffmpeg -v error -i {in} -c:a adpcm_ima_qt -y {out}", "IMA ADPCM 4-bit", true},
    {"ff51.caf",
     "ffmpeg -v error -i {in} -af \"pan=5.1|c0=c0|c1=c1|c2=c0|c3=c1|c4=c0|c5=c1\" -y {out}",
     "PCM 16-bit", false},
};

// Files sox and ffmpeg wrote, one test per tool and container so that they run side by
// side: the name prefix of the files it takes and their extension.
class FilesOtherToolsWrote : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
};

TEST_P(FilesOtherToolsWrote, ReadAsTheToolsDecodeThem) {
    if (!kytest::haveTool("ffmpeg") || !kytest::haveTool("sox"))
        GTEST_SKIP() << "ffmpeg and sox are needed";
    kytest::ScratchDir dir;
    // One source for every tool: a stereo 16-bit WAV of music-like test signal.
    const uint32_t frames = 4000;
    const std::string src = dir.path("src.wav");
    ASSERT_EQ(kytest::writeThroughCatalog(
                  src, kytest::catalogIndex("Microsoft wave format", true), "PCM 16-bit",
                  kytest::toPlanes(kytest::testSignal(frames, 2, 44100), 2), 44100),
              KY_OK);
    const std::string prefix = GetParam().first, extension = GetParam().second;
    for (const ToolFile& c : kToolFiles) {
        const std::string name = c.name;
        if (name.rfind(prefix, 0) != 0 || name.find(extension) == std::string::npos) continue;
        SCOPED_TRACE(c.name);
        const std::string out = dir.path(c.name);
        std::string cmd = c.command;
        cmd.replace(cmd.find("{in}"), 4, kytest::shellQuote(src));
        cmd.replace(cmd.find("{out}"), 5, kytest::shellQuote(out));
        ASSERT_TRUE(kytest::run(cmd)) << cmd;
        std::vector<std::vector<float>> ours;
        kyAudioFormat fmt{};
        std::string sub;
        ASSERT_EQ(kytest::readThroughCatalog(out, ours, fmt, &sub), KY_OK);
        EXPECT_EQ(sub, c.subformat);
        EXPECT_EQ(fmt.sampleRate, 44100u);
        // ffmpeg's decode of the same file is the reference.
        std::vector<int16_t> ff;
        ASSERT_TRUE(kytest::ffmpegDecode(out, "", fmt.channels, ff));
        ASSERT_EQ(ours.size(), fmt.channels);
        ASSERT_EQ(size_t(fmt.lengthFrames) * fmt.channels, ff.size());
        int worst = 0;
        for (uint32_t k = 0; k < fmt.channels; ++k)
            for (uint32_t i = 0; i < fmt.lengthFrames; ++i)
                worst = std::max(worst, std::abs(kyRoundSample(ours[k][i], 16) -
                                                 ff[size_t(i) * fmt.channels + k]));
        // PCM, float and G.711 to the last 16-bit step; "ima4" decoders agree exactly too.
        EXPECT_LE(worst, c.ima ? 0 : 1);
        if (std::string(c.name) == "ff51.caf") {
            EXPECT_EQ(fmt.channels, 6u);
            EXPECT_EQ(fmt.channelMask, 0x3Fu);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AiffCafReaders, FilesOtherToolsWrote,
    ::testing::Values(std::make_pair("sox", ".aif"), std::make_pair("sox", ".caf"),
                      std::make_pair("ff", ".aif"), std::make_pair("ff", ".caf")),
    [](const auto& i) { return std::string(i.param.first) + (i.param.second + 1); });

TEST(AiffReader, TakesTheId3TagOtherRippersWrite) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    kytest::ScratchDir dir;
    const std::string p = dir.path("tagged.aiff");
    ASSERT_TRUE(kytest::run("ffmpeg -v error -f lavfi -i sine=duration=0.1:sample_rate=44100 "
                            "-write_id3v2 1 -metadata title='Harbour Lights' -metadata "
                            "artist='The Velmora Ensemble' -metadata album='Demo' -y " +
                            kytest::shellQuote(p)));
    kyReaderFilter* r = nullptr;
    ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyUtf8(3), "Harbour Lights");
    EXPECT_STREQ(r->GetPropertyUtf8(5), "The Velmora Ensemble");
    EXPECT_STREQ(r->GetPropertyUtf8(11), "Demo");
    delete r;
}
