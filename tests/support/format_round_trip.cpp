#include "support/format_round_trip.h"
#include "core/g711.h"
#include "core/quantizer.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <algorithm>
#include <cmath>

namespace kytest {

kyError writeThroughCatalog(const std::string& path, int32_t formatIndex, const char* subformat,
                            std::vector<std::vector<float>> planes, uint32_t rate,
                            void (*prepare)(kySourceFilter2&)) {
    kyWriterFilter* w = nullptr;
    kyError err = kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), subformat, formatIndex);
    if (kyFailed(err)) return err;
    auto* src = new MemorySource(std::move(planes), rate, 1000);
    if (prepare) prepare(*src);
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

kyError readThroughCatalog(const std::string& path, std::vector<std::vector<float>>& out,
                           kyAudioFormat& format, std::string* subformat, int32_t formatIndex) {
    kyReaderFilter* r = nullptr;
    kyError err = kyFormatCatalog::Instance().OpenReader(r, path.c_str(), formatIndex);
    if (kyFailed(err)) return err;
    r->GetFormat(format);
    if (subformat) *subformat = r->GetPropertyUtf8(2) ? r->GetPropertyUtf8(2) : "";
    auto* sink = new CollectSink(format.channels);
    r->Connect(sink);
    err = sink->Run();
    out = sink->data;
    sink->DestroyChain();
    return err;
}

float storedValue(const std::string& sub, float x) {
    auto pcm = [&](uint32_t bits) {
        return static_cast<float>(kyRoundSample(x, bits) / std::ldexp(1.0, int(bits) - 1));
    };
    if (sub == "PCM 8-bit") return pcm(8);
    if (sub == "PCM 16-bit") return pcm(16);
    if (sub == "PCM 24-bit") return pcm(24);
    if (sub == "PCM 32-bit") return pcm(32);
    if (sub == "mu-Law") return kyMuLawToLinear(kyLinearToMuLaw(kyRoundSample(x, 16))) / 32768.0f;
    if (sub == "A-Law") return kyALawToLinear(kyLinearToALaw(kyRoundSample(x, 16))) / 32768.0f;
    return x; // float
}

double snrDb(const std::vector<float>& ref, const std::vector<float>& test, size_t skip) {
    double s = 0, n = 0;
    for (size_t i = skip; i < std::min(ref.size(), test.size()); ++i) {
        s += double(ref[i]) * ref[i];
        n += double(ref[i] - test[i]) * (ref[i] - test[i]);
    }
    return n == 0 ? 200.0 : 10 * std::log10(s / n);
}

std::string probeStream(const std::string& path, const char* entries) {
    return capture("ffprobe -v error -select_streams a:0 -show_entries stream=" +
                   std::string(entries) + " -of default=nw=1 " + shellQuote(path));
}

} // namespace kytest
