#pragma once
// The output options page without its widgets: what each list offers and which entry a
// setting selects, the normalisation controls' rules, the example name, the checks before
// the batch starts, and the output directory.
#include "app/rip_settings.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One entry of a list: its text and the value it stands for.
struct OptionItem {
    std::string text;
    int32_t value = 0;
};
// The row whose value is `value`, or -1.
int rowOfValue(const std::vector<OptionItem>& items, int32_t value);

// ---- formats ------------------------------------------------------------------------
// Every catalogue format with a writer, "WAV | Microsoft wave format", by catalogue index.
std::vector<OptionItem> fileFormatItems();
// The row of the format whose long name is `fileFormat`, else the first (0).
int fileFormatRow(const std::vector<OptionItem>& items, std::string_view fileFormat);
// The subformats of format `format`, by index.
std::vector<OptionItem> dataFormatItems(int32_t format);
// The entry equal to `dataFormat`, else the first "PCM 16-bit", the first "Lossless 16-bit",
// or the middle one.
int dataFormatRow(const std::vector<OptionItem>& items, std::string_view dataFormat);
// "Mono" (1) when the format takes one channel, "Stereo" (2) when it takes two or more.
std::vector<OptionItem> channelItems(int32_t format);

// ---- fixed lists ----------------------------------------------------------------------
std::vector<OptionItem> namePartItems();  // "" (0), "<artist name>" (1) ... "<album year>" (9)
std::vector<OptionItem> separatorItems(); // " " (1), " - " (2) ... " none " (0)
std::vector<OptionItem> spaceItems();     // "Keep space in file names" (0) ...
std::vector<OptionItem> rateItems();      // 8000 ... 48000
std::vector<OptionItem> algorithmItems(); // the six resampling algorithms
std::vector<OptionItem> normalizeTypeItems();
std::vector<OptionItem> metaItems(); // "Modify Audio" (0), "Store Meta data" (1)
std::vector<OptionItem> modeItems(); // the ripping modes
// "%d x" for the usual speeds below the drive's highest, the highest itself, then "Max"
// (255); only "Max" when the drive does not say (0).
std::vector<OptionItem> speedItems(uint32_t maxSpeed);

// ---- normalisation ---------------------------------------------------------------------
// The unit list of a type: "x" (0) and "dB"/"dBFS" (1), or a single entry.
std::vector<OptionItem> unitItems(uint32_t type);
// A new type chosen by the user: the unit becomes dB and the target and mode that type
// starts from are set.
void normalizeTypeChosen(RipSettings& settings, uint8_t type);
// The target in the other unit, from the number in `fieldText` (or `stored` when the field
// holds none): to dB, 20·log10 (−96 for 0 and below); to a factor, 10^(dB/20).
float convertNormalizeTarget(std::string_view fieldText, float stored, bool toDb);
// "%.1f" for a whole number, else "%.2f" in dB and "%.3f" as a factor.
std::string normalizeTargetText(float value, bool unitDb);
// Album normalisation applies to the ReplayGain types only.
bool albumGainAllowed(uint32_t type);

// ---- reading fields --------------------------------------------------------------------
// The first run of digits, negated when a "-" stands before it; `old` when there is none.
int64_t readRateField(std::string_view text, int64_t old);
// A decimal number at the start of the field (after spaces); 0 when there is none.
int64_t readIntegerField(std::string_view text);
// A number at the start of the field; false when there is none.
bool readNumberField(std::string_view text, double& value);

// ---- example, checks, directory ----------------------------------------------------------
// "Example -->  " with the directory (given a "/" at its end) and the name of the first
// selected row (the first row when none is).
std::string exampleText(const RipSettings& settings, const DiscInfo& disc,
                        std::string_view directoryField);

// What the batch would refuse: a sample rate outside 8000 to 192000 Hz, a cut-off that is
// not 1 to 86400 seconds (the fade-out takes the last quarter second), a normalisation
// target that gives no sensible gain. The message to show, or empty.
std::string checkProcessingSettings(const RipSettings& settings);

enum class DirectoryCheck { Empty, Missing, Ready };
// Gives the directory exactly one "/" at its end and says whether it exists.
DirectoryCheck checkOutputDirectory(std::string& directory);
// Creates the directory with every missing parent.
bool createOutputDirectory(const std::string& directory);

inline constexpr const char* kNoOutputDirectory = "Please select an output directory first!";
inline constexpr const char* kCreateDirectoryQuestion =
    "Output directory does not exist!\n\nCreate it?";
inline constexpr const char* kCreateDirectoryFailed = "Error: Couldn't create directory!";
inline constexpr const char* kBrowseTitle = "Please select the batch output folder";
