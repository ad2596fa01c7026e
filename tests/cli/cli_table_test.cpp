// dskr-cli's option table and what is made from it: each command's --help, the parsing of
// command lines, the manual page, the bash completion and the installed files.
#include "app/settings_table.h"
#include "cli/cli_fixture.h"
#include "cli/cli_options.h"
#include "support/codec_test_files.h"
#include "support/file_text.h"

#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using kytest::CliRun;

namespace {

class CliTableTest : public kytest::CliTest {};

const fs::path kDocs = fs::path(DSKR_BINARY_DIR) / "share";

// Runs a shell command line that redirects its own output; true on exit status 0.
bool shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// Parses a command line (without "dskr-cli COMMAND") for `command`.
bool parse(const char* command, std::vector<std::string> words, CliArguments& args,
           std::string& error) {
    std::vector<char*> argv = {const_cast<char*>("dskr-cli"), const_cast<char*>(command)};
    for (auto& w : words) argv.push_back(w.data());
    return parseCliArguments(static_cast<int>(argv.size()), argv.data(), 2,
                             *findCliCommand(command), args, error);
}

} // namespace

TEST_F(CliTableTest, EveryCommandsHelpNamesEveryOptionItTakes) {
    std::set<std::string> settingNames;
    for (const kySettingInfo& s : kySettingsTable()) settingNames.insert(s.name);
    for (const CliCommand& c : cliCommands()) {
        SCOPED_TRACE(c.name);
        CliRun help = run({c.name, "--help"});
        ASSERT_EQ(help.code, 0) << help.err;
        EXPECT_EQ(help.out.rfind(std::string("Usage: dskr-cli ") + c.name, 0), 0u) << help.out;
        EXPECT_NE(help.out.find("Example"), std::string::npos);
        // -h, `help COMMAND` and --help after other words say the same.
        EXPECT_EQ(run({c.name, "-h"}).out, help.out);
        EXPECT_EQ(run({"help", c.name}).out, help.out);
        EXPECT_EQ(run({c.name, "--bogus", "--help"}).code, 0);

        std::set<std::string> longNames;
        std::set<char> shortNames;
        for (const CliOption* o : cliOptionsOf(c)) {
            SCOPED_TRACE(o->name);
            ASSERT_TRUE(o->help && *o->help) << "an option without help";
            EXPECT_TRUE(longNames.insert(o->name).second) << "given twice";
            EXPECT_NE(help.out.find(std::string("--") + o->name), std::string::npos);
            if (o->opposite) {
                EXPECT_TRUE(longNames.insert(o->opposite).second);
                EXPECT_NE(help.out.find(std::string("--") + o->opposite), std::string::npos);
            }
            if (o->shortName) {
                EXPECT_TRUE(shortNames.insert(o->shortName).second);
                EXPECT_NE(help.out.find(std::string("-") + o->shortName + ", --" + o->name),
                          std::string::npos);
            }
            if (o->argument) {
                EXPECT_NE(help.out.find(o->argument), std::string::npos);
            }
            // What it overrides exists, and a stored switch can be undone for one run.
            if (o->setting) {
                ASSERT_TRUE(settingNames.count(o->setting)) << o->setting;
                EXPECT_NE(help.out.find(o->setting), std::string::npos);
                if (kyFindSetting(o->setting)->kind == kySettingInfo::Kind::Flag) {
                    EXPECT_FALSE(o->argument);
                    EXPECT_TRUE(o->opposite) << "a stored switch needs its opposite";
                }
            }
            if (o->enables) {
                ASSERT_TRUE(settingNames.count(o->enables)) << o->enables;
                EXPECT_EQ(kyFindSetting(o->enables)->kind, kySettingInfo::Kind::Flag);
                EXPECT_TRUE(o->opposite) << "what an option turns on, its opposite turns off";
            }
            if (o->value == CliValue::Words) {
                EXPECT_TRUE(o->words && *o->words);
            }
        }
    }
}

TEST_F(CliTableTest, CommandLinesParse) {
    struct Case {
        const char* command;
        std::vector<std::string> words;
        bool ok;
        std::map<std::string, std::string> values; // option -> value ("" for a switch)
        std::set<std::string> absent;              // options not in force
        std::vector<std::string> positional;
        const char* error;
    };
    const Case cases[] = {
        {"rip",
         {"-o", "/x", "-f", "wav", "-t", "1-3", "-d", "2"},
         true,
         {{"out", "/x"}, {"format", "wav"}, {"tracks", "1-3"}, {"drive", "2"}},
         {},
         {},
         ""},
        {"rip",
         {"-o/x", "-t1,2", "--format=bwf", "--speed", "max"},
         true,
         {{"out", "/x"}, {"tracks", "1,2"}, {"format", "bwf"}, {"speed", "max"}},
         {},
         {},
         ""},
        {"rip", {"-qv"}, true, {{"quiet", ""}, {"verbose", ""}}, {}, {}, ""},
        {"rip", {"-qo", "/y"}, true, {{"quiet", ""}, {"out", "/y"}}, {}, {}, ""},
        {"rip", {"--merge", "--no-merge"}, true, {}, {"merge"}, {}, ""},
        {"rip", {"--no-merge", "--merge"}, true, {{"merge", ""}}, {}, {}, ""},
        {"rip", {"--resample", "48000", "--no-resample"}, true, {}, {"resample"}, {}, ""},
        {"rip", {"--out", "/a", "--out", "/b"}, true, {{"out", "/b"}}, {}, {}, ""},
        {"rip", {"--offset-typo"}, false, {}, {}, {}, "unknown option '--offset-typo'"},
        {"rip", {"--mreg"}, false, {}, {}, {}, "did you mean '--merge'"},
        {"rip", {"-x"}, false, {}, {}, {}, "unknown option '-x' for 'rip'"},
        {"rip", {"--out"}, false, {}, {}, {}, "'--out' needs a value (DIR)"},
        {"rip", {"-o"}, false, {}, {}, {}, "'-o' needs a value (DIR)"},
        {"rip", {"--merge=yes"}, false, {}, {}, {}, "'--merge' takes no value"},
        {"rip", {"--no-resample=1"}, false, {}, {}, {}, "'--no-resample' takes no value"},
        {"convert", {"in.wav", "--", "-out.wav"}, true, {}, {}, {"in.wav", "-out.wav"}, ""},
        {"convert",
         {"-", "x.wav", "--channels", "1"},
         true,
         {{"channels", "1"}},
         {},
         {"-", "x.wav"},
         ""},
        {"convert", {"a", "b", "--merge"}, false, {}, {}, {}, "unknown option '--merge'"},
        {"toc", {"--bogus-option", "-5"}, false, {}, {}, {}, "unknown option"},
        {"rip", {"--year", "-5"}, true, {{"year", "-5"}}, {}, {}, ""}, // a value, not an option
        {"settings",
         {"set", "fNormalizeTarget", "-23.5"},
         true,
         {},
         {},
         {"set", "fNormalizeTarget", "-23.5"},
         ""},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& w : c.words) joined += w + " ";
        SCOPED_TRACE(std::string(c.command) + " " + joined);
        CliArguments args;
        std::string error;
        ASSERT_EQ(parse(c.command, c.words, args, error), c.ok) << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        for (const auto& [name, value] : c.values) {
            EXPECT_TRUE(args.has(name)) << name;
            EXPECT_EQ(args.get(name).value_or("<none>"), value) << name;
        }
        for (const auto& name : c.absent) EXPECT_FALSE(args.has(name)) << name;
        EXPECT_EQ(args.positional, c.positional);
    }
    CliArguments args;
    std::string error;
    ASSERT_TRUE(parse("rip", {"--title", "1=One", "--title", "2=Two=Too"}, args, error));
    EXPECT_EQ(args.all("title"), (std::vector<std::string>{"1=One", "2=Two=Too"}));
}

// Every option a command's --help shows parses for that command, with a value where it
// needs one: the help cannot promise an option the parser refuses.
TEST_F(CliTableTest, EveryOptionTheHelpShowsParses) {
    for (const CliCommand& c : cliCommands()) {
        SCOPED_TRACE(c.name);
        CliRun help = run({c.name, "--help"});
        ASSERT_EQ(help.code, 0) << help.err;
        // The option lines: "  -o, --out DIR        help", "      --merge, --no-merge  help".
        std::set<std::string> shown;
        std::istringstream lines(help.out.substr(0, help.out.find("\nExample")));
        for (std::string line; std::getline(lines, line);) {
            const size_t start = line.find_first_not_of(' ');
            // Option lines start within the first columns; a wrapped help text further in.
            if (start == std::string::npos || start == 0 || start > 6 || line[start] != '-')
                continue;
            const size_t gap = line.find("  ", start);
            const std::string synopsis = line.substr(start, gap - start);
            static const std::regex option(R"((^|[ ,])(--?[a-z0-9][a-z0-9-]*))");
            for (std::sregex_iterator it(synopsis.begin(), synopsis.end(), option), end;
                 it != end; ++it)
                shown.insert((*it)[2]);
        }
        size_t expected = 0;
        for (const CliOption* o : cliOptionsOf(c)) expected += 1 + (o->opposite ? 1 : 0);
        // Long names and opposites, and each short name.
        EXPECT_GE(shown.size(), expected) << help.out;
        for (const std::string& word : shown) {
            SCOPED_TRACE(word);
            CliArguments args;
            std::string error;
            if (parse(c.name, {word}, args, error)) continue;
            ASSERT_NE(error.find("needs a value"), std::string::npos) << error;
            ASSERT_TRUE(parse(c.name, {word, "1"}, args, error)) << error;
            EXPECT_EQ(args.given.size(), 1u);
        }
    }
}

// Every option the command line took before the option table still parses for the same
// command, so that no script breaks.
TEST_F(CliTableTest, EveryEarlierOptionIsInTheTable) {
    const std::vector<std::string> drive = {"--drive", "--image", "--demo", "--faults"};
    const std::vector<std::string> gnudb = {"--server", "--proxy", "--no-proxy", "--email",
                                            "--timeout"};
    const std::vector<std::string> lookup = {"--mb-server", "--lookup-order", "--release"};
    const std::vector<std::string> run = {
        "--format",      "--subformat",      "--channels",   "--compression",
        "--resample",    "--resampler",      "--remove-silence", "--cutoff",
        "--fade",        "--no-fade",        "--normalize",  "--no-normalize",
        "--target",      "--meta",           "--modify",     "--album-gain",
        "--no-album-gain", "--never-clip",   "--allow-clip", "--id3v2",
        "--no-id3v2",    "--id3v1",          "--no-id3v1",   "--ape-tag",
        "--no-ape-tag",  "--overwrite"};
    const std::vector<std::string> ripOnly = {
        "--out",           "--pattern",         "--merge",     "--playlist",
        "--mode",          "--speed",           "--tracks",    "--eject",
        "--save",          "--json",            "--offset",    "--test-and-copy",
        "--no-test-and-copy", "--continue-on-errors", "--no-continue-on-errors",
        "--lookup",        "--no-lookup",       "--match",     "--cover-art",
        "--no-cover-art",  "--cover-art-server"};
    auto join = [](std::initializer_list<std::vector<std::string>> lists) {
        std::vector<std::string> all;
        for (const auto& l : lists) all.insert(all.end(), l.begin(), l.end());
        return all;
    };
    const std::map<std::string, std::vector<std::string>> earlier = {
        {"drives", {"--json", "--image", "--demo", "--faults"}},
        {"formats", {"--json"}},
        {"toc", join({{"--json"}, drive})},
        {"rip", join({run, ripOnly, drive, gnudb, lookup})},
        {"convert", run},
        {"analyze", {"--json"}},
        {"lookup", join({{"--json", "--match", "--save"}, drive, gnudb, lookup})},
        {"submit", join({{"--json", "--category", "--names", "--yes"}, drive, gnudb})},
        {"info", {"--json", "--help"}},
    };
    for (const auto& [command, words] : earlier) {
        for (const std::string& word : words) {
            SCOPED_TRACE(command + " " + word);
            CliArguments args;
            std::string error;
            if (parse(command.c_str(), {word}, args, error)) continue;
            ASSERT_NE(error.find("needs a value"), std::string::npos) << error;
            EXPECT_TRUE(parse(command.c_str(), {word, "1"}, args, error)) << error;
        }
    }
}

TEST_F(CliTableTest, ManualPageRendersWithoutWarnings) {
    const fs::path page = kDocs / "dskr-cli.1";
    const std::string text = kytest::readText(page);
    ASSERT_FALSE(text.empty()) << page;
    // Every option and every setting is in it.
    for (const CliOption& o : cliOptions()) {
        std::string escaped;
        for (char ch : std::string("--") + o.name)
            escaped += ch == '-' ? "\\-" : std::string(1, ch);
        EXPECT_NE(text.find(escaped), std::string::npos) << o.name;
    }
    for (const kySettingInfo& s : kySettingsTable())
        EXPECT_NE(text.find(std::string(".B ") + s.name), std::string::npos) << s.name;

    if (!kytest::haveTool("groff")) GTEST_SKIP() << "groff is not installed";
    const fs::path warnings = dir / "groff.txt";
    EXPECT_TRUE(shell("groff -ww -z -man " + kytest::shellQuote(page.string()) + " 2> " +
                      kytest::shellQuote(warnings.string())));
    EXPECT_EQ(kytest::readText(warnings), "");
    if (!kytest::haveTool("man")) GTEST_SKIP() << "man is not installed";
    const fs::path rendered = dir / "man.txt";
    EXPECT_TRUE(shell("MANWIDTH=80 man -l " + kytest::shellQuote(page.string()) + " > " +
                      kytest::shellQuote(rendered.string()) + " 2> " +
                      kytest::shellQuote(warnings.string())));
    EXPECT_EQ(kytest::readText(warnings), "");
    const std::string shown = kytest::readText(rendered);
    for (const char* heading :
         {"NAME", "SYNOPSIS", "COMMANDS", "OPTIONS", "SETTINGS", "EXIT STATUS"})
        EXPECT_NE(shown.find(heading), std::string::npos) << heading;
}

TEST_F(CliTableTest, BashCompletionCompletes) {
    const fs::path script = kDocs / "dskr-cli.bash";
    ASSERT_TRUE(fs::exists(script));
    if (!kytest::haveTool("bash")) GTEST_SKIP() << "bash is not installed";
    fs::create_directories(dir / "rips");
    kytest::writeText(dir / "disc.cue", "");
    kytest::writeText(dir / "notes.txt", "");
    struct Case {
        std::vector<std::string> words; // the last one is being completed
        std::vector<std::string> offered;
        std::vector<std::string> notOffered;
    };
    const Case cases[] = {
        {{"r"}, {"rip"}, {"toc"}},
        {{""}, {"drives", "rip", "settings", "--version"}, {}},
        {{"rip", "--no-m"}, {"--no-merge"}, {"--merge"}},
        {{"rip", "--mode", ""}, {"burst", "jitter", "scratch"}, {}},
        {{"rip", "-f", "w"}, {"wav"}, {}},
        {{"rip", "--out", (dir / "ri").string()}, {(dir / "rips").string()}, {}},
        {{"rip", "--image", (dir / "").string()},
         {(dir / "disc.cue").string()},
         {(dir / "notes.txt").string()}},
        {{"convert", "--form"}, {"--format"}, {}},
        {{"convert", "--mer"}, {}, {"--merge"}},
        {{"settings", ""}, {"show", "set", "reset"}, {}},
        {{"settings", "set", "iOut"}, {"iOutChannels"}, {}},
        {{"help", "ri"}, {"rip"}, {}},
    };
    for (const Case& c : cases) {
        std::string words = "dskr-cli";
        for (const auto& w : c.words) words += " " + kytest::shellQuote(w);
        SCOPED_TRACE(words);
        const fs::path out = dir / "completion.txt";
        const std::string command =
            "bash -c " +
            kytest::shellQuote("source " + kytest::shellQuote(script.string()) +
                               " && COMP_WORDS=(" + words +
                               ") && COMP_CWORD=" + std::to_string(c.words.size()) +
                               " && _dskr_cli && printf '%s\\n' \"${COMPREPLY[@]}\"") +
            " > " + kytest::shellQuote(out.string());
        ASSERT_TRUE(shell(command));
        std::set<std::string> offered;
        std::string text = kytest::readText(out);
        for (size_t pos = 0; pos < text.size();) {
            const size_t nl = std::min(text.find('\n', pos), text.size());
            offered.insert(text.substr(pos, nl - pos));
            pos = nl + 1;
        }
        for (const auto& w : c.offered) EXPECT_TRUE(offered.count(w)) << w << " in\n" << text;
        for (const auto& w : c.notOffered) EXPECT_FALSE(offered.count(w)) << w;
    }
}

TEST_F(CliTableTest, InstallPutsEverythingUnderThePrefix) {
    const fs::path prefix = dir / "prefix";
    ASSERT_TRUE(kytest::run(std::string(DSKR_CMAKE_COMMAND) + " --install " +
                            kytest::shellQuote(DSKR_BINARY_DIR) + " --prefix " +
                            kytest::shellQuote(prefix.string())));
    const fs::path program = prefix / "bin/dskr-cli";
    ASSERT_TRUE(fs::exists(program));
    EXPECT_TRUE(fs::exists(prefix / "share/man/man1/dskr-cli.1"));
    EXPECT_TRUE(fs::exists(prefix / "share/bash-completion/completions/dskr-cli"));
    EXPECT_EQ(kytest::readText(prefix / "share/man/man1/dskr-cli.1"),
              kytest::readText(kDocs / "dskr-cli.1"));
    // With the desktop wizard built, its launcher entry and icon go with it.
    if (fs::exists(fs::path(DSKR_BINARY_DIR) / "bin/dskr") ||
        fs::exists(fs::path(DSKR_BINARY_DIR) / "src/gui/dskr")) {
        EXPECT_TRUE(fs::exists(prefix / "bin/dskr"));
        EXPECT_TRUE(fs::exists(prefix / "share/applications/dskr.desktop"));
        EXPECT_TRUE(fs::exists(prefix / "share/icons/hicolor/scalable/apps/dskr.svg"));
    }
    // The installed program runs.
    const fs::path version = dir / "version.txt";
    EXPECT_TRUE(shell(kytest::shellQuote(program.string()) + " --version > " +
                      kytest::shellQuote(version.string())));
    EXPECT_EQ(kytest::readText(version).rfind("dskr-cli (DskR 5) ", 0), 0u);
}
