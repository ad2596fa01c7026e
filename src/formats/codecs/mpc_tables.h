#pragma once
// Tables of the Musepack SV8 bit stream: its canonical Huffman codes and the filter
// bank's window.
#include <cstddef>
#include <cstdint>

// One run of codes of one length, as decoders read them: the codes of `length` bits from
// `first` (left-justified in 16 bits) up to the previous run's first code stand for the
// symbols at index `offset` - code of the table's symbol list.
struct kyMpcCodeRange {
    uint16_t first;
    uint8_t length;
    int16_t offset;
};

struct kyMpcTable {
    const kyMpcCodeRange* ranges;
    size_t rangeCount;
    const int8_t* symbols;
    size_t symbolCount;
};

namespace kympc {
extern const int32_t kSynthesisWindow[512];
extern const kyMpcTable kScfi[2]; // one band's SCFI: one channel, both channels
extern const kyMpcTable kDscf;    // scale factor differences within a frame
extern const kyMpcTable kRes[2];  // resolution differences: after a low one, a high one
extern const kyMpcTable kQ2[2];   // 5-step samples in threes, by context
extern const kyMpcTable kQ3;      // 7-step samples in pairs
extern const kyMpcTable kQ4;      // 9-step samples in pairs
extern const kyMpcTable kQ5[2], kQ6[2], kQ7[2], kQ8[2]; // single samples, by context
extern const kyMpcTable kQ9up;                          // the top 8 bits of finer samples
} // namespace kympc
