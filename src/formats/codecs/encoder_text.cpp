#include "formats/codecs/encoder_text.h"
#include <charconv>

uint32_t kyNumberAt(const std::string& text, size_t at, uint32_t fallback) {
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size()) return fallback;
    uint32_t value = 0;
    const char* begin = text.data() + at;
    const auto r = std::from_chars(begin, text.data() + text.size(), value);
    return r.ec == std::errc() ? value : fallback;
}

uint32_t kyNumberAfter(const std::string& text, const std::string& prefix, uint32_t fallback) {
    if (text.compare(0, prefix.size(), prefix) != 0) return fallback;
    return kyNumberAt(text, prefix.size(), fallback);
}

uint32_t kyRaiseToTable(std::span<const uint32_t> table, uint32_t value) {
    for (uint32_t v : table)
        if (v >= value) return v;
    return table.empty() ? value : table.back();
}

uint32_t kyLastRateNotAbove(std::span<const uint32_t> rates, uint32_t value) {
    uint32_t best = rates.empty() ? value : rates.front();
    for (uint32_t v : rates)
        if (v <= value) best = v;
    return best;
}
