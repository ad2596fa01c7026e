#pragma once
// What dskr-cli says about itself, all made from its option table: the list of commands,
// each command's --help, --version, the manual page dskr-cli.1 and the bash completion.
#include "cli/cli_options.h"
#include <string>

// "Usage: dskr-cli COMMAND [OPTIONS]" and the commands with one line each.
std::string cliUsageText();
// A command's usage, description, options by section and examples.
std::string cliCommandHelp(const CliCommand& command);
// "dskr-cli (DskR 5) 5.0.0" and a line per library DskR loads, with its version or
// "not found".
std::string cliVersionText();
// The manual page in roff (man 7) markup.
std::string cliManPage();
// A bash completion script for dskr-cli.
std::string cliBashCompletion();

// How an option is written in help texts: "-o, --out DIR", "--merge, --no-merge".
std::string cliOptionSynopsis(const CliOption& option);

// `text` broken into lines of at most 79 characters; every line but the first starts
// with `indent` spaces, and the first continues a line that has `firstUsed` already.
std::string cliWrap(const std::string& text, size_t indent, size_t firstUsed);
