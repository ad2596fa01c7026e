// The read offset found on virtual drives of known offsets, with a dBAR record made from
// the disc image, and nothing found where the record belongs to another disc.
#include "cd/accuraterip_tap.h"
#include "cd/cd_sector.h"
#include "cd/virtual_drive.h"
#include "job/offset_finder.h"
#include "support/accuraterip_records.h"
#include "support/random_disc.h"
#include "support/virtual_reader.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A record of two pressings for the image: the first lists every track's frame-450
// checksum, the second only the last track's.
kyAccurateRipRecord recordFor(const kyDiscImage& image) {
    const std::vector<kyAccurateRipSums> sums = kytest::imageAccurateRipSums(image);
    kyAccurateRipRecord record;
    record.state = kyAccurateRipResult::Match;
    record.ids = kyAccurateRipDiscIds(image.Toc());
    kyAccurateRipPressing a = kytest::imagePressing(image, 2), b{record.ids, {}};
    for (const kyAccurateRipSums& s : sums)
        b.tracks.push_back({1, s.v2, &s == &sums.back() ? s.frame450 : 0});
    record.pressings = {a, b};
    return record;
}

class OffsetFinder : public kytest::VirtualReaderTest {
protected:
    OffsetFinder() : VirtualReaderTest("offset") {}
};

TEST_F(OffsetFinder, FindsTheDrivesOffset) {
    kytest::RandomDiscShape shape;
    shape.minTracks = shape.maxTracks = 3;
    shape.minSectors = 470;
    shape.maxSectors = 520;
    shape.maxSilence = 20;
    const auto image = kytest::makeRandomDisc(31, shape);
    const kyAccurateRipRecord record = recordFor(*image);
    for (int32_t n : {667, -472, 6, 0}) {
        SCOPED_TRACE(n);
        ASSERT_NO_FATAL_FAILURE(Use(image, "offset=" + std::to_string(n)));
        m_reader->SetReadOffset(-100); // whatever was set is put back
        const kyOffsetFinding f = kyFindReadOffset(*m_reader, record);
        EXPECT_TRUE(f.found) << f.message;
        EXPECT_EQ(f.offset, n);
        EXPECT_EQ(f.tracks, 3);
        EXPECT_EQ(f.tracksTried, 3);
        EXPECT_EQ(f.pressings, 2);
        EXPECT_EQ(m_reader->ReadOffset(), -100);
    }

    // The record of another disc: no offset agrees.
    const kyAccurateRipRecord other = recordFor(*kytest::makeRandomDisc(32, shape));
    ASSERT_NO_FATAL_FAILURE(Use(image, "offset=667"));
    kyOffsetFinding f = kyFindReadOffset(*m_reader, other);
    EXPECT_FALSE(f.found);
    EXPECT_FALSE(f.message.empty());
    // Without a record there is nothing to search against.
    kyAccurateRipRecord none;
    none.state = kyAccurateRipResult::NotFound;
    f = kyFindReadOffset(*m_reader, none);
    EXPECT_FALSE(f.found);
    EXPECT_EQ(f.tracksTried, 0);
}

} // namespace
