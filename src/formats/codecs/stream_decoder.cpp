#include "formats/codecs/stream_decoder.h"
#include <algorithm>

void kyStreamDecoder::spread(const float* in, uint32_t from, uint32_t frames,
                             float* const* planes) const {
    if (from == 0) return;
    for (uint32_t c = 0; c < m_channels; ++c) {
        float* d = planes[c];
        const uint32_t sc = std::min(c, from - 1);
        for (uint32_t i = 0; i < frames; ++i) d[i] = in[size_t(i) * from + sc];
    }
}
