#include "cli/cli_run_options.h"

#include "app/settings_table.h"

#include "formats/format_catalog.h"
#include "job/output_naming.h"
#include "metadata/xmcd.h"
#include "platform/file_io.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
// A names file is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxNamesFile = 1 << 20;

bool setSwitch(RipSettings& settings, const char* name, bool on) {
    std::string ignored;
    const kySettingInfo* info = kyFindSetting(name);
    return info && info->parse(settings, on ? "on" : "off", ignored);
}
} // namespace

bool applySettingOptions(const CliArguments& args, RipSettings& settings, std::string& error) {
    for (const CliOption& o : cliOptions()) {
        if (!o.setting && !o.apply) continue;
        const CliArguments::Given* g = args.last(o.name);
        if (!g) continue;
        if (o.apply) {
            if (!o.apply(settings, g->opposite, g->value, error)) return false;
            continue;
        }
        const kySettingInfo* info = kyFindSetting(o.setting);
        if (!info) {
            error = std::string("--") + o.name + " has no stored setting " + o.setting;
            return false;
        }
        if (g->opposite) {
            // The opposite of an option with a value turns off what it turned on.
            if (o.enables)
                setSwitch(settings, o.enables, false);
            else
                setSwitch(settings, o.setting, false);
            continue;
        }
        std::string why;
        if (!info->parse(settings, o.argument ? std::string_view(g->value) : "on", why)) {
            error = std::string("--") + o.name + " " + why;
            return false;
        }
        if (o.enables) setSwitch(settings, o.enables, true);
    }
    return true;
}

namespace {
enum class Tag { Id3v2, Id3v1, Ape };

// The tag options apply to the tags of the output format's own stream.
bool applyTag(RipSettings& s, Tag tag, bool opposite, std::string& error) {
    const char* const names[] = {"--id3v2", "--id3v1", "--ape-tag"};
    const kyFormatEntry* e =
        kyFormatCatalog::Instance().Entry(findWriterFormatByName(s.szFileFormat));
    std::string ext = e ? e->extension : std::string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool* fields[3] = {};
    if (ext == "mp3") {
        fields[0] = &s.bMp3Id3v2;
        fields[1] = &s.bMp3Id3v1;
        fields[2] = &s.bMp3Ape;
    } else if (ext == "mp2") {
        fields[0] = &s.bMp2Id3v2;
        fields[1] = &s.bMp2Id3v1;
    } else if (ext == "aac") {
        fields[0] = &s.bAacId3v2;
        fields[1] = &s.bAacId3v1;
        fields[2] = &s.bAacApe;
    } else {
        error = std::string(names[static_cast<int>(tag)]) + " is for MP3, MP2 and AAC files";
        return false;
    }
    bool* field = fields[static_cast<int>(tag)];
    if (!field) {
        error = "MP2 files carry no APE tag";
        return false;
    }
    *field = !opposite;
    return true;
}
} // namespace

bool applyId3v2Tag(RipSettings& s, bool opposite, const std::string&, std::string& error) {
    return applyTag(s, Tag::Id3v2, opposite, error);
}

bool applyId3v1Tag(RipSettings& s, bool opposite, const std::string&, std::string& error) {
    return applyTag(s, Tag::Id3v1, opposite, error);
}

bool applyApeTag(RipSettings& s, bool opposite, const std::string&, std::string& error) {
    return applyTag(s, Tag::Ape, opposite, error);
}

bool overwritePolicy(const CliArguments& args, RipSettings& settings, OverwritePolicy& policy,
                     std::string& error) {
    auto v = args.get("overwrite");
    if (!v) {
        policy = settings.bNoOverwritePrompt ? OverwritePolicy::Replace : OverwritePolicy::Ask;
        return true;
    }
    if (*v == "ask")
        policy = OverwritePolicy::Ask;
    else if (*v == "replace")
        policy = OverwritePolicy::Replace;
    else if (*v == "skip")
        policy = OverwritePolicy::Skip;
    else {
        error = "--overwrite takes ask, replace or skip";
        return false;
    }
    settings.bNoOverwritePrompt = policy == OverwritePolicy::Replace;
    return true;
}

void loadStoredSettings(RipSettings& settings) {
    SettingsLoadReport report;
    loadSettings(settings, &report);
    if (!report.message.empty()) std::fprintf(stderr, "dskr-cli: %s\n", report.message.c_str());
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "dskr-cli: %s\n", problem.c_str());
    // A first start would open the help in the wizard; here a pointer to it will do.
    if (report.openHelp)
        std::fprintf(stderr,
                     "Welcome to DskR 5. 'dskr-cli --help' lists every command and option.\n");
}

namespace {
// The whole of a names file; false with a message that carries the system's reason.
bool readNamesFile(const std::string& path, std::string& text, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text.assign(kMaxNamesFile + 1, '\0');
    const long long got = kyReadUpTo(fd, kyCurrentPosition, text.data(), text.size());
    const int readError = errno;
    ::close(fd);
    if (got < 0) {
        error = "cannot read " + path + ": " + std::strerror(readError);
        return false;
    }
    if (static_cast<size_t>(got) > kMaxNamesFile) {
        error = path + ": too large for a file of names";
        return false;
    }
    text.resize(static_cast<size_t>(got));
    return true;
}

// --artist, --album, --year, --genre and each --title N=TEXT.
bool typedNames(const CliArguments& args, kyDiscNames& typed, std::string& error) {
    if (auto v = args.get("artist")) typed.artist = *v;
    if (auto v = args.get("album")) typed.album = *v;
    if (auto v = args.get("genre")) typed.genre = *v;
    if (auto v = args.get("year")) {
        int32_t year;
        if (!kyParseYear(*v, year)) {
            error = "--year takes a year from 0 to 9999 (0: none)";
            return false;
        }
        typed.year = year;
    }
    for (const std::string& t : args.all("title")) {
        const size_t eq = t.find('=');
        long long number;
        if (eq == std::string::npos ||
            !kyParseInteger(std::string_view(t).substr(0, eq), 1, 99, number)) {
            error = "--title takes N=TEXT, the track number and its name (e.g. --title 3=Intro)";
            return false;
        }
        typed.titles[static_cast<int32_t>(number)] = t.substr(eq + 1);
    }
    return true;
}
} // namespace

bool nameOptionsGiven(const CliArguments& args) {
    for (const char* name : {"names", "artist", "album", "year", "genre", "title"})
        if (args.has(name)) return true;
    return false;
}

bool applyNameOptions(const CliArguments& args, DiscInfo& info, std::string& error, bool& usage) {
    usage = false;
    kyDiscNames typed;
    if (!typedNames(args, typed, error)) {
        usage = true;
        return false;
    }
    if (auto path = args.get("names")) {
        std::string text, why;
        if (!readNamesFile(*path, text, error)) return false;
        if (kyLooksLikeXmcd(text)) {
            // Each key the record has replaces its field; TTITLEn names row n.
            if (!discInfoFromXmcd(text, info, why)) {
                error = *path + ": " + why;
                return false;
            }
        } else {
            kyDiscNames names;
            if (!kyParseDiscNamesJson(text, names, why) || !names.applyTo(info, why)) {
                error = *path + ": " + why;
                return false;
            }
        }
    }
    if (!typed.applyTo(info, error)) {
        usage = true;
        return false;
    }
    return true;
}

Verbosity verbosityOf(const CliArguments& args) {
    for (auto it = args.given.rbegin(); it != args.given.rend(); ++it) {
        if (it->option->name == std::string_view("quiet")) return Verbosity::Quiet;
        if (it->option->name == std::string_view("verbose")) return Verbosity::Verbose;
    }
    return Verbosity::Normal;
}
