// The MusicBrainz disc id and TOC text: SHA-1 against its published test vectors and
// Python's hashlib, and the id against libdiscid's (python3-libdiscid) on random tables of
// contents, mixed-mode discs (data track first) and enhanced CDs (data track last).
#include "metadata/musicbrainz_disc_id.h"
#include "metadata/sha1.h"
#include "support/test_discs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string hex(const kySha1::Digest& d) {
    std::string out;
    char b[3];
    for (uint8_t x : d) {
        std::snprintf(b, sizeof b, "%02x", x);
        out += b;
    }
    return out;
}

// Runs `script` with /usr/bin/python3 on `input` (one item a line); its output lines.
std::vector<std::string> python(const std::string& script, const std::string& input) {
    char dir[] = "/tmp/dskr-mbid-XXXXXX";
    if (!mkdtemp(dir)) return {};
    const std::string in = std::string(dir) + "/in.txt";
    const std::string code = std::string(dir) + "/run.py";
    for (auto [path, text] : {std::pair{in, input}, std::pair{code, script}}) {
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (!f) return {};
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::vector<std::string> lines;
    if (std::FILE* p = popen(("/usr/bin/python3 " + code + " " + in).c_str(), "r")) {
        for (char line[8192]; std::fgets(line, sizeof line, p);) {
            std::string l = line;
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            lines.push_back(l);
        }
        pclose(p);
    }
    std::remove(in.c_str());
    std::remove(code.c_str());
    rmdir(dir);
    return lines;
}

bool havePython(const char* module) {
    return std::system(
               ("/usr/bin/python3 -c 'import " + std::string(module) + "' 2>/dev/null").c_str()) ==
           0;
}

} // namespace

TEST(Sha1, PublishedVectorsAndBlockBoundaries) {
    EXPECT_EQ(hex(kySha1::of("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex(kySha1::of("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(kySha1::of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    // A million "a", fed in uneven pieces.
    kySha1 h;
    const std::string piece(997, 'a');
    size_t left = 1000000;
    while (left > 0) {
        const size_t n = std::min(left, piece.size());
        h.update(std::string_view(piece).substr(0, n));
        left -= n;
    }
    EXPECT_EQ(hex(h.finish()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");

    // Every length around the padding boundaries, against hashlib.
    if (!havePython("hashlib")) GTEST_SKIP() << "python3 is not installed";
    std::string input;
    for (size_t n = 0; n <= 200; ++n) input += std::to_string(n) + "\n";
    const auto lines = python("import sys, hashlib\n"
                              "for line in open(sys.argv[1]):\n"
                              "    n = int(line)\n"
                              "    print(hashlib.sha1(bytes((i * 7 + 3) % 256 for i in "
                              "range(n))).hexdigest())\n",
                              input);
    ASSERT_EQ(lines.size(), 201u);
    for (size_t n = 0; n <= 200; ++n) {
        std::string bytes;
        for (size_t i = 0; i < n; ++i) bytes += static_cast<char>((i * 7 + 3) % 256);
        EXPECT_EQ(hex(kySha1::of(bytes)), lines[n]) << n << " bytes";
    }
}

TEST(MusicBrainzDiscId, KnownDiscsAndEdges) {
    // Tracks at 0 and 15000 sectors, lead-out at 30000 (libdiscid's answer).
    const kyDiscToc two = kytest::twoTrackToc();
    EXPECT_EQ(musicBrainzDiscId(two), "OMDNUUEF6OVAhAJVAHuIJDSdzdM-");
    EXPECT_EQ(musicBrainzTocText(two), "1 2 30150 150 15150");
    EXPECT_TRUE(isMusicBrainzDiscId(musicBrainzDiscId(two)));

    // An enhanced CD: the data track and the gap before it are not part of the id.
    kyDiscToc enhanced = kytest::evenToc(3, 15000);
    enhanced.entries[3].data = 1;
    enhanced.entries[3].start = 30000 + 11400;
    enhanced.entries[4].start = 60000;
    EXPECT_EQ(musicBrainzTocText(enhanced), "1 2 30150 150 15150");
    EXPECT_EQ(musicBrainzDiscId(enhanced), musicBrainzDiscId(two));

    // A data track first (mixed mode) counts.
    kyDiscToc mixed = kytest::evenToc(3, 15000);
    mixed.entries[1].data = 1;
    EXPECT_EQ(musicBrainzTocText(mixed), "1 3 45150 150 15150 30150");

    // Nothing to identify: no audio track, no tracks, a broken table.
    kyDiscToc data = kytest::evenToc(1, 15000);
    data.entries[1].data = 1;
    kyDiscToc broken = two;
    broken.lastTrack = 100;
    for (const kyDiscToc& t : {data, kyDiscToc{}, broken}) {
        EXPECT_EQ(musicBrainzDiscId(t), "");
        EXPECT_EQ(musicBrainzTocText(t), "");
    }
    // An enhanced CD whose data track comes too soon for the gap ends where it begins.
    kyDiscToc tight = enhanced;
    tight.entries[3].start = 20000;
    EXPECT_EQ(musicBrainzTocText(tight), "1 2 20150 150 15150");

    for (const char* text : {"", "OMDNUUEF6OVAhAJVAHuIJDSdzdM", "OMDNUUEF6OVAhAJVAHuIJDSdzdM+",
                             "OMDNUUEF6OVAhAJVAHuIJDSdzdM--"})
        EXPECT_FALSE(isMusicBrainzDiscId(text)) << text;
}

// Random discs of 1 to 99 tracks, some with a data track first or last, against
// libdiscid. libdiscid's put() takes the audio session as its reader would make it: for a
// disc ending in a data track, the last audio track and the data track's start less the
// session gap as lead-out.
TEST(MusicBrainzDiscId, EqualsLibdiscidOnRandomDiscs) {
    if (!havePython("libdiscid")) GTEST_SKIP() << "python3-libdiscid is not installed";
    std::mt19937 random(20240927);
    std::vector<kyDiscToc> discs;
    std::string input;
    for (int d = 0; d < 400; ++d) {
        kyDiscToc toc;
        toc.firstTrack = 1;
        toc.lastTrack = d < 4 ? static_cast<uint32_t>(d * 32 + 1) : random() % 99 + 1;
        const bool enhanced = toc.lastTrack > 1 && d % 5 == 1;
        const bool mixed = toc.lastTrack > 1 && d % 7 == 2;
        uint32_t lba = d % 3 == 0 ? 0 : random() % 20000;
        const uint32_t span = (330000 - lba) / toc.lastTrack;
        for (uint32_t t = 1; t <= toc.lastTrack; ++t) {
            if (enhanced && t == toc.lastTrack) lba += 11400;
            toc.entries[t].start = lba;
            toc.entries[t].data = (enhanced && t == toc.lastTrack) || (mixed && t == 1);
            lba += 300 + random() % (span - 299);
        }
        toc.entries[toc.lastTrack + 1].start = lba;
        for (uint32_t t = 1; t <= toc.lastTrack; ++t)
            toc.entries[t].length = toc.entries[t + 1].start - toc.entries[t].start;

        const uint32_t last = enhanced ? toc.lastTrack - 1 : toc.lastTrack;
        const uint32_t leadOut =
            enhanced ? toc.entries[toc.lastTrack].start - 11400 + 150 : lba + 150;
        input += std::to_string(last) + " " + std::to_string(leadOut);
        for (uint32_t t = 1; t <= last; ++t)
            input += " " + std::to_string(toc.entries[t].start + 150);
        input += "\n";
        discs.push_back(toc);
    }
    const auto lines = python("import sys, libdiscid\n"
                              "for line in open(sys.argv[1]):\n"
                              "    n = [int(x) for x in line.split()]\n"
                              "    d = libdiscid.put(1, n[0], n[1], n[2:])\n"
                              "    print(d.id, d.toc)\n",
                              input);
    ASSERT_EQ(lines.size(), discs.size());
    for (size_t i = 0; i < discs.size(); ++i) {
        const std::string ours = musicBrainzDiscId(discs[i]) + " " + musicBrainzTocText(discs[i]);
        EXPECT_EQ(ours, lines[i]) << "disc " << i;
    }
}
