#include "cli/cli_help.h"
#include "cli/cli_commands.h"

#include "app/settings_table.h"
#include "formats/format_catalog.h"
#include "platform/components.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#ifndef DSKR_VERSION
#define DSKR_VERSION "5"
#endif

namespace {

constexpr size_t kWidth = 79;
constexpr size_t kHelpColumn = 30;

} // namespace

std::string cliWrap(const std::string& text, size_t indent, size_t firstUsed) {
    std::string out, line;
    size_t used = firstUsed;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && used + line.size() + 1 + word.size() > kWidth) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
            used = indent;
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

namespace {

std::string wrap(const std::string& text, size_t indent, size_t firstUsed) {
    return cliWrap(text, indent, firstUsed);
}

// The stored settings an option overrides, for its help line.
std::string storedNote(const CliOption& o) {
    if (!o.setting) return {};
    std::string note = std::string(" [") + o.setting;
    if (o.enables) note += std::string(", ") + o.enables;
    return note + "]";
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t nl = std::min(text.find('\n', pos), text.size());
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

std::vector<std::string> sectionsOf(const std::vector<const CliOption*>& options) {
    std::vector<std::string> sections;
    for (const CliOption* o : options)
        if (std::find(sections.begin(), sections.end(), o->section) == sections.end())
            sections.push_back(o->section);
    return sections;
}

// ---- roff --------------------------------------------------------------------------

// Text for a roff line: backslashes and dashes escaped, no control word at the start.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string roffOption(const CliOption& o) {
    std::string text;
    if (o.shortName) text += std::string("\\fB\\-") + o.shortName + "\\fR, ";
    text += "\\fB" + roff(std::string("--") + o.name) + "\\fR";
    if (o.argument) text += " \\fI" + roff(o.argument) + "\\fR";
    if (o.opposite) text += ", \\fB" + roff(std::string("--") + o.opposite) + "\\fR";
    return text;
}

std::string defaultText(const kySettingInfo& info) {
    // Defaults of the record itself: the output folder is the user's music folder, which
    // a manual cannot name.
    const RipSettings defaults;
    const std::string text = info.describe(defaults);
    if (std::string_view(info.name) == "szOutDir") return "the music folder";
    if (text.empty()) return info.kind == kySettingInfo::Kind::TextList ? "none" : "empty";
    return text;
}

// ---- bash --------------------------------------------------------------------------

std::string shellWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> formatShortNames() {
    std::set<std::string> names = {"wav", "bwf"};
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    for (int32_t i = 0; catalog.NextWriterFormat(i); ++i) {
        std::string ext = catalog.Entry(i)->extension;
        if (ext.empty() || ext.find_first_of("?*") != std::string::npos) continue;
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.insert(ext);
    }
    return {names.begin(), names.end()};
}

} // namespace

std::string cliOptionSynopsis(const CliOption& o) {
    std::string text = o.shortName ? std::string("-") + o.shortName + ", " : "    ";
    text += std::string("--") + o.name;
    if (o.argument) text += std::string(" ") + o.argument;
    if (o.opposite) text += std::string(", --") + o.opposite;
    return text;
}

std::string cliUsageText() {
    std::string text = "Usage: dskr-cli COMMAND [OPTIONS]\n"
                       "       dskr-cli COMMAND --help\n"
                       "       dskr-cli --version\n"
                       "\n"
                       "DskR copies audio CDs to files, exactly, and converts and measures "
                       "audio files.\n"
                       "\n"
                       "Commands:\n";
    for (const CliCommand& c : cliCommands()) {
        std::string left = std::string("  ") + c.name;
        left.resize(std::max<size_t>(left.size() + 2, 12), ' ');
        text += left + wrap(c.summary, 12, left.size()) + "\n";
    }
    text += "\n"
            "'dskr-cli COMMAND --help' shows the options and examples of a command;\n"
            "'man dskr-cli' describes them all, with every stored setting.\n";
    return text;
}

std::string cliCommandHelp(const CliCommand& command) {
    std::string text =
        std::string("Usage: dskr-cli ") + command.name + " " + command.operands + "\n\n";
    text += wrap(command.description, 0, 0) + "\n";
    const auto options = cliOptionsOf(command);
    for (const std::string& section : sectionsOf(options)) {
        text += "\n" + section + ":\n";
        for (const CliOption* o : options) {
            if (section != o->section) continue;
            std::string left = "  " + cliOptionSynopsis(*o);
            if (left.size() + 2 > kHelpColumn)
                left += "\n" + std::string(kHelpColumn, ' ');
            else
                left.resize(kHelpColumn, ' ');
            text +=
                left + wrap(std::string(o->help) + storedNote(*o), kHelpColumn, kHelpColumn) + "\n";
        }
    }
    bool anySetting = false;
    for (const CliOption* o : options) anySetting |= o->setting != nullptr;
    if (anySetting)
        text += "\n" +
                wrap("[name]: the stored setting the option overrides for this run "
                     "('dskr-cli settings' shows them).",
                     0, 0) +
                "\n";
    const std::vector<std::string> examples = linesOf(command.examples);
    text += examples.size() == 1 ? "\nExample:\n" : "\nExamples:\n";
    for (const std::string& example : examples) text += "  " + example + "\n";
    return text;
}

std::string cliVersionText() {
    std::string text = "dskr-cli (DskR 5) " DSKR_VERSION "\n";
    // The libraries that register themselves, then the codec libraries of the formats.
    std::vector<std::pair<std::string, std::string>> lines; // name, the rest of the line
    std::set<std::string> seen;
    for (const kyComponent& c : kyComponents()) {
        const auto version = c.version();
        if (seen.insert(c.name).second)
            lines.emplace_back(c.name, (version ? *version : std::string("not found")) + "  (" +
                                           c.purpose + ")");
    }
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    for (int32_t i = 0; catalog.NextWriterFormat(i); ++i) {
        const kyFormatEntry* e = catalog.Entry(i);
        if (!e->component) continue; // the program's own code
        const kyComponentStatus c = e->component(true);
        if (!seen.insert(c.library).second) continue;
        // A library that tells no version is only found or not.
        const std::string state = !c.version.empty() ? c.version
                                  : c.found()        ? std::string("found")
                                                     : c.missing;
        lines.emplace_back(c.library, state + "  (" + e->displayName + ")");
    }
    if (!lines.empty()) text += "\nLibraries found at run time:\n";
    for (const auto& [name, rest] : lines) {
        std::string left = "  " + name;
        left.resize(std::max<size_t>(left.size() + 2, 18), ' ');
        text += left + rest + "\n";
    }
    return text;
}

std::string cliManPage() {
    std::string m;
    m += ".\\\" The manual page of dskr-cli, made from its option table. Do not edit.\n";
    m += ".TH DSKR\\-CLI 1 \"\" \"DskR " DSKR_VERSION "\" \"User Commands\"\n";
    m += ".SH NAME\ndskr\\-cli \\- copy audio CDs to files, exactly\n";
    m += ".SH SYNOPSIS\n";
    for (const CliCommand& c : cliCommands())
        m += ".B dskr\\-cli " + roff(c.name) + "\n" + roff(c.operands) + "\n.br\n";
    m += ".B dskr\\-cli \\-\\-version\n";
    m += ".SH DESCRIPTION\n"
         "DskR reads audio CDs bit for bit \\(em correcting drive jitter and re\\-reading "
         "scratched sectors until two reads agree \\(em and writes one file per track, or "
         "per run of tracks, named from the disc's names by a pattern. On the way it can "
         "resample, remove leading silence and cut tracks off with a fade\\-out. "
         "\\fBdskr\\-cli\\fR is its command line; it reads and writes the same stored "
         "settings as the desktop wizard.\n"
         ".PP\n"
         "Besides real drives, \\fB\\-\\-image\\fR \\fIFILE.cue\\fR makes a virtual drive "
         "over a CUE/BIN disc image, and \\fB\\-\\-demo\\fR one holding a built\\-in demo "
         "disc; \\fB\\-\\-faults\\fR makes a virtual drive misbehave as worn drives and "
         "scratched discs do.\n"
         ".PP\n"
         "Progress goes to standard error: on a terminal two bars redrawn in place, with "
         "the speed (as a multiple of real time), the time left, and the re\\-reads and "
         "read errors so far; otherwise a line per file. Results go to standard output, as "
         "text or, with \\fB\\-\\-json\\fR, as one JSON object; a failure then prints "
         "{\"error\": \"...\"}.\n";

    m += ".SH COMMANDS\n";
    for (const CliCommand& c : cliCommands()) {
        m += ".SS \"" + roff(c.name) + " " + roff(c.operands) + "\"\n";
        m += roff(c.description) + "\n";
        const auto options = cliOptionsOf(c);
        std::string names;
        for (const CliOption* o : options) {
            if (!names.empty()) names += ", ";
            names += "\\fB" + roff(std::string("--") + o->name) + "\\fR";
            if (o->opposite) names += ", \\fB" + roff(std::string("--") + o->opposite) + "\\fR";
        }
        m += ".PP\nOptions: " + names + ".\n";
    }

    m += ".SH OPTIONS\n"
         "An option that overrides a stored setting names it; the setting is changed for "
         "that run only, unless \\fB\\-\\-save\\fR is given. Of an option and its opposite, "
         "the one given last counts.\n";
    std::vector<const CliOption*> all;
    for (const CliOption& o : cliOptions()) all.push_back(&o);
    for (const std::string& section : sectionsOf(all)) {
        m += ".SS " + roff(section) + "\n";
        for (const CliOption* o : all) {
            if (section != o->section) continue;
            m += ".TP\n" + roffOption(*o) + "\n" + roff(o->help) + ".";
            if (o->setting) {
                m += " Overrides \\fB" + roff(o->setting) + "\\fR";
                if (o->enables) m += " and \\fB" + roff(o->enables) + "\\fR";
                m += ".";
            }
            std::string commands;
            for (const CliCommand& c : cliCommands())
                if (o->commands & c.bit) commands += (commands.empty() ? "" : ", ") + roff(c.name);
            if (o->commands != kCmdAll) m += " (" + commands + ")";
            m += "\n";
        }
    }

    m += ".SH SETTINGS\n"
         "The settings are kept in \\fI$XDG_CONFIG_HOME/Velmora/DskR 5/settings.reg\\fR "
         "(a REGEDIT4 text file). \\fBdskr\\-cli settings\\fR shows them, "
         "\\fBdskr\\-cli settings set\\fR \\fINAME VALUE\\fR changes one and "
         "\\fBdskr\\-cli settings reset\\fR [\\fINAME\\fR] puts one or all back. A stored "
         "value that is not one its setting takes is reported, naming it, and its default "
         "is used.\n";
    for (const kySettingInfo& s : kySettingsTable()) {
        m += ".TP\n.B " + roff(s.name) + "\n" + roff(s.meaning) + ". Takes " + roff(s.accepts) +
             ". Default: " + roff(defaultText(s)) + ".\n";
    }

    m += ".SH EXIT STATUS\n"
         ".TP\n.B 0\nEverything asked for was done.\n"
         ".TP\n.B 1\nA file or the command failed.\n"
         ".TP\n.B 2\nThe command line was not understood.\n"
         ".TP\n.B 130\nThe batch was cancelled with Ctrl\\-C.\n";
    m += ".SH ENVIRONMENT\n"
         ".TP\n.B XDG_CONFIG_HOME\nWhere the settings are kept (default \\fI~/.config\\fR).\n"
         ".TP\n.B TMPDIR\nWhere temporary files are made (default \\fI/tmp\\fR).\n";
    m += ".SH FILES\n"
         ".TP\n.I ~/.config/Velmora/DskR 5/settings.reg\nThe stored settings.\n"
         ".TP\n.I ~/.config/user\\-dirs.dirs\nThe music folder (XDG_MUSIC_DIR), the default "
         "output folder; without it \\fI~/Music\\fR.\n"
         ".TP\n.I /dev/sr0 \\fR...\\fP /dev/sr31\nThe CD drives. Reading needs read and write "
         "access to the node.\n";
    m += ".SH EXAMPLES\n";
    for (const CliCommand& c : cliCommands()) {
        for (const std::string& example : linesOf(c.examples))
            m += ".PP\n.nf\n" + roff(example) + "\n.fi\n";
    }
    m += ".SH SEE ALSO\n.BR cd\\-paranoia (1),\n.BR sox (1)\n";
    return m;
}

std::string cliBashCompletion() {
    std::string b;
    b += "# bash completion for dskr-cli, made from its option table.\n"
         "_dskr_cli()\n"
         "{\n"
         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "    COMPREPLY=()\n";
    std::vector<std::string> commandNames;
    for (const CliCommand& c : cliCommands()) commandNames.push_back(c.name);
    b += "    if (( COMP_CWORD == 1 )); then\n"
         "        mapfile -t COMPREPLY < <(compgen -W \"" +
         shellWords(commandNames) +
         " --help --version\" -- \"$cur\")\n"
         "        return\n"
         "    fi\n";

    // The argument of an option, by the word before it.
    b += "    case $prev in\n";
    for (const CliOption& o : cliOptions()) {
        if (!o.argument) continue;
        std::string pattern = std::string("--") + o.name;
        if (o.shortName) pattern += std::string("|-") + o.shortName;
        b += "        " + pattern + ")\n            ";
        switch (o.value) {
        case CliValue::Folder:
            b += "compopt -o filenames 2>/dev/null\n"
                 "            mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n";
            break;
        case CliValue::File:
            b += "compopt -o filenames 2>/dev/null\n"
                 "            mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n";
            break;
        case CliValue::CueFile:
        case CliValue::JsonFile: {
            const char* ext = o.value == CliValue::CueFile ? "[cC][uU][eE]" : "[jJ][sS][oO][nN]";
            b += "compopt -o filenames 2>/dev/null\n"
                 "            mapfile -t COMPREPLY < <(compgen -d -- \"$cur\"; compgen -f -X '!*." +
                 std::string(ext) + "' -- \"$cur\")\n";
            break;
        }
        case CliValue::Words:
            b += "mapfile -t COMPREPLY < <(compgen -W \"" + std::string(o.words ? o.words : "") +
                 "\" -- \"$cur\")\n";
            break;
        case CliValue::Format:
            b += "mapfile -t COMPREPLY < <(compgen -W \"" + shellWords(formatShortNames()) +
                 "\" -- \"$cur\")\n";
            break;
        default:
            b += ":\n";
            break;
        }
        b += "            return ;;\n";
    }
    b += "    esac\n\n";

    b += "    local options\n"
         "    case ${COMP_WORDS[1]} in\n";
    for (const CliCommand& c : cliCommands()) {
        std::vector<std::string> words;
        for (const CliOption* o : cliOptionsOf(c)) {
            words.push_back(std::string("--") + o->name);
            if (o->opposite) words.push_back(std::string("--") + o->opposite);
            if (o->shortName) words.push_back(std::string("-") + o->shortName);
        }
        b += "        " + std::string(c.name) + ") options=\"" + shellWords(words) + "\" ;;\n";
    }
    b += "        *) return ;;\n"
         "    esac\n"
         "    if [[ $cur == -* ]]; then\n"
         "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
         "        return\n"
         "    fi\n\n";

    std::vector<std::string> settingNames;
    for (const kySettingInfo& s : kySettingsTable()) settingNames.push_back(s.name);
    b += "    case ${COMP_WORDS[1]} in\n";
    for (const CliCommand& c : cliCommands()) {
        switch (c.positional) {
        case CliValue::File:
            b += "        " + std::string(c.name) +
                 ")\n"
                 "            compopt -o filenames 2>/dev/null\n"
                 "            mapfile -t COMPREPLY < <(compgen -f -- \"$cur\") ;;\n";
            break;
        case CliValue::Setting:
            b += "        " + std::string(c.name) +
                 ")\n"
                 "            if (( COMP_CWORD == 2 )); then\n"
                 "                mapfile -t COMPREPLY < <(compgen -W \"show set reset\" -- "
                 "\"$cur\")\n"
                 "            elif [[ ${COMP_WORDS[2]} != set ]] || (( COMP_CWORD == 3 )); then\n"
                 "                mapfile -t COMPREPLY < <(compgen -W \"" +
                 shellWords(settingNames) +
                 "\" -- \"$cur\")\n"
                 "            fi ;;\n";
            break;
        default:
            if (c.bit == kCmdHelp)
                b += "        help)\n"
                     "            (( COMP_CWORD == 2 )) && mapfile -t COMPREPLY < <(compgen -W \"" +
                     shellWords(commandNames) + "\" -- \"$cur\") ;;\n";
            break;
        }
    }
    b += "    esac\n"
         "}\n"
         "complete -F _dskr_cli dskr-cli\n";
    return b;
}

int commandHelp(const CliArguments& args) {
    if (args.positional.empty()) {
        std::fputs(cliUsageText().c_str(), stdout);
        return kExitOk;
    }
    if (args.positional.size() > 1) return usageError("'help' takes one command");
    const CliCommand* command = findCliCommand(args.positional[0]);
    if (!command) return usageError("unknown command '" + args.positional[0] + "'");
    std::fputs(cliCommandHelp(*command).c_str(), stdout);
    return kExitOk;
}
