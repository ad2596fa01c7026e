#include "support/round_trip.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "support/chain_helpers.h"
#include <algorithm>
#include <cmath>

namespace kytest {

PlanesBack readPlanes(const std::string& path, uint32_t seek, int32_t index) {
    PlanesBack r;
    kyReaderFilter* reader = nullptr;
    r.open = kyFormatCatalog::Instance().OpenReader(reader, path.c_str(), index);
    if (kyFailed(r.open)) return r;
    reader->GetFormat(r.fmt);
    if (const char* s = reader->GetPropertyUtf8(2)) r.subformat = s;
    if (const char* s = reader->GetPropertyUtf8(1)) r.entry = s;
    for (uint32_t s = 3; s < r.props.size(); ++s)
        if (const char* t = reader->GetPropertyUtf8(s)) r.props.setUtf8(s, t);
    auto* sink = new CollectSink(r.fmt.channels);
    reader->Connect(sink);
    if (seek) reader->Seek(seek);
    r.run = sink->Run();
    r.planes = sink->data;
    sink->DestroyChain();
    return r;
}

kyError readWhole(const std::string& path, std::vector<std::vector<float>>& out, kyAudioFormat& fmt,
                  std::string* subformat, kyPropertyTable* props) {
    PlanesBack r = readPlanes(path);
    fmt = r.fmt;
    out = std::move(r.planes);
    if (subformat) *subformat = r.subformat;
    if (props)
        for (uint32_t s = 3; s < props->size(); ++s)
            if (const char* t = r.props.getUtf8(s)) props->setUtf8(s, t);
    return kyFailed(r.open) ? r.open : r.run;
}

WavFormat pcmWavFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
    WavFormat f;
    f.channels = channels;
    f.rate = rate;
    f.bits = bits;
    f.blockAlign = static_cast<uint16_t>(channels * ((bits + 7) / 8));
    f.bytesPerSecond = rate * f.blockAlign;
    return f;
}

} // namespace kytest
