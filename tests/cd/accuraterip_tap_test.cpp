// The AccurateRip checksums taken from the CD source while it reads virtual drives with
// read offsets, compared with whipper's accuraterip-checksum run on WAV files of the very
// audio the source delivered: first, middle and last tracks of several discs, v1 and v2.
#include "cd/accuraterip_tap.h"
#include "cd/cd_sector.h"
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_fake_drive.h"
#include "cd/virtual_drive.h"
#include "support/codec_test_files.h"
#include "support/random_disc.h"
#include "support/virtual_reader.h"
#include "support/run_program.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Keeps what the source delivered, per track.
class TrackCollector : public kyCdAudioTap {
public:
    explicit TrackCollector(const kyDiscToc& toc) : m_toc(toc) {}
    void SectorDelivered(uint32_t sector, const uint8_t* pcm) override {
        for (uint32_t t = m_toc.firstTrack; t <= m_toc.lastTrack; ++t) {
            const kyTocEntry& e = m_toc.entries[t];
            if (sector >= e.start && sector - e.start < e.length) {
                bytes[t].insert(bytes[t].end(), pcm, pcm + kycd::kSectorBytes);
                return;
            }
        }
    }
    std::map<uint32_t, std::vector<uint8_t>> bytes;

private:
    kyDiscToc m_toc;
};

void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}

void writeWav(const std::string& path, const std::vector<uint8_t>& pcm) {
    std::string h = "RIFF";
    put32(h, uint32_t(36 + pcm.size()));
    h += "WAVEfmt ";
    put32(h, 16);
    put32(h, 0x00020001); // PCM, stereo
    put32(h, 44100);
    put32(h, 44100 * 4);
    put32(h, 0x00100004); // block 4, 16 bits
    h += "data";
    put32(h, uint32_t(pcm.size()));
    std::ofstream out(path, std::ios::binary);
    out.write(h.data(), std::streamsize(h.size()));
    out.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size()));
}

uint32_t toolChecksum(const std::string& wav, bool v1, uint32_t track, uint32_t tracks,
                      const std::string& scratch) {
    const kytest::ProgramRun run =
        kytest::runProgram("/usr/bin/accuraterip-checksum",
                           {v1 ? "--accuraterip-v1" : "--accuraterip-v2", wav,
                            std::to_string(track), std::to_string(tracks)},
                           scratch);
    EXPECT_EQ(run.code, 0) << run.err;
    return uint32_t(std::stoul(run.out, nullptr, 16));
}

class AccurateRipTap : public kytest::VirtualReaderTest {
protected:
    AccurateRipTap() : VirtualReaderTest("artap") {}

    // Reads tracks first..last in one run with both taps listening.
    void ReadTracks(uint32_t first, uint32_t last, std::vector<kyCdAudioTap*> taps) {
        fake::Sink sink;
        sink.keepFloats = false;
        for (kyCdAudioTap* tap : taps) m_reader->AddAudioTap(tap);
        m_reader->SetReadMode(KY_READ_JITTER);
        ASSERT_TRUE(m_reader->SetTrackRange(first, last));
        m_reader->Connect(&sink);
        EXPECT_EQ(sink.Run(), KY_OK);
        m_reader->Disconnect();
        for (kyCdAudioTap* tap : taps) m_reader->RemoveAudioTap(tap);
    }
};

TEST_F(AccurateRipTap, ChecksumsEqualWhippersOnFirstMiddleAndLastTracks) {
    if (!fs::exists("/usr/bin/accuraterip-checksum"))
        GTEST_SKIP() << "accuraterip-checksum (whipper) is not installed";
    struct Case {
        std::shared_ptr<kyDiscImage> image;
        std::string faults;
        int32_t offset;
    };
    kytest::RandomDiscShape longer;
    longer.minTracks = 5;
    longer.maxTracks = 7;
    longer.minSectors = 500; // long enough for frame 450
    longer.maxSectors = 700;
    const Case cases[] = {
        {kyDiscImage::Demo(), "offset=667", 667},
        {kytest::makeRandomDisc(71, longer), "offset=-472", -472},
        {kytest::makeRandomDisc(72), "offset=6,seed=9,scratch=100-130:0.2", 6},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(Use(c.image, c.faults));
        m_reader->SetReadOffset(c.offset);
        const kyDiscToc& toc = m_reader->Toc();
        uint32_t lastAudio = toc.lastTrack;
        while (toc.entries[lastAudio].data) --lastAudio;
        const uint32_t middle = (toc.firstTrack + lastAudio) / 2;
        kyAccurateRipTap sums(toc);
        TrackCollector audio(toc);
        // The whole disc in one run, as a merged rip reads it, and a middle track alone.
        ReadTracks(toc.firstTrack, lastAudio, {&sums, &audio});
        kyAccurateRipTap alone(toc);
        ReadTracks(middle, middle, {&alone});
        ASSERT_EQ(alone.sums().size(), 1u);
        EXPECT_TRUE(alone.sums()[0].complete);

        for (uint32_t t : {toc.firstTrack, middle, lastAudio}) {
            SCOPED_TRACE("offset " + std::to_string(c.offset) + ", track " + std::to_string(t));
            const kyAccurateRipSums* s = sums.track(t);
            ASSERT_TRUE(s);
            EXPECT_TRUE(s->complete);
            const std::string wav = (m_dir / ("t" + std::to_string(t) + ".wav")).string();
            writeWav(wav, audio.bytes[t]);
            EXPECT_EQ(s->v1, toolChecksum(wav, true, t, lastAudio, m_dir.string()));
            EXPECT_EQ(s->v2, toolChecksum(wav, false, t, lastAudio, m_dir.string()));
            if (t == middle) {
                EXPECT_EQ(alone.sums()[0].v1, s->v1);
                EXPECT_EQ(alone.sums()[0].v2, s->v2);
            }
            // Frame 450: v1 of that sector on its own.
            ASSERT_EQ(s->hasFrame450, toc.entries[t].length > 450);
            if (s->hasFrame450) {
                const std::vector<uint8_t> one(audio.bytes[t].begin() + 450 * kycd::kSectorBytes,
                                               audio.bytes[t].begin() + 451 * kycd::kSectorBytes);
                writeWav(wav, one);
                EXPECT_EQ(s->frame450, toolChecksum(wav, true, 2, 3, m_dir.string()));
            }
        }
    }
}

TEST_F(AccurateRipTap, ATrackNotReadWholeIsNotComplete) {
    auto image = kytest::makeRandomDisc(73);
    Use(image, "");
    const kyDiscToc& toc = m_reader->Toc();
    kyAccurateRipTap sums(toc);
    m_reader->AddAudioTap(&sums);
    fake::Sink sink;
    sink.keepFloats = false;
    // From the middle of track 1 into track 2.
    const uint32_t from = toc.entries[1].start + toc.entries[1].length / 2;
    ASSERT_TRUE(m_reader->SetRange(from, toc.entries[2].start + toc.entries[2].length));
    m_reader->Connect(&sink);
    ASSERT_EQ(sink.Run(), KY_OK);
    m_reader->Disconnect();
    m_reader->RemoveAudioTap(&sums);
    ASSERT_EQ(sums.sums().size(), 2u);
    EXPECT_FALSE(sums.track(1)->complete);
    EXPECT_TRUE(sums.track(2)->complete);
}

} // namespace
