// info: what a reader makes of audio files: format, stream and every text property.
#include "cli/cli_commands.h"
#include "cli/json_writer.h"
#include "core/manager.h"
#include "core/property_table.h"
#include "formats/reader_filter.h"
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct FileInfo {
    std::string path;
    std::string error; // empty when the file was read
    std::string format, subformat;
    uint32_t channels = 0, rate = 0;
    std::optional<uint32_t> frames; // none when the stream has no known length
    std::vector<std::pair<std::string, std::string>> properties;
};

FileInfo describe(const std::string& path) {
    FileInfo info;
    info.path = path;
    kyReaderFilter* reader = nullptr;
    kyError e = kyManager::Instance().OpenReader(reader, path.c_str(), -2, 0);
    kyAudioFormat format{};
    if (kySucceeded(e) && reader) e = reader->GetFormat(format);
    if (kyFailed(e) || !reader) {
        if (reader) reader->DestroyChain();
        info.error = kyErrorText(kyFailed(e) ? e : KYERR_UNKNOWN);
        return info;
    }
    kyPropertyTable& props = reader->properties();
    auto text = [&](uint32_t slot) {
        const char* s = props.getUtf8(slot);
        return std::string(s ? s : "");
    };
    info.format = text(KYPROP_FORMAT_NAME);
    info.subformat = text(KYPROP_DATA_FORMAT);
    info.channels = format.channels;
    info.rate = format.sampleRate;
    if (format.lengthFrames != KY_NO_LENGTH) info.frames = format.lengthFrames;
    for (uint32_t slot = KYPROP_TITLE; slot < props.size(); ++slot)
        if (const char* s = props.getUtf8(slot))
            info.properties.emplace_back(kyPropertyName(slot), s);
    reader->DestroyChain();
    return info;
}

// 3:07.250, or 1:02:03.000 past an hour.
std::string timeText(uint32_t frames, uint32_t rate) {
    const uint64_t ms = rate ? uint64_t(frames) * 1000 / rate : 0;
    const uint64_t s = ms / 1000;
    char buf[48];
    if (s >= 3600)
        std::snprintf(
            buf, sizeof buf, "%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(s / 3600),
            static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60),
            static_cast<unsigned long long>(ms % 1000));
    else
        std::snprintf(
            buf, sizeof buf, "%llu:%02llu.%03llu", static_cast<unsigned long long>(s / 60),
            static_cast<unsigned long long>(s % 60), static_cast<unsigned long long>(ms % 1000));
    return buf;
}

void printText(const FileInfo& f) {
    auto row = [](const std::string& name, const std::string& value) {
        std::printf("  %-22s %s\n", name.c_str(), value.c_str());
    };
    std::printf("%s\n", f.path.c_str());
    row("format", f.format);
    row("subformat", f.subformat);
    row("channels", std::to_string(f.channels));
    row("rate", std::to_string(f.rate) + " Hz");
    row("length", f.frames
                      ? std::to_string(*f.frames) + " frames (" + timeText(*f.frames, f.rate) + ")"
                      : std::string("unknown"));
    for (const auto& [name, value] : f.properties) {
        std::string readable = name;
        for (char& c : readable)
            if (c == '_') c = ' ';
        row(readable, value);
    }
}

void addJson(JsonWriter& json, const FileInfo& f) {
    json.beginObject().key("path").value(f.path);
    if (!f.error.empty()) {
        json.key("error").value(f.error).endObject();
        return;
    }
    json.key("format")
        .value(f.format)
        .key("subformat")
        .value(f.subformat)
        .key("channels")
        .value(f.channels)
        .key("rate")
        .value(f.rate)
        .key("frames")
        .value(f.frames)
        .key("seconds");
    if (f.frames && f.rate)
        json.value(static_cast<double>(*f.frames) / f.rate);
    else
        json.null();
    json.key("properties").beginObject();
    for (const auto& [name, value] : f.properties) json.key(name).value(value);
    json.endObject().endObject();
}

} // namespace

int commandInfo(const CliArguments& args) {
    if (args.positional.empty()) return usageError("'info' needs one or more audio files");
    const bool asJson = args.has("json");
    bool failed = false;
    JsonWriter json;
    if (asJson) json.beginObject().key("files").beginArray();
    bool first = true;
    for (const std::string& path : args.positional) {
        const FileInfo f = describe(path);
        failed |= !f.error.empty();
        if (asJson) {
            addJson(json, f);
        } else if (!f.error.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "dskr-cli: %s: %s\n", path.c_str(), f.error.c_str());
        } else {
            if (!first) std::printf("\n");
            printText(f);
            first = false;
        }
    }
    if (asJson) {
        json.endArray().endObject();
        std::printf("%s\n", json.str().c_str());
    }
    return failed ? kExitFailure : kExitOk;
}
