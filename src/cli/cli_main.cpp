// dskr-cli: DskR on the command line. It drives the same core and batch runner as the
// desktop wizard and reads the same settings store.
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/cli_lookup.h"
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

namespace {
const char* kUsage =
    "Usage: dskr-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  drives [--json]                 list the CD drives (real, then virtual)\n"
    "  formats [--json]                list the formats DskR writes\n"
    "  toc [DRIVE] [--json]            show the disc's table of contents, freedb and\n"
    "                                  MusicBrainz ids\n"
    "  offset [DRIVE] [--save] [--json]\n"
    "                                  find the drive's read offset with a disc the\n"
    "                                  AccurateRip database knows; --save keeps it\n"
    "  rip [DRIVE] [OPTIONS]           rip the selected tracks to files\n"
    "  convert IN OUT [OPTIONS]        convert one audio file to another\n"
    "  analyze FILE... [--json]        peak, ReplayGain and EBU R 128 loudness of files\n"
    "  lookup [DRIVE] [--json]         the disc's names from MusicBrainz and gnudb\n"
    "                                  (--match N or --release MBID chooses)\n"
    "  submit [DRIVE] --category NAME  send the disc's names to gnudb (--names FILE,\n"
    "                                  else the last look-up; --yes skips the question)\n"
    "  info FILE... [--json]           format, length and tags of audio files\n"
    "  play [FILE|DRIVE] [--track N] [--device NAME] [--start TIME]\n"
    "                                  listen to a file or a disc's track (play --help)\n"
    "  devices [--json]                list the sound output devices\n"
    "\n"
    "DRIVE:\n"
    "  --drive N                       drive number N (see 'drives')\n"
    "  --image FILE.cue                a virtual drive over a CUE/BIN disc image\n"
    "  --demo                          the built-in demo disc\n"
    "  --faults SPEC                   fault injection for a virtual drive, e.g.\n"
    "                                  seed=7,seek=0.2:-9..2,settle=1,error=0.01\n"
    "\n"
    "OPTIONS (each overrides a stored setting for this run; --save stores them):\n"
    "  --out DIR  --format NAME  --subformat NAME  --channels 1|2\n"
    "  --compression N|default         the codec's level where it has levels (flac 0-8,\n"
    "                                  wv 1-4, ape 1-5; see 'formats')\n"
    "  --pattern P0,...,P9  --merge  --playlist  --resample RATE  --resampler CODE\n"
    "  --remove-silence  --cutoff SECONDS  --fade | --no-fade\n"
    "  --mode burst|jitter|scratch  --speed N|max  --tracks LIST (e.g. 1,3-5)\n"
    "  --overwrite ask|replace|skip  --eject  --save  --json\n"
    "  -j N | --jobs N                 encode on N threads while the disc is read (0: one\n"
    "                                  per core, the default; 1: all on one thread)\n"
    "  --encoder-queue MIB             read audio held in memory for the encoders (512);\n"
    "                                  more waits in temporary files\n"
    "  --offset N                      the drive's read offset in samples (-5880..5880),\n"
    "                                  kept for that drive with --save\n"
    "  --test-and-copy | --no-test-and-copy\n"
    "                                  read every track twice and compare the checksums\n"
    "  --continue-on-errors | --no-continue-on-errors\n"
    "                                  fill a sector that never reads with silence and go\n"
    "                                  on (the file is then \"suspect\")\n"
    "  --accuraterip | --no-accuraterip\n"
    "                                  check every track against the AccurateRip database\n"
    "                                  (on for a drive; for an image only when asked)\n"
    "  --accuraterip-server URL        where the AccurateRip records are fetched from\n"
    "  --accuraterip-timeout SECONDS   connect and answer time-out (10 by default)\n"
    "  --log | --no-log                write the rip log beside the files (on by default)\n"
    "  --keep-preemphasis | --no-keep-preemphasis\n"
    "                                  write pre-emphasised tracks as on the disc, marked\n"
    "                                  PRE in the comment (off: they are de-emphasised)\n"
    "  --lookup | --no-lookup          look the disc's names up (on for a drive, and for an\n"
    "                                  image once an e-mail address is set)\n"
    "  --match N                       the Nth of several matching discs\n"
    "  --id3v2 | --no-id3v2  --id3v1 | --no-id3v1  --ape-tag | --no-ape-tag\n"
    "                                  tags of MP3, MP2 and AAC files (MP3: ID3v2 and ID3v1;\n"
    "                                  MP2: ID3v1; AAC: none, by default)\n"
    "  --release MBID                  the names of this MusicBrainz release\n"
    "  --cover-art | --no-cover-art    the release's front cover as cover.jpg beside the\n"
    "                                  files, and in them (on by default)\n"
    "  --cue | --no-cue                a CUE sheet beside the playlist describing the files\n"
    "                                  (catalogue number, ISRCs, flags, names, gaps)\n"
    "  --detect-gaps | --no-detect-gaps\n"
    "                                  search the disc for pregaps and indexes for the CUE\n"
    "                                  sheet and 'toc' (on by default)\n"
    "  --hidden-track | --no-hidden-track\n"
    "                                  rip audio before track 1 as track 0 (\"Hidden Track\")\n"
    "\n"
    "FORMATS: --format takes a name from 'dskr-cli formats', an extension, or one of\n"
    "  wav, bwf, mp3, mp2, aac (MPEG-4 AAC Low Complexity)\n"
    "\n"
    "NORMALISATION (rip and convert):\n"
    "  --normalize peak|rg|rg-iso|r128 | --no-normalize\n"
    "                                  peak level, ReplayGain, ReplayGain ISO 226:2003,\n"
    "                                  EBU R 128 loudness\n"
    "  --target VALUE                  peak: dBFS (-1dBFS) or a factor (0.9x);\n"
    "                                  ReplayGain: reference level in dB (89dB);\n"
    "                                  R 128: LUFS (-23LUFS) or LU relative to it (-5LU)\n"
    "  --meta | --modify               store the gains as metadata (samples untouched) or\n"
    "                                  change the audio\n"
    "  --album-gain | --no-album-gain  one ReplayGain for all files of the rip\n"
    "  --never-clip | --allow-clip     never raise the peak above full scale\n"
    "\n"
    "DISC NAMES (lookup, rip; submit takes the gnudb ones):\n"
    "  --lookup-order LIST             the sources in order (musicbrainz,gnudb,local,cdtext)\n"
    "  --mb-server URL                 the MusicBrainz server (https://musicbrainz.org)\n"
    "  --cover-art-server URL          the Cover Art Archive (https://coverartarchive.org)\n"
    "  --email ADDRESS                 your address, which gnudb requires (it is stored)\n"
    "  --server URL  --proxy URL | --no-proxy  --timeout SECONDS (default 30)\n"
    "\n"
    "rip exits with 0 when every file is good, 1 when a file failed or is suspect (kept,\n"
    "but not all of it could be confirmed: the summary names the sectors), 130 when\n"
    "cancelled (Ctrl-C, SIGTERM, SIGHUP). A file replaces an earlier one of its name only\n"
    "once it is complete.\n";

struct Command {
    std::vector<CliOptionSpec> options;
    std::function<int(const CliArguments&)> run;
};

std::vector<CliOptionSpec> with(std::vector<CliOptionSpec> a, const std::vector<CliOptionSpec>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<CliOptionSpec> kRunOptions = {
    {"--out", true},
    {"--format", true},
    {"--subformat", true},
    {"--channels", true},
    {"--compression", true},
    {"--pattern", true},
    {"--merge", false},
    {"--playlist", false},
    {"--resample", true},
    {"--resampler", true},
    {"--remove-silence", false},
    {"--cutoff", true},
    {"--fade", false},
    {"--no-fade", false},
    {"--mode", true},
    {"--speed", true},
    {"--tracks", true},
    {"--overwrite", true},
    {"--eject", false},
    {"--save", false},
    {"--json", false},
    {"--normalize", true},
    {"--no-normalize", false},
    {"--target", true},
    {"--meta", false},
    {"--modify", false},
    {"--album-gain", false},
    {"--no-album-gain", false},
    {"--never-clip", false},
    {"--allow-clip", false},
    {"--offset", true},
    {"--test-and-copy", false},
    {"--no-test-and-copy", false},
    {"--continue-on-errors", false},
    {"--accuraterip", false},
    {"--no-accuraterip", false},
    {"--accuraterip-server", true},
    {"--accuraterip-timeout", true},
    {"--log", false},
    {"--no-log", false},
    {"--keep-preemphasis", false},
    {"--no-keep-preemphasis", false},
    {"--no-continue-on-errors", false},
    {"--id3v2", false},
    {"--no-id3v2", false},
    {"--id3v1", false},
    {"--no-id3v1", false},
    {"--ape-tag", false},
    {"--no-ape-tag", false},
    {"--cue", false},
    {"--no-cue", false},
    {"--detect-gaps", false},
    {"--no-detect-gaps", false},
    {"--hidden-track", false},
    {"--no-hidden-track", false},
    {"--jobs", true},
    {"--encoder-queue", true},
};
} // namespace

int usageError(const std::string& message) {
    std::fprintf(stderr, "dskr-cli: %s\nTry 'dskr-cli --help'.\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "dskr-cli: %s\n", message.c_str());
    return kExitFailure;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    const std::map<std::string, Command> commands = {
        {"drives", {with({{"--json", false}}, kDriveOptions), commandDrives}},
        {"formats", {{{"--json", false}}, commandFormats}},
        {"toc",
         {with({{"--json", false}, {"--detect-gaps", false}, {"--no-detect-gaps", false}},
               kDriveOptions),
          commandToc}},
        {"offset",
         {with({{"--json", false},
                {"--save", false},
                {"--accuraterip-server", true},
                {"--accuraterip-timeout", true}},
               kDriveOptions),
          commandOffset}},
        {"rip", {with(with(kRunOptions, kDriveOptions), kRipLookupOptions), commandRip}},
        {"convert", {kRunOptions, commandConvert}},
        {"analyze", {{{"--json", false}}, commandAnalyze}},
        {"lookup",
         {with(with({{"--json", false}, {"--match", true}, {"--save", false}}, kDriveOptions),
               kLookupOptions),
          commandLookup}},
        {"submit",
         {with(with({{"--json", false}, {"--category", true}, {"--names", true}, {"--yes", false}},
                    kDriveOptions),
               kFreedbOptions),
          commandSubmit}},
        {"info", {{{"--json", false}, {"--help", false}}, commandInfo}},
        {"play",
         {with({{"--json", false},
                {"--help", false},
                {"--track", true},
                {"--device", true},
                {"--start", true},
                {"--realtime", false},
                {"--no-realtime", false}},
               kDriveOptions),
          commandPlay}},
        {"devices", {{{"--json", false}, {"--help", false}}, commandDevices}},
    };
    auto it = commands.find(argv[1]);
    if (it == commands.end()) return usageError(std::string("unknown command '") + argv[1] + "'");
    CliArguments args;
    std::string error;
    if (!parseCliArguments(argc, argv, it->second.options, args, error)) return usageError(error);
    return it->second.run(args);
}
