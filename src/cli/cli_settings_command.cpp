// settings: show, set and reset the stored settings.
#include "app/settings_table.h"
#include "cli/cli_commands.h"
#include "cli/cli_help.h"
#include "cli/json_writer.h"

#include <cstdio>

namespace {

// A setting by its value name or by the option that overrides it ("channels",
// "--no-merge"); null when neither names one.
const kySettingInfo* settingNamed(std::string name) {
    if (const kySettingInfo* info = kyFindSetting(name)) return info;
    while (!name.empty() && name.front() == '-') name.erase(0, 1);
    for (const CliOption& o : cliOptions())
        if (o.setting && (name == o.name || (o.opposite && name == o.opposite)))
            return kyFindSetting(o.setting);
    return nullptr;
}

int unknownSetting(const std::string& name) {
    std::vector<std::string> names;
    for (const kySettingInfo& s : kySettingsTable()) names.push_back(s.name);
    for (const CliOption& o : cliOptions())
        if (o.setting) names.push_back(o.name);
    const std::string near = closestWord(name, names);
    return usageError("there is no setting '" + name + "'" +
                      (near.empty() ? "" : " (did you mean '" + near + "'?)") +
                      "; 'dskr-cli settings' lists them");
}

// Every setting put back to its default, the output folder to the music folder.
RipSettings defaultSettings() {
    RipSettings d;
    for (const kySettingInfo& s : kySettingsTable()) s.reset(d);
    return d;
}

void jsonValue(JsonWriter& json, const kySettingInfo& info, const RipSettings& s) {
    using Kind = kySettingInfo::Kind;
    const std::string text = info.text(s);
    long long n;
    double d;
    switch (info.kind) {
    case Kind::Flag:
        json.value(text == "on");
        return;
    case Kind::Integer:
        if (kyParseInteger(text, INT64_MIN, INT64_MAX, n)) return void(json.value(int64_t(n)));
        break;
    case Kind::Real:
        if (kyParseDecimal(text, -1e300, 1e300, d)) return void(json.value(d));
        break;
    case Kind::IntegerList: {
        json.beginArray();
        size_t pos = 0;
        while (pos <= text.size()) {
            const size_t comma = std::min(text.find(',', pos), text.size());
            if (kyParseInteger(text.substr(pos, comma - pos), INT64_MIN, INT64_MAX, n))
                json.value(int64_t(n));
            pos = comma + 1;
        }
        json.endArray();
        return;
    }
    case Kind::TextList:
        json.beginArray();
        for (const std::string& dir : s.lastDirs) json.value(dir);
        json.endArray();
        return;
    case Kind::Text:
        break;
    }
    json.value(text);
}

void jsonSetting(JsonWriter& json, const kySettingInfo& info, const RipSettings& s,
                 const RipSettings& defaults) {
    json.beginObject().key("name").value(info.name).key("value");
    jsonValue(json, info, s);
    json.key("text").value(info.describe(s)).key("default");
    jsonValue(json, info, defaults);
    json.key("meaning")
        .value(info.meaning)
        .key("accepts")
        .value(info.accepts)
        .key("settable")
        .value(info.settable)
        .endObject();
}

void printSetting(const kySettingInfo& info, const RipSettings& s, const RipSettings& defaults) {
    const std::string value = info.describe(s);
    const std::string standard = info.describe(defaults);
    std::printf("%-20s %s\n", info.name, value.empty() ? "(empty)" : value.c_str());
    const std::string about = std::string(info.meaning) + ". Takes " + info.accepts +
                              ". Default: " + (standard.empty() ? "(empty)" : standard) + ".";
    std::printf("    %s\n", cliWrap(about, 4, 4).c_str());
}

// Loads the settings, telling what was wrong with the stored ones.
RipSettings load() {
    RipSettings s;
    SettingsLoadReport report;
    loadSettings(s, &report);
    if (!report.message.empty()) std::fprintf(stderr, "dskr-cli: %s\n", report.message.c_str());
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "dskr-cli: %s\n", problem.c_str());
    return s;
}

int show(const CliArguments& args, const std::vector<const kySettingInfo*>& which,
         const RipSettings& s) {
    const RipSettings defaults = defaultSettings();
    if (args.has("json")) {
        JsonWriter json;
        json.beginObject().key("path").value(settingsStorePath()).key("settings").beginArray();
        for (const kySettingInfo* info : which) jsonSetting(json, *info, s, defaults);
        json.endArray().endObject();
        std::printf("%s\n", json.str().c_str());
        return kExitOk;
    }
    std::printf("Settings file: %s\n\n", settingsStorePath().c_str());
    for (const kySettingInfo* info : which) printSetting(*info, s, defaults);
    return kExitOk;
}

bool store(const RipSettings& s) {
    if (saveSettings(s)) return true;
    failure("the settings could not be saved to " + settingsStorePath());
    return false;
}

} // namespace

int commandSettings(const CliArguments& args) {
    const std::vector<std::string>& words = args.positional;
    const std::string action = words.empty() ? "show" : words[0];
    std::vector<const kySettingInfo*> named;
    auto collect = [&](size_t from) {
        for (size_t i = from; i < words.size(); ++i) {
            const kySettingInfo* info = settingNamed(words[i]);
            if (!info) return unknownSetting(words[i]);
            named.push_back(info);
        }
        if (named.empty())
            for (const kySettingInfo& info : kySettingsTable()) named.push_back(&info);
        return kExitOk;
    };

    if (action == "show") {
        if (int code = collect(1)) return code;
        return show(args, named, load());
    }
    if (action == "set") {
        if (words.size() != 3) return usageError("'settings set' takes a NAME and a VALUE");
        const kySettingInfo* info = settingNamed(words[1]);
        if (!info) return unknownSetting(words[1]);
        if (!info->settable)
            return usageError(std::string(info->name) + " cannot be set: " + info->accepts);
        RipSettings s = load();
        std::string error;
        if (!info->parse(s, words[2], error))
            return usageError(std::string(info->name) + " " + error);
        if (!store(s)) return kExitFailure;
        std::vector<const kySettingInfo*> shown = {info};
        // A new file format may have brought a new data format with it.
        if (info == kyFindSetting("szFileFormat")) shown.push_back(kyFindSetting("szDataFormat"));
        return show(args, shown, s);
    }
    if (action == "reset") {
        if (int code = collect(1)) return code;
        RipSettings s = load();
        for (const kySettingInfo* info : named) info->reset(s);
        // The data format must still be one of the file format's.
        if (const kySettingInfo* data = kyFindSetting("szDataFormat"); !data->valid(s))
            data->reset(s);
        if (!store(s)) return kExitFailure;
        return show(args, named, s);
    }
    return usageError("'settings' takes show, set NAME VALUE or reset [NAME...], not '" + action +
                      "'");
}
