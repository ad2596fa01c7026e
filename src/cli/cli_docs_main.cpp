// Writes dskr-cli's manual page and bash completion, made from its option table, into
// the folder given: dskr-cli.1 and dskr-cli.bash. Run by the build.
#include "cli/cli_help.h"
#include <cstdio>
#include <fstream>
#include <string>

namespace {
bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) std::fprintf(stderr, "dskr-cli-docs: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: dskr-cli-docs FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = writeFile(dir + "/dskr-cli.1", cliManPage()) &&
                    writeFile(dir + "/dskr-cli.bash", cliBashCompletion());
    return ok ? 0 : 1;
}
