// A MusicBrainz release on a rip: the slots the CD source carries for each file, and the
// front cover kept for the writers and saved as cover.jpg beside the files of a real batch
// on the virtual drive.
#include "job/release_tags.h"

#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "job/batch_runner.h"
#include "support/codec_test_files.h"
#include "support/file_text.h"
#include "support/scripted_frontend.h"
#include "support/test_discs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

const std::string kRelease = "00000000-0000-4000-8000-000000000010";

std::shared_ptr<const CoverImage> cover(const std::string& bytes) {
    return std::make_shared<const CoverImage>(CoverImage{bytes, "image/jpeg"});
}

// Three tracks named from a release: a compilation, disc 2 of 3.
DiscInfo releaseDisc() {
    DiscInfo d;
    d.makeRows(kytest::evenToc(3, 15000));
    d.artist = "Various Artists";
    d.title = "Hits";
    d.year = 1999;
    DiscRelease& r = d.release;
    r.releaseId = kRelease;
    r.releaseGroupId = "00000000-0000-4000-8000-000000000011";
    r.artistIds = "89ad4ac3-39f7-470e-963a-56509c546377";
    r.discId = "OMDNUUEF6OVAhAJVAHuIJDSdzdM-";
    r.date = "1999-03-01";
    r.originalDate = "1998";
    r.country = "GB";
    r.label = "Label";
    r.catalogNumber = "CAT 1";
    r.barcode = "0123";
    r.format = "CD";
    r.discNumber = 2;
    r.discTotal = 3;
    for (size_t i = 0; i < d.tracks.size(); ++i) {
        TrackEntry& t = d.tracks[i];
        t.name = "Song " + std::to_string(i + 1);
        t.artist = i < 2 ? "Ann" : "Bob";
        t.artistIds =
            i < 2 ? "00000000-0000-4000-8000-0000000000a1" : "00000000-0000-4000-8000-0000000000b1";
        t.recordingId = "00000000-0000-4000-8000-00000000010" + std::to_string(i);
        t.trackId = "00000000-0000-4000-8000-00000000020" + std::to_string(i);
        t.isrc = "GBAAA990000" + std::to_string(i);
    }
    return d;
}

std::string text(kyPropertyTable& p, uint32_t slot) {
    const char* t = p.getUtf8(slot);
    return t ? t : "";
}

} // namespace

TEST(ReleaseTags, SlotsForEachFile) {
    const DiscInfo d = releaseDisc();
    kyPropertyTable p;
    kySetReleaseProperties(p, d, 1, 1, "/tmp/cover.tmp");
    const std::pair<uint32_t, const char*> one[] = {
        {KYPROP_ARTIST, "Ann"},
        {KYPROP_ALBUM_ARTIST, "Various Artists"},
        {KYPROP_DISC_NUMBER, "2"},
        {KYPROP_DISC_TOTAL, "3"},
        {KYPROP_DATE, "1999-03-01"},
        {KYPROP_ORIGINAL_DATE, "1998"},
        {KYPROP_MB_RELEASE_ID, "00000000-0000-4000-8000-000000000010"},
        {KYPROP_MB_RELEASE_GROUP_ID, "00000000-0000-4000-8000-000000000011"},
        {KYPROP_MB_RECORDING_ID, "00000000-0000-4000-8000-000000000101"},
        {KYPROP_MB_TRACK_ID, "00000000-0000-4000-8000-000000000201"},
        {KYPROP_MB_ARTIST_ID, "00000000-0000-4000-8000-0000000000a1"},
        {KYPROP_MB_ALBUM_ARTIST_ID, "89ad4ac3-39f7-470e-963a-56509c546377"},
        {KYPROP_MB_DISC_ID, "OMDNUUEF6OVAhAJVAHuIJDSdzdM-"},
        {KYPROP_RELEASE_COUNTRY, "GB"},
        {KYPROP_PUBLISHER, "Label"},
        {KYPROP_CATALOG_NUMBER, "CAT 1"},
        {KYPROP_BARCODE, "0123"},
        {KYPROP_MEDIA, "CD"},
        {KYPROP_ISRC, "GBAAA9900001"},
        {KYPROP_COVER_FILE, "/tmp/cover.tmp"},
    };
    for (auto [slot, expected] : one) EXPECT_EQ(text(p, slot), expected) << "slot " << slot;

    // Two tracks of one artist in one file: her name, no single recording.
    kySetReleaseProperties(p, d, 0, 1, "");
    EXPECT_EQ(text(p, KYPROP_ARTIST), "Ann");
    EXPECT_EQ(text(p, KYPROP_MB_ARTIST_ID), "00000000-0000-4000-8000-0000000000a1");
    for (uint32_t slot :
         {KYPROP_MB_RECORDING_ID, KYPROP_MB_TRACK_ID, KYPROP_ISRC, KYPROP_COVER_FILE})
        EXPECT_EQ(text(p, slot), "") << slot;
    // Tracks of two artists: the disc's artist stays (the caller set it).
    p.setUtf8(KYPROP_ARTIST, "Various Artists");
    kySetReleaseProperties(p, d, 1, 2, "");
    EXPECT_EQ(text(p, KYPROP_ARTIST), "Various Artists");
    EXPECT_EQ(text(p, KYPROP_MB_ARTIST_ID), "");

    // A release none of whose discs is this one (a close layout): its disc total alone
    // would be a "/3" no tag can hold, so neither number is set.
    DiscInfo unmatched = releaseDisc();
    unmatched.release.discNumber = 0;
    kySetReleaseProperties(p, unmatched, 0, 0, "");
    EXPECT_EQ(text(p, KYPROP_DISC_NUMBER), "");
    EXPECT_EQ(text(p, KYPROP_DISC_TOTAL), "");
    EXPECT_EQ(text(p, KYPROP_MB_RELEASE_ID), kRelease);

    // Names from gnudb: only the album artist; nothing of the release before stays.
    DiscInfo plain;
    plain.makeRows(kytest::evenToc(3, 15000));
    plain.artist = "Band";
    kySetReleaseProperties(p, d, 0, 0, "x");
    kySetReleaseProperties(p, plain, 0, 0, "");
    for (uint32_t slot = KYPROP_ALBUM_ARTIST; slot < KY_SOURCE_PROPERTY_SLOTS; ++slot)
        EXPECT_EQ(text(p, slot), slot == KYPROP_ALBUM_ARTIST ? "Band" : "") << slot;
    kySetReleaseProperties(p, plain, 7, 9, ""); // rows the disc does not have
    EXPECT_EQ(text(p, KYPROP_ALBUM_ARTIST), "");
}

TEST(ReleaseTags, CoverFiles) {
    kytest::ScratchDir scratch;
    const fs::path dir = scratch.dir();
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    kytest::writeText(dir / "b/cover.jpg", "mine");

    DiscInfo d = releaseDisc();
    kyCoverArtFiles files;
    ASSERT_TRUE(files.begin(d));
    EXPECT_EQ(files.embedFile(), ""); // no cover: nothing to do
    EXPECT_TRUE(files.addBeside((dir / "a/01.wav").string()));
    EXPECT_FALSE(fs::exists(dir / "a/cover.jpg"));

    d.cover = cover("\xFF\xD8\xFF\xE0 cover");
    ASSERT_TRUE(files.begin(d));
    const std::string temporary = files.embedFile();
    ASSERT_FALSE(temporary.empty());
    EXPECT_EQ(kytest::readText(temporary), "\xFF\xD8\xFF\xE0 cover");
    EXPECT_TRUE(files.addBeside((dir / "a/01.wav").string()));
    EXPECT_TRUE(files.addBeside((dir / "a/02.wav").string()));
    EXPECT_TRUE(files.addBeside((dir / "b/01.wav").string()));
    EXPECT_EQ(kytest::readText(dir / "a/cover.jpg"), "\xFF\xD8\xFF\xE0 cover");
    EXPECT_EQ(kytest::readText(dir / "b/cover.jpg"), "mine"); // the user's stays
    // A folder that cannot take it: false, and nothing half-written.
    fs::create_directories(dir / "ro");
    chmod((dir / "ro").c_str(), 0500);
    if (access((dir / "ro").c_str(), W_OK) != 0) {
        EXPECT_FALSE(files.addBeside((dir / "ro/01.wav").string()));
        EXPECT_TRUE(fs::is_empty(dir / "ro"));
    }
    chmod((dir / "ro").c_str(), 0700);
    files.end();
    EXPECT_FALSE(fs::exists(temporary));
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir / "a")) entries += e.path().filename() != "";
    EXPECT_EQ(entries, 1u); // cover.jpg only: no part file left
}

// A batch on the virtual drive: cover.jpg beside the files, the temporary image gone, the
// last file's slots on the CD source.
TEST(ReleaseTags, BatchSavesTheCoverBesideTheFiles) {
    kytest::ScratchDir scratch;
    const fs::path dir = scratch.dir();
    std::string bin(size_t(3) * 75 * 2352, '\0');
    for (size_t i = 0; i < bin.size(); i += 2) bin[i] = static_cast<char>(i % 97);
    std::ofstream(dir / "disc.bin", std::ios::binary) << bin;
    std::ofstream(dir / "disc.cue") << "FILE \"disc.bin\" BINARY\n"
                                       "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 00:02:00\n";
    kyClearVirtualDrives();
    std::string error;
    std::shared_ptr<kyDiscImage> image = kyDiscImage::LoadCue((dir / "disc.cue").string(), error);
    ASSERT_TRUE(image) << error;
    const int index = kyAddVirtualDrive(image, "", error);
    ASSERT_GE(index, 0) << error;
    kyDskReader reader;
    reader.SetSleepFunction([](std::chrono::milliseconds) {});
    RipSettings settings;
    settings.szOutDir = (dir / "out").string() + "/";
    settings.bEjectWhenDone = false;
    for (uint32_t i = 0; i < reader.DriveCount(); ++i)
        if (reader.DriveRecord(i)->devicePath == "virtual" + std::to_string(index))
            settings.iDevice = int32_t(i);
    ASSERT_TRUE(reader.OpenDrive(uint32_t(settings.iDevice)));

    DiscInfo disc = releaseDisc();
    disc.makeRows(reader.Toc());
    const DiscInfo named = releaseDisc();
    for (size_t i = 0; i < 3; ++i) {
        const TrackEntry& from = named.tracks[i];
        TrackEntry& row = disc.tracks[i];
        row.name = from.name;
        row.artist = from.artist;
        row.recordingId = from.recordingId;
        row.isrc = from.isrc;
    }
    disc.cover = cover("\xFF\xD8\xFF\xE0 front");
    ScriptedFrontend fe;
    kyBatchRunner runner(settings, disc, reader, fe);
    runner.Run();
    ASSERT_EQ(runner.result().successes, 3) << fe.status;
    const fs::path album = dir / "out/Various Artists/Hits";
    EXPECT_TRUE(fs::exists(album / "03 - Song 3.wav"));
    EXPECT_EQ(kytest::readText(album / "cover.jpg"), "\xFF\xD8\xFF\xE0 front");
    kyPropertyTable& p = reader.properties();
    EXPECT_EQ(text(p, KYPROP_TITLE), "Song 3");
    EXPECT_EQ(text(p, KYPROP_ARTIST), "Bob");
    EXPECT_EQ(text(p, KYPROP_ALBUM_ARTIST), "Various Artists");
    EXPECT_EQ(text(p, KYPROP_MB_RECORDING_ID), "00000000-0000-4000-8000-000000000102");
    EXPECT_EQ(text(p, KYPROP_ISRC), "GBAAA9900002");
    // The image the writers embedded from is gone with the batch.
    const std::string embedded = text(p, KYPROP_COVER_FILE);
    ASSERT_FALSE(embedded.empty());
    EXPECT_FALSE(fs::exists(embedded));
    kyClearVirtualDrives();
}
