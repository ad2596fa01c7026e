// The buffered output layer against a plain in-memory model of the file: appends, patches of
// bytes still buffered and of bytes long stored, writes past the end and reads in between
// must leave exactly the bytes a direct writer would; a full disk fails rather than
// passing for success, also through a format writer.
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"
#include "platform/buffered_file.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

namespace {

std::vector<uint8_t> fileBytes(int fd) {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
        at += n;
    }
    return out;
}

void modelWrite(std::vector<uint8_t>& model, uint64_t offset, const std::vector<uint8_t>& data) {
    if (model.size() < offset + data.size()) model.resize(offset + data.size(), 0);
    std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(offset));
}

} // namespace

TEST(BufferedFile, RandomWritesAndReadsMatchADirectWriter) {
    kytest::ScratchDir dir;
    // Capacities below, at and above the sizes written, so every path is taken.
    for (size_t capacity : {size_t(1), size_t(37), size_t(512), kyBufferedFile::kDefaultCapacity}) {
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            const std::string path =
                dir.path("f" + std::to_string(capacity) + "_" + std::to_string(seed));
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            kyBufferedFile file(fd, capacity);
            std::vector<uint8_t> model;
            std::mt19937 rng(seed);
            uint64_t position = 0;
            for (int op = 0; op < 400; ++op) {
                const uint32_t kind = rng() % 10;
                if (kind < 6) {
                    // Append at the running position, in pieces from a byte to beyond the
                    // buffer's size.
                    std::vector<uint8_t> data(1 + rng() % (kind == 0 ? 3000 : 300));
                    for (auto& b : data) b = static_cast<uint8_t>(rng());
                    ASSERT_TRUE(file.writeAt(position, data.data(), data.size()));
                    modelWrite(model, position, data);
                    position += data.size();
                } else if (kind < 8 && !model.empty()) {
                    // A patch anywhere in what exists (a header field, a recent frame).
                    const uint64_t at = rng() % model.size();
                    std::vector<uint8_t> data(1 + rng() % 16);
                    for (auto& b : data) b = static_cast<uint8_t>(rng());
                    ASSERT_TRUE(file.writeAt(at, data.data(), data.size()));
                    modelWrite(model, at, data);
                } else if (kind == 8 && !model.empty()) {
                    // Read back what was written, buffered or not.
                    const uint64_t at = rng() % model.size();
                    const size_t size = std::min<size_t>(1 + rng() % 64, model.size() - at);
                    std::vector<uint8_t> got(size);
                    ASSERT_TRUE(file.readAt(at, got.data(), size));
                    ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + long(at)))
                        << "capacity " << capacity << " seed " << seed << " op " << op;
                } else {
                    // A jump past the end leaves a hole of zeros.
                    position = model.size() + rng() % 100;
                }
            }
            ASSERT_TRUE(file.flush());
            EXPECT_EQ(file.pending(), 0u);
            EXPECT_EQ(fileBytes(fd), model) << "capacity " << capacity << " seed " << seed;
            ::close(fd);
        }
    }
}

TEST(BufferedFile, AFullDiskFailsTheWriteOrTheFlushAndAWriterRun) {
    const int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    {
        kyBufferedFile file(fd, 4096);
        const std::vector<uint8_t> small(100, 1), large(10000, 2);
        // A small write may wait in the buffer; storing it must then fail.
        EXPECT_TRUE(file.writeAt(0, small.data(), small.size()));
        EXPECT_FALSE(file.flush());
        EXPECT_FALSE(file.writeAt(0, large.data(), large.size()));
    }
    ::close(fd);

    // Every writer ends by storing its buffer: a disk that takes nothing fails the run with
    // "Couldn't write to file", even when the whole file fits in the buffer.
    for (const char* format :
         {"Microsoft wave format", "Free lossless audio codec", "Vorbis Ogg stream"}) {
        const int32_t index = kytest::catalogIndex(format, true);
        if (index < 0) continue;
        kyWriterFilter* w = nullptr;
        auto* src = new kytest::MemorySource(kytest::sinePlanes(2, 2000, 44100), 44100, 588);
        ASSERT_EQ(kyFormatCatalog::Instance().CreateWriter(w, "/dev/full", "", index), KY_OK);
        src->Connect(w);
        const kyError e = w->Run();
        w->DestroyChain();
        if (e == KYERR_MISSING_COMPONENT) continue;
        EXPECT_EQ(e, KYERR_WRITE_FILE) << format;
    }
}
