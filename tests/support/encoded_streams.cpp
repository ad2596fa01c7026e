#include "support/encoded_streams.h"
#include "core/manager.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kytest {

kyError encodeFile(const std::string& entry, const std::string& subformat,
                   const std::vector<int16_t>& signal, uint32_t channels, uint32_t rate,
                   const std::string& path, const Properties& props, const kyTagOptions* tags) {
    const int32_t index = catalogIndex(entry.c_str(), true);
    if (index < 0) return KYERR_FILE_FORMAT;
    kyWriterFilter* writer = nullptr;
    kyError e =
        kyFormatCatalog::Instance().CreateWriter(writer, path.c_str(), subformat.c_str(), index);
    if (kyFailed(e)) return e;
    if (tags) writer->SetTagOptions(*tags);
    auto* source = new MemorySource(toPlanes(signal, channels), rate, 4096);
    for (const auto& [slot, text] : props) source->properties().setUtf8(slot, text);
    source->Connect(writer);
    e = writer->Run();
    writer->DestroyChain();
    return e;
}

ReadBack readBack(const std::string& path, uint32_t seekTo) {
    ReadBack r;
    kyReaderFilter* reader = nullptr;
    r.result = kyFormatCatalog::Instance().OpenReader(reader, path.c_str(), -2);
    if (kyFailed(r.result)) return r;
    reader->GetFormat(r.format);
    if (const char* t = reader->GetPropertyUtf8(1)) r.formatName = t;
    if (const char* t = reader->GetPropertyUtf8(2)) r.subformat = t;
    for (uint32_t slot = 0; slot < r.properties.size(); ++slot)
        if (const char* t = reader->GetPropertyUtf8(slot)) r.properties.setUtf8(slot, t);
    auto* sink = new CollectSink(r.format.channels);
    reader->Connect(sink);
    if (seekTo) reader->Seek(seekTo);
    r.result = sink->Run();
    const size_t frames = sink->data.empty() ? 0 : sink->data[0].size();
    r.samples.resize(frames * r.format.channels);
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < r.format.channels; ++c)
            r.samples[i * r.format.channels + c] = static_cast<int16_t>(
                std::clamp(std::lround(sink->data[c][i] * 32768.0f), -32768L, 32767L));
    sink->DestroyChain();
    return r;
}

bool decodeRaw(const std::string& command, const std::string& raw, std::vector<int16_t>& out) {
    if (!run(command)) return false;
    const std::vector<uint8_t> bytes = readFile(raw);
    out.resize(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    std::remove(raw.c_str());
    return true;
}

double alignedSnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                    uint32_t channels, uint32_t maxLag, uint32_t* lagOut) {
    // The lag is found on the first channel over a stretch after the start.
    const size_t refFrames = ref.size() / channels, testFrames = test.size() / channels;
    const size_t from = std::min<size_t>(refFrames / 4, 8192), window = 8192;
    double best = -1e300;
    uint32_t bestLag = 0;
    for (uint32_t lag = 0; lag <= maxLag; ++lag) {
        if (from + window + lag > testFrames || from + window > refFrames) break;
        double dot = 0, energy = 0;
        for (size_t i = from; i < from + window; ++i) {
            const double a = ref[i * channels], b = test[(i + lag) * channels];
            dot += a * b;
            energy += b * b;
        }
        const double score = energy > 0 ? dot / std::sqrt(energy) : -1e300;
        if (score > best) {
            best = score;
            bestLag = lag;
        }
    }
    if (lagOut) *lagOut = bestLag;
    const size_t shifted =
        test.size() > size_t(bestLag) * channels ? test.size() - size_t(bestLag) * channels : 0;
    std::vector<int16_t> t(test.begin() + static_cast<ptrdiff_t>(test.size() - shifted),
                           test.end());
    // The first and last tenth of a second hold the codecs' start and end effects.
    const size_t edge = size_t(4410) * channels;
    std::vector<int16_t> r(ref.begin(), ref.end());
    const size_t n = std::min(r.size(), t.size());
    if (n <= 2 * edge) return snrDb(r, t);
    r.resize(n - edge);
    t.resize(n - edge);
    return snrDb(r, t, edge);
}

std::string probeStream(const std::string& file, const std::string& entry) {
    std::string out = capture("ffprobe -v error -select_streams a:0 -show_entries stream=" + entry +
                              " -of default=nw=1:nk=1 " + shellQuote(file));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

std::string mutagenPython() {
    for (const char* p : {"/usr/bin/python3", "python3"})
        if (run(std::string(p) + " -c 'import mutagen' 2>/dev/null")) return p;
    return {};
}

} // namespace kytest
