// Feeds arbitrary bytes to the dBAR record parser, and checks that a record it accepts is
// written back byte for byte and that judging a track against it stays in bounds.
#include "metadata/accuraterip_client.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<kyAccurateRipPressing> pressings;
    std::string error;
    if (!kyParseDbar(bytes, pressings, error)) {
        check(!error.empty());
        return 0;
    }
    check(!pressings.empty());
    check(kyMakeDbar(pressings) == bytes);
    kyAccurateRipRecord record;
    record.state = kyAccurateRipResult::Match;
    record.pressings = pressings;
    record.ids = pressings.front().ids;
    kyAccurateRipSums sums;
    sums.complete = true;
    sums.v1 = pressings.front().tracks.front().crc;
    for (uint32_t position = 0; position <= 100; ++position) {
        const kyAccurateRipTrackVerdict v = record.verdict(position, sums);
        check(v.result == kyAccurateRipResult::Match || v.result == kyAccurateRipResult::Mismatch);
        check(v.confidence.has_value() == (v.result == kyAccurateRipResult::Match));
    }
    check(record.verdict(1, sums).result == kyAccurateRipResult::Match);
    return 0;
}
