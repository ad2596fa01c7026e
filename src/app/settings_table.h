#pragma once
// What each stored setting is: its value name, what it means, what it may hold, its
// default, and how it reads and writes as text. Loading checks every stored value against
// this table; the command line's settings command, its manual page and its option help
// show it; nothing else repeats a setting's range or list.
#include "app/rip_settings.h"

#include <string>
#include <string_view>
#include <vector>

struct kySettingInfo {
    // How the value looks in JSON.
    enum class Kind { Flag, Integer, Real, Text, IntegerList, TextList };

    const char* name;    // the value name in the store: "iOutChannels"
    const char* meaning; // one line: "Output channels"
    const char* accepts; // what `parse` takes, for help texts: "1 (mono) or 2 (stereo)"
    Kind kind;
    // The value as text ("2", "on", "Microsoft wave format", "0,1,5,2,5,5,2,3,0,0").
    std::string (*text)(const RipSettings&);
    // The value with its label where it is a code: "1 (Jitter correcting mode)".
    std::string (*describe)(const RipSettings&);
    // Sets the value from what a user typed; false with a message when it is not one the
    // setting takes (the record is then unchanged).
    bool (*parse)(RipSettings&, std::string_view text, std::string& error);
    // Whether the value is one the setting may hold; stored values are checked with it.
    bool (*valid)(const RipSettings&);
    // Puts the default back.
    void (*reset)(RipSettings&);
    // False for values DskR reads but never writes (bExitWhenDone) or keeps itself
    // (LastDirs): the settings command does not set them.
    bool settable = true;
};

// Every setting, in the order of the record.
const std::vector<kySettingInfo>& kySettingsTable();
// A setting by its value name, without regard to letter case; null when there is none.
const kySettingInfo* kyFindSetting(std::string_view name);

// Checks every value of `settings` against its setting; each one that is not valid is put
// back to its default and described in one line of `problems` (when given), naming it.
void kyValidateSettings(RipSettings& settings, std::vector<std::string>* problems);

// The output folder a first start uses: the music folder with "/" appended (empty when no
// home is known).
std::string kyDefaultOutputDirectory();
// The data format to use with a file format when the stored one is not among its
// subformats: "PCM 16-bit", else "Lossless 16-bit", else the middle of its list.
std::string kyDefaultDataFormat(const std::string& fileFormat);

// The catalogue display name for what a user typed: a display name (any letter case) or a
// short name (wav, bwf, aiff, caf, flac, mp3, m4a, ...: the extension, or an alias where
// formats share one). Empty when nothing matches.
std::string kyResolveFormatName(std::string_view text);

// On/off words: on, off, yes, no, true, false, 1, 0 (any letter case).
bool kyParseSwitch(std::string_view text, bool& value);
// Whole decimal number within [lo, hi], parsed independently of the locale.
bool kyParseInteger(std::string_view text, long long lo, long long hi, long long& value);
// Decimal number within [lo, hi] ("-23.5"), parsed independently of the locale.
bool kyParseDecimal(std::string_view text, double lo, double hi, double& value);
// A folder as the settings keep it: absolute, without "." and ".." levels, ending in "/".
std::string kyNormalFolder(std::string_view path);
