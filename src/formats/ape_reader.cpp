#include "formats/ape_reader.h"
#include "core/data_format.h"
#include "formats/format_catalog.h"
#include "formats/lossless_format.h"
#include "formats/tags/file_tags.h"
#include "formats/tags/id3v2.h"
#include <algorithm>
#include <cstring>
#include <new>

ape_Reader::ape_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

ape_Reader::~ape_Reader() {
    if (m_handle) m_lib->destroy(m_handle);
}

int ape_Reader::Probe(const uint8_t* head, size_t size) {
    const uint64_t start = kyId3v2TagSize(head, size);
    if (start > size || size - start < 4) return KY_PROBE_UNSURE;
    return std::memcmp(head + start, "MAC ", 4) == 0 ? KY_PROBE_CERTAIN : KY_PROBE_NO;
}

kyReaderFilter* ape_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) ape_Reader(fd, fileName, entry, option);
}

kyError ape_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout layout;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, layout);
    if (kyFailed(err)) return err;
    m_lib = kyMacDecoderLibrary::Get();
    if (!m_lib) {
        kySetErrorReason(KYERR_MISSING_COMPONENT, kyMacDecoderLibrary::Missing());
        return KYERR_MISSING_COMPONENT;
    }
    const char* file = m_properties.getUtf8(0);
    int error = 0;
    m_handle = m_lib->createW(kyMacFileName(file ? file : "").c_str(), &error);
    if (!m_handle) return KYERR_CORRUPT;
    const mac::Int rate = m_lib->getInfo(m_handle, mac::kInfoSampleRate, 0, 0);
    const mac::Int bits = m_lib->getInfo(m_handle, mac::kInfoBitsPerSample, 0, 0);
    const mac::Int channels = m_lib->getInfo(m_handle, mac::kInfoChannels, 0, 0);
    const mac::Int blocks = m_lib->getInfo(m_handle, mac::kInfoTotalBlocks, 0, 0);
    if (rate <= 0 || rate > 0x7FFFFFFF || channels < 1 || channels > 32 || blocks < 0)
        return KYERR_CORRUPT;
    if (bits != 8 && bits != 16 && bits != 24) return KYERR_DATA_FORMAT;
    m_channels = static_cast<uint32_t>(channels);
    m_bytesPerSample = static_cast<uint32_t>(bits / 8);
    kyLosslessFormat f;
    f.bits = static_cast<uint32_t>(bits);
    m_rawId = kyLosslessRawId(f);
    m_properties.setUtf8(2, kyLosslessSubformatName(f.bits, false));
    m_format.channels = m_channels;
    m_format.sampleRate = static_cast<uint32_t>(rate);
    m_format.channelMask = 0;
    m_format.lengthFrames =
        static_cast<uint32_t>(std::min<mac::Int>(blocks, mac::Int(KY_NO_LENGTH) - 1));
    m_format.blockFrames = 4096;
    m_bits = 32;
    LimitBlockFrames();
    return KY_OK;
}

kyError ape_Reader::PrepareDecoder() {
    try {
        m_pcm.resize(size_t(std::max<uint32_t>(1, m_format.blockFrames)) * m_channels *
                     m_bytesPerSample);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return m_lib->seek(m_handle, m_startFrame) == 0 ? KY_OK : KYERR_CORRUPT;
}

kyError ape_Reader::fetch(uint32_t frames, uint32_t& got) {
    got = 0;
    const size_t frameBytes = size_t(m_channels) * m_bytesPerSample;
    frames = std::min<uint32_t>(frames, static_cast<uint32_t>(m_pcm.size() / frameBytes));
    while (got < frames) {
        mac::Int retrieved = 0;
        if (m_lib->getData(m_handle, m_pcm.data() + got * frameBytes, frames - got, &retrieved) !=
            0)
            return KYERR_CORRUPT;
        if (retrieved <= 0) break;
        got += static_cast<uint32_t>(std::min<mac::Int>(retrieved, frames - got));
    }
    // 8-bit samples are stored unsigned.
    if (m_bytesPerSample == 1) kySignFlip(m_pcm.data(), size_t(got) * m_channels, 1);
    return KY_OK;
}

kyError ape_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    got = 0;
    while (got < frames) {
        uint32_t n = 0;
        kyError err = fetch(frames - got, n);
        if (kyFailed(err)) return err;
        if (n == 0) break;
        err = InterleavedToPlanar(planes, m_pcm.data(), m_channels, got, n, m_rawId.c_str(), false,
                                  false);
        if (kyFailed(err)) return err;
        got += n;
    }
    return KY_OK;
}

const char* ape_Reader::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || channels != m_channels) return nullptr;
    return m_rawId.c_str();
}

kyError ape_Reader::RunInterleaved() {
    kyError err = Prepare();
    if (kyFailed(err)) return err;
    const size_t frameBytes = size_t(m_channels) * m_bytesPerSample;
    while (m_remaining > 0) {
        uint32_t n = 0;
        err = fetch(std::min<uint32_t>(m_remaining, m_format.blockFrames), n);
        if (kyFailed(err)) return err;
        if (n == 0) break;
        m_remaining -= n;
        err =
            m_downstream->WriteInterleaved(m_pcm.data(), static_cast<uint32_t>(n * frameBytes), n);
        if (kyFailed(err)) return err;
        if (err == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
    }
    m_remaining = 0;
    return m_downstream->EndOfStream();
}
