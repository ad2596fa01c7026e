#pragma once
// A drive-access method over PCM held in memory, for tests of the CD source that need
// exact control: which read lands how many sectors off, which sector fails how often.
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_mode.h"
#include "core/filter.h"
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

namespace fake {

// Music-like 16-bit stereo PCM: a few detuned partials and a little noise, so that no two
// sectors are alike and realignment has something to lock on.
inline std::vector<uint8_t> MakePcm(uint32_t sectors, uint32_t seed = 1) {
    std::vector<uint8_t> pcm(static_cast<size_t>(sectors) * KY_SECTOR_BYTES);
    uint32_t rng = seed * 2654435761u + 1;
    for (size_t f = 0; f < static_cast<size_t>(sectors) * KY_SECTOR_FRAMES; ++f) {
        rng = rng * 1664525u + 1013904223u;
        const double t = static_cast<double>(f) / 44100.0;
        const double noise = static_cast<double>(static_cast<int32_t>(rng >> 16) - 32768) / 32768.0;
        const double l = 0.3 * std::sin(2 * M_PI * 220.0 * t) +
                         0.2 * std::sin(2 * M_PI * 331.0 * t) + 0.05 * noise;
        const double r = 0.3 * std::sin(2 * M_PI * 277.0 * t) +
                         0.2 * std::sin(2 * M_PI * 440.5 * t) - 0.05 * noise;
        const int16_t s[2] = {static_cast<int16_t>(l * 32767), static_cast<int16_t>(r * 32767)};
        std::memcpy(&pcm[f * 4], s, 4);
    }
    return pcm;
}

struct Track {
    uint32_t start;
    uint8_t control = 0; // 1 = pre-emphasis, 4 = data
};

class Drive : public kyDskReaderMode {
public:
    // `pcm` holds the disc from LBA 0 on; tracks in order, the lead-out after the PCM.
    Drive(std::vector<uint8_t> pcm, std::vector<Track> tracks, uint32_t largestTransfer = 65536)
        : m_pcm(std::move(pcm)), m_tracks(std::move(tracks)) {
        m_record.displayName = "fake0 <Fake>";
        m_record.devicePath = "fake0";
        m_record.largestTransfer = largestTransfer;
    }

    uint32_t Sectors() const { return static_cast<uint32_t>(m_pcm.size() / KY_SECTOR_BYTES); }
    const uint8_t* Pcm(uint32_t lba) const {
        return m_pcm.data() + static_cast<size_t>(lba) * KY_SECTOR_BYTES;
    }

    // ---- faults ----
    // Positioning error of the n-th ReadAudio call (0-based) when it seeks; 0 when not
    // listed. A call that continues the previous one (asks for the sector after its last)
    // reads on from where that one ended, keeping its error, as a drive does.
    std::map<uint32_t, int32_t> offsetOfCall;
    // Any call whose range covers one of these sectors fails while its count is above 0.
    std::map<uint32_t, uint32_t> badSector;
    // Called with the returned data of each successful call (lba asked, sectors).
    std::function<void(uint32_t call, uint32_t lba, uint32_t sectors, uint8_t* data)> corrupt;

    // ---- what happened ----
    struct Call {
        uint32_t lba, sectors;
        bool ok;
    };
    std::vector<Call> calls;
    int locks = 0, unlocks = 0, stops = 0, ejects = 0, loads = 0, opens = 0, closes = 0;
    int speedCalls = 0;
    uint8_t lastSpeed = 0;
    bool ready = true;
    uint32_t driveCount = 1;

    uint32_t DriveCount() override { return driveCount; }
    const kyDriveRecord* DriveRecord(uint32_t n) override {
        return n < driveCount ? &m_record : nullptr;
    }

    bool Open(uint32_t, uint8_t* plain, bool& fullValid, uint8_t* full, uint32_t& largest,
              uint32_t& maxSpeed) override {
        ++opens;
        fullValid = false;
        largest = m_record.largestTransfer;
        maxSpeed = 24;
        const uint32_t n = static_cast<uint32_t>(m_tracks.size());
        const uint32_t len = 2 + 8 * (n + 1);
        std::memset(plain, 0, KY_PLAIN_TOC_BYTES);
        plain[0] = static_cast<uint8_t>(len >> 8);
        plain[1] = static_cast<uint8_t>(len);
        plain[2] = 1;
        plain[3] = static_cast<uint8_t>(n);
        for (uint32_t i = 0; i <= n; ++i) {
            uint8_t* d = plain + 4 + 8 * i;
            const uint32_t start = i < n ? m_tracks[i].start : Sectors();
            d[1] = static_cast<uint8_t>(0x10 | (i < n ? m_tracks[i].control : 0));
            d[2] = static_cast<uint8_t>(i < n ? i + 1 : 0xAA);
            d[4] = static_cast<uint8_t>(start >> 24);
            d[5] = static_cast<uint8_t>(start >> 16);
            d[6] = static_cast<uint8_t>(start >> 8);
            d[7] = static_cast<uint8_t>(start);
        }
        return true;
    }
    void Close() override { ++closes; }

    kyError ReadAudio(void* buffer, uint32_t lba, uint32_t sectors) override {
        const uint32_t call = static_cast<uint32_t>(calls.size());
        for (auto& [bad, left] : badSector) {
            if (bad >= lba && bad < lba + sectors && left > 0) {
                --left;
                m_lastEnd = -1;
                calls.push_back({lba, sectors, false});
                return KYERR_READ_FILE;
            }
        }
        calls.push_back({lba, sectors, true});
        auto it = offsetOfCall.find(call);
        int32_t offset = it == offsetOfCall.end() ? 0 : it->second;
        if (lba == m_lastEnd) offset = m_lastOffset;
        m_lastEnd = lba + sectors;
        m_lastOffset = offset;
        const int64_t from = static_cast<int64_t>(lba) + offset;
        uint8_t* out = static_cast<uint8_t*>(buffer);
        for (uint32_t i = 0; i < sectors; ++i) {
            const int64_t s = from + i;
            uint8_t* dst = out + static_cast<size_t>(i) * KY_SECTOR_BYTES;
            if (s < 0 || s >= Sectors())
                std::memset(dst, 0, KY_SECTOR_BYTES);
            else
                std::memcpy(dst, Pcm(static_cast<uint32_t>(s)), KY_SECTOR_BYTES);
        }
        if (corrupt) corrupt(call, lba, sectors, out);
        return KY_OK;
    }
    bool LockMedium(bool lock) override {
        (lock ? locks : unlocks)++;
        return true;
    }
    bool StopAudio() override {
        ++stops;
        return true;
    }
    bool SetReadSpeed(uint8_t f) override {
        ++speedCalls;
        lastSpeed = f;
        return true;
    }
    bool IsReady() override { return ready; }
    bool EjectOrLoad(bool load) override {
        (load ? loads : ejects)++;
        ready = load;
        return true;
    }
    std::optional<std::string> MediaCatalogNumber() override {
        return std::string("0123456789012");
    }
    std::optional<std::string> Isrc(uint32_t) override { return std::nullopt; }

    void SetResult(kyError e) { m_result = e; }

private:
    std::vector<uint8_t> m_pcm;
    std::vector<Track> m_tracks;
    kyDriveRecord m_record;
    int64_t m_lastEnd = -1;
    int32_t m_lastOffset = 0;
};

// A sink that keeps everything it receives: planar blocks as 16-bit samples (exact for CD
// data that was not de-emphasised) and as floats, interleaved blocks as bytes.
class Sink : public kySinkFilter2 {
public:
    Sink() : kySinkFilter2("Test sink") {}
    std::vector<int16_t> samples; // interleaved L, R
    std::vector<float> floats;    // interleaved L, R
    std::vector<uint8_t> bytes;   // from WriteInterleaved
    uint32_t blocks = 0, endOfStreams = 0;
    kyError writeResult = KY_OK;
    bool keepFloats = true;

    kyError Write(float** planes, uint32_t frames) override {
        ++blocks;
        for (uint32_t i = 0; i < frames; ++i)
            for (int ch = 0; ch < 2; ++ch) {
                if (keepFloats) floats.push_back(planes[ch][i]);
                samples.push_back(static_cast<int16_t>(std::lrint(planes[ch][i] * 32768.0f)));
            }
        return writeResult;
    }
    kyError EndOfStream() override {
        ++endOfStreams;
        return kySinkFilter2::EndOfStream();
    }
    kyError WriteInterleaved(const void* data, uint32_t byteCount, uint32_t frames) override {
        ++blocks;
        const uint8_t* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + byteCount);
        return writeResult;
    }
    // The planar samples as the bytes a disc holds.
    std::vector<uint8_t> SampleBytes() const {
        std::vector<uint8_t> out(samples.size() * 2);
        if (!samples.empty()) std::memcpy(out.data(), samples.data(), out.size());
        return out;
    }
};

} // namespace fake
