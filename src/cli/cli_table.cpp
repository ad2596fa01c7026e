// The commands of dskr-cli and every option they take. Adding an option is adding one
// entry here: parsing, --help, the manual page and the shell completion follow, and an
// option with a setting is applied by the settings table. An on/off setting needs its
// opposite, so that a stored choice can be undone for one run.
#include "cli/cli_commands.h"
#include "cli/cli_options.h"
#include "cli/cli_run_options.h"

namespace {

constexpr uint32_t kDiscCommands =
    kCmdToc | kCmdRip | kCmdLookup | kCmdSubmit | kCmdOffset | kCmdPlay;
constexpr uint32_t kDriveCommands = kCmdDrives | kDiscCommands;
constexpr uint32_t kNameCommands = kCmdToc | kCmdRip | kCmdSubmit;
constexpr uint32_t kRunCommands = kCmdRip | kCmdConvert;
constexpr uint32_t kDatabaseCommands = kCmdRip | kCmdLookup | kCmdSubmit;
constexpr uint32_t kLookupCommands = kCmdRip | kCmdLookup;
constexpr uint32_t kJsonCommands = kCmdDrives | kCmdFormats | kCmdToc | kCmdRip | kCmdConvert |
                                   kCmdAnalyze | kCmdSettings | kCmdLookup | kCmdSubmit | kCmdInfo |
                                   kCmdOffset | kCmdPlay | kCmdDevices;

const char* const kDrive = "Drive";
const char* const kNames = "Tracks and names";
const char* const kOutput = "Output";
const char* const kProcessing = "Processing";
const char* const kNormalisation = "Normalisation";
const char* const kReading = "Reading";
const char* const kTags = "Tags of MP3, MP2 and AAC files";
const char* const kDatabase = "Disc names (MusicBrainz and gnudb)";
const char* const kAccurateRip = "AccurateRip and the rip log";
const char* const kPlayback = "Playback";
const char* const kGeneral = "General";

std::vector<CliOption> makeOptions() {
    return {
        // ---- which drive -------------------------------------------------------------
        {.name = "drive",
         .shortName = 'd',
         .argument = "N",
         .help = "read from drive number N (see 'dskr-cli drives')",
         .setting = "iDevice",
         .commands = kDiscCommands,
         .section = kDrive,
         .value = CliValue::Number},
        {.name = "image",
         .argument = "FILE.cue",
         .help = "read from a virtual drive holding a CUE/BIN disc image",
         .commands = kDriveCommands,
         .section = kDrive,
         .value = CliValue::CueFile},
        {.name = "demo",
         .help = "read the built-in demo disc from a virtual drive",
         .commands = kDriveCommands,
         .section = kDrive},
        {.name = "faults",
         .argument = "SPEC",
         .help = "make the virtual drive misbehave, e.g. seed=7,seek=0.2:-9..2,settle=1,"
                 "error=0.01,scratch=3000-3100:0.3",
         .commands = kDriveCommands,
         .section = kDrive,
         .value = CliValue::Text},

        // ---- which tracks, and their names ----------------------------------------------
        {.name = "tracks",
         .shortName = 't',
         .argument = "LIST",
         .help = "rip only these tracks, e.g. 1,3-5 (default: every audio track)",
         .commands = kCmdRip,
         .section = kNames,
         .value = CliValue::Text},
        {.name = "names",
         .argument = "FILE",
         .help = "disc and track names from a JSON file of the shape 'toc --json' prints, or "
                 "from an xmcd record; they win over looked-up names, and the options below "
                 "over them",
         .commands = kNameCommands,
         .section = kNames,
         .value = CliValue::JsonFile},
        {.name = "artist",
         .argument = "TEXT",
         .help = "the disc's artist",
         .commands = kNameCommands,
         .section = kNames,
         .value = CliValue::Text},
        {.name = "album",
         .argument = "TEXT",
         .help = "the album's name",
         .commands = kNameCommands,
         .section = kNames,
         .value = CliValue::Text},
        {.name = "year",
         .argument = "YEAR",
         .help = "the album's year (0: none)",
         .commands = kNameCommands,
         .section = kNames,
         .value = CliValue::Number},
        {.name = "genre",
         .argument = "TEXT",
         .help = "the album's genre",
         .commands = kNameCommands,
         .section = kNames,
         .value = CliValue::Text},
        {.name = "title",
         .argument = "N=TEXT",
         .help = "the name of track N; give it once for each track to name",
         .commands = kNameCommands,
         .section = kNames,
         .value = CliValue::Text,
         .repeatable = true},

        // ---- where and how files are written ------------------------------------------
        {.name = "out",
         .shortName = 'o',
         .argument = "DIR",
         .help = "write the files into folder DIR",
         .setting = "szOutDir",
         .commands = kCmdRip,
         .section = kOutput,
         .value = CliValue::Folder},
        {.name = "out-dir",
         .argument = "DIR",
         .help = "convert every FILE into folder DIR, named as the file with the format's "
                 "extension (the format from --format, else the stored one)",
         .commands = kCmdConvert,
         .section = kOutput,
         .value = CliValue::Folder},
        {.name = "format",
         .shortName = 'f',
         .argument = "FORMAT",
         .help = "file format: a name from 'dskr-cli formats', an extension (flac, mp3, m4a, "
                 "...) or a short name (wav, bwf, aiff-c, caf-le, aac, ...)",
         .setting = "szFileFormat",
         .commands = kRunCommands,
         .section = kOutput,
         .value = CliValue::Format},
        {.name = "subformat",
         .argument = "NAME",
         .help = "data subformat of the file format, e.g. \"PCM 24-bit\" (see 'dskr-cli "
                 "formats')",
         .setting = "szDataFormat",
         .commands = kRunCommands,
         .section = kOutput,
         .value = CliValue::Text},
        {.name = "compression",
         .argument = "N|default",
         .help = "the codec's compression level where the format has levels (flac 0-8, wv 1-4, "
                 "ape 1-5; see 'dskr-cli formats')",
         .setting = "iCompressionLevel",
         .commands = kRunCommands,
         .section = kOutput,
         .value = CliValue::Text},
        {.name = "channels",
         .argument = "1|2",
         .help = "mono (1) or stereo (2) files",
         .setting = "iOutChannels",
         .commands = kRunCommands,
         .section = kOutput,
         .value = CliValue::Words,
         .words = "1 2 mono stereo"},
        {.name = "pattern",
         .argument = "P0,...,P9",
         .help = "file name pattern: space handling, then five name parts with four "
                 "separators between them (see aiName in 'dskr-cli settings')",
         .setting = "aiName",
         .commands = kCmdRip,
         .section = kOutput,
         .value = CliValue::Text},
        {.name = "merge",
         .opposite = "no-merge",
         .help = "write one file for each run of consecutive selected tracks",
         .setting = "bMergeConsecutive",
         .commands = kCmdRip,
         .section = kOutput},
        {.name = "playlist",
         .opposite = "no-playlist",
         .help = "write an M3U playlist of the files",
         .setting = "bCreatePlaylist",
         .commands = kCmdRip,
         .section = kOutput},
        {.name = "cue",
         .opposite = "no-cue",
         .help = "write a CUE sheet beside the playlist describing the files (catalogue number, "
                 "ISRCs, flags, names, gaps)",
         .setting = "bWriteCue",
         .commands = kCmdRip,
         .section = kOutput},
        {.name = "hidden-track",
         .opposite = "no-hidden-track",
         .help = "rip audio before track 1 as track 0 (\"Hidden Track\")",
         .setting = "bRipHiddenTrack",
         .commands = kCmdRip,
         .section = kOutput},
        {.name = "overwrite",
         .argument = "ask|replace|skip",
         .help = "what to do with a file that exists already (replace is stored as "
                 "bNoOverwritePrompt with --save)",
         .commands = kRunCommands,
         .section = kOutput,
         .value = CliValue::Words,
         .words = "ask replace skip"},

        // ---- tags -------------------------------------------------------------------------
        {.name = "id3v2",
         .opposite = "no-id3v2",
         .help = "write an ID3v2 tag (by default in MP3 files only)",
         .apply = applyId3v2Tag,
         .commands = kRunCommands,
         .section = kTags},
        {.name = "id3v1",
         .opposite = "no-id3v1",
         .help = "write an ID3v1 tag (by default in MP3 and MP2 files)",
         .apply = applyId3v1Tag,
         .commands = kRunCommands,
         .section = kTags},
        {.name = "ape-tag",
         .opposite = "no-ape-tag",
         .help = "write an APE tag (MP3 and AAC files; by default none)",
         .apply = applyApeTag,
         .commands = kRunCommands,
         .section = kTags},

        // ---- processing -----------------------------------------------------------------
        {.name = "resample",
         .opposite = "no-resample",
         .argument = "RATE",
         .help = "resample to RATE Hz",
         .setting = "dwNewSampleRate",
         .enables = "bResample",
         .commands = kRunCommands,
         .section = kProcessing,
         .value = CliValue::Words,
         .words = "8000 11025 16000 22050 32000 44100 48000 88200 96000"},
        {.name = "resampler",
         .argument = "ALG",
         .help = "resampling algorithm: nearest, linear, cubic, fast, normal or slow",
         .setting = "eResamplingAlg",
         .commands = kRunCommands,
         .section = kProcessing,
         .value = CliValue::Words,
         .words = "nearest linear cubic fast normal slow"},
        {.name = "remove-silence",
         .opposite = "no-remove-silence",
         .help = "remove the silence at the start of each track",
         .setting = "bRemoveSilence",
         .commands = kRunCommands,
         .section = kProcessing},
        {.name = "cutoff",
         .opposite = "no-cutoff",
         .argument = "SECONDS",
         .help = "cut each track off after SECONDS",
         .setting = "iCutOffLength",
         .enables = "bCutOff",
         .commands = kRunCommands,
         .section = kProcessing,
         .value = CliValue::Number},
        {.name = "fade",
         .opposite = "no-fade",
         .help = "fade out over the last quarter second before the cut-off",
         .setting = "bCutOffFade",
         .commands = kRunCommands,
         .section = kProcessing},

        // ---- normalisation ---------------------------------------------------------------
        {.name = "normalize",
         .opposite = "no-normalize",
         .argument = "peak|rg|rg-iso|r128",
         .help = "adjust the volume: to a peak level, by ReplayGain (standard or ISO 226:2003 "
                 "loudness curves) or to an EBU R 128 loudness; another type starts from its "
                 "own target and mode",
         .setting = "eNormalizeType",
         .enables = "bNormalize",
         .apply = applyNormalizeType,
         .commands = kRunCommands,
         .section = kNormalisation,
         .value = CliValue::Words,
         .words = "peak rg rg-iso r128"},
        {.name = "target",
         .argument = "VALUE",
         .help = "the target, in the unit of the type: peak in dBFS (-1dBFS) or as a factor "
                 "(0.9x); ReplayGain's reference level in dB (89dB); R 128 in LUFS (-23LUFS) "
                 "or in LU relative to -23 LUFS (-5LU)",
         .setting = "fNormalizeTarget",
         .apply = applyNormalizeTarget,
         .commands = kRunCommands,
         .section = kNormalisation,
         .value = CliValue::Text},
        {.name = "meta",
         .opposite = "modify",
         .help = "store the gains as metadata and leave the samples as they are (--modify: "
                 "change the samples)",
         .setting = "bNormalizeMeta",
         .commands = kRunCommands,
         .section = kNormalisation},
        {.name = "album-gain",
         .opposite = "no-album-gain",
         .help = "one ReplayGain for all files of the rip",
         .setting = "bNormalizeAlbum",
         .apply = applyAlbumGain,
         .commands = kRunCommands,
         .section = kNormalisation},
        {.name = "never-clip",
         .opposite = "allow-clip",
         .help = "never raise the peak above full scale",
         .setting = "bNormalizeNeverClip",
         .commands = kRunCommands,
         .section = kNormalisation},

        // ---- reading the disc -------------------------------------------------------------
        {.name = "mode",
         .argument = "MODE",
         .help = "read mode: burst (fastest), jitter (jitter correcting), scratch (scratch "
                 "correcting) or verify (burst reads checked against AccurateRip, a track it "
                 "does not confirm read again in scratch mode)",
         .setting = "eMode",
         .commands = kCmdRip,
         .section = kReading,
         .value = CliValue::Words,
         .words = "burst jitter scratch verify"},
        {.name = "speed",
         .argument = "N|max",
         .help = "read speed factor, or max",
         .setting = "iSpeed",
         .commands = kCmdRip,
         .section = kReading,
         .value = CliValue::Words,
         .words = "max 1 2 4 8 16 24 32"},
        {.name = "jobs",
         .shortName = 'j',
         .argument = "N",
         .help = "encode on N threads while the disc is read, or convert N files at once (0: "
                 "one per core, the default; 1: all on one thread)",
         .setting = "iEncoderThreads",
         .commands = kRunCommands,
         .section = kOutput,
         .value = CliValue::Number},
        {.name = "encoder-queue",
         .argument = "MIB",
         .help = "read audio held in memory for the encoders, in MiB (default 512); more waits "
                 "in temporary files",
         .setting = "iEncoderQueueMiB",
         .commands = kCmdRip,
         .section = kReading,
         .value = CliValue::Number},
        {.name = "offset",
         .argument = "N",
         .help = "the drive's read offset in samples, -5880 to 5880 (a drive that delivers "
                 "samples N early needs N); kept for that drive with --save",
         .commands = kCmdRip,
         .section = kReading,
         .value = CliValue::Number},
        {.name = "test-and-copy",
         .opposite = "no-test-and-copy",
         .help = "read every track twice and compare the checksums; files whose reads differ "
                 "are suspect",
         .setting = "bTestAndCopy",
         .commands = kCmdRip,
         .section = kReading},
        {.name = "continue-on-errors",
         .opposite = "no-continue-on-errors",
         .help = "fill a sector that never reads with silence and go on (the file is then "
                 "suspect) instead of failing the file",
         .setting = "bContinueOnReadError",
         .commands = kCmdRip,
         .section = kReading},
        {.name = "detect-gaps",
         .opposite = "no-detect-gaps",
         .help = "search the disc for pregaps and indexes, for the CUE sheet and 'toc' (on by "
                 "default)",
         .setting = "bDetectGaps",
         .commands = kCmdRip | kCmdToc,
         .section = kReading},
        {.name = "keep-preemphasis",
         .opposite = "no-keep-preemphasis",
         .help = "write pre-emphasised tracks as on the disc, marked PRE in the comment (off: "
                 "they are de-emphasised)",
         .setting = "bKeepPreEmphasis",
         .commands = kCmdRip,
         .section = kReading},
        {.name = "eject",
         .opposite = "no-eject",
         .help = "eject the disc when the batch is done",
         .setting = "bEjectWhenDone",
         .commands = kCmdRip,
         .section = kReading},

        // ---- AccurateRip and the log ----------------------------------------------------
        {.name = "accuraterip",
         .opposite = "no-accuraterip",
         .help = "check every track against the AccurateRip database (asked for a drive; for "
                 "an image only with this option)",
         .setting = "bAccurateRip",
         .commands = kCmdRip,
         .section = kAccurateRip},
        {.name = "accuraterip-server",
         .argument = "URL",
         .help = "where the AccurateRip records are fetched from: a host name, host:port or "
                 "http://host:port",
         .setting = "szAccurateRipServer",
         .commands = kCmdRip | kCmdOffset,
         .section = kAccurateRip,
         .value = CliValue::Text},
        {.name = "accuraterip-timeout",
         .argument = "SECONDS",
         .help = "the longest wait for the AccurateRip server, 1 to 600 seconds (default 10)",
         .setting = "iAccurateRipTimeout",
         .commands = kCmdRip | kCmdOffset,
         .section = kAccurateRip,
         .value = CliValue::Number},
        {.name = "log",
         .opposite = "no-log",
         .help = "write the rip log beside the files (on by default)",
         .setting = "bWriteLog",
         .commands = kCmdRip,
         .section = kAccurateRip},

        // ---- playback ---------------------------------------------------------------------
        {.name = "track",
         .argument = "N",
         .help = "the disc's track to play (default 1)",
         .commands = kCmdPlay,
         .section = kPlayback,
         .value = CliValue::Number},
        {.name = "device",
         .argument = "NAME",
         .help = "a number or name from 'dskr-cli devices', or alsa:PCM for any ALSA device "
                 "(default: the first device listed)",
         .commands = kCmdPlay,
         .section = kPlayback,
         .value = CliValue::Text},
        {.name = "start",
         .argument = "TIME",
         .help = "where to begin: seconds (83.5), M:SS or H:MM:SS",
         .commands = kCmdPlay,
         .section = kPlayback,
         .value = CliValue::Text},
        {.name = "realtime",
         .opposite = "no-realtime",
         .help = "ask for real-time scheduling for the playing thread (on by default)",
         .commands = kCmdPlay,
         .section = kPlayback},

        // ---- the disc database ----------------------------------------------------------
        {.name = "lookup",
         .opposite = "no-lookup",
         .help = "look the disc's names up (the default for a drive, and for an image once an "
                 "e-mail address for gnudb is stored)",
         .commands = kCmdRip,
         .section = kDatabase},
        {.name = "match",
         .argument = "N",
         .help = "the Nth of several discs the look-up finds",
         .commands = kCmdRip | kCmdLookup,
         .section = kDatabase,
         .value = CliValue::Number},
        {.name = "release",
         .argument = "MBID",
         .help = "the names of this MusicBrainz release (its id or the address of its page)",
         .commands = kLookupCommands,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "lookup-order",
         .argument = "LIST",
         .help = "the sources of names in the order they are asked: musicbrainz, gnudb, local "
                 "(records kept from earlier look-ups and cdplayer.ini) and cdtext",
         .setting = "szLookupOrder",
         .commands = kLookupCommands,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "cover-art",
         .opposite = "no-cover-art",
         .help = "save the release's front cover as cover.jpg beside the files, and in them",
         .setting = "bFetchCoverArt",
         .commands = kCmdRip,
         .section = kDatabase},
        {.name = "mb-server",
         .argument = "URL",
         .help = "the MusicBrainz server: a host name, host:port or https://host:port",
         .commands = kLookupCommands,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "cover-art-server",
         .argument = "URL",
         .help = "the Cover Art Archive server: a host name, host:port or https://host:port",
         .commands = kCmdRip,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "category",
         .argument = "NAME",
         .help = "the gnudb category to file the disc under",
         .commands = kCmdSubmit,
         .section = kDatabase,
         .value = CliValue::Words,
         .words = "blues classical country data folk jazz misc newage reggae rock soundtrack"},
        {.name = "yes",
         .help = "submit without asking",
         .commands = kCmdSubmit,
         .section = kDatabase},
        {.name = "email",
         .argument = "ADDRESS",
         .help = "your e-mail address, which gnudb requires (it is stored)",
         .commands = kDatabaseCommands,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "server",
         .argument = "URL",
         .help = "the gnudb server: a host name, host:port or http://host:port",
         .commands = kDatabaseCommands,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "proxy",
         .opposite = "no-proxy",
         .argument = "URL",
         .help = "reach the server through an HTTP proxy, host:port or http://host:port",
         .commands = kDatabaseCommands,
         .section = kDatabase,
         .value = CliValue::Text},
        {.name = "timeout",
         .argument = "SECONDS",
         .help = "the longest wait for the database, 0.1 to 600 seconds (default 30)",
         .commands = kDatabaseCommands,
         .section = kDatabase,
         .value = CliValue::Number},

        // ---- general ----------------------------------------------------------------------
        {.name = "save",
         .help = "store the settings this run used as the new defaults (lookup: the server "
                 "and proxy; offset: the offset found, for the drive)",
         .commands = kCmdRip | kCmdLookup | kCmdOffset,
         .section = kGeneral},
        {.name = "json",
         .help = "print the result as one JSON object on standard output",
         .commands = kJsonCommands,
         .section = kGeneral},
        {.name = "quiet",
         .shortName = 'q',
         .help = "show no progress, only prompts, errors and the result",
         .commands = kRunCommands,
         .section = kGeneral},
        {.name = "verbose",
         .shortName = 'v',
         .help = "also show every read retry and re-read with its position, and the drives "
                 "passed over",
         .commands = kCmdToc | kCmdRip,
         .section = kGeneral},
        {.name = "help",
         .shortName = 'h',
         .help = "show this help",
         .commands = kCmdAll,
         .section = kGeneral},
    };
}

std::vector<CliCommand> makeCommands() {
    return {
        {"drives", kCmdDrives, "[DRIVE] [--json]", "list the CD drives (real, then virtual)",
         "Lists the CD drives DskR can read from, numbered as --drive takes them: drives "
         "reached by SCSI pass-through first, then by the raw-read ioctls, then through "
         "libcdio, and virtual drives last. Device nodes that were passed over are listed "
         "with the reason.",
         "dskr-cli drives\ndskr-cli drives --demo --json", CliValue::None, commandDrives},
        {"formats", kCmdFormats, "[--json]", "list the file formats and subformats DskR writes",
         "Lists every file format DskR can write, with its extension, channel limits, "
         "compression levels, the codec library it needs and whether it was found, and its "
         "data subformats. --format takes a format's name or short name, --subformat one of "
         "its subformats, --compression one of its levels.",
         "dskr-cli formats\ndskr-cli formats --json", CliValue::None, commandFormats},
        {"toc", kCmdToc, "[DRIVE] [OPTIONS]",
         "show a disc's table of contents, freedb and MusicBrainz ids",
         "Shows the disc's tracks with their start, length and flags (E pre-emphasis, C copy "
         "permitted, 4 four channels), its names, its freedb disc id and query, and its "
         "MusicBrainz disc id and TOC. The JSON "
         "form is also the shape --names reads: save it, edit the names, and rip with it.",
         "dskr-cli toc --demo\ndskr-cli toc --json > names.json", CliValue::None, commandToc},
        {"offset", kCmdOffset, "[DRIVE] [OPTIONS]",
         "find the drive's read offset with a disc the AccurateRip database knows",
         "Asks the AccurateRip database for the disc, reads around frame 450 of its first "
         "tracks and finds the read offset at which they match the database, over several "
         "tracks and pressings. --save keeps the offset for the drive, so that later rips "
         "use it.",
         "dskr-cli offset -d 0\ndskr-cli offset --save --json", CliValue::None, commandOffset},
        {"rip", kCmdRip, "[DRIVE] [OPTIONS]", "rip the selected tracks of a disc to files",
         "Reads the selected tracks of a disc and writes one file per track, or one per run "
         "of consecutive tracks with --merge, named by the pattern from the disc's names. "
         "Every option with a stored setting overrides it for this run (see 'dskr-cli "
         "settings'); --save stores them. An existing file is asked about on a terminal and "
         "skipped otherwise (see --overwrite). A file replaces an earlier one of its name only "
         "once it is complete. Ctrl-C, SIGTERM and SIGHUP stop the batch. Exits with 0 when "
         "every file is good, 1 when a file failed or is suspect (kept, but not all of it "
         "could be confirmed: the summary names the sectors), 130 when cancelled.",
         "dskr-cli rip --demo -o ~/Music --playlist\n"
         "dskr-cli rip -d 0 -t 1-3,5 -f wav --subformat \"PCM 24-bit\" --mode jitter\n"
         "dskr-cli rip --image disc.cue --names names.json --no-eject\n"
         "dskr-cli rip -f flac --compression 8 --test-and-copy --offset 6 --save",
         CliValue::None, commandRip},
        {"convert", kCmdConvert, "IN OUT [OPTIONS] | FILE... --out-dir DIR [OPTIONS]",
         "convert audio files to another format",
         "Reads an audio file and writes it in the format of OUT's extension (or --format), "
         "with the processing the options ask for; stored processing settings are not "
         "applied. With --out-dir, converts every FILE into DIR under its own name with the "
         "format's extension, -j N files at once (0: one per core), and reports the files in "
         "the order given; two files that would get the same name are refused before any "
         "work. Each output is written under a temporary name and renamed when complete, so "
         "a failure or Ctrl-C never leaves a partial file and keeps any earlier file of that "
         "name. Exits with 0 when every file converted, 1 when one failed (the others are "
         "still converted), 130 when cancelled.",
         "dskr-cli convert in.wav out.wav --resample 48000 --subformat \"PCM 24-bit\"\n"
         "dskr-cli convert *.wav --out-dir flac -f flac --compression 8 -j 2\n"
         "dskr-cli convert album/*.flac --out-dir mp3 -f mp3 --json",
         CliValue::File, commandConvert},
        {"analyze", kCmdAnalyze, "FILE... [--json]",
         "measure peak, ReplayGain and EBU R 128 loudness of files",
         "Measures the peak level, the ReplayGain track gain (standard and ISO 226:2003 "
         "loudness curves) and the EBU R 128 integrated loudness of each file, and the "
         "ReplayGain album gain of all of them.",
         "dskr-cli analyze *.wav", CliValue::File, commandAnalyze},
        {"settings", kCmdSettings, "[show [NAME...] | set NAME VALUE | reset [NAME...]] [--json]",
         "show, change or reset the stored settings",
         "Shows every stored setting with its value, its default and what it means; 'set' "
         "changes one, 'reset' puts one or all back to their defaults. NAME is the "
         "setting's name (iOutChannels) or the option that overrides it (channels). A "
         "stored value that is not valid is reported once when the settings are read, and "
         "its default used.",
         "dskr-cli settings\ndskr-cli settings set eMode jitter\ndskr-cli settings reset "
         "bMergeConsecutive",
         CliValue::Setting, commandSettings},
        {"lookup", kCmdLookup, "[DRIVE] [OPTIONS]",
         "look the disc's names up in MusicBrainz and gnudb",
         "Asks the sources of names in the look-up order (MusicBrainz, gnudb, the records "
         "kept from earlier look-ups and cdplayer.ini, CD-Text) and lists the discs that "
         "match. One match is taken; of several, --match N or --release MBID chooses, or on "
         "a terminal you are asked. A record read from gnudb is kept for later rips and "
         "submissions. gnudb answers no request without your e-mail address: give it once "
         "with --email.",
         "dskr-cli lookup --demo --email you@example.org\ndskr-cli lookup --match 2 --json\n"
         "dskr-cli lookup --release 0d1e3b4c-5a6f-4b7c-8d9e-0f1a2b3c4d5e",
         CliValue::None, commandLookup},
        {"submit", kCmdSubmit, "[DRIVE] [OPTIONS]", "send the disc's names to gnudb",
         "Sends the names of the disc to gnudb: the record kept from the last look-up, or "
         "those of --names FILE, with any of --artist, --album, --year, --genre and --title "
         "over them. Shows the record and asks before sending (--yes does not ask).",
         "dskr-cli submit --category rock --title 3=\"Right Title\"\n"
         "dskr-cli submit --names disc.xmcd --yes",
         CliValue::None, commandSubmit},
        {"info", kCmdInfo, "FILE... [--json]", "show the format, length and tags of audio files",
         "For each file: its format and subformat, channels, sample rate, length, and every "
         "text property its reader finds (title, artist, album, track number, year, genre, "
         "comment, ISRC, ReplayGain, ...). Exits with 1 when a file cannot be read.",
         "dskr-cli info *.wav\ndskr-cli info --json track.flac", CliValue::File, commandInfo},
        {"play", kCmdPlay, "[FILE | DRIVE] [OPTIONS]", "listen to an audio file or a disc's track",
         "Plays an audio file DskR reads, or a track of a disc, on the sound card, with a "
         "level meter per channel and the time. On a terminal: space pauses and resumes, the "
         "left and right arrows go back and on 5 seconds, q stops.",
         "dskr-cli play --demo --track 3\ndskr-cli play in.flac --start 1:30 --device "
         "alsa:hw:0,0",
         CliValue::File, commandPlay},
        {"devices", kCmdDevices, "[--json]", "list the sound output devices",
         "Lists the sound output devices 'play --device' takes: ALSA's default device and each "
         "hw:C,D card device, and PulseAudio's system default output. A machine without the "
         "sound libraries or devices lists none and says why.",
         "dskr-cli devices\ndskr-cli devices --json", CliValue::None, commandDevices},
        {"help", kCmdHelp, "[COMMAND]", "show the help of dskr-cli or of one command",
         "Shows the list of commands, or the usage, options and examples of one command "
         "(the same as 'dskr-cli COMMAND --help').",
         "dskr-cli help rip", CliValue::None, commandHelp},
    };
}

} // namespace

const std::vector<CliOption>& cliOptions() {
    static const std::vector<CliOption> options = makeOptions();
    return options;
}

const std::vector<CliCommand>& cliCommands() {
    static const std::vector<CliCommand> commands = makeCommands();
    return commands;
}
