#include "core/filter.h"
#include "core/sample_block.h"
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {
std::map<std::string, int>* g_destroyed = nullptr;

struct Source : kySourceFilter2 {
    std::string id;
    uint32_t blocks;
    bool endInPrepare = false;
    kyError failAt = KY_OK;
    int processCalls = 0;
    uint32_t sent = 0;
    kyPlaneBuffer buf;
    Source(std::string i, uint32_t b) : kySourceFilter2("Test source"), id(std::move(i)), blocks(b) {
        m_format.channels = 2;
        m_format.lengthFrames = b * 10;
    }
    ~Source() override { if (g_destroyed) (*g_destroyed)[id]++; }
    kyError Prepare() override {
        sent = 0;
        buf.allocate(2, 10);
        if (endInPrepare) return m_downstream->EndOfStream();
        return KY_OK;
    }
    kyError Process() override {
        ++processCalls;
        if (failAt != KY_OK && sent == 2) return failAt;
        if (sent == blocks) return m_downstream->EndOfStream();
        for (uint32_t i = 0; i < 10; ++i) buf.plane(0)[i] = buf.plane(1)[i] = float(sent);
        ++sent;
        return m_downstream->Write(buf.planes(), 10);
    }
};

struct Gain : kyMorphFilter {
    std::string id;
    explicit Gain(std::string i) : kyMorphFilter("Gain morph"), id(std::move(i)) {}
    ~Gain() override { if (g_destroyed) (*g_destroyed)[id]++; }
    kyError Write(float** planes, uint32_t frames) override {
        for (uint32_t c = 0; planes[c]; ++c)
            for (uint32_t i = 0; i < frames; ++i) planes[c][i] *= 2;
        return kyMorphFilter::Write(planes, frames);
    }
};

struct Sink : kySinkFilter2 {
    std::string id;
    std::vector<float> got;
    kyError writeResult = KY_OK;
    explicit Sink(std::string i) : kySinkFilter2("Test sink"), id(std::move(i)) {}
    ~Sink() override { if (g_destroyed) (*g_destroyed)[id]++; }
    kyError Write(float** planes, uint32_t frames) override {
        got.push_back(planes[0][0]);
        return writeResult;
    }
};

struct DestroyCounter {
    std::map<std::string, int> counts;
    DestroyCounter() { g_destroyed = &counts; }
    ~DestroyCounter() { g_destroyed = nullptr; }
};
} // namespace

TEST(Chain, ConnectionOperations) {
    DestroyCounter dc;
    auto* a = new Source("a", 1);
    auto* b = new Source("b", 1);
    auto* s = new Sink("s");
    a->Connect(s);
    EXPECT_EQ(s->upstream(), a);
    b->Connect(s); // the old source is detached
    EXPECT_EQ(a->downstream(), nullptr);
    EXPECT_EQ(s->upstream(), b);

    auto* m1 = new Gain("m1");
    kySinkFilter* side = b->InsertAfter(m1);
    EXPECT_EQ(side, static_cast<kySinkFilter*>(m1));
    EXPECT_EQ(b->downstream(), static_cast<kySinkFilter*>(m1));
    EXPECT_EQ(static_cast<kySourceFilter*>(m1)->downstream(), s);
    EXPECT_EQ(s->upstream(), static_cast<kySourceFilter*>(m1));
    EXPECT_EQ(m1->AsSource(), static_cast<kySourceFilter*>(m1));
    EXPECT_EQ(m1->AsSink(), static_cast<kySinkFilter*>(m1));

    auto* m2 = new Gain("m2");
    s->InsertBefore(m2); // b -> m1 -> m2 -> s
    EXPECT_EQ(static_cast<kySourceFilter*>(m1)->downstream(), static_cast<kySinkFilter*>(m2));
    EXPECT_EQ(s->upstream(), static_cast<kySourceFilter*>(m2));

    m1->Remove(); // b -> m2 -> s
    EXPECT_EQ(b->downstream(), static_cast<kySinkFilter*>(m2));
    EXPECT_EQ(static_cast<kySinkFilter*>(m2)->upstream(), b);
    EXPECT_EQ(static_cast<kySourceFilter*>(m1)->downstream(), nullptr);
    EXPECT_EQ(static_cast<kySinkFilter*>(m1)->upstream(), nullptr);

    ASSERT_EQ(s->Run(), KY_OK);
    EXPECT_EQ(s->got, std::vector<float>{0.0f});

    s->Disconnect();
    EXPECT_EQ(static_cast<kySourceFilter*>(m2)->downstream(), nullptr);
    EXPECT_EQ(s->upstream(), nullptr);

    a->DestroyChain();
    static_cast<kySourceFilter*>(m1)->DestroyChain();
    b->DestroyChain(); // b and m2
    s->DestroyChain();
    EXPECT_EQ(dc.counts, (std::map<std::string, int>{{"a", 1}, {"b", 1}, {"m1", 1}, {"m2", 1}, {"s", 1}}));
}

TEST(Chain, DestroyFromAnyMemberDestroysEachOnce) {
    for (int from = 0; from < 5; ++from) {
        DestroyCounter dc;
        auto* src = new Source("src", 1);
        auto* m1 = new Gain("m1");
        auto* m2 = new Gain("m2");
        auto* m3 = new Gain("m3");
        auto* snk = new Sink("snk");
        src->Connect(snk);
        src->InsertAfter(m1);
        snk->InsertBefore(m3);
        static_cast<kySourceFilter*>(m1)->InsertAfter(m2);
        switch (from) {
        case 0: src->DestroyChain(); break;
        case 1: static_cast<kySinkFilter*>(m1)->DestroyChain(); break;
        case 2: static_cast<kySourceFilter*>(m2)->DestroyChain(); break;
        case 3: m3->AsSink()->DestroyChain(); break;
        case 4: snk->DestroyChain(); break;
        }
        EXPECT_EQ(dc.counts, (std::map<std::string, int>{
                                 {"src", 1}, {"m1", 1}, {"m2", 1}, {"m3", 1}, {"snk", 1}}))
            << "from member " << from;
    }
}

TEST(Chain, PullLoop) {
    // Blocks travel through the morph, which doubles them.
    auto* src = new Source("src", 3);
    auto* snk = new Sink("snk");
    src->Connect(snk);
    src->InsertAfter(new Gain("g"));
    ASSERT_EQ(snk->Run(), KY_OK);
    EXPECT_EQ(snk->got, (std::vector<float>{0, 2, 4}));
    EXPECT_TRUE(snk->finished());
    EXPECT_EQ(src->processCalls, 4);
    // A sink can run again.
    snk->got.clear();
    ASSERT_EQ(snk->Run(), KY_OK);
    EXPECT_EQ(snk->got.size(), 3u);

    // End of stream from Prepare: success without any Process.
    src->endInPrepare = true;
    src->processCalls = 0;
    ASSERT_EQ(snk->Run(), KY_OK);
    EXPECT_EQ(src->processCalls, 0);
    src->endInPrepare = false;

    // A failure is returned unchanged and stops the loop.
    src->failAt = KYERR_READ_FILE;
    src->processCalls = 0;
    EXPECT_EQ(snk->Run(), KYERR_READ_FILE);
    EXPECT_EQ(src->processCalls, 3);
    src->failAt = KY_OK;
    snk->writeResult = KYERR_WRITE_FILE;
    src->processCalls = 0;
    EXPECT_EQ(snk->Run(), KYERR_WRITE_FILE);
    EXPECT_EQ(src->processCalls, 1);
    snk->DestroyChain();
}

TEST(Chain, SourceDefaultsAndMorphWithoutNeighbours) {
    Gain* g = new Gain("g");
    kyAudioFormat f{1, 2, 3, 4, 5};
    EXPECT_EQ(g->GetFormat(f), KY_OK);
    EXPECT_EQ(f, kyAudioFormat{});
    EXPECT_EQ(g->Process(), KY_OK);
    EXPECT_EQ(g->Prepare(), KYERR_SEQUENCE);
    EXPECT_EQ(g->RunInterleaved(), KYERR_SEQUENCE);
    EXPECT_EQ(g->GetInterleavedFormat(2), nullptr);
    EXPECT_EQ(g->WriteInterleaved(nullptr, 0, 0), 1);
    EXPECT_EQ(g->GetPropertyUtf8(3), nullptr);
    g->DestroyChain();

    struct Bare : kySourceFilter2 {
        Bare() : kySourceFilter2("bare") {}
        kyError Prepare() override { return KY_OK; }
        kyError Process() override { return KY_OK; }
        void skip(uint32_t n, uint32_t ch) { m_skippedFrames = n; m_format.channels = ch; m_format.lengthFrames = 100; }
    } bare;
    bare.skip(30, 1);
    bare.GetFormat(f);
    EXPECT_EQ(f.channelMask, 0x4u);
    EXPECT_EQ(f.lengthFrames, 70u);
    EXPECT_EQ(f.sampleRate, 44100u);
    EXPECT_EQ(f.blockFrames, 8192u);
    bare.skip(0, 11);
    bare.GetFormat(f);
    EXPECT_EQ(f.channelMask, 0x7FFu);
    EXPECT_EQ(bare.RunInterleaved(), KYERR_SEQUENCE);
    bare.properties().setUtf8(3, "Title");
    EXPECT_STREQ(bare.GetPropertyA(3), "Title");
}

TEST(SampleBlock, AllocateClearCopy) {
    kyPlaneBuffer a, b;
    ASSERT_EQ(a.allocate(3, 8), KY_OK);
    ASSERT_EQ(b.allocate(2, 8), KY_OK);
    EXPECT_EQ(kyPlaneCount(a.planes()), 3u);
    EXPECT_EQ(a.planes()[3], nullptr);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 8; ++i) a.plane(c)[i] = float(c * 10 + i);
    // Overlapping move within the same planes.
    kyCopyPlanes(a.planes(), 2, a.planes(), 0, 6);
    EXPECT_EQ(a.plane(1)[2], 10.0f);
    EXPECT_EQ(a.plane(1)[7], 15.0f);
    // Destination planes beyond the source's count are zeroed.
    for (int i = 0; i < 8; ++i) b.plane(0)[i] = b.plane(1)[i] = 1.0f;
    kyCopyPlanes(a.planes(), 0, b.planes(), 0, 4);
    EXPECT_EQ(a.plane(2)[3], 0.0f);
    EXPECT_EQ(a.plane(2)[4], 22.0f);
    EXPECT_EQ(a.plane(0)[0], 1.0f);
    kyClearPlanes(b.planes(), 6, 2);
    EXPECT_EQ(b.plane(1)[5], 1.0f);
    EXPECT_EQ(b.plane(1)[6], 0.0f);
    a.free();
    EXPECT_EQ(a.planes(), nullptr);
}
