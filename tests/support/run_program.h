#pragma once
// Runs a program as a user would, stdin from /dev/null, and collects its exit code and
// output, for tests of the command-line front end.
#include <string>
#include <vector>

namespace kytest {

struct ProgramRun {
    int code = -1; // exit status; -1 when it could not run or did not exit normally
    std::string out, err;
};

// `program` with `args`, in the caller's environment; output collected through files
// in `scratchDir`.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& scratchDir);

} // namespace kytest
