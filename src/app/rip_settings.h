#pragma once
// The one settings record of the program, loaded at start-up and saved when the program
// ends. Members carry the names of the values they are stored under.
//
// Text members are UTF-8, except the three freedb members, which hold single-byte
// (Windows-1252) text. Lengths are bounded as the stored record bounds them: the file
// format to 127 UTF-16 units, the data format to 63, the freedb texts to 255 bytes (longer
// stored texts are cut). A stored folder (szOutDir, LastDirs.n) longer than 259 UTF-16
// units is not loaded at all, since a cut path would name another folder.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct RipSettings {
    static constexpr size_t kOutDirUnits = 259;
    static constexpr size_t kFileFormatUnits = 127;
    static constexpr size_t kDataFormatUnits = 63;
    static constexpr size_t kDbTextBytes = 255;
    static constexpr size_t kRecentDirectories = 16;
    static constexpr int32_t kMaxEncoderThreads = 64;
    static constexpr int32_t kMaxEncoderQueueMiB = 65536;
    static constexpr int32_t kMaxSubQBias = 75;

    std::string szOutDir; // ends with "/" (the music folder by default)
    std::string szFileFormat = "Microsoft wave format";
    std::string szDataFormat = "PCM 16-bit";
    int32_t iOutChannels = 2; // 1 mono, 2 stereo
    // The compression level of formats that have levels, in the codec's own numbering;
    // -1: the subformat's default.
    int32_t iCompressionLevel = -1;
    bool bNoOverwritePrompt = false;
    bool bMergeConsecutive = false;
    bool bCreatePlaylist = false;
    // A CUE sheet beside the playlist describing the files written (one per track, or one
    // for the whole disc), with the disc's catalogue number, ISRCs, flags and names.
    bool bWriteCue = false;
    // Pregaps and indexes are searched for on the disc for the CUE sheet (else every track
    // is taken to start at its INDEX 01).
    bool bDetectGaps = true;
    // Audio before track 1's INDEX 01 is ripped as track 0 ("Hidden Track").
    bool bRipHiddenTrack = false;
    // [0] space handling, [1] [3] [5] [7] [9] name parts, [2] [4] [6] [8] separators.
    std::array<int32_t, 10> aiName{0, 1, 5, 2, 5, 5, 2, 3, 0, 0};
    bool bResample = false;
    uint32_t dwNewSampleRate = 48000;
    int32_t eResamplingAlg = 5;
    bool bRemoveSilence = false;
    bool bCutOff = false;
    int32_t iCutOffLength = 30; // seconds
    bool bCutOffFade = true;
    bool bNormalize = false;
    uint8_t eNormalizeType = 11; // 1 peak, 10 ReplayGain, 11 ReplayGain ISO 226:2003, 22 EBU R 128
    bool bNormalizeMeta = true;
    float fNormalizeTarget = 89.0f;
    bool bNormalizeUnitDB = true;
    bool bNormalizeAlbum = false;
    bool bNormalizeNeverClip = true;
    // Tags around MP3, MP2 and AAC streams.
    bool bMp3Id3v2 = true;
    bool bMp3Id3v1 = true;
    bool bMp3Ape = false;
    bool bMp2Id3v2 = false;
    bool bMp2Id3v1 = true;
    bool bAacId3v2 = false;
    bool bAacId3v1 = false;
    bool bAacApe = false;
    int32_t iDevice = 0;
    int32_t iSpeed = 255; // 255: the drive's maximum
    int32_t eMode = 0;    // 0 burst, 1 jitter correcting, 2 scratch correcting, 3 verified burst
    // A sector that never reads is filled with silence and the file marked suspect,
    // instead of failing the file.
    bool bContinueOnReadError = false;
    // Every file is read twice, first without writing, and the checksums compared.
    bool bTestAndCopy = false;
    // Every track checked against the AccurateRip database (szAccurateRipServer), and the
    // rip log written beside the files.
    bool bAccurateRip = true;
    std::string szAccurateRipServer = "http://www.accuraterip.com";
    int32_t iAccurateRipTimeout = 10; // seconds, for connecting and for each answer
    bool bWriteLog = true;
    // Pre-emphasised tracks written as on the disc (flagged "PRE" in the comment), not
    // de-emphasised.
    bool bKeepPreEmphasis = false;
    // Files encoded while the next is read: this many encoder threads (0: one per core;
    // 1: everything on the reading thread), with at most iEncoderQueueMiB MiB of read
    // audio waiting in memory (more goes to temporary files).
    int32_t iEncoderThreads = 0;
    int32_t iEncoderQueueMiB = 512;
    // iReadOffset of each drive, in samples (-5880..5880), by the drive's vendor and
    // product (see readOffsetKey); stored as "iReadOffset.<key>".
    std::map<std::string, int32_t> readOffsets;
    // How far each drive's Q sub-channel is off from its audio, in sectors (where its Q
    // places a read, less where the audio does; -75..75), as its rips have learned it, by
    // the same key as readOffsets; stored as "iSubQBias.<key>".
    std::map<std::string, int32_t> subQBiases;
    bool bEjectWhenDone = true;
    bool bExitWhenDone = false; // read at start-up, never saved
    std::string szDBServer = "gnudb.gnudb.org";
    std::string szDBProxy;
    std::string szDBEmail;
    // Disc names from MusicBrainz and covers from the Cover Art Archive (UTF-8 texts).
    std::string szMusicBrainzServer = "https://musicbrainz.org";
    std::string szCoverArtServer = "https://coverartarchive.org";
    // The sources a look-up asks, in order: musicbrainz, gnudb, local, cdtext.
    std::string szLookupOrder = "musicbrainz,gnudb,local,cdtext";
    bool bFetchCoverArt = true; // the release's front cover, saved and embedded
    // Recent output directories, most recent first, at most 16, no empty entries.
    std::vector<std::string> lastDirs;
};

// What loading found out beyond the values themselves.
struct SettingsLoadReport {
    // First start of this version with no earlier one: the front end opens the help.
    bool openHelp = false;
    // Set when the store was damaged and put aside: one line for the front end to show.
    std::string message;
    // One line per stored value that was not one its setting takes, naming it; the
    // default was used in its place.
    std::vector<std::string> problems;
};

// Where the store lives (see kySettingsStore::defaultPath).
std::string settingsStorePath();

// Fills `settings` from the store at `storePath` (the default store when empty), each
// field falling back to its default. Every value is then checked against what its setting
// takes (app/settings_table.h): a value that is not valid is reported and its default
// used. Writes "5.0" as VersionNumber when the stored one is older. Returns true.
bool loadSettings(RipSettings& settings, SettingsLoadReport* report = nullptr,
                  const std::string& storePath = {});

// Writes every field except VersionNumber and bExitWhenDone; values the record does not
// know are kept. False when the store could not be written (the old one is then intact).
bool saveSettings(const RipSettings& settings, const std::string& storePath = {});

// The key a drive's read offset is stored under: its vendor and product with runs of
// blanks made one (methods that ask the drive and those that ask the kernel pad them
// differently). Empty for a drive that does not name itself.
std::string readOffsetKey(const std::string& vendorProduct);
// The read offset stored for a drive, 0 when none is.
int32_t readOffsetFor(const RipSettings& settings, const std::string& vendorProduct);
// Stores a drive's read offset (clamped to -5880..5880); a drive without a name gets none.
void setReadOffset(RipSettings& settings, const std::string& vendorProduct, int32_t samples);

// The Q sub-channel bias learned for a drive, if any.
std::optional<int32_t> subQBiasFor(const RipSettings& settings, const std::string& vendorProduct);
// Keeps (or, with none, forgets) a drive's Q sub-channel bias; a drive without a name, or a
// bias beyond kMaxSubQBias, gets none.
void setSubQBias(RipSettings& settings, const std::string& vendorProduct,
                 std::optional<int32_t> sectors);

// Puts `path` at the head of the recent directories: an entry equal to it without regard
// to letter case is taken out first, and the oldest is dropped when all 16 are in use.
void addRecentDirectory(RipSettings& settings, const std::string& path);
