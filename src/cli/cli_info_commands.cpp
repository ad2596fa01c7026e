// drives, formats and toc: what the machine and the disc have to offer.
#include "cd/virtual_drive.h"
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/json_writer.h"
#include "formats/format_catalog.h"
#include "metadata/disc_info.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/musicbrainz_disc_id.h"
#include <algorithm>
#include <cstdio>

namespace {
void printJson(const JsonWriter& json) {
    std::printf("%s\n", json.str().c_str());
}

// The CD-Text fields that are there, as "title", "performer", ...
const std::pair<const char*, std::string kyCdTextFields::*> kCdTextFields[] = {
    {"title", &kyCdTextFields::title},           {"performer", &kyCdTextFields::performer},
    {"songwriter", &kyCdTextFields::songwriter}, {"composer", &kyCdTextFields::composer},
    {"arranger", &kyCdTextFields::arranger},     {"message", &kyCdTextFields::message},
};

void cdTextJson(JsonWriter& json, const kyCdTextFields* f) {
    if (!f || f->Empty()) {
        json.null();
        return;
    }
    json.beginObject();
    for (const auto& [name, field] : kCdTextFields)
        if (!(f->*field).empty()) json.key(name).value(f->*field);
    json.endObject();
}

// "title "X", performer "Y"" for the text listing; empty when there is no field.
std::string cdTextLine(const kyCdTextFields* f) {
    std::string line;
    if (!f) return line;
    for (const auto& [name, field] : kCdTextFields)
        if (!(f->*field).empty())
            line += (line.empty() ? "" : ", ") + std::string(name) + " \"" + f->*field + "\"";
    return line;
}

std::string sectorsText(uint32_t sectors) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u:%02u.%02u", sectors / 4500, (sectors / 75) % 60,
                  sectors % 75);
    return buf;
}
} // namespace

int commandDrives(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'drives' takes no file names");
    CliDisc disc;
    std::string error;
    bool usage;
    if (!openCliDisc(args, 0, false, disc, error, usage))
        return usage ? usageError(error) : failure(error);
    kyDskReader& reader = *disc.reader;
    const auto skipped = reader.SkippedDevices();
    if (args.has("json")) {
        JsonWriter json;
        json.beginObject().key("drives").beginArray();
        for (uint32_t n = 0; n < reader.DriveCount(); ++n) {
            const kyDriveRecord* r = reader.DriveRecord(n);
            json.beginObject()
                .key("number")
                .value(n)
                .key("name")
                .value(r->displayName)
                .key("device")
                .value(r->devicePath)
                .key("largest_transfer")
                .value(r->largestTransfer)
                .endObject();
        }
        json.endArray().key("skipped").beginArray();
        for (const auto& s : skipped)
            json.beginObject()
                .key("device")
                .value(s.devicePath)
                .key("reason")
                .value(s.reason)
                .endObject();
        json.endArray().endObject();
        printJson(json);
        return kExitOk;
    }
    if (reader.DriveCount() == 0)
        std::printf("No CD drive found. Try 'dskr-cli drives --demo' for the built-in demo disc,\n"
                    "or --image FILE.cue for a disc image.\n");
    for (uint32_t n = 0; n < reader.DriveCount(); ++n)
        std::printf("%3u  %s\n", n, reader.DriveRecord(n)->displayName.c_str());
    for (const auto& s : skipped)
        std::printf("skipped %s: %s\n", s.devicePath.c_str(), s.reason.c_str());
    return kExitOk;
}

int commandFormats(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'formats' takes no file names");
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    JsonWriter json;
    const bool asJson = args.has("json");
    if (asJson) json.beginObject().key("formats").beginArray();
    // Names in one column, as wide as the longest.
    int width = 0;
    for (int32_t index = 0; catalog.NextWriterFormat(index); ++index)
        width = std::max(width, static_cast<int>(catalog.Entry(index)->displayName.size()));
    for (int32_t index = 0; catalog.NextWriterFormat(index); ++index) {
        const kyFormatEntry* e = catalog.Entry(index);
        std::vector<std::string> subformats;
        std::string name;
        for (int32_t s = 0; catalog.GetWriterSubformat(index, s, name); ++s)
            subformats.push_back(name);
        // The libraries it writes through: the files, the version when told, what is missing.
        // (none for a format written by our own code, even when a library reads it)
        std::optional<kyComponentStatus> c =
            e->component ? std::optional<kyComponentStatus>(e->component(true)) : std::nullopt;
        if (c && c->library.empty()) c.reset();
        if (asJson) {
            json.beginObject()
                .key("index")
                .value(index)
                .key("name")
                .value(e->displayName)
                .key("extension")
                .value(e->extension)
                .key("min_channels")
                .value(e->minChannels)
                .key("max_channels")
                .value(e->maxChannels);
            if (c) {
                json.key("library")
                    .value(c->library)
                    .key("library_found")
                    .value(c->found())
                    .key("library_version")
                    .value(c->version);
            }
            json.key("compression_levels");
            if (e->highestLevel >= e->lowestLevel)
                json.beginObject()
                    .key("lowest")
                    .value(e->lowestLevel)
                    .key("highest")
                    .value(e->highestLevel)
                    .endObject();
            else
                json.null();
            json.key("missing");
            if (c && !c->found())
                json.value(c->missing);
            else
                json.null();
            json.key("subformats").beginArray();
            for (const auto& s : subformats) json.value(s);
            json.endArray().endObject();
        } else {
            std::string library;
            if (c)
                library = c->found() ? "  (" + (c->version.empty() ? c->library : c->version) + ")"
                                     : "  (" + c->missing + ")";
            std::printf("%-*s .%-5s %u-%u channels", width, e->displayName.c_str(),
                        e->extension.c_str(), e->minChannels, e->maxChannels);
            if (e->highestLevel >= e->lowestLevel)
                std::printf(", levels %d-%d", e->lowestLevel, e->highestLevel);
            std::printf("%s\n", library.c_str());
            for (const auto& s : subformats) std::printf("    %s\n", s.c_str());
        }
    }
    if (asJson) {
        json.endArray().endObject();
        printJson(json);
    }
    return kExitOk;
}

int commandToc(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'toc' takes no file names");
    CliDisc disc;
    std::string error;
    bool usage;
    if (!openCliDisc(args, 0, true, disc, error, usage))
        return usage ? usageError(error) : failure(error);
    reportSkippedDevices(args, disc);
    const kyDiscToc& toc = disc.reader->Toc();
    DiscInfo info;
    if (!discRecordFor(args, disc, info, error, usage))
        return usage ? usageError(error) : failure(error);
    kyDiscLayout layout;
    const CliArguments::Given* gaps = args.last("detect-gaps");
    if (!disc.reader->ReadLayout(layout, !gaps || !gaps->opposite, error)) return failure(error);
    const std::string query = discIdQueryText(toc);
    const std::string id = query.substr(0, 8);
    const std::string mbId = musicBrainzDiscId(toc);
    const std::string mbToc = musicBrainzTocText(toc);
    const kyDriveRecord* drive = disc.reader->DriveRecord(disc.driveNumber);
    const std::string genre = info.genreText();
    auto rowName = [&](uint32_t t) {
        for (const TrackEntry& r : info.tracks)
            if (r.number == int32_t(t)) return r.name;
        return std::string();
    };
    if (args.has("json")) {
        // The names are in the shape --names reads back.
        JsonWriter json;
        json.beginObject()
            .key("drive")
            .value(drive ? drive->displayName : "")
            .key("artist")
            .value(info.artist)
            .key("album")
            .value(info.title)
            .key("year");
        if (info.year > 0)
            json.value(info.year);
        else
            json.null();
        json.key("genre")
            .value(genre)
            .key("first_track")
            .value(toc.firstTrack)
            .key("last_track")
            .value(toc.lastTrack)
            .key("leadout")
            .value(toc.entries[toc.lastTrack + 1].start)
            .key("mcn");
        if (layout.mcn.empty())
            json.null();
        else
            json.value(layout.mcn);
        json.key("gaps_detected").value(layout.gapsDetected).key("cdtext");
        if (layout.cdText.Empty()) {
            json.null();
        } else {
            json.beginObject();
            for (const auto& [name, field] : kCdTextFields)
                if (!(layout.cdText.disc.*field).empty())
                    json.key(name).value(layout.cdText.disc.*field);
            if (!layout.cdText.genre.empty()) json.key("genre").value(layout.cdText.genre);
            json.endObject();
        }
        json.key("tracks").beginArray();
        for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t) {
            const kyTocEntry& e = toc.entries[t];
            const kyTrackLayout* l = layout.Track(t);
            json.beginObject()
                .key("number")
                .value(t)
                .key("start")
                .value(e.start)
                .key("length")
                .value(e.length)
                .key("data")
                .value(e.data != 0)
                .key("preemphasis")
                .value(e.preEmphasis != 0)
                .key("copy_permitted")
                .value(e.copyPermitted != 0)
                .key("four_channel")
                .value(e.fourChannel != 0)
                .key("name")
                .value(rowName(t))
                .key("isrc");
            if (l && !l->isrc.empty())
                json.value(l->isrc);
            else
                json.null();
            // The pregap's length in sectors; null when it was not searched for.
            json.key("pregap");
            if (layout.gapsDetected && l)
                json.value(l->start - std::min(l->start, l->pregapStart));
            else
                json.null();
            json.key("indexes").beginArray();
            if (l && l->pregapStart < l->start)
                json.beginObject()
                    .key("index")
                    .value(0)
                    .key("start")
                    .value(l->pregapStart)
                    .endObject();
            json.beginObject().key("index").value(1).key("start").value(e.start).endObject();
            if (l)
                for (size_t i = 0; i < l->indexes.size(); ++i)
                    json.beginObject()
                        .key("index")
                        .value(static_cast<uint32_t>(i + 2))
                        .key("start")
                        .value(l->indexes[i])
                        .endObject();
            json.endArray().key("cdtext");
            cdTextJson(json, layout.cdText.Track(t));
            json.endObject();
        }
        json.endArray().key("freedb_id").value(id).key("query").value(query);
        json.key("musicbrainz_id");
        if (mbId.empty())
            json.null();
        else
            json.value(mbId);
        json.key("musicbrainz_toc");
        if (mbToc.empty())
            json.null();
        else
            json.value(mbToc);
        json.endObject();
        printJson(json);
        return kExitOk;
    }
    std::printf("%s\n", drive ? drive->displayName.c_str() : "");
    if (!info.artist.empty()) std::printf("artist   %s\n", info.artist.c_str());
    if (!info.title.empty()) std::printf("album    %s\n", info.title.c_str());
    if (info.year > 0) std::printf("year     %d\n", info.year);
    if (!genre.empty()) std::printf("genre    %s\n", genre.c_str());
    std::printf(" no      start     length   time    flags        name\n");
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t) {
        const kyTocEntry& e = toc.entries[t];
        const uint32_t seconds = (e.length + 37) / 75;
        std::printf("%3u %10u %10u  %2u:%02u   %-5s %s%s%s  %s\n", t, e.start, e.length,
                    seconds / 60, seconds % 60, e.data ? "data" : "audio",
                    e.preEmphasis ? "E" : "-", e.copyPermitted ? "C" : "-",
                    e.fourChannel ? "4" : "-", rowName(t).c_str());
        const kyTrackLayout* l = layout.Track(t);
        if (l && l->pregapStart < l->start)
            std::printf("      pregap %u sectors (%s) from %u\n", l->start - l->pregapStart,
                        sectorsText(l->start - l->pregapStart).c_str(), l->pregapStart);
        if (l)
            for (size_t i = 0; i < l->indexes.size(); ++i)
                std::printf("      index %02zu at %u (%s into the track)\n", i + 2, l->indexes[i],
                            sectorsText(l->indexes[i] - e.start).c_str());
        if (l && !l->isrc.empty()) std::printf("      ISRC %s\n", l->isrc.c_str());
        const std::string text = cdTextLine(layout.cdText.Track(t));
        if (!text.empty()) std::printf("      CD-Text: %s\n", text.c_str());
    }
    std::printf("lead-out %u\n", toc.entries[toc.lastTrack + 1].start);
    if (!layout.mcn.empty()) std::printf("MCN %s\n", layout.mcn.c_str());
    std::string discText = cdTextLine(&layout.cdText.disc);
    if (!layout.cdText.genre.empty())
        discText +=
            (discText.empty() ? "" : ", ") + std::string("genre \"") + layout.cdText.genre + "\"";
    if (!discText.empty()) std::printf("CD-Text: %s\n", discText.c_str());
    if (!layout.gapsDetected) std::printf("gaps not searched for\n");
    std::printf("freedb id %s\nquery %s\n", id.c_str(), query.c_str());
    if (!mbId.empty())
        std::printf("musicbrainz id %s\nmusicbrainz toc %s\n", mbId.c_str(), mbToc.c_str());
    return kExitOk;
}
