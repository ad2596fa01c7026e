// The built-in demo disc and the generated test image: music-like material made from a
// few synthesized voices, so that tests and benchmarks need no recordings.
#include "cd/disc_image_builder.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <sys/stat.h>

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kSectorBytes = 2352;
constexpr uint32_t kSectorFrames = 588;

// What a generated track is made of.
struct Style {
    bool chords = false;
    bool melody = false;
    bool bursts = false;
    bool emphasis = false;     // recorded with 50/15 us pre-emphasis
    uint32_t silentFrames = 0; // digital silence at the start
    int transpose = 0;         // semitones
};

class Synth {
public:
    Synth(const Style& style, uint32_t seed, uint32_t frames)
        : m_style(style), m_rng(seed * 2654435761u + 12345u), m_frames(frames) {
        static std::once_flag once;
        std::call_once(once, [] {
            for (size_t i = 0; i < kTable; ++i)
                Table()[i] = float(std::sin(2 * std::numbers::pi * double(i) / kTable));
        });
        // Bilinear transform of (1 + s*50us) / (1 + s*15us).
        const double k = 2.0 * kRate;
        const double a0 = 1 + k * 15e-6;
        m_b0 = float((1 + k * 50e-6) / a0);
        m_b1 = float((1 - k * 50e-6) / a0);
        m_a1 = float((1 - k * 15e-6) / a0);
    }

    // Interleaved 16-bit stereo, continuing where the last call ended.
    void Render(int16_t* out, uint32_t frames) {
        for (uint32_t i = 0; i < frames; ++i, ++m_frame) {
            float l = 0, r = 0;
            if (m_frame >= m_style.silentFrames) Frame(m_frame - m_style.silentFrames, l, r);
            // Short fades at both ends so that tracks do not click.
            const uint32_t fade = kRate / 50;
            if (m_frame >= m_style.silentFrames && m_frame - m_style.silentFrames < fade) {
                const float g = float(m_frame - m_style.silentFrames) / fade;
                l *= g;
                r *= g;
            }
            if (m_frames > m_frame && m_frames - m_frame < fade) {
                const float g = float(m_frames - m_frame) / fade;
                l *= g;
                r *= g;
            }
            out[2 * i] = ToPcm(l);
            out[2 * i + 1] = ToPcm(r);
        }
    }

private:
    static constexpr size_t kTable = 4096;
    static float* Table() {
        static float table[kTable + 1];
        return table;
    }
    static float Sine(double phase) { // phase in cycles
        const double x = (phase - std::floor(phase)) * kTable;
        const size_t i = size_t(x);
        const float f = float(x - double(i));
        const float* t = Table();
        return t[i] + (t[(i + 1) % kTable] - t[i]) * f;
    }
    static double Hz(int midi) {
        static const auto table = [] {
            std::array<double, 128> t{};
            for (int i = 0; i < 128; ++i) t[size_t(i)] = 440.0 * std::pow(2.0, (i - 69) / 12.0);
            return t;
        }();
        return table[size_t(std::clamp(midi, 0, 127))];
    }
    static int16_t ToPcm(float x) {
        const float v = std::round(x * 32767.0f);
        return int16_t(std::clamp(v, -32768.0f, 32767.0f));
    }
    uint32_t Next() {
        m_rng ^= m_rng << 13;
        m_rng ^= m_rng >> 17;
        m_rng ^= m_rng << 5;
        return m_rng;
    }
    float Noise() { return float(Next()) / 2147483648.0f - 1.0f; }

    void Frame(uint32_t t, float& l, float& r) {
        const int base = 60 + m_style.transpose;
        if (m_style.chords) {
            // I - vi - IV - V, two seconds each.
            static const int chords[4][3] = {{0, 4, 7}, {-3, 0, 4}, {-7, -3, 0}, {-5, -1, 2}};
            const uint32_t len = 2 * kRate;
            const int* c = chords[(t / len) % 4];
            const float pos = float(t % len) / kRate;
            const float env = std::min(1.0f, pos * 40) * (0.55f + 0.45f * std::exp(-pos * 2.5f));
            for (int v = 0; v < 3; ++v) {
                const double f = Hz(base + c[v]);
                m_chordPhase[v] += f / kRate;
                const double p = m_chordPhase[v];
                const float s = Sine(p) + 0.35f * Sine(2 * p) + 0.12f * Sine(3 * p);
                const float pan = 0.3f + 0.2f * float(v);
                l += 0.09f * env * s * (1 - pan);
                r += 0.09f * env * s * pan;
            }
        }
        if (m_style.melody) {
            if (t >= m_noteEnd) {
                static const int scale[] = {0, 2, 4, 7, 9, 12, 14, 16};
                m_noteMidi = base + 12 + scale[Next() % 8];
                m_noteStart = t;
                m_noteEnd = t + kRate / 8 * (1 + Next() % 4);
            }
            const float pos = float(t - m_noteStart) / kRate;
            const float env = std::min(1.0f, pos * 200) * std::exp(-pos * 5.0f);
            m_notePhase += Hz(m_noteMidi) / kRate;
            const float s = env * (Sine(m_notePhase) + 0.25f * Sine(3 * m_notePhase));
            // The bass follows the bar.
            m_bassPhase += Hz(base - 24 + ((t / (2 * kRate)) % 2 ? 5 : 0)) / kRate;
            const float bass = 0.16f * Sine(m_bassPhase);
            l += 0.22f * s + bass;
            r += 0.16f * s + bass;
        }
        if (m_style.bursts) {
            m_dronePhase[0] += 110.0 / kRate;
            m_dronePhase[1] += 110.7 / kRate;
            l += 0.08f * Sine(m_dronePhase[0]);
            r += 0.08f * Sine(m_dronePhase[1]);
            if (t >= m_burstEnd + m_burstPause) {
                m_burstStart = t;
                m_burstEnd = t + kRate / 10 + Next() % (kRate / 3);
                m_burstPause = kRate / 4 + Next() % kRate;
                m_burstColour = 0.05f + float(Next() % 900) / 1000.0f;
            }
            if (t < m_burstEnd) {
                const float pos = float(t - m_burstStart) / float(m_burstEnd - m_burstStart);
                const float env = std::sin(float(std::numbers::pi) * pos);
                m_lowL += m_burstColour * (Noise() - m_lowL);
                m_lowR += m_burstColour * (Noise() - m_lowR);
                l += 0.35f * env * m_lowL;
                r += 0.35f * env * m_lowR;
            }
        }
        if (m_style.emphasis) {
            // Scaled down first: the treble comes out 10 dB louder.
            const float xl = 0.3f * l, xr = 0.3f * r;
            l = m_b0 * xl + m_b1 * m_xl - m_a1 * m_yl;
            r = m_b0 * xr + m_b1 * m_xr - m_a1 * m_yr;
            m_xl = xl;
            m_xr = xr;
            m_yl = l;
            m_yr = r;
        }
    }

    Style m_style;
    uint32_t m_rng;
    uint32_t m_frames;
    uint32_t m_frame = 0;
    double m_chordPhase[3] = {};
    double m_notePhase = 0, m_bassPhase = 0, m_dronePhase[2] = {};
    int m_noteMidi = 72;
    uint32_t m_noteStart = 0, m_noteEnd = 0;
    uint32_t m_burstStart = 0, m_burstEnd = 0, m_burstPause = kRate / 2;
    float m_burstColour = 0.5f, m_lowL = 0, m_lowR = 0;
    float m_b0 = 1, m_b1 = 0, m_a1 = 0, m_xl = 0, m_xr = 0, m_yl = 0, m_yr = 0;
};

// A generated audio track, rendered on first use and kept.
struct SynthSource : kyDiscImage::Source {
    Style style;
    uint32_t seed;
    uint32_t sectors;
    mutable std::once_flag rendered;
    mutable std::vector<int16_t> pcm;
    SynthSource(const Style& s, uint32_t sd, uint32_t n) : style(s), seed(sd), sectors(n) {}
    bool Read(uint64_t sector, uint32_t count, uint8_t* out) const override {
        if (sector + count > sectors) return false;
        std::call_once(rendered, [this] {
            pcm.resize(size_t(sectors) * kSectorFrames * 2);
            Synth(style, seed, sectors * kSectorFrames).Render(pcm.data(), sectors * kSectorFrames);
        });
        // CD-DA is little-endian, as is every machine this runs on.
        std::memcpy(out, pcm.data() + sector * kSectorFrames * 2, size_t(count) * kSectorBytes);
        return true;
    }
};

// Mode 1 sectors: sync, header and a recognisable payload.
struct DataSource : kyDiscImage::Source {
    uint32_t firstLba;
    uint32_t sectors;
    DataSource(uint32_t lba, uint32_t n) : firstLba(lba), sectors(n) {}
    static uint8_t Bcd(uint8_t v) { return uint8_t((v / 10) << 4 | (v % 10)); }
    bool Read(uint64_t sector, uint32_t count, uint8_t* out) const override {
        if (sector + count > sectors) return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* s = out + size_t(i) * kSectorBytes;
            std::memset(s, 0, kSectorBytes);
            std::memset(s + 1, 0xFF, 10);
            uint8_t m, sec, f;
            kyLbaToMsf(firstLba + uint32_t(sector) + i, m, sec, f);
            s[12] = Bcd(m);
            s[13] = Bcd(sec);
            s[14] = Bcd(f);
            s[15] = 1;
            static const char text[] = "DskR demo disc - data session. ";
            for (size_t j = 0; j < 2048; ++j) s[16 + j] = uint8_t(text[j % (sizeof text - 1)]);
        }
        return true;
    }
};

struct DemoTrack {
    const char* title;
    uint32_t seconds;
    Style style;
    uint8_t control;
    const char* isrc;
    uint32_t pregap; // sectors of silence before INDEX 01
};

} // namespace

std::unique_ptr<kyDiscImage> kyDiscImage::Demo() {
    static const DemoTrack tracks[] = {
        {"Harbour Lights", 30, {true, false, false, false, 0, 0}, 2, "ZZVLM2600001", 0},
        {"After the Silence", 24, {false, true, false, false, kRate, 2}, 0, "ZZVLM2600002", 0},
        {"Static Weather", 22, {false, false, true, false, 0, 0}, 2, "ZZVLM2600003", 150},
        {"Old Master Tape", 26, {true, true, false, true, 0, -3}, 1, "ZZVLM2600004", 0},
        {"Glass Garden", 28, {true, true, false, false, 0, 5}, 0, "ZZVLM2600005", 0},
        {"Night Freight", 34, {true, true, true, false, 0, -5}, 2, "", 75},
    };
    constexpr uint32_t kDataSectors = 1500;

    kyDiscImageBuilder b;
    kyDemoDiscRecord record;
    record.artist = "The Velmora Ensemble";
    record.album = "Signals from the Demo Disc";
    record.year = "2026";
    record.genre = "Ambient";
    uint32_t cursor = 0;
    uint32_t number = 1;
    for (const DemoTrack& d : tracks) {
        kyDiscTrack t;
        t.number = number;
        t.session = 1;
        t.pregapStart = cursor;
        b.AddExtent(cursor, d.pregap, -1, 0);
        cursor += d.pregap;
        t.start = cursor;
        t.control = d.control;
        t.isrc = d.isrc;
        const uint32_t sectors = d.seconds * 75;
        b.AddExtent(cursor, sectors,
                    b.AddSource(std::make_unique<SynthSource>(d.style, number, sectors)), 0);
        cursor += sectors;
        b.Tracks().push_back(t);
        record.trackTitles.push_back(d.title);
        ++number;
    }
    kyDiscSession first;
    first.number = 1;
    first.leadOut = cursor;
    b.Sessions().push_back(first);

    kyDiscTrack data;
    data.number = number;
    data.session = 2;
    data.start = cursor + 11400;
    data.pregapStart = data.start;
    data.control = 4;
    data.mode = 1;
    b.AddExtent(data.start, kDataSectors,
                b.AddSource(std::make_unique<DataSource>(data.start, kDataSectors)), 0);
    b.Tracks().push_back(data);
    kyDiscSession second;
    second.number = 2;
    second.leadOut = data.start + kDataSectors;
    b.Sessions().push_back(second);

    b.Mcn() = "4012345678901";
    b.Record() = record;
    return b.Finish();
}

std::string kyWriteTestImage(const std::string& dir, uint32_t minutes, std::string& error) {
    error.clear();
    if (minutes == 0 || minutes > 80) {
        error = "a test image holds 1 to 80 minutes";
        return {};
    }
    const std::string bin = dir + "/DskR test image.bin";
    const std::string cue = dir + "/DskR test image.cue";
    const std::string partial = bin + ".part";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (!f) {
        error = "cannot create \"" + partial + "\": " + std::strerror(errno);
        return {};
    }
    // Tracks of about four and a half minutes, the last one taking what is left.
    const uint32_t total = minutes * 60 * 75;
    const uint32_t trackSectors = 270 * 75;
    std::string sheet =
        "REM generated by DskR for benchmarks\nFILE \"DskR test image.bin\" BINARY\n";
    std::vector<int16_t> chunk(size_t(kSectorFrames) * 2 * 75);
    bool ok = true;
    uint32_t written = 0;
    for (uint32_t n = 1; written < total && ok; ++n) {
        const uint32_t sectors = std::min(trackSectors, total - written);
        char line[96];
        std::snprintf(line, sizeof line, "  TRACK %02u AUDIO\n    INDEX 01 %02u:%02u:%02u\n", n,
                      written / 4500, (written / 75) % 60, written % 75);
        sheet += line;
        Style style;
        style.chords = n % 3 != 2;
        style.melody = n % 3 != 0;
        style.bursts = n % 4 == 3;
        style.transpose = int(n % 7) - 3;
        Synth synth(style, n, sectors * kSectorFrames);
        for (uint32_t done = 0; done < sectors && ok; done += 75) {
            const uint32_t now = std::min<uint32_t>(75, sectors - done);
            synth.Render(chunk.data(), now * kSectorFrames);
            ok = std::fwrite(chunk.data(), kSectorBytes, now, f) == now;
        }
        written += sectors;
    }
    ok = (std::fclose(f) == 0) && ok;
    std::FILE* c = ok ? std::fopen(cue.c_str(), "wb") : nullptr;
    if (c) {
        ok = std::fwrite(sheet.data(), 1, sheet.size(), c) == sheet.size();
        ok = (std::fclose(c) == 0) && ok;
    } else {
        ok = false;
    }
    if (!ok || std::rename(partial.c_str(), bin.c_str()) != 0) {
        error = "cannot write the test image in \"" + dir + "\": " + std::strerror(errno);
        std::remove(partial.c_str());
        std::remove(cue.c_str());
        return {};
    }
    return cue;
}
