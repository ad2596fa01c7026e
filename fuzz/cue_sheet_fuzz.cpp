// Feeds arbitrary text to the CUE sheet loader, next to two small BINARY files it may name
// ("a.bin" and "b c.bin"), a WAVE file ("w.wav") and a folder ("Sub/T.wav"), and exercises
// whatever disc comes out of it.
#include "cd/virtual_drive.h"
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string& Directory() {
    static const std::string dir = [] {
        char name[] = "/tmp/kycuefuzzXXXXXX";
        std::string d = mkdtemp(name);
        std::vector<char> data(300 * 2352 + 1000, 0x22);
        if (FILE* f = std::fopen((d + "/a.bin").c_str(), "wb")) {
            std::fwrite(data.data(), 1, data.size(), f);
            std::fclose(f);
        }
        if (FILE* f = std::fopen((d + "/b c.bin").c_str(), "wb")) {
            std::fwrite(data.data(), 1, 10 * 2352, f);
            std::fclose(f);
        }
        // 100 sectors of 44.1 kHz 16-bit stereo in a canonical WAVE file.
        const uint32_t pcm = 100 * 2352;
        auto le32 = [](std::string& s, uint32_t v) {
            for (int i = 0; i < 4; ++i) s += char(v >> (8 * i));
        };
        std::string wav = "RIFF";
        le32(wav, 36 + pcm);
        wav += "WAVEfmt ";
        le32(wav, 16);
        le32(wav, 0x00020001);
        le32(wav, 44100);
        le32(wav, 44100 * 4);
        le32(wav, 0x00100004);
        wav += "data";
        le32(wav, pcm);
        wav.append(pcm, '\x33');
        std::filesystem::create_directories(d + "/Sub");
        for (const char* name : {"/w.wav", "/Sub/T.wav"})
            if (FILE* f = std::fopen((d + name).c_str(), "wb")) {
                std::fwrite(wav.data(), 1, wav.size(), f);
                std::fclose(f);
            }
        static const std::string keep = d;
        std::atexit([] { std::filesystem::remove_all(keep); });
        return d;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string cue = Directory() + "/fuzz.cue";
    if (FILE* f = std::fopen(cue.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    std::string error;
    std::unique_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cue, error);
    if (!image) return 0;
    std::vector<uint8_t> answer(4096);
    image->PlainTocAnswer(answer.data(), 804, false);
    image->PlainTocAnswer(answer.data(), 804, true);
    image->FullTocAnswer(answer.data(), 2204);
    const kyDiscToc toc = image->Toc();
    std::vector<uint8_t> sectors(4 * 2352);
    for (const kyDiscTrack& t : image->Tracks()) {
        image->ReadSectors(t.pregapStart, 4, sectors.data());
        image->ReadSectors(t.start, 1, sectors.data());
    }
    image->ReadSectors(image->LeadOut() - 1, 1, sectors.data());
    for (const kyDiscTrack& t : image->Tracks())
        for (uint32_t lba : t.indexes) image->ReadSectors(lba, 1, sectors.data());
    (void)image->CdText().Empty();
    return toc.lastTrack > 99; // never
}
