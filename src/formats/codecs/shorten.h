#pragma once
// The Shorten lossless format (Tony Robinson's "ajkg" streams, version 2): an MSB-first
// bit stream of Rice codes. After a header (file type, channels, block size, predictor
// order limit, mean count) come commands: a verbatim section (the original file's header,
// a RIFF/WAVE one for our files), then per block and channel one of the fixed polynomial
// predictors of order 0 to 3 (order 0 against the running mean of the last blocks) with
// its Rice-coded residuals, a block-size change for a short last block, and the quit
// command. The decoder also reads what other encoders write: the quantized LPC predictor,
// bit shifts, zero blocks and verbatim sections anywhere.
#include "core/error.h"
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// File types of the header.
constexpr uint32_t KY_SHN_TYPE_S8 = 1;
constexpr uint32_t KY_SHN_TYPE_U8 = 2;
constexpr uint32_t KY_SHN_TYPE_S16HL = 3; // big-endian
constexpr uint32_t KY_SHN_TYPE_U16HL = 4;
constexpr uint32_t KY_SHN_TYPE_S16LH = 5; // little-endian, as in WAV files
constexpr uint32_t KY_SHN_TYPE_U16LH = 6;

// Commands.
enum kyShnCommand : uint32_t {
    KY_SHN_DIFF0 = 0,
    KY_SHN_DIFF1 = 1,
    KY_SHN_DIFF2 = 2,
    KY_SHN_DIFF3 = 3,
    KY_SHN_QUIT = 4,
    KY_SHN_BLOCKSIZE = 5,
    KY_SHN_BITSHIFT = 6,
    KY_SHN_QLPC = 7,
    KY_SHN_ZERO = 8,
    KY_SHN_VERBATIM = 9,
};

// The running mean and the last samples of one channel, kept alike by encoder and
// decoder.
struct kyShnChannel {
    std::vector<int32_t> means;   // the means of the last blocks, oldest first
    std::vector<int32_t> history; // the last samples of the previous block, oldest first
};

// A canonical 44-byte RIFF/WAVE header for PCM of this shape; `dataBytes` of samples.
std::vector<uint8_t> kyShnWaveHeader(uint32_t channels, uint32_t rate, uint32_t bits,
                                     uint64_t dataBytes);

class kyShortenEncoder {
public:
    // `type` KY_SHN_TYPE_U8 or KY_SHN_TYPE_S16LH; `header` goes into the verbatim section
    // at the start. Writes the stream's header into the output.
    kyError start(uint32_t type, uint32_t channels, const std::vector<uint8_t>& header);
    // Interleaved samples: signed 8-bit values for U8 (stored offset by 128), 16-bit for
    // S16LH.
    void encode(const int32_t* samples, uint32_t frames);
    // Codes the last (short) block and the quit command, and pads to a whole byte.
    void finish();

    // Bytes coded so far and not yet taken.
    std::vector<uint8_t>& output() { return m_out; }
    void clearOutput() { m_out.clear(); }
    // Bit position, from the start of the stream, of the first verbatim byte's code (each
    // byte takes 9 bits there).
    uint64_t verbatimBit() const { return m_verbatimBit; }

private:
    void putBits(uint32_t value, uint32_t bits);
    void putUvar(uint32_t value, uint32_t k);
    void putVar(int32_t value, uint32_t k);
    void putUlong(uint32_t value);
    void codeBlock();

    uint32_t m_channels = 0;
    uint32_t m_blockSize = 256; // the block size the decoder now has
    int32_t m_bias = 0;         // added to signed 8-bit samples
    std::vector<kyShnChannel> m_state;
    std::vector<std::vector<int32_t>> m_block; // per channel
    uint32_t m_fill = 0;
    std::vector<int32_t> m_residual;
    std::vector<uint8_t> m_out;
    uint64_t m_acc = 0;
    uint32_t m_accBits = 0;
    uint64_t m_bitsWritten = 0;
    uint64_t m_verbatimBit = 0;
};

// Puts the 9-bit codes of `header` back at `bit` of `stream` (which holds the start of the
// coded file), so a header can be brought up to date once the length is known.
void kyShnPatchVerbatim(std::vector<uint8_t>& stream, uint64_t bit,
                        const std::vector<uint8_t>& header);

// Reads the bytes of a stream in order: the count read, 0 at its end, -1 on an error.
using kyShnReadFn = std::function<long(uint8_t* data, size_t size)>;

class kyShortenDecoder {
public:
    // Reads the header and the verbatim section that follows it. "Corrupt" or
    // "Unsupported data format" with a reason.
    kyError start(const kyShnReadFn& read);

    uint32_t type() const { return m_type; }
    uint32_t channels() const { return m_channels; }
    uint32_t bits() const { return m_type <= KY_SHN_TYPE_U8 ? 8 : 16; }
    // The most frames a block can have (the header's block size: it is only ever lowered).
    uint32_t maxBlockFrames() const { return static_cast<uint32_t>(m_work.size() - m_nwrap); }
    // The verbatim bytes read before the first block (the original file's header).
    const std::vector<uint8_t>& header() const { return m_header; }

    // Decodes the next block of every channel into `planes` (signed values of bits()
    // bits): `frames` 0 with KY_NOTHING_DONE after the quit command.
    kyError decodeBlock(std::vector<std::vector<int32_t>>& planes, uint32_t& frames);

private:
    kyError fill();
    kyError getBit(uint32_t& bit);
    kyError getBits(uint32_t count, uint32_t& value);
    kyError getUvar(uint32_t k, uint32_t& value);
    kyError getVar(uint32_t k, int32_t& value);
    kyError getUlong(uint32_t& value);
    kyError verbatim(std::vector<uint8_t>* keep);

    kyShnReadFn m_read;
    std::vector<uint8_t> m_buf;
    size_t m_bufPos = 0, m_bufEnd = 0;
    uint32_t m_bitPos = 8; // bits of m_buf[m_bufPos] already taken
    uint32_t m_version = 0;
    uint32_t m_type = 0;
    uint32_t m_channels = 0;
    uint32_t m_blockSize = 0;
    uint32_t m_maxLpc = 0;
    uint32_t m_nwrap = 0;
    uint32_t m_meanCount = 0;
    uint32_t m_bitShift = 0;
    uint32_t m_pending = 0; // a command read ahead by start
    bool m_havePending = false;
    bool m_quit = false;
    std::vector<kyShnChannel> m_state;
    std::vector<int32_t> m_work; // history then the block
    std::vector<uint8_t> m_header;
};
