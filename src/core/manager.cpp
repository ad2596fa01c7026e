#include "core/manager.h"
#include "filters/channel_broker_filter.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

kyManager& kyManager::Instance() {
    static kyManager manager;
    return manager;
}

kyError kyManager::OpenReader(kyReaderFilter*& reader, const char* fileName, int32_t formatIndex,
                              int32_t option) {
    return kyFormatCatalog::Instance().OpenReader(reader, fileName, formatIndex, option);
}

kyError kyManager::CreateWriter(kyWriterFilter*& writer, const char* fileName,
                                const char* subformat, int32_t formatIndex) {
    return kyFormatCatalog::Instance().CreateWriter(writer, fileName, subformat, formatIndex);
}

kyError kyManager::ConnectWithConversion(kySourceFilter* source, kyWriterFilter* writer,
                                         uint32_t channels, uint32_t sampleRate) {
    if (!writer) return KYERR_INVALID_PARAMETER;
    return ConnectWithConversion(source, writer, writer->entry(), channels, sampleRate);
}

kyError kyManager::ConnectWithConversion(kySourceFilter* source, kySinkFilter* writer,
                                         const kyFormatEntry* entry, uint32_t channels,
                                         uint32_t sampleRate) {
    if (!source || !writer) return KYERR_INVALID_PARAMETER;
    kyAudioFormat fmt{};
    kyError err = source->GetFormat(fmt);
    if (kyFailed(err)) return err;
    uint32_t minCh = 1, maxCh = 0xFFFFFFFFu;
    if (const kyFormatEntry* e = entry) {
        minCh = e->minChannels;
        maxCh = e->maxChannels;
    }
    if (channels) {
        if (channels < minCh || channels > maxCh) return KYERR_INVALID_PARAMETER;
    } else {
        channels = std::max(std::min(fmt.channels, maxCh), minCh);
    }

    source->Connect(writer);
    if (channels != fmt.channels) {
        auto* broker = new (std::nothrow) kyChannelBrokerFilter(channels);
        if (!broker) {
            source->Disconnect();
            return KYERR_OUT_OF_MEMORY;
        }
        source->InsertAfter(broker);
    }
    if (sampleRate && sampleRate != fmt.sampleRate) {
        // Resample the smaller number of channels: before an upmix, after a downmix. A
        // resampler that cannot be had is left out.
        if (auto* r = new (std::nothrow) kyResamplingFilter(sampleRate, KYRESAMPLE_FIR_NORMAL)) {
            if (fmt.channels < channels)
                source->InsertAfter(r);
            else
                writer->InsertBefore(r);
        }
    }
    return KY_OK;
}

namespace {
std::string tempDirectory() {
    std::string dir;
    const char* env = std::getenv("TMPDIR");
    struct stat st {};
    if (env && *env && ::stat(env, &st) == 0 && S_ISDIR(st.st_mode))
        dir = env;
    else if (::stat("/tmp", &st) == 0 && S_ISDIR(st.st_mode))
        dir = "/tmp";
    else
        dir = ".";
    if (dir.back() != '/') dir += '/';
    if (dir.size() + 12 >= KY_MAX_PATH) dir = "./";
    return dir;
}
} // namespace

std::string kyManager::TempFileName() {
    const std::string dir = tempDirectory();
    std::string name = dir + "kyXXXXXX.tmp";
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    int fd = ::mkstemps(buf.data(), 4);
    if (fd >= 0) {
        ::close(fd);
        return std::string(buf.data());
    }
    // The platform could not make one: build a name from the clock and step it until it
    // is free. The caller creates the file.
    auto ticks = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count());
    for (uint32_t i = 0; i < 1000000; ++i) {
        char six[16];
        std::snprintf(six, sizeof six, "%06u", static_cast<unsigned>((ticks + i) % 1000000));
        std::string candidate = dir + "ky" + six + ".tmp";
        if (::access(candidate.c_str(), F_OK) != 0) return candidate;
    }
    return {};
}

int kyManager::OpenTempFile() {
    std::string name = tempDirectory() + "kyXXXXXX.tmp";
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    int fd = ::mkstemps(buf.data(), 4);
    if (fd < 0) {
        // The platform could not make one: a name of our own, created exclusively.
        const std::string fallback = TempFileName();
        if (fallback.empty()) return -1;
        fd = ::open(fallback.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        buf.assign(fallback.begin(), fallback.end());
        buf.push_back('\0');
    }
    ::unlink(buf.data());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}
