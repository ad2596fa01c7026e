#include "formats/codecs/shorten.h"
#include "formats/wav_common.h"
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
// Widths of the Rice codes of the format's fields.
constexpr uint32_t kCommandBits = 2;  // commands
constexpr uint32_t kEnergyBits = 3;   // a block's Rice parameter
constexpr uint32_t kUlongBits = 2;    // the width of a "ulong" field
constexpr uint32_t kLpcOrderBits = 2; // the order of a quantized LPC predictor
constexpr uint32_t kLpcCoefBits = 5;  // its coefficients
constexpr uint32_t kLpcQuant = 5;     // their fraction bits
constexpr uint32_t kBitShiftBits = 2; // a bit shift
constexpr uint32_t kVerbatimSizeBits = 5;
constexpr uint32_t kVerbatimByteBits = 8;
constexpr uint32_t kSkipByteBits = 7;
constexpr uint32_t kMeans = 4; // blocks in the running mean
constexpr uint32_t kWrap = 3;  // samples kept for the fixed predictors
constexpr uint32_t kBlock = 256;
constexpr uint32_t kMaxBlock = 65535;
constexpr uint32_t kMaxChannels = 1000;
constexpr uint64_t kMaxBlockSamples = 1u << 20;
constexpr size_t kReadChunk = 64 << 10;
// A unary run longer than this in our own stream means the Rice parameter is too small.
constexpr uint32_t kMaxUnary = 1024;

int32_t typeBias(uint32_t type) {
    return type == KY_SHN_TYPE_U8                                     ? 0x80
           : (type == KY_SHN_TYPE_U16HL || type == KY_SHN_TYPE_U16LH) ? 0x8000
                                                                      : 0;
}

void initChannel(kyShnChannel& c, uint32_t means, uint32_t wrap, int32_t bias) {
    c.means.assign(std::max<uint32_t>(1, means), bias);
    c.history.assign(wrap, 0);
}

// The mean the order-0 predictor works against (version 2 rounds it).
int32_t channelOffset(const kyShnChannel& c, uint32_t means, uint32_t version, uint32_t shift) {
    if (means == 0) return c.means[0];
    int64_t sum = version < 2 ? 0 : means / 2;
    for (uint32_t i = 0; i < means; ++i) sum += c.means[i];
    int64_t offset = sum / int64_t(means);
    if (version >= 2 && shift) offset = shift >= 32 ? 0 : (offset >> shift);
    return static_cast<int32_t>(offset);
}

void updateMeans(kyShnChannel& c, uint32_t means, uint32_t version, uint32_t shift,
                 const int32_t* block, uint32_t n) {
    if (means == 0 || n == 0) return;
    int64_t sum = version < 2 ? 0 : n / 2;
    for (uint32_t i = 0; i < n; ++i) sum += block[i];
    int64_t mean = sum / int64_t(n);
    if (version >= 2) mean = shift >= 32 ? 0 : int64_t(uint64_t(mean) << shift);
    std::rotate(c.means.begin(), c.means.begin() + 1, c.means.begin() + means);
    c.means[means - 1] = static_cast<int32_t>(mean);
}

// History and block side by side: the last `wrap` samples of both become the history.
void keepHistory(kyShnChannel& c, const int32_t* work, uint32_t n) {
    const size_t wrap = c.history.size();
    std::copy(work + n, work + n + wrap, c.history.begin());
}

} // namespace

std::vector<uint8_t> kyShnWaveHeader(uint32_t channels, uint32_t rate, uint32_t bits,
                                     uint64_t dataBytes) {
    const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(dataBytes, 0xFFFFFFFFu - 36));
    const uint32_t align = channels * ((bits + 7) / 8);
    std::vector<uint8_t> h(44);
    std::memcpy(h.data(), "RIFF", 4);
    wav::put32(&h[4], data + 36);
    std::memcpy(&h[8], "WAVEfmt ", 8);
    wav::put32(&h[16], 16);
    wav::put16(&h[20], wav::TAG_PCM);
    wav::put16(&h[22], channels);
    wav::put32(&h[24], rate);
    wav::put32(&h[28], rate * align);
    wav::put16(&h[32], align);
    wav::put16(&h[34], bits);
    std::memcpy(&h[36], "data", 4);
    wav::put32(&h[40], data);
    return h;
}

// ---------------------------------------------------------------------------- encoder

void kyShortenEncoder::putBits(uint32_t value, uint32_t bits) {
    // bits <= 32
    m_bitsWritten += bits;
    while (bits > 0) {
        const uint32_t n = std::min<uint32_t>(bits, 32);
        m_acc = (m_acc << n) | (uint64_t(value) & ((uint64_t(1) << n) - 1));
        m_accBits += n;
        bits -= n;
        while (m_accBits >= 8) {
            m_accBits -= 8;
            m_out.push_back(static_cast<uint8_t>(m_acc >> m_accBits));
        }
    }
}

void kyShortenEncoder::putUvar(uint32_t value, uint32_t k) {
    uint32_t high = k >= 32 ? 0 : value >> k;
    while (high >= 24) {
        putBits(0, 24);
        high -= 24;
    }
    putBits(1, high + 1);
    if (k) putBits(value, k);
}

void kyShortenEncoder::putVar(int32_t value, uint32_t k) {
    const uint32_t u = value < 0 ? ((~uint32_t(value)) << 1) | 1 : uint32_t(value) << 1;
    putUvar(u, k + 1);
}

void kyShortenEncoder::putUlong(uint32_t value) {
    const uint32_t width = static_cast<uint32_t>(std::bit_width(value));
    putUvar(width, kUlongBits);
    putUvar(value, width);
}

kyError kyShortenEncoder::start(uint32_t type, uint32_t channels,
                                const std::vector<uint8_t>& header) {
    if (channels == 0 || channels > kMaxChannels) return KYERR_CHANNEL_FORMAT;
    if (type != KY_SHN_TYPE_U8 && type != KY_SHN_TYPE_S16LH) return KYERR_DATA_FORMAT;
    m_channels = channels;
    m_blockSize = kBlock;
    m_bias = type == KY_SHN_TYPE_U8 ? 0x80 : 0;
    m_out.clear();
    m_acc = 0;
    m_accBits = 0;
    m_bitsWritten = 0;
    m_fill = 0;
    try {
        m_state.assign(channels, {});
        for (kyShnChannel& c : m_state) initChannel(c, kMeans, kWrap, typeBias(type));
        m_block.assign(channels, std::vector<int32_t>(kWrap + kBlock, 0));
        m_residual.assign(kBlock, 0);
        m_out.reserve(64 << 10);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_out.insert(m_out.end(), {'a', 'j', 'k', 'g', 2});
    m_bitsWritten = 40;
    putUlong(type);
    putUlong(channels);
    putUlong(kBlock);
    putUlong(0); // no LPC predictor
    putUlong(kMeans);
    putUlong(0); // nothing to skip
    putUvar(KY_SHN_VERBATIM, kCommandBits);
    putUvar(static_cast<uint32_t>(header.size()), kVerbatimSizeBits);
    m_verbatimBit = m_bitsWritten;
    for (uint8_t b : header) putUvar(b, kVerbatimByteBits);
    return KY_OK;
}

void kyShortenEncoder::encode(const int32_t* samples, uint32_t frames) {
    while (frames > 0) {
        const uint32_t n = std::min(frames, kBlock - m_fill);
        for (uint32_t c = 0; c < m_channels; ++c) {
            int32_t* dst = m_block[c].data() + kWrap + m_fill;
            for (uint32_t i = 0; i < n; ++i) dst[i] = samples[size_t(i) * m_channels + c] + m_bias;
        }
        samples += size_t(n) * m_channels;
        frames -= n;
        m_fill += n;
        if (m_fill == kBlock) codeBlock();
    }
}

void kyShortenEncoder::codeBlock() {
    const uint32_t n = m_fill;
    if (n == 0) return;
    if (n != m_blockSize) {
        putUvar(KY_SHN_BLOCKSIZE, kCommandBits);
        putUlong(n);
        m_blockSize = n;
    }
    for (uint32_t c = 0; c < m_channels; ++c) {
        kyShnChannel& st = m_state[c];
        int32_t* work = m_block[c].data();
        std::copy(st.history.begin(), st.history.end(), work);
        const int32_t* x = work + kWrap;
        const int32_t offset = channelOffset(st, kMeans, 2, 0);
        // The sizes of the residuals of each fixed predictor.
        uint64_t cost[4] = {0, 0, 0, 0};
        bool zero = m_bias == 0;
        for (uint32_t i = 0; i < n; ++i) {
            const int64_t e0 = int64_t(x[i]) - offset;
            const int64_t e1 = int64_t(x[i]) - x[int(i) - 1];
            const int64_t e2 = e1 - (int64_t(x[int(i) - 1]) - x[int(i) - 2]);
            const int64_t e3 =
                e2 - (int64_t(x[int(i) - 1]) - 2 * int64_t(x[int(i) - 2]) + x[int(i) - 3]);
            cost[0] += uint64_t(std::llabs(e0));
            cost[1] += uint64_t(std::llabs(e1));
            cost[2] += uint64_t(std::llabs(e2));
            cost[3] += uint64_t(std::llabs(e3));
            zero = zero && x[i] == 0;
        }
        if (zero) {
            putUvar(KY_SHN_ZERO, kCommandBits);
        } else {
            const uint32_t order = static_cast<uint32_t>(std::min_element(cost, cost + 4) - cost);
            uint64_t maxZz = 0;
            for (uint32_t i = 0; i < n; ++i) {
                int64_t p = 0;
                switch (order) {
                case 0:
                    p = offset;
                    break;
                case 1:
                    p = x[int(i) - 1];
                    break;
                case 2:
                    p = 2 * int64_t(x[int(i) - 1]) - x[int(i) - 2];
                    break;
                default:
                    p = 3 * int64_t(x[int(i) - 1]) - 3 * int64_t(x[int(i) - 2]) + x[int(i) - 3];
                    break;
                }
                const int32_t r = static_cast<int32_t>(x[i] - p);
                m_residual[i] = r;
                maxZz = std::max<uint64_t>(maxZz, uint64_t(std::llabs(int64_t(r))) * 2 + 1);
            }
            // The Rice parameter: the best of those around log2 of the mean size.
            const uint64_t mean = cost[order] / n;
            const int k0 = mean ? static_cast<int>(std::bit_width(mean)) - 1 : 0;
            uint32_t best = 0;
            uint64_t bestBits = UINT64_MAX;
            for (int k = std::max(0, k0 - 1); k <= k0 + 1; ++k) {
                uint64_t bits = uint64_t(n) * (uint32_t(k) + 2);
                for (uint32_t i = 0; i < n; ++i) {
                    const int32_t r = m_residual[i];
                    const uint32_t u = r < 0 ? ((~uint32_t(r)) << 1) | 1 : uint32_t(r) << 1;
                    bits += u >> (k + 1);
                }
                if (bits < bestBits) {
                    bestBits = bits;
                    best = uint32_t(k);
                }
            }
            // No runaway unary codes from a lone spike.
            while ((maxZz >> (best + 1)) > kMaxUnary) ++best;
            putUvar(order, kCommandBits);
            putUvar(best, kEnergyBits);
            for (uint32_t i = 0; i < n; ++i) putVar(m_residual[i], best);
        }
        updateMeans(st, kMeans, 2, 0, x, n);
        keepHistory(st, work, n);
    }
    m_fill = 0;
}

void kyShortenEncoder::finish() {
    codeBlock();
    putUvar(KY_SHN_QUIT, kCommandBits);
    if (m_accBits) putBits(0, 8 - m_accBits);
}

void kyShnPatchVerbatim(std::vector<uint8_t>& stream, uint64_t bit,
                        const std::vector<uint8_t>& header) {
    auto setBit = [&](uint64_t at, bool on) {
        const size_t byte = static_cast<size_t>(at / 8);
        if (byte >= stream.size()) return;
        const uint8_t mask = uint8_t(0x80 >> (at % 8));
        stream[byte] = on ? (stream[byte] | mask) : (stream[byte] & ~mask);
    };
    for (uint8_t b : header) {
        setBit(bit++, true); // the unary part of a byte is a lone 1
        for (int i = 7; i >= 0; --i) setBit(bit++, (b >> i) & 1);
    }
}

// ---------------------------------------------------------------------------- decoder

namespace {
kyError corrupt(const char* why) {
    kySetErrorReason(KYERR_CORRUPT, why);
    return KYERR_CORRUPT;
}
} // namespace

kyError kyShortenDecoder::fill() {
    if (m_bufPos < m_bufEnd) return KY_OK;
    const long n = m_read(m_buf.data(), m_buf.size());
    if (n < 0) return KYERR_READ_FILE;
    if (n == 0) return corrupt("the Shorten stream ends before its quit command");
    m_bufPos = 0;
    m_bufEnd = static_cast<size_t>(n);
    m_bitPos = 0;
    return KY_OK;
}

kyError kyShortenDecoder::getBit(uint32_t& bit) {
    if (m_bitPos == 8) {
        ++m_bufPos;
        m_bitPos = 0;
    }
    kyError err = fill();
    if (kyFailed(err)) return err;
    bit = (m_buf[m_bufPos] >> (7 - m_bitPos)) & 1;
    ++m_bitPos;
    return KY_OK;
}

kyError kyShortenDecoder::getBits(uint32_t count, uint32_t& value) {
    value = 0;
    while (count > 0) {
        if (m_bitPos == 8) {
            ++m_bufPos;
            m_bitPos = 0;
        }
        kyError err = fill();
        if (kyFailed(err)) return err;
        const uint32_t avail = 8 - m_bitPos;
        const uint32_t take = std::min(avail, count);
        const uint32_t bits = (m_buf[m_bufPos] >> (avail - take)) & ((1u << take) - 1);
        value = (take == 32 ? 0 : value << take) | bits;
        m_bitPos += take;
        count -= take;
    }
    return KY_OK;
}

kyError kyShortenDecoder::getUvar(uint32_t k, uint32_t& value) {
    uint64_t high = 0;
    for (;;) {
        if (m_bitPos == 8) {
            ++m_bufPos;
            m_bitPos = 0;
        }
        kyError err = fill();
        if (kyFailed(err)) return err;
        const uint8_t rest = uint8_t(m_buf[m_bufPos] << m_bitPos);
        if (rest == 0) {
            high += 8 - m_bitPos;
            m_bitPos = 8;
        } else {
            const uint32_t zeros = static_cast<uint32_t>(std::countl_zero(rest));
            high += zeros;
            m_bitPos += zeros + 1;
            break;
        }
        if (high > 0xFFFFFFFFull) return corrupt("a Shorten code is out of range");
    }
    uint32_t low = 0;
    if (k) {
        kyError err = getBits(k, low);
        if (kyFailed(err)) return err;
    }
    if (k >= 32 ? high != 0 : (high << k) > 0xFFFFFFFFull)
        return corrupt("a Shorten code is out of range");
    value = static_cast<uint32_t>((k >= 32 ? 0 : high << k) | low);
    return KY_OK;
}

kyError kyShortenDecoder::getVar(uint32_t k, int32_t& value) {
    uint32_t u = 0;
    kyError err = getUvar(k + 1, u);
    if (kyFailed(err)) return err;
    value = (u & 1) ? static_cast<int32_t>(~(u >> 1)) : static_cast<int32_t>(u >> 1);
    return KY_OK;
}

kyError kyShortenDecoder::getUlong(uint32_t& value) {
    uint32_t width = 0;
    kyError err = getUvar(kUlongBits, width);
    if (kyFailed(err)) return err;
    if (width > 32) return corrupt("a Shorten header field is out of range");
    return getUvar(width, value);
}

kyError kyShortenDecoder::verbatim(std::vector<uint8_t>* keep) {
    uint32_t size = 0;
    kyError err = getUvar(kVerbatimSizeBits, size);
    if (kyFailed(err)) return err;
    if (keep && size > (1u << 20)) return corrupt("a Shorten verbatim section is too long");
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t b = 0;
        err = getUvar(kVerbatimByteBits, b);
        if (kyFailed(err)) return err;
        if (b > 255) return corrupt("a Shorten verbatim byte is out of range");
        if (keep) keep->push_back(static_cast<uint8_t>(b));
    }
    return KY_OK;
}

kyError kyShortenDecoder::start(const kyShnReadFn& read) {
    m_read = read;
    m_quit = false;
    m_header.clear();
    try {
        m_buf.resize(kReadChunk);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_bufPos = m_bufEnd = 0;
    m_bitPos = 0;
    uint8_t magic[5];
    for (uint8_t& b : magic) {
        uint32_t v = 0;
        kyError err = getBits(8, v);
        if (kyFailed(err)) return err;
        b = static_cast<uint8_t>(v);
    }
    if (std::memcmp(magic, "ajkg", 4) != 0) return corrupt("not a Shorten stream");
    m_version = magic[4];
    if (m_version < 1 || m_version > 3) {
        kySetErrorReason(KYERR_DATA_FORMAT, "Shorten version " + std::to_string(m_version));
        return KYERR_DATA_FORMAT;
    }
    uint32_t means = 0, skip = 0;
    kyError err = getUlong(m_type);
    if (kySucceeded(err)) err = getUlong(m_channels);
    if (kySucceeded(err)) err = getUlong(m_blockSize);
    if (kySucceeded(err)) err = getUlong(m_maxLpc);
    if (kySucceeded(err)) err = getUlong(means);
    if (kySucceeded(err)) err = getUlong(skip);
    if (kyFailed(err)) return err;
    if (m_type < KY_SHN_TYPE_S8 || m_type > KY_SHN_TYPE_U16LH) {
        kySetErrorReason(KYERR_DATA_FORMAT, "Shorten file type " + std::to_string(m_type));
        return KYERR_DATA_FORMAT;
    }
    if (m_channels == 0 || m_channels > kMaxChannels) {
        kySetErrorReason(KYERR_CHANNEL_FORMAT, std::to_string(m_channels) + " channels");
        return KYERR_CHANNEL_FORMAT;
    }
    if (m_blockSize == 0 || m_blockSize > kMaxBlock) return corrupt("bad Shorten block size");
    // A block of every channel is held at once: no more than a few MiB of it.
    if (uint64_t(m_blockSize) * m_channels > kMaxBlockSamples) {
        kySetErrorReason(KYERR_DATA_FORMAT, "Shorten blocks of " + std::to_string(m_blockSize) +
                                                " samples on " + std::to_string(m_channels) +
                                                " channels");
        return KYERR_DATA_FORMAT;
    }
    if (m_maxLpc > 1024 || means > 32768) return corrupt("bad Shorten header");
    for (uint32_t i = 0; i < skip; ++i) {
        uint32_t b = 0;
        err = getUvar(kSkipByteBits, b);
        if (kyFailed(err)) return err;
    }
    m_meanCount = means;
    m_nwrap = std::max(kWrap, m_maxLpc);
    m_bitShift = 0;
    try {
        m_state.assign(m_channels, {});
        for (kyShnChannel& c : m_state) initChannel(c, means, m_nwrap, typeBias(m_type));
        m_work.assign(m_nwrap + m_blockSize, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    // The original file's header comes first, in a verbatim section.
    err = getUvar(kCommandBits, m_pending);
    if (kyFailed(err)) return err;
    if (m_pending == KY_SHN_VERBATIM) {
        try {
            err = verbatim(&m_header);
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
        if (kyFailed(err)) return err;
        m_havePending = false;
    } else {
        m_havePending = true;
    }
    return KY_OK;
}

kyError kyShortenDecoder::decodeBlock(std::vector<std::vector<int32_t>>& planes, uint32_t& frames) {
    frames = 0;
    if (m_quit) return KY_NOTHING_DONE;
    if (m_state.empty()) return KYERR_SEQUENCE;
    try {
        planes.resize(m_channels);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    uint32_t channel = 0;
    while (channel < m_channels) {
        uint32_t cmd = 0;
        if (m_havePending) {
            cmd = m_pending;
            m_havePending = false;
        } else {
            kyError err = getUvar(kCommandBits, cmd);
            if (kyFailed(err)) return err;
        }
        switch (cmd) {
        case KY_SHN_QUIT:
            m_quit = true;
            if (channel != 0) return corrupt("a Shorten block ends part way through");
            return KY_NOTHING_DONE;
        case KY_SHN_BLOCKSIZE: {
            uint32_t size = 0;
            kyError err = getUlong(size);
            if (kyFailed(err)) return err;
            // Only ever lowered (for the last block).
            if (size == 0 || size > m_work.size() - m_nwrap)
                return corrupt("bad Shorten block size");
            m_blockSize = size;
            continue;
        }
        case KY_SHN_BITSHIFT: {
            kyError err = getUvar(kBitShiftBits, m_bitShift);
            if (kyFailed(err)) return err;
            if (m_bitShift > 31) return corrupt("bad Shorten bit shift");
            continue;
        }
        case KY_SHN_VERBATIM: {
            kyError err = verbatim(nullptr);
            if (kyFailed(err)) return err;
            continue;
        }
        case KY_SHN_DIFF0:
        case KY_SHN_DIFF1:
        case KY_SHN_DIFF2:
        case KY_SHN_DIFF3:
        case KY_SHN_QLPC:
        case KY_SHN_ZERO:
            break;
        default:
            return corrupt("unknown Shorten command");
        }
        kyShnChannel& st = m_state[channel];
        const uint32_t n = m_blockSize;
        int32_t* work = m_work.data();
        std::copy(st.history.begin(), st.history.end(), work);
        int32_t* x = work + m_nwrap;
        const int32_t offset = channelOffset(st, m_meanCount, m_version, m_bitShift);
        if (cmd == KY_SHN_ZERO) {
            std::fill(x, x + n, 0);
        } else {
            uint32_t k = 0;
            kyError err = getUvar(kEnergyBits, k);
            if (kyFailed(err)) return err;
            if (k > 30) return corrupt("bad Shorten Rice parameter");
            int32_t coef[1024];
            uint32_t order = cmd;
            int64_t init = 0;
            uint32_t shift = 0;
            if (cmd == KY_SHN_QLPC) {
                err = getUvar(kLpcOrderBits, order);
                if (kyFailed(err)) return err;
                if (order > m_maxLpc) return corrupt("bad Shorten predictor order");
                for (uint32_t j = 0; j < order; ++j) {
                    err = getVar(kLpcCoefBits, coef[j]);
                    if (kyFailed(err)) return err;
                }
                for (uint32_t j = 1; j <= order; ++j) x[-int(j)] -= offset;
                init = m_version >= 2 ? (1 << kLpcQuant) : 0;
                shift = kLpcQuant;
            } else {
                static const int32_t fixed[4][3] = {{0, 0, 0}, {1, 0, 0}, {2, -1, 0}, {3, -3, 1}};
                std::copy(fixed[cmd], fixed[cmd] + 3, coef);
                init = cmd == KY_SHN_DIFF0 ? offset : 0;
            }
            for (uint32_t i = 0; i < n; ++i) {
                int64_t sum = init;
                for (uint32_t j = 0; j < order; ++j)
                    sum += int64_t(coef[j]) * x[int(i) - int(j) - 1];
                int32_t r = 0;
                err = getVar(k, r);
                if (kyFailed(err)) return err;
                x[i] = static_cast<int32_t>(uint32_t(int64_t(r) + (sum >> shift)));
            }
            if (cmd == KY_SHN_QLPC)
                for (uint32_t i = 0; i < n; ++i)
                    x[i] = static_cast<int32_t>(uint32_t(x[i]) + uint32_t(offset));
        }
        updateMeans(st, m_meanCount, m_version, m_bitShift, x, n);
        keepHistory(st, work, n);
        std::vector<int32_t>& out = planes[channel];
        try {
            out.resize(n);
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
        const int32_t bias = typeBias(m_type);
        for (uint32_t i = 0; i < n; ++i)
            out[i] = static_cast<int32_t>((uint32_t(x[i]) << m_bitShift) - uint32_t(bias));
        ++channel;
    }
    frames = m_blockSize;
    return KY_OK;
}
