#include "support/accuraterip_records.h"
#include "cd/cd_sector.h"

namespace kytest {

std::vector<kyAccurateRipSums> imageAccurateRipSums(const kyDiscImage& image) {
    const kyDiscToc toc = image.Toc();
    kyAccurateRipTap tap(toc);
    tap.RunStarted(0, image.LeadOut());
    std::vector<uint8_t> sector(kycd::kSectorBytes);
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t) {
        if (toc.entries[t].data) continue;
        for (uint32_t s = 0; s < toc.entries[t].length; ++s)
            if (image.ReadSectors(toc.entries[t].start + s, 1, sector.data()))
                tap.SectorDelivered(toc.entries[t].start + s, sector.data());
    }
    return tap.sums();
}

kyAccurateRipPressing imagePressing(const kyDiscImage& image, uint8_t confidence) {
    kyAccurateRipPressing p{kyAccurateRipDiscIds(image.Toc()), {}};
    for (const kyAccurateRipSums& s : imageAccurateRipSums(image))
        p.tracks.push_back({confidence, s.v1, s.frame450});
    return p;
}

} // namespace kytest
