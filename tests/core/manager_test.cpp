#include "core/manager.h"
#include "filters/channel_broker_filter.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// A writer that stores nothing: enough to look at what the manager links in front of it.
class NullWriter : public kyWriterFilter {
public:
    using kyWriterFilter::kyWriterFilter;
    kyError Run() override { return KY_OK; }
};

// What sits between the source and the writer, from the top: "broker", "resampler".
std::vector<std::string> between(kySourceFilter* source, kyWriterFilter* writer) {
    std::vector<std::string> out;
    kySinkFilter* s = source->downstream();
    while (s && s != writer) {
        if (dynamic_cast<kyChannelBrokerFilter*>(s))
            out.push_back("broker");
        else if (dynamic_cast<kyResamplingFilter*>(s))
            out.push_back("resampler");
        else
            out.push_back("?");
        kySourceFilter* src = s->AsSource();
        s = src ? src->downstream() : nullptr;
    }
    EXPECT_EQ(s, writer) << "the chain ends at the writer";
    return out;
}

} // namespace

TEST(Manager, ConnectWithConversionPlacesBrokerAndResampler) {
    kyFormatEntry stereoOnly{"x", "Stereo only"};
    stereoOnly.minChannels = 2;
    stereoOnly.maxChannels = 2;
    kyFormatEntry upToTwo{"x", "Up to two"};
    upToTwo.minChannels = 1;
    upToTwo.maxChannels = 2;
    struct Case {
        const char* what;
        uint32_t sourceChannels;
        const kyFormatEntry* entry;
        uint32_t channels, rate;
        kyError result;
        std::vector<std::string> chain;
    } cases[] = {
        {"mono to stereo-only", 1, &stereoOnly, 0, 0, KY_OK, {"broker"}},
        {"6 to 2 at 48 kHz: resample 2", 6, &upToTwo, 2, 48000, KY_OK, {"broker", "resampler"}},
        {"1 to 2 at 48 kHz: resample 1", 1, &upToTwo, 2, 48000, KY_OK, {"resampler", "broker"}},
        {"6 lowered to the maximum", 6, &upToTwo, 0, 0, KY_OK, {"broker"}},
        {"same rate and channels", 2, &upToTwo, 0, 44100, KY_OK, {}},
        {"rate only", 2, &upToTwo, 0, 22050, KY_OK, {"resampler"}},
        {"3 for a 1-2 writer", 2, &upToTwo, 3, 0, KYERR_INVALID_PARAMETER, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto* src =
            new kytest::MemorySource(kytest::sinePlanes(c.sourceChannels, 100, 44100), 44100);
        auto* w = new NullWriter(-1, "x.x", "", c.entry);
        EXPECT_EQ(kyManager::Instance().ConnectWithConversion(src, w, c.channels, c.rate),
                  c.result);
        if (kyFailed(c.result)) {
            EXPECT_EQ(src->downstream(), nullptr); // nothing linked
            EXPECT_EQ(w->upstream(), nullptr);
            delete src;
            delete w;
            continue;
        }
        EXPECT_EQ(between(src, w), c.chain);
        kyAudioFormat f{};
        ASSERT_EQ(w->upstream()->GetFormat(f), KY_OK);
        EXPECT_EQ(f.channels, c.channels
                                  ? c.channels
                                  : std::min(std::max(c.sourceChannels, c.entry->minChannels),
                                             c.entry->maxChannels));
        EXPECT_EQ(f.sampleRate, c.rate ? c.rate : 44100u);
        w->DestroyChain();
    }
}

TEST(Manager, ConvertsOnTheWayToAFile) {
    kytest::ScratchDir dir;
    std::string p = dir.path("m.wav");
    kyWriterFilter* w = nullptr;
    ASSERT_EQ(kyManager::Instance().CreateWriter(w, p.c_str(), "PCM 16-bit", -2), KY_OK);
    auto* src = new kytest::MemorySource(kytest::sinePlanes(1, 44100, 44100), 44100);
    ASSERT_EQ(kyManager::Instance().ConnectWithConversion(src, w, 2, 48000), KY_OK);
    ASSERT_EQ(w->Run(), KY_OK);
    w->DestroyChain();

    kyReaderFilter* r = nullptr;
    ASSERT_EQ(kyManager::Instance().OpenReader(r, p.c_str(), -2, 0), KY_OK);
    kyAudioFormat f{};
    r->GetFormat(f);
    EXPECT_EQ(f.channels, 2u);
    EXPECT_EQ(f.sampleRate, 48000u);
    EXPECT_NEAR(double(f.lengthFrames), 48000.0, 48.0);
    delete r;
}

TEST(Manager, TemporaryNames) {
    kytest::ScratchDir dir;
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", dir.dir().c_str(), 1);
    std::string a = kyManager::TempFileName();
    std::string b = kyManager::TempFileName();
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_LT(a.size(), KY_MAX_PATH);
    EXPECT_EQ(a.rfind(dir.dir() + "/ky", 0), 0u) << a;
    EXPECT_EQ(a.substr(a.size() - 4), ".tmp");
    EXPECT_EQ(a.size(), dir.dir().size() + 1 + 12);
    struct stat st {};
    EXPECT_EQ(::stat(a.c_str(), &st), 0) << "the file is made, empty";
    EXPECT_EQ(st.st_size, 0);
}
