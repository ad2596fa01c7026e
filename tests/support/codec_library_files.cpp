#include "support/codec_library_files.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace kytest {

std::vector<std::vector<float>> IntSignal::planes() const {
    const uint32_t n = frames();
    const double scale = std::ldexp(1.0, -int(bits - 1));
    std::vector<std::vector<float>> p(channels, std::vector<float>(n));
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            p[c][i] = static_cast<float>(samples[size_t(i) * channels + c] * scale);
    return p;
}

std::vector<uint8_t> IntSignal::bytes(uint32_t width) const {
    std::vector<uint8_t> out(samples.size() * width);
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint32_t v = static_cast<uint32_t>(samples[i]);
        for (uint32_t b = 0; b < width; ++b)
            out[i * width + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    return out;
}

IntSignal intSignal(uint32_t frames, uint32_t channels, uint32_t rate, uint32_t bits) {
    IntSignal s;
    s.bits = bits;
    s.channels = channels;
    s.rate = rate;
    const std::vector<int16_t> base = testSignal(frames, channels, rate);
    s.samples.resize(base.size());
    const int shift = int(bits) - 16;
    uint32_t lcg = 12345;
    for (size_t i = 0; i < base.size(); ++i) {
        int64_t v = base[i];
        if (shift > 0) {
            // Fill the low bits too, so that every bit of the width counts.
            lcg = lcg * 1664525u + 1013904223u;
            v = v * (int64_t(1) << shift) + int64_t(lcg >> (32 - shift));
        } else if (shift < 0) {
            v >>= -shift;
        }
        s.samples[i] = static_cast<int32_t>(v);
    }
    return s;
}

void setTagProperties(kyPropertyTable& p) {
    p.setUtf8(KYPROP_TITLE, "Caf\xC3\xA9 Nocturne");
    p.setUtf8(KYPROP_SUBTITLE, "Live take");
    p.setUtf8(KYPROP_ALBUM, "Night Pieces");
    p.setUtf8(KYPROP_TRACK_NUMBER, "7");
    p.setUtf8(KYPROP_ARTIST, "The Testers");
    p.setUtf8(7, "Ann Example");
    p.setUtf8(KYPROP_COPYRIGHT, "2024 Velmora");
    p.setUtf8(KYPROP_PUBLISHER, "Velmora Records");
    p.setUtf8(KYPROP_COMMENT, "Ripped for the tests");
    p.setUtf8(KYPROP_GENRE, "Ambient");
    p.setUtf8(KYPROP_YEAR, "2001");
    p.setUtf8(KYPROP_URL, "https://example.org/");
    p.setUtf8(KYPROP_ISRC, "GBAYE0000001");
    p.setUtf8(KYPROP_PEAK, "0.988831");
    p.setUtf8(KYPROP_TRACK_GAIN, "-6.50 dB");
    p.setUtf8(KYPROP_ALBUM_GAIN, "-5.25 dB");
}

int32_t writeAnnounced(const std::string& path, const char* displayName, const char* subformat,
                       const IntSignal& signal, uint32_t announced) {
    kyWriterFilter* w = nullptr;
    kyError err = kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), subformat,
                                                           catalogIndex(displayName, true));
    if (kyFailed(err)) return err;
    auto* src = new MemorySource(signal.planes(), signal.rate, 1000);
    src->setAnnouncedLength(announced);
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

int32_t writeSignal(const std::string& path, const char* displayName, const char* subformat,
                    const IntSignal& signal, const WriteOptions& options, bool* passthrough) {
    kyWriterFilter* w = nullptr;
    kyError err = kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), subformat,
                                                           catalogIndex(displayName, true));
    if (kyFailed(err)) return err;
    w->SetCompressionLevel(options.level);
    auto* src = new MemorySource(signal.planes(), signal.rate, 1000);
    if (options.interleaved)
        src->setInterleaved(options.rawId, signal.bytes(options.rawWidth),
                            options.rawWidth * signal.channels);
    if (options.withTags) setTagProperties(src->properties());
    for (const auto& [slot, text] : options.properties) src->properties().setUtf8(slot, text);
    src->Connect(w);
    err = w->Run();
    if (passthrough) *passthrough = w->passthrough();
    w->DestroyChain();
    return err;
}

int32_t readPlanes(const std::string& path, std::vector<std::vector<float>>& planes,
                   kyAudioFormat& format, kyPropertyTable* props, uint32_t startFrame) {
    kyReaderFilter* r = nullptr;
    kyError err = kyFormatCatalog::Instance().OpenReader(r, path.c_str(), -2);
    if (kyFailed(err)) return err;
    r->GetFormat(format);
    if (props)
        for (uint32_t slot = 0; slot < KY_SOURCE_PROPERTY_SLOTS; ++slot)
            if (const char* t = r->GetPropertyUtf8(slot)) props->setUtf8(slot, t);
    if (startFrame) r->Seek(startFrame);
    auto* sink = new CollectSink(format.channels);
    r->Connect(sink);
    err = sink->Run();
    planes = sink->data;
    sink->DestroyChain();
    return err;
}

std::vector<int32_t> planesToInts(const std::vector<std::vector<float>>& planes, uint32_t bits) {
    if (planes.empty()) return {};
    const size_t frames = planes[0].size();
    const double scale = std::ldexp(1.0, int(bits - 1));
    std::vector<int32_t> out(frames * planes.size());
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < planes.size(); ++c)
            out[i * planes.size() + c] = static_cast<int32_t>(std::lround(planes[c][i] * scale));
    return out;
}

bool wavInts(const std::string& path, uint32_t bits, std::vector<int32_t>& out, uint32_t* channels,
             uint32_t* rate) {
    WavFormat f;
    std::vector<uint8_t> data;
    if (!parseWav(readFile(path), f, data) || f.channels == 0 || f.blockAlign == 0) return false;
    const uint32_t width = f.blockAlign / f.channels;
    if (width == 0 || width > 4) return false;
    const uint32_t shift = width * 8 - bits;
    out.resize(data.size() / width);
    for (size_t i = 0; i < out.size(); ++i) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < width; ++b) v |= uint32_t(data[i * width + b]) << (8 * b);
        v <<= 32 - width * 8;
        int32_t s = static_cast<int32_t>(v) >> (32 - width * 8);
        if (width == 1) s = int32_t(data[i]) - 128; // 8-bit WAV is unsigned
        out[i] = s >> shift;
    }
    if (channels) *channels = f.channels;
    if (rate) *rate = f.rate;
    return true;
}

namespace {
const char* const kPython = "/usr/bin/python3";
} // namespace

bool haveMutagen() {
    return access(kPython, X_OK) == 0 &&
           run(std::string(kPython) + " -c 'import mutagen.apev2' 2>/dev/null");
}

std::string mutagenApeItems(const std::string& path) {
    return capture(std::string(kPython) +
                   " -c 'import sys, mutagen.apev2 as a\n"
                   "for k, v in a.APEv2(sys.argv[1]).items(): print(k + \"=\" + str(v))' " +
                   shellQuote(path));
}

} // namespace kytest
